// See emulateRun.h.
#include "emulator/app/emulateRun.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "devmgr/DevManager.h"
#include "emulator/adapters/edidCorpus.h"
#include "emulator/evdi/evdiEmu.h"
#include "emulator/output/pngWriter.h"
#include "emulator/output/summary.h"
#include "service/threads.h"
#include "session/VelDev.h"

namespace emurun {

namespace {

constexpr int kStepMs = 33;
// Before the end of a timed run: drawing stops, the last frames reach the monitors.
constexpr long kSettleMs = 700;

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

bool monitorFromFile(const std::string& path, int port, emu::Model520::Monitor* monitor,
                     std::string* error) {
    std::vector<uint8_t> edid;
    if (std::ifstream in{path, std::ios::binary}) {
        edid.assign(std::istreambuf_iterator<char>(in), {});
    } else {
        // Not a file: one of the test monitors built into the emulator, by its corpus name.
        edid = emu::edidCorpusBytes(path);
        if (edid.empty()) edid = emu::edidCorpusBytes(path + ".bin");
        if (edid.empty()) {
            *error = "cannot read " + path + " (neither a file nor a built-in monitor name)";
            return false;
        }
    }
    emu::DesktopMode mode;
    if (edid.size() > 32 * 128 || !emu::parsePreferredMode(edid.data(), edid.size(), &mode)) {
        *error = path + " is not an EDID with a preferred timing";
        return false;
    }
    monitor->target = static_cast<uint16_t>(0x20 + port);
    monitor->edid = std::move(edid);
    monitor->modeList = emu::Model520::modeEntry(static_cast<uint16_t>(mode.width),
                                                 static_cast<uint16_t>(mode.height), 32,
                                                 static_cast<uint16_t>(mode.refresh));
    return true;
}

emu::Model520::Monitor builtInMonitor(int port) {
    emu::Model520::Monitor m;
    m.target = static_cast<uint16_t>(0x20 + port);
    m.edid = emu::makeEdid(1920, 1080, 60);
    m.modeList = emu::Model520::modeEntry(1920, 1080, 32, 60);
    return m;
}

void DesktopDriver::start(std::vector<RunAdapter> adapters, emu::Scene scene, bool light,
                          long seconds) {
    adapters_ = std::move(adapters);
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

void DesktopDriver::run(emu::Scene scene, bool light, long seconds) {
    vel::threadInit("emuDesktop");
    const auto drawUntil =
        started_ + std::chrono::milliseconds(seconds > 0 ? seconds * 1000 - kSettleMs : 0);
    while (!stop_ && (seconds == 0 || std::chrono::steady_clock::now() < drawUntil)) {
        if (light && g_dev) {
            for (int key = 0; key < 2; ++key) {
                if (auto dev = g_dev->findDev(key)) {
                    dev->lightMode = 1;
                    dev->powerMode = 1;
                }
            }
        }
        for (evdi_handle h : emu::openHandles()) {
            if (!emu::desktopRunning(h)) continue;
            emu::desktopSetScene(h, scene);
            emu::desktopStep(h);
        }
        vel::sleepMs(kStepMs);
    }
    if (seconds == 0 || stop_) return;
    vel::sleepMs(kSettleMs);
    takeShots();
    kill(getpid(), SIGTERM);
}

void DesktopDriver::takeShots() {
    for (const RunAdapter& a : adapters_) {
        if (!a.model520) continue;
        std::shared_ptr<VelDev> dev = g_dev ? g_dev->findDev(a.sessionKey) : nullptr;
        for (int out = 0; out < 3; ++out) {
            Shot s;
            s.busId = a.busId;
            s.model = a.model;
            s.picture = a.model520->picture(out);
            if (s.picture.target == 0) continue;
            if (dev && s.picture.framesShown > 0) {
                auto it = dev->target2View.find(s.picture.target);
                evdi_handle h =
                    it == dev->target2View.end() ? nullptr : dev->evdiHandle[it->second];
                const emu::DesktopMode mode = h ? emu::desktopMode(h) : emu::DesktopMode{};
                if (mode.width == s.picture.width && mode.height == s.picture.height) {
                    const std::vector<uint32_t> desk = emu::desktopPixels(h);
                    const size_t stride = static_cast<size_t>(mode.width) * 4;
                    if (desk.size() * 4 == s.picture.pixels.size())
                        s.psnrDb = emu::psnr(reinterpret_cast<const uint8_t*>(desk.data()),
                                             s.picture.pixels.data(), mode.width, mode.height,
                                             stride, stride);
                }
            }
            shots_.push_back(std::move(s));
        }
    }
    shot_ = true;
}

std::vector<Shot> DesktopDriver::shots() {
    if (shot_) return shots_;
    std::vector<Shot> now;
    for (const RunAdapter& a : adapters_) {
        if (!a.model520) continue;
        for (int out = 0; out < 3; ++out) {
            Shot s{a.busId, a.model, a.model520->picture(out), -1.0};
            if (s.picture.target != 0) now.push_back(std::move(s));
        }
    }
    return now;
}

int writeOutputs(const std::string& dir, const std::vector<RunAdapter>& adapters,
                 const std::vector<Shot>& shots, double seconds) {
    emu::RunSummary summary;
    int rc = 0;
    for (const RunAdapter& a : adapters) {
        uint64_t bytes = 0;
        if (a.model520)
            for (const auto& m : a.model520->received()) bytes += m.transferLength;
        summary.setAdapter(a.busId, a.model, bytes);
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
        summary.setMonitor(s.busId, m);
        if (p.framesShown == 0 || p.pixels.empty()) continue;
        char name[64];
        snprintf(name, sizeof name, "/%d-0x%02x.png", s.busId, p.target);
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
