// The model-520 scenarios; compiled into each front-end's test program (see scenario520.h).
#include <cstdio>
#include <set>

#include "emulator/evdi/evdiEmu.h"
#include "scenario520.h"

using namespace std::chrono_literals;
using scen::Scenario520;

TEST_F(Scenario520, AdapterPresentAtStartIsBroughtUpAndBeats) {
    scen::Adapter a = plugAdapter();
    startService();
    ASSERT_TRUE(waitLog("====>Vel USB Device is attached<====")) << env.log();
    EXPECT_TRUE(waitLog("USB run as USB320")) << env.log();
    ASSERT_TRUE(waitBeats(a, 2)) << env.log();
    stopService();
    EXPECT_TRUE(a.model->errors().empty()) << a.model->errors().front();
    EXPECT_EQ(logCount("exit signal received"), 1);
    EXPECT_EQ(a.model->heartbeat().opens, 1);
}

TEST_F(Scenario520, AdapterArrivingLaterIsBroughtUp) {
    startService();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(logCount("====>Vel USB Device is attached<===="), 0);
    scen::Adapter a = plugAdapter();
    ASSERT_TRUE(waitLog("====>Vel USB Device is attached<====")) << env.log();
    ASSERT_TRUE(waitBeats(a, 1)) << env.log();
    stopService();
    EXPECT_TRUE(a.model->errors().empty());
}

TEST_F(Scenario520, OneMonitorShowsFrames) {
    scen::Adapter a = plugAdapter();
    startService();
    ASSERT_TRUE(waitBeats(a, 1)) << env.log();
    ASSERT_TRUE(plugMonitor(a, 0)) << env.log();
    // The desktop's mode (the EDID's preferred one) reaches the adapter's display device.
    EXPECT_TRUE(vtest::waitFor(
        [&] {
            for (int dd = 0; dd < 3; ++dd)
                if (a.model->displayDevice(dd).width == 1920 &&
                    a.model->displayDevice(dd).height == 1080)
                    return true;
            return false;
        },
        5s));
    startFeedback(a);
    EXPECT_TRUE(vtest::waitFor(
        [&] {
            drawFrames(1);
            return images(a) >= 10;
        },
        10s))
        << images(a) << " images\n"
        << env.log();
    stopService();
    for (const auto& e : a.model->errors()) ADD_FAILURE() << "refused: " << e;
}

TEST_F(Scenario520, ThreeMonitorsEachGetFrames) {
    scen::Adapter a = plugAdapter();
    startService();
    ASSERT_TRUE(waitBeats(a, 1)) << env.log();
    for (int out = 0; out < 3; ++out) ASSERT_TRUE(plugMonitor(a, out)) << out << "\n" << env.log();
    startFeedback(a);
    auto devicesWithImages = [&] {
        std::set<int> dds;
        for (int dd = 0; dd < 3; ++dd)
            if (images(a, dd) >= 3) dds.insert(dd);
        return dds.size();
    };
    EXPECT_TRUE(vtest::waitFor(
        [&] {
            drawFrames(1);
            return devicesWithImages() == 3;
        },
        10s))
        << images(a, 0) << " " << images(a, 1) << " " << images(a, 2) << "\n"
        << env.log();
    stopService();
    for (const auto& e : a.model->errors()) ADD_FAILURE() << "refused: " << e;
}

// The adapter decodes what it takes and acknowledges each frame itself: once the desktops have
// settled, each monitor shows its own desktop as well as libjpeg-turbo's round trip of it would,
// first with one monitor, then with three.
TEST_F(Scenario520, OneAndThreeMonitorsShowTheirDesktops) {
    scen::Adapter a = plugAdapter(true);
    startService();
    ASSERT_TRUE(waitBeats(a, 1)) << env.log();
    void* displays[3] = {nullptr, nullptr, nullptr};
    const emu::Scene scenes[3] = {emu::Scene::MovingWindow, emu::Scene::ScrollingText,
                                  emu::Scene::FullScreen};
    auto step = [&](int monitors) {
        for (int i = 0; i < monitors; ++i) {
            auto h = static_cast<evdi_handle>(displays[i]);
            emu::desktopSetScene(h, scenes[i]);
            emu::desktopStep(h);
        }
    };
    // Draws until every monitor shows a frame, a little more, then lets the images drain.
    auto drawAndSettle = [&](int monitors) {
        ASSERT_TRUE(vtest::waitFor(
            [&] {
                step(monitors);
                for (int i = 0; i < monitors; ++i)
                    if (a.model->picture(i).framesShown == 0) return false;
                return true;
            },
            10s))
            << a.model->picture(0).framesShown << " " << a.model->picture(1).framesShown << " "
            << a.model->picture(2).framesShown << "\n"
            << env.log();
        for (int i = 0; i < 10; ++i) {
            step(monitors);
            std::this_thread::sleep_for(15ms);
        }
        ASSERT_TRUE(settle(a)) << "image packets never stopped";
    };

    displays[0] = plugMonitor(a, 0);
    ASSERT_TRUE(displays[0]) << env.log();
    ASSERT_NO_FATAL_FAILURE(drawAndSettle(1));
    expectShowsDesktop(a, 0, displays[0]);

    for (int out = 1; out < 3; ++out) {
        displays[out] = plugMonitor(a, out);
        ASSERT_TRUE(displays[out]) << out << "\n" << env.log();
    }
    ASSERT_NO_FATAL_FAILURE(drawAndSettle(3));
    for (int out = 0; out < 3; ++out) expectShowsDesktop(a, out, displays[out]);
    for (int out = 0; out < 3; ++out) EXPECT_EQ(a.model->picture(out).stale, 0u) << out;
    stopService();
    for (const auto& e : a.model->errors()) ADD_FAILURE() << "refused: " << e;
}

TEST_F(Scenario520, AdapterUnpluggedWhileStreamingAndPluggedAgain) {
    scen::Adapter a = plugAdapter();
    startService();
    ASSERT_TRUE(waitBeats(a, 1)) << env.log();
    ASSERT_TRUE(plugMonitor(a, 0)) << env.log();
    startFeedback(a);
    std::atomic<bool> drawing{true};
    std::thread painter([&] {
        while (drawing) drawFrames(1, 10ms);
    });
    const bool streaming = vtest::waitFor([&] { return images(a) >= 5; }, 10s);
    // The receive thread waits on the response endpoint nearly all the time.
    EXPECT_TRUE(vtest::waitFor([&] { return frontEnd->transfersInFlight(a.id) >= 1; }, 2s));
    ASSERT_EQ(frontEnd->unplug(a.id), 0);
    EXPECT_TRUE(waitLog("====>Vel USB Device is detached<====")) << env.log();
    drawing = false;
    painter.join();
    ASSERT_TRUE(streaming) << env.log();
    stopFeedback();
    // What was in flight failed back to the service, nothing is left hanging.
    EXPECT_TRUE(vtest::waitFor([&] { return frontEnd->transfersInFlight(a.id) == 0; }, 5s));
    // The session is gone; the service runs on and takes the adapter when it comes back.
    EXPECT_TRUE(vtest::waitFor([] { return emu::openHandles().empty(); }, 10s));
    EXPECT_EQ(logCount("usb_abort"), 0) << env.log();
    scen::Adapter b = plugAdapter();
    ASSERT_TRUE(waitLog("====>Vel USB Device is attached<====", 2)) << env.log();
    ASSERT_TRUE(waitBeats(b, 1)) << env.log();
    ASSERT_TRUE(plugMonitor(b, 0)) << env.log();
    startFeedback(b);
    EXPECT_TRUE(vtest::waitFor(
        [&] {
            drawFrames(1);
            return images(b) >= 5;
        },
        10s))
        << env.log();
    stopService();
    for (const auto& e : b.model->errors()) ADD_FAILURE() << "refused: " << e;
}

TEST_F(Scenario520, IdleServiceUsesAlmostNoCpu) {
    scen::Adapter a = plugAdapter();
    startService();
    ASSERT_TRUE(waitBeats(a, 1)) << env.log();
    const double before = cpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(3s);
    const double cpu = cpuSeconds() - before;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("[ figure ] %s: idle service CPU %.3f s over %.2f s (%.1f%%)\n",
                frontEnd->name().c_str(), cpu, wall, 100.0 * cpu / wall);
    RecordProperty("idle_cpu_ms", static_cast<int>(cpu * 1000));
    // A busy loop (a node polling always ready) costs most of a core; a beat a second costs
    // next to nothing. CPU time does not grow with the machine's load; the sanitizers' own
    // cost per wake-up gets room.
    EXPECT_LT(cpu, (vtest::kSanitized ? 0.5 : 0.25) * wall);
    stopService();
}

TEST_F(Scenario520, FrameCreditsPaceTheStream) {
    scen::Adapter a = plugAdapter();
    startService();
    ASSERT_TRUE(waitBeats(a, 1)) << env.log();
    ASSERT_TRUE(plugMonitor(a, 0)) << env.log();
    // Without feedback the view spends its credits, then the images all but stop.
    drawFrames(20);
    int spent = images(a);
    for (int quiet = 0, i = 0; quiet < 6 && i < 100; ++i) {
        std::this_thread::sleep_for(50ms);
        const int now = images(a);
        quiet = now == spent ? quiet + 1 : 0;
        spent = now;
    }
    ASSERT_GT(spent, 0) << env.log();
    EXPECT_LE(spent, 8) << "images sent without frame credits given back";
    // Without a credit a frame goes ahead only after waiting a second for one.
    const auto t0 = std::chrono::steady_clock::now();
    drawFrames(60, 20ms);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const int starved = images(a) - spent;
    EXPECT_LE(starved, static_cast<int>(seconds) + 2) << "in " << seconds << " s";
    // Each feedback gives one credit back; with them the stream runs again.
    startFeedback(a);
    EXPECT_TRUE(vtest::waitFor(
        [&] {
            drawFrames(1);
            return images(a) >= spent + starved + 10;
        },
        10s))
        << spent << " + " << starved << " then " << images(a);
    stopService();
    for (const auto& e : a.model->errors()) ADD_FAILURE() << "refused: " << e;
}

// A measurement, not a check: frame rate and CPU per frame of one 1920x1080 view streaming as
// fast as the desktop draws and the adapter gives credits back. CPU is the whole process's
// (service, adapter model, desktop and bus front-end together).
TEST_F(Scenario520, OneView1080pStreamFigures) {
    scen::Adapter a = plugAdapter();
    startService();
    ASSERT_TRUE(waitBeats(a, 1)) << env.log();
    ASSERT_TRUE(plugMonitor(a, 0)) << env.log();
    startFeedback(a);
    ASSERT_TRUE(vtest::waitFor(
        [&] {
            drawFrames(1);
            return images(a) >= 3;
        },
        10s))
        << env.log();
    const int first = images(a);
    const double cpu0 = cpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    drawFrames(150, 5ms);
    const double cpu = cpuSeconds() - cpu0;
    const int frames = images(a) - first;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("[ figure ] %s: 1920x1080, %d frames in %.2f s = %.1f fps, CPU %.2f ms/frame\n",
                frontEnd->name().c_str(), frames, wall, frames / wall,
                frames ? 1000.0 * cpu / frames : 0.0);
    RecordProperty("fps_x10", static_cast<int>(10 * frames / wall));
    EXPECT_GT(frames, 0);
    stopService();
}

TEST_F(Scenario520, CursorAndDpmsReachTheAdapter) {
    scen::Adapter a = plugAdapter();
    startService();
    ASSERT_TRUE(waitBeats(a, 1)) << env.log();
    auto h = static_cast<evdi_handle>(plugMonitor(a, 0));
    ASSERT_TRUE(h) << env.log();
    startFeedback(a);
    drawFrames(3);
    auto shownDevice = [&]() -> int {
        for (int dd = 0; dd < 3; ++dd)
            if (a.model->displayDevice(dd).width == 1920) return dd;
        return -1;
    };
    ASSERT_TRUE(vtest::waitFor([&] { return shownDevice() >= 0; }, 5s));
    const int dd = shownDevice();

    emu::desktopSetCursor(h, 64, 64, 1, 1, true);
    emu::desktopMoveCursor(h, 300, 200);
    EXPECT_TRUE(vtest::waitFor([&] { return a.model->cursors().uploads >= 1; }, 5s));
    EXPECT_TRUE(vtest::waitFor(
        [&] {
            auto d = a.model->displayDevice(dd);
            return d.positionUpdates > 0 && d.cursorVisible && d.cursorShows > 0;
        },
        5s));
    EXPECT_EQ(a.model->cursors().unknownShows, 0);

    emu::desktopSetDpms(h, 3);  // off
    EXPECT_TRUE(vtest::waitFor([&] { return a.model->displayDevice(dd).powerOff == 1; }, 5s))
        << env.log();
    emu::desktopSetDpms(h, 0);  // on
    EXPECT_TRUE(vtest::waitFor([&] { return a.model->displayDevice(dd).powerOff == 0; }, 5s))
        << env.log();
    stopService();
    for (const auto& e : a.model->errors()) ADD_FAILURE() << "refused: " << e;
}

TEST_F(Scenario520, AdapterAtStartAndASecondArrivingLaterRunSideBySide) {
    scen::Adapter a = plugAdapter();
    startService();
    ASSERT_TRUE(waitBeats(a, 1)) << env.log();
    scen::Adapter b = plugAdapter();
    ASSERT_TRUE(waitLog("====>Vel USB Device is attached<====", 2)) << env.log();
    ASSERT_TRUE(waitBeats(b, 2)) << env.log();
    // The first adapter keeps beating; its next beat need not have come before the second's.
    EXPECT_TRUE(waitBeats(a, 2)) << a.model->heartbeat().beats;
    ASSERT_TRUE(plugMonitor(b, 1)) << env.log();
    startFeedback(b);
    EXPECT_TRUE(vtest::waitFor(
        [&] {
            drawFrames(1);
            return images(b) >= 3;
        },
        10s))
        << env.log();
    EXPECT_EQ(images(a), 0);
    stopService();
    for (const auto& e : a.model->errors()) ADD_FAILURE() << "refused by the first: " << e;
    for (const auto& e : b.model->errors()) ADD_FAILURE() << "refused by the second: " << e;
}
