// The session's EVDI event loop: one epoll set over the views' EVDI descriptors and the stop
// descriptor (created with the session, before this thread starts).
//
// Concurrency: only the epoll thread dispatches events, holding evdiDispatchMutex around each
// dispatch. Removing a view's descriptor (plug-out, on a hot-plug worker) takes the same mutex,
// so once evdiEventCtlFd(view, EPOLL_CTL_DEL) has returned no handler of that view runs or will
// start, and the caller may close the view's EVDI handle. Update tasks started by the handlers
// are waited for before the thread ends (see evdiHandlers.h).
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "devmgr/DevManager.h"
#include "service/debug.h"
#include "service/threads.h"
#include "session/VelDev.h"
#include "session/evdiHandlers.h"

namespace {
// Event data of a view's descriptor: the view id under a tag bit that no descriptor number
// (the stop descriptor's event data) can carry, so a low-numbered stop descriptor is never
// mistaken for a view.
constexpr uint64_t kViewTag = 1ull << 40;
constexpr int kMaxEvents = 10;
}  // namespace

void VelDev::epollEvdiEventThread() {
    vel::threadInit("pollEvdiEve");
    if (epollFd < 0) {
        perror("epoll_create1");
        exit(1);
    }
    velEvdiSetDispatchSession(this);
    struct epoll_event events[kMaxEvents];
    int failures = 0;
    while (!exitFlag) {
        // Bounded, so the loop still sees the exit flag if the stop write ever failed.
        int n = epoll_wait(epollFd, events, kMaxEvents, 1000);
        if (n < 0) {
            int err = errno;
            if (err != EINTR && (exitFlag || !connected)) {
                vel_Print("[error] epoll_wait error\n");
                if (g_dev) g_dev->usb_abort(usbDevice);
                break;  // no manager to end the process: end the loop instead
            }
            vel_Print("[info] repoll due to other reasons, maybe in idle state\n");
            // A persistent failure must not turn into a busy loop.
            if (++failures > 3) vel::sleepMs(10);
            continue;
        }
        failures = 0;
        for (int i = 0; i < n; ++i) {
            const uint64_t data = events[i].data.u64;
            if (!(data & kViewTag)) {
                if (events[i].data.fd == stopFd) {
                    vel_Print("epoll get exit notifyFd\n");
                    // Drained, so a stray write without the exit flag cannot keep it ready.
                    uint64_t value = 0;
                    ssize_t drained = read(stopFd, &value, sizeof value);
                    (void)drained;
                    break;
                }
                continue;
            }
            const int viewId = static_cast<int>(data & 0xFF);
            if (viewId >= VEL_MAX_VIEWS) continue;
            std::lock_guard<std::mutex> lk(evdiDispatchMutex);
            if (!evdiListening[viewId] || !evdiHandle[viewId]) continue;
            evdi_handle_events(evdiHandle[viewId], &evdiContext[viewId]);
        }
    }
    velEvdiWaitUpdateTasks(*this);
    velEvdiSetDispatchSession(nullptr);
    vel_Print("epollEvdiEvent thread exit\n");
}

int VelDev::evdiEventCtlFd(int viewId, int op) {
    if (viewId < 0 || viewId >= VEL_MAX_VIEWS || !evdiHandle[viewId] || epollFd < 0) return -1;
    if (op != EPOLL_CTL_ADD && op != EPOLL_CTL_DEL) return -1;
    const int listenFd = evdi_get_event_ready(evdiHandle[viewId]);
    vel_Printf("[info] evdi fd control: op:%d, viewId:%d, listen_fd:%d\n", op, viewId, listenFd);
    struct epoll_event ev {};
    ev.events = EPOLLIN;
    ev.data.u64 = kViewTag | static_cast<uint64_t>(viewId);
    // The descriptor belongs to the EVDI library (evdi_close closes it): a failed registration
    // leaves it open.
    // On the epoll thread itself the dispatch already holds the mutex.
    auto setListening = [this, viewId](bool listening) {
        std::unique_lock<std::mutex> lk(evdiDispatchMutex, std::defer_lock);
        if (!velEvdiOnDispatchThread(this)) lk.lock();
        evdiListening[viewId] = listening;
    };
    if (op == EPOLL_CTL_ADD) {
        setListening(true);
        if (epoll_ctl(epollFd, op, listenFd, &ev) != 0) {
            perror("epoll_ctl: listen_fd");
            setListening(false);
            return -1;
        }
        vel_Printf("epoll_ctl: listen_fd:%d add\n", listenFd);
        return 0;
    }
    int rc = epoll_ctl(epollFd, op, listenFd, &ev);
    if (rc != 0) perror("epoll_ctl: listen_fd");
    // An event of this view already taken from the set must not be dispatched after this.
    setListening(false);
    if (rc != 0) return -1;
    vel_Printf("epoll_ctl: listen_fd:%d del\n", listenFd);
    return 0;
}
