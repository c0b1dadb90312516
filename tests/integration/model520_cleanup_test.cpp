// Device clean-up and hot-plug against the emulated model-520 adapter: packets still queued when
// the session is cleaned up, the USB handle while the send thread is inside a transfer, a fourth
// monitor waiting for a view, and the service's exit status when the adapter leaves or the
// service stops while a monitor is being plugged in or out.
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include "devmgr/DevManager.h"
#include "managerFixture.h"
#include "pipeline/jpeg520.h"
#include "service/velMain.h"
#include "session520.h"

using namespace std::chrono_literals;
using namespace m520test;

namespace {

// Bytes the main heap has handed out and not yet had back (glibc's figures; an allocator that
// replaces glibc's, as under AddressSanitizer, leaves them unchanged).
size_t heapInUse() {
    const struct mallinfo2 mi = mallinfo2();
    return mi.uordblks + mi.hblkhd;
}

struct CleanUp520 : Session520 {
    void SetUp() override {
        Session520::SetUp();
        g_exitRequested = false;
        g_bulkFailCount = 0;
        dev->imageEndpoint520 = 2;
    }
    void TearDown() override {
        // cleanDevice closed the handle already.
        if (!dev->usbHandle) handle = nullptr;
        Session520::TearDown();
        g_bulkFailCount = 0;
    }
    // An image packet of `bytes` bytes for view 0 (the adapter refuses its contents; only the
    // transfer matters here).
    static _evdi_send packet(size_t bytes) {
        _evdi_send p;
        p.view = 0;
        p.length = static_cast<int32_t>(bytes);
        p.buffer = static_cast<unsigned char*>(malloc(bytes));
        memset(p.buffer, 0x5A, bytes);
        return p;
    }
};

}  // namespace

// The send thread is inside a transfer the adapter holds for 2.5 s while more packets wait
// behind it. The clean-up must free every waiting packet and close the handle only once the
// transfer is over.
TEST_F(CleanUp520, QueuedPacketsAreFreedAndTheHandleOutlivesTheTransfer) {
    dev->viewTable[0] = {0, 0x20};
    dev->viewActive[0] = true;
    bus.faults(busId).unplugDuringTransfer(emu::Match::ep(0x02), 4000ms);
    dev->sendQueue.push(packet(4096));
    ASSERT_TRUE(vtest::waitFor([&] { return dev->sendQueue.empty(); }));
    ASSERT_TRUE(vtest::waitFor([&] { return bus.status(busId).transfersInFlight >= 1; }));

    constexpr int kWaiting = 8;
    constexpr size_t kBytes = 4u << 20;
    const size_t before = heapInUse();
    for (int i = 0; i < kWaiting; ++i) dev->sendQueue.push(packet(kBytes));
    ASSERT_EQ(dev->sendQueue.size(), static_cast<size_t>(kWaiting));
    // A sanitizer's allocator keeps the heap to itself (its leak check covers this case then).
    const bool heapReported = heapInUse() >= before + kWaiting * kBytes;

    DevManager manager;
    EXPECT_EQ(manager.cleanDevice(dev), 0);
    EXPECT_EQ(dev->usbHandle, nullptr);
    EXPECT_EQ(bus.closesWithTransfersInFlight(), 0);
    EXPECT_EQ(bus.status(busId).openHandles, 0);
    EXPECT_TRUE(dev->sendQueue.empty());
    EXPECT_EQ(count("Disconnect [0] device success!!!"), 1);
    if (!heapReported) GTEST_SKIP() << "the allocator in use reports no heap figures";
    // Every waiting packet's buffer went back (other threads' allocations are far smaller).
    EXPECT_LT(heapInUse(), before + kBytes) << "in use: " << heapInUse() << ", before: " << before;
}

// The adapter has left, but its departure has not been handled (no manager here delivers it):
// the plug-in's first command finds the device gone. The plug-in is given up and the service
// goes on (the old behaviour took it for a failed EDID read and ended the process).
TEST_F(CleanUp520, AdapterFoundGoneByThePlugInIsNoFatalError) {
    model->plugMonitor(0, monitor(0x20), false);
    ASSERT_EQ(bus.unplug(busId), 0);
    {
        std::lock_guard<std::mutex> lk(dc->plugMutex);
        EXPECT_EQ(dev->plugInMonitor(0x20, true), -1);
    }
    EXPECT_EQ(count("[info] plugInMonitor: target 0x20 abandoned, the session is going away"), 1);
    EXPECT_EQ(count("USB connect failed!"), 0);
    EXPECT_TRUE(dev->target2View.empty());
    EXPECT_TRUE(emu::openHandles().empty());
}

// Model 520 with three monitors shown: a fourth one, reported in the same notification that
// frees a view (its position comes first), waits and then takes the freed view.
TEST_F(CleanUp520, FourthMonitorTakesTheViewThatFrees) {
    dev->powerOnFinished = true;
    dev->initDone = true;
    auto shown = [&](int target) {
        return vtest::waitFor(
            [&] {
                std::lock_guard<std::mutex> lk(dc->pnpMutex);
                return dev->target2View.count(target) == 1;
            },
            10s);
    };
    model->plugMonitor(0, monitor(0x21));
    ASSERT_TRUE(shown(0x21)) << env.log();
    model->plugMonitor(1, monitor(0x22));
    ASSERT_TRUE(shown(0x22)) << env.log();
    model->plugMonitor(2, monitor(0x33));
    ASSERT_TRUE(shown(0x33)) << env.log();
    const int view = dev->target2View[0x33];

    // Output 2 now carries 0x20: position 0 gains it before position 3 loses 0x33.
    model->plugMonitor(2, monitor(0x20));
    ASSERT_TRUE(shown(0x20)) << env.log();
    std::lock_guard<std::mutex> lk(dc->pnpMutex);
    EXPECT_EQ(dev->target2View.count(0x33), 0u);
    EXPECT_EQ(dev->target2View[0x20], view);
    EXPECT_EQ(dev->pendingTarget, 0);
    EXPECT_EQ(dev->pluggedMonitors, 3);
    EXPECT_EQ(
        count("[info] pending monitor target 0x20 takes the freed view " + std::to_string(view)),
        1);
    env.expectLogInOrder(
        {"vPortReceieve[0]: 0x20", "vPortReceieve[3]: 0xee", "Plug out targetID=[0x33] monitor!",
         "Plug in [0]device, [" + std::to_string(view) + "] monitor!target[0x20]"});
}

namespace {

// The whole service (velRunService) in a child process: an adapter with one monitor present at
// power-on. The child's exit status is the service's.
struct PlugExit520 : ::testing::Test {
    vtest::IsolatedEnv env;
    emu::Bus& bus = emu::Bus::instance();

    void SetUp() override {
        ::testing::FLAGS_gtest_death_test_style = "fast";
        emu::setEvdiLibVersion(1, 12, 0);
        emu::setAutoDesktop(false);  // no mode set: the plug-out starts by unbinding the monitor
        bus.reset();
        g_exitRequested = false;
        g_abortRequested = false;
        g_exitSignal = 0;
    }
    void TearDown() override {
        bus.reset();
        emu::setAutoDesktop(true);
    }
    // Waits (bounded) for `n` log lines holding `needle`; in the child, ends it with 3 if not.
    void awaitLog(const std::string& needle, int n = 1) {
        if (!vtest::waitFor([&] { return env.logCount(needle) >= n; }, 20s)) _exit(3);
    }
    // Runs the service in the child with `events` on a helper thread, which ends with SIGTERM
    // (the service's orderly stop) unless the service ended first.
    [[noreturn]] void runService(std::function<void()> events) {
        std::thread([events] {
            events();
            kill(getpid(), SIGTERM);
        }).detach();
        _exit(velRunService());
    }
    void expectQuietEnd() {
        EXPECT_EQ(env.logCount("usb_abort!"), 0) << env.log();
        EXPECT_EQ(env.logCount("USB connect failed!"), 0);
        EXPECT_EQ(env.logCount("can not get semaphores for 3 second"), 0);
        EXPECT_EQ(env.logCount("==== Velmora Linux USB Display Driver 2.24.6.0 exited ===="), 1);
    }
};

// Waits (bounded) until the adapter has received a command of (dataClass, dataType).
bool receivedCommand(emu::Model520& model, uint8_t dataClass, uint8_t dataType) {
    return model.waitFor(
        [&](const std::vector<emu::M520Message>& all) {
            for (const auto& m : all)
                if (m.header.dataClass == dataClass && m.header.dataType == dataType) return true;
            return false;
        },
        20s);
}

}  // namespace

TEST_F(PlugExit520, AdapterLeavingDuringAPlugInEndsNothing) {
    EXPECT_EXIT(
        {
            auto model = std::make_shared<emu::Model520>();
            model->plugMonitor(0, vtest::smallMonitor520(), false);
            model->setAnswer(0, 0, emu::AnswerMode::Never);  // the EDID query stays unanswered
            const int id = bus.plug(model, emu::adapterIdentity("520"));
            runService([&, model, id] {
                if (!receivedCommand(*model, 0, 0)) _exit(4);
                bus.unplug(id);
                awaitLog("Disconnect [0] device success!!!");
            });
        },
        ::testing::ExitedWithCode(0), "");
    expectQuietEnd();
    EXPECT_EQ(
        env.logCount("[info] plugInMonitor: target 0x20 abandoned, the session is going away"), 1);
    env.expectLogInOrder(
        {"Plug in [0]device, [0] monitor!target[0x20]",
         "====>Vel USB Device is detached<====", "[info] plugInMonitor: target 0x20 abandoned",
         "Disconnect [0] device success!!!", "[info] send exit signal"});
}

TEST_F(PlugExit520, StopDuringAPlugInExitsWithZero) {
    EXPECT_EXIT(
        {
            auto model = std::make_shared<emu::Model520>();
            model->plugMonitor(0, vtest::smallMonitor520(), false);
            model->setAnswer(0, 0, emu::AnswerMode::Never);
            bus.plug(model, emu::adapterIdentity("520"));
            runService([model] {
                if (!receivedCommand(*model, 0, 0)) _exit(4);
            });
        },
        ::testing::ExitedWithCode(0), "");
    expectQuietEnd();
    env.expectLogInOrder({"Plug in [0]device, [0] monitor!target[0x20]",
                          "[info] exit signal received", "cleanDevice!",
                          "[info] plugInMonitor: target 0x20 abandoned",
                          "Disconnect [0] device success!!!"});
}

TEST_F(PlugExit520, AdapterLeavingDuringAPlugOutEndsNothing) {
    EXPECT_EXIT(
        {
            auto model = std::make_shared<emu::Model520>();
            model->plugMonitor(0, vtest::smallMonitor520(), false);
            const int id = bus.plug(model, emu::adapterIdentity("520"));
            runService([&, model, id] {
                awaitLog("Monitor max mode size is");
                model->setAnswer(1, 59, emu::AnswerMode::Never);  // unbinding the monitor
                model->unplugMonitor(0);
                if (!receivedCommand(*model, 1, 59)) _exit(4);
                bus.unplug(id);
                awaitLog("Disconnect [0] device success!!!");
            });
        },
        ::testing::ExitedWithCode(0), "");
    expectQuietEnd();
    env.expectLogInOrder({"Plug out targetID=[0x20] monitor!",
                          "====>Vel USB Device is detached<====",
                          "[info] plugOutMonitor: view 0 removed without the adapter",
                          "plugOutMonitor[0] end", "Disconnect [0] device success!!!"});
}
