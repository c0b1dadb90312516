// Framing and checks of the emulated 50x adapter, its packet record, the answer faults and the
// timer thread for late answers. See model508.h.
#include "emulator/adapters/model508.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace emu {

namespace {

constexpr uint8_t kEpCommand = 0x01;
constexpr uint8_t kEpImage = 0x02;
constexpr uint8_t kEpIn = 0x81;
constexpr size_t kKept = 96;  // bytes kept of an image, cursor-image or firmware packet
const char kMagic[] = "veltarvexsta";

uint32_t u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::string hex(unsigned v) {
    char b[16];
    snprintf(b, sizeof b, "0x%02x", v);
    return b;
}

// Command codes that carry data after the 48-byte head: the whole transfer is counted by the
// length field.
bool carriesData(uint8_t code) {
    return code == 0x06 || code == 0x07 || code == 0x08 || code == 0x42;
}
bool isFirmware(uint8_t code) { return code == 0x06 || code == 0x07 || code == 0x08; }
// The 44-byte control packets (the five trailing zero bytes are left off).
bool isShort(uint8_t code) {
    return code == 0xD7 || code == 0x47 || code == 0xEC || code == 0x4E || code == 0x45;
}

}  // namespace

Model508::Model508() : Model508(Config{}) {}

Model508::Model508(Config config) : config_(std::move(config)) { loadSrom(); }

Model508::~Model508() { stopTimer(); }

void Model508::onAttach() {
    std::lock_guard<std::mutex> lk(timerMutex_);
    if (timer_.joinable()) return;
    stop_ = false;
    timer_ = std::thread([this] { timerLoop(); });
}

void Model508::onDetach() { stopTimer(); }

void Model508::stopTimer() {
    {
        std::lock_guard<std::mutex> lk(timerMutex_);
        stop_ = true;
        timed_.clear();
    }
    timerCv_.notify_all();
    if (timer_.joinable() && timer_.get_id() != std::this_thread::get_id()) timer_.join();
}

void Model508::onReset() {
    // A USB reset drops what the adapter had queued for the host; the firmware keeps running.
    inQueue_.clear();
    framesOut_.clear();
}

void Model508::timerLoop() {
    std::unique_lock<std::mutex> lk(timerMutex_);
    while (!stop_) {
        if (timed_.empty()) {
            timerCv_.wait(lk);
            continue;
        }
        auto due = timed_.front().due;
        if (timerCv_.wait_until(lk, due) != std::cv_status::timeout && !stop_) continue;
        if (stop_) break;
        auto now = std::chrono::steady_clock::now();
        std::vector<Timed> ready;
        while (!timed_.empty() && timed_.front().due <= now) {
            ready.push_back(std::move(timed_.front()));
            timed_.pop_front();
        }
        lk.unlock();
        {
            std::lock_guard<std::mutex> ml(mutex());
            for (auto& t : ready) inQueue_.push(kEpIn, std::move(t.bytes));
        }
        if (!ready.empty()) notifyInAvailable(kEpIn);
        lk.lock();
    }
}

// Called with mutex() held.
void Model508::pushIn(std::vector<uint8_t> bytes, std::chrono::milliseconds delay) {
    if (delay.count() <= 0) {
        inQueue_.push(kEpIn, std::move(bytes));
        notifyInAvailable(kEpIn);
        return;
    }
    {
        std::lock_guard<std::mutex> lk(timerMutex_);
        Timed t{std::chrono::steady_clock::now() + delay, std::move(bytes)};
        auto it = timed_.end();
        while (it != timed_.begin() && (it - 1)->due > t.due) --it;
        timed_.insert(it, std::move(t));
    }
    timerCv_.notify_all();
}

Status Model508::out(uint8_t endpoint, const uint8_t* data, size_t length) {
    if (endpoint != kEpCommand && endpoint != kEpImage) {
        errors_.push_back("OUT on unknown endpoint " + hex(endpoint));
        return Status::Stall;
    }
    accept(endpoint, data, length);
    return Status::Ok;
}

Status Model508::in(uint8_t endpoint, InBuffer& buffer) {
    if (endpoint != kEpIn) return Status::Pending;
    const Status s = inQueue_.pop(endpoint, buffer);
    // A frame-index event the host has read ends its frame's flight.
    if (s == Status::Ok && buffer.length >= 24 && memcmp(buffer.data, kMagic, 12) == 0 &&
        buffer.data[16] == 0xE9)
        framesOut_.erase(u32(buffer.data + 20));
    return s;
}

std::string Model508::checkFraming(M508Packet& p, const uint8_t* data, size_t length) const {
    if (length < 44) return "packet of " + std::to_string(length) + " bytes";
    if (memcmp(data, kMagic, 12) != 0) return "bad magic";
    p.lengthField = u32(data + 12);
    p.kind = data[16];
    const std::string len = std::to_string(length);
    const std::string field = std::to_string(p.lengthField);
    auto expect = [&](size_t transfer, uint32_t lengthField) -> std::string {
        if (length != transfer)
            return "kind " + hex(p.kind) + " code " + hex(p.code) + " in a " + len +
                   "-byte transfer";
        if (p.lengthField != lengthField)
            return "kind " + hex(p.kind) + " code " + hex(p.code) + " with length field " + field;
        return "";
    };
    switch (p.kind) {
        case 6: {
            p.code = data[20];
            p.viewSelect = data[19];
            std::string e;
            if (carriesData(p.code)) {
                if (p.lengthField != length)
                    return "code " + hex(p.code) + " with length field " + field + " in a " + len +
                           "-byte transfer";
                if (length < 48) return "code " + hex(p.code) + " shorter than its head";
                if (isFirmware(p.code) && p.endpoint != kEpImage)
                    return "firmware packet on endpoint " + hex(p.endpoint);
            } else if (p.code == 0x45) {
                // The frame-index reset: a 44-byte packet whose length field says 8.
                if (!(e = expect(44, 8)).empty()) return e;
            } else if (isShort(p.code)) {
                if (!(e = expect(44, 44)).empty()) return e;
            } else {
                if (!(e = expect(48, 48)).empty()) return e;
                for (size_t i = 43; i < 48; ++i)
                    if (data[i])
                        return "code " + hex(p.code) + " with trailing byte " + std::to_string(i) +
                               " set";
            }
            if (p.viewSelect != 0x00 && p.viewSelect != 0x10)
                return "code " + hex(p.code) + " with view select " + hex(p.viewSelect);
            // Bytes 1 and 2 of the parameter block are zero; a repeated EDID request sets bit 5
            // of byte 2.
            const uint8_t b2 = p.code == 0x60 ? (data[18] & ~0x20) : data[18];
            if (data[17] || b2)
                return "code " + hex(p.code) + " with parameter bytes 1-2 " + hex(data[17]) + " " +
                       hex(data[18]);
            return "";
        }
        case 2:
            p.viewSelect = data[19];
            if (p.endpoint != kEpImage) return "image packet on endpoint " + hex(p.endpoint);
            if (length < 48) return "image packet shorter than its header";
            if (p.lengthField != length)
                return "image packet with length field " + field + " in a " + len +
                       "-byte transfer";
            return "";
        case 0x39:
            if (p.endpoint != kEpCommand) return "cursor select on endpoint " + hex(p.endpoint);
            return expect(48, 48);
        case 0x3A:
            if (p.endpoint != kEpCommand) return "cursor position on endpoint " + hex(p.endpoint);
            return expect(44, 44);
        default:
            return "unknown class " + hex(p.kind);
    }
}

void Model508::accept(uint8_t endpoint, const uint8_t* data, size_t length) {
    M508Packet p;
    p.endpoint = endpoint;
    p.transferLength = length;
    p.at = std::chrono::steady_clock::now();
    p.bytes.assign(data, data + std::min(length, kKept));
    p.error = checkFraming(p, data, length);
    std::vector<Answer> answers;
    if (p.error.empty()) {
        switch (p.kind) {
            case 6:
                if (isFirmware(p.code) || p.code == 0x61 || p.code == 0x77) {
                    p.error = checkFirmware(p, length);
                    if (p.error.empty()) answers = handleFirmware(p, data, length);
                } else {
                    p.error = checkControl(p, data, length);
                    // A refused command still gets its answer (flagged); handleControl knows.
                    answers = handleControl(p, data, length);
                }
                break;
            case 2:
                p.error = checkImage(p, data, length);
                if (p.error.empty()) {
                    p.jpegSize = jpegEnd(data + 48, u32(data + 38));
                    answers = handleImage(p, data, length);
                }
                break;
            default:
                p.error = checkCursor(p);
                if (p.error.empty()) handleCursor(p);
                break;
        }
    }
    if (!p.error.empty()) errors_.push_back(p.error);
    const uint8_t code = p.kind == 6 ? p.code : p.kind;
    received_.push_back(std::move(p));
    receivedCv_.notify_all();
    deliver(std::move(answers), code);
}

void Model508::deliver(std::vector<Answer> answers, uint8_t code) {
    for (auto& a : answers) {
        AnswerMode mode = AnswerMode::Normal;
        uint8_t retype = 0;
        std::chrono::milliseconds delay = a.delay;
        if (a.faultable) {
            for (auto it = rules_.begin(); it != rules_.end(); ++it) {
                if (it->code >= 0 && it->code != code) continue;
                mode = it->mode;
                retype = it->answerType;
                if (mode == AnswerMode::Late) delay += it->delay;
                if (it->count > 0 && --it->count == 0) rules_.erase(it);
                break;
            }
        }
        switch (mode) {
            case AnswerMode::Never:
                continue;
            case AnswerMode::Wrong:
                a.bytes[16] = static_cast<uint8_t>(a.bytes[16] + 1);
                break;
            case AnswerMode::Retyped:
                a.bytes[16] = retype;
                break;
            case AnswerMode::ErrorFlag:
                // Where each answer carries its failure: the version answer's error code, the
                // SROM answer's done flag, every other answer's status.
                if (a.bytes[16] == 0x61)
                    a.bytes[18] = 1;
                else if (a.bytes[16] == 0x07)
                    a.bytes[26] = 0;
                else if (a.bytes[17] == 0)
                    a.bytes[17] = 1;
                break;
            case AnswerMode::Duplicated:
                pushIn(a.bytes, delay);
                break;
            default:
                break;
        }
        pushIn(std::move(a.bytes), delay);
    }
}

void Model508::setAnswer(int code, AnswerMode mode, std::chrono::milliseconds delay, int count) {
    std::lock_guard<std::mutex> lk(mutex());
    rules_.push_back({code, mode, delay, count});
}

void Model508::setAnswerType(int code, uint8_t answerType, int count) {
    std::lock_guard<std::mutex> lk(mutex());
    rules_.push_back({code, AnswerMode::Retyped, std::chrono::milliseconds(0), count, answerType});
}

void Model508::clearAnswers() {
    std::lock_guard<std::mutex> lk(mutex());
    rules_.clear();
}

std::vector<M508Packet> Model508::received() {
    std::lock_guard<std::mutex> lk(mutex());
    return received_;
}

std::vector<M508Packet> Model508::received(uint8_t code) {
    std::lock_guard<std::mutex> lk(mutex());
    std::vector<M508Packet> out;
    for (const auto& p : received_)
        if (p.kind == 6 && p.code == code) out.push_back(p);
    return out;
}

std::vector<std::string> Model508::errors() {
    std::lock_guard<std::mutex> lk(mutex());
    return errors_;
}

int Model508::unknownCommands() {
    std::lock_guard<std::mutex> lk(mutex());
    return unknown_;
}

bool Model508::waitFor(const std::function<bool(const std::vector<M508Packet>&)>& pred,
                       std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lk(mutex());
    return receivedCv_.wait_for(lk, timeout, [&] { return pred(received_); });
}

void Model508::clearReceived() {
    std::lock_guard<std::mutex> lk(mutex());
    received_.clear();
    errors_.clear();
    unknown_ = 0;
}

void Model508::queuePacket(std::vector<uint8_t> bytes, std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lk(mutex());
    pushIn(std::move(bytes), delay);
}

std::vector<uint8_t> Model508::packet(uint8_t type, uint8_t status, size_t size) {
    if (size < 48) size = 48;
    std::vector<uint8_t> v(size, 0);
    memcpy(v.data(), kMagic, 12);
    for (int i = 0; i < 4; ++i) v[12 + i] = static_cast<uint8_t>(size >> (8 * i));
    v[16] = type;
    v[17] = status;
    return v;
}

std::vector<uint8_t> Model508::controlReply(uint8_t type, uint8_t status, uint8_t detail0,
                                            uint8_t detail1, uint16_t value, uint8_t value8) {
    std::vector<uint8_t> v = packet(type, status, 48);
    v[18] = detail0;
    v[19] = detail1;
    v[20] = static_cast<uint8_t>(value);
    v[21] = static_cast<uint8_t>(value >> 8);
    v[22] = value8;
    return v;
}

std::vector<uint8_t> Model508::monitorEvent(uint8_t mask) { return packet(0xE1, mask, 48); }

std::vector<uint8_t> Model508::frameIndexEvent(uint32_t frameIndex, uint8_t source) {
    std::vector<uint8_t> v = packet(0xE9, source, 48);
    for (int i = 0; i < 4; ++i) v[20 + i] = static_cast<uint8_t>(frameIndex >> (8 * i));
    return v;
}

Model508::Monitor Model508::monitor(std::vector<uint8_t> edid, std::vector<Mode> modes) {
    Monitor m;
    m.edid = std::move(edid);
    m.modes = std::move(modes);
    return m;
}

}  // namespace emu
