// The emulated USB bus and its device table.
//
// Concurrency rules of the emulated libusb (bus.cpp, libusb_core.cpp, libusb_io.cpp):
//
// - One bus lock, State::mu, guards all bus state: the device table, every device's host-side
//   state (plugged flag, claims, alternate settings, halts, faults), the contexts with their
//   event queues and callback lists, the reference counts of libusb_device objects and the
//   handles. It is held only for bookkeeping, never across a wait without releasing it (waits
//   use condition variables on it), never while a model or a hot-plug callback runs.
// - Lock order: a model's mutex, then the model's host mutex, then State::mu. The bus calls a
//   model with nothing but the model's mutex held (callModel), so a model may notify from
//   inside its methods; a model thread may notify while holding its own mutex.
// - Hot-plug callbacks run without any bus lock, so they may call any libusb function (open,
//   claim, transfers, register, deregister) except the event handler itself. Devices present
//   at registration are reported inside libusb_hotplug_register_callback on the calling thread;
//   later arrivals and departures are queued per context at plug/unplug time and delivered, in
//   order, by whichever thread runs libusb_handle_events*; only one thread handles a context's
//   events at a time, a second one waits for it like libusb_wait_for_event. A callback only
//   sees events queued after its registration, so a device is never reported twice.
// - Transfers may run on any number of threads at once, also on one handle. A blocked IN (or a
//   NAKed OUT) waits on its device's condition variable for a model notification, its timeout,
//   unplug, libusb_exit of its context, libusb_close of its handle, or Bus::reset.
// - libusb_close waits for the handle's transfers in flight to leave before freeing it (real
//   libusb would free it under them); such closes are counted for tests to assert on.
// - A libusb_device is freed when its last reference goes; the event carrying a device to a
//   callback holds one, and so does its context while the device is plugged. Contexts are never
//   freed: libusb_exit and reset retire them, so a late call through a stale context pointer
//   (a detached event thread, say) finds a dead context instead of freed memory.
// - Bus::reset wakes every blocking call and waits for the count of calls inside the bus to
//   drop to zero before freeing devices and handles.
#include "emulator/usb/bus.h"

#include <cstdio>

#include "emulator/usb/bus_internal.h"

namespace emu {

namespace detail {

State& state() {
    // Never destroyed: detached service threads may still be blocked in the bus at exit.
    static State* s = new State();
    return *s;
}

const DeviceModel*& currentModel() {
    thread_local const DeviceModel* m = nullptr;
    return m;
}

void EmuDevice::endpointReady(uint8_t /*endpoint*/) {
    State& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    ++readyGen;
    cv.notify_all();
}

bool Callback::matches(const UsbIdentity& id, libusb_hotplug_event ev) const {
    if (removed || !(events & ev)) return false;
    if (vendorId != LIBUSB_HOTPLUG_MATCH_ANY && vendorId != id.vendorId) return false;
    if (productId != LIBUSB_HOTPLUG_MATCH_ANY && productId != id.productId) return false;
    if (deviceClass != LIBUSB_HOTPLUG_MATCH_ANY && deviceClass != id.deviceClass) return false;
    return true;
}

void Detached::run() {
    for (auto& d : devices) {
        DeviceModel& m = *d->model;
        // Let a model call in progress finish before the model hears it has left, unless the
        // model unplugs itself from inside one of its own methods.
        if (currentModel() != &m) {
            std::lock_guard<std::mutex> wait(m.mutex());
        }
        m.detachHost();
        m.onDetach();
    }
    devices.clear();
}

libusb_context* resolveLocked(State& s, libusb_context* ctx) { return ctx ? ctx : s.defaultCtx; }

void unplugLocked(State& s, EmuDevice& dev, Detached& out) {
    if (!dev.plugged) return;
    dev.plugged = false;
    for (libusb_context* c : s.contexts) {
        auto it = c->devices.find(&dev);
        if (it == c->devices.end()) continue;
        // The context's reference moves to the departure event.
        c->events.push_back(HotplugEvent{it->second, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, ++s.seq});
        c->devices.erase(it);
        c->cv.notify_all();
    }
    dev.cv.notify_all();
    out.devices.push_back(s.devices.at(dev.id));
}

void unrefDevice(libusb_device* dev) {
    if (!dev) return;
    State& s = state();
    std::shared_ptr<EmuDevice> keep;  // released outside the lock
    {
        std::lock_guard<std::mutex> lk(s.mu);
        if (--dev->refs > 0) return;
        s.deviceObjects.erase(dev);
        keep = std::move(dev->dev);
    }
    delete dev;
}

void unrefAll(const std::vector<libusb_device*>& devs) {
    for (libusb_device* d : devs) unrefDevice(d);
}

void enterBlocking(State& s) { ++s.inflight; }

void leaveBlocking(State& s) {
    if (--s.inflight == 0) s.drained.notify_all();
}

}  // namespace detail

using namespace detail;

bool Match::matches(uint8_t address) const {
    if (endpoint >= 0 && endpoint != address) return false;
    if (direction == Direction::In && !(address & 0x80)) return false;
    if (direction == Direction::Out && (address & 0x80)) return false;
    return !bytes;
}

bool Match::matches(uint8_t address, const uint8_t* data, size_t length) const {
    if (!bytes) return matches(address);
    if (endpoint >= 0 && endpoint != address) return false;
    if ((address & 0x80) || !data) return false;
    return bytes(data, length);
}

Bus& Bus::instance() {
    static Bus* bus = new Bus();
    return *bus;
}

int Bus::plug(std::shared_ptr<DeviceModel> model, UsbIdentity identity) {
    if (!model || !identity.valid()) return -1;
    State& s = state();
    auto dev = std::make_shared<EmuDevice>();
    dev->model = model;
    dev->ident = std::move(identity);
    if (!model->attachHost(dev.get())) return -1;
    model->onAttach();

    std::vector<libusb_device*> dropped;
    std::lock_guard<std::mutex> lk(s.mu);
    dev->id = s.nextId++;
    if (dev->ident.address == 0) {
        // Addresses are handed out upwards like a hub's, wrapping within 1..127 and skipping
        // those still in use on the same bus.
        uint8_t& last = s.lastAddress[dev->ident.busNumber];
        for (int tries = 0; tries < 127; ++tries) {
            last = static_cast<uint8_t>(last % 127 + 1);
            bool used = false;
            for (auto& [id, d] : s.devices)
                used |= d->plugged && d->ident.busNumber == dev->ident.busNumber &&
                        d->ident.address == last;
            if (!used) break;
        }
        dev->ident.address = last;
    }
    dev->plugged = true;
    s.devices[dev->id] = dev;
    for (libusb_context* c : s.contexts) {
        auto* d = new libusb_device{c, dev, 2};  // one for the context, one for the event
        s.deviceObjects.insert(d);
        c->devices[dev.get()] = d;
        c->events.push_back(HotplugEvent{d, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, ++s.seq});
        c->cv.notify_all();
    }
    return dev->id;
}

int Bus::unplug(int id) {
    State& s = state();
    Detached detached;
    {
        std::lock_guard<std::mutex> lk(s.mu);
        auto it = s.devices.find(id);
        if (it == s.devices.end() || !it->second->plugged) return -1;
        unplugLocked(s, *it->second, detached);
    }
    detached.run();
    return 0;
}

int Bus::forget(int id) {
    State& s = state();
    std::shared_ptr<EmuDevice> dropped;  // freed outside the lock: it may free the model
    std::lock_guard<std::mutex> lk(s.mu);
    auto it = s.devices.find(id);
    if (it == s.devices.end() || it->second->plugged || it->second->openHandles > 0) return -1;
    dropped = std::move(it->second);
    s.devices.erase(it);
    return 0;
}

bool Bus::plugged(int id) const {
    State& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    auto it = s.devices.find(id);
    return it != s.devices.end() && it->second->plugged;
}

DeviceStatus Bus::status(int id) const {
    State& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    DeviceStatus st;
    auto it = s.devices.find(id);
    if (it == s.devices.end()) return st;
    const EmuDevice& d = *it->second;
    st.known = true;
    st.plugged = d.plugged;
    st.busNumber = d.ident.busNumber;
    st.address = d.ident.address;
    st.openHandles = d.openHandles;
    for (size_t i = 0; i < d.claimedBy.size(); ++i)
        if (d.claimedBy[i]) st.claimedInterfaces |= 1u << i;
    st.altSetting = d.alt;
    st.resets = d.resets;
    st.transfersWithoutClaim = d.transfersWithoutClaim;
    st.transfersInFlight = d.transfersInFlight;
    return st;
}

void Bus::setTransferLog(TransferLog log) {
    State& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    s.log = log ? std::make_shared<const TransferLog>(std::move(log)) : nullptr;
}

void Bus::setHotplugCapability(bool supported) {
    State& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    s.hotplugCapability = supported;
}

void Bus::failNextInit(int error) {
    State& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    s.initError = error;
}

void Bus::failHotplugRegistration(int error, int count) {
    State& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    s.registerFault = OpFault{error, count};
}

size_t Bus::liveDevices() const {
    State& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    return s.deviceObjects.size();
}

size_t Bus::liveHandles() const {
    State& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    return s.handles.size();
}

size_t Bus::liveContexts() const {
    State& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    return s.contexts.size();
}

int Bus::closesWithTransfersInFlight() const {
    State& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    return s.closesInFlight;
}

void Bus::reset() {
    State& s = state();
    Detached detached;
    std::map<int, std::shared_ptr<EmuDevice>> devices;
    std::vector<libusb_device*> objects;
    std::vector<libusb_device_handle*> handles;
    {
        std::unique_lock<std::mutex> lk(s.mu);
        s.resetting = true;
        for (auto& [id, d] : s.devices) {
            unplugLocked(s, *d, detached);
            d->cv.notify_all();
        }
        for (libusb_context* c : s.contexts) {
            c->alive = false;
            c->events.clear();
            c->callbacks.clear();
            c->devices.clear();
            c->cv.notify_all();
        }
        s.contexts.clear();
        s.defaultCtx = nullptr;
        s.defaultRefs = 0;
        if (!s.drained.wait_for(lk, std::chrono::seconds(5), [&] { return s.inflight == 0; })) {
            // Something is stuck inside a callback or a model; freeing now would pull memory
            // from under it. Leave the objects allocated and say so.
            std::fprintf(stderr, "emu usb: reset with %d blocking calls still inside the bus\n",
                         s.inflight);
            s.deviceObjects.clear();
            s.handles.clear();
        }
        objects.assign(s.deviceObjects.begin(), s.deviceObjects.end());
        handles.assign(s.handles.begin(), s.handles.end());
        s.deviceObjects.clear();
        s.handles.clear();
        devices.swap(s.devices);
        s.nextId = 1;
        s.lastAddress.clear();
        s.seq = 0;
        s.closesInFlight = 0;
        s.hotplugCapability = true;
        s.initError = 0;
        s.registerFault = OpFault{};
        s.log.reset();
        s.resetting = false;
    }
    detached.run();
    for (libusb_device_handle* h : handles) delete h;
    for (libusb_device* d : objects) delete d;
    devices.clear();
}

// ---- Faults ------------------------------------------------------------------------------------

namespace {

template <typename F>
void withDevice(int id, F&& f) {
    State& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    auto it = s.devices.find(id);
    if (it != s.devices.end()) f(*it->second);
}

}  // namespace

Faults& Faults::failTransfers(int count, int error, Match match) {
    if (count > 0 && error < 0)
        withDevice(id_, [&](EmuDevice& d) {
            d.faults.failures.push_back(TransferFault{match, error, count});
        });
    return *this;
}

Faults& Faults::delayTransfers(std::chrono::milliseconds delay, Match match) {
    withDevice(id_, [&](EmuDevice& d) {
        auto& v = d.faults.delays;
        for (auto it = v.begin(); it != v.end();) {
            if (it->match.endpoint == match.endpoint && it->match.direction == match.direction)
                it = v.erase(it);
            else
                ++it;
        }
        if (delay.count() > 0) v.push_back(DelayFault{match, delay});
        d.cv.notify_all();
    });
    return *this;
}

Faults& Faults::stall(uint8_t endpoint) {
    withDevice(id_, [&](EmuDevice& d) { d.halted.insert(endpoint); });
    return *this;
}

Faults& Faults::unplugDuringTransfer(Match match, std::chrono::milliseconds after) {
    withDevice(id_, [&](EmuDevice& d) { d.faults.unplug = UnplugFault{true, match, after}; });
    return *this;
}

Faults& Faults::failOp(Op op, int error, int count) {
    if (op == Op::Count) return *this;
    withDevice(id_, [&](EmuDevice& d) {
        d.faults.ops[static_cast<size_t>(op)] = OpFault{error, count};
    });
    return *this;
}

Faults& Faults::kernelDriver(int interfaceNumber, bool bound) {
    if (interfaceNumber >= 0 && interfaceNumber < 32)
        withDevice(id_, [&](EmuDevice& d) { d.kernelDriver[interfaceNumber] = bound; });
    return *this;
}

Faults& Faults::clear() {
    withDevice(id_, [&](EmuDevice& d) {
        d.faults = FaultState{};
        d.halted.clear();
        d.kernelDriver.fill(false);
        d.cv.notify_all();
    });
    return *this;
}

bool Faults::stalled(uint8_t endpoint) const {
    bool r = false;
    withDevice(id_, [&](EmuDevice& d) { r = d.halted.count(endpoint) != 0; });
    return r;
}

}  // namespace emu
