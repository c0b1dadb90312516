// Model-520 bring-up, the version and capability queries, power status, and the heartbeat with
// its service of the control block. The concurrency rules are at the top of
// VelDisplay520ClassDriver.h; the control-block record is shared with client processes without
// a lock (one writer per field and direction, see devmgr/controlBlock.h).
#include <cstring>
#include <system_error>
#include <thread>

#include "devmgr/DevManager.h"
#include "devmgr/controlBlock.h"
#include "display/VelDisplay520ClassDriver.h"
#include "display/vel520Internal.h"
#include "service/debug.h"
#include "service/threads.h"
#include "session/VelDev.h"

using namespace vel520;

namespace {

// Largest FPS report interval taken from a client: its milliseconds still fit an int.
constexpr int32_t kMaxFpsInterval = 2147483;

// Copies a version text of at most `cap` bytes and keeps it terminated.
void copyText(unsigned char* text, size_t cap, const uint8_t* src, uint32_t len,
              unsigned int* length) {
    size_t n = len < cap ? len : cap;
    memcpy(text, src, n);
    if (n == cap)
        text[cap - 1] = 0;
    else
        text[n] = 0;
    if (length) *length = static_cast<unsigned int>(n);
}

}  // namespace

void VelDisplay520Class::initValue() {
    if (g_dev && m_session.expired()) {
        auto dev = g_dev->findDev(deviceIndex);
        if (dev && dev.get() == m_dev) m_session = dev;
    }
    fwVersionInBoard = static_cast<char*>(calloc(kVersionTextSize, 1));
    if (!fwVersionInBoard) {
        vel_Print("[error] Failed to allocate memory for fwVersionInBoard\n");
        return;
    }
    pBL1Ver = static_cast<char*>(calloc(kVersionTextSize, 1));
    if (!pBL1Ver) {
        vel_Print("[error] Failed to allocate memory for pBL1Ver\n");
        free(fwVersionInBoard);
        fwVersionInBoard = nullptr;
        return;
    }
    if (const ControlBlockFile cb = controlBlockService(); cb.valid()) {
        cb.put(deviceIndex, &VEL_SHM_RECORD::fwLogRequest, 0);
        cb.put(deviceIndex, &VEL_SHM_RECORD::fwLogDone, 0);
        cb.put(deviceIndex, &VEL_SHM_RECORD::versionValid, 0);
        cb.put(deviceIndex, &VEL_SHM_RECORD::fwLogTotal, 0);
        cb.put(deviceIndex, &VEL_SHM_RECORD::fwLogReceived, 0);
    }
}

void VelDisplay520Class::bindSession(const std::weak_ptr<VelDev>& dev) { m_session = dev; }

std::shared_ptr<VelDev> VelDisplay520Class::session() const { return m_session.lock(); }

void* VelDisplay520Class::initCmds() {
    vel::threadInit("initCmds");
    sessionTag = 0;
    {
        auto dev = session();
        if (!dev) return nullptr;
        dev->imageEndpoint = 1;
        dev->imageEndpoint520 = 2;
    }
    prepareResponses();
    init();
    // The receive path drops every monitor report until the adapter has acknowledged power-on,
    // so a power-on lost to one failed transfer (or refused once) would leave the adapter up
    // but blind to its monitors for good: it is sent again, a bounded number of times.
    for (int attempt = 1; attempt <= kPowerOnAttempts; ++attempt) {
        if (setPowerStatus(1) == 1) break;  // the class is going away
        auto dev = session();
        if (!dev || dev->powerOnFinished) break;
        if (attempt < kPowerOnAttempts) {
            vel_Printf("[warning] power-on not acknowledged, attempt %d of %d\n", attempt,
                       kPowerOnAttempts);
        } else {
            vel_Print("[error] power-on never acknowledged: monitor reports are ignored\n");
        }
    }

    unsigned int len = 0;
    int rc =
        getFWVersion(VERSION_FIRMWARE, reinterpret_cast<unsigned char*>(fwVersionInBoard), &len);
    if (rc == 0) rc = getFWVersion(VERSION_BL1, reinterpret_cast<unsigned char*>(pBL1Ver), &len);
    if (rc != 0) vel_Print("Get FW Version failed\n");
    vel_Printf("FW Version: %s, BL1 Version: %s\n", fwVersionInBoard ? fwVersionInBoard : "",
               pBL1Ver ? pBL1Ver : "");

    if (const ControlBlockFile cb = controlBlockService(); cb.valid()) {
        cb.putText(deviceIndex, &VEL_SHM_RECORD::fwVersion,
                   fwVersionInBoard ? fwVersionInBoard : "");
        cb.put(deviceIndex, &VEL_SHM_RECORD::versionValid, 1);
    }

    firmWareVersionCheck(deviceIndex);
    // Three views: the manager set that at the open, before this thread started. Written only
    // when it is not so, since other session threads read it without a lock.
    if (auto dev = session(); dev && dev->viewCount != 3) dev->viewCount = 3;
    zeroFrameIndex();
    controlHeartbeat(HEARTBEAT_OPEN);

    try {
        std::shared_ptr<VelDisplay520Class> self = shared_from_this();
        std::thread([self, t = ClassThreadTicket()]() mutable {
            self->sendHeartBeat(nullptr);
            self.reset();
        }).detach();
    } catch (const std::exception&) {
        // bad_weak_ptr (not owned) or system_error (no thread).
        vel_Print("Init Cmd Thread creation failed!\n");
    }

    unsigned int capsLen = 0;
    getDeviceCaps(capsBuffer, &capsLen);
    capsLength = capsLen;
    if (auto dev = session()) dev->initDone = true;
    return nullptr;
}

int VelDisplay520Class::setPowerStatus(int status) {
    vel_Print("+ VelDisplayClass::setPowerStatus +\n");
    ExchangeLock lock(commandLock);
    unsigned char payload = static_cast<unsigned char>(status);
    armResponse(SEM_CONTROL, 0);
    int rc = sendCommand(0, 0, 0, CLASS_CONTROL, CTRL_POWER, 1, &payload, 1);
    if (rc != 0) {
        disarmResponse(SEM_CONTROL, 0);
        lock.release();
        if (rc != 1) vel_Printf("- VelDisplayClass::setPowerStatus Error Ret=%d -\n", rc);
        return rc;
    }
    Response r;
    if (waitResponse(SEM_CONTROL, 0, &r) != 0) return 1;
    if (!r.errorFlag) {
        if (auto dev = session()) dev->powerOnFinished = true;
    }
    lock.release();
    vel_Printf("- VelDisplayClass::setPowerStatus Ret=%d -\n", 0);
    return 0;
}

int VelDisplay520Class::getFWVersion(unsigned char type, unsigned char* text,
                                     unsigned int* length) {
    vel_Printf("+ VelDisplay520Class::getFWVersion Type: %d +\n", type);
    ExchangeLock lock(commandLock);
    unsigned char payload = type;
    armResponse(SEM_QUERY, 0);
    int rc = sendCommand(0, 0, 0, CLASS_QUERY, QUERY_FW_VERSION, 1, &payload, 1);
    if (rc != 0) {
        disarmResponse(SEM_QUERY, 0);
        lock.release();
        if (rc != 1) vel_Printf("- VelDisplay520Class::getFWVersion Type Error Ret=%d -\n", rc);
        return rc;
    }
    Response r;
    if (waitResponse(SEM_QUERY, 0, &r) != 0) return 1;
    if (!r.errorFlag) {
        if (r.dataClass == CLASS_QUERY && r.dataType == QUERY_FW_VERSION) {
            size_t cap = type == VERSION_LAYOUT ? kLayoutTextSize : kVersionTextSize;
            if (text) copyText(text, cap, r.payload, r.payloadLength, length);
        } else {
            vel_Printf(
                "[error]- tpye mismatch,VelDisplay520Class::%s DataClass or DataType is "
                "not correct -\n",
                "getFWVersion");
        }
    }
    lock.release();
    vel_Printf("- VelDisplay520Class::getFWVersion Ret=%d -\n", 0);
    return 0;
}

int VelDisplay520Class::getDeviceCaps(unsigned char* caps, unsigned int* length) {
    vel_Printf("+ VelDisplay520Class::%s +\n", "getDeviceCaps");
    ExchangeLock lock(commandLock);
    armResponse(SEM_QUERY, 0);
    int rc = sendCommand(0, 0, 0, CLASS_QUERY, QUERY_CAPS, 1, nullptr, 0);
    if (rc != 0) {
        disarmResponse(SEM_QUERY, 0);
        lock.release();
        if (rc != 1)
            vel_Printf("- VelDisplay520Class::%s SendCommand Error Ret=%d -\n", "getDeviceCaps",
                       rc);
        return rc;
    }
    Response r;
    if (waitResponse(SEM_QUERY, 0, &r) != 0) return 1;
    if (!r.errorFlag && r.dataClass == CLASS_QUERY && r.dataType == QUERY_CAPS) {
        // The destination is capsBuffer-sized; a longer block is cut to it.
        uint32_t n = r.payloadLength < kCapsBufferSize ? r.payloadLength : kCapsBufferSize;
        if (caps) memcpy(caps, r.payload, n);
        if (length) *length = n;
        lock.release();
        vel_Printf("- VelDisplay520Class::%s Ret=%d -\n", "getDeviceCaps", 0);
        if (r.payloadLength != kCapsBlockSize)
            vel_Printf("[error]- Query %s: status:%d, CapsLen:%d, -\n", "getDeviceCaps", 0,
                       static_cast<int>(r.payloadLength));
        return 0;
    }
    if (!r.errorFlag) {
        vel_Printf(
            "[error]- TYPE not match VelDisplay520Class::%s Ret=%d  DataClass:%d, "
            "DataType:%d-\n",
            "getDeviceCaps", 39, r.dataClass, r.dataType);
    }
    lock.release();
    vel_Printf("- VelDisplay520Class::%s Ret=%d -\n", "getDeviceCaps", 39);
    vel_Printf("[error]- Query %s: status:%d, CapsLen:%d, -\n", "getDeviceCaps", 39,
               length ? static_cast<int>(*length) : 0);
    return 39;
}

int VelDisplay520Class::controlHeartbeat(unsigned char status) {
    const bool beat = status == HEARTBEAT_BEAT;
    if (!beat)
        vel_Printf("+ VelDisplay520Class::controlHeartbeat devId=%d, status=%d +\n", deviceIndex,
                   status);
    ExchangeLock lock(commandLock);
    unsigned char payload = status;
    if (!beat) armResponse(SEM_CONTROL, 0);
    int rc = sendCommand(0, 0, 0, CLASS_CONTROL, CTRL_HEARTBEAT, beat ? 0 : 1, &payload, 1);
    if (rc != 0) {
        if (!beat) disarmResponse(SEM_CONTROL, 0);
        lock.release();
        if (rc != 1 && !beat)
            vel_Printf("- VelDisplay520Class::controlHeartbeat Error Ret=%d -\n", rc);
        return rc;
    }
    if (beat) {
        lastHeartbeatStatus = HEARTBEAT_BEAT;
        return 0;
    }
    Response r;
    if (waitResponse(SEM_CONTROL, 0, &r) != 0) return 1;
    int result =
        (!r.errorFlag && r.dataClass == CLASS_CONTROL && r.dataType == CTRL_HEARTBEAT) ? 0 : 115;
    lock.release();
    vel_Printf("- VelDisplay520Class::controlHeartbeat Ret=%d -\n", result);
    if (result != 0) return result;
    lastHeartbeatStatus = status;
    return 0;
}

int VelDisplay520Class::zeroFrameIndex() {
    vel_Print("+ VelDisplay520Class::zeroFrameIndex +\n");
    ExchangeLock lock(commandLock);
    int rc = sendCommand(0, 0, 0, CLASS_CONTROL, CTRL_ZERO_FRAME_INDEX, 0, nullptr, 0);
    lock.release();
    if (rc != 1) vel_Printf("- VelDisplay520Class::zeroFrameIndex Ret=%d -\n", rc);
    return rc;
}

// Acts on the client's requests in this class's control-block record: the firmware log, the
// FPS printing and the power mode. Every byte of the record is the client's (any local user's)
// word: only the defined values are acted on and the interval is held to its bounds. Heartbeat
// thread, once per beat.
VelDisplay520Class::ClientRequests VelDisplay520Class::takeClientRequests(
    const std::shared_ptr<VelDev>& dev) {
    if (!dev) return ClientRequests::Done;
    // The record is read once, through the descriptor (see controlBlock.h); a record the object
    // no longer holds reads as no request.
    VEL_SHM_RECORD rec;
    if (!controlBlockServiceRead(deviceIndex, &rec)) return ClientRequests::Done;
    const ControlBlockFile cb = controlBlockService();
    if (rec.fwLogRequest) {
        vel_Print("close heartbeat\n");
        controlHeartbeat(HEARTBEAT_CLOSE);
        ExchangeLock lock(commandLock);
        armResponse(SEM_QUERY, 0);
        int src = sendCommand(0, 0, 0, CLASS_QUERY, QUERY_FW_LOG, 0, nullptr, 0);
        if (src != 0) {
            disarmResponse(SEM_QUERY, 0);
            vel_Printf("[error] CUSB520Adapter::SendHeartBeatThread sendCommand failed, Ret=%d\n",
                       src);
            lock.release();
            return ClientRequests::EndQuietly;
        }
        // The first log block answers the request; the blocks themselves go to the firmware-log
        // handling on the receive thread.
        if (waitResponse(SEM_QUERY, 0, nullptr) != 0) return ClientRequests::End;
        cb.put(deviceIndex, &VEL_SHM_RECORD::fwLogRequest, 0);
    }
    if (rec.fpsPrintEnabled) {
        int32_t interval = rec.fpsInterval;
        if (interval < 0) interval = 0;
        if (interval > kMaxFpsInterval) interval = kMaxFpsInterval;
        dev->fpsValue = interval;
        dev->fpsEnabled = true;
        if (rec.showFpsRequest) {
            dev->fpsPending = true;
            cb.put(deviceIndex, &VEL_SHM_RECORD::showFpsRequest, 0);
        }
    } else {
        dev->fpsEnabled = false;
        dev->fpsValue = 0;
    }
    uint8_t mode = rec.powerModeRequest;
    // Only the two defined modes; any other byte is not a request.
    if ((mode == DevManager::SMART || mode == DevManager::LIGHT) && mode != dev->powerMode) {
        dev->powerMode = mode;
        dev->lightMode = mode == DevManager::LIGHT ? 1 : 0;
        vel_Print(mode == DevManager::LIGHT ? "Switch to light mode\n" : "Switch to smart mode\n");
    }
    return ClientRequests::Done;
}

int VelDisplay520Class::sendHeartBeat(void*) {
    vel::threadInit("sendHeartBeat");
    vel_Print("+ CUSB520Adapter::SendHeartBeatThread Start +\n");
    for (;;) {
        if (displayClassExitFlag) break;
        int rc = controlHeartbeat(HEARTBEAT_BEAT);
        auto dev = session();
        if (rc != 0) {
            // A beat refused because the device is leaving or gone (1) ends the thread, not the
            // service.
            if (rc == 1 || exiting(dev)) break;
            vel_Print("[error] CUSB520Adapter::SendHeartBeatThread send heartbeat failed\n");
            vel520Abort(dev);
        }
        if (!dev) break;
        const ClientRequests taken = takeClientRequests(dev);
        if (taken == ClientRequests::EndQuietly) return 0;
        if (taken == ClientRequests::End) break;
        dev.reset();
        // One beat a second; the sleep is sliced so a clean-up is noticed promptly.
        for (int slice = 0; slice < 10 && !displayClassExitFlag; ++slice) vel::sleepMs(100);
        dev = session();
        if (!dev || !dev->connected) break;
    }
    vel_Print("- CUSB520Adapter::SendHeartBeatThread Quit -\n");
    return 0;
}
