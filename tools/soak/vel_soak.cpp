// vel-soak: unplugs and re-plugs an emulated adapter many times while its desktop streams,
// through the whole service in-process (device manager, bring-up, monitor events, the EVDI
// stand-in with a drawing desktop, the frame pipeline), and reports what the process holds at the
// start and at the end (resident memory, threads, open descriptors) and how long each re-plug
// took to show the desktop again.
//
//   vel-soak --adapter 520|508 [--cycles N] [--settle SECONDS]
//
// SIGINT or SIGTERM ends the run after the cycle in progress, with the report of the cycles done.
//
// It runs on the test fixtures of the in-process service tests, as a test program with its own
// options. It fails when the process crashes, when a re-plug never shows the desktop, when a
// session is not cleaned up after its unplug, or when the thread or descriptor count has not
// come back to its start value within the settle wait at the end. Resident memory is reported,
// never judged: the allocator keeps freed pages as it sees fit. The heap in use (what malloc has
// handed out and not had back) is reported beside it, and is what shows a leak.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "desktopPainter.h"
#include "managerFixture.h"
#include "processUsage.h"
#include "service508.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    std::string adapter;
    int cycles = 1000;
    int settleSeconds = 60;
};
Options g_options;
// SIGINT or SIGTERM: the run ends after the cycle in progress and reports the cycles done.
volatile sig_atomic_t g_stop = 0;
void onStop(int) { g_stop = 1; }

// Re-plugs that show no desktop in this long count as never.
constexpr auto kShowBound = 30s;

struct Usage {
    long rssKb, heapKb, threads, fds;
};
Usage usageNow() {
    return {vtest::residentKb(), vtest::heapInUseKb(), vtest::threadCount(),
            vtest::openDescriptors()};
}
void printUsage(const char* what, const Usage& u) {
    std::printf("%-6s resident %ld kB, heap in use %ld kB, %ld threads, %ld open descriptors\n",
                what, u.rssKb, u.heapKb, u.threads, u.fds);
}

// The n-th smallest of `sorted` for the fraction q (nearest rank).
double rank(const std::vector<double>& sorted, double q) {
    size_t i = static_cast<size_t>(std::ceil(q * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size() - 1, i == 0 ? 0 : i - 1)];
}

// The cycles of one generation. `plug` plugs an adapter, waits until it shows the desktop and
// returns its bus id (0 on failure); `unplug` removes it and waits until its session is gone.
template <class Fixture>
void soak(Fixture& f) {
    std::printf("vel-soak: adapter %s, %d cycles\n", g_options.adapter.c_str(), g_options.cycles);
    vtest::DesktopPainter painter;
    // One cycle first: what the process keeps once for good (the log file, the encoder's
    // tables, pools) is made then, and the start values are taken after it.
    const Usage cold = usageNow();
    double ms = 0;
    int id = f.plug(&ms);
    ASSERT_GT(id, 0) << "the first plug never showed the desktop";
    ASSERT_NO_FATAL_FAILURE(f.unplug(id));
    std::this_thread::sleep_for(500ms);
    const Usage start = usageNow();
    printUsage("cold", cold);
    printUsage("start", start);
    std::fflush(stdout);

    std::vector<double> shown;
    shown.reserve(g_options.cycles);
    for (int cycle = 1; cycle <= g_options.cycles && !g_stop; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        id = f.plug(&ms);
        ASSERT_GT(id, 0) << "the re-plug never showed the desktop";
        shown.push_back(ms);
        ASSERT_NO_FATAL_FAILURE(f.unplug(id));
        if (cycle % 50 == 0) {
            char what[32];
            std::snprintf(what, sizeof what, "%d", cycle);
            printUsage(what, usageNow());
            std::fflush(stdout);
        }
    }
    painter.stop();
    if (g_stop)
        std::printf("stopped by a signal after %zu of %d cycles\n", shown.size(), g_options.cycles);
    // Detached threads leave on their own time: wait (generously) for the counts to come back.
    // The painter was running at the start and is not now.
    const auto settleFrom = Clock::now();
    const long threadsBack = start.threads - 1;
    vtest::waitFor(
        [&] {
            return vtest::threadCount() <= threadsBack && vtest::openDescriptors() <= start.fds;
        },
        std::chrono::seconds(g_options.settleSeconds));
    const Usage end = usageNow();
    const long settleMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - settleFrom).count();
    printUsage("end", end);
    std::printf("settled in %ld ms (painter thread stopped: threads compared with %ld)\n", settleMs,
                threadsBack);
    ASSERT_FALSE(shown.empty());
    std::sort(shown.begin(), shown.end());
    std::printf("re-plug to desktop, ms over %zu cycles: min %.1f median %.1f p99 %.1f max %.1f\n",
                shown.size(), shown.front(), rank(shown, 0.5), rank(shown, 0.99), shown.back());
    std::printf("resident memory change: %+ld kB, heap in use: %+ld kB\n", end.rssKb - start.rssKb,
                end.heapKb - start.heapKb);
    EXPECT_EQ(end.threads, threadsBack) << "threads not back to their start value";
    EXPECT_EQ(end.fds, start.fds) << "open descriptors not back to their start value";
    std::printf("crashes: none\n");
    std::fflush(stdout);
}

double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// The bus forgets the unplugged adapter, and its model must then be freed: nothing of the
// service still holds the adapter's libusb device. Without this the emulator would keep every
// model of the run, with what it recorded, and the memory figures would be its own.
template <class Model>
void release(emu::Bus& bus, int id, std::shared_ptr<Model>& model) {
    ASSERT_EQ(bus.forget(id), 0);
    std::weak_ptr<Model> gone = model;
    model.reset();
    ASSERT_TRUE(vtest::waitFor([&] { return gone.expired(); }, 15s))
        << "the unplugged adapter's device is still referenced";
}

struct Soak520 : vtest::ManagerTest {
    std::shared_ptr<emu::Model520> model;
    std::shared_ptr<VelDev> dev;

    void SetUp() override {
        emu::setEvdiLibVersion(1, 12, 0);
        emu::setAutoDesktop(true);
        ManagerTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(startManager());
    }
    void TearDown() override {
        dev.reset();
        ManagerTest::TearDown();
    }
    // The adapter comes first, its monitor once bring-up is done, as a monitor plugged into an
    // adapter already on the desk would.
    int plug(double* ms) {
        model = std::make_shared<emu::Model520>();
        const auto t0 = Clock::now();
        const int id = bus.plug(model, emu::adapterIdentity("520"));
        if (id <= 0) return 0;
        if (!vtest::waitFor(
                [&] {
                    dev = g_dev->findDev(0);
                    return dev && dev->initDone;
                },
                kShowBound)) {
            ADD_FAILURE() << "no bring-up: " << env.log();
            return 0;
        }
        model->plugMonitor(0, vtest::smallMonitor520());
        if (!vtest::waitFor([&] { return model->picture(0).framesShown > 0; }, kShowBound)) {
            ADD_FAILURE() << "no picture shown";
            return 0;
        }
        *ms = msSince(t0);
        // A few more frames, so that the unplug comes while frames stream.
        const uint64_t now = model->imagePackets(0);
        vtest::waitFor([&] { return model->imagePackets(0) >= now + 3; }, 10s);
        return id;
    }
    void unplug(int id) {
        std::weak_ptr<VelDev> session = dev;
        dev.reset();
        ASSERT_EQ(bus.unplug(id), 0);
        ASSERT_TRUE(vtest::waitFor([&] { return g_dev->deviceCount() == 0; }, 15s));
        ASSERT_TRUE(vtest::waitFor([&] { return session.expired(); }, 15s))
            << "the session was not freed";
        ASSERT_TRUE(vtest::waitFor([&] { return emu::openHandles().empty(); }, 15s));
        EXPECT_EQ(bus.status(id).openHandles, 0);
        EXPECT_TRUE(model->errors().empty()) << model->errors().front();
        ASSERT_NO_FATAL_FAILURE(release(bus, id, model));
    }
};

struct Soak508 : vtest::Service508 {
    void SetUp() override {
        Service508::SetUp();
        g_dev = std::make_unique<DevManager>();
        ASSERT_EQ(g_dev->registerUsb(), 0);
    }
    // The monitor is on the adapter when it is plugged in.
    int plug(double* ms) {
        model = std::make_shared<emu::Model508>();
        model->plugMonitor(0, monitor(1024, 768), false);
        const auto t0 = Clock::now();
        const int id = bus.plug(model, emu::adapterIdentity("508"));
        if (id <= 0) return 0;
        if (!vtest::waitFor(
                [&] {
                    dev = g_dev->findDev(0);
                    return dev && model->view(0).framesShown > 0;
                },
                kShowBound)) {
            ADD_FAILURE() << "no picture shown: " << refusals();
            return 0;
        }
        *ms = msSince(t0);
        const uint64_t now = model->view(0).images;
        vtest::waitFor([&] { return model->view(0).images >= now + 3; }, 10s);
        return id;
    }
    void unplug(int id) {
        std::weak_ptr<VelDev> session = dev;
        dev.reset();
        ASSERT_EQ(bus.unplug(id), 0);
        ASSERT_TRUE(vtest::waitFor([&] { return g_dev->deviceCount() == 0; }, 15s));
        ASSERT_TRUE(vtest::waitFor([&] { return session.expired(); }, 15s))
            << "the session was not freed";
        ASSERT_TRUE(vtest::waitFor([&] { return emu::openHandles().empty(); }, 15s));
        EXPECT_EQ(bus.status(id).openHandles, 0);
        EXPECT_TRUE(model->errors().empty()) << refusals();
        ASSERT_NO_FATAL_FAILURE(release(bus, id, model));
    }
};

TEST_F(Soak520, Cycles) { soak(*this); }
TEST_F(Soak508, Cycles) { soak(*this); }

int usage() {
    std::fprintf(stderr, "usage: vel-soak --adapter 520|508 [--cycles N] [--settle SECONDS]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--adapter" && v) {
            g_options.adapter = v;
            ++i;
        } else if (a == "--cycles" && v) {
            g_options.cycles = std::atoi(v);
            ++i;
        } else if (a == "--settle" && v) {
            g_options.settleSeconds = std::atoi(v);
            ++i;
        } else {
            return usage();
        }
    }
    if (g_options.cycles < 1 || g_options.settleSeconds < 1) return usage();
    if (g_options.adapter == "520")
        ::testing::GTEST_FLAG(filter) = "Soak520.*";
    else if (g_options.adapter == "508")
        ::testing::GTEST_FLAG(filter) = "Soak508.*";
    else
        return usage();
    struct sigaction sa = {};
    sa.sa_handler = onStop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    return RUN_ALL_TESTS();
}
