#include "emulator/usb/silent_adapter.h"

namespace emu {

Status SilentAdapter::out(uint8_t endpoint, const uint8_t* data, size_t length) {
    outs_.push_back(OutRecord{endpoint, std::vector<uint8_t>(data, data + length)});
    outCv_.notify_all();
    return Status::Ok;
}

Status SilentAdapter::in(uint8_t endpoint, InBuffer& buffer) {
    return inQueue_.pop(endpoint, buffer);
}

void SilentAdapter::onReset() {
    ++resets_;
    alts_.clear();
}

void SilentAdapter::onClaim(int interfaceNumber) { ++claims_[interfaceNumber]; }

void SilentAdapter::onRelease(int /*interfaceNumber*/) {}

Status SilentAdapter::onSetAltSetting(int interfaceNumber, int altSetting) {
    alts_[interfaceNumber] = altSetting;
    return Status::Ok;
}

void SilentAdapter::queueIn(uint8_t endpoint, std::vector<uint8_t> bytes) {
    {
        std::lock_guard<std::mutex> lk(mutex());
        inQueue_.push(endpoint, std::move(bytes));
    }
    notifyInAvailable(endpoint);
}

std::vector<SilentAdapter::OutRecord> SilentAdapter::outTransfers() {
    std::lock_guard<std::mutex> lk(mutex());
    return outs_;
}

size_t SilentAdapter::outCount() {
    std::lock_guard<std::mutex> lk(mutex());
    return outs_.size();
}

bool SilentAdapter::waitForOut(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lk(mutex());
    return outCv_.wait_for(lk, timeout, [&] { return outs_.size() >= count; });
}

void SilentAdapter::clearRecords() {
    std::lock_guard<std::mutex> lk(mutex());
    outs_.clear();
}

int SilentAdapter::resets() {
    std::lock_guard<std::mutex> lk(mutex());
    return resets_;
}

int SilentAdapter::claims(int interfaceNumber) {
    std::lock_guard<std::mutex> lk(mutex());
    auto it = claims_.find(interfaceNumber);
    return it == claims_.end() ? 0 : it->second;
}

int SilentAdapter::altSetting(int interfaceNumber) {
    std::lock_guard<std::mutex> lk(mutex());
    auto it = alts_.find(interfaceNumber);
    return it == alts_.end() ? 0 : it->second;
}

}  // namespace emu
