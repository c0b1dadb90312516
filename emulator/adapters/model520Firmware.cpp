// Firmware of the emulated model-520 adapter: the firmware and BL1 images it takes (class 2,
// type 6 and 8, no answer), the flash that keeps the firmware across starts, the version it then
// reports, and the firmware log it serves in blocks (class 0 type 48). Everything here runs with
// mutex() held (see model520.h).
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "emulator/adapters/model520.h"

namespace emu {

namespace {

constexpr size_t kImageLimit = 0x500000;  // the adapter's update buffer
constexpr size_t kLogLineBytes = 64;
// Log blocks follow one another like the adapter's log DMA: a few milliseconds apart.
constexpr std::chrono::milliseconds kLogBlockSpacing(20);

int slot(uint8_t type) { return type == 6 ? 0 : type == 8 ? 1 : -1; }

}  // namespace

std::string Model520::imageVersion(const std::vector<uint8_t>& image) {
    static const char kTag[] = "Version:";
    const size_t tag = sizeof kTag - 1;
    const size_t tail = std::min<size_t>(image.size(), 128);
    const uint8_t* t = image.data() + (image.size() - tail);
    for (size_t pos = tail >= tag ? tail - tag + 1 : 0; pos-- > 0;) {
        if (memcmp(t + pos, kTag, tag) != 0) continue;
        size_t i = pos + tag;
        while (i < tail && t[i] == ' ') ++i;
        size_t end = i;
        while (end < tail && t[end] != ' ' && t[end] != 0) ++end;
        return std::string(reinterpret_cast<const char*>(t + i), end - i);
    }
    return "";
}

void Model520::startFirmware() {
    if (!config_.imageStore.empty() && images_[0].empty()) {
        std::ifstream in(config_.imageStore, std::ios::binary);
        if (in) images_[0].assign(std::istreambuf_iterator<char>(in), {});
    }
    if (config_.versionFromImage && !images_[0].empty()) {
        std::string v = imageVersion(images_[0]);
        if (!v.empty()) config_.firmwareVersion = v;
    }
}

void Model520::checkFirmware(M520Message& m) {
    // The payload length was checked against the transfer, and a large image against the
    // header-first rule, before this.
    if (slot(m.header.dataType) < 0) return;
    if (m.payload.empty()) {
        m.error = "firmware image of type " + std::to_string(m.header.dataType) + " is empty";
    } else if (m.payload.size() > kImageLimit) {
        m.error = "firmware image of " + std::to_string(m.payload.size()) + " bytes, at most " +
                  std::to_string(kImageLimit);
    } else if (m.header.displayDevice != 0 || m.header.target != 0 || m.header.source != 0) {
        m.error = "firmware image addressed to a display device";
    }
}

void Model520::takeFirmware(const M520Message& m) {
    int s = slot(m.header.dataType);
    if (s < 0) return;
    images_[s] = m.payload;
    ++imagesTaken_[s];
    if (s == 0 && !config_.imageStore.empty()) {
        std::ofstream out(config_.imageStore, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(m.payload.data()),
                  static_cast<std::streamsize>(m.payload.size()));
    }
}

std::vector<Model520::Answer> Model520::firmwareLog() const {
    std::vector<Answer> out;
    const int total = config_.logBlocks;
    if (total <= 0) return out;
    const std::string& text = config_.logText;
    const size_t piece =
        (text.size() + static_cast<size_t>(total) - 1) / static_cast<size_t>(total);
    for (int i = 0; i < total; ++i) {
        std::string part;
        if (text.empty()) {
            part = "fw log block " + std::to_string(i) + "\n";
            part.resize(kLogLineBytes - 1, ' ');
        } else {
            size_t at = std::min(text.size(), piece * static_cast<size_t>(i));
            part = text.substr(at, piece);
        }
        // u32 total, u32 index, 8 unused bytes, the text with its terminator.
        std::vector<uint8_t> p(16, 0);
        for (int b = 0; b < 4; ++b) {
            p[b] = static_cast<uint8_t>(total >> (8 * b));
            p[4 + b] = static_cast<uint8_t>(i >> (8 * b));
        }
        p.insert(p.end(), part.begin(), part.end());
        p.push_back(0);
        M520Header lh;
        lh.kind = 1;
        lh.dataType = 48;
        lh.payloadLength = static_cast<uint32_t>(p.size());
        std::vector<uint8_t> v = lh.encode();
        v.insert(v.end(), p.begin(), p.end());
        out.push_back({std::move(v), kLogBlockSpacing * i});
    }
    return out;
}

std::vector<uint8_t> Model520::image(uint8_t type) {
    std::lock_guard<std::mutex> lk(mutex());
    int s = slot(type);
    return s < 0 ? std::vector<uint8_t>{} : images_[s];
}

int Model520::imagesTaken(uint8_t type) {
    std::lock_guard<std::mutex> lk(mutex());
    int s = slot(type);
    return s < 0 ? 0 : imagesTaken_[s];
}

std::string Model520::firmwareVersion() {
    std::lock_guard<std::mutex> lk(mutex());
    return config_.firmwareVersion;
}

}  // namespace emu
