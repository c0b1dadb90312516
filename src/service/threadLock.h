// Work queues and timed semaphore waits shared by every thread of the service.
//
// threadsafe_queue<T>: unbounded blocking queue of shared elements with permanent cancellation.
// push wakes one waiter only on the empty -> non-empty transition, so consumers always re-test
// the state after waking and batch with trypop. Once setcancel() ran, the queue accepts and yields
// nothing for the rest of its life; that is how clean-up releases blocked consumers. The queue's
// mutex is held only for the deque operation and no second lock is taken under it (a leaf lock).
#pragma once

#include <semaphore.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

template <typename T>
class threadsafe_queue {
public:
    threadsafe_queue() = default;
    threadsafe_queue(const threadsafe_queue&) = delete;
    threadsafe_queue& operator=(const threadsafe_queue&) = delete;
    ~threadsafe_queue() { setcancel(); }

    void push(T value) {
        auto item = std::make_shared<T>(std::move(value));
        std::unique_lock<std::mutex> lk(mut);
        if (cancelled) return;  // dropped; the element dies with `item`
        bool wasEmpty = data.empty();
        data.push_back(std::move(item));
        lk.unlock();
        if (wasEmpty) cond.notify_one();
    }

    // Blocks until an element is available or the queue is cancelled (then returns null).
    std::shared_ptr<T> waitpop() {
        std::unique_lock<std::mutex> lk(mut);
        cond.wait(lk, [this] { return cancelled || !data.empty(); });
        return takeFrontLocked();
    }

    // As waitpop, but gives up after `timeout` (monotonic clock) and returns null.
    std::shared_ptr<T> timedpop(std::chrono::milliseconds timeout = std::chrono::seconds(1)) {
        std::unique_lock<std::mutex> lk(mut);
        cond.wait_for(lk, timeout, [this] { return cancelled || !data.empty(); });
        return takeFrontLocked();
    }

    std::shared_ptr<T> trypop() {
        std::lock_guard<std::mutex> lk(mut);
        return takeFrontLocked();
    }

    void clear() {
        std::deque<std::shared_ptr<T>> old;
        std::lock_guard<std::mutex> lk(mut);
        if (cancelled) return;
        old.swap(data);
    }

    // Takes out, in queue order, every element `pred` selects; the others keep their places.
    template <typename Pred>
    std::vector<std::shared_ptr<T>> removeIf(Pred pred) {
        std::vector<std::shared_ptr<T>> taken;
        std::lock_guard<std::mutex> lk(mut);
        for (auto it = data.begin(); it != data.end();) {
            if (pred(**it)) {
                taken.push_back(std::move(*it));
                it = data.erase(it);
            } else {
                ++it;
            }
        }
        return taken;
    }

    void setcancel() {
        std::deque<std::shared_ptr<T>> old;
        {
            std::lock_guard<std::mutex> lk(mut);
            if (cancelled) return;
            cancelled = true;
            old.swap(data);
        }
        cond.notify_all();
    }

    // Re-opens a cancelled queue. Only clean-up and plug-in use this, once no consumer waits.
    void resetcancel() {
        std::lock_guard<std::mutex> lk(mut);
        cancelled = false;
    }

    bool empty() const {
        std::lock_guard<std::mutex> lk(mut);
        return data.empty();
    }
    size_t size() const {
        std::lock_guard<std::mutex> lk(mut);
        return data.size();
    }
    bool isCancelled() const {
        std::lock_guard<std::mutex> lk(mut);
        return cancelled;
    }

private:
    std::shared_ptr<T> takeFrontLocked() {
        if (cancelled || data.empty()) return nullptr;
        std::shared_ptr<T> front = std::move(data.front());
        data.pop_front();
        return front;
    }

    mutable std::mutex mut;  // guards data and cancelled
    std::deque<std::shared_ptr<T>> data;
    std::condition_variable cond;
    bool cancelled = false;
};

// Guards a pixel area that one writer fills (a grab) and several stages read (the converters).
// Readers share it; a writer has it alone. A reader never waits behind a writer that is only
// waiting: a stage that holds a read lock may hand the rest of its area to another thread that
// takes a read lock of its own, and must not deadlock against a grab queued in between.
class PixelAreaLock {
public:
    void lock_shared() {
        std::unique_lock<std::mutex> lk(mut);
        cond.wait(lk, [this] { return !writing; });
        ++readers;
    }
    void unlock_shared() {
        std::lock_guard<std::mutex> lk(mut);
        if (--readers == 0) cond.notify_all();
    }
    void lock() {
        std::unique_lock<std::mutex> lk(mut);
        cond.wait(lk, [this] { return !writing && readers == 0; });
        writing = true;
    }
    void unlock() {
        {
            std::lock_guard<std::mutex> lk(mut);
            writing = false;
        }
        cond.notify_all();
    }
    // Read or written by someone now.
    bool inUse() {
        std::lock_guard<std::mutex> lk(mut);
        return writing || readers > 0;
    }
    // Waits at most `limit` until nobody reads or writes; false if someone still does.
    bool waitUnused(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lk(mut);
        return cond.wait_for(lk, limit, [this] { return !writing && readers == 0; });
    }

private:
    std::mutex mut;  // a leaf lock: held only to test and change the two fields
    std::condition_variable cond;
    int readers = 0;
    bool writing = false;
};

// Timed semaphore waits on CLOCK_REALTIME deadlines. Return 0 when the semaphore was taken and
// -1 on timeout or error (both logged). A signal that interrupts the wait does not end it: the
// wait is resumed with the same deadline, so a SIGTERM on the way to shutdown cannot turn into a
// spurious "failed" wait somewhere in the pipeline.
int semWaitSecond(sem_t* sem, int seconds);
int semWaitMillisecond(sem_t* sem, int milliseconds);
// Builds the deadline semWaitMillisecond uses (exposed for tests).
struct timespec semDeadlineMillisecond(const struct timespec& now, int milliseconds);
// As semWaitMillisecond, without logging a time-out: for waits that time out by design (a
// thread that polls its stop flag while idle).
int semWaitMillisecondQuiet(sem_t* sem, int milliseconds);
