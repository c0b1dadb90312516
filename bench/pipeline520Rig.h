// A model-520 session streaming to the emulated adapter, for the pipeline benchmarks.
//
// The rig plugs an emulated model-520 adapter with one monitor per view, opens it, starts the
// session (conversion and send threads) and its display class with the receive thread, reads
// each monitor's EDID and sets the view's mode through the display class, so that the adapter
// accepts the image packets and acknowledges each frame index (which returns the frame credit).
// It then does what the EVDI update handling does for a view: take the update token, grab the
// whole screen into the view's next pixel area (a memcpy of one of two different desktop pictures,
// so every frame changes everywhere), queue the dirty rectangle and wake the conversion thread.
//
// Times taken: the push of each update, the end of each framing (dataHeaderPackage returned:
// the packet is about to be queued) and the end of each bulk transfer (the adapter model's
// out() returned), matched by view and frame index. The adapter model's own CPU time (it runs
// on the send thread, inside the transfer) is measured apart so it can be left out of the
// service's figures.
#pragma once

#include <libusb-1.0/libusb.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "display/VelDisplay520ClassDriver.h"
#include "emulator/adapters/model520.h"
#include "emulator/evdi/evdiEmu.h"
#include "emulator/usb/bus.h"
#include "pipeline/jpeg520.h"
#include "session/VelDev.h"

namespace rig {

inline int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline int64_t threadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline int64_t processCpuNs() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return (static_cast<int64_t>(ru.ru_utime.tv_sec) + ru.ru_stime.tv_sec) * 1000000000 +
           (static_cast<int64_t>(ru.ru_utime.tv_usec) + ru.ru_stime.tv_usec) * 1000;
}

// VmRSS or VmHWM of this process in KiB.
inline long statusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t n = strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, n, field) == 0) return std::strtol(line.c_str() + n + 1, nullptr, 10);
    return -1;
}

// A desktop-like BGRX picture: gradients, text-like detail bands and a dark window; `variant`
// shifts everything, so two variants differ in every block.
inline const std::vector<uint8_t>& desktopFrame(int w, int h, int variant) {
    static std::mutex m;
    static std::map<long, std::vector<uint8_t>> cache;
    std::lock_guard<std::mutex> lk(m);
    const long key = (static_cast<long>(w) * 100000 + h) * 4 + variant;
    auto it = cache.find(key);
    if (it != cache.end()) return it->second;
    std::vector<uint8_t> p(static_cast<size_t>(w) * h * 4, 0);
    uint32_t rnd = 1u + static_cast<uint32_t>(variant) * 7919u;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t* px = &p[(static_cast<size_t>(y) * w + x) * 4];
            rnd = rnd * 1103515245u + 12345u;
            const int sx = x + variant * 24, sy = y + variant * 16;
            const uint8_t detail = (sy % 200 < 40) ? static_cast<uint8_t>((rnd >> 16) & 0x3F) : 0;
            if (sx % w < w / 3) {
                px[0] = static_cast<uint8_t>(10 + (detail & 0x0F));
                px[1] = static_cast<uint8_t>(12 + (detail & 0x0F));
                px[2] = static_cast<uint8_t>(14 + detail);
            } else {
                px[0] = static_cast<uint8_t>(sx / 8 + detail);
                px[1] = static_cast<uint8_t>(sy / 5 + detail);
                px[2] = static_cast<uint8_t>((sx + sy) / 12);
            }
        }
    }
    return cache.emplace(key, std::move(p)).first->second;
}

struct Timeline;

// Switches the adapter model's JPEG decoding, on models that can decode.
template <typename C>
auto setDecodeImages(C& config, bool on, int) -> decltype(config.decodeImages = on, void()) {
    config.decodeImages = on;
}
template <typename C>
void setDecodeImages(C&, bool, long) {}

// The adapter model, with the end of every image transfer noted and its own CPU time counted.
class TimedModel520 : public emu::Model520 {
  public:
    TimedModel520(Config c, Timeline* t) : emu::Model520(std::move(c)), timeline(t) {}
    emu::Status out(uint8_t endpoint, const uint8_t* data, size_t length) override;
    Timeline* timeline;
    std::atomic<int64_t> modelCpuNs{0};
};

// The 520 display class, with the end of every framing noted.
class TimedDisplay520 : public VelDisplay520Class {
  public:
    TimedDisplay520(VelDev* dev, int key, Timeline* t)
        : VelDisplay520Class(dev, key), timeline(t) {}
    int dataHeaderPackage(const void* frameRecord, void* packet, _VELRECT rect, int jpegSize,
                          int sourceIndex) override;
    Timeline* timeline;
};

// Per view: push time of each update (by sequence), the sequence of each frame index, and the
// framing and transfer-end times of each sequence.
struct Timeline {
    std::mutex m;
    std::map<uint64_t, int> seqOfIndex[VEL_MAX_VIEWS];
    std::vector<int64_t> pushed[VEL_MAX_VIEWS], framed[VEL_MAX_VIEWS], sent[VEL_MAX_VIEWS];
    int viewOfDevice[3] = {-1, -1, -1};
    std::atomic<int> sentCount[VEL_MAX_VIEWS] = {};
    std::condition_variable sentCv;  // notified at every transfer end (under m)

    void reserve(int view, int frames) {
        pushed[view].assign(frames, 0);
        framed[view].assign(frames, 0);
        sent[view].assign(frames, 0);
    }
    void indexed(int view, uint32_t index, int seq) {
        std::lock_guard<std::mutex> lk(m);
        seqOfIndex[view][index] = seq;
    }
    // Records `t` into the chosen table for the view's frame index; a transfer end also
    // forgets the index and counts the frame as sent.
    void note(int view, uint32_t index, int64_t t, bool transferEnd) {
        std::lock_guard<std::mutex> lk(m);
        if (view < 0 || view >= VEL_MAX_VIEWS) return;
        auto it = seqOfIndex[view].find(index);
        if (it == seqOfIndex[view].end()) return;
        const int seq = it->second;
        auto& table = transferEnd ? sent[view] : framed[view];
        if (seq >= 0 && seq < static_cast<int>(table.size())) table[seq] = t;
        if (transferEnd) {
            seqOfIndex[view].erase(it);
            sentCount[view].fetch_add(1);
            sentCv.notify_all();
        }
    }
};

inline emu::Status TimedModel520::out(uint8_t endpoint, const uint8_t* data, size_t length) {
    const int64_t c0 = threadCpuNs();
    const emu::Status s = emu::Model520::out(endpoint, data, length);
    modelCpuNs += threadCpuNs() - c0;
    if (endpoint == 2 && length >= 112) {
        const uint16_t dd = static_cast<uint16_t>(data[16] | (data[17] << 8));
        const uint32_t index = static_cast<uint32_t>(data[40]) | (data[41] << 8) |
                               (data[42] << 16) | (static_cast<uint32_t>(data[43]) << 24);
        timeline->note(dd < 3 ? timeline->viewOfDevice[dd] : -1, index, nowNs(), true);
    }
    return s;
}

inline int TimedDisplay520::dataHeaderPackage(const void* frameRecord, void* packet, _VELRECT rect,
                                              int jpegSize, int sourceIndex) {
    const int rc =
        VelDisplay520Class::dataHeaderPackage(frameRecord, packet, rect, jpegSize, sourceIndex);
    const auto* record = static_cast<const _RECT_IN_ENCODE_Q*>(frameRecord);
    if (record)
        timeline->note(sourceIndex, static_cast<uint32_t>(record->frameIndex), nowNs(), false);
    return rc;
}

struct Options {
    int views = 1;
    int width = 1920, height = 1080;
    bool light = false;
    bool decodeImages = false;
};

class Rig {
  public:
    explicit Rig(const Options& o) : opt(o) {
        char tmpl[] = "/tmp/vel-bench-XXXXXX";
        if (mkdtemp(tmpl)) dir = tmpl;
        std::filesystem::create_directories(dir + "/log");
        std::filesystem::create_directories(dir + "/fw");
        setenv("VEL_LOG_DIR", (dir + "/log").c_str(), 1);
        setenv("VEL_FW_DIR", (dir + "/fw").c_str(), 1);
        shm = "/velbench_" + std::to_string(getpid());
        setenv("VEL_SHM_NAME", shm.c_str(), 1);

        emu::setEvdiLibVersion(1, 12, 0);
        emu::setAutoDesktop(false);
        bus.reset();
        emu::Model520::Config cfg;
        setDecodeImages(cfg, o.decodeImages, 0);
        model = std::make_shared<TimedModel520>(cfg, &timeline);
        for (int v = 0; v < o.views; ++v) {
            emu::Model520::Monitor mon;
            mon.target = static_cast<uint16_t>(0x21 + v);
            mon.edid = emu::Model520::corpusEdid("cta3-1080p-dell-s2419h-5A2CDC31568E.bin");
            for (auto [w, h] : {std::pair<int, int>{1920, 1080}, {3840, 2160}}) {
                auto e = emu::Model520::modeEntry(static_cast<uint16_t>(w),
                                                  static_cast<uint16_t>(h), 32, 60);
                mon.modeList.insert(mon.modeList.end(), e.begin(), e.end());
            }
            model->plugMonitor(v, mon, false);
        }
        if (bus.plug(model, emu::adapterIdentity("520")) <= 0) {
            fail("plug");
            return;
        }
        if (libusb_init(&ctx) != 0) {
            fail("libusb_init");
            return;
        }
        libusb_device** list = nullptr;
        if (libusb_get_device_list(ctx, &list) != 1) {
            fail("device list");
            return;
        }
        const int orc = libusb_open(list[0], &handle);
        libusb_free_device_list(list, 1);
        if (orc != 0 || libusb_claim_interface(handle, 4) != 0 ||
            libusb_set_interface_alt_setting(handle, 4, 1) != 0) {
            fail("open");
            return;
        }

        dev = std::make_shared<VelDev>(nullptr);
        dev->usbHandle = handle;
        dev->model = 0x520;
        dev->productId = 0x520;
        dev->viewCount = 3;
        dev->openTimeReset();
        dc = std::make_shared<TimedDisplay520>(dev.get(), 0, &timeline);
        dc->bindSession(dev);
        dev->displayClass = dc;
        if (dc->init() != 0) {
            fail("display class init");
            return;
        }
        dc->initEndpoint();
        dc->prepareResponses();
        std::shared_ptr<VelDisplay520Class> self = dc;
        std::thread([self] { self->fwStatusThread(); }).detach();

        std::vector<unsigned char> edid(32768);
        for (int v = 0; v < o.views; ++v) {
            const int target = 0x21 + v;
            unsigned int len = static_cast<unsigned int>(edid.size());
            if (dc->readMonitorEDID(target, edid.data(), &len) != 0) {
                fail("EDID");
                return;
            }
            const int dd = dc->findDeviceIdByTargetId(target);
            if (dd < 0 || dd > 2) {
                fail("display device");
                return;
            }
            timeline.viewOfDevice[dd] = v;
            dev->viewTable[v] = {v, target};
            dev->target2View[target] = v;
            const size_t bytes = static_cast<size_t>(o.width) * o.height * 4;
            // Two areas, as the mode change gives an XRGB view of the model.
            for (int area = 0; area < 2; ++area) {
                auto* px = static_cast<unsigned char*>(malloc(bytes));
                if (!px) {
                    fail("pixels");
                    return;
                }
                memcpy(px, desktopFrame(o.width, o.height, 1).data(), bytes);
                std::lock_guard<std::mutex> lk(dev->evdiGrabMutex[v]);
                evdi_buffer& eb = dev->pixelArea(v, area);
                eb.id = VelDev::areaBufferId(v, area);
                eb.buffer = px;
                eb.width = o.width;
                eb.height = o.height;
                eb.stride = o.width * 4;
            }
            dev->pixelFormat[v] = 0x34325258;  // XR24
            dev->refreshRate[v] = 60;
            if (dc->setMode(v) != 0) {
                fail("mode set");
                return;
            }
            dev->viewActive[v] = true;
        }
        dev->yuv2Jpeg520Hook = [this](const _RECT_IN_ENCODE_Q& r, int view, int seq) {
            timeline.indexed(view, static_cast<uint32_t>(r.frameIndex), seq);
        };
        dev->lightMode = o.light ? 1 : 0;
        dev->powerMode = o.light ? 1 : 0;
        dev->connected = true;
        dev->modeSetDone = 1;
        ok = true;
    }

    ~Rig() {
        if (dev) {
            for (int v = 0; v < opt.views; ++v) dev->viewActive[v] = false;
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
        // The next case starts without this one's recycled frame buffers.
        velFrameBufferTrim();
        shm_unlink(shm.c_str());
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }

    // One update of view `v`, as the EVDI update handling does it: the update token (given
    // back by the encoder), the grab of the whole screen, the rectangle, the wake-up. `seq` is
    // the update's number (the conversion thread numbers frames the same way). False when the
    // token did not come back within 2 s.
    bool update(int v, int seq) {
        if (!waitToken(v, 2000)) return false;
        grab(v, desktopFrame(opt.width, opt.height, seq & 1));
        if (seq < static_cast<int>(timeline.pushed[v].size())) timeline.pushed[v][seq] = nowNs();
        dev->rectQueue[v].push(evdi_rect{0, 0, opt.width, opt.height});
        sem_post(&dev->convWake[dev->view2ConvThread[v]]);
        return true;
    }

    // The grab of a whole-screen update, as the EVDI update handling takes the view's areas:
    // into the area frames no longer read, which then holds the newest picture.
    void grab(int v, const std::vector<uint8_t>& f) {
        std::unique_lock<std::mutex> lk(dev->evdiGrabMutex[v], std::defer_lock);
        const int area = dev->lockGrabArea(v, lk);
        std::unique_lock<PixelAreaLock> px(dev->areaLock(v, area), std::adopt_lock);
        memcpy(dev->pixelArea(v, area).buffer, f.data(), f.size());
        const evdi_rect whole{0, 0, opt.width, opt.height};
        dev->finishGrab(v, area, &whole, 1);
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

    // Waits until `n` transfers of view `v` ended, at most `ms`. Sleeps on a condition
    // variable: a polling wait would add its own CPU to the process figures.
    bool waitSent(int v, int n, int ms) {
        std::unique_lock<std::mutex> lk(timeline.m);
        return timeline.sentCv.wait_for(lk, std::chrono::milliseconds(ms),
                                        [&] { return timeline.sentCount[v].load() >= n; });
    }

    // Frames of view `v` that ended: sent, or dropped as overtaken by a newer frame of the view.
    long ended(int v) { return timeline.sentCount[v].load() + dev->framesOvertaken520[v].load(); }

    // Waits until `n` frames of view `v` ended (see ended()); gives up once the count has not
    // moved for `quietMs`. A frame the pipeline loses would otherwise hold the run forever; the
    // caller reports what did arrive. Sleeps on the transfer ends (drops are seen within 50 ms).
    bool waitEnded(int v, long n, int quietMs) {
        long last = -1;
        int64_t lastMove = nowNs();
        std::unique_lock<std::mutex> lk(timeline.m);
        for (;;) {
            const long now = ended(v);
            if (now >= n) return true;
            if (now != last) {
                last = now;
                lastMove = nowNs();
            } else if (nowNs() - lastMove > static_cast<int64_t>(quietMs) * 1000000) {
                return false;
            }
            timeline.sentCv.wait_for(lk, std::chrono::milliseconds(50));
        }
    }

    // Forgets the messages the adapter model recorded (it keeps every data header).
    void dropRecords() { model->clearReceived(); }

    Options opt;
    bool ok = false;
    std::string error;
    std::string dir, shm;
    Timeline timeline;
    emu::Bus& bus = emu::Bus::instance();
    std::shared_ptr<TimedModel520> model;
    libusb_context* ctx = nullptr;
    libusb_device_handle* handle = nullptr;
    std::shared_ptr<VelDev> dev;
    std::shared_ptr<TimedDisplay520> dc;

  private:
    void fail(const char* what) {
        error = what;
        fprintf(stderr, "rig set-up failed: %s\n", what);
    }
};

}  // namespace rig
