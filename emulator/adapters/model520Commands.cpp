// What the emulated model-520 adapter does with each command it accepted, and what it answers.
// Runs inside out() with mutex() held (see model520.h).
#include <cstring>

#include "emulator/adapters/model520.h"

namespace emu {

namespace {

constexpr size_t kLogTextBytes = 64;
// Log blocks follow one another like the adapter's log DMA: a few milliseconds apart.
constexpr std::chrono::milliseconds kLogBlockSpacing(20);

std::vector<uint8_t> text(const std::string& s) {
    std::vector<uint8_t> v(s.begin(), s.end());
    v.push_back(0);
    return v;
}

}  // namespace

std::vector<uint8_t> Model520::capabilityBlock() const {
    if (!config_.capabilities.empty()) return config_.capabilities;
    // 115 bytes: a version byte, then the three outputs' limits; the host stores it unread.
    std::vector<uint8_t> caps(115, 0);
    caps[0] = 1;
    for (int i = 0; i < 3; ++i) {
        caps[1 + i * 8] = static_cast<uint8_t>(0x20 + i);  // port
        caps[2 + i * 8] = 0x00;
        caps[3 + i * 8] = 0x0F;  // 3840
        caps[4 + i * 8] = 0x70;
        caps[5 + i * 8] = 0x08;  // 2160
        caps[6 + i * 8] = 60;
    }
    for (size_t i = 25; i < caps.size(); ++i) caps[i] = static_cast<uint8_t>(i * 7);
    return caps;
}

std::vector<uint8_t> Model520::respond(const M520Message& m, const std::vector<uint8_t>& payload,
                                       bool errorFlag) {
    M520Header h;
    h.kind = 1;
    h.sessionTag = m.header.sessionTag;
    h.source = m.header.source;
    h.errorFlag = errorFlag;
    h.dataType = m.header.dataType;
    h.dataClass = m.header.dataClass;
    h.target = m.header.target;
    h.displayDevice = m.header.displayDevice;
    h.payloadLength = static_cast<uint32_t>(payload.size());
    std::vector<uint8_t> v = h.encode();
    v.insert(v.end(), payload.begin(), payload.end());
    return v;
}

std::vector<Model520::Answer> Model520::handleCommand(const M520Message& m) {
    const M520Header& h = m.header;
    std::vector<Answer> out;
    auto answer = [&](const std::vector<uint8_t>& payload, bool flag = false) {
        if (h.responseRequested) out.push_back({respond(m, payload, flag), {}});
    };
    const uint16_t dd = h.displayDevice;
    const bool ddValid = dd < 3 && displayDevices_[dd];

    if (h.dataClass == 0) {
        switch (h.dataType) {
            case 1: {
                uint8_t which = m.payload[0];
                if (which == 1)
                    answer(text(config_.firmwareVersion));
                else if (which == 4)
                    answer(text(config_.layoutVersion));
                else if (which == 5)
                    answer(text(config_.bl1Version));
                else
                    answer({}, true);
                break;
            }
            case 5:
                answer(capabilityBlock());
                break;
            case 0:  // EDID and mode list of a monitor: none is attached to this model yet
            case 4:
                answer({}, true);
                break;
            case 48: {
                // The firmware log, in blocks: u32 total, u32 index, 8 unused bytes, text.
                int total = config_.logBlocks;
                for (int i = 0; i < total; ++i) {
                    std::vector<uint8_t> p(16, 0);
                    for (int b = 0; b < 4; ++b) {
                        p[b] = static_cast<uint8_t>(total >> (8 * b));
                        p[4 + b] = static_cast<uint8_t>(i >> (8 * b));
                    }
                    std::string line = "fw log block " + std::to_string(i) + "\n";
                    line.resize(kLogTextBytes - 1, ' ');
                    auto t = text(line);
                    p.insert(p.end(), t.begin(), t.end());
                    M520Header lh;
                    lh.kind = 1;
                    lh.dataType = 48;
                    lh.payloadLength = static_cast<uint32_t>(p.size());
                    std::vector<uint8_t> v = lh.encode();
                    v.insert(v.end(), p.begin(), p.end());
                    out.push_back({std::move(v), kLogBlockSpacing * i});
                }
                break;
            }
            default:
                break;
        }
        return out;
    }

    if (h.dataClass == 1) {
        switch (h.dataType) {
            case 2:
                powerStatus_ = m.payload[0];
                answer({});
                break;
            case 21: {
                uint8_t status = m.payload[0];
                auto now = std::chrono::steady_clock::now();
                if (status == 2) {
                    if (heartbeat_.beats > 0) {
                        long gap =
                            static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  now - heartbeat_.lastBeat)
                                                  .count());
                        if (gap > heartbeat_.longestGapMs) heartbeat_.longestGapMs = gap;
                    }
                    ++heartbeat_.beats;
                    heartbeat_.lastBeat = now;
                } else if (status == 1) {
                    heartbeat_.open = true;
                    heartbeat_.openedAt = now;
                    ++heartbeat_.opens;
                    answer({});
                } else if (status == 0) {
                    heartbeat_.open = false;
                    ++heartbeat_.closes;
                    answer({});
                } else {
                    answer({}, true);
                }
                break;
            }
            case 51: {
                int id = -1;
                for (int i = 0; i < 3 && id < 0; ++i)
                    if (!displayDevices_[i]) id = i;
                if (id < 0) {
                    answer({}, true);
                } else {
                    displayDevices_[id] = true;
                    answer({static_cast<uint8_t>(id), 0});
                }
                break;
            }
            case 52:
                if (ddValid) {
                    displayDevices_[dd] = false;
                    monitorOf_.erase(dd);
                    sourceOf_.erase(dd);
                }
                answer({}, !ddValid);
                break;
            case 58:
                if (ddValid) monitorOf_[dd] = h.target;
                answer({}, !ddValid);
                break;
            case 59:
                if (ddValid) monitorOf_.erase(dd);
                answer({}, !ddValid);
                break;
            case 60:
                if (ddValid) sourceOf_[dd] = h.source;
                answer({}, !ddValid);
                break;
            case 61:
                if (ddValid) sourceOf_.erase(dd);
                answer({}, !ddValid);
                break;
            default:  // mode set, monitor power, cursor image, layers, video port: acknowledged
                answer({});
                break;
        }
        return out;
    }
    // Firmware images, cursor data and image packets take no answer.
    return out;
}

}  // namespace emu
