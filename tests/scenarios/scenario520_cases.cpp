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
    drawFrames(30);
    EXPECT_TRUE(vtest::waitFor([&] { return images(a) >= 10; }, 10s)) << images(a) << " images\n"
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
    drawFrames(30);
    auto devicesWithImages = [&] {
        std::set<int> dds;
        for (int dd = 0; dd < 3; ++dd)
            if (images(a, dd) >= 3) dds.insert(dd);
        return dds.size();
    };
    EXPECT_TRUE(vtest::waitFor([&] { return devicesWithImages() == 3; }, 10s))
        << images(a, 0) << " " << images(a, 1) << " " << images(a, 2) << "\n"
        << env.log();
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
    ASSERT_EQ(frontEnd->unplug(a.id), 0);
    EXPECT_TRUE(waitLog("====>Vel USB Device is detached<====")) << env.log();
    drawing = false;
    painter.join();
    ASSERT_TRUE(streaming) << env.log();
    stopFeedback();
    // The session is gone; the service runs on and takes the adapter when it comes back.
    EXPECT_TRUE(vtest::waitFor([] { return emu::openHandles().empty(); }, 10s));
    EXPECT_EQ(logCount("usb_abort"), 0) << env.log();
    scen::Adapter b = plugAdapter();
    ASSERT_TRUE(waitLog("====>Vel USB Device is attached<====", 2)) << env.log();
    ASSERT_TRUE(waitBeats(b, 1)) << env.log();
    ASSERT_TRUE(plugMonitor(b, 0)) << env.log();
    startFeedback(b);
    drawFrames(20);
    EXPECT_TRUE(vtest::waitFor([&] { return images(b) >= 5; }, 10s)) << env.log();
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
    // next to nothing.
    EXPECT_LT(cpu, 0.25 * wall);
    stopService();
}

TEST_F(Scenario520, FrameCreditsPaceTheStream) {
    scen::Adapter a = plugAdapter();
    startService();
    ASSERT_TRUE(waitBeats(a, 1)) << env.log();
    ASSERT_TRUE(plugMonitor(a, 0)) << env.log();
    // Without feedback the view runs out of credits: the images stop however much is drawn.
    drawFrames(20);
    int stalled = images(a);
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(50ms);
        const int now = images(a);
        if (now == stalled && i >= 4) break;
        stalled = now;
    }
    ASSERT_GT(stalled, 0) << env.log();
    EXPECT_LE(stalled, 8) << "images sent without any frame credit given back";
    drawFrames(10);
    EXPECT_EQ(images(a), stalled);
    // Each feedback gives one credit back; with them the stream goes on.
    startFeedback(a);
    drawFrames(20);
    EXPECT_TRUE(vtest::waitFor([&] { return images(a) >= stalled + 5; }, 10s))
        << stalled << " then " << images(a);
    stopService();
    for (const auto& e : a.model->errors()) ADD_FAILURE() << "refused: " << e;
}
