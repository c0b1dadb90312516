// A model-520 session for the fuzz targets: the emulated model-520 adapter on the emulated bus,
// opened through the service's libusb calls, its display class initialised with its receive
// thread running, and no bring-up (no heartbeat thread competes for the wire). The shared one is
// made once per process and never destroyed: the receive thread runs until the process ends.
#pragma once

#include <libusb-1.0/libusb.h>
#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

#include "display/VelDisplay520ClassDriver.h"
#include "emulator/adapters/model520.h"
#include "emulator/usb/bus.h"
#include "emulator/usb/identity.h"
#include "harness.h"
#include "session/VelDev.h"

namespace fuzz520 {

struct Session;

// What a target adds to the common set-up.
struct SessionSetup {
    // Called once the adapter is open and the session's fields are set, before the display
    // class is made and its receive thread started: monitors to plug, flags of a session that
    // is further up.
    std::function<void(Session&)> configure;
    // Without its thread ticket the receive thread is not counted among the class threads, so
    // that velWaitClassThreads waits for the hot-plug workers alone.
    bool ticketedReceiver = true;
};

struct Session {
    std::shared_ptr<emu::Model520> model = std::make_shared<emu::Model520>();
    libusb_context* ctx = nullptr;
    libusb_device_handle* handle = nullptr;
    std::shared_ptr<VelDev> dev;
    std::shared_ptr<VelDisplay520Class> dc;
    std::atomic<bool> receiverDone{false};

    explicit Session(const SessionSetup& setup = SessionSetup()) {
        emu::Bus& bus = emu::Bus::instance();
        bus.reset();
        if (bus.plug(model, emu::adapterIdentity("520")) <= 0) abort();
        if (libusb_init(&ctx) != 0) abort();
        handle = fuzzkit::openAdapter(ctx, 0x520);
        dev = std::make_shared<VelDev>(nullptr);
        dev->usbHandle = handle;
        dev->model = 0x520;
        dev->productId = 0x520;
        dev->viewCount = 3;
        dev->openTimeReset();
        dev->imageEndpoint = 1;
        if (setup.configure) setup.configure(*this);
        dc = std::make_shared<VelDisplay520Class>(dev.get(), 0);
        dc->bindSession(dev);
        dev->displayClass = dc;  // shared: a hot-plug notification starts its worker
        if (dc->init() != 0) abort();
        dc->prepareResponses();
        std::shared_ptr<VelDisplay520Class> self = dc;
        auto receive = [self, this]() mutable {
            self->fwStatusThread();
            self.reset();
            receiverDone = true;
        };
        if (setup.ticketedReceiver) {
            std::thread([receive, t = ClassThreadTicket()]() mutable { receive(); }).detach();
        } else {
            std::thread(receive).detach();
        }
    }
};

inline Session& session() { return fuzzkit::lazy<Session>(); }

// What a notification may leave behind: the port record only ever holds 0xEE or a target whose
// low four bits are its position, and no view gains more than its four frame credits.
inline void checkPortsAndCredits(VelDisplay520Class& dc, VelDev& dev) {
    for (int n = 0; n < 8; ++n) {
        const uint8_t b = dc.vPort_Record[n];
        if (b != 0xEE && (b & 0x0F) != n) abort();
    }
    for (int v = 0; v < VEL_MAX_VIEWS; ++v) {
        int value = 0;
        sem_getvalue(&dev.frameFeedbackSemaphore[v], &value);
        if (value > 4) abort();
    }
}

}  // namespace fuzz520
