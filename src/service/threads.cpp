#include "service/threads.h"

#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

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

void WakeElsewhere::attach() { worker_.store(static_cast<pid_t>(syscall(SYS_gettid))); }

int WakeElsewhere::steer() {
    const pid_t worker = worker_.load();
    // Not attached, or the last steer() not released yet (the worker did not wake since).
    if (worker <= 0 || steered_.load(std::memory_order_acquire)) return -1;
    const int cpu = sched_getcpu();
    cpu_set_t allowed;
    if (cpu < 0 || sched_getaffinity(worker, sizeof allowed, &allowed) != 0) return -1;
    cpu_set_t elsewhere = allowed;
    CPU_CLR(cpu, &elsewhere);
    if (!CPU_ISSET(cpu, &allowed) || CPU_COUNT(&elsewhere) == 0) return -1;
    allowed_ = allowed;
    if (sched_setaffinity(worker, sizeof elsewhere, &elsewhere) != 0) return -1;
    steered_.store(true, std::memory_order_release);
    return cpu;
}

void WakeElsewhere::detach() { worker_.store(0); }

void WakeElsewhere::release() {
    if (!steered_.load(std::memory_order_acquire)) return;
    sched_setaffinity(0, sizeof allowed_, &allowed_);
    steered_.store(false, std::memory_order_release);
}

}  // namespace vel
