#include "session/evdiHandlers.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "devmgr/DevManager.h"
#include "display/VelDisplayClassDriverBase.h"
#include "service/debug.h"
#include "service/threadLock.h"
#include "service/threads.h"
#include "session/VelDev.h"

namespace {

thread_local VelDev* t_dispatchSession = nullptr;

// A session found for an event; `keep` holds it alive when it came from the manager's table.
struct SessionRef {
    VelDev* dev = nullptr;
    std::shared_ptr<VelDev> keep;
};

SessionRef findSession(int devKey) {
    // The epoll thread belongs to its session, which outlives it: no reference is taken there,
    // so the last reference can never be dropped on the thread the destructor joins.
    if (t_dispatchSession) return {t_dispatchSession, nullptr};
    SessionRef ref;
    if (g_dev) {
        ref.keep = g_dev->findDev(devKey);
        ref.dev = ref.keep.get();
    }
    return ref;
}

bool validView(int viewId) { return viewId >= 0 && viewId < VEL_MAX_VIEWS; }

bool displayClassExiting(VelDev& dev) {
    return dev.displayClass && dev.displayClass->displayClassExitFlag;
}

// Resolves the user data of a non-update event to a session and a view, logging what is missing.
VelDev* sessionForEvent(void* user_data, SessionRef* ref, int* viewId) {
    auto* topo = static_cast<_DEV_TOPO_*>(user_data);
    if (!topo) {
        vel_Print("user_data is nullptr\n");
        return nullptr;
    }
    *ref = findSession(topo->first);
    if (!ref->dev) {
        vel_Print("velDev is nullptr\n");
        return nullptr;
    }
    if (!validView(topo->second)) {
        vel_Printf("[error] EVDI event for invalid view %d\n", topo->second);
        return nullptr;
    }
    *viewId = topo->second;
    return ref->dev;
}

// Pushes the bounding box of one grab (clamped to the view's buffer) for conversion. Returns
// false when nothing was queued: nothing was left after clamping, or the queue is cancelled.
bool queueGrab(VelDev& dev, int viewId, const evdi_rect* rects, int count, int width, int height) {
    evdi_rect box = velEvdiBoundingBox(rects, count);
    if (!velEvdiClampRect(&box, width, height)) return false;
    threadsafe_queue<evdi_rect>& queue = dev.rectQueue[viewId];
    // A cancelled queue drops the push silently; a cancel right after the push empties it. In
    // both cases no frame comes of the rectangle, so it must not count as queued (the update
    // task would keep the token that only a frame brings back).
    if (queue.isCancelled()) return false;
    queue.push(box);
    return !queue.isCancelled();
}

// One request + grab into the view's registered buffer, under the grab lock. Returns -1 when
// no update is to be had now (not registered, no handle, nothing pending, view inactive),
// otherwise the rectangle count (0 to 16) with the buffer's size in *width / *height.
int requestAndGrab(VelDev& dev, int viewId, evdi_rect* rects, int* width, int* height,
                   bool requireActive) {
    // The grab writes a pixel area: it waits for the stages still reading that area.
    std::unique_lock<std::mutex> lk(dev.evdiGrabMutex[viewId], std::defer_lock);
    const int area = dev.lockGrabArea(viewId, lk);
    std::unique_lock<PixelAreaLock> px(dev.areaLock(viewId, area), std::adopt_lock);
    evdi_handle handle = dev.evdiHandle[viewId];
    if (!handle || !dev.bufferRegistered[viewId]) return -1;
    if (!evdi_request_update(handle, VelDev::areaBufferId(viewId, area))) return -1;
    if (requireActive && !dev.viewActive[viewId]) return -1;
    int count = 0;
    evdi_grab_pixels(handle, rects, &count);
    if (count < 0) count = 0;
    if (count > VEL_EVDI_MAX_RECTS) count = VEL_EVDI_MAX_RECTS;
    *width = dev.evdiBuffer[viewId].width;
    *height = dev.evdiBuffer[viewId].height;
    dev.finishGrab(viewId, area, rects, count);
    return count;
}

void grabLoop(VelDev& dev, int viewId, int* queued);

void runUpdate(VelDev& dev, int viewId) {
    if (!dev.bufferRegistered[viewId]) {
        dev.updateTaskWaiting[viewId] = false;
        vel_Printf("EVDI Buffers[%d] are not registered\n", viewId);
        return;
    }
    // The token comes back from the encoder once it has the pixels; after a second the grab
    // goes ahead anyway, and counts given back more than once are not hoarded.
    semWaitSecond(&dev.updateToken[viewId], 1);
    while (sem_trywait(&dev.updateToken[viewId]) == 0) {
    }
    dev.updateTaskWaiting[viewId] = false;
    // Only a queued frame brings the token back (through the encoder); a task that queues
    // nothing gives it back itself, or the view's next update would wait out the second.
    int queued = 0;
    grabLoop(dev, viewId, &queued);
    if (queued == 0) sem_post(&dev.updateToken[viewId]);
}

void grabLoop(VelDev& dev, int viewId, int* queued) {
    if (displayClassExiting(dev)) return;

    // Empty grabs are normal right after a mode change; a handle that keeps reporting damage
    // without rectangles must not keep this thread spinning.
    int emptyGrabs = 0;
    while (!dev.exitFlag && dev.evdiOpened[viewId]) {
        evdi_rect rects[VEL_EVDI_MAX_RECTS];
        int width = 0, height = 0;
        int count = requestAndGrab(dev, viewId, rects, &width, &height, true);
        if (count < 0) break;
        if (count == 0) {
            vel_Print("update_ready_handler rect number is 0,do no need to draw\n");
            if (dev.model == 0x508) {
                std::lock_guard<std::mutex> lk(dev.evdiGrabMutex[viewId]);
                if (dev.evdiHandle[viewId]) evdi_request_update(dev.evdiHandle[viewId], viewId);
                break;
            }
            if (++emptyGrabs >= 3) break;
        } else {
            emptyGrabs = 0;
            if (queueGrab(dev, viewId, rects, count, width, height)) {
                ++*queued;
                if (dev.model == 0x520) sem_post(&dev.convWake[dev.view2ConvThread[viewId]]);
            }
        }
        if (displayClassExiting(dev)) break;
    }
}

struct UpdateTaskArgs {
    VelDev* dev = nullptr;
    std::shared_ptr<VelDev> keep;  // set when the session came from the manager's table
    int viewId = 0;
};

void* updateTaskMain(void* arg) {
    std::unique_ptr<UpdateTaskArgs> args(static_cast<UpdateTaskArgs*>(arg));
    vel::threadInit("update_handler");
    VelDev& dev = *args->dev;
    runUpdate(dev, args->viewId);
    {
        // The last touch of a session this task does not own: once the count drops the
        // epoll thread may end and the session be destroyed.
        std::lock_guard<std::mutex> lk(dev.updateTaskMutex);
        --dev.updateTasksRunning;
        dev.updateTaskCond.notify_all();
    }
    return nullptr;
}

void freeArea(unsigned char* p) { free(p); }

// Replaces the view's pixel areas (and conversion area) with ones for `mode`. Called with the
// buffers unregistered. `idle` tells that the pipeline holds no pixels of the view.
bool replaceAreas(VelDev& dev, int viewId, const evdi_mode& mode, bool idle) {
    const size_t stride = static_cast<size_t>(mode.width) * 4;
    const size_t bytes = stride * static_cast<size_t>(mode.height);
    const bool convert = velEvdiNeedsConversion(mode.pixel_format);
    // Model 520 reads XRGB/ARGB areas in place: two of them let a grab go on while frames read.
    const bool second = dev.model == 0x520 && !convert;
    // calloc: pages the desktop never damages stay unbacked, and nothing stale is ever read.
    auto* pixels = static_cast<unsigned char*>(calloc(1, bytes));
    auto* conv = convert ? static_cast<unsigned char*>(calloc(1, bytes)) : nullptr;
    auto* pixels2 = second ? static_cast<unsigned char*>(calloc(1, bytes)) : nullptr;
    if (!pixels || (convert && !conv) || (second && !pixels2)) {
        free(pixels);
        free(conv);
        free(pixels2);
        vel_Printf("[error] mode_changed_handler cannot allocate %zu bytes\n", bytes);
        return false;
    }
    std::lock_guard<std::mutex> lk(dev.evdiGrabMutex[viewId]);
    // A frame that took its read hold after the token came back still reads an old area.
    if (dev.areasInUse(viewId)) idle = false;
    unsigned char* old[3] = {static_cast<unsigned char*>(dev.evdiBuffer[viewId].buffer),
                             static_cast<unsigned char*>(dev.secondArea[viewId].buffer),
                             dev.convBuffer[viewId]};
    for (int area = 0; area < 2; ++area) {
        evdi_buffer& eb = dev.pixelArea(viewId, area);
        eb = evdi_buffer{};
        eb.id = VelDev::areaBufferId(viewId, area);
        eb.buffer = area ? pixels2 : pixels;
        if (!eb.buffer) continue;
        eb.width = mode.width;
        eb.height = mode.height;
        eb.stride = static_cast<int>(stride);
        dev.areaLacks[viewId][area].clear();
    }
    dev.newestArea[viewId] = 0;
    // A conversion area left from an earlier non-XRGB mode is not needed any more either.
    dev.convBuffer[viewId] = conv;
    auto& retired = dev.retiredAreas[viewId];
    if (idle) retired.clear();
    for (unsigned char* p : old) {
        if (idle)
            freeArea(p);
        else if (p)
            retired.emplace_back(p);
    }
    return true;
}

// Registers (or unregisters) every pixel area the view has with EVDI.
void registerAreas(VelDev& dev, int viewId, bool on) {
    std::lock_guard<std::mutex> lk(dev.evdiGrabMutex[viewId]);
    evdi_handle handle = dev.evdiHandle[viewId];
    if (!handle) return;
    for (int area = 0; area < 2; ++area) {
        const evdi_buffer& eb = dev.pixelArea(viewId, area);
        if (area > 0 && !eb.buffer) continue;
        if (on)
            evdi_register_buffer(handle, eb);
        else
            evdi_unregister_buffer(handle, VelDev::areaBufferId(viewId, area));
    }
}

}  // namespace

evdi_rect velEvdiBoundingBox(const evdi_rect* rects, int count) {
    evdi_rect box = rects[0];
    for (int i = 1; i < count; ++i) {
        if (rects[i].x1 < box.x1) box.x1 = rects[i].x1;
        if (rects[i].y1 < box.y1) box.y1 = rects[i].y1;
        if (rects[i].x2 > box.x2) box.x2 = rects[i].x2;
        if (rects[i].y2 > box.y2) box.y2 = rects[i].y2;
    }
    return box;
}

bool velEvdiClampRect(evdi_rect* r, int width, int height) {
    if (r->x1 < 0) r->x1 = 0;
    if (r->y1 < 0) r->y1 = 0;
    if (r->x2 > width) r->x2 = width;
    if (r->y2 > height) r->y2 = height;
    return r->x2 > r->x1 && r->y2 > r->y1;
}

bool velEvdiNeedsConversion(uint32_t fourcc) {
    return fourcc != VEL_FOURCC_XRGB8888 && fourcc != VEL_FOURCC_ARGB8888;
}

void velEvdiSetDispatchSession(VelDev* dev) { t_dispatchSession = dev; }

bool velEvdiOnDispatchThread(const VelDev* dev) { return dev && t_dispatchSession == dev; }

void velEvdiWaitUpdateTasks(VelDev& dev) {
    std::unique_lock<std::mutex> lk(dev.updateTaskMutex);
    while (dev.updateTasksRunning > 0) {
        dev.updateTaskCond.wait_for(lk, std::chrono::seconds(1));
    }
}

void velEvdiReleaseRetiredAreas(VelDev& dev, int viewId) {
    if (!validView(viewId)) return;
    std::lock_guard<std::mutex> lk(dev.evdiGrabMutex[viewId]);
    dev.retiredAreas[viewId].clear();
}

void velEvdiInstallHandlers(evdi_event_context* ctx, _DEV_TOPO_* userData) {
    if (!ctx) return;
    *ctx = evdi_event_context{};
    ctx->dpms_handler = dpms_handler;
    ctx->mode_changed_handler = mode_changed_handler;
    ctx->update_ready_handler = update_ready_handler;
    ctx->crtc_state_handler = crtc_state_handler;
    ctx->cursor_set_handler = cursor_set_handler;
    ctx->cursor_move_handler = cursor_move_handler;
    ctx->ddcci_data_handler = nullptr;
    ctx->user_data = userData;
}

void update_ready_handler(int buffer_to_be_updated, void* user_data) {
    // The buffer id is one of the view's areas (VelDev::areaBufferId); the user data names the
    // view authoritatively.
    (void)buffer_to_be_updated;
    auto* topo = static_cast<_DEV_TOPO_*>(user_data);
    if (!topo) {
        vel_Print("user_data is nullptr\n");
        return;
    }
    SessionRef ref = findSession(topo->first);
    if (!ref.dev) {
        vel_Print("velDev is nullptr\n");
        return;
    }
    const int viewId = topo->second;
    if (!validView(viewId)) {
        vel_Printf("[error] EVDI event for invalid view %d\n", viewId);
        return;
    }
    VelDev& dev = *ref.dev;
    if (dev.updateTaskWaiting[viewId].exchange(true)) return;

    auto* args = new UpdateTaskArgs;
    args->dev = ref.dev;
    args->keep = std::move(ref.keep);
    args->viewId = viewId;
    {
        std::lock_guard<std::mutex> lk(dev.updateTaskMutex);
        ++dev.updateTasksRunning;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, updateTaskMain, args);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        vel_Printf("[error] update_handler thread creation failed: %s\n", strerror(rc));
        dev.updateTaskWaiting[viewId] = false;
        {
            std::lock_guard<std::mutex> lk(dev.updateTaskMutex);
            --dev.updateTasksRunning;
            dev.updateTaskCond.notify_all();
        }
        delete args;
    }
}

void mode_changed_handler(evdi_mode mode, void* user_data) {
    SessionRef ref;
    int viewId = 0;
    VelDev* found = sessionForEvent(user_data, &ref, &viewId);
    if (!found) return;
    VelDev& dev = *found;
    vel_Printf(
        "[mode_changed_handler]: buf_id[%d], devId[%d], Current mode is %d * %d @ %d,%dbpp "
        "fmt:%d\n",
        viewId, static_cast<_DEV_TOPO_*>(user_data)->first, mode.width, mode.height,
        mode.refresh_rate, mode.bits_per_pixel, static_cast<int>(mode.pixel_format));
    if (mode.width <= 0 || mode.height <= 0 || mode.width > VEL_EVDI_MAX_MODE_SIDE ||
        mode.height > VEL_EVDI_MAX_MODE_SIDE) {
        vel_Printf("[error] mode_changed_handler unusable mode %d * %d\n", mode.width, mode.height);
        return;
    }

    dev.pixelFormat[viewId] = mode.pixel_format;
    dev.bufferRegistered[viewId] = false;
    registerAreas(dev, viewId, false);
    // Rectangles of the old mode would address the new area with old coordinates. Their frame
    // now never reaches the encoder, so the token it holds is given back here.
    bool dropped = false;
    while (dev.rectQueue[viewId].trypop()) dropped = true;
    if (dropped) sem_post(&dev.updateToken[viewId]);
    // With the token, no update task grabs and no frame waits to read the view's pixels; a
    // light-mode frame gives it back once it holds its area, so its read is waited for too.
    const bool idle = semWaitSecond(&dev.updateToken[viewId], 1) == 0 &&
                      dev.waitAreasUnused(viewId, std::chrono::seconds(1));

    if (velEvdiNeedsConversion(mode.pixel_format)) {
        vel_Print("Pixel format not is DRM_FORMAT_XRGB8888 or DRM_FORMAT_ARGB8888!\n");
    }
    if (!replaceAreas(dev, viewId, mode, idle)) {
        sem_post(&dev.updateToken[viewId]);
        return;
    }
    dev.refreshRate[viewId] = mode.refresh_rate;
    if (mode.refresh_rate > 0) dev.frameInterval[viewId] = 1000000 / mode.refresh_rate;
    registerAreas(dev, viewId, true);
    dev.bufferRegistered[viewId] = true;

    dev.modeSetDone = 0;
    if (dev.displayClass) dev.displayClass->setMode(viewId);
    dev.modeSetDone = 1;

    // The first frame of the new mode. Bounded: this runs on the epoll thread.
    for (int round = 0; round < 2 * VEL_EVDI_MAX_RECTS && dev.evdiOpened[viewId]; ++round) {
        evdi_rect rects[VEL_EVDI_MAX_RECTS];
        int width = 0, height = 0;
        int count = requestAndGrab(dev, viewId, rects, &width, &height, false);
        if (count < 0) break;
        if (count == 0) {
            vel_Print("mode_changed_handler rect number is 0,do no need to draw\n");
            continue;
        }
        queueGrab(dev, viewId, rects, count, width, height);
    }
    // The conversion threads passed over every view while the mode was being set, and nothing
    // else wakes them for the first frame queued just above: with a desktop that draws nothing
    // more, the view would stay dark. Woken only now, after the queueing, since a thread looks
    // at its queues only when woken and a wake-up that comes first finds them empty.
    if (dev.model == 0x520)
        for (int v = 0; v < VEL_MAX_VIEWS; ++v) sem_post(&dev.convWake[dev.view2ConvThread[v]]);
    sem_post(&dev.updateToken[viewId]);
    vel_Printf("View index = [%d], mode changed successed! Current mode is %d * %d.\n", viewId,
               mode.width, mode.height);
}

void dpms_handler(int dpms_mode, void* user_data) {
    if (auto* topo = static_cast<_DEV_TOPO_*>(user_data)) {
        vel_Printf("[dpms_handler]: buf_id[%d], devId[%d] dpms_mode:%d\n", topo->second,
                   topo->first, dpms_mode);
    }
    SessionRef ref;
    int viewId = 0;
    VelDev* dev = sessionForEvent(user_data, &ref, &viewId);
    if (!dev) return;
    vel_Printf("View index = [%d], dpms_handler ok! dpms mode = %d.\n", viewId, dpms_mode);
    if (dev->displayClass) dev->displayClass->doDpmsState(viewId, dpms_mode);
}

void crtc_state_handler(int state, void* user_data) {
    if (auto* topo = static_cast<_DEV_TOPO_*>(user_data)) {
        vel_Printf("[crtc_state_handler]: buf_id[%d], devId[%d]\n", topo->second, topo->first);
    }
    SessionRef ref;
    int viewId = 0;
    VelDev* dev = sessionForEvent(user_data, &ref, &viewId);
    if (!dev) return;
    vel_Printf("View index = [%d], crtc_state_handler ok, state= %d\n", viewId, state);
    // The CRTC state and the DPMS mode take the same path on the adapter.
    if (dev->displayClass) dev->displayClass->doDpmsState(viewId, state);
}

void cursor_set_handler(evdi_cursor_set cursor_set, void* user_data) {
    // The library hands over a malloc'ed copy of the image; it is ours whatever happens here.
    std::unique_ptr<uint32_t, void (*)(void*)> image(cursor_set.buffer, free);
    SessionRef ref;
    int viewId = 0;
    VelDev* dev = sessionForEvent(user_data, &ref, &viewId);
    if (!dev || !dev->displayClass) return;
    if (!cursor_set.enabled) {
        dev->displayClass->setCursorState(0, 0, viewId, 0);
        return;
    }
    const uint64_t needed = static_cast<uint64_t>(cursor_set.stride) * cursor_set.height;
    if (!cursor_set.buffer || cursor_set.stride < static_cast<uint64_t>(cursor_set.width) * 4 ||
        cursor_set.buffer_length < needed) {
        vel_Printf("[error] cursor_set_handler inconsistent image %ux%u stride %u length %u\n",
                   cursor_set.width, cursor_set.height, cursor_set.stride,
                   cursor_set.buffer_length);
        dev->displayClass->setCursorState(0, 0, viewId, 0);
        return;
    }
    dev->displayClass->setCursorImage(cursor_set, viewId);
}

void cursor_move_handler(evdi_cursor_move cursor_move, void* user_data) {
    SessionRef ref;
    int viewId = 0;
    VelDev* dev = sessionForEvent(user_data, &ref, &viewId);
    if (!dev || !dev->displayClass) return;
    dev->displayClass->setCursorState(cursor_move.x, cursor_move.y, viewId, 1);
    // A move to the origin is how the desktop parks a cursor it hides.
    if (cursor_move.x == 0 && cursor_move.y == 0) {
        dev->displayClass->setCursorState(0, 0, viewId, 0);
    }
}
