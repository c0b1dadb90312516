// Model-520 scenarios of the whole service, written once and run over both bus front-ends: the
// link-time emulated libusb (scenarios_emu_test) and the real libusb against the same adapter
// models in a umockdev testbed (scenarios_umockdev_test). Each test program supplies
// makeFrontEnd(); the cases themselves live in scenario520_cases.cpp, compiled into both. A
// difference in outcome between the two programs is a fidelity fault of the emulated libusb.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "emulator/adapters/model520.h"
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

// A plugged model-520 adapter.
struct Adapter {
    std::shared_ptr<emu::Model520> model;
    int id = -1;
};

class Scenario520 : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // With `showPictures` the adapter decodes every image into its monitor's picture and
    // acknowledges each frame itself (no startFeedback then); without, it does neither.
    Adapter plugAdapter(bool showPictures = false);
    // Runs the service (velRunService) on its own thread, as the process entry would.
    void startService();
    // Orderly stop (the signal handler's flag); the service must return 0 within 10 s.
    void stopService();
    bool serviceRunning() const { return running_; }

    // The log, decoded, and the count of lines holding `needle`.
    int logCount(const std::string& needle);
    bool waitLog(const std::string& needle, int count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Heartbeat of the adapter at `beats` or more.
    bool waitBeats(const Adapter& a, int beats,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Image packets the adapter accepted on its image endpoint, for display device `dd`
    // (-1: any).
    static int images(const Adapter& a, int dd = -1);
    // Plugs a monitor (the shared 1080p EDID) on `output` and waits until the service has
    // connected an EVDI display for it; returns the display's handle or nullptr.
    void* plugMonitor(const Adapter& a, int output);
    // Draws `steps` full-screen changes on every connected display, `gap` apart.
    void drawFrames(int steps, std::chrono::milliseconds gap = std::chrono::milliseconds(20));
    // Plays the adapter's frame-index feedback: every image packet accepted on a display device
    // is acknowledged (a frame credit back to its view), until stopFeedback or the test's end.
    void startFeedback(const Adapter& a);
    void stopFeedback();
    // Waits until the adapter has taken no image packet for 400 ms (false: they never stopped).
    static bool settle(const Adapter& a);
    // The picture of the monitor on `output` (an adapter plugged with showPictures) against the
    // desktop of `display`: at least 30 dB PSNR and within 0.5 dB of libjpeg-turbo's own round
    // trip of the same desktop frame at the pipeline's settings (quality 90, 4:2:2).
    void expectShowsDesktop(const Adapter& a, int output, void* display);
    // CPU seconds (user + system) of this process.
    static double cpuSeconds();

    vtest::IsolatedEnv env;
    std::unique_ptr<FrontEnd> frontEnd;

  private:
    std::thread feedback_;
    std::atomic<bool> feedbackOn_{false};
    std::thread service_;
    bool running_ = false;
    int status_ = -1;
    bool done_ = false;
};

}  // namespace scen
