// RGB to planar YCbCr conversion with the system's own arithmetic, on top of TurboJPEG.
//
// Every RGB-to-YCbCr conversion of the pipeline goes through velEncodeYUVPlanes (or
// velCompressRgb, which feeds it to tjCompressFromYUVPlanes):
// - While libjpeg-turbo's SIMD converter is in use (always on x86-64, unless its documented
//   environment switches turn SIMD off), the planes are the library's own JFIF conversion.
// - When the library would run its scalar converter instead and g_tj_force_c_encode_formula is 1,
//   the planes follow the studio-range formulas (Y = 16 + 0.257 R + 0.504 G + 0.098 B, ...), in
//   double precision, with the chroma downsampled exactly as libjpeg-turbo downsamples.
// - At 4:2:0 only (the library converts two rows per call there, one row at 4:2:2 and 4:4:4),
//   dark 2 x 2 blocks get their luma contrast stretched: the adapters' decoders flatten near-
//   black detail otherwise. See velDarkBlockAdjust.
//
// Input pixels are 4 bytes, byte 0 blue, byte 1 green, byte 2 red (TJPF_BGRX / TJPF_BGRA).
// Planes are packed at TurboJPEG's plane widths (NULL strides).
//
// Threads: every function may run on any thread; each conversion uses the handle it is given.
// The adjustment range T is read without a lock and set only through VelAdjustYThreshold.
#pragma once

#include <turbojpeg.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

// Range of the dark-block luma adjustment: [g_dwThresholdLow, g_dwThresholdHight] = [-T, T].
extern std::atomic<int> g_dwThresholdHight;
extern std::atomic<int> g_dwThresholdLow;
// 1 selects the studio-range formulas for the scalar conversion path.
extern int g_tj_force_c_encode_formula;

// Blue and green at or below this make a pixel "dark" for the adjustment; red is not examined.
constexpr int VEL_DARK_BLOCK_LIMIT = 25;
constexpr int VEL_Y_THRESHOLD_DEFAULT = 25;

// Sets the adjustment range to [-t, t]; t is taken as |t| and capped at 255.
void VelAdjustYThreshold(int t);

// True when libjpeg-turbo runs its SIMD colour converter in this process (decided once, from the
// same environment switches the library reads at its first use).
bool velJpegSimdInUse();

// The dark-block luma adjustment over a Y plane converted from `src` (width x height pixels, rows
// `pitch` bytes apart; Y rows `yStride` bytes apart). For each pair of rows and each pair of
// columns, a block whose four pixels all have blue and green <= 25 has each of its Y values moved
// away from the block's mean by at most T. An odd last row or column is left alone.
void velDarkBlockAdjust(const unsigned char* src, int width, int pitch, int height,
                        unsigned char* yPlane, int yStride);

// The same with the vector width chosen: 0 plain C, 1 SSE2, 2 AVX2 where the CPU has it (what
// velDarkBlockAdjust uses). All levels give the same result; the choice exists for tests.
void velDarkBlockAdjustLevel(int level, const unsigned char* src, int width, int pitch, int height,
                             unsigned char* yPlane, int yStride);

// As tjEncodeYUVPlanes with NULL strides, with the arithmetic above. Supports TJPF_BGRX and
// TJPF_BGRA at TJSAMP_444, TJSAMP_422 and TJSAMP_420; pitch 0 means 4 x width. Flags other than 0
// are passed to the library on its path; TJFLAG_BOTTOMUP is refused. Returns 0, or -1 (bad
// arguments or a library failure; tjGetErrorStr2(handle) then tells which, on the library path).
int velEncodeYUVPlanes(tjhandle handle, const unsigned char* src, int width, int pitch, int height,
                       int pixelFormat, unsigned char** planes, int subsamp, int flags);

// RGB straight to JPEG (the job of tjCompress2) through velEncodeYUVPlanes and
// tjCompressFromYUVPlanes, so the JPEG carries the same arithmetic. `jpegBuf`, `jpegSize` and
// `flags` as for tjCompress2 (TJFLAG_NOREALLOC with a caller buffer, or a library-allocated one
// the caller frees with tjFree). Returns 0 or -1.
int velCompressRgb(tjhandle handle, const unsigned char* src, int width, int pitch, int height,
                   int pixelFormat, unsigned char** jpegBuf, unsigned long* jpegSize, int subsamp,
                   int quality, int flags);

// Argument of bgr2RgbThread: pixels [start, end) of `pixels` are swapped in place, or, when `src`
// is set, read from `src` and written swapped to `pixels`.
struct _BGR2RGB_RANGE_ {
    int start = 0;
    int end = 0;
    uint32_t* pixels = nullptr;
    const uint32_t* src = nullptr;
};

// pthread entry: exchanges bytes 0 and 2 of every pixel of the range, keeps byte 1 and clears
// byte 3. Returns null.
void* bgr2RgbThread(void* arg);

// The pixel-order swap of a frame: `dst` becomes `src` (`bytes` long) with bytes 0 and 2 of each
// of its first `pixelCount` pixels exchanged, on two threads that are joined before it returns.
// `pixelCount` is capped at bytes / 4. Returns 0, or -1 for null buffers.
int velSwapPixelOrder(const unsigned char* src, unsigned char* dst, size_t bytes, int pixelCount);
