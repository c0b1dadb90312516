// The send thread: writes encoded packets from the session's send queue to the adapter, one bulk
// transfer per packet in queue order; and the model-520 frame-rate report.
//
// The consecutive-failure counter and the frame-rate statistics are process-wide: every
// session's send thread and encoder threads update them.
#include <fcntl.h>
#include <libusb.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "devmgr/DevManager.h"
#include "devmgr/controlBlock.h"
#include "display/VelDisplay508ClassDriver.h"
#include "display/VelDisplayClassDriverBase.h"
#include "pipeline/jpeg520.h"
#include "service/debug.h"
#include "service/paths.h"
#include "service/threads.h"
#include "session/VelDev.h"

void VelDev::velSendImgThread() {
    vel::threadInit("velSendImg");
    while (!exitFlag) {
        auto packet = sendQueue.timedpop(std::chrono::milliseconds(1000));
        if (!packet) continue;
        usb_bulk_transfer(*packet, packet->view);
        while (auto next = sendQueue.trypop()) usb_bulk_transfer(*next, next->view);
    }
    // Packets still queued own their buffers.
    while (auto left = sendQueue.trypop()) free(left->buffer);
    sendQueue.clear();
    vel_Print("velSendImg thread exit\n");
}

void VelDev::usb_bulk_transfer(_evdi_send packet, int viewId) {
    // The clean-up closes the handle only while this lock is free (VelDev::closeUsbHandle).
    std::unique_lock<std::mutex> handleLock(usbTransferMutex);
    if (viewId < 0 || viewId >= VEL_MAX_VIEWS || !viewActive[viewId] || !packet.buffer ||
        packet.length <= 0 || !usbHandle) {
        handleLock.unlock();
        free(packet.buffer);
        return;
    }
    const unsigned char endpoint =
        static_cast<unsigned char>(model == 0x520 ? imageEndpoint520 : imageEndpoint);
    int transferred = 0;
    const int rc = libusb_bulk_transfer(usbHandle, endpoint, packet.buffer, packet.length,
                                        &transferred, VEL_BULK_TIMEOUT_MS);
    handleLock.unlock();
    if (rc != 0) {
        // Lower halves of split 50x frames are neither counted nor credited: their upper half
        // accounts for the frame. A packet that never arrives is never acknowledged: its credit
        // comes back here, as the acknowledgement would have given it (model 520: the view's,
        // bounded to four; the 50x family: the session's).
        if (packet.pieceFlags & 0x01) {
            if (model == 0x520)
                giveFrameCredit520(viewId);
            else
                giveSentFrameCredit508();
            vel_Printf("******Dev[%d] Send graghic data failed err=%d\n", devKey.load(), rc);
            if (++g_bulkFailCount > VEL_BULK_FAIL_LIMIT) {
                free(packet.buffer);
                if (owner) owner->usb_abort(usbDevice);
                if (g_dev) g_dev->usb_abort(usbDevice);
                // A session without a manager still ends the process the same way.
                vel_Print("usb_abort!\n");
                vel::sleepMs(1000);
                _exit(1);
            }
        }
    } else {
        g_bulkFailCount = 0;
    }
    // Only a transfer that went out keeps the adapter's display alive in place of a heartbeat.
    if (rc == 0 && m_BulkOutHeartbeatStatus == 1) lastBulkOutUs = vel508NowUs();
    // Packets go back to the frame buffer pool for the next frame's encoder.
    velFrameBufferGive(packet.buffer);
}

namespace {
// Writes one view's figures into record 0 of the control block; false when it cannot be opened.
// The new-sample flag is stored after the figures so a client that sees it reads them whole.
bool publishFps(int view, int target, int counter, int64_t elapsed, double fps) {
    const std::string name = vel::shmName();
    const int fd = shm_open(name.c_str(), O_RDWR, 0666);
    if (fd < 0) return false;
    // Written through the descriptor, not a mapping: another user may cut the block short at any
    // moment, and the writes to a short block are dropped (see devmgr/controlBlock.h).
    const ControlBlockFile cb(fd);
    cb.putAt(0, &VEL_SHM_RECORD::viewIndex, view, view);
    cb.putAt(0, &VEL_SHM_RECORD::targetId, view, target);
    cb.putAt(0, &VEL_SHM_RECORD::pictures, view, counter);
    cb.putAt(0, &VEL_SHM_RECORD::intervalMs, view, static_cast<uint32_t>(elapsed));
    cb.putAt(0, &VEL_SHM_RECORD::fps, view, fps);
    cb.putAt(0, &VEL_SHM_RECORD::newFpsSample, view, 1);
    close(fd);
    return true;
}
// One interval's report of the view: the log line, the figures for a waiting client, and the
// restart of the count (kept when the figures could not be shown, so the next frame retries).
void reportFps(VelDev& dev, int viewId, int counter, int64_t now, int64_t elapsed) {
    const std::shared_ptr<VelDisplayClassBase> dc = dev.displayClass;
    const int target = dc ? dc->findTargetIdBySourceId(viewId) : 0;
    const double fps = counter * 1000.0 / static_cast<double>(elapsed);
    std::string name = dev.powerMode == DevManager::LIGHT ? "light" : "smart";
    if (dev.owner) {
        auto it = dev.owner->powerModeNames.find(
            static_cast<DevManager::PowerMode>(dev.powerMode.load()));
        if (it != dev.owner->powerModeNames.end()) name = it->second;
    }
    vel_Printf("view[%d](%#x){%s}: %d pictures in %lld ms, fps:%.1f\n", viewId, target,
               name.c_str(), counter, static_cast<long long>(elapsed), fps);
    if (dev.fpsPending && !publishFps(viewId, target, counter, elapsed, fps)) {
        printf("can not show fps on terminal\n");
        fflush(stdout);
        return;
    }
    g_fpsStats.counter[viewId] -= counter;  // frames counted meanwhile stay counted
    g_fpsStats.startMs[viewId] = now;
}

}  // namespace

void VelDev::printFps(int viewId) {
    static std::once_flag firstCall;
    std::call_once(firstCall, [] {
        const int64_t now = g_velFpsNowMs();
        for (auto& start : g_fpsStats.startMs) start = now;
        g_fpsStats.started = true;
    });
    if (viewId < 0 || viewId >= VEL_SHM_VIEWS) return;
    const int interval = fpsValue;
    if (!fpsEnabled || interval == 0) return;

    const int counter = ++g_fpsStats.counter[viewId];
    const int64_t now = g_velFpsNowMs();
    const int64_t elapsed = now - g_fpsStats.startMs[viewId];
    if (elapsed < static_cast<int64_t>(interval) * 1000) return;
    // Encoders of several views and sessions count at once: one of them reports an interval.
    static std::atomic_flag reporting[VEL_SHM_VIEWS] = {ATOMIC_FLAG_INIT, ATOMIC_FLAG_INIT,
                                                        ATOMIC_FLAG_INIT};
    if (reporting[viewId].test_and_set()) return;
    reportFps(*this, viewId, counter, now, elapsed);
    reporting[viewId].clear();
}
