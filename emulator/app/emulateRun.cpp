// See emulateRun.h.
#include "emulator/app/emulateRun.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "devmgr/DevManager.h"
#include "devmgr/controlBlock.h"
#include "emulator/adapters/edidCorpus.h"
#include "emulator/evdi/evdiEmu.h"
#include "emulator/output/pngWriter.h"
#include "emulator/output/summary.h"
#include "emulator/usb/bus.h"
#include "fwImages508.h"
#include "service/paths.h"
#include "service/threads.h"
#include "session/VelDev.h"

namespace emurun {

namespace {

constexpr int kStepMs = 33;
// Before the end of a timed run: drawing stops, the last frames reach the monitors.
constexpr long kSettleMs = 700;
// A slow machine (or a sanitizer build) can still be sending the last frames when the settle
// time is over: the run then goes on until no image packet has arrived for this long, within
// kSettleLimitMs past the planned end.
constexpr long kQuietMs = 400;
constexpr long kSettleLimitMs = 30000;

}  // namespace

bool parseScene(const std::string& name, emu::Scene* scene) {
    if (name == "static")
        *scene = emu::Scene::Static;
    else if (name == "moving-window")
        *scene = emu::Scene::MovingWindow;
    else if (name == "scrolling-text")
        *scene = emu::Scene::ScrollingText;
    else if (name == "full-screen")
        *scene = emu::Scene::FullScreen;
    else
        return false;
    return true;
}

bool loadMonitorEdid(const std::string& path, std::vector<uint8_t>* edid, emu::DesktopMode* mode,
                     std::string* error) {
    edid->clear();
    if (std::ifstream in{path, std::ios::binary}) {
        edid->assign(std::istreambuf_iterator<char>(in), {});
    } else {
        // Not a file: one of the test monitors built into the emulator, by its corpus name.
        *edid = emu::edidCorpusBytes(path);
        if (edid->empty()) *edid = emu::edidCorpusBytes(path + ".bin");
        if (edid->empty()) {
            *error = "cannot read " + path + " (neither a file nor a built-in monitor name)";
            return false;
        }
    }
    if (edid->size() > 32 * 128 || !emu::parsePreferredMode(edid->data(), edid->size(), mode)) {
        *error = path + " is not an EDID with a preferred timing";
        return false;
    }
    return true;
}

bool monitorFromFile(const std::string& path, int port, emu::Model520::Monitor* monitor,
                     std::string* error) {
    std::vector<uint8_t> edid;
    emu::DesktopMode mode;
    if (!loadMonitorEdid(path, &edid, &mode, error)) return false;
    monitor->target = static_cast<uint16_t>(0x20 + port);
    monitor->edid = std::move(edid);
    monitor->modeList = emu::Model520::modeEntry(static_cast<uint16_t>(mode.width),
                                                 static_cast<uint16_t>(mode.height), 32,
                                                 static_cast<uint16_t>(mode.refresh));
    return true;
}

bool monitor508FromFile(const std::string& path, emu::Model508::Monitor* monitor,
                        std::string* error) {
    std::vector<uint8_t> edid;
    emu::DesktopMode mode;
    if (!loadMonitorEdid(path, &edid, &mode, error)) return false;
    *monitor = emu::Model508::monitor(
        std::move(edid), {{static_cast<uint32_t>(mode.width), static_cast<uint32_t>(mode.height),
                           static_cast<uint32_t>(mode.refresh), 32}});
    return true;
}

emu::Model508::Monitor builtInMonitor508() {
    return emu::Model508::monitor(emu::makeEdid(1920, 1080, 60), {{1920, 1080, 60, 32}});
}

bool supplyHostFirmware508(const std::string& dir, const std::string& version, std::string* error) {
    mkdir(dir.c_str(), 0755);
    for (const velfw::Image508& image : velfw::hostImages508(version)) {
        const std::string path = dir + "/" + image.name;
        if (access(path.c_str(), F_OK) == 0) continue;
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(image.bytes.data()),
                  static_cast<std::streamsize>(image.bytes.size()));
        if (!out) {
            *error = "cannot write " + path;
            return false;
        }
    }
    return true;
}

emu::Model520::Monitor builtInMonitor(int port) {
    emu::Model520::Monitor m;
    m.target = static_cast<uint16_t>(0x20 + port);
    m.edid = emu::makeEdid(1920, 1080, 60);
    m.modeList = emu::Model520::modeEntry(1920, 1080, 32, 60);
    return m;
}

void MonitorIdentities::add(int adapter, int port, std::vector<uint8_t>* edid) {
    std::vector<uint8_t>& e = *edid;
    if (e.size() < 128) return;  // no identity to tell it by
    auto identity = [&e] {
        std::array<uint8_t, 10> id{};
        std::copy(e.begin() + 8, e.begin() + 18, id.begin());
        return id;
    };
    const std::pair<int, int> slot{adapter, port};
    for (uint32_t n = 0; n < 4096; ++n) {
        auto it = owner_.find(identity());
        if (it == owner_.end() || it->second == slot) break;
        // Bytes 12-15: the serial number, little-endian. The checksum moves by what the bytes
        // gained, so an EDID keeps whatever checksum state it came with.
        const uint32_t serial = 0x56450000u + static_cast<uint32_t>(adapter) * 0x100u +
                                static_cast<uint32_t>(port) * 0x10u + n * 0x1000u;
        int gained = 0;
        for (int i = 0; i < 4; ++i) {
            const uint8_t b = static_cast<uint8_t>(serial >> (8 * i));
            gained += b - e[12 + i];
            e[12 + i] = b;
        }
        e[127] = static_cast<uint8_t>(e[127] - gained);
    }
    owner_[identity()] = slot;
}

const std::vector<uint8_t>* RunAdapter::edidOn(int port) const {
    if (model520 && port >= 0 && port < 3 && ports[port]) return &ports[port]->edid;
    if (model508 && port >= 0 && port < emu::Model508::kPorts && ports508[port])
        return &ports508[port]->edid;
    return nullptr;
}

std::vector<std::pair<int, emu::Model520::Picture>> RunAdapter::pictures() const {
    std::vector<std::pair<int, emu::Model520::Picture>> out;
    if (model520) {
        for (int o = 0; o < 3; ++o) {
            emu::Model520::Picture p = model520->picture(o);
            if (p.target != 0) out.emplace_back(o, std::move(p));  // never had a monitor
        }
    }
    if (model508) {
        for (int v = 0; v < emu::Model508::kViews; ++v) {
            emu::Model508::ViewState s = model508->view(v);
            // A view's target is the one bit of its port; a view never set to a monitor has
            // none.
            const uint8_t t = s.target;
            if (s.modeSets == 0 || t == 0 || (t & (t - 1)) != 0) continue;
            int port = 0;
            while (!(t & (1u << port))) ++port;
            if (port >= emu::Model508::kPorts) continue;
            emu::Model520::Picture p;
            p.target = t;
            p.width = s.pictureWidth;
            p.height = s.pictureHeight;
            p.pixels = std::move(s.picture);
            p.packets = s.images;
            p.framesShown = s.framesShown;
            p.bytesReceived = s.imageBytes;
            p.shownIndex = s.lastFrameIndex;
            p.frameIndexes = std::move(s.frameIndexes);
            out.emplace_back(port, std::move(p));
        }
    }
    return out;
}

uint64_t RunAdapter::imagePackets() const {
    uint64_t n = 0;
    if (model520)
        for (int o = 0; o < 3; ++o) n += model520->imagePackets(o);
    if (model508)
        for (int v = 0; v < emu::Model508::kViews; ++v) n += model508->imagePackets(v);
    return n;
}

int plugAdapter(RunAdapter& a) {
    std::shared_ptr<emu::DeviceModel> device = a.make();
    auto m520 = std::dynamic_pointer_cast<emu::Model520>(device);
    auto m508 = std::dynamic_pointer_cast<emu::Model508>(device);
    // Monitors already on the outputs; the adapter reports them when it is switched on.
    if (m520)
        for (int p = 0; p < 3; ++p)
            if (a.ports[p]) m520->plugMonitor(p, *a.ports[p], false);
    if (m508)
        for (int p = 0; p < emu::Model508::kPorts; ++p)
            if (a.ports508[p]) m508->plugMonitor(p, *a.ports508[p], false);
    const int id = emu::Bus::instance().plug(device, emu::adapterIdentity(a.model));
    if (id < 0) {
        fprintf(stderr, "vel-emulate: cannot plug adapter %s\n", a.model.c_str());
        return -1;
    }
    if (a.model520)
        for (const auto& m : a.model520->received()) a.bytesBefore += m.transferLength;
    if (a.model508)
        for (const auto& m : a.model508->received()) a.bytesBefore += m.transferLength;
    a.device = std::move(device);
    a.model520 = std::move(m520);
    a.model508 = std::move(m508);
    a.busId = id;
    a.plugged = true;
    return id;
}

void DesktopDriver::start(std::vector<RunAdapter> adapters, std::vector<RunEvent> events,
                          emu::Scene scene, bool light, long seconds) {
    adapters_ = std::move(adapters);
    queues_.assign(adapters_.size(), {});
    waitingSince_.assign(adapters_.size(), {});
    for (RunEvent& ev : events)
        if (ev.adapter >= 0 && static_cast<size_t>(ev.adapter) < adapters_.size())
            queues_[static_cast<size_t>(ev.adapter)].push_back(std::move(ev));
    started_ = std::chrono::steady_clock::now();
    thread_ = std::thread([this, scene, light, seconds] { run(scene, light, seconds); });
}

void DesktopDriver::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

double DesktopDriver::runSeconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
}

evdi_handle DesktopDriver::desktopOf(const RunAdapter& a, int port) const {
    const std::vector<uint8_t>* monitorEdid = a.plugged ? a.edidOn(port) : nullptr;
    if (!monitorEdid || monitorEdid->size() < 128) return nullptr;
    const std::vector<uint8_t>& edid = *monitorEdid;
    // Newest first: the display of a monitor just plugged back can open before its old one
    // has closed.
    const std::vector<evdi_handle> open = emu::openHandles();
    for (auto it = open.rbegin(); it != open.rend(); ++it) {
        evdi_handle h = *it;
        const emu::EvdiConnectRecord r = emu::connectRecord(h);
        if (r.connected && r.edid.size() >= 18 &&
            std::equal(edid.begin() + 8, edid.begin() + 18, r.edid.begin() + 8) &&
            emu::desktopRunning(h))
            return h;
    }
    return nullptr;
}

namespace {

// PSNR of a monitor's picture against the desktop of `h`; negative when they cannot be
// compared (no desktop, no frame yet, other sizes).
double againstDesktop(const emu::Model520::Picture& p, evdi_handle h) {
    if (!h || p.framesShown == 0) return -1.0;
    const emu::DesktopMode mode = emu::desktopMode(h);
    if (mode.width != p.width || mode.height != p.height) return -1.0;
    const std::vector<uint32_t> desk = emu::desktopPixels(h);
    if (desk.size() * 4 != p.pixels.size()) return -1.0;
    const size_t stride = static_cast<size_t>(mode.width) * 4;
    return emu::psnr(reinterpret_cast<const uint8_t*>(desk.data()), p.pixels.data(), mode.width,
                     mode.height, stride, stride);
}

}  // namespace

DesktopDriver::Outcome DesktopDriver::apply(RunAdapter& a, const RunEvent& ev) {
    const double now = runSeconds();
    switch (ev.action) {
        case EventAction::UnplugAdapter:
            if (emu::Bus::instance().unplug(a.busId) == 0) {
                a.plugged = false;
                a.history.push_back({now, false, a.busId});
            }
            return Outcome::Done;
        case EventAction::PlugAdapter:
            if (plugAdapter(a) > 0) a.history.push_back({now, true, a.busId});
            return Outcome::Done;
        case EventAction::PlugMonitor:
            a.ports[ev.port] = ev.monitor;
            // An adapter off the bus takes the monitor along when it is plugged again.
            if (a.plugged && a.model520) a.model520->plugMonitor(ev.port, ev.monitor, true);
            return Outcome::Done;
        case EventAction::UnplugMonitor:
            a.ports[ev.port].reset();
            if (a.plugged && a.model520) a.model520->unplugMonitor(ev.port, true);
            return Outcome::Done;
        case EventAction::Dpms:
        case EventAction::Mode:
        case EventAction::Cursor: {
            // The desktop exists once the service has shown the monitor.
            evdi_handle h = desktopOf(a, ev.port);
            if (!h) return Outcome::NotYet;
            if (ev.action == EventAction::Dpms) {
                emu::desktopSetDpms(h, ev.dpms);
            } else if (ev.action == EventAction::Mode) {
                emu::desktopSetMode(h, ev.mode);
            } else {
                emu::desktopSetCursor(h, 32, 32, 0, 0, true);
                emu::desktopMoveCursor(h, ev.cursorX, ev.cursorY);
            }
            return Outcome::Done;
        }
    }
    return Outcome::Done;
}

void DesktopDriver::applyDue() {
    // How long a desktop event waits for its desktop (the service still plugging the monitor
    // in) before it is given up; later events of the same adapter wait behind it, so that its
    // events keep their order.
    constexpr auto kDesktopWait = std::chrono::seconds(5);
    const double now = runSeconds();
    for (size_t i = 0; i < adapters_.size(); ++i) {
        std::deque<RunEvent>& q = queues_[i];
        while (!q.empty() && q.front().seconds <= now) {
            const auto t = std::chrono::steady_clock::now();
            if (apply(adapters_[i], q.front()) == Outcome::NotYet) {
                if (waitingSince_[i] == std::chrono::steady_clock::time_point{})
                    waitingSince_[i] = t;
                if (t - waitingSince_[i] < kDesktopWait) break;
                fprintf(stderr, "vel-emulate: %s: %s: no desktop for it after 5 s, skipped\n",
                        q.front().where.c_str(), q.front().text.c_str());
            }
            waitingSince_[i] = {};
            q.pop_front();
        }
    }
}

void DesktopDriver::sample() {
    for (size_t i = 0; i < adapters_.size(); ++i) {
        const RunAdapter& a = adapters_[i];
        if (!a.plugged) continue;
        for (const auto& [port, p] : a.pictures()) {
            evdi_handle h = desktopOf(a, port);
            if (h && againstDesktop(p, h) >= kShowsDesktopDb)
                lastShowed_[{static_cast<int>(i), p.target}] = runSeconds();
        }
    }
}

uint64_t DesktopDriver::imagePackets() const {
    uint64_t n = 0;
    for (const RunAdapter& a : adapters_)
        if (a.plugged) n += a.imagePackets();
    return n;
}

void DesktopDriver::requestLightMode() {
    ControlBlockView cb;
    if (cb.open(vel::shmName().c_str(), true) != 0) return;  // the service has not made it yet
    for (int k = 0; k < VEL_SHM_RECORDS; ++k)
        cb.put(k, &VEL_SHM_RECORD::powerModeRequest, static_cast<uint8_t>(DevManager::LIGHT));
}

void DesktopDriver::run(emu::Scene scene, bool light, long seconds) {
    vel::threadInit("emuDesktop");
    // Comparing pictures costs a few milliseconds per monitor: a few times a second is enough.
    constexpr int kSampleEvery = 8;
    const auto drawUntil =
        started_ + std::chrono::milliseconds(seconds > 0 ? seconds * 1000 - kSettleMs : 0);
    const auto end = started_ + std::chrono::seconds(seconds);
    uint64_t packetsSeen = 0;
    auto quietSince = end;
    for (int step = 0; !stop_; ++step) {
        const auto now = std::chrono::steady_clock::now();
        const bool drawing = seconds == 0 || now < drawUntil;
        if (!drawing && now >= end) {
            const uint64_t n = imagePackets();
            if (n != packetsSeen) {
                packetsSeen = n;
                quietSince = now;
            }
            if (now - quietSince >= std::chrono::milliseconds(kQuietMs) ||
                now - end >= std::chrono::milliseconds(kSettleLimitMs))
                break;
        } else if (!drawing) {
            packetsSeen = imagePackets();  // as the settle time ends: quiet from here on?
        }
        applyDue();
        // Between steps the last frame has had a step's time to reach the monitors.
        if (step % kSampleEvery == 0) sample();
        // Light mode is asked for the way a user asks for it, through the control block (the
        // request is level-triggered and applied on the next heartbeat). Reaching into the
        // service's sessions from this thread would race with the service creating and
        // destroying its device manager.
        if (light && step % kSampleEvery == 0) requestLightMode();
        if (drawing) {
            for (evdi_handle h : emu::openHandles()) {
                if (!emu::desktopRunning(h)) continue;
                emu::desktopSetScene(h, scene);
                emu::desktopStep(h);
            }
        }
        vel::sleepMs(kStepMs);
    }
    if (seconds == 0 || stop_) return;
    takeShots();
    kill(getpid(), SIGTERM);
}

void DesktopDriver::takeShots() {
    const double now = runSeconds();
    for (size_t i = 0; i < adapters_.size(); ++i) {
        const RunAdapter& a = adapters_[i];
        for (auto& [port, picture] : a.pictures()) {
            Shot s;
            s.adapterId = a.id;
            s.model = a.model;
            s.picture = std::move(picture);
            s.psnrDb = againstDesktop(s.picture, desktopOf(a, port));
            const std::pair<int, int> key{static_cast<int>(i), s.picture.target};
            if (s.psnrDb >= kShowsDesktopDb) lastShowed_[key] = now;
            auto it = lastShowed_.find(key);
            if (it != lastShowed_.end()) s.lastShowedS = it->second;
            shots_.push_back(std::move(s));
        }
    }
    shot_ = true;
}

std::vector<Shot> DesktopDriver::shots() {
    if (shot_) return shots_;
    std::vector<Shot> now;
    for (size_t i = 0; i < adapters_.size(); ++i) {
        const RunAdapter& a = adapters_[i];
        for (auto& [port, picture] : a.pictures()) {
            (void)port;
            Shot s{a.id, a.model, std::move(picture), -1.0, -1.0};
            auto it = lastShowed_.find({static_cast<int>(i), s.picture.target});
            if (it != lastShowed_.end()) s.lastShowedS = it->second;
            now.push_back(std::move(s));
        }
    }
    return now;
}

int writeOutputs(const std::string& dir, const std::vector<RunAdapter>& adapters,
                 const std::vector<Shot>& shots, double seconds,
                 const emu::CaptureSummary* capture) {
    emu::RunSummary summary;
    int rc = 0;
    if (capture) summary.setCapture(*capture);
    for (const RunAdapter& a : adapters) {
        uint64_t bytes = a.bytesBefore;
        if (a.model520)
            for (const auto& m : a.model520->received()) bytes += m.transferLength;
        if (a.model508)
            for (const auto& m : a.model508->received()) bytes += m.transferLength;
        summary.setAdapter(a.id, a.model, bytes);
        summary.setHistory(a.id, a.history);
    }
    for (const Shot& s : shots) {
        const emu::Model520::Picture& p = s.picture;
        emu::MonitorSummary m;
        m.targetId = p.target;
        m.width = p.width;
        m.height = p.height;
        m.framesShown = p.framesShown;
        m.framesPerSecond = emu::framesPerSecond(p.framesShown, seconds);
        m.bytesReceived = p.bytesReceived;
        m.psnrDb = s.psnrDb;
        m.lastShowedDesktopS = s.lastShowedS;
        summary.setMonitor(s.adapterId, m);
        if (p.framesShown == 0 || p.pixels.empty()) continue;
        char name[64];
        snprintf(name, sizeof name, "/%d-0x%02x.png", s.adapterId, p.target);
        const int w = emu::writePng(dir + name, p.width, p.height, static_cast<size_t>(p.width) * 4,
                                    p.pixels.data());
        if (w != 0) {
            fprintf(stderr, "vel-emulate: cannot write %s%s (%d)\n", dir.c_str(), name, w);
            rc = -1;
        }
    }
    const int w = summary.write(dir);
    if (w != 0) {
        fprintf(stderr, "vel-emulate: cannot write %s/summary.json (%d)\n", dir.c_str(), w);
        rc = -1;
    }
    return rc;
}

}  // namespace emurun
