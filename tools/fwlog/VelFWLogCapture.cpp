// VelFWLogCapture: asks for an adapter firmware log through the named pipe "Notify_Channel" in
// the service's log directory and prints the one-line answer that comes back on the same pipe.
// It shares no code with the service; whatever process serves the pipe is the other end.
//
// Exchange, in this order (the other end's view):
//   1. the tool opens the pipe for writing (blocking until a reader has it), writes the 16
//      bytes "get firmware log" in one write, without terminator, and closes it;
//   2. the tool opens the pipe for reading (blocking until a writer has it); the other end
//      writes one answer of at most 127 bytes; the first read that yields data is the answer.
// The tool waits, blocked in open() and read(), for as long as the other end takes to open the
// pipe and to answer: fetching a log may take the other end a while. Only an end of file (the
// other end closed its write side without writing) is bounded: the tool then waits at most
// VEL_FWLOG_WAIT_MS milliseconds (default 5000) for a writer to come back with the answer,
// sleeping in poll() meanwhile, and otherwise ends with a message instead of spinning on the
// end of file.
//
// Environment: VEL_LOG_DIR replaces "/var/log/VelUSBDisplay/" as the service does.
// Exit status: 0 after an answer was printed; 1 when the pipe cannot be created, is not a FIFO
// or cannot be opened; 2 when the other end closed the pipe without answering.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr char DEFAULT_LOG_DIR[] = "/var/log/VelUSBDisplay/";
constexpr char PIPE_NAME[] = "Notify_Channel";
constexpr char notify_consent[] = "get firmware log";
constexpr size_t ANSWER_SIZE = 128;  // the answer is at most 127 bytes and always terminated
constexpr long DEFAULT_WAIT_MS = 5000;
constexpr long MAX_WAIT_MS = 600000;

std::string logDir() {
    const char* v = getenv("VEL_LOG_DIR");
    std::string d = (v && *v) ? v : DEFAULT_LOG_DIR;
    if (d.back() != '/') d += '/';
    return d;
}

long answerWaitMs() {
    const char* v = getenv("VEL_FWLOG_WAIT_MS");
    if (!v || !*v) return DEFAULT_WAIT_MS;
    char* end = nullptr;
    long ms = strtol(v, &end, 10);
    if (*end != '\0' || ms <= 0) return DEFAULT_WAIT_MS;
    return ms > MAX_WAIT_MS ? MAX_WAIT_MS : ms;
}

long msSince(std::chrono::steady_clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
}

// After an end of file: waits up to `waitMs` for a writer that comes back and answers. A write
// end of our own keeps the pipe from reporting end of file again at once, so poll() sleeps until
// data or the deadline. Returns the byte count (> 0), or 0 when nothing came.
ssize_t readLateAnswer(const char* path, int fd, char* answer, long waitMs) {
    // Cannot block: we hold a read end.
    const int keep = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (keep < 0) return 0;
    const auto start = std::chrono::steady_clock::now();
    ssize_t ret = 0;
    for (;;) {
        const long left = waitMs - msSince(start);
        if (left <= 0) break;
        struct pollfd p {
            fd, POLLIN, 0
        };
        const int pr = poll(&p, 1, static_cast<int>(left));
        if (pr < 0 && errno == EINTR) continue;
        if (pr <= 0) break;
        ret = read(fd, answer, ANSWER_SIZE - 1);
        if (ret > 0) break;
        if (ret < 0 && errno != EINTR && errno != EAGAIN) break;
        ret = 0;
    }
    close(keep);
    return ret > 0 ? ret : 0;
}

// Opens the pipe for reading and takes the first data as the answer. Returns the byte count
// (> 0); 0 when the other end closed without answering and did not come back within `waitMs`
// (or the read failed); -1 when the pipe cannot be opened.
ssize_t readAnswer(const char* path, char* answer, long waitMs) {
    int fd;
    do {
        fd = open(path, O_RDONLY | O_CLOEXEC);  // blocks until the other end opens to write
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    ssize_t ret;
    do {
        ret = read(fd, answer, ANSWER_SIZE - 1);  // blocks while a writer holds the pipe
    } while (ret < 0 && errno == EINTR);
    if (ret == 0) ret = readLateAnswer(path, fd, answer, waitMs);
    close(fd);
    return ret > 0 ? ret : 0;
}

}  // namespace

int main() {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // A reader that leaves before the request is written must not kill us; the write just fails.
    signal(SIGPIPE, SIG_IGN);

    std::string dir = logDir();
    std::string total_path = dir + PIPE_NAME;
    struct stat st {};

    if (stat(dir.c_str(), &st) != 0) {
        if (mkdir(dir.c_str(), 0777) == 0) {
            printf("[%s]: create directory successed\n", "main");
        } else {
            printf("[%s]: create directory failed\n", "main");
        }
    }

    if (stat(total_path.c_str(), &st) != 0) {
        if (mkfifo(total_path.c_str(), 0666) != 0) {
            if (errno == EEXIST) {
                printf("the pipe file has existed\n");
            } else {
                printf("cannot create fifo file\n");
                return 1;
            }
        }
    }
    // Writing the request into a regular file would overwrite it and then read our own request
    // back as the answer.
    if (stat(total_path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) {
        printf("the pipe file is not a fifo: %s\n", total_path.c_str());
        return 1;
    }

    int fd = open(total_path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        printf("open pipefile failed\n");
        return 1;
    }
    ssize_t ret = write(fd, notify_consent, sizeof notify_consent - 1);
    if (ret > 0) printf("write into pipefile %s\n", notify_consent);
    close(fd);

    char save_notify[ANSWER_SIZE];
    memset(save_notify, 0, sizeof save_notify);
    long waitMs = answerWaitMs();
    ret = readAnswer(total_path.c_str(), save_notify, waitMs);
    if (ret < 0) {
        printf("open pipefile failed\n");
        return 1;
    }
    if (ret == 0) {
        printf("no answer on the pipe within %ld ms\n", waitMs);
        return 2;
    }
    printf("Notify: %s\n", save_notify);
    return 0;
}
