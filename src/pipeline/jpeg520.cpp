// Model-520 packet sizing and compression helpers, and the process-wide state of the send stage.
#include "pipeline/jpeg520.h"

#include <cstring>

#include "pipeline/colorConvert.h"
#include "service/debug.h"

std::atomic<int> g_bulkFailCount{0};
std::atomic<int> m_BulkOutHeartbeatStatus{0};
VelFpsStats g_fpsStats;

namespace {
int64_t wallClockMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Copies a library-allocated JPEG into the packet; 0 when it does not fit (never expected with
// the packet's worst-case room, but the size comes from the library, so it is checked).
unsigned long placeJpeg(unsigned char* jpeg, unsigned long jpegSize, unsigned char* packet,
                        size_t packetSize) {
    if (jpegSize == 0 || packetSize < VEL_PACKET520_JPEG_OFFSET ||
        jpegSize > packetSize - VEL_PACKET520_JPEG_OFFSET) {
        vel_Printf("[error] JPEG of %lu bytes does not fit a packet of %zu bytes\n", jpegSize,
                   packetSize);
        return 0;
    }
    memcpy(packet + VEL_PACKET520_JPEG_OFFSET, jpeg, jpegSize);
    return jpegSize;
}

bool validRect(const _VELRECT& rect) {
    return rect.width > 0 && rect.height > 0 && rect.width <= VEL_JPEG520_MAX_SIDE &&
           rect.height <= VEL_JPEG520_MAX_SIDE;
}
}  // namespace

int64_t (*g_velFpsNowMs)() = wallClockMs;

size_t velPacketSize520(int width, int height) {
    if (width <= 0 || height <= 0 || width > VEL_JPEG520_MAX_SIDE || height > VEL_JPEG520_MAX_SIDE)
        return 0;
    return static_cast<size_t>(width) * static_cast<size_t>(height) * 8 + VEL_PACKET520_EXTRA;
}

int velJpegLength520(unsigned long jpegSize, bool lightMode) {
    return static_cast<int>(jpegSize) + (lightMode ? 32 : 0);
}

unsigned long velEncodeYuv520(const _VELRECT& rect, int quality, unsigned char* packet,
                              size_t packetSize) {
    if (!validRect(rect) || !rect.buffer || !packet) {
        vel_Printf("tjCompress2 failed: %s\n", "invalid frame");
        return 0;
    }
    // The planes must be the packed 4:2:2 layout the compressor reads.
    unsigned long need = 0;
    const unsigned char* planes[3];
    for (int i = 0; i < 3; ++i) {
        const unsigned long size = tjPlaneSizeYUV(i, rect.width, 0, rect.height, TJSAMP_422);
        if (size == static_cast<unsigned long>(-1) || rect.planeSizes[i] < size) {
            vel_Printf("tjCompress2 failed: %s\n", "plane sizes do not match the frame");
            return 0;
        }
        planes[i] = rect.buffer + need;
        need += rect.planeSizes[i];
    }
    tjhandle handle = tjInitCompress();
    if (!handle) {
        vel_Printf("tjCompress2 failed: %s\n", tjGetErrorStr());
        return 0;
    }
    unsigned char* jpeg = nullptr;
    unsigned long jpegSize = 0;
    const int rc = tjCompressFromYUVPlanes(handle, planes, rect.width, nullptr, rect.height,
                                           TJSAMP_422, &jpeg, &jpegSize, quality, 0);
    unsigned long placed = 0;
    if (rc != 0 || !jpeg || jpegSize == 0) {
        vel_Printf("tjCompress2 failed: %s\n", tjGetErrorStr2(handle));
    } else {
        placed = placeJpeg(jpeg, jpegSize, packet, packetSize);
    }
    if (jpeg) tjFree(jpeg);
    tjDestroy(handle);
    return placed;
}

unsigned long velEncodeRgb520(const _VELRECT& rect, int quality, unsigned char* packet,
                              size_t packetSize) {
    if (!validRect(rect) || !rect.pixels || !packet ||
        (rect.stride != 0 && rect.stride < rect.width * 4)) {
        vel_Printf("tjCompress2 failed: %s\n", "invalid frame");
        return 0;
    }
    tjhandle handle = tjInitCompress();
    if (!handle) {
        vel_Printf("tjCompress2 failed: %s\n", tjGetErrorStr());
        return 0;
    }
    unsigned char* jpeg = nullptr;
    unsigned long jpegSize = 0;
    const int rc = velCompressRgb(handle, rect.pixels, rect.width, rect.stride, rect.height,
                                  TJPF_BGRX, &jpeg, &jpegSize, TJSAMP_422, quality, 0);
    unsigned long placed = 0;
    if (rc != 0 || !jpeg || jpegSize == 0) {
        vel_Printf("tjCompress2 failed: %s\n", tjGetErrorStr2(handle));
    } else {
        placed = placeJpeg(jpeg, jpegSize, packet, packetSize);
    }
    if (jpeg) tjFree(jpeg);
    tjDestroy(handle);
    return placed;
}
