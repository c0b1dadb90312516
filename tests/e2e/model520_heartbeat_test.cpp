// The service with an emulated model-520 adapter, as a process: the beat as the adapter sees
// it, the fatal ends of a missing answer and of a failed beat, and the client's power-mode
// request reaching the running service.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "testSupport.h"

using namespace std::chrono_literals;

namespace {

const std::string kEmu = vtest::binPath("emulator/vel-emulate");
const std::string kService = vtest::binPath("VelUSBDisplay");

struct Heartbeat520 : ::testing::Test {
    vtest::IsolatedEnv env;
    vtest::TempDir out;
    std::vector<std::string> envVars() const { return env.processEnv(); }
    int count(const std::string& needle) { return env.logCount(needle); }
    void expectInOrder(const std::vector<std::string>& needles) { env.expectLogInOrder(needles); }
    // "key value" lines of the adapter's summary.
    std::map<std::string, long> summary() {
        std::map<std::string, long> s;
        std::istringstream in(vtest::readFile(out.file("model520-0.txt")));
        std::string key;
        long value;
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream ls(line);
            if (ls >> key >> value) s[key] = value;
        }
        return s;
    }
};

}  // namespace

TEST_F(Heartbeat520, BeatsEverySecondUntilTheStop) {
    auto r = vtest::run({kEmu, "--adapter", "520", "--seconds", "4", "--out", out.path()},
                        envVars(), 20s);
    ASSERT_EQ(r.status, 0) << r.err << env.log();
    auto s = summary();
    EXPECT_GE(s["beats"], 3);
    // A beat a second: a loaded machine only lengthens the gaps, so the lower bound is firm and
    // the upper ones are held by the mean (one late transfer does not move it much) and, for a
    // beat left out altogether, loosely by the longest gap.
    EXPECT_GE(s["longest_gap_ms"], 900);
    EXPECT_LT(s["mean_gap_ms"], 1500);
    EXPECT_LT(s["longest_gap_ms"], 2500 * vtest::kTimeScale);
    // Bring-up, then the built-in monitor's display switching on.
    EXPECT_EQ(s["opens"], 2);
    EXPECT_EQ(s["refused"], 0) << vtest::readFile(out.file("model520-0.txt"));
    expectInOrder({"FW Version: ", "- VelDisplay520Class::controlHeartbeat Ret=0 -",
                   "+ CUSB520Adapter::SendHeartBeatThread Start +", "cleanDevice!",
                   "- CUSB520Adapter::SendHeartBeatThread Quit -",
                   "Shared memory object unlinked"});
    EXPECT_EQ(count("usb_abort!"), 0);
}

TEST_F(Heartbeat520, MissingAnswerEndsTheServiceAfterThreeSeconds) {
    auto begin = std::chrono::steady_clock::now();
    auto r = vtest::run({kEmu, "--adapter", "520", "--answer", "1:21:never", "--seconds", "15"},
                        envVars(), 20s);
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(r.status, 1) << env.log();
    EXPECT_GE(took, 3s);
    EXPECT_LT(took, 10s);
    expectInOrder({"+ VelDisplay520Class::controlHeartbeat devId=0, status=1 +",
                   "[error] can not get semaphores for 3 second", "usb_abort!"});
}

TEST_F(Heartbeat520, AnswerLaterThanThreeSecondsEndsTheService) {
    auto r = vtest::run({kEmu, "--adapter", "522", "--answer", "0:5:late:3500", "--seconds", "15"},
                        envVars(), 20s);
    EXPECT_EQ(r.status, 1) << env.log();
    expectInOrder({"+ VelDisplay520Class::getDeviceCaps +",
                   "[error] can not get semaphores for 3 second", "usb_abort!"});
}

TEST_F(Heartbeat520, AnswerWithinTheBoundIsTaken) {
    auto r =
        vtest::run({kEmu, "--adapter", "520A", "--answer", "0:1:late:1500:1", "--seconds", "5"},
                   envVars(), 20s);
    EXPECT_EQ(r.status, 0) << env.log();
    EXPECT_EQ(count("can not get semaphores"), 0);
    EXPECT_EQ(count("- VelDisplay520Class::getFWVersion Ret=0 -"), 2);
}

TEST_F(Heartbeat520, FailedBeatEndsTheService) {
    auto r = vtest::run({kEmu, "--adapter", "520", "--fail-out-after", "2500", "--seconds", "15"},
                        envVars(), 20s);
    EXPECT_EQ(r.status, 1) << env.log();
    expectInOrder({"+ CUSB520Adapter::SendHeartBeatThread Start +",
                   "[warning] VelDisplay520Class::sendCommand writeBulkPipeTo error -1",
                   "[error] CUSB520Adapter::SendHeartBeatThread send heartbeat failed",
                   "usb_abort!"});
}

TEST_F(Heartbeat520, ClientModeSwitchReachesTheServiceOnce) {
    vtest::Process service({kEmu, "--adapter", "520", "--seconds", "0"}, envVars());
    ASSERT_TRUE(vtest::waitFor([&] { return count("SendHeartBeatThread Start") == 1; }, 10s))
        << env.log();
    auto c = vtest::run({kService, "-mode", "light"}, envVars(), 10s);
    EXPECT_EQ(c.status, 0) << c.out << c.err;
    ASSERT_TRUE(vtest::waitFor([&] { return count("Switch to light mode") >= 1; }, 3s))
        << env.log();
    auto fps = vtest::run({kService, "-fps", "3"}, envVars(), 10s);
    EXPECT_EQ(fps.status, 0) << fps.out << fps.err;
    // Two more beats: still exactly one switch line.
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(count("Switch to light mode"), 1);
    EXPECT_EQ(count("Switch to smart mode"), 0);
    service.signal(SIGTERM);
    auto r = service.wait(15s);
    EXPECT_EQ(r.status, 0) << r.err;
}
