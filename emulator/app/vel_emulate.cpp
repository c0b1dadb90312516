// vel-emulate: the service, linked against the emulated platform, run against emulated
// adapters. Exits with the service's status.
//
//   vel-emulate [--adapter MODEL]... [--seconds N] [--fault OP]... [--out DIR]
//               [--answer RULE]... [--fail-out-after MS[:COUNT]]... [--fw-version TEXT]
//               [--caps-size N] [--log-blocks N] [--log-text TEXT] [--fw-store PATH]
//     --adapter MODEL  plug an adapter before the service starts: 520, 522, 520A (the emulated
//                      model-520 adapter), 508, 505, 500
//     --monitor FILE   (model 520) a monitor with this EDID on the adapter's next output;
//                      FILE may also name a test monitor built into the emulator (see
//                      --list-monitors); without any, one built-in 1920 x 1080 monitor
//     --list-monitors  print the names of the built-in test monitors and exit
//     --scene NAME     what every desktop draws: static, moving-window (default),
//                      scrolling-text, full-screen
//     --mode MODE      smart (default) or light: the sessions' power mode
//     --capture FILE   write every USB transfer to FILE (pcap, Linux usbmon, link type 220)
//     A timed run stops drawing 0.7 s before its end, lets the monitors settle, then takes
//     their pictures; with --out DIR it writes DIR/summary.json (per adapter and monitor: model,
//     target id, size, frames shown, frames per second, bytes received, PSNR against the
//     desktop in dB) and DIR/<adapter id>-<target>.png, each monitor's last picture.
//     --seconds N      stop the service with SIGTERM after N seconds (default 5; 0 = run until
//                      a signal arrives)
//     --fault OP       make OP fail on the last adapter given: open, reset, claim, altsetting
//     --out DIR        folder for the run's outputs (created); after an orderly stop each
//                      model-520 adapter k writes DIR/model520-k.txt: its heartbeat figures
//                      ("beats N", "opens N", "closes N", "longest_gap_ms N"), "refused N" with
//                      one "error: ..." line per refused message, and one "cmd CLASS TYPE
//                      LENGTH" line per message received
//   Model-520 options, for the last adapter given:
//     --answer CLASS:TYPE:MODE[:MS[:COUNT]]
//                      answer commands of CLASS and TYPE (-1: any) late (MODE late, after MS
//                      ms), wrongly (wrong: the next type), with the error flag (error) or
//                      not at all (never); COUNT limits it to the next COUNT such commands
//     --fail-out-after MS[:COUNT]
//                      MS ms after the start, the next COUNT (default 1) command transfers
//                      (OUT 0x01) fail with an I/O error
//     --fw-version TEXT  firmware version text the adapter reports
//     --caps-size N    size of the capability block it reports (default 115)
//     --log-blocks N   firmware-log blocks it serves per request (default 2)
//     --log-text TEXT  the firmware log's text, cut into those blocks
//     --fw-store PATH  the adapter's flash: every firmware image it receives is written to
//                      PATH, and a firmware image found there at start sets the version the
//                      adapter reports (the version text in the image's last 128 bytes)
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
    std::shared_ptr<emu::Model520> model520;
    int busId = -1;
    std::vector<emu::Model520::Monitor> monitors;  // --monitor, by port
};

bool is520(const std::string& model) { return model == "520" || model == "522" || model == "520A"; }

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
    fprintf(f, "beats %d\nopens %d\ncloses %d\nlongest_gap_ms %ld\n", hb.beats, hb.opens, hb.closes,
            hb.longestGapMs);
    auto errors = m.errors();
    fprintf(f, "refused %zu\n", errors.size());
    for (const auto& e : errors) fprintf(f, "error: %s\n", e.c_str());
    for (const auto& msg : m.received())
        fprintf(f, "cmd %d %d %zu\n", msg.header.dataClass, msg.header.dataType,
                msg.payload.size());
    fclose(f);
}

int usage(const char* prog) {
    fprintf(stderr,
            "usage: %s [--adapter 520|522|520A|508|505|500]... [--seconds N] "
            "[--fault open|reset|claim|altsetting]... [--out DIR] [--answer "
            "CLASS:TYPE:late|wrong|error|never[:MS[:COUNT]]]... [--fail-out-after MS[:COUNT]]... "
            "[--fw-version TEXT] [--caps-size N] [--monitor EDIDFILE|NAME]... [--list-monitors] "
            "[--scene static|moving-window|scrolling-text|full-screen] [--mode smart|light] "
            "[--capture FILE] [--log-blocks N] [--log-text TEXT] "
            "[--fw-store PATH]\n",
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
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "--list-monitors") {
            for (size_t k = 0; k < emu::kEdidCorpusCount; ++k) printf("%s\n", emu::kEdidCorpus[k].name);
            return 0;
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
            if (!rule || adapters.empty() || !is520(adapters.back().model) ||
                !parseAnswer(rule, &ans))
                return usage(argv[0]);
            adapters.back().answers.push_back(ans);
        } else if (a == "--fail-out-after") {
            const char* rule = value();
            FailLater fl;
            if (!rule || adapters.empty() || !parseFailLater(rule, &fl)) return usage(argv[0]);
            adapters.back().failLater.push_back(fl);
        } else if (a == "--fw-version") {
            const char* t = value();
            if (!t || adapters.empty() || !is520(adapters.back().model)) return usage(argv[0]);
            adapters.back().config.firmwareVersion = t;
        } else if (a == "--caps-size") {
            const char* n = value();
            char* end = nullptr;
            if (!n || adapters.empty() || !is520(adapters.back().model)) return usage(argv[0]);
            long size = strtol(n, &end, 10);
            if (*end || size < 0 || size > 4096) return usage(argv[0]);
            adapters.back().config.capabilities.assign(static_cast<size_t>(size), 0x5A);
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
        } else if (a == "--out") {
            const char* d = value();
            if (!d) return usage(argv[0]);
            outDir = d;
            mkdir(outDir.c_str(), 0755);
        } else {
            return usage(argv[0]);
        }
    }

    auto& bus = emu::Bus::instance();
    emu::PcapCapture capture;
    if (!captureFile.empty()) {
        const int rc = capture.open(captureFile);
        if (rc != 0) {
            fprintf(stderr, "%s: cannot capture to %s (%d)\n", argv[0], captureFile.c_str(), rc);
            return 2;
        }
        bus.setTransferLog(capture.hook());
    }
    for (auto& ad : adapters) {
        std::shared_ptr<emu::DeviceModel> model;
        if (is520(ad.model)) {
            ad.model520 = std::make_shared<emu::Model520>(ad.config);
            for (const auto& ans : ad.answers)
                ad.model520->setAnswer(ans.dataClass, ans.dataType, ans.mode,
                                       std::chrono::milliseconds(ans.delayMs), ans.count);
            // Monitors already on the outputs; the adapter reports them when it is switched on.
            if (ad.monitors.empty()) ad.monitors.push_back(emurun::builtInMonitor(0));
            for (size_t p = 0; p < ad.monitors.size(); ++p)
                ad.model520->plugMonitor(static_cast<int>(p), ad.monitors[p], false);
            model = ad.model520;
        } else {
            model = std::make_shared<emu::SilentAdapter>();
        }
        int id = bus.plug(model, emu::adapterIdentity(ad.model));
        if (id < 0) {
            fprintf(stderr, "%s: cannot plug adapter %s\n", argv[0], ad.model.c_str());
            return 2;
        }
        ad.busId = id;
        for (emu::Op op : ad.faults) bus.faults(id).failOp(op, LIBUSB_ERROR_IO);
        for (const auto& fl : ad.failLater) {
            std::thread([id, fl] {
                vel::threadInit("emuFault");
                vel::sleepMs(fl.afterMs);
                emu::Bus::instance().faults(id).failTransfers(fl.count, LIBUSB_ERROR_IO,
                                                              emu::Match::ep(0x01));
            }).detach();
        }
    }

    // The desktop driver draws while the service runs and ends a timed run.
    std::vector<emurun::RunAdapter> run;
    for (size_t k = 0; k < adapters.size(); ++k)
        run.push_back(
            {adapters[k].busId, adapters[k].model, adapters[k].model520, static_cast<int>(k)});
    emurun::DesktopDriver driver;
    driver.start(run, scene, light, seconds);
    char prog[] = "VelUSBDisplay";
    char* serviceArgv[] = {prog, nullptr};
    int status = velMain(1, serviceArgv);
    driver.stop();
    if (!captureFile.empty()) {
        bus.setTransferLog({});
        capture.close();
    }
    if (!outDir.empty()) {
        int k = 0;
        for (auto& ad : adapters)
            if (ad.model520) writeSummary(outDir, k++, *ad.model520);
        emurun::writeOutputs(outDir, run, driver.shots(), driver.runSeconds());
    }
    return status;
}
