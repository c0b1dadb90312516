// Fixtures of the tests that run the service's own device manager (g_dev) in the test process
// against adapters on the emulated bus: process flags and the bus start clean, and the manager
// with its sessions is removed after each test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "devmgr/DevManager.h"
#include "devmgr/controlBlock.h"
#include "display/VelDisplay520ClassDriver.h"
#include "emulator/adapters/model520.h"
#include "emulator/evdi/desktop.h"
#include "emulator/usb/bus.h"
#include "session/VelDev.h"
#include "testSupport.h"

namespace vtest {

struct ManagerTest : ::testing::Test {
    IsolatedEnv env;
    emu::Bus& bus = emu::Bus::instance();
    ShmMapping shm;  // the control block as a client process sees it

    void SetUp() override {
        bus.reset();
        g_exitRequested = false;
        g_abortRequested = false;
        g_exitSignal = 0;
        VelDisplay520Class::s_sendFailures = 0;
    }
    void TearDown() override {
        if (g_dev) {
            g_dev->removeAllDevice();
            g_dev.reset();
        }
        bus.reset();
    }
    // Creates the manager and registers it: adapters already on the bus are opened now.
    void startManager() {
        g_dev = std::make_unique<DevManager>();
        ASSERT_EQ(g_dev->registerUsb(), 0);
    }
    std::shared_ptr<VelDev> dev(int key = 0) { return g_dev ? g_dev->findDev(key) : nullptr; }
    // Waits until session `key` has finished bring-up.
    bool waitInitDone(std::chrono::milliseconds timeout = std::chrono::seconds(10), int key = 0) {
        return waitFor(
            [&] {
                auto d = dev(key);
                return d && d->initDone;
            },
            timeout);
    }
    VEL_SHM_RECORD& record(int key = 0) {
        void* block = shm.map(env.shmName(), VEL_SHM_SIZE);
        EXPECT_NE(block, nullptr) << "no control block";
        return static_cast<VEL_SHM_BLOCK*>(block)->record[key];
    }
    int count(const std::string& needle) { return env.logCount(needle); }
    void expectInOrder(const std::vector<std::string>& needles) { env.expectLogInOrder(needles); }
};

// A small monitor for a model-520 output, so that frames stay cheap: 640 x 480 at 60 Hz.
inline emu::Model520::Monitor smallMonitor520(uint16_t target = 0x20) {
    emu::Model520::Monitor m;
    m.target = target;
    m.edid = emu::makeEdid(640, 480, 60);
    m.modeList = emu::Model520::modeEntry(640, 480, 32, 60);
    return m;
}

// One model-520 adapter, made from `config` by start().
struct Manager520Test : ManagerTest {
    std::shared_ptr<emu::Model520> model;
    int busId = -1;

    // Plugs the adapter, starts the manager and waits for bring-up to finish.
    void start(emu::Model520::Config config = {}) {
        model = std::make_shared<emu::Model520>(std::move(config));
        busId = bus.plug(model, emu::adapterIdentity("520"));
        ASSERT_GT(busId, 0);
        ASSERT_NO_FATAL_FAILURE(startManager());
        ASSERT_TRUE(waitInitDone()) << env.log();
    }
    std::shared_ptr<VelDisplay520Class> dc() {
        return std::dynamic_pointer_cast<VelDisplay520Class>(dev()->displayClass);
    }
    bool waitBeats(int n, std::chrono::milliseconds timeout = std::chrono::seconds(6)) {
        return waitFor([&] { return model->heartbeat().beats >= n; }, timeout);
    }
};

}  // namespace vtest
