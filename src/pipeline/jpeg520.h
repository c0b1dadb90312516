// Model-520 JPEG packets and the process-wide state of the send stage.
//
// Packet layout (model 520): a heap buffer of width x height x 8 + 20,624 bytes; the 32-byte
// transport header and the 80-byte data header come first (filled by the display class), the
// JPEG starts at offset 112, and the room after it takes the decoder header and padding.
// width x height x 8 always exceeds TurboJPEG's worst case at 4:2:2.
#pragma once

#include <turbojpeg.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "pipeline/pipelineRecords.h"

constexpr size_t VEL_PACKET520_JPEG_OFFSET = 112;
constexpr size_t VEL_PACKET520_EXTRA = 20624;
constexpr int VEL_JPEG520_QUALITY = 90;
// The adapter's decoder takes at most this many pixels along either side; larger sizes are
// refused before any allocation so the packet size cannot overflow.
constexpr int VEL_JPEG520_MAX_SIDE = 8192;
constexpr int VEL_BULK_TIMEOUT_MS = 1000;
constexpr int VEL_BULK_FAIL_LIMIT = 5;  // more consecutive failures than this end the service

// Packet buffer size for a width x height view; 0 when the size is out of range.
size_t velPacketSize520(int width, int height);

// JPEG length argument for dataHeaderPackage: the JPEG size on the planar path, 32 more in light
// mode.
int velJpegLength520(unsigned long jpegSize, bool lightMode);

// Compresses the packed 4:2:2 planes of `rect` (quality as given) and places the JPEG at offset
// 112 of `packet` (`packetSize` bytes). Returns the JPEG size, or 0 when nothing was produced
// (then "tjCompress2 failed: %s\n" has been logged).
unsigned long velEncodeYuv520(const _VELRECT& rect, int quality, unsigned char* packet,
                              size_t packetSize);
// The same for 32-bit BGRX pixels of `rect` (rows `stride` apart, 0: 4 x width). With the
// library's own colour conversion (SIMD in use, or the studio formulas not selected) that is one
// tjCompress2 straight into the packet, at every width: the JPEG tjCompress2 gives. The studio
// formulas go through velCompressRgb.
unsigned long velEncodeRgb520(const _VELRECT& rect, int quality, unsigned char* packet,
                              size_t packetSize);

// Recycled frame buffers (model-520 YUV planes and packets). A frame of a 1920x1080 view needs a
// 4 MiB YUV buffer and a 16 MiB packet, a 3840x2160 one 16 and 66 MiB; allocated fresh each
// frame they are mapped, faulted in page by page and unmapped again at every frame. Buffers are
// plain malloc() blocks, so a stage that frees one instead of giving it back stays correct. The
// pool keeps at most VEL_FRAME_POOL_BUFFERS of them, whatever their size (three views with four
// frames in flight, two buffers each), and frees the longest kept first; any thread.
constexpr int VEL_FRAME_POOL_BUFFERS = 24;
// A malloc'd block of at least `size` bytes (a recycled one of no more than twice that, or a new
// one); its contents are undefined. Null when none can be had.
unsigned char* velFrameBufferTake(size_t size);
// Gives a block from malloc back for a later take (the longest kept one is freed when the pool
// is full).
void velFrameBufferGive(unsigned char* buffer);
// Frees every kept block (pool statistics stay).
void velFrameBufferTrim();
struct VelFramePoolStats {
    long takes = 0, reused = 0, kept = 0, freed = 0;
    int buffers = 0;  // kept now
};
VelFramePoolStats velFramePoolStats();

// Consecutive failed bulk transfers of counted packets, shared by every session. Atomic: every
// session's send thread updates it.
extern std::atomic<int> g_bulkFailCount;
// The 50x-family heartbeat sets this to 1 while it watches bulk-out activity.
extern std::atomic<int> m_BulkOutHeartbeatStatus;

// Frame-rate statistics, shared by all sessions and indexed by view.
struct VelFpsStats {
    std::atomic<int> counter[3] = {};
    std::atomic<int64_t> startMs[3] = {};  // wall clock, milliseconds since the epoch
    std::atomic<bool> started{false};
};
extern VelFpsStats g_fpsStats;
// Wall clock of the frame-rate report in milliseconds since the epoch (replaceable by tests).
extern int64_t (*g_velFpsNowMs)();
