// The model-520 conversion thread and its per-frame converter.
//
// Concurrency: one conversion thread ("rgb2yuv520") serves views 0-2. The EVDI update tasks
// push dirty rectangles and post its wake semaphore; it merges each view's queue into one frame,
// takes one of the view's four frame credits (waiting at most a second; the display class posts
// them when the adapter acknowledges a frame index) and starts a detached converter thread. Up to
// four converters of a view run at once; they share nothing but the view's pixels, which they
// only read, and the per-view encode state under pipelineStateMutex. A converter hands its planes
// to yuv2Jpeg520 on another detached thread; that stage gives the view's update token back.
// Frames that end early give back the token and their credit (dropFrame520).
//
// Send order: each frame takes its view's next turn together with its frame index
// (takeFrameTurn520). Encoders of one view run side by side and may finish in any order; a
// packet waits for its turn before it goes on the send queue, so no finished JPEG is thrown
// away for having overtaken an older one. A frame that stops early ends its turn as it goes (the
// turn object's last holder), and no frame waits for a later one, so every wait ends.
//
// The view's pixel areas can be replaced by a mode change at any time: everything that reads their
// size or pointers together takes the view's grab lock (evdiGrabMutex). A frame reads the area
// with the newest picture under that area's read lock (VelDev::holdNewestArea), taken together
// with its pointer. Areas of an earlier mode that a frame may still be reading are retired, not
// freed, until the update token and the area locks show the pipeline idle.
#include <pthread.h>
#include <turbojpeg.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "display/VelDisplayClassDriverBase.h"
#include "pipeline/colorConvert.h"
#include "pipeline/jpeg520.h"
#include "pipeline/rectAlign.h"
#include "service/debug.h"
#include "service/threads.h"
#include "session/VelDev.h"
#include "session/evdiHandlers.h"

namespace {

struct FrameJob {
    VelDev* dev = nullptr;
    const char* name = nullptr;
    int view = 0;
    std::function<void()> body;
};

void* frameThreadMain(void* arg) {
    FrameJob* job = static_cast<FrameJob*>(arg);
    vel::threadInit(job->name);
    job->body();
    VelDev* dev = job->dev;
    const int view = job->view;
    delete job;
    // The last touch of the session: once the count drops, the conversion thread may end and
    // the session be destroyed.
    std::lock_guard<std::mutex> lk(dev->frameThreadMutex);
    --dev->frameThreadsRunning;
    --dev->viewFrameThreads[view];
    dev->frameThreadCond.notify_all();
    return nullptr;
}

bool validView(int viewId) { return viewId >= 0 && viewId < VEL_MAX_VIEWS; }

// Frames of one view in flight at once: what plug-in hands out and an acknowledgement returns.
constexpr int kFrameCredits520 = 4;
constexpr int kFrameCredits508 = 3;  // per 50x session

// The conversion thread's turn at a view counts as one of the view's frames: from taking its
// rectangles until its frame thread runs (or the frame is dropped), the frame is in no thread's
// count of its own, and a plug-out waiting for the view's frames must not miss it.
class ViewTurn {
public:
    ViewTurn(VelDev& dev, int view) : dev_(dev), view_(view) {
        std::lock_guard<std::mutex> lk(dev_.frameThreadMutex);
        ++dev_.viewFrameThreads[view_];
    }
    ~ViewTurn() {
        std::lock_guard<std::mutex> lk(dev_.frameThreadMutex);
        --dev_.viewFrameThreads[view_];
        dev_.frameThreadCond.notify_all();
    }
    ViewTurn(const ViewTurn&) = delete;
    ViewTurn& operator=(const ViewTurn&) = delete;

private:
    VelDev& dev_;
    int view_;
};

}  // namespace

bool VelDev::startFrameThread(const char* name, int viewId, std::function<void()> body) {
    if (!validView(viewId)) return false;
    auto* job = new FrameJob{this, name, viewId, std::move(body)};
    {
        std::lock_guard<std::mutex> lk(frameThreadMutex);
        ++frameThreadsRunning;
        ++viewFrameThreads[viewId];
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    const int rc = pthread_create(&tid, &attr, frameThreadMain, job);
    pthread_attr_destroy(&attr);
    if (rc == 0) return true;
    vel_Printf("[error] %s thread creation failed: %s\n", name, strerror(rc));
    delete job;
    std::lock_guard<std::mutex> lk(frameThreadMutex);
    --frameThreadsRunning;
    --viewFrameThreads[viewId];
    frameThreadCond.notify_all();
    return false;
}

void VelDev::waitFrameThreads() {
    std::unique_lock<std::mutex> lk(frameThreadMutex);
    while (frameThreadsRunning > 0) frameThreadCond.wait_for(lk, std::chrono::seconds(1));
}

bool VelDev::waitViewFrameThreads(int viewId, std::chrono::milliseconds limit) {
    if (!validView(viewId)) return true;
    std::unique_lock<std::mutex> lk(frameThreadMutex);
    return frameThreadCond.wait_for(lk, limit, [&] { return viewFrameThreads[viewId] == 0; });
}

int32_t VelDev::nextFrameIndex520(int viewId) {
    const std::shared_ptr<VelDisplayClassBase> dc = displayClass;
    if (!dc) return 0;
    uint32_t index = dc->updateFrameIndex(static_cast<unsigned short>(viewId));
    if (index == 0) {
        // The adapter's counter wrapped: restart it and take the first index again.
        dc->zeroFrameIndex();
        index = dc->updateFrameIndex(static_cast<unsigned short>(viewId));
    }
    return static_cast<int32_t>(index);
}

std::shared_ptr<FrameTurn520> VelDev::takeFrameTurn520(int viewId, int32_t* frameIndexOut) {
    if (!validView(viewId)) return nullptr;
    std::lock_guard<std::mutex> lk(frameTurnMutex);
    *frameIndexOut = nextFrameIndex520(viewId);
    return std::make_shared<FrameTurn520>(*this, viewId, nextFrameTurn520[viewId]++);
}

bool VelDev::waitFrameTurn520(const FrameTurn520& turn) {
    const int v = turn.view();
    std::unique_lock<std::mutex> lk(frameTurnMutex);
    while (currentFrameTurn520[v] != turn.turn()) {
        if (exitFlag) return false;
        frameTurnCond.wait_for(lk, std::chrono::milliseconds(100));
    }
    return true;
}

void VelDev::endFrameTurn520(int viewId, uint64_t turn) {
    if (!validView(viewId)) return;
    {
        std::lock_guard<std::mutex> lk(frameTurnMutex);
        std::set<uint64_t>& ended = endedFrameTurns520[viewId];
        ended.insert(turn);
        uint64_t& current = currentFrameTurn520[viewId];
        for (auto it = ended.begin(); it != ended.end() && *it == current; it = ended.erase(it))
            ++current;
    }
    frameTurnCond.notify_all();
}

void FrameTurn520::end() {
    if (!ended_.exchange(true)) dev_.endFrameTurn520(view_, turn_);
}

void VelDev::giveFrameCredit520(int viewId) {
    if (!validView(viewId)) return;
    std::lock_guard<std::mutex> lk(frameCreditMutex);
    int credits = 0;
    sem_getvalue(&frameFeedbackSemaphore[viewId], &credits);
    if (credits < kFrameCredits520) sem_post(&frameFeedbackSemaphore[viewId]);
}

namespace {
// Called with frameCreditMutex held.
void postCredit508(sem_t* credits) {
    int value = 0;
    sem_getvalue(credits, &value);
    if (value < kFrameCredits508) sem_post(credits);
}
}  // namespace

void VelDev::giveFrameCredit508() {
    std::lock_guard<std::mutex> lk(frameCreditMutex);
    postCredit508(&frameCreditSemaphore);
}

void VelDev::giveSentFrameCredit508() {
    std::lock_guard<std::mutex> lk(frameCreditMutex);
    ++creditsBackUnacked508;
    postCredit508(&frameCreditSemaphore);
}

void VelDev::giveAcknowledgedCredits508(uint32_t frames) {
    std::lock_guard<std::mutex> lk(frameCreditMutex);
    const uint32_t early = frames < creditsBackUnacked508 ? frames : creditsBackUnacked508;
    creditsBackUnacked508 -= early;
    frames -= early;
    // More than three would change nothing: the session never holds more.
    for (uint32_t i = 0; i < frames && i < static_cast<uint32_t>(kFrameCredits508); ++i)
        postCredit508(&frameCreditSemaphore);
}

void VelDev::refillFrameCredits508() {
    std::lock_guard<std::mutex> lk(frameCreditMutex);
    creditsBackUnacked508 = 0;
    while (sem_trywait(&frameCreditSemaphore) == 0) {
    }
    for (int i = 0; i < kFrameCredits508; ++i) sem_post(&frameCreditSemaphore);
}

void VelDev::refillFrameCredits520(int viewId) {
    if (!validView(viewId)) return;
    std::lock_guard<std::mutex> lk(frameCreditMutex);
    while (sem_trywait(&frameFeedbackSemaphore[viewId]) == 0) {
    }
    for (int i = 0; i < kFrameCredits520; ++i) sem_post(&frameFeedbackSemaphore[viewId]);
}

void VelDev::restartFrameOrder520(int viewId) {
    if (!validView(viewId)) return;
    std::lock_guard<std::mutex> lk(frameOrderMutex);
    lastQueuedFrame520[viewId] = 0;
    anyQueuedFrame520[viewId] = false;
}

void VelDev::dropFrame520(int viewId, bool creditTaken) {
    if (!validView(viewId)) return;
    sem_post(&updateToken[viewId]);
    if (creditTaken) giveFrameCredit520(viewId);
}

// Sets the view's encode parameters for a whole-view model-520 frame, takes its frame index with
// its turn in the view's send order and fills `region` for the current mode (the index in
// `*frameIndexOut`, the turn in `*turnOut`). 0, or -1 when the view has no usable pixel area (a
// non-XRGB view without its conversion buffer has nothing to convert from). Shared by both
// converters.
int VelDev::prepareWholeView520(int viewId, int quality, _VELRECT* region, int32_t* frameIndexOut,
                                std::shared_ptr<FrameTurn520>* turnOut,
                                std::shared_lock<PixelAreaLock>* holdOut) {
    {
        std::lock_guard<std::mutex> lk(pipelineStateMutex);
        encodeParams[viewId].formatCode = 0xE0;
        encodeParams[viewId].quality = quality;
        encodeParams[viewId].split = 0;
    }
    int32_t frameIndex = 0;
    _alignmentRect whole;
    {
        // Size, stride and pointer of one and the same mode, in the area the frame holds.
        std::unique_lock<std::mutex> lk(evdiGrabMutex[viewId], std::defer_lock);
        std::shared_lock<PixelAreaLock> hold;
        const int area = holdNewestArea(viewId, lk, &hold);
        // The turn is taken while no grab can make another area newest: a frame later in the
        // send order never shows an older picture than one before it, whatever order the frame
        // threads run in.
        *turnOut = takeFrameTurn520(viewId, &frameIndex);
        *frameIndexOut = frameIndex;
        const evdi_buffer& eb = pixelArea(viewId, area);
        if (!eb.buffer || eb.width <= 0 || eb.height <= 0 || eb.stride < eb.width * 4) return -1;
        whole.session = this;
        whole.width = eb.width;
        whole.height = eb.height;
        dataAlignmentJPG(&whole, viewId);
        get_rect_pointer(&whole, region, 32, eb.stride, viewId, area);
        if (!region->pixels) return -1;
        *holdOut = std::move(hold);
    }
    std::lock_guard<std::mutex> lk(pipelineStateMutex);
    encodeParams[viewId].rect = whole;
    regionRect[viewId] = *region;
    lastFrameIndex[viewId] = frameIndex;
    return 0;
}

// Converts the whole view to planar YUV 4:2:2 and hands the planes on. Runs on its own detached
// frame thread; does not block apart from the conversion itself.
int VelDev::rgb2Yuv520(_alignmentRect* rect, int viewId, int sequence, bool creditHeld) {
    (void)rect;
    if (!connected || exitFlag) {
        vel_Printf("(%s) this is null\n", "rgb2Yuv520");
        return -1;
    }
    if (!validView(viewId)) return -1;
    _VELRECT region;
    int32_t frameIndex = 0;
    std::shared_ptr<FrameTurn520> turn;
    std::shared_lock<PixelAreaLock> px;
    if (prepareWholeView520(viewId, 90, &region, &frameIndex, &turn, &px) != 0) return -1;
    if (!viewActive[viewId]) return -1;

    const unsigned long yuvSize = tjBufSizeYUV2(region.width, 1, region.height, TJSAMP_422);
    auto* yuv = velFrameBufferTake(yuvSize);
    tjhandle handle = yuv ? tjInitCompress() : nullptr;
    if (!handle) {
        vel_Printf("Thread init failed: %s\n", tjGetErrorStr());
        velFrameBufferGive(yuv);
        return -1;
    }
    region.buffer = yuv;
    for (int i = 0; i < 3; ++i) {
        region.planeSizes[i] =
            static_cast<uint32_t>(tjPlaneSizeYUV(i, region.width, 0, region.height, TJSAMP_422));
    }
    region.planes[0] = yuv;
    region.planes[1] = yuv + region.planeSizes[0];
    region.planes[2] = region.planes[1] + region.planeSizes[1];
    // Rows are passed at the buffer's stride (4 x width for every EVDI buffer of the service).
    const int rc = velEncodeYUVPlanes(handle, region.pixels, region.width, region.stride,
                                      region.height, TJPF_BGRX, region.planes, TJSAMP_422, 0);
    px.unlock();
    if (rc != 0) vel_Printf("[error] rgb2Yuv520 conversion failed: %s\n", tjGetErrorStr2(handle));
    tjDestroy(handle);
    if (rc != 0) {
        velFrameBufferGive(yuv);
        return -1;
    }

    _RECT_IN_ENCODE_Q record;
    record.session = this;
    record.rect = region;
    record.formatCode = 0xE0;
    record.quality = 90;
    record.split = 0;
    record.frameIndex = frameIndex;
    record.pieceFlags = 0x11;
    if (!startFrameThread("yuv2jpeg", viewId, [this, record, viewId, sequence, creditHeld, turn] {
            yuv2Jpeg520(record, viewId, sequence, creditHeld, turn);
        })) {
        velFrameBufferGive(yuv);
        return -1;
    }
    return 0;
}

// Body of the model-520 conversion thread (see the top of this file). threadId is not used.
void VelDev::processRectData520(int threadId, int firstView, int lastView, sem_t* wake) {
    (void)threadId;
    vel::threadInit("rgb2yuv520");
    const int first = firstView < 0 ? 0 : firstView;
    const int last = lastView >= VEL_MAX_VIEWS ? VEL_MAX_VIEWS - 1 : lastView;
    while (!exitFlag) {
        // Bounded only so the exit flag is seen; a time-out looks at no queue. Producers queue
        // their rectangles before they post, so the pass a post causes finds them.
        if (semWaitMillisecondQuiet(wake, 1000) != 0) continue;
        // Wake-ups that piled up meanwhile are covered by this one pass.
        while (sem_trywait(wake) == 0) {
        }
        for (int v = first; v <= last && !exitFlag; ++v) {
            if (!viewActive[v] || modeSetDone == 0) continue;
            const ViewTurn turn(*this, v);
            _alignmentRect merged;
            merged.session = this;
            if (!velMergeRectQueue(rectQueue[v], &merged)) continue;

            if (velEvdiNeedsConversion(pixelFormat[v])) {
                // Writes the conversion area, which a frame thread may still be reading.
                std::lock_guard<PixelAreaLock> px(pixelAreaLock[v]);
                std::lock_guard<std::mutex> lk(evdiGrabMutex[v]);
                const evdi_buffer& eb = evdiBuffer[v];
                if (velEvdiNeedsConversion(pixelFormat[v]) && convBuffer[v] && eb.buffer &&
                    eb.stride > 0 && eb.height > 0) {
                    velSwapPixelOrder(static_cast<const unsigned char*>(eb.buffer), convBuffer[v],
                                      static_cast<size_t>(eb.stride) * eb.height,
                                      eb.width * eb.height);
                }
            }

            // A timeout is logged by the wait; the frame goes ahead without a credit.
            const bool credit = semWaitSecond(&frameFeedbackSemaphore[v], 1) == 0;
            if (!credit) ++creditTimeouts520[v];
            if (exitFlag) {
                dropFrame520(v, credit);
                break;
            }
            const int sequence = frameCounter[v]++;
            const bool light = lightMode != 0;
            const bool started = startFrameThread(
                light ? "rgb2Jpeg520" : "rgb2Yuv520", v, [this, merged, v, sequence, credit, light] {
                    _alignmentRect r = merged;
                    const int rc = light ? rgb2Jpeg520(&r, v, sequence, credit)
                                         : rgb2Yuv520(&r, v, sequence, credit);
                    if (rc != 0) dropFrame520(v, credit);
                });
            if (!started) {
                dropFrame520(v, credit);
            } else if (light) {
                // Light-mode frames are counted as they start; smart-mode ones by the encoder
                // once their packet is queued.
                printFps(v);
            }
        }
    }
    for (int v = first; v <= last && v <= 2; ++v) rectQueue[v].clear();
    vel_Printf("velRgb2yuv[%d-%d] thread exit\n", firstView, lastView);
    waitFrameThreads();
}
