// A device model that takes every OUT transfer, records it, and sends nothing IN unless a test
// queues IN data. The base for bus tests and for service tests that only watch what is sent.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <vector>

#include "emulator/usb/device_model.h"

namespace emu {

class SilentAdapter : public DeviceModel {
  public:
    struct OutRecord {
        uint8_t endpoint = 0;
        std::vector<uint8_t> bytes;
    };

    Status out(uint8_t endpoint, const uint8_t* data, size_t length) override;
    Status in(uint8_t endpoint, InBuffer& buffer) override;
    void onReset() override;
    void onClaim(int interfaceNumber) override;
    void onRelease(int interfaceNumber) override;
    Status onSetAltSetting(int interfaceNumber, int altSetting) override;

    // Thread-safe test side. queueIn wakes a transfer waiting on `endpoint`.
    void queueIn(uint8_t endpoint, std::vector<uint8_t> bytes);
    std::vector<OutRecord> outTransfers();
    size_t outCount();
    // Blocks until at least `count` OUT transfers were recorded, or `timeout` passes.
    bool waitForOut(size_t count, std::chrono::milliseconds timeout);
    void clearRecords();

    int resets();
    int claims(int interfaceNumber);
    int altSetting(int interfaceNumber);  // last one the device accepted, 0 before any

  private:
    InQueue inQueue_;                // guarded by mutex()
    std::vector<OutRecord> outs_;    // guarded by mutex()
    std::condition_variable outCv_;  // signalled on every recorded OUT
    int resets_ = 0;                 // guarded by mutex()
    std::map<int, int> claims_;      // guarded by mutex(): interface -> claims seen
    std::map<int, int> alts_;        // guarded by mutex()
};

}  // namespace emu
