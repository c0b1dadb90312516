// vel-emulate: the service, linked against the emulated platform, run against emulated
// adapters. Exits with the service's status; 2 for a bad option, events file or value.
// `vel-emulate --help` prints the options (kHelp below).
#include <libusb-1.0/libusb.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "emulator/adapters/edidCorpus.h"
#include "emulator/adapters/model508.h"
#include "emulator/adapters/model520.h"
#include "emulator/app/emulateRun.h"
#include "emulator/output/pcapCapture.h"
#include "emulator/usb/bus.h"
#include "emulator/usb/silent_adapter.h"
#include "service/threads.h"
#include "service/velMain.h"

namespace {

struct AnswerArg {
    int dataClass = -1, dataType = -1;
    emu::AnswerMode mode = emu::AnswerMode::Normal;
    long delayMs = 0;
    int count = -1;
};

struct FailLater {
    long afterMs = 0;
    int count = 1;
};

struct AdapterArg {
    std::string model;
    std::vector<emu::Op> faults;
    std::vector<AnswerArg> answers;
    std::vector<FailLater> failLater;
    emu::Model520::Config config;
    std::vector<emu::Model520::Monitor> monitors;     // --monitor, by port
    emu::Model508::Config config508;                  // a 50x adapter's
    std::vector<emu::Model508::Monitor> monitors508;  // --monitor of a 50x adapter, by port
};

const char kHelp[] =
    "usage: vel-emulate [OPTION]...\n"
    "Runs the service against emulated adapters, monitors and desktops; exits with the\n"
    "service's status (2 for a bad option, events file or value).\n"
    "\n"
    "  --adapter MODEL    plug an adapter before the service starts: 520, 522, 520A (the\n"
    "                     emulated model-520 adapter), 508, 505, 500; adapters are numbered\n"
    "                     from 1 in this order\n"
    "  --monitor FILE     a monitor with this EDID on the adapter's next output (model 520:\n"
    "                     outputs 0 to 2; 50x family: ports 0 to 3, targets 1, 2, 4, 8);\n"
    "                     FILE may also name a test monitor built into the emulator;\n"
    "                     without any, one built-in 1920 x 1080 monitor on output 0\n"
    "  --list-monitors    print the names of the built-in test monitors and exit\n"
    "  --scene NAME       what every desktop draws: static, moving-window (default),\n"
    "                     scrolling-text, full-screen\n"
    "  --mode MODE        smart (default) or light: the sessions' power mode\n"
    "  --seconds N        stop the service with SIGTERM after N seconds (default 5; 0 = run\n"
    "                     until a signal arrives); a timed run stops drawing 0.7 s before its\n"
    "                     end, lets the monitors settle, then takes their pictures\n"
    "  --events FILE      a timeline of the run, one event per line: SECONDS ACTION ARGS\n"
    "                     ('#' starts a comment)\n"
    "  --at SECONDS:ACTION ARGS   one more event (repeatable)\n"
    "      ACTION ARGS, with ADAPTER from 1 and PORT 0 to 2 (0 to 3 on a 50x adapter, whose\n"
    "      monitors are its --monitor options: dpms, mode and cursor act on them):\n"
    "        plug-monitor ADAPTER PORT [EDIDFILE]   (built-in monitor without a file; a\n"
    "                                               relative file is read from the events\n"
    "                                               file's folder)\n"
    "        unplug-monitor ADAPTER PORT\n"
    "        unplug-adapter ADAPTER\n"
    "        plug-adapter ADAPTER                   (switched on afresh, with the monitors\n"
    "                                               then on its ports)\n"
    "        dpms ADAPTER PORT on|standby|suspend|off\n"
    "        mode ADAPTER PORT WIDTHxHEIGHT[@HZ]\n"
    "        cursor ADAPTER PORT X Y                (a 32 x 32 cursor, hot spot at X, Y)\n"
    "  --out DIR          folder for the run's outputs (created): summary.json (per adapter:\n"
    "                     model, bytes received, plug history; per monitor: target id, size,\n"
    "                     frames shown, frames per second, bytes received, PSNR against its\n"
    "                     desktop in dB, when it last showed its desktop), one PNG per\n"
    "                     monitor (<adapter id>-<target>.png, its last picture; a 50x\n"
    "                     adapter's targets are 0x01, 0x02, 0x04, 0x08), and after an\n"
    "                     orderly stop model520-K.txt per model-520 adapter K (from 0) as\n"
    "                     it was last plugged: \"beats N\", \"opens N\", \"closes N\",\n"
    "                     \"longest_gap_ms N\", \"refused N\" with one \"error: ...\" line per\n"
    "                     refused message, one \"cmd CLASS TYPE LENGTH\" line per message,\n"
    "                     and after that of an image packet \"image DISPLAYDEVICE FRAMEINDEX X Y\n"
    "                     WIDTH HEIGHT\" from its data header\n"
    "  --capture FILE     write every USB transfer to FILE (pcap, Linux usbmon, link type 220);\n"
    "                     tools/wireshark/velusbdisplay.lua decodes both adapter protocols\n"
    "  --capture-snap BYTES   data bytes kept of each transfer (0 to 262080, the most a\n"
    "                     reader accepts; default 262080): a longer transfer is cut, keeps its\n"
    "                     whole length in the record, is counted on stderr and listed under\n"
    "                     \"capture\" in summary.json\n"
    "  --fault OP         make OP fail on the last adapter given: open, reset, claim, altsetting\n"
    "  --fail-out-after MS[:COUNT]   MS ms after the start, the next COUNT (default 1) command\n"
    "                     transfers (OUT 0x01) of the last adapter fail with an I/O error\n"
    "  --fw-version TEXT  (both families) firmware version text the adapter reports\n"
    "  --caps-size N      (both families) size of the capability block it reports (default\n"
    "                     115 for model 520, 205 for the 50x family)\n"
    "  --no-decode        (both families) the adapter checks and acknowledges every image\n"
    "                     packet but decodes none: its monitors show nothing (frames shown\n"
    "                     0, no PNG), and a long or fast run costs the emulator little\n"
    "50x-family options, for the last adapter given:\n"
    "  --answer 6:CODE:late|wrong|error|never[:MS[:COUNT]]\n"
    "                     answer the commands of code CODE (-1: any) as for model 520 below\n"
    "                     (error: status 1)\n"
    "  --legacy-heartbeat the older firmware: 0xD7 is answered as unknown, 0x47 taken\n"
    "  --heartbeat-flags N  flag bits of the 0xD7 answer (default 3: interrupt and bulk)\n"
    "  --bl-version TEXT  second-bootloader version text of the adapter's made-up SROM\n"
    "                     (default \"v 00.01.0004\"); --fw-version sets its firmware's\n"
    "  --layout N         SROM layout number it reports (default 131078)\n"
    "  --work-mode N      work mode it reports: 0 normal (default), 1 test\n"
    "  --srom PATH        the adapter's SROM lives in PATH: read from there at start when it\n"
    "                     holds one (the version texts then come from its images), else made\n"
    "                     up and written there; every SROM write and image it takes is kept\n"
    "  A 50x run supplies the host firmware images its bring-up needs (Bootloader0.bin,\n"
    "  Bootloader1.bin, firmware0.bin, USBDisplay.bin) in VEL_FW_DIR where they are missing;\n"
    "  without VEL_FW_DIR in a folder of the run (DIR/firmware with --out). With --out,\n"
    "  model508-K.txt per 50x adapter K (from 0): \"bulk_beats N\", \"heartbeat_open 0|1\",\n"
    "  \"unknown N\", \"fw_images N\", \"bl_images N\", \"srom_writes N\", \"srom_refused N\",\n"
    "  \"fw_version TEXT\", \"bl_version TEXT\" (what its SROM holds), \"refused N\" with its\n"
    "  \"error: ...\" lines, one \"cmd KIND CODE LENGTH\"\n"
    "  line per packet, and after that of an image packet \"image VIEWSELECT FRAMEINDEX X Y\n"
    "  WIDTH HEIGHT STRIDE JPEGLENGTH PIECEFLAGS JPEGSIZE\" from its header (JPEGSIZE: the\n"
    "  JPEG through its end marker)\n"
    "Model-520 options, for the last adapter given (a re-plugged adapter keeps them):\n"
    "  --answer CLASS:TYPE:late|wrong|error|never[:MS[:COUNT]]\n"
    "                     answer commands of CLASS and TYPE (-1: any) late (after MS ms),\n"
    "                     wrongly (the next type), with the error flag, or not at all; COUNT\n"
    "                     limits it to the next COUNT such commands\n"
    "  --log-blocks N     firmware-log blocks it serves per request (default 2)\n"
    "  --log-text TEXT    the firmware log's text, cut into those blocks\n"
    "  --fw-store PATH    the adapter's flash: every firmware image it receives is written to\n"
    "                     PATH, and an image found there at start sets the version it reports\n"
    "                     (the version text in the image's last 128 bytes)\n"
    "  --help             this text\n";

bool is520(const std::string& model) { return model == "520" || model == "522" || model == "520A"; }
bool is50x(const std::string& model) { return model == "508" || model == "505" || model == "500"; }

// "CLASS:TYPE:MODE[:MS[:COUNT]]"
bool parseAnswer(const std::string& rule, AnswerArg* a) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t colon = rule.find(':', start);
        parts.push_back(rule.substr(start, colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    if (parts.size() < 3 || parts.size() > 5) return false;
    char* end = nullptr;
    a->dataClass = static_cast<int>(strtol(parts[0].c_str(), &end, 0));
    if (*end || parts[0].empty()) return false;
    a->dataType = static_cast<int>(strtol(parts[1].c_str(), &end, 0));
    if (*end || parts[1].empty()) return false;
    if (parts[2] == "late")
        a->mode = emu::AnswerMode::Late;
    else if (parts[2] == "wrong")
        a->mode = emu::AnswerMode::Wrong;
    else if (parts[2] == "error")
        a->mode = emu::AnswerMode::ErrorFlag;
    else if (parts[2] == "never")
        a->mode = emu::AnswerMode::Never;
    else
        return false;
    if (parts.size() > 3) {
        a->delayMs = strtol(parts[3].c_str(), &end, 10);
        if (*end || a->delayMs < 0) return false;
    }
    if (parts.size() > 4) {
        a->count = static_cast<int>(strtol(parts[4].c_str(), &end, 10));
        if (*end || a->count <= 0) return false;
    }
    return true;
}

// "MS[:COUNT]"
bool parseFailLater(const std::string& rule, FailLater* f) {
    char* end = nullptr;
    f->afterMs = strtol(rule.c_str(), &end, 10);
    if (end == rule.c_str() || f->afterMs < 0) return false;
    if (*end == ':') {
        const char* c = end + 1;
        f->count = static_cast<int>(strtol(c, &end, 10));
        if (end == c || f->count <= 0) return false;
    }
    return *end == 0;
}

void writeSummary(const std::string& dir, int k, emu::Model520& m) {
    std::string path = dir + "/model520-" + std::to_string(k) + ".txt";
    FILE* f = fopen(path.c_str(), "w");
    if (!f) return;
    auto hb = m.heartbeat();
    fprintf(f, "beats %d\nopens %d\ncloses %d\nlongest_gap_ms %ld\nmean_gap_ms %ld\n", hb.beats,
            hb.opens, hb.closes, hb.longestGapMs, hb.meanGapMs());
    auto errors = m.errors();
    fprintf(f, "refused %zu\n", errors.size());
    for (const auto& e : errors) fprintf(f, "error: %s\n", e.c_str());
    for (const auto& msg : m.received()) {
        fprintf(f, "cmd %d %d %zu\n", msg.header.dataClass, msg.header.dataType,
                msg.payload.size());
        // The adapter keeps an image packet's 80-byte data header as its payload.
        if (msg.header.dataClass == 2 && msg.header.dataType == 4 && msg.payload.size() >= 28) {
            auto le = [&](size_t at, size_t n) {
                uint32_t v = 0;
                for (size_t b = 0; b < n; ++b)
                    v |= static_cast<uint32_t>(msg.payload[at + b]) << (8 * b);
                return v;
            };
            fprintf(f, "image %u %u %u %u %u %u\n", msg.header.displayDevice, le(8, 4), le(12, 4),
                    le(16, 4), le(24, 2), le(26, 2));
        }
    }
    fclose(f);
}

void writeSummary508(const std::string& dir, int k, emu::Model508& m) {
    std::string path = dir + "/model508-" + std::to_string(k) + ".txt";
    FILE* f = fopen(path.c_str(), "w");
    if (!f) return;
    auto hb = m.heartbeat();
    fprintf(f, "bulk_beats %d\nheartbeat_open %d\nunknown %d\n", hb.bulkBeats, hb.open ? 1 : 0,
            m.unknownCommands());
    auto errors = m.errors();
    auto fw = m.firmware();
    fprintf(f, "fw_images %d\nbl_images %d\nsrom_writes %d\nsrom_refused %d\n", fw.images,
            fw.bootloaderImages, fw.sromWrites, fw.refusedWrites);
    fprintf(f, "fw_version %s\nbl_version %s\n", m.firmwareVersionHeld().c_str(),
            m.bootloaderVersionHeld().c_str());
    fprintf(f, "refused %zu\n", errors.size());
    for (const auto& e : errors) fprintf(f, "error: %s\n", e.c_str());
    for (const auto& p : m.received()) {
        fprintf(f, "cmd %d %d %zu\n", p.kind, p.code, p.transferLength);
        // An image packet the adapter took: its 48-byte header as read, and the size of the JPEG
        // through its end marker.
        if (p.kind == 2 && p.error.empty() && p.bytes.size() >= 48) {
            auto le = [&](size_t at, size_t n) {
                uint32_t v = 0;
                for (size_t b = 0; b < n; ++b)
                    v |= static_cast<uint32_t>(p.bytes[at + b]) << (8 * b);
                return v;
            };
            fprintf(f, "image %u %u %u %u %u %u %u %u %u %zu\n", p.bytes[19], le(22, 4), le(27, 2),
                    le(29, 2), le(31, 2), le(33, 2), le(36, 2), le(38, 4), p.bytes[42], p.jpegSize);
        }
    }
    fclose(f);
}

int usage(const char* prog) {
    fprintf(stderr,
            "usage: %s [--adapter 520|522|520A|508|505|500]... [--seconds N] "
            "[--fault open|reset|claim|altsetting]... [--out DIR] [--answer "
            "CLASS:TYPE:late|wrong|error|never[:MS[:COUNT]]]... [--fail-out-after MS[:COUNT]]... "
            "[--fw-version TEXT] [--caps-size N] [--no-decode] [--monitor EDIDFILE|NAME]... [--list-monitors] "
            "[--scene static|moving-window|scrolling-text|full-screen] [--mode smart|light] "
            "[--capture FILE] [--capture-snap BYTES] [--log-blocks N] [--log-text TEXT] "
            "[--fw-store PATH] [--legacy-heartbeat] [--heartbeat-flags N] [--bl-version TEXT] "
            "[--layout N] [--work-mode N] [--srom PATH] [--events FILE] "
            "[--at SECONDS:ACTION ARGS]... [--help]\n",
            prog);
    return 2;
}

bool parseFault(const std::string& name, emu::Op* op) {
    if (name == "open")
        *op = emu::Op::Open;
    else if (name == "reset")
        *op = emu::Op::Reset;
    else if (name == "claim")
        *op = emu::Op::Claim;
    else if (name == "altsetting")
        *op = emu::Op::SetAltSetting;
    else
        return false;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<AdapterArg> adapters;
    long seconds = 5;
    std::string outDir;
    // The desktop run: scene, power mode, capture file.
    emu::Scene scene = emu::Scene::MovingWindow;
    bool light = false;
    std::string captureFile;
    size_t captureSnap = emu::PcapCapture::kDefaultSnapLength;
    // The run's timeline: --events files and --at options, checked once every option is known.
    std::vector<emurun::RunEvent> events;
    auto eventError = [&](const std::string& why) {
        fprintf(stderr, "%s: %s\n", argv[0], why.c_str());
        return usage(argv[0]);
    };
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "--list-monitors") {
            for (size_t k = 0; k < emu::kEdidCorpusCount; ++k)
                printf("%s\n", emu::kEdidCorpus[k].name);
            return 0;
        } else if (a == "--help" || a == "-h") {
            fputs(kHelp, stdout);
            return 0;
        } else if (a == "--events") {
            const char* f = value();
            std::string why;
            if (!f) return usage(argv[0]);
            if (!emurun::parseEventFile(f, &events, &why)) return eventError(why);
        } else if (a == "--at") {
            const char* e = value();
            emurun::RunEvent ev;
            std::string why;
            if (!e) return usage(argv[0]);
            if (!emurun::parseAt(e, &ev, &why)) return eventError(why);
            events.push_back(std::move(ev));
        } else if (a == "--adapter") {
            const char* m = value();
            if (!m || !emu::adapterIdentity(m).valid()) return usage(argv[0]);
            AdapterArg ad;
            ad.model = m;
            adapters.push_back(std::move(ad));
        } else if (a == "--seconds") {
            const char* s = value();
            char* end = nullptr;
            if (!s) return usage(argv[0]);
            seconds = strtol(s, &end, 10);
            if (*end || seconds < 0) return usage(argv[0]);
        } else if (a == "--fault") {
            const char* f = value();
            emu::Op op;
            if (!f || adapters.empty() || !parseFault(f, &op)) return usage(argv[0]);
            adapters.back().faults.push_back(op);
        } else if (a == "--answer") {
            const char* rule = value();
            AnswerArg ans;
            if (!rule || adapters.empty() || !parseAnswer(rule, &ans)) return usage(argv[0]);
            // The 50x family has one command class, 6.
            if (is50x(adapters.back().model) && ans.dataClass != 6 && ans.dataClass != -1)
                return usage(argv[0]);
            adapters.back().answers.push_back(ans);
        } else if (a == "--fail-out-after") {
            const char* rule = value();
            FailLater fl;
            if (!rule || adapters.empty() || !parseFailLater(rule, &fl)) return usage(argv[0]);
            adapters.back().failLater.push_back(fl);
        } else if (a == "--fw-version") {
            const char* t = value();
            if (!t || adapters.empty()) return usage(argv[0]);
            adapters.back().config.firmwareVersion = t;
            adapters.back().config508.firmwareVersion = t;
        } else if (a == "--caps-size") {
            const char* n = value();
            char* end = nullptr;
            if (!n || adapters.empty()) return usage(argv[0]);
            long size = strtol(n, &end, 10);
            if (*end || size < 0 || size > 4096) return usage(argv[0]);
            if (is50x(adapters.back().model) && size > 1024 - 18) return usage(argv[0]);
            adapters.back().config.capabilities.assign(static_cast<size_t>(size), 0x5A);
            adapters.back().config508.capabilities.assign(static_cast<size_t>(size), 0x5A);
        } else if (a == "--no-decode") {
            if (adapters.empty()) return usage(argv[0]);
            adapters.back().config.decodeImages = false;
            adapters.back().config508.decodeImages = false;
        } else if (a == "--log-blocks") {
            const char* n = value();
            char* end = nullptr;
            if (!n || adapters.empty() || !is520(adapters.back().model)) return usage(argv[0]);
            long blocks = strtol(n, &end, 10);
            if (*end || blocks < 0 || blocks > 4096) return usage(argv[0]);
            adapters.back().config.logBlocks = static_cast<int>(blocks);
        } else if (a == "--log-text") {
            const char* t = value();
            if (!t || adapters.empty() || !is520(adapters.back().model)) return usage(argv[0]);
            adapters.back().config.logText = t;
        } else if (a == "--fw-store") {
            const char* path = value();
            if (!path || adapters.empty() || !is520(adapters.back().model)) return usage(argv[0]);
            adapters.back().config.imageStore = path;
            adapters.back().config.versionFromImage = true;
        } else if (a == "--legacy-heartbeat") {
            if (adapters.empty() || !is50x(adapters.back().model)) return usage(argv[0]);
            adapters.back().config508.heartbeatExtension = false;
        } else if (a == "--heartbeat-flags") {
            const char* n = value();
            char* end = nullptr;
            if (!n || adapters.empty() || !is50x(adapters.back().model)) return usage(argv[0]);
            long flags = strtol(n, &end, 0);
            if (*end || flags < 0 || flags > 255) return usage(argv[0]);
            adapters.back().config508.heartbeatFlags = static_cast<uint8_t>(flags);
        } else if (a == "--bl-version" || a == "--srom") {
            const char* t = value();
            if (!t || !*t || adapters.empty() || !is50x(adapters.back().model))
                return usage(argv[0]);
            (a == "--srom" ? adapters.back().config508.sromFile
                           : adapters.back().config508.bootloaderVersion) = t;
        } else if (a == "--layout" || a == "--work-mode") {
            const char* n = value();
            char* end = nullptr;
            if (!n || !*n || adapters.empty() || !is50x(adapters.back().model))
                return usage(argv[0]);
            const unsigned long v = strtoul(n, &end, 0);
            if (*end || v > (a == "--layout" ? 0xFFFFFFFFul : 255ul)) return usage(argv[0]);
            if (a == "--layout")
                adapters.back().config508.layoutNumber = static_cast<uint32_t>(v);
            else
                adapters.back().config508.workMode = static_cast<uint8_t>(v);
        } else if (a == "--monitor" && !adapters.empty() && is50x(adapters.back().model)) {
            const char* f = value();
            if (!f || adapters.back().monitors508.size() >= emu::Model508::kPorts)
                return usage(argv[0]);
            emu::Model508::Monitor mon;
            std::string why;
            if (!emurun::monitor508FromFile(f, &mon, &why)) {
                fprintf(stderr, "%s: %s\n", argv[0], why.c_str());
                return usage(argv[0]);
            }
            adapters.back().monitors508.push_back(std::move(mon));
        } else if (a == "--monitor") {
            const char* f = value();
            if (!f || adapters.empty() || !is520(adapters.back().model) ||
                adapters.back().monitors.size() >= 3)
                return usage(argv[0]);
            emu::Model520::Monitor mon;
            std::string why;
            const int port = static_cast<int>(adapters.back().monitors.size());
            if (!emurun::monitorFromFile(f, port, &mon, &why)) {
                fprintf(stderr, "%s: %s\n", argv[0], why.c_str());
                return usage(argv[0]);
            }
            adapters.back().monitors.push_back(std::move(mon));
        } else if (a == "--scene") {
            const char* n = value();
            if (!n || !emurun::parseScene(n, &scene)) return usage(argv[0]);
        } else if (a == "--mode") {
            const char* n = value();
            if (!n || (strcmp(n, "smart") != 0 && strcmp(n, "light") != 0)) return usage(argv[0]);
            light = strcmp(n, "light") == 0;
        } else if (a == "--capture") {
            const char* f = value();
            if (!f || !*f) return usage(argv[0]);
            captureFile = f;
        } else if (a == "--capture-snap") {
            const char* n = value();
            char* end = nullptr;
            if (!n || !*n) return usage(argv[0]);
            const long long bytes = strtoll(n, &end, 10);
            if (*end || bytes < 0 ||
                bytes > static_cast<long long>(emu::PcapCapture::kMaxSnapLength))
                return usage(argv[0]);
            captureSnap = static_cast<size_t>(bytes);
        } else if (a == "--out") {
            const char* d = value();
            if (!d) return usage(argv[0]);
            outDir = d;
            mkdir(outDir.c_str(), 0755);
        } else {
            return usage(argv[0]);
        }
    }

    // Monitors already on the outputs when the run starts.
    std::vector<emurun::EventTarget> targets;
    for (auto& ad : adapters) {
        if (is520(ad.model) && ad.monitors.empty())
            ad.monitors.push_back(emurun::builtInMonitor(0));
        if (is50x(ad.model) && ad.monitors508.empty())
            ad.monitors508.push_back(emurun::builtInMonitor508());
        emurun::EventTarget t;
        t.model520 = is520(ad.model);
        for (size_t p = 0; p < ad.monitors.size(); ++p) t.ports[p] = true;
        for (size_t p = 0; p < ad.monitors508.size(); ++p) t.ports[p] = true;
        targets.push_back(t);
    }
    std::string why;
    if (!emurun::checkEvents(&events, targets, seconds, &why)) return eventError(why);
    // The desktops are found by their monitors' identities: one each, in the order they appear.
    emurun::MonitorIdentities identities;
    for (size_t k = 0; k < adapters.size(); ++k) {
        for (size_t p = 0; p < adapters[k].monitors.size(); ++p)
            identities.add(static_cast<int>(k), static_cast<int>(p), &adapters[k].monitors[p]);
        for (size_t p = 0; p < adapters[k].monitors508.size(); ++p)
            identities.add(static_cast<int>(k), static_cast<int>(p), &adapters[k].monitors508[p]);
    }
    for (auto& ev : events)
        if (ev.action == emurun::EventAction::PlugMonitor)
            identities.add(ev.adapter, ev.port, &ev.monitor);

    // The host firmware images a 50x bring-up looks for.
    std::string fwTempDir;
    for (const auto& ad : adapters) {
        if (!is50x(ad.model)) continue;
        const char* env = getenv("VEL_FW_DIR");
        std::string dir = env && *env ? env : "";
        if (dir.empty() && !outDir.empty()) dir = outDir + "/firmware";
        if (dir.empty()) {
            char tmpl[] = "/tmp/vel-emulate-fw-XXXXXX";
            if (!mkdtemp(tmpl)) return eventError("cannot create a firmware folder");
            dir = fwTempDir = tmpl;
        }
        if (!env || !*env) setenv("VEL_FW_DIR", (dir + "/").c_str(), 1);
        std::string fwWhy;
        if (!emurun::supplyHostFirmware508(dir, ad.config508.firmwareVersion, &fwWhy))
            return eventError(fwWhy);
        break;
    }

    auto& bus = emu::Bus::instance();
    emu::PcapCapture capture(captureSnap);
    if (!captureFile.empty()) {
        const int rc = capture.open(captureFile);
        if (rc != 0) {
            fprintf(stderr, "%s: cannot capture to %s (%d)\n", argv[0], captureFile.c_str(), rc);
            return 2;
        }
        bus.setTransferLog(capture.hook());
    }
    std::vector<emurun::RunAdapter> run;
    for (auto& ad : adapters) {
        emurun::RunAdapter ra;
        ra.model = ad.model;
        if (is520(ad.model)) {
            // Every plug of the adapter, the first and a re-plug, is a fresh power-on with the
            // same configuration and answers.
            ra.make = [config = ad.config, answers = ad.answers] {
                auto m = std::make_shared<emu::Model520>(config);
                for (const auto& ans : answers)
                    m->setAnswer(ans.dataClass, ans.dataType, ans.mode,
                                 std::chrono::milliseconds(ans.delayMs), ans.count);
                return std::shared_ptr<emu::DeviceModel>(std::move(m));
            };
            for (size_t p = 0; p < ad.monitors.size(); ++p) ra.ports[p] = ad.monitors[p];
        } else if (is50x(ad.model)) {
            ra.make = [config = ad.config508, answers = ad.answers] {
                auto m = std::make_shared<emu::Model508>(config);
                for (const auto& ans : answers)
                    m->setAnswer(ans.dataType, ans.mode, std::chrono::milliseconds(ans.delayMs),
                                 ans.count);
                return std::shared_ptr<emu::DeviceModel>(std::move(m));
            };
            for (size_t p = 0; p < ad.monitors508.size(); ++p) ra.ports508[p] = ad.monitors508[p];
        } else {
            ra.make = [] {
                return std::shared_ptr<emu::DeviceModel>(std::make_shared<emu::SilentAdapter>());
            };
        }
        const int id = emurun::plugAdapter(ra);
        if (id < 0) return 2;
        ra.id = id;
        ra.history.push_back({0.0, true, id});
        for (emu::Op op : ad.faults) bus.faults(id).failOp(op, LIBUSB_ERROR_IO);
        for (const auto& fl : ad.failLater) {
            std::thread([id, fl] {
                vel::threadInit("emuFault");
                vel::sleepMs(fl.afterMs);
                emu::Bus::instance().faults(id).failTransfers(fl.count, LIBUSB_ERROR_IO,
                                                              emu::Match::ep(0x01));
            }).detach();
        }
        run.push_back(std::move(ra));
    }

    // The desktop driver draws while the service runs, plays the timeline and ends a timed run.
    emurun::DesktopDriver driver;
    driver.start(std::move(run), std::move(events), scene, light, seconds);
    char prog[] = "VelUSBDisplay";
    char* serviceArgv[] = {prog, nullptr};
    int status = velMain(1, serviceArgv);
    driver.stop();
    emu::CaptureSummary captured;
    if (!captureFile.empty()) {
        bus.setTransferLog({});
        capture.close();
        captured.file = captureFile;
        captured.snapBytes = capture.snapLength();
        captured.transfers = capture.transfers();
        captured.cutTransfers = capture.cutCount();
        for (const auto& c : capture.cutTransfers())
            captured.cut.push_back({c.urbId, c.endpoint, c.length, c.captured});
        if (captured.cutTransfers > 0)
            fprintf(stderr,
                    "%s: capture %s: %llu of %llu transfers cut to %zu bytes (--capture-snap)\n",
                    argv[0], captureFile.c_str(),
                    static_cast<unsigned long long>(captured.cutTransfers),
                    static_cast<unsigned long long>(captured.transfers), capture.snapLength());
    }
    if (!outDir.empty()) {
        int k = 0, k508 = 0;
        for (const auto& ra : driver.adapters()) {
            if (ra.model520) writeSummary(outDir, k++, *ra.model520);
            if (ra.model508) writeSummary508(outDir, k508++, *ra.model508);
        }
        emurun::writeOutputs(outDir, driver.adapters(), driver.shots(), driver.runSeconds(),
                             captureFile.empty() ? nullptr : &captured);
    }
    if (!fwTempDir.empty()) {
        for (const char* name :
             {"Bootloader0.bin", "Bootloader1.bin", "firmware0.bin", "USBDisplay.bin"})
            unlink((fwTempDir + "/" + name).c_str());
        rmdir(fwTempDir.c_str());
    }
    return status;
}
