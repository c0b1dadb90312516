// Monitor plug-in and plug-out of a session: one EVDI virtual display per shown monitor.
//
// Environment: VEL_DRM_SYSFS_DIR replaces "/sys/class/drm" in CheckViewStatus's connector path
// ("<dir>/card%d-DVI-I-%d/enabled"), so tests can stand in for the kernel's sysfs.
//
// Callers: the display class's hot-plug handling, which serialises plug-in and plug-out of one
// session (the model-520 class holds its plugMutex around each call). The operations take no
// lock of their own; they hand a view to the epoll thread and take it back through
// evdiEventCtlFd, whose removal waits for a running dispatch (see evdiEvents.cpp). Update tasks
// and pipeline stages of a view that may still run at plug-out find the view inactive, its
// buffer unregistered and its handle gone under the view's grab lock (evdiHandlers.h).
//
// Views: a monitor takes the lowest free view id below the session's view count. A monitor that
// arrives while every view is taken is pending: counted in pluggedMonitors, without a view.
//
// Only model 0x520 is served here. The 50x family's plug flow also starts and stops its per-view
// conversion threads, waits for the kernel to drop the display and re-plugs a pending monitor;
// until that is in place both operations refuse other models with an error.
#include "session/plugMonitor.h"

#include <sys/epoll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "devmgr/DevManager.h"
#include "display/VelDisplayClassDriverBase.h"
#include "edid/velEdid.h"
#include "service/debug.h"
#include "service/threadLock.h"
#include "service/threads.h"
#include "session/VelDev.h"
#include "session/evdiHandlers.h"
#include "session/evdiVersion.h"

namespace {

// The placeholder buffer registered at plug-in; the first mode change replaces it.
constexpr size_t kPlugInArea = 67108864;
constexpr int kPlugInSide = 4096;
constexpr int kPlugInStride = 16384;
// Byte 126 can claim up to 255 extensions; the buffer holds every block it can claim.
constexpr size_t kEdidCapacity = 256 * VEL_EDID_BLOCK;
constexpr int kDrmMajor = 226;

int lowestFreeView(const VelDev& dev) {
    for (int v = 0; v < dev.viewCount && v < VEL_MAX_VIEWS; ++v) {
        bool taken = false;
        for (const auto& entry : dev.target2View) taken = taken || entry.second == v;
        if (!taken) return v;
    }
    return -1;
}

void resetSemaphore(sem_t* sem, int count) {
    while (sem_trywait(sem) == 0) {
    }
    for (int i = 0; i < count; ++i) sem_post(sem);
}

// Frees the view's pixel areas once no stage reads them: the update token is with us only when
// no frame of the view is between its grab and the encoder. Without it in a second the areas are
// retired instead and go with the session.
void releaseViewAreas(VelDev& dev, int v) {
    bool dropped = false;
    while (dev.rectQueue[v].trypop()) dropped = true;
    // A queued rectangle holds the token and would never reach the encoder of an inactive view.
    if (dropped) sem_post(&dev.updateToken[v]);
    bool idle = semWaitSecond(&dev.updateToken[v], 1) == 0;
    // Frames of the view still being made give a token back when they end; that token must
    // not come on top of the fresh one set below for the next monitor.
    if (!dev.waitViewFrameThreads(v, std::chrono::seconds(5)))
        vel_Printf("[warning] view %d: frames still being made at plug-out\n", v);
    if (!idle) idle = semWaitSecond(&dev.updateToken[v], 1) == 0;
    {
        std::lock_guard<std::mutex> lk(dev.evdiGrabMutex[v]);
        dev.bufferRegistered[v] = false;
        auto* pixels = static_cast<unsigned char*>(dev.evdiBuffer[v].buffer);
        unsigned char* conv = dev.convBuffer[v];
        dev.evdiBuffer[v] = evdi_buffer{};
        dev.convBuffer[v] = nullptr;
        if (idle) {
            free(pixels);
            free(conv);
        } else {
            if (pixels) dev.retiredAreas[v].emplace_back(pixels);
            if (conv) dev.retiredAreas[v].emplace_back(conv);
        }
    }
    if (idle) velEvdiReleaseRetiredAreas(dev, v);
    while (auto e = dev.encodeQueue[v].trypop()) free(e->rect.buffer);
    // The next monitor of the view starts with exactly one token.
    resetSemaphore(&dev.updateToken[v], 1);
}

// Closes the view's EVDI display (already out of the epoll set).
void closeViewHandle(VelDev& dev, int v, bool connected) {
    evdi_handle handle = nullptr;
    {
        std::lock_guard<std::mutex> lk(dev.evdiGrabMutex[v]);
        handle = dev.evdiHandle[v];
        dev.evdiHandle[v] = nullptr;
        dev.evdiOpened[v] = false;
    }
    if (!handle) return;
    if (connected) evdi_disconnect(handle);
    const int card = velEvdiCardIndex(handle);
    if (card >= 0) vel_Printf("[info] view %d was EVDI card %d\n", v, card);
    evdi_close(handle);
}

// Takes back everything a plug-in that stops half-way gave the view.
void undoPlugIn(VelDev& dev, int v, int targetId) {
    dev.viewActive[v] = false;
    bool listening = false;
    {
        std::lock_guard<std::mutex> lk(dev.evdiDispatchMutex);
        listening = dev.evdiListening[v];
    }
    if (listening) dev.evdiEventCtlFd(v, EPOLL_CTL_DEL);
    closeViewHandle(dev, v, false);
    releaseViewAreas(dev, v);
    dev.evdiContext[v] = evdi_event_context{};
    dev.viewTable[v] = {-1, 0};
    dev.target2View.erase(targetId);
}

// The fatal path where a manager exists; without one (tests) the caller returns an error.
void abortIfManaged(VelDev& dev) {
    if (g_dev) g_dev->usb_abort(dev.usbDevice);
}

// Reads the monitor's EDID and rewrites it against the view's modes. Returns the length to
// connect with, or 0 when the read failed.
size_t readViewEdid(VelDev& dev, int v, int targetId, std::vector<unsigned char>& edid) {
    edid.assign(kEdidCapacity, 0);
    unsigned int length = static_cast<unsigned int>(edid.size());
    if (!dev.displayClass ||
        dev.displayClass->readMonitorEDID(targetId, edid.data(), &length) != 0) {
        vel_Print("USB connect failed!\n");
        return 0;
    }
    const size_t received = length < edid.size() ? length : edid.size();
    const size_t edidLength = velPlugEdidLength(edid.data(), edid.size(), received);
    if (dev.displayClass->readModeList(edid.data(), targetId, v) == 0) {
        createEdid(edid.data(), edidLength, dev.modeList[v]);
    } else {
        vel_Print("Get firmware mode list failed!\n");
    }
    return edidLength;
}

// Opens and registers the view's EVDI display. 0, or -1 with the view left for undoPlugIn.
int openView(VelDev& dev, int v, _DEV_TOPO_* userData) {
    auto* pixels = static_cast<unsigned char*>(calloc(1, kPlugInArea));
    if (!pixels) {
        vel_Printf("[error] plugInMonitor cannot allocate %zu bytes\n", kPlugInArea);
        return -1;
    }
    {
        std::lock_guard<std::mutex> lk(dev.evdiGrabMutex[v]);
        dev.evdiBuffer[v] = {v, pixels, kPlugInSide, kPlugInSide, kPlugInStride, nullptr, 0};
    }
    dev.displayOff[v] = 1;
    velEvdiInstallHandlers(&dev.evdiContext[v], userData);

    evdi_handle handle = velEvdiOpen(nullptr);
    if (handle == EVDI_INVALID_HANDLE) {
        vel_Printf("[error] plugInMonitor cannot open an EVDI device for view %d\n", v);
        return -1;
    }
    evdi_enable_cursor_events(handle, true);
    evdi_register_buffer(handle, dev.evdiBuffer[v]);
    {
        std::lock_guard<std::mutex> lk(dev.evdiGrabMutex[v]);
        dev.evdiHandle[v] = handle;
    }
    if (dev.evdiEventCtlFd(v, EPOLL_CTL_ADD) != 0) {
        vel_Printf("Error: [%s]epoll add fd failed.\n", "plugInMonitor");
        return -1;
    }
    dev.evdiOpened[v] = true;
    return 0;
}

}  // namespace

// Shows the monitor `targetId` on a new view. singleView false: the adapter shows the target as
// part of a dual-view output. Returns 0 when the monitor is shown, pending, or already shown;
// -1 when it cannot be shown (no view free below three, no memory, EVDI open or epoll failure,
// a failed EDID read without a manager), with everything the attempt took given back. A failed
// EDID read with a manager ends the process. Blocks for the EDID and mode-list exchanges.
int VelDev::plugInMonitor(int targetId, bool singleView) {
    if (model != 0x520) {
        vel_Printf("[error] plugInMonitor: model %#x is not served\n", model);
        return -1;
    }
    std::unique_ptr<_DEV_TOPO_> userData(new (std::nothrow) _DEV_TOPO_);
    if (!userData) {
        vel_Print("Error!!! cannot malloc device topo.\n");
        return -1;
    }
    userData->first = devKey;
    if (!singleView) vel_Print("It's DualView Output\n");
    dualView = !singleView;

    // Checked before the pending case: a repeated report of a shown monitor while every view is
    // taken must not count it twice.
    if (target2View.count(targetId)) {
        vel_Printf("The monitor aready plugin, targetID = %d\n", targetId);
        return 0;
    }
    if (pluggedMonitors >= viewCount) {
        pendingTarget = targetId;
        ++pluggedMonitors;
        return 0;
    }
    if (target2View.size() >= 3) {
        vel_Printf("Error: [%s] viewMap size is more than 3.\n", "plugInMonitor");
        return -1;
    }
    const int v = lowestFreeView(*this);
    if (v < 0 || evdiHandle[v] || evdiUserData[v]) {
        vel_Printf("[error] plugInMonitor: no free view for target %#x\n", targetId);
        return -1;
    }
    target2View[targetId] = v;
    userData->second = v;

    vel_Printf("Plug in [%d]device, [%ld] monitor!target[%#x]\n", devKey, static_cast<long>(v),
               targetId);
    viewTable[v] = {v, targetId};
    // Session-wide: cleared only for the first view, so shown monitors keep converting while
    // the new one waits for its first mode.
    if (target2View.size() == 1) modeSetDone = 0;
    frameIndex520[v] = 0;
    // The view's frames are numbered from 1 again: none of them is older than a frame that the
    // previous monitor of the view was sent.
    restartFrameOrder520(v);

    if (openView(*this, v, userData.get()) != 0) {
        undoPlugIn(*this, v, targetId);
        return -1;
    }

    std::vector<unsigned char> edid;
    const size_t edidLength = readViewEdid(*this, v, targetId, edid);
    if (edidLength == 0) {
        abortIfManaged(*this);
        undoPlugIn(*this, v, targetId);
        return -1;
    }

    clearQueueData(v);
    viewActive[v] = true;
    refillFrameCredits520(v);

    const _VEL_EVDI_LIMITS_ limits = velPlugLimits(model, dualView, hiResDualView);
    vel_Printf("Monitor max mode size is = %d ,  pixel_per_second_limit = %d\n",
               static_cast<int>(limits.maxArea), static_cast<int>(limits.pixelsPerSecond));
    evdiUserData[v] = userData.release();
    velEvdiConnect(evdiHandle[v], edid.data(), static_cast<unsigned int>(edidLength),
                   limits.maxArea, limits.pixelsPerSecond);
    ++pluggedMonitors;
    return 0;
}

// Removes the monitor `targetId`: its view's display, buffers, queued work and user data.
// Returns 0 when removed (or when the target was pending or unknown), -1 when the adapter's
// topology update failed without a manager (the view is removed all the same) or the view's
// descriptor could not leave the epoll set (the view then stays half-removed). A failed
// topology update with a manager ends the process. Sleeps about 100 ms, plus up to a second
// waiting for the view's pipeline to let go of its pixels.
int VelDev::plugOutMonitor(int targetId) {
    if (model != 0x520) {
        vel_Printf("[error] plugOutMonitor: model %#x is not served\n", model);
        return -1;
    }
    vel_Printf("Plug out targetID=[%#x] monitor!\n", targetId);
    auto it = target2View.find(targetId);
    if (it == target2View.end()) {
        // Only a pending monitor is counted without a view; anything else was never counted.
        if (pluggedMonitors > static_cast<int64_t>(target2View.size())) {
            --pluggedMonitors;
            if (pendingTarget == targetId) pendingTarget = 0;
        } else {
            vel_Printf("[warning] plugOutMonitor: target %#x is not plugged\n", targetId);
        }
        return 0;
    }
    if (pluggedMonitors > 0) --pluggedMonitors;
    const int v = it->second;
    if (v < 0 || v >= VEL_MAX_VIEWS) {
        target2View.erase(it);
        return -1;
    }
    int result = 0;
    viewActive[v] = false;
    viewTable[v] = {-1, 0};

    if (displayClass) {
        const int rc = displayClass->setDisplayClassTopo(v);
        if (rc != 0) {
            vel_Printf("[error] plugOutMonitor: setDisplayClassTopo(%d) failed, Ret=%d\n", v, rc);
            abortIfManaged(*this);
            result = -1;
        }
    }
    sem_post(&updateToken[v]);
    sem_post(&convWake[view2ConvThread[v]]);

    velPlugDrainSendQueue(
        sendQueue, [this](int view) { giveFrameCredit520(view); }, v);

    // Out of the epoll set before anything of the view is freed: once removed, no handler of
    // the view runs or starts.
    if (evdiEventCtlFd(v, EPOLL_CTL_DEL) != 0) {
        vel_Printf("Error: [%s]epoll remove fd failed.\n", "plugOutMonitor");
        return -1;
    }
    releaseViewAreas(*this, v);
    vel::sleepMs(100);
    closeViewHandle(*this, v, true);
    evdiContext[v] = evdi_event_context{};
    delete evdiUserData[v];
    evdiUserData[v] = nullptr;

    target2View.erase(targetId);
    if (target2View.empty()) vel_Print("There isn't any view, remove sem_catchrect.\n");
    if (displayOffSemInit) sem_trywait(&displayOffSemaphore);
    vel_Printf("%s[%d] end\n", "plugOutMonitor", v);
    return result;
}

int velPlugDrainSendQueue(threadsafe_queue<_evdi_send>& queue,
                          const std::function<void(int view)>& giveCredit, int viewId) {
    int drained = 0;
    while (auto p = queue.trypop()) {
        free(p->buffer);
        ++drained;
        // The send queue is shared by the views: a frame of another view dropped here never gets
        // its acknowledgement, so its credit is given back.
        if (giveCredit && p->view != viewId && p->view >= 0 && p->view < VEL_MAX_VIEWS) {
            giveCredit(p->view);
        }
    }
    return drained;
}

int velPlugDropViewPackets(threadsafe_queue<_evdi_send>& queue, int viewId) {
    const auto stale = queue.removeIf([viewId](const _evdi_send& p) { return p.view == viewId; });
    for (const auto& p : stale) free(p->buffer);
    return static_cast<int>(stale.size());
}

_VEL_EVDI_LIMITS_ velPlugLimits(uint32_t model, bool dualView, bool hiResDualView) {
    if (model == 0x508 || model == 0x500) {
        if (!dualView) return {8294400u, 248832000u};
        return {hiResDualView ? 2304000u : 2073600u, 530841600u};
    }
    if (model == 0x520) return {8294400u, 530841600u};
    return {3686400u, 530841600u};
}

size_t velPlugEdidLength(unsigned char* edid, size_t capacity, size_t received) {
    if (!edid || capacity < VEL_EDID_BLOCK) return 0;
    if (received > capacity) received = capacity;
    const size_t claimed = static_cast<size_t>(edid[126]) + 1;
    size_t whole = received / VEL_EDID_BLOCK;
    if (whole < 1) whole = 1;  // the rest of the base block reads as the buffer's zeros
    if (whole >= claimed) return claimed * VEL_EDID_BLOCK;
    vel_Printf("[warning] EDID claims %zu blocks, %zu bytes received\n", claimed, received);
    edid[126] = static_cast<unsigned char>(whole - 1);
    edid[127] = edid_block_checksum(edid);
    return whole * VEL_EDID_BLOCK;
}

int check_monitor_num(_VELPTC_FW_NOTIFY_MONITOR_PNP_ plugBits, int* targets) {
    if (!targets) return 0;
    const unsigned bits = plugBits & 0x0Fu;
    int set = 0;
    for (unsigned b = 0; b < 4; ++b) set += (bits >> b) & 1u;
    if (set < 3) {
        int n = 0;
        for (unsigned b = 0; b < 4; ++b) {
            if (bits & (1u << b)) targets[n++] = static_cast<int>(1u << b);
        }
        return n;
    }
    // The adapter drives at most two of its outputs at once.
    if ((bits & 0x4u) && (bits & 0x8u)) {
        targets[0] = 4;
        targets[1] = 8;
    } else if (bits & 0x8u) {
        targets[0] = 1;
        targets[1] = 8;
    } else {
        targets[0] = 1;
        targets[1] = 4;
    }
    return 2;
}

int CheckViewStatus(int card) {
    const char* dir = getenv("VEL_DRM_SYSFS_DIR");
    std::string base = dir && *dir ? dir : "/sys/class/drm";
    if (base.back() == '/') base.pop_back();
    char path[512];
    snprintf(path, sizeof path, "%s/card%d-DVI-I-%d/enabled", base.c_str(), card, card);
    FILE* f = fopen(path, "r");
    if (!f) {
        vel_Printf("fopen %s failed\n", path);
        return -1;
    }
    char line[64];
    const bool read = fgets(line, sizeof line, f) != nullptr;
    fclose(f);
    if (!read) {
        vel_Printf("read %s content error\n", path);
        return -1;
    }
    return strncmp(line, "enabled", 7) == 0 ? 0 : -1;
}

int velEvdiCardIndex(evdi_handle handle) {
    if (handle == EVDI_INVALID_HANDLE) return -1;
    const int fd = evdi_get_event_ready(handle);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return -1;
    if (major(st.st_rdev) != kDrmMajor) return -1;
    return static_cast<int>(minor(st.st_rdev));
}
