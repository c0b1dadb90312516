#include "service/threadLock.h"

#include <cerrno>
#include <ctime>

#include "service/debug.h"

namespace {

int timedWait(sem_t* sem, const struct timespec& deadline, const char* timeoutFmt, int amount) {
    int r;
    do {
        r = sem_timedwait(sem, &deadline);
    } while (r != 0 && errno == EINTR);
    if (r == 0) return 0;
    if (errno == ETIMEDOUT) {
        vel_Printf(timeoutFmt, amount);
    } else {
        vel_Print("[error] sem_timedwait error\n");
    }
    return -1;
}

}  // namespace

struct timespec semDeadlineMillisecond(const struct timespec& now, int milliseconds) {
    struct timespec ts = now;
    ts.tv_sec += milliseconds / 1000;
    ts.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

int semWaitSecond(sem_t* sem, int seconds) {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_sec += seconds;
    return timedWait(sem, ts, "[warning] waiting %d seconds timed out\n", seconds);
}

int semWaitMillisecond(sem_t* sem, int milliseconds) {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return timedWait(sem, semDeadlineMillisecond(now, milliseconds),
                     "[warning] waiting %d milliseconds timed out\n", milliseconds);
}

int semWaitMillisecondQuiet(sem_t* sem, int milliseconds) {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    struct timespec deadline = semDeadlineMillisecond(now, milliseconds);
    int r;
    do {
        r = sem_timedwait(sem, &deadline);
    } while (r != 0 && errno == EINTR);
    return r == 0 ? 0 : -1;
}
