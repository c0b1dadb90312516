// Model-520 message transport against the emulated model-520 adapter, on a display class with
// its receive thread but without bring-up (so no heartbeat competes for the wire): the bytes of
// commands, the header-first rule, input nodes, the exit flag, response routing by group, the
// bounds on device lengths, and the send-failure limit.
#include <gtest/gtest.h>


#include "devmgr/DevManager.h"
#include "session520.h"

using namespace std::chrono_literals;
using namespace vel520;

namespace {

// Records every OUT transfer on the command endpoint as it was sent.
struct Transport520 : m520test::Session520 {
    std::mutex outMutex;
    std::vector<std::vector<uint8_t>> outs;  // OUT transfers on 0x01, as sent

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Session520::SetUp());
        dev->connected = true;
        bus.setTransferLog([this](const emu::TransferRecord& r) {
            if (r.in() || r.endpoint != 0x01 || r.status != 0) return;
            std::lock_guard<std::mutex> lk(outMutex);
            outs.push_back(r.data);
        });
    }
    void TearDown() override {
        Session520::TearDown();
        bus.setTransferLog({});
    }
    std::vector<std::vector<uint8_t>> sent() {
        std::lock_guard<std::mutex> lk(outMutex);
        return outs;
    }
    int sendFirmware(size_t length) {
        std::vector<unsigned char> payload(length, 0x5A);
        return dc->sendCommand(0, 0, 0, CLASS_DATA, DATA_FIRMWARE, 0, payload.data(),
                               static_cast<unsigned>(payload.size()));
    }
};

}  // namespace

TEST_F(Transport520, CommandBytesFollowTheWireHeader) {
    unsigned char payload[] = {0x07, 0x08};
    ASSERT_EQ(dc->sendCommand(2, 0x0102, 0x0021, 1, 26, 1, payload, 2), 0);
    auto o = sent();
    ASSERT_EQ(o.size(), 1u);
    const std::vector<uint8_t> want = {'V', 'E',  'L',  'C', 0,    0,    0, 0, 1,    0,   0, 2,
                                       26,  0x81, 0x21, 0,   0x02, 0x01, 0, 0, 32,   0,   0, 0,
                                       2,   0,    0,    0,   0,    0,    0, 0, 0x07, 0x08};
    EXPECT_EQ(o[0], want);
}

TEST_F(Transport520, LargeCommandsGoHeaderFirstFromTheLimit) {
    ASSERT_EQ(sendFirmware(1048544), 0);  // 1,048,544 + 32 = 0x100000
    ASSERT_EQ(sendFirmware(1048543), 0);
    auto o = sent();
    ASSERT_EQ(o.size(), 3u);
    EXPECT_EQ(o[0].size(), 32u);
    EXPECT_EQ(o[1].size(), 1048576u);
    EXPECT_TRUE(std::equal(o[0].begin(), o[0].end(), o[1].begin()));
    EXPECT_EQ(o[2].size(), 1048575u);
    auto fw = model->received(2, 6);
    ASSERT_EQ(fw.size(), 2u);
    EXPECT_TRUE(fw[0].headerFirst);
    EXPECT_EQ(fw[0].payload.size(), 1048544u);
    EXPECT_FALSE(fw[1].headerFirst);
    EXPECT_TRUE(model->errors().empty());
}

TEST_F(Transport520, InputNodeRules) {
    dc->inputNodeTable->count = 2;
    dc->inputNodeTable->nodeId[0] = 0x0300;
    dc->inputNodeTable->nodeId[1] = 0x0500;
    unsigned char status = 1;
    ASSERT_EQ(dc->sendCommand(1, 0, 0, 1, 1, 0, &status, 1), 0);  // node[1]
    ASSERT_EQ(dc->sendCommand(7, 0, 0, 1, 1, 0, &status, 1), 0);  // beyond the count: node[0]
    dc->inputNodeTable->nodeId[0] = kInvalidNode;
    EXPECT_EQ(dc->sendCommand(0, 0, 0, 1, 1, 0, &status, 1), 2);
    EXPECT_EQ(count("- VelDisplay520Class::SendCommand InputNodeId is invalide -"), 1);

    free(dc->inputNodeTable);
    dc->inputNodeTable = nullptr;
    EXPECT_EQ(dc->sendCommand(0, 0, 0, 1, 1, 0, &status, 1), 2);
    EXPECT_EQ(dc->sendCommand(0, 0, 0, 1, 19, 0, nullptr, 0), 2);
    EXPECT_EQ(count("- VelDisplay520Class::SendCommand Input Node Unit is null -"), 2);
    // Payloads that address the adapter itself need no node.
    for (unsigned char first : {0x23, 0x24, 0x33}) {
        unsigned char p[2] = {first, 0};
        EXPECT_EQ(dc->sendCommand(0, 0, 0, 3, 0, 0, p, 2), 0) << int(first);
    }
    auto o = sent();
    ASSERT_EQ(o.size(), 5u);
    EXPECT_EQ(vtest::le16(o[0].data() + 18), 5);
    EXPECT_EQ(vtest::le16(o[1].data() + 18), 3);
    for (int i = 2; i < 5; ++i) EXPECT_EQ(vtest::le16(o[i].data() + 18), 0);
}

TEST_F(Transport520, ExitFlagRefusesEveryCommandWithoutTraffic) {
    dc->displayClassExitFlag = true;
    unsigned char buf[200] = {};
    unsigned int len = 0;
    EXPECT_EQ(dc->sendCommand(0, 0, 0, 1, 19, 0, nullptr, 0), 1);
    EXPECT_EQ(dc->setPowerStatus(1), 1);
    EXPECT_EQ(dc->getFWVersion(1, buf, &len), 1);
    EXPECT_EQ(dc->getDeviceCaps(buf, &len), 1);
    EXPECT_EQ(dc->controlHeartbeat(0), 1);
    EXPECT_EQ(dc->controlHeartbeat(1), 1);
    EXPECT_EQ(dc->controlHeartbeat(2), 1);
    EXPECT_EQ(dc->zeroFrameIndex(), 1);
    EXPECT_EQ(sendFirmware(100), 1);
    EXPECT_TRUE(sent().empty());
    EXPECT_TRUE(model->received().empty());
    EXPECT_EQ(count("VelDisplay520Class::sendCommand displayClassExitFlag is true"), 9);
}

TEST_F(Transport520, AnswersReachTheirCallers) {
    unsigned char text[124];
    unsigned int len = 0;
    ASSERT_EQ(dc->getFWVersion(VERSION_LAYOUT, text, &len), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(text), model->config().layoutVersion.c_str());
    EXPECT_EQ(len, model->config().layoutVersion.size() + 1);
    ASSERT_EQ(dc->setPowerStatus(1), 0);
    EXPECT_TRUE(dev->powerOnFinished);
    EXPECT_EQ(dc->controlHeartbeat(1), 0);
    EXPECT_TRUE(model->heartbeat().open);
    EXPECT_EQ(dc->controlHeartbeat(0), 0);
    EXPECT_FALSE(model->heartbeat().open);
    EXPECT_TRUE(model->errors().empty());
}

TEST_F(Transport520, FlaggedAndMismatchedAnswers) {
    unsigned char caps[164];
    unsigned int len = 0;
    model->setAnswer(0, 5, emu::AnswerMode::Wrong, 0ms, 1);
    EXPECT_EQ(dc->getDeviceCaps(caps, &len), 39);
    EXPECT_EQ(
        count("[error]- TYPE not match VelDisplay520Class::getDeviceCaps Ret=39  DataClass:0, "
              "DataType:6-"),
        1);
    model->setAnswer(0, 5, emu::AnswerMode::ErrorFlag, 0ms, 1);
    EXPECT_EQ(dc->getDeviceCaps(caps, &len), 39);
    EXPECT_EQ(count("TYPE not match"), 1);
    EXPECT_EQ(count("[error]- Query getDeviceCaps: status:39"), 2);
    model->setAnswer(1, 2, emu::AnswerMode::ErrorFlag, 0ms, 1);
    EXPECT_EQ(dc->setPowerStatus(1), 0);
    EXPECT_FALSE(dev->powerOnFinished);
    model->setAnswer(1, 21, emu::AnswerMode::ErrorFlag, 0ms, 1);
    EXPECT_EQ(dc->controlHeartbeat(1), 115);
    // A late answer within the bound is still taken.
    model->setAnswer(0, 5, emu::AnswerMode::Late, 800ms, 1);
    EXPECT_EQ(dc->getDeviceCaps(caps, &len), 0);
    EXPECT_EQ(len, 115u);
    // An answer the adapter sends twice: the copy finds no waiter and is dropped, and the next
    // exchange of the same kind gets its own answer, not the copy.
    model->setAnswer(0, 5, emu::AnswerMode::Duplicated, 0ms, 1);
    EXPECT_EQ(dc->getDeviceCaps(caps, &len), 0);
    ASSERT_TRUE(vtest::waitFor([&] { return count("has no waiter, dropped") == 1; }, 3s));
    unsigned char text[124];
    EXPECT_EQ(dc->getFWVersion(1, text, nullptr), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(text), model->config().firmwareVersion.c_str());
}

TEST_F(Transport520, ResponseForAGroupWakesOnlyThatGroup) {
    dc->commandLock.getLock();
    dc->armResponse(SEM_QUERY, 2);
    model->queueMessage(emu::Model520::message(0, 0, 2, {1, 2, 3}));
    VelDisplay520Class::Response r;
    ASSERT_EQ(dc->waitResponse(SEM_QUERY, 2, &r), 0);
    dc->commandLock.releaseLock();
    EXPECT_EQ(r.displayDevice, 2);
    EXPECT_EQ(r.payloadLength, 3u);
    for (int g = 0; g < kSemGroups; ++g)
        for (int k = 0; k < kSemKinds; ++k)
            EXPECT_EQ(vtest::semValue(&semaphores[0][g][k]), 0) << g << "/" << k;
    // Nobody waits on group 0: that answer is dropped, and the next exchange is unaffected.
    model->queueMessage(emu::Model520::message(0, 0, 0, {9}));
    ASSERT_TRUE(vtest::waitFor([&] { return count("has no waiter, dropped") == 1; }, 3s));
    EXPECT_EQ(vtest::semValue(&semaphores[0][0][SEM_QUERY]), 0);
    unsigned char text[124];
    EXPECT_EQ(dc->getFWVersion(1, text, nullptr), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(text), model->config().firmwareVersion.c_str());
}

TEST_F(Transport520, DeviceLengthsAreBoundedByWhatArrived) {
    // The header claims 1 MiB of payload; ten bytes came.
    auto m = emu::Model520::message(0, 1, 0, std::vector<uint8_t>(10, 'A'));
    putU32(m.data() + 24, 0x100000);
    dc->commandLock.getLock();
    dc->armResponse(SEM_QUERY, 0);
    model->queueMessage(m);
    VelDisplay520Class::Response r;
    ASSERT_EQ(dc->waitResponse(SEM_QUERY, 0, &r), 0);
    dc->commandLock.releaseLock();
    EXPECT_EQ(r.payloadLength, 10u);

    // Messages without a header, with a group past the last one, or of an unknown class.
    model->queueMessage({1, 2, 3});
    model->queueMessage(std::vector<uint8_t>(40, 0));
    model->queueMessage(emu::Model520::message(1, 0, 0x00FF, {}));
    model->queueMessage(emu::Model520::message(9, 0, 0, {}));
    ASSERT_TRUE(vtest::waitFor([&] { return count("without a message header") == 2; }, 3s))
        << env.log();
    ASSERT_TRUE(vtest::waitFor([&] { return count("has no waiter, dropped") == 1; }, 3s));
    unsigned char caps[164];
    unsigned int len = 0;
    EXPECT_EQ(dc->getDeviceCaps(caps, &len), 0);
}

TEST_F(Transport520, FiveSendFailuresAreSurvived) {
    bus.faults(busId).failTransfers(5, LIBUSB_ERROR_IO, emu::Match::ep(0x01));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(dc->zeroFrameIndex(), 2);
    EXPECT_EQ(count("[warning] VelDisplay520Class::sendCommand writeBulkPipeTo error -1"), 5);
    EXPECT_EQ(dc->zeroFrameIndex(), 0);
}

TEST_F(Transport520, SixthSendFailureOfTheProcessEndsIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child runs the test afresh in a new process: point its log at ours.
    setenv("M520_PARENT_LOG_DIR", env.logDir().c_str(), 0);  // the child keeps the parent's
    EXPECT_EXIT(
        {
            setenv("VEL_LOG_DIR", getenv("M520_PARENT_LOG_DIR"), 1);
            fprintf(stderr, "child sends\n");
            bus.faults(busId).failTransfers(6, LIBUSB_ERROR_IO, emu::Match::ep(0x01));
            for (int i = 0; i < 5; ++i) dc->zeroFrameIndex();
            dc->controlHeartbeat(2);
        },
        ::testing::ExitedWithCode(1), "child sends");
    unsetenv("M520_PARENT_LOG_DIR");
    auto l = env.logLines();
    int sixth = -1, at = 0;
    for (int i = 0; i < 6; ++i) {
        sixth = vtest::findLine(l, "writeBulkPipeTo error", at);
        ASSERT_GE(sixth, 0) << env.logDir() << "\n" << env.log();
        at = sixth + 1;
    }
    EXPECT_GE(vtest::findLine(l, "[error](sendCommand) trigger usb abort", at), 0) << env.log();
    EXPECT_GE(vtest::findLine(l, "usb_abort!", at), 0);
}

TEST_F(Transport520, DepartedDeviceIsNoSendFailure) {
    ASSERT_EQ(bus.unplug(busId), 0);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(dc->zeroFrameIndex(), 1);
    EXPECT_EQ(VelDisplay520Class::s_sendFailures, 0);
    EXPECT_EQ(count("writeBulkPipeTo error"), 0);
}
