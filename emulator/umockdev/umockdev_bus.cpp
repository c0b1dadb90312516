// umockdev front-end: usbfs requests answered from device models.
//
// Locking: a model's mutex, then Device::mu, then Impl::pumpMu. Every model call holds the
// model's mutex and nothing else of ours, so a model may notify from inside its methods. The
// lists of waiting URBs change only with the model's mutex held as well, so a URB the pump is
// feeding to the model cannot be discarded or failed under it.
//
// Poll semantics: usbfs reports POLLOUT only while a completed URB waits to be reaped, and
// libusb's event loop sleeps in poll() on the node. The node is a FIFO with a one-page buffer
// that is kept full while nothing is reapable (not writable) and empty otherwise (writable).
// A regular file would poll as always writable and make libusb spin.
#include "emulator/umockdev/umockdev_bus.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace emu {

namespace {

constexpr size_t kMaxInterfaces = 32;
constexpr size_t kPipePage = 4096;
constexpr size_t kMaxTmpDir = 48;

// What this usbfs offers: one URB per bulk transfer whatever its length, zero-length packets,
// reaping after a disconnect. No mmap: URB buffers live in the client's memory.
constexpr uint32_t kCapabilities =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
    USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

struct Urb {
    UMockdevIoctlData* urb = nullptr;     // the client's struct usbdevfs_urb (one reference)
    UMockdevIoctlData* buffer = nullptr;  // its data buffer (one reference), null when empty
    unsigned long clientAddress = 0;      // where the URB lives in the client
    uint8_t type = 0;
    uint8_t endpoint = 0;
    size_t length = 0;
    size_t maxPacket = 0;
    std::vector<uint8_t> in;  // IN data staged until the reap
    int status = 0;
    size_t actual = 0;

    ~Urb() {
        if (buffer) g_object_unref(buffer);
        if (urb) g_object_unref(urb);
    }
};

std::string hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

std::string fmt(const char* f, unsigned a, unsigned b = 0, unsigned c = 0) {
    char buf[128];
    snprintf(buf, sizeof buf, f, a, b, c);
    return buf;
}

bool makeDirs(const std::string& path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/') continue;
        std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return true;
}

}  // namespace

struct UmockdevBus::Impl {
    struct Device : EndpointHost {
        Impl* bus = nullptr;
        int id = 0;
        UsbIdentity ident;
        std::shared_ptr<DeviceModel> model;
        std::string syspath;  // under /sys, without the prefix
        std::string devnode;  // as the client names it
        std::string fifoPath;
        int fifo = -1;  // our own read/write descriptor of the node
        UMockdevIoctlBase* handler = nullptr;

        // Guarded by mu.
        std::mutex mu;
        bool plugged = false;
        std::deque<std::unique_ptr<Urb>> waiting;    // submitted, the model has not answered
        std::deque<std::unique_ptr<Urb>> completed;  // answered, not yet reaped
        std::set<uint8_t> dirty;                     // endpoints notified since the last pump
        std::set<uint8_t> halted;
        std::array<const void*, kMaxInterfaces> claimedBy{};
        std::array<uint8_t, kMaxInterfaces> alt{};
        int resets = 0, submitted = 0, discarded = 0;

        void endpointReady(uint8_t endpoint) override {
            {
                std::lock_guard<std::mutex> lk(mu);
                dirty.insert(endpoint);
            }
            bus->wake(this);
        }

        // Caller holds mu.
        void updatePollLocked() {
            if (fifo < 0) return;
            uint8_t page[kPipePage];
            if (!completed.empty() || !plugged) {
                while (read(fifo, page, sizeof page) > 0) {
                }
            } else {
                std::memset(page, 0, sizeof page);
                while (write(fifo, page, sizeof page) > 0) {
                }
            }
        }
        void completeLocked(std::unique_ptr<Urb> u) {
            completed.push_back(std::move(u));
            updatePollLocked();
        }

        // One usbfs request; returns the ioctl's result and sets *err for -1. Data objects the
        // answer refers to go into `keep` until the client has it.
        long handle(UMockdevIoctlClient* client, unsigned long request, UMockdevIoctlData* arg,
                    int* err, std::vector<UMockdevIoctlData*>& keep);
        long submit(UMockdevIoctlData* arg, int* err);
        long reap(UMockdevIoctlData* arg, int* err, std::vector<UMockdevIoctlData*>& keep);
        long discard(UMockdevIoctlData* arg, int* err);
        long claim(const void* client, unsigned int interfaceNumber, int* err);
        long release(const void* client, unsigned int interfaceNumber, int* err);
        long setInterface(UMockdevIoctlData* arg, int* err);
        long clearHalt(UMockdevIoctlData* arg, int* err);
        long reset(int* err);
    };

    UMockdevTestbed* testbed = nullptr;
    std::string root;
    mutable std::mutex mapMu;  // guards devices, lastAddress
    std::map<int, std::shared_ptr<Device>> devices;
    std::map<uint8_t, uint8_t> lastAddress;
    int nextId = 1;

    std::mutex pumpMu;
    std::condition_variable pumpCv;
    std::set<Device*> work;
    bool stop = false;
    std::thread pump;

    void wake(Device* d) {
        std::lock_guard<std::mutex> lk(pumpMu);
        work.insert(d);
        pumpCv.notify_one();
    }

    void pumpLoop() {
        pthread_setname_np(pthread_self(), "umockdevPump");
        std::unique_lock<std::mutex> lk(pumpMu);
        for (;;) {
            pumpCv.wait(lk, [&] { return stop || !work.empty(); });
            if (stop) return;
            std::set<Device*> batch;
            batch.swap(work);
            lk.unlock();
            for (Device* d : batch) feedWaiting(*d);
            lk.lock();
        }
    }

    // Hands the waiting URBs of the notified endpoints to the model again, oldest first.
    void feedWaiting(Device& d) {
        std::lock_guard<std::mutex> modelLock(d.model->mutex());
        std::unique_lock<std::mutex> lk(d.mu);
        while (!d.dirty.empty() && d.plugged) {
            const uint8_t ep = *d.dirty.begin();
            d.dirty.erase(d.dirty.begin());
            for (;;) {
                auto it = d.waiting.begin();
                while (it != d.waiting.end() && (*it)->endpoint != ep) ++it;
                if (it == d.waiting.end()) break;
                Urb* u = it->get();
                lk.unlock();
                const bool done = step(d, *u);
                lk.lock();
                if (!done) break;
                // Only this thread and the ioctl handler, both under the model's mutex, change
                // the waiting list: the iterator may have moved, the URB has not.
                for (it = d.waiting.begin(); it != d.waiting.end() && it->get() != u; ++it) {
                }
                std::unique_ptr<Urb> owned = std::move(*it);
                d.waiting.erase(it);
                d.completeLocked(std::move(owned));
            }
        }
    }

    // One attempt of the model at `u`; true when the URB has its answer. Caller holds the
    // model's mutex and not d.mu.
    static bool step(Device& d, Urb& u) {
        Status st = Status::Error;
        if (u.endpoint & 0x80) {
            u.in.resize(u.length);
            InBuffer b;
            b.data = u.in.data();
            b.capacity = u.length;
            b.maxPacketSize = u.maxPacket;
            st = d.model->in(u.endpoint, b);
            u.actual = b.length <= u.length ? b.length : u.length;
        } else {
            const uint8_t* data = u.buffer ? u.buffer->data : nullptr;
            st = d.model->out(u.endpoint, data, u.length);
            u.actual = st == Status::Ok ? u.length : 0;
        }
        switch (st) {
            case Status::Pending:
                u.actual = 0;
                return false;
            case Status::Ok:
                u.status = 0;
                return true;
            case Status::Overflow:
                u.status = -EOVERFLOW;
                return true;
            case Status::Stall: {
                u.status = -EPIPE;
                u.actual = 0;
                std::lock_guard<std::mutex> lk(d.mu);
                d.halted.insert(u.endpoint);
                return true;
            }
            case Status::Error:
                break;
        }
        u.status = -EPROTO;
        u.actual = 0;
        return true;
    }

    // ---- usbfs requests ------------------------------------------------------------------

    static gboolean onIoctl(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* client,
                            gpointer user) {
        auto* d = static_cast<Device*>(user);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        std::vector<UMockdevIoctlData*> keep;  // released after the client has its answer
        int err = 0;
        long res = d->handle(client, umockdev_ioctl_client_get_request(client), arg, &err, keep);
        umockdev_ioctl_client_complete(client, res, err);
        for (UMockdevIoctlData* k : keep) g_object_unref(k);
        return TRUE;
    }
};

namespace {

using Device = UmockdevBus::Impl::Device;

long fail(int* err, int e) {
    *err = e;
    return -1;
}

// The client memory `arg` points to, `len` bytes (one reference), or null.
UMockdevIoctlData* deref(UMockdevIoctlData* arg, size_t len) {
    if (!arg) return nullptr;
    GError* error = nullptr;
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, len, &error);
    if (error) {
        g_error_free(error);
        if (d) g_object_unref(d);
        return nullptr;
    }
    if (d && (d->data_len < 0 || static_cast<size_t>(d->data_len) < len)) {
        g_object_unref(d);
        return nullptr;
    }
    return d;
}

bool readUint(UMockdevIoctlData* arg, unsigned int* value) {
    UMockdevIoctlData* d = deref(arg, sizeof(unsigned int));
    if (!d) return false;
    std::memcpy(value, d->data, sizeof *value);
    g_object_unref(d);
    return true;
}

// The ioctl's argument itself: a pointer value passed by the client.
bool argValue(UMockdevIoctlData* arg, unsigned long* value) {
    if (!arg || arg->data_len < static_cast<gint>(sizeof(void*))) return false;
    std::memcpy(value, arg->data, sizeof *value);
    return true;
}

}  // namespace

long Device::handle(UMockdevIoctlClient* client, unsigned long request, UMockdevIoctlData* arg,
                    int* err, std::vector<UMockdevIoctlData*>& keep) {
    // Reaping and discarding go on after a departure, so libusb collects what failed.
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY)
        return reap(arg, err, keep);
    if (request == USBDEVFS_DISCARDURB) return discard(arg, err);
    {
        std::lock_guard<std::mutex> lk(mu);
        if (!plugged) return fail(err, ENODEV);
    }
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* c = deref(arg, sizeof(uint32_t));
            if (!c) return fail(err, EFAULT);
            std::memcpy(c->data, &kCapabilities, sizeof kCapabilities);
            keep.push_back(c);
            return 0;
        }
        case USBDEVFS_SUBMITURB:
            return submit(arg, err);
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_DISCONNECT_CLAIM: {
            // Both start with the interface number; no kernel driver is ever bound here.
            unsigned int n = 0;
            if (!readUint(arg, &n)) return fail(err, EFAULT);
            return claim(client, n, err);
        }
        case USBDEVFS_RELEASEINTERFACE: {
            unsigned int n = 0;
            if (!readUint(arg, &n)) return fail(err, EFAULT);
            return release(client, n, err);
        }
        case USBDEVFS_SETINTERFACE:
            return setInterface(arg, err);
        case USBDEVFS_CLEAR_HALT:
            return clearHalt(arg, err);
        case USBDEVFS_RESET:
            return reset(err);
        case USBDEVFS_GETDRIVER:
        case USBDEVFS_IOCTL:
            return fail(err, ENODATA);  // no kernel driver on any interface
        default:
            return fail(err, ENOTTY);
    }
}

long Device::submit(UMockdevIoctlData* arg, int* err) {
    UMockdevIoctlData* urbData = deref(arg, sizeof(usbdevfs_urb));
    if (!urbData) return fail(err, EFAULT);
    auto u = std::make_unique<Urb>();
    u->urb = urbData;
    u->clientAddress = urbData->client_addr;
    usbdevfs_urb raw;
    std::memcpy(&raw, urbData->data, sizeof raw);
    u->type = raw.type;
    u->endpoint = raw.endpoint;
    if (raw.buffer_length < 0) return fail(err, EINVAL);
    if (raw.type != USBDEVFS_URB_TYPE_BULK && raw.type != USBDEVFS_URB_TYPE_INTERRUPT)
        return fail(err, EINVAL);  // control and isochronous URBs are not served
    const EndpointInfo* info = nullptr;
    {
        std::lock_guard<std::mutex> lk(mu);
        for (size_t n = 0; n < ident.interfaces.size() && !info; ++n)
            info = ident.findEndpoint(static_cast<int>(n), alt[n], raw.endpoint);
    }
    if (!info) return fail(err, ENOENT);
    u->maxPacket = info->maxPacketSize;
    u->length = static_cast<size_t>(raw.buffer_length);
    if (u->length > 0) {
        // Resolved once with the full length (a second resolve would give the first copy).
        GError* error = nullptr;
        u->buffer =
            umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer), u->length, &error);
        if (error) g_error_free(error);
        if (!u->buffer || static_cast<size_t>(u->buffer->data_len) < u->length)
            return fail(err, EFAULT);
    }

    std::lock_guard<std::mutex> modelLock(model->mutex());
    std::unique_lock<std::mutex> lk(mu);
    if (!plugged) return fail(err, ENODEV);
    ++submitted;
    if (halted.count(u->endpoint)) {
        u->status = -EPIPE;
        completeLocked(std::move(u));
        return 0;
    }
    bool queuedBehind = false;
    for (const auto& w : waiting) queuedBehind |= w->endpoint == u->endpoint;
    if (queuedBehind) {
        waiting.push_back(std::move(u));
        return 0;
    }
    lk.unlock();
    const bool done = Impl::step(*this, *u);
    lk.lock();
    if (!plugged) {
        u->status = -ESHUTDOWN;
        completeLocked(std::move(u));
    } else if (done) {
        completeLocked(std::move(u));
    } else {
        waiting.push_back(std::move(u));
    }
    return 0;
}

long Device::reap(UMockdevIoctlData* arg, int* err, std::vector<UMockdevIoctlData*>& keep) {
    std::unique_ptr<Urb> u;
    {
        std::lock_guard<std::mutex> lk(mu);
        if (completed.empty()) return fail(err, plugged ? EAGAIN : ENODEV);
        u = std::move(completed.front());
        completed.pop_front();
        updatePollLocked();
    }
    UMockdevIoctlData* slot = deref(arg, sizeof(void*));
    if (!slot) return fail(err, EFAULT);  // the URB is lost, as with a bad pointer to usbfs
    auto* raw = reinterpret_cast<usbdevfs_urb*>(u->urb->data);
    raw->status = u->status;
    raw->actual_length = static_cast<int>(u->actual);
    raw->error_count = 0;
    if ((u->endpoint & 0x80) && u->actual > 0 && u->buffer)
        std::memcpy(u->buffer->data, u->in.data(), u->actual);
    // The client's URB (with its buffer) is written back when the reap completes.
    umockdev_ioctl_data_set_ptr(slot, 0, u->urb);
    keep.push_back(slot);
    keep.push_back(u->urb);
    if (u->buffer) keep.push_back(u->buffer);
    u->urb = nullptr;
    u->buffer = nullptr;
    return 0;
}

long Device::discard(UMockdevIoctlData* arg, int* err) {
    unsigned long address = 0;
    if (!argValue(arg, &address)) return fail(err, EFAULT);
    std::lock_guard<std::mutex> modelLock(model->mutex());
    std::lock_guard<std::mutex> lk(mu);
    for (auto it = waiting.begin(); it != waiting.end(); ++it) {
        if ((*it)->clientAddress != address) continue;
        std::unique_ptr<Urb> u = std::move(*it);
        waiting.erase(it);
        u->status = -ENOENT;
        u->actual = 0;
        ++discarded;
        completeLocked(std::move(u));
        return 0;
    }
    return fail(err, EINVAL);  // already completed: libusb reaps it
}

long Device::claim(const void* client, unsigned int n, int* err) {
    {
        std::lock_guard<std::mutex> lk(mu);
        if (n >= ident.interfaces.size()) return fail(err, ENOENT);
        if (claimedBy[n] == client) return 0;
        if (claimedBy[n]) return fail(err, EBUSY);
        claimedBy[n] = client;
    }
    std::lock_guard<std::mutex> modelLock(model->mutex());
    model->onClaim(static_cast<int>(n));
    return 0;
}

long Device::release(const void* client, unsigned int n, int* err) {
    {
        std::lock_guard<std::mutex> lk(mu);
        if (n >= ident.interfaces.size() || claimedBy[n] != client) return fail(err, EINVAL);
        claimedBy[n] = nullptr;
    }
    std::lock_guard<std::mutex> modelLock(model->mutex());
    model->onRelease(static_cast<int>(n));
    return 0;
}

long Device::setInterface(UMockdevIoctlData* arg, int* err) {
    UMockdevIoctlData* d = deref(arg, sizeof(usbdevfs_setinterface));
    if (!d) return fail(err, EFAULT);
    usbdevfs_setinterface si;
    std::memcpy(&si, d->data, sizeof si);
    g_object_unref(d);
    if (si.interface >= ident.interfaces.size() ||
        si.altsetting >= ident.interfaces[si.interface].altSettings.size())
        return fail(err, EINVAL);
    Status st;
    {
        std::lock_guard<std::mutex> modelLock(model->mutex());
        st =
            model->onSetAltSetting(static_cast<int>(si.interface), static_cast<int>(si.altsetting));
    }
    if (st != Status::Ok) return fail(err, EPIPE);  // the device stalled SET_INTERFACE
    std::lock_guard<std::mutex> lk(mu);
    alt[si.interface] = static_cast<uint8_t>(si.altsetting);
    for (const EndpointInfo& e :
         ident.interfaces[si.interface].altSettings[si.altsetting].endpoints)
        halted.erase(e.address);
    return 0;
}

long Device::clearHalt(UMockdevIoctlData* arg, int* err) {
    unsigned int ep = 0;
    if (!readUint(arg, &ep)) return fail(err, EFAULT);
    {
        std::lock_guard<std::mutex> lk(mu);
        bool known = false;
        for (size_t n = 0; n < ident.interfaces.size() && !known; ++n)
            known = ident.findEndpoint(static_cast<int>(n), alt[n], static_cast<uint8_t>(ep));
        if (!known) return fail(err, ENOENT);
        halted.erase(static_cast<uint8_t>(ep));
    }
    std::lock_guard<std::mutex> modelLock(model->mutex());
    model->onClearHalt(static_cast<uint8_t>(ep));
    return 0;
}

long Device::reset(int* /*err*/) {
    {
        std::lock_guard<std::mutex> lk(mu);
        // A bus reset puts every interface back to alternate setting 0 and clears halts; usbfs
        // keeps the claims.
        alt.fill(0);
        halted.clear();
        ++resets;
    }
    std::lock_guard<std::mutex> modelLock(model->mutex());
    model->onReset();
    return 0;
}

// ---- the bus ---------------------------------------------------------------------------------

bool UmockdevBus::available(std::string* why) {
    // The preload must be in the process (umockdev_in_mock_environment only says whether a
    // testbed exists yet).
    const char* preload = getenv("LD_PRELOAD");
    if (preload && strstr(preload, "libumockdev-preload")) return true;
    if (why) *why = "not running under the umockdev preload (run it through umockdev-wrapper)";
    return false;
}

UmockdevBus::UmockdevBus() : impl_(std::make_unique<Impl>()) {
    // The testbed's unix socket paths ($TMPDIR/umockdev.XXXXXX/ioctl/dev/bus/usb/BBB/DDD) must
    // fit the 108 bytes of sun_path.
    const char* tmp = getenv("TMPDIR");
    if (tmp && strlen(tmp) > kMaxTmpDir) setenv("TMPDIR", "/tmp", 1);
    impl_->testbed = umockdev_testbed_new();
    if (impl_->testbed) {
        gchar* root = umockdev_testbed_get_root_dir(impl_->testbed);
        impl_->root = root ? root : "";
        g_free(root);
    }
    impl_->pump = std::thread([this] { impl_->pumpLoop(); });
}

UmockdevBus::~UmockdevBus() {
    std::vector<int> ids;
    {
        std::lock_guard<std::mutex> lk(impl_->mapMu);
        for (auto& [id, d] : impl_->devices) ids.push_back(id);
    }
    for (int id : ids) unplug(id);
    {
        std::lock_guard<std::mutex> lk(impl_->pumpMu);
        impl_->stop = true;
        impl_->pumpCv.notify_all();
    }
    impl_->pump.join();
    for (auto& [id, d] : impl_->devices) {
        if (d->handler) {
            umockdev_testbed_detach_ioctl(impl_->testbed, d->devnode.c_str(), nullptr);
            g_object_unref(d->handler);
        }
        if (d->fifo >= 0) close(d->fifo);
    }
    impl_->devices.clear();
    if (impl_->testbed) g_object_unref(impl_->testbed);
}

bool UmockdevBus::ok() const { return impl_->testbed != nullptr && !impl_->root.empty(); }

const std::string& UmockdevBus::rootDir() const { return impl_->root; }

int UmockdevBus::plug(std::shared_ptr<DeviceModel> model, UsbIdentity identity) {
    if (!model || !identity.valid() || !ok()) return -1;
    auto d = std::make_shared<Device>();
    d->bus = impl_.get();
    d->model = model;
    d->ident = std::move(identity);
    {
        std::lock_guard<std::mutex> lk(impl_->mapMu);
        d->id = impl_->nextId++;
        const uint8_t bus = d->ident.busNumber;
        if (d->ident.address == 0) {
            // Upwards like a hub, wrapping within 1..127, skipping addresses in use.
            uint8_t& last = impl_->lastAddress[bus];
            for (int tries = 0; tries < 127; ++tries) {
                last = static_cast<uint8_t>(last % 127 + 1);
                bool used = false;
                for (auto& [id, o] : impl_->devices)
                    used |= o->plugged && o->ident.busNumber == bus && o->ident.address == last;
                if (!used) break;
            }
            d->ident.address = last;
        }
    }
    const unsigned bus = d->ident.busNumber, addr = d->ident.address;
    // The port in the sysfs name follows the address, so every plug gets its own name.
    d->syspath = fmt("/sys/devices/pci0000:00/0000:00:14.0/usb%u/%u-%u", bus, bus, addr);
    d->devnode = fmt("/dev/bus/usb/%03u/%03u", bus, addr);
    d->fifoPath = impl_->root + d->devnode;

    // The node first (a FIFO, see the top of this file), then the ioctl handler, then the
    // device itself, whose "add" uevent must find both.
    const std::string dir = d->fifoPath.substr(0, d->fifoPath.rfind('/'));
    unlink(d->fifoPath.c_str());
    if (!makeDirs(dir) || mkfifo(d->fifoPath.c_str(), 0666) != 0) return -1;
    d->fifo = open(d->fifoPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (d->fifo < 0) return -1;
    fcntl(d->fifo, F_SETPIPE_SZ, static_cast<int>(kPipePage));
    d->plugged = true;
    d->updatePollLocked();

    if (!model->attachHost(d.get())) {
        close(d->fifo);
        unlink(d->fifoPath.c_str());
        return -1;
    }
    model->onAttach();
    d->handler = umockdev_ioctl_base_new();
    g_signal_connect(d->handler, "handle-ioctl", G_CALLBACK(Impl::onIoctl), d.get());
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(impl_->testbed, d->devnode.c_str(), d->handler, &error)) {
        if (error) {
            fprintf(stderr, "umockdev bus: attaching %s: %s\n", d->devnode.c_str(), error->message);
            g_error_free(error);
        }
        model->detachHost();
        model->onDetach();
        g_object_unref(d->handler);
        close(d->fifo);
        return -1;
    }

    const std::vector<uint8_t> dev = d->ident.deviceDescriptor();
    std::vector<uint8_t> descriptors = dev;
    const std::vector<uint8_t> cfg = d->ident.configDescriptor();
    descriptors.insert(descriptors.end(), cfg.begin(), cfg.end());
    // umockdev's record format: P path, E udev property, A text attribute (escaped), H binary.
    std::string rec = "P: " + d->syspath.substr(4) + "\n";
    rec += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n";
    rec += "E: DEVNAME=" + d->devnode + "\n";
    rec += fmt("E: BUSNUM=%03u\nE: DEVNUM=%03u\n", bus, addr);
    rec += fmt("E: PRODUCT=%x/%x/%x\n", d->ident.vendorId, d->ident.productId, d->ident.bcdDevice);
    rec += fmt("A: busnum=%u\\n\nA: devnum=%u\\n\n", bus, addr);
    const unsigned speed = d->ident.bcdUSB >= 0x0310   ? 10000
                           : d->ident.bcdUSB >= 0x0300 ? 5000
                                                       : 480;
    rec += fmt("A: speed=%u\\n\n", speed);
    rec += fmt("A: idVendor=%04x\\n\nA: idProduct=%04x\\n\nA: bcdDevice=%04x\\n\n",
               d->ident.vendorId, d->ident.productId, d->ident.bcdDevice);
    rec += fmt("A: bDeviceClass=%02x\\n\nA: bDeviceSubClass=%02x\\n\nA: bDeviceProtocol=%02x\\n\n",
               d->ident.deviceClass, d->ident.deviceSubClass, d->ident.deviceProtocol);
    rec += fmt("A: bNumConfigurations=1\\n\nA: bConfigurationValue=%u\\n\n",
               d->ident.configurationValue);
    rec += fmt("A: bNumInterfaces=%2u\\n\nA: bMaxPacketSize0=%u\\n\n",
               static_cast<unsigned>(d->ident.interfaces.size()), d->ident.maxPacketSize0);
    rec += fmt("A: devpath=%u\\n\n", addr);
    rec += "H: descriptors=" + hex(descriptors) + "\n";

    {
        std::lock_guard<std::mutex> lk(impl_->mapMu);
        impl_->devices[d->id] = d;
    }
    error = nullptr;
    if (!umockdev_testbed_add_from_string(impl_->testbed, rec.c_str(), &error)) {
        if (error) {
            fprintf(stderr, "umockdev bus: adding %s: %s\n", d->syspath.c_str(), error->message);
            g_error_free(error);
        }
        {
            std::lock_guard<std::mutex> lk(d->mu);
            d->plugged = false;
        }
        model->detachHost();
        model->onDetach();
        return -1;
    }
    return d->id;
}

int UmockdevBus::unplug(int id) {
    std::shared_ptr<Device> d;
    {
        std::lock_guard<std::mutex> lk(impl_->mapMu);
        auto it = impl_->devices.find(id);
        if (it == impl_->devices.end()) return -1;
        d = it->second;
    }
    {
        // Like an unplugged device under usbfs: what is in flight fails with -ESHUTDOWN, and
        // the node polls writable so that libusb reaps it and then meets ENODEV.
        std::lock_guard<std::mutex> modelLock(d->model->mutex());
        std::lock_guard<std::mutex> lk(d->mu);
        if (!d->plugged) return -1;
        d->plugged = false;
        while (!d->waiting.empty()) {
            std::unique_ptr<Urb> u = std::move(d->waiting.front());
            d->waiting.pop_front();
            u->status = -ESHUTDOWN;
            u->actual = 0;
            d->completed.push_back(std::move(u));
        }
        d->dirty.clear();
        d->updatePollLocked();
    }
    // "remove" before the device leaves, so the event still carries its properties.
    umockdev_testbed_uevent(impl_->testbed, d->syspath.c_str(), "remove");
    umockdev_testbed_remove_device(impl_->testbed, d->syspath.c_str());
    d->model->detachHost();
    d->model->onDetach();
    return 0;
}

bool UmockdevBus::plugged(int id) const {
    std::lock_guard<std::mutex> lk(impl_->mapMu);
    auto it = impl_->devices.find(id);
    if (it == impl_->devices.end()) return false;
    std::lock_guard<std::mutex> dl(it->second->mu);
    return it->second->plugged;
}

UmockdevDeviceStatus UmockdevBus::status(int id) const {
    UmockdevDeviceStatus st;
    std::lock_guard<std::mutex> lk(impl_->mapMu);
    auto it = impl_->devices.find(id);
    if (it == impl_->devices.end()) return st;
    Device& d = *it->second;
    std::lock_guard<std::mutex> dl(d.mu);
    st.known = true;
    st.plugged = d.plugged;
    st.busNumber = d.ident.busNumber;
    st.address = d.ident.address;
    st.resets = d.resets;
    for (size_t n = 0; n < d.claimedBy.size(); ++n)
        if (d.claimedBy[n]) st.claimedInterfaces |= 1u << n;
    st.altSetting = d.alt;
    st.urbsSubmitted = d.submitted;
    st.urbsPending = static_cast<int>(d.waiting.size());
    st.urbsReapable = static_cast<int>(d.completed.size());
    st.urbsDiscarded = d.discarded;
    return st;
}

}  // namespace emu
