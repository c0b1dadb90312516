// Unplugging a 50x-family adapter, or one of its monitors, while both views stream, through the
// whole service in-process: twenty rounds of each. Every time nothing may crash, the service's
// thread count must come back to what it was (the session's threads, the views' four pipeline
// threads each, the update handlers: all gone), and plugging in again must show the desktop.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "desktopPainter.h"
#include "processUsage.h"
#include "service508.h"

using namespace std::chrono_literals;

namespace {

std::string threadNames() {
    std::string names;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string comm = vtest::readFile(e.path().string() + "/comm");
        if (!comm.empty() && comm.back() == '\n') comm.pop_back();
        names += comm + " ";
    }
    return names;
}

struct Unplug508 : vtest::Service508 {
    std::unique_ptr<vtest::DesktopPainter> painter;
    long baseline = 0;

    void SetUp() override {
        Service508::SetUp();
        g_dev = std::make_unique<DevManager>();
        ASSERT_EQ(g_dev->registerUsb(), 0);
        // The desktops of every open display keep drawing, whatever the service is doing.
        painter = std::make_unique<vtest::DesktopPainter>(4, false);
        // What runs without an adapter: the manager's, the emulator's, the painter.
        std::this_thread::sleep_for(300ms);
        baseline = vtest::threadCount();
    }
    void TearDown() override {
        painter.reset();
        Service508::TearDown();
    }
    // Plugs a new adapter with two monitors and waits until both views stream.
    int plugAdapter() {
        model = std::make_shared<emu::Model508>();
        model->plugMonitor(0, monitor(1280, 720), false);
        model->plugMonitor(1, monitor(1024, 768), false);
        const int id = bus.plug(model, emu::adapterIdentity("508"));
        EXPECT_GT(id, 0);
        EXPECT_TRUE(vtest::waitFor(
            [&] {
                dev = g_dev->findDev(0);
                return dev && dev->shownTargets().size() == 2;
            },
            30s))
            << env.log();
        EXPECT_TRUE(streams(0) && streams(1)) << refusals();
        return id;
    }
    std::string logTail() {
        const auto lines = env.logLines();
        std::string t;
        for (size_t i = lines.size() > 80 ? lines.size() - 80 : 0; i < lines.size(); ++i)
            t += lines[i] + "\n";
        return t;
    }
    // Stops the painter and leaves both desktops with windows and text (a screen of one colour
    // would prove nothing about the picture), then waits for the pictures to settle.
    void finalScene() {
        painter.reset();
        for (int v = 0; v < 2; ++v)
            for (emu::Scene scene : {emu::Scene::MovingWindow, emu::Scene::ScrollingText}) {
                emu::desktopSetScene(handleOf(v), scene);
                emu::desktopStep(handleOf(v));
            }
        settle();
    }
    // The view's picture is the desktop: a patchwork of JPEG regions of several frames, so it
    // is held to 30 dB, not to the whole-frame round trip's PSNR.
    void expectShows(int view) {
        double reference = 0, shown = 0;
        vtest::waitFor([&] { return (shown = shownPsnr(view, &reference)) >= 30.0; }, 10s);
        EXPECT_GE(shown, 30.0) << "view " << view << ": " << refusals();
        EXPECT_GT(model->view(view).framesShown, 0u);
    }
    bool streams(int view) {
        const uint64_t before = model->view(view).images;
        return vtest::waitFor([&] { return model->view(view).images >= before + 3; }, 15s);
    }
    void unplugAdapter(int id) {
        std::weak_ptr<VelDev> session = dev;
        dev.reset();
        ASSERT_EQ(bus.unplug(id), 0);
        ASSERT_TRUE(vtest::waitFor([&] { return g_dev->deviceCount() == 0; }, 15s));
        ASSERT_TRUE(vtest::waitFor([&] { return session.expired(); }, 15s));
        ASSERT_TRUE(vtest::waitFor([&] { return emu::openHandles().empty(); }, 15s));
        EXPECT_EQ(bus.status(id).openHandles, 0);
        // Generous: detached threads leave on their own time.
        ASSERT_TRUE(vtest::waitFor([&] { return vtest::threadCount() <= baseline; }, 20s))
            << vtest::threadCount() << " threads, " << baseline << " before: " << threadNames();
    }
};

}  // namespace

TEST_F(Unplug508, AdapterGoesWhileBothViewsStreamTwentyTimes) {
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const int id = plugAdapter();
        ASSERT_GT(id, 0);
        EXPECT_TRUE(model->errors().empty()) << refusals();
        unplugAdapter(id);
        if (HasFatalFailure()) return;
    }
    // Plugged in again, the adapter shows the desktop.
    const int id = plugAdapter();
    finalScene();
    expectShows(0);
    expectShows(1);
    unplugAdapter(id);
    EXPECT_EQ(vtest::findLine(env.logLines(), "usb_abort"), -1);
}

TEST_F(Unplug508, MonitorGoesWhileBothViewsStreamTwentyTimes) {
    const int id = plugAdapter();
    ASSERT_GT(id, 0);
    std::this_thread::sleep_for(300ms);
    // With the adapter's session running: its threads and both views' pipelines.
    const long withBoth = vtest::threadCount();
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const int port = round % 2;
        model->unplugMonitor(port, true);
        ASSERT_TRUE(vtest::waitFor([&] { return dev->shownTargets().size() == 1; }, 15s))
            << env.log();
        // The monitor left alone goes on as a single output, on view 0, and streams there.
        EXPECT_TRUE(streams(0)) << refusals() << logTail();
        model->plugMonitor(port, port ? monitor(1024, 768) : monitor(1280, 720), true);
        ASSERT_TRUE(vtest::waitFor([&] { return dev->shownTargets().size() == 2; }, 15s))
            << env.log();
        EXPECT_TRUE(streams(0) && streams(1)) << refusals();
        // Nothing of the gone view is left running (its pipeline threads are new ones).
        ASSERT_TRUE(vtest::waitFor([&] { return vtest::threadCount() <= withBoth; }, 20s))
            << vtest::threadCount() << " threads, " << withBoth << " before: " << threadNames();
    }
    EXPECT_TRUE(model->errors().empty()) << refusals();
    finalScene();
    expectShows(0);
    expectShows(1);
    unplugAdapter(id);
    EXPECT_EQ(vtest::findLine(env.logLines(), "usb_abort"), -1);
}
