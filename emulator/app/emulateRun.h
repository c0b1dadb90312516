// vel-emulate's desktop run: monitors for the emulated model-520 adapters (from EDID files or
// built in), the desktop driver that draws a scene on every open display while the service
// runs, the end of a timed run (let the desktop settle, take each monitor's picture and its
// desktop, then stop the service), and the run's outputs (DIR/summary.json and one PNG per
// monitor).
//
// Threads: the driver runs on its own thread ("emuDesktop"), which also sends the SIGTERM that
// ends a timed run; everything else runs on the main thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "emulator/adapters/model520.h"
#include "emulator/evdi/desktop.h"

namespace emurun {

// "static", "moving-window", "scrolling-text", "full-screen".
bool parseScene(const std::string& name, emu::Scene* scene);

// The monitor for an EDID file on output `port` (target 0x20 + port); its mode list is the
// EDID's preferred mode. False with `*error` set when the file is unreadable or has no
// preferred timing.
bool monitorFromFile(const std::string& path, int port, emu::Model520::Monitor* monitor,
                     std::string* error);
// A 1920 x 1080 monitor on output `port`.
emu::Model520::Monitor builtInMonitor(int port);

// One adapter of the run, as far as the outputs need it.
struct RunAdapter {
    int busId = -1;
    std::string model;
    std::shared_ptr<emu::Model520> model520;  // null for the other generation
    int sessionKey = -1;                      // device key of its session (plug order)
};

// What one monitor showed, taken before the service stopped.
struct Shot {
    int busId = -1;
    std::string model;
    emu::Model520::Picture picture;
    double psnrDb = -1.0;  // against its desktop; negative: not measured
};

class DesktopDriver {
  public:
    // Draws `scene` on every connected display about 30 times a second and puts every session
    // into light mode when `light`. With seconds > 0 it stops drawing shortly before the end,
    // lets the pipeline settle, takes the shots and sends SIGTERM to the process.
    void start(std::vector<RunAdapter> adapters, emu::Scene scene, bool light, long seconds);
    // Joins the driver (after the service has stopped).
    void stop();
    ~DesktopDriver() { stop(); }
    // The shots of a timed run; without one (a run until a signal), the pictures as they are
    // now, unmeasured.
    std::vector<Shot> shots();
    double runSeconds() const;

  private:
    void run(emu::Scene scene, bool light, long seconds);
    void takeShots();

    std::vector<RunAdapter> adapters_;
    std::vector<Shot> shots_;
    bool shot_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::chrono::steady_clock::time_point started_{};
};

// DIR/summary.json and DIR/<adapter id>-<target>.png (target as 0x%02x). 0, or -1 when a
// file could not be written (the reason on stderr).
int writeOutputs(const std::string& dir, const std::vector<RunAdapter>& adapters,
                 const std::vector<Shot>& shots, double seconds);

}  // namespace emurun
