// The desktop on the emulated 50x-family monitors: the whole service against the emulated
// adapter, which checks every image packet (header, lengths, decoder header against its own
// parse of the JPEG), decodes it and paints its view's picture. Each settled picture is held
// against libjpeg-turbo's own 4:2:0 round trip of the same desktop frame at quality 90.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <thread>

#include "devmgr/DevManager.h"
#include "display/VelDisplay508ClassDriver.h"
#include "emulator/adapters/model508.h"
#include "emulator/evdi/desktop.h"
#include "emulator/evdi/evdiEmu.h"
#include "emulator/output/summary.h"
#include "emulator/usb/bus.h"
#include "fwImages508.h"
#include "packet508.h"
#include "pipeline/jpeg520.h"
#include "service508.h"
#include "session/VelDev.h"
#include "testSupport.h"

using namespace std::chrono_literals;

namespace {

using Picture508 = vtest::Service508;

TEST_F(Picture508, OneAndTwoMonitorsShowTheirDesktopsOnEveryModel) {
    for (const char* product : {"508", "505", "500"}) {
        SCOPED_TRACE(product);
        start(product, {monitor(1920, 1080), monitor(1280, 720)});
        for (int v = 0; v < 2; ++v) {
            for (emu::Scene scene : {emu::Scene::FullScreen, emu::Scene::MovingWindow, emu::Scene::ScrollingText}) {
                emu::desktopSetScene(handleOf(v), scene);
                emu::desktopStep(handleOf(v));
            }
        }
        settle();
        expectShowsDesktop(0, std::string(product) + "_view0");
        expectShowsDesktop(1, std::string(product) + "_view1");
        EXPECT_TRUE(model->errors().empty()) << refusals();
        EXPECT_EQ(model->view(0).undecodable, 0u);
        TearDown();
        SetUp();
    }
}

// A slow adapter (each frame acknowledged 40 ms late) slows the stream of a view: never more
// than three frames in flight, frames keep coming while the desktop keeps drawing, and the
// settled picture is the desktop.
TEST_F(Picture508, SlowAdapterSlowsTheStreamWithThreeFramesInFlight) {
    emu::Model508::Config config;
    config.frameAckDelay = std::chrono::milliseconds(40);
    start("508", {monitor(1920, 1080)}, config);
    for (int round = 0; round < 3; ++round) {
        const uint64_t shown = model->view(0).framesShown;
        EXPECT_TRUE(vtest::waitFor(
            [&] {
                emu::desktopSetScene(handleOf(0), emu::Scene::MovingWindow);
                emu::desktopStep(handleOf(0));
                return model->view(0).framesShown > shown + 10;
            },
            20s))
            << "round " << round << ", refused: " << refusals();
    }
    settle();
    EXPECT_LE(model->view(0).maxFramesInFlight, 3);
    EXPECT_GE(model->view(0).maxFramesInFlight, 2);  // the credits were used, not just one
    expectShowsDesktop(0, "slow_view0");
    EXPECT_TRUE(model->errors().empty()) << refusals();
}

// Both views stream at once on the session's three credits: the adapter never has more than
// three frames in flight (a packet of the frame arrived, its 0xE9 acknowledgement not read by
// the host yet), also when every acknowledgement comes late, and the stream goes on.
TEST_F(Picture508, TwoViewsStreamingKeepAtMostThreeFramesInFlight) {
    for (int delayMs : {0, 30}) {
        SCOPED_TRACE("acknowledged after " + std::to_string(delayMs) + " ms");
        emu::Model508::Config config;
        config.frameAckDelay = std::chrono::milliseconds(delayMs);
        config.decodeImages = false;  // the packets are still checked
        start("508", {monitor(1920, 1080), monitor(1280, 720)}, config);
        int step = 0;
        for (int round = 0; round < 4; ++round) {
            const uint64_t sent0 = model->view(0).images, sent1 = model->view(1).images;
            EXPECT_TRUE(vtest::waitFor(
                [&] {
                    // Whole-screen changes now and then: split frames of view 0 among the rest.
                    for (int v = 0; v < 2; ++v) {
                        emu::desktopSetScene(handleOf(v), step % 5 == v
                                                              ? emu::Scene::FullScreen
                                                              : emu::Scene::MovingWindow);
                        emu::desktopStep(handleOf(v));
                    }
                    ++step;
                    return model->view(0).images > sent0 + 15 && model->view(1).images > sent1 + 15;
                },
                30s))
                << "round " << round << ", refused: " << refusals();
        }
        settle();
        const int most = model->view(0).maxFramesInFlight;
        RecordProperty("most_in_flight_" + std::to_string(delayMs), std::to_string(most));
        EXPECT_LE(most, 3);
        if (delayMs > 0) {
            EXPECT_GE(most, 2);  // late acknowledgements: the credits were used
        }
        EXPECT_TRUE(model->errors().empty()) << refusals();
        TearDown();
        SetUp();
    }
}

namespace {

// The quantisation table bytes of the first DQT segment of a JPEG (as much of it as `n` holds).
std::vector<uint8_t> firstQuantTable(const uint8_t* j, size_t n) {
    for (size_t i = 2; i + 5 < n; ++i)
        if (j[i] == 0xFF && j[i + 1] == 0xDB) return std::vector<uint8_t>(j + i + 5, j + n);
    return {};
}

// The same table of libjpeg-turbo's own 4:2:0 JPEG at `quality` (it does not depend on the
// picture), cut to `n` bytes.
std::vector<uint8_t> turboQuantTable(int quality, size_t n) {
    std::vector<uint8_t> px(16 * 16 * 4, 0x80);
    tjhandle t = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    tjCompress2(t, px.data(), 16, 0, 16, TJPF_BGRX, &jpeg, &size, TJSAMP_420, quality, 0);
    tjDestroy(t);
    std::vector<uint8_t> table = firstQuantTable(jpeg, size);
    tjFree(jpeg);
    if (table.size() > n) table.resize(n);
    return table;
}

struct ImageSeen {
    int view;
    uint32_t index;
    uint8_t pieces;
    int x, y, w, h;
    std::vector<uint8_t> quant;
};

std::vector<ImageSeen> imagesSeen(emu::Model508& model) {
    std::vector<ImageSeen> out;
    for (const auto& p : model.received()) {
        if (p.kind != 2 || !p.error.empty() || p.bytes.size() < 96) continue;
        auto u16 = [&](size_t at) { return p.bytes[at] | (p.bytes[at + 1] << 8); };
        out.push_back({p.bytes[19] == 0xB0 ? 1 : 0, vtest::get32(p.bytes, 22), p.bytes[42],
                       u16(27), u16(29), u16(31), u16(33),
                       firstQuantTable(p.bytes.data() + 48, p.bytes.size() - 48)});
    }
    return out;
}

}  // namespace

// The split boundary is the merged region's pixel count: 1606 x 1054 = 1,692,724 pixels is at
// most 1,692,733 and goes as one packet at quality 90; 1582 x 1070 = 1,692,740 is above it and
// goes as two halves at quality 97, the upper half then the lower one next to it on the wire,
// one frame index for both. Both views change whole at once, so their frames interleave.
TEST_F(Picture508, SplitBoundaryBetweenTwoViewSizesThatStraddleIt) {
    start("508", {monitor(1606, 1054), monitor(1582, 1070)});
    settle();
    model->clearReceived();
    const uint64_t before0 = model->view(0).images, before1 = model->view(1).images;
    for (int i = 0; i < 4; ++i) {
        for (int v = 0; v < 2; ++v) {
            emu::desktopSetScene(handleOf(v), emu::Scene::FullScreen);
            emu::desktopStep(handleOf(v));
        }
        std::this_thread::sleep_for(50ms);
    }
    // Under load the first frames may take a while: settling starts once both views sent.
    ASSERT_TRUE(vtest::waitFor(
        [&] { return model->view(0).images > before0 && model->view(1).images > before1; }, 20s));
    settle();
    const auto seen = imagesSeen(*model);
    ASSERT_FALSE(seen.empty()) << refusals();
    const std::vector<uint8_t> q90 = turboQuantTable(90, seen[0].quant.size());
    const std::vector<uint8_t> q97 = turboQuantTable(97, seen[0].quant.size());
    ASSERT_FALSE(q90.empty());
    ASSERT_NE(q90, q97);
    int whole0 = 0, pairs1 = 0;
    for (size_t i = 0; i < seen.size(); ++i) {
        const ImageSeen& p = seen[i];
        SCOPED_TRACE("packet " + std::to_string(i) + " of view " + std::to_string(p.view));
        if (p.view == 0) {
            EXPECT_EQ(p.pieces, 0x11);
            EXPECT_EQ(p.quant, q90);
            whole0 += p.x == 0 && p.y == 0 && p.w == 1606 && p.h == 1054;
            continue;
        }
        if (p.pieces == 0x11) {
            EXPECT_EQ(p.quant, q90);
            continue;
        }
        ASSERT_EQ(p.pieces, 0x21) << "a lower half without its upper half just before it";
        ASSERT_LT(i + 1, seen.size());
        const ImageSeen& low = seen[i + 1];
        EXPECT_EQ(low.view, 1);
        EXPECT_EQ(low.pieces, 0x22);
        EXPECT_EQ(low.index, p.index);
        EXPECT_EQ(p.quant, q97);
        EXPECT_EQ(low.quant, q97);
        // The whole view: the upper half from the top, the lower one down to the bottom.
        if (p.y == 0 && p.w == 1582 && low.y + low.h == 1070 && low.y <= p.y + p.h) ++pairs1;
        ++i;
    }
    EXPECT_GE(whole0, 1);
    EXPECT_GE(pairs1, 1);
    expectShowsDesktop(0, "boundary_view0");
    expectShowsDesktop(1, "boundary_view1");
    EXPECT_TRUE(model->errors().empty()) << refusals();
}

namespace {

// One 50x frame of `xrgb` (w x h) as the adapter shows it when the dark-block luma adjustment
// is applied (or not) to libjpeg-turbo's 4:2:0 conversion: every 2 x 2 block whose four pixels
// have blue and green at most 25 has each Y moved away from the block's average by at most T
// (25); then quality 90 and libjpeg-turbo's decoder.
std::vector<uint8_t> adapterRoundTrip(const std::vector<uint32_t>& xrgb, int w, int h,
                                      bool adjust) {
    tjhandle t = tjInitCompress();
    std::vector<std::vector<uint8_t>> planes(3);
    unsigned char* p[3];
    for (int i = 0; i < 3; ++i) {
        planes[i].resize(tjPlaneSizeYUV(i, w, 0, h, TJSAMP_420));
        p[i] = planes[i].data();
    }
    const auto* px = reinterpret_cast<const uint8_t*>(xrgb.data());
    tjEncodeYUVPlanes(t, px, w, 0, h, TJPF_BGRX, p, nullptr, TJSAMP_420, 0);
    const int yStride = tjPlaneWidth(0, w, TJSAMP_420);
    if (adjust) {
        const int T = 25;
        auto dark = [&](int x, int y) {
            const uint8_t* q = px + (static_cast<size_t>(y) * w + x) * 4;
            return q[0] <= 25 && q[1] <= 25;
        };
        for (int y = 0; y + 1 < h; y += 2)
            for (int x = 0; x + 1 < w; x += 2) {
                if (!(dark(x, y) && dark(x + 1, y) && dark(x, y + 1) && dark(x + 1, y + 1)))
                    continue;
                uint8_t* r0 = p[0] + static_cast<size_t>(y) * yStride + x;
                uint8_t* r1 = r0 + yStride;
                const int avg = (r0[0] + r0[1] + r1[0] + r1[1]) >> 2;
                for (uint8_t* v : {r0, r0 + 1, r1, r1 + 1}) {
                    const int d = std::clamp(*v - avg, -T, T);
                    *v = static_cast<uint8_t>(std::clamp(*v + d, 0, 255));
                }
            }
    }
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    tjCompressFromYUVPlanes(t, const_cast<const unsigned char**>(p), w, nullptr, h, TJSAMP_420,
                            &jpeg, &size, 90, 0);
    tjDestroy(t);
    std::vector<uint8_t> out(static_cast<size_t>(w) * h * 4);
    tjhandle d = tjInitDecompress();
    tjDecompress2(d, jpeg, size, out.data(), w, 0, h, TJPF_BGRX, 0);
    tjDestroy(d);
    tjFree(jpeg);
    return out;
}

// Largest difference of any colour byte of the pixels in columns [x1, x2).
int largestDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int w, int h,
                      int x1, int x2) {
    int most = 0;
    for (int y = 0; y < h; ++y)
        for (int x = x1; x < x2; ++x)
            for (int c = 0; c < 3; ++c) {
                const size_t i = (static_cast<size_t>(y) * w + x) * 4 + c;
                most = std::max(most, std::abs(int{a[i]} - int{b[i]}));
            }
    return most;
}

}  // namespace

// The dark-block luma adjustment shows in the adapter's decoded picture: the left half of the
// screen is made of dark 2 x 2 blocks (three pixels of red 40, one of red 200, blue and green
// 0), the right half of the same blocks except that the bright pixel has green 30, so none of
// them qualifies. The picture is the adjusted round trip; on the left it is visibly not the
// plain one, on the right it is the plain one.
TEST_F(Picture508, DarkBlockAdjustmentShowsInTheDecodedPicture) {
    const int w = 640, h = 480;
    start("508", {monitor(w, h)});
    settle();
    std::vector<uint32_t> xrgb(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool bright = (x & 1) && (y & 1);
            const uint32_t green = bright && x >= w / 2 ? 30 : 0;
            xrgb[static_cast<size_t>(y) * w + x] = ((bright ? 200u : 40u) << 16) | (green << 8);
        }
    emu::desktopDraw(handleOf(0), {0, 0, w, h}, xrgb);
    std::vector<uint8_t> shown;
    const std::vector<uint8_t> adjusted = adapterRoundTrip(xrgb, w, h, true);
    const std::vector<uint8_t> plain = adapterRoundTrip(xrgb, w, h, false);
    ASSERT_TRUE(vtest::waitFor(
        [&] {
            shown = model->view(0).picture;
            return shown.size() == adjusted.size() &&
                   largestDifference(shown, adjusted, w, h, 0, w) <= 2;
        },
        10s))
        << "largest difference to the adjusted picture "
        << (shown.size() == adjusted.size() ? largestDifference(shown, adjusted, w, h, 0, w) : -1)
        << ", to the plain one "
        << (shown.size() == plain.size() ? largestDifference(shown, plain, w, h, 0, w) : -1)
        << "; " << refusals();
    EXPECT_GE(largestDifference(shown, plain, w, h, 0, w / 2), 20);
    EXPECT_LE(largestDifference(shown, plain, w, h, w / 2, w), 2);
}

namespace {

// Pixels of the view's shown picture that are off the desktop by more than 80 in a colour: a
// picture at quality 90 has none, a window left where it was has thousands.
int stalePixels(emu::Model508& model, evdi_handle h) {
    const std::vector<uint32_t> desktop = emu::desktopPixels(h);
    const std::vector<uint8_t> shown = model.view(0).picture;
    if (shown.size() != desktop.size() * 4) return -1;
    int n = 0;
    for (size_t i = 0; i < desktop.size(); ++i) {
        int most = 0;
        for (int c = 0; c < 3; ++c)
            most = std::max(most, std::abs(static_cast<int>((desktop[i] >> (8 * c)) & 0xFF) -
                                           static_cast<int>(shown[i * 4 + c])));
        n += most > 80;
    }
    return n;
}

}  // namespace

// The adapter decodes each frame into the next of its three frame buffers, which still holds
// the picture of three frames ago: every frame must repaint what the two frames before it
// changed (the ring-buffer union), or the monitor shows a window where it was two frames ago.
// (Regions of several frames make the picture a patchwork of JPEGs: it is not held to the
// whole-frame round trip's PSNR here, but to having no pixel far off the desktop.)
TEST_F(Picture508, EveryFrameRepaintsWhatTheTwoBeforeItChanged) {
    emu::Model508::Config config;
    config.frameBuffers = 3;
    start("508", {monitor(1280, 720)}, config);
    settle();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        for (int i = 0; i < 7 + round; ++i) {
            emu::desktopSetScene(handleOf(0), i % 3 == 2 ? emu::Scene::ScrollingText
                                                         : emu::Scene::MovingWindow);
            // One change per frame, so that the frames are the ones the union is about.
            const uint64_t before = model->view(0).images;
            emu::desktopStep(handleOf(0));
            vtest::waitFor([&] { return model->view(0).images > before; }, 5s);
        }
        settle();
        double reference = 0;
        EXPECT_GE(shownPsnr(0, &reference), 30.0);
        EXPECT_EQ(stalePixels(*model, handleOf(0)), 0);
    }
    EXPECT_TRUE(model->errors().empty()) << refusals();
}

}  // namespace
