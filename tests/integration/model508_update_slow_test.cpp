// 50x-family SROM update interrupted by the adapter leaving at each step of a full rewrite, with
// the whole service running; and the command-line version query that gets no answer at all.
#include <gtest/gtest.h>

#include <atomic>

#include "devmgr/DevManager.h"
#include "display/VelDisplay508ClassDriver.h"
#include "emulator/adapters/model508.h"
#include "emulator/evdi/evdiEmu.h"
#include "emulator/usb/bus.h"
#include "fwImages508.h"
#include "pipeline/jpeg520.h"
#include "session/VelDev.h"
#include "session508.h"
#include "testSupport.h"

namespace {

struct Update508 : ::testing::Test {
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
        bus.setTransferLog({});
        if (g_dev) {
            g_dev->removeAllDevice();
            g_dev.reset();
        }
        bus.reset();
        m_BulkOutHeartbeatStatus = 0;
        m_InterruptInHeartbeatStatus = 0;
        emu::setAutoDesktop(true);
    }
};

// Update transfers of a full rewrite (bulk OUT 0x02): the work-mode query and three version
// queries, then the default-block read (step 0), the first bootloader (1), the two
// second-bootloader copies (2, 3), four secondary-firmware pieces (4..7), sixteen main-firmware
// pieces (8..23), the default block (24) and the two boot records (25, 26).
TEST_F(Update508, AdapterLeavingAtEachStepIsRewrittenWholeAtItsReturn) {
    emu::Model508::Config config;
    config.layoutNumber = 131077;  // every bring-up rewrites everything
    auto model = std::make_shared<emu::Model508>(config);
    std::atomic<int> leaveAfter{-1}, updateOuts{0}, deviceId{0};
    bus.setTransferLog([&](const emu::TransferRecord& r) {
        if (r.endpoint != 0x02 || r.status != 0) return;
        // The transfer after this one is held and unplugs the adapter.
        if (++updateOuts == 4 + leaveAfter.load())
            bus.faults(deviceId).unplugDuringTransfer(emu::Match::ep(0x02));
    });
    g_dev = std::make_unique<DevManager>();
    ASSERT_EQ(g_dev->registerUsb(), 0);
    int successes = 0;
    for (int step : {0, 1, 2, 3, 4, 8, 23, 24, 25, 26, -1}) {
        updateOuts = 0;
        leaveAfter = step >= 0 ? step : -100;
        model->clearReceived();
        deviceId = bus.plug(model, emu::adapterIdentity("508"));
        ASSERT_GT(deviceId.load(), 0);
        if (step >= 0) {
            ASSERT_TRUE(vtest::waitFor([&] { return !bus.plugged(deviceId); },
                                       std::chrono::seconds(30)))
                << "step " << step << env.log();
            // The session goes; the service stays.
            ASSERT_TRUE(vtest::waitFor([&] { return !g_dev->findDev(0); },
                                       std::chrono::seconds(30)))
                << step;
            EXPECT_FALSE(g_abortRequested) << step;
            EXPECT_EQ(env.logCount("srom return success."), successes) << step;
            // Nothing the adapter took was refused: an interrupted rewrite leaves no block that
            // names bytes it does not hold.
            EXPECT_EQ(model->firmware().refusedWrites, 0) << step;
        } else {
            ASSERT_TRUE(vtest::waitFor(
                [&] { return env.logCount("srom return success.") == successes + 1; },
                std::chrono::seconds(60)))
                << env.log();
            ++successes;
        }
    }
    // What the adapter holds at the end is the host's images with consistent blocks: the
    // version it reports is the host's, and every write it took passed its checks.
    EXPECT_EQ(model->firmwareVersionHeld(), "v 2.24.1.0");
    EXPECT_EQ(env.logCount("Update firmware all."), 11);
    EXPECT_TRUE(model->errors().empty()) << model->errors().front();
    EXPECT_FALSE(g_abortRequested);
}

struct Silent508 : vtest::Session508 {
    std::shared_ptr<emu::Model508> model = std::make_shared<emu::Model508>();
    std::shared_ptr<emu::DeviceModel> adapter() override { return model; }
    bool withReceiver() override { return false; }
};

TEST_F(Silent508, VersionQueryWithoutAnyAnswerGivesUpAfterThirtyReads) {
    model->setAnswer(0x61, emu::AnswerMode::Never);
    EXPECT_EQ(dc->optGetVersion(1), -1);
    EXPECT_EQ(count("******Rev Data failed, wait 60 times******"), 1);
    EXPECT_EQ(model->received(0x61).size(), 1u);
}

}  // namespace
