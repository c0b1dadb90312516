// Emulated libusb: contexts, hot-plug, event handling, devices and descriptors.
// Concurrency rules: top of bus.cpp.
#include <libusb-1.0/libusb.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "emulator/usb/bus_internal.h"

using namespace emu::detail;

namespace {

constexpr int kMaxDescriptorSize = 1 << 16;

libusb_context* newContextLocked(State& s) {
    s.graveyard.push_back(std::make_unique<libusb_context>());
    libusb_context* c = s.graveyard.back().get();
    for (auto& [id, d] : s.devices) {
        if (!d->plugged) continue;
        auto* obj = new libusb_device{c, d, 1};
        s.deviceObjects.insert(obj);
        c->devices[d.get()] = obj;
    }
    s.contexts.push_back(c);
    return c;
}

// Retire a context: its devices, queued events and callbacks go; waiters wake.
void retireLocked(State& s, libusb_context* c, std::vector<libusb_device*>& unref) {
    c->alive = false;
    for (auto& [dev, obj] : c->devices) unref.push_back(obj);
    c->devices.clear();
    for (HotplugEvent& e : c->events) unref.push_back(e.dev);
    c->events.clear();
    c->callbacks.clear();
    c->cv.notify_all();
    for (auto& [id, d] : s.devices) d->cv.notify_all();
    for (auto it = s.contexts.begin(); it != s.contexts.end(); ++it) {
        if (*it == c) {
            s.contexts.erase(it);
            break;
        }
    }
}

bool validFilter(int v, int max) { return v == LIBUSB_HOTPLUG_MATCH_ANY || (v >= 0 && v <= max); }

void removeCallbackLocked(libusb_context* c, libusb_hotplug_callback_handle h) {
    for (auto it = c->callbacks.begin(); it != c->callbacks.end(); ++it) {
        if ((*it)->handle == h) {
            (*it)->removed = true;
            c->callbacks.erase(it);
            return;
        }
    }
}

// Deliver one event to the callbacks registered before it. Called without the bus lock.
void deliver(libusb_context* c, const HotplugEvent& ev,
             const std::vector<std::shared_ptr<Callback>>& cbs) {
    State& s = state();
    for (const auto& cb : cbs) {
        {
            std::lock_guard<std::mutex> lk(s.mu);
            if (!c->alive || cb->seq >= ev.seq || !cb->matches(ev.dev->dev->ident, ev.event))
                continue;
        }
        if (cb->fn(c, ev.dev, ev.event, cb->userData) == 1) {
            std::lock_guard<std::mutex> lk(s.mu);
            removeCallbackLocked(c, cb->handle);
        }
    }
}

void fillInterface(const emu::InterfaceInfo& in, int number, libusb_interface* out,
                   libusb_interface_descriptor*& alts, libusb_endpoint_descriptor*& eps) {
    out->altsetting = alts;
    out->num_altsetting = static_cast<int>(in.altSettings.size());
    for (size_t a = 0; a < in.altSettings.size(); ++a) {
        const emu::AltSettingInfo& s = in.altSettings[a];
        libusb_interface_descriptor* d = alts++;
        d->bLength = LIBUSB_DT_INTERFACE_SIZE;
        d->bDescriptorType = LIBUSB_DT_INTERFACE;
        d->bInterfaceNumber = static_cast<uint8_t>(number);
        d->bAlternateSetting = static_cast<uint8_t>(a);
        d->bNumEndpoints = static_cast<uint8_t>(s.endpoints.size());
        d->bInterfaceClass = s.interfaceClass;
        d->bInterfaceSubClass = s.interfaceSubClass;
        d->bInterfaceProtocol = s.interfaceProtocol;
        d->endpoint = eps;
        for (const emu::EndpointInfo& e : s.endpoints) {
            libusb_endpoint_descriptor* p = eps++;
            p->bLength = LIBUSB_DT_ENDPOINT_SIZE;
            p->bDescriptorType = LIBUSB_DT_ENDPOINT;
            p->bEndpointAddress = e.address;
            p->bmAttributes = static_cast<uint8_t>(e.type);
            p->wMaxPacketSize = e.maxPacketSize;
            p->bInterval = e.interval;
        }
    }
}

// One allocation holding the whole tree, so that libusb_free_config_descriptor is one free().
libusb_config_descriptor* buildConfig(const emu::UsbIdentity& id) {
    size_t alts = 0, eps = 0;
    for (const auto& i : id.interfaces) {
        alts += i.altSettings.size();
        for (const auto& a : i.altSettings) eps += a.endpoints.size();
    }
    const size_t bytes =
        sizeof(libusb_config_descriptor) + id.interfaces.size() * sizeof(libusb_interface) +
        alts * sizeof(libusb_interface_descriptor) + eps * sizeof(libusb_endpoint_descriptor);
    auto* base = static_cast<unsigned char*>(std::calloc(1, bytes));
    if (!base) return nullptr;
    auto* cfg = reinterpret_cast<libusb_config_descriptor*>(base);
    auto* ifs = reinterpret_cast<libusb_interface*>(base + sizeof(*cfg));
    auto* altp = reinterpret_cast<libusb_interface_descriptor*>(ifs + id.interfaces.size());
    auto* epp = reinterpret_cast<libusb_endpoint_descriptor*>(altp + alts);
    const std::vector<uint8_t> wire = id.configDescriptor();
    cfg->bLength = LIBUSB_DT_CONFIG_SIZE;
    cfg->bDescriptorType = LIBUSB_DT_CONFIG;
    cfg->wTotalLength = static_cast<uint16_t>(wire.size() < kMaxDescriptorSize ? wire.size() : 0);
    cfg->bNumInterfaces = static_cast<uint8_t>(id.interfaces.size());
    cfg->bConfigurationValue = id.configurationValue;
    cfg->bmAttributes = id.configAttributes;
    cfg->MaxPower = id.maxPower;
    cfg->interface = ifs;
    for (size_t n = 0; n < id.interfaces.size(); ++n)
        fillInterface(id.interfaces[n], static_cast<int>(n), &ifs[n], altp, epp);
    return cfg;
}

}  // namespace

extern "C" {

int libusb_init(libusb_context** ctx) {
    State& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    if (s.initError) {
        int e = s.initError;
        s.initError = 0;
        return e;
    }
    if (ctx) {
        *ctx = newContextLocked(s);
        return LIBUSB_SUCCESS;
    }
    if (!s.defaultCtx) s.defaultCtx = newContextLocked(s);
    ++s.defaultRefs;
    return LIBUSB_SUCCESS;
}

void libusb_exit(libusb_context* ctx) {
    State& s = state();
    std::vector<libusb_device*> unref;
    {
        std::lock_guard<std::mutex> lk(s.mu);
        libusb_context* c = resolveLocked(s, ctx);
        if (!c || !c->alive) return;
        if (c == s.defaultCtx) {
            if (ctx == nullptr && --s.defaultRefs > 0) return;
            s.defaultCtx = nullptr;
            s.defaultRefs = 0;
        }
        retireLocked(s, c, unref);
    }
    unrefAll(unref);
}

int libusb_has_capability(uint32_t capability) {
    switch (capability) {
        case LIBUSB_CAP_HAS_CAPABILITY:
        case LIBUSB_CAP_SUPPORTS_DETACH_KERNEL_DRIVER:
            return 1;
        case LIBUSB_CAP_HAS_HOTPLUG: {
            State& s = state();
            std::lock_guard<std::mutex> lk(s.mu);
            return s.hotplugCapability ? 1 : 0;
        }
        default:
            return 0;
    }
}

int libusb_set_option(libusb_context* /*ctx*/, enum libusb_option /*option*/, ...) {
    return LIBUSB_SUCCESS;
}

int libusb_hotplug_register_callback(libusb_context* ctx, int events, int flags, int vendor_id,
                                     int product_id, int dev_class,
                                     libusb_hotplug_callback_fn cb_fn, void* user_data,
                                     libusb_hotplug_callback_handle* callback_handle) {
    const int allEvents = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
    if (!events || (events & ~allEvents) || (flags & ~LIBUSB_HOTPLUG_ENUMERATE) || !cb_fn ||
        !validFilter(vendor_id, 0xFFFF) || !validFilter(product_id, 0xFFFF) ||
        !validFilter(dev_class, 0xFF))
        return LIBUSB_ERROR_INVALID_PARAM;

    State& s = state();
    auto cb = std::make_shared<Callback>();
    std::vector<libusb_device*> present;
    libusb_context* c = nullptr;
    {
        std::lock_guard<std::mutex> lk(s.mu);
        if (!s.hotplugCapability) return LIBUSB_ERROR_NOT_SUPPORTED;
        c = resolveLocked(s, ctx);
        if (!c || !c->alive) return LIBUSB_ERROR_INVALID_PARAM;
        if (s.registerFault.error && s.registerFault.remaining != 0) {
            if (s.registerFault.remaining > 0) --s.registerFault.remaining;
            return s.registerFault.error;
        }
        cb->handle = c->nextHandle++;
        cb->events = events;
        cb->flags = flags;
        cb->vendorId = vendor_id;
        cb->productId = product_id;
        cb->deviceClass = dev_class;
        cb->fn = cb_fn;
        cb->userData = user_data;
        cb->seq = ++s.seq;
        c->callbacks.push_back(cb);
        if (callback_handle) *callback_handle = cb->handle;
        if ((flags & LIBUSB_HOTPLUG_ENUMERATE) && (events & LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED)) {
            for (auto& [dev, obj] : c->devices) {
                ++obj->refs;
                present.push_back(obj);
            }
        }
        if (!present.empty()) enterBlocking(s);
    }
    for (libusb_device* d : present) {
        {
            std::lock_guard<std::mutex> lk(s.mu);
            if (!c->alive || !cb->matches(d->dev->ident, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED))
                continue;
        }
        if (cb_fn(c, d, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, user_data) == 1) {
            std::lock_guard<std::mutex> lk(s.mu);
            removeCallbackLocked(c, cb->handle);
        }
    }
    if (!present.empty()) {
        std::lock_guard<std::mutex> lk(s.mu);
        leaveBlocking(s);
    }
    unrefAll(present);
    return LIBUSB_SUCCESS;
}

void libusb_hotplug_deregister_callback(libusb_context* ctx,
                                        libusb_hotplug_callback_handle callback_handle) {
    State& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    libusb_context* c = resolveLocked(s, ctx);
    if (!c || !c->alive) return;
    removeCallbackLocked(c, callback_handle);
    // libusb wakes its event handler to free the callback; the handler then returns.
    c->wake = true;
    c->cv.notify_all();
}

int libusb_handle_events_timeout_completed(libusb_context* ctx, struct timeval* tv,
                                           int* completed) {
    if (!tv || tv->tv_sec < 0 || tv->tv_usec < 0 || tv->tv_usec >= 1000000)
        return LIBUSB_ERROR_INVALID_PARAM;
    const auto deadline =
        Clock::now() + std::chrono::seconds(tv->tv_sec) + std::chrono::microseconds(tv->tv_usec);
    State& s = state();
    std::unique_lock<std::mutex> lk(s.mu);
    libusb_context* c = resolveLocked(s, ctx);
    if (!c) return LIBUSB_ERROR_INVALID_PARAM;
    if (completed && *completed) return LIBUSB_SUCCESS;
    if (!c->alive) {
        // A retired context has nothing to deliver; idle like an empty bus instead of
        // returning at once, so a caller's loop does not spin.
        c->cv.wait_until(lk, deadline, [&] { return c->interrupted; });
        c->interrupted = false;
        return LIBUSB_SUCCESS;
    }
    BlockingCall counted(s);
    if (c->handling) {
        // Another thread is the event handler: wait for it like libusb_wait_for_event.
        c->cv.wait_until(lk, deadline, [&] { return !c->handling || !c->alive || c->interrupted; });
        return LIBUSB_SUCCESS;
    }
    c->handling = true;
    c->cv.wait_until(lk, deadline, [&] {
        return !c->events.empty() || c->interrupted || c->wake || !c->alive || s.resetting;
    });
    c->interrupted = false;
    c->wake = false;
    while (c->alive && !c->events.empty()) {
        HotplugEvent ev = c->events.front();
        c->events.pop_front();
        std::vector<std::shared_ptr<Callback>> cbs = c->callbacks;
        lk.unlock();
        deliver(c, ev, cbs);
        unrefDevice(ev.dev);
        lk.lock();
    }
    c->handling = false;
    c->cv.notify_all();
    return LIBUSB_SUCCESS;
}

int libusb_handle_events_timeout(libusb_context* ctx, struct timeval* tv) {
    return libusb_handle_events_timeout_completed(ctx, tv, nullptr);
}

int libusb_handle_events(libusb_context* ctx) {
    struct timeval tv = {60, 0};
    return libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
}

int libusb_handle_events_completed(libusb_context* ctx, int* completed) {
    struct timeval tv = {60, 0};
    return libusb_handle_events_timeout_completed(ctx, &tv, completed);
}

void libusb_interrupt_event_handler(libusb_context* ctx) {
    State& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    libusb_context* c = resolveLocked(s, ctx);
    if (!c) return;
    c->interrupted = true;
    c->cv.notify_all();
}

ssize_t libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
    if (!list) return LIBUSB_ERROR_INVALID_PARAM;
    State& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    libusb_context* c = resolveLocked(s, ctx);
    if (!c) return LIBUSB_ERROR_INVALID_PARAM;
    auto** out = static_cast<libusb_device**>(std::calloc(c->devices.size() + 1, sizeof(void*)));
    if (!out) return LIBUSB_ERROR_NO_MEM;
    size_t n = 0;
    for (auto& [dev, obj] : c->devices) {
        ++obj->refs;
        out[n++] = obj;
    }
    *list = out;
    return static_cast<ssize_t>(n);
}

void libusb_free_device_list(libusb_device** list, int unref_devices) {
    if (!list) return;
    if (unref_devices)
        for (libusb_device** p = list; *p; ++p) unrefDevice(*p);
    std::free(list);
}

libusb_device* libusb_ref_device(libusb_device* dev) {
    if (!dev) return nullptr;
    State& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    ++dev->refs;
    return dev;
}

void libusb_unref_device(libusb_device* dev) { unrefDevice(dev); }

int libusb_get_device_descriptor(libusb_device* dev, struct libusb_device_descriptor* desc) {
    if (!dev || !desc) return LIBUSB_ERROR_INVALID_PARAM;
    // The identity never changes after plug; descriptors stay readable after departure.
    const std::vector<uint8_t> d = dev->dev->ident.deviceDescriptor();
    static_assert(sizeof(libusb_device_descriptor) == LIBUSB_DT_DEVICE_SIZE, "packed layout");
    std::memcpy(desc, d.data(), LIBUSB_DT_DEVICE_SIZE);
    return LIBUSB_SUCCESS;
}

int libusb_get_config_descriptor(libusb_device* dev, uint8_t config_index,
                                 struct libusb_config_descriptor** config) {
    if (!dev || !config) return LIBUSB_ERROR_INVALID_PARAM;
    if (config_index != 0) return LIBUSB_ERROR_NOT_FOUND;
    *config = buildConfig(dev->dev->ident);
    return *config ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_MEM;
}

int libusb_get_active_config_descriptor(libusb_device* dev,
                                        struct libusb_config_descriptor** config) {
    return libusb_get_config_descriptor(dev, 0, config);
}

int libusb_get_config_descriptor_by_value(libusb_device* dev, uint8_t bConfigurationValue,
                                          struct libusb_config_descriptor** config) {
    if (!dev || !config) return LIBUSB_ERROR_INVALID_PARAM;
    if (bConfigurationValue != dev->dev->ident.configurationValue) return LIBUSB_ERROR_NOT_FOUND;
    return libusb_get_config_descriptor(dev, 0, config);
}

void libusb_free_config_descriptor(struct libusb_config_descriptor* config) { std::free(config); }

uint8_t libusb_get_bus_number(libusb_device* dev) { return dev ? dev->dev->ident.busNumber : 0; }

uint8_t libusb_get_device_address(libusb_device* dev) { return dev ? dev->dev->ident.address : 0; }

uint8_t libusb_get_port_number(libusb_device* dev) { return dev ? dev->dev->ident.portNumber : 0; }

int libusb_get_device_speed(libusb_device* dev) {
    if (!dev) return LIBUSB_SPEED_UNKNOWN;
    const uint16_t bcd = dev->dev->ident.bcdUSB;
    if (bcd >= 0x0310) return LIBUSB_SPEED_SUPER_PLUS;
    if (bcd >= 0x0300) return LIBUSB_SPEED_SUPER;
    return bcd >= 0x0200 ? LIBUSB_SPEED_HIGH : LIBUSB_SPEED_FULL;
}

const char* libusb_error_name(int errcode) {
    switch (errcode) {
        case LIBUSB_ERROR_IO:
            return "LIBUSB_ERROR_IO";
        case LIBUSB_ERROR_INVALID_PARAM:
            return "LIBUSB_ERROR_INVALID_PARAM";
        case LIBUSB_ERROR_ACCESS:
            return "LIBUSB_ERROR_ACCESS";
        case LIBUSB_ERROR_NO_DEVICE:
            return "LIBUSB_ERROR_NO_DEVICE";
        case LIBUSB_ERROR_NOT_FOUND:
            return "LIBUSB_ERROR_NOT_FOUND";
        case LIBUSB_ERROR_BUSY:
            return "LIBUSB_ERROR_BUSY";
        case LIBUSB_ERROR_TIMEOUT:
            return "LIBUSB_ERROR_TIMEOUT";
        case LIBUSB_ERROR_OVERFLOW:
            return "LIBUSB_ERROR_OVERFLOW";
        case LIBUSB_ERROR_PIPE:
            return "LIBUSB_ERROR_PIPE";
        case LIBUSB_ERROR_INTERRUPTED:
            return "LIBUSB_ERROR_INTERRUPTED";
        case LIBUSB_ERROR_NO_MEM:
            return "LIBUSB_ERROR_NO_MEM";
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return "LIBUSB_ERROR_NOT_SUPPORTED";
        case LIBUSB_ERROR_OTHER:
            return "LIBUSB_ERROR_OTHER";
        case LIBUSB_TRANSFER_ERROR:
            return "LIBUSB_TRANSFER_ERROR";
        case LIBUSB_TRANSFER_TIMED_OUT:
            return "LIBUSB_TRANSFER_TIMED_OUT";
        case LIBUSB_TRANSFER_CANCELLED:
            return "LIBUSB_TRANSFER_CANCELLED";
        case LIBUSB_TRANSFER_STALL:
            return "LIBUSB_TRANSFER_STALL";
        case LIBUSB_TRANSFER_NO_DEVICE:
            return "LIBUSB_TRANSFER_NO_DEVICE";
        case LIBUSB_TRANSFER_OVERFLOW:
            return "LIBUSB_TRANSFER_OVERFLOW";
        case 0:
            return "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED";
        default:
            return "**UNKNOWN**";
    }
}

const char* libusb_strerror(int errcode) {
    switch (errcode) {
        case LIBUSB_SUCCESS:
            return "Success";
        case LIBUSB_ERROR_IO:
            return "Input/Output Error";
        case LIBUSB_ERROR_INVALID_PARAM:
            return "Invalid parameter";
        case LIBUSB_ERROR_ACCESS:
            return "Access denied (insufficient permissions)";
        case LIBUSB_ERROR_NO_DEVICE:
            return "No such device (it may have been disconnected)";
        case LIBUSB_ERROR_NOT_FOUND:
            return "Entity not found";
        case LIBUSB_ERROR_BUSY:
            return "Resource busy";
        case LIBUSB_ERROR_TIMEOUT:
            return "Operation timed out";
        case LIBUSB_ERROR_OVERFLOW:
            return "Overflow";
        case LIBUSB_ERROR_PIPE:
            return "Pipe error";
        case LIBUSB_ERROR_INTERRUPTED:
            return "System call interrupted (perhaps due to signal)";
        case LIBUSB_ERROR_NO_MEM:
            return "Insufficient memory";
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return "Operation not supported or unimplemented on this platform";
        case LIBUSB_ERROR_OTHER:
            return "Other error";
        default:
            return "Unknown error";
    }
}

}  // extern "C"
