// Model-520 packet sizing and compression helpers, and the process-wide state of the send stage.
#include "pipeline/jpeg520.h"

#include <malloc.h>

#include <cstring>
#include <mutex>
#include <vector>

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

// Compresses straight into the packet when its room after offset 112 takes TurboJPEG's worst
// case (always, with the packet sizes of velPacketSize520); otherwise into a library buffer
// that is then copied. `compress` gets the buffer, its size in and the JPEG size out, and the
// flags. Returns the JPEG size in the packet, or 0 (after the failure line).
template <typename Compress>
unsigned long compressIntoPacket(tjhandle handle, int width, int height, unsigned char* packet,
                                 size_t packetSize, Compress compress) {
    const unsigned long worst = tjBufSize(width, height, TJSAMP_422);
    unsigned long placed = 0;
    if (worst != static_cast<unsigned long>(-1) && packetSize > VEL_PACKET520_JPEG_OFFSET &&
        packetSize - VEL_PACKET520_JPEG_OFFSET >= worst) {
        unsigned char* jpeg = packet + VEL_PACKET520_JPEG_OFFSET;
        unsigned long jpegSize = packetSize - VEL_PACKET520_JPEG_OFFSET;
        if (compress(&jpeg, &jpegSize, TJFLAG_NOREALLOC) != 0 || jpegSize == 0 ||
            jpeg != packet + VEL_PACKET520_JPEG_OFFSET) {
            vel_Printf("tjCompress2 failed: %s\n", tjGetErrorStr2(handle));
            return 0;
        }
        return jpegSize;
    }
    unsigned char* jpeg = nullptr;
    unsigned long jpegSize = 0;
    if (compress(&jpeg, &jpegSize, 0) != 0 || !jpeg || jpegSize == 0) {
        vel_Printf("tjCompress2 failed: %s\n", tjGetErrorStr2(handle));
    } else {
        placed = placeJpeg(jpeg, jpegSize, packet, packetSize);
    }
    if (jpeg) tjFree(jpeg);
    return placed;
}

struct FramePool {
    std::mutex m;
    std::vector<std::pair<unsigned char*, size_t>> kept;  // block, usable size
    VelFramePoolStats stats;
};
FramePool& framePool() {
    static FramePool* pool = new FramePool;  // never destroyed: givers may run at exit
    return *pool;
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
    const unsigned long placed = compressIntoPacket(
        handle, rect.width, rect.height, packet, packetSize,
        [&](unsigned char** jpeg, unsigned long* jpegSize, int flags) {
            return tjCompressFromYUVPlanes(handle, planes, rect.width, nullptr, rect.height,
                                           TJSAMP_422, jpeg, jpegSize, quality, flags);
        });
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
    // Light mode is one tjCompress2 pass at every width. At 4:2:2 the system's conversion is the
    // library's own unless the studio formulas run (no dark-block adjustment at 4:2:2); only
    // then, since the library does not carry those formulas, the pixels go through the system's
    // conversion into planes first. (At a partial last MCU the two ways pad the edge
    // differently: tjCompress2 before subsampling, the planes after it.)
    const bool libraryConversion = velJpegSimdInUse() || g_tj_force_c_encode_formula != 1;
    const unsigned long placed = compressIntoPacket(
        handle, rect.width, rect.height, packet, packetSize,
        [&](unsigned char** jpeg, unsigned long* jpegSize, int flags) {
            if (libraryConversion)
                return tjCompress2(handle, rect.pixels, rect.width, rect.stride, rect.height,
                                   TJPF_BGRX, jpeg, jpegSize, TJSAMP_422, quality, flags);
            return velCompressRgb(handle, rect.pixels, rect.width, rect.stride, rect.height,
                                  TJPF_BGRX, jpeg, jpegSize, TJSAMP_422, quality, flags);
        });
    tjDestroy(handle);
    return placed;
}

unsigned char* velFrameBufferTake(size_t size) {
    if (size == 0) return nullptr;
    FramePool& pool = framePool();
    {
        std::lock_guard<std::mutex> lk(pool.m);
        ++pool.stats.takes;
        // The smallest block that fits, so a small request does not take a large one.
        auto best = pool.kept.end();
        for (auto it = pool.kept.begin(); it != pool.kept.end(); ++it) {
            if (it->second >= size && it->second / 2 <= size &&
                (best == pool.kept.end() || it->second < best->second))
                best = it;
        }
        if (best != pool.kept.end()) {
            unsigned char* p = best->first;
            pool.kept.erase(best);
            ++pool.stats.reused;
            return p;
        }
    }
    return static_cast<unsigned char*>(malloc(size));
}

void velFrameBufferGive(unsigned char* buffer) {
    if (!buffer) return;
    const size_t usable = malloc_usable_size(buffer);
    FramePool& pool = framePool();
    {
        std::lock_guard<std::mutex> lk(pool.m);
        pool.kept.emplace_back(buffer, usable);
        ++pool.stats.kept;
        if (pool.kept.size() <= static_cast<size_t>(VEL_FRAME_POOL_BUFFERS)) return;
        // Full: the block kept longest goes, so blocks of an earlier mode age out.
        buffer = pool.kept.front().first;
        pool.kept.erase(pool.kept.begin());
        ++pool.stats.freed;
    }
    free(buffer);
}

void velFrameBufferTrim() {
    std::vector<std::pair<unsigned char*, size_t>> drop;
    {
        FramePool& pool = framePool();
        std::lock_guard<std::mutex> lk(pool.m);
        drop.swap(pool.kept);
    }
    for (auto& b : drop) free(b.first);
}

VelFramePoolStats velFramePoolStats() {
    FramePool& pool = framePool();
    std::lock_guard<std::mutex> lk(pool.m);
    VelFramePoolStats s = pool.stats;
    s.buffers = static_cast<int>(pool.kept.size());
    return s;
}
