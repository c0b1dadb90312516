#include "pipeline/velEncoder.h"

#include <turbojpeg.h>

#include <cstring>

#include "pipeline/colorConvert.h"
#include "service/debug.h"

namespace {

void zeroSizes(uint32_t* a, uint32_t* b, uint32_t* c) {
    if (a) *a = 0;
    if (b) *b = 0;
    if (c) *c = 0;
}

int qualityOf(const void* param) {
    const int q = param ? *static_cast<const int*>(param) : 90;
    return q < 1 ? 1 : (q > 100 ? 100 : q);
}

// TurboJPEG compressor that is destroyed on every path out.
struct TjCompressor {
    tjhandle h = tjInitCompress();
    ~TjCompressor() {
        if (h) tjDestroy(h);
    }
};

void putU32(unsigned char* p, uint32_t v) { memcpy(p, &v, sizeof v); }

}  // namespace

void GetImg2OneBlock32(unsigned char* out, const unsigned char* src, int width, int height,
                       int stride) {
    const size_t row = static_cast<size_t>(width) * 4;
    for (int r = 0; r < height; ++r) {
        memcpy(out + r * row, src + static_cast<size_t>(r) * stride, row);
    }
}

int encodeno(unsigned char* out, _VELRECT* rect, uint32_t* thirdSize, uint32_t* secondSize,
             uint32_t* firstSize, void* param, uint32_t outCapacity, uint32_t unused) {
    (void)param;
    (void)unused;
    zeroSizes(thirdSize, secondSize, firstSize);
    if (!out || !rect || !rect->buffer || rect->width <= 0 || rect->height <= 0) return 0;
    int bytesPerPixel = 0;
    switch (rect->bpp) {
        case 32:
            bytesPerPixel = 4;
            break;
        case 16:
            bytesPerPixel = 2;
            break;
        case 8:
            bytesPerPixel = 1;
            break;
        default:
            return 0;
    }
    const uint64_t rowBytes = static_cast<uint64_t>(rect->width) * bytesPerPixel;
    const uint64_t total = rowBytes * static_cast<uint64_t>(rect->height);
    if (total > outCapacity || rect->stride < static_cast<int64_t>(rowBytes)) return -1;
    if (bytesPerPixel == 4) {
        GetImg2OneBlock32(out, rect->buffer, rect->width, rect->height, rect->stride);
    } else {
        for (int r = 0; r < rect->height; ++r) {
            memcpy(out + r * rowBytes, rect->buffer + static_cast<size_t>(r) * rect->stride,
                   rowBytes);
        }
    }
    if (firstSize) *firstSize = static_cast<uint32_t>(total);
    return 0;
}

int encodeDoNothing(unsigned char* out, _VELRECT* rect, uint32_t* thirdSize, uint32_t* secondSize,
                    uint32_t* firstSize, void* param, uint32_t outCapacity, uint32_t unused) {
    (void)out;
    (void)rect;
    (void)param;
    (void)outCapacity;
    (void)unused;
    zeroSizes(thirdSize, secondSize, firstSize);
    vel_Printf("Dont call me [%s].\n", "encodeDoNothing");
    return 0;
}

int encodejpeg2(unsigned char* out, _VELRECT* rect, uint32_t* thirdSize, uint32_t* secondSize,
                uint32_t* firstSize, void* param, uint32_t outCapacity, uint32_t unused) {
    (void)unused;
    zeroSizes(thirdSize, secondSize, firstSize);
    if (!out || !rect || !rect->buffer || rect->width <= 0 || rect->height <= 0) return 0;
    TjCompressor tj;
    if (!tj.h) return -1;
    unsigned char* dst = out;
    unsigned long size = outCapacity;
    // The output is the caller's block: the library must not swap in a buffer of its own.
    if (velCompressRgb(tj.h, rect->buffer, rect->width, rect->stride, rect->height, TJPF_BGRX, &dst,
                       &size, TJSAMP_420, qualityOf(param), TJFLAG_NOREALLOC) != 0) {
        return -1;
    }
    if (firstSize) *firstSize = static_cast<uint32_t>(size);
    return 0;
}

uint32_t velYuvPlaneSize420(int component, int width, int height) {
    if (width <= 0 || height <= 0 || width > (1 << 16) || height > (1 << 16)) return 0;
    const unsigned long s = tjPlaneSizeYUV(component, width, 0, height, TJSAMP_420);
    if (s == static_cast<unsigned long>(-1)) return 0;
    return static_cast<uint32_t>((s + 15) & ~15ul);
}

uint32_t velYuvBlockLength(int width, int height) {
    const uint32_t y = velYuvPlaneSize420(0, width, height);
    if (!y) return 0;
    return VEL_YUV_BLOCK_HEADER + y + velYuvPlaneSize420(1, width, height) +
           velYuvPlaneSize420(2, width, height);
}

int encodeyuv(unsigned char* out, _VELRECT* rect, uint32_t* thirdSize, uint32_t* secondSize,
              uint32_t* firstSize, void* param, uint32_t outCapacity, uint32_t unused) {
    (void)param;
    (void)unused;
    zeroSizes(thirdSize, secondSize, firstSize);
    if (!out || !rect || !rect->pixels) return -1;
    const uint32_t ySize = velYuvPlaneSize420(0, rect->width, rect->height);
    const uint32_t uSize = velYuvPlaneSize420(1, rect->width, rect->height);
    const uint32_t vSize = velYuvPlaneSize420(2, rect->width, rect->height);
    if (!ySize || static_cast<uint64_t>(ySize) + uSize + vSize > outCapacity) return -1;
    unsigned char* planes[3] = {out, out + ySize, out + ySize + uSize};
    TjCompressor tj;
    if (!tj.h) return -1;
    if (velEncodeYUVPlanes(tj.h, rect->pixels, rect->width, rect->stride, rect->height, TJPF_BGRX,
                           planes, TJSAMP_420, 0) != 0) {
        return -1;
    }
    if (firstSize) *firstSize = ySize;
    if (secondSize) *secondSize = uSize;
    if (thirdSize) *thirdSize = vSize;
    return 0;
}

const VelEncodeFunc g_encfunarray[VEL_ENCODER_COUNT] = {
    encodeno,        encodeDoNothing, encodeDoNothing, encodeDoNothing, encodeDoNothing,
    encodeDoNothing, encodeDoNothing, encodeDoNothing, encodejpeg2,     encodeDoNothing,
    encodeDoNothing, encodeDoNothing, encodeDoNothing, encodeDoNothing, encodeDoNothing,
    encodeDoNothing, encodeyuv,
};

int velRgb2YuvEncode(_VELRECT* rect, int index, void* param, int unused1, int unused2,
                     unsigned char* block, uint32_t* length) {
    (void)unused1;
    (void)unused2;
    if (!length) return -1;
    const uint32_t capacity = *length;
    *length = 0;
    if (!rect || !block || index < 0 || index >= VEL_ENCODER_COUNT) return -1;
    if (capacity < VEL_YUV_BLOCK_HEADER) return -1;
    uint32_t first = 0, second = 0, third = 0;
    if (g_encfunarray[index](block + VEL_YUV_BLOCK_HEADER, rect, &third, &second, &first, param,
                             capacity - VEL_YUV_BLOCK_HEADER, 0) != 0) {
        return -1;
    }
    putU32(block + 0, static_cast<uint32_t>(index));
    putU32(block + 4, static_cast<uint32_t>(rect->y));
    putU32(block + 8, static_cast<uint32_t>(rect->x));
    putU32(block + 12, static_cast<uint32_t>(rect->height));
    putU32(block + 16, static_cast<uint32_t>(rect->width));
    putU32(block + 20, first);
    putU32(block + 24, second);
    putU32(block + 28, third);
    *length = VEL_YUV_BLOCK_HEADER + first + second + third;
    return 0;
}
