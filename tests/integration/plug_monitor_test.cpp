// Monitor plug-in and plug-out on a model-520 session without a USB device: a fake display class
// hands out corpus EDIDs and a mode list, the EVDI stand-in records what was opened and connected.
#include <gtest/gtest.h>
#include <semaphore.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <atomic>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <thread>
#include <mutex>
#include <string>
#include <vector>

#include "devmgr/DevManager.h"
#include "edid/velEdid.h"
#include "emulator/adapters/edidCorpus.h"
#include "edidDecode.h"
#include "emulator/evdi/evdiEmu.h"
#include "fakeDisplayClass.h"
#include "session/VelDev.h"
#include "session/plugMonitor.h"
#include "testSupport.h"

namespace {

using emu::edidCorpusBytes;
auto corpusEdid = edidCorpusBytes;

const char* kEdid256 = "cta3-1080p-dell-s2419h-5A2CDC31568E.bin";  // byte 126 = 1
const char* kEdid128 = "analog-noext-dell-e2011h-3E7E918BD230.bin";

// Answers the plug flow's display-class calls from configured values and records them.
class PlugDisplayClass : public vtest::FakeDisplayClass {
  public:
    int readMonitorEDID(int target, unsigned char* out, unsigned int* length) override {
        if (beforeEdid) beforeEdid(target);
        std::lock_guard<std::mutex> lk(m);
        edidTargets.push_back(target);
        if (edidResult != 0) return edidResult;
        const size_t n = std::min<size_t>(edid.size(), *length);
        std::copy(edid.begin(), edid.begin() + n, out);
        *length = reportedLength ? reportedLength : static_cast<unsigned int>(n);
        return 0;
    }
    int readModeList(unsigned char*, int target, int view) override {
        std::lock_guard<std::mutex> lk(m);
        modeListCalls.push_back({target, view});
        if (modeListResult != 0) return modeListResult;
        std::fill(std::begin(m_dev->modeList[view]), std::end(m_dev->modeList[view]),
                  CAPS_MODE_STRUCT{0, 0, 0, 0});
        for (size_t i = 0; i < modes.size() && i < VEL_CAPS_MODE_MAX; ++i) {
            m_dev->modeList[view][i] = modes[i];
        }
        return 0;
    }
    int setDisplayClassTopo(int source) override {
        std::lock_guard<std::mutex> lk(m);
        topoViews.push_back(source);
        return topoResult;
    }
    // Guarded by the fake's mutex `m`.
    std::vector<unsigned char> edid;
    unsigned int reportedLength = 0;  // 0: the bytes copied
    int edidResult = 0, modeListResult = 0, topoResult = 0;
    std::vector<CAPS_MODE_STRUCT> modes{{1920, 1080, 60, 32}, {1280, 720, 60, 32}};
    std::vector<int> edidTargets, topoViews;
    std::vector<std::pair<int, int>> modeListCalls;
    // Runs at the start of every EDID read, outside the lock (set before plugging).
    std::function<void(int target)> beforeEdid;
};

// A one-shot gate another thread waits at, with a generous bound.
struct Gate {
    std::promise<void> open;
    std::shared_future<void> opened = open.get_future().share();
    bool wait() const {
        return opened.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    }
};

using vtest::semValue;

class PlugMonitor : public ::testing::Test {
  protected:
    void SetUp() override {
        emu::setEvdiLibVersion(1, 12, 0);
        emu::setAutoDesktop(false);
        dev = std::make_shared<VelDev>(nullptr);
        dev->devKey = 0;
        dev->model = 0x520;
        dev->viewCount = 3;
        dev->openTimeReset();
        dc = std::make_shared<PlugDisplayClass>();
        dc->m_dev = dev.get();
        dc->edid = corpusEdid(kEdid256);
        ASSERT_EQ(dc->edid.size(), 256u);
        dev->displayClass = dc;
        handlesBefore = emu::openHandles().size();
    }
    void TearDown() override {
        std::vector<int> targets;
        for (const auto& e : dev->target2View) targets.push_back(e.first);
        for (int t : targets) dev->plugOutMonitor(t);
        EXPECT_EQ(emu::openHandles().size(), handlesBefore);
        dev.reset();
        emu::setEvdiLibVersion(1, 12, 0);
        emu::setAutoDesktop(true);
    }

    int logCount(const std::string& text) {
        int n = 0;
        for (const auto& l : env.logLines()) n += l.find(text) != std::string::npos;
        return n;
    }
    bool listening(int v) {
        std::lock_guard<std::mutex> lk(dev->evdiDispatchMutex);
        return dev->evdiListening[v];
    }
    // The EDID the desktop got for `monitor`, read by edid-decode: the same monitor (bytes 0 to 17:
    // header, maker, product, serial, week and year) with its size and blocks, every block's
    // checksum right, and no timing left that the mode list lacks.
    void expectRewrittenFor(const std::vector<unsigned char>& got,
                            const std::vector<unsigned char>& monitor) {
        ASSERT_EQ(got.size(), monitor.size());
        EXPECT_TRUE(std::equal(monitor.begin(), monitor.begin() + 18, got.begin()));
        EXPECT_EQ(got[126], monitor[126]);
        for (size_t b = 0; b < got.size() / 128; ++b) {
            EXPECT_EQ(got[b * 128], monitor[b * 128]) << "block " << b;
            EXPECT_EQ(got[b * 128 + 127], vtest::edidChecksumFor(&got[b * 128])) << "block " << b;
        }
        vtest::TempDir dir;
        const auto timings = vtest::edidDecodeTimings(vtest::runEdidDecode(dir.path(), got, "got"));
        ASSERT_FALSE(timings.empty());
        bool preferredKept = false;
        for (const auto& [w, h, hz] : timings) {
            const bool supported = std::any_of(dc->modes.begin(), dc->modes.end(), [&](auto& m) {
                return int(m.width) == w && int(m.height) == h && std::abs(hz - m.refresh) < 1.0;
            });
            EXPECT_TRUE(supported) << w << "x" << h << " " << hz << " Hz is not in the mode list";
            preferredKept = preferredKept || (w == 1920 && h == 1080);
        }
        EXPECT_TRUE(preferredKept);
    }
    // The view is fully shown: table, map, handle, epoll, flags, connect record.
    void expectShown(int v, int target) {
        EXPECT_EQ(dev->viewTable[v].first, v);
        EXPECT_EQ(dev->viewTable[v].second, target);
        ASSERT_TRUE(dev->target2View.count(target));
        EXPECT_EQ(dev->target2View[target], v);
        ASSERT_NE(dev->evdiHandle[v], nullptr);
        EXPECT_TRUE(dev->evdiOpened[v]);
        EXPECT_TRUE(dev->viewActive[v]);
        EXPECT_TRUE(listening(v));
        ASSERT_NE(dev->evdiUserData[v], nullptr);
        EXPECT_EQ(dev->evdiUserData[v]->first, 0);
        EXPECT_EQ(dev->evdiUserData[v]->second, v);
        EXPECT_EQ(dev->evdiBuffer[v].id, v);
        EXPECT_EQ(dev->evdiBuffer[v].width, 4096);
        EXPECT_EQ(dev->evdiBuffer[v].stride, 16384);
        EXPECT_EQ(semValue(&dev->frameFeedbackSemaphore[v]), 4);
        EXPECT_TRUE(emu::connectRecord(dev->evdiHandle[v]).connected);
    }
    void expectGone(int v) {
        EXPECT_EQ(dev->viewTable[v].first, -1);
        EXPECT_EQ(dev->evdiHandle[v], nullptr);
        EXPECT_FALSE(dev->evdiOpened[v]);
        EXPECT_FALSE(dev->viewActive[v]);
        EXPECT_FALSE(listening(v));
        EXPECT_EQ(dev->evdiUserData[v], nullptr);
        EXPECT_EQ(dev->evdiBuffer[v].buffer, nullptr);
        EXPECT_EQ(semValue(&dev->updateToken[v]), 1);
    }

    vtest::IsolatedEnv env;
    std::shared_ptr<VelDev> dev;
    std::shared_ptr<PlugDisplayClass> dc;
    size_t handlesBefore = 0;
};

TEST_F(PlugMonitor, OneMonitorGetsAConnectedDisplayWithTheRewrittenEdid) {
    ASSERT_EQ(dev->plugInMonitor(0x20, true), 0);
    expectShown(0, 0x20);
    EXPECT_EQ(dev->pluggedMonitors, 1);
    EXPECT_EQ(dev->frameIndex520[0], 0);
    EXPECT_FALSE(dev->dualView);

    const auto rec = emu::connectRecord(dev->evdiHandle[0]);
    EXPECT_EQ(rec.entry, "evdi_connect");
    EXPECT_EQ(rec.length, 256u);  // byte 126 = 1
    EXPECT_EQ(rec.areaLimit, 8294400u);
    EXPECT_EQ(rec.rateLimit, 530841600u);
    expectRewrittenFor(rec.edid, corpusEdid(kEdid256));
    EXPECT_NE(rec.edid, corpusEdid(kEdid256));  // the rewrite did change something
    const auto st = emu::stats(dev->evdiHandle[0]);
    EXPECT_EQ(st.openEntry, "evdi_open_attached_to");
    EXPECT_TRUE(st.cursorEvents);
    EXPECT_EQ(st.registers, 1);
    EXPECT_FALSE(dev->bufferRegistered[0]);  // not until the first mode change
    EXPECT_EQ(dc->get(dc->modeListCalls), (std::vector<std::pair<int, int>>{{0x20, 0}}));
    EXPECT_EQ(logCount("Plug in [0]device, [0] monitor!target[0x20]"), 1);
    EXPECT_EQ(logCount("EVDI version above 1.12"), 1);
    EXPECT_EQ(logCount("Monitor max mode size is = 8294400 ,  pixel_per_second_limit = 530841600"),
              1);

    ASSERT_EQ(dev->plugOutMonitor(0x20), 0);
    expectGone(0);
    EXPECT_TRUE(dev->target2View.empty());
    EXPECT_EQ(dev->pluggedMonitors, 0);
    EXPECT_EQ(dc->get(dc->topoViews), std::vector<int>{0});
    EXPECT_EQ(emu::openHandles().size(), handlesBefore);
    EXPECT_EQ(logCount("Plug out targetID=[0x20] monitor!"), 1);
    EXPECT_EQ(logCount("There isn't any view, remove sem_catchrect."), 1);
    EXPECT_EQ(logCount("plugOutMonitor[0] end"), 1);
}

TEST_F(PlugMonitor, ThreeMonitorsInAnyOrderReuseTheLowestFreeView) {
    ASSERT_EQ(dev->plugInMonitor(0x20, false), 0);
    ASSERT_EQ(dev->plugInMonitor(0x21, false), 0);
    ASSERT_EQ(dev->plugInMonitor(0x22, false), 0);
    expectShown(0, 0x20);
    expectShown(1, 0x21);
    expectShown(2, 0x22);
    EXPECT_EQ(emu::openHandles().size(), handlesBefore + 3);
    EXPECT_TRUE(dev->dualView);
    EXPECT_EQ(logCount("It's DualView Output"), 3);

    // Views 0 and 2 taken: the next monitor gets view 1.
    ASSERT_EQ(dev->plugOutMonitor(0x21), 0);
    expectGone(1);
    EXPECT_TRUE(listening(0));
    EXPECT_TRUE(listening(2));
    ASSERT_EQ(dev->plugInMonitor(0x33, true), 0);
    expectShown(1, 0x33);

    // Two free: view 0 before view 2.
    ASSERT_EQ(dev->plugOutMonitor(0x22), 0);
    ASSERT_EQ(dev->plugOutMonitor(0x20), 0);
    expectGone(0);
    expectGone(2);
    ASSERT_EQ(dev->plugInMonitor(0x34, true), 0);
    expectShown(0, 0x34);
    ASSERT_EQ(dev->plugInMonitor(0x45, true), 0);
    expectShown(2, 0x45);
    EXPECT_EQ(dev->pluggedMonitors, 3);

    ASSERT_EQ(dev->plugOutMonitor(0x33), 0);
    ASSERT_EQ(dev->plugOutMonitor(0x45), 0);
    ASSERT_EQ(dev->plugOutMonitor(0x34), 0);
    for (int v = 0; v < 3; ++v) expectGone(v);
    EXPECT_EQ(dev->pluggedMonitors, 0);
    EXPECT_EQ(emu::openHandles().size(), handlesBefore);
    EXPECT_EQ(dc->get(dc->topoViews), (std::vector<int>{1, 2, 0, 1, 2, 0}));
}

TEST_F(PlugMonitor, RepeatsAndPendingMonitorsOnlyCount) {
    ASSERT_EQ(dev->plugInMonitor(0x20, true), 0);
    ASSERT_EQ(dev->plugInMonitor(0x20, true), 0);
    EXPECT_EQ(logCount("The monitor aready plugin, targetID = 32"), 1);
    EXPECT_EQ(dev->pluggedMonitors, 1);
    EXPECT_EQ(emu::openHandles().size(), handlesBefore + 1);

    ASSERT_EQ(dev->plugInMonitor(0x21, true), 0);
    ASSERT_EQ(dev->plugInMonitor(0x22, true), 0);
    // All views taken: a fourth monitor waits without a view.
    ASSERT_EQ(dev->plugInMonitor(0x33, true), 0);
    EXPECT_EQ(dev->pluggedMonitors, 4);
    EXPECT_EQ(dev->pendingTarget, 0x33);
    EXPECT_EQ(emu::openHandles().size(), handlesBefore + 3);
    // A shown monitor reported again while all views are taken is not counted twice.
    ASSERT_EQ(dev->plugInMonitor(0x21, true), 0);
    EXPECT_EQ(dev->pluggedMonitors, 4);

    ASSERT_EQ(dev->plugOutMonitor(0x33), 0);
    EXPECT_EQ(dev->pluggedMonitors, 3);
    EXPECT_EQ(dev->target2View.size(), 3u);
    EXPECT_TRUE(dc->get(dc->topoViews).empty());
    // A target that was never reported changes nothing.
    ASSERT_EQ(dev->plugOutMonitor(0x45), 0);
    EXPECT_EQ(dev->pluggedMonitors, 3);
    EXPECT_EQ(emu::openHandles().size(), handlesBefore + 3);
}

struct VersionCase {
    int major, minor, patch;
    const char* openEntry;
    const char* connectEntry;
    uint32_t area, rate;  // as the library read them
    const char* logLine;  // null: none of the three version lines
};

class PlugMonitorVersion : public PlugMonitor, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(PlugMonitorVersion, OpenAndConnectFollowTheLibrary) {
    const VersionCase& c = GetParam();
    emu::setEvdiLibVersion(c.major, c.minor, c.patch);
    ASSERT_EQ(dev->plugInMonitor(0x20, true), 0);
    const auto st = emu::stats(dev->evdiHandle[0]);
    const auto rec = emu::connectRecord(dev->evdiHandle[0]);
    EXPECT_EQ(st.openEntry, c.openEntry);
    EXPECT_EQ(rec.entry, c.connectEntry);
    EXPECT_EQ(rec.length, 256u);
    EXPECT_EQ(rec.areaLimit, c.area);
    EXPECT_EQ(rec.rateLimit, c.rate);
    const int lines = logCount("EVDI version is 1.11") + logCount("EVDI version above 1.12") +
                      logCount("EVDI version above 1.14");
    if (c.logLine) {
        EXPECT_EQ(logCount(c.logLine), 1);
        EXPECT_EQ(lines, 1);
    } else {
        EXPECT_EQ(lines, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Versions, PlugMonitorVersion,
    ::testing::Values(VersionCase{1, 11, 0, "evdi_open_attached_to", "evdi_connect", 0, 530841600,
                                  "EVDI version is 1.11"},
                      VersionCase{1, 13, 2, "evdi_open_attached_to", "evdi_connect", 8294400,
                                  530841600, "EVDI version above 1.12"},
                      VersionCase{1, 14, 0, "evdi_open_attached_to", "evdi_connect2", 8294400,
                                  530841600, "EVDI version above 1.14"},
                      VersionCase{1, 14, 4, "evdi_open_attached_to_fixed", "evdi_connect2", 8294400,
                                  530841600, "EVDI version above 1.14"},
                      VersionCase{1, 10, 0, "evdi_open_attached_to", "evdi_connect", 8294400, 0,
                                  nullptr}));

TEST_F(PlugMonitor, EdidLengthIsBoundedByWhatWasReceived) {
    // 128 bytes whose byte 126 claims one extension: one block, made consistent.
    auto base = corpusEdid(kEdid256);
    base.resize(128);
    dc->edid = base;
    ASSERT_EQ(dev->plugInMonitor(0x20, true), 0);
    auto rec = emu::connectRecord(dev->evdiHandle[0]);
    EXPECT_EQ(rec.length, 128u);
    ASSERT_EQ(rec.edid.size(), 128u);
    EXPECT_EQ(rec.edid[126], 0);
    EXPECT_EQ(rec.edid[127], vtest::edidChecksumFor(rec.edid.data()));
    EXPECT_EQ(logCount("[warning] EDID claims 2 blocks, 128 bytes received"), 1);

    // A class that reports more than the buffer holds, and one that sends a short base block.
    dc->edid = corpusEdid(kEdid128);
    dc->reportedLength = 0xFFFFFFFFu;
    ASSERT_EQ(dev->plugInMonitor(0x21, true), 0);
    EXPECT_EQ(emu::connectRecord(dev->evdiHandle[1]).length, 128u);
    dc->reportedLength = 0;
    dc->edid.resize(100);
    ASSERT_EQ(dev->plugInMonitor(0x22, true), 0);
    rec = emu::connectRecord(dev->evdiHandle[2]);
    EXPECT_EQ(rec.length, 128u);
    ASSERT_EQ(rec.edid.size(), 128u);
}

TEST_F(PlugMonitor, ModeListFailureKeepsTheMonitorsEdid) {
    dc->modeListResult = 1;
    ASSERT_EQ(dev->plugInMonitor(0x20, true), 0);
    EXPECT_EQ(emu::connectRecord(dev->evdiHandle[0]).edid, corpusEdid(kEdid256));
    EXPECT_EQ(logCount("Get firmware mode list failed!"), 1);
}

TEST_F(PlugMonitor, FailedPlugInGivesEverythingBack) {
    // EDID read failure without a manager: an error instead of the fatal exit.
    dc->edidResult = 40;
    EXPECT_EQ(dev->plugInMonitor(0x20, true), -1);
    EXPECT_EQ(logCount("USB connect failed!"), 1);
    expectGone(0);
    EXPECT_TRUE(dev->target2View.empty());
    EXPECT_EQ(dev->pluggedMonitors, 0);
    EXPECT_EQ(emu::openHandles().size(), handlesBefore);

    // EVDI open failure.
    dc->edidResult = 0;
    emu::failNextOpen();
    EXPECT_EQ(dev->plugInMonitor(0x20, true), -1);
    expectGone(0);
    EXPECT_TRUE(dev->target2View.empty());
    EXPECT_EQ(emu::openHandles().size(), handlesBefore);

    // A model of neither generation is not served.
    dev->model = 0x999;
    EXPECT_EQ(dev->plugInMonitor(0x20, true), -1);
    EXPECT_EQ(dev->plugOutMonitor(0x20), -1);
    dev->model = 0x520;

    // The view is usable afterwards.
    ASSERT_EQ(dev->plugInMonitor(0x20, true), 0);
    expectShown(0, 0x20);
}

TEST_F(PlugMonitor, FailedTopologyUpdateStillRemovesTheView) {
    ASSERT_EQ(dev->plugInMonitor(0x20, true), 0);
    dc->topoResult = 1;
    EXPECT_EQ(dev->plugOutMonitor(0x20), -1);
    expectGone(0);
    EXPECT_TRUE(dev->target2View.empty());
    EXPECT_EQ(emu::openHandles().size(), handlesBefore);
}

TEST_F(PlugMonitor, UnplugDropsTheViewsQueuedGrab) {
    ASSERT_EQ(dev->plugInMonitor(0x20, true), 0);
    ASSERT_EQ(dev->plugInMonitor(0x21, true), 0);
    // A grab of view 0 waits for conversion and holds the view's update token.
    sem_trywait(&dev->updateToken[0]);
    dev->rectQueue[0].push(evdi_rect{0, 0, 16, 16});
    ASSERT_EQ(dev->plugOutMonitor(0x20), 0);
    expectGone(0);  // token back to one, area freed
    EXPECT_TRUE(dev->rectQueue[0].empty());
    expectShown(1, 0x21);
}

TEST_F(PlugMonitor, PendingMonitorsTakeFreedViewsInArrivalOrder) {
    for (int t : {0x20, 0x21, 0x22}) ASSERT_EQ(dev->plugInMonitor(t, false), 0);
    ASSERT_EQ(dev->plugInMonitor(0x33, false), 0);
    ASSERT_EQ(dev->plugInMonitor(0x34, false), 0);
    ASSERT_EQ(dev->plugInMonitor(0x33, false), 0);  // a waiting monitor reported again
    EXPECT_EQ(dev->pluggedMonitors, 5);
    EXPECT_EQ(dev->pendingTarget, 0x33);
    EXPECT_EQ(emu::openHandles().size(), handlesBefore + 3);

    // A view frees: the monitor that has waited longest is shown on it.
    ASSERT_EQ(dev->plugOutMonitor(0x21), 0);
    expectShown(1, 0x33);
    EXPECT_EQ(dev->pendingTarget, 0x34);
    EXPECT_EQ(dev->pluggedMonitors, 4);
    EXPECT_EQ(logCount("[info] pending monitor target 0x33 takes the freed view 1"), 1);

    // The other one leaves while it waits: only its count goes.
    ASSERT_EQ(dev->plugOutMonitor(0x34), 0);
    EXPECT_EQ(dev->pendingTarget, 0);
    EXPECT_EQ(dev->pluggedMonitors, 3);
    EXPECT_EQ(emu::openHandles().size(), handlesBefore + 3);

    // A waiting monitor that cannot be shown on the freed view leaves it to the next one.
    ASSERT_EQ(dev->plugInMonitor(0x45, false), 0);
    dc->edidResult = 40;
    ASSERT_EQ(dev->plugOutMonitor(0x22), 0);
    expectGone(2);
    EXPECT_EQ(dev->pendingTarget, 0);
    EXPECT_EQ(dev->pluggedMonitors, 2);
    dc->edidResult = 0;
    ASSERT_EQ(dev->plugInMonitor(0x16, false), 0);
    expectShown(2, 0x16);
    EXPECT_EQ(dev->pluggedMonitors, 3);
}

// The device clean-up runs on the manager's thread while a hot-plug worker may be inside a plug
// call: the two must not work on the same view at once.
class PlugCleanUp : public PlugMonitor {
  protected:
    // Runs cleanDevice on a thread of its own; `cleaned` is set when it has returned.
    void startCleanUp() {
        cleaner = std::thread([this] {
            DevManager manager;
            manager.cleanDevice(dev);
            cleaned = true;
        });
    }
    void TearDown() override {
        if (cleaner.joinable()) cleaner.join();
        PlugMonitor::TearDown();
    }
    std::thread cleaner;
    std::atomic<bool> cleaned{false};
};

TEST_F(PlugCleanUp, WaitsForAPlugInInProgressAndRefusesLaterOnes) {
    ASSERT_EQ(dev->plugInMonitor(0x20, true), 0);
    Gate edidAnswer;
    std::promise<void> reading;
    dc->beforeEdid = [&](int) {
        reading.set_value();
        edidAnswer.wait();
    };
    std::atomic<int> plugResult{1};
    std::thread worker([&] { plugResult = dev->plugInMonitor(0x21, true); });
    ASSERT_EQ(reading.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);

    startCleanUp();
    // The plug-in of 0x21 still waits for its EDID: the clean-up must not take the views now.
    EXPECT_FALSE(vtest::waitFor([&] { return cleaned.load(); }, std::chrono::seconds(2)));
    EXPECT_EQ(logCount("Disconnect [0] device success!!!"), 0);
    edidAnswer.open.set_value();
    worker.join();
    ASSERT_TRUE(vtest::waitFor([&] { return cleaned.load(); }, std::chrono::seconds(20)));
    cleaner.join();

    // The plug-in finished first (nothing told it the session was leaving), then the clean-up
    // closed both views.
    EXPECT_EQ(plugResult, 0);
    env.expectLogInOrder({"Plug in [0]device, [1] monitor!target[0x21]", "cleanDevice!",
                          "Monitor max mode size is", "Disconnect [0] device success!!!"});
    for (int v = 0; v < 3; ++v) expectGone(v);
    EXPECT_TRUE(dev->target2View.empty());
    EXPECT_EQ(dev->pluggedMonitors, 0);
    EXPECT_EQ(emu::openHandles().size(), handlesBefore);

    // A plug call that comes after the clean-up does nothing.
    dc->beforeEdid = nullptr;
    EXPECT_EQ(dev->plugInMonitor(0x22, true), -1);
    EXPECT_EQ(
        logCount("[info] plugInMonitor: target 0x22 not plugged in, the session is going away"), 1);
    EXPECT_EQ(dev->plugOutMonitor(0x20), 0);
    EXPECT_EQ(emu::openHandles().size(), handlesBefore);
    EXPECT_TRUE(dev->target2View.empty());
}

TEST_F(PlugCleanUp, FreesTheViewsAreasOnlyAfterTheirFrames) {
    ASSERT_EQ(dev->plugInMonitor(0x20, true), 0);
    // A frame of view 0 (as a converter or the light-mode encoder) still reads its pixels.
    Gate frameDone;
    std::atomic<bool> areaKept{false}, frameEnded{false};
    auto* pixels = static_cast<unsigned char*>(dev->evdiBuffer[0].buffer);
    ASSERT_NE(pixels, nullptr);
    ASSERT_TRUE(dev->startFrameThread("rgb2Yuv520", 0, [&] {
        frameDone.wait();
        std::lock_guard<std::mutex> lk(dev->evdiGrabMutex[0]);
        areaKept = dev->evdiBuffer[0].buffer == pixels;
        frameEnded = true;
    }));
    startCleanUp();
    EXPECT_FALSE(vtest::waitFor([&] { return cleaned.load(); }, std::chrono::seconds(1)));
    frameDone.open.set_value();
    ASSERT_TRUE(vtest::waitFor([&] { return cleaned.load(); }, std::chrono::seconds(20)));
    EXPECT_TRUE(frameEnded);
    EXPECT_TRUE(areaKept);  // the area was still the view's when the frame ended
    expectGone(0);
}

// A monitor plugged in while other views stream: only its own stale packets leave the shared
// send queue; the others' packets stay, in order (and with them their credits).
// A view plugged again numbers its frames from 1: the first frame of the new monitor is not
// "overtaken" by the frames the previous monitor of the view was sent, and it has four credits.
TEST_F(PlugMonitor, ReplugStartsTheViewsFrameOrderAfresh) {
    ASSERT_EQ(dev->plugInMonitor(0x20, true), 0);
    auto packet = [](int view, int32_t index) {
        _evdi_send p;
        p.view = view;
        p.frameIndex = index;
        p.length = 64;
        p.buffer = static_cast<unsigned char*>(malloc(64));
        return p;
    };
    for (int32_t i = 1; i <= 40; ++i) ASSERT_TRUE(dev->queueFrame520(packet(0, i)));
    ASSERT_EQ(dev->plugOutMonitor(0x20), 0);
    ASSERT_EQ(dev->plugInMonitor(0x21, true), 0);
    ASSERT_EQ(dev->target2View.at(0x21), 0);
    EXPECT_TRUE(dev->queueFrame520(packet(0, 1)));
    EXPECT_EQ(semValue(&dev->frameFeedbackSemaphore[0]), 4);
}

TEST(PlugDropViewPackets, OnlyThePluggedViewsPacketsGo) {
    threadsafe_queue<_evdi_send> queue;
    for (int view : {0, 1, 2, 1, 0}) {
        _evdi_send p;
        p.view = view;
        p.buffer = static_cast<unsigned char*>(malloc(32));
        queue.push(p);
    }
    EXPECT_EQ(velPlugDropViewPackets(queue, 1), 2);
    EXPECT_EQ(velPlugDropViewPackets(queue, 1), 0);
    std::vector<int> left;
    while (auto p = queue.trypop()) {
        left.push_back(p->view);
        free(p->buffer);
    }
    EXPECT_EQ(left, (std::vector<int>{0, 2, 0}));
}

TEST(PlugDrainSendQueue, OtherViewsGetTheirCreditsBack) {
    threadsafe_queue<_evdi_send> queue;
    sem_t credits[VEL_MAX_VIEWS];
    for (auto& c : credits) sem_init(&c, 0, 2);
    for (int view : {0, 1, 0, 2, 7, -1}) {
        _evdi_send p;
        p.view = view;
        p.buffer = static_cast<unsigned char*>(malloc(32));
        queue.push(p);
    }
    auto give = [&credits](int view) { sem_post(&credits[view]); };
    EXPECT_EQ(velPlugDrainSendQueue(queue, give, 0), 6);
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(semValue(&credits[0]), 2);  // the unplugged view's own credits are reset at plug-in
    EXPECT_EQ(semValue(&credits[1]), 3);
    EXPECT_EQ(semValue(&credits[2]), 3);
    EXPECT_EQ(velPlugDrainSendQueue(queue, nullptr, 0), 0);
    for (auto& c : credits) sem_destroy(&c);
}

TEST_F(PlugMonitor, EventsFlowUntilUnplug) {
    emu::setAutoDesktop(true);
    dc->edid = emu::makeEdid(1280, 720, 60);
    dc->modes = {{1280, 720, 60, 32}};
    ASSERT_EQ(dev->plugInMonitor(0x20, true), 0);
    evdi_handle h = dev->evdiHandle[0];
    // The desktop's mode change reaches the mode handler through the epoll thread.
    ASSERT_TRUE(vtest::waitFor([&] { return !dc->get(dc->modeViews).empty(); }));
    EXPECT_EQ(dc->get(dc->modeViews).front(), 0);
    ASSERT_TRUE(vtest::waitFor([&] { return dev->bufferRegistered[0].load(); }));
    emu::desktopStep(h, 3);
    ASSERT_EQ(dev->plugOutMonitor(0x20), 0);
    expectGone(0);
    EXPECT_EQ(emu::openHandles().size(), handlesBefore);
}

TEST(PlugLimits, Table) {
    auto eq = [](_VEL_EVDI_LIMITS_ l, uint32_t a, uint32_t r) {
        return l.maxArea == a && l.pixelsPerSecond == r;
    };
    EXPECT_TRUE(eq(velPlugLimits(0x508, false, false), 8294400, 248832000));
    EXPECT_TRUE(eq(velPlugLimits(0x500, false, true), 8294400, 248832000));
    EXPECT_TRUE(eq(velPlugLimits(0x508, true, false), 2073600, 530841600));
    EXPECT_TRUE(eq(velPlugLimits(0x500, true, true), 2304000, 530841600));
    EXPECT_TRUE(eq(velPlugLimits(0x520, true, true), 8294400, 530841600));
    EXPECT_TRUE(eq(velPlugLimits(0x520, false, false), 8294400, 530841600));
    EXPECT_TRUE(eq(velPlugLimits(0x505, false, false), 3686400, 530841600));
}

TEST(PlugEdidLength, ClaimsAndReceivedBytes) {
    std::vector<unsigned char> buf(1024, 0);
    buf[126] = 1;
    EXPECT_EQ(velPlugEdidLength(buf.data(), buf.size(), 256), 256u);
    EXPECT_EQ(velPlugEdidLength(buf.data(), buf.size(), 1024), 256u);
    EXPECT_EQ(buf[126], 1);
    buf[126] = 7;  // claims 1024 bytes, 384 arrived
    EXPECT_EQ(velPlugEdidLength(buf.data(), buf.size(), 384), 384u);
    EXPECT_EQ(buf[126], 2);
    buf[126] = 255;  // more than the buffer: the buffer bounds it
    EXPECT_EQ(velPlugEdidLength(buf.data(), buf.size(), 5000), 1024u);
    EXPECT_EQ(velPlugEdidLength(buf.data(), 100, 100), 0u);
    EXPECT_EQ(velPlugEdidLength(nullptr, 1024, 1024), 0u);
}

TEST(CheckMonitorNum, ChoosesAtMostTwoOutputs) {
    struct Case {
        unsigned bits;
        std::vector<int> expected;
    };
    const Case cases[] = {{0x00, {}},     {0x01, {1}},    {0x02, {2}},    {0x0A, {2, 8}},
                          {0x05, {1, 4}}, {0x0F, {4, 8}}, {0x0B, {1, 8}}, {0x07, {1, 4}},
                          {0x0E, {4, 8}}, {0xF0, {}},     {0x1F3, {1, 2}}};
    for (const auto& c : cases) {
        int targets[2] = {-1, -1};
        const int n = check_monitor_num(c.bits, targets);
        ASSERT_EQ(n, static_cast<int>(c.expected.size())) << std::hex << c.bits;
        for (int i = 0; i < n; ++i) EXPECT_EQ(targets[i], c.expected[i]) << std::hex << c.bits;
    }
    EXPECT_EQ(check_monitor_num(0x0F, nullptr), 0);
}

TEST(CheckViewStatus, ReadsTheConnectorState) {
    vtest::IsolatedEnv env;
    vtest::TempDir sysfs;
    setenv("VEL_DRM_SYSFS_DIR", sysfs.path().c_str(), 1);
    auto write = [&](int card, const std::string& text) {
        const std::string dir =
            sysfs.file("card" + std::to_string(card) + "-DVI-I-" + std::to_string(card));
        mkdir(dir.c_str(), 0755);
        std::ofstream(dir + "/enabled") << text;
    };
    write(1, "enabled\n");
    write(2, "disabled\n");
    write(3, "");
    EXPECT_EQ(CheckViewStatus(1), 0);
    EXPECT_EQ(CheckViewStatus(2), -1);
    EXPECT_EQ(CheckViewStatus(3), -1);
    EXPECT_EQ(CheckViewStatus(4), -1);
    // The wait for a dropped connector ends: at once for a gone one, after its bound for one
    // that stays enabled.
    EXPECT_TRUE(velWaitViewGone(2, 3, 1));
    EXPECT_FALSE(velWaitViewGone(1, 3, 1));
    unsetenv("VEL_DRM_SYSFS_DIR");
    EXPECT_EQ(env.logCount("[warning] EVDI card 1 still enabled after its close"), 1);
    const std::string log = env.log();
    EXPECT_NE(log.find("read " + sysfs.path() + "/card3-DVI-I-3/enabled content error"),
              std::string::npos);
    EXPECT_NE(log.find("fopen " + sysfs.path() + "/card4-DVI-I-4/enabled failed"),
              std::string::npos);
}

TEST(EvdiCardIndex, NonDrmDescriptorsHaveNone) {
    EXPECT_EQ(velEvdiCardIndex(EVDI_INVALID_HANDLE), -1);
    evdi_handle h = emu::openDisplay(emu::makeEdid(1280, 720, 60), 8294400, 530841600);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(velEvdiCardIndex(h), -1);  // the stand-in's descriptor is an eventfd
    evdi_disconnect(h);
    evdi_close(h);
}

}  // namespace
