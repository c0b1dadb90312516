// vel-emulate: the service, linked against the emulated platform, run against emulated
// adapters. Exits with the service's status.
//
//   vel-emulate [--adapter MODEL]... [--seconds N] [--fault OP]... [--out DIR]
//     --adapter MODEL  plug an adapter before the service starts: 520, 522, 520A, 508, 505, 500
//     --seconds N      stop the service with SIGTERM after N seconds (default 5; 0 = run until
//                      a signal arrives)
//     --fault OP       make OP fail on the last adapter given: open, reset, claim, altsetting
//     --out DIR        folder for the run's outputs (created)
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <libusb-1.0/libusb.h>

#include "emulator/usb/bus.h"
#include "emulator/usb/silent_adapter.h"
#include "service/threads.h"
#include "service/velMain.h"

namespace {

struct AdapterArg {
    std::string model;
    std::vector<emu::Op> faults;
};

int usage(const char* prog) {
    fprintf(stderr,
            "usage: %s [--adapter 520|522|520A|508|505|500]... [--seconds N] "
            "[--fault open|reset|claim|altsetting]... [--out DIR]\n",
            prog);
    return 2;
}

bool parseFault(const std::string& name, emu::Op* op) {
    if (name == "open") *op = emu::Op::Open;
    else if (name == "reset") *op = emu::Op::Reset;
    else if (name == "claim") *op = emu::Op::Claim;
    else if (name == "altsetting") *op = emu::Op::SetAltSetting;
    else return false;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<AdapterArg> adapters;
    long seconds = 5;
    std::string outDir;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "--adapter") {
            const char* m = value();
            if (!m || !emu::adapterIdentity(m).valid()) return usage(argv[0]);
            adapters.push_back({m, {}});
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
    for (const auto& ad : adapters) {
        int id = bus.plug(std::make_shared<emu::SilentAdapter>(), emu::adapterIdentity(ad.model));
        if (id < 0) {
            fprintf(stderr, "%s: cannot plug adapter %s\n", argv[0], ad.model.c_str());
            return 2;
        }
        for (emu::Op op : ad.faults) bus.faults(id).failOp(op, LIBUSB_ERROR_IO);
    }

    if (seconds > 0) {
        std::thread([seconds] {
            vel::threadInit("emuTimer");
            vel::sleepMs(seconds * 1000);
            kill(getpid(), SIGTERM);
        }).detach();
    }
    char prog[] = "VelUSBDisplay";
    char* serviceArgv[] = {prog, nullptr};
    return velMain(1, serviceArgv);
}
