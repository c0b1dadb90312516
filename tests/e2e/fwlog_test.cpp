// Firmware-log fetching as processes. VelFWLogCapture against a peer thread that serves its
// named pipe (tests/support/fifoPeer.h; the tool itself is killed by the harness after its
// timeout). And `VelUSBDisplay -fwlog` against the service running on an emulated model-520
// adapter (vel-emulate) that serves its log in blocks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "fifoPeer.h"
#include "testSupport.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kTool = VEL_BIN_DIR "/tools/fwlog/VelFWLogCapture";
const std::string kRequest = vtest::FifoPeer::kRequest;
using Peer = vtest::FifoPeer;
using Reply = vtest::FifoPeer::Reply;

class FwLogTool : public ::testing::Test {
  protected:
    vtest::TempDir tmp;
    std::string dir() const { return tmp.path() + "/log"; }
    std::string pipe() const { return dir() + "/Notify_Channel"; }
    std::vector<std::string> env(long waitMs = 3000) const {
        return {"VEL_LOG_DIR=" + dir(), "VEL_FWLOG_WAIT_MS=" + std::to_string(waitMs)};
    }
    vtest::ProcResult serve(Peer& peer, long waitMs = 3000) {
        peer.path = pipe();
        peer.start();
        vtest::ProcResult r = vtest::run({kTool}, env(waitMs), 15s);
        peer.join();
        return r;
    }
};

TEST_F(FwLogTool, PresentDirectoryAndPipeGiveOnlyConfirmationAndAnswer) {
    std::filesystem::create_directories(dir());
    ASSERT_EQ(0, mkfifo(pipe().c_str(), 0666));
    Peer peer;
    peer.answer = "fw log saved to /tmp/fw.log";
    vtest::ProcResult r = serve(peer);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("write into pipefile get firmware log\nNotify: fw log saved to /tmp/fw.log\n", r.out);
    EXPECT_EQ(kRequest, peer.request);  // 16 bytes, no terminator, no newline
}

TEST_F(FwLogTool, CreatesMissingDirectoryAndFifo) {
    Peer peer;
    peer.answer = "ok";
    vtest::ProcResult r = serve(peer);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(
        "[main]: create directory successed\nwrite into pipefile get firmware log\nNotify: ok\n",
        r.out);
    struct stat st {};
    ASSERT_EQ(0, stat(pipe().c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(FwLogTool, AnswerLengthAndTerminator) {
    std::filesystem::create_directories(dir());
    ASSERT_EQ(0, mkfifo(pipe().c_str(), 0666));
    {
        SCOPED_TRACE("127 bytes are printed whole");
        Peer peer;
        peer.answer = std::string(126, 'a') + "Z";
        vtest::ProcResult r = serve(peer);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ("write into pipefile get firmware log\nNotify: " + peer.answer + "\n", r.out);
    }
    {
        SCOPED_TRACE("printing stops at the first zero byte");
        Peer peer;
        peer.answer = std::string("first\0second", 12);
        vtest::ProcResult r = serve(peer);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ("write into pipefile get firmware log\nNotify: first\n", r.out);
    }
    {
        SCOPED_TRACE("a longer answer is cut at 127 bytes");
        Peer peer;
        peer.answer = std::string(127, 'b') + std::string(73, 'c');
        vtest::ProcResult r = serve(peer);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ("write into pipefile get firmware log\nNotify: " + std::string(127, 'b') + "\n",
                  r.out);
    }
}

TEST_F(FwLogTool, DirectoryThatCannotBeCreated) {
    // The parent is missing, so neither the directory nor the FIFO can be made.
    vtest::ProcResult r = vtest::run({kTool}, {"VEL_LOG_DIR=" + tmp.path() + "/no/such"}, 10s);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("[main]: create directory failed\ncannot create fifo file\n", r.out);
}

TEST_F(FwLogTool, PipePathThatIsNotAFifo) {
    std::filesystem::create_directories(dir());
    {
        SCOPED_TRACE("regular file: refused and left unchanged");
        { std::ofstream(pipe()) << "keep me"; }
        vtest::ProcResult r = vtest::run({kTool}, env(), 10s);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("the pipe file is not a fifo: " + pipe() + "\n", r.out);
        EXPECT_EQ("keep me", vtest::readFile(pipe()));
        std::filesystem::remove(pipe());
    }
    {
        SCOPED_TRACE("directory");
        std::filesystem::create_directories(pipe());
        vtest::ProcResult r = vtest::run({kTool}, env(), 10s);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("the pipe file is not a fifo: " + pipe() + "\n", r.out);
    }
}

TEST_F(FwLogTool, CloseWithoutAnswerEndsAfterBoundedWait) {
    std::filesystem::create_directories(dir());
    ASSERT_EQ(0, mkfifo(pipe().c_str(), 0666));
    Peer peer;
    peer.reply = Reply::CloseWithoutAnswer;
    auto start = Clock::now();
    vtest::ProcResult r = serve(peer, 500);
    auto took = Clock::now() - start;
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("write into pipefile get firmware log\nno answer on the pipe within 500 ms\n", r.out);
    EXPECT_LT(took, 5s);  // bounded, far from the harness's kill timeout
}

// Processor time the process has used, in clock ticks (utime + stime of /proc/PID/stat).
long cpuTicks(pid_t pid) {
    std::string stat = vtest::readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos) return -1;
    std::istringstream in(stat.substr(paren + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
}

TEST_F(FwLogTool, WaitsBlockedWhileTheOtherEndHasNotOpenedThePipe) {
    std::filesystem::create_directories(dir());
    ASSERT_EQ(0, mkfifo(pipe().c_str(), 0666));
    Peer peer;
    peer.path = pipe();
    peer.reply = Reply::Nothing;  // reads the request, never opens the pipe to answer
    peer.start();
    vtest::Process tool({kTool}, env(500));
    peer.join();
    ASSERT_EQ(kRequest, peer.request);
    // The other end may still open the pipe and answer: the tool waits in open(), not on a
    // clock and not spinning.
    std::this_thread::sleep_for(500ms);
    const long before = cpuTicks(tool.pid());
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(tool.running());
    const long used = cpuTicks(tool.pid()) - before;
    EXPECT_GE(before, 0);
    EXPECT_LT(used, 20) << "ticks of processor time while waiting";
    tool.signal(SIGTERM);
    vtest::ProcResult r = tool.wait(5s);
    EXPECT_EQ("write into pipefile get firmware log\n", r.out);
}

const std::string kEmu = VEL_BIN_DIR "/emulator/vel-emulate";
const std::string kService = VEL_BIN_DIR "/VelUSBDisplay";

struct ServiceFwLog : ::testing::Test {
    vtest::IsolatedEnv env;
    vtest::TempDir out;
    std::vector<std::string> envVars() const { return env.processEnv(); }
    int count(const std::string& needle) { return env.logCount(needle); }
    std::map<std::string, long> summary() {
        std::map<std::string, long> s;
        std::istringstream in(vtest::readFile(out.file("model520-0.txt")));
        std::string line, key;
        long value;
        while (std::getline(in, line)) {
            std::istringstream ls(line);
            if (ls >> key >> value) s[key] = value;
        }
        return s;
    }
    // Runs the service with the adapter serving `blocks` blocks of `text`, fetches the log with
    // the client and stops the service. Returns the client's result; `path` gets the file the
    // client named.
    vtest::ProcResult fetch(int blocks, const std::string& text, std::string* path) {
        vtest::Process service({kEmu, "--adapter", "520", "--log-blocks", std::to_string(blocks),
                                "--log-text", text, "--seconds", "0", "--out", out.path()},
                               envVars());
        EXPECT_TRUE(vtest::waitFor([&] { return count("SendHeartBeatThread Start") == 1; }, 10s))
            << env.log();
        vtest::ProcResult c = vtest::run({kService, "-fwlog"}, envVars(), 30s);
        // The reopened heartbeat is acknowledged before the stop.
        vtest::waitFor([&] { return count("open heartbeat") >= 1; }, 3s);
        std::this_thread::sleep_for(300ms);
        service.signal(SIGTERM);
        vtest::ProcResult s = service.wait(15s);
        EXPECT_EQ(s.status, 0) << s.err;
        std::smatch m;
        std::regex finished("fw log download finished\\. log file path:\n\x1b\\[1;32m(" +
                            env.logDir() + "/+fw_log_[0-9]{4}_[0-9]{6}_0\\.log)\x1b\\[0m\n");
        if (std::regex_search(c.out, m, finished)) *path = m[1].str();
        return c;
    }
};

TEST_F(ServiceFwLog, MultiBlockLogIsDownloadedIntoTheNamedFile) {
    std::string text;
    for (int i = 0; i < 40; ++i) text += "line " + std::to_string(i) + ": link ok\n";
    std::string path;
    vtest::ProcResult c = fetch(5, text, &path);
    EXPECT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(c.out.rfind("get fw log now...\n", 0), 0u) << c.out;
    // The bar at its end: 50 equal signs in green, 100.0 percent, then the newline.
    EXPECT_NE(c.out.find("[\x1b[32m" + std::string(50, '=') + "\x1b[0m] 100.0%\r\n"),
              std::string::npos)
        << c.out;
    ASSERT_FALSE(path.empty()) << c.out;
    EXPECT_EQ(vtest::readFile(path), text);
    EXPECT_EQ(c.out.find("timeout"), std::string::npos);
    EXPECT_EQ(count("close heartbeat"), 1);
    EXPECT_EQ(count("fw log downloaing..."), 1);
    EXPECT_EQ(count("fw log download finished, total block:5, filename:" + path), 1);
    EXPECT_EQ(count("open heartbeat"), 1);
    auto s = summary();
    EXPECT_EQ(s["closes"], 1);
    // Bring-up, the built-in monitor's display switching on, then once after the download.
    EXPECT_EQ(s["opens"], 3);
    EXPECT_EQ(s["refused"], 0) << vtest::readFile(out.file("model520-0.txt"));
}

TEST_F(ServiceFwLog, SingleBlockLogIsWrittenAndFinishes) {
    std::string path;
    vtest::ProcResult c = fetch(1, "one block only\n", &path);
    EXPECT_EQ(c.status, 0) << c.err;
    ASSERT_FALSE(path.empty()) << c.out;
    EXPECT_EQ(vtest::readFile(path), "one block only\n");
    EXPECT_EQ(count("fw log download finished, total block:1"), 1);
    EXPECT_EQ(count("open heartbeat"), 1);
    EXPECT_EQ(summary()["opens"], 3);
}

}  // namespace
