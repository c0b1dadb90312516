// What the emulated model-520 adapter does with each command it accepted, and what it answers.
// Runs inside out() with mutex() held (see model520.h).
#include <cstring>

#include "emulator/adapters/edidCorpus.h"
#include "emulator/adapters/model520.h"

namespace emu {

namespace {

// The monitors present at power-on are reported a little after the acknowledgement.
constexpr std::chrono::milliseconds kPowerOnReport(100);

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
    const bool ddValid = dd < 3 && devices_[dd].exists;

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
            case 0:  // EDID and mode list of the monitor bound to the display device
            case 4: {
                const Monitor* mon = monitorOfDevice(dd);
                if (!mon)
                    answer({}, true);
                else
                    answer(h.dataType == 0 ? mon->edid : mon->modeList);
                break;
            }
            case 48:
                out = firmwareLog();
                break;
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
                // Switched on, the adapter reports the monitors already on its outputs.
                if (powerStatus_ == 1 && (plugged_[0] || plugged_[1] || plugged_[2]))
                    out.push_back({portNotification(), kPowerOnReport});
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
                    if (heartbeat_.beats == 0) heartbeat_.firstBeat = now;
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
            case 0:  // mode set: VEL_MODE and the power mode
                if (ddValid) {
                    DisplayDevice& d = devices_[dd];
                    const uint8_t* p = m.payload.data();
                    d.width = static_cast<uint16_t>(p[0] | (p[1] << 8));
                    d.height = static_cast<uint16_t>(p[2] | (p[3] << 8));
                    d.bpp = p[4];
                    d.refresh = static_cast<uint16_t>(p[5] | (p[6] << 8));
                    d.powerMode = p[7];
                    ++d.modeSets;
                }
                answer({}, !ddValid);
                break;
            case 26: {  // layer on/off: u32 layer, u8 status
                if (ddValid) {
                    const uint8_t* p = m.payload.data();
                    uint32_t layer = static_cast<uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16) |
                                                           (static_cast<uint32_t>(p[3]) << 24));
                    Layer& l = devices_[dd].layers[layer];
                    l.on = p[4] != 0;
                    ++l.controls;
                }
                answer({}, !ddValid);
                break;
            }
            case 27: {  // layer rectangle: u32 layer, u16 x, y, w, h, u32 0
                if (ddValid) {
                    const uint8_t* p = m.payload.data();
                    uint32_t layer = static_cast<uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16) |
                                                           (static_cast<uint32_t>(p[3]) << 24));
                    Layer& l = devices_[dd].layers[layer];
                    l.x = static_cast<uint16_t>(p[4] | (p[5] << 8));
                    l.y = static_cast<uint16_t>(p[6] | (p[7] << 8));
                    l.width = static_cast<uint16_t>(p[8] | (p[9] << 8));
                    l.height = static_cast<uint16_t>(p[10] | (p[11] << 8));
                    ++l.sets;
                }
                answer({}, !ddValid);
                break;
            }
            case 51: {
                int id = -1;
                for (int k = 0; k < 3 && id < 0; ++k) {
                    int i = createFromTop_ ? 2 - k : k;
                    if (!devices_[i].exists) id = i;
                }
                if (id < 0) {
                    answer({}, true);
                } else {
                    devices_[id] = DisplayDevice{};
                    devices_[id].exists = true;
                    answer({static_cast<uint8_t>(id), 0});
                }
                break;
            }
            case 52:
                if (ddValid) devices_[dd] = DisplayDevice{};
                answer({}, !ddValid);
                break;
            case 58:
                if (ddValid) devices_[dd].monitor = h.target;
                answer({}, !ddValid);
                break;
            case 59:
                if (ddValid) devices_[dd].monitor = -1;
                answer({}, !ddValid);
                break;
            case 60:
                if (ddValid) devices_[dd].source = h.source;
                answer({}, !ddValid);
                break;
            case 61:
                if (ddValid) devices_[dd].source = -1;
                answer({}, !ddValid);
                break;
            case 1:   // display power: u8 off
            case 69:  // video port: u8 off
                if (ddValid) {
                    DisplayDevice& d = devices_[dd];
                    if (h.dataType == 1) {
                        d.powerOff = m.payload[0];
                        ++d.powerCommands;
                    } else {
                        d.videoPortOff = m.payload[0];
                        ++d.videoPortCommands;
                    }
                }
                answer({}, !ddValid);
                break;
            case 16:  // a new cursor image: the 80-byte record and the 128 x 128 area
                handleCursor(m);
                answer({});
                break;
            case 19:
                ++frameIndexResets_;
                break;
            default:
                answer({});
                break;
        }
        return out;
    }
    if (h.dataClass == 2) takeFirmware(m);
    if (h.dataClass == 3) handleCursor(m);
    // Firmware images, cursor data and image packets take no answer.
    return out;
}

void Model520::handleCursor(const M520Message& m) {
    const M520Header& h = m.header;
    const uint8_t* p = m.payload.data();
    if (m.payload.size() < 80) {
        errors_.push_back("cursor packet shorter than its record");
        return;
    }
    auto at = [p](size_t o) {
        return static_cast<uint32_t>(p[o] | (p[o + 1] << 8) | (p[o + 2] << 16) |
                                     (static_cast<uint32_t>(p[o + 3]) << 24));
    };
    const uint32_t id = at(8);
    const uint16_t dd = h.displayDevice;
    if (h.dataClass == 1) {  // upload
        cursors_.images[id].assign(m.payload.begin() + 80, m.payload.end());
        ++cursors_.uploads;
        return;
    }
    if (h.dataType == 1) {  // position
        if (dd < 3) {
            DisplayDevice& d = devices_[dd];
            d.cursorX = static_cast<int32_t>(at(12));
            d.cursorY = static_cast<int32_t>(at(16));
            d.cursorVisible = (p[32] & 0x08) != 0;
            ++d.positionUpdates;
        }
        return;
    }
    // Show an image: the record's id names it; the bytes after the record carry it too.
    ++cursors_.shows;
    if (!cursors_.images.count(id)) {
        ++cursors_.unknownShows;
        errors_.push_back("cursor id " + std::to_string(id) + " shown but never uploaded");
    }
    if (dd < 3) {
        devices_[dd].cursorId = id;
        ++devices_[dd].cursorShows;
    }
}

Model520::CursorStore Model520::cursors() {
    std::lock_guard<std::mutex> lk(mutex());
    return cursors_;
}

int Model520::frameIndexResets() {
    std::lock_guard<std::mutex> lk(mutex());
    return frameIndexResets_;
}

const Model520::Monitor* Model520::monitorOfDevice(uint16_t dd) const {
    if (dd >= 3 || !devices_[dd].exists || devices_[dd].monitor < 0) return nullptr;
    for (int i = 0; i < 3; ++i)
        if (plugged_[i] && monitors_[i].target == devices_[dd].monitor) return &monitors_[i];
    return nullptr;
}

std::vector<uint8_t> Model520::portNotification() const {
    // Four bytes the host skips, then the target at each output.
    std::vector<uint8_t> data(4, 0);
    for (int i = 0; i < 3; ++i)
        data.push_back(plugged_[i] ? static_cast<uint8_t>(monitors_[i].target) : 0xEE);
    return message(4, 1, 0, data);
}

void Model520::plugMonitor(int output, Monitor monitor, bool notify) {
    if (output < 0 || output >= 3) return;
    std::lock_guard<std::mutex> lk(mutex());
    monitors_[output] = std::move(monitor);
    plugged_[output] = true;
    pictures_[output] = Picture{};
    pictures_[output].target = monitors_[output].target;
    if (notify) pushIn(portNotification(), std::chrono::milliseconds(0));
}

void Model520::unplugMonitor(int output, bool notify) {
    if (output < 0 || output >= 3) return;
    std::lock_guard<std::mutex> lk(mutex());
    plugged_[output] = false;
    monitors_[output] = Monitor{};
    if (notify) pushIn(portNotification(), std::chrono::milliseconds(0));
}

void Model520::notifyPorts() {
    std::lock_guard<std::mutex> lk(mutex());
    pushIn(portNotification(), std::chrono::milliseconds(0));
}

void Model520::setMonitorEdid(int output, std::vector<uint8_t> edid) {
    if (output < 0 || output >= 3) return;
    std::lock_guard<std::mutex> lk(mutex());
    monitors_[output].edid = std::move(edid);
}

void Model520::notifyFrameIndex(uint16_t dd, uint64_t frameIndex, uint8_t tag) {
    std::vector<uint8_t> data(4, 0);
    data.push_back(tag);
    data.push_back(0);
    data.push_back(static_cast<uint8_t>(dd));
    data.push_back(static_cast<uint8_t>(dd >> 8));
    for (int i = 0; i < 8; ++i) data.push_back(static_cast<uint8_t>(frameIndex >> (8 * i)));
    std::lock_guard<std::mutex> lk(mutex());
    pushIn(message(4, 9, dd, data), std::chrono::milliseconds(0));
}

Model520::DisplayDevice Model520::displayDevice(int dd) {
    std::lock_guard<std::mutex> lk(mutex());
    if (dd < 0 || dd >= 3) return DisplayDevice{};
    return devices_[dd];
}

void Model520::setCreateFromTop(bool top) {
    std::lock_guard<std::mutex> lk(mutex());
    createFromTop_ = top;
}

std::vector<uint8_t> Model520::modeEntry(uint16_t width, uint16_t height, uint8_t bpp,
                                         uint16_t refresh) {
    return {static_cast<uint8_t>(width),
            static_cast<uint8_t>(width >> 8),
            static_cast<uint8_t>(height),
            static_cast<uint8_t>(height >> 8),
            bpp,
            static_cast<uint8_t>(refresh),
            static_cast<uint8_t>(refresh >> 8)};
}

std::vector<uint8_t> Model520::corpusEdid(const std::string& name) {
    return edidCorpusBytes(name);
}

}  // namespace emu
