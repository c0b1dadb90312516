// 50x-family transport against a scripted adapter on the emulated bus: the wire bytes of the
// commands (checked against byte tables written from the protocol's command table), the control
// exchange and its repeats, the receive path's sorting and bounds, and the direct and buffer
// exchanges.
#include <gtest/gtest.h>

#include <chrono>

#include "session508.h"

namespace {

using vtest::hexBytes;
using vtest::kMagicHex;
using vtest::Peer508;

std::vector<uint8_t> cmd(size_t size, const std::string& afterMagic) {
    return hexBytes(std::string(kMagicHex) + afterMagic, size);
}

struct Transport508 : vtest::Session508 {};

TEST_F(Transport508, ControlCommandsOnTheWire) {
    // Power state, view 1 (odd view select), off; then a layer command on view 0.
    vel508::_PARAMETER_ p = vel508::makeParam(0x32, 1);
    p.bytes[5] = 0;
    dc->send_control_command(0, p);
    dc->send_control_command(0, vel508::makeParam(0x4C, 2));
    auto outs = peer->outs();
    ASSERT_EQ(outs.size(), 2u);
    EXPECT_EQ(outs[0].endpoint, 0x01);
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 10 32 00"), outs[0].bytes, "power off");
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 00 4c"), outs[1].bytes, "layer");
    EXPECT_EQ(count("Read control command feedback failed"), 0);
}

TEST_F(Transport508, ModeSetIsSentFourTimesInAllOtherCommandsOnce) {
    peer->setStatus(0x30, 5);
    peer->setStatus(0x31, 5);
    dc->send_control_command(0, vel508::makeParam(0x30));
    EXPECT_EQ(peer->outsOf(0x30).size(), 4u);
    EXPECT_EQ(count("ERROR: Read Setmode control command feedback 3 times error!Reset firmware!"),
              1);
    dc->send_control_command(0, vel508::makeParam(0x31));
    EXPECT_EQ(peer->outsOf(0x31).size(), 1u);
    EXPECT_EQ(count("ERROR: Read control command error code = 0x5!, data=[0x31]"), 1);

    // A reply that never comes is a failure too: the mode set is repeated, not taken as done.
    peer->setSilent(0x30);
    peer->clear();
    dc->send_control_command(0, vel508::makeParam(0x30));
    EXPECT_EQ(peer->outsOf(0x30).size(), 4u);
    EXPECT_EQ(count("cannot get data[0x30]"), 4);
    EXPECT_EQ(count("ERROR: Read Setmode control command feedback 3 times error!Reset firmware!"),
              2);
}

TEST_F(Transport508, ReplyWithoutSlotIsDroppedAndTheUnknownAnswerTaken) {
    // 0x31 arrives for nobody: a reader of a type without a slot gets 0 and nothing.
    VELPTC_CONTROL_RET r;
    r.status = 0x77;
    EXPECT_EQ(dc->readInterrupt(0x33, &r), 0);
    EXPECT_EQ(r.status, 0x77);
    EXPECT_EQ(count("cannot get datatype [0x33]"), 1);

    // The firmware does not know 0x40: after about 100 ms the 0xFF answer is taken.
    peer->setSilent(0x40);
    peer->raise(0xFF, {0x01, 0xFF});
    ASSERT_TRUE(vtest::waitFor([&] { return !dev->controlReplies[9].replies.empty(); }));
    EXPECT_EQ(dc->readInterrupt(0x40, &r), 0);
    EXPECT_EQ(r.type, 0xFF);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(count("cannot get data[0x40]"), 1);
    EXPECT_EQ(count("command[40] can not be accepted"), 1);
    // Nothing queued at all: -99.
    EXPECT_EQ(dc->readInterrupt(0x40, &r), -99);
}

TEST_F(Transport508, ReceivePathSortsAndBoundsPackets) {
    // Without the magic, firmware log, unknown type, a control reply cut after its type byte:
    // nothing reaches a reader, nothing is read past the bytes received.
    auto noMagic = Peer508::packet(0x60, {0, 0x80});
    noMagic[0] = 'V';
    peer->raiseRaw(noMagic);
    peer->raise(0x0A, {1, 2, 3});
    peer->raise(0x99);
    auto cut = Peer508::packet(0x32, {0x09});
    cut.resize(17);
    peer->raiseRaw(cut);
    // Two mode lists answered in the wrong order are taken oldest first; the general queue is
    // not filtered by type.
    peer->raise(0x64, {0, 2});
    peer->raise(0x64, {0, 1});
    peer->raise(0x77, {0});
    peer->raise(0x61, {1});
    ASSERT_TRUE(vtest::waitFor([&] { return dev->generalQueue.size() == 2; }));
    EXPECT_TRUE(dev->edidQueue.empty());
    EXPECT_TRUE(dev->capsQueue.empty());
    VELPTC_CONTROL_RET r;
    ASSERT_EQ(dc->readInterrupt(0x32, &r), 0);  // the cut reply, its missing bytes as zeros
    EXPECT_EQ(r.type, 0x32);
    EXPECT_EQ(r.status, 0);

    unsigned char buf[1024];
    int len = sizeof buf;
    ASSERT_EQ(dc->readIntQ(0x64, buf, &len), 0);
    EXPECT_EQ(len, 1024);
    EXPECT_EQ(buf[18], 2);
    len = 100;  // a short destination bounds the copy
    ASSERT_EQ(dc->readIntQ(0x64, buf, &len), 0);
    EXPECT_EQ(len, 100);
    EXPECT_EQ(buf[18], 1);
    len = 30;
    ASSERT_EQ(dc->readIntQ(0x61, buf, &len), 0);
    EXPECT_EQ(buf[16], 0x77);
    EXPECT_EQ(count("READ int Q [61]"), 1);

    // An empty queue runs out after its budget (about 2 s), not before.
    const auto start = std::chrono::steady_clock::now();
    len = sizeof buf;
    EXPECT_EQ(dc->readIntQ(0x65, buf, &len), -99);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    // A cancelled queue gives up at once.
    dev->capsQueue.setcancel();
    EXPECT_EQ(dc->readIntQ(0x65, buf, &len), -99);
}

TEST_F(Transport508, BufferExchangeOfTheFirmwareUpdate) {
    unsigned char data[60] = {1, 2, 3};
    // No manager knows the handle (as for a third adapter): -1.
    EXPECT_EQ(communicateWithDevice(handle, 0x61, data, sizeof data), -1);
    EXPECT_EQ(count("Error: [communicateWithDevice]missing device handle."), 1);

    // Sent on endpoint 0x02; the answer is the next general packet.
    peer->raise(0x61, {1, 0, 'v'});
    ASSERT_TRUE(vtest::waitFor([&] { return dev->generalQueue.size() == 1; }));
    unsigned char reply[1024];
    int replyLength = sizeof reply;
    EXPECT_EQ(velCommunicate508(*dc, 0x61, data, sizeof data, reply, &replyLength), 1);
    EXPECT_EQ(reply[19], 'v');
    auto outs = peer->outs();
    ASSERT_EQ(outs.size(), 1u);
    EXPECT_EQ(outs[0].endpoint, 0x02);
    EXPECT_EQ(outs[0].bytes.size(), sizeof data);
    // Without a reply wanted, a sent buffer is success.
    EXPECT_EQ(velCommunicate508(*dc, 0x06, data, sizeof data, nullptr, nullptr), 1);

    // A buffer that did not go out is a failure, whatever sits in the general queue.
    peer->raise(0x07, {0});
    ASSERT_TRUE(vtest::waitFor([&] { return dev->generalQueue.size() == 1; }));
    bus.faults(busId).failTransfers(1, LIBUSB_ERROR_IO, emu::Match::ep(0x02));
    replyLength = sizeof reply;
    EXPECT_EQ(velCommunicate508(*dc, 0x07, data, sizeof data, reply, &replyLength), 0);
    EXPECT_EQ(count("******Send data failed err=-1"), 1);
}

TEST_F(Transport508, ReceiveThreadWithoutHandleWaitsInsteadOfSpinning) {
    // The handle is set at open; until then the thread checks at a calm pace.
    dc->fwExeClean();
    ASSERT_TRUE(velWaitClassThreads(std::chrono::seconds(20)));
    dc->displayClassExitFlag = false;
    dev->usbHandle = nullptr;
    startReceiver();
    vel::sleepMs(500);
    dc->fwExeClean();
    ASSERT_TRUE(velWaitClassThreads(std::chrono::seconds(20)));
    dev->usbHandle = handle;
    const int lines = count("fwStatusThread dev_handle is NULL");
    EXPECT_GE(lines, 1);
    EXPECT_LE(lines, 10);
}

// The direct exchange reads the interrupt endpoint itself: no receive thread runs.
struct Direct508 : vtest::Session508 {
    void SetUp() override {
        Session508::SetUp();
        // Stop the fixture's receive thread; the session stays.
        dc->displayClassExitFlag = true;
        ASSERT_TRUE(velWaitClassThreads(std::chrono::seconds(20)));
        dc->displayClassExitFlag = false;
    }
};

TEST_F(Direct508, AnswerOnTheThirtiethReadIsAcceptedNotOnTheThirtyFirst) {
    auto junk = Peer508::packet(0x32);
    junk[3] = 'X';
    peer->setSilent(0x32);
    for (int i = 0; i < 29; ++i) peer->raiseRaw(junk);
    peer->raise(0x32, {0});
    EXPECT_EQ(dc->optSendCommand(0, vel508::makeParam(0x32)), 0);
    EXPECT_EQ(count("read control command:32 feedback success"), 1);

    for (int i = 0; i < 30; ++i) peer->raiseRaw(junk);
    peer->raise(0x32, {0});
    EXPECT_EQ(dc->optSendCommand(0, vel508::makeParam(0x32)), -1);
    EXPECT_EQ(count("******Rev Cmd:32 Feedback failed, wait 30 times******"), 1);
    // The answer left over is of the right type but a non-zero status; a wrong type fails.
    peer->raise(0x32, {3});
    EXPECT_EQ(dc->optSendCommand(0, vel508::makeParam(0x32)), 0);  // the leftover one
    EXPECT_EQ(dc->optSendCommand(0, vel508::makeParam(0x32)), 0);
    EXPECT_EQ(count("read control command:32 feedback failed"), 1);
    peer->raise(0x31, {0});
    EXPECT_EQ(dc->optSendCommand(0, vel508::makeParam(0x32)), -1);
    EXPECT_EQ(count("unknow Data Type: 31"), 1);
}

}  // namespace
