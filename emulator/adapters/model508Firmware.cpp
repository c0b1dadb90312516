// The emulated 50x adapter's firmware side: version and work-mode queries, the SROM it reads
// and writes, and the firmware and second-bootloader images it takes. See model508.h.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "emulator/adapters/model508.h"

namespace emu {

namespace {

constexpr size_t kParam = 16;
constexpr size_t kReply = 1024;
constexpr uint32_t kSromSize = Model508::kSromSize;  // the largest SROM the family is built with
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


void le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t negSum(const uint8_t* p, size_t n) {
    uint32_t s = 0;
    for (size_t i = 0; i < n; ++i) s += p[i];
    return 0u - s;
}

std::string hexText(uint32_t v) {
    char b[16];
    snprintf(b, sizeof b, "0x%x", v);
    return b;
}

// A made-up image of `size` bytes; with a version text it ends in the stamp the host reads
// ("Version:TEXT " after 16 blanks, zeros after it, in the last 128 bytes).
std::vector<uint8_t> madeImage(size_t size, unsigned seed, const std::string& version) {
    std::vector<uint8_t> b(size);
    unsigned x = seed * 40503u + 7;
    for (auto& c : b) {
        x = x * 1103515245u + 12345u;
        c = static_cast<uint8_t>(x >> 16);
    }
    if (!version.empty() && size >= 128) {
        const size_t start = size - 128;
        std::fill(b.begin() + start, b.end(), 0);
        std::fill(b.begin() + start, b.begin() + start + 16, ' ');
        const std::string stamp = "Version:" + version + " ";
        for (size_t i = 0; i < stamp.size() && start + 16 + i < size; ++i)
            b[start + 16 + i] = static_cast<uint8_t>(stamp[i]);
    }
    return b;
}

constexpr size_t entryOffset(int e) { return 4 + 20 * static_cast<size_t>(e); }

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
                const std::string text = heldStamp(pb[5] == 1 ? 5 : 2);
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
            // The adapter flashes what it takes: the main image into entry 5's area, the second
            // bootloader into both copies, each with its default-block entry and boot record.
            const int first = p.code == 0x06 ? 5 : 1;
            if (n == 0 || n > kSromEntryArea[first]) {
                errors_.push_back("image of " + std::to_string(n) + " bytes does not fit entry " +
                                  std::to_string(first));
                ++firmware_.refusedWrites;
                break;
            }
            takeImage(first, data + 48, n);
            if (p.code == 0x08) takeImage(2, data + 48, n);
            rebuildRecord(p.code == 0x06);
            saveSrom();
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
                const std::string why = checkSromWrite(address, data + 48, n);
                if (why.empty()) {
                    sromWrite(address, data + 48, n);
                    saveSrom();
                } else {
                    errors_.push_back(why);
                    ++firmware_.refusedWrites;
                    v[26] = 0;  // not done: nothing was written
                }
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

std::string Model508::firmwareVersionHeld() {
    std::lock_guard<std::mutex> lk(mutex());
    return heldStamp(5);
}

std::string Model508::bootloaderVersionHeld() {
    std::lock_guard<std::mutex> lk(mutex());
    return heldStamp(2);
}

void Model508::resetSrom(std::string firmwareVersion, std::string bootloaderVersion) {
    std::lock_guard<std::mutex> lk(mutex());
    config_.firmwareVersion = std::move(firmwareVersion);
    config_.bootloaderVersion = std::move(bootloaderVersion);
    buildSrom();
    saveSrom();
}

void Model508::setLayoutNumber(uint32_t layout) {
    std::lock_guard<std::mutex> lk(mutex());
    config_.layoutNumber = layout;
}

void Model508::setWorkMode(uint8_t mode) {
    std::lock_guard<std::mutex> lk(mutex());
    config_.workMode = mode;
}

// ---- SROM (mutex() held, or during construction) ----

void Model508::sromWrite(uint32_t address, const uint8_t* bytes, uint32_t n) {
    if (srom_.size() < static_cast<size_t>(address) + n) srom_.resize(address + n, 0xFF);
    std::copy(bytes, bytes + n, srom_.begin() + address);
}

std::string Model508::heldStamp(int entry) const {
    const size_t at = kSromDefaultAt + entryOffset(entry);
    if (srom_.size() < at + 20) return "";
    const uint32_t address = u32(&srom_[at + 4]), length = u32(&srom_[at + 12]);
    if (length == 0 || length > kSromSize || address > kSromSize - length ||
        srom_.size() < static_cast<size_t>(address) + length)
        return "";
    const size_t from = length > 128 ? address + length - 128 : address;
    const std::string tail(srom_.begin() + from, srom_.begin() + address + length);
    const size_t k = tail.find("Version:");
    if (k == std::string::npos) return "";
    std::string text = tail.substr(k + 8);
    text = text.substr(0, text.find('\0'));
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

void Model508::takeImage(int entry, const uint8_t* bytes, uint32_t n) {
    const uint32_t address = kSromEntryAddress[entry];
    sromWrite(address, bytes, n);
    uint8_t* e = &srom_[kSromDefaultAt + entryOffset(entry)];
    le32(e + 12, n);
    le32(e + 16, negSum(bytes, n));
}

// The boot record of the main firmware (0x1000) or of the second bootloader (0x0000), made from
// the default block as the adapter's own loader does after a one-transfer update.
void Model508::rebuildRecord(bool main) {
    uint8_t r[kSromRecordSize];
    memset(r, 0xFF, sizeof r);
    r[1] = 1;
    const uint8_t* a = &srom_[kSromDefaultAt + entryOffset(main ? 5 : 2)];
    const uint8_t* b = &srom_[kSromDefaultAt + entryOffset(main ? 6 : 3)];
    memcpy(r + 4, a, 16);
    le32(r + 20, a[16]);
    memcpy(r + 28, b + 4, 4);
    memcpy(r + 32, b + 8, 4);
    le32(r + 40, b[16]);
    r[0] = static_cast<uint8_t>(negSum(r + 1, 43));
    sromWrite(main ? kSromMainRecordAt : kSromBootRecordAt, r, sizeof r);
}

std::string Model508::checkSromWrite(uint32_t address, const uint8_t* bytes, uint32_t n) const {
    const std::string where = std::to_string(n) + " bytes at " + hexText(address);
    if (address == kSromDefaultAt) {
        if (n != kSromDefaultSize) return "default block of " + where;
        for (int e = 0; e < 7; ++e) {
            const uint8_t* f = bytes + entryOffset(e);
            const uint32_t at = u32(f + 4), len = u32(f + 12), sum = u32(f + 16);
            if (at != kSromEntryAddress[e])
                return "default block moves entry " + std::to_string(e) + " to " + hexText(at);
            if (kSromEntryArea[e] == 0) continue;
            if (len == 0 || len > kSromEntryArea[e])
                return "default block entry " + std::to_string(e) + " of " +
                       std::to_string(len) + " bytes";
            std::vector<uint8_t> held(len, 0xFF);
            for (uint32_t i = 0; i < len && at + i < srom_.size(); ++i) held[i] = srom_[at + i];
            if (negSum(held.data(), len) != sum)
                return "default block entry " + std::to_string(e) + " checksum " + hexText(sum) +
                       " does not match the SROM";
        }
        return "";
    }
    if (address == kSromMainRecordAt || address == kSromBootRecordAt) {
        if (n != kSromRecordSize) return "boot record of " + where;
        if (static_cast<uint8_t>(negSum(bytes + 1, 43)) != bytes[0])
            return "boot record at " + hexText(address) + " with a wrong checksum byte";
        if (bytes[1] != 1) return "boot record at " + hexText(address) + " not marked valid";
        const uint32_t at = u32(bytes + 8), len = u32(bytes + 16);
        const int e = address == kSromMainRecordAt ? 5 : 2;
        if (at != kSromEntryAddress[e] || len == 0 || len > kSromEntryArea[e])
            return "boot record at " + hexText(address) + " names " + std::to_string(len) +
                   " bytes at " + hexText(at);
        return "";
    }
    for (int e = 0; e < 7; ++e) {
        const uint32_t start = kSromEntryAddress[e], area = kSromEntryArea[e];
        if (area && address >= start && n <= area && address - start <= area - n) return "";
    }
    return "SROM write of " + where + " outside every image area";
}

void Model508::buildSrom() {
    srom_.assign(kSromEntryAddress[5], 0xFF);
    uint8_t* d = &srom_[kSromDefaultAt];
    memset(d, 0, kSromDefaultSize);
    memcpy(d, "SRDB", 4);
    for (uint32_t i = 144; i < kSromDefaultSize; ++i) d[i] = static_cast<uint8_t>(i * 3 + 1);
    for (int e = 0; e < 7; ++e) {
        uint8_t* f = d + entryOffset(e);
        le32(f, 0xA5000000u + static_cast<uint32_t>(e));
        le32(f + 4, kSromEntryAddress[e]);
        le32(f + 8, 0x00010000u * static_cast<uint32_t>(e + 1));
    }
    const std::vector<uint8_t> bl0 = madeImage(1024, 1, "");
    const std::vector<uint8_t> bl1 = madeImage(2048, 2, config_.bootloaderVersion);
    const std::vector<uint8_t> fw0 = madeImage(4096, 3, "");
    const std::vector<uint8_t> fw = madeImage(8192, 4, config_.firmwareVersion);
    takeImage(0, bl0.data(), static_cast<uint32_t>(bl0.size()));
    takeImage(1, bl1.data(), static_cast<uint32_t>(bl1.size()));
    takeImage(2, bl1.data(), static_cast<uint32_t>(bl1.size()));
    takeImage(4, fw0.data(), static_cast<uint32_t>(fw0.size()));
    takeImage(5, fw.data(), static_cast<uint32_t>(fw.size()));
    // The references carry the checksums of what they point to (the SROM grew meanwhile).
    d = &srom_[kSromDefaultAt];
    memcpy(d + entryOffset(3) + 12, d + entryOffset(1) + 12, 8);
    memcpy(d + entryOffset(6) + 12, d + entryOffset(4) + 12, 8);
    rebuildRecord(true);
    rebuildRecord(false);
}

void Model508::loadSrom() {
    if (!config_.sromFile.empty()) {
        if (FILE* f = fopen(config_.sromFile.c_str(), "rb")) {
            std::vector<uint8_t> bytes(kSromSize);
            const size_t got = fread(bytes.data(), 1, bytes.size(), f);
            const bool more = fgetc(f) != EOF;
            fclose(f);
            if (!more && got >= kSromDefaultAt + kSromDefaultSize) {
                bytes.resize(got);
                srom_ = std::move(bytes);
                return;
            }
        }
    }
    buildSrom();
    saveSrom();
}

void Model508::saveSrom() {
    if (config_.sromFile.empty()) return;
    // Written beside and renamed, so a run stopped half-way leaves the previous SROM whole.
    const std::string tmp = config_.sromFile + ".part";
    FILE* f = fopen(tmp.c_str(), "wb");
    if (!f) return;
    const bool whole = fwrite(srom_.data(), 1, srom_.size(), f) == srom_.size();
    if (fclose(f) == 0 && whole) rename(tmp.c_str(), config_.sromFile.c_str());
}

}  // namespace emu
