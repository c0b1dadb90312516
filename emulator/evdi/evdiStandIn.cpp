// EVDI stand-in: every libevdi function the service may call, backed by emulated virtual
// displays (struct evdi_device_context below), each with a desktop that draws into it.
//
// A display is what the kernel module keeps for one card: connection state and EDID, the
// registered buffers, the pending damage, and the queue of events. Events become readable on an
// eventfd (the descriptor evdi_get_event_ready returns); evdi_handle_events drains it and calls
// the context's handlers on the caller's thread, with no lock held, as the library does.
//
// Version: evdi_get_lib_version reports a configurable version (emu::setEvdiLibVersion). Because
// evdi_connect has had three argument lists under one name, it is defined here with the 1.12
// list (handle, edid, length, area, rate) and reads its arguments as the reported version's
// callers pass them: 1.11 passes the rate as the fourth argument; 1.12 and 1.13 pass area and
// rate; 1.10 and 1.14 and later pass the area only (1.14 then derives the rate as area x 60, as
// its library does). An argument the reported version does not pass is never read.
//
// Locking: g_mutex guards every display and the tables. Desktops are called under it. Pixel
// copies of a grab run under it; an optional per-handle grab delay runs outside it, so that two
// grabs on one handle overlap visibly. Closing a handle while another thread still calls into it
// is the caller's bug, as with the real library.
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "emulator/evdi/desktop.h"
#include "emulator/evdi/evdiEmu.h"
#include "session/evdiApi.h"

namespace {

enum class EventType { Dpms, ModeChanged, UpdateReady, CrtcState, CursorSet, CursorMove };

struct PendingEvent {
    EventType type = EventType::Dpms;
    int value = 0;
    evdi_mode mode{};
    evdi_cursor_move move{};
    emu::CursorImage cursor;
};

constexpr int kMaxRects = 16;

}  // namespace

struct evdi_device_context : emu::DesktopSink {
    int card = 0;
    int eventFd = -1;
    emu::EvdiStats st;
    emu::EvdiConnectRecord rec;
    std::map<int, evdi_buffer> buffers;
    int bufferToUpdate = -1;
    bool updateRequested = false;
    std::vector<evdi_rect> damage;
    uint64_t modeGeneration = 0, requestGeneration = 0;
    std::deque<PendingEvent> events;
    std::unique_ptr<emu::Desktop> desktop;
    int grabDelayUs = 0;
    int grabsInFlight = 0;

    void queue(PendingEvent ev) {
        events.push_back(std::move(ev));
        uint64_t one = 1;
        ssize_t w = write(eventFd, &one, sizeof one);
        (void)w;  // an eventfd counter cannot overflow at these rates
    }
    void addDamage(const evdi_rect& r) {
        damage.push_back(r);
        if (damage.size() > kMaxRects) {
            // Like the kernel, more rectangles than a grab returns collapse into their union.
            evdi_rect u = damage[0];
            for (const auto& d : damage) {
                u.x1 = std::min(u.x1, d.x1);
                u.y1 = std::min(u.y1, d.y1);
                u.x2 = std::max(u.x2, d.x2);
                u.y2 = std::max(u.y2, d.y2);
            }
            damage.assign(1, u);
        }
        if (updateRequested) {
            updateRequested = false;
            PendingEvent ev;
            ev.type = EventType::UpdateReady;
            ev.value = bufferToUpdate;
            queue(std::move(ev));
        }
    }

    void modeAnnounced(const emu::DesktopMode& m) override {
        PendingEvent ev;
        ev.type = EventType::ModeChanged;
        ev.mode.width = m.width;
        ev.mode.height = m.height;
        ev.mode.refresh_rate = m.refresh;
        ev.mode.bits_per_pixel = m.fourcc == emu::kFourccRGB565 ? 16 : 32;
        ev.mode.pixel_format = m.fourcc;
        ++modeGeneration;
        damage.clear();
        queue(std::move(ev));
    }
    void damaged(const evdi_rect& r) override { addDamage(r); }
    void dpmsChanged(int mode) override {
        PendingEvent ev;
        ev.type = EventType::Dpms;
        ev.value = mode;
        queue(std::move(ev));
    }
    void cursorChanged(const emu::CursorImage& c) override {
        if (!st.cursorEvents) return;  // the kernel blends the cursor itself then
        PendingEvent ev;
        ev.type = EventType::CursorSet;
        ev.cursor = c;
        queue(std::move(ev));
    }
    void cursorMoved(int x, int y) override {
        if (!st.cursorEvents) return;
        PendingEvent ev;
        ev.type = EventType::CursorMove;
        ev.move = {x, y};
        queue(std::move(ev));
    }
};

namespace {

std::mutex g_mutex;  // guards everything below and every display
std::vector<evdi_device_context*> g_open;
evdi_lib_version g_version{1, 12, 0};
bool g_autoDesktop = true;
bool g_failNextOpen = false;
int g_nextCard = 0;
int g_addedDevices = 0;
int g_cursorImages = 0;
evdi_logging g_logging{};

evdi_device_context* live(evdi_handle h) {
    return std::find(g_open.begin(), g_open.end(), h) != g_open.end() ? h : nullptr;
}

evdi_handle openLocked(int card, const char* entry) {
    if (g_failNextOpen) {
        g_failNextOpen = false;
        return EVDI_INVALID_HANDLE;
    }
    auto* d = new evdi_device_context;
    d->eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (d->eventFd < 0) {
        delete d;
        return EVDI_INVALID_HANDLE;
    }
    d->card = card >= 0 ? card : g_nextCard++;
    d->st.card = d->card;
    d->st.openEntry = entry;
    d->desktop = std::make_unique<emu::Desktop>(d);
    g_open.push_back(d);
    return d;
}

void connectLocked(evdi_device_context* d, const char* entry, const unsigned char* edid,
                   unsigned int length, uint32_t area, uint32_t rate) {
    d->rec.connected = true;
    d->rec.entry = entry;
    d->rec.length = length;
    d->rec.areaLimit = area;
    d->rec.rateLimit = rate;
    // The library never reads past the length it is given; nor do we (capped at 32 blocks).
    const unsigned int copy = std::min<unsigned int>(length, 128 * 32);
    d->rec.edid.assign(edid, edid ? edid + copy : edid);
    emu::DesktopMode mode;
    if (g_autoDesktop && edid && emu::parsePreferredMode(edid, copy, &mode)) {
        d->desktop->start(mode);
    }
}

void copyRect(const evdi_buffer& buf, const std::vector<uint32_t>& src, int srcWidth,
              const evdi_rect& r) {
    auto* dst = static_cast<unsigned char*>(buf.buffer);
    for (int y = r.y1; y < r.y2; ++y) {
        memcpy(dst + static_cast<size_t>(y) * buf.stride + static_cast<size_t>(r.x1) * 4,
               &src[static_cast<size_t>(y) * srcWidth + r.x1], static_cast<size_t>(r.x2 - r.x1) * 4);
    }
}

template <typename Fn>
void withDisplay(evdi_handle h, Fn fn) {
    std::lock_guard<std::mutex> lk(g_mutex);
    if (auto* d = live(h)) fn(*d);
}

}  // namespace

extern "C" {

enum evdi_device_status evdi_check_device(int device) {
    std::lock_guard<std::mutex> lk(g_mutex);
    return device >= 0 && device < g_addedDevices ? AVAILABLE : NOT_PRESENT;
}

int evdi_add_device(void) {
    std::lock_guard<std::mutex> lk(g_mutex);
    ++g_addedDevices;
    return 1;
}

evdi_handle evdi_open(int device) {
    std::lock_guard<std::mutex> lk(g_mutex);
    if (device < 0 || device >= g_addedDevices) return EVDI_INVALID_HANDLE;
    return openLocked(device, "evdi_open");
}

evdi_handle evdi_open_attached_to(const char* sysfs_parent_device) {
    (void)sysfs_parent_device;
    std::lock_guard<std::mutex> lk(g_mutex);
    return openLocked(-1, "evdi_open_attached_to");
}

evdi_handle evdi_open_attached_to_fixed(const char* sysfs_parent_device, size_t length) {
    (void)sysfs_parent_device;
    (void)length;
    std::lock_guard<std::mutex> lk(g_mutex);
    return openLocked(-1, "evdi_open_attached_to_fixed");
}

void evdi_close(evdi_handle handle) {
    std::unique_ptr<evdi_device_context> d;
    {
        std::lock_guard<std::mutex> lk(g_mutex);
        auto it = std::find(g_open.begin(), g_open.end(), handle);
        if (it == g_open.end()) return;
        d.reset(*it);
        g_open.erase(it);
    }
    if (d->eventFd >= 0) close(d->eventFd);
}

void evdi_connect(evdi_handle handle, const unsigned char* edid, const unsigned int edid_length,
                  const uint32_t pixel_area_limit, const uint32_t pixel_per_second_limit) {
    std::lock_guard<std::mutex> lk(g_mutex);
    auto* d = live(handle);
    if (!d) return;
    const evdi_lib_version v = g_version;
    uint32_t area = 0, rate = 0;
    if (v.version_major == 1 && v.version_minor == 11) {
        rate = pixel_area_limit;  // the caller's fourth argument is the rate limit
    } else if (v.version_major == 1 && (v.version_minor == 12 || v.version_minor == 13)) {
        area = pixel_area_limit;
        rate = pixel_per_second_limit;
    } else if (v.version_major == 1 && v.version_minor >= 14) {
        area = pixel_area_limit;
        rate = pixel_area_limit * 60u;
    } else {
        area = pixel_area_limit;
    }
    connectLocked(d, "evdi_connect", edid, edid_length, area, rate);
}

void evdi_connect2(evdi_handle handle, const unsigned char* edid, const unsigned int edid_length,
                   const uint32_t pixel_area_limit, const uint32_t pixel_per_second_limit) {
    std::lock_guard<std::mutex> lk(g_mutex);
    if (auto* d = live(handle)) {
        connectLocked(d, "evdi_connect2", edid, edid_length, pixel_area_limit,
                      pixel_per_second_limit);
    }
}

void evdi_disconnect(evdi_handle handle) {
    withDisplay(handle, [](evdi_device_context& d) {
        d.rec.connected = false;
        d.damage.clear();
        d.updateRequested = false;
        d.desktop = std::make_unique<emu::Desktop>(&d);
    });
}

void evdi_enable_cursor_events(evdi_handle handle, bool enable) {
    withDisplay(handle, [enable](evdi_device_context& d) { d.st.cursorEvents = enable; });
}

void evdi_register_buffer(evdi_handle handle, struct evdi_buffer buffer) {
    withDisplay(handle, [&buffer](evdi_device_context& d) {
        d.buffers[buffer.id] = buffer;
        ++d.st.registers;
    });
}

void evdi_unregister_buffer(evdi_handle handle, int bufferId) {
    withDisplay(handle, [bufferId](evdi_device_context& d) {
        d.buffers.erase(bufferId);
        ++d.st.unregisters;
    });
}

bool evdi_request_update(evdi_handle handle, int bufferId) {
    bool ready = false;
    withDisplay(handle, [&](evdi_device_context& d) {
        ++d.st.requests;
        d.bufferToUpdate = bufferId;
        d.requestGeneration = d.modeGeneration;
        if (!d.damage.empty()) {
            ready = true;
        } else {
            d.updateRequested = true;
        }
    });
    return ready;
}

void evdi_grab_pixels(evdi_handle handle, struct evdi_rect* rects, int* num_rects) {
    if (!num_rects) return;
    *num_rects = 0;
    int delayUs = 0;
    {
        std::lock_guard<std::mutex> lk(g_mutex);
        auto* d = live(handle);
        if (!d) return;
        ++d->grabsInFlight;
        d->st.maxConcurrentGrabs = std::max(d->st.maxConcurrentGrabs, d->grabsInFlight);
        delayUs = d->grabDelayUs;
    }
    if (delayUs > 0) std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
    std::lock_guard<std::mutex> lk(g_mutex);
    auto* d = live(handle);
    if (!d) return;
    --d->grabsInFlight;
    ++d->st.grabs;
    d->st.lastGrabRects.clear();
    auto it = d->buffers.find(d->bufferToUpdate);
    const emu::DesktopMode& mode = d->desktop->mode();
    // No rectangles: no buffer, a buffer not of the framebuffer's size, or a mode change since
    // the update was requested. The damage stays pending for the next grab.
    if (it == d->buffers.end() || !rects || it->second.buffer == nullptr ||
        it->second.width != mode.width || it->second.height != mode.height ||
        it->second.stride < mode.width * 4 || d->requestGeneration != d->modeGeneration ||
        d->damage.empty()) {
        ++d->st.emptyGrabs;
        return;
    }
    int n = 0;
    for (const evdi_rect& raw : d->damage) {
        evdi_rect r{std::max(0, raw.x1), std::max(0, raw.y1), std::min(mode.width, raw.x2),
                    std::min(mode.height, raw.y2)};
        if (r.x2 <= r.x1 || r.y2 <= r.y1) continue;
        copyRect(it->second, d->desktop->pixels(), mode.width, r);
        rects[n++] = r;
        d->st.lastGrabRects.push_back(r);
        if (n == kMaxRects) break;
    }
    d->damage.clear();
    *num_rects = n;
}

void evdi_ddcci_response(evdi_handle handle, const unsigned char* buffer,
                         const uint32_t buffer_length, const bool result) {
    (void)handle;
    (void)buffer;
    (void)buffer_length;
    (void)result;
}

void evdi_handle_events(evdi_handle handle, struct evdi_event_context* evtctx) {
    std::deque<PendingEvent> batch;
    {
        std::lock_guard<std::mutex> lk(g_mutex);
        auto* d = live(handle);
        if (!d) return;
        uint64_t count = 0;
        ssize_t r = read(d->eventFd, &count, sizeof count);
        (void)r;  // EAGAIN: woken without events, nothing to drain
        batch.swap(d->events);
        d->st.eventsDispatched += static_cast<int>(batch.size());
        for (const auto& ev : batch)
            if (ev.type == EventType::CursorSet) ++g_cursorImages;
    }
    if (!evtctx) return;
    void* user = evtctx->user_data;
    for (auto& ev : batch) {
        switch (ev.type) {
        case EventType::Dpms:
            if (evtctx->dpms_handler) evtctx->dpms_handler(ev.value, user);
            break;
        case EventType::ModeChanged:
            if (evtctx->mode_changed_handler) evtctx->mode_changed_handler(ev.mode, user);
            break;
        case EventType::UpdateReady:
            if (evtctx->update_ready_handler) evtctx->update_ready_handler(ev.value, user);
            break;
        case EventType::CrtcState:
            if (evtctx->crtc_state_handler) evtctx->crtc_state_handler(ev.value, user);
            break;
        case EventType::CursorMove:
            if (evtctx->cursor_move_handler) evtctx->cursor_move_handler(ev.move, user);
            break;
        case EventType::CursorSet: {
            // The library's copy of the image, which the handler owns and frees.
            evdi_cursor_set cs{};
            cs.hot_x = ev.cursor.hotX;
            cs.hot_y = ev.cursor.hotY;
            cs.width = ev.cursor.width;
            cs.height = ev.cursor.height;
            cs.enabled = ev.cursor.enabled ? 1 : 0;
            cs.stride = ev.cursor.width * 4;
            cs.pixel_format = emu::kFourccARGB8888;
            cs.buffer_length = static_cast<uint32_t>(ev.cursor.pixels.size() * 4);
            cs.buffer = nullptr;
            if (cs.buffer_length > 0) {
                cs.buffer = static_cast<uint32_t*>(malloc(cs.buffer_length));
                if (cs.buffer) memcpy(cs.buffer, ev.cursor.pixels.data(), cs.buffer_length);
            }
            if (evtctx->cursor_set_handler) {
                evtctx->cursor_set_handler(cs, user);
            } else {
                free(cs.buffer);
            }
            break;
        }
        }
    }
}

evdi_selectable evdi_get_event_ready(evdi_handle handle) {
    std::lock_guard<std::mutex> lk(g_mutex);
    auto* d = live(handle);
    return d ? d->eventFd : -1;
}

void evdi_get_lib_version(struct evdi_lib_version* version) {
    if (!version) return;
    std::lock_guard<std::mutex> lk(g_mutex);
    *version = g_version;
}

void evdi_set_logging(struct evdi_logging evdi_logging) {
    std::lock_guard<std::mutex> lk(g_mutex);
    g_logging = evdi_logging;
}

}  // extern "C"

namespace emu {

void setEvdiLibVersion(int major, int minor, int patch) {
    std::lock_guard<std::mutex> lk(g_mutex);
    g_version = {major, minor, patch};
}

evdi_lib_version evdiLibVersion() {
    std::lock_guard<std::mutex> lk(g_mutex);
    return g_version;
}

void setAutoDesktop(bool on) {
    std::lock_guard<std::mutex> lk(g_mutex);
    g_autoDesktop = on;
}

void failNextOpen() {
    std::lock_guard<std::mutex> lk(g_mutex);
    g_failNextOpen = true;
}

std::vector<evdi_handle> openHandles() {
    std::lock_guard<std::mutex> lk(g_mutex);
    return {g_open.begin(), g_open.end()};
}

EvdiConnectRecord connectRecord(evdi_handle handle) {
    EvdiConnectRecord r;
    withDisplay(handle, [&r](evdi_device_context& d) { r = d.rec; });
    return r;
}

EvdiStats stats(evdi_handle handle) {
    EvdiStats s;
    withDisplay(handle, [&s](evdi_device_context& d) {
        s = d.st;
        auto it = d.buffers.find(d.bufferToUpdate);
        s.bufferRegistered = it != d.buffers.end();
        if (s.bufferRegistered) {
            s.registeredWidth = it->second.width;
            s.registeredHeight = it->second.height;
        }
    });
    return s;
}

void setGrabDelay(evdi_handle handle, int microseconds) {
    withDisplay(handle, [microseconds](evdi_device_context& d) { d.grabDelayUs = microseconds; });
}

int cursorImagesHandedOut() {
    std::lock_guard<std::mutex> lk(g_mutex);
    return g_cursorImages;
}

int pendingEvents(evdi_handle handle) {
    int n = 0;
    withDisplay(handle, [&n](evdi_device_context& d) { n = static_cast<int>(d.events.size()); });
    return n;
}

evdi_handle openDisplay(const std::vector<unsigned char>& edid, uint32_t areaLimit,
                        uint32_t rateLimit) {
    evdi_handle h = evdi_open_attached_to(nullptr);
    if (h == EVDI_INVALID_HANDLE) return h;
    evdi_enable_cursor_events(h, true);
    evdi_connect2(h, edid.data(), static_cast<unsigned int>(edid.size()), areaLimit, rateLimit);
    return h;
}

bool desktopRunning(evdi_handle handle) {
    bool running = false;
    withDisplay(handle, [&running](evdi_device_context& d) {
        running = d.rec.connected && d.desktop->mode().width > 0;
    });
    return running;
}

void desktopStart(evdi_handle handle, const DesktopMode& mode) {
    withDisplay(handle, [&mode](evdi_device_context& d) { d.desktop->start(mode); });
}

void desktopSetMode(evdi_handle handle, const DesktopMode& mode) {
    withDisplay(handle, [&mode](evdi_device_context& d) { d.desktop->setMode(mode); });
}

void desktopSetScene(evdi_handle handle, Scene scene) {
    withDisplay(handle, [scene](evdi_device_context& d) { d.desktop->setScene(scene); });
}

void desktopStep(evdi_handle handle, int steps) {
    withDisplay(handle, [steps](evdi_device_context& d) {
        for (int i = 0; i < steps; ++i) d.desktop->step();
    });
}

void desktopDraw(evdi_handle handle, const evdi_rect& rect, const std::vector<uint32_t>& xrgb) {
    withDisplay(handle, [&](evdi_device_context& d) { d.desktop->draw(rect, xrgb); });
}

void desktopMoveCursor(evdi_handle handle, int x, int y) {
    withDisplay(handle, [x, y](evdi_device_context& d) { d.desktop->moveCursor(x, y); });
}

void desktopSetCursor(evdi_handle handle, uint32_t width, uint32_t height, int hotX, int hotY,
                      bool enabled) {
    withDisplay(handle, [&](evdi_device_context& d) {
        d.desktop->setCursor(width, height, hotX, hotY, enabled);
    });
}

void desktopSetDpms(evdi_handle handle, int mode) {
    withDisplay(handle, [mode](evdi_device_context& d) { d.desktop->setDpms(mode); });
}

DesktopMode desktopMode(evdi_handle handle) {
    DesktopMode m;
    withDisplay(handle, [&m](evdi_device_context& d) { m = d.desktop->mode(); });
    return m;
}

std::vector<uint32_t> desktopPixels(evdi_handle handle) {
    std::vector<uint32_t> p;
    withDisplay(handle, [&p](evdi_device_context& d) { p = d.desktop->pixels(); });
    return p;
}

void injectUpdateReady(evdi_handle handle, int bufferId, int count) {
    withDisplay(handle, [bufferId, count](evdi_device_context& d) {
        for (int i = 0; i < count; ++i) {
            PendingEvent ev;
            ev.type = EventType::UpdateReady;
            ev.value = bufferId;
            d.queue(std::move(ev));
        }
    });
}

void injectModeChange(evdi_handle handle, const evdi_mode& mode) {
    withDisplay(handle, [&mode](evdi_device_context& d) {
        PendingEvent ev;
        ev.type = EventType::ModeChanged;
        ev.mode = mode;
        ++d.modeGeneration;
        d.queue(std::move(ev));
    });
}

void injectDpms(evdi_handle handle, int mode) {
    withDisplay(handle, [mode](evdi_device_context& d) { d.dpmsChanged(mode); });
}

void injectCrtcState(evdi_handle handle, int state) {
    withDisplay(handle, [state](evdi_device_context& d) {
        PendingEvent ev;
        ev.type = EventType::CrtcState;
        ev.value = state;
        d.queue(std::move(ev));
    });
}

void injectCursorMove(evdi_handle handle, int x, int y) {
    withDisplay(handle, [x, y](evdi_device_context& d) { d.cursorMoved(x, y); });
}

void injectCursorSet(evdi_handle handle, const CursorImage& cursor) {
    withDisplay(handle, [&cursor](evdi_device_context& d) { d.cursorChanged(cursor); });
}

void injectDamage(evdi_handle handle, const std::vector<evdi_rect>& rects) {
    withDisplay(handle, [&rects](evdi_device_context& d) {
        for (const auto& r : rects) d.addDamage(r);
    });
}

}  // namespace emu
