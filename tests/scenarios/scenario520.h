// Model-520 scenarios of the whole service (see scenario.h for the front-ends and the service
// harness); the cases live in scenario520_cases.cpp.
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
#include "scenario.h"
#include "testSupport.h"

namespace scen {

// A plugged model-520 adapter.
struct Adapter {
    std::shared_ptr<emu::Model520> model;
    int id = -1;
};

class Scenario520 : public ServiceScenario {
  protected:
    void TearDown() override;

    // With `showPictures` the adapter decodes every image into its monitor's picture and
    // acknowledges each frame itself (no startFeedback then); without, it does neither.
    Adapter plugAdapter(bool showPictures = false);
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

  private:
    std::thread feedback_;
    std::atomic<bool> feedbackOn_{false};
};

}  // namespace scen
