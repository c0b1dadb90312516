// 50x-family bring-up and heartbeats: power state per view, the firmware check, the frame-index
// reset, heartbeat control (the extension, or the legacy command on older firmware), the bulk
// heartbeat thread and the capability read. The concurrency rules are at the top of
// VelDisplay508ClassDriver.h.
#include <cstring>
#include <ctime>
#include <string>
#include <system_error>
#include <thread>

#include "display/VelDisplay508ClassDriver.h"
#include "devmgr/DevManager.h"
#include "firmware/loadFW.h"
#include "pipeline/jpeg520.h"
#include "service/debug.h"
#include "service/paths.h"
#include "service/threads.h"
#include "session/VelDev.h"

using namespace vel508;

namespace {

constexpr int64_t kBulkIdleUs = 2000000;  // the adapter blanks after a while without bulk data
constexpr size_t kCapsBuffer = 253;
constexpr int kCapsLength = 205;

}  // namespace

int64_t vel508NowUs() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

bool vel508HeartbeatDue(int64_t nowUs, int64_t lastOutUs, int bulkStatus) {
    return bulkStatus == 1 && nowUs - lastOutUs >= kBulkIdleUs;
}

void VelDisplayClass508::powerStateAllViews(int on) {
    auto dev = session();
    if (!dev) return;
    const int views = dev->viewCount < VEL_MAX_VIEWS ? dev->viewCount : VEL_MAX_VIEWS;
    dev.reset();
    for (int v = 0; v < views; ++v) {
        _PARAMETER_ p = makeParam(VELPTC_POWER_STATE, v);
        p.bytes[5] = on ? 1 : 0;
        send_control_command(static_cast<unsigned>(deviceIndex), p);
    }
}

void do_pm_state(unsigned int deviceIndex, int on) {
    if (!g_dev || deviceIndex > 1) return;
    auto dev = g_dev->findDev(static_cast<int>(deviceIndex));
    if (!dev) return;
    auto dc = std::dynamic_pointer_cast<VelDisplayClass508>(dev->displayClass);
    dev.reset();
    if (dc) dc->powerStateAllViews(on);
}

// Bring-up; the device manager starts it on its own thread after the open. Stops early, with
// the commands-initialised flag clear, when the firmware images cannot be opened.
void* VelDisplayClass508::initCmds() {
    vel::threadInit("initCmds");
    powerStateAllViews(1);
    libusb_device_handle* handle = nullptr;
    {
        auto dev = session();
        if (exiting(dev)) return nullptr;
        handle = dev->usbHandle;
    }
    if (updateFwMain(handle) == 1) return nullptr;
    {
        auto dev = session();
        if (exiting(dev)) return nullptr;
        dev->cmdsInitialised = true;
    }
    resetFrameIndex();
    vel_Print("Open heartbeat! \n");
    controlHeartbeat(1);

    if (m_BulkOutHeartbeatStatus == 1) {
        std::shared_ptr<VelDisplayClass508> self = weak_from_this().lock();
        if (!self) return nullptr;
        try {
            std::thread([self, t = ClassThreadTicket()]() mutable {
                bulkHeartBeatfunc(std::move(self));
            }).detach();
        } catch (const std::system_error&) {
            vel_Print("Bulk HeartBeat thread creation failed!\n");
            return nullptr;
        }
    }

    const int rc = writeCommand(kCommandSize, kCommandSize, makeParam(VELPTC_READ_CAPS));
    if (rc != 0) vel_Printf("Write CAPS failed! err = %d\n", rc);
    // Nothing in the service reads the capability block; it is taken off the queue so it does
    // not linger there.
    unsigned char caps[kCapsBuffer] = {};
    int length = kCapsLength;
    if (readIntQ(VELPTC_READ_CAPS, caps, &length) != 0) vel_Print("Read CAPS failed! \n");
    return nullptr;
}

int VelDisplayClass508::controlHeartbeat(unsigned char status) {
    _PARAMETER_ p = makeParam(VELPTC_HEARTBEAT_CONTROL);
    p.bytes[5] = 0x03;
    p.bytes[6] = status;
    p.bytes[7] = status;
    int rc = writeCommand(kShortCommandSize, kShortCommandSize, p);
    if (rc != 0) vel_Printf("Write heart beat failed! ret = 0x%x\n", rc);
    VELPTC_CONTROL_RET reply;
    const int ret = readInterrupt(VELPTC_HEARTBEAT_CONTROL, &reply);
    if (ret != 0) {
        vel_Printf("Read control command feedback failed! ret = 0x%x!, datatype=[0x%x]\n", ret,
                   215);
        return ret;
    }
    if (reply.status == 0 && reply.type == VELPTC_HEARTBEAT_CONTROL && reply.detail[0] == 0) {
        const unsigned flags = reply.detail[1];
        if (flags & 0x01) m_InterruptInHeartbeatStatus = 1;
        if (flags & 0x02) m_BulkOutHeartbeatStatus = 1;
        vel_Printf("=control HeartBeat extension[%d] success %x =\n", status, flags);
        return 0;
    }
    if (reply.status == 1 && reply.type == 0xFF && reply.detail[0] == 0xFF) {
        // Older firmware: the legacy command, and no bulk heartbeats.
        p.bytes[4] = VELPTC_HEARTBEAT_LEGACY;
        p.bytes[5] = status;
        rc = writeCommand(kShortCommandSize, kShortCommandSize, p);
        if (rc != 0) vel_Printf("Write heart beat failed! ret = 0x%x\n", rc);
        vel_Printf("=control HeartBeat[%d] success =\n", status);
        m_BulkOutHeartbeatStatus = 0;
        return rc;
    }
    return 0;
}

void bulkHeartBeatfunc(std::shared_ptr<VelDisplayClass508> dc) {
    vel::threadInit("bulkHeartBeat");
    for (;;) {
        int64_t lastOut = 0;
        {
            auto dev = dc->session();
            if (dc->exiting(dev)) break;
            lastOut = dev->lastBulkOutUs;
        }
        if (vel508HeartbeatDue(vel508NowUs(), lastOut, m_BulkOutHeartbeatStatus)) {
            const int rc = dc->writeCommand(kShortCommandSize, kShortCommandSize,
                                            makeParam(VELPTC_BULK_HEARTBEAT));
            if (rc != 0) vel_Printf("Write heart beat failed! ret = 0x%x\n", rc);
        }
        vel::sleepMs(1000);
    }
    vel_Print("bulkHeartBeatfunc end\n");
    dc.reset();
}

int VelDisplayClass508::resetFrameIndex() {
    _PARAMETER_ p = makeParam(VELPTC_FRAME_INDEX_RESET);
    const int rc = writeCommand(kShortCommandSize, kFrameResetLengthField, p);
    if (rc != 0) vel_Printf("Write zero frameIndex failed! ret = %d\n", rc);
    return rc;
}

int VelDisplayClass508::zeroFrameIndex() { return resetFrameIndex() != 0 ? 1 : 0; }
