// Work queues, lock classes and timed semaphore waits.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <chrono>
#include <thread>

#include "service/OrfeLock.h"
#include "service/threadLock.h"
#include "service/threads.h"
#include "testSupport.h"

using namespace std::chrono;

TEST(Queue, CancelledQueueDropsPushesAndYieldsNothing) {
    threadsafe_queue<int> q;
    q.push(1);
    q.setcancel();
    q.push(2);
    EXPECT_EQ(q.trypop(), nullptr);
    EXPECT_EQ(q.waitpop(), nullptr);
    EXPECT_EQ(q.timedpop(milliseconds(10)), nullptr);
    q.clear();  // does nothing on a cancelled queue
    EXPECT_TRUE(q.isCancelled());
    q.setcancel();  // idempotent
}

TEST(Queue, TwoPushesWakeTheWaiterWhoFindsBoth) {
    threadsafe_queue<int> q;
    std::atomic<int> got{0};
    std::thread consumer([&] {
        auto first = q.waitpop();
        ASSERT_TRUE(first);
        got += *first;
        // The second push did not signal (the queue was not empty): drain with trypop.
        vtest::waitFor([&] { return !q.empty(); }, milliseconds(500));
        while (auto more = q.trypop()) got += *more;
    });
    std::this_thread::sleep_for(milliseconds(20));
    q.push(1);
    q.push(2);
    consumer.join();
    EXPECT_EQ(got, 3);
}

TEST(Queue, SetCancelWakesEveryWaiter) {
    threadsafe_queue<int> q;
    std::atomic<int> nulls{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) waiters.emplace_back([&] {
        if (!q.waitpop()) ++nulls;
    });
    std::this_thread::sleep_for(milliseconds(20));
    q.setcancel();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(nulls, 4);
}

TEST(Queue, RemoveIfTakesTheSelectedAndKeepsTheOrderOfTheRest) {
    threadsafe_queue<int> q;
    for (int i = 1; i <= 6; ++i) q.push(i);
    const auto even = q.removeIf([](int v) { return v % 2 == 0; });
    ASSERT_EQ(even.size(), 3u);
    EXPECT_EQ(*even[0], 2);
    EXPECT_EQ(*even[2], 6);
    for (int want : {1, 3, 5}) EXPECT_EQ(*q.trypop(), want);
    EXPECT_TRUE(q.removeIf([](int) { return true; }).empty());
}

TEST(Queue, ElementOutlivesClear) {
    threadsafe_queue<std::string> q;
    q.push("kept");
    auto held = q.trypop();
    q.push("gone");
    q.clear();
    EXPECT_EQ(*held, "kept");
    EXPECT_TRUE(q.empty());
    EXPECT_FALSE(q.isCancelled());
}

TEST(Queue, TimedPopGivesUpAfterItsTimeout) {
    threadsafe_queue<int> q;
    auto t0 = steady_clock::now();
    EXPECT_EQ(q.timedpop(milliseconds(100)), nullptr);
    auto ms = duration_cast<milliseconds>(steady_clock::now() - t0).count();
    EXPECT_GE(ms, 95);
    EXPECT_LT(ms, 3000 * vtest::kTimeScale);  // late only by the machine's load
}

TEST(Locks, RecursiveCommandLockDoesNotBlockItsOwner) {
    COrfeLock lock;
    lock.getLock();
    lock.getLock();
    lock.releaseLock();
    std::atomic<bool> taken{false};
    std::thread other([&] {
        lock.getLock();
        taken = true;
        lock.releaseLock();
    });
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_FALSE(taken);  // still held once
    lock.releaseLock();
    other.join();
    EXPECT_TRUE(taken);
}

TEST(Locks, ScopeGuardLocksAndUnlocks) {
    CMutex m;
    int counter = 0;
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; ++i) ts.emplace_back([&] {
        for (int j = 0; j < 10000; ++j) {
            CthreadLock guard(m);
            ++counter;
        }
    });
    for (auto& t : ts) t.join();
    EXPECT_EQ(counter, 40000);
}

// A grab waits for every converter reading the pixel area; a converter handing half its area to
// another thread is let in even while the grab waits (no deadlock between the halves and a grab).
TEST(Locks, PixelAreaWriterWaitsForReadersWhoAreNotHeldBehindIt) {
    PixelAreaLock lock;
    lock.lock_shared();
    std::atomic<bool> written{false};
    std::thread writer([&] {
        std::lock_guard<PixelAreaLock> w(lock);
        written = true;
    });
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_FALSE(written);
    std::atomic<bool> secondReader{false};
    std::thread reader([&] {
        std::shared_lock<PixelAreaLock> r(lock);
        secondReader = true;
    });
    EXPECT_TRUE(vtest::waitFor([&] { return secondReader.load(); }, seconds(10)));
    reader.join();
    EXPECT_FALSE(written);
    lock.unlock_shared();
    writer.join();
    EXPECT_TRUE(written);

    lock.lock();
    std::atomic<bool> read{false};
    std::thread late([&] {
        std::shared_lock<PixelAreaLock> r(lock);
        read = true;
    });
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_FALSE(read);
    lock.unlock();
    late.join();
    EXPECT_TRUE(read);
}

TEST(SemWait, SecondTimeoutLogsItsWarning) {
    vtest::IsolatedEnv env;
    sem_t s;
    sem_init(&s, 0, 0);
    auto t0 = steady_clock::now();
    EXPECT_EQ(semWaitSecond(&s, 1), -1);
    auto ms = duration_cast<milliseconds>(steady_clock::now() - t0).count();
    // Never early; late only by as much as a loaded machine may make it.
    EXPECT_GE(ms, 900);
    EXPECT_LT(ms, 5000 * vtest::kTimeScale);
    EXPECT_GE(vtest::findLine(env.logLines(), "[warning] waiting 1 seconds timed out"), 0);
    sem_post(&s);
    EXPECT_EQ(semWaitSecond(&s, 1), 0);
    sem_destroy(&s);
}

TEST(SemWait, MillisecondDeadlineIsNormalised) {
    struct timespec now {10, 600000000L};
    struct timespec d = semDeadlineMillisecond(now, 1500);
    EXPECT_EQ(d.tv_sec, 12);
    EXPECT_EQ(d.tv_nsec, 100000000L);
    struct timespec z {10, 0};
    d = semDeadlineMillisecond(z, 1500);
    EXPECT_EQ(d.tv_sec, 11);
    EXPECT_EQ(d.tv_nsec, 500000000L);
}

TEST(SemWait, SignalDuringWaitDoesNotFailIt) {
    vtest::IsolatedEnv env;
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigaction(SIGUSR1, &sa, nullptr);  // no SA_RESTART: sem_timedwait sees EINTR
    sem_t s;
    sem_init(&s, 0, 0);
    pthread_t waiter = pthread_self();
    std::thread poster([&] {
        std::this_thread::sleep_for(milliseconds(50));
        pthread_kill(waiter, SIGUSR1);
        std::this_thread::sleep_for(milliseconds(50));
        sem_post(&s);
    });
    EXPECT_EQ(semWaitMillisecond(&s, 2000), 0);
    poster.join();
    EXPECT_EQ(vtest::findLine(env.logLines(), "sem_timedwait error"), -1);
    sem_destroy(&s);
}

// The worker woken by a thread that keeps computing may not start on that thread's CPU, and has
// all of its CPUs again once awake; with a single CPU to run on nothing is changed.
TEST(WakeElsewhere, KeepsTheWorkerOffTheWakersCpuUntilItIsAwake) {
    cpu_set_t all;
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    vel::WakeElsewhere wake;
    EXPECT_EQ(wake.steer(), -1);  // no worker yet
    std::atomic<pid_t> tid{0};
    std::atomic<int> step{0};
    cpu_set_t before, during, after;
    std::thread worker([&] {
        wake.attach();
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        step = 1;
        while (step.load() != 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        sched_getaffinity(0, sizeof during, &during);
        wake.release();
        sched_getaffinity(0, sizeof after, &after);
        step = 3;
    });
    while (step.load() != 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    sched_getaffinity(tid, sizeof before, &before);
    const int cpu = wake.steer();
    if (CPU_COUNT(&all) > 1) {
        ASSERT_GE(cpu, 0);
        EXPECT_EQ(wake.steer(), -1);  // not released yet: left as it is
    } else {
        EXPECT_EQ(cpu, -1);
    }
    step = 2;
    worker.join();
    cpu_set_t expected = before;
    if (cpu >= 0) CPU_CLR(cpu, &expected);
    EXPECT_TRUE(CPU_EQUAL(&during, &expected));
    EXPECT_TRUE(CPU_EQUAL(&after, &before));
    wake.detach();
    EXPECT_EQ(wake.steer(), -1);  // a worker that ended is never steered
}
