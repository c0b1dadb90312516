// Internal state of the emulated bus, shared by bus.cpp, libusb_core.cpp and libusb_io.cpp.
// The locking rules are at the top of bus.cpp.
#pragma once

#include <libusb-1.0/libusb.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "emulator/usb/bus.h"

namespace emu {
namespace detail {

using Clock = std::chrono::steady_clock;

struct TransferFault {
    Match match;
    int error = 0;
    int remaining = 0;
};

struct DelayFault {
    Match match;
    std::chrono::milliseconds delay{0};
};

struct UnplugFault {
    bool armed = false;
    Match match;
    std::chrono::milliseconds after{0};
};

struct OpFault {
    int error = 0;
    int remaining = 0;  // < 0: every call
};

struct FaultState {
    std::deque<TransferFault> failures;
    std::vector<DelayFault> delays;
    UnplugFault unplug;
    std::array<OpFault, static_cast<size_t>(Op::Count)> ops{};
};

// One emulated device on the bus. Lives from plug until Bus::reset.
struct EmuDevice : EndpointHost {
    int id = 0;
    UsbIdentity ident;
    std::shared_ptr<DeviceModel> model;

    // Everything below is guarded by State::mu.
    bool plugged = false;
    uint64_t readyGen = 0;       // bumped by every model notification
    std::condition_variable cv;  // transfers and closes wait here
    std::array<libusb_device_handle*, 32> claimedBy{};
    std::array<uint8_t, 32> alt{};
    std::array<bool, 32> kernelDriver{};
    std::set<uint8_t> halted;
    FaultState faults;
    int openHandles = 0;
    int resets = 0;
    int transfersWithoutClaim = 0;
    int transfersInFlight = 0;

    void endpointReady(uint8_t endpoint) override;
};

struct Callback {
    libusb_hotplug_callback_handle handle = 0;
    int events = 0;
    int flags = 0;
    int vendorId = LIBUSB_HOTPLUG_MATCH_ANY;
    int productId = LIBUSB_HOTPLUG_MATCH_ANY;
    int deviceClass = LIBUSB_HOTPLUG_MATCH_ANY;
    libusb_hotplug_callback_fn fn = nullptr;
    void* userData = nullptr;
    uint64_t seq = 0;  // bus sequence number at registration
    bool removed = false;

    bool matches(const UsbIdentity& id, libusb_hotplug_event ev) const;
};

struct HotplugEvent {
    libusb_device* dev = nullptr;  // holds one reference
    libusb_hotplug_event event = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED;
    uint64_t seq = 0;
};

// Runs the parts of an unplug that must happen outside State::mu.
struct Detached {
    std::vector<std::shared_ptr<EmuDevice>> devices;
    void run();
};

struct State {
    // The one bus lock: guards every field of State, of EmuDevice marked so, of contexts, of
    // libusb_device reference counts and of handles.
    mutable std::mutex mu;
    std::condition_variable drained;  // reset waits here for blocking calls to leave

    std::map<int, std::shared_ptr<EmuDevice>> devices;       // every device since the last reset
    std::vector<libusb_context*> contexts;                   // live ones
    std::vector<std::unique_ptr<libusb_context>> graveyard;  // never freed, see bus.cpp
    libusb_context* defaultCtx = nullptr;
    int defaultRefs = 0;
    std::set<libusb_device*> deviceObjects;
    std::set<libusb_device_handle*> handles;

    int nextId = 1;
    std::map<uint8_t, uint8_t> lastAddress;  // per bus number
    uint64_t seq = 0;
    int inflight = 0;  // blocking calls inside the bus
    bool resetting = false;
    int closesInFlight = 0;

    bool hotplugCapability = true;
    int initError = 0;
    OpFault registerFault;
    std::shared_ptr<const TransferLog> log;
};

State& state();

// Resolve a context argument (nullptr: the default context); nullptr if there is none.
libusb_context* resolveLocked(State& s, libusb_context* ctx);
// Queue departure of `dev` and wake everything waiting on it; caller holds s.mu and runs the
// result after unlocking.
void unplugLocked(State& s, EmuDevice& dev, Detached& out);
// Drop one reference; frees the object at zero. Caller must NOT hold s.mu.
void unrefDevice(libusb_device* dev);
void unrefAll(const std::vector<libusb_device*>& devs);

// Count of blocking calls inside the bus, so that reset can wait for them. Caller holds s.mu.
void enterBlocking(State& s);
void leaveBlocking(State& s);
class BlockingCall {
  public:
    explicit BlockingCall(State& s) : s_(s) { enterBlocking(s_); }  // caller holds s.mu
    ~BlockingCall() { leaveBlocking(s_); }                          // caller holds s.mu
    BlockingCall(const BlockingCall&) = delete;
    BlockingCall& operator=(const BlockingCall&) = delete;

  private:
    State& s_;
};

// Calls into a model with its mutex held, refusing once the device has left. Returns false
// when the device is gone. Caller must NOT hold s.mu.
template <typename F>
bool callModel(EmuDevice& dev, F&& f);

// Thread-local marker that the current thread is inside a model call of `model`.
const DeviceModel*& currentModel();

}  // namespace detail
}  // namespace emu

struct libusb_context {
    bool alive = true;
    std::condition_variable cv;  // event handlers wait here (guarded by State::mu)
    std::deque<emu::detail::HotplugEvent> events;
    std::vector<std::shared_ptr<emu::detail::Callback>> callbacks;
    std::map<emu::detail::EmuDevice*, libusb_device*> devices;  // plugged, each holds a reference
    libusb_hotplug_callback_handle nextHandle = 1;
    bool interrupted = false;  // sticky until an event handler returns
    bool wake = false;         // a deregistration woke the handler
    bool handling = false;     // one thread at a time runs the event handler
};

struct libusb_device {
    libusb_context* ctx = nullptr;
    std::shared_ptr<emu::detail::EmuDevice> dev;
    int refs = 1;
};

struct libusb_device_handle {
    libusb_device* dev = nullptr;
    uint32_t claimed = 0;
    bool autoDetach = false;
    bool closing = false;
    int inflight = 0;
};

namespace emu {
namespace detail {

template <typename F>
bool callModel(EmuDevice& dev, F&& f) {
    State& s = state();
    std::lock_guard<std::mutex> modelLock(dev.model->mutex());
    {
        std::lock_guard<std::mutex> lk(s.mu);
        if (!dev.plugged) return false;
    }
    const DeviceModel* outer = currentModel();
    currentModel() = dev.model.get();
    f(*dev.model);
    currentModel() = outer;
    return true;
}

}  // namespace detail
}  // namespace emu
