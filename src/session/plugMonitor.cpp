// Monitor plug-in and plug-out of a session: one EVDI virtual display per shown monitor.
//
// Environment: VEL_DRM_SYSFS_DIR replaces "/sys/class/drm" in CheckViewStatus's connector path
// ("<dir>/card%d-DVI-I-%d/enabled"), so tests can stand in for the kernel's sysfs.
//
// Concurrency: plug-in, plug-out and the device clean-up's closing of the views
// (closeViewsAtCleanUp) each run whole under the session's plugFlowMutex, so they never work on
// the same view, map entry or user data at once (the hot-plug workers call in from their own
// threads while the clean-up runs on the manager's). The clean-up leaves viewsClosed set, and a
// plug call that finds the session going away (VelDev::goingAway: adapter gone, clean-up, stop)
// gives up quietly: an exchange the display class refused then is not a reason to end the
// service. The views are handed to the epoll thread and taken back through evdiEventCtlFd, whose
// removal waits for a running dispatch (see evdiEvents.cpp). Update tasks and pipeline stages of
// a view that may still run at plug-out find the view inactive, its buffer unregistered and its
// handle gone under the view's grab lock (evdiHandlers.h); its pixel areas are freed only once
// its frames have ended (bounded wait), or retired until the session goes.
//
// Views: a monitor takes the lowest free view id below the session's view count. A monitor that
// arrives while every view is taken is pending: counted in pluggedMonitors, without a view, in
// arrival order. When a view frees at plug-out, the oldest pending monitor is plugged in on it.
//
// Models 0x520 and the 50x family (0x508, 0x505, 0x500) are served. The 50x family's frame
// credits are the session's (three) and its frame numbering restarts with every plug-in; its
// per-view conversion threads are not started here yet.
#include "session/plugMonitor.h"

#include <sys/epoll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "devmgr/DevManager.h"
#include "display/VelDisplay508ClassDriver.h"
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
// Bound of the wait for the kernel to drop a model-0x508 display after its close.
constexpr int kViewGoneChecks = 20;
constexpr long kViewGoneStepMs = 500;

bool family508(uint32_t model) { return model == 0x508 || model == 0x505 || model == 0x500; }
bool servedModel(uint32_t model) { return model == 0x520 || family508(model); }

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
// no frame of the view is between its grab and the encoder, and the view's frame threads
// (converters, light-mode encoders) are counted. Without the token in a second, or with frames
// still running after five, the areas are retired instead and go with the session.
void releaseViewAreas(VelDev& dev, int v) {
    bool dropped = false;
    while (dev.rectQueue[v].trypop()) dropped = true;
    // A queued rectangle holds the token and would never reach the encoder of an inactive view.
    if (dropped) sem_post(&dev.updateToken[v]);
    bool idle = semWaitSecond(&dev.updateToken[v], 1) == 0;
    // Frames of the view still being made give a token back when they end; that token must
    // not come on top of the fresh one set below for the next monitor. A frame still running
    // reads the areas: they are retired then, not freed.
    const bool framesEnded = dev.waitViewFrameThreads(v, std::chrono::seconds(5));
    if (!framesEnded) vel_Printf("[warning] view %d: frames still being made at plug-out\n", v);
    if (!idle) idle = semWaitSecond(&dev.updateToken[v], 1) == 0;
    idle = idle && framesEnded;
    {
        std::lock_guard<std::mutex> lk(dev.evdiGrabMutex[v]);
        dev.bufferRegistered[v] = false;
        if (dev.areasInUse(v)) idle = false;
        unsigned char* areas[3] = {static_cast<unsigned char*>(dev.evdiBuffer[v].buffer),
                                   static_cast<unsigned char*>(dev.secondArea[v].buffer),
                                   dev.convBuffer[v]};
        dev.evdiBuffer[v] = evdi_buffer{};
        dev.secondArea[v] = evdi_buffer{};
        dev.convBuffer[v] = nullptr;
        dev.newestArea[v] = 0;
        dev.areaLacks[v][0].clear();
        dev.areaLacks[v][1].clear();
        for (unsigned char* p : areas) {
            if (idle)
                free(p);
            else if (p)
                dev.retiredAreas[v].emplace_back(p);
        }
    }
    if (idle) velEvdiReleaseRetiredAreas(dev, v);
    while (auto e = dev.encodeQueue[v].trypop()) free(e->rect.buffer);
    // The next monitor of the view starts with exactly one token.
    resetSemaphore(&dev.updateToken[v], 1);
}

// Closes the view's EVDI display (already out of the epoll set). Returns the DRM card number it
// had, or -1.
int closeViewHandle(VelDev& dev, int v, bool connected) {
    evdi_handle handle = nullptr;
    {
        std::lock_guard<std::mutex> lk(dev.evdiGrabMutex[v]);
        handle = dev.evdiHandle[v];
        dev.evdiHandle[v] = nullptr;
        dev.evdiOpened[v] = false;
    }
    if (!handle) return -1;
    if (connected) evdi_disconnect(handle);
    const int card = velEvdiCardIndex(handle);
    if (card >= 0) vel_Printf("[info] view %d was EVDI card %d\n", v, card);
    evdi_close(handle);
    return card;
}

// 50x family at plug-in: the session's three frame credits, the view's frame counter and the
// frame numbering start again, and the adapter is told so.
void restartFrames508(VelDev& dev, int v) {
    dev.frameCounter[v] = 0;
    // Credits and frame numbering belong to the whole session: while another view streams, its
    // frames are in flight on them, and a refill or a new numbering would let more than three
    // frames fly and make the adapter's reports of those frames count against the new ones.
    for (int other = 0; other < VEL_MAX_VIEWS; ++other)
        if (other != v && dev.viewActive[other]) return;
    dev.refillFrameCredits508();
    dev.frameCounter[v] = 0;
    {
        CthreadLock lk(g_Lock508);
        dev.frameIndex508Reported = 1;  // index 1 is never sent: the first frame is 2
        dev.frameIndex508Next = 1;
    }
    if (dev.displayClass) dev.displayClass->resetFrameIndex();
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

}  // namespace

size_t velPlugReadViewEdid(VelDev& dev, int v, int targetId, std::vector<unsigned char>& edid) {
    edid.assign(kEdidCapacity, 0);
    unsigned int length = static_cast<unsigned int>(edid.size());
    if (!dev.displayClass ||
        dev.displayClass->readMonitorEDID(targetId, edid.data(), &length) != 0) {
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

namespace {

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

// The count of shown and pending monitors, and the first pending one, after a change.
void syncPlugCounts(VelDev& dev) {
    dev.pluggedMonitors = static_cast<int64_t>(dev.target2View.size() + dev.pendingTargets.size());
    dev.pendingTarget = dev.pendingTargets.empty() ? 0 : dev.pendingTargets.front();
}

bool isPending(const VelDev& dev, int targetId) {
    return std::find(dev.pendingTargets.begin(), dev.pendingTargets.end(), targetId) !=
           dev.pendingTargets.end();
}

// Plug-in under plugFlowMutex; see VelDev::plugInMonitor.
int plugInLocked(VelDev& dev, int targetId, bool singleView) {
    if (dev.goingAway()) {
        vel_Printf("[info] plugInMonitor: target %#x not plugged in, the session is going away\n",
                   targetId);
        return -1;
    }
    std::unique_ptr<_DEV_TOPO_> userData(new (std::nothrow) _DEV_TOPO_);
    if (!userData) {
        vel_Print("Error!!! cannot malloc device topo.\n");
        return -1;
    }
    userData->first = dev.devKey;
    if (!singleView) vel_Print("It's DualView Output\n");
    dev.dualView = !singleView;

    // Checked before the pending case: a repeated report of a shown or waiting monitor while
    // every view is taken must not count it twice.
    if (dev.target2View.count(targetId)) {
        vel_Printf("The monitor aready plugin, targetID = %d\n", targetId);
        return 0;
    }
    if (isPending(dev, targetId)) return 0;
    // Pending only while no view is free: a waiting monitor holds no view.
    const int views = std::min(dev.viewCount, VEL_MAX_VIEWS);
    if (static_cast<int>(dev.target2View.size()) >= views) {
        dev.pendingTargets.push_back(targetId);
        syncPlugCounts(dev);
        return 0;
    }
    const int v = lowestFreeView(dev);
    if (v < 0 || dev.evdiHandle[v] || dev.evdiUserData[v]) {
        vel_Printf("[error] plugInMonitor: no free view for target %#x\n", targetId);
        return -1;
    }
    dev.target2View[targetId] = v;
    userData->second = v;

    vel_Printf("Plug in [%d]device, [%ld] monitor!target[%#x]\n", dev.devKey.load(), static_cast<long>(v),
               targetId);
    dev.viewTable[v] = {v, targetId};
    // Session-wide: cleared only for the first view, so shown monitors keep converting while
    // the new one waits for its first mode.
    if (dev.target2View.size() == 1) dev.modeSetDone = 0;
    dev.frameIndex520[v] = 0;
    // The view's frames are numbered from 1 again: none of them is older than a frame that the
    // previous monitor of the view was sent.
    dev.restartFrameOrder520(v);

    if (openView(dev, v, userData.get()) != 0) {
        undoPlugIn(dev, v, targetId);
        return -1;
    }

    std::vector<unsigned char> edid;
    const size_t edidLength = velPlugReadViewEdid(dev, v, targetId, edid);
    // An adapter that is leaving (or a session being cleaned up) refuses or misses its answers:
    // the plug-in is abandoned, nothing is connected, and the service goes on.
    if (dev.goingAway()) {
        vel_Printf("[info] plugInMonitor: target %#x abandoned, the session is going away\n",
                   targetId);
        undoPlugIn(dev, v, targetId);
        return -1;
    }
    if (edidLength == 0) {
        vel_Print("USB connect failed!\n");
        abortIfManaged(dev);
        undoPlugIn(dev, v, targetId);
        return -1;
    }

    dev.clearQueueData(v);
    dev.viewActive[v] = true;
    if (family508(dev.model)) {
        restartFrames508(dev, v);
        dev.startPipeline508(v);
    } else
        dev.refillFrameCredits520(v);

    const _VEL_EVDI_LIMITS_ limits = velPlugLimits(dev.model, dev.dualView, dev.hiResDualView);
    vel_Printf("Monitor max mode size is = %d ,  pixel_per_second_limit = %d\n",
               static_cast<int>(limits.maxArea), static_cast<int>(limits.pixelsPerSecond));
    dev.evdiUserData[v] = userData.release();
    velEvdiConnect(dev.evdiHandle[v], edid.data(), static_cast<unsigned int>(edidLength),
                   limits.maxArea, limits.pixelsPerSecond);
    syncPlugCounts(dev);
    return 0;
}

// Plug-out under plugFlowMutex; see VelDev::plugOutMonitor.
int plugOutLocked(VelDev& dev, int targetId) {
    vel_Printf("Plug out targetID=[%#x] monitor!\n", targetId);
    auto it = dev.target2View.find(targetId);
    if (it == dev.target2View.end()) {
        // Only a pending monitor is counted without a view; anything else was never counted.
        auto pending = std::find(dev.pendingTargets.begin(), dev.pendingTargets.end(), targetId);
        if (pending != dev.pendingTargets.end()) {
            dev.pendingTargets.erase(pending);
            syncPlugCounts(dev);
        } else {
            vel_Printf("[warning] plugOutMonitor: target %#x is not plugged\n", targetId);
        }
        return 0;
    }
    const int v = it->second;
    if (v < 0 || v >= VEL_MAX_VIEWS) {
        dev.target2View.erase(it);
        syncPlugCounts(dev);
        return -1;
    }
    int result = 0;
    dev.viewActive[v] = false;
    dev.viewTable[v] = {-1, 0};
    // The view's pipeline threads read its pixels: they end before anything of the view goes.
    dev.stopPipeline508(v);

    const std::shared_ptr<VelDisplayClassBase> dc = dev.displayClass;
    if (dc) {
        const int rc = dc->setDisplayClassTopo(v);
        if (rc != 0 && dev.goingAway()) {
            // The adapter is leaving: its display device goes with it. The view is removed.
            vel_Printf("[info] plugOutMonitor: view %d removed without the adapter, Ret=%d\n", v,
                       rc);
        } else if (rc != 0) {
            vel_Printf("[error] plugOutMonitor: setDisplayClassTopo(%d) failed, Ret=%d\n", v, rc);
            abortIfManaged(dev);
            result = -1;
        }
    }
    sem_post(&dev.updateToken[v]);
    sem_post(&dev.convWake[dev.view2ConvThread[v]]);

    if (family508(dev.model)) {
        // The session's credits stay in use by its other view: every frame dropped here (its
        // whole or upper piece carries the credit) gives its credit back.
        while (auto p = dev.sendQueue.trypop()) {
            if (p->pieceFlags & 0x01) dev.giveSentFrameCredit508();
            free(p->buffer);
        }
    } else {
        velPlugDrainSendQueue(
            dev.sendQueue, [&dev](int view) { dev.giveFrameCredit520(view); }, v);
    }

    // Out of the epoll set before anything of the view is freed: once removed, no handler of
    // the view runs or starts.
    if (dev.evdiEventCtlFd(v, EPOLL_CTL_DEL) != 0) {
        vel_Printf("Error: [%s]epoll remove fd failed.\n", "plugOutMonitor");
        return -1;
    }
    releaseViewAreas(dev, v);
    vel::sleepMs(100);
    const int card = closeViewHandle(dev, v, true);
    if (dev.model == 0x508 && card >= 0) velWaitViewGone(card, kViewGoneChecks, kViewGoneStepMs);
    dev.evdiContext[v] = evdi_event_context{};
    delete dev.evdiUserData[v];
    dev.evdiUserData[v] = nullptr;

    dev.target2View.erase(targetId);
    syncPlugCounts(dev);
    if (dev.target2View.empty()) vel_Print("There isn't any view, remove sem_catchrect.\n");
    if (dev.displayOffSemInit) sem_trywait(&dev.displayOffSemaphore);
    // The view is free: the monitor that waited longest takes it (it would otherwise stay dark
    // until it is plugged again, and keep newer monitors waiting while a view is free).
    if (!dev.pendingTargets.empty() && !dev.goingAway()) {
        const int next = dev.pendingTargets.front();
        dev.pendingTargets.pop_front();
        syncPlugCounts(dev);
        vel_Printf("[info] pending monitor target %#x takes the freed view %d\n", next, v);
        plugInLocked(dev, next, false);
    }
    vel_Printf("%s[%d] end\n", "plugOutMonitor", v);
    return result;
}

}  // namespace

// Shows the monitor `targetId` on a new view. singleView false: the adapter shows the target as
// part of a dual-view output. Returns 0 when the monitor is shown, pending (no view free), or
// already shown or pending; -1 when it is not shown: the session is going away (logged as
// information only), no view free below three, no memory, EVDI open or epoll failure, a failed
// EDID read without a manager; everything the attempt took is given back. A failed EDID read
// with a manager, while the adapter stays, ends the process. Any thread; waits for another plug
// call or the clean-up of the session and blocks for the EDID and mode-list exchanges.
int VelDev::plugInMonitor(int targetId, bool singleView) {
    if (!servedModel(model)) {
        vel_Printf("[error] plugInMonitor: model %#x is not served\n", model);
        return -1;
    }
    std::lock_guard<std::mutex> lk(plugFlowMutex);
    return plugInLocked(*this, targetId, singleView);
}

// Removes the monitor `targetId`: its view's display, buffers, queued work and user data; a
// pending monitor then takes the freed view. Returns 0 when removed (or when the target was
// pending or unknown), -1 when the adapter's topology update failed without a manager and the
// adapter stays (the view is removed all the same) or the view's descriptor could not leave the
// epoll set (the view then stays half-removed). A failed topology update with a manager ends the
// process unless the session is going away. Sleeps about 100 ms, plus up to a few seconds
// waiting for the view's pipeline to let go of its pixels, plus a pending monitor's plug-in.
int VelDev::plugOutMonitor(int targetId) {
    if (!servedModel(model)) {
        vel_Printf("[error] plugOutMonitor: model %#x is not served\n", model);
        return -1;
    }
    std::lock_guard<std::mutex> lk(plugFlowMutex);
    return plugOutLocked(*this, targetId);
}

// See VelDev.h. Runs on the thread that cleans up the device (hot-plug worker or main thread).
void VelDev::closeViewsAtCleanUp() {
    std::lock_guard<std::mutex> lk(plugFlowMutex);
    viewsClosed = true;
    for (auto& a : viewActive) a = false;
    for (int v = 0; v < VEL_MAX_VIEWS; ++v) stopPipeline508(v);
    // Every view out of the epoll set before its areas and handler data are freed below: once
    // removed, no handler of the view runs or starts (the desktop may still be sending events).
    for (int v = 0; v < VEL_MAX_VIEWS; ++v) {
        bool listening = false;
        {
            std::lock_guard<std::mutex> dl(evdiDispatchMutex);
            listening = evdiListening[v];
        }
        if (listening && evdiHandle[v]) evdiEventCtlFd(v, EPOLL_CTL_DEL);
    }
    pendingTargets.clear();

    bool skipViews = false;
    if (pluggedMonitors == 0) {
        vel_Print("[warning] no view ID.\n");
        if (model == 0x508) skipViews = true;
    }
    if (!skipViews) {
        // No queue is cancelled here: a cancel drops what the queue holds (and so the packet
        // buffers in it) and drops later pushes the same way. The producers are stopped instead
        // (views inactive; each view's frames waited for, bounded) and the queues then drained.
        for (int v = 0; v < viewCount && v < VEL_MAX_VIEWS; ++v) {
            if (viewTable[v].first == -1 && !evdiBuffer[v].buffer && !evdiUserData[v]) continue;
            releaseViewAreas(*this, v);
            evdiContext[v] = evdi_event_context{};
            delete evdiUserData[v];
            evdiUserData[v] = nullptr;
        }
        // Every frame of every view has ended: nothing is pushed any more.
        while (auto p = sendQueue.trypop()) free(p->buffer);
        if (displayOffSemInit) {
            sem_destroy(&displayOffSemaphore);
            displayOffSemInit = false;
        }
        for (int v = 0; v < VEL_MAX_VIEWS; ++v) closeViewHandle(*this, v, true);
        target2View.clear();
        for (auto& entry : viewTable) entry = {-1, 0};
    }
    syncPlugCounts(*this);
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

bool velWaitViewGone(int card, int checks, long stepMs) {
    for (int i = 0; i < checks; ++i) {
        if (CheckViewStatus(card) != 0) {
            printf("View Disappear\n");
            fflush(stdout);
            return true;
        }
        vel::sleepMs(stepMs);
    }
    vel_Printf("[warning] EVDI card %d still enabled after its close\n", card);
    return false;
}

int velEvdiCardIndex(evdi_handle handle) {
    if (handle == EVDI_INVALID_HANDLE) return -1;
    const int fd = evdi_get_event_ready(handle);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return -1;
    if (major(st.st_rdev) != kDrmMajor) return -1;
    return static_cast<int>(minor(st.st_rdev));
}
