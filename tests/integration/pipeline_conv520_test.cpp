// The model-520 conversion thread of a session and its per-frame converter, with the session
// standing alone (no USB device): the test fills a view's pixels and dirty-rectangle queue the
// way the EVDI update handling does and watches what is handed to JPEG encoding.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "fakeDisplayClass.h"
#include "pipeline/colorConvert.h"
#include "pipeline/jpeg520.h"
#include "session/VelDev.h"
#include "session/evdiHandlers.h"
#include "testSupport.h"

using namespace std::chrono;

namespace {

using Bytes = std::vector<unsigned char>;
constexpr uint32_t kXB24 = 0x34324258;

// Frame indexes as the 520 class hands them out: the fake's counter, whose first answer is 0
// (a wrapped counter).
using IndexingDisplayClass = vtest::FakeDisplayClass;

struct Frame {
    _RECT_IN_ENCODE_Q record;
    int view = -1;
    int sequence = -1;
    Bytes yuv;
};

using vtest::semValue;

class Conv520 : public ::testing::Test {
  protected:
    void SetUp() override {
        dev = std::make_unique<VelDev>(nullptr);
        display = std::make_shared<IndexingDisplayClass>();
        dev->displayClass = display;
        dev->connected = true;
        dev->modeSetDone = 1;
        dev->yuv2Jpeg520Hook = [this](const _RECT_IN_ENCODE_Q& rec, int view, int seq) {
            Frame f{rec, view, seq, {}};
            size_t total = rec.rect.planeSizes[0] + rec.rect.planeSizes[1] + rec.rect.planeSizes[2];
            if (rec.rect.buffer) f.yuv.assign(rec.rect.buffer, rec.rect.buffer + total);
            std::lock_guard<std::mutex> lk(m);
            frames.push_back(std::move(f));
        };
    }
    void TearDown() override { dev.reset(); }

    void setView(int v, int w, int h, uint32_t fourcc) {
        // The session owns (and frees) its views' pixel and conversion areas.
        const size_t bytes = static_cast<size_t>(w) * h * 4;
        free(dev->evdiBuffer[v].buffer);
        pixels[v] = static_cast<unsigned char*>(malloc(bytes));
        pixelBytes[v] = bytes;
        for (size_t i = 0; i < bytes; ++i) {
            pixels[v][i] = static_cast<unsigned char>((i * 2654435761u) >> 13);
        }
        dev->evdiBuffer[v].buffer = pixels[v];
        dev->evdiBuffer[v].width = w;
        dev->evdiBuffer[v].height = h;
        dev->evdiBuffer[v].stride = w * 4;
        dev->pixelFormat[v] = fourcc;
        // The session frees conversion buffers with free().
        if (velEvdiNeedsConversion(fourcc)) {
            dev->convBuffer[v] = static_cast<unsigned char*>(calloc(static_cast<size_t>(w) * 4, h));
        }
        dev->viewActive[v] = true;
    }
    void push(int v, evdi_rect r) { dev->rectQueue[v].push(r); }
    void wake() { sem_post(&dev->convWake[dev->view2ConvThread[0]]); }
    // Wakes the thread and returns once that pass is over: a second wake-up is only taken
    // when the thread is back at its wait.
    void wakeAndFinishPass() {
        sem_t* wakeSem = &dev->convWake[dev->view2ConvThread[0]];
        for (int i = 0; i < 2; ++i) {
            sem_post(wakeSem);
            ASSERT_TRUE(vtest::waitFor([&] { return semValue(wakeSem) == 0; }));
        }
    }
    size_t frameCount() {
        std::lock_guard<std::mutex> lk(m);
        return frames.size();
    }
    bool waitFrames(size_t n, milliseconds t = milliseconds(5000)) {
        return vtest::waitFor([&] { return frameCount() >= n; }, t);
    }
    Frame frame(size_t i) {
        std::lock_guard<std::mutex> lk(m);
        return frames.at(i);
    }

    // The library's 4:2:2 planes of a BGRX frame.
    static Bytes library422(const unsigned char* px, int w, int h) {
        Bytes out(tjBufSizeYUV2(w, 1, h, TJSAMP_422));
        tjhandle tj = tjInitCompress();
        EXPECT_EQ(0, tjEncodeYUV3(tj, px, w, 0, h, TJPF_BGRX, out.data(), 1, TJSAMP_422, 0));
        tjDestroy(tj);
        return out;
    }

    vtest::IsolatedEnv env;
    std::unique_ptr<VelDev> dev;
    std::shared_ptr<IndexingDisplayClass> display;
    unsigned char* pixels[VEL_MAX_VIEWS] = {nullptr, nullptr, nullptr};
    size_t pixelBytes[VEL_MAX_VIEWS] = {0, 0, 0};
    std::mutex m;
    std::vector<Frame> frames;
};

TEST_F(Conv520, TenRectanglesAndSeveralWakeUpsMakeOneFrameOfTheWholeView) {
    const int w = 320, h = 200;
    setView(0, w, h, VEL_FOURCC_XRGB8888);
    for (int i = 0; i < 10; ++i) push(0, {10 * i, 5 * i, 10 * i + 8, 5 * i + 4});
    const int tokenBefore = semValue(&dev->updateToken[0]);
    for (int i = 0; i < 3; ++i) wake();
    ASSERT_TRUE(waitFrames(1));
    // Once the token is back the frame is complete; nothing else was due.
    ASSERT_TRUE(vtest::waitFor([&] { return semValue(&dev->updateToken[0]) == tokenBefore + 1; }));
    EXPECT_TRUE(dev->rectQueue[0].empty());

    Frame f = frame(0);
    EXPECT_EQ(f.view, 0);
    EXPECT_EQ(f.sequence, 0);
    const _RECT_IN_ENCODE_Q& r = f.record;
    EXPECT_EQ(r.session, dev.get());
    EXPECT_EQ(r.formatCode, 0xE0);
    EXPECT_EQ(r.quality, 90);
    EXPECT_EQ(r.split, 0);
    EXPECT_EQ(r.pieceFlags, 0x11);
    // The counter answered 0 first: one restart, then index 1.
    EXPECT_EQ(r.frameIndex, 1);
    EXPECT_EQ(display->zeroed.load(), 1);
    EXPECT_EQ(r.rect.x, 0);
    EXPECT_EQ(r.rect.y, 0);
    EXPECT_EQ(r.rect.width, w);
    EXPECT_EQ(r.rect.height, h);
    EXPECT_EQ(r.rect.pixels, pixels[0]);  // XR24: straight from the EVDI buffer
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(r.rect.planeSizes[i], tjPlaneSizeYUV(i, w, 0, h, TJSAMP_422)) << "plane " << i;
    }
    EXPECT_EQ(r.rect.planes[1], r.rect.planes[0] + r.rect.planeSizes[0]);
    EXPECT_EQ(r.rect.planes[2], r.rect.planes[1] + r.rect.planeSizes[1]);
    EXPECT_TRUE(f.yuv == library422(pixels[0], w, h));
    // The frame holds one of the view's four credits until the adapter acknowledges it.
    EXPECT_EQ(semValue(&dev->frameFeedbackSemaphore[0]), 3);
    EXPECT_EQ(frameCount(), 1u);
}

TEST_F(Conv520, InactiveViewsAndModeSetsInProgressAreSkipped) {
    setView(0, 64, 64, VEL_FOURCC_XRGB8888);
    setView(1, 64, 64, VEL_FOURCC_ARGB8888);
    dev->viewActive[0] = false;
    push(0, {0, 0, 8, 8});
    push(1, {0, 0, 8, 8});
    wake();
    // Views are served in order, so once view 1 has its frame view 0 was passed over.
    ASSERT_TRUE(waitFrames(1));
    EXPECT_EQ(frame(0).view, 1);
    EXPECT_EQ(dev->rectQueue[0].size(), 1u);

    dev->modeSetDone = 0;
    dev->viewActive[0] = true;
    setView(2, 64, 64, VEL_FOURCC_XRGB8888);
    push(1, {0, 0, 8, 8});
    push(2, {0, 0, 8, 8});
    wakeAndFinishPass();
    EXPECT_EQ(frameCount(), 1u);
    EXPECT_EQ(dev->rectQueue[0].size(), 1u);
    EXPECT_EQ(dev->rectQueue[2].size(), 1u);

    // Once the mode is set, the queued rectangles of every view make their frames.
    dev->modeSetDone = 1;
    wake();
    ASSERT_TRUE(waitFrames(4));
    EXPECT_TRUE(dev->rectQueue[0].empty());
}

TEST_F(Conv520, FrameWaitsAtMostOneSecondForACredit) {
    setView(0, 64, 32, VEL_FOURCC_XRGB8888);
    while (sem_trywait(&dev->frameFeedbackSemaphore[0]) == 0) {
    }
    push(0, {0, 0, 4, 4});
    const auto start = steady_clock::now();
    wake();
    ASSERT_TRUE(waitFrames(1, milliseconds(10000)));
    // Never before the second is over; how much later depends on the machine's load.
    const auto waited = duration_cast<milliseconds>(steady_clock::now() - start);
    EXPECT_GE(waited.count(), 900);
    EXPECT_NE(env.log().find("[warning] waiting 1 seconds timed out\n"), std::string::npos);
    // A frame that went ahead without a credit does not invent one.
    EXPECT_EQ(semValue(&dev->frameFeedbackSemaphore[0]), 0);
}

TEST_F(Conv520, Xb24ViewIsConvertedFromItsSwappedCopy) {
    const int w = 96, h = 48;
    setView(2, w, h, kXB24);
    push(2, {1, 1, 2, 2});
    wake();
    ASSERT_TRUE(waitFrames(1));
    Frame f = frame(0);
    EXPECT_EQ(f.record.rect.pixels, dev->convBuffer[2]);
    Bytes swapped(pixels[2], pixels[2] + pixelBytes[2]);
    for (size_t i = 0; i < swapped.size(); i += 4) {
        std::swap(swapped[i], swapped[i + 2]);
        swapped[i + 3] = 0;
    }
    EXPECT_EQ(0, memcmp(dev->convBuffer[2], swapped.data(), swapped.size()));
    EXPECT_TRUE(f.yuv == library422(swapped.data(), w, h));
}

TEST_F(Conv520, DroppedFramesGiveBackTokenAndCredit) {
    // A converted format whose conversion buffer is missing has nothing to encode.
    setView(0, 64, 32, kXB24);
    free(dev->convBuffer[0]);
    dev->convBuffer[0] = nullptr;
    const int token = semValue(&dev->updateToken[0]);
    push(0, {0, 0, 4, 4});
    wake();
    ASSERT_TRUE(vtest::waitFor([&] { return semValue(&dev->updateToken[0]) == token + 1; }));
    EXPECT_EQ(semValue(&dev->frameFeedbackSemaphore[0]), 4);

    // A session whose adapter has gone.
    dev->connected = false;
    dev->pixelFormat[0] = VEL_FOURCC_XRGB8888;
    push(0, {0, 0, 4, 4});
    wake();
    ASSERT_TRUE(vtest::waitFor([&] { return semValue(&dev->updateToken[0]) == token + 2; }));
    EXPECT_EQ(semValue(&dev->frameFeedbackSemaphore[0]), 4);
    EXPECT_NE(env.log().find("(rgb2Yuv520) this is null\n"), std::string::npos);
    EXPECT_EQ(frameCount(), 0u);
}

TEST_F(Conv520, LightModeFramesStillReachTheEncoder) {
    setView(1, 64, 32, VEL_FOURCC_XRGB8888);
    dev->lightMode = 1;
    push(1, {0, 0, 4, 4});
    wake();
    ASSERT_TRUE(waitFrames(1));
    EXPECT_EQ(frame(0).view, 1);
}

// A light-mode frame is counted for the frame-rate report when the conversion thread starts it,
// whatever becomes of its packet (here the display class leaves it unframed and it is dropped).
TEST_F(Conv520, LightModeFramesAreCountedAsTheyStart) {
    dev->printFps(0);  // the first call ever sets the start times
    g_fpsStats.counter[1] = 0;
    dev->fpsValue = 3600;  // no report during the test
    dev->fpsEnabled = true;
    display->frame = false;
    setView(1, 64, 32, VEL_FOURCC_XRGB8888);
    dev->lightMode = 1;
    const int token = semValue(&dev->updateToken[1]);
    push(1, {0, 0, 4, 4});
    wake();
    ASSERT_TRUE(waitFrames(1));
    ASSERT_TRUE(vtest::waitFor([&] { return semValue(&dev->updateToken[1]) == token + 1; }));
    EXPECT_TRUE(vtest::waitFor([&] { return g_fpsStats.counter[1] == 1; }));
    // The dropped packet gave its credit back; nothing counted it a second time.
    EXPECT_TRUE(vtest::waitFor([&] { return semValue(&dev->frameFeedbackSemaphore[1]) == 4; }));
    EXPECT_EQ(g_fpsStats.counter[1], 1);
}

// Two frames of a view whose encodings finish out of order (the older one is held until the
// newer one has its packet framed) both reach the send queue, the newer one last: it waits for
// the older one instead of making it be dropped as overtaken. Both modes.
TEST_F(Conv520, FrameFinishingFirstWaitsForTheOneBeforeIt) {
    setView(0, 64, 32, VEL_FOURCC_XRGB8888);
    std::atomic<int> held{-1};
    std::atomic<bool> heldBack{false};
    dev->yuv2Jpeg520Hook = [&](const _RECT_IN_ENCODE_Q& rec, int, int seq) {
        {
            std::lock_guard<std::mutex> lk(m);
            frames.push_back(Frame{rec, 0, seq, {}});
        }
        if (seq != held) return;
        const int framedBefore = display->framed;
        heldBack = vtest::waitFor([&] { return display->framed > framedBefore; }, seconds(10));
    };
    for (int light : {0, 1}) {
        SCOPED_TRACE(light ? "light mode" : "smart mode");
        dev->lightMode = light;
        const size_t before = frameCount();
        held = static_cast<int>(before);  // sequence numbers count the view's frames
        heldBack = false;
        push(0, {0, 0, 4, 4});
        wake();
        ASSERT_TRUE(waitFrames(before + 1));
        push(0, {0, 0, 4, 4});
        wake();
        ASSERT_TRUE(waitFrames(before + 2));
        ASSERT_TRUE(vtest::waitFor([&] { return heldBack.load(); }, seconds(15)));
        ASSERT_TRUE(dev->waitViewFrameThreads(0, milliseconds(10000)));

        EXPECT_EQ(dev->framesOvertaken520[0].load(), 0);
        // Each queued frame keeps its credit until the adapter acknowledges it (this session
        // has no adapter: the send thread drops its packets).
        EXPECT_EQ(semValue(&dev->frameFeedbackSemaphore[0]), 2);
        {
            std::lock_guard<std::mutex> lk(dev->frameOrderMutex);
            EXPECT_EQ(static_cast<int32_t>(dev->lastQueuedFrame520[0]),
                      frame(before + 1).record.frameIndex);
        }
        dev->refillFrameCredits520(0);
    }
    EXPECT_EQ(env.log().find("overtaken"), std::string::npos);
}

TEST_F(Conv520, SessionEndsWithFramesInFlight) {
    for (int v = 0; v < VEL_MAX_VIEWS; ++v) {
        setView(v, 1920, 1080, v == 1 ? kXB24 : VEL_FOURCC_XRGB8888);
        push(v, {0, 0, 1920, 1080});
    }
    wake();
    ASSERT_TRUE(vtest::waitFor([&] { return dev->rectQueue[2].empty(); }));
    // Destroyed while converters may still run: they finish before the conversion thread ends.
    dev.reset();
    EXPECT_NE(env.log().find("velRgb2yuv[0-2] thread exit\n"), std::string::npos);
}

}  // namespace
