// Framing and checks of the emulated model-520 adapter, its message record, the answer queue
// with its faults, and the timer thread for late answers. See model520.h.
#include "emulator/adapters/model520.h"

#include <cstring>

namespace emu {

namespace {

constexpr size_t kHeader = 32;
constexpr size_t kHeaderFirstLimit = 0xFFFFF;
constexpr uint8_t kEpCommand = 0x01;
constexpr uint8_t kEpImage = 0x02;
constexpr uint8_t kEpIn = 0x81;

uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void put16(std::vector<uint8_t>& v, size_t at, uint16_t x) {
    v[at] = static_cast<uint8_t>(x);
    v[at + 1] = static_cast<uint8_t>(x >> 8);
}
void put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

// The command table: which (class, type) the adapter knows, whether it wants the response bit
// (-1: depends on the payload), and the payload size it expects (-1: any).
struct TableEntry {
    uint8_t cls, type;
    int response;
    long payload;
};
const TableEntry kTable[] = {
    {0, 0, 1, 0},   {0, 1, 1, 1},  {0, 4, 1, 0},      {0, 5, 1, 0},  {0, 48, 0, 0},  {1, 0, 1, 8},
    {1, 1, 1, 1},   {1, 2, 1, 1},  {1, 16, 1, 65616}, {1, 19, 0, 0}, {1, 21, -1, 1}, {1, 26, 1, 5},
    {1, 27, 1, 16}, {1, 51, 1, 0}, {1, 52, 1, 0},     {1, 58, 1, 0}, {1, 59, 1, 0},  {1, 60, 1, 0},
    {1, 61, 1, 0},  {1, 69, 1, 1}, {2, 6, 0, -1},     {2, 8, 0, -1}, {3, 0, 0, -1},  {3, 1, 0, 80},
};

const TableEntry* findEntry(uint8_t cls, uint8_t type) {
    for (const auto& e : kTable)
        if (e.cls == cls && e.type == type) return &e;
    return nullptr;
}

}  // namespace

M520Header M520Header::decode(const uint8_t* p) {
    M520Header h;
    memcpy(h.magic, p, 4);
    h.reserved4 = u32(p + 4);
    h.kind = u16(p + 8);
    h.sessionTag = p[10];
    h.source = p[11] & 0x7F;
    h.errorFlag = (p[11] & 0x80) != 0;
    h.dataType = p[12];
    h.dataClass = p[13] & 0x7F;
    h.responseRequested = (p[13] & 0x80) != 0;
    h.target = u16(p + 14);
    h.displayDevice = u16(p + 16);
    h.node = u16(p + 18);
    h.headerLength = u16(p + 20);
    h.reserved22 = u16(p + 22);
    h.payloadLength = u32(p + 24);
    h.reserved28 = u32(p + 28);
    return h;
}

std::vector<uint8_t> M520Header::encode() const {
    std::vector<uint8_t> v(kHeader, 0);
    memcpy(v.data(), "VELC", 4);
    put16(v, 8, kind);
    v[10] = sessionTag;
    v[11] = static_cast<uint8_t>((source & 0x7F) | (errorFlag ? 0x80 : 0));
    v[12] = dataType;
    v[13] = static_cast<uint8_t>((dataClass & 0x7F) | (responseRequested ? 0x80 : 0));
    put16(v, 14, target);
    put16(v, 16, displayDevice);
    put16(v, 18, node);
    put16(v, 20, static_cast<uint16_t>(kHeader));
    put32(v, 24, payloadLength);
    return v;
}

Model520::Model520() : Model520(Config{}) {}

Model520::Model520(Config config) : config_(std::move(config)) {}

Model520::~Model520() { stopTimer(); }

void Model520::onAttach() {
    {
        std::lock_guard<std::mutex> lk(mutex());
        startFirmware();
    }
    std::lock_guard<std::mutex> lk(timerMutex_);
    if (timer_.joinable()) return;
    stop_ = false;
    timer_ = std::thread([this] { timerLoop(); });
}

void Model520::onDetach() { stopTimer(); }

void Model520::stopTimer() {
    {
        std::lock_guard<std::mutex> lk(timerMutex_);
        stop_ = true;
        timed_.clear();
    }
    timerCv_.notify_all();
    if (timer_.joinable() && timer_.get_id() != std::this_thread::get_id()) timer_.join();
}

void Model520::onReset() {
    inQueue_.clear();
    announced_.clear();
    heartbeat_.open = false;
    cursors_ = CursorStore{};  // the adapter's cursor store does not survive a reset
}

void Model520::timerLoop() {
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
        std::vector<int> acks;
        for (const auto& t : ready) acks.push_back(t.ackDevice);
        lk.unlock();
        {
            std::lock_guard<std::mutex> ml(mutex());
            for (auto& t : ready) inQueue_.push(kEpIn, std::move(t.bytes));
            for (int dd : acks)
                if (dd >= 0 && dd < 3 && inFlight_[dd] > 0) --inFlight_[dd];
        }
        if (!ready.empty()) notifyInAvailable(kEpIn);
        lk.lock();
    }
}

// Called with mutex() held (from out()) or takes it (test side).
void Model520::pushIn(std::vector<uint8_t> bytes, std::chrono::milliseconds delay) {
    if (delay.count() <= 0) {
        inQueue_.push(kEpIn, std::move(bytes));
        notifyInAvailable(kEpIn);
        return;
    }
    {
        std::lock_guard<std::mutex> lk(timerMutex_);
        Timed t{std::chrono::steady_clock::now() + delay, std::move(bytes)};
        // Keep the queue in due order (answers of one command keep their relative order).
        auto it = timed_.end();
        while (it != timed_.begin() && (it - 1)->due > t.due) --it;
        timed_.insert(it, std::move(t));
    }
    timerCv_.notify_all();
}

Status Model520::out(uint8_t endpoint, const uint8_t* data, size_t length) {
    if (endpoint != kEpCommand && endpoint != kEpImage) {
        errors_.push_back("OUT on unknown endpoint");
        return Status::Stall;
    }
    accept(endpoint, data, length);
    return Status::Ok;
}

Status Model520::in(uint8_t endpoint, InBuffer& buffer) {
    if (endpoint != kEpIn) return Status::Pending;
    return inQueue_.pop(endpoint, buffer);
}

void Model520::accept(uint8_t endpoint, const uint8_t* data, size_t length) {
    M520Message m;
    m.endpoint = endpoint;
    m.transferLength = length;
    m.at = std::chrono::steady_clock::now();
    auto refuse = [&](std::string why) {
        m.error = std::move(why);
        errors_.push_back(m.error);
        received_.push_back(std::move(m));
        receivedCv_.notify_all();
    };
    if (length < kHeader) return refuse("message shorter than its header");
    m.header = M520Header::decode(data);
    const M520Header& h = m.header;
    if (memcmp(h.magic, "VELC", 4) != 0) return refuse("bad magic");
    if (h.headerLength != kHeader) return refuse("header length is not 32");
    if (h.reserved4 || h.reserved22 || h.reserved28) return refuse("reserved header bytes set");
    if (h.errorFlag) return refuse("error flag set by the host");

    auto pending = announced_.find(endpoint);
    if (pending != announced_.end()) {
        // The message announced by a lone header: the same header again, with all its data.
        bool same = memcmp(pending->second.encode().data(), data, 14) == 0 &&
                    pending->second.payloadLength == h.payloadLength;
        announced_.erase(pending);
        if (!same) return refuse("data after a lone header does not repeat that header");
        m.headerFirst = true;
    } else if (length == kHeader && h.payloadLength > 0) {
        if (h.payloadLength + kHeader > kHeaderFirstLimit) {
            announced_[endpoint] = h;
            return;  // the data follows in the next transfer
        }
        return refuse("payload announced but not sent");
    }

    if (endpoint == kEpImage) {
        checkImage(m, data, length);
        if (m.error.empty()) takeImage(m, data, length);
    } else {
        if (length != kHeader + h.payloadLength)
            return refuse("payload length " + std::to_string(h.payloadLength) + " but " +
                          std::to_string(length - kHeader) + " bytes arrived");
        if (h.payloadLength + kHeader > kHeaderFirstLimit && !m.headerFirst)
            return refuse("large message not announced by a lone header");
        m.payload.assign(data + kHeader, data + length);
        checkCommand(m);
    }
    if (!m.error.empty()) {
        errors_.push_back(m.error);
        received_.push_back(std::move(m));
        receivedCv_.notify_all();
        return;
    }
    std::vector<Answer> answers = handleCommand(m);
    M520Header request = m.header;
    received_.push_back(std::move(m));
    receivedCv_.notify_all();
    deliver(std::move(answers), request);
}

void Model520::checkCommand(M520Message& m) {
    const M520Header& h = m.header;
    if (h.kind != 1) {
        m.error = "command with packet kind " + std::to_string(h.kind);
        return;
    }
    const TableEntry* e = findEntry(h.dataClass, h.dataType);
    if (!e) {
        m.error = "unknown command class " + std::to_string(h.dataClass) + " type " +
                  std::to_string(h.dataType);
        return;
    }
    if (e->payload >= 0 && static_cast<long>(m.payload.size()) != e->payload) {
        m.error = "class " + std::to_string(h.dataClass) + " type " + std::to_string(h.dataType) +
                  " with a " + std::to_string(m.payload.size()) + "-byte payload";
        return;
    }
    int wantResponse = e->response;
    if (wantResponse < 0) wantResponse = m.payload.empty() || m.payload[0] != 2 ? 1 : 0;
    if (h.responseRequested != (wantResponse == 1)) {
        m.error = "response bit wrong for class " + std::to_string(h.dataClass) + " type " +
                  std::to_string(h.dataType);
        return;
    }
    // The input node: payloads starting 0x23, 0x24 or 0x33 address the adapter (node 0); the
    // others the default node 3, carried shifted right by 8.
    if (h.node != 0) m.error = "input node field " + std::to_string(h.node);
    if (m.error.empty() && h.dataClass == 2) checkFirmware(m);
}

void Model520::deliver(std::vector<Answer> answers, const M520Header& request) {
    for (auto& a : answers) {
        AnswerMode mode = AnswerMode::Normal;
        uint8_t retype = 0;
        std::chrono::milliseconds delay = a.delay;
        for (auto it = rules_.begin(); it != rules_.end(); ++it) {
            if ((it->dataClass >= 0 && it->dataClass != request.dataClass) ||
                (it->dataType >= 0 && it->dataType != request.dataType))
                continue;
            mode = it->mode;
            retype = it->answerType;
            if (mode == AnswerMode::Late) delay += it->delay;
            if (it->count > 0 && --it->count == 0) rules_.erase(it);
            break;
        }
        switch (mode) {
            case AnswerMode::Never:
                continue;
            case AnswerMode::Wrong:
                a.bytes[12] = static_cast<uint8_t>(a.bytes[12] + 1);
                break;
            case AnswerMode::Retyped:
                a.bytes[12] = retype;
                break;
            case AnswerMode::ErrorFlag:
                a.bytes.resize(kHeader);
                a.bytes[11] |= 0x80;
                put32(a.bytes, 24, 0);
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

void Model520::setAnswer(int dataClass, int dataType, AnswerMode mode,
                         std::chrono::milliseconds delay, int count) {
    std::lock_guard<std::mutex> lk(mutex());
    rules_.push_back({dataClass, dataType, mode, delay, count});
}

void Model520::setAnswerType(int dataClass, int dataType, uint8_t answerType, int count) {
    std::lock_guard<std::mutex> lk(mutex());
    rules_.push_back({dataClass, dataType, AnswerMode::Retyped, std::chrono::milliseconds(0), count,
                      answerType});
}

void Model520::clearAnswers() {
    std::lock_guard<std::mutex> lk(mutex());
    rules_.clear();
}

std::vector<M520Message> Model520::received() {
    std::lock_guard<std::mutex> lk(mutex());
    return received_;
}

std::vector<M520Message> Model520::received(uint8_t dataClass, uint8_t dataType) {
    std::lock_guard<std::mutex> lk(mutex());
    std::vector<M520Message> out;
    for (const auto& m : received_)
        if (m.header.dataClass == dataClass && m.header.dataType == dataType) out.push_back(m);
    return out;
}

std::vector<std::string> Model520::errors() {
    std::lock_guard<std::mutex> lk(mutex());
    return errors_;
}

bool Model520::waitFor(const std::function<bool(const std::vector<M520Message>&)>& pred,
                       std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lk(mutex());
    return receivedCv_.wait_for(lk, timeout, [&] { return pred(received_); });
}

void Model520::clearReceived() {
    std::lock_guard<std::mutex> lk(mutex());
    received_.clear();
    errors_.clear();
}

Model520::HeartbeatState Model520::heartbeat() {
    std::lock_guard<std::mutex> lk(mutex());
    return heartbeat_;
}

bool Model520::beatMissing(std::chrono::milliseconds limit) {
    std::lock_guard<std::mutex> lk(mutex());
    if (!heartbeat_.open) return false;
    auto since =
        heartbeat_.lastBeat > heartbeat_.openedAt ? heartbeat_.lastBeat : heartbeat_.openedAt;
    return std::chrono::steady_clock::now() - since > limit;
}

void Model520::queueMessage(std::vector<uint8_t> bytes, std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lk(mutex());
    pushIn(std::move(bytes), delay);
}

std::vector<uint8_t> Model520::message(uint8_t dataClass, uint8_t dataType, uint16_t displayDevice,
                                       const std::vector<uint8_t>& payload, bool errorFlag) {
    M520Header h;
    h.kind = 1;
    h.dataClass = dataClass;
    h.dataType = dataType;
    h.displayDevice = displayDevice;
    h.errorFlag = errorFlag;
    h.payloadLength = static_cast<uint32_t>(payload.size());
    std::vector<uint8_t> v = h.encode();
    v.insert(v.end(), payload.begin(), payload.end());
    return v;
}

}  // namespace emu
