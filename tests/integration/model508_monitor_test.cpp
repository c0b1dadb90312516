// 50x-family monitor detection against a scripted adapter: EDID reads with their retry and
// checksum rules, mode lists and the 4k timing-patch decision, and monitor events that plug
// EVDI displays in and out.
#include <gtest/gtest.h>

#include "edid/velEdid.h"
#include "session/plugMonitor.h"
#include "session508.h"

namespace {

using vtest::hexBytes;
using vtest::kMagicHex;
using vtest::makeEdid;
using vtest::Peer508;

std::vector<uint8_t> cmd(size_t size, const std::string& afterMagic) {
    return hexBytes(std::string(kMagicHex) + afterMagic, size);
}

std::vector<uint8_t> modes(std::initializer_list<std::pair<uint32_t, uint32_t>> sizes) {
    std::vector<uint8_t> m;
    for (auto [w, h] : sizes) {
        auto e = Peer508::modeEntry(w, h, 60, 32);
        m.insert(m.end(), e.begin(), e.end());
    }
    return m;
}

unsigned blockSum(const unsigned char* b) {
    unsigned s = 0;
    for (int i = 0; i < 128; ++i) s += b[i];
    return s & 0xFF;
}

struct Monitor508 : vtest::Session508 {
    std::vector<uint8_t> read(int target, unsigned int* length = nullptr) {
        std::vector<uint8_t> out(512, 0xAA);
        unsigned int len = 512;
        EXPECT_EQ(dc->readMonitorEDID(target, out.data(), &len), 0);
        if (length) *length = len;
        return out;
    }
    // The bitmask of the last finished monitor check (taken under the checks' lock).
    int lastBits() {
        std::lock_guard<std::mutex> lk(mutex_lock_508);
        return dev->lastMonitorBits508;
    }
    bool allZero(const std::vector<uint8_t>& b) {
        for (auto c : b)
            if (c) return false;
        return true;
    }
};

TEST_F(Monitor508, EdidReadTakesWholeBlocksAndTruncatesABadExtension) {
    const auto good = makeEdid(1);
    peer->setMonitor(4, {good, 0, {}, 0xFFFF});
    unsigned int length = 0;
    auto edid = read(4, &length);
    EXPECT_EQ(length, 256u);
    EXPECT_TRUE(std::equal(good.begin(), good.end(), edid.begin()));
    auto req = peer->outsOf(0x60);
    ASSERT_EQ(req.size(), 1u);
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 00 60 04"), req[0].bytes, "EDID request");

    // The second block's checksum is bad: a 128-byte EDID with byte 126 = 0 whose own checksum
    // still holds.
    auto bad = good;
    bad[200] ^= 0x55;
    peer->setMonitor(4, {bad, 0, {}, 0xFFFF});
    edid = read(4, &length);
    EXPECT_EQ(length, 128u);
    EXPECT_EQ(edid[126], 0);
    EXPECT_EQ(blockSum(edid.data()), 0u);
    EXPECT_TRUE(std::all_of(edid.begin() + 128, edid.end(), [](uint8_t c) { return c == 0; }));
    EXPECT_EQ(count("final blocknum is 0, EdidSize is 128"), 1);
}

TEST_F(Monitor508, BadBaseBlockOrOversizeEndsInAnAllZeroEdid) {
    auto bad = makeEdid(0);
    bad[20] ^= 1;
    peer->setMonitor(1, {bad, 0, {}, 0xFFFF});
    EXPECT_TRUE(allZero(read(1)));
    EXPECT_EQ(count("NON-EDID"), 1);
    auto req = peer->outsOf(0x60);
    ASSERT_EQ(req.size(), 4u);  // the request and three repeats, marked as repeats
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 00 60 01"), req[0].bytes, "first");
    for (int i = 1; i < 4; ++i)
        vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 20 00 60 01"), req[i].bytes, "repeat");

    // A size field above 512 is never used to copy.
    peer->setMonitor(1, {makeEdid(0), 0x10000, {}, 0xFFFF});
    EXPECT_TRUE(allZero(read(1)));
    EXPECT_EQ(count("NON-EDID"), 2);
    // Below one block: the base block is not whole.
    peer->setMonitor(1, {makeEdid(0), 100, {}, 0xFFFF});
    EXPECT_TRUE(allZero(read(1)));
    EXPECT_EQ(count("NON-EDID"), 3);
    // Size 0.
    peer->setMonitor(1, {makeEdid(0), 0, {}, 0xFFFF});
    peer->queueEdidReplies({Peer508::edidReply(1, makeEdid(0), 0)});
    EXPECT_TRUE(allZero(read(1)));
    EXPECT_EQ(count("bError or DataSize Error!"), 1);
}

TEST_F(Monitor508, WrongTargetOrStatusIsRepeatedThenGivenUp) {
    const auto good = makeEdid(0);
    peer->setMonitor(2, {good, 0, {}, 0xFFFF});
    // One answer for the wrong target and one with an error status, then the right one.
    peer->queueEdidReplies({Peer508::edidReply(8, good, 128), Peer508::edidReply(2, good, 128, 3)});
    auto edid = read(2);
    EXPECT_TRUE(std::equal(good.begin(), good.end(), edid.begin()));
    EXPECT_EQ(peer->outsOf(0x60).size(), 3u);
    // Never the right one.
    peer->clear();
    std::vector<std::vector<uint8_t>> wrong(4, Peer508::edidReply(8, good, 128));
    peer->queueEdidReplies(wrong);
    EXPECT_TRUE(allZero(read(2)));
    EXPECT_EQ(peer->outsOf(0x60).size(), 4u);
    EXPECT_EQ(count("DataType or targetID Error! DataType=0x60 targetID =8"), 1);
}

TEST_F(Monitor508, ModeListAndThe4kPatchDecision) {
    const auto plain = makeEdid(0);
    const std::string allowed = vtest::readFile(VEL_DATA_DIR "/edid/allowlist/02-SAM-0D3A.bin");
    ASSERT_EQ(allowed.size(), 128u);
    std::vector<uint8_t> allowedEdid(allowed.begin(), allowed.end());
    const auto uhd = modes({{3840, 2160}, {1920, 1080}});
    peer->setMonitor(4, {plain, 0, uhd, 0xFFFF});
    peer->setMonitor(8, {allowedEdid, 0, uhd, 0xFFFF});
    peer->setMonitor(1, {plain, 0, uhd, 0xFFFF});

    std::vector<uint8_t> edid = plain;
    edid.resize(512);
    ASSERT_EQ(dc->readModeList(edid.data(), 4, 0), 0);
    EXPECT_EQ(dev->modeCount508[0], 2);
    EXPECT_EQ(dev->modeList[0][0].width, 3840u);
    EXPECT_EQ(dev->modeList[0][0].height, 2160u);
    EXPECT_EQ(dev->modeList[0][0].refresh, 60u);
    EXPECT_EQ(dev->modeList[0][0].bpp, 32u);
    EXPECT_EQ(dev->modeList[0][2].width, 0u);
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 00 64 04"), peer->outsOf(0x64)[0].bytes,
                           "mode-list request");
    auto patch = peer->outsOf(0x4E);
    ASSERT_EQ(patch.size(), 1u);
    vtest::expectSameBytes(cmd(44, "2c 00 00 00  06 00 00 00 4e 04 01 00 00 00"), patch[0].bytes,
                           "patch on");
    EXPECT_EQ(count("Not found item in allowlist, open 4k Timing Patch!"), 1);

    // An allow-listed monitor on target 8 turns the patch off.
    edid.assign(allowedEdid.begin(), allowedEdid.end());
    edid.resize(512);
    ASSERT_EQ(dc->readModeList(edid.data(), 8, 1), 0);
    patch = peer->outsOf(0x4E);
    ASSERT_EQ(patch.size(), 2u);
    vtest::expectSameBytes(cmd(44, "2c 00 00 00  06 00 00 00 4e 08 00 00 00 00"), patch[1].bytes,
                           "patch off");
    // Target 1 never gets a patch command.
    ASSERT_EQ(dc->readModeList(edid.data(), 1, 0), 0);
    EXPECT_EQ(peer->outsOf(0x4E).size(), 2u);
}

TEST_F(Monitor508, ModeCountIsBoundedAndErrorsFail) {
    std::vector<uint8_t> many;
    for (int i = 0; i < 61; ++i) {
        auto e = Peer508::modeEntry(640 + i, 480, 60, 32);
        many.insert(many.end(), e.begin(), e.end());
    }
    peer->setMonitor(2, {makeEdid(0), 0, many, 0xFFFF});
    unsigned char edid[512] = {};
    ASSERT_EQ(dc->readModeList(edid, 2, 1), 0);
    EXPECT_EQ(dev->modeCount508[1], 61);
    // A count beyond the packet (and beyond 64) takes only what one packet carries.
    peer->setMonitor(2, {makeEdid(0), 0, many, 0xFFFF - 1});
    ASSERT_EQ(dc->readModeList(edid, 2, 1), 0);
    EXPECT_EQ(dev->modeCount508[1], 61);
    EXPECT_EQ(dev->modeList[1][60].width, 700u);
    EXPECT_EQ(dev->modeList[1][61].width, 0u);
    // A view outside the session and an error status fail.
    EXPECT_EQ(dc->readModeList(edid, 2, 7), 1);
    peer->setStatus(0x64, 4);
    EXPECT_EQ(dc->readModeList(edid, 2, 1), 1);
    EXPECT_EQ(count("Received mode list error code = 4!"), 1);
}

TEST_F(Monitor508, MonitorEventsPlugDisplaysInAndOut) {
    dev->cmdsInitialised = true;
    const auto edid = makeEdid(1);
    for (uint8_t t : {1, 2, 4, 8})
        peer->setMonitor(t, {edid, 0, modes({{1920, 1080}, {1280, 720}}), 0xFFFF});
    // All four outputs: only 4 and 8 are shown, as a dual view.
    peer->raise(0xE1, {0x0F});
    ASSERT_TRUE(vtest::waitFor([&] { return count("Total Monitor number = 2") == 1 && lastBits() == 0x0F; },
                               std::chrono::seconds(30)));
    {
        std::lock_guard<std::mutex> lk(mutex_lock_508);
        ASSERT_EQ(dev->target2View.size(), 2u);
        EXPECT_EQ(dev->target2View.count(4), 1u);
        EXPECT_EQ(dev->target2View.count(8), 1u);
        for (int v = 0; v < 2; ++v) {
            auto rec = emu::connectRecord(dev->evdiHandle[v]);
            EXPECT_TRUE(rec.connected);
            EXPECT_EQ(rec.areaLimit, 2073600u);
            EXPECT_EQ(rec.rateLimit, 530841600u);
            EXPECT_EQ(rec.length, 256u);
        }
        EXPECT_FALSE(dev->hiResDualView);
    }
    // All gone.
    peer->raise(0xE1, {0x00});
    ASSERT_TRUE(vtest::waitFor([&] { return count("Total Monitor number = 0") == 1 && lastBits() == 0; },
                               std::chrono::seconds(30)));
    std::lock_guard<std::mutex> lk(mutex_lock_508);
    EXPECT_TRUE(dev->target2View.empty());
    EXPECT_EQ(dev->evdiHandle[0], nullptr);
    EXPECT_EQ(dev->evdiHandle[1], nullptr);
}

TEST_F(Monitor508, PairOfTheHighResolutionModelAndTheRepeatedEvent) {
    dev->cmdsInitialised = true;
    const auto pair = makeEdid(0, 0x0959, 0x1200);
    peer->setMonitor(1, {pair, 0, modes({{1920, 1200}}), 0xFFFF});
    peer->setMonitor(2, {pair, 0, modes({{1920, 1200}}), 0xFFFF});
    // The same report twice: the second check follows the first at once (it waits for the
    // first's lock) and is ignored.
    peer->raise(0xE1, {0x03});
    peer->raise(0xE1, {0x03});
    ASSERT_TRUE(vtest::waitFor(
        [&] { return count("dual KTR") == 1 && count("Warning: time is shorted") == 1; },
        std::chrono::seconds(30)));
    {
        std::lock_guard<std::mutex> lk(mutex_lock_508);
        // Both displays were connected with the pair's limits (the flag itself is cleared by
        // every check, the ignored one too).
        EXPECT_EQ(emu::connectRecord(dev->evdiHandle[0]).areaLimit, 2304000u);
        EXPECT_EQ(emu::connectRecord(dev->evdiHandle[1]).areaLimit, 2304000u);
    }
    EXPECT_EQ(count("VendorID is 0x959, ProductID is 0x1200"), 2);
    EXPECT_EQ(count("Total Monitor number = 2"), 2);
    EXPECT_EQ(count("Start check monitor, [3]...."), 2);

    // The rule on an injected clock: same count within 100 ms only.
    EXPECT_TRUE(vel508CheckIsBounce(2, 2, 1099999, 1000001));
    EXPECT_FALSE(vel508CheckIsBounce(2, 2, 1100001, 1000001));
    EXPECT_FALSE(vel508CheckIsBounce(1, 2, 1000002, 1000001));
}

TEST_F(Monitor508, ThirdMonitorWaitsForAFreedView) {
    const auto edid = makeEdid(0);
    for (uint8_t t : {1, 2, 4})
        peer->setMonitor(t, {edid, 0, modes({{1920, 1080}}), 0xFFFF});
    ASSERT_EQ(dev->plugInMonitor(1, false), 0);
    ASSERT_EQ(dev->plugInMonitor(2, false), 0);
    ASSERT_EQ(dev->plugInMonitor(4, false), 0);
    EXPECT_EQ(dev->target2View.size(), 2u);
    EXPECT_EQ(dev->pendingTargets.size(), 1u);
    EXPECT_EQ(dev->pluggedMonitors, 3);
    int credits = -1;
    sem_getvalue(&dev->frameCreditSemaphore, &credits);
    EXPECT_EQ(credits, 3);
    EXPECT_FALSE(peer->outsOf(0x45).empty());  // each plug-in restarts the frame numbering

    ASSERT_EQ(dev->plugOutMonitor(1), 0);
    ASSERT_EQ(dev->target2View.count(4), 1u);
    EXPECT_EQ(dev->target2View[4], 0);
    EXPECT_TRUE(dev->dualView);
    EXPECT_TRUE(dev->pendingTargets.empty());
    EXPECT_EQ(emu::connectRecord(dev->evdiHandle[0]).areaLimit, 2073600u);
}

// The adapter has left, but its departure has not been handled (no manager here delivers it, as
// none has yet while the event thread is busy): the EDID request finds the device gone. That is
// the session going away, not an EDID that cannot be read, so the plug-in is given up and the
// service is not ended (the old behaviour ended the process here).
TEST_F(Monitor508, AdapterFoundGoneByThePlugInIsNoFatalError) {
    peer->setMonitor(1, {makeEdid(0), 0, modes({{1920, 1080}}), 0xFFFF});
    ASSERT_EQ(bus.unplug(busId), 0);
    EXPECT_EQ(dev->plugInMonitor(1, true), -1);
    EXPECT_EQ(env.logCount("[info] plugInMonitor: target 0x1 abandoned, the session is going away"),
              1);
    EXPECT_EQ(env.logCount("USB connect failed!"), 0);
    EXPECT_TRUE(dev->target2View.empty());
    EXPECT_TRUE(emu::openHandles().empty());
}

}  // namespace
