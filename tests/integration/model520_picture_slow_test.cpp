// The desktop on the emulated model-520 monitors: the whole service (device manager, bring-up,
// hot-plug, EVDI stand-in, pipeline, send thread) against the emulated adapter, which checks and
// decodes every image packet and paints its monitors' pictures. Each picture, once the desktop
// has settled, is compared with the desktop; the yardstick is libjpeg-turbo's own compression and
// decompression of the same desktop frame at the pipeline's settings (quality 90, 4:2:2).
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <atomic>
#include <set>
#include <thread>

#include "emulator/evdi/evdiEmu.h"
#include "managerFixture.h"
#include "pictureReference.h"

using namespace std::chrono_literals;

namespace {

emu::Model520::Monitor monitorOf(uint16_t target, int width, int height) {
    emu::Model520::Monitor m;
    m.target = target;
    m.edid = emu::makeEdid(width, height, 60);
    m.modeList = emu::Model520::modeEntry(static_cast<uint16_t>(width),
                                          static_cast<uint16_t>(height), 32, 60);
    return m;
}

struct Picture520 : vtest::ManagerTest {
    std::shared_ptr<emu::Model520> model;
    std::shared_ptr<VelDev> dev;

    void SetUp() override {
        emu::setEvdiLibVersion(1, 12, 0);
        emu::setAutoDesktop(true);
        ManagerTest::SetUp();
    }
    void TearDown() override {
        dev.reset();
        ManagerTest::TearDown();
    }
    // The adapter with its monitors on outputs 0, 1, ... plugged before the service starts:
    // the adapter reports them when it is switched on.
    void start(std::vector<emu::Model520::Monitor> monitors, emu::Model520::Config cfg = {}) {
        model = std::make_shared<emu::Model520>(cfg);
        for (size_t i = 0; i < monitors.size(); ++i)
            model->plugMonitor(static_cast<int>(i), monitors[i], false);
        ASSERT_GT(bus.plug(model, emu::adapterIdentity("520")), 0);
        ASSERT_NO_FATAL_FAILURE(startManager());
        ASSERT_TRUE(vtest::waitFor(
            [&] {
                dev = g_dev->findDev(0);
                return dev && dev->shownTargets().size() == monitors.size();
            },
            15s))
            << env.log();
        for (size_t i = 0; i < monitors.size(); ++i)
            ASSERT_TRUE(vtest::waitFor(
                [&] {
                    // A compositor redraws now and then; the first frame follows the mode set.
                    emu::desktopSetScene(handleOf(monitors[i].target), emu::Scene::MovingWindow);
                    emu::desktopStep(handleOf(monitors[i].target));
                    return model->picture(i).framesShown > 0;
                },
                10s))
                << "monitor " << i << ", packets " << model->picture(i).packets
                << ", refused: " << refusals() << "\n"
                << env.log();
    }
    evdi_handle handleOf(int target) {
        std::lock_guard<std::mutex> lk(dev->plugFlowMutex);  // plug calls write both
        auto it = dev->target2View.find(target);
        return it == dev->target2View.end() ? nullptr : dev->evdiHandle[it->second];
    }
    void settle() { EXPECT_TRUE(vtest::waitPacketsStop(*model)) << "image packets never stopped"; }
    vtest::DesktopMatch match(int output, int target) {
        evdi_handle h = handleOf(target);
        if (!h) return {};
        const emu::DesktopMode mode = emu::desktopMode(h);
        return vtest::matchDesktop(emu::desktopPixels(h), mode.width, mode.height,
                                   model->picture(output));
    }
    // The monitor's picture against its desktop, and libjpeg-turbo's round trip as yardstick.
    void expectShowsDesktop(int output, int target, const std::string& what) {
        SCOPED_TRACE(what);
        ASSERT_NE(handleOf(target), nullptr);
        const vtest::DesktopMatch m = match(output, target);
        RecordProperty(what + "_psnr_db", std::to_string(m.shown));
        vtest::expectGoodMatch(m);
    }
    // Frame indexes of a view rise from packet to packet as the adapter takes them (a frame
    // overtaken inside the host's pipeline is not sent after the newer one), the newest frame is
    // on the screen, and no JPEG is followed by leftover bytes within its announced length.
    void expectRisingIndexes(int output) {
        const auto pic = model->picture(output);
        const auto& idx = pic.frameIndexes;
        ASSERT_FALSE(idx.empty());
        uint64_t overtaken = 0;
        for (size_t i = 1; i < idx.size(); ++i)
            if (static_cast<int32_t>(idx[i] - idx[i - 1]) <= 0) ++overtaken;
        EXPECT_EQ(overtaken, 0u) << "frames of one view arrived out of order";
        EXPECT_EQ(pic.shownIndex, idx.back());
        EXPECT_EQ(pic.stale, 0u);
        EXPECT_EQ(pic.dirtyPadding, 0u) << "stale bytes after a JPEG";
    }
    // The expectShowsDesktop rule as a condition to wait for.
    bool showsDesktop(int output, int target) { return match(output, target).good(); }
    std::string refusals() {
        std::string all;
        for (const auto& e : model->errors()) all += e + "; ";
        return all;
    }
    void expectNoRefusals() {
        const auto errors = model->errors();
        EXPECT_TRUE(errors.empty()) << errors.front();
    }
    int credits(int view) { return vtest::semValue(&dev->frameFeedbackSemaphore[view]); }
};

}  // namespace

TEST_F(Picture520, ThreeViewsShowTheirDesktops) {
    ASSERT_NO_FATAL_FAILURE(
        start({monitorOf(0x20, 640, 480), monitorOf(0x21, 800, 600), monitorOf(0x22, 720, 400)}));
    const uint16_t targets[3] = {0x20, 0x21, 0x22};
    const emu::Scene scenes[3] = {emu::Scene::MovingWindow, emu::Scene::ScrollingText,
                                  emu::Scene::FullScreen};
    for (int i = 0; i < 3; ++i) emu::desktopSetScene(handleOf(targets[i]), scenes[i]);
    for (int step = 0; step < 15; ++step) {
        for (uint16_t t : targets) emu::desktopStep(handleOf(t));
        std::this_thread::sleep_for(15ms);
    }
    settle();
    for (int i = 0; i < 3; ++i) {
        expectShowsDesktop(i, targets[i], "view" + std::to_string(i));
        expectRisingIndexes(i);
        EXPECT_GT(model->picture(i).framesShown, 1u);
        EXPECT_EQ(model->picture(i).target, targets[i]);
    }
    expectNoRefusals();
    // Every frame came back acknowledged: each view holds its four credits again.
    for (int v = 0; v < 3; ++v) EXPECT_EQ(credits(v), 4) << "view " << v << "\n" << env.log();
}

TEST_F(Picture520, EverySceneInSmartAndLightMode) {
    ASSERT_NO_FATAL_FAILURE(start({monitorOf(0x20, 640, 480)}));
    evdi_handle h = handleOf(0x20);
    const std::pair<emu::Scene, const char*> scenes[] = {
        {emu::Scene::Static, "static"},
        {emu::Scene::MovingWindow, "moving_window"},
        {emu::Scene::ScrollingText, "scrolling_text"},
        {emu::Scene::FullScreen, "full_screen"}};
    for (int light = 0; light < 2; ++light) {
        dev->lightMode = light;
        dev->powerMode = light;
        for (const auto& [scene, name] : scenes) {
            emu::desktopSetScene(h, scene);
            for (int step = 0; step < 8; ++step) {
                emu::desktopStep(h);
                std::this_thread::sleep_for(10ms);
            }
            settle();
            expectShowsDesktop(0, 0x20, std::string(light ? "light_" : "smart_") + name);
        }
    }
    expectRisingIndexes(0);
    expectNoRefusals();
}

TEST_F(Picture520, SlowAcknowledgementsKeepAtMostFourFramesInFlight) {
    emu::Model520::Config cfg;
    cfg.frameAckDelay = 120ms;
    ASSERT_NO_FATAL_FAILURE(start({monitorOf(0x20, 640, 480)}, cfg));
    evdi_handle h = handleOf(0x20);
    emu::desktopSetScene(h, emu::Scene::FullScreen);
    const auto end = std::chrono::steady_clock::now() + 1500ms;
    while (std::chrono::steady_clock::now() < end) {
        emu::desktopStep(h);
        std::this_thread::sleep_for(4ms);
    }
    settle();
    const int dd = model->received(1, 60).at(0).header.displayDevice;
    // The service used all four credits and never more. A frame goes ahead without its credit
    // only after waiting a second for it, which acknowledgements 120 ms apart prevent unless the
    // machine stalls the stream for that long; each such wait is logged and may add one frame in
    // flight, and nothing else may.
    const int wentAhead = count("waiting 1 seconds timed out");
    EXPECT_GE(model->maxFramesInFlight(dd), 4);
    EXPECT_LE(model->maxFramesInFlight(dd), 4 + wentAhead) << env.log();
    EXPECT_EQ(model->framesInFlight(dd), 0);
    expectRisingIndexes(0);
    expectShowsDesktop(0, 0x20, "after_slow_acks");
    expectNoRefusals();
}

TEST_F(Picture520, OneAcknowledgementGivesOneCreditBack) {
    ASSERT_NO_FATAL_FAILURE(start({monitorOf(0x20, 640, 480)}));
    settle();
    const int view = dev->shownTargets().at(0x20);
    ASSERT_EQ(credits(view), 4);
    while (sem_trywait(&dev->frameFeedbackSemaphore[view]) == 0) {
    }
    // With no credit left the next frame goes ahead after the one-second wait; the adapter's
    // one type-9 notification for it gives exactly one credit back.
    const uint64_t before = model->picture(0).packets;
    emu::desktopSetScene(handleOf(0x20), emu::Scene::MovingWindow);
    emu::desktopStep(handleOf(0x20));
    ASSERT_TRUE(vtest::waitFor([&] { return model->picture(0).packets == before + 1; }, 5s));
    ASSERT_TRUE(vtest::waitFor([&] { return credits(view) == 1; }, 5s));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(credits(view), 1);
    EXPECT_EQ(model->picture(0).packets, before + 1);
}

TEST_F(Picture520, DecodingOffStillChecksAndAcknowledges) {
    emu::Model520::Config cfg;
    cfg.decodeImages = false;
    model = std::make_shared<emu::Model520>(cfg);
    model->plugMonitor(0, monitorOf(0x20, 640, 480), false);
    ASSERT_GT(bus.plug(model, emu::adapterIdentity("520")), 0);
    ASSERT_NO_FATAL_FAILURE(startManager());
    ASSERT_TRUE(vtest::waitFor(
        [&] {
            dev = g_dev->findDev(0);
            if (!dev || dev->shownTargets().count(0x20) == 0) return false;
            emu::desktopSetScene(handleOf(0x20), emu::Scene::MovingWindow);
            emu::desktopStep(handleOf(0x20));
            return model->picture(0).packets >= 3;
        },
        15s))
        << env.log();
    settle();
    const auto pic = model->picture(0);
    EXPECT_EQ(pic.framesShown, 0u);
    EXPECT_TRUE(pic.pixels.empty());
    EXPECT_GT(pic.bytesReceived, 0u);
    EXPECT_EQ(credits(dev->shownTargets().at(0x20)), 4);
    expectNoRefusals();
}

// A monitor unplugged after a stream and plugged again on the same output takes the same view,
// whose frames are numbered from 1 again: the first of them must be shown, not dropped as older
// than the frames the previous monitor was sent.
TEST_F(Picture520, MonitorPluggedAgainShowsItsDesktopWithinASecond) {
    ASSERT_NO_FATAL_FAILURE(start({monitorOf(0x20, 640, 480)}));
    evdi_handle h = handleOf(0x20);
    emu::desktopSetScene(h, emu::Scene::FullScreen);
    ASSERT_TRUE(vtest::waitFor(
        [&] {
            emu::desktopStep(h);
            std::this_thread::sleep_for(5ms);
            return model->picture(0).packets >= 40;
        },
        20s));
    settle();

    for (uint16_t target : {0x20, 0x21}) {
        SCOPED_TRACE("plugged again: target " + std::to_string(target));
        model->unplugMonitor(0);
        ASSERT_TRUE(vtest::waitFor([&] { return dev->shownTargets().empty(); }, 10s)) << env.log();
        model->plugMonitor(0, monitorOf(target, 640, 480));
        ASSERT_TRUE(vtest::waitFor(
            [&] {
                evdi_handle n = handleOf(target);
                return n && emu::desktopRunning(n) && dev->modeSetDone == 1 &&
                       dev->bufferRegistered[0];
            },
            10s))
            << env.log();
        ASSERT_EQ(dev->shownTargets().at(target), 0);
        evdi_handle n = handleOf(target);
        emu::desktopSetScene(n, emu::Scene::MovingWindow);
        for (int step = 0; step < 3; ++step) emu::desktopStep(n);
        EXPECT_TRUE(vtest::waitFor([&] { return showsDesktop(0, target); }, 1000ms))
            << "packets " << model->picture(0).packets << "\n"
            << env.log();
        settle();
        expectShowsDesktop(0, target, "plugged_again_" + std::to_string(target));
    }
    expectNoRefusals();
}
