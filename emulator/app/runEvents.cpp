// See runEvents.h.
#include "emulator/app/runEvents.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "emulator/app/emulateRun.h"

namespace emurun {

namespace {

// Longest run a script may describe (a day), and the largest desktop a mode event may ask for:
// the emulated desktop and the monitor's picture each hold width x height x 4 bytes.
constexpr double kMaxSeconds = 86400.0;
constexpr int kMinSide = 64, kMaxSide = 4096;
constexpr int kMaxRefresh = 240;
// An events file is a hand-written script; anything longer is not one.
constexpr size_t kMaxLineLength = 4096;

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

bool parseInt(const std::string& s, long lo, long hi, long* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long v = strtol(s.c_str(), &end, 10);
    if (*end || errno || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool parseSeconds(const std::string& s, double* out) {
    if (s.empty() || s[0] == '-' || s[0] == '+') return false;
    char* end = nullptr;
    const double v = strtod(s.c_str(), &end);
    if (*end || !std::isfinite(v) || v < 0 || v > kMaxSeconds) return false;
    *out = v;
    return true;
}

// "WIDTHxHEIGHT[@HZ]"
bool parseMode(const std::string& s, emu::DesktopMode* mode) {
    const size_t x = s.find('x');
    const size_t at = s.find('@');
    if (x == std::string::npos || (at != std::string::npos && at < x)) return false;
    long w = 0, h = 0, hz = 60;
    if (!parseInt(s.substr(0, x), kMinSide, kMaxSide, &w)) return false;
    const std::string hs =
        s.substr(x + 1, at == std::string::npos ? std::string::npos : at - x - 1);
    if (!parseInt(hs, kMinSide, kMaxSide, &h)) return false;
    if (at != std::string::npos && !parseInt(s.substr(at + 1), 1, kMaxRefresh, &hz)) return false;
    mode->width = static_cast<int>(w);
    mode->height = static_cast<int>(h);
    mode->refresh = static_cast<int>(hz);
    mode->fourcc = emu::kFourccXRGB8888;
    return true;
}

bool parseDpms(const std::string& s, int* dpms) {
    static const char* const names[] = {"on", "standby", "suspend", "off"};
    for (int i = 0; i < 4; ++i) {
        if (s == names[i]) {
            *dpms = i;
            return true;
        }
    }
    return false;
}

std::string trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string adapterName(int index) { return "adapter " + std::to_string(index + 1); }

}  // namespace

bool parseAction(const std::string& text, const std::string& baseDir, RunEvent* ev,
                 std::string* error) {
    const std::vector<std::string> w = words(text);
    ev->text = trim(text);
    if (w.empty()) {
        *error = "no action";
        return false;
    }
    const std::string& name = w[0];
    struct Shape {
        const char* name;
        EventAction action;
        bool port;
        const char* usage;
    };
    static const Shape shapes[] = {
        {"plug-monitor", EventAction::PlugMonitor, true, "plug-monitor ADAPTER PORT [EDIDFILE]"},
        {"unplug-monitor", EventAction::UnplugMonitor, true, "unplug-monitor ADAPTER PORT"},
        {"unplug-adapter", EventAction::UnplugAdapter, false, "unplug-adapter ADAPTER"},
        {"plug-adapter", EventAction::PlugAdapter, false, "plug-adapter ADAPTER"},
        {"dpms", EventAction::Dpms, true, "dpms ADAPTER PORT on|standby|suspend|off"},
        {"mode", EventAction::Mode, true, "mode ADAPTER PORT WIDTHxHEIGHT[@HZ]"},
        {"cursor", EventAction::Cursor, true, "cursor ADAPTER PORT X Y"},
    };
    const Shape* shape = nullptr;
    for (const Shape& s : shapes)
        if (name == s.name) shape = &s;
    if (!shape) {
        *error = "unknown action \"" + name +
                 "\" (plug-monitor, unplug-monitor, unplug-adapter, plug-adapter, dpms, mode, "
                 "cursor)";
        return false;
    }
    ev->action = shape->action;
    const size_t fixed = shape->port ? 3 : 2;
    const bool takesRest = shape->action == EventAction::PlugMonitor;
    const size_t wanted =
        fixed + (shape->action == EventAction::Dpms || shape->action == EventAction::Mode ? 1 : 0) +
        (shape->action == EventAction::Cursor ? 2 : 0);
    if (w.size() < wanted || (!takesRest && w.size() > wanted)) {
        *error = std::string("expected \"") + shape->usage + "\"";
        return false;
    }
    long adapter = 0, port = -1;
    if (!parseInt(w[1], 1, 64, &adapter)) {
        *error = "bad adapter number \"" + w[1] + "\" (1 for the first --adapter)";
        return false;
    }
    ev->adapter = static_cast<int>(adapter - 1);
    if (shape->port && !parseInt(w[2], 0, 3, &port)) {
        *error = "bad port \"" + w[2] + "\" (0 to 2, or 0 to 3 on a 50x adapter)";
        return false;
    }
    ev->port = static_cast<int>(port);
    switch (shape->action) {
        case EventAction::PlugMonitor: {
            // The file name is the rest of the line, so that it may hold blanks.
            std::istringstream in(text);
            std::string skip, file;
            in >> skip >> skip >> skip;
            std::getline(in, file);
            file = trim(file);
            if (file.empty()) {
                ev->monitor = builtInMonitor(ev->port);
            } else {
                // A relative name is a file beside the events file, or else a built-in monitor.
                std::string path = file[0] == '/' ? file : baseDir + file;
                if (file[0] != '/' && access(path.c_str(), F_OK) != 0) path = file;
                if (!monitorFromFile(path, ev->port, &ev->monitor, error)) return false;
            }
            break;
        }
        case EventAction::Dpms:
            if (!parseDpms(w[3], &ev->dpms)) {
                *error = "bad DPMS state \"" + w[3] + "\" (on, standby, suspend or off)";
                return false;
            }
            break;
        case EventAction::Mode:
            if (!parseMode(w[3], &ev->mode)) {
                *error = "bad mode \"" + w[3] + "\" (WIDTHxHEIGHT[@HZ], sides " +
                         std::to_string(kMinSide) + " to " + std::to_string(kMaxSide) + ", 1 to " +
                         std::to_string(kMaxRefresh) + " Hz)";
                return false;
            }
            break;
        case EventAction::Cursor: {
            long x = 0, y = 0;
            if (!parseInt(w[3], 0, kMaxSide, &x) || !parseInt(w[4], 0, kMaxSide, &y)) {
                *error = "bad cursor position \"" + w[3] + " " + w[4] + "\" (0 to " +
                         std::to_string(kMaxSide) + ")";
                return false;
            }
            ev->cursorX = static_cast<int>(x);
            ev->cursorY = static_cast<int>(y);
            break;
        }
        default:
            break;
    }
    return true;
}

bool parseAt(const std::string& arg, RunEvent* ev, std::string* error) {
    const size_t colon = arg.find(':');
    ev->where = "--at " + arg;
    if (colon == std::string::npos) {
        *error = "--at " + arg + ": expected SECONDS:ACTION ARGS";
        return false;
    }
    if (!parseSeconds(trim(arg.substr(0, colon)), &ev->seconds)) {
        *error = "--at " + arg + ": bad time \"" + arg.substr(0, colon) + "\"";
        return false;
    }
    std::string why;
    if (!parseAction(arg.substr(colon + 1), "", ev, &why)) {
        *error = "--at " + arg + ": " + why;
        return false;
    }
    return true;
}

bool parseEventFile(const std::string& path, std::vector<RunEvent>* events, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read events file " + path;
        return false;
    }
    const std::string base = folderOf(path);
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        const std::string where = path + ":" + std::to_string(n);
        if (line.size() > kMaxLineLength) {
            *error = where + ": line longer than " + std::to_string(kMaxLineLength) + " bytes";
            return false;
        }
        if (line.find('\0') != std::string::npos) {
            *error = where + ": not a text line";
            return false;
        }
        const std::string body = trim(line.substr(0, line.find('#')));
        if (body.empty()) continue;
        const size_t gap = body.find_first_of(" \t");
        RunEvent ev;
        ev.where = where;
        const std::string time = body.substr(0, gap);
        if (!parseSeconds(time, &ev.seconds)) {
            *error = where + ": bad time \"" + time + "\" (seconds from the start, 0 or more)";
            return false;
        }
        std::string why;
        if (!parseAction(gap == std::string::npos ? "" : body.substr(gap), base, &ev, &why)) {
            *error = where + ": " + why;
            return false;
        }
        events->push_back(std::move(ev));
    }
    if (in.bad()) {
        *error = "cannot read events file " + path;
        return false;
    }
    return true;
}

bool checkEvents(std::vector<RunEvent>* events, const std::vector<EventTarget>& adapters,
                 long seconds, std::string* error) {
    std::stable_sort(events->begin(), events->end(),
                     [](const RunEvent& a, const RunEvent& b) { return a.seconds < b.seconds; });
    struct State {
        bool plugged = true;
        bool ports[4] = {false, false, false, false};
    };
    std::vector<State> state(adapters.size());
    for (size_t i = 0; i < adapters.size(); ++i)
        for (int p = 0; p < 4; ++p) state[i].ports[p] = adapters[i].ports[p];
    for (const RunEvent& ev : *events) {
        auto fail = [&](const std::string& why) {
            *error = ev.where + ": " + ev.text + ": " + why;
            return false;
        };
        if (seconds > 0 && ev.seconds >= static_cast<double>(seconds))
            return fail("at or after the end of the run (--seconds " + std::to_string(seconds) +
                        ")");
        if (ev.adapter < 0 || static_cast<size_t>(ev.adapter) >= adapters.size())
            return fail("there is no " + adapterName(ev.adapter) + " (" +
                        std::to_string(adapters.size()) + " --adapter given)");
        State& s = state[static_cast<size_t>(ev.adapter)];
        const bool portEvent = ev.port >= 0;
        const bool model520 = adapters[static_cast<size_t>(ev.adapter)].model520;
        const bool plugEvent =
            ev.action == EventAction::PlugMonitor || ev.action == EventAction::UnplugMonitor;
        if (portEvent && plugEvent && !model520)
            return fail(adapterName(ev.adapter) +
                        " is no model-520 adapter (a 50x adapter's monitors are its --monitor "
                        "options)");
        if (portEvent && model520 && ev.port > 2) {
            // Worded as the parser words a port outside 0 to 3.
            *error = ev.where + ": bad port \"" + std::to_string(ev.port) + "\" (" +
                     adapterName(ev.adapter) + " is a model-520 adapter: 0, 1 or 2)";
            return false;
        }
        const std::string portName =
            "port " + std::to_string(ev.port) + " of " + adapterName(ev.adapter);
        switch (ev.action) {
            case EventAction::PlugMonitor:
                if (s.ports[ev.port]) return fail(portName + " already has a monitor");
                s.ports[ev.port] = true;
                break;
            case EventAction::UnplugMonitor:
                if (!s.ports[ev.port]) return fail(portName + " has no monitor");
                s.ports[ev.port] = false;
                break;
            case EventAction::UnplugAdapter:
                if (!s.plugged) return fail(adapterName(ev.adapter) + " is not plugged");
                s.plugged = false;
                break;
            case EventAction::PlugAdapter:
                if (s.plugged) return fail(adapterName(ev.adapter) + " is already plugged");
                s.plugged = true;
                break;
            case EventAction::Dpms:
            case EventAction::Mode:
            case EventAction::Cursor:
                if (!s.ports[ev.port]) return fail(portName + " has no monitor");
                if (!s.plugged) return fail(adapterName(ev.adapter) + " is not plugged");
                break;
        }
    }
    return true;
}

}  // namespace emurun
