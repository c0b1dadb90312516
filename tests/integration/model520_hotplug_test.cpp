// Model-520 notifications against the emulated adapter: hot-plug notifications through the
// receive thread, their worker and the session's plug-in and plug-out (EVDI stand-in), the
// re-check path, port positions from target ids, the fixed table on unplug, frame-index
// feedback, and the bounds on notification bytes.
#include "session520.h"

using namespace std::chrono_literals;
using namespace m520test;

namespace {

struct Hotplug520 : Session520 {
    void SetUp() override {
        Session520::SetUp();
        dev->powerOnFinished = true;
        dev->initDone = true;
    }
    bool shown(int target) {
        return vtest::waitFor([&] {
            std::lock_guard<std::mutex> lk(dc->pnpMutex);  // the worker has finished
            return dev->target2View.count(target) == 1;
        });
    }
    bool gone(int target) {
        return vtest::waitFor([&] {
            std::lock_guard<std::mutex> lk(dc->pnpMutex);
            return dev->target2View.count(target) == 0;
        });
    }
    // Waits until `n` log lines contain `needle` and no worker runs.
    bool logged(const std::string& needle, int n = 1) {
        return vtest::waitFor(
            [&] {
                if (count(needle) < n) return false;
                std::lock_guard<std::mutex> lk(dc->pnpMutex);
                return true;
            },
            8s);
    }
    void notify(std::vector<uint8_t> targets) {
        std::vector<uint8_t> data(4, 0);
        data.insert(data.end(), targets.begin(), targets.end());
        model->queueMessage(emu::Model520::message(4, 1, 0, data));
    }
    int semValue(int view) { return vtest::semValue(&dev->frameFeedbackSemaphore[view]); }
};

}  // namespace

TEST_F(Hotplug520, PlugAtPositionOneThenRepeatedRechecksWithoutPlugging) {
    model->plugMonitor(1, monitor(0x21));
    ASSERT_TRUE(shown(0x21)) << env.log();
    EXPECT_EQ(dc->vPort_Record[1], 0x21);
    EXPECT_EQ(count("vPortReceieve[1]: 0x21"), 1);
    EXPECT_EQ(count("Plug in [0]device, [0] monitor!target[0x21]"), 1);
    EXPECT_EQ(count("plug in/out: port position change, recheckFlag:0"), 1);
    EXPECT_EQ(model->received(0, 0).size(), 1u);

    // The same notification again: re-check, one EDID comparison for 0x21, no plug.
    model->notifyPorts();
    ASSERT_TRUE(logged("[info] EDID not changed")) << env.log();
    EXPECT_EQ(count("[info] monitor status do not change, recheck"), 1);
    auto edidQueries = model->received(0, 0);
    ASSERT_EQ(edidQueries.size(), 2u);
    EXPECT_EQ(edidQueries[1].header.target, 0x21);
    EXPECT_EQ(count("Plug in [0]device"), 1);
    EXPECT_EQ(count("Plug out targetID"), 0);
}

TEST_F(Hotplug520, ChangedEdidOnRecheckPlugsOutAndIn) {
    model->plugMonitor(1, monitor(0x21));
    ASSERT_TRUE(shown(0x21));
    model->setMonitorEdid(1, emu::Model520::corpusEdid(kEdid128));
    model->notifyPorts();
    ASSERT_TRUE(logged("Plug in [0]device", 2)) << env.log();
    EXPECT_EQ(count("EDID changed for targetId 0x21"), 1);
    EXPECT_EQ(count("[info] EDID changed, recheck"), 1);
    EXPECT_EQ(count("Plug out targetID=[0x21] monitor!"), 1);
    EXPECT_TRUE(shown(0x21));
}

TEST_F(Hotplug520, EmptyPositionUnplugsTheTableTarget) {
    model->plugMonitor(2, monitor(0x22));
    ASSERT_TRUE(shown(0x22));
    EXPECT_EQ(dc->vPort_Record[2], 0x22);
    model->unplugMonitor(2);
    ASSERT_TRUE(gone(0x22)) << env.log();
    EXPECT_EQ(count("vPortReceieve[2]: 0xee"), 1);
    EXPECT_EQ(count("Plug out targetID=[0x22] monitor!"), 1);
    EXPECT_EQ(dc->vPort_Record[2], 0xEE);
}

TEST_F(Hotplug520, TargetLowBitsNameThePosition) {
    model->plugMonitor(0, monitor(0x13));
    ASSERT_TRUE(shown(0x13)) << env.log();
    EXPECT_EQ(dc->vPort_Record[3], 0x13);
    EXPECT_EQ(dc->vPort_Record[0], 0xEE);
    EXPECT_EQ(count("vPortReceieve[3]: 0x13"), 1);
}

TEST_F(Hotplug520, NotificationsBeforePowerOnAreDropped) {
    dev->powerOnFinished = false;
    model->plugMonitor(1, monitor(0x21));
    ASSERT_TRUE(vtest::waitFor([&] {
        return count(
                   "+ We Can't Handle NOTIFICATION_MONITOR_PNP before Firmware Power ON "
                   "Finish. +") == 1;
    }));
    EXPECT_EQ(dc->vPort_Record[1], 0xEE);
    // The next notification brings the state up to date.
    dev->powerOnFinished = true;
    model->notifyPorts();
    EXPECT_TRUE(shown(0x21));
}

TEST_F(Hotplug520, BadPortBytesAndShortNotifications) {
    // Position 15 names no port; 0x2F is neither stored nor plugged.
    notify({0x2F, 0xEE, 0xEE});
    ASSERT_TRUE(logged("[info] monitor status do not change, recheck"));
    for (int n = 0; n < 8; ++n) EXPECT_EQ(dc->vPort_Record[n], 0xEE);
    EXPECT_EQ(count("PID:0x520, MonitorCount:1"), 1);
    // A notification without its three bytes is dropped.
    model->queueMessage(emu::Model520::message(4, 1, 0, {0, 0, 0, 0, 0x21}));
    model->queueMessage(emu::Model520::message(4, 9, 0, {0, 0, 0, 0, 1, 0, 0}));
    ASSERT_TRUE(logged("[warning] frame-index notification with 3 data bytes dropped"));
    EXPECT_EQ(count("[warning] hot-plug notification with 1 data bytes dropped"), 1);
    EXPECT_EQ(dc->vPort_Record[1], 0xEE);
    unsigned char junk[40] = {'X'};
    EXPECT_EQ(dc->handleNotifyMessage(4, 1, junk, sizeof junk), -1);
    EXPECT_EQ(dc->handleNotifyMessage(4, 1, nullptr, 40), -1);
    EXPECT_EQ(count("HandleDisplayClassNotifyMessage: input buffer error, Len:40!"), 2);
}

TEST_F(Hotplug520, RecheckOfAnUnknownTableTargetStops) {
    // 0x11 sits at position 1, whose table target 0x21 has no stored EDID.
    model->plugMonitor(0, monitor(0x11));
    ASSERT_TRUE(shown(0x11));
    model->notifyPorts();
    ASSERT_TRUE(logged("[error] target2EDIDMap not found")) << env.log();
    EXPECT_EQ(model->received(0, 0).size(), 1u);
}

TEST_F(Hotplug520, FrameIndexFeedbackPostsTheBoundSourceOnce) {
    {
        auto lk = dc->lockMaps();
        dev->m_IDDisplayDevice2MonitorMap[0x21] = 1;
        dev->m_IDSource2DisplayDeviceMap[2] = 1;
    }
    while (sem_trywait(&dev->frameFeedbackSemaphore[2]) == 0) {
    }
    const int view0 = semValue(0);
    model->notifyFrameIndex(1, 77, 5);
    ASSERT_TRUE(vtest::waitFor([&] { return semValue(2) == 1; }));
    vel::sleepMs(50);
    EXPECT_EQ(semValue(2), 1);
    EXPECT_EQ(semValue(0), view0);
    // Credits never grow past the four a view has.
    for (int i = 0; i < 6; ++i) model->notifyFrameIndex(1, 78 + i);
    ASSERT_TRUE(vtest::waitFor([&] { return semValue(2) == 4; }));
    vel::sleepMs(100);
    EXPECT_EQ(semValue(2), 4);
    // An unbound display device is logged.
    model->notifyFrameIndex(2, 99, 7);
    ASSERT_TRUE(vtest::waitFor([&] {
        return count(
                   "[error] FW feedback FrameIndex error, dev[0]view[255][0x7] "
                   "LogicDisplayId[2] nTargetID[255] frameIndexNum[99] +") == 1;
    }));
}

TEST(Hotplug520Alone, WorkerOfAnUnownedClassGivesUpQuietly) {
    vtest::IsolatedEnv env;
    auto dev = std::make_shared<VelDev>(nullptr);
    dev->connected = true;
    dev->viewCount = 3;
    auto* dc = new VelDisplay520Class(dev.get(), 1);
    dc->bindSession(dev);
    unsigned char data[3] = {0x21, 0xEE, 0xEE};
    EXPECT_EQ(dc->doPortPnP(data), 0);
    EXPECT_EQ(dc->vPort_Record[1], 0x21);
    delete dc;
    dev->connected = false;
}

TEST_F(Hotplug520, PluggedMonitorGetsItsModeOnTheAdapter) {
    emu::setAutoDesktop(true);  // the desktop takes the EDID's preferred mode on connect
    auto m = monitor(0x20);
    m.modeList = emu::Model520::modeEntry(1920, 1080, 32, 60);
    model->plugMonitor(0, m);
    ASSERT_TRUE(shown(0x20)) << env.log();
    const int dd = deviceOf(0x20);
    ASSERT_GE(dd, 0);
    ASSERT_TRUE(vtest::waitFor([&] { return model->displayDevice(dd).modeSets > 0; })) << env.log();
    auto d = model->displayDevice(dd);
    EXPECT_EQ(d.source, 0);
    EXPECT_EQ(d.width, 1920);
    EXPECT_EQ(d.height, 1080);
    EXPECT_EQ(d.refresh, 60);
    EXPECT_TRUE(vtest::waitFor([&] { return model->displayDevice(dd).layers[1].on; }));
    // Unplugged: the adapter's display device goes with it.
    model->unplugMonitor(0);
    ASSERT_TRUE(gone(0x20));
    EXPECT_FALSE(model->displayDevice(dd).exists);
    EXPECT_TRUE(dev->m_IDSource2DisplayDeviceMap.empty());
}
