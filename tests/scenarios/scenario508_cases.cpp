// The 50x-family scenarios; compiled into each front-end's test program (see scenario.h).
#include "emulator/adapters/model520.h"
#include "emulator/evdi/desktop.h"
#include "emulator/evdi/evdiEmu.h"
#include "pictureReference.h"
#include "scenario508.h"

using namespace std::chrono_literals;
using scen::Scenario508;

namespace {

// Raises the adapter's monitor event again every 1.5 s until `done` holds: the service drops
// an event whose monitor count equals the last one within 100 ms of that check, as it would a
// bouncing hot-plug line, so a test that changes ports without changing the count repeats it.
bool notifyUntil(const scen::Adapter508& a, const std::function<bool()>& done,
                 std::chrono::milliseconds timeout = 30s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (vtest::waitFor(done, 1500ms)) return true;
        a.model->notifyPorts();
    }
    return done();
}

}  // namespace

TEST_F(Scenario508, BringUpPowersViewsFindsHostImagesAndOpensHeartbeat) {
    scen::Adapter508 a = plugAdapter("508");
    startService();
    ASSERT_TRUE(waitBroughtUp(a)) << env.log();
    EXPECT_TRUE(waitLog("USB run as USB320")) << env.log();
    EXPECT_TRUE(waitLog("found updateBin in file system, FW Version: v 2.24.1.0")) << env.log();
    const auto power = a.model->received(0x32);
    ASSERT_GE(power.size(), 2u);
    EXPECT_EQ(power[0].viewSelect, 0x00);
    EXPECT_EQ(power[1].viewSelect, 0x10);
    EXPECT_EQ(a.model->view(0).power, 1);
    EXPECT_EQ(a.model->view(1).power, 1);
    EXPECT_EQ(a.model->firmware().images, 0);
    EXPECT_GE(a.model->frameIndexResets(), 1);
    EXPECT_TRUE(a.model->heartbeat().open);
    stopService();
    expectNoRefusals(a);
}

// The USB 2 part with its one interface.
TEST_F(Scenario508, BringUpOfTheHighSpeedPart) {
    scen::Adapter508 a = plugAdapter("500");
    startService();
    ASSERT_TRUE(waitBroughtUp(a)) << env.log();
    EXPECT_TRUE(waitLog("USB run as USB210")) << env.log();
    EXPECT_TRUE(a.model->heartbeat().open);
    stopService();
    expectNoRefusals(a);
}

TEST_F(Scenario508, HeartbeatsOfTheFirmwareThatKnowsTheExtension) {
    scen::Adapter508 a = plugAdapter();
    startService();
    ASSERT_TRUE(waitBroughtUp(a)) << env.log();
    // Nothing else goes out: bulk beats come once two seconds pass without a bulk transfer.
    EXPECT_TRUE(vtest::waitFor([&] { return a.model->heartbeat().bulkBeats >= 2; }, 15s))
        << env.log();
    EXPECT_EQ(a.model->heartbeat().extensionOn, 1);
    EXPECT_EQ(a.model->heartbeat().legacyOn, 0);
    EXPECT_EQ(a.model->unknownCommands(), 0);
    stopService();
    expectNoRefusals(a);
}

TEST_F(Scenario508, HeartbeatOfTheOlderFirmwareFallsBackAndSendsNoBulkBeats) {
    emu::Model508::Config c;
    c.heartbeatExtension = false;
    scen::Adapter508 a = plugAdapter("505", c);
    startService();
    ASSERT_TRUE(waitBroughtUp(a)) << env.log();
    EXPECT_EQ(a.model->heartbeat().legacyOn, 1);
    EXPECT_TRUE(a.model->heartbeat().open);
    EXPECT_EQ(a.model->unknownCommands(), 1);  // the 0xD7 probe
    // Past the two idle seconds after which a bulk beat would be due.
    std::this_thread::sleep_for(3s);
    EXPECT_EQ(a.model->heartbeat().bulkBeats, 0);
    stopService();
    expectNoRefusals(a);
}

TEST_F(Scenario508, OneAndTwoMonitorsPluggedAndUnplugged) {
    scen::Adapter508 a = plugAdapter();
    startService();
    ASSERT_TRUE(waitBroughtUp(a)) << env.log();
    a.model->plugMonitor(0, monitor());
    ASSERT_TRUE(waitDisplays(1)) << env.log();
    EXPECT_GE(a.model->target(1).edidReads, 1);
    EXPECT_GE(a.model->target(1).modeListReads, 1);
    a.model->plugMonitor(2, monitor());
    ASSERT_TRUE(waitDisplays(2)) << env.log();
    EXPECT_GE(a.model->target(4).edidReads, 1);
    a.model->unplugMonitor(0);
    ASSERT_TRUE(vtest::waitFor(
        [&] { return displays() == 1 && logCount("Total Monitor number = 1") >= 2; }, 20s))
        << env.log();
    a.model->unplugMonitor(2);
    ASSERT_TRUE(waitDisplays(0)) << env.log();
    stopService();
    expectNoRefusals(a);
}

// Three monitors: the service serves two (targets 1 and 4 of the mask 0x07); the third gets a
// view once the first leaves.
TEST_F(Scenario508, PendingThirdMonitorTakesTheViewThatFrees) {
    scen::Adapter508 a = plugAdapter();
    for (int port = 0; port < 3; ++port) a.model->plugMonitor(port, monitor(), false);
    startService();
    ASSERT_TRUE(waitBroughtUp(a)) << env.log();
    ASSERT_TRUE(waitDisplays(2)) << env.log();
    EXPECT_GE(a.model->target(1).edidReads, 1);
    EXPECT_GE(a.model->target(4).edidReads, 1);
    EXPECT_EQ(a.model->target(2).edidReads, 0);
    a.model->unplugMonitor(0);
    ASSERT_TRUE(notifyUntil(a, [&] {
        return a.model->target(2).modeListReads >= 1 && displays() == 2;
    })) << env.log();
    stopService();
    expectNoRefusals(a);
}

TEST_F(Scenario508, AdapterUnpluggedDuringBringUp) {
    scen::Adapter508 a = plugAdapter();
    // The first power-state answer comes late: the adapter leaves while bring-up waits for it.
    a.model->setAnswer(0x32, emu::AnswerMode::Late, 3000ms, 1);
    startService();
    ASSERT_TRUE(vtest::waitFor([&] { return !a.model->received(0x32).empty(); }, 15s)) << env.log();
    ASSERT_EQ(frontEnd->unplug(a.id), 0);
    ASSERT_TRUE(waitLog("====>Vel USB Device is detached<====")) << env.log();
    EXPECT_TRUE(waitLog("cleanDevice!")) << env.log();
    // The service carries on without the adapter and stops in order.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(logCount("usb_abort"), 0) << env.log();
    stopService();
    EXPECT_EQ(displays(), 0u);
}

TEST_F(Scenario508, AdapterUnpluggedDuringAMonitorCheck) {
    scen::Adapter508 a = plugAdapter();
    a.model->plugMonitor(1, monitor(), false);
    // The EDID answer comes late: the adapter leaves while the monitor check waits for it.
    a.model->setAnswer(0x60, emu::AnswerMode::Late, 3000ms, 1);
    startService();
    ASSERT_TRUE(waitBroughtUp(a)) << env.log();
    ASSERT_TRUE(vtest::waitFor([&] { return !a.model->received(0x60).empty(); }, 15s)) << env.log();
    ASSERT_EQ(frontEnd->unplug(a.id), 0);
    ASSERT_TRUE(waitLog("====>Vel USB Device is detached<====")) << env.log();
    EXPECT_TRUE(waitLog("cleanDevice!")) << env.log();
    EXPECT_TRUE(waitDisplays(0)) << env.log();
    EXPECT_EQ(logCount("usb_abort"), 0) << env.log();
    stopService();
}

TEST_F(Scenario508, FiftyXAndModel520SideBySide) {
    emu::Model520::Config c520;
    c520.acknowledgeFrames = false;
    c520.decodeImages = false;
    auto m520 = std::make_shared<emu::Model520>(c520);
    const int id520 = frontEnd->plug(m520, emu::adapterIdentity("520"));
    ASSERT_GT(id520, 0);
    scen::Adapter508 a = plugAdapter("508");
    startService();
    ASSERT_TRUE(waitBroughtUp(a)) << env.log();
    EXPECT_TRUE(vtest::waitFor([&] { return m520->heartbeat().beats >= 2; }, 15s)) << env.log();
    a.model->plugMonitor(0, monitor());
    EXPECT_TRUE(waitDisplays(1)) << env.log();
    EXPECT_EQ(logCount("Current Product is VL508"), 1);
    EXPECT_EQ(logCount("Current Product is VL520"), 1);
    stopService();
    expectNoRefusals(a);
    for (const auto& e : m520->errors()) ADD_FAILURE() << "model 520 refused: " << e;
}

// The adapter decodes every image packet and acknowledges each frame itself: once the desktops
// have settled, each monitor (ports 0 and 2, so both views and a port that is not the view's
// index) shows its own desktop as well as libjpeg-turbo's 4:2:0 round trip of it would.
TEST_F(Scenario508, TwoMonitorsShowTheirDesktops) {
    scen::Adapter508 a = plugAdapter("508");
    startService();
    ASSERT_TRUE(waitBroughtUp(a)) << env.log();
    const int ports[2] = {0, 2};
    void* displays[2] = {plugMonitor(a, ports[0], monitor()), nullptr};
    ASSERT_TRUE(displays[0]) << env.log();
    displays[1] = plugMonitor(
        a, ports[1], emu::Model508::monitor(emu::makeEdid(1280, 720, 60), {{1280, 720, 60, 32}}));
    ASSERT_TRUE(displays[1]) << env.log();
    // A window moving over the wallpaper on both. Not the scrolling text box: 50x regions start
    // on any even row, so a settled box is compressed on another block grid than the
    // whole-frame round trip it is held against. Nor the full-screen scene: one flat colour
    // is kept losslessly and would prove nothing.
    const emu::Scene scenes[2] = {emu::Scene::MovingWindow, emu::Scene::MovingWindow};
    auto step = [&] {
        for (int i = 0; i < 2; ++i) {
            auto h = static_cast<evdi_handle>(displays[i]);
            emu::desktopSetScene(h, scenes[i]);
            emu::desktopStep(h);
        }
    };
    // Draws until both monitors show a frame, a little more, then lets the images drain.
    ASSERT_TRUE(vtest::waitFor(
        [&] {
            step();
            return a.model->view(0).framesShown > 0 && a.model->view(1).framesShown > 0;
        },
        20s))
        << a.model->view(0).framesShown << " " << a.model->view(1).framesShown << "\n"
        << env.log();
    for (int i = 0; i < 10; ++i) {
        step();
        std::this_thread::sleep_for(15ms);
    }
    ASSERT_TRUE(settle(a)) << "image packets never stopped";
    for (int i = 0; i < 2; ++i) expectShowsDesktop(a, ports[i], displays[i]);
    EXPECT_EQ(a.model->view(0).undecodable + a.model->view(1).undecodable, 0u);
    stopService();
    expectNoRefusals(a);
}

// Both generations on one bus, each painting the desktop of its monitor: the 50x picture is held
// against libjpeg-turbo's 4:2:0 round trips, the model-520 one against its 4:2:2 round trip at
// quality 90, the pipeline's settings for that model.
TEST_F(Scenario508, FiftyXAndModel520ShowTheirDesktopsSideBySide) {
    emu::Model520::Config c520;
    c520.acknowledgeFrames = true;
    c520.decodeImages = true;
    auto m520 = std::make_shared<emu::Model520>(c520);
    ASSERT_GT(frontEnd->plug(m520, emu::adapterIdentity("520")), 0);
    scen::Adapter508 a = plugAdapter("508");
    startService();
    ASSERT_TRUE(waitBroughtUp(a)) << env.log();
    ASSERT_TRUE(vtest::waitFor([&] { return m520->heartbeat().beats >= 1; }, 15s)) << env.log();
    void* h508 = plugMonitor(a, 0, monitor());
    ASSERT_TRUE(h508) << env.log();
    emu::Model520::Monitor mon;
    mon.target = 0x10;
    mon.edid = emu::makeEdid(1280, 720, 60);
    mon.modeList = emu::Model520::modeEntry(1280, 720, 32, 60);
    const size_t before = emu::openHandles().size();
    m520->plugMonitor(0, mon);
    evdi_handle h520 = nullptr;
    ASSERT_TRUE(vtest::waitFor(
        [&] {
            const auto handles = emu::openHandles();
            if (handles.size() <= before) return false;
            h520 = handles.back();
            return emu::connectRecord(h520).connected && emu::desktopRunning(h520);
        },
        20s))
        << env.log();
    auto step = [&] {
        for (evdi_handle h : {static_cast<evdi_handle>(h508), h520}) {
            emu::desktopSetScene(h, emu::Scene::MovingWindow);
            emu::desktopStep(h);
        }
    };
    ASSERT_TRUE(vtest::waitFor(
        [&] {
            step();
            return a.model->view(0).framesShown > 0 && m520->picture(0).framesShown > 0;
        },
        20s))
        << env.log();
    for (int i = 0; i < 10; ++i) {
        step();
        std::this_thread::sleep_for(15ms);
    }
    // Settled: no image packet on either adapter for 400 ms.
    uint64_t last = ~0ull;
    auto since = std::chrono::steady_clock::now();
    ASSERT_TRUE(vtest::waitFor(
        [&] {
            const uint64_t n = a.model->imagePackets(0) + a.model->imagePackets(1) +
                               m520->imagePackets(0);
            const auto now = std::chrono::steady_clock::now();
            if (n != last) {
                last = n;
                since = now;
            }
            return now - since > 400ms;
        },
        20s))
        << "image packets never stopped";
    expectShowsDesktop(a, 0, h508);
    const emu::DesktopMode mode = emu::desktopMode(h520);
    const std::vector<uint32_t> desktop = emu::desktopPixels(h520);
    const emu::Model520::Picture pic = m520->picture(0);
    ASSERT_EQ(pic.width, mode.width);
    ASSERT_EQ(pic.height, mode.height);
    ASSERT_EQ(pic.pixels.size(), desktop.size() * 4);
    const size_t stride = static_cast<size_t>(mode.width) * 4;
    const double shown = emu::psnr(reinterpret_cast<const uint8_t*>(desktop.data()),
                                   pic.pixels.data(), mode.width, mode.height, stride, stride);
    const double reference = vtest::turboRoundTripPsnr(desktop, mode.width, mode.height);
    std::printf("[ figure ] %s: model 520 %dx%d, PSNR %.2f dB (libjpeg-turbo %.2f dB)\n",
                frontEnd->name().c_str(), mode.width, mode.height, shown, reference);
    EXPECT_GE(shown, 30.0);
    EXPECT_NEAR(shown, reference, 0.5);
    stopService();
    expectNoRefusals(a);
    for (const auto& e : m520->errors()) ADD_FAILURE() << "model 520 refused: " << e;
}
