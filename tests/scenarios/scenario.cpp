#include "scenario.h"

#include <atomic>

#include "devmgr/DevManager.h"
#include "emulator/evdi/evdiEmu.h"
#include "service/velMain.h"

namespace scen {

namespace {

std::atomic<bool> g_serviceDone{false};
std::atomic<int> g_serviceStatus{-1};

}  // namespace

void ServiceScenario::SetUp() {
    emu::setEvdiLibVersion(1, 12, 0);
    emu::setAutoDesktop(true);
    g_exitRequested = false;
    g_abortRequested = false;
    g_exitSignal = 0;
    frontEnd = makeFrontEnd();
    ASSERT_TRUE(frontEnd);
    const std::string why = frontEnd->unavailable();
    if (!why.empty()) GTEST_SKIP() << frontEnd->name() << ": " << why;
}

void ServiceScenario::TearDown() {
    if (running_) stopService();
    frontEnd.reset();
}

void ServiceScenario::startService() {
    g_serviceDone = false;
    g_serviceStatus = -1;
    service_ = std::thread([] {
        g_serviceStatus = velRunService();
        g_serviceDone = true;
    });
    running_ = true;
    ASSERT_TRUE(waitLog("Vel USB Device Driver is running")) << env.log();
}

void ServiceScenario::stopService() {
    if (!running_) return;
    g_exitSignal = 1;
    const bool stopped =
        vtest::waitFor([] { return g_serviceDone.load(); }, std::chrono::seconds(10));
    if (!stopped) {
        // Leave the thread behind rather than hang the test program; the test fails.
        service_.detach();
        running_ = false;
        FAIL() << "the service did not stop within 10 s\n" << env.log();
    }
    service_.join();
    running_ = false;
    EXPECT_EQ(g_serviceStatus.load(), 0);
}

int ServiceScenario::logCount(const std::string& needle) {
    int n = 0;
    for (const auto& l : env.logLines()) n += l.find(needle) != std::string::npos;
    return n;
}

bool ServiceScenario::waitLog(const std::string& needle, int count,
                              std::chrono::milliseconds timeout) {
    return vtest::waitFor([&] { return logCount(needle) >= count; }, timeout);
}

}  // namespace scen
