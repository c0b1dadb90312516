// vel-emulate's desktop run: monitors for the emulated adapters of both generations (from EDID
// files or built in), the desktop driver that draws a scene on every open display while the service
// runs and plays the run's timeline (runEvents.h), the end of a timed run (let the desktop
// settle, take each monitor's picture and its desktop, then stop the service), and the run's
// outputs (DIR/summary.json and one PNG per monitor).
//
// A monitor's picture is what its adapter decoded and painted: per output of a model-520
// adapter, per view of a 50x adapter (the view's target id, 1 << port, tells the port). Both
// come in the form of emu::Model520::Picture, so that sampling, the final shots and the outputs
// treat the two generations alike.
//
// A monitor's desktop is the EVDI display the service connected with that monitor's EDID: the
// stand-in knows a display by nothing else, so the monitors of one run are given EDIDs that
// differ in their identity bytes (MonitorIdentities). A monitor "shows its desktop" when its
// picture has the desktop's size and a PSNR against it of kShowsDesktopDb or more; the driver
// checks that between drawing steps about four times a second and once more in the final shot.
//
// Threads: the driver runs on its own thread ("emuDesktop"), which alone plugs and unplugs
// adapters and monitors during the run, and also sends the SIGTERM that ends a timed run;
// everything else runs on the main thread, before start() or after stop().
#pragma once

#include <array>
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "emulator/adapters/model508.h"
#include "emulator/adapters/model520.h"
#include "emulator/app/runEvents.h"
#include "emulator/evdi/desktop.h"
#include "emulator/output/summary.h"

namespace emurun {

// "static", "moving-window", "scrolling-text", "full-screen".
bool parseScene(const std::string& name, emu::Scene* scene);

// A monitor's EDID from a file or, when `path` names no file, from the built-in test monitors
// (edidCorpus.h, with or without ".bin"), with its preferred mode. False with `*error` set when
// neither has it or it has no preferred timing.
bool loadMonitorEdid(const std::string& path, std::vector<uint8_t>* edid, emu::DesktopMode* mode,
                     std::string* error);
// The monitor for an EDID file on output `port` (target 0x20 + port); its mode list is the
// EDID's preferred mode. False with `*error` set as for loadMonitorEdid.
bool monitorFromFile(const std::string& path, int port, emu::Model520::Monitor* monitor,
                     std::string* error);
// The same for a 50x adapter's port: the EDID and its preferred mode as the mode list.
bool monitor508FromFile(const std::string& path, emu::Model508::Monitor* monitor,
                        std::string* error);
// A 1920 x 1080 monitor for a 50x adapter's port.
emu::Model508::Monitor builtInMonitor508();

// The host firmware images a 50x adapter's bring-up needs ("Bootloader0.bin",
// "Bootloader1.bin", "firmware0.bin", "USBDisplay.bin", the last carrying "Version:" and
// `version` in its tail), written into `dir` where missing; existing files are kept. False
// with `*error` set when one cannot be written.
bool supplyHostFirmware508(const std::string& dir, const std::string& version,
                           std::string* error);
// A 1920 x 1080 monitor on output `port`.
emu::Model520::Monitor builtInMonitor(int port);

// The picture matches its desktop at this PSNR or more: the bar the picture tests hold a
// settled quality-90 frame to.
constexpr double kShowsDesktopDb = 30.0;

// Gives the monitors of a run EDIDs that differ in their identity bytes (8 to 17: maker,
// product, serial number, date), as two physical monitors of one make differ in their serial
// numbers. A monitor whose identity another port already used gets a serial number of its own
// (block 0's checksum adjusted); the same monitor back on its own port keeps its identity.
class MonitorIdentities {
  public:
    void add(int adapter, int port, std::vector<uint8_t>* edid);
    void add(int adapter, int port, emu::Model520::Monitor* monitor) {
        add(adapter, port, &monitor->edid);
    }
    void add(int adapter, int port, emu::Model508::Monitor* monitor) {
        add(adapter, port, &monitor->edid);
    }

  private:
    std::map<std::array<uint8_t, 10>, std::pair<int, int>> owner_;  // identity -> adapter, port
};

// One adapter of the run.
struct RunAdapter {
    int id = -1;     // bus id of its first plug: its id in the outputs
    int busId = -1;  // bus id now (a re-plugged adapter gets a new one)
    std::string model;
    // A fresh adapter as plugged at the start (configuration and answers, no monitors).
    std::function<std::shared_ptr<emu::DeviceModel>()> make;
    std::shared_ptr<emu::DeviceModel> device;        // the one on the bus, or the last one there
    std::shared_ptr<emu::Model520> model520;         // `device` when model 520, else null
    std::shared_ptr<emu::Model508> model508;         // `device` when a 50x adapter, else null
    std::optional<emu::Model520::Monitor> ports[3];  // model 520: monitors on its outputs now
    std::optional<emu::Model508::Monitor> ports508[emu::Model508::kPorts];  // 50x: on its ports
    bool plugged = true;
    std::vector<emu::PlugEvent> history;
    uint64_t bytesBefore = 0;  // OUT bytes the adapter took before its last re-plug

    // The EDID of the monitor on `port` now, null when there is none.
    const std::vector<uint8_t>* edidOn(int port) const;
    // The pictures of its monitors as the adapter holds them now (outputs or views that have
    // had a monitor), each with the port it belongs to.
    std::vector<std::pair<int, emu::Model520::Picture>> pictures() const;
    // Image packets its monitors have taken so far (cheap: no pictures copied).
    uint64_t imagePackets() const;
};

// Plugs adapter `a` (made with `a.make`, its monitors on their ports) into the emulated bus:
// its bus id, or -1 with the reason on stderr.
int plugAdapter(RunAdapter& a);

// What one monitor showed, taken before the service stopped.
struct Shot {
    int adapterId = -1;  // RunAdapter::id
    std::string model;
    emu::Model520::Picture picture;
    double psnrDb = -1.0;       // against its desktop; negative: not measured
    double lastShowedS = -1.0;  // when it last showed its desktop; negative: never
};

class DesktopDriver {
  public:
    // Draws `scene` on every connected display about 30 times a second, puts every session
    // into light mode when `light` and applies `events` (checked, in time order) when they are
    // due. With seconds > 0 it stops drawing shortly before the end, lets the pipeline settle,
    // takes the shots and sends SIGTERM to the process.
    void start(std::vector<RunAdapter> adapters, std::vector<RunEvent> events, emu::Scene scene,
               bool light, long seconds);
    // Joins the driver (after the service has stopped).
    void stop();
    ~DesktopDriver() { stop(); }
    // The shots of a timed run; without one (a run until a signal), the pictures as they are
    // now, unmeasured.
    std::vector<Shot> shots();
    double runSeconds() const;
    // The run's adapters as they are now (after stop(): as the run left them).
    const std::vector<RunAdapter>& adapters() const { return adapters_; }

  private:
    // Applied, or waiting for the desktop it acts on.
    enum class Outcome { Done, NotYet };
    void run(emu::Scene scene, bool light, long seconds);
    void requestLightMode();
    uint64_t imagePackets() const;  // taken by the adapters' monitors so far
    void takeShots();
    void applyDue();
    Outcome apply(RunAdapter& a, const RunEvent& ev);
    void sample();
    evdi_handle desktopOf(const RunAdapter& a, int port) const;

    std::vector<RunAdapter> adapters_;
    std::vector<std::deque<RunEvent>> queues_;                         // per adapter, in time order
    std::vector<std::chrono::steady_clock::time_point> waitingSince_;  // per adapter
    std::map<std::pair<int, int>, double> lastShowed_;  // (adapter index, target) -> seconds
    std::vector<Shot> shots_;
    bool shot_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::chrono::steady_clock::time_point started_{};
};

// DIR/summary.json and DIR/<adapter id>-<target>.png (target as 0x%02x); the summary describes
// `capture` when it is given. 0, or -1 when a file could not be written (the reason on stderr).
int writeOutputs(const std::string& dir, const std::vector<RunAdapter>& adapters,
                 const std::vector<Shot>& shots, double seconds,
                 const emu::CaptureSummary* capture = nullptr);

}  // namespace emurun
