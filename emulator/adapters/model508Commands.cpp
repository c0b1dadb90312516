// What the emulated 50x adapter does with each control, cursor and image packet, what it
// answers, its monitors and events, and the test-side state. See model508.h.
#include <turbojpeg.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "emulator/adapters/model508.h"

namespace emu {

namespace {

// Parameter-block offsets are relative to packet byte 16.
constexpr size_t kParam = 16;
constexpr size_t kEdidReply = 560;   // 48-byte head + up to four EDID blocks
constexpr size_t kListReply = 1024;  // mode-list and capability replies
constexpr size_t kCursorImage = 16480;
constexpr size_t kDecoderHeader = 20480;
constexpr uint32_t kMaxWidth = 3840, kMaxHeight = 2160;
constexpr size_t kDefaultCaps = 205;

uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void put16(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    v[at] = static_cast<uint8_t>(x);
    v[at + 1] = static_cast<uint8_t>(x >> 8);
}
void put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

std::string hex(unsigned v) {
    char b[16];
    snprintf(b, sizeof b, "0x%02x", v);
    return b;
}

bool isTarget(uint8_t t) { return t == 1 || t == 2 || t == 4 || t == 8; }

// First non-zero parameter byte in [from, to] (inclusive), or -1.
int nonZero(const uint8_t* pb, size_t from, size_t to) {
    for (size_t i = from; i <= to; ++i)
        if (pb[i]) return static_cast<int>(i);
    return -1;
}

// The control codes this family's firmware knows (firmware-update codes are handled apart).
bool knownCode(uint8_t c) {
    switch (c) {
        case 0x30:
        case 0x31:
        case 0x32:
        case 0x3F:
        case 0x40:
        case 0x41:
        case 0x42:
        case 0x45:
        case 0x46:
        case 0x47:
        case 0x4C:
        case 0x4E:
        case 0x60:
        case 0x64:
        case 0x65:
        case 0xD7:
        case 0xEC:
            return true;
        default:
            return false;
    }
}

// Codes answered with a control reply of their own type.
bool repliesControl(uint8_t c) {
    return c == 0x30 || c == 0x31 || c == 0x32 || c == 0x3F || c == 0x40 || c == 0x41 ||
           c == 0x42 || c == 0x4C || c == 0xD7;
}

// The timing class the host must give a mode: 1920 x 1080 is class 0, 2560 x 1440 and above
// class 1, anything else class 2.
uint8_t timingClass(uint32_t w, uint32_t h) {
    if (w == 1920 && h == 1080) return 0;
    if (w >= 2560) return h >= 1440 ? 1 : 2;
    return 2;
}

}  // namespace

int Model508::portOfTarget(uint8_t target) const {
    for (int p = 0; p < kPorts; ++p)
        if (target == (1u << p)) return p;
    return -1;
}

std::string Model508::checkControl(const M508Packet& p, const uint8_t* data, size_t length) const {
    const uint8_t* pb = data + kParam;
    const std::string code = hex(p.code);
    auto payload = [&](int at) {
        return "code " + code + " with payload byte " + std::to_string(at) + " " + hex(pb[at]);
    };
    int z = -1;
    switch (p.code) {
        case 0x30:
            for (int i = 0; i < kViews; ++i) {
                const uint8_t* r = pb + 5 + 10 * i;
                if (r[0] == 255) continue;  // a disabled or free view: nothing else is read
                if (!isTarget(r[1]))
                    return "mode record " + std::to_string(i) + " with target " + hex(r[1]);
                const uint32_t w = u16(r + 3), h = u16(r + 5), hz = u16(r + 8);
                if (w == 0 || h == 0 || hz == 0 || r[7] != 32)
                    return "mode record " + std::to_string(i) + " malformed";
                if (r[2] != timingClass(w, h))
                    return "mode record " + std::to_string(i) + " with timing class " +
                           std::to_string(r[2]);
                if (r[2] != 0 && w * h >= 6144000 && hz != 30)
                    return "mode record " + std::to_string(i) + " above 6,144,000 pixels at " +
                           std::to_string(hz) + " Hz";
            }
            z = nonZero(pb, 25, 26);
            break;
        case 0x31:
            if (!isTarget(pb[5])) return "DPMS for target " + hex(pb[5]);
            if (pb[6] > 1) return payload(6);
            z = nonZero(pb, 7, 26);
            break;
        case 0x32:
            if (pb[5] > 1) return payload(5);
            z = nonZero(pb, 6, 26);
            break;
        case 0x40:
            if (pb[5] != 1) return payload(5);
            if (u16(pb + 6) == 0 || u16(pb + 8) == 0) return "view size of zero";
            z = nonZero(pb, 10, 26);
            break;
        case 0x42: {
            if (length != kCursorImage)
                return "cursor image of " + std::to_string(length) + " bytes";
            if (pb[5] != 0x30 || pb[6] != 0x40)
                return "cursor image with format bytes " + hex(pb[5]) + " " + hex(pb[6]);
            if ((z = nonZero(pb, 7, 8)) < 0) z = nonZero(pb, 10, 26);
            if (z >= 0) break;
            if (u32(data + 48) != 2 || u32(data + 52) != 64 || u32(data + 56) != 64 ||
                u32(data + 60) != 256 || u32(data + 72) != 16384)
                return "cursor image with a malformed image head";
            break;
        }
        case 0x47:
            if (pb[5] > 1 || pb[6] != pb[5] || pb[7] != pb[5])
                return "heartbeat 0x47 with values " + hex(pb[5]) + " " + hex(pb[6]) + " " +
                       hex(pb[7]);
            z = nonZero(pb, 8, 26);
            break;
        case 0x4C:
            if ((z = nonZero(pb, 5, 8)) < 0 && (z = nonZero(pb, 13, 16)) < 0)
                z = nonZero(pb, 21, 26);
            break;
        case 0x4E: {
            if (!isTarget(pb[5])) return "4k patch for target " + hex(pb[5]);
            const uint32_t v = u32(pb + 6);
            if (v > 1) return "4k patch value " + std::to_string(v);
            z = nonZero(pb, 10, 26);
            break;
        }
        case 0x60:
        case 0x64:
            if (!isTarget(pb[5])) return "code " + code + " for target " + hex(pb[5]);
            z = nonZero(pb, 6, 26);
            break;
        case 0xD7:
            if (pb[5] != 3 || pb[6] > 1 || pb[7] != pb[6])
                return "heartbeat 0xd7 with values " + hex(pb[5]) + " " + hex(pb[6]) + " " +
                       hex(pb[7]);
            z = nonZero(pb, 8, 26);
            break;
        default:
            if (!knownCode(p.code)) return "unknown command " + code;
            // 0x3F, 0x41, 0x45, 0x46, 0x65, 0xEC carry no payload.
            z = nonZero(pb, 5, 26);
            break;
    }
    if (z >= 0) return payload(z);
    return "";
}

std::vector<Model508::Answer> Model508::handleControl(const M508Packet& p, const uint8_t* data,
                                                      size_t /*length*/) {
    const uint8_t* pb = data + kParam;
    const int v = p.viewSelect == 0x10 ? 1 : 0;
    std::vector<Answer> answers;
    auto reply = [&](uint8_t status, uint8_t d0 = 0, uint8_t d1 = 0) {
        answers.push_back({controlReply(p.code, status, d0, d1)});
    };
    if (!knownCode(p.code)) {
        // Firmware that does not know a command answers with type 0xFF, status 1.
        ++unknown_;
        answers.push_back({controlReply(0xFF, 1, 0xFF, p.code)});
        return answers;
    }
    if (!p.error.empty()) {
        // Refused: the commands that have an answer get it with status 1.
        if (repliesControl(p.code) && !(p.code == 0xD7 && !config_.heartbeatExtension))
            reply(1);
        else if (p.code == 0x60 || p.code == 0x64 || p.code == 0x65)
            answers.push_back({packet(p.code, 1, p.code == 0x60 ? kEdidReply : kListReply)});
        return answers;
    }
    switch (p.code) {
        case 0x30: {
            uint8_t status = 0;
            for (int i = 0; i < kViews; ++i) {
                const uint8_t* r = pb + 5 + 10 * i;
                if (r[0] != 255 && (u16(r + 3) > kMaxWidth || u16(r + 5) > kMaxHeight)) status = 2;
            }
            if (status == 0) {
                for (int i = 0; i < kViews; ++i) {
                    const uint8_t* r = pb + 5 + 10 * i;
                    ViewState& s = views_[i];
                    s.viewId = r[0];
                    s.target = r[1];
                    s.timingClass = r[2];
                    s.width = u16(r + 3);
                    s.height = u16(r + 5);
                    s.refresh = u16(r + 8);
                    ++s.modeSets;
                }
            }
            reply(status);
            break;
        }
        case 0x31: {
            TargetState& t = targets_[pb[5]];
            t.dpmsOff = pb[6];
            ++t.dpmsCommands;
            reply(0);
            break;
        }
        case 0x32: {
            views_[v].power = pb[5];
            powerOn_ = views_[0].power == 1 || views_[1].power == 1;
            reply(0);
            bool any = false;
            for (bool b : plugged_) any = any || b;
            if (pb[5] == 1 && !reportedAtPowerOn_) {
                // Monitors that were there before power-on are announced once it is on.
                reportedAtPowerOn_ = true;
                if (any)
                    answers.push_back(
                        {monitorEvent(portMaskLocked()), config_.powerOnEventDelay, false});
            }
            break;
        }
        case 0x3F:
            ++views_[v].post3F;
            reply(0);
            break;
        case 0x41:
            ++views_[v].post41;
            reply(0);
            break;
        case 0x40:
            views_[v].sizeWidth = u16(pb + 6);
            views_[v].sizeHeight = u16(pb + 8);
            ++views_[v].sizeSets;
            reply(0);
            break;
        case 0x42:
            cursors_.slots[pb[9]].assign(data + 96, data + kCursorImage);
            ++cursors_.uploads;
            reply(0);
            break;
        case 0x45:
            ++frameIndexResets_;
            break;
        case 0x46:
            ++views_[v].resets;
            break;
        case 0x47:
            heartbeat_.open = pb[5] == 1;
            ++(pb[5] ? heartbeat_.legacyOn : heartbeat_.legacyOff);
            break;
        case 0x4C:
            layer_.on = (p.viewSelect & 0x10) != 0;
            layer_.values[0] = u16(pb + 9);
            layer_.values[1] = u16(pb + 11);
            layer_.values[2] = u16(pb + 17);
            layer_.values[3] = u16(pb + 19);
            ++layer_.sets;
            reply(0);
            break;
        case 0x4E: {
            TargetState& t = targets_[pb[5]];
            t.patch = static_cast<int>(u32(pb + 6));
            ++t.patchCommands;
            break;
        }
        case 0x60: {
            TargetState& t = targets_[pb[5]];
            ++t.edidReads;
            if (data[18] & 0x20) ++t.edidRepeats;
            answers.push_back({edidReply(pb[5])});
            break;
        }
        case 0x64:
            ++targets_[pb[5]].modeListReads;
            answers.push_back({modeListReply(pb[5])});
            break;
        case 0x65:
            answers.push_back({capabilityReply()});
            break;
        case 0xD7:
            if (!config_.heartbeatExtension) {
                // The older firmware does not know the extension: the host falls back to 0x47.
                ++unknown_;
                answers.push_back({controlReply(0xFF, 1, 0xFF, p.code)});
                break;
            }
            heartbeat_.open = pb[6] == 1;
            ++(pb[6] ? heartbeat_.extensionOn : heartbeat_.extensionOff);
            reply(0, 0, config_.heartbeatFlags);
            break;
        case 0xEC: {
            const auto now = std::chrono::steady_clock::now();
            if (heartbeat_.bulkBeats > 0) {
                const long gap =
                    static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          now - heartbeat_.lastBulkBeat)
                                          .count());
                heartbeat_.longestBulkGapMs = std::max(heartbeat_.longestBulkGapMs, gap);
            }
            heartbeat_.lastBulkBeat = now;
            ++heartbeat_.bulkBeats;
            break;
        }
        default:
            break;
    }
    return answers;
}

std::vector<uint8_t> Model508::edidReply(uint8_t target) const {
    std::vector<uint8_t> v = packet(0x60, 0, kEdidReply);
    v[22] = target;
    const int port = portOfTarget(target);
    if (port < 0 || !plugged_[port]) {
        v[17] = 1;  // nothing on that port
        return v;
    }
    const std::vector<uint8_t>& edid = monitors_[port].edid;
    const size_t n = std::min(edid.size(), kEdidReply - 48);
    put32(v, 18, static_cast<uint32_t>(n));
    std::copy(edid.begin(), edid.begin() + static_cast<long>(n), v.begin() + 48);
    return v;
}

std::vector<uint8_t> Model508::modeListReply(uint8_t target) const {
    std::vector<uint8_t> v = packet(0x64, 0, kListReply);
    const int port = portOfTarget(target);
    if (port < 0 || !plugged_[port]) {
        v[17] = 1;
        return v;
    }
    // A reply holds what fits in its 1024 bytes; the count says how many entries follow.
    const auto& modes = monitors_[port].modes;
    const size_t n = std::min(modes.size(), static_cast<size_t>(kMaxModes));
    put16(v, 18, static_cast<uint32_t>(n));
    for (size_t i = 0; i < n; ++i) {
        const size_t at = 48 + 16 * i;
        put32(v, at, modes[i].width);
        put32(v, at + 4, modes[i].height);
        put32(v, at + 8, modes[i].refresh);
        put32(v, at + 12, modes[i].bpp);
    }
    return v;
}

std::vector<uint8_t> Model508::capabilityReply() const {
    std::vector<uint8_t> v = packet(0x65, 0, kListReply);
    std::vector<uint8_t> caps = config_.capabilities;
    if (caps.empty()) {
        // The model's own block: tag, ports, views, the largest mode, the mode-list capacity
        // and the firmware version text.
        caps.assign(kDefaultCaps, 0);
        memcpy(caps.data(), "V50X", 4);
        caps[4] = kPorts;
        caps[5] = kViews;
        put16(caps, 6, kMaxWidth);
        put16(caps, 8, kMaxHeight);
        caps[10] = kMaxModes;
        const size_t n = std::min(config_.firmwareVersion.size(), size_t{64});
        memcpy(caps.data() + 12, config_.firmwareVersion.data(), n);
    }
    const size_t n = std::min(caps.size(), v.size() - 18);
    std::copy(caps.begin(), caps.begin() + static_cast<long>(n), v.begin() + 18);
    return v;
}

std::string Model508::checkCursor(const M508Packet& p) const {
    const uint8_t* b = p.bytes.data();
    if (p.kind == 0x3A) {
        if (u32(b + 17) != 12)
            return "cursor position with size field " + std::to_string(u32(b + 17));
        if (b[21] >= kViews) return "cursor position for view " + std::to_string(b[21]);
        if (int z = nonZero(b, 22, 31); z >= 0)
            return "cursor position with byte " + std::to_string(z) + " set";
        return "";
    }
    if (b[17] != 0 || b[18] != 0x40 || b[19] || b[20]) return "cursor select with a malformed head";
    if (b[21] >= kViews) return "cursor select for view " + std::to_string(b[21]);
    if (b[26] > 1) return "cursor select with uploaded flag " + hex(b[26]);
    if (int z = nonZero(b, 27, 47); z >= 0)
        return "cursor select with byte " + std::to_string(z) + " set";
    const uint32_t slot = u32(b + 22);
    if (!cursors_.slots.count(slot))
        return "cursor select of slot " + std::to_string(slot) + " never uploaded";
    return "";
}

void Model508::handleCursor(const M508Packet& p) {
    const uint8_t* b = p.bytes.data();
    ViewState& s = views_[b[21]];
    if (p.kind == 0x3A) {
        s.cursorVisible = (b[32] & 1) != 0;
        s.cursorX = static_cast<int32_t>(u32(b + 36));
        s.cursorY = static_cast<int32_t>(u32(b + 40));
        ++s.positions;
    } else {
        s.cursorSlot = u32(b + 22);
        ++s.selects;
    }
}

std::string Model508::checkImage(const M508Packet& p, const uint8_t* data, size_t length) const {
    const uint8_t* b = data;
    if (b[17] || b[18]) return "image packet with bytes 17-18 set";
    if (b[19] != 0xA0 && b[19] != 0xB0) return "image packet with view select " + hex(b[19]);
    if (b[20] != 0x04 || b[21] != 0x01)
        return "image packet with bytes 20-21 " + hex(b[20]) + " " + hex(b[21]);
    if (b[26] != 0xE0) return "image packet with format " + hex(b[26]);
    if (b[35]) return "image packet with byte 35 set";
    const uint32_t jpeg = u32(b + 38);
    uint64_t total = uint64_t{jpeg} + 48 + kDecoderHeader;
    const bool filler = total % 512 == 0;
    if (filler) ++total;  // one filler byte keeps the transfer off a 512 multiple
    if (total != p.lengthField)
        return "image packet of " + std::to_string(p.lengthField) + " bytes for a " +
               std::to_string(jpeg) + "-byte JPEG";
    if (filler && (total > length || data[total - 1] != 0))
        return "image packet whose filler byte is not zero";
    const uint16_t x = u16(b + 27), y = u16(b + 29), w = u16(b + 31), h = u16(b + 33);
    if (w == 0 || h == 0 || u16(b + 36) == 0) return "image packet with an empty rectangle";
    const ViewState& s = views_[b[19] == 0xB0 ? 1 : 0];
    if (s.modeSets > 0 && (x + w > s.width || y + h > s.height))
        return "image rectangle outside the view's mode";
    if (s.modeSets > 0 && u16(b + 36) != uint32_t{s.width} * 4)
        return "image stride " + std::to_string(u16(b + 36)) + " for a view " +
               std::to_string(s.width) + " pixels wide";
    if (b[42] != 0x11 && b[42] != 0x21 && b[42] != 0x22)
        return "image packet with piece flags " + hex(b[42]);
    const uint8_t* j = data + 48;
    // The announced length may run past the JPEG's end marker (model 0x0508 rounds it up to
    // whole KiB): what follows the marker is zeros.
    const size_t end = jpegEnd(j, jpeg);
    if (jpeg < 4 || j[0] != 0xFF || j[1] != 0xD8 || end == 0)
        return "image packet without a whole JPEG";
    for (size_t i = end; i < jpeg; ++i)
        if (j[i]) return "image packet with bytes after its JPEG";
    int jw = 0, jh = 0, sub = 0, cs = 0;
    tjhandle t = tjInitDecompress();
    const int rc = t ? tjDecompressHeader3(t, j, static_cast<unsigned long>(end), &jw, &jh, &sub,
                                           &cs)
                     : -1;
    if (t) tjDestroy(t);
    if (rc != 0) return "image packet whose JPEG header does not parse";
    if (jw != w || jh != h)
        return "JPEG of " + std::to_string(jw) + " x " + std::to_string(jh) + " for a " +
               std::to_string(w) + " x " + std::to_string(h) + " rectangle";
    if (sub != TJSAMP_420) return "JPEG not in 4:2:0";
    return checkDecoderHeader(j + jpeg, length - 48 - jpeg, j, jpeg, jw, jh);
}

// The end of the JPEG at `j` (just past its EOI marker) within `length` bytes, 0 when there is
// none: the last FF D9 followed by nothing but zeros.
size_t Model508::jpegEnd(const uint8_t* j, size_t length) {
    size_t end = length;
    while (end >= 2 && j[end - 1] == 0) --end;
    if (end < 4 || j[end - 2] != 0xFF || j[end - 1] != 0xD9) return 0;
    return end;
}

// The protocol-0 decoder header after the JPEG against what the adapter reads in the JPEG
// itself: record count, stream size and address span, frame offset, picture size and sampling.
std::string Model508::checkDecoderHeader(const uint8_t* h, size_t room, const uint8_t* jpeg,
                                         uint32_t jpegLength, int width, int height) {
    constexpr size_t kRecord = 2856;
    if (room < 1 + kRecord) return "image packet without room for its decoder header";
    const uint8_t n = h[0];
    if (n < 1 || n > 3 || 1 + n * kRecord > room)
        return "decoder header with " + std::to_string(n) + " records";
    const uint8_t* r = h + 1;
    const uint32_t start = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(jpeg));
    (void)start;  // the host's address, not ours: only the span is checked
    if (u32(r + 20) != jpegLength)
        return "decoder header stream size " + std::to_string(u32(r + 20)) + " for a " +
               std::to_string(jpegLength) + "-byte JPEG";
    if (u32(r + 0) - u32(r + 12) != jpegLength)
        return "decoder header stream end is not its start plus the JPEG length";
    if (u32(r + 28) != 0) return "decoder header frame offset " + std::to_string(u32(r + 28));
    if (static_cast<int>(u32(r + 116)) != width || static_cast<int>(u32(r + 120)) != height)
        return "decoder header picture " + std::to_string(u32(r + 116)) + " x " +
               std::to_string(u32(r + 120)) + " for a " + std::to_string(width) + " x " +
               std::to_string(height) + " JPEG";
    if (u32(r + 152) != 0) return "decoder header format " + std::to_string(u32(r + 152));
    if (u32(r + 124) != (static_cast<uint32_t>(width) + 15) / 16 * 16 ||
        u32(r + 128) != (static_cast<uint32_t>(height) + 15) / 16 * 16)
        return "decoder header aligned size wrong";
    return "";
}

std::vector<Model508::Answer> Model508::handleImage(const M508Packet& p, const uint8_t* data,
                                                    size_t length) {
    ViewState& s = views_[data[19] == 0xB0 ? 1 : 0];
    const uint32_t index = u32(data + 22);
    ++s.images;
    s.imageBytes += length;
    s.lastFrameIndex = index;
    if (config_.decodeImages) paint(s, data);
    if (s.frameIndexes.size() >= 65536) s.frameIndexes.erase(s.frameIndexes.begin());
    s.frameIndexes.push_back(index);
    (void)p;
    std::vector<Answer> answers;
    if (!config_.acknowledgeFrames) return answers;
    framesOut_.insert(index);
    const int inFlight = static_cast<int>(framesOut_.size());
    for (auto& v : views_) {
        v.framesInFlight = inFlight;
        v.maxFramesInFlight = std::max(v.maxFramesInFlight, inFlight);
    }
    // The frame is shown, and acknowledged, once all of its pieces are in (piece flags: count
    // in the high nibble, number in the low one; checked by checkImage).
    Pieces& pc = pieces_[data[19] == 0xB0 ? 1 : 0];
    if (pc.index != index) pc = Pieces{index, 0};
    pc.seen = static_cast<uint8_t>(pc.seen | (1u << ((data[42] & 0x0F) - 1)));
    if (pc.seen == (1u << (data[42] >> 4)) - 1) {
        pc.seen = 0;
        answers.push_back({frameIndexEvent(index), config_.frameAckDelay, false});
    }
    return answers;
}

// Decodes the packet's JPEG and paints it at its rectangle into the view's picture (sized by the
// view's last mode set; a picture without one takes the first rectangle's far corner).
void Model508::paint(ViewState& s, const uint8_t* data) {
    const uint16_t x = u16(data + 27), y = u16(data + 29), w = u16(data + 31), h = u16(data + 33);
    const uint8_t* j = data + 48;
    const size_t end = jpegEnd(j, u32(data + 38));
    const int pw = s.modeSets > 0 ? s.width : x + w, ph = s.modeSets > 0 ? s.height : y + h;
    FrameRing& ring = rings_[&s - views_];
    const size_t buffers = static_cast<size_t>(std::max(1, config_.frameBuffers));
    if (s.pictureWidth != pw || s.pictureHeight != ph ||
        ring.buffers.size() != (buffers > 1 ? buffers : 0)) {
        s.pictureWidth = pw;
        s.pictureHeight = ph;
        s.picture.assign(static_cast<size_t>(pw) * ph * 4, 0);
        ring.buffers.assign(buffers > 1 ? buffers : 0, s.picture);
        ring.shown = 0;
        ring.index = u32(data + 22);
        ring.first = true;
    }
    if (x + w > pw || y + h > ph) return;
    // A new frame is decoded into the next buffer; both halves of a split frame into the same.
    if (buffers > 1 && u32(data + 22) != ring.index) {
        ring.index = u32(data + 22);
        ring.first = false;
        ring.buffers[ring.shown].swap(s.picture);
        ring.shown = (ring.shown + 1) % buffers;
        s.picture.swap(ring.buffers[ring.shown]);
    }
    std::vector<uint8_t> pixels(static_cast<size_t>(w) * h * 4);
    tjhandle t = tjInitDecompress();
    const int rc = t ? tjDecompress2(t, j, static_cast<unsigned long>(end), pixels.data(), w, 0, h,
                                     TJPF_BGRX, 0)
                     : -1;
    if (t) tjDestroy(t);
    if (rc != 0) {
        ++s.undecodable;
        return;
    }
    for (int r = 0; r < h; ++r)
        memcpy(&s.picture[(static_cast<size_t>(y + r) * pw + x) * 4], &pixels[r * size_t{w} * 4],
               size_t{w} * 4);
    // The first frame after a size change starts every buffer.
    if (ring.first)
        for (size_t b = 0; b < ring.buffers.size(); ++b)
            if (b != ring.shown) ring.buffers[b] = s.picture;
    ++s.framesShown;
}

uint8_t Model508::portMaskLocked() const {
    uint8_t m = 0;
    for (int p = 0; p < kPorts; ++p)
        if (plugged_[p]) m = static_cast<uint8_t>(m | (1u << p));
    return m;
}

void Model508::plugMonitor(int port, Monitor monitor, bool notify) {
    if (port < 0 || port >= kPorts) return;
    std::lock_guard<std::mutex> lk(mutex());
    monitors_[port] = std::move(monitor);
    plugged_[port] = true;
    if (notify) pushIn(monitorEvent(portMaskLocked()), std::chrono::milliseconds(0));
}

void Model508::unplugMonitor(int port, bool notify) {
    if (port < 0 || port >= kPorts) return;
    std::lock_guard<std::mutex> lk(mutex());
    plugged_[port] = false;
    monitors_[port] = Monitor{};
    if (notify) pushIn(monitorEvent(portMaskLocked()), std::chrono::milliseconds(0));
}

void Model508::notifyPorts() {
    std::lock_guard<std::mutex> lk(mutex());
    pushIn(monitorEvent(portMaskLocked()), std::chrono::milliseconds(0));
}

uint8_t Model508::portMask() {
    std::lock_guard<std::mutex> lk(mutex());
    return portMaskLocked();
}

Model508::HeartbeatState Model508::heartbeat() {
    std::lock_guard<std::mutex> lk(mutex());
    return heartbeat_;
}

Model508::ViewState Model508::view(int i) {
    std::lock_guard<std::mutex> lk(mutex());
    if (i < 0 || i >= kViews) return ViewState{};
    return views_[i];
}

uint64_t Model508::imagePackets(int view) {
    std::lock_guard<std::mutex> lk(mutex());
    return view < 0 || view >= kViews ? 0 : views_[view].images;
}

Model508::TargetState Model508::target(uint8_t targetId) {
    std::lock_guard<std::mutex> lk(mutex());
    auto it = targets_.find(targetId);
    return it == targets_.end() ? TargetState{} : it->second;
}

Model508::CursorStore Model508::cursors() {
    std::lock_guard<std::mutex> lk(mutex());
    return cursors_;
}

Model508::LayerState Model508::layer() {
    std::lock_guard<std::mutex> lk(mutex());
    return layer_;
}

int Model508::frameIndexResets() {
    std::lock_guard<std::mutex> lk(mutex());
    return frameIndexResets_;
}

bool Model508::powerOn() {
    std::lock_guard<std::mutex> lk(mutex());
    return powerOn_;
}

}  // namespace emu
