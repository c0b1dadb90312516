// 50x-family display operations: mode set and topology, monitor power and DPMS with the
// heartbeat rule, power state, frame-index flow control, the image packet header, view reset and
// layer. The concurrency rules of the class are at the top of VelDisplay508ClassDriver.h; the
// frame index is handed out under g_Lock508, the last finished index is written by the receive
// thread alone, and the session's frame credits are returned only through
// VelDev::giveFrameCredit508.
#include <semaphore.h>

#include <cstring>
#include <new>

#include "devmgr/DevManager.h"
#include "display/VelDisplay508ClassDriver.h"
#include "jpu/OrfeJpegHeaderDec.h"
#include "service/debug.h"
#include "session/VelDev.h"

using namespace vel508;

namespace {

// The parameter block holds one 10-byte mode record per view from byte 5: two fit in its 27
// bytes, the family's view count.
constexpr int kModeRecords = 2;
constexpr int kModeRecordOffset = 5;
constexpr int kModeRecordSize = 10;
constexpr uint8_t kDisabledView = 255;
constexpr int kMaxWidth = 3840, kMaxHeight = 2160;
constexpr long kHalfRatePixels = 6144000;  // classes 1 and 2 run at 30 Hz from this size on
constexpr uint8_t kModeBpp = 32;

// Image packet header.
constexpr size_t kImageHeaderSize = 48;
constexpr uint32_t kDecoderHeaderRoom = 20480;
constexpr uint32_t kImageOverhead = kImageHeaderSize + kDecoderHeaderRoom;  // 20528
constexpr uint8_t kImageClass = 2;

int modeViews(const VelDev& dev) {
    const int n = dev.viewCount < kModeRecords ? dev.viewCount : kModeRecords;
    return n > 0 ? n : 0;
}

}  // namespace

uint8_t vel508TimingClass(int width, int height, int refresh, int* refreshOut) {
    *refreshOut = refresh;
    if (width == 1920 && height == 1080) return 0;
    const uint8_t cls = (width >= 2560 && height >= 1440) ? 1 : 2;
    if (static_cast<long>(width) * height >= kHalfRatePixels) *refreshOut = 30;
    return cls;
}

// Builds and sends the mode block (see setMode); with `topoOnly` nothing else is sent and no
// view is disabled for its size. EVDI event thread or plug-out; blocks for the exchanges.
int VelDisplayClass508::sendModeBlock(int view, bool topoOnly) {
    auto dev = session();
    if (!dev) return 0;
    monitorControl(0);
    _PARAMETER_ p = makeParam(VELPTC_SET_MODE, view);
    struct Sent {
        bool enabled = false;
        int width = 0, height = 0;
    } sent[kModeRecords];
    const int views = modeViews(*dev);
    for (int i = 0; i < views; ++i) {
        const int width = dev->evdiBuffer[i].width, height = dev->evdiBuffer[i].height;
        int refresh = dev->refreshRate[i];
        const uint8_t cls = vel508TimingClass(width, height, refresh, &refresh);
        uint8_t viewId = static_cast<uint8_t>(dev->viewTable[i].first);
        uint8_t target = static_cast<uint8_t>(dev->viewTable[i].second);
        if (!topoOnly && (width > kMaxWidth || height > kMaxHeight)) {
            viewId = kDisabledView;
            target = 0;
        }
        dev->timingClass508[i] = cls;
        dev->rememberedRect[i][0] = _alignmentRect{dev.get(), 0, 0, width, height};
        dev->rememberedRect[i][1] = _alignmentRect{dev.get(), 0, 0, width, height};
        uint8_t* rec = p.bytes + kModeRecordOffset + kModeRecordSize * i;
        rec[0] = viewId;
        rec[1] = target;
        rec[2] = cls;
        putLe16(rec + 3, static_cast<uint32_t>(width));
        putLe16(rec + 5, static_cast<uint32_t>(height));
        rec[7] = kModeBpp;
        putLe16(rec + 8, static_cast<uint32_t>(refresh));
        vel_Printf(topoOnly ? "====>SetModeTopoOnly:View_ID=%d, targetID=%d; Width=%d; Hight=%d; "
                              "RefreshRate=%d \n"
                            : "====>SetMode:View_ID=%d, targetID=%d; Width=%d; Hight=%d; "
                              "RefreshRate=%d\n",
                   viewId, target, width, height, refresh);
        sent[i] = Sent{viewId != kDisabledView, width, height};
    }
    dev.reset();
    send_control_command(static_cast<unsigned>(deviceIndex), p);
    if (!topoOnly) {
        for (int i = 0; i < views; ++i) {
            if (!sent[i].enabled) continue;
            send_control_command(static_cast<unsigned>(deviceIndex),
                                 makeParam(VELPTC_POST_MODE_3F, i));
            send_control_command(static_cast<unsigned>(deviceIndex),
                                 makeParam(VELPTC_POST_MODE_41, i));
            _PARAMETER_ size = makeParam(VELPTC_VIEW_SIZE, i);
            size.bytes[5] = 0x01;
            putLe16(size.bytes + 6, static_cast<uint32_t>(sent[i].width));
            putLe16(size.bytes + 8, static_cast<uint32_t>(sent[i].height));
            send_control_command(static_cast<unsigned>(deviceIndex), size);
        }
    }
    monitorControl(1);
    return 0;
}

int VelDisplayClass508::setMode(int view) { return sendModeBlock(view, false); }

int VelDisplayClass508::setDisplayClassTopo(int source) { return sendModeBlock(source, true); }

int VelDisplayClass508::monitorControl(int on) {
    auto dev = session();
    if (!dev) return 0;
    struct Target {
        int view;
        uint8_t target;
    } targets[VEL_MAX_VIEWS];
    int n = 0;
    const int views = dev->viewCount < VEL_MAX_VIEWS ? dev->viewCount : VEL_MAX_VIEWS;
    for (int i = 0; i < views; ++i) {
        if (dev->viewTable[i].first == -1) continue;
        // A view the desktop switched off stays dark when the monitors come back on.
        if (on && dev->displayOff[i]) continue;
        targets[n++] = Target{dev->viewTable[i].first, static_cast<uint8_t>(dev->viewTable[i].second)};
    }
    dev.reset();
    for (int k = 0; k < n; ++k) {
        _PARAMETER_ p = makeParam(VELPTC_DPMS, targets[k].view);
        p.bytes[5] = targets[k].target;
        p.bytes[6] = on ? 0 : 1;
        send_control_command(static_cast<unsigned>(deviceIndex), p);
    }
    return 0;
}

int VelDisplayClass508::doDpmsState(int view, int dpmsMode) {
    auto dev = session();
    if (!dev || view < 0 || view >= VEL_MAX_VIEWS || !dev->displayOffSemInit) return -1;
    bool heartbeatOn = true;
    if (dpmsMode == 0) {
        vel_Printf("devId[%d] buf_id[%d] DPMS on, open heartbeat\n", dev->devKey.load(), view);
        if (dev->displayOff[view]) sem_post(&dev->displayOffSemaphore);
        dev->displayOff[view] = 0;
    } else if (dpmsMode >= 1 && dpmsMode <= 3) {
        vel_Printf("devId[%d] buf_id[%d] DPMS off, close heartbeat\n", dev->devKey.load(), view);
        if (!dev->displayOff[view]) sem_trywait(&dev->displayOffSemaphore);
        dev->displayOff[view] = 1;
        heartbeatOn = false;
    }
    int viewsOn = 0;
    sem_getvalue(&dev->displayOffSemaphore, &viewsOn);
    _PARAMETER_ p = makeParam(VELPTC_DPMS, view);
    p.bytes[5] = static_cast<uint8_t>(dev->viewTable[view].second);
    p.bytes[6] = static_cast<uint8_t>(dev->displayOff[view]);
    dev.reset();
    send_control_command(static_cast<unsigned>(deviceIndex), p);
    // The adapter's heartbeat goes off only with the last view that was on.
    if (heartbeatOn)
        controlHeartbeat(1);
    else if (viewsOn == 0)
        controlHeartbeat(0);
    return 0;
}

int VelDisplayClass508::setPowerStatus(int on) {
    powerStateAllViews(on);
    return 0;
}

int VelDisplayClass508::optDoPmState(int on) {
    auto dev = session();
    if (!dev) return -1;
    const int views = dev->viewCount < VEL_MAX_VIEWS ? dev->viewCount : VEL_MAX_VIEWS;
    dev.reset();
    int ret = 0;
    for (int v = 0; v < views; ++v) {
        _PARAMETER_ p = makeParam(VELPTC_POWER_STATE, v);
        p.bytes[5] = on ? 1 : 0;
        ret = optSendCommand(static_cast<unsigned>(deviceIndex), p);
        if (ret != 0) vel_Print("+++optSendCommand error+++\n");
    }
    return ret;
}

uint32_t VelDisplayClass508::updateFrameIndex(unsigned short /*view*/) {
    auto dev = session();
    if (!dev) return 0;
    CthreadLock lk(g_Lock508);
    return ++dev->frameIndex508Next;
}

// Frame-index event (0xE9) of the receive thread; `data` is packet byte 17 onwards (at least
// seven bytes). Credits come back for every frame finished since the last report; a report
// that goes back takes them away again, so the in-flight bound follows the adapter's count.
int VelDisplayClass508::checkFrameIndex(unsigned char* data) {
    auto dev = session();
    if (!dev || !data) return -1;
    if (data[0] == 2) {
        vel_Print("For hardware decoder!\n");
        return 0;
    }
    const uint32_t F = getLe32(data + 3);
    const uint32_t L = dev->frameIndex508Reported;
    dev->frameIndex508Reported = F;
    const uint32_t D = F - L;
    // Each loop below is bounded by the credits there can be: a give past three and a take
    // from none change nothing, so a wild report cannot spin here.
    constexpr uint32_t kMaxCredits = 3;
    auto give = [&dev](uint32_t n) { dev->giveAcknowledgedCredits508(n); };
    auto takeBack = [&dev](uint32_t n) {
        for (uint32_t i = 0; i < n && i <= kMaxCredits; ++i)
            if (sem_trywait(&dev->frameCreditSemaphore) != 0) return false;
        return true;
    };
    if (F < L && L - F >= 0xFFFFFFF7u) {
        vel_Printf("TOO BIG Frame turn to small(last[%d]->finish[%d]). add index lock~~~\n",
                   static_cast<int>(L), static_cast<int>(F));
        give(F - L - 2);
    } else if (D <= 0xFFFFFFF6u && F > L) {
        give(D);
    } else if (D >= 0xFFFFFFF7u && F > L) {
        vel_Printf("Error! Frame Index ZERO accident![-%d]diff!(last[%d]->finish[%d])\n",
                   static_cast<int>(L - F - 2), static_cast<int>(L), static_cast<int>(F));
        takeBack(L - F - 2);
    } else if (!takeBack(L - F)) {
        CthreadLock lk(g_Lock508);
        dev->frameIndex508Reported = dev->frameIndex508Next - 3;
    }
    return 0;
}

int VelDisplayClass508::dataHeaderPackage(const void* frameRecord, void* packet, _VELRECT rect,
                                          int jpegSize, int sourceIndex) {
    if (!frameRecord || !packet || jpegSize <= 0) return -1;
    const auto* record = static_cast<const _RECT_IN_ENCODE_Q*>(frameRecord);
    auto* send = static_cast<_evdi_send*>(packet);
    if (!send->buffer) return -1;
    unsigned char* buf = send->buffer;
    const uint32_t jpegLength = static_cast<uint32_t>(jpegSize);
    unsigned char* jpeg = buf + kImageHeaderSize;
    // The decoder header goes into the room after the JPEG that every 50x packet buffer has.
    memset(jpeg + jpegLength, 0, kDecoderHeaderRoom);
    COrfeJpegHeaderDec dec;
    const int h = static_cast<int>(dec.GetJpegHeaderForCnMDecoder(
        jpeg, jpegLength, jpeg + jpegLength, kDecoderHeaderRoom, CNM508_PROTOCOL));
    if (h <= 0) {
        vel_Print("Software decoder for Jpeg data error !\n");
        // A partial parse must not reach the adapter as if it were the JPEG's header.
        memset(jpeg + jpegLength, 0, kDecoderHeaderRoom);
    }

    uint32_t total = jpegLength + kImageOverhead;
    // A transfer that is a whole number of 512-byte packets would need a zero-length packet to
    // end; the adapter takes one byte more instead. That byte is zero: packet buffers are
    // recycled, and whatever an earlier frame left there would otherwise go out with this one.
    if (total % 512 == 0) buf[total++] = 0;
    memcpy(buf, kMagic, kMagicSize);
    putLe32(buf + kLengthOffset, total);
    buf[16] = kImageClass;
    buf[17] = 0;
    buf[18] = 0;
    buf[19] = (sourceIndex & 1) ? 0xB0 : 0xA0;
    buf[20] = 0x04;
    buf[21] = 0x01;
    putLe32(buf + 22, static_cast<uint32_t>(record->frameIndex));
    buf[26] = static_cast<uint8_t>(record->formatCode);
    putLe16(buf + 27, static_cast<uint32_t>(rect.x));
    putLe16(buf + 29, static_cast<uint32_t>(rect.y));
    putLe16(buf + 31, static_cast<uint32_t>(rect.width));
    putLe16(buf + 33, static_cast<uint32_t>(rect.height));
    buf[35] = 0;
    putLe16(buf + 36, static_cast<uint32_t>(rect.stride));
    putLe32(buf + 38, jpegLength);
    buf[42] = record->pieceFlags;
    send->length = static_cast<int32_t>(total);
    send->pieceFlags = record->pieceFlags;
    return h > 0 ? 0 : 2;
}

int VelDisplayClass508::resetDevice(int view) {
    vel_Printf("Device_reset view_id =[%d]\n", view);
    const int rc = writeCommand(kCommandSize, kCommandSize, makeParam(VELPTC_RESET_VIEW, view));
    if (rc != 0) {
        vel_Printf("Control overlay for graphic off failed err=%d\n", rc);
        return 1;
    }
    return 0;
}

int setLayer(unsigned int deviceIndex, int enable, uint16_t a, uint16_t b, uint16_t c,
             uint16_t d) {
    if (!g_dev || deviceIndex > 1) return -1;
    auto dev = g_dev->findDev(static_cast<int>(deviceIndex));
    if (!dev) return -1;
    auto dc = std::dynamic_pointer_cast<VelDisplayClass508>(dev->displayClass);
    dev.reset();
    if (!dc) return -1;
    _PARAMETER_ p = makeParam(VELPTC_LAYER);
    if (enable) p.bytes[3] |= 0x10;
    putLe16(p.bytes + 9, a);
    putLe16(p.bytes + 11, b);
    putLe16(p.bytes + 17, c);
    putLe16(p.bytes + 19, d);
    dc->send_control_command(deviceIndex, p);
    return 0;
}
