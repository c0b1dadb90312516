// Model-520 JPEG encoding: one short-lived thread per frame compresses the whole view into a new
// packet, lets the display class fill the packet's headers and queues it for the send thread.
//
// Ownership: the YUV planes of a record belong to yuv2Jpeg520 and are given back to the frame
// buffer pool on every path; the packet buffer (taken from the pool) belongs to the encoder until
// it is pushed, then to the send queue.
// Update tokens: yuv2Jpeg520 gives the view's token back as soon as the planes are its own (on
// every path, so a dropped frame cannot stall the view's updates); rgb2Jpeg520 gives it back once
// its frame holds the read lock of the area it compresses (VelDev::holdNewestArea), so the next
// grab runs while it compresses; a mode change or plug-out waits for that read lock, or retires
// the area, before the area goes (a failure before the token is back returns it through the
// caller's dropFrame520).
// Frame credits: a frame that holds one of its view's credits and ends here without a queued
// packet (no JPEG, a packet the display class could not frame or refused, overtaken) gives it
// back once, through giveFrameCredit520; a queued packet's credit comes back with the adapter's
// acknowledgement, or from the send thread when its transfer fails.
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
// False when the packet was dropped (and its buffer given back).
bool queuePacket(threadsafe_queue<_evdi_send>& queue, const _evdi_send& packet) {
    if (queue.isCancelled()) {
        velFrameBufferGive(packet.buffer);
        return false;
    }
    queue.push(packet);
    return true;
}

// The wire header's magic, the first bytes of every framed model-520 packet.
constexpr unsigned char kWireMagic[4] = {'V', 'E', 'L', 'C'};

// Called before the display class packages the packet: a pooled buffer may still start with an
// older packet's header, which must not pass for one written now.
void clearWireMagic(unsigned char* packet) { memset(packet, 0, sizeof kWireMagic); }

// Whether the display class framed the packet: a length that fits the buffer, and either success
// or a complete packet. The 520 class also reports a packet without a decoder header (a JPEG too
// short for the decoder's parse, which the adapter takes as it is) as a failure, after writing
// it whole; a refusal (no input node, a buffer too small) can come after the length was set but
// before the wire header was written, and that packet must not go out.
bool framed(int packageResult, const _evdi_send& send, size_t packetSize) {
    if (send.length <= 0 || static_cast<size_t>(send.length) > packetSize) return false;
    return packageResult == 0 || memcmp(send.buffer, kWireMagic, sizeof kWireMagic) == 0;
}
}  // namespace

// Frames of one view are encoded on threads of their own and may finish out of order; with its
// turn a packet waits for the frames before it (see processRect520.cpp), so in a stream none is
// overtaken. A packet older than the newest one already queued for its view all the same (a
// caller without a turn, a counter restarted by zeroFrameIndex) would make the monitor show an
// older picture last: it is dropped instead and its frame credit given back (the adapter never
// acknowledges a packet it did not get). Indexes are compared modulo 2^32, so a wrap is no
// reordering; a repeated index counts as overtaken. False when the packet was dropped.
bool VelDev::queueFrame520(const _evdi_send& packet, bool creditHeld, FrameTurn520* turn) {
    const int v = packet.view;
    if (!validView(v)) {
        velFrameBufferGive(packet.buffer);
        if (turn) turn->end();
        return false;
    }
    if (turn && !waitFrameTurn520(*turn)) {
        // The session is going: the frames before this one may never queue, and this one must
        // not go before them.
        velFrameBufferGive(packet.buffer);
        turn->end();
        if (creditHeld) giveFrameCredit520(v);
        return false;
    }
    bool queued = false;
    {
        std::lock_guard<std::mutex> lk(frameOrderMutex);
        const uint32_t index = static_cast<uint32_t>(packet.frameIndex);
        if (anyQueuedFrame520[v] && static_cast<int32_t>(index - lastQueuedFrame520[v]) <= 0) {
            vel_Printf("[warning] view %d: frame %u overtaken by frame %u, not sent\n", v, index,
                       lastQueuedFrame520[v]);
            ++framesOvertaken520[v];
            velFrameBufferGive(packet.buffer);
        } else if (queuePacket(sendQueue, packet)) {
            lastQueuedFrame520[v] = index;
            anyQueuedFrame520[v] = true;
            queued = true;
        }
    }
    if (turn) turn->end();
    if (!queued && creditHeld) giveFrameCredit520(v);
    return queued;
}

void VelDev::yuv2Jpeg520(_RECT_IN_ENCODE_Q record, int viewId, int sequence, bool creditHeld,
                         std::shared_ptr<FrameTurn520> turn) {
    if (yuv2Jpeg520Hook) yuv2Jpeg520Hook(record, viewId, sequence);
    if (!validView(viewId)) {
        velFrameBufferGive(record.rect.buffer);
        return;
    }
    if (!connected || exitFlag) {
        vel_Printf("(%s) this is null\n", "yuv2Jpeg520");
        velFrameBufferGive(record.rect.buffer);
        dropFrame520(viewId, creditHeld);
        return;
    }
    const size_t packetSize = velPacketSize520(record.rect.width, record.rect.height);
    auto* packet = packetSize ? velFrameBufferTake(packetSize) : nullptr;
    if (!packet || !viewActive[viewId]) {
        if (!packet) vel_Printf("[error] yuv2Jpeg520: no packet buffer of %zu bytes\n", packetSize);
        velFrameBufferGive(packet);
        velFrameBufferGive(record.rect.buffer);
        dropFrame520(viewId, creditHeld);
        return;
    }
    sem_post(&updateToken[viewId]);

    const unsigned long jpegSize = velEncodeYuv520(record.rect, record.quality, packet, packetSize);
    velFrameBufferGive(record.rect.buffer);
    record.rect.buffer = nullptr;
    record.rect.planes[0] = record.rect.planes[1] = record.rect.planes[2] = nullptr;
    if (jpegSize == 0) {
        velFrameBufferGive(packet);
        if (creditHeld) giveFrameCredit520(viewId);
        return;
    }

    _evdi_send send;
    send.view = viewId;
    send.length = 0;
    send.buffer = packet;
    send.pieceFlags = record.pieceFlags;
    send.frameIndex = record.frameIndex;
    const std::shared_ptr<VelDisplayClassBase> dc = displayClass;
    clearWireMagic(packet);
    const int packaged = dc ? dc->dataHeaderPackage(&record, &send, record.rect,
                                                    velJpegLength520(jpegSize, false), viewId)
                            : -1;
    if (!framed(packaged, send, packetSize)) {
        vel_Printf("[error] yuv2Jpeg520: packet of view %d not framed (length %d)\n", viewId,
                   send.length);
        velFrameBufferGive(packet);
        if (creditHeld) giveFrameCredit520(viewId);
        return;
    }
    if (queueFrame520(send, creditHeld, turn.get())) printFps(viewId);
}

int VelDev::rgb2Jpeg520(_alignmentRect* rect, int viewId, int sequence, bool creditHeld) {
    (void)rect;
    if (!connected || exitFlag) {
        vel_Printf("(%s) this is null\n", "rgb2Jpeg520");
        return -1;
    }
    if (!validView(viewId)) return -1;
    _VELRECT region;
    int32_t frameIndex = 0;
    std::shared_ptr<FrameTurn520> turn;
    std::shared_lock<PixelAreaLock> px;
    if (prepareWholeView520(viewId, VEL_JPEG520_QUALITY, &region, &frameIndex, &turn, &px) != 0)
        return -1;

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
    _RECT_IN_ENCODE_Q record;
    record.session = this;
    record.rect = region;
    record.formatCode = 0xE0;
    record.quality = VEL_JPEG520_QUALITY;
    record.split = 0;
    record.frameIndex = frameIndex;
    record.pieceFlags = 0x11;
    // The frame holds its area: the next grab goes into the other one (or waits for this read
    // when the view has one area) and runs while this frame compresses.
    sem_post(&updateToken[viewId]);
    if (yuv2Jpeg520Hook) yuv2Jpeg520Hook(record, viewId, sequence);
    const unsigned long jpegSize = velEncodeRgb520(region, VEL_JPEG520_QUALITY, packet, packetSize);
    px.unlock();
    if (jpegSize == 0) {
        velFrameBufferGive(packet);
        // The token is back already; the caller must not return it again.
        if (creditHeld) giveFrameCredit520(viewId);
        return 0;
    }
    // The light-mode length covers 32 bytes past the JPEG; the pooled buffer may hold an older
    // frame there, which must not go to the device.
    const size_t tail = static_cast<size_t>(velJpegLength520(jpegSize, true)) - jpegSize;
    if (VEL_PACKET520_JPEG_OFFSET + jpegSize + tail <= packetSize)
        memset(packet + VEL_PACKET520_JPEG_OFFSET + jpegSize, 0, tail);

    _evdi_send send;
    send.view = viewId;
    send.length = 0;
    send.buffer = packet;
    send.pieceFlags = 0x11;
    send.frameIndex = frameIndex;
    const std::shared_ptr<VelDisplayClassBase> dc = displayClass;
    clearWireMagic(packet);
    const int packaged =
        dc ? dc->dataHeaderPackage(&record, &send, region, velJpegLength520(jpegSize, true), viewId)
           : -1;
    if (!framed(packaged, send, packetSize)) {
        vel_Printf("[error] rgb2Jpeg520: packet of view %d not framed (length %d)\n", viewId,
                   send.length);
        velFrameBufferGive(packet);
        // The token is back already; the caller must not return it again.
        if (creditHeld) giveFrameCredit520(viewId);
        return 0;
    }
    // The conversion thread counted this frame for the frame-rate report when it started it.
    // The turn is waited for before the session mutex is taken: the frame before this one
    // takes that mutex to queue its own packet.
    if (turn && !waitFrameTurn520(*turn)) {
        velFrameBufferGive(packet);
        turn->end();
        if (creditHeld) giveFrameCredit520(viewId);
        return 0;
    }
    std::lock_guard<std::mutex> lk(sessionMutex);
    queueFrame520(send, creditHeld, turn.get());
    return 0;
}
