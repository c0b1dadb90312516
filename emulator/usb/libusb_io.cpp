// Emulated libusb: device handles, interface management and synchronous transfers.
// Concurrency rules: top of bus.cpp.
#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "emulator/usb/bus_internal.h"

using namespace emu::detail;
using emu::Status;

namespace {

constexpr int kMaxInterfaces = 32;
constexpr auto kCloseDrainLimit = std::chrono::seconds(5);

EmuDevice& devOf(libusb_device_handle* h) { return *h->dev->dev; }

// The handle can no longer reach its device. Caller holds s.mu.
bool gone(const State& s, const libusb_device_handle* h) {
    return !h->dev->dev->plugged || !h->dev->ctx->alive || h->closing || s.resetting;
}

// Consume one injected failure of `op`; 0 when none is armed. Caller holds s.mu.
int takeOpFault(EmuDevice& d, emu::Op op) {
    OpFault& f = d.faults.ops[static_cast<size_t>(op)];
    if (f.error == 0 || f.remaining == 0) return 0;
    if (f.remaining > 0) --f.remaining;
    return f.error;
}

bool validInterface(int n) { return n >= 0 && n < kMaxInterfaces; }

template <typename Pred>
void waitUntil(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, Clock::time_point tp,
               Pred pred) {
    if (tp == Clock::time_point::max())
        cv.wait(lk, pred);
    else
        cv.wait_until(lk, tp, pred);
}

// Endpoint of a bulk/interrupt transfer in the current alternate settings, preferring an
// interface this handle has claimed. usbfs claims a free interface on first use, so does this;
// an interface held by another handle refuses (EBUSY at submit, LIBUSB_ERROR_IO). The transfer
// type is not checked against the endpoint type: usbfs turns bulk on an interrupt endpoint into
// an interrupt URB, and the adapter generations disagree on which of their IN endpoints is an
// interrupt one, so one emulated layout serves both.
int routeLocked(libusb_device_handle* h, uint8_t ep, const emu::EndpointInfo** info) {
    EmuDevice& d = devOf(h);
    int first = -1;
    for (size_t n = 0; n < d.ident.interfaces.size(); ++n) {
        const emu::EndpointInfo* e = d.ident.findEndpoint(static_cast<int>(n), d.alt[n], ep);
        if (!e) continue;
        if (d.claimedBy[n] == h) {
            *info = e;
            return LIBUSB_SUCCESS;
        }
        if (first < 0) {
            first = static_cast<int>(n);
            *info = e;
        }
    }
    if (first < 0) return LIBUSB_ERROR_IO;
    if (d.claimedBy[first] || d.kernelDriver[first]) return LIBUSB_ERROR_IO;
    d.claimedBy[first] = h;
    h->claimed |= 1u << first;
    ++d.transfersWithoutClaim;
    return LIBUSB_SUCCESS;
}

struct Request {
    emu::TransferType type = emu::TransferType::Bulk;
    uint8_t endpoint = 0;
    unsigned char* data = nullptr;
    size_t length = 0;
    size_t maxPacket = 0;
    emu::SetupPacket setup;
};

// Standard device requests the bus answers itself; false when the model should see it.
bool standardRequest(const EmuDevice& d, const emu::SetupPacket& st, unsigned char* data, size_t* n,
                     Status* status) {
    if ((st.bmRequestType & 0x7F) != 0) return false;  // standard, to the device
    std::vector<uint8_t> reply;
    if (st.bRequest == LIBUSB_REQUEST_GET_DESCRIPTOR && (st.bmRequestType & 0x80)) {
        const int type = st.wValue >> 8;
        if (type == LIBUSB_DT_DEVICE)
            reply = d.ident.deviceDescriptor();
        else if (type == LIBUSB_DT_CONFIG && (st.wValue & 0xFF) == 0)
            reply = d.ident.configDescriptor();
        else {
            *status = Status::Stall;
            return true;
        }
    } else if (st.bRequest == LIBUSB_REQUEST_GET_STATUS && (st.bmRequestType & 0x80)) {
        reply = {0, 0};
    } else if (st.bRequest == LIBUSB_REQUEST_GET_CONFIGURATION && (st.bmRequestType & 0x80)) {
        reply = {d.ident.configurationValue};
    } else {
        return false;
    }
    *n = std::min<size_t>(reply.size(), st.wLength);
    if (*n) std::memcpy(data, reply.data(), *n);
    *status = Status::Ok;
    return true;
}

// One call into the model for `r`. Returns false when the device has left.
bool modelStep(EmuDevice& d, const Request& r, Status* st, size_t* n) {
    *n = 0;
    if (r.type == emu::TransferType::Control) {
        if (standardRequest(d, r.setup, r.data, n, st)) return true;
        return callModel(d, [&](emu::DeviceModel& m) {
            size_t len = 0;
            *st = m.control(r.setup, r.data, &len);
            *n = (r.setup.bmRequestType & 0x80) ? std::min(len, r.length) : r.length;
        });
    }
    return callModel(d, [&](emu::DeviceModel& m) {
        if (r.endpoint & 0x80) {
            emu::InBuffer b{r.data, r.length, r.maxPacket, 0};
            *st = m.in(r.endpoint, b);
            *n = std::min(b.length, r.length);
        } else {
            *st = m.out(r.endpoint, r.data, r.length);
            *n = r.length;
        }
    });
}

struct Armed {
    int injected = 0;
    Clock::time_point notBefore;
    Clock::time_point unplugAt = Clock::time_point::max();
};

Armed armFaults(EmuDevice& d, const Request& r, Clock::time_point start) {
    const uint8_t ep = r.endpoint;
    // Control transfers carry their data after the set-up stage: only bulk and interrupt OUT
    // bytes are offered to a byte match.
    const bool outData = !(ep & 0x80) && r.type != emu::TransferType::Control;
    const uint8_t* data = outData ? r.data : nullptr;
    const size_t length = outData ? r.length : 0;
    Armed a;
    a.notBefore = start;
    auto& fails = d.faults.failures;
    for (auto it = fails.begin(); it != fails.end(); ++it) {
        if (!it->match.matches(ep, data, length)) continue;
        a.injected = it->error;
        if (--it->remaining <= 0) fails.erase(it);
        break;
    }
    for (const DelayFault& f : d.faults.delays)
        if (f.match.matches(ep, data, length)) a.notBefore = std::max(a.notBefore, start + f.delay);
    UnplugFault& u = d.faults.unplug;
    if (u.armed && u.match.matches(ep, data, length)) {
        a.unplugAt = start + u.after;
        u.armed = false;
    }
    return a;
}

void logTransfer(const std::shared_ptr<const emu::TransferLog>& log, emu::TransferRecord& rec,
                 const Request& r, size_t done, int status) {
    if (!log) return;
    rec.completed = std::chrono::system_clock::now();
    rec.endpoint = r.endpoint;
    rec.type = r.type;
    rec.requested = r.length;
    rec.status = status;
    if (r.type == emu::TransferType::Control) {
        const emu::SetupPacket& s = r.setup;
        rec.setup = {s.bmRequestType,
                     s.bRequest,
                     static_cast<uint8_t>(s.wValue & 0xFF),
                     static_cast<uint8_t>(s.wValue >> 8),
                     static_cast<uint8_t>(s.wIndex & 0xFF),
                     static_cast<uint8_t>(s.wIndex >> 8),
                     static_cast<uint8_t>(s.wLength & 0xFF),
                     static_cast<uint8_t>(s.wLength >> 8)};
    }
    const size_t n = (r.endpoint & 0x80) ? done : (status == 0 ? r.length : 0);
    if (r.data && n) rec.data.assign(r.data, r.data + n);
    (*log)(rec);
}

// The synchronous transfer engine shared by bulk, interrupt and control transfers. Returns 0 or
// a LIBUSB_ERROR_* code and the byte count in *done.
int runTransfer(libusb_device_handle* h, Request r, unsigned int timeout, size_t* done) {
    *done = 0;
    State& s = state();
    emu::TransferRecord rec;
    rec.submitted = std::chrono::system_clock::now();
    const auto start = Clock::now();
    std::unique_lock<std::mutex> lk(s.mu);
    EmuDevice& d = devOf(h);
    rec.deviceId = d.id;
    rec.busNumber = d.ident.busNumber;
    rec.address = d.ident.address;
    std::shared_ptr<const emu::TransferLog> log = s.log;

    int status = LIBUSB_SUCCESS;
    if (gone(s, h)) {
        status = LIBUSB_ERROR_NO_DEVICE;
    } else if (r.type != emu::TransferType::Control) {
        const emu::EndpointInfo* info = nullptr;
        status = routeLocked(h, r.endpoint, &info);
        if (info) r.maxPacket = info->maxPacketSize;
    }
    if (status != LIBUSB_SUCCESS) {
        lk.unlock();
        logTransfer(log, rec, r, 0, status);
        return status;
    }

    ++h->inflight;
    ++d.transfersInFlight;
    enterBlocking(s);
    const Armed a = armFaults(d, r, start);
    const bool doomed = a.unplugAt != Clock::time_point::max();
    // A transfer chosen for unplug is held in flight until the unplug, whatever its timeout.
    const auto deadline =
        timeout && !doomed ? start + std::chrono::milliseconds(timeout) : Clock::time_point::max();
    const auto wakeAt = std::min(deadline, a.unplugAt);
    for (;;) {
        if (gone(s, h)) {
            status = LIBUSB_ERROR_NO_DEVICE;
            break;
        }
        const auto now = Clock::now();
        if (now >= a.unplugAt) {
            Detached detached;
            unplugLocked(s, d, detached);
            lk.unlock();
            detached.run();
            lk.lock();
            status = LIBUSB_ERROR_NO_DEVICE;
            break;
        }
        if (a.injected && a.injected != LIBUSB_ERROR_TIMEOUT) {
            status = a.injected;
            break;
        }
        if (now >= deadline || (a.injected == LIBUSB_ERROR_TIMEOUT && !timeout)) {
            status = LIBUSB_ERROR_TIMEOUT;
            break;
        }
        if (r.type != emu::TransferType::Control && d.halted.count(r.endpoint)) {
            status = LIBUSB_ERROR_PIPE;
            break;
        }
        if (doomed || a.injected == LIBUSB_ERROR_TIMEOUT || now < a.notBefore) {
            const auto until = doomed || a.injected ? wakeAt : std::min(wakeAt, a.notBefore);
            waitUntil(lk, d.cv, until, [&] {
                return gone(s, h) || Clock::now() >= until || d.halted.count(r.endpoint);
            });
            continue;
        }
        const uint64_t gen = d.readyGen;
        lk.unlock();
        Status st = Status::Error;
        size_t n = 0;
        const bool live = modelStep(d, r, &st, &n);
        lk.lock();
        if (!live) {
            status = LIBUSB_ERROR_NO_DEVICE;
            break;
        }
        if (st == Status::Ok) {
            *done = n;
            break;
        }
        if (st == Status::Overflow) {
            *done = n;
            status = LIBUSB_ERROR_OVERFLOW;
            break;
        }
        if (st == Status::Stall) {
            // A stalled bulk/interrupt endpoint stays halted; a control request stall is
            // cleared by the next SETUP.
            if (r.type != emu::TransferType::Control) d.halted.insert(r.endpoint);
            status = LIBUSB_ERROR_PIPE;
            break;
        }
        if (st == Status::Error) {
            status = LIBUSB_ERROR_IO;
            break;
        }
        waitUntil(lk, d.cv, wakeAt, [&] {
            return d.readyGen != gen || gone(s, h) || Clock::now() >= wakeAt ||
                   d.halted.count(r.endpoint);
        });
    }
    --d.transfersInFlight;
    if (--h->inflight == 0 && h->closing) d.cv.notify_all();
    leaveBlocking(s);
    lk.unlock();
    logTransfer(log, rec, r, *done, status);
    return status;
}

int dataTransfer(libusb_device_handle* h, emu::TransferType type, unsigned char endpoint,
                 unsigned char* data, int length, int* actual, unsigned int timeout) {
    // Written before any check so that a caller never reads an unset count.
    if (actual) *actual = 0;
    if (!h || length < 0 || (length > 0 && !data)) return LIBUSB_ERROR_INVALID_PARAM;
    Request r;
    r.type = type;
    r.endpoint = endpoint;
    r.data = data;
    r.length = static_cast<size_t>(length);
    size_t done = 0;
    const int status = runTransfer(h, r, timeout, &done);
    if (actual) *actual = static_cast<int>(done);
    return status;
}

}  // namespace

extern "C" {

int libusb_open(libusb_device* dev, libusb_device_handle** dev_handle) {
    if (!dev || !dev_handle) return LIBUSB_ERROR_INVALID_PARAM;
    State& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    EmuDevice& d = *dev->dev;
    if (!d.plugged || !dev->ctx->alive || s.resetting) return LIBUSB_ERROR_NO_DEVICE;
    if (int e = takeOpFault(d, emu::Op::Open)) return e;
    auto* h = new libusb_device_handle;
    h->dev = dev;
    ++dev->refs;
    s.handles.insert(h);
    ++d.openHandles;
    *dev_handle = h;
    return LIBUSB_SUCCESS;
}

void libusb_close(libusb_device_handle* dev_handle) {
    if (!dev_handle) return;
    libusb_device_handle* h = dev_handle;
    State& s = state();
    std::vector<int> released;
    bool live = false;
    {
        std::unique_lock<std::mutex> lk(s.mu);
        if (h->closing) return;
        EmuDevice& d = devOf(h);
        h->closing = true;
        d.cv.notify_all();
        if (h->inflight > 0) {
            ++s.closesInFlight;
            std::fprintf(stderr, "emu usb: libusb_close with %d transfers in flight\n",
                         h->inflight);
            if (!d.cv.wait_for(lk, kCloseDrainLimit, [&] { return h->inflight == 0; })) {
                // Still stuck (a model blocking its own transfer): leak rather than free
                // memory that a thread is using.
                return;
            }
        }
        for (int n = 0; n < kMaxInterfaces; ++n) {
            if (d.claimedBy[n] != h) continue;
            d.claimedBy[n] = nullptr;
            released.push_back(n);
        }
        --d.openHandles;
        s.handles.erase(h);
        live = d.plugged;
    }
    if (live)
        for (int n : released) callModel(devOf(h), [&](emu::DeviceModel& m) { m.onRelease(n); });
    libusb_device* dev = h->dev;
    delete h;
    unrefDevice(dev);
}

libusb_device* libusb_get_device(libusb_device_handle* dev_handle) {
    return dev_handle ? dev_handle->dev : nullptr;
}

int libusb_reset_device(libusb_device_handle* dev_handle) {
    if (!dev_handle) return LIBUSB_ERROR_INVALID_PARAM;
    State& s = state();
    std::vector<int> claimed;
    {
        std::lock_guard<std::mutex> lk(s.mu);
        if (gone(s, dev_handle)) return LIBUSB_ERROR_NO_DEVICE;
        EmuDevice& d = devOf(dev_handle);
        if (int e = takeOpFault(d, emu::Op::Reset)) return e;
        // A bus reset puts every interface back to alternate setting 0 and clears halts;
        // libusb re-claims the handle's interfaces, so the claims stay.
        d.alt.fill(0);
        d.halted.clear();
        ++d.resets;
        d.cv.notify_all();
        for (int n = 0; n < kMaxInterfaces; ++n)
            if (dev_handle->claimed & (1u << n)) claimed.push_back(n);
    }
    // Linux libusb releases the handle's interfaces before the reset ioctl and claims them
    // again after it, so the device sees release, reset, claim.
    // A device that leaves during the reset looks to usbfs like one that re-enumerated.
    if (!callModel(devOf(dev_handle), [&](emu::DeviceModel& m) {
            for (int n : claimed) m.onRelease(n);
            m.onReset();
            for (int n : claimed) m.onClaim(n);
        }))
        return LIBUSB_ERROR_NOT_FOUND;
    return LIBUSB_SUCCESS;
}

int libusb_claim_interface(libusb_device_handle* dev_handle, int interface_number) {
    if (!dev_handle || !validInterface(interface_number)) return LIBUSB_ERROR_INVALID_PARAM;
    State& s = state();
    const uint32_t bit = 1u << interface_number;
    {
        std::lock_guard<std::mutex> lk(s.mu);
        if (gone(s, dev_handle)) return LIBUSB_ERROR_NO_DEVICE;
        if (dev_handle->claimed & bit) return LIBUSB_SUCCESS;
        EmuDevice& d = devOf(dev_handle);
        if (int e = takeOpFault(d, emu::Op::Claim)) return e;
        if (static_cast<size_t>(interface_number) >= d.ident.interfaces.size())
            return LIBUSB_ERROR_NOT_FOUND;
        if (d.claimedBy[interface_number]) return LIBUSB_ERROR_BUSY;
        if (d.kernelDriver[interface_number]) {
            if (!dev_handle->autoDetach) return LIBUSB_ERROR_BUSY;
            d.kernelDriver[interface_number] = false;
        }
        d.claimedBy[interface_number] = dev_handle;
        dev_handle->claimed |= bit;
    }
    callModel(devOf(dev_handle), [&](emu::DeviceModel& m) { m.onClaim(interface_number); });
    return LIBUSB_SUCCESS;
}

int libusb_release_interface(libusb_device_handle* dev_handle, int interface_number) {
    if (!dev_handle || !validInterface(interface_number)) return LIBUSB_ERROR_INVALID_PARAM;
    State& s = state();
    const uint32_t bit = 1u << interface_number;
    {
        std::lock_guard<std::mutex> lk(s.mu);
        if (!(dev_handle->claimed & bit)) return LIBUSB_ERROR_NOT_FOUND;
        if (gone(s, dev_handle)) return LIBUSB_ERROR_NO_DEVICE;
        EmuDevice& d = devOf(dev_handle);
        if (int e = takeOpFault(d, emu::Op::Release)) return e;
        d.claimedBy[interface_number] = nullptr;
        dev_handle->claimed &= ~bit;
    }
    callModel(devOf(dev_handle), [&](emu::DeviceModel& m) { m.onRelease(interface_number); });
    return LIBUSB_SUCCESS;
}

int libusb_set_interface_alt_setting(libusb_device_handle* dev_handle, int interface_number,
                                     int alternate_setting) {
    if (!dev_handle || !validInterface(interface_number) || alternate_setting < 0 ||
        alternate_setting > 255)
        return LIBUSB_ERROR_INVALID_PARAM;
    State& s = state();
    EmuDevice& d = devOf(dev_handle);
    {
        std::lock_guard<std::mutex> lk(s.mu);
        if (gone(s, dev_handle)) return LIBUSB_ERROR_NO_DEVICE;
        if (!(dev_handle->claimed & (1u << interface_number))) return LIBUSB_ERROR_NOT_FOUND;
        if (int e = takeOpFault(d, emu::Op::SetAltSetting)) return e;
        if (static_cast<size_t>(alternate_setting) >=
            d.ident.interfaces[interface_number].altSettings.size())
            return LIBUSB_ERROR_NOT_FOUND;  // usbfs: EINVAL
    }
    Status st = Status::Ok;
    if (!callModel(d, [&](emu::DeviceModel& m) {
            st = m.onSetAltSetting(interface_number, alternate_setting);
        }))
        return LIBUSB_ERROR_NO_DEVICE;
    if (st != Status::Ok) return LIBUSB_ERROR_OTHER;  // the device stalled SET_INTERFACE
    std::lock_guard<std::mutex> lk(s.mu);
    if (!d.plugged) return LIBUSB_ERROR_NO_DEVICE;
    d.alt[interface_number] = static_cast<uint8_t>(alternate_setting);
    // SET_INTERFACE resets the interface's endpoints, halts included.
    for (const emu::EndpointInfo& e :
         d.ident.interfaces[interface_number].altSettings[alternate_setting].endpoints)
        d.halted.erase(e.address);
    d.cv.notify_all();
    return LIBUSB_SUCCESS;
}

int libusb_clear_halt(libusb_device_handle* dev_handle, unsigned char endpoint) {
    if (!dev_handle) return LIBUSB_ERROR_INVALID_PARAM;
    State& s = state();
    EmuDevice& d = devOf(dev_handle);
    {
        std::lock_guard<std::mutex> lk(s.mu);
        if (gone(s, dev_handle)) return LIBUSB_ERROR_NO_DEVICE;
        if (int e = takeOpFault(d, emu::Op::ClearHalt)) return e;
        bool known = false;
        for (size_t n = 0; n < d.ident.interfaces.size() && !known; ++n)
            known = d.ident.findEndpoint(static_cast<int>(n), d.alt[n], endpoint) != nullptr;
        if (!known) return LIBUSB_ERROR_NOT_FOUND;
        d.halted.erase(endpoint);
        d.cv.notify_all();
    }
    callModel(d, [&](emu::DeviceModel& m) { m.onClearHalt(endpoint); });
    return LIBUSB_SUCCESS;
}

int libusb_kernel_driver_active(libusb_device_handle* dev_handle, int interface_number) {
    if (!dev_handle || !validInterface(interface_number)) return LIBUSB_ERROR_INVALID_PARAM;
    State& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    if (gone(s, dev_handle)) return LIBUSB_ERROR_NO_DEVICE;
    EmuDevice& d = devOf(dev_handle);
    if (static_cast<size_t>(interface_number) >= d.ident.interfaces.size())
        return LIBUSB_ERROR_OTHER;  // usbfs: EINVAL from GETDRIVER
    return d.kernelDriver[interface_number] ? 1 : 0;
}

int libusb_detach_kernel_driver(libusb_device_handle* dev_handle, int interface_number) {
    if (!dev_handle || !validInterface(interface_number)) return LIBUSB_ERROR_INVALID_PARAM;
    State& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    if (gone(s, dev_handle)) return LIBUSB_ERROR_NO_DEVICE;
    EmuDevice& d = devOf(dev_handle);
    if (int e = takeOpFault(d, emu::Op::DetachKernelDriver)) return e;
    if (static_cast<size_t>(interface_number) >= d.ident.interfaces.size())
        return LIBUSB_ERROR_INVALID_PARAM;
    if (!d.kernelDriver[interface_number]) return LIBUSB_ERROR_NOT_FOUND;
    d.kernelDriver[interface_number] = false;
    return LIBUSB_SUCCESS;
}

int libusb_attach_kernel_driver(libusb_device_handle* dev_handle, int interface_number) {
    if (!dev_handle || !validInterface(interface_number)) return LIBUSB_ERROR_INVALID_PARAM;
    State& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    if (gone(s, dev_handle)) return LIBUSB_ERROR_NO_DEVICE;
    EmuDevice& d = devOf(dev_handle);
    if (static_cast<size_t>(interface_number) >= d.ident.interfaces.size())
        return LIBUSB_ERROR_NOT_FOUND;
    if (d.claimedBy[interface_number] || d.kernelDriver[interface_number]) return LIBUSB_ERROR_BUSY;
    d.kernelDriver[interface_number] = true;
    return LIBUSB_SUCCESS;
}

int libusb_set_auto_detach_kernel_driver(libusb_device_handle* dev_handle, int enable) {
    // Only a flag in libusb: it succeeds on a departed device too.
    if (!dev_handle) return LIBUSB_ERROR_INVALID_PARAM;
    State& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    dev_handle->autoDetach = enable != 0;
    return LIBUSB_SUCCESS;
}

int libusb_bulk_transfer(libusb_device_handle* dev_handle, unsigned char endpoint,
                         unsigned char* data, int length, int* actual_length,
                         unsigned int timeout) {
    return dataTransfer(dev_handle, emu::TransferType::Bulk, endpoint, data, length, actual_length,
                        timeout);
}

int libusb_interrupt_transfer(libusb_device_handle* dev_handle, unsigned char endpoint,
                              unsigned char* data, int length, int* actual_length,
                              unsigned int timeout) {
    return dataTransfer(dev_handle, emu::TransferType::Interrupt, endpoint, data, length,
                        actual_length, timeout);
}

int libusb_control_transfer(libusb_device_handle* dev_handle, uint8_t request_type,
                            uint8_t bRequest, uint16_t wValue, uint16_t wIndex, unsigned char* data,
                            uint16_t wLength, unsigned int timeout) {
    if (!dev_handle || (wLength && !data)) return LIBUSB_ERROR_INVALID_PARAM;
    Request r;
    r.type = emu::TransferType::Control;
    r.endpoint = request_type & LIBUSB_ENDPOINT_IN;
    r.data = data;
    r.length = wLength;
    r.setup = emu::SetupPacket{request_type, bRequest, wValue, wIndex, wLength};
    size_t done = 0;
    const int status = runTransfer(dev_handle, r, timeout, &done);
    return status == LIBUSB_SUCCESS ? static_cast<int>(done) : status;
}

}  // extern "C"
