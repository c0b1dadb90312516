// VelDev: the state of one attached adapter (a device session). The device manager creates it
// under shared ownership when an adapter arrives; EVDI handlers, monitor plug-in and plug-out,
// the frame pipeline and the display classes work on its fields.
//
// Threads owned by a session: the conversion thread ("rgb2yuv520"), the send thread
// ("velSendImg") and the EVDI epoll thread ("pollEvdiEve"), started by the constructor and joined
// by the destructor. The destructor releases every blocking wait they can be in: it raises
// `exitFlag`, posts every per-view semaphore, and writes the stop eventfd.
//
// Flags polled across threads (exit, connected, view active, EVDI opened, buffer registered,
// mode-set done) are atomics with one writer at a time.
#pragma once

#include <semaphore.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "display/displayTypes.h"
#include "edid/capsMode.h"
#include "pipeline/pipelineRecords.h"
#include "service/threadLock.h"
#include "service/threads.h"
#include "session/evdiApi.h"

struct libusb_device;
struct libusb_device_handle;
class DevManager;
class VelDisplayClassBase;

struct _DEV_TOPO_ {
    int first = 0;
    int second = 0;
};

// One control-reply slot: a command code and the replies queued for it.
struct _CONTROL_REPLY_SLOT_ {
    int code = 0;
    threadsafe_queue<VELPTC_CONTROL_RET> replies;
};

constexpr int VEL_MAX_VIEWS = 3;
constexpr int VEL_MODES_PER_VIEW = 64;
constexpr size_t VEL_CURSOR_STAGING_SIZE = 8192000;

class VelDev;

// One model-520 frame's turn in its view's send order (VelDev::takeFrameTurn520). Shared by the
// stages the frame passes through; the turn ends once, at end() or when the last holder lets
// go, so a frame that stops on any path lets the frames behind it go on.
class FrameTurn520 {
  public:
    FrameTurn520(VelDev& dev, int view, uint64_t turn) : dev_(dev), view_(view), turn_(turn) {}
    ~FrameTurn520() { end(); }
    FrameTurn520(const FrameTurn520&) = delete;
    FrameTurn520& operator=(const FrameTurn520&) = delete;
    void end();
    int view() const { return view_; }
    uint64_t turn() const { return turn_; }

  private:
    VelDev& dev_;
    int view_;
    uint64_t turn_;
    std::atomic<bool> ended_{false};
};

class VelDev {
  public:
    explicit VelDev(DevManager* owner);
    ~VelDev();
    VelDev(const VelDev&) = delete;
    VelDev& operator=(const VelDev&) = delete;

    // Empties the view's dirty-rectangle and encode queues and the send queue (freeing queued
    // packet buffers); a cancelled queue is left alone.
    void clearQueueData(int viewId);

    // Open-time reset done by the device manager once the USB interface is set up.
    void openTimeReset();

    // Thread bodies.
    void processRectData520(int threadId, int firstView, int lastView, sem_t* wake);
    void velSendImgThread();
    void epollEvdiEventThread();

    DevManager* owner;
    std::mutex sessionMutex;  // the light-mode encoder holds it around its send-queue push
    std::condition_variable sessionCond;
    int epollFd = -1;
    int stopFd = -1;  // eventfd: written once by the destructor to wake the epoll thread
    std::atomic<bool> evdiOpened[VEL_MAX_VIEWS] = {};
    std::thread convThreads[VEL_MAX_VIEWS];
    std::thread sendThread, epollThread;
    int viewsPerConvThread = 3;
    std::atomic<bool> exitFlag{false};
    std::atomic<int> devKey{0};  // set to 9999 by the clean-up while the send thread may log it
    libusb_device* usbDevice = nullptr;
    libusb_device_handle* usbHandle = nullptr;
    _DEV_TOPO_ viewTable[VEL_MAX_VIEWS];  // {view id (-1 free), target id}
    std::map<int, int> target2View;
    uint32_t productId = 0, model = 0, vendorId = 0;
    bool dualView = false;
    std::atomic<bool> bufferRegistered[VEL_MAX_VIEWS] = {};
    int frameInterval[VEL_MAX_VIEWS] = {0, 0, 0};  // microseconds per frame
    int interfaceNumber = 4;
    std::atomic<bool> viewActive[VEL_MAX_VIEWS] = {};
    std::atomic<int> modeSetDone{0};
    std::atomic<bool> connected{false};
    // A transfer found the adapter gone: its departure is on its way but may not have been
    // handled yet (connected still set), and nothing sent to it will be answered.
    std::atomic<bool> usbGone{false};
    // The first of the monitors that arrived while every view was taken (0: none); all of them,
    // oldest first, in pendingTargets. Both guarded by plugFlowMutex.
    int pendingTarget = 0;
    std::deque<int> pendingTargets;
    int64_t pluggedMonitors = 0;  // shown + pending monitors; guarded by plugFlowMutex
    int interfaceCount = 0;
    // Monotonic microseconds of the last bulk OUT transfer while bulk heartbeats are on: written
    // by the send thread, read by the 50x bulk heartbeat thread.
    std::atomic<int64_t> lastBulkOutUs{0};
    // 50x family: high-resolution dual-view flag, last monitor count and bitmask of the monitor
    // check; all three guarded by mutex_lock_508 (display/VelDisplay508ClassDriver.h).
    bool hiResDualView = false;
    uint8_t lastMonitorCount508 = 0;
    uint8_t lastMonitorBits508 = 0;
    // 50x family: bring-up reached its heartbeat (monitor checks wait for it).
    std::atomic<bool> cmdsInitialised{false};
    // 50x family: entries the adapter reported in each view's mode list (at most 64).
    uint16_t modeCount508[VEL_MAX_VIEWS] = {0, 0, 0};
    // 50x family: each view's timing class (0, 1 or 2), written by mode set.
    std::atomic<uint8_t> timingClass508[VEL_MAX_VIEWS] = {};
    int viewCount = 3;
    // Written by the mode-change handler, read by the conversion threads.
    std::atomic<uint32_t> pixelFormat[VEL_MAX_VIEWS] = {0, 0, 0};
    unsigned char* convBuffer[VEL_MAX_VIEWS] = {nullptr, nullptr, nullptr};
    sem_t g_sem_mainThread[VEL_MAX_VIEWS], sem_mainThread_step2[VEL_MAX_VIEWS];
    sem_t g_sem_cwThread[VEL_MAX_VIEWS], sem_cwThread_step2[VEL_MAX_VIEWS];
    sem_t frameCreditSemaphore;
    sem_t frameFeedbackSemaphore[VEL_MAX_VIEWS];
    sem_t displayOffSemaphore;
    bool displayOffSemInit = false;
    sem_t convWake[VEL_MAX_VIEWS];
    int view2ConvThread[VEL_MAX_VIEWS] = {0, 0, 0};
    pthread_t y2jUpper[VEL_MAX_VIEWS] = {}, r2yBottom[VEL_MAX_VIEWS] = {},
              y2jBottom[VEL_MAX_VIEWS] = {};
    bool convThreads508Started[VEL_MAX_VIEWS] = {false, false, false};
    // "R2YBottom" of each view, woken by "encodeRgb", which converts the upper half meanwhile:
    // the lower half starts on another CPU than the upper one.
    vel::WakeElsewhere lowerHalfWake508[VEL_MAX_VIEWS];
    uint32_t frameIndex508Reported = 1, frameIndex508Next = 1;  // index 1 is never sent
    threadsafe_queue<_RCV_BUF_ADDR> edidQueue, modeListQueue, capsQueue, generalQueue;
    _CONTROL_REPLY_SLOT_ controlReplies[10];
    threadsafe_queue<_evdi_send> sendQueue;
    // Model 520: the frame index of the newest packet of each view put on the send queue, so a
    // frame whose encoding was overtaken by a newer one of its view is not sent after it.
    std::mutex frameOrderMutex;  // guards lastQueuedFrame520 and anyQueuedFrame520
    uint32_t lastQueuedFrame520[VEL_MAX_VIEWS] = {0, 0, 0};
    bool anyQueuedFrame520[VEL_MAX_VIEWS] = {false, false, false};
    // Model 520: each view's frames reach the send queue in the order they took their frame
    // indexes. A frame takes a turn together with its index (takeFrameTurn520); its packet goes
    // on the queue only once every earlier turn of the view has ended (queued, or the frame
    // stopped), so a frame whose encoding finished first waits for the one before it instead
    // of making it be dropped as overtaken. Turns are never reset (a re-plug keeps counting).
    std::mutex frameTurnMutex;  // guards the three below; frame indexes are taken under it
    std::condition_variable frameTurnCond;  // notified whenever a view's current turn moves
    uint64_t nextFrameTurn520[VEL_MAX_VIEWS] = {0, 0, 0};     // the next turn handed out
    uint64_t currentFrameTurn520[VEL_MAX_VIEWS] = {0, 0, 0};  // the turn that may queue now
    std::set<uint64_t> endedFrameTurns520[VEL_MAX_VIEWS];     // ended ahead of the current one
    // Model 520, per view since the session started: packets dropped as overtaken by a newer
    // frame of their view, and frames that went ahead after a second without a frame credit.
    // Only counted (for diagnostics and the benchmarks); nothing reads them to decide.
    std::atomic<long> framesOvertaken520[VEL_MAX_VIEWS] = {};
    std::atomic<long> creditTimeouts520[VEL_MAX_VIEWS] = {};
    // Held around every post of frameFeedbackSemaphore (and its refill at plug-in), so that the
    // bound of four credits per view is checked and kept in one step; takers do not need it.
    std::mutex frameCreditMutex;
    // 50x family: frames given their credit back without an acknowledgement and not yet
    // covered by one (see giveSentFrameCredit508); guarded by frameCreditMutex.
    uint32_t creditsBackUnacked508 = 0;
    // 50x family: held while a frame takes its index and its packets go on the send queue, so
    // the session's frames leave in the order of their indexes (sendFrame508).
    std::mutex sendOrderMutex508;
    threadsafe_queue<_RECT_IN_ENCODE_Q> encodeQueue[VEL_MAX_VIEWS];
    threadsafe_queue<evdi_rect> rectQueue[VEL_MAX_VIEWS];
    evdi_buffer evdiBuffer[VEL_MAX_VIEWS] = {};
    sem_t updateToken[VEL_MAX_VIEWS];
    int refreshRate[VEL_MAX_VIEWS] = {60, 60, 60};
    int frameCounter[VEL_MAX_VIEWS] = {0, 0, 0};
    int frameIndex520[VEL_MAX_VIEWS] = {1, 1, 1};
    _alignmentRect rememberedRect[VEL_MAX_VIEWS][2] = {};
    int rememberedAlt[VEL_MAX_VIEWS] = {0, 0, 0};
    int displayOff[VEL_MAX_VIEWS] = {1, 1, 1};
    CAPS_MODE_STRUCT modeList[VEL_MAX_VIEWS][VEL_MODES_PER_VIEW] = {};
    evdi_handle evdiHandle[VEL_MAX_VIEWS] = {nullptr, nullptr, nullptr};
    evdi_event_context evdiContext[VEL_MAX_VIEWS] = {};
    _DEV_TOPO_* evdiUserData[VEL_MAX_VIEWS] = {nullptr, nullptr, nullptr};
    std::unique_ptr<unsigned char[]> cursorStaging;  // VEL_CURSOR_STAGING_SIZE bytes
    uint32_t cmdEndpoint508 = 0, imageEndpoint = 0, imageEndpoint520 = 0;
    std::map<uint16_t, uint16_t> m_IDSource2DisplayDeviceMap;
    std::map<uint16_t, uint16_t> m_IDDisplayDevice2MonitorMap;
    std::shared_ptr<VelDisplayClassBase> displayClass;

    // Process-wide count of conversion threads ever created (their thread ids).
    static std::atomic<int> s_convThreadCount;
    int convThreadId[VEL_MAX_VIEWS] = {-1, -1, -1};

    // ---- EVDI event handling (session/evdiEvents.cpp, session/evdiHandlers.cpp) ----
    // Adds (EPOLL_CTL_ADD) or removes (EPOLL_CTL_DEL) the view's EVDI descriptor; 0 or -1.
    int evdiEventCtlFd(int viewId, int op);
    struct VelMallocFree {
        void operator()(unsigned char* p) const { free(p); }
    };
    // Per view: guards evdiBuffer[v] and its pixel area against a grab running while the
    // mode-change handler swaps them, and guards retiredAreas[v].
    std::mutex evdiGrabMutex[VEL_MAX_VIEWS];
    // Per view: a grab (and the conversion of the pixel area into convBuffer) writes the view's
    // pixels under the write lock; every stage that reads them converts under a read lock. Taken
    // before evdiGrabMutex, never while holding it. Guards evdiBuffer[v]'s pixels and convBuffer.
    PixelAreaLock pixelAreaLock[VEL_MAX_VIEWS];

    // ---- Pixel areas (session/pixelAreas.cpp; rules at its top) ----
    // A model-520 view in XRGB/ARGB has a second pixel area, registered with EVDI as buffer
    // view + VEL_MAX_VIEWS, so a grab can fill one area while frames still read the other. Its
    // pixels are guarded by secondAreaLock[v], the record (and the fields below) by evdiGrabMutex.
    // Every other view has one area: secondArea[v].buffer is null and area 0 is always newest.
    evdi_buffer secondArea[VEL_MAX_VIEWS] = {};
    PixelAreaLock secondAreaLock[VEL_MAX_VIEWS];
    int newestArea[VEL_MAX_VIEWS] = {0, 0, 0};  // the area the last grab with pixels wrote
    // Per view and area: the rectangles the area lacks against the newest one (damage grabbed
    // into the other area since this one was last written). Guarded by evdiGrabMutex.
    std::vector<evdi_rect> areaLacks[VEL_MAX_VIEWS][2];
    evdi_buffer& pixelArea(int viewId, int area) {
        return area ? secondArea[viewId] : evdiBuffer[viewId];
    }
    PixelAreaLock& areaLock(int viewId, int area) {
        return area ? secondAreaLock[viewId] : pixelAreaLock[viewId];
    }
    static int areaBufferId(int viewId, int area) { return viewId + area * VEL_MAX_VIEWS; }
    // The area the view's next grab writes, with its write lock taken and `grabLock` (the view's
    // evdiGrabMutex, not held on entry) held on return: the older area when the view has two.
    // Waits for the frames still reading that area.
    int lockGrabArea(int viewId, std::unique_lock<std::mutex>& grabLock);
    // After a grab into `area` (write lock and evdiGrabMutex held) that wrote `rects`: brings
    // the rest of the area up to date from the newest area and makes it the newest. Nothing
    // changes when the grab wrote no rectangle.
    void finishGrab(int viewId, int area, const evdi_rect* rects, int count);
    // A read hold on the area with the view's newest picture; returns its index with `grabLock`
    // (evdiGrabMutex, not held on entry) held, so the caller reads the area's record in the same
    // step. No grab writes the area while `*hold` is kept.
    int holdNewestArea(int viewId, std::unique_lock<std::mutex>& grabLock,
                       std::shared_lock<PixelAreaLock>* hold);
    // Whether any stage reads or writes one of the view's areas now (evdiGrabMutex held).
    bool areasInUse(int viewId);
    // Waits at most `limit` for the view's areas to be read and written by nobody.
    bool waitAreasUnused(int viewId, std::chrono::milliseconds limit);
    // Pixel and conversion areas of earlier modes that a pipeline stage may still read; freed
    // once the view's update token shows the pipeline idle, or with the session.
    std::vector<std::unique_ptr<unsigned char, VelMallocFree>> retiredAreas[VEL_MAX_VIEWS];
    // Update tasks still running (guarded by updateTaskMutex); the epoll thread waits for none
    // to be left before it ends, so no task outlives the session it works on.
    std::mutex updateTaskMutex;
    std::condition_variable updateTaskCond;
    int updateTasksRunning = 0;
    // An update task of the view is waiting for the token: a further update event adds nothing,
    // since that task's own update request covers the new damage.
    std::atomic<bool> updateTaskWaiting[VEL_MAX_VIEWS] = {};
    // Held by the epoll thread around each dispatch; guards evdiListening. Removing a view's
    // descriptor takes it, so once the removal returns no handler of that view runs or starts.
    std::mutex evdiDispatchMutex;
    bool evdiListening[VEL_MAX_VIEWS] = {false, false, false};

    // ---- Model-520 bring-up and heartbeat (display/vel520Bringup.cpp) ----
    // Written by the 520 display class: the flags by bring-up, the settings by its heartbeat
    // thread from the control block; read by the hot-plug workers and the frame pipeline.
    std::atomic<bool> powerOnFinished{false};  // the adapter acknowledged the power-on command
    std::atomic<bool> initDone{false};         // bring-up finished: hot-plug handling may start
    std::atomic<bool> fpsEnabled{false};       // frame-rate report on
    std::atomic<int> fpsValue{0};              // report interval, seconds
    std::atomic<bool> fpsPending{false};       // a client waits to see the figures
    std::atomic<int> powerMode{0};             // 0 smart, 1 light
    std::atomic<int> lightMode{0};             // 1 while in light mode

    // ---- Frame pipeline: model-520 conversion (pipeline/processRect520.cpp, handOver520.cpp) ----
    // Frame threads: one converter and one encoder thread per model-520 frame, detached. They
    // are counted, and the conversion thread waits for the count to reach zero before it ends,
    // so none outlives the session (the destructor joins the conversion thread).
    struct _ENCODE_PARAMS_ {
        int32_t formatCode = 0xE0;
        int32_t quality = 90;
        int32_t split = 0;
        _alignmentRect rect;  // the encoded region
    };
    // Per-view encode parameters, region record and last frame index of the latest frame (up
    // to four model-520 converters of one view run at once: guarded by pipelineStateMutex).
    _ENCODE_PARAMS_ encodeParams[VEL_MAX_VIEWS];
    _VELRECT regionRect[VEL_MAX_VIEWS];
    int32_t lastFrameIndex[VEL_MAX_VIEWS] = {0, 0, 0};
    std::mutex pipelineStateMutex;
    std::mutex frameThreadMutex;  // guards frameThreadsRunning and viewFrameThreads
    std::condition_variable frameThreadCond;
    int frameThreadsRunning = 0;
    int viewFrameThreads[VEL_MAX_VIEWS] = {};
    // Starts `body` on a detached, counted thread named `name`, working for view `viewId`.
    // False (and nothing started) when no thread could be created.
    bool startFrameThread(const char* name, int viewId, std::function<void()> body);
    // Blocks until no frame thread of the session runs.
    void waitFrameThreads();
    // Waits at most `limit` until no frame thread of the view runs; false if some still do.
    bool waitViewFrameThreads(int viewId, std::chrono::milliseconds limit);
    // Frame index for the view from the display class (one zeroFrameIndex retry on 0); 0
    // without a display class.
    int32_t nextFrameIndex520(int viewId);
    // Model-520 frame credits (frameFeedbackSemaphore): a view has at most four. Every return
    // goes through giveFrameCredit520, which posts one unless the view already holds four; the
    // check and the post are one step under frameCreditMutex, so an acknowledgement and a
    // dropped frame returning at once cannot make five. refillFrameCredits520 sets the view
    // back to four (plug-in). Any thread; never blocks beyond the mutex.
    void giveFrameCredit520(int viewId);
    void refillFrameCredits520(int viewId);
    // 50x family: gives back one of the session's three frame credits (frameCreditSemaphore)
    // unless it already holds three; the check and the post are one step under
    // frameCreditMutex. Every return of a 50x credit goes through it (frame-index events,
    // failed transfers, dropped frames), so a report that covers more frames than were taken
    // cannot raise the credits above three.
    void giveFrameCredit508();
    // 50x family, a frame that took its frame index but will not be acknowledged (its transfer
    // failed, or plug-out dropped it from the send queue): its credit comes back now, and is
    // remembered so the adapter's next report, which counts every index up to the one it
    // finished, does not give it back a second time.
    void giveSentFrameCredit508();
    // 50x family, the receive thread: the adapter reported `frames` more frames finished. Each
    // gives its credit back unless it already came back through giveSentFrameCredit508.
    void giveAcknowledgedCredits508(uint32_t frames);
    // Plug-in's fresh start of the session's credits and frame numbering.
    void refillFrameCredits508();
    // Forgets the newest queued frame index of the view: plug-in restarts its numbering, and a
    // frame of the new monitor must not count as overtaken by one of the old.
    void restartFrameOrder520(int viewId);
    // A frame that will not reach the adapter gives back what it holds: the view's update
    // token, and the frame credit when it took one.
    void dropFrame520(int viewId, bool creditTaken);
    // Takes the view's next frame index (as nextFrameIndex520) and, in the same step, the
    // frame's turn in the view's send order (see frameTurnMutex). The turn ends when the last
    // copy of the returned pointer goes, or earlier through FrameTurn520::end.
    std::shared_ptr<FrameTurn520> takeFrameTurn520(int viewId, int32_t* frameIndexOut);
    // Blocks until every earlier turn of the view has ended; false (at once) when the session
    // exits meanwhile. Waits in ticks of 100 ms; the earlier frames never wait on later ones.
    bool waitFrameTurn520(const FrameTurn520& turn);
    // Marks the turn ended and lets the view's send order move past every ended turn. Once per
    // turn (FrameTurn520 sees to that).
    void endFrameTurn520(int viewId, uint64_t turn);
    // Puts a framed packet on the send queue unless a newer frame of its view is already there.
    // A packet that is not queued is freed, and its credit given back when `creditHeld`. With
    // a turn, it first waits for that turn (dropping the packet if the session exits meanwhile)
    // and ends it after the push.
    bool queueFrame520(const _evdi_send& packet, bool creditHeld = true,
                       FrameTurn520* turn = nullptr);
    // Frame bodies: 0 when the frame was handed to the next stage (or dropped after the body
    // gave back the token itself), -1 when it was dropped before (the caller then calls
    // dropFrame520). `rect` is not used: model 520 always encodes the view. `creditHeld`: the
    // frame took one of the view's credits (it went ahead without one after a second's wait
    // otherwise); a frame dropped later gives back only a credit it holds.
    // `holdOut`: the read hold on the area `region` points into, for as long as it is read.
    int prepareWholeView520(int viewId, int quality, _VELRECT* region, int32_t* frameIndexOut,
                            std::shared_ptr<FrameTurn520>* turnOut,
                            std::shared_lock<PixelAreaLock>* holdOut);
    int rgb2Yuv520(_alignmentRect* rect, int viewId, int sequence, bool creditHeld = true);
    int rgb2Jpeg520(_alignmentRect* rect, int viewId, int sequence, bool creditHeld = true);
    // Hand-over to JPEG encoding; owns record.rect.buffer. Gives the token back on every path
    // and the credit (when held) on every path that queues no packet.
    // `turn`: the frame's place in the view's send order (none: queued as soon as it is ready).
    void yuv2Jpeg520(_RECT_IN_ENCODE_Q record, int viewId, int sequence, bool creditHeld = true,
                     std::shared_ptr<FrameTurn520> turn = nullptr);
    // Test hook: sees every frame record handed to JPEG encoding (set before frames flow; empty
    // in the service). Light-mode records carry no planes; they are seen before the compression,
    // while the frame holds its pixel area and the update token is back.
    std::function<void(const _RECT_IN_ENCODE_Q&, int viewId, int sequence)> yuv2Jpeg520Hook;

    // ---- Frame pipeline: 50x family (pipeline/processRect508.cpp; rules at its top) ----
    // Starts the view's four pipeline threads (plug-in, after the view is active); nothing when
    // they run already.
    void startPipeline508(int viewId);
    // Joins them; the view must be inactive already (or the session exiting). Plug-out and the
    // clean-up, before the view's pixel areas are released.
    void stopPipeline508(int viewId);
    bool pipeline508Running(int viewId) const;
    void velRgb2Yuv508(int viewId);
    void velRgb2YuvAux508(int viewId);
    void velYuv2Jpeg508(int viewId);
    void velYuv2JpegAux508(int viewId);
    void rgb2YuvEncoder508(_alignmentRect merged, int viewId);
    // Converts `region` and pushes its encode record; false when nothing was queued.
    bool rgb2YuvQueue508(_alignmentRect region, int quality, int viewId, int split,
                         uint8_t pieceFlags, int32_t frameIndex);
    // Compresses one record into a new packet (buffer null when none could be made); the
    // record's YUV block is given back either way.
    _evdi_send velYuv2JpegEncoder508(_RECT_IN_ENCODE_Q record, int viewId);
    // Gives one frame of the view its frame index and puts its `count` packets (a whole frame,
    // or the upper then the lower half) on the send queue; a frame with a missing packet is
    // dropped whole and gives its credit back.
    void sendFrame508(int viewId, _evdi_send* packets, int count);
    // "Y2JBottom"'s packet of the current split frame, for "Y2JUpper" to send with its own
    // (guarded by pipelineStateMutex).
    _evdi_send otherHalf508[VEL_MAX_VIEWS];
    std::thread pipeline508[VEL_MAX_VIEWS][4];

    // ---- Monitor plug-in and plug-out (session/plugMonitor.cpp) ----
    // Called by the display class's hot-plug handling. Results and blocking are described where
    // they are defined.
    int plugInMonitor(int targetId, bool singleView);
    int plugOutMonitor(int targetId);
    // Device clean-up of the views (DevManager::cleanDevice): waits for a plug call in progress,
    // then closes every view and drains the session's queues, freeing every queued buffer. No
    // plug-in is carried out afterwards.
    void closeViewsAtCleanUp();
    // Serialises plug-in, plug-out and the clean-up of the views: each of them changes
    // target2View, viewTable, the pending monitors and a view's EVDI handle, areas and user
    // data. Held for a whole plug call, which blocks for its adapter exchanges (each bounded).
    std::mutex plugFlowMutex;
    // A copy of target2View for observers on other threads; waits for a plug call in progress.
    std::map<int, int> shownTargets() {
        std::lock_guard<std::mutex> lk(plugFlowMutex);
        return target2View;
    }
    // Set (under plugFlowMutex) once the clean-up has taken the views.
    std::atomic<bool> viewsClosed{false};
    // The adapter left (or a transfer found it gone), the session is being cleaned up or destroyed,
    // its display class is exiting, or the service is stopping: a plug call then gives up quietly,
    // and an exchange the display class refused is no reason to end the service.
    bool goingAway() const;

    // ---- USB handle (session/VelDev.cpp) ----
    // Held by the send thread around each bulk transfer on usbHandle (transfers end within
    // their time-out); closeUsbHandle takes it before the handle is released and closed.
    // A plain mutex polled with try_lock rather than a timed one: ThreadSanitizer cannot follow
    // the timed lock's clock-based call and then reports every unlock of it as a fault.
    std::mutex usbTransferMutex;
    // Releases the claimed interface and closes the USB handle once no send-thread transfer
    // uses it, waiting at most `limit`; the display class's own transfers must have stopped
    // (fwExeClean). If the transfer does not end in time the handle is left open (logged):
    // closing it under a running transfer would free what that transfer uses.
    void closeUsbHandle(std::chrono::milliseconds limit);

    // ---- Frame pipeline: send thread and frame-rate report (pipeline/sendImg.cpp) ----
    // One transfer attempt of an encoded packet to the view's image endpoint; always consumes
    // (frees) the packet. More than five consecutive failures of counted packets, across all
    // sessions, end the service.
    void usb_bulk_transfer(_evdi_send packet, int viewId);
    // Counts a queued frame of the view and logs (and, on request, publishes in the control
    // block) the frame rate once the report interval has passed.
    void printFps(int viewId);
};
