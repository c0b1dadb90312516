// The other end of VelFWLogCapture's named pipe, played by a thread of the test: it reads the
// tool's request, then answers (at once or after a delay, opening the pipe late or holding it
// open meanwhile), closes without answering, or never opens the pipe for writing. It uses only
// non-blocking opens and bounded polls, so a misbehaving tool fails the test instead of hanging
// it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace vtest {

struct FifoPeer {
    enum class Reply { Answer, CloseWithoutAnswer, Nothing };
    static constexpr const char* kRequest = "get firmware log";

    std::string path;
    std::string answer;  // written in one write
    Reply reply = Reply::Answer;
    // Answer only after this long; with holdOpen the pipe is opened for writing at once and held
    // meanwhile, otherwise it is opened only when the delay is over.
    std::chrono::milliseconds delay{0};
    bool holdOpen = false;
    std::chrono::seconds deadline{10};

    std::string request;  // what the peer read
    bool servedAnswer = false;
    std::thread thread;

    void start() {
        thread = std::thread([this] { run(); });
    }
    void join() {
        if (thread.joinable()) thread.join();
    }
    ~FifoPeer() { join(); }

    void run() {
        using Clock = std::chrono::steady_clock;
        const auto until = Clock::now() + deadline + delay;
        // The tool may create the FIFO itself; wait for it to appear.
        struct stat st {};
        while (stat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) {
            if (Clock::now() > until) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        // O_CLOEXEC: the harness forks the tool from this process; an inherited end would
        // change the pipe's reader and writer counts.
        int rd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (rd < 0) return;
        const std::string want = kRequest;
        char buf[256];
        while (request.size() < want.size() && Clock::now() < until) {
            pollfd p{rd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            ssize_t n = read(rd, buf, sizeof buf);
            if (n > 0)
                request.append(buf, static_cast<size_t>(n));
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(5));  // writer gone
        }
        close(rd);
        if (reply == Reply::Nothing) return;
        if (!holdOpen) std::this_thread::sleep_for(delay);
        int wr = -1;
        while (wr < 0 && Clock::now() < until) {
            wr = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);  // ENXIO until it reads
            if (wr < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (wr < 0) return;
        if (holdOpen) std::this_thread::sleep_for(delay);
        if (reply == Reply::Answer) {
            // A tool that has already given up leaves no reader: the write then fails with EPIPE
            // instead of raising SIGPIPE in the test process (blocked here, taken back below).
            sigset_t pipeSignal, old;
            sigemptyset(&pipeSignal);
            sigaddset(&pipeSignal, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &pipeSignal, &old);
            servedAnswer =
                write(wr, answer.data(), answer.size()) == static_cast<ssize_t>(answer.size());
            const timespec none{0, 0};
            while (sigtimedwait(&pipeSignal, nullptr, &none) > 0) {
            }
            pthread_sigmask(SIG_SETMASK, &old, nullptr);
        }
        close(wr);
    }
};

}  // namespace vtest
