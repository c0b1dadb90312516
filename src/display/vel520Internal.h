// Helpers shared by the model-520 display-class sources (not part of the interface).
#pragma once

#include <cstdint>
#include <memory>

#include "service/OrfeLock.h"

class VelDev;

// The fatal exit: DevManager::usb_abort with the session's USB device. Never returns.
[[noreturn]] void vel520Abort(const std::shared_ptr<VelDev>& dev);

// Holds commandLock for one exchange and releases it exactly once.
class ExchangeLock {
  public:
    explicit ExchangeLock(COrfeLock& lock) : m_lock(lock) { m_lock.getLock(); }
    ~ExchangeLock() { release(); }
    ExchangeLock(const ExchangeLock&) = delete;
    ExchangeLock& operator=(const ExchangeLock&) = delete;
    void release() {
        if (m_held) m_lock.releaseLock();
        m_held = false;
    }

  private:
    COrfeLock& m_lock;
    bool m_held = true;
};

// The semaphore group of a display device: its low byte (the receive thread routes by it).
inline int groupOf(uint16_t displayDevice) { return displayDevice & 0xFF; }
