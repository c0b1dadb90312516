// A model-520 session for the fuzz targets: the emulated model-520 adapter on the emulated bus,
// opened through the service's libusb calls, its display class initialised with its receive
// thread running, and no bring-up (no heartbeat thread competes for the wire). Made once per
// process and never destroyed: the receive thread runs until the process ends.
#pragma once

#include <libusb-1.0/libusb.h>

#include <cstdlib>
#include <memory>
#include <thread>

#include "display/VelDisplay520ClassDriver.h"
#include "emulator/adapters/model520.h"
#include "emulator/usb/bus.h"
#include "emulator/usb/identity.h"
#include "session/VelDev.h"

namespace fuzz520 {

struct Session {
    std::shared_ptr<emu::Model520> model = std::make_shared<emu::Model520>();
    libusb_context* ctx = nullptr;
    libusb_device_handle* handle = nullptr;
    std::shared_ptr<VelDev> dev;
    std::shared_ptr<VelDisplay520Class> dc;

    Session() {
        emu::Bus& bus = emu::Bus::instance();
        bus.reset();
        if (bus.plug(model, emu::adapterIdentity("520")) <= 0) abort();
        libusb_device** list = nullptr;
        if (libusb_init(&ctx) != 0 || libusb_get_device_list(ctx, &list) != 1) abort();
        if (libusb_open(list[0], &handle) != 0) abort();
        libusb_free_device_list(list, 1);
        if (libusb_claim_interface(handle, 4) != 0) abort();
        if (libusb_set_interface_alt_setting(handle, 4, 1) != 0) abort();
        dev = std::make_shared<VelDev>(nullptr);
        dev->usbHandle = handle;
        dev->model = 0x520;
        dev->productId = 0x520;
        dev->viewCount = 3;
        dev->openTimeReset();
        dev->imageEndpoint = 1;
        dc = std::make_shared<VelDisplay520Class>(dev.get(), 0);
        dc->bindSession(dev);
        dev->displayClass = dc;
        if (dc->init() != 0) abort();
        dc->prepareResponses();
        std::shared_ptr<VelDisplay520Class> self = dc;
        std::thread([self, t = ClassThreadTicket()]() mutable {
            self->fwStatusThread();
            self.reset();
        }).detach();
    }
};

inline Session& session() {
    static Session* s = new Session;
    return *s;
}

}  // namespace fuzz520
