// Lock classes. CMutex is a plain (non-recursive) mutex behind the ILock interface; CthreadLock is
// its scope guard. COrfeLock is the recursive command lock of the model-520 display class: an
// exchange may start another exchange on the same thread.
#pragma once

#include <pthread.h>

class ILock {
public:
    virtual ~ILock() = default;
    virtual void lock() const = 0;
    virtual void unlock() const = 0;
};

class CMutex : public ILock {
public:
    CMutex() { pthread_mutex_init(&m_mutex, nullptr); }
    ~CMutex() override { pthread_mutex_destroy(&m_mutex); }
    CMutex(const CMutex&) = delete;
    CMutex& operator=(const CMutex&) = delete;
    void lock() const override { pthread_mutex_lock(&m_mutex); }
    void unlock() const override { pthread_mutex_unlock(&m_mutex); }

private:
    mutable pthread_mutex_t m_mutex;
};

class CthreadLock {
public:
    explicit CthreadLock(const ILock& lock) : m_lock(lock) { m_lock.lock(); }
    ~CthreadLock() { m_lock.unlock(); }
    CthreadLock(const CthreadLock&) = delete;
    CthreadLock& operator=(const CthreadLock&) = delete;

private:
    const ILock& m_lock;
};

class COrfeLock {
public:
    COrfeLock() {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(&m_mutex, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    ~COrfeLock() { pthread_mutex_destroy(&m_mutex); }
    COrfeLock(const COrfeLock&) = delete;
    COrfeLock& operator=(const COrfeLock&) = delete;
    void getLock() { pthread_mutex_lock(&m_mutex); }
    void releaseLock() { pthread_mutex_unlock(&m_mutex); }

private:
    pthread_mutex_t m_mutex;
};
