#include "service/threads.h"

#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>

#include <cerrno>
#include <ctime>

namespace vel {

void threadInit(const char* name) {
    prctl(PR_SET_NAME, name, 0, 0, 0);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGQUIT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void sleepMs(long ms) {
    struct timespec req {ms / 1000, (ms % 1000) * 1000000L};
    struct timespec rem {};
    while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

}  // namespace vel
