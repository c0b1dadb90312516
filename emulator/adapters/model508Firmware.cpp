// The emulated 50x adapter's firmware side: version and work-mode queries, the SROM it reads
// and writes, and the firmware and second-bootloader images it takes. See model508.h.
#include <algorithm>
#include <cstring>

#include "emulator/adapters/model508.h"

namespace emu {

namespace {

constexpr size_t kParam = 16;
constexpr size_t kReply = 1024;
constexpr uint32_t kSromSize = 16u << 20;  // the largest SROM the family is built with
constexpr size_t kMaxRead = kReply - 48;   // SROM bytes one answer carries

uint32_t u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// A packet carrying n data bytes is 48 + n long, one byte more when that is a multiple of 512.
uint64_t withData(uint64_t n) {
    uint64_t total = 48 + n;
    return total % 512 == 0 ? total + 1 : total;
}

int nonZero(const uint8_t* pb, size_t from, size_t to) {
    for (size_t i = from; i <= to; ++i)
        if (pb[i]) return static_cast<int>(i);
    return -1;
}

}  // namespace

std::string Model508::checkFirmware(const M508Packet& p, size_t length) const {
    const uint8_t* pb = p.bytes.data() + kParam;
    const std::string code = "code " + std::to_string(p.code);
    int z = -1;
    switch (p.code) {
        case 0x61:
            if (pb[5] != 1 && pb[5] != 4 && pb[5] != 5)
                return "version query of kind " + std::to_string(pb[5]);
            z = nonZero(pb, 6, 26);
            break;
        case 0x77:
            z = nonZero(pb, 5, 26);
            break;
        case 0x06:
        case 0x08:
            if (withData(u32(pb + 5)) != length)
                return "image of " + std::to_string(u32(pb + 5)) + " bytes in a " +
                       std::to_string(length) + "-byte packet";
            z = nonZero(pb, 9, 26);
            break;
        case 0x07: {
            const uint32_t address = u32(pb + 6), n = u32(pb + 10);
            if (pb[5] != 1 && pb[5] != 2) return "SROM access " + std::to_string(pb[5]);
            if (pb[14] != 0xFF) return "SROM access without its 0xff byte";
            if (withData(n) != length)
                return "SROM access of " + std::to_string(n) + " bytes in a " +
                       std::to_string(length) + "-byte packet";
            if (n == 0 || address >= kSromSize || n > kSromSize - address)
                return "SROM access outside the SROM";
            if (pb[5] == 1 && n > kMaxRead) return "SROM read of " + std::to_string(n) + " bytes";
            z = nonZero(pb, 15, 26);
            break;
        }
        default:
            break;
    }
    if (z >= 0) return code + " with payload byte " + std::to_string(z) + " set";
    return "";
}

std::vector<Model508::Answer> Model508::handleFirmware(const M508Packet& p, const uint8_t* data,
                                                       size_t /*length*/) {
    const uint8_t* pb = data + kParam;
    std::vector<Answer> answers;
    switch (p.code) {
        case 0x61: {
            ++firmware_.versionQueries;
            std::vector<uint8_t> v = packet(0x61, pb[5], kReply);
            v[18] = 0;  // error code
            if (pb[5] == 4) {
                for (int i = 0; i < 4; ++i)
                    v[19 + i] = static_cast<uint8_t>(config_.layoutNumber >> (8 * i));
            } else {
                const std::string& text =
                    pb[5] == 1 ? config_.firmwareVersion : config_.bootloaderVersion;
                const size_t n = std::min(text.size(), size_t{255});
                memcpy(v.data() + 19, text.data(), n);  // NUL-terminated by the zeroed packet
            }
            answers.push_back({std::move(v)});
            break;
        }
        case 0x77: {
            ++firmware_.workModeQueries;
            answers.push_back({packet(0x77, config_.workMode, kReply)});
            break;
        }
        case 0x06:
        case 0x08: {
            const uint32_t n = u32(pb + 5);
            std::vector<uint8_t>& image =
                p.code == 0x06 ? firmware_.image : firmware_.bootloaderImage;
            image.assign(data + 48, data + 48 + n);
            ++(p.code == 0x06 ? firmware_.images : firmware_.bootloaderImages);
            break;
        }
        case 0x07: {
            const uint32_t address = u32(pb + 6), n = u32(pb + 10);
            std::vector<uint8_t> v = packet(0x07, 0, kReply);
            v[26] = 1;  // done
            if (pb[5] == 1) {
                ++firmware_.sromReads;
                for (uint32_t i = 0; i < n; ++i)
                    v[48 + i] = address + i < srom_.size() ? srom_[address + i] : 0xFF;
            } else {
                ++firmware_.sromWrites;
                if (srom_.size() < address + n) srom_.resize(address + n, 0xFF);
                std::copy(data + 48, data + 48 + n, srom_.begin() + address);
            }
            answers.push_back({std::move(v)});
            break;
        }
        default:
            break;
    }
    return answers;
}

Model508::FirmwareState Model508::firmware() {
    std::lock_guard<std::mutex> lk(mutex());
    return firmware_;
}

std::vector<uint8_t> Model508::srom(uint32_t address, size_t length) {
    std::lock_guard<std::mutex> lk(mutex());
    std::vector<uint8_t> out(length, 0xFF);
    for (size_t i = 0; i < length; ++i)
        if (address + i < srom_.size()) out[i] = srom_[address + i];
    return out;
}

}  // namespace emu
