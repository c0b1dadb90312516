// The fault matrix's rig: one row is one fault at one step of the service's work, run through
// the whole service in a child process (device manager, bring-up, hot-plug, the EVDI stand-in
// with its desktop, the frame pipeline) against an emulated adapter of either generation. A row
// either recovers (the adapter is brought up, its monitor's desktop reaches the monitor; an
// adapter that left is served again when it comes back) and afterwards gives back every thread
// and descriptor it took, or it ends through the fatal path: exit code 1 after its own log line
// and "usb_abort!". The rows themselves are in tests/integration/fault_matrix_test.cpp (fast)
// and fault_matrix_slow_test.cpp.
#pragma once

#include <gtest/gtest.h>
#include <libusb-1.0/libusb.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

#include "desktopPainter.h"
#include "devmgr/DevManager.h"
#include "display/VelDisplay508ClassDriver.h"
#include "display/VelDisplay520ClassDriver.h"
#include "emulator/adapters/model508.h"
#include "emulator/adapters/model520.h"
#include "emulator/evdi/desktop.h"
#include "emulator/evdi/evdiEmu.h"
#include "emulator/usb/bus.h"
#include "faultRig.h"
#include "fwImages508.h"
#include "pipeline/jpeg520.h"
#include "processUsage.h"
#include "session/VelDev.h"
#include "testSupport.h"

namespace vtest {
namespace faults {

using namespace std::chrono_literals;

enum class Gen { M520, M508 };
// When the fault is armed: before the adapter arrives (bring-up); before an adapter arrives whose
// firmware the host's images are newer than (bring-up with its firmware update: model 520, the
// main image; 50x family, `Update` an SROM layout that is rewritten whole, `UpdateImage` an older
// main firmware sent alone, `UpdateBootloader` an older second bootloader sent alone); once it
// is up and before its monitor is plugged in (plug-in and the mode set the desktop asks for
// right after); or while its monitor shows a desktop that keeps changing (image transfers).
enum class Phase { BringUp, Update, UpdateImage, UpdateBootloader, PlugIn, Stream };
// On the transfer that carries the command: it fails, times out, or the adapter leaves during
// it. On the adapter's answer to the command (once): late, missing, of the next type, flagged
// as an error, sent twice.
enum class Fault { Fail, Timeout, Unplug, Late, Missing, WrongType, Flagged, Duplicated };

// A command: model 520 (class, type, first payload byte or -1); 50x family (code, parameter
// byte 5 or -1). Not used by `Phase::Stream`, whose faults land on image packets.
struct Cmd {
    int a = 0, b = -1, c = -1;
};

// How the row ends: the monitor shows its desktop; the monitor is connected with an all-zero
// EDID (a 50x EDID that could not be read is no failure: plug-in goes on without it); the fatal
// path, after `line`.
enum class End { Shows, Blank, Fatal };

struct Row {
    const char* name;
    Gen gen;
    Phase phase;
    Fault fault;
    Cmd cmd;
    End end = End::Shows;
    // A log line the outcome shows: a fatal row's comes before "usb_abort!"; another row's is
    // how the service reported the fault it got over.
    const char* line = nullptr;
};

// A late answer comes this long after its command: well inside the 3 s a model-520 exchange
// waits, well beyond the 50x readers' first polls.
constexpr auto kLate = 1500ms;

// While frames stream, a failed or timed-out image transfer is not one but this many in a row:
// the 50x session holds three frame credits, so were the credits of failed frames not given
// back the stream would stop for good (still below the six failures in a row that are fatal).
constexpr int kStreamFailures = 3;

inline emu::Match transferOf(Gen gen, Phase phase, Cmd c) {
    if (phase == Phase::Stream)
        return gen == Gen::M520
                   ? emu::Match::outWith(0x02, [](const uint8_t*, size_t) { return true; })
                   : vtest::image508();
    return gen == Gen::M520 ? vtest::command520(c.a, c.b, c.c)
                            : vtest::command508(static_cast<uint8_t>(c.a), c.b);
}

// The heap in use may differ this much between the start of a row and its end, once the
// service has ended and the frame buffer pool is trimmed: what the allocator, libusb's stand-in
// and the log keep of a run is a few kB; a session, a monitor's display or a frame left behind
// is far more.
constexpr long kHeapSlackKb = 256;

// Heap in use in kB, the frame buffer pool trimmed first (its kept buffers are no leak).
inline long heapKb() {
    velFrameBufferTrim();
    return vtest::heapInUseKb();
}

// An unplug fault holds its transfer this long before the adapter goes. At start-up the first
// commands go out while the manager is still registering its hot-plug callbacks on the main
// thread, and a departure before the last one is registered would not be this row's step.
constexpr auto kHold = 500ms;

// A child's check failed: say which on standard error (the parent prints it) and end with 3.
#define FAULT_NEED(cond, what)                                                   \
    do {                                                                         \
        if (!(cond)) {                                                           \
            std::fprintf(stderr, "row failed: %s\n", std::string(what).c_str()); \
            std::fflush(stderr);                                                 \
            _exit(3);                                                            \
        }                                                                        \
    } while (0)

// One adapter of the row's generation with one small monitor, plugged in after bring-up.
struct Adapter {
    Gen gen;
    std::shared_ptr<emu::Model520> m520;
    std::shared_ptr<emu::Model508> m508;
    int busId = -1;

    // The 50x adapter of an update phase runs what the host's images ("v 2.24.1.0", second
    // bootloader "v 00.01.0004", layout 131078) replace (the model-520 update comes from the
    // host's images, see writeHost520Images).
    explicit Adapter(Gen g, Phase phase = Phase::PlugIn) : gen(g) {
        if (gen == Gen::M520) {
            m520 = std::make_shared<emu::Model520>();
        } else {
            emu::Model508::Config config;
            if (phase == Phase::Update) config.layoutNumber = 131077;
            if (phase == Phase::UpdateImage) config.firmwareVersion = "v 2.23.0.0";
            if (phase == Phase::UpdateBootloader) config.bootloaderVersion = "v 00.01.0003";
            m508 = std::make_shared<emu::Model508>(config);
        }
    }
    // Lets the emulated adapter go (its pictures are the emulator's, not the service's heap).
    void release() {
        m520.reset();
        m508.reset();
    }
    int plug() {
        auto& bus = emu::Bus::instance();
        busId = gen == Gen::M520 ? bus.plug(m520, emu::adapterIdentity("520"))
                                 : bus.plug(m508, emu::adapterIdentity("508"));
        return busId;
    }
    // Bring-up has finished its commands: hot-plug handling has begun.
    // The brought-up session of this generation (whichever device key it has), or null. A
    // session is in the manager's table before the hot-plug worker has set its model; the model
    // is read only once bring-up's flag shows it written.
    std::shared_ptr<VelDev> session() {
        for (int key : {0, 1}) {
            auto dev = g_dev->findDev(key);
            if (!dev || !(dev->initDone.load() || dev->cmdsInitialised.load())) continue;
            if ((dev->model == 0x520) == (gen == Gen::M520)) return dev;
        }
        return nullptr;
    }
    bool broughtUp() {
        return vtest::waitFor(
            [&] {
                auto dev = session();
                return dev != nullptr;
            },
            20s);
    }
    void unplugMonitor() {
        if (gen == Gen::M520)
            m520->unplugMonitor(0);
        else
            m508->unplugMonitor(0);
    }
    void plugMonitor() {
        if (gen == Gen::M520) {
            emu::Model520::Monitor m;
            m.target = 0x20;
            m.edid = emu::makeEdid(640, 480, 60);
            m.modeList = emu::Model520::modeEntry(640, 480, 32, 60);
            m520->plugMonitor(0, m);
        } else {
            m508->plugMonitor(
                0, emu::Model508::monitor(emu::makeEdid(640, 480, 60), {{640, 480, 60, 32}}));
        }
    }
    uint64_t painted() {
        return gen == Gen::M520 ? m520->picture(0).framesShown : m508->view(0).framesShown;
    }
    // The desktop reaches the monitor: image packets arrive and the adapter paints them (more
    // than `after` frames).
    bool shows(uint64_t after = 0) {
        auto packets = [&] {
            return gen == Gen::M520 ? m520->imagePackets(0) : m508->imagePackets(0);
        };
        return vtest::waitFor([&] { return packets() > 0; }, 20s) &&
               vtest::waitFor([&] { return painted() > after; }, 10s);
    }
    // Answers to `c` (model 520: of its class and type) take `mode`, once.
    void answer(Cmd c, emu::AnswerMode mode, std::chrono::milliseconds delay = 0ms) {
        if (gen == Gen::M520)
            m520->setAnswer(c.a, c.b, mode, delay, 1);
        else
            m508->setAnswer(c.a, mode, delay, 1);
    }
    bool received(Cmd c) {
        return gen == Gen::M520
                   ? !m520->received(static_cast<uint8_t>(c.a), static_cast<uint8_t>(c.b)).empty()
                   : !m508->received(static_cast<uint8_t>(c.a)).empty();
    }
    std::string refusals() {
        std::string r;
        for (const auto& e : gen == Gen::M520 ? m520->errors() : m508->errors()) r += e + "; ";
        return r;
    }
};

inline void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

// Model-520 host firmware images whose version (in the main image's tail) is `version`.
inline void writeHost520Images(const std::string& dir, const std::string& version) {
    auto put = [&](const char* name, const std::string& bytes) {
        std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
    };
    const std::string tail = "Version: " + version + " build 0520";
    std::string main(4096 - tail.size(), '\0');
    for (size_t i = 0; i < main.size(); ++i) main[i] = static_cast<char>((i * 31) & 0xFF);
    put("Bootloader0.bin", "bootloader zero");
    put("Bootloader1.bin", "bootloader one image");
    put("firmware0.bin", "secondary firmware");
    put("USBDisplay520.bin", main + tail);
}

struct FaultMatrix : ::testing::TestWithParam<Row> {
    vtest::IsolatedEnv env;
    emu::Bus& bus = emu::Bus::instance();

    void SetUp() override {
        // The child runs from the fork on: it shares the parent's private directories.
        ::testing::FLAGS_gtest_death_test_style = "fast";
        emu::setEvdiLibVersion(1, 12, 0);
        emu::setAutoDesktop(true);
        bus.reset();
        g_exitRequested = false;
        g_abortRequested = false;
        g_exitSignal = 0;
        ASSERT_TRUE(velfw::writeHostImages508(env.fwDir(), "v 2.24.1.0"));
    }
    void TearDown() override { bus.reset(); }

    // One EVDI display, connected with 128 bytes that do not start with the EDID header.
    static bool blankConnected() {
        static const unsigned char kHeader[8] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
        const auto handles = emu::openHandles();
        if (handles.size() != 1) return false;
        const emu::EvdiConnectRecord r = emu::connectRecord(handles[0]);
        return r.connected && r.length == 128 && r.edid.size() >= 8 &&
               std::memcmp(r.edid.data(), kHeader, 8) != 0;
    }
    // Waits until the adapter's session has gone and left no thread behind.
    static void expectSessionGone(const char* when) {
        FAULT_NEED(vtest::waitFor([] { return g_dev->deviceCount() == 0; }, 20s),
                   std::string("session still in the table ") + when);
        std::string left;
        FAULT_NEED(vtest::waitFor(
                       [&] {
                           left = vtest::sessionThreadsLeft();
                           return left.empty();
                       },
                       20s),
                   std::string("threads left ") + when + ": " + left);
        FAULT_NEED(emu::openHandles().empty(), std::string("EVDI displays left open ") + when);
    }

    // The row, in the child. Ends the process: 0 when the service recovered and gave everything
    // back, 3 when a check failed, 5 when a fatal row did not end; the fatal path ends it with 1.
    [[noreturn]] void runRow(const Row& row) {
        const Baseline start = baseline();
        const bool early = row.phase != Phase::PlugIn && row.phase != Phase::Stream;
        const bool stream = row.phase == Phase::Stream;
        // Newer than the model's own V1.3.12.0520.
        if (row.phase == Phase::Update && row.gen == Gen::M520)
            writeHost520Images(env.fwDir(), "1.3.13");
        Adapter a(row.gen, row.phase);
        // A transfer fault's match is asked once per transfer until the fault has landed: a yes
        // is the hit. An answer fault has landed once the adapter has taken the command.
        auto hits = std::make_shared<std::atomic<int>>(0);
        emu::Match match = transferOf(row.gen, row.phase, row.cmd);
        match.bytes = [inner = match.bytes, hits](const uint8_t* d, size_t n) {
            const bool hit = inner(d, n);
            if (hit) ++*hits;
            return hit;
        };
        const int failures = stream ? kStreamFailures : 1;
        auto landed = [&] {
            switch (row.fault) {
                case Fault::Fail:
                case Fault::Timeout:
                    return *hits == failures;
                case Fault::Unplug:
                    return *hits == 1;
                default:
                    return a.received(row.cmd);
            }
        };
        auto arm = [&] {
            auto f = bus.faults(a.busId);
            switch (row.fault) {
                case Fault::Fail:
                    f.failTransfers(failures, LIBUSB_ERROR_IO, match);
                    break;
                case Fault::Timeout:
                    f.failTransfers(failures, LIBUSB_ERROR_TIMEOUT, match);
                    break;
                case Fault::Unplug:
                    f.unplugDuringTransfer(match, kHold);
                    break;
                case Fault::Late:
                    a.answer(row.cmd, emu::AnswerMode::Late, kLate);
                    break;
                case Fault::Missing:
                    a.answer(row.cmd, emu::AnswerMode::Never);
                    break;
                case Fault::WrongType:
                    a.answer(row.cmd, emu::AnswerMode::Wrong);
                    break;
                case Fault::Flagged:
                    a.answer(row.cmd, emu::AnswerMode::ErrorFlag);
                    break;
                case Fault::Duplicated:
                    a.answer(row.cmd, emu::AnswerMode::Duplicated);
                    break;
            }
        };
        // A streaming row's desktop keeps changing, from before the fault to the end.
        std::unique_ptr<vtest::DesktopPainter> painter;
        if (stream) painter = std::make_unique<vtest::DesktopPainter>(3, false);
        if (early) {
            FAULT_NEED(a.plug() > 0, "plug");
            arm();
            g_dev = std::make_unique<DevManager>();
            FAULT_NEED(g_dev->registerUsb() == 0, "registerUsb");
        } else {
            g_dev = std::make_unique<DevManager>();
            FAULT_NEED(g_dev->registerUsb() == 0, "registerUsb");
            FAULT_NEED(a.plug() > 0, "plug");
            FAULT_NEED(a.broughtUp(), "bring-up before the fault: " + env.log());
            if (stream) {
                a.plugMonitor();
                FAULT_NEED(a.shows(), "the desktop never reached the monitor before the fault: " +
                                          a.refusals() + env.log());
                arm();
            } else {
                arm();
                a.plugMonitor();
            }
        }
        if (row.fault == Fault::Unplug) {
            FAULT_NEED(vtest::waitFor([&] { return !bus.plugged(a.busId); }, 20s),
                       "the transfer never came: " + env.log());
            expectSessionGone("after the adapter left");
            FAULT_NEED(env.logCount("usb_abort!") == 0, "the departure ended the service");
            // The manager runs on with no session: what the departed one held is given back
            // now, not at teardown. For the rows that end through the fatal path (it ends the
            // process with its session alive) this is the heap check. The emulated adapter
            // lives in this process too (a 50x one, its SROM image included, about 2 MB), kept by
            // the bus's record of the departed device until it is forgotten, which the bus
            // refuses while the service still has the device open.
            FAULT_NEED(bus.forget(a.busId) == 0, "the departed adapter is still open");
            a.release();
            expectHeapBack(start, "after the adapter left");
            a = Adapter(row.gen);
            FAULT_NEED(a.plug() > 0, "plug again");
            if (!early) {
                FAULT_NEED(a.broughtUp(), "bring-up after the return: " + env.log());
                a.plugMonitor();
            }
        }
        if (row.end == End::Fatal) {
            // The fatal path may start with the monitor's plug-in (a model-520 firmware check
            // runs again at every hot-plug worker).
            if (early && a.broughtUp()) a.plugMonitor();
            // usb_abort ends the process; a command answer waited for gives up after 3 s.
            std::this_thread::sleep_for(std::chrono::seconds(40 * vtest::kTimeScale));
            std::fprintf(stderr, "the service did not end\n%s", env.log().c_str());
            _exit(5);
        }
        if (early) {
            FAULT_NEED(a.broughtUp(), "bring-up: " + env.log());
            a.plugMonitor();
        }
        FAULT_NEED(vtest::waitFor(landed, 20s),
                   "the fault never landed (" + std::to_string(*hits) + " transfers)");
        if (row.end == End::Blank) {
            FAULT_NEED(vtest::waitFor([] { return blankConnected(); }, 20s),
                       "no display connected with an all-zero EDID: " + env.log());
        } else {
            // A stream that lost frames goes on: frames painted after the last failed one.
            const uint64_t before = stream && row.fault != Fault::Unplug ? a.painted() + 1 : 0;
            FAULT_NEED(a.shows(before),
                       "the desktop never reached the monitor: " + a.refusals() + env.log());
        }
        if (painter) painter->stop();
        FAULT_NEED(bus.unplug(a.busId) == 0, "unplug");
        expectSessionGone("after the final unplug");
        a.release();
        finish(start);
    }

    // A storm of monitor events: 20 in one second, plugging and unplugging in turn (the last one
    // an unplug). Afterwards no display is left, and the monitor plugged once more shows.
    [[noreturn]] void runStorm(Gen gen) {
        const Baseline start = baseline();
        g_dev = std::make_unique<DevManager>();
        FAULT_NEED(g_dev->registerUsb() == 0, "registerUsb");
        Adapter a(gen);
        FAULT_NEED(a.plug() > 0, "plug");
        FAULT_NEED(a.broughtUp(), "bring-up: " + env.log());
        for (int i = 0; i < 20; ++i) {
            if (i % 2 == 0)
                a.plugMonitor();
            else
                a.unplugMonitor();
            std::this_thread::sleep_for(50ms);
        }
        FAULT_NEED(vtest::waitFor(
                       [&] {
                           auto dev = a.session();
                           return dev && dev->shownTargets().empty() && emu::openHandles().empty();
                       },
                       20s),
                   "a display outlived the storm: " + env.log());
        a.plugMonitor();
        FAULT_NEED(a.shows(), "the desktop never reached the monitor: " + a.refusals() + env.log());
        FAULT_NEED(bus.unplug(a.busId) == 0, "unplug");
        expectSessionGone("after the final unplug");
        a.release();
        finish(start);
    }

    // Both adapters served, one of each generation with its monitor shown, leave together; both
    // come back and show their desktops again.
    [[noreturn]] void runDoubleUnplug() {
        const Baseline start = baseline();
        g_dev = std::make_unique<DevManager>();
        FAULT_NEED(g_dev->registerUsb() == 0, "registerUsb");
        for (int round = 0; round < 2; ++round) {
            Adapter a(Gen::M520), b(Gen::M508);
            FAULT_NEED(a.plug() > 0 && b.plug() > 0, "plug");
            FAULT_NEED(a.broughtUp() && b.broughtUp(), "bring-up: " + env.log());
            a.plugMonitor();
            b.plugMonitor();
            FAULT_NEED(a.shows(), "model 520 never showed: " + a.refusals() + env.log());
            FAULT_NEED(b.shows(), "50x never showed: " + b.refusals() + env.log());
            std::thread other([&] { bus.unplug(b.busId); });
            FAULT_NEED(bus.unplug(a.busId) == 0, "unplug");
            other.join();
            expectSessionGone(round == 0 ? "after both left" : "after both left again");
        }
        finish(start);
    }

    // ThreadSanitizer starts an unnamed thread of its own in the forked child some time into
    // the row; the service's threads all carry names and are held to none left by
    // expectSessionGone/sessionThreadsLeft, so only that one unnamed thread is allowed for.
#if defined(__SANITIZE_THREAD__)
    static constexpr long kToolThreads = 1;
#else
    static constexpr long kToolThreads = 0;
#endif
    static std::string allThreadNames() {
        std::string all;
        for (const std::string& n : vtest::threadNames()) all += "'" + n + "' ";
        return all;
    }

    // What the child holds before a row's service starts.
    struct Baseline {
        long threads, fds, heapKb;
    };
    static Baseline baseline() {
        return {vtest::threadCount(), vtest::openDescriptors(), heapKb()};
    }

    // Ends the child: the manager gone, every thread, descriptor and heap block of the run given
    // back (the heap within kHeapSlackKb).
    [[noreturn]] void finish(const Baseline& start) {
        g_dev->removeAllDevice();
        g_dev.reset();
        bus.reset();  // ends the libusb event thread's wait
        long threads = 0, fds = 0;
        FAULT_NEED(vtest::waitFor(
                       [&] {
                           threads = vtest::threadCount();
                           fds = vtest::openDescriptors();
                           return threads <= start.threads + kToolThreads &&
                                  threads >= start.threads && fds == start.fds;
                       },
                       20s),
                   "threads " + std::to_string(threads) + " (" + std::to_string(start.threads) +
                       " at the start), descriptors " + std::to_string(fds) + " (" +
                       std::to_string(start.fds) + "); threads now: " + allThreadNames());
        expectHeapBack(start, "at the end");
        _exit(0);
    }

    // The heap in use comes back to within kHeapSlackKb of the start.
    static void expectHeapBack(const Baseline& start, const char* when) {
        long heap = 0;
        FAULT_NEED(vtest::waitFor(
                       [&] {
                           heap = heapKb();
                           return heap <= start.heapKb + kHeapSlackKb;
                       },
                       20s),
                   "heap in use " + std::string(when) + " " + std::to_string(heap) + " kB (" +
                       std::to_string(start.heapKb) + " kB at the start)");
    }

    // Runs the row in a child and checks how it ended.
    void run(const Row& row) {
        EXPECT_EXIT(runRow(row), ::testing::ExitedWithCode(row.end == End::Fatal ? 1 : 0), "");
        if (row.end == End::Fatal) {
            env.expectLogInOrder({row.line, "usb_abort!"});
        } else {
            EXPECT_EQ(env.logCount("usb_abort!"), 0) << env.log();
            if (row.line) EXPECT_GE(env.logCount(row.line), 1) << env.log();
        }
    }
};

}  // namespace faults
}  // namespace vtest
