// Thread set-up shared by every worker thread of the service.
#pragma once

#include <sched.h>
#include <sys/types.h>

#include <atomic>

namespace vel {

// Names the calling thread (at most 15 characters are kept) and blocks SIGINT, SIGQUIT and
// SIGTERM in it, so that those signals always reach the main thread, which is the one that
// turns them into an orderly stop; no worker's blocking call is ever interrupted by them.
void threadInit(const char* name);

// Sleeps for `ms` milliseconds, resuming after interruptions.
void sleepMs(long ms);

// A worker thread that another thread wakes and then keeps computing beside it. When no CPU
// looks idle at the instant of the wake-up (the thread that fed the waker is often just about to
// sleep on the other one), the scheduler queues the worker on the waker's CPU, and the two then
// share that CPU while another one idles for milliseconds. The waker calls steer() right before
// it wakes the worker: the worker may then not run on the waker's CPU, so it starts on another
// one; the worker calls release() once awake, which gives it back the CPUs it had. Nothing is
// changed when the worker may only run on the waker's CPU or a call fails.
class WakeElsewhere {
public:
    // By the worker, once, before it first waits.
    void attach();
    // By the waker, before the post that wakes the worker. Returns the CPU the worker was kept
    // off, or -1 when it was left as it was.
    int steer();
    // By the worker, after each wake-up.
    void release();
    // By the worker, before it ends: it is steered no more.
    void detach();

private:
    std::atomic<pid_t> worker_{0};
    std::atomic<bool> steered_{false};
    cpu_set_t allowed_{};  // the worker's CPUs before steer(); published by steered_
};

}  // namespace vel
