// 50x-family bring-up and heartbeats against a scripted adapter: the command order and bytes,
// the heartbeat extension and its legacy fallback, the bulk heartbeat's idle rule, and a
// bring-up that stops for missing firmware images.
#include <gtest/gtest.h>
#include <unistd.h>

#include "session508.h"

namespace {

using vtest::hexBytes;
using vtest::kMagicHex;

std::vector<uint8_t> cmd(size_t size, const std::string& afterMagic) {
    return hexBytes(std::string(kMagicHex) + afterMagic, size);
}

std::vector<uint8_t> codes(const std::vector<vtest::Peer508::Out>& outs) {
    std::vector<uint8_t> c;
    for (const auto& o : outs) c.push_back(o.code());
    return c;
}

struct Bringup508 : vtest::Session508 {};

TEST_F(Bringup508, CommandsInOrderWithTheirBytes) {
    peer->setHeartbeat(vtest::Peer508::Heartbeat::Extension, 0x01);
    dc->initCmds();
    auto outs = peer->outs();
    // The firmware check (work mode, versions of kinds 1 and 5, layout) goes on the update
    // endpoint 0x02 between the power states and the heartbeat.
    ASSERT_EQ(codes(outs),
              (std::vector<uint8_t>{0x32, 0x32, 0x77, 0x61, 0x61, 0x61, 0x45, 0xD7, 0x65}));
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 00 32 01"), outs[0].bytes, "power v0");
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 10 32 01"), outs[1].bytes, "power v1");
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 00 77"), outs[2].bytes, "work mode");
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 00 61 01"), outs[3].bytes, "fw ver");
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 00 61 05"), outs[4].bytes, "bl ver");
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 00 61 04"), outs[5].bytes, "layout");
    vtest::expectSameBytes(cmd(44, "08 00 00 00  06 00 00 00 45"), outs[6].bytes, "frame reset");
    vtest::expectSameBytes(cmd(44, "2c 00 00 00  06 00 00 00 d7 03 01 01"), outs[7].bytes,
                           "heartbeat control");
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 00 65"), outs[8].bytes, "caps");
    for (size_t i = 0; i < outs.size(); ++i)
        EXPECT_EQ(outs[i].endpoint, i >= 2 && i <= 5 ? 0x02 : 0x01) << i;
    EXPECT_TRUE(dev->cmdsInitialised);
    EXPECT_STREQ(dc->hostFwVersion, "v 2.24.1.0");
    EXPECT_EQ(m_InterruptInHeartbeatStatus, 1);
    EXPECT_EQ(m_BulkOutHeartbeatStatus, 0);
    env.expectLogInOrder({"[info] found updateBin in file system, FW Version: v 2.24.1.0",
                          "Open heartbeat!", "=control HeartBeat extension[1] success 1 =",
                          "get caps."});
    EXPECT_EQ(count("Read CAPS failed!"), 0);
}

TEST_F(Bringup508, LegacyFirmwareGetsTheOldHeartbeatAndNoBulkHeartbeats) {
    m_BulkOutHeartbeatStatus = 1;  // left over from another adapter's firmware
    peer->setHeartbeat(vtest::Peer508::Heartbeat::Legacy);
    dc->initCmds();
    auto legacy = peer->outsOf(0x47);
    ASSERT_EQ(legacy.size(), 1u);
    vtest::expectSameBytes(cmd(44, "2c 00 00 00  06 00 00 00 47 01 01 01"), legacy[0].bytes,
                           "legacy heartbeat");
    EXPECT_EQ(m_BulkOutHeartbeatStatus, 0);
    EXPECT_EQ(count("=control HeartBeat[1] success ="), 1);
    // The first bulk heartbeat would be due at once (no bulk transfer yet): none comes.
    vel::sleepMs(1500);
    EXPECT_TRUE(peer->outsOf(0xEC).empty());
}

TEST_F(Bringup508, BulkHeartbeatsOnlyAfterTwoIdleSeconds) {
    peer->setHeartbeat(vtest::Peer508::Heartbeat::Extension, 0x02);
    dc->initCmds();
    EXPECT_EQ(m_BulkOutHeartbeatStatus, 1);
    // Idle since the start: one every second.
    ASSERT_TRUE(peer->waitForCode(0xEC, 2, std::chrono::seconds(20)));
    vtest::expectSameBytes(cmd(44, "2c 00 00 00  06 00 00 00 ec"), peer->outsOf(0xEC)[0].bytes,
                           "bulk heartbeat");

    // The rule itself, on an injected clock.
    const int64_t s = 1000000;
    EXPECT_FALSE(vel508HeartbeatDue(10 * s, 10 * s - 1, 1));
    EXPECT_FALSE(vel508HeartbeatDue(10 * s, 8 * s + 1, 1));
    EXPECT_TRUE(vel508HeartbeatDue(10 * s, 8 * s, 1));
    EXPECT_FALSE(vel508HeartbeatDue(10 * s, 0, 0));
}

TEST_F(Bringup508, FramesFlowingKeepBulkHeartbeatsAway) {
    peer->setHeartbeat(vtest::Peer508::Heartbeat::Extension, 0x02);
    dc->initCmds();
    ASSERT_TRUE(peer->waitForCode(0xEC, 1, std::chrono::seconds(20)));
    // Image packets through the send path every 100 ms; once they have flowed for a second
    // (a heartbeat decided before the first one is out by then), none may come for three more.
    dev->viewActive[0] = true;
    for (int i = 0; i < 40; ++i) {
        if (i == 10) peer->clear();
        _evdi_send packet{};
        packet.buffer = static_cast<unsigned char*>(calloc(1, 64));
        packet.length = 64;
        packet.view = 0;
        dev->usb_bulk_transfer(packet, 0);
        vel::sleepMs(100);
    }
    dev->viewActive[0] = false;
    EXPECT_TRUE(peer->outsOf(0xEC).empty());
    EXPECT_GE(peer->outs().size(), 30u);
}

TEST_F(Bringup508, MissingImagesStopBringUpAndMonitorChecksWait) {
    ASSERT_EQ(unlink((env.fwDir() + "/USBDisplay.bin").c_str()), 0);
    dev->model = 0x500;  // every model of the family takes the same images
    dc->initCmds();
    // Only the adapter's versions are queried and logged.
    EXPECT_EQ(codes(peer->outs()), (std::vector<uint8_t>{0x32, 0x32, 0x61, 0x61}));
    EXPECT_EQ(count("Error open file. Close program."), 1);
    EXPECT_EQ(count("Current firmware version is: v 2.24.1.0."), 1);
    EXPECT_EQ(count("Current Bootloader 1 version is: v 00.01.0004."), 1);
    EXPECT_FALSE(dev->cmdsInitialised);

    // A monitor event now waits for bring-up instead of plugging anything in.
    peer->setMonitor(1, {vtest::makeEdid(0), 0, vtest::Peer508::modeEntry(1920, 1080, 60, 32)});
    peer->raise(0xE1, {0x01});
    vel::sleepMs(1000);
    EXPECT_EQ(count("Start check monitor"), 0);
    EXPECT_TRUE(peer->outsOf(0x60).empty());
}

TEST_F(Bringup508, ModelsWithoutADefaultMainImageStillFindIt) {
    dev->model = 0x505;
    dc->initCmds();
    EXPECT_TRUE(dev->cmdsInitialised);
    EXPECT_EQ(count("Error open file."), 0);
}

}  // namespace
