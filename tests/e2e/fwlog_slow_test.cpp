// VelFWLogCapture against another end that takes its time: the answer comes 6 seconds after the
// request, with the pipe held open for writing meanwhile or opened only then. The tool waits for
// it as long as it takes (only an end of file without an answer is bounded).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>

#include "fifoPeer.h"
#include "testSupport.h"

using namespace std::chrono_literals;

namespace {

const std::string kTool = VEL_BIN_DIR "/tools/fwlog/VelFWLogCapture";

}  // namespace

TEST(FwLogToolSlow, AnswerAfterSixSecondsIsPrinted) {
    struct Run {
        const char* name;
        bool holdOpen;
        vtest::TempDir tmp;
        vtest::FifoPeer peer;
        std::unique_ptr<vtest::Process> tool;
    };
    Run runs[] = {{"pipe held open, answer written late", true, {}, {}, {}},
                  {"pipe opened late", false, {}, {}, {}}};
    // Both at once: one wait of six seconds for the two.
    for (Run& r : runs) {
        const std::string dir = r.tmp.path() + "/log";
        std::filesystem::create_directories(dir);
        ASSERT_EQ(0, mkfifo((dir + "/Notify_Channel").c_str(), 0666));
        r.peer.path = dir + "/Notify_Channel";
        r.peer.answer = std::string("fw log saved after a while: ") + r.name;
        r.peer.delay = 6s;
        r.peer.holdOpen = r.holdOpen;
        r.peer.start();
        // The bound for an end of file stays short: it must not be what carries the answer.
        r.tool = std::make_unique<vtest::Process>(
            std::vector<std::string>{kTool},
            std::vector<std::string>{"VEL_LOG_DIR=" + dir, "VEL_FWLOG_WAIT_MS=500"});
    }
    for (Run& r : runs) {
        SCOPED_TRACE(r.name);
        vtest::ProcResult res = r.tool->wait(30s);
        r.peer.join();
        EXPECT_TRUE(r.peer.servedAnswer);
        EXPECT_EQ(0, res.status);
        EXPECT_EQ("write into pipefile get firmware log\nNotify: " + r.peer.answer + "\n", res.out);
    }
}
