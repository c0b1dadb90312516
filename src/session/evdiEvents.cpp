// The session's EVDI event loop: one epoll set over the views' EVDI descriptors and the stop
// descriptor.
#include <sys/epoll.h>

#include <cerrno>

#include "service/threads.h"
#include "session/VelDev.h"

void VelDev::epollEvdiEventThread() {
    vel::threadInit("pollEvdiEve");
    struct epoll_event events[8];
    while (!exitFlag) {
        int n = epoll_wait(epollFd, events, 8, 1000);
        if (n < 0 && errno != EINTR) break;
        for (int i = 0; i < n; ++i) {
            if (events[i].data.fd == stopFd) return;
        }
    }
}
