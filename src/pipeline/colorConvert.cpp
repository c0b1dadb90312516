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
#if defined(__x86_64__)
#include <immintrin.h>
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

// Source bytes per conversion band at 4:2:0 (see velEncodeYUVPlanes): small enough that a band
// and its planes stay in a core's L2 cache between the conversion and the adjustment.
constexpr size_t kBandBytes = 256 * 1024;

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
// 32-bit lane per pixel of the four at `p`: all ones when its blue and green are both <= 25.
inline __m128i darkLanes4(const unsigned char* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i over = _mm_subs_epu8(v, _mm_set1_epi8(VEL_DARK_BLOCK_LIMIT));
    const __m128i bg = _mm_and_si128(over, _mm_set1_epi32(0x0000FFFF));
    return _mm_cmpeq_epi32(bg, _mm_setzero_si128());
}

// Eight columns (four blocks) of a row pair: 16-bit lanes per pixel, one 32-bit lane per block.
inline void adjustBlocks8(const unsigned char* p0, const unsigned char* p1, unsigned char* y0,
                          unsigned char* y1, __m128i lo, __m128i hi) {
    // Pixel masks as 16-bit lanes (pack keeps 0 and -1), both rows, then both pixels of a block.
    // Most of a desktop is not dark: without a dark pixel in the top row nothing qualifies.
    const __m128i d0 = _mm_packs_epi32(darkLanes4(p0), darkLanes4(p0 + 16));
    if (_mm_movemask_epi8(d0) == 0) return;
    const __m128i d1 = _mm_packs_epi32(darkLanes4(p1), darkLanes4(p1 + 16));
    const __m128i pm = _mm_and_si128(d0, d1);
    const __m128i bm =
        _mm_and_si128(pm, _mm_or_si128(_mm_slli_epi32(pm, 16), _mm_srli_epi32(pm, 16)));
    if (_mm_movemask_epi8(bm) == 0) return;

    const __m128i zero = _mm_setzero_si128();
    const __m128i a =
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(y0)), zero);
    const __m128i b =
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(y1)), zero);
    const __m128i col = _mm_add_epi16(a, b);
    const __m128i sum =
        _mm_add_epi32(_mm_and_si128(col, _mm_set1_epi32(0xFFFF)), _mm_srli_epi32(col, 16));
    const __m128i avg = _mm_srli_epi32(sum, 2);
    const __m128i avg16 = _mm_or_si128(avg, _mm_slli_epi32(avg, 16));
    const __m128i na =
        _mm_add_epi16(a, _mm_min_epi16(_mm_max_epi16(_mm_sub_epi16(a, avg16), lo), hi));
    const __m128i nb =
        _mm_add_epi16(b, _mm_min_epi16(_mm_max_epi16(_mm_sub_epi16(b, avg16), lo), hi));
    const __m128i ra = _mm_or_si128(_mm_and_si128(bm, na), _mm_andnot_si128(bm, a));
    const __m128i rb = _mm_or_si128(_mm_and_si128(bm, nb), _mm_andnot_si128(bm, b));
    // packus clamps to 0..255.
    _mm_storel_epi64(reinterpret_cast<__m128i*>(y0), _mm_packus_epi16(ra, ra));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(y1), _mm_packus_epi16(rb, rb));
}
#endif

#if defined(__x86_64__) && defined(__GNUC__)
#define VEL_HAVE_AVX2_KERNEL 1
// Sixteen columns (eight blocks) of a row pair. A block qualifies when the byte-wise maximum of
// its four pixels has blue and green <= 25: the two rows are combined first, then the two
// columns, so the test costs a few instructions per block.
__attribute__((target("avx2"))) void adjustRowPairAvx2(const unsigned char* p0,
                                                       const unsigned char* p1, unsigned char* y0,
                                                       unsigned char* y1, int width, int lo, int hi,
                                                       int* done) {
    const __m256i limit = _mm256_set1_epi8(VEL_DARK_BLOCK_LIMIT);
    const __m256i bgMask = _mm256_set1_epi64x(0xFFFF);
    const __m256i vlo = _mm256_set1_epi16(static_cast<short>(lo));
    const __m256i vhi = _mm256_set1_epi16(static_cast<short>(hi));
    const __m256i low16 = _mm256_set1_epi32(0xFFFF);
    int c = 0;
    for (; c + 16 <= width; c += 16) {
        const unsigned char* a = p0 + static_cast<size_t>(c) * 4;
        const unsigned char* b = p1 + static_cast<size_t>(c) * 4;
        const __m256i v0 = _mm256_max_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a)),
                                           _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b)));
        const __m256i v1 =
            _mm256_max_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + 32)),
                            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 32)));
        const __m256i h0 = _mm256_max_epu8(v0, _mm256_srli_epi64(v0, 32));
        const __m256i h1 = _mm256_max_epu8(v1, _mm256_srli_epi64(v1, 32));
        const __m256i z0 = _mm256_cmpeq_epi64(_mm256_and_si256(_mm256_subs_epu8(h0, limit), bgMask),
                                              _mm256_setzero_si256());
        const __m256i z1 = _mm256_cmpeq_epi64(_mm256_and_si256(_mm256_subs_epu8(h1, limit), bgMask),
                                              _mm256_setzero_si256());
        if (_mm256_movemask_epi8(_mm256_or_si256(z0, z1)) == 0) continue;
        // One 32-bit lane per block, blocks in column order.
        const __m256i bm = _mm256_permute4x64_epi64(_mm256_packs_epi32(z0, z1), 0xD8);

        const __m256i ya =
            _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y0 + c)));
        const __m256i yb =
            _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y1 + c)));
        const __m256i col = _mm256_add_epi16(ya, yb);
        const __m256i sum =
            _mm256_add_epi32(_mm256_and_si256(col, low16), _mm256_srli_epi32(col, 16));
        const __m256i avg = _mm256_srli_epi32(sum, 2);
        const __m256i avg16 = _mm256_or_si256(avg, _mm256_slli_epi32(avg, 16));
        const __m256i na = _mm256_add_epi16(
            ya, _mm256_min_epi16(_mm256_max_epi16(_mm256_sub_epi16(ya, avg16), vlo), vhi));
        const __m256i nb = _mm256_add_epi16(
            yb, _mm256_min_epi16(_mm256_max_epi16(_mm256_sub_epi16(yb, avg16), vlo), vhi));
        const __m256i ra = _mm256_blendv_epi8(ya, na, bm);
        const __m256i rb = _mm256_blendv_epi8(yb, nb, bm);
        // packus clamps to 0..255; the permute restores column order after the in-lane pack.
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(ra, rb), 0xD8);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(y0 + c), _mm256_castsi256_si128(packed));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(y1 + c), _mm256_extracti128_si256(packed, 1));
    }
    *done = c;
}

bool cpuHasAvx2() {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}
#endif

int samplingFactors(int subsamp, int* hs, int* vs) {
    switch (subsamp) {
        case TJSAMP_444:
            *hs = 1;
            *vs = 1;
            return 0;
        case TJSAMP_422:
            *hs = 2;
            *vs = 1;
            return 0;
        case TJSAMP_420:
            *hs = 2;
            *vs = 2;
            return 0;
        default:
            return -1;
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

void velDarkBlockAdjustLevel(int level, const unsigned char* src, int width, int pitch, int height,
                             unsigned char* yPlane, int yStride) {
    if (!src || !yPlane || width < 2 || height < 2) return;
    const int hi = g_dwThresholdHight.load(std::memory_order_relaxed);
    const int lo = g_dwThresholdLow.load(std::memory_order_relaxed);
#ifdef VEL_HAVE_AVX2_KERNEL
    const bool useAvx2 = level >= 2 && cpuHasAvx2();
#endif
    for (int r = 0; r + 1 < height; r += 2) {
        const unsigned char* p0 = src + static_cast<size_t>(r) * pitch;
        const unsigned char* p1 = p0 + pitch;
        unsigned char* y0 = yPlane + static_cast<size_t>(r) * yStride;
        unsigned char* y1 = y0 + yStride;
        int c = 0;
#ifdef VEL_HAVE_AVX2_KERNEL
        if (useAvx2) adjustRowPairAvx2(p0, p1, y0, y1, width, lo, hi, &c);
#endif
#ifdef __SSE2__
        if (level >= 1) {
            const __m128i vlo = _mm_set1_epi16(static_cast<short>(lo));
            const __m128i vhi = _mm_set1_epi16(static_cast<short>(hi));
            for (; c + 8 <= width; c += 8) {
                adjustBlocks8(p0 + static_cast<size_t>(c) * 4, p1 + static_cast<size_t>(c) * 4,
                              y0 + c, y1 + c, vlo, vhi);
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

void velDarkBlockAdjust(const unsigned char* src, int width, int pitch, int height,
                        unsigned char* yPlane, int yStride) {
    velDarkBlockAdjustLevel(2, src, width, pitch, height, yPlane, yStride);
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
        if (vs == 2)
            velDarkBlockAdjust(src, width, pitch, height, planes[0],
                               tjPlaneWidth(0, width, subsamp));
        return 0;
    }
    if (!handle) return -1;
    if (vs == 1) {
        return tjEncodeYUVPlanes(handle, src, width, pitch, height, pixelFormat, planes, nullptr,
                                 subsamp, flags) == 0
                   ? 0
                   : -1;
    }
    // 4:2:0 in bands of whole row pairs: each band's pixels are still in cache when the
    // adjustment reads them again. Row pairs are converted independently (no smoothing), so the
    // planes are the same as from one call; an odd last row is padded by the library in the
    // last band exactly as in a single call.
    const int yStride = tjPlaneWidth(0, width, subsamp);
    const int cStride = tjPlaneWidth(1, width, subsamp);
    int band = static_cast<int>(kBandBytes / static_cast<size_t>(pitch)) & ~1;
    if (band < 2) band = 2;
    for (int r = 0; r < height; r += band) {
        const int rows = std::min(band, height - r);
        const unsigned char* bandSrc = src + static_cast<size_t>(r) * pitch;
        unsigned char* bandPlanes[3] = {planes[0] + static_cast<size_t>(r) * yStride,
                                        planes[1] + static_cast<size_t>(r / 2) * cStride,
                                        planes[2] + static_cast<size_t>(r / 2) * cStride};
        if (tjEncodeYUVPlanes(handle, bandSrc, width, pitch, rows, pixelFormat, bandPlanes, nullptr,
                              subsamp, flags) != 0) {
            return -1;
        }
        velDarkBlockAdjust(bandSrc, width, pitch, rows, bandPlanes[0], yStride);
    }
    return 0;
}

int velCompressRgb(tjhandle handle, const unsigned char* src, int width, int pitch, int height,
                   int pixelFormat, unsigned char** jpegBuf, unsigned long* jpegSize, int subsamp,
                   int quality, int flags) {
    if (!handle || !jpegBuf || !jpegSize || width <= 0 || height <= 0) return -1;
    const unsigned long yuvSize = tjBufSizeYUV2(width, 1, height, subsamp);
    if (yuvSize == static_cast<unsigned long>(-1)) return -1;
    std::unique_ptr<unsigned char, decltype(&free)> yuv(
        static_cast<unsigned char*>(malloc(yuvSize)), &free);
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
    int i = range->start;
#ifdef __SSE2__
    const __m128i byte0 = _mm_set1_epi32(0xFF);
    const __m128i byte1 = _mm_set1_epi32(0xFF00);
    for (; i + 4 <= range->end; i += 4) {
        const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const __m128i r = _mm_or_si128(_mm_or_si128(_mm_and_si128(_mm_srli_epi32(p, 16), byte0),
                                                    _mm_slli_epi32(_mm_and_si128(p, byte0), 16)),
                                       _mm_and_si128(p, byte1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), r);
    }
#endif
    for (; i < range->end; ++i) {
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
