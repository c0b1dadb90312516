#include "peer508.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace vtest {

namespace {

const char kMagic[] = "veltarvexsta";
constexpr uint8_t kIntIn = 0x81;

void le32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void fixChecksum(uint8_t* block) {
    unsigned sum = 0;
    for (int i = 0; i < 127; ++i) sum += block[i];
    block[127] = static_cast<uint8_t>(0x100 - (sum & 0xFF));
}

}  // namespace

std::vector<uint8_t> Peer508::packet(uint8_t type, std::vector<uint8_t> rest, size_t size) {
    if (size < 17 + rest.size()) size = 17 + rest.size();
    std::vector<uint8_t> p(size, 0);
    memcpy(p.data(), kMagic, 12);
    p[16] = type;
    std::copy(rest.begin(), rest.end(), p.begin() + 17);
    return p;
}

std::vector<uint8_t> Peer508::edidReply(uint8_t target, const std::vector<uint8_t>& edid,
                                        uint32_t sizeField, uint8_t status) {
    std::vector<uint8_t> p = packet(0x60, {}, 560);
    p[17] = status;
    le32(p, 18, sizeField);
    p[22] = target;
    for (size_t i = 0; i < edid.size() && 48 + i < p.size(); ++i) p[48 + i] = edid[i];
    return p;
}

std::vector<uint8_t> Peer508::modeEntry(uint32_t w, uint32_t h, uint32_t hz, uint32_t bpp) {
    std::vector<uint8_t> e(16, 0);
    le32(e, 0, w);
    le32(e, 4, h);
    le32(e, 8, hz);
    le32(e, 12, bpp);
    return e;
}

std::vector<uint8_t> hexBytes(const std::string& hex, size_t size) {
    std::vector<uint8_t> out;
    std::string digits;
    for (char c : hex)
        if (c != ' ') digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    if (out.size() < size) out.resize(size, 0);
    return out;
}

void expectSameBytes(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& actual,
                     const std::string& what) {
    if (expected == actual) return;
    std::string table = what + ": expected " + std::to_string(expected.size()) + " bytes, got " +
                        std::to_string(actual.size()) + "\n";
    const size_t n = std::max(expected.size(), actual.size());
    char cell[24];
    for (size_t row = 0; row < n; row += 16) {
        std::string e, a;
        bool differs = false;
        for (size_t i = row; i < row + 16 && i < n; ++i) {
            snprintf(cell, sizeof cell, i < expected.size() ? "%02x " : "-- ",
                     i < expected.size() ? expected[i] : 0);
            e += cell;
            snprintf(cell, sizeof cell, i < actual.size() ? "%02x " : "-- ",
                     i < actual.size() ? actual[i] : 0);
            a += cell;
            differs = differs || i >= expected.size() || i >= actual.size() ||
                      expected[i] != actual[i];
        }
        snprintf(cell, sizeof cell, "%04zx", row);
        table += std::string(differs ? "* " : "  ") + cell + "  " + e + "| " + a + "\n";
    }
    ADD_FAILURE() << table;
}

std::vector<uint8_t> makeEdid(int extensions, uint16_t manufacturer, uint16_t product) {
    std::vector<uint8_t> e(128 * (extensions + 1), 0);
    const uint8_t header[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    memcpy(e.data(), header, 8);
    e[8] = static_cast<uint8_t>(manufacturer >> 8);
    e[9] = static_cast<uint8_t>(manufacturer);
    e[10] = static_cast<uint8_t>(product);
    e[11] = static_cast<uint8_t>(product >> 8);
    e[18] = 1;
    e[19] = 3;
    e[126] = static_cast<uint8_t>(extensions);
    fixChecksum(e.data());
    for (int b = 1; b <= extensions; ++b) {
        e[128 * b] = 0x02;
        e[128 * b + 1] = 0x03;
        fixChecksum(&e[128 * b]);
    }
    return e;
}

emu::Status Peer508::out(uint8_t endpoint, const uint8_t* data, size_t length) {
    outs_.push_back(Out{endpoint, std::vector<uint8_t>(data, data + length)});
    outCv_.notify_all();
    if (length >= 21 && memcmp(data, kMagic, 12) == 0) answer(outs_.back().bytes);
    return emu::Status::Ok;
}

emu::Status Peer508::in(uint8_t endpoint, emu::InBuffer& buffer) {
    return inQueue_.pop(endpoint, buffer);
}

void Peer508::queue(std::vector<uint8_t> bytes) {
    inQueue_.push(kIntIn, std::move(bytes));
    notifyInAvailable(kIntIn);
}

void Peer508::answer(const std::vector<uint8_t>& cmd) {
    const uint8_t code = cmd[20];
    if (silent_.count(code)) return;
    auto st = status_.find(code);
    const uint8_t status = st == status_.end() ? 0 : st->second;
    switch (code) {
        case 0x30: case 0x31: case 0x32: case 0x3F: case 0x40: case 0x41: case 0x42: case 0x4C:
            queue(packet(code, {status}));
            return;
        case 0xD7:
            if (heartbeat_ == Heartbeat::Extension)
                queue(packet(0xD7, {status, 0x00, heartbeatFlags_}));
            else if (heartbeat_ == Heartbeat::Legacy)
                queue(packet(0xFF, {0x01, 0xFF}));  // the firmware does not know the command
            return;
        case 0x65:
            queue(packet(0x65, {status}, 1024));
            return;
        case 0x60: {
            if (!edidReplies_.empty()) {
                queue(edidReplies_.front());
                edidReplies_.erase(edidReplies_.begin());
                return;
            }
            const uint8_t target = cmd.size() > 21 ? cmd[21] : 0;
            auto m = monitors_.find(target);
            if (m == monitors_.end()) {
                queue(edidReply(target, {}, 0, 1));
                return;
            }
            const uint32_t size = m->second.sizeField ? m->second.sizeField
                                                      : static_cast<uint32_t>(m->second.edid.size());
            queue(edidReply(target, m->second.edid, size));
            return;
        }
        case 0x64: {
            const uint8_t target = cmd.size() > 21 ? cmd[21] : 0;
            auto m = monitors_.find(target);
            std::vector<uint8_t> p = packet(0x64, {status}, 1024);
            if (m != monitors_.end()) {
                const auto& modes = m->second.modes;
                const uint16_t count = m->second.modeCount != 0xFFFF
                                           ? m->second.modeCount
                                           : static_cast<uint16_t>(modes.size() / 16);
                p[18] = static_cast<uint8_t>(count);
                p[19] = static_cast<uint8_t>(count >> 8);
                for (size_t i = 0; i < modes.size() && 48 + i < p.size(); ++i) p[48 + i] = modes[i];
            } else {
                p[17] = status ? status : 1;
            }
            queue(std::move(p));
            return;
        }
        case 0x61: {
            const uint8_t kind = cmd.size() > 21 ? cmd[21] : 0;
            std::vector<uint8_t> p = packet(0x61, {kind, status}, 1024);
            if (kind == 4) {
                le32(p, 19, layout_);
            } else {
                const std::string& text = kind == 1 ? firmware_ : bootloader_;
                std::copy(text.begin(), text.end(), p.begin() + 19);
            }
            queue(std::move(p));
            return;
        }
        case 0x77:
            queue(packet(0x77, {workMode_}, 1024));
            return;
        case 0x07: {
            std::vector<uint8_t> p = packet(0x07, {status}, 1024);
            p[26] = 1;
            queue(std::move(p));
            return;
        }
        default:
            return;  // 0x45, 0x47, 0x4E, 0xEC, images and the rest go unanswered
    }
}

void Peer508::raise(uint8_t type, std::vector<uint8_t> rest) { raiseRaw(packet(type, rest)); }

void Peer508::raiseRaw(std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> lk(mutex());
    queue(std::move(bytes));
}

std::vector<Peer508::Out> Peer508::outs() {
    std::lock_guard<std::mutex> lk(mutex());
    return outs_;
}

std::vector<Peer508::Out> Peer508::outsOf(uint8_t code) {
    std::vector<Out> r;
    for (auto& o : outs())
        if (o.code() == code) r.push_back(o);
    return r;
}

bool Peer508::waitForCode(uint8_t code, size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lk(mutex());
    return outCv_.wait_for(lk, timeout, [&] {
        size_t n = 0;
        for (const auto& o : outs_) n += o.code() == code;
        return n >= count;
    });
}

void Peer508::clear() {
    std::lock_guard<std::mutex> lk(mutex());
    outs_.clear();
}

void Peer508::setStatus(uint8_t code, uint8_t status) {
    std::lock_guard<std::mutex> lk(mutex());
    status_[code] = status;
}

void Peer508::setSilent(uint8_t code, bool silent) {
    std::lock_guard<std::mutex> lk(mutex());
    if (silent)
        silent_.insert(code);
    else
        silent_.erase(code);
}

void Peer508::setHeartbeat(Heartbeat kind, uint8_t flags) {
    std::lock_guard<std::mutex> lk(mutex());
    heartbeat_ = kind;
    heartbeatFlags_ = flags;
}

void Peer508::setMonitor(uint8_t target, Monitor monitor) {
    std::lock_guard<std::mutex> lk(mutex());
    monitors_[target] = std::move(monitor);
}

void Peer508::setVersions(std::string firmware, std::string bootloader, uint32_t layout) {
    std::lock_guard<std::mutex> lk(mutex());
    firmware_ = std::move(firmware);
    bootloader_ = std::move(bootloader);
    layout_ = layout;
}

void Peer508::setWorkMode(uint8_t mode) {
    std::lock_guard<std::mutex> lk(mutex());
    workMode_ = mode;
}

void Peer508::queueEdidReplies(std::vector<std::vector<uint8_t>> replies) {
    std::lock_guard<std::mutex> lk(mutex());
    edidReplies_ = std::move(replies);
}

}  // namespace vtest
