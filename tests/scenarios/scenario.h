// Scenarios of the whole service, written once and run over both bus front-ends: the link-time
// emulated libusb (scenarios_emu_test) and the real libusb against the same adapter models in a
// umockdev testbed (scenarios_umockdev_test). Each test program supplies makeFrontEnd(); the
// cases live in scenario520_cases.cpp (model 520) and scenario508_cases.cpp (50x family),
// compiled into both. A difference in outcome between the two programs is a fidelity fault of
// the emulated libusb.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "emulator/usb/device_model.h"
#include "emulator/usb/identity.h"
#include "testSupport.h"

namespace scen {

// A bus front-end as the scenarios see it.
class FrontEnd {
  public:
    virtual ~FrontEnd() = default;
    virtual std::string name() const = 0;
    // Empty when the front-end can run here, otherwise why not (the scenario is skipped).
    virtual std::string unavailable() const { return {}; }
    // Device id (> 0) or -1.
    virtual int plug(std::shared_ptr<emu::DeviceModel> model, emu::UsbIdentity identity) = 0;
    virtual int unplug(int id) = 0;
    // Transfers of the device submitted and not yet handed back to the host.
    virtual int transfersInFlight(int id) const = 0;
};

// Defined by each test program: its front-end, created before the service starts.
std::unique_ptr<FrontEnd> makeFrontEnd();

// The service on its own thread in an isolated environment, over the program's front-end.
class ServiceScenario : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Runs the service (velRunService) on its own thread, as the process entry would.
    void startService();
    // Orderly stop (the signal handler's flag); the service must return 0 within 10 s.
    void stopService();
    bool serviceRunning() const { return running_; }

    // The log, decoded, and the count of lines holding `needle`.
    int logCount(const std::string& needle);
    bool waitLog(const std::string& needle, int count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));

    vtest::IsolatedEnv env;
    std::unique_ptr<FrontEnd> frontEnd;

  private:
    std::thread service_;
    bool running_ = false;
};

}  // namespace scen
