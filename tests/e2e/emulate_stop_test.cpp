// The service with emulated adapters of both generations, as a process: arrival, open and
// claim at start-up, the stop order on SIGTERM, and the fatal exits of the open path.
#include <gtest/gtest.h>
#include <signal.h>

#include "testSupport.h"

namespace {

const std::string kEmu = vtest::binPath("emulator/vel-emulate");

struct EmulateStop : ::testing::Test {
    vtest::IsolatedEnv env;
    std::vector<std::string> envVars() const { return env.processEnv(); }
    int inOrder(const std::vector<std::string>& needles) {
        auto l = env.logLines();
        int at = 0;
        for (const auto& n : needles) {
            int found = vtest::findLine(l, n, at);
            if (found < 0) {
                ADD_FAILURE() << "missing after line " << at << ": " << n << "\n" << env.log();
                return -1;
            }
            at = found + 1;
        }
        return at;
    }
};

}  // namespace

TEST_F(EmulateStop, BothGenerationsArriveAndAreCleanedInOrderOnSigterm) {
    vtest::Process p({kEmu, "--adapter", "520", "--adapter", "508", "--seconds", "0"}, envVars());
    ASSERT_TRUE(vtest::waitFor([&] {
        auto l = env.logLines();
        return vtest::findLine(l, "Current Product is VL508") >= 0 &&
               vtest::findLine(l, "initialize Vel TOPO view ID 2", vtest::findLine(l, "VL508")) >= 0;
    }, std::chrono::seconds(10)));
    p.signal(SIGTERM);
    auto r = p.wait(std::chrono::seconds(15));
    EXPECT_EQ(r.status, 0) << r.err;
    inOrder({"====>Vel USB Device is attached<====", "Dev[0]", "Current Product is VL520",
             "====>Vel USB Device is attached<====", "Key 0 already exists in the map.", "Dev[1]",
             "Current Product is VL508", "[info] send exit signal", "[info] exit signal received",
             "cleanDevice!", "Disconnect [0] device success!!!", "cleanDevice!",
             "Disconnect [0] device success!!!", "Shared memory object unlinked",
             "==== Velmora Linux USB Display Driver 2.24.6.0 exited ===="});
}

TEST_F(EmulateStop, TimedRunStopsByItself) {
    auto r = vtest::run({kEmu, "--adapter", "505", "--seconds", "1"}, envVars(),
                        std::chrono::seconds(15));
    EXPECT_EQ(r.status, 0) << r.err;
    inOrder({"Current Product is VL505", "[info] exit signal received", "cleanDevice!",
             "Shared memory object unlinked"});
}

TEST_F(EmulateStop, FailedClaimEndsTheServiceWithStatusOne) {
    auto r = vtest::run({kEmu, "--adapter", "520A", "--fault", "claim", "--seconds", "10"},
                        envVars(), std::chrono::seconds(15));
    EXPECT_EQ(r.status, 1);
    inOrder({"Error: Cannot Claim Interface #0!", "Device open failed in hotplug_callback_attach!",
             "usb_abort!"});
}

TEST_F(EmulateStop, ThirdAdapterEndsTheServiceWithStatusOne) {
    auto r = vtest::run({kEmu, "--adapter", "520", "--adapter", "508", "--adapter", "500",
                         "--seconds", "10"},
                        envVars(), std::chrono::seconds(15));
    EXPECT_EQ(r.status, 1);
    inOrder({"Key 0 already exists in the map.", "Key 1 already exists in the map.",
             "Error: too many device or failed to allocate Vel Dev.", "usb_abort!"});
}
