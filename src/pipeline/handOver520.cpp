// Model-520 JPEG encoding: one short-lived thread per frame compresses the whole view into a new
// packet, lets the display class fill the packet's headers and queues it for the send thread.
//
// Ownership: the YUV planes of a record belong to yuv2Jpeg520 and are given back to the frame
// buffer pool on every path; the packet buffer (taken from the pool) belongs to the encoder until
// it is pushed, then to the send queue.
// Update tokens: yuv2Jpeg520 gives the view's token back as soon as the planes are its own (on
// every path, so a dropped frame cannot stall the view's updates); rgb2Jpeg520 reads the view's
// pixels and keeps the token until the compression is over, so the pixel area stays retired and
// alive while it reads (a failure returns the token through the caller's dropFrame520).
#include <turbojpeg.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "display/VelDisplayClassDriverBase.h"
#include "pipeline/jpeg520.h"
#include "pipeline/rectAlign.h"
#include "service/debug.h"
#include "session/VelDev.h"

namespace {
bool validView(int viewId) { return viewId >= 0 && viewId < VEL_MAX_VIEWS; }

// A push onto a cancelled queue drops the record, and with it the only pointer to its buffer.
void queuePacket(threadsafe_queue<_evdi_send>& queue, const _evdi_send& packet) {
    if (queue.isCancelled()) {
        velFrameBufferGive(packet.buffer);
        return;
    }
    queue.push(packet);
}
}  // namespace

// Frames of one view are encoded on threads of their own and may finish out of order. A packet
// older than the newest one already queued for its view would make the monitor show an older
// picture last: it is dropped instead and its frame credit given back (the adapter never
// acknowledges a packet it did not get). Indexes are compared modulo 2^32, so a wrap is no
// reordering; a repeated index counts as overtaken. False when the packet was dropped.
bool VelDev::queueFrame520(const _evdi_send& packet) {
    const int v = packet.view;
    std::lock_guard<std::mutex> lk(frameOrderMutex);
    const uint32_t index = static_cast<uint32_t>(packet.frameIndex);
    if (anyQueuedFrame520[v] && static_cast<int32_t>(index - lastQueuedFrame520[v]) <= 0) {
        vel_Printf("[warning] view %d: frame %u overtaken by frame %u, not sent\n", v, index,
                   lastQueuedFrame520[v]);
        velFrameBufferGive(packet.buffer);
        int credits = 0;
        sem_getvalue(&frameFeedbackSemaphore[v], &credits);
        if (credits < 4) sem_post(&frameFeedbackSemaphore[v]);
        return false;
    }
    lastQueuedFrame520[v] = index;
    anyQueuedFrame520[v] = true;
    queuePacket(sendQueue, packet);
    return true;
}

void VelDev::yuv2Jpeg520(_RECT_IN_ENCODE_Q record, int viewId, int sequence) {
    if (yuv2Jpeg520Hook) yuv2Jpeg520Hook(record, viewId, sequence);
    if (!validView(viewId)) {
        velFrameBufferGive(record.rect.buffer);
        return;
    }
    if (!connected || exitFlag) {
        vel_Printf("(%s) this is null\n", "yuv2Jpeg520");
        velFrameBufferGive(record.rect.buffer);
        sem_post(&updateToken[viewId]);
        return;
    }
    const size_t packetSize = velPacketSize520(record.rect.width, record.rect.height);
    auto* packet = packetSize ? velFrameBufferTake(packetSize) : nullptr;
    if (!packet || !viewActive[viewId]) {
        if (!packet) vel_Printf("[error] yuv2Jpeg520: no packet buffer of %zu bytes\n", packetSize);
        velFrameBufferGive(packet);
        velFrameBufferGive(record.rect.buffer);
        sem_post(&updateToken[viewId]);
        return;
    }
    sem_post(&updateToken[viewId]);

    const unsigned long jpegSize = velEncodeYuv520(record.rect, record.quality, packet, packetSize);
    velFrameBufferGive(record.rect.buffer);
    record.rect.buffer = nullptr;
    record.rect.planes[0] = record.rect.planes[1] = record.rect.planes[2] = nullptr;
    if (jpegSize == 0) {
        velFrameBufferGive(packet);
        return;
    }

    _evdi_send send;
    send.view = viewId;
    send.length = 0;
    send.buffer = packet;
    send.pieceFlags = record.pieceFlags;
    send.frameIndex = record.frameIndex;
    const std::shared_ptr<VelDisplayClassBase> dc = displayClass;
    if (dc) {
        dc->dataHeaderPackage(&record, &send, record.rect, velJpegLength520(jpegSize, false),
                              viewId);
    }
    if (send.length <= 0 || static_cast<size_t>(send.length) > packetSize) {
        // Nothing (or more than the buffer) to send: the packet could not be framed.
        vel_Printf("[error] yuv2Jpeg520: packet of view %d not framed (length %d)\n", viewId,
                   send.length);
        velFrameBufferGive(packet);
        return;
    }
    if (queueFrame520(send)) printFps(viewId);
}

int VelDev::rgb2Jpeg520(_alignmentRect* rect, int viewId, int sequence) {
    (void)rect;
    if (!connected || exitFlag) {
        vel_Printf("(%s) this is null\n", "rgb2Jpeg520");
        return -1;
    }
    if (!validView(viewId)) return -1;
    _VELRECT region;
    int32_t frameIndex = 0;
    if (prepareWholeView520(viewId, VEL_JPEG520_QUALITY, &region, &frameIndex) != 0) return -1;

    const size_t packetSize = velPacketSize520(region.width, region.height);
    auto* packet = packetSize ? velFrameBufferTake(packetSize) : nullptr;
    if (!packet) {
        vel_Printf("[error] rgb2Jpeg520: no packet buffer of %zu bytes\n", packetSize);
        return -1;
    }
    if (!viewActive[viewId]) {
        velFrameBufferGive(packet);
        return -1;
    }
    const unsigned long jpegSize = velEncodeRgb520(region, VEL_JPEG520_QUALITY, packet, packetSize);
    if (jpegSize == 0) {
        velFrameBufferGive(packet);
        return -1;
    }
    // The light-mode length covers 32 bytes past the JPEG; the pooled buffer may hold an older
    // frame there, which must not go to the device.
    const size_t tail = static_cast<size_t>(velJpegLength520(jpegSize, true)) - jpegSize;
    if (VEL_PACKET520_JPEG_OFFSET + jpegSize + tail <= packetSize)
        memset(packet + VEL_PACKET520_JPEG_OFFSET + jpegSize, 0, tail);
    sem_post(&updateToken[viewId]);

    _RECT_IN_ENCODE_Q record;
    record.session = this;
    record.rect = region;
    record.formatCode = 0xE0;
    record.quality = VEL_JPEG520_QUALITY;
    record.split = 0;
    record.frameIndex = frameIndex;
    record.pieceFlags = 0x11;
    if (yuv2Jpeg520Hook) yuv2Jpeg520Hook(record, viewId, sequence);
    _evdi_send send;
    send.view = viewId;
    send.length = 0;
    send.buffer = packet;
    send.pieceFlags = 0x11;
    send.frameIndex = frameIndex;
    const std::shared_ptr<VelDisplayClassBase> dc = displayClass;
    if (dc) dc->dataHeaderPackage(&record, &send, region, velJpegLength520(jpegSize, true), viewId);
    if (send.length <= 0 || static_cast<size_t>(send.length) > packetSize) {
        vel_Printf("[error] rgb2Jpeg520: packet of view %d not framed (length %d)\n", viewId,
                   send.length);
        velFrameBufferGive(packet);
        return 0;
    }
    bool queued = false;
    {
        std::lock_guard<std::mutex> lk(sessionMutex);
        queued = queueFrame520(send);
    }
    if (queued) printFps(viewId);
    return 0;
}
