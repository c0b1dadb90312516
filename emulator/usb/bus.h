// The emulated USB bus: the test-facing side of the link-time libusb stand-in.
//
// Tests and the emulator program plug device models in and out at any time, inject faults, and
// watch every transfer. The service sees the devices only through the libusb functions defined
// in libusb_core.cpp and libusb_io.cpp; the behaviour follows libusb 1.0.26 on Linux (the
// concurrency rules are written once, at the top of bus.cpp).
//
//   auto model = std::make_shared<emu::SilentAdapter>();
//   int id = emu::Bus::instance().plug(model, emu::adapterIdentity("520"));
//   emu::Bus::instance().faults(id).failTransfers(2, LIBUSB_ERROR_IO, emu::Match::out());
//   ...
//   emu::Bus::instance().unplug(id);
//   emu::Bus::instance().reset();  // between tests
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "emulator/usb/device_model.h"
#include "emulator/usb/identity.h"

namespace emu {

enum class Direction { Any, In, Out };

// Which transfers a fault applies to: one endpoint address (direction bit included), one
// direction, or all. Control transfers use endpoint 0x00 (OUT) / 0x80 (IN). An OUT match may
// also look at the bytes the host submits, so that a fault lands on the transfer that carries
// one particular command whatever other threads send on the same endpoint.
struct Match {
    // Decides on an OUT transfer's bytes; called with the bus lock held, so it must not call
    // back into the bus.
    using Bytes = std::function<bool(const uint8_t* data, size_t length)>;

    int endpoint = -1;  // -1: any
    Direction direction = Direction::Any;
    Bytes bytes;  // empty: any bytes; set: OUT transfers whose bytes it accepts, never IN

    static Match any() { return {}; }
    static Match ep(uint8_t address) { return {address, Direction::Any, {}}; }
    static Match in() { return {-1, Direction::In, {}}; }
    static Match out() { return {-1, Direction::Out, {}}; }
    static Match outWith(uint8_t address, Bytes accept) {
        return {address, Direction::Out, std::move(accept)};
    }
    bool matches(uint8_t address) const;
    // A transfer on `address` with these OUT bytes (null and 0 for IN and control transfers).
    bool matches(uint8_t address, const uint8_t* data, size_t length) const;
};

// Device operations whose libusb result can be forced.
enum class Op { Open, Reset, Claim, Release, SetAltSetting, ClearHalt, DetachKernelDriver, Count };

// Fault injection for one device. Obtained from Bus::faults(id); every setter returns *this so
// they chain. On an unknown device id the setters do nothing.
class Faults {
  public:
    // The next `count` matching transfers fail with `error` (a LIBUSB_ERROR_* code) without
    // reaching the model. LIBUSB_ERROR_TIMEOUT is delivered after the transfer's own timeout.
    Faults& failTransfers(int count, int error, Match match = Match::any());
    // Every matching transfer reaches the model only after `delay` (the transfer's timeout
    // still counts from submission). A zero delay removes it.
    Faults& delayTransfers(std::chrono::milliseconds delay, Match match = Match::any());
    // Halt `endpoint`: transfers fail with LIBUSB_ERROR_PIPE until libusb_clear_halt.
    Faults& stall(uint8_t endpoint);
    // The next matching transfer is held in flight (whatever its timeout) and unplugs the
    // device `after` it was submitted; it fails with LIBUSB_ERROR_NO_DEVICE, never reaches the
    // model, and the departure is delivered.
    Faults& unplugDuringTransfer(Match match = Match::any(),
                                 std::chrono::milliseconds after = std::chrono::milliseconds(0));
    // The next `count` calls of `op` fail with `error`; count < 0: every call until clear().
    Faults& failOp(Op op, int error, int count = 1);
    // A kernel driver bound to `interfaceNumber`: claim gives LIBUSB_ERROR_BUSY unless it is
    // detached (explicitly or by auto-detach).
    Faults& kernelDriver(int interfaceNumber, bool bound);
    // Removes every injected fault and halt of the device.
    Faults& clear();

    bool stalled(uint8_t endpoint) const;

  private:
    friend class Bus;
    explicit Faults(int id) : id_(id) {}
    int id_;
};

enum class TransferType : uint8_t { Control, Bulk, Interrupt };

// One completed (or failed) transfer, for the transfer log.
struct TransferRecord {
    int deviceId = 0;
    uint8_t busNumber = 0;
    uint8_t address = 0;
    uint8_t endpoint = 0;  // direction bit included; 0x00/0x80 for control
    TransferType type = TransferType::Bulk;
    std::array<uint8_t, 8> setup{};  // control only
    size_t requested = 0;            // buffer length the host submitted
    std::vector<uint8_t> data;       // OUT: bytes sent; IN: bytes received
    int status = 0;                  // 0 or a LIBUSB_ERROR_* code
    std::chrono::system_clock::time_point submitted;
    std::chrono::system_clock::time_point completed;

    bool in() const { return (endpoint & 0x80) != 0; }
};
using TransferLog = std::function<void(const TransferRecord&)>;

// Snapshot of one device's host-side state.
struct DeviceStatus {
    bool known = false;
    bool plugged = false;
    uint8_t busNumber = 0;
    uint8_t address = 0;
    int openHandles = 0;
    uint32_t claimedInterfaces = 0;  // bit n: interface n claimed by some handle
    std::array<uint8_t, 32> altSetting{};
    int resets = 0;
    int transfersWithoutClaim = 0;  // transfers on an interface nobody claimed (usbfs claims it)
    int transfersInFlight = 0;      // submitted and not yet completed, for tests to wait on
};

class Bus {
  public:
    static Bus& instance();

    // Plug a device in; arrival is queued for every libusb context. Returns the device id (> 0),
    // or -1 for a null model, an invalid identity or a model already on the bus.
    int plug(std::shared_ptr<DeviceModel> model, UsbIdentity identity);
    // Unplug: departure is queued, transfers in flight end with LIBUSB_ERROR_NO_DEVICE, every
    // later call on the device's handles fails the same way. 0, or -1 if not plugged.
    int unplug(int id);
    // Drops the bus's record of an unplugged device with no handle open (status() then reports
    // it unknown), so that a long run of plug cycles does not keep every adapter model it made;
    // libusb objects still referring to the device keep it alive until they are freed.
    // 0, or -1 if the device is unknown, still plugged or still open.
    int forget(int id);
    bool plugged(int id) const;
    DeviceStatus status(int id) const;
    Faults faults(int id) { return Faults(id); }

    // Called on the transferring thread after every transfer completes, outside the bus locks.
    // An empty function removes the hook.
    void setTransferLog(TransferLog log);

    // Platform behaviour of libusb itself.
    void setHotplugCapability(bool supported);
    void failNextInit(int error);
    void failHotplugRegistration(int error, int count = 1);

    // Objects the libusb side has allocated and not yet freed (for reference-count checks).
    size_t liveDevices() const;
    size_t liveHandles() const;
    size_t liveContexts() const;
    // libusb_close calls that found transfers still in flight on the handle.
    int closesWithTransfersInFlight() const;

    // Back to a clean bus: no devices, no callbacks, no contexts, no faults, no log hook.
    // Wakes every blocked call and waits (up to 5 s) for it to leave; afterwards every libusb
    // object handed out before is gone and must not be used.
    void reset();

  private:
    Bus() = default;
};

}  // namespace emu
