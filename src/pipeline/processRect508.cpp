// 50x-family frame pipeline of one view: four threads from plug-in to plug-out.
//
// "encodeRgb" takes one of the session's three frame credits, gathers the view's dirty
// rectangles, widens them by the adapter's ring of frame buffers (updateRectForFwRingBuf) and
// converts the region to a YUV 4:2:0 block; a region above kSplitPixels goes as two halves, the
// lower converted at the same time by "R2YBottom" (g_sem_cwThread starts it, g_sem_mainThread
// says its block is queued). "Y2JUpper" compresses every block of the view's encode queue into
// a packet; for a split frame "Y2JBottom" compresses the other half at the same time
// (sem_cwThread_step2 starts it, sem_mainThread_step2 says its packet is ready) and hands it
// over, and "Y2JUpper" sends the upper half, then the lower one. The frame gives the view's
// update token back once all of its pixels are converted, so no grab or mode change replaces
// them meanwhile.
//
// A frame takes its frame index only when its packets go on the send queue (sendFrame508), so
// the session's frames leave in index order with no index left out: the adapter reports the
// last frame it finished and every index up to it gives a credit back, so a frame of the other
// view sent ahead of a lower index, or an index that never went out, would return credits of
// frames still in flight (with two views streaming, five were seen in flight).
//
// Every wait is a slice of at most kSliceMs, so each thread notices within one slice that its
// view went inactive or the session stops; stopPipeline508 then joins them (plug-out and the
// clean-up, before the view's pixel areas go). A credit taken for a frame that does not reach
// the send queue is given back.
#include <semaphore.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstring>

#include "display/VelDisplayClassDriverBase.h"
#include "pipeline/colorConvert.h"
#include "pipeline/jpeg520.h"
#include "pipeline/pipeline508.h"
#include "pipeline/rectAlign.h"
#include "pipeline/velEncoder.h"
#include "service/debug.h"
#include "service/threadLock.h"
#include "service/threads.h"
#include "session/VelDev.h"
#include "session/evdiHandlers.h"

namespace {

constexpr int kSliceMs = 100;
constexpr uint8_t kWholeFrame = 0x11, kUpperHalf = 0x21, kLowerHalf = 0x22;
constexpr uint32_t kPacketHead = 48, kDecoderRoom = 20480;

uint32_t le32(const unsigned char* p) {
    return p[0] | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

}  // namespace

uint32_t velJpegLength508(unsigned long jpegSize, uint32_t model) {
    const uint32_t jpeg = static_cast<uint32_t>(jpegSize);
    if (model != 0x508) return jpeg + 32;
    // Model 0x0508's decoder fetches the JPEG in 1 KiB units, at least two of them.
    if (jpeg < 2048) return 2048;
    return (jpeg / 1024) * 1024 + 1024;
}

size_t velPacketSize508(int width, int height) {
    if (width <= 0 || height <= 0) return 0;
    const size_t area = static_cast<size_t>(width) * static_cast<size_t>(height);
    // The JPEG may be announced up to 1 KiB (and at least 2 KiB) longer than it is; the room
    // after it takes that padding and the decoder header.
    const size_t worst = tjBufSize(width, height, TJSAMP_420) + 2048 + 1024;
    return std::max(area * 8, worst) + kPacketHead + kDecoderRoom + 32;
}

void velSplitRegion508(const _alignmentRect& region, _alignmentRect* upper,
                       _alignmentRect* lower) {
    *upper = region;
    *lower = region;
    if (region.width == 3840 && region.height == 2160) {
        // The decoder's 4K halves: 944 rows above, 1216 below.
        upper->height = 944;
        lower->y = region.y + 944;
        lower->height = 1216;
        return;
    }
    upper->height = (region.height + 1) / 2;
    lower->y = region.y + region.height / 2;
    lower->height = (region.height + 1) / 2;
}

bool VelDev::rgb2YuvQueue508(_alignmentRect region, int quality, int viewId, int split,
                             uint8_t pieceFlags, int32_t frameIndex) {
    _VELRECT r;
    {
        std::lock_guard<std::mutex> lk(evdiGrabMutex[viewId]);
        get_rect_pointer(&region, &r, 32, evdiBuffer[viewId].stride, viewId);
    }
    if (!r.pixels || r.width <= 0 || r.height <= 0) return false;
    uint32_t length = velYuvBlockLength(r.width, r.height);
    if (length == 0) return false;
    unsigned char* block = velFrameBufferTake(length);
    if (!block) return false;
    if (velRgb2YuvEncode(&r, VEL_ENCODER_YUV, &quality, 0, 0, block, &length) != 0) {
        velFrameBufferGive(block);
        return false;
    }
    r.buffer = block;
    _RECT_IN_ENCODE_Q record;
    record.session = this;
    record.rect = r;
    record.formatCode = 0xE0;
    record.quality = quality;
    record.split = split;
    record.frameIndex = frameIndex;
    record.pieceFlags = pieceFlags;
    encodeQueue[viewId].push(record);
    if (encodeQueue[viewId].isCancelled()) return false;
    return true;
}

bool VelDev::pipeline508Running(int viewId) const {
    return viewActive[viewId] && !exitFlag && !(displayClass && displayClass->displayClassExitFlag);
}

// Waits for `sem` in slices while the view's pipeline runs; false when it stopped first.
static bool waitWhileRunning(VelDev& dev, sem_t* sem, int viewId) {
    while (dev.pipeline508Running(viewId))
        if (semWaitMillisecondQuiet(sem, kSliceMs) == 0) return true;
    return false;
}

void VelDev::rgb2YuvEncoder508(_alignmentRect merged, int viewId) {
    const long area = static_cast<long>(merged.width) * merged.height;
    const int split = area > kSplitPixels508 ? 1 : 0;
    const int quality = split ? 97 : 90;
    const _alignmentRect region = updateRectForFwRingBuf(&merged, viewId);
    // The frame's index is taken when it is sent (sendFrame508).
    const int32_t frameIndex = 0;
    {
        std::lock_guard<std::mutex> lk(pipelineStateMutex);
        encodeParams[viewId] = _ENCODE_PARAMS_{0xE0, quality, split, region};
        lastFrameIndex[viewId] = frameIndex;
    }
    _alignmentRect first = region, second = region;
    if (split) {
        velSplitRegion508(region, &first, &second);
        lowerHalfWake508[viewId].steer();
        sem_post(&g_sem_cwThread[viewId]);
    }
    dataAlignmentJPG(&first, viewId);
    const bool queued =
        rgb2YuvQueue508(first, quality, viewId, split, split ? kUpperHalf : kWholeFrame, frameIndex);
    if (split) {
        if (!queued) {
            // Both compressors take one record of a split frame: an empty upper one makes no
            // packet, and the compressor that takes it gives the frame's credit back.
            _RECT_IN_ENCODE_Q empty;
            empty.session = this;
            empty.split = split;
            empty.frameIndex = frameIndex;
            empty.pieceFlags = kUpperHalf;
            encodeQueue[viewId].push(empty);
        }
        // The lower half is queued (or stands in empty) before the next frame starts.
        waitWhileRunning(*this, &g_sem_mainThread[viewId], viewId);
    } else if (!queued) {
        // No packet will be sent or acknowledged for this frame.
        giveFrameCredit508();
        sem_post(&updateToken[viewId]);
    }
}

void VelDev::velRgb2Yuv508(int viewId) {
    vel::threadInit("encodeRgb");
    while (pipeline508Running(viewId)) {
        if (modeSetDone == 0) {
            vel::sleepMs(10);
            continue;
        }
        if (semWaitMillisecondQuiet(&frameCreditSemaphore, kSliceMs) != 0) continue;
        std::shared_ptr<evdi_rect> first;
        while (pipeline508Running(viewId) && !first)
            first = rectQueue[viewId].timedpop(std::chrono::milliseconds(kSliceMs));
        if (!first) {
            giveFrameCredit508();
            break;
        }
        _alignmentRect merged;
        merged.session = this;
        merged.x = first->x1;
        merged.y = first->y1;
        merged.width = first->x2 - first->x1;
        merged.height = first->y2 - first->y1;
        _alignmentRect more;
        if (velMergeRectQueue(rectQueue[viewId], &more)) {
            const int x2 = std::max(merged.x + merged.width, more.x + more.width);
            const int y2 = std::max(merged.y + merged.height, more.y + more.height);
            merged.x = std::min(merged.x, more.x);
            merged.y = std::min(merged.y, more.y);
            merged.width = x2 - merged.x;
            merged.height = y2 - merged.y;
        }
        if (velEvdiNeedsConversion(pixelFormat[viewId])) {
            std::lock_guard<PixelAreaLock> px(pixelAreaLock[viewId]);
            std::lock_guard<std::mutex> lk(evdiGrabMutex[viewId]);
            const evdi_buffer& eb = evdiBuffer[viewId];
            if (velEvdiNeedsConversion(pixelFormat[viewId]) && convBuffer[viewId] && eb.buffer &&
                eb.stride > 0 && eb.height > 0)
                velSwapPixelOrder(static_cast<const unsigned char*>(eb.buffer), convBuffer[viewId],
                                  static_cast<size_t>(eb.stride) * eb.height,
                                  eb.width * eb.height);
        }
        // Both halves of a split frame are converted from the pixels of one grab: the read lock
        // is held until the lower half is queued too.
        std::shared_lock<PixelAreaLock> px(pixelAreaLock[viewId]);
        rgb2YuvEncoder508(merged, viewId);
    }
    vel_Print("encodeRgb end\n");
}

void VelDev::velRgb2YuvAux508(int viewId) {
    vel::threadInit("R2YBottom");
    lowerHalfWake508[viewId].attach();
    while (waitWhileRunning(*this, &g_sem_cwThread[viewId], viewId)) {
        lowerHalfWake508[viewId].release();
        _ENCODE_PARAMS_ params;
        int32_t frameIndex = 0;
        {
            std::lock_guard<std::mutex> lk(pipelineStateMutex);
            params = encodeParams[viewId];
            frameIndex = lastFrameIndex[viewId];
        }
        _alignmentRect upper, lower;
        velSplitRegion508(params.rect, &upper, &lower);
        dataAlignmentJPG(&lower, viewId);
        // "encodeRgb" holds a read lock for the frame as well; this one covers a pipeline that
        // stops (and stops waiting for this half) while the half is being converted.
        std::shared_lock<PixelAreaLock> px(pixelAreaLock[viewId]);
        const bool queued = rgb2YuvQueue508(lower, params.quality, viewId, params.split,
                                            kLowerHalf, frameIndex);
        px.unlock();
        if (!queued) {
            // "Y2JBottom" waits for the frame's second record: an empty one makes no packet
            // but lets both compressors go on (the ring-buffer union repaints the half later).
            _RECT_IN_ENCODE_Q empty;
            empty.session = this;
            empty.split = params.split;
            empty.frameIndex = frameIndex;
            empty.pieceFlags = kLowerHalf;
            encodeQueue[viewId].push(empty);
        }
        sem_post(&g_sem_mainThread[viewId]);
    }
    lowerHalfWake508[viewId].detach();
    vel_Print("velRgb2YuvAux end\n");
}

_evdi_send VelDev::velYuv2JpegEncoder508(_RECT_IN_ENCODE_Q record, int viewId) {
    _evdi_send packet;
    packet.view = viewId;
    packet.frameIndex = record.frameIndex;
    packet.pieceFlags = record.pieceFlags;
    unsigned char* block = record.rect.buffer;
    const int width = record.rect.width, height = record.rect.height;
    const size_t size = velPacketSize508(width, height);
    unsigned char* buf = (block && size) ? velFrameBufferTake(size) : nullptr;
    if (!buf) {
        if (block) velFrameBufferGive(block);
        return packet;
    }
    // A pooled buffer may still hold an old packet: nothing is sent without a fresh header.
    memset(buf, 0, kPacketHead);
    const uint32_t ySize = le32(block + 20), uSize = le32(block + 24);
    const unsigned char* planes[3] = {block + 32, block + 32 + ySize, block + 32 + ySize + uSize};
    unsigned char* jpeg = buf + kPacketHead;
    unsigned long jpegSize = size - kPacketHead - kDecoderRoom - 2048 - 1024 - 32;
    tjhandle tj = tjInitCompress();
    int rc = -1;
    if (tj) {
        rc = tjCompressFromYUVPlanes(tj, planes, width, nullptr, height, TJSAMP_420, &jpeg,
                                     &jpegSize, record.quality, TJFLAG_NOREALLOC);
        tjDestroy(tj);
    }
    velFrameBufferGive(block);
    if (rc != 0 || jpegSize == 0) {
        vel_Printf("tjCompress2 failed: %s\n", tjGetErrorStr());
        velFrameBufferGive(buf);
        return packet;
    }
    const uint32_t announced = velJpegLength508(jpegSize, model);
    // What is announced beyond the JPEG goes out as zeros, not as a pooled buffer's old bytes.
    memset(jpeg + jpegSize, 0, announced - jpegSize);
    packet.buffer = buf;
    if (!displayClass ||
        displayClass->dataHeaderPackage(&record, &packet, record.rect,
                                        static_cast<int>(announced), viewId) < 0 ||
        packet.length <= 0) {
        velFrameBufferGive(buf);
        packet.buffer = nullptr;
    }
    return packet;
}

void VelDev::sendFrame508(int viewId, _evdi_send* packets, int count) {
    bool whole = true;
    for (int i = 0; i < count; ++i) whole = whole && packets[i].buffer;
    if (!whole) {
        // Half a picture is not shown: the frame goes whole or not at all (the ring-buffer
        // union repaints its region with the next frames). No index was taken for it.
        for (int i = 0; i < count; ++i)
            if (packets[i].buffer) velFrameBufferGive(packets[i].buffer);
        giveFrameCredit508();
        return;
    }
    std::lock_guard<std::mutex> order(sendOrderMutex508);
    uint32_t index = 0;
    if (displayClass) {
        index = displayClass->updateFrameIndex(static_cast<unsigned short>(viewId));
        if (index == 0) {
            displayClass->zeroFrameIndex();
            index = displayClass->updateFrameIndex(static_cast<unsigned short>(viewId));
        }
    }
    for (int i = 0; i < count; ++i) {
        unsigned char* b = packets[i].buffer;
        for (int k = 0; k < 4; ++k) b[22 + k] = static_cast<unsigned char>(index >> (8 * k));
        packets[i].frameIndex = static_cast<int32_t>(index);
        sendQueue.push(packets[i]);
    }
}

void VelDev::velYuv2Jpeg508(int viewId) {
    vel::threadInit("Y2JUpper");
    while (pipeline508Running(viewId)) {
        auto record = encodeQueue[viewId].timedpop(std::chrono::milliseconds(kSliceMs));
        if (!record) continue;
        if (!record->split) {
            // The region's pixels are all converted: the next grab may go ahead.
            sem_post(&updateToken[viewId]);
            _evdi_send packet = velYuv2JpegEncoder508(*record, viewId);
            sendFrame508(viewId, &packet, 1);
            continue;
        }
        sem_post(&sem_cwThread_step2[viewId]);
        _evdi_send halves[2];
        halves[0] = velYuv2JpegEncoder508(*record, viewId);
        const bool otherHalf = waitWhileRunning(*this, &sem_mainThread_step2[viewId], viewId);
        sem_post(&updateToken[viewId]);
        if (otherHalf) {
            std::lock_guard<std::mutex> lk(pipelineStateMutex);
            halves[1] = otherHalf508[viewId];
            otherHalf508[viewId] = _evdi_send{};
        }
        // Whichever half was converted first, the upper one goes out first.
        if (halves[0].pieceFlags == kLowerHalf) std::swap(halves[0], halves[1]);
        sendFrame508(viewId, halves, 2);
    }
    vel_Print("velYuv2Jpeg end\n");
}

void VelDev::velYuv2JpegAux508(int viewId) {
    vel::threadInit("Y2JBottom");
    while (waitWhileRunning(*this, &sem_cwThread_step2[viewId], viewId)) {
        std::shared_ptr<_RECT_IN_ENCODE_Q> record;
        while (pipeline508Running(viewId) && !record)
            record = encodeQueue[viewId].timedpop(std::chrono::milliseconds(kSliceMs));
        if (!record) break;
        const _evdi_send packet = velYuv2JpegEncoder508(*record, viewId);
        {
            std::lock_guard<std::mutex> lk(pipelineStateMutex);
            if (otherHalf508[viewId].buffer) velFrameBufferGive(otherHalf508[viewId].buffer);
            otherHalf508[viewId] = packet;
        }
        sem_post(&sem_mainThread_step2[viewId]);
    }
    vel_Print("velYuv2JpegAux end\n");
}

void VelDev::startPipeline508(int viewId) {
    if (viewId < 0 || viewId >= VEL_MAX_VIEWS || convThreads508Started[viewId]) return;
    for (sem_t* s : {&g_sem_mainThread[viewId], &sem_mainThread_step2[viewId],
                     &g_sem_cwThread[viewId], &sem_cwThread_step2[viewId]})
        while (sem_trywait(s) == 0) {
        }
    auto& t = pipeline508[viewId];
    t[0] = std::thread([this, viewId] { velRgb2Yuv508(viewId); });
    t[1] = std::thread([this, viewId] { velRgb2YuvAux508(viewId); });
    t[2] = std::thread([this, viewId] { velYuv2Jpeg508(viewId); });
    t[3] = std::thread([this, viewId] { velYuv2JpegAux508(viewId); });
    convThreads508Started[viewId] = true;
}

void VelDev::stopPipeline508(int viewId) {
    if (viewId < 0 || viewId >= VEL_MAX_VIEWS) return;
    for (auto& t : pipeline508[viewId])
        if (t.joinable()) t.join();
    convThreads508Started[viewId] = false;
    // Blocks converted for packets that were never made, and a half never sent.
    while (auto e = encodeQueue[viewId].trypop()) velFrameBufferGive(e->rect.buffer);
    std::lock_guard<std::mutex> lk(pipelineStateMutex);
    if (otherHalf508[viewId].buffer) velFrameBufferGive(otherHalf508[viewId].buffer);
    otherHalf508[viewId] = _evdi_send{};
}
