// Unplugging while frames stream, through the whole service in-process (device manager, model-520
// bring-up, hot-plug, EVDI stand-in with its desktop, the frame pipeline): the adapter, or one of
// its monitors, goes away while the desktop keeps drawing and moving the cursor. Every time the
// session must be cleaned up completely (its object freed, none of its threads left, no EVDI or
// USB handle open) and plugging in again must work.
#include <gtest/gtest.h>

#include "desktopPainter.h"
#include "display/VelDisplayClassDriverBase.h"
#include "emulator/evdi/evdiEmu.h"
#include "managerFixture.h"

using namespace std::chrono_literals;

namespace {

using vtest::threadNames;

// Threads that belong to a session or its display class.
bool sessionThreadsLeft(std::string* which) {
    static const char* kNames[] = {"rgb2yuv520",    "velSendImg", "pollEvdiEve", "fwStatusThread",
                                   "sendHeartBeat", "initCmds",   "pnp_Thread",  "update_handler",
                                   "bgr2rgb",       "yuv2jpeg"};
    auto names = threadNames();
    which->clear();
    for (const char* n : kNames)
        if (names.count(n)) *which += std::string(n) + " ";
    return !which->empty();
}

size_t imagePackets(const std::vector<emu::M520Message>& all) {
    size_t n = 0;
    for (const auto& m : all) n += m.endpoint == 0x02 && m.error.empty();
    return n;
}

struct Unplug520 : vtest::ManagerTest {
    std::unique_ptr<vtest::DesktopPainter> painter;

    void SetUp() override {
        emu::setEvdiLibVersion(1, 12, 0);
        emu::setAutoDesktop(true);
        ManagerTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(startManager());
        painter = std::make_unique<vtest::DesktopPainter>();
    }
    void TearDown() override {
        painter.reset();
        ManagerTest::TearDown();
    }

    // Waits until the model has accepted `more` further image packets.
    bool streams(emu::Model520& model, size_t more) {
        size_t base = 0;
        model.waitFor(
            [&](const std::vector<emu::M520Message>& all) {
                base = imagePackets(all);
                return true;
            },
            0ms);
        return model.waitFor(
            [&](const std::vector<emu::M520Message>& all) {
                return imagePackets(all) >= base + more;
            },
            15s);
    }
};

}  // namespace

TEST_F(Unplug520, UnplugWhileStreamingTwentyTimes) {
    int cursorUploads = 0, positions = 0;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        auto model = std::make_shared<emu::Model520>();
        const int id = bus.plug(model, emu::adapterIdentity("520"));
        ASSERT_GT(id, 0);
        std::shared_ptr<VelDev> dev;
        ASSERT_TRUE(vtest::waitFor(
            [&] {
                dev = g_dev->findDev(0);
                return dev && dev->initDone;
            },
            10s))
            << env.log();
        model->plugMonitor(0, vtest::smallMonitor520());
        ASSERT_TRUE(streams(*model, 3)) << env.log();

        if (round % 2 == 1) {
            // The monitor goes while frames stream; the session stays and takes it back.
            model->unplugMonitor(0);
            ASSERT_TRUE(vtest::waitFor(
                [&] { return emu::openHandles().empty() && dev->shownTargets().empty(); }, 10s));
            model->plugMonitor(0, vtest::smallMonitor520());
            ASSERT_TRUE(streams(*model, 3)) << env.log();
        }

        cursorUploads += model->cursors().uploads;
        positions += model->displayDevice(0).positionUpdates;
        std::weak_ptr<VelDev> session = dev;
        std::weak_ptr<VelDisplayClassBase> displayClass = dev->displayClass;
        dev.reset();
        ASSERT_EQ(bus.unplug(id), 0);
        ASSERT_TRUE(vtest::waitFor([&] { return g_dev->deviceCount() == 0; }, 10s));
        // Nothing of the session is left: its object and its display class are freed, which
        // also means no thread of theirs holds them any more.
        ASSERT_TRUE(
            vtest::waitFor([&] { return session.expired() && displayClass.expired(); }, 10s));
        std::string left;
        ASSERT_TRUE(vtest::waitFor([&] { return !sessionThreadsLeft(&left); }, 10s))
            << "threads left: " << left;
        EXPECT_TRUE(emu::openHandles().empty());
        EXPECT_EQ(bus.status(id).openHandles, 0);
        EXPECT_TRUE(model->errors().empty()) << model->errors().front();
    }
    // The cursor went along with the frames.
    EXPECT_GT(cursorUploads, 0);
    EXPECT_GT(positions, 0);
    EXPECT_EQ(vtest::findLine(env.logLines(), "usb_abort"), -1);
}
