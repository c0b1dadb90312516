#include "pipeline/colorConvert.h"

#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "service/threads.h"

std::atomic<int> g_dwThresholdHight{VEL_Y_THRESHOLD_DEFAULT};
std::atomic<int> g_dwThresholdLow{-VEL_Y_THRESHOLD_DEFAULT};
int g_tj_force_c_encode_formula = 1;

namespace {

// libjpeg-turbo (x86-64 build) decides once, at its first use, from these variables: a value of
// exactly "1" counts. Forcing both SSE2 and AVX2 leaves no instruction set, which is SIMD off too.
bool envIsOne(const char* name) {
    const char* v = getenv(name);
    return v && strcmp(v, "1") == 0;
}

bool detectSimd() {
    if (envIsOne("JSIMD_FORCENONE")) return false;
    if (envIsOne("JSIMD_FORCESSE2") && envIsOne("JSIMD_FORCEAVX2")) return false;
#if defined(__x86_64__)
    return true;
#else
    return false;
#endif
}

inline int clampInt(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

inline unsigned char studioRound(double v) {
    // Plus 0.5, truncated toward zero, clamped.
    return static_cast<unsigned char>(clampInt(static_cast<int>(v + 0.5), 0, 255));
}

inline void adjustBlock(unsigned char* y0, unsigned char* y1, int c, int lo, int hi) {
    const int a = y0[c], b = y0[c + 1], d = y1[c], e = y1[c + 1];
    const int avg = (a + b + d + e) >> 2;
    y0[c] = static_cast<unsigned char>(clampInt(a + clampInt(a - avg, lo, hi), 0, 255));
    y0[c + 1] = static_cast<unsigned char>(clampInt(b + clampInt(b - avg, lo, hi), 0, 255));
    y1[c] = static_cast<unsigned char>(clampInt(d + clampInt(d - avg, lo, hi), 0, 255));
    y1[c + 1] = static_cast<unsigned char>(clampInt(e + clampInt(e - avg, lo, hi), 0, 255));
}

inline bool darkPixel(const unsigned char* p) {
    return p[0] <= VEL_DARK_BLOCK_LIMIT && p[1] <= VEL_DARK_BLOCK_LIMIT;
}

#ifdef __SSE2__
// One bit per pixel of the four at `p`: set when its blue and green are both <= 25.
inline int darkMask4(const unsigned char* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i over = _mm_subs_epu8(v, _mm_set1_epi8(VEL_DARK_BLOCK_LIMIT));
    const __m128i bg = _mm_and_si128(over, _mm_set1_epi32(0x0000FFFF));
    const __m128i ok = _mm_cmpeq_epi32(bg, _mm_setzero_si128());
    return _mm_movemask_ps(_mm_castsi128_ps(ok));
}
#endif

int samplingFactors(int subsamp, int* hs, int* vs) {
    switch (subsamp) {
        case TJSAMP_444: *hs = 1; *vs = 1; return 0;
        case TJSAMP_422: *hs = 2; *vs = 1; return 0;
        case TJSAMP_420: *hs = 2; *vs = 2; return 0;
        default: return -1;
    }
}

// The studio-range conversion with libjpeg-turbo's edge handling: the last column and row are
// repeated up to the plane size, chroma is averaged over hs x vs samples with the library's
// alternating bias (0,1 for two samples; 1,2 for four).
void studioConvert(const unsigned char* src, int width, int pitch, int height, int hs, int vs,
                   unsigned char** planes) {
    const int pw = (width + hs - 1) / hs * hs;
    const int ph = (height + vs - 1) / vs * vs;
    const int cw = pw / hs;
    std::vector<unsigned char> cb(static_cast<size_t>(pw) * vs), cr(cb.size());
    for (int r0 = 0; r0 < ph; r0 += vs) {
        for (int k = 0; k < vs; ++k) {
            const int r = r0 + k;
            const unsigned char* row = src + static_cast<size_t>(std::min(r, height - 1)) * pitch;
            unsigned char* yRow = planes[0] + static_cast<size_t>(r) * pw;
            unsigned char* cbRow = &cb[static_cast<size_t>(k) * pw];
            unsigned char* crRow = &cr[static_cast<size_t>(k) * pw];
            for (int c = 0; c < pw; ++c) {
                const unsigned char* p = row + static_cast<size_t>(std::min(c, width - 1)) * 4;
                const double b = p[0], g = p[1], rr = p[2];
                yRow[c] = studioRound(16.0 + 0.257 * rr + 0.504 * g + 0.098 * b);
                cbRow[c] = studioRound(128.0 - 0.148 * rr - 0.291 * g + 0.439 * b);
                crRow[c] = studioRound(128.0 + 0.439 * rr - 0.368 * g - 0.071 * b);
            }
        }
        unsigned char* outCb = planes[1] + static_cast<size_t>(r0 / vs) * cw;
        unsigned char* outCr = planes[2] + static_cast<size_t>(r0 / vs) * cw;
        for (int j = 0; j < cw; ++j) {
            if (hs == 1) {
                outCb[j] = cb[j];
                outCr[j] = cr[j];
            } else if (vs == 1) {
                const int bias = j & 1;
                outCb[j] = static_cast<unsigned char>((cb[2 * j] + cb[2 * j + 1] + bias) >> 1);
                outCr[j] = static_cast<unsigned char>((cr[2 * j] + cr[2 * j + 1] + bias) >> 1);
            } else {
                const int bias = (j & 1) ? 2 : 1;
                const size_t a = 2 * j, b = a + 1, c = a + pw, d = c + 1;
                outCb[j] = static_cast<unsigned char>((cb[a] + cb[b] + cb[c] + cb[d] + bias) >> 2);
                outCr[j] = static_cast<unsigned char>((cr[a] + cr[b] + cr[c] + cr[d] + bias) >> 2);
            }
        }
    }
}

}  // namespace

void VelAdjustYThreshold(int t) {
    if (t < 0) t = t == INT32_MIN ? 255 : -t;
    if (t > 255) t = 255;
    g_dwThresholdHight.store(t, std::memory_order_relaxed);
    g_dwThresholdLow.store(-t, std::memory_order_relaxed);
}

bool velJpegSimdInUse() {
    static const bool simd = detectSimd();
    return simd;
}

void velDarkBlockAdjust(const unsigned char* src, int width, int pitch, int height,
                        unsigned char* yPlane, int yStride) {
    if (!src || !yPlane || width < 2 || height < 2) return;
    const int hi = g_dwThresholdHight.load(std::memory_order_relaxed);
    const int lo = g_dwThresholdLow.load(std::memory_order_relaxed);
    for (int r = 0; r + 1 < height; r += 2) {
        const unsigned char* p0 = src + static_cast<size_t>(r) * pitch;
        const unsigned char* p1 = p0 + pitch;
        unsigned char* y0 = yPlane + static_cast<size_t>(r) * yStride;
        unsigned char* y1 = y0 + yStride;
        int c = 0;
#ifdef __SSE2__
        // Most of a desktop is not dark: test eight columns of both rows at once and only look
        // at the blocks when one qualifies.
        for (; c + 8 <= width; c += 8) {
            const unsigned char* a = p0 + static_cast<size_t>(c) * 4;
            const unsigned char* b = p1 + static_cast<size_t>(c) * 4;
            const int both = (darkMask4(a) & darkMask4(b)) | ((darkMask4(a + 16) & darkMask4(b + 16)) << 4);
            if (!both) continue;
            for (int k = 0; k < 4; ++k) {
                if (((both >> (2 * k)) & 3) == 3) adjustBlock(y0, y1, c + 2 * k, lo, hi);
            }
        }
#endif
        for (; c + 1 < width; c += 2) {
            const unsigned char* a = p0 + static_cast<size_t>(c) * 4;
            const unsigned char* b = p1 + static_cast<size_t>(c) * 4;
            if (darkPixel(a) && darkPixel(a + 4) && darkPixel(b) && darkPixel(b + 4)) {
                adjustBlock(y0, y1, c, lo, hi);
            }
        }
    }
}

int velEncodeYUVPlanes(tjhandle handle, const unsigned char* src, int width, int pitch, int height,
                       int pixelFormat, unsigned char** planes, int subsamp, int flags) {
    int hs = 0, vs = 0;
    if (!src || !planes || !planes[0] || !planes[1] || !planes[2]) return -1;
    if (width <= 0 || height <= 0 || width > (1 << 16) || height > (1 << 16)) return -1;
    if (pixelFormat != TJPF_BGRX && pixelFormat != TJPF_BGRA) return -1;
    if (samplingFactors(subsamp, &hs, &vs) != 0 || (flags & TJFLAG_BOTTOMUP)) return -1;
    if (pitch == 0) pitch = width * 4;
    if (pitch < width * 4) return -1;

    if (!velJpegSimdInUse() && g_tj_force_c_encode_formula == 1) {
        studioConvert(src, width, pitch, height, hs, vs, planes);
    } else {
        if (!handle) return -1;
        if (tjEncodeYUVPlanes(handle, src, width, pitch, height, pixelFormat, planes, nullptr,
                              subsamp, flags) != 0) {
            return -1;
        }
    }
    if (vs == 2) velDarkBlockAdjust(src, width, pitch, height, planes[0], tjPlaneWidth(0, width, subsamp));
    return 0;
}

int velCompressRgb(tjhandle handle, const unsigned char* src, int width, int pitch, int height,
                   int pixelFormat, unsigned char** jpegBuf, unsigned long* jpegSize, int subsamp,
                   int quality, int flags) {
    if (!handle || !jpegBuf || !jpegSize || width <= 0 || height <= 0) return -1;
    const unsigned long yuvSize = tjBufSizeYUV2(width, 1, height, subsamp);
    if (yuvSize == static_cast<unsigned long>(-1)) return -1;
    std::unique_ptr<unsigned char, decltype(&free)> yuv(static_cast<unsigned char*>(malloc(yuvSize)), &free);
    if (!yuv) return -1;
    unsigned char* planes[3];
    planes[0] = yuv.get();
    planes[1] = planes[0] + tjPlaneSizeYUV(0, width, 0, height, subsamp);
    planes[2] = planes[1] + tjPlaneSizeYUV(1, width, 0, height, subsamp);
    if (velEncodeYUVPlanes(handle, src, width, pitch, height, pixelFormat, planes, subsamp,
                           flags & ~TJFLAG_NOREALLOC) != 0) {
        return -1;
    }
    const unsigned char* cplanes[3] = {planes[0], planes[1], planes[2]};
    return tjCompressFromYUVPlanes(handle, cplanes, width, nullptr, height, subsamp, jpegBuf,
                                   jpegSize, quality, flags) == 0
               ? 0
               : -1;
}

void* bgr2RgbThread(void* arg) {
    auto* range = static_cast<_BGR2RGB_RANGE_*>(arg);
    if (!range || !range->pixels) return nullptr;
    uint32_t* out = range->pixels;
    const uint32_t* in = range->src ? range->src : range->pixels;
    for (int i = range->start; i < range->end; ++i) {
        const uint32_t p = in[i];
        out[i] = ((p >> 16) & 0xFFu) | ((p & 0xFFu) << 16) | (p & 0xFF00u);
    }
    return nullptr;
}

namespace {
void* bgr2RgbWorker(void* arg) {
    vel::threadInit("bgr2rgb");
    return bgr2RgbThread(arg);
}
}  // namespace

int velSwapPixelOrder(const unsigned char* src, unsigned char* dst, size_t bytes, int pixelCount) {
    if (!src || !dst) return -1;
    if (pixelCount < 0) pixelCount = 0;
    if (static_cast<size_t>(pixelCount) > bytes / 4) pixelCount = static_cast<int>(bytes / 4);
    // Bytes past the pixels (row padding) are copied as they are.
    const size_t swapped = static_cast<size_t>(pixelCount) * 4;
    if (bytes > swapped) memcpy(dst + swapped, src + swapped, bytes - swapped);

    // The copy and the swap are one pass: each thread reads its half of the source and writes it
    // swapped, which is the same result as copying first and swapping in place.
    const int half = pixelCount / 2;
    _BGR2RGB_RANGE_ ranges[2];
    ranges[0] = {0, half, reinterpret_cast<uint32_t*>(dst), reinterpret_cast<const uint32_t*>(src)};
    ranges[1] = {half, pixelCount, reinterpret_cast<uint32_t*>(dst),
                 reinterpret_cast<const uint32_t*>(src)};
    pthread_t tids[2];
    bool started[2] = {false, false};
    for (int i = 0; i < 2; ++i) {
        started[i] = pthread_create(&tids[i], nullptr, bgr2RgbWorker, &ranges[i]) == 0;
        // Without a thread the range is done here; the frame is the same, only slower.
        if (!started[i]) bgr2RgbThread(&ranges[i]);
    }
    for (int i = 0; i < 2; ++i) {
        if (started[i]) pthread_join(tids[i], nullptr);
    }
    return 0;
}
