#include "emulator/usb/device_model.h"

#include <algorithm>
#include <cstring>

namespace emu {

DeviceModel::~DeviceModel() = default;

Status DeviceModel::control(const SetupPacket& /*setup*/, uint8_t* /*data*/, size_t* length) {
    if (length) *length = 0;
    return Status::Stall;
}

bool DeviceModel::attachHost(EndpointHost* host) {
    std::lock_guard<std::mutex> lk(hostMutex_);
    if (host_ != nullptr) return false;
    host_ = host;
    return true;
}

void DeviceModel::detachHost() {
    std::lock_guard<std::mutex> lk(hostMutex_);
    host_ = nullptr;
}

void DeviceModel::notifyEndpoint(uint8_t endpoint) {
    std::lock_guard<std::mutex> lk(hostMutex_);
    if (host_) host_->endpointReady(endpoint);
}

void InQueue::push(uint8_t endpoint, std::vector<uint8_t> bytes) {
    queues_[endpoint].push_back(Message{std::move(bytes), 0});
}

Status InQueue::pop(uint8_t endpoint, InBuffer& buffer) {
    buffer.length = 0;
    auto it = queues_.find(endpoint);
    if (it == queues_.end() || it->second.empty()) return Status::Pending;
    Message& m = it->second.front();
    const size_t left = m.bytes.size() - m.offset;
    if (left <= buffer.capacity) {
        if (left) std::memcpy(buffer.data, m.bytes.data() + m.offset, left);
        buffer.length = left;
        it->second.pop_front();
        return Status::Ok;
    }
    // More data than the buffer holds.
    std::memcpy(buffer.data, m.bytes.data() + m.offset, buffer.capacity);
    buffer.length = buffer.capacity;
    const size_t packet = buffer.maxPacketSize ? buffer.maxPacketSize : 1;
    if (buffer.capacity > 0 && buffer.capacity % packet == 0) {
        m.offset += buffer.capacity;
        return Status::Ok;
    }
    // Babble: the packet straddling the end of the buffer is lost.
    const size_t end = (buffer.capacity / packet + 1) * packet;
    m.offset += end;
    if (m.offset >= m.bytes.size()) it->second.pop_front();
    return Status::Overflow;
}

size_t InQueue::pending(uint8_t endpoint) const {
    auto it = queues_.find(endpoint);
    return it == queues_.end() ? 0 : it->second.size();
}

void InQueue::clear() { queues_.clear(); }

}  // namespace emu
