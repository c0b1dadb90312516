// The device manager against the emulated USB bus, in-process: arrival at start-up and later,
// open/reset/claim with their failure paths, departure, the two-adapter limit, clean stop.
#include <gtest/gtest.h>
#include <libusb-1.0/libusb.h>


#include "display/VelDisplayClassDriverBase.h"
#include "emulator/usb/silent_adapter.h"
#include "service/debug.h"
#include "managerFixture.h"

namespace {

struct DevMgr : vtest::ManagerTest {
    // Second-generation adapters get the model-520 firmware model (a silent one would fail
    // bring-up and end the process after 3 s); the 50x family a silent adapter.
    int plug(const char* model) {
        std::string m = model;
        std::shared_ptr<emu::DeviceModel> dm;
        if (m.rfind("52", 0) == 0) dm = std::make_shared<emu::Model520>();
        else dm = std::make_shared<emu::SilentAdapter>();
        return bus.plug(dm, emu::adapterIdentity(model));
    }
    void start() { startManager(); }
    std::vector<std::string> lines() { return env.logLines(); }
};

}  // namespace

TEST_F(DevMgr, AdapterPresentAtStartIsOpenedDuringRegistration) {
    int id = plug("520");
    start();
    // Enumeration ran inside registration, on this thread: the session exists already.
    ASSERT_EQ(g_dev->deviceCount(), 1u);
    auto dev = g_dev->findDev(0);
    ASSERT_TRUE(dev);
    EXPECT_EQ(dev->model, 0x520u);
    EXPECT_EQ(dev->productId, 0x0520u);
    EXPECT_EQ(dev->viewCount, 3);
    EXPECT_EQ(dev->interfaceNumber, 4);
    EXPECT_TRUE(dev->connected);
    auto st = bus.status(id);
    EXPECT_EQ(st.resets, 1);
    EXPECT_EQ(st.openHandles, 1);
    EXPECT_TRUE(st.claimedInterfaces & (1u << 4));
    EXPECT_EQ(st.altSetting[4], 1);
    expectInOrder({"====>Vel USB Device is attached<====", "+---------------Vel Driver Information",
                   "Release type:      Velmora Linux USB Display Driver",
                   "Driver version:            v2.24.6.0", "Support products:       VL50X VL520",
                   "+---------------------------------------------------+",
                   "Dev[0] (bus ", "USB run as USB320", "Current Product is VL520",
                   "nb interfaces: 5", "initialize Vel TOPO view ID 0............",
                   "initialize Vel TOPO view ID 1............",
                   "initialize Vel TOPO view ID 2............"});
    for (int v = 0; v < 3; ++v) {
        EXPECT_EQ(dev->viewTable[v].first, -1);
        EXPECT_EQ(dev->frameIndex520[v], 1);
    }
}

TEST_F(DevMgr, InterfaceAndClassFollowTheProductId) {
    struct Case {
        const char* model;
        uint32_t expectModel;
        int iface;
        int views;
        uint32_t cmdEp;
    };
    for (Case c : {Case{"520A", 0x520, 0, 3, 0}, Case{"522", 0x520, 4, 3, 0},
                   Case{"508", 0x508, 4, 2, 1}, Case{"505", 0x505, 4, 2, 1},
                   Case{"500", 0x500, 0, 2, 1}}) {
        SCOPED_TRACE(c.model);
        int id = plug(c.model);
        start();
        auto dev = g_dev->findDev(0);
        ASSERT_TRUE(dev);
        EXPECT_EQ(dev->model, c.expectModel);
        EXPECT_EQ(dev->interfaceNumber, c.iface);
        EXPECT_EQ(dev->viewCount, c.views);
        EXPECT_EQ(dev->cmdEndpoint508, c.cmdEp);
        EXPECT_TRUE(bus.status(id).claimedInterfaces & (1u << c.iface));
        g_dev->removeAllDevice();
        g_dev.reset();
        bus.reset();
    }
}

TEST_F(DevMgr, LaterArrivalAndDepartureOnTheEventThread) {
    start();
    EXPECT_EQ(g_dev->deviceCount(), 0u);
    int id = plug("508");
    // The entry exists from early in the open; wait for the open to finish (the worker lets go
    // of the arrival under hotplugMutex once device_open_set has returned, which also orders
    // the session's fields before the reads below).
    ASSERT_TRUE(vtest::waitFor([&] {
        if (vtest::findLine(lines(), "initialize Vel TOPO view ID 2") < 0) return false;
        std::lock_guard<std::mutex> lk(g_dev->hotplugMutex);
        return g_dev->hotplugOpening == nullptr;
    }));
    auto dev = g_dev->findDev(0);
    ASSERT_TRUE(dev);
    EXPECT_EQ(dev->model, 0x508u);
    dev.reset();
    bus.unplug(id);
    ASSERT_TRUE(vtest::waitFor([&] { return g_dev->deviceCount() == 0; }));
    expectInOrder({"====>Vel USB Device is detached<====", "setDevConFlagbyLibusb!",
                   "removeDevbyLibusb!", "cleanDevice!", "[warning] no view ID.",
                   "Disconnect [0] device success!!!"});
    EXPECT_EQ(bus.status(id).openHandles, 0);
}

// Clean-up of a departure runs off the event thread (it waits for transfers only that thread
// can finish) and keeps the session's key until it is over: an adapter plugged straight back
// is opened after it, under the same key, and the service goes on.
TEST_F(DevMgr, QuickReplugIsOpenedAfterTheDepartedSessionIsCleanedUp) {
    start();
    int id = plug("520");
    ASSERT_TRUE(vtest::waitFor(
        [&] { return vtest::findLine(lines(), "initialize Vel TOPO view ID 2") >= 0; }));
    bus.unplug(id);
    id = plug("520");
    ASSERT_TRUE(vtest::waitFor([&] {
        const auto l = lines();
        const int cleaned = vtest::findLine(l, "cleanDevice!");
        auto d = g_dev->findDev(0);
        return cleaned >= 0 && vtest::findLine(l, "Dev[0]", cleaned) >= 0 &&
               g_dev->deviceCount() == 1 && d && d->usbDevice;
    })) << env.log();
    expectInOrder({"Dev[0]", "====>Vel USB Device is detached<====", "cleanDevice!",
                   "Disconnect [0] device success!!!", "Dev[0]"});
    EXPECT_EQ(vtest::findLine(lines(), "Key 0 already exists in the map."), -1);
    EXPECT_FALSE(g_abortRequested);
    EXPECT_EQ(g_dev->removeAllDevice(), 0);
    EXPECT_EQ(bus.status(id).openHandles, 0);
}

TEST_F(DevMgr, TwoAdaptersGetKeysZeroAndOneAndTheirOwnThreads) {
    plug("520");
    plug("508");
    start();
    ASSERT_EQ(g_dev->deviceCount(), 2u);
    auto a = g_dev->findDev(0), b = g_dev->findDev(1);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(b->convThreadId[0], a->convThreadId[0] + 1);
    expectInOrder({"Dev[0]", "Key 0 already exists in the map.", "Dev[1]"});
    EXPECT_EQ(g_dev->removeAllDevice(), 0);
    EXPECT_EQ(g_dev->deviceCount(), 0u);
}

TEST_F(DevMgr, RegistrationFailuresLeaveTheServiceIdle) {
    bus.failNextInit(LIBUSB_ERROR_OTHER);
    g_dev = std::make_unique<DevManager>();
    EXPECT_EQ(g_dev->registerUsb(), -1);
    expectInOrder({"Init Error"});
    g_dev.reset();
    bus.reset();

    bus.setHotplugCapability(false);
    g_dev = std::make_unique<DevManager>();
    EXPECT_EQ(g_dev->registerUsb(), -1);
    expectInOrder({"Hotplug capabilites are not supported on this platform!"});
    g_dev.reset();
    bus.reset();

    bus.failHotplugRegistration(LIBUSB_ERROR_NO_MEM);
    g_dev = std::make_unique<DevManager>();
    EXPECT_EQ(g_dev->registerUsb(), -1);
    expectInOrder({"Error creating a hotplug callback!"});
}

TEST_F(DevMgr, SessionWithNothingPluggedIsDestroyedPromptly) {
    auto t0 = std::chrono::steady_clock::now();
    {
        VelDev dev(nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(ms, 1000);  // 100 ms of it is the destructor's settle pause
    expectInOrder({"write stop signal to notify fd success"});
}

TEST_F(DevMgr, ControlBlockIsCreatedClearedAndUnlinked) {
    start();
    ASSERT_TRUE(controlBlockService().valid());
    std::string path = "/dev/shm" + env.shmName();
    EXPECT_EQ(access(path.c_str(), F_OK), 0);
    g_dev.reset();
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    expectInOrder({"Shared memory object created successfully", "Shared memory object unlinked"});
}

// The fatal paths end the process: each runs in a forked child.
using DevMgrDeathTest = DevMgr;

TEST_F(DevMgrDeathTest, FailedOpenStepsEndTheProcessWithStatusOne) {
    ::testing::FLAGS_gtest_death_test_style = "fast";
    struct Case {
        emu::Op op;
        const char* line;
    };
    for (Case c : {Case{emu::Op::Open, "Could not open USB device"},
                   Case{emu::Op::Reset, "Could not reset USB device ret = -1"},
                   Case{emu::Op::Claim, "Error: Cannot Claim Interface #4!"},
                   Case{emu::Op::SetAltSetting,
                        "Error: Cannot set interface #4 alternate setting 1! ret=-1"}}) {
        SCOPED_TRACE(c.line);
        unlink(env.logFile().c_str());
        EXPECT_EXIT(
            {
                int id = plug("520");
                bus.faults(id).failOp(c.op, LIBUSB_ERROR_IO);
                start();
                std::this_thread::sleep_for(std::chrono::seconds(5));
                _exit(0);
            },
            ::testing::ExitedWithCode(1), "");
        expectInOrder({c.line, "Device open failed in hotplug_callback_attach!", "usb_abort!"});
    }
}

TEST_F(DevMgrDeathTest, ThirdAdapterEndsTheProcess) {
    ::testing::FLAGS_gtest_death_test_style = "fast";
    EXPECT_EXIT(
        {
            plug("520");
            plug("522");
            plug("508");
            start();
            std::this_thread::sleep_for(std::chrono::seconds(5));
            _exit(0);
        },
        ::testing::ExitedWithCode(1), "");
    expectInOrder({"Key 0 already exists in the map.", "Key 1 already exists in the map.",
                   "Error: too many device or failed to allocate Vel Dev.",
                   "Device open failed in hotplug_callback_attach!", "usb_abort!"});
}

TEST_F(DevMgrDeathTest, DepartureOfAnUnknownDeviceEndsTheProcess) {
    ::testing::FLAGS_gtest_death_test_style = "fast";
    EXPECT_EXIT(
        {
            start();
            int stranger = 0;
            DevManager::hotplug_callback_detach(g_dev->context,
                                                reinterpret_cast<libusb_device*>(&stranger),
                                                LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, nullptr);
            _exit(0);
        },
        ::testing::ExitedWithCode(1), "");
    expectInOrder({"====>Vel USB Device is detached<====",
                   "Error: [setDevConFlagbyLibusb]missing device handle.",
                   "Error: [removeDevbyLibusb] missing device handle.",
                   "Device close failed in hotplug_callback_detach!", "usb_abort!"});
}

TEST_F(DevMgrDeathTest, AbortWakesTheMainThreadFirst) {
    ::testing::FLAGS_gtest_death_test_style = "fast";
    EXPECT_EXIT(
        {
            start();
            std::thread([] { g_dev->usb_abort(nullptr); }).detach();
            g_dev->waitForExit();
            vel_Print("main woke\n");
            std::this_thread::sleep_for(std::chrono::seconds(5));
            _exit(0);
        },
        ::testing::ExitedWithCode(1), "");
    expectInOrder({"usb_abort!", "main woke"});
}

using vtest::threadNames;

TEST_F(DevMgr, SessionAndEventThreadsCarryTheirNames) {
    plug("520");
    start();
    ASSERT_TRUE(vtest::waitFor([] {
        auto n = threadNames();
        return n.count("rgb2yuv520") && n.count("velSendImg") && n.count("pollEvdiEve") &&
               n.count("usbHandler");
    })) << "threads seen: " << [] {
        std::string s;
        for (const auto& n : threadNames()) s += n + " ";
        return s;
    }();
    g_dev->removeAllDevice();
    // The session's own threads end with it.
    ASSERT_TRUE(vtest::waitFor([] {
        auto n = threadNames();
        return !n.count("rgb2yuv520") && !n.count("velSendImg") && !n.count("pollEvdiEve");
    }));
}

// Stop with a brought-up session: once removeAllDevice has returned, no other thread can reach
// the manager through g_dev or the control block any more. The event thread has ended, and so
// have the display class's detached threads (receive, bring-up, heartbeat), which used both
// without a lock; the class and the session they held are gone. The caller may then let go of
// g_dev and the block without a race.
TEST_F(DevMgr, StopEndsEveryThreadThatReachesTheManager) {
    plug("520");
    start();
    std::weak_ptr<VelDev> weakDev;
    std::weak_ptr<VelDisplayClassBase> weakDc;
    ASSERT_TRUE(vtest::waitFor([&] {
        auto d = g_dev->findDev(0);
        if (!d || !d->initDone) return false;
        weakDev = d;
        weakDc = d->displayClass;
        return threadNames().count("sendHeartBeat") == 1;
    })) << env.log();
    g_dev->removeAllDevice();
    // Checked at once: the stop itself has waited.
    EXPECT_TRUE(weakDc.expired());
    EXPECT_TRUE(weakDev.expired());
    EXPECT_GE(vtest::findLine(lines(), "libusbEventHandle thread exit!"), 0) << env.log();
    EXPECT_EQ(vtest::findLine(lines(), "display-class threads still running"), -1);
    EXPECT_FALSE(g_abortRequested);
}
