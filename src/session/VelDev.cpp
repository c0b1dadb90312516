#include "session/VelDev.h"
#include "session/plugMonitor.h"

#include <libusb-1.0/libusb.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "devmgr/DevManager.h"
#include "display/VelDisplayClassDriverBase.h"
#include "service/debug.h"
#include "service/threads.h"

std::atomic<int> VelDev::s_convThreadCount{0};

namespace {
const int kControlReplyCodes[10] = {0x30, 0x3F, 0x41, 0x40, 0x4C, 0x32, 0x31, 0x42, 0xD7, 0xFF};
}

VelDev::VelDev(DevManager* owner_) : owner(owner_), cursorStaging(new unsigned char[VEL_CURSOR_STAGING_SIZE]()) {
    for (int v = 0; v < VEL_MAX_VIEWS; ++v) {
        viewTable[v] = {-1, 0};
        sem_init(&g_sem_mainThread[v], 0, 0);
        sem_init(&sem_mainThread_step2[v], 0, 0);
        sem_init(&g_sem_cwThread[v], 0, 0);
        sem_init(&sem_cwThread_step2[v], 0, 0);
    }
    sem_init(&frameCreditSemaphore, 0, 3);
    for (int v = 0; v < VEL_MAX_VIEWS; ++v) {
        sem_init(&updateToken[v], 0, 1);
        sem_init(&convWake[v], 0, 0);
        sem_init(&frameFeedbackSemaphore[v], 0, 4);
    }
    for (int i = 0; i < 10; ++i) controlReplies[i].code = kControlReplyCodes[i];

    // The epoll set and its stop descriptor exist before the epoll thread starts, so the
    // destructor can always wake it.
    stopFd = eventfd(0, EFD_CLOEXEC);
    epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd >= 0 && stopFd >= 0) {
        struct epoll_event ev {};
        ev.events = EPOLLIN;
        ev.data.fd = stopFd;
        epoll_ctl(epollFd, EPOLL_CTL_ADD, stopFd, &ev);
    }

    viewsPerConvThread = 3;
    for (int k = 0; k * viewsPerConvThread < VEL_MAX_VIEWS; ++k) {
        int first = k * viewsPerConvThread;
        int last = first + viewsPerConvThread - 1;
        if (last >= VEL_MAX_VIEWS) last = VEL_MAX_VIEWS - 1;
        int id = s_convThreadCount.fetch_add(1);
        convThreadId[k] = id;
        for (int v = first; v <= last; ++v) view2ConvThread[v] = k;
        convThreads[k] = std::thread(&VelDev::processRectData520, this, id, first, last, &convWake[k]);
    }
    sendThread = std::thread(&VelDev::velSendImgThread, this);
    epollThread = std::thread(&VelDev::epollEvdiEventThread, this);
}

VelDev::~VelDev() {
    exitFlag = true;
    for (int v = 0; v < VEL_MAX_VIEWS; ++v) {
        sem_post(&convWake[v]);
        sem_post(&updateToken[v]);
        for (int i = 0; i < 4; ++i) sem_post(&frameFeedbackSemaphore[v]);
    }
    for (auto& t : convThreads) {
        if (t.joinable()) t.join();
    }
    for (int v = 0; v < VEL_MAX_VIEWS; ++v) stopPipeline508(v);
    // Drain the send queue and cancel it, so the send thread leaves its timed pop at once.
    while (auto p = sendQueue.trypop()) free(p->buffer);
    sendQueue.setcancel();
    uint64_t one = 1;
    if (write(stopFd, &one, sizeof one) == static_cast<ssize_t>(sizeof one)) {
        vel_Print("write stop signal to notify fd success\n");
    } else {
        vel_Printf("write error: %s\n", strerror(errno));
    }
    if (sendThread.joinable()) sendThread.join();
    if (epollThread.joinable()) epollThread.join();
    if (stopFd >= 0) close(stopFd);
    if (epollFd >= 0) close(epollFd);
    sem_destroy(&frameCreditSemaphore);
    vel::sleepMs(100);

    displayClass.reset();
    // Whatever is still queued holds packet buffers that only the pipeline frees.
    while (auto p = sendQueue.trypop()) free(p->buffer);
    for (int v = 0; v < VEL_MAX_VIEWS; ++v) {
        while (auto e = encodeQueue[v].trypop()) free(e->rect.buffer);
        free(convBuffer[v]);
        convBuffer[v] = nullptr;
        free(evdiBuffer[v].buffer);
        evdiBuffer[v].buffer = nullptr;
        free(secondArea[v].buffer);
        secondArea[v].buffer = nullptr;
        delete evdiUserData[v];
        evdiUserData[v] = nullptr;
        sem_destroy(&updateToken[v]);
        sem_destroy(&convWake[v]);
        sem_destroy(&frameFeedbackSemaphore[v]);
        sem_destroy(&g_sem_mainThread[v]);
        sem_destroy(&sem_mainThread_step2[v]);
        sem_destroy(&g_sem_cwThread[v]);
        sem_destroy(&sem_cwThread_step2[v]);
    }
    if (displayOffSemInit) sem_destroy(&displayOffSemaphore);
}

void VelDev::openTimeReset() {
    connected = true;
    frameIndex508Reported = 1;  // index 1 is never sent: the first frame is 2
    frameIndex508Next = 1;
    pluggedMonitors = 0;
    target2View.clear();
    modeSetDone = 0;
    for (int v = 0; v < VEL_MAX_VIEWS; ++v) {
        rememberedAlt[v] = 0;
        frameCounter[v] = 0;
        frameIndex520[v] = 1;
    }
    if (displayOffSemInit) sem_destroy(&displayOffSemaphore);
    sem_init(&displayOffSemaphore, 0, 0);
    displayOffSemInit = true;
    for (int i = 0; i < 10; ++i) controlReplies[i].code = kControlReplyCodes[i];
    edidQueue.clear();
}

bool VelDev::goingAway() const {
    if (exitFlag || !connected || usbGone || viewsClosed || g_exitRequested) return true;
    const std::shared_ptr<VelDisplayClassBase> dc = displayClass;
    return dc && dc->displayClassExitFlag;
}

void VelDev::closeUsbHandle(std::chrono::milliseconds limit) {
    libusb_device_handle* handle = nullptr;
    {
        std::unique_lock<std::mutex> lk(usbTransferMutex, std::defer_lock);
        const auto until = std::chrono::steady_clock::now() + limit;
        while (!lk.try_lock()) {
            if (std::chrono::steady_clock::now() >= until) {
                vel_Printf("[warning] Dev[%d] USB handle left open: a transfer is still running\n",
                           devKey.load());
                return;
            }
            vel::sleepMs(5);
        }
        // Cleared under the lock: the send thread's next transfer finds no handle and only
        // frees its packet.
        handle = usbHandle;
        usbHandle = nullptr;
    }
    if (!handle) return;
    libusb_release_interface(handle, interfaceNumber);
    libusb_close(handle);
}

void VelDev::clearQueueData(int viewId) {
    if (viewId < 0 || viewId >= VEL_MAX_VIEWS) return;
    if (!rectQueue[viewId].isCancelled() && !rectQueue[viewId].empty()) {
        vel_Print("Gobal queue not empty, need clear it!\n");
        rectQueue[viewId].clear();
    }
    if (!encodeQueue[viewId].isCancelled() && !encodeQueue[viewId].empty()) {
        vel_Print("YUV queue not empty, need clear it!\n");
        while (auto e = encodeQueue[viewId].trypop()) free(e->rect.buffer);
    }
    if (!sendQueue.isCancelled() && velPlugDropViewPackets(sendQueue, viewId) > 0)
        vel_Print("Send queue not empty, need clear it!\n");
}
