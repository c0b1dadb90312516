// 50x-family scenarios of the whole service (see scenario.h for the front-ends and the service
// harness); the cases live in scenario508_cases.cpp.
#pragma once

#include <memory>
#include <string>

#include "emulator/adapters/model508.h"
#include "scenario.h"

namespace scen {

// A plugged 50x adapter.
struct Adapter508 {
    std::shared_ptr<emu::Model508> model;
    int id = -1;
};

class Scenario508 : public ServiceScenario {
  protected:
    // Also writes the host firmware images the bring-up needs into the test's firmware folder.
    void SetUp() override;

    // `product` "508", "505" or "500".
    Adapter508 plugAdapter(const std::string& product = "508",
                           emu::Model508::Config config = emu::Model508::Config{});
    // The shared 1080p monitor (modes 1920 x 1080 and 1280 x 720 at 60 Hz).
    static emu::Model508::Monitor monitor();
    // Brought up: the heartbeat opened (0xD7 or 0x47) and the capability block read.
    bool waitBroughtUp(const Adapter508& a,
                       std::chrono::milliseconds timeout = std::chrono::seconds(15));
    // EVDI displays open and connected now.
    static size_t displays();
    bool waitDisplays(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Fails the test for every packet the adapter refused.
    static void expectNoRefusals(const Adapter508& a);
    // Plugs `monitor` on `port` and waits until the service has connected an EVDI display for
    // it and its desktop runs; the display's handle or nullptr.
    void* plugMonitor(const Adapter508& a, int port, emu::Model508::Monitor monitor);
    // Waits until the adapter has taken no image packet for 400 ms (false: they never stopped).
    static bool settle(const Adapter508& a);
    // The view holding the monitor on `port` (its target 1 << port), or -1.
    static int viewOfPort(const Adapter508& a, int port);
    // The picture the adapter painted for the monitor on `port` against the desktop of
    // `display`: at least 30 dB PSNR and within 0.5 dB of libjpeg-turbo's own 4:2:0 round trip
    // of the same desktop frame at the pipeline's qualities (vtest::reference508Psnr). The
    // last frames may still be on their way: waits up to 10 s for the settled picture.
    void expectShowsDesktop(const Adapter508& a, int port, void* display);
};

}  // namespace scen
