// The second bus front-end: device models put into a umockdev testbed as USB devices, so that
// the real libusb (its Linux backend, udev hot-plug included) talks to them through usbfs.
//
// Each plugged device gets a sysfs entry (udev properties, text attributes, the binary
// `descriptors`), a device node under the testbed's /dev and an ioctl handler that answers the
// usbfs requests libusb sends (capabilities, reset, claim and release, alternate setting, clear
// halt, driver queries, submit, reap and discard of bulk and interrupt URBs) from the model.
//
//   emu::UmockdevBus bus;                          // before libusb_init
//   int id = bus.plug(model, emu::adapterIdentity("520"));
//   ... the real libusb sees the device (enumeration or hot-plug arrival) ...
//   bus.unplug(id);                                // departure; pending URBs fail as on hardware
//
// The process must run under the umockdev preload (umockdev-wrapper); available() says whether
// it does. Threads: umockdev's worker thread runs the ioctl handler; a pump thread of the bus
// retries waiting URBs when a model notifies. Both call models with mutex() held, as the
// DeviceModel contract asks. A model must not unplug itself from inside one of its methods on
// this front-end.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "emulator/usb/device_model.h"
#include "emulator/usb/identity.h"

namespace emu {

struct UmockdevDeviceStatus {
    bool known = false;
    bool plugged = false;
    uint8_t busNumber = 0;
    uint8_t address = 0;
    int resets = 0;
    uint32_t claimedInterfaces = 0;  // bit n: interface n claimed by some client
    std::array<uint8_t, 32> altSetting{};
    int urbsSubmitted = 0;
    int urbsPending = 0;    // submitted, waiting for the model
    int urbsReapable = 0;   // completed, not yet reaped
    int urbsDiscarded = 0;  // cancelled by the host (time-outs)
};

class UmockdevBus {
  public:
    // Whether this process runs under the umockdev preload; otherwise `why` says what is missing.
    static bool available(std::string* why = nullptr);

    // Creates the testbed (which points UMOCKDEV_DIR at it): do this before libusb_init.
    UmockdevBus();
    // Unplugs every device and removes the testbed. Every libusb context must be gone by then.
    ~UmockdevBus();
    UmockdevBus(const UmockdevBus&) = delete;
    UmockdevBus& operator=(const UmockdevBus&) = delete;

    // False when the testbed could not be created.
    bool ok() const;
    const std::string& rootDir() const;

    // Puts the device into the testbed and sends its "add" uevent. Returns the device id (> 0),
    // or -1 for a null model, an invalid identity, a model already on a bus or a testbed error.
    int plug(std::shared_ptr<DeviceModel> model, UsbIdentity identity);
    // Departure: URBs in flight end with -ESHUTDOWN, later requests with ENODEV, the "remove"
    // uevent goes out and the device leaves sysfs. 0, or -1 if not plugged.
    int unplug(int id);
    bool plugged(int id) const;
    UmockdevDeviceStatus status(int id) const;

    struct Impl;  // umockdev_bus.cpp only

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace emu
