// The timeline of a vel-emulate run: what happens to the emulated hardware while the service
// runs, read from an events file (--events FILE) and from --at options.
//
// One event per line, "SECONDS ACTION ARGS"; blank lines and everything after a '#' are
// ignored. --at takes "SECONDS:ACTION ARGS" with the same ACTION ARGS. SECONDS counts from the
// start of the run (a decimal number, 0 or more). ADAPTER is the adapter's number in the order
// of the --adapter options, from 1; PORT is a model-520 output, 0 to 2 (target 0x20 + PORT), or
// a 50x adapter's port, 0 to 3 (target 1 << PORT). A 50x adapter's monitors are those of its
// --monitor options: the desktop events (dpms, mode, cursor) act on them, plug-monitor and
// unplug-monitor are for model-520 adapters.
//
//   plug-monitor ADAPTER PORT [EDIDFILE]   a monitor arrives (without a file: the built-in
//                                           1920 x 1080 one); a relative EDIDFILE is taken
//                                           from the events file's folder
//   unplug-monitor ADAPTER PORT            the monitor leaves the port
//   unplug-adapter ADAPTER                 the adapter leaves the bus
//   plug-adapter ADAPTER                   it comes back, switched on afresh, with the monitors
//                                           then on its ports
//   dpms ADAPTER PORT on|standby|suspend|off   the monitor's desktop switches DPMS
//   mode ADAPTER PORT WIDTHxHEIGHT[@HZ]    the monitor's desktop changes its mode (60 Hz
//                                           unless given)
//   cursor ADAPTER PORT X Y                the monitor's desktop shows its 32 x 32 arrow
//                                           cursor with its hot spot at X, Y
//
// checkEvents() then plays the timeline through against the run's adapters, so that a script
// that cannot happen (a monitor on a taken port, an adapter unplugged twice, a desktop event
// for a port without a monitor) is refused before the run starts.
#pragma once

#include <string>
#include <vector>

#include "emulator/adapters/model520.h"
#include "emulator/evdi/desktop.h"

namespace emurun {

enum class EventAction {
    PlugMonitor,
    UnplugMonitor,
    UnplugAdapter,
    PlugAdapter,
    Dpms,
    Mode,
    Cursor
};

struct RunEvent {
    double seconds = 0.0;
    EventAction action = EventAction::PlugMonitor;
    int adapter = 0;  // index into the run's adapters, from 0
    int port = -1;
    emu::Model520::Monitor monitor;  // plug-monitor: the monitor, EDID loaded
    emu::DesktopMode mode;           // mode
    int dpms = 0;                    // dpms: 0 on, 1 standby, 2 suspend, 3 off
    int cursorX = 0, cursorY = 0;    // cursor
    std::string where;               // "FILE:LINE" or "--at", for messages
    std::string text;                // the event as written
};

// Parses "ACTION ARGS" into `ev` (its time and `where` are the caller's). `baseDir` is where
// a relative EDID file is looked for ("" for the working folder). False with `*error` set.
bool parseAction(const std::string& text, const std::string& baseDir, RunEvent* ev,
                 std::string* error);
// "SECONDS:ACTION ARGS".
bool parseAt(const std::string& arg, RunEvent* ev, std::string* error);
// Appends the events of a file. False with `*error` naming the file and line.
bool parseEventFile(const std::string& path, std::vector<RunEvent>* events, std::string* error);

// What checkEvents needs to know of one adapter of the run.
struct EventTarget {
    bool model520 = false;
    bool ports[4] = {false, false, false, false};  // monitors on its outputs at the start
};

// Sorts `events` by time (events at the same time keep their order) and plays them through:
// adapters exist and are model 520 where a monitor is plugged or unplugged, ports exist, times
// lie within a timed run
// (`seconds` > 0), and every event finds the state it needs. False with `*error` set.
bool checkEvents(std::vector<RunEvent>* events, const std::vector<EventTarget>& adapters,
                 long seconds, std::string* error);

}  // namespace emurun
