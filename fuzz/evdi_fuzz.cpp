// Fuzzes the EVDI inputs a session takes, through the EVDI stand-in so that the real handlers run:
// mode changes (the desktop's own and raw ones with any size, rate and format), damage rectangles
// and update-ready events, cursor images and positions, DPMS and CRTC state, on a model-520
// session and a 50x session, each with its emulated adapter on the emulated bus, its real display
// class and its receive thread. Events are dispatched on the fuzzing thread as the session's
// epoll thread would; a context whose user data names a view that is not there stands in for
// events of a view the session does not have.
// Input: a sequence of operations, each an opcode byte followed by its fields (missing bytes read
// as zero). Bit 7 of the opcode picks the session, bits 4..6 the view (0 and 1 the opened views,
// 2 stands for view 0, 3..7 a view id out of range, taken from the next byte).
// Checked after every input (once the update tasks are done): every rectangle queued on the 50x
// session is non-empty and inside the view's buffer (the model-520 session's go through its real
// conversion and encoding); a registered buffer has a size within the bound and a stride of four
// bytes a pixel; every cursor image the stand-in handed out was freed (LSan).
#include <libusb-1.0/libusb.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <type_traits>
#include <vector>

#include "display/VelDisplay508ClassDriver.h"
#include "display/VelDisplay520ClassDriver.h"
#include "emulator/adapters/model508.h"
#include "emulator/adapters/model520.h"
#include "emulator/evdi/desktop.h"
#include "emulator/evdi/evdiEmu.h"
#include "emulator/usb/bus.h"
#include "emulator/usb/identity.h"
#include "harness.h"
#include "service/threads.h"
#include "session/VelDev.h"
#include "session/evdiHandlers.h"
#include "session/evdiVersion.h"

namespace {

constexpr int kOpenViews = 2;  // views 0 and 1 are opened; view 2 exists but has no display

struct Reader {
    const uint8_t* p;
    size_t n;
    size_t at = 0;
    bool more() const { return at < n; }
    uint8_t u8() { return at < n ? p[at++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
    int32_t i32() {
        uint32_t v = u8();
        v |= static_cast<uint32_t>(u8()) << 8;
        v |= static_cast<uint32_t>(u8()) << 16;
        v |= static_cast<uint32_t>(u8()) << 24;
        return static_cast<int32_t>(v);
    }
};

struct View {
    evdi_handle handle = nullptr;
    _DEV_TOPO_ topo{0, 0};
};

struct FuzzSession {
    std::shared_ptr<VelDev> dev;
    std::shared_ptr<VelDisplayClassBase> dc;
    View views[VEL_MAX_VIEWS];
    _DEV_TOPO_ hostile{0, 0};
};

template <typename Class>
void startReceiver(const std::shared_ptr<Class>& dc) {
    std::shared_ptr<Class> self = dc;
    std::thread([self, t = ClassThreadTicket()]() mutable {
        self->fwStatusThread();
        self.reset();
    }).detach();
}

// What plug-in does for a view: placeholder buffer, handlers, open, cursor events, buffer
// registration, connect (the desktop then announces the EDID's mode).
void openView(FuzzSession& s, int v, int width, int height) {
    VelDev& dev = *s.dev;
    s.views[v].topo = {dev.devKey, v};
    dev.evdiBuffer[v] = {v, calloc(1, static_cast<size_t>(width) * height * 4), width, height,
                         width * 4, nullptr, 0};
    velEvdiInstallHandlers(&dev.evdiContext[v], &s.views[v].topo);
    evdi_handle h = velEvdiOpen(nullptr);
    if (!h) abort();
    dev.evdiHandle[v] = h;
    s.views[v].handle = h;
    evdi_enable_cursor_events(h, true);
    evdi_register_buffer(h, dev.evdiBuffer[v]);
    dev.evdiOpened[v] = true;
    dev.viewActive[v] = true;
    std::vector<unsigned char> edid = emu::makeEdid(width, height, 60);
    if (velEvdiConnect(h, edid.data(), static_cast<unsigned>(edid.size()), 8294400, 530841600) !=
        0)
        abort();
}

// Checks every view's registered buffer and, on a 50x session (whose frame pipeline is not
// running here), takes the queued rectangles off as the pipeline would, giving the update token
// back for each, and checks them against the view's buffer. A model-520 session's rectangles are
// the real pipeline's, which the session runs: it converts and encodes them from the view's area
// (under ASan, a rectangle outside it is a finding there) and gives the token back itself; taking
// them here too would hand out a second token, and a mode change would then free an area the
// encoder still reads. Called with no update task running.
void drainAndCheck(FuzzSession& s) {
    VelDev& dev = *s.dev;
    for (int v = 0; v < VEL_MAX_VIEWS; ++v) {
        int width = 0, height = 0;
        {
            std::lock_guard<std::mutex> lk(dev.evdiGrabMutex[v]);
            width = dev.evdiBuffer[v].width;
            height = dev.evdiBuffer[v].height;
            if (dev.bufferRegistered[v]) {
                if (!dev.evdiBuffer[v].buffer || width <= 0 || height <= 0 ||
                    width > VEL_EVDI_MAX_MODE_SIDE || height > VEL_EVDI_MAX_MODE_SIDE ||
                    dev.evdiBuffer[v].stride != width * 4)
                    abort();
            }
        }
        if (dev.model == 0x520) continue;
        while (auto r = dev.rectQueue[v].trypop()) {
            if (r->x1 < 0 || r->y1 < 0 || r->x2 > width || r->y2 > height || r->x1 >= r->x2 ||
                r->y1 >= r->y2)
                abort();
            sem_post(&dev.updateToken[v]);
        }
    }
}

void dispatch(FuzzSession& s, int v, bool hostile) {
    VelDev& dev = *s.dev;
    evdi_handle h = s.views[v].handle;
    if (!h) return;
    evdi_event_context ctx = dev.evdiContext[v];
    if (hostile) ctx.user_data = &s.hostile;
    std::lock_guard<std::mutex> lk(dev.evdiDispatchMutex);
    velEvdiSetDispatchSession(&dev);
    evdi_handle_events(h, &ctx);
    velEvdiSetDispatchSession(nullptr);
}

// A session of the adapter with this product id (0x520 or 0x508), as the device manager makes
// one: its display class bound and its receive thread running.
template <typename Class>
FuzzSession startSession(libusb_context* ctx, int productId, int devKey) {
    const bool is520 = productId == 0x520;
    auto dev = std::make_shared<VelDev>(nullptr);
    dev->usbHandle = fuzzkit::openAdapter(ctx, static_cast<uint16_t>(productId));
    dev->devKey = devKey;
    dev->model = productId;
    dev->productId = productId;
    dev->viewCount = is520 ? 3 : 2;
    dev->openTimeReset();
    if (is520) {
        dev->imageEndpoint = 1;
        dev->imageEndpoint520 = 2;  // the pictures the pipeline makes of the grabs go out
    } else {
        dev->cmdEndpoint508 = 1;
        dev->imageEndpoint = 2;
        for (auto& entry : dev->viewTable) entry = {-1, 0};
    }
    auto dc = std::make_shared<Class>(dev.get(), 0);
    dc->bindSession(dev);
    dev->displayClass = dc;
    if constexpr (std::is_same_v<Class, VelDisplay520Class>) {
        if (dc->init() != 0) abort();
        dc->prepareResponses();
    }
    startReceiver(dc);
    FuzzSession s;
    s.dev = dev;
    s.dc = dc;
    return s;
}

struct Harness {
    libusb_context* ctx = nullptr;
    std::shared_ptr<emu::Model520> model520 = std::make_shared<emu::Model520>();
    std::shared_ptr<emu::Model508> model508 = std::make_shared<emu::Model508>();
    FuzzSession s520, s508;

    Harness() {
        setenv("VEL_LOG_DIR", "/dev/null/evdi-fuzz", 0);  // the log is not under test
        emu::setEvdiLibVersion(1, 12, 0);
        emu::setAutoDesktop(true);
        emu::Bus& bus = emu::Bus::instance();
        bus.reset();
        if (bus.plug(model520, emu::adapterIdentity("520")) <= 0) abort();
        if (bus.plug(model508, emu::adapterIdentity("508")) <= 0) abort();
        if (libusb_init(&ctx) != 0) abort();

        s520 = startSession<VelDisplay520Class>(ctx, 0x520, 1);
        // A monitor with its display device on each opened view of the model-520 session: a
        // mode set of a view without one ends the service (after three attempts), which is not
        // what is fuzzed.
        auto* dc520 = static_cast<VelDisplay520Class*>(s520.dc.get());
        for (int v = 0; v < kOpenViews; ++v) {
            emu::Model520::Monitor m;
            m.target = static_cast<uint16_t>(0x20 + v);
            m.edid = emu::makeEdid(64 + 32 * v, 48 + 16 * v, 60);
            model520->plugMonitor(v, m, false);
            std::vector<unsigned char> edid(512);
            unsigned int length = static_cast<unsigned int>(edid.size());
            if (dc520->readMonitorEDID(m.target, edid.data(), &length) != 0) abort();
            s520.dev->viewTable[v] = {v, m.target};
        }
        s508 = startSession<VelDisplayClass508>(ctx, 0x508, 2);
        for (FuzzSession* s : {&s520, &s508}) {
            for (int v = 0; v < kOpenViews; ++v) openView(*s, v, 64 + 32 * v, 48 + 16 * v);
            for (int v = 0; v < kOpenViews; ++v) dispatch(*s, v, false);  // the desktop's mode
            velEvdiWaitUpdateTasks(*s->dev);
            drainAndCheck(*s);
        }
    }

    void shutdown() {
        for (FuzzSession* s : {&s520, &s508}) s->dc->displayClassExitFlag = true;
        // The receive threads leave within their 1 s transfer time-out.
        velWaitClassThreads(std::chrono::seconds(20));
        for (FuzzSession* s : {&s520, &s508}) {
            VelDev& dev = *s->dev;
            velEvdiWaitUpdateTasks(dev);
            for (int v = 0; v < kOpenViews; ++v) {
                dev.viewActive[v] = false;
                dev.bufferRegistered[v] = false;
                dev.evdiOpened[v] = false;
                evdi_disconnect(s->views[v].handle);
                evdi_close(s->views[v].handle);
                dev.evdiHandle[v] = nullptr;
            }
            libusb_device_handle* usb = dev.usbHandle;
            dev.displayClass.reset();
            s->dc.reset();
            s->dev.reset();  // joins the session's own threads and frees its areas
            libusb_close(usb);
        }
        libusb_exit(ctx);
        emu::Bus::instance().reset();
    }
};

uint32_t fourcc(uint8_t pick, int32_t raw) {
    switch (pick & 7) {
    case 0: return emu::kFourccXRGB8888;
    case 1: return emu::kFourccARGB8888;
    case 2: return emu::kFourccXBGR8888;
    case 3: return emu::kFourccABGR8888;
    case 4: return emu::kFourccRGB565;
    default: return static_cast<uint32_t>(raw);
    }
}

// Sides of the modes a desktop switches to: small, so that each input stays cheap.
int desktopSide(uint8_t b) { return 1 + b % 200; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Harness& harn = fuzzkit::lazy<Harness>();
    fuzzkit::forgetTraffic(*harn.model520);
    fuzzkit::forgetTraffic(*harn.model508);
    Reader in{data, size};
    for (int ops = 0; ops < 24 && in.more(); ++ops) {
        const uint8_t op = in.u8();
        FuzzSession& s = (op & 0x80) ? harn.s508 : harn.s520;
        const int slot = (op >> 4) & 7;
        const bool hostile = slot >= 3;
        int v = hostile ? 0 : slot;
        if (hostile) {
            // A view id no session has: negative, or beyond the views.
            const uint8_t b = in.u8();
            const int id = (b & 0x80) ? -1 - (b & 0x7F) : VEL_MAX_VIEWS + (b & 0x7F);
            s.hostile = {(b & 1) ? s.dev->devKey.load() : 9999, id};
        }
        if (!s.views[v].handle) v = 0;
        const bool redirect = hostile;
        evdi_handle h = s.views[v].handle;
        switch (op & 0x0F) {
        case 0: {  // a raw mode change: any size, rate and format
            evdi_mode m{};
            const uint8_t shape = in.u8();
            if (shape & 1) {
                m.width = in.i32();
                m.height = in.i32();
            } else {
                m.width = static_cast<int16_t>(in.u16());
                m.height = static_cast<int16_t>(in.u16());
            }
            m.refresh_rate = in.i32();
            m.bits_per_pixel = in.u8();
            m.pixel_format = fourcc(shape >> 1, in.i32());
            // Large buffers are real allocations: keep them rare.
            if (static_cast<int64_t>(m.width) * m.height > 1024 * 1024 && !(shape & 0x80))
                m.width = 1 + (m.width & 0x3FF);
            emu::injectModeChange(h, m);
            break;
        }
        case 1: {  // the user switches the desktop's mode
            emu::DesktopMode m;
            m.width = desktopSide(in.u8());
            m.height = desktopSide(in.u8());
            m.refresh = static_cast<int8_t>(in.u8());
            m.fourcc = fourcc(in.u8() & 3, 0);
            emu::desktopSetMode(h, m);
            break;
        }
        case 2: {  // damage without drawing
            std::vector<evdi_rect> rects(1 + in.u8() % 20);
            for (auto& r : rects) {
                const uint8_t wide = in.u8();
                if (wide & 1) {
                    r = {in.i32(), in.i32(), in.i32(), in.i32()};
                } else {
                    r = {static_cast<int8_t>(in.u8()) * 4, static_cast<int8_t>(in.u8()) * 4,
                         static_cast<int8_t>(in.u8()) * 4, static_cast<int8_t>(in.u8()) * 4};
                }
            }
            emu::injectDamage(h, rects);
            break;
        }
        case 3: {  // update ready, for any buffer id
            const int32_t buffer = static_cast<int8_t>(in.u8());
            emu::injectUpdateReady(h, buffer, 1 + in.u8() % 4);
            break;
        }
        case 4: {  // a cursor image, maybe larger than its pixels
            emu::CursorImage c;
            const uint8_t shape = in.u8();
            if (shape & 1) {
                c.width = static_cast<uint32_t>(in.i32());
                c.height = static_cast<uint32_t>(in.i32());
            } else {
                c.width = in.u8();
                c.height = in.u8();
            }
            c.hotX = static_cast<int8_t>(in.u8());
            c.hotY = static_cast<int8_t>(in.u8());
            c.enabled = !(shape & 2);
            size_t pixels = (shape & 4) ? static_cast<size_t>(in.u16() % 20000)
                                        : static_cast<size_t>(c.width & 0xFF) * (c.height & 0xFF);
            c.pixels.assign(pixels, 0xFF000000u | in.u8());
            emu::injectCursorSet(h, c);
            break;
        }
        case 5:  // a cursor move anywhere
            emu::injectCursorMove(h, in.i32(), in.i32());
            break;
        case 6:
            emu::injectDpms(h, static_cast<int8_t>(in.u8()));
            break;
        case 7:
            emu::injectCrtcState(h, static_cast<int8_t>(in.u8()));
            break;
        case 8:  // the desktop draws
            emu::desktopSetScene(h, static_cast<emu::Scene>(in.u8() % 4));
            emu::desktopStep(h, 1 + in.u8() % 3);
            break;
        case 9:  // the desktop moves or changes its cursor
            emu::desktopMoveCursor(h, static_cast<int16_t>(in.u16()), static_cast<int16_t>(in.u16()));
            emu::desktopSetCursor(h, in.u8() % 130, in.u8() % 130, 0, 0, in.u8() & 1);
            break;
        default:
            break;
        }
        dispatch(s, v, redirect);
        // The update tasks started by this batch finish before the next one: the queues are then
        // complete and the tokens can be given back.
        velEvdiWaitUpdateTasks(*s.dev);
        drainAndCheck(s);
    }
    return 0;
}
