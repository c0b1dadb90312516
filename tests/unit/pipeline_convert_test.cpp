// Colour conversion with the library's SIMD converter in use (the normal case on x86-64): the
// planes equal libjpeg-turbo's own, except for the dark-block luma adjustment at 4:2:0. Also
// the pixel-order swap and the 50x encoder table with its YUV block.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "pipeline/colorConvert.h"
#include "pipeline/velEncoder.h"
#include "testSupport.h"

namespace {

using Bytes = std::vector<unsigned char>;

// BGRX frame: random colours, with a share of dark pixels (blue and green <= 25) in clusters so
// that whole 2 x 2 blocks qualify, and some near misses (green 26).
Bytes makeFrame(int w, int h, int pitch, unsigned seed, bool withDark) {
    Bytes f(static_cast<size_t>(pitch) * h, 0xEE);
    std::mt19937 rng(seed);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            unsigned char* p = &f[static_cast<size_t>(y) * pitch + x * 4];
            const bool dark = withDark && ((x / 6 + y / 4) % 3 == 0);
            if (dark) {
                p[0] = rng() % 26;
                p[1] = (rng() % 40 == 0) ? 26 : rng() % 26;
            } else {
                p[0] = 26 + rng() % 230;
                p[1] = 26 + rng() % 230;
            }
            p[2] = rng() % 256;
            p[3] = rng() % 256;
        }
    }
    return f;
}

struct Planes {
    Bytes data;
    unsigned char* p[3];
    int size[3];
    Planes(int w, int h, int subsamp) {
        int total = 0;
        for (int i = 0; i < 3; ++i) total += size[i] = tjPlaneSizeYUV(i, w, 0, h, subsamp);
        data.assign(total, 0x5A);
        p[0] = data.data();
        p[1] = p[0] + size[0];
        p[2] = p[1] + size[1];
    }
};

Planes libraryPlanes(const Bytes& f, int w, int pitch, int h, int subsamp) {
    Planes out(w, h, subsamp);
    tjhandle tj = tjInitCompress();
    EXPECT_EQ(0,
              tjEncodeYUVPlanes(tj, f.data(), w, pitch, h, TJPF_BGRX, out.p, nullptr, subsamp, 0))
        << tjGetErrorStr2(tj);
    tjDestroy(tj);
    return out;
}

Planes ourPlanes(const Bytes& f, int w, int pitch, int h, int subsamp) {
    Planes out(w, h, subsamp);
    tjhandle tj = tjInitCompress();
    EXPECT_EQ(0, velEncodeYUVPlanes(tj, f.data(), w, pitch, h, TJPF_BGRX, out.p, subsamp, 0));
    tjDestroy(tj);
    return out;
}

int clampI(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }

// The adjustment written out plainly, over a Y plane of row length `ys`.
void referenceAdjust(const Bytes& f, int w, int pitch, int h, unsigned char* y, int ys, int t) {
    auto dark = [&](int r, int c) {
        const unsigned char* p = &f[static_cast<size_t>(r) * pitch + c * 4];
        return p[0] <= 25 && p[1] <= 25;
    };
    for (int r = 0; r + 1 < h; r += 2) {
        for (int c = 0; c + 1 < w; c += 2) {
            if (!(dark(r, c) && dark(r, c + 1) && dark(r + 1, c) && dark(r + 1, c + 1))) continue;
            unsigned char* v[4] = {&y[r * ys + c], &y[r * ys + c + 1], &y[(r + 1) * ys + c],
                                   &y[(r + 1) * ys + c + 1]};
            const int avg = (*v[0] + *v[1] + *v[2] + *v[3]) >> 2;
            for (auto* q : v)
                *q = static_cast<unsigned char>(clampI(*q + clampI(*q - avg, -t, t), 0, 255));
        }
    }
}

void expectPlaneEq(const unsigned char* want, const unsigned char* got, int n, const char* what) {
    for (int i = 0; i < n; ++i) {
        if (want[i] != got[i]) {
            ADD_FAILURE() << what << " differs at byte " << i << ": expected " << int(want[i])
                          << ", got " << int(got[i]);
            return;
        }
    }
}

class Convert : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!velJpegSimdInUse()) GTEST_SKIP() << "SIMD switched off in this environment";
        VelAdjustYThreshold(VEL_Y_THRESHOLD_DEFAULT);
    }
    void TearDown() override { VelAdjustYThreshold(VEL_Y_THRESHOLD_DEFAULT); }
};

struct Size {
    int w, h;
};
// The last two are converted in several bands at 4:2:0, the very last band with an odd row.
const Size kSizes[] = {{1, 1},   {2, 2},    {3, 5},      {33, 17},
                       {70, 40}, {257, 31}, {300, 1001}, {1921, 71}};

TEST_F(Convert, Yuv422EqualsTheLibraryEvenOnDarkContent) {
    for (Size s : kSizes) {
        const int pitch = s.w * 4 + 12;  // padded rows as well
        Bytes f = makeFrame(s.w, s.h, pitch, s.w * 31 + s.h, true);
        Planes want = libraryPlanes(f, s.w, pitch, s.h, TJSAMP_422);
        Planes got = ourPlanes(f, s.w, pitch, s.h, TJSAMP_422);
        SCOPED_TRACE(testing::Message() << s.w << "x" << s.h);
        expectPlaneEq(want.data.data(), got.data.data(), static_cast<int>(want.data.size()),
                      "4:2:2");
    }
}

TEST_F(Convert, Yuv420EqualsTheLibraryWithoutDarkBlocks) {
    for (Size s : kSizes) {
        Bytes f = makeFrame(s.w, s.h, s.w * 4, s.w + 7 * s.h, false);
        Planes want = libraryPlanes(f, s.w, 0, s.h, TJSAMP_420);
        Planes got = ourPlanes(f, s.w, 0, s.h, TJSAMP_420);
        SCOPED_TRACE(testing::Message() << s.w << "x" << s.h);
        expectPlaneEq(want.data.data(), got.data.data(), static_cast<int>(want.data.size()),
                      "4:2:0");
    }
}

TEST_F(Convert, Yuv420AdjustsExactlyTheDarkBlocks) {
    for (int t : {25, 4, 0}) {
        VelAdjustYThreshold(t);
        for (Size s : kSizes) {
            Bytes f = makeFrame(s.w, s.h, s.w * 4, s.w * 3 + s.h, true);
            Planes want = libraryPlanes(f, s.w, 0, s.h, TJSAMP_420);
            const Bytes plain(want.p[0], want.p[0] + want.size[0]);
            referenceAdjust(f, s.w, s.w * 4, s.h, want.p[0], tjPlaneWidth(0, s.w, TJSAMP_420), t);
            Planes got = ourPlanes(f, s.w, 0, s.h, TJSAMP_420);
            SCOPED_TRACE(testing::Message() << s.w << "x" << s.h << " T=" << t);
            expectPlaneEq(want.p[0], got.p[0], want.size[0], "Y");
            expectPlaneEq(want.p[1], got.p[1], want.size[1] + want.size[2], "chroma");
            // The frames are made so that the adjustment really changes the larger ones.
            if (t > 0 && s.w >= 33) {
                EXPECT_NE(plain, Bytes(got.p[0], got.p[0] + got.size[0]));
            }
        }
    }
}

// Four pixels of a 2 x 2 frame and a Y plane as the conversion left it.
struct Block {
    unsigned char px[16];
    unsigned char y[4];
    void adjust() { velDarkBlockAdjust(px, 2, 8, 2, y, 2); }
};

Block darkBlock(unsigned char y00, unsigned char y01, unsigned char y10, unsigned char y11) {
    Block b{};
    for (int i = 0; i < 4; ++i) {
        b.px[i * 4 + 0] = 25;   // blue at the limit
        b.px[i * 4 + 1] = 25;   // green at the limit
        b.px[i * 4 + 2] = 255;  // red is not examined
    }
    b.y[0] = y00, b.y[1] = y01, b.y[2] = y10, b.y[3] = y11;
    return b;
}

TEST_F(Convert, DarkBlockEdgeCases) {
    Block b = darkBlock(40, 40, 40, 80);
    b.adjust();
    EXPECT_EQ((Bytes{b.y, b.y + 4}), (Bytes{30, 30, 30, 105}));

    for (int pixel = 0; pixel < 4; ++pixel) {
        Block g = darkBlock(40, 40, 40, 80);
        g.px[pixel * 4 + 1] = 26;
        g.adjust();
        EXPECT_EQ((Bytes{g.y, g.y + 4}), (Bytes{40, 40, 40, 80})) << "green 26 at " << pixel;
        Block bl = darkBlock(40, 40, 40, 80);
        bl.px[pixel * 4 + 0] = 26;
        bl.adjust();
        EXPECT_EQ((Bytes{bl.y, bl.y + 4}), (Bytes{40, 40, 40, 80})) << "blue 26 at " << pixel;
    }

    // Results are clamped to 0..255.
    Block c = darkBlock(250, 250, 250, 10);
    c.adjust();
    EXPECT_EQ((Bytes{c.y, c.y + 4}), (Bytes{255, 255, 255, 0}));

    VelAdjustYThreshold(10);
    EXPECT_EQ(g_dwThresholdHight.load(), 10);
    EXPECT_EQ(g_dwThresholdLow.load(), -10);
    Block t = darkBlock(40, 40, 40, 80);
    t.adjust();
    EXPECT_EQ((Bytes{t.y, t.y + 4}), (Bytes{30, 30, 30, 90}));
    VelAdjustYThreshold(-3);  // a range, whatever the sign
    EXPECT_EQ(g_dwThresholdLow.load(), -3);
    VelAdjustYThreshold(1000);
    EXPECT_EQ(g_dwThresholdHight.load(), 255);
}

TEST_F(Convert, OddLastRowAndColumnAreLeftAlone) {
    // 3 x 3 all-dark frame with a Y plane of distinct values: only the top-left block changes.
    Bytes px(3 * 3 * 4, 0);
    unsigned char y[9] = {40, 40, 7, 40, 80, 9, 11, 13, 15};
    velDarkBlockAdjust(px.data(), 3, 12, 3, y, 3);
    EXPECT_EQ((Bytes{y, y + 9}), (Bytes{30, 30, 7, 30, 105, 9, 11, 13, 15}));
    // One row or one column: nothing to pair.
    unsigned char row[4] = {40, 40, 40, 80};
    velDarkBlockAdjust(px.data(), 4, 16, 1, row, 4);
    velDarkBlockAdjust(px.data(), 1, 4, 4, row, 1);
    EXPECT_EQ((Bytes{row, row + 4}), (Bytes{40, 40, 40, 80}));
}

TEST_F(Convert, EveryVectorWidthAdjustsAlike) {
    // 75 columns: AVX2 steps of 16, then SSE2 steps of 8, then pairs, then the odd column.
    const int w = 75, h = 14;
    for (int t : {25, 7}) {
        VelAdjustYThreshold(t);
        Bytes f = makeFrame(w, h, w * 4, 77 + t, true);
        Bytes y(static_cast<size_t>(w) * h);
        std::mt19937 rng(t);
        for (auto& v : y) v = rng() % 256;
        Bytes want = y;
        referenceAdjust(f, w, w * 4, h, want.data(), w, t);
        for (int level : {0, 1, 2}) {
            Bytes got = y;
            velDarkBlockAdjustLevel(level, f.data(), w, w * 4, h, got.data(), w);
            SCOPED_TRACE(testing::Message() << "level " << level << " T=" << t);
            expectPlaneEq(want.data(), got.data(), static_cast<int>(want.size()), "Y");
        }
        EXPECT_NE(want, y);
    }
}

TEST_F(Convert, RefusesWhatItCannotConvert) {
    Bytes f = makeFrame(16, 16, 64, 1, false);
    Planes out(16, 16, TJSAMP_420);
    tjhandle tj = tjInitCompress();
    EXPECT_EQ(-1, velEncodeYUVPlanes(tj, f.data(), 16, 0, 16, TJPF_RGB, out.p, TJSAMP_420, 0));
    EXPECT_EQ(-1, velEncodeYUVPlanes(tj, f.data(), 16, 0, 16, TJPF_BGRX, out.p, TJSAMP_411, 0));
    EXPECT_EQ(-1, velEncodeYUVPlanes(tj, f.data(), 16, 32, 16, TJPF_BGRX, out.p, TJSAMP_420, 0));
    EXPECT_EQ(-1, velEncodeYUVPlanes(tj, f.data(), 0, 0, 16, TJPF_BGRX, out.p, TJSAMP_420, 0));
    EXPECT_EQ(-1, velEncodeYUVPlanes(tj, f.data(), 16, 0, 16, TJPF_BGRX, out.p, TJSAMP_420,
                                     TJFLAG_BOTTOMUP));
    EXPECT_EQ(-1,
              velEncodeYUVPlanes(nullptr, f.data(), 16, 0, 16, TJPF_BGRX, out.p, TJSAMP_420, 0));
    tjDestroy(tj);
}

TEST_F(Convert, RgbToJpegMatchesTheLibraryAt422) {
    const int w = 96, h = 40;
    Bytes f = makeFrame(w, h, w * 4, 9, true);
    tjhandle tj = tjInitCompress();
    unsigned char* want = nullptr;
    unsigned long wantSize = 0;
    ASSERT_EQ(0,
              tjCompress2(tj, f.data(), w, 0, h, TJPF_BGRX, &want, &wantSize, TJSAMP_422, 90, 0));
    unsigned char* got = nullptr;
    unsigned long gotSize = 0;
    ASSERT_EQ(0,
              velCompressRgb(tj, f.data(), w, 0, h, TJPF_BGRX, &got, &gotSize, TJSAMP_422, 90, 0));
    ASSERT_EQ(wantSize, gotSize);
    EXPECT_EQ(0, memcmp(want, got, gotSize));
    tjFree(want);
    tjFree(got);
    tjDestroy(tj);
}

TEST(PixelSwap, ExchangesBlueAndRedAndClearsTheLastByte) {
    uint32_t px;
    const unsigned char in[4] = {1, 2, 3, 4};
    memcpy(&px, in, 4);
    _BGR2RGB_RANGE_ r{0, 1, &px, nullptr};
    EXPECT_EQ(nullptr, bgr2RgbThread(&r));
    unsigned char out[4];
    memcpy(out, &px, 4);
    EXPECT_EQ((Bytes{out, out + 4}), (Bytes{3, 2, 1, 0}));
}

TEST(PixelSwap, FrameSwapCoversBothHalvesAndCopiesTheRest) {
    const int n = 1001;  // odd: the halves are 500 and 501 pixels
    Bytes src(n * 4 + 8);
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<unsigned char>(i * 7 + 1);
    Bytes dst(src.size(), 0);
    ASSERT_EQ(0, velSwapPixelOrder(src.data(), dst.data(), src.size(), n));
    for (int i = 0; i < n; ++i) {
        const unsigned char* s = &src[i * 4];
        const unsigned char* d = &dst[i * 4];
        ASSERT_EQ((Bytes{d, d + 4}), (Bytes{s[2], s[1], s[0], 0})) << "pixel " << i;
    }
    EXPECT_EQ(0, memcmp(&src[n * 4], &dst[n * 4], 8));
    // A pixel count past the buffer is capped to it.
    EXPECT_EQ(0, velSwapPixelOrder(src.data(), dst.data(), 8, 1000));
    EXPECT_EQ(-1, velSwapPixelOrder(nullptr, dst.data(), 8, 2));
}

uint32_t u32(const unsigned char* p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

TEST_F(Convert, YuvBlockHoldsHeaderAndRoundedPlanesOfTheRegion) {
    // Region 50 x 21 at (32, 6) of a 128 x 40 frame.
    const int fw = 128, fh = 40, pitch = fw * 4;
    Bytes f = makeFrame(fw, fh, pitch, 5, true);
    _VELRECT rect;
    rect.x = 32, rect.y = 6, rect.width = 50, rect.height = 21, rect.stride = pitch;
    rect.pixels = &f[6 * pitch + 32 * 4];

    const uint32_t ys = velYuvPlaneSize420(0, 50, 21), us = velYuvPlaneSize420(1, 50, 21);
    EXPECT_EQ(ys, (50u * 22 + 15) / 16 * 16);  // 1100 -> 1104
    EXPECT_EQ(us, (25u * 11 + 15) / 16 * 16);  // 275 -> 288
    Bytes block(velYuvBlockLength(50, 21) + 5, 0);
    uint32_t length = static_cast<uint32_t>(block.size());
    int quality = 90;
    ASSERT_EQ(0, velRgb2YuvEncode(&rect, VEL_ENCODER_YUV, &quality, 0, 0, block.data(), &length));
    EXPECT_EQ(length, 32 + ys + 2 * us);
    const uint32_t header[8] = {16, 6, 32, 21, 50, ys, us, us};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(u32(&block[i * 4]), header[i]) << "header field " << i;

    // The planes are the region's conversion, at the rounded offsets.
    Bytes packed(50 * 21 * 4);
    for (int r = 0; r < 21; ++r) memcpy(&packed[r * 200], rect.pixels + r * pitch, 200);
    Planes want = ourPlanes(packed, 50, 0, 21, TJSAMP_420);
    expectPlaneEq(want.p[0], &block[32], want.size[0], "Y");
    expectPlaneEq(want.p[1], &block[32 + ys], want.size[1], "U");
    expectPlaneEq(want.p[2], &block[32 + ys + us], want.size[2], "V");
}

TEST_F(Convert, EncoderTableBoundsAndOtherEntries) {
    vtest::IsolatedEnv env;
    const int w = 40, h = 32, pitch = w * 4 + 16;
    Bytes f = makeFrame(w, h, pitch, 3, false);
    _VELRECT rect;
    rect.width = w, rect.height = h, rect.stride = pitch;
    rect.pixels = rect.buffer = f.data();
    int quality = 90;

    // Too small a block and bad indexes fail and say so.
    Bytes small(100);
    uint32_t length = static_cast<uint32_t>(small.size());
    EXPECT_EQ(-1, velRgb2YuvEncode(&rect, VEL_ENCODER_YUV, &quality, 0, 0, small.data(), &length));
    EXPECT_EQ(length, 0u);
    length = 16;
    EXPECT_EQ(-1, velRgb2YuvEncode(&rect, VEL_ENCODER_RAW, &quality, 0, 0, small.data(), &length));
    for (int bad : {-1, 17}) {
        length = static_cast<uint32_t>(small.size());
        EXPECT_EQ(-1, velRgb2YuvEncode(&rect, bad, &quality, 0, 0, small.data(), &length));
    }

    // Raw copy of the record's buffer, rows packed.
    Bytes block(32 + w * h * 4);
    length = static_cast<uint32_t>(block.size());
    ASSERT_EQ(0, velRgb2YuvEncode(&rect, VEL_ENCODER_RAW, &quality, 0, 0, block.data(), &length));
    EXPECT_EQ(length, 32u + w * h * 4);
    EXPECT_EQ(u32(&block[20]), static_cast<uint32_t>(w * h * 4));
    EXPECT_EQ(u32(&block[24]), 0u);
    for (int r = 0; r < h; ++r) ASSERT_EQ(0, memcmp(&block[32 + r * w * 4], &f[r * pitch], w * 4));

    // Unused entries log and produce nothing.
    length = static_cast<uint32_t>(block.size());
    ASSERT_EQ(0, velRgb2YuvEncode(&rect, 3, &quality, 0, 0, block.data(), &length));
    EXPECT_EQ(length, 32u);
    EXPECT_NE(env.log().find("Dont call me [encodeDoNothing].\n"), std::string::npos);

    // JPEG entry: a 4:2:0 JPEG of the region.
    length = static_cast<uint32_t>(block.size());
    ASSERT_EQ(0, velRgb2YuvEncode(&rect, VEL_ENCODER_JPEG, &quality, 0, 0, block.data(), &length));
    const uint32_t jpegSize = u32(&block[20]);
    ASSERT_GT(jpegSize, 0u);
    EXPECT_EQ(length, 32 + jpegSize);
    tjhandle d = tjInitDecompress();
    int jw = 0, jh = 0, jsub = -1, jcs = -1;
    ASSERT_EQ(0, tjDecompressHeader3(d, &block[32], jpegSize, &jw, &jh, &jsub, &jcs));
    EXPECT_EQ(jw, w);
    EXPECT_EQ(jh, h);
    EXPECT_EQ(jsub, TJSAMP_420);
    tjDestroy(d);
}

}  // namespace
