// The service with the emulated 50x-family adapter on the emulated bus: the device manager opens
// the adapter, bring-up runs against the adapter's firmware model (which refuses every packet it
// cannot take and records why), and the monitors it reports get EVDI displays.
#include <gtest/gtest.h>

#include <mutex>

#include "devmgr/DevManager.h"
#include "display/VelDisplay508ClassDriver.h"
#include "emulator/adapters/edidCorpus.h"
#include "emulator/adapters/model508.h"
#include "emulator/evdi/evdiEmu.h"
#include "emulator/usb/bus.h"
#include "fwImages508.h"
#include "pipeline/jpeg520.h"
#include "session/VelDev.h"
#include "testSupport.h"

namespace {

const char* kEdid256 = "cta3-1080p-dell-s2419h-5A2CDC31568E.bin";

struct Service508 : ::testing::Test {
    vtest::IsolatedEnv env;
    emu::Bus& bus = emu::Bus::instance();

    void SetUp() override {
        bus.reset();
        g_exitRequested = false;
        g_abortRequested = false;
        g_exitSignal = 0;
        m_BulkOutHeartbeatStatus = 0;
        m_InterruptInHeartbeatStatus = 0;
        emu::setEvdiLibVersion(1, 12, 0);
        emu::setAutoDesktop(false);
        ASSERT_TRUE(velfw::writeHostImages508(env.fwDir(), "v 2.24.1.0"));
    }
    void TearDown() override {
        if (g_dev) {
            g_dev->removeAllDevice();
            g_dev.reset();
        }
        bus.reset();
        m_BulkOutHeartbeatStatus = 0;
        m_InterruptInHeartbeatStatus = 0;
        emu::setAutoDesktop(true);
    }
    static emu::Model508::Monitor monitor() {
        return emu::Model508::monitor(emu::edidCorpusBytes(kEdid256),
                                      {{1920, 1080, 60, 32}, {1280, 720, 60, 32}});
    }
    void start() {
        g_dev = std::make_unique<DevManager>();
        ASSERT_EQ(g_dev->registerUsb(), 0);
    }
    // The shown targets of session 0 (taken under the session's plug lock).
    std::map<int, int> shown() {
        auto dev = g_dev ? g_dev->findDev(0) : nullptr;
        if (!dev) return {};
        std::lock_guard<std::mutex> lk(dev->plugFlowMutex);
        return dev->target2View;
    }
    emu::EvdiConnectRecord connection(int view) {
        auto dev = g_dev->findDev(0);
        std::lock_guard<std::mutex> lk(dev->plugFlowMutex);
        return emu::connectRecord(dev->evdiHandle[view]);
    }
};

TEST_F(Service508, MonitorAtPowerOnIsShownAndGoesWithItsUnplug) {
    auto model = std::make_shared<emu::Model508>();
    model->plugMonitor(2, monitor(), false);  // port 2: target 4
    ASSERT_GT(bus.plug(model, emu::adapterIdentity("508")), 0);
    start();
    ASSERT_TRUE(vtest::waitFor([&] { return shown().count(4) == 1; }, std::chrono::seconds(30)))
        << env.log();
    const auto rec = connection(0);
    EXPECT_TRUE(rec.connected);
    EXPECT_EQ(rec.length, 256u);
    EXPECT_EQ(rec.areaLimit, 8294400u);  // one monitor: the single-output limits
    EXPECT_EQ(rec.rateLimit, 248832000u);
    EXPECT_TRUE(model->heartbeat().open);
    EXPECT_EQ(model->heartbeat().extensionOn, 1);
    EXPECT_TRUE(model->powerOn());
    EXPECT_GE(model->frameIndexResets(), 1);
    EXPECT_EQ(model->target(4).edidReads, 1);
    EXPECT_EQ(model->target(4).modeListReads, 1);
    EXPECT_EQ(env.logCount("get caps."), 1);

    // The firmware update's exchange finds the session by its handle (device index 0): the
    // adapter's version answer comes back through the general queue.
    auto dev = g_dev->findDev(0);
    ASSERT_TRUE(dev);
    unsigned char query[48] = {'v', 'e', 'l', 't', 'a', 'r', 'v', 'e', 'x', 's', 't', 'a', 48,
                               0,   0,   0,   6,   0,   0,   0,   0x61, 1};
    unsigned char reply[1024] = {};
    int replyLength = sizeof reply;
    EXPECT_EQ(communicateWithDevice(dev->usbHandle, 0x61, query, sizeof query, reply,
                                    &replyLength),
              1);
    EXPECT_EQ(reply[16], 0x61);
    EXPECT_EQ(reply[17], 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&reply[19])), "v 2.24.1.0");
    dev.reset();

    model->unplugMonitor(2);
    ASSERT_TRUE(vtest::waitFor([&] { return shown().empty(); }, std::chrono::seconds(30)));
    EXPECT_TRUE(model->errors().empty()) << model->errors().front();
}

TEST_F(Service508, TwoMonitorsOnAnAdapterOfTheFamilyMakeADualView) {
    emu::Model508::Config config;
    config.heartbeatExtension = false;  // an older firmware
    auto model = std::make_shared<emu::Model508>(config);
    model->plugMonitor(0, monitor(), false);
    model->plugMonitor(3, monitor(), false);
    ASSERT_GT(bus.plug(model, emu::adapterIdentity("500")), 0);
    start();
    ASSERT_TRUE(vtest::waitFor([&] { return shown().size() == 2; }, std::chrono::seconds(30)))
        << env.log();
    EXPECT_EQ(shown().count(1), 1u);
    EXPECT_EQ(shown().count(8), 1u);
    for (int v = 0; v < 2; ++v) EXPECT_EQ(connection(v).areaLimit, 2073600u);
    EXPECT_EQ(model->heartbeat().legacyOn, 1);
    EXPECT_EQ(m_BulkOutHeartbeatStatus, 0);
    EXPECT_TRUE(model->errors().empty()) << model->errors().front();
}

}  // namespace
