// Plays the bus front-end for one device model, without libusb: OUT bytes go to the model under
// its mutex as a front-end would hand them over, IN packets are taken from it with bounded
// polling. For tests of a model's protocol alone.
#pragma once

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "emulator/usb/device_model.h"

namespace vtest {

class ModelDriver {
  public:
    explicit ModelDriver(emu::DeviceModel& model) : model_(model) { model_.onAttach(); }
    ~ModelDriver() { model_.onDetach(); }

    emu::Status send(uint8_t endpoint, const std::vector<uint8_t>& bytes) {
        std::lock_guard<std::mutex> lk(model_.mutex());
        return model_.out(endpoint, bytes.data(), bytes.size());
    }
    // The next IN transfer of up to `capacity` bytes on `endpoint`; empty when none comes within
    // `timeout`.
    std::vector<uint8_t> next(uint8_t endpoint = 0x81,
                              std::chrono::milliseconds timeout = std::chrono::seconds(2),
                              size_t capacity = 1024) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        std::vector<uint8_t> buf(capacity);
        for (;;) {
            {
                std::lock_guard<std::mutex> lk(model_.mutex());
                emu::InBuffer b{buf.data(), buf.size(), 1024, 0};
                if (model_.in(endpoint, b) == emu::Status::Ok) {
                    buf.resize(b.length);
                    return buf;
                }
            }
            if (std::chrono::steady_clock::now() >= end) return {};
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    // True when nothing arrives on `endpoint` within `quiet`.
    bool silent(uint8_t endpoint = 0x81,
                std::chrono::milliseconds quiet = std::chrono::milliseconds(50)) {
        return next(endpoint, quiet).empty();
    }

  private:
    emu::DeviceModel& model_;
};

}  // namespace vtest
