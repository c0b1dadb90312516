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
};

}  // namespace scen
