// Model-520 bring-up and heartbeat, in-process: the service's device manager against the
// emulated model-520 adapter. Bring-up order and its log, the control-block record, the beat,
// the client requests the heartbeat serves, flagged and wrong answers, and the threads ending
// with their session.
#include <gtest/gtest.h>

#include <cstring>

#include "devmgr/clientOps.h"
#include "managerFixture.h"

using namespace std::chrono_literals;

namespace {

using Bringup520 = vtest::Manager520Test;

}  // namespace

TEST_F(Bringup520, RunsInOrderAndFillsTheRecord) {
    emu::Model520::Config c;
    c.firmwareVersion = "V9.8.7.6543";
    c.bl1Version = "BL1-7.7";
    start(c);
    expectInOrder({"+ VelDisplayClass::setPowerStatus +",
                   "+ VelDisplay520Class::SendCommand DataClassID:1, DataTypeID:2, Ret=0 +",
                   "- VelDisplayClass::setPowerStatus Ret=0 -",
                   "+ VelDisplay520Class::getFWVersion Type: 1 +",
                   "- VelDisplay520Class::getFWVersion Ret=0 -",
                   "+ VelDisplay520Class::getFWVersion Type: 5 +",
                   "FW Version: V9.8.7.6543, BL1 Version: BL1-7.7",
                   "+ VelDisplay520Class::zeroFrameIndex +",
                   "- VelDisplay520Class::zeroFrameIndex Ret=0 -",
                   "+ VelDisplay520Class::controlHeartbeat devId=0, status=1 +",
                   "- VelDisplay520Class::controlHeartbeat Ret=0 -",
                   "- VelDisplay520Class::getDeviceCaps Ret=0 -"});
    // What reached the adapter, in order (the beat thread and the capability query race).
    auto got = model->received();
    ASSERT_GE(got.size(), 6u);
    struct Want {
        uint8_t cls, type;
        std::vector<uint8_t> payload;
    };
    std::vector<Want> want = {{1, 2, {1}}, {0, 1, {1}}, {0, 1, {5}}, {1, 19, {}}, {1, 21, {1}}};
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].header.dataClass, want[i].cls);
        EXPECT_EQ(got[i].header.dataType, want[i].type);
        EXPECT_EQ(got[i].payload, want[i].payload);
        EXPECT_EQ(got[i].header.sessionTag, 0);
        EXPECT_EQ(got[i].endpoint, 0x01);
    }
    EXPECT_TRUE(model->errors().empty()) << model->errors().front();
    EXPECT_EQ(model->received(0, 5).size(), 1u);

    auto d = dev();
    EXPECT_TRUE(d->powerOnFinished);
    EXPECT_EQ(d->viewCount, 3);
    EXPECT_EQ(d->imageEndpoint, 1u);
    EXPECT_EQ(d->imageEndpoint520, 2u);
    EXPECT_EQ(record().versionValid, 1);
    EXPECT_STREQ(record().fwVersion, "V9.8.7.6543");
    auto cls = dc();
    EXPECT_STREQ(cls->fwVersionInBoard, "V9.8.7.6543");
    EXPECT_STREQ(cls->pBL1Ver, "BL1-7.7");
    EXPECT_EQ(cls->capsLength, 115u);
    EXPECT_NE(cls->lastHeartbeatStatus, 0u);
    EXPECT_EQ(count("[error]"), 0) << env.log();
}

TEST_F(Bringup520, ShortCapabilityBlockIsStoredAndLogged) {
    emu::Model520::Config c;
    c.capabilities.assign(114, 0x42);
    start(c);
    EXPECT_GE(count("[error]- Query getDeviceCaps: status:0, CapsLen:114, -"), 1) << env.log();
    EXPECT_EQ(dc()->capsLength, 114u);
    EXPECT_EQ(dc()->capsBuffer[113], 0x42);
    EXPECT_TRUE(dev()->initDone);
}

TEST_F(Bringup520, OversizedAnswersAreCutToTheirBuffers) {
    emu::Model520::Config c;
    c.capabilities.assign(600, 0x17);
    c.firmwareVersion = std::string(300, 'F');
    start(c);
    auto cls = dc();
    EXPECT_EQ(cls->capsLength, 164u);
    EXPECT_EQ(cls->capsBuffer[163], 0x17);
    EXPECT_EQ(strlen(cls->fwVersionInBoard), 123u);
    // The control block gets at most its 32-byte field, terminated.
    EXPECT_EQ(strnlen(record().fwVersion, sizeof(record().fwVersion)), 31u);
}

TEST_F(Bringup520, FlaggedVersionAnswerKeepsTheEmptyText) {
    model = nullptr;
    emu::Model520::Config c;
    auto m = std::make_shared<emu::Model520>(c);
    m->setAnswer(0, 1, emu::AnswerMode::ErrorFlag);
    model = m;
    busId = bus.plug(model, emu::adapterIdentity("522"));
    ASSERT_NO_FATAL_FAILURE(startManager());
    ASSERT_TRUE(waitInitDone());
    EXPECT_GE(count("[error] (fwStatusThread): = GetClassResponse: DataClass_0x0, DataType_0x1 "
                    "response error =1"),
              2);
    EXPECT_GE(count("FW Version: , BL1 Version: "), 1) << env.log();
    EXPECT_STREQ(record().fwVersion, "");
    EXPECT_EQ(record().versionValid, 1);
}

TEST_F(Bringup520, WrongHeartbeatAnswerGives115AndBringUpGoesOn) {
    auto m = std::make_shared<emu::Model520>();
    m->setAnswer(1, 21, emu::AnswerMode::Wrong, 0ms, 1);
    model = m;
    bus.plug(model, emu::adapterIdentity("520A"));
    ASSERT_NO_FATAL_FAILURE(startManager());
    ASSERT_TRUE(waitInitDone());
    EXPECT_EQ(count("- VelDisplay520Class::controlHeartbeat Ret=115 -"), 1) << env.log();
    EXPECT_TRUE(waitBeats(1));
}

TEST_F(Bringup520, BeatsEverySecondWithoutLogging) {
    start();
    ASSERT_TRUE(waitBeats(4, 8s));
    auto hb = model->heartbeat();
    EXPECT_TRUE(hb.open);
    EXPECT_EQ(hb.opens, 1);
    // A beat a second: a loaded machine only lengthens the gaps, so the lower bound is firm and
    // the upper ones are held by the mean (one late transfer does not move it much) and, for a
    // beat left out altogether, loosely by the longest gap.
    EXPECT_GE(hb.longestGapMs, 900);
    EXPECT_LT(hb.meanGapMs(), 1500);
    EXPECT_LT(hb.longestGapMs, 2500 * vtest::kTimeScale);
    EXPECT_FALSE(model->beatMissing(2500ms * vtest::kTimeScale));
    // Only the open exchange logs; beats add no line.
    EXPECT_EQ(count("controlHeartbeat"), 2) << env.log();
    for (const auto& m : model->received(1, 21)) {
        if (m.payload == std::vector<uint8_t>{2}) {
            EXPECT_FALSE(m.header.responseRequested);
        }
    }
}

TEST_F(Bringup520, FirmwareLogRequestClosesTheHeartbeatFirst) {
    start();
    ASSERT_TRUE(waitBeats(1));
    auto requested = std::chrono::steady_clock::now();
    controlBlockStore(record().fwLogRequest, uint8_t{1});
    ASSERT_TRUE(model->waitFor(
        [](const std::vector<emu::M520Message>& ms) {
            for (const auto& m : ms)
                if (m.header.dataClass == 0 && m.header.dataType == 48) return true;
            return false;
        },
        5s));
    // Served at the heartbeat thread's next poll, once a second; bounded loosely for a loaded
    // machine.
    EXPECT_LT(std::chrono::steady_clock::now() - requested, 3s * vtest::kTimeScale);
    auto got = model->received();
    int close = -1, logReq = -1;
    for (size_t i = 0; i < got.size(); ++i) {
        if (got[i].header.dataClass == 1 && got[i].header.dataType == 21 &&
            got[i].payload == std::vector<uint8_t>{0})
            close = static_cast<int>(i);
        if (got[i].header.dataClass == 0 && got[i].header.dataType == 48)
            logReq = static_cast<int>(i);
    }
    ASSERT_GE(close, 0);
    EXPECT_LT(close, logReq);
    EXPECT_FALSE(got[logReq].header.responseRequested);
    ASSERT_TRUE(vtest::waitFor([&] { return controlBlockLoad(record().fwLogRequest) == 0; }, 3s));
    EXPECT_EQ(count("close heartbeat"), 1);
    EXPECT_EQ(model->heartbeat().closes, 1);
    // The last block of the download reopens it (once).
    EXPECT_TRUE(vtest::waitFor([&] { return model->heartbeat().opens == 2; }, 3s));
    // Beats go on while the heartbeat is closed; the later log block posted nothing stray.
    int beats = model->heartbeat().beats;
    EXPECT_TRUE(waitBeats(beats + 2));
    EXPECT_EQ(
        dc()->getFWVersion(1, reinterpret_cast<unsigned char*>(dc()->fwVersionInBoard), nullptr),
        0);
}

TEST_F(Bringup520, ClientFpsAndPowerModeFollowOnTheNextBeat) {
    start();
    ASSERT_EQ(managerPrintFps(3), 0);
    ASSERT_TRUE(vtest::waitFor([&] { return dev()->fpsEnabled.load(); }, 3s));
    EXPECT_EQ(dev()->fpsValue, 3);
    ASSERT_EQ(managerPrintFps(0), 0);
    ASSERT_TRUE(vtest::waitFor([&] { return !dev()->fpsEnabled.load(); }, 3s));
    EXPECT_EQ(dev()->fpsValue, 0);

    ASSERT_EQ(managerSwitchMode(DevManager::LIGHT), 0);
    ASSERT_TRUE(vtest::waitFor([&] { return count("Switch to light mode") > 0; }, 3s));
    EXPECT_EQ(dev()->lightMode, 1);
    EXPECT_EQ(dev()->powerMode, 1);
    int beats = model->heartbeat().beats;
    ASSERT_TRUE(waitBeats(beats + 2));
    EXPECT_EQ(count("Switch to light mode"), 1);
    ASSERT_EQ(managerSwitchMode(DevManager::SMART), 0);
    ASSERT_TRUE(vtest::waitFor([&] { return count("Switch to smart mode") > 0; }, 3s));
    EXPECT_EQ(dev()->lightMode, 0);
}

TEST_F(Bringup520, ControlBlockValuesOutOfRangeAreBounded) {
    start();
    controlBlockStore(record().fpsInterval, int32_t{-7});
    controlBlockStore(record().fpsPrintEnabled, uint8_t{1});
    controlBlockStore(record().powerModeRequest, uint8_t{9});
    int beats = model->heartbeat().beats;
    ASSERT_TRUE(waitBeats(beats + 2));
    EXPECT_TRUE(dev()->fpsEnabled);
    EXPECT_EQ(dev()->fpsValue, 0);
    EXPECT_EQ(dev()->powerMode, 0);
    EXPECT_EQ(count("Switch to"), 0);
    controlBlockStore(record().fpsInterval, int32_t{0x7FFFFFFF});
    ASSERT_TRUE(waitBeats(beats + 4));
    EXPECT_EQ(dev()->fpsValue, 2147483);
}

TEST_F(Bringup520, ThreadsEndWhenTheAdapterLeaves) {
    start();
    ASSERT_TRUE(waitBeats(1));
    std::weak_ptr<VelDev> weakDev = dev();
    std::weak_ptr<VelDisplay520Class> weakDc = dc();
    ASSERT_EQ(bus.unplug(busId), 0);
    ASSERT_TRUE(vtest::waitFor([&] { return g_dev->deviceCount() == 0; }, 5s));
    ASSERT_TRUE(vtest::waitFor(
        [&] { return count("- CUSB520Adapter::SendHeartBeatThread Quit -") == 1; }, 5s))
        << env.log();
    // Neither the session nor the class is kept alive by a thread that has gone.
    EXPECT_TRUE(vtest::waitFor([&] { return weakDev.expired() && weakDc.expired(); }, 5s));
    EXPECT_FALSE(g_abortRequested);
    EXPECT_EQ(count("usb_abort!"), 0);
}

TEST_F(Bringup520, CleanStopEndsTheHeartbeatQuietly) {
    start();
    ASSERT_TRUE(waitBeats(1));
    g_dev->removeAllDevice();
    ASSERT_TRUE(vtest::waitFor(
        [&] { return count("- CUSB520Adapter::SendHeartBeatThread Quit -") == 1; }, 5s));
    EXPECT_EQ(count("send heartbeat failed"), 0);
    EXPECT_FALSE(g_abortRequested);
}
