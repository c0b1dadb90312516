// A 50x-family (model 0x0508) session streaming to the emulated adapter, for the 50x pipeline
// benchmarks.
//
// The rig plugs an emulated model-0x0508 adapter with one monitor per view, opens it, makes the
// session (its send thread runs from the start) and the 50x display class with its receive
// thread (which turns the adapter's frame-index events into frame credits), sets each view's
// mode and starts the view's four pipeline threads, as the plug-in does. It then does what the
// EVDI update handling does for a view: take the update token, grab the whole screen into the
// view's pixel area (a copy of one of two desktop pictures that differ everywhere), and queue
// the dirty rectangle, which the view's "encodeRgb" thread picks up.
//
// Frames are numbered per view in the order their first packet is framed (every update of a
// view that takes the token becomes one frame: the 50x pipeline drops none). Times taken: the
// push of each update, the end of the framing of the frame's last packet (dataHeaderPackage
// returned: the packet is about to go on the send queue; a split frame has two) and the end of
// the bulk transfer of its last packet (the adapter model's out() returned). The adapter
// model's own CPU time (it runs on the send thread, inside the transfer) is counted apart so it
// can be left out of the service's figures. The model's JPEG decoding is off unless asked for:
// it still checks every packet and acknowledges every frame.
#pragma once

#include <libusb-1.0/libusb.h>
#include <semaphore.h>

#include <atomic>
#include <filesystem>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "display/VelDisplay508ClassDriver.h"
#include "emulator/adapters/model508.h"
#include "emulator/evdi/desktop.h"
#include "emulator/evdi/evdiEmu.h"
#include "emulator/usb/bus.h"
#include "pipeline/jpeg520.h"
#include "pipeline/pipeline508.h"
#include "pipeline520Rig.h"
#include "session/VelDev.h"

namespace rig508 {

using rig::nowNs;

// Per view: push time of each update (by sequence), and the framing and transfer-end times of
// each frame's last packet. A frame takes its index only when its packets go on the send queue,
// after framing, and one view's frames are framed and sent in order: framed frames wait in a
// per-view queue, and the first packet of a new index on the wire takes the oldest of them.
// (A frame dropped between framing and sending would shift the pairing; the bench sees none.)
struct Timeline {
    struct Pending {
        int view = -1, seq = -1;
        int framedPieces = 0, sentPieces = 0, pieces = 1;
    };
    std::mutex m;
    std::deque<Pending> unsent[VEL_MAX_VIEWS];
    std::map<uint32_t, Pending> byIndex;
    std::vector<int64_t> pushed[VEL_MAX_VIEWS], framed[VEL_MAX_VIEWS], sent[VEL_MAX_VIEWS];
    int nextSeq[VEL_MAX_VIEWS] = {};
    std::atomic<int> sentCount[VEL_MAX_VIEWS] = {};
    std::condition_variable sentCv;  // notified at every frame's last transfer end (under m)

    void reserve(int view, int frames) {
        pushed[view].assign(frames, 0);
        framed[view].assign(frames, 0);
        sent[view].assign(frames, 0);
    }
    void noteFramed(int view, uint8_t pieceFlags, int64_t t) {
        std::lock_guard<std::mutex> lk(m);
        if (view < 0 || view >= VEL_MAX_VIEWS) return;
        std::deque<Pending>& q = unsent[view];
        if (q.empty() || q.back().framedPieces >= q.back().pieces) {
            Pending p;
            p.view = view;
            p.seq = nextSeq[view]++;
            p.pieces = pieceFlags == 0x11 ? 1 : 2;
            q.push_back(p);
        }
        Pending& p = q.back();
        ++p.framedPieces;
        if (p.seq < static_cast<int>(framed[view].size())) framed[view][p.seq] = t;
    }
    void noteSent(int view, uint32_t index, int64_t t) {
        std::lock_guard<std::mutex> lk(m);
        auto it = byIndex.find(index);
        if (it == byIndex.end()) {
            if (view < 0 || view >= VEL_MAX_VIEWS || unsent[view].empty()) return;
            it = byIndex.emplace(index, unsent[view].front()).first;
            unsent[view].pop_front();
        }
        Pending& p = it->second;
        if (++p.sentPieces < p.pieces) return;
        if (p.seq < static_cast<int>(sent[p.view].size())) sent[p.view][p.seq] = t;
        sentCount[p.view].fetch_add(1);
        byIndex.erase(it);
        sentCv.notify_all();
    }
};

// The adapter model, with the end of every image transfer noted and its own CPU time counted.
class TimedModel508 : public emu::Model508 {
  public:
    TimedModel508(Config c, Timeline* t) : emu::Model508(std::move(c)), timeline(t) {}
    emu::Status out(uint8_t endpoint, const uint8_t* data, size_t length) override {
        const int64_t c0 = rig::threadCpuNs();
        const emu::Status s = emu::Model508::out(endpoint, data, length);
        modelCpuNs += rig::threadCpuNs() - c0;
        if (endpoint == 2 && length >= 48 && data[16] == 0x02) {
            const uint32_t index = static_cast<uint32_t>(data[22]) | (data[23] << 8) |
                                   (data[24] << 16) | (static_cast<uint32_t>(data[25]) << 24);
            timeline->noteSent(data[19] == 0xB0 ? 1 : 0, index, nowNs());
        }
        return s;
    }
    Timeline* timeline;
    std::atomic<int64_t> modelCpuNs{0};
};

// The 50x display class, with the end of every framing noted.
class TimedDisplay508 : public VelDisplayClass508 {
  public:
    TimedDisplay508(VelDev* dev, int key, Timeline* t) : VelDisplayClass508(dev, key), timeline(t) {}
    int dataHeaderPackage(const void* frameRecord, void* packet, _VELRECT rect, int jpegSize,
                          int sourceIndex) override {
        const int rc =
            VelDisplayClass508::dataHeaderPackage(frameRecord, packet, rect, jpegSize, sourceIndex);
        const auto* record = static_cast<const _RECT_IN_ENCODE_Q*>(frameRecord);
        if (record)
            timeline->noteFramed(sourceIndex, record->pieceFlags, nowNs());
        return rc;
    }
    Timeline* timeline;
};

struct Options {
    int views = 1;
    int width = 1920, height = 1080;
    bool decodeImages = false;
};

class Rig {
  public:
    explicit Rig(const Options& o) : opt(o) {
        char tmpl[] = "/tmp/vel-bench508-XXXXXX";
        if (mkdtemp(tmpl)) dir = tmpl;
        std::filesystem::create_directories(dir + "/log");
        std::filesystem::create_directories(dir + "/fw");
        setenv("VEL_LOG_DIR", (dir + "/log").c_str(), 1);
        setenv("VEL_FW_DIR", (dir + "/fw").c_str(), 1);
        shm = "/velbench508_" + std::to_string(getpid());
        setenv("VEL_SHM_NAME", shm.c_str(), 1);

        emu::setEvdiLibVersion(1, 12, 0);
        emu::setAutoDesktop(false);
        bus.reset();
        emu::Model508::Config cfg;
        cfg.decodeImages = o.decodeImages;
        model = std::make_shared<TimedModel508>(cfg, &timeline);
        for (int v = 0; v < o.views; ++v) {
            model->plugMonitor(
                v,
                emu::Model508::monitor(emu::makeEdid(o.width, o.height, 60),
                                       {{static_cast<uint32_t>(o.width),
                                         static_cast<uint32_t>(o.height), 60, 32}}),
                false);
        }
        if (bus.plug(model, emu::adapterIdentity("508")) <= 0) { fail("plug"); return; }
        if (libusb_init(&ctx) != 0) { fail("libusb_init"); return; }
        libusb_device** list = nullptr;
        if (libusb_get_device_list(ctx, &list) != 1) { fail("device list"); return; }
        const int orc = libusb_open(list[0], &handle);
        libusb_free_device_list(list, 1);
        if (orc != 0 || libusb_claim_interface(handle, 4) != 0 ||
            libusb_set_interface_alt_setting(handle, 4, 1) != 0)
            { fail("open"); return; }

        dev = std::make_shared<VelDev>(nullptr);
        dev->usbHandle = handle;
        dev->model = 0x508;
        dev->productId = 0x508;
        dev->viewCount = 2;
        dev->openTimeReset();
        dev->cmdEndpoint508 = 1;
        dev->imageEndpoint = 2;
        for (auto& entry : dev->viewTable) entry = {-1, 0};
        dc = std::make_shared<TimedDisplay508>(dev.get(), 0, &timeline);
        dc->bindSession(dev);
        dev->displayClass = dc;
        std::shared_ptr<VelDisplayClass508> self = dc;
        std::thread([self] { self->fwStatusThread(); }).detach();

        for (int v = 0; v < o.views; ++v) {
            const int target = 1 << v;  // ports 0 and 1
            dev->viewTable[v] = {v, target};
            dev->target2View[target] = v;
            const size_t bytes = static_cast<size_t>(o.width) * o.height * 4;
            auto* px = static_cast<unsigned char*>(malloc(bytes));
            if (!px) { fail("pixels"); return; }
            memcpy(px, rig::desktopFrame(o.width, o.height, 1).data(), bytes);
            {
                std::lock_guard<std::mutex> lk(dev->evdiGrabMutex[v]);
                dev->evdiBuffer[v].buffer = px;
                dev->evdiBuffer[v].width = o.width;
                dev->evdiBuffer[v].height = o.height;
                dev->evdiBuffer[v].stride = o.width * 4;
            }
            dev->pixelFormat[v] = 0x34325258;  // XR24
            dev->refreshRate[v] = 60;
            dev->displayOff[v] = 0;
        }
        for (int v = 0; v < o.views; ++v)
            if (dc->setMode(v) != 0) { fail("mode set"); return; }
        dev->connected = true;
        dev->modeSetDone = 1;
        for (int v = 0; v < o.views; ++v) {
            dev->viewActive[v] = true;
            dev->startPipeline508(v);
        }
        ok = true;
    }

    ~Rig() {
        if (dev) {
            for (int v = 0; v < opt.views; ++v) dev->viewActive[v] = false;
            for (int v = 0; v < opt.views; ++v) dev->stopPipeline508(v);
            if (dc) dc->displayClassExitFlag = true;
            dev->connected = false;
            // The receive thread leaves at its next check.
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        }
        if (handle) libusb_close(handle);
        if (dev) dev->displayClass.reset();
        dev.reset();
        dc.reset();
        if (ctx) libusb_exit(ctx);
        bus.reset();
        emu::setAutoDesktop(true);
        velFrameBufferTrim();
        shm_unlink(shm.c_str());
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }

    bool waitToken(int v, int ms) {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        ts.tv_sec += ms / 1000;
        ts.tv_nsec += (ms % 1000) * 1000000L;
        if (ts.tv_nsec >= 1000000000L) {
            ts.tv_sec += 1;
            ts.tv_nsec -= 1000000000L;
        }
        while (sem_timedwait(&dev->updateToken[v], &ts) != 0)
            if (errno != EINTR) return false;
        return true;
    }

    // The grab of update `seq` of view `v` (the token already taken): the copy of the screen.
    void grab(int v, int seq) {
        std::lock_guard<std::mutex> lk(dev->evdiGrabMutex[v]);
        const auto& f = rig::desktopFrame(opt.width, opt.height, seq & 1);
        memcpy(dev->evdiBuffer[v].buffer, f.data(), f.size());
    }
    // The dirty rectangle of the whole screen: the conversion thread takes it from here.
    void push(int v, int seq) {
        if (seq < static_cast<int>(timeline.pushed[v].size())) timeline.pushed[v][seq] = nowNs();
        dev->rectQueue[v].push(evdi_rect{0, 0, opt.width, opt.height});
    }
    // One whole update: false when the token did not come back within 2 s.
    bool update(int v, int seq) {
        if (!waitToken(v, 2000)) return false;
        grab(v, seq);
        push(v, seq);
        return true;
    }

    // Waits until `n` frames of view `v` ended their last transfer, at most `ms`.
    bool waitSent(int v, int n, int ms) {
        std::unique_lock<std::mutex> lk(timeline.m);
        return timeline.sentCv.wait_for(lk, std::chrono::milliseconds(ms),
                                        [&] { return timeline.sentCount[v].load() >= n; });
    }

    // Forgets the packets the adapter model recorded (it keeps the head of every one).
    void dropRecords() { model->clearReceived(); }

    Options opt;
    bool ok = false;
    std::string error;
    std::string dir, shm;
    Timeline timeline;
    emu::Bus& bus = emu::Bus::instance();
    std::shared_ptr<TimedModel508> model;
    libusb_context* ctx = nullptr;
    libusb_device_handle* handle = nullptr;
    std::shared_ptr<VelDev> dev;
    std::shared_ptr<TimedDisplay508> dc;

  private:
    void fail(const char* what) {
        error = what;
        fprintf(stderr, "rig set-up failed: %s\n", what);
    }
};

}  // namespace rig508
