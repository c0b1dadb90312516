// Model-520 display devices and mode set against the emulated adapter: monitor set-up (display
// device, binding, EDID and mode list with their bounds), the mode set's command order and the
// adapter state it leaves, tear-down, lookups, and the fatal path of a mode set without a
// display device.
#include <algorithm>
#include <functional>

#include "session520.h"

using namespace std::chrono_literals;
using namespace m520test;

namespace {

struct Monitor520 : Session520 {
    std::vector<unsigned char> edid = std::vector<unsigned char>(32768, 0);
    unsigned int length = 0;
    int setUp(uint16_t target) {
        length = static_cast<unsigned int>(edid.size());
        return dc->readMonitorEDID(target, edid.data(), &length);
    }
    const CAPS_MODE_STRUCT& mode(int view, int i) { return dev->modeList[view][i]; }
};

}  // namespace

TEST_F(Monitor520, SetUpBindsTheDeviceChosenIdAndKeepsTheFirstBlock) {
    model->setCreateFromTop(true);  // ids are the adapter's to choose: 2 first
    model->plugMonitor(1, monitor(0x21), false);
    ASSERT_EQ(setUp(0x21), 0);
    EXPECT_EQ(length, 256u);
    const auto want = emu::Model520::corpusEdid(kEdid256);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), edid.begin()));
    EXPECT_EQ(deviceOf(0x21), 2);
    EXPECT_EQ(dc->findDeviceIdByTargetId(0x21), 2);
    EXPECT_EQ(model->displayDevice(2).monitor, 0x21);
    {
        auto lk = dc->lockMaps();
        ASSERT_EQ(dc->target2EDIDMap.count(0x21), 1u);
        EXPECT_TRUE(std::equal(want.begin(), want.begin() + 128, dc->target2EDIDMap[0x21].begin()));
    }
    // A second set-up of a known target keeps the old block.
    model->setMonitorEdid(1, emu::Model520::corpusEdid(kEdid128));
    EXPECT_EQ(setUp(0x21), 1);
    EXPECT_EQ(count("[error] - VelDisplay520Class::readMonitorEDID: EDID already exists for "
                    "targetId 0x21 -"),
              1);
    auto lk = dc->lockMaps();
    EXPECT_TRUE(std::equal(want.begin(), want.begin() + 128, dc->target2EDIDMap[0x21].begin()));
}

TEST_F(Monitor520, EdidBoundsAndFailures) {
    auto m = monitor(0x20);
    m.edid.resize(100);  // shorter than one block
    model->plugMonitor(0, m, false);
    ASSERT_EQ(setUp(0x20), 0);
    EXPECT_EQ(length, 100u);
    {
        auto lk = dc->lockMaps();
        const auto& block = dc->target2EDIDMap[0x20];
        EXPECT_TRUE(std::equal(m.edid.begin(), m.edid.end(), block.begin()));
        EXPECT_TRUE(std::all_of(block.begin() + 100, block.end(), [](uint8_t b) { return !b; }));
    }
    // Room for fewer bytes than the EDID: only the room is written.
    model->plugMonitor(1, monitor(0x21), false);
    std::vector<unsigned char> small(130, 0xAB);
    unsigned int room = 128;
    ASSERT_EQ(dc->readMonitorEDID(0x21, small.data(), &room), 0);
    EXPECT_EQ(room, 128u);
    EXPECT_EQ(small[128], 0xAB);

    // No monitor behind the display device: flagged answer, nothing remembered.
    EXPECT_EQ(setUp(0x22), 40);
    EXPECT_EQ(count("[error]- EDID get Failed, VelDisplay520Class::readMonitorEDID Ret=40 -"), 1);
    // The adapter has three display devices: give the last one back.
    ASSERT_EQ(dc->deleteDisplayDevice(static_cast<unsigned short>(deviceOf(0x22))), 0);
    model->plugMonitor(2, monitor(0x33), false);
    model->setAnswer(0, 0, emu::AnswerMode::Wrong, 0ms, 1);
    EXPECT_EQ(setUp(0x33), 40);
    EXPECT_EQ(count("[error]- TYPE Mismatch, VelDisplay520Class::readMonitorEDID Ret=40"), 1);
    // A refused monitor binding: no query of another display device.
    model->clearReceived();
    model->setAnswer(1, 58, emu::AnswerMode::ErrorFlag, 0ms, 1);
    ASSERT_EQ(dc->deleteDisplayDevice(static_cast<unsigned short>(deviceOf(0x33))), 0);
    EXPECT_EQ(setUp(0x34), 40);
    EXPECT_TRUE(model->received(0, 0).empty());
    EXPECT_EQ(model->received(1, 52).size(), 2u);  // the created one was given back
    EXPECT_FALSE(model->displayDevice(2).exists);
    auto lk = dc->lockMaps();
    EXPECT_EQ(dc->target2EDIDMap.count(0x22), 0u);
    EXPECT_EQ(dc->target2EDIDMap.count(0x33), 0u);
}

TEST_F(Monitor520, ModeListEntriesAndBounds) {
    auto m = monitor(0x21);
    m.modeList = modeList(2);
    m.modeList.resize(20, 0x77);  // 20 bytes: two entries and 6 bytes of nothing
    model->plugMonitor(1, m, false);
    ASSERT_EQ(setUp(0x21), 0);
    ASSERT_EQ(dc->readModeList(nullptr, 0x21, 1), 0);
    EXPECT_EQ(mode(1, 0).width, 640u);
    EXPECT_EQ(mode(1, 0).height, 480u);
    EXPECT_EQ(mode(1, 0).refresh, 60u);
    EXPECT_EQ(mode(1, 0).bpp, 32u);
    EXPECT_EQ(mode(1, 1).width, 656u);
    EXPECT_EQ(mode(1, 2).width, 0u);
    EXPECT_EQ(count("devId[0] FW GetModeList w=656 h=488 bpp=32 whz=60"), 1);

    // 70 entries: the table keeps 64.
    m.modeList = modeList(70);
    model->plugMonitor(1, m, false);
    ASSERT_EQ(dc->readModeList(nullptr, 0x21, 1), 0);
    EXPECT_EQ(mode(1, 63).width, 640u + 16 * 63);
    EXPECT_EQ(count("FW GetModeList"), 2 + 64);

    // 6 bytes: no entry, and nothing of the earlier list survives.
    m.modeList.assign(6, 0x55);
    model->plugMonitor(1, m, false);
    ASSERT_EQ(dc->readModeList(nullptr, 0x21, 1), 0);
    EXPECT_EQ(mode(1, 0).width, 0u);
    EXPECT_EQ(mode(1, 63).width, 0u);

    // Longer than the host takes (5120 bytes): bounded, still 64.
    m.modeList = modeList(1000);
    model->plugMonitor(1, m, false);
    ASSERT_EQ(dc->readModeList(nullptr, 0x21, 1), 0);
    EXPECT_EQ(mode(1, 63).width, 640u + 16 * 63);

    // No list: 38, an empty table, so the caller keeps the monitor's own EDID.
    model->setAnswer(0, 4, emu::AnswerMode::ErrorFlag, 0ms, 1);
    EXPECT_EQ(dc->readModeList(nullptr, 0x21, 1), 38);
    EXPECT_EQ(mode(1, 0).width, 0u);
    EXPECT_EQ(dc->readModeList(nullptr, 0x21, 7), 38);  // no such view
}

TEST_F(Monitor520, SetModeThenTearDown) {
    model->plugMonitor(1, monitor(0x21), false);
    ASSERT_EQ(setUp(0x21), 0);
    const int dd = deviceOf(0x21);
    ASSERT_EQ(dd, 0);
    dev->viewTable[1] = {1, 0x21};
    dev->evdiBuffer[1].width = 1920;
    dev->evdiBuffer[1].height = 1080;
    dev->refreshRate[1] = 60;
    model->clearReceived();

    ASSERT_EQ(dc->setMode(1), 0);
    // Frame-index reset, source bind, mode, layer, then the overlay cycle.
    const std::vector<int> want = {19, 60, 0, 27, 26, 26, 26};
    EXPECT_EQ(controlTypes(), want);
    auto d = model->displayDevice(dd);
    EXPECT_EQ(d.source, 1);
    EXPECT_EQ(d.width, 1920);
    EXPECT_EQ(d.height, 1080);
    EXPECT_EQ(d.refresh, 60);
    EXPECT_EQ(d.bpp, 32);
    EXPECT_EQ(d.powerMode, 3);
    EXPECT_EQ(d.layers[1].width, 1920);
    EXPECT_EQ(d.layers[1].height, 1080);
    EXPECT_TRUE(d.layers[1].on);
    EXPECT_FALSE(d.layers[0].on);
    EXPECT_EQ(d.layers[1].controls, 2);
    auto layers = model->received(1, 26);
    ASSERT_EQ(layers.size(), 3u);
    EXPECT_EQ(layers[0].payload, (std::vector<uint8_t>{0, 0, 0, 0, 0}));
    EXPECT_EQ(layers[2].payload, (std::vector<uint8_t>{1, 0, 0, 0, 1}));
    EXPECT_EQ(layers[2].header.target, 0x21);
    EXPECT_EQ(count("= Send Topo VL520:[1920x1080-60] BPP[32] PM[3] ="), 1);
    EXPECT_EQ(dc->findDeviceIdBySourceId(1), dd);
    EXPECT_EQ(dc->findTargetIdBySourceId(1), 0x21);
    EXPECT_EQ(dc->findSourceIdByTargetId(0x21), 1);

    // A firmware mode-set error is logged, not failed.
    model->setAnswer(1, 0, emu::AnswerMode::ErrorFlag, 0ms, 1);
    EXPECT_EQ(dc->setMode(1), 0);
    EXPECT_EQ(count("sendPortLatestTopo: SetMode Error! ret = 0x50"), 1);

    model->clearReceived();
    ASSERT_EQ(dc->setDisplayClassTopo(1), 0);
    EXPECT_EQ(controlTypes(), (std::vector<int>{61, 59, 52}));
    EXPECT_FALSE(model->displayDevice(dd).exists);
    EXPECT_EQ(dc->findDeviceIdBySourceId(1), 0xFFFF);
    EXPECT_EQ(dc->findDeviceIdByTargetId(0x21), 0xFFFF);
    EXPECT_EQ(dc->findTargetIdBySourceId(1), 0);
    auto lk = dc->lockMaps();
    EXPECT_TRUE(dc->target2EDIDMap.empty());
}

TEST_F(Monitor520, TearDownOfAnUnboundSourceSendsNothing) {
    EXPECT_EQ(dc->setDisplayClassTopo(0), 1);
    EXPECT_EQ(count("= VelDisplay520Class::setDisplayClassTopo: viewId[0] tgtId[0x0] "
                    "m_IDDisplayDevice2MonitorMap findDeviceIdByTargetId failed! ="),
              1);
    EXPECT_TRUE(model->received().empty());
    EXPECT_EQ(dc->sendPortLatestTopo(0, 0x21, nullptr), 1);
    EXPECT_TRUE(model->received().empty());
}

TEST_F(Monitor520, BindFailuresLeaveTheMapsAlone) {
    // Display device 1 does not exist on the adapter: every bind is flagged.
    EXPECT_EQ(dc->bindMonitor2DisplayDevice(1, 0x21), 96);
    EXPECT_EQ(dc->bindSource2DisplayDevice(0, 1), 98);
    EXPECT_EQ(count("[error] (bindSource2DisplayDevice): FLGA dismatch"), 1);
    EXPECT_EQ(dc->unbindSource2DisplayDevice(0, 1), 99);
    EXPECT_EQ(dc->unbindMonitor2DisplayDevice(1, 0x21), 97);
    EXPECT_EQ(dc->deleteDisplayDevice(1), 95);
    EXPECT_TRUE(dev->m_IDDisplayDevice2MonitorMap.empty());
    EXPECT_TRUE(dev->m_IDSource2DisplayDeviceMap.empty());
    // An id outside the adapter's groups is never waited on.
    EXPECT_NE(dc->deleteDisplayDevice(0x0107), 0);
}

// A command that cannot be sent (the bulk OUT transfer fails) is logged by every display
// operation with its "SendCommand Error" line and its result returned, before any wait.
TEST_F(Monitor520, EveryOperationLogsACommandThatCouldNotBeSent) {
    model->plugMonitor(1, monitor(0x21), false);
    ASSERT_EQ(setUp(0x21), 0);
    const unsigned short dd = static_cast<unsigned short>(deviceOf(0x21));
    vel520::VEL_MODE mode{1920, 1080, 32, 60};
    unsigned short created = 0;
    struct Case {
        const char* line;
        std::function<int()> call;
    } cases[] = {
        {"- VelDisplay520Class::createDisplayDevice SendCommand Error Ret=2 -",
         [&] { return dc->createDisplayDevice(&created, 0x22); }},
        {"- VelDisplay520Class::bindMonitor2DisplayDevice SendCommand Error Ret=2 -",
         [&] { return dc->bindMonitor2DisplayDevice(dd, 0x22); }},
        {"- VelDisplay520Class::unbindMonitor2DisplayDevice SendCommand Error Ret=2 -",
         [&] { return dc->unbindMonitor2DisplayDevice(dd, 0x21); }},
        {"- VelDisplay520Class::bindSource2DisplayDevice SendCommand Error Ret=2 -",
         [&] { return dc->bindSource2DisplayDevice(0, dd); }},
        {"- VelDisplay520Class::unbindSource2DisplayDevice SendCommand Error Ret=2 -",
         [&] { return dc->unbindSource2DisplayDevice(0, dd); }},
        {"- VelDisplay520Class::controlLayer SendCommand Error Ret=2 -",
         [&] { return dc->controlLayer(0x21, 1, 1); }},
        {"- VelDisplay520Class::deleteDisplayDevice SendCommand Error DisplayDeviceId:",
         [&] { return dc->deleteDisplayDevice(dd); }},
        {"- VelDisplay520Class::boolMonitorEdidChanged SendCommand Error Ret=2 -",
         [&] { return dc->boolMonitorEdidChanged(0x21) == 4 ? 2 : -1; }},
        {"[error] - VelDisplay520Class::readModeList SendCommand Error Ret=2 -",
         [&] { return dc->readModeList(nullptr, 0x21, 0); }},
        {"- VelDisplay520Class::vl520Setmode SendCommand Error Ret=2 -",
         [&] { return dc->vl520Setmode(0, 0x21, &mode, 3); }},
        {"- VelDisplay520Class::setLayer SendCommand Error Ret=2 -",
         [&] { return dc->setLayer(0, 1, 0, 0, 1920, 1080); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        // Each failure counts towards the service's fatal limit; these are not to reach it.
        VelDisplay520Class::s_sendFailures = 0;
        bus.faults(busId).failTransfers(1, LIBUSB_ERROR_IO, emu::Match::out());
        EXPECT_EQ(c.call(), 2);
        EXPECT_EQ(count(c.line), 1) << env.log();
    }
    EXPECT_EQ(count("can not get semaphores"), 0);
}

TEST_F(Monitor520, SetModeWithoutDisplayDeviceEndsTheService) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    setenv("M520_PARENT_LOG_DIR", env.logDir().c_str(), 0);
    EXPECT_EXIT(
        {
            setenv("VEL_LOG_DIR", getenv("M520_PARENT_LOG_DIR"), 1);
            dev->viewTable[0].first = 0;
            dev->viewTable[0].second = 0x20;
            dc->setMode(0);
            fprintf(stderr, "survived\n");
            _exit(0);
        },
        ::testing::ExitedWithCode(1), "");
    unsetenv("M520_PARENT_LOG_DIR");
    EXPECT_EQ(count("[warning] Dev[0]view[0] set mode command error code = 0x1!, Try sending the "
                    "command again!"),
              2)
        << env.log();
    EXPECT_EQ(count("[error](setMode) Dev[0]view[0] set mode command error code = 0x1!, Try to "
                    "reset application!"),
              1);
}

TEST_F(Monitor520, SetModeWhileExitingDoesNothing) {
    dc->displayClassExitFlag = true;
    EXPECT_EQ(dc->setMode(0), 1);
    EXPECT_EQ(count("VelDisplay520Class::setMode: displayClassExitFlag is true, return!"), 1);
    EXPECT_TRUE(model->received().empty());
}

TEST_F(Monitor520, TearDownBeforeAnyModeSetFreesTheDisplayDevice) {
    model->plugMonitor(0, monitor(0x20), false);
    ASSERT_EQ(setUp(0x20), 0);
    ASSERT_EQ(dc->readModeList(nullptr, 0x20, 2), 0);
    const int dd = deviceOf(0x20);
    ASSERT_GE(dd, 0);
    model->clearReceived();
    EXPECT_EQ(dc->setDisplayClassTopo(2), 0);
    EXPECT_EQ(controlTypes(), (std::vector<int>{59, 52}));
    EXPECT_FALSE(model->displayDevice(dd).exists);
    EXPECT_EQ(deviceOf(0x20), -1);
    // The monitor can be set up again.
    EXPECT_EQ(setUp(0x20), 0);
}
