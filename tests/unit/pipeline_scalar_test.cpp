// Colour conversion with libjpeg-turbo's SIMD switched off through its documented environment
// switch. The library reads JSIMD_FORCENONE once, at its first use, so this program sets it
// before main and before anything touches the library: every test here runs on the scalar path,
// where the system's studio-range formulas apply.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <turbojpeg.h>

#include <random>
#include <vector>

#include "pipeline/colorConvert.h"

namespace {

const bool kSimdOff = setenv("JSIMD_FORCENONE", "1", 1) == 0;

using Bytes = std::vector<unsigned char>;

int clampI(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }
unsigned char round8(double v) {
    return static_cast<unsigned char>(clampI(static_cast<int>(v + 0.5), 0, 255));
}

// Full-resolution studio-range Y, Cb and Cr of one pixel.
void studio(const unsigned char* p, unsigned char* y, unsigned char* cb, unsigned char* cr) {
    const double b = p[0], g = p[1], r = p[2];
    *y = round8(16 + 0.257 * r + 0.504 * g + 0.098 * b);
    *cb = round8(128 - 0.148 * r - 0.291 * g + 0.439 * b);
    *cr = round8(128 + 0.439 * r - 0.368 * g - 0.071 * b);
}

struct Expected {
    Bytes y, u, v;
};

// What libjpeg-turbo's downsampling makes of those values: edges repeated to the plane size,
// two samples averaged with bias 0, 1, 0, 1, ... (4:2:2), four with bias 1, 2, 1, 2, ... (4:2:0).
Expected expected(const Bytes& f, int w, int h, bool v2) {
    const int pw = (w + 1) / 2 * 2, ph = v2 ? (h + 1) / 2 * 2 : h, cw = pw / 2,
              ch = v2 ? ph / 2 : h;
    std::vector<std::vector<unsigned char>> Y(ph, Bytes(pw)), Cb = Y, Cr = Y;
    for (int r = 0; r < ph; ++r) {
        for (int c = 0; c < pw; ++c) {
            const unsigned char* p = &f[(std::min(r, h - 1) * w + std::min(c, w - 1)) * 4];
            studio(p, &Y[r][c], &Cb[r][c], &Cr[r][c]);
        }
    }
    Expected e;
    for (int r = 0; r < ph; ++r) e.y.insert(e.y.end(), Y[r].begin(), Y[r].end());
    for (int r = 0; r < ch; ++r) {
        for (int j = 0; j < cw; ++j) {
            if (v2) {
                const int bias = j % 2 ? 2 : 1;
                const int r0 = 2 * r, c0 = 2 * j;
                e.u.push_back(
                    (Cb[r0][c0] + Cb[r0][c0 + 1] + Cb[r0 + 1][c0] + Cb[r0 + 1][c0 + 1] + bias) >>
                    2);
                e.v.push_back(
                    (Cr[r0][c0] + Cr[r0][c0 + 1] + Cr[r0 + 1][c0] + Cr[r0 + 1][c0 + 1] + bias) >>
                    2);
            } else {
                const int bias = j % 2;
                e.u.push_back((Cb[r][2 * j] + Cb[r][2 * j + 1] + bias) >> 1);
                e.v.push_back((Cr[r][2 * j] + Cr[r][2 * j + 1] + bias) >> 1);
            }
        }
    }
    return e;
}

Bytes makeFrame(int w, int h, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes f(static_cast<size_t>(w) * h * 4);
    for (auto& b : f) b = rng() % 256;
    // Saturated and black corners exercise the clamps.
    f[0] = f[1] = f[2] = 255;
    if (f.size() >= 8) f[4] = f[5] = f[6] = 0;
    return f;
}

Expected convert(const Bytes& f, int w, int h, int subsamp) {
    Expected got;
    got.y.resize(tjPlaneSizeYUV(0, w, 0, h, subsamp));
    got.u.resize(tjPlaneSizeYUV(1, w, 0, h, subsamp));
    got.v.resize(tjPlaneSizeYUV(2, w, 0, h, subsamp));
    unsigned char* planes[3] = {got.y.data(), got.u.data(), got.v.data()};
    tjhandle tj = tjInitCompress();
    EXPECT_EQ(0, velEncodeYUVPlanes(tj, f.data(), w, 0, h, TJPF_BGRX, planes, subsamp, 0));
    tjDestroy(tj);
    return got;
}

struct Size {
    int w, h;
};
const Size kSizes[] = {{1, 1}, {2, 2}, {5, 3}, {31, 17}, {64, 33}};

TEST(ScalarPath, SimdIsOff) {
    ASSERT_TRUE(kSimdOff);
    EXPECT_FALSE(velJpegSimdInUse());
    EXPECT_EQ(g_tj_force_c_encode_formula, 1);
}

TEST(ScalarPath, Yuv422FollowsTheStudioFormulas) {
    for (Size s : kSizes) {
        SCOPED_TRACE(testing::Message() << s.w << "x" << s.h);
        Bytes f = makeFrame(s.w, s.h, s.w * 13 + s.h);
        Expected want = expected(f, s.w, s.h, false);
        Expected got = convert(f, s.w, s.h, TJSAMP_422);
        EXPECT_EQ(want.y, got.y);
        EXPECT_EQ(want.u, got.u);
        EXPECT_EQ(want.v, got.v);
    }
}

TEST(ScalarPath, Yuv420FollowsTheStudioFormulas) {
    for (Size s : kSizes) {
        SCOPED_TRACE(testing::Message() << s.w << "x" << s.h);
        // Random bytes make dark 2 x 2 blocks practically impossible; the Y plane is plain.
        Bytes f = makeFrame(s.w, s.h, s.w * 5 + s.h);
        Expected want = expected(f, s.w, s.h, true);
        Expected got = convert(f, s.w, s.h, TJSAMP_420);
        EXPECT_EQ(want.y, got.y);
        EXPECT_EQ(want.u, got.u);
        EXPECT_EQ(want.v, got.v);
    }
}

TEST(ScalarPath, DarkBlockAdjustmentAppliesOnTopAt420Only) {
    // 2 x 2, blue and green at the limit: studio Y of red 35, 35, 35, 190 is 40, 40, 40, 80.
    Bytes f(16, 25);
    const unsigned char reds[4] = {35, 35, 35, 190};
    for (int i = 0; i < 4; ++i) f[i * 4 + 2] = reds[i];
    Expected plain = expected(f, 2, 2, true);
    ASSERT_EQ(plain.y, (Bytes{40, 40, 40, 80}));
    Expected got = convert(f, 2, 2, TJSAMP_420);
    EXPECT_EQ(got.y, (Bytes{30, 30, 30, 105}));
    EXPECT_EQ(got.u, plain.u);
    EXPECT_EQ(got.v, plain.v);
    EXPECT_EQ(convert(f, 2, 2, TJSAMP_422).y, (Bytes{40, 40, 40, 80}));
}

}  // namespace
