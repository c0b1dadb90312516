// Test fixture of the 50x-family tests: a model-0x508 session on the emulated bus with a
// scripted adapter (Peer508), its display class bound to it and the receive thread running; no
// bring-up unless a test starts it. The EVDI stand-in runs without its desktop. Host firmware
// images are written into the isolated firmware directory unless a test removes them.
#pragma once

#include <gtest/gtest.h>
#include <libusb-1.0/libusb.h>

#include <memory>
#include <string>
#include <thread>

#include "display/VelDisplay508ClassDriver.h"
#include "emulator/evdi/evdiEmu.h"
#include "emulator/usb/bus.h"
#include "fwImages508.h"
#include "peer508.h"
#include "pipeline/jpeg520.h"
#include "service/threads.h"
#include "session/VelDev.h"
#include "testSupport.h"

namespace vtest {

struct Session508 : ::testing::Test {
    IsolatedEnv env;
    emu::Bus& bus = emu::Bus::instance();
    std::shared_ptr<Peer508> peer = std::make_shared<Peer508>();
    int busId = -1;
    libusb_context* ctx = nullptr;
    libusb_device_handle* handle = nullptr;
    std::shared_ptr<VelDev> dev;
    std::shared_ptr<VelDisplayClass508> dc;

    void SetUp() override {
        emu::setEvdiLibVersion(1, 12, 0);
        emu::setAutoDesktop(false);
        bus.reset();
        m_BulkOutHeartbeatStatus = 0;
        m_InterruptInHeartbeatStatus = 0;
        ASSERT_TRUE(velfw::writeHostImages508(env.fwDir(), "v 2.24.1.0"));
        busId = bus.plug(adapter(), emu::adapterIdentity("508"));
        ASSERT_GT(busId, 0);
        ASSERT_EQ(libusb_init(&ctx), 0);
        libusb_device** list = nullptr;
        ASSERT_EQ(libusb_get_device_list(ctx, &list), 1);
        ASSERT_EQ(libusb_open(list[0], &handle), 0);
        libusb_free_device_list(list, 1);
        ASSERT_EQ(libusb_claim_interface(handle, 4), 0);
        ASSERT_EQ(libusb_set_interface_alt_setting(handle, 4, 1), 0);

        dev = std::make_shared<VelDev>(nullptr);
        dev->usbHandle = handle;
        dev->model = 0x508;
        dev->productId = 0x508;
        dev->viewCount = 2;
        dev->openTimeReset();
        dev->cmdEndpoint508 = 1;
        dev->imageEndpoint = 2;
        for (auto& entry : dev->viewTable) entry = {-1, 0};
        dc = std::make_shared<VelDisplayClass508>(dev.get(), 0);
        dc->bindSession(dev);
        dev->displayClass = dc;
        if (withReceiver()) startReceiver();
    }
    // The adapter on the bus: the scripted peer unless a fixture plugs another model.
    virtual std::shared_ptr<emu::DeviceModel> adapter() { return peer; }
    // Client-mode tests read the interrupt endpoint themselves: no receive thread.
    virtual bool withReceiver() { return true; }
    void startReceiver() {
        std::shared_ptr<VelDisplayClass508> self = dc;
        std::thread([self, t = ClassThreadTicket()]() mutable {
            self->fwStatusThread();
            self.reset();
        }).detach();
    }
    void TearDown() override {
        std::vector<int> targets;
        for (const auto& e : dev->target2View) targets.push_back(e.first);
        for (int t : targets) dev->plugOutMonitor(t);
        dc->fwExeClean();
        dev->connected = false;
        // Every thread of the class leaves at its next check.
        EXPECT_TRUE(velWaitClassThreads(std::chrono::seconds(20)));
        if (handle) libusb_close(handle);
        dev->displayClass.reset();
        dev.reset();
        dc.reset();
        if (ctx) libusb_exit(ctx);
        bus.reset();
        m_BulkOutHeartbeatStatus = 0;
        m_InterruptInHeartbeatStatus = 0;
        emu::setAutoDesktop(true);
    }
    int count(const std::string& needle) { return env.logCount(needle); }
};

}  // namespace vtest
