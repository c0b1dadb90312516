// Test fixture of the model-520 transport, monitor, hot-plug, cursor and clean-up tests: a
// model-520 session on the emulated bus with its display class and receive thread, powered on,
// without bring-up (so no heartbeat competes for the wire), and the EVDI stand-in without its
// desktop.
#pragma once

#include <gtest/gtest.h>
#include <libusb-1.0/libusb.h>

#include <string>
#include <thread>

#include "display/VelDisplay520ClassDriver.h"
#include "emulator/adapters/model520.h"
#include "emulator/evdi/evdiEmu.h"
#include "emulator/usb/bus.h"
#include "service/threads.h"
#include "session/VelDev.h"
#include "testSupport.h"

namespace m520test {

inline std::vector<uint8_t> modeList(int entries) {
    std::vector<uint8_t> list;
    for (int i = 0; i < entries; ++i) {
        auto e = emu::Model520::modeEntry(static_cast<uint16_t>(640 + 16 * i),
                                          static_cast<uint16_t>(480 + 8 * i), 32, 60);
        list.insert(list.end(), e.begin(), e.end());
    }
    return list;
}

inline const char* kEdid256 = "cta3-1080p-dell-s2419h-5A2CDC31568E.bin";  // byte 126 = 1
inline const char* kEdid128 = "analog-noext-dell-e2011h-3E7E918BD230.bin";

inline emu::Model520::Monitor monitor(uint16_t target, const char* edid = kEdid256, int modes = 2) {
    emu::Model520::Monitor m;
    m.target = target;
    m.edid = emu::Model520::corpusEdid(edid);
    m.modeList = modeList(modes);
    m.modeList.push_back(0);  // a stray byte short of an entry
    return m;
}

struct Session520 : ::testing::Test {
    vtest::IsolatedEnv env;
    emu::Bus& bus = emu::Bus::instance();
    std::shared_ptr<emu::Model520> model = std::make_shared<emu::Model520>();
    int busId = -1;
    libusb_context* ctx = nullptr;
    libusb_device_handle* handle = nullptr;
    std::shared_ptr<VelDev> dev;
    std::shared_ptr<VelDisplay520Class> dc;

    void SetUp() override {
        emu::setEvdiLibVersion(1, 12, 0);
        emu::setAutoDesktop(false);
        bus.reset();
        VelDisplay520Class::s_sendFailures = 0;
        busId = bus.plug(model, emu::adapterIdentity("520"));
        ASSERT_GT(busId, 0);
        ASSERT_TRUE(vtest::openClaimedAdapter(&ctx, &handle));

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
        ASSERT_EQ(dc->init(), 0);
        dc->prepareResponses();
        std::shared_ptr<VelDisplay520Class> self = dc;
        std::thread([self, t = ClassThreadTicket()]() mutable {
            self->fwStatusThread();
            self.reset();
        }).detach();
    }
    void TearDown() override {
        std::vector<int> targets;
        for (const auto& e : dev->target2View) targets.push_back(e.first);
        {
            std::lock_guard<std::mutex> lk(dc->plugMutex);
            for (int t : targets) dev->plugOutMonitor(t);
        }
        dc->displayClassExitFlag = true;
        dev->connected = false;
        // Receive thread and workers leave at their next check (the receive thread's transfer
        // times out within 1 s).
        EXPECT_TRUE(velWaitClassThreads(std::chrono::seconds(20)));
        if (handle) libusb_close(handle);
        dev->displayClass.reset();
        dev.reset();
        dc.reset();
        if (ctx) libusb_exit(ctx);
        bus.reset();
        emu::setAutoDesktop(true);
    }
    int count(const std::string& needle) { return env.logCount(needle); }
    // Commands of class 1 the adapter received, as their types in order.
    std::vector<int> controlTypes() {
        std::vector<int> t;
        for (const auto& m : model->received())
            if (m.header.dataClass == 1) t.push_back(m.header.dataType);
        return t;
    }
    int deviceOf(int target) {
        auto lk = dc->lockMaps();
        auto it = dev->m_IDDisplayDevice2MonitorMap.find(static_cast<uint16_t>(target));
        return it == dev->m_IDDisplayDevice2MonitorMap.end() ? -1 : it->second;
    }
};

}  // namespace m520test
