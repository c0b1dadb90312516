// Model-520 firmware decisions without USB: the update decision and its log lines, and the
// firmware-log blocks against a control-block record (counters, file, finish flag, refusals).
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "devmgr/controlBlock.h"
#include "display/vel520Protocol.h"
#include "firmware/fw520Update.h"
#include "service/paths.h"
#include "testSupport.h"

namespace {

std::vector<unsigned char> logBlock(uint32_t total, uint32_t index, const std::string& text,
                                    uint8_t dataClass = vel520::CLASS_QUERY,
                                    uint8_t dataType = vel520::QUERY_FW_LOG) {
    std::vector<unsigned char> b(48 + text.size() + 1, 0);
    vel520::WireHeader h;
    h.dataClass = dataClass;
    h.dataType = dataType;
    h.payloadLength = static_cast<uint32_t>(b.size() - 32);
    unsigned char header[vel520::kHeaderSize];
    vel520::writeHeader(header, h);
    memcpy(b.data(), header, sizeof header);
    vel520::putU32(b.data() + 32, total);
    vel520::putU32(b.data() + 36, index);
    memcpy(b.data() + 48, text.data(), text.size());
    return b;
}

struct Fw520 : ::testing::Test {
    vtest::IsolatedEnv env;
    VEL_SHM_RECORD rec{};
    std::string path;

    void SetUp() override {
        std::filesystem::create_directories(env.logDir());
        path = vel::logDir() + "fw_log_1207_031500_0.log";
        controlBlockPutText(rec.fwLogPath, sizeof rec.fwLogPath, path.c_str());
    }
    int feed(const std::vector<unsigned char>& b) {
        return velFw520LogBlock(b.data(), b.size(), &rec);
    }
    bool logged(const std::string& needle) { return vtest::findLine(env.logLines(), needle) >= 0; }
};

}  // namespace

TEST_F(Fw520, DecisionFollowsDottedVersionsAndLogsTheOutcome) {
    // The float reading would call 1.10 older than 1.9 and never update.
    EXPECT_EQ(velFw520ShouldUpdate(0, " 1.10", "1.9"), 1);
    EXPECT_TRUE(
        logged("FW Version in host is newer than device FW, device_id:0 FW Version in "
               "device: 1.9, FW Version in host:  1.10"))
        << env.log();
    EXPECT_EQ(velFw520ShouldUpdate(1, "1.9", "1.10"), 0);
    EXPECT_TRUE(
        logged("FW Version in host is older than device FW, device_id:1 FW Version in "
               "device: 1.10, FW Version in host: 1.9"));
    EXPECT_EQ(velFw520ShouldUpdate(0, "2.0", "2.00"), 0);
    EXPECT_TRUE(logged("FW Version matched, device_id:0 FW Version: 2.0,"));
    EXPECT_EQ(velFw520ShouldUpdate(0, "9.0", "unknown"), 0);
    EXPECT_TRUE(logged("[error] can't compare FW versions, device version"));
    EXPECT_EQ(velFw520ShouldUpdate(0, nullptr, nullptr), 0);
}

TEST_F(Fw520, ThreeBlockLog) {
    ASSERT_EQ(feed(logBlock(3, 0, "alpha ")), 0);
    EXPECT_EQ(rec.fwLogTotal, 3);
    EXPECT_EQ(rec.fwLogReceived, 0);
    EXPECT_EQ(rec.fwLogDone, 0);
    EXPECT_TRUE(logged("fw log downloaing..."));
    ASSERT_EQ(feed(logBlock(3, 1, "beta ")), 0);
    EXPECT_EQ(rec.fwLogReceived, 2);
    EXPECT_EQ(rec.fwLogDone, 0);
    ASSERT_EQ(feed(logBlock(3, 2, "gamma")), 0);
    EXPECT_EQ(rec.fwLogDone, 1);
    EXPECT_TRUE(logged("fw log download finished, total block:3, filename:" + path));
    EXPECT_EQ(vtest::readFile(path), "alpha beta gamma");
}

TEST_F(Fw520, SingleBlockLogIsFinished) {
    ASSERT_EQ(feed(logBlock(1, 0, "only")), 0);
    EXPECT_EQ(rec.fwLogTotal, 1);
    EXPECT_EQ(rec.fwLogDone, 1);
    EXPECT_EQ(vtest::readFile(path), "only");
}

TEST_F(Fw520, TextStopsAtTerminatorOrAtTheEndOfTheBlock) {
    auto b = logBlock(2, 0, "kept");
    b.insert(b.end(), {'x', 'y'});  // after the terminator
    ASSERT_EQ(feed(b), 0);
    auto open = logBlock(2, 1, "tail");
    open.pop_back();  // no terminator: the text ends with the bytes received
    ASSERT_EQ(feed(open), 0);
    EXPECT_EQ(vtest::readFile(path), "kepttail");
}

TEST_F(Fw520, RefusedPathDropsTextButCountersAdvance) {
    controlBlockPutText(rec.fwLogPath, sizeof rec.fwLogPath, "/etc/fw_log_1207_031500_0.log");
    ASSERT_EQ(feed(logBlock(2, 0, "secret")), 0);
    ASSERT_EQ(feed(logBlock(2, 1, "secret")), 0);
    EXPECT_EQ(rec.fwLogTotal, 2);
    EXPECT_EQ(rec.fwLogDone, 1);
    EXPECT_TRUE(logged("[error] fw log path refused"));
    EXPECT_FALSE(std::filesystem::exists("/etc/fw_log_1207_031500_0.log"));
}

TEST_F(Fw520, CorruptBlocksLeaveTheRecordAlone) {
    EXPECT_EQ(feed(logBlock(3, 0, "x", vel520::CLASS_CONTROL, 48)), -1);
    EXPECT_TRUE(
        logged("[error] VelDisplay520Class::ProcessFWLogResponse DataClass:1, DataType:48"));
    EXPECT_EQ(feed(logBlock(3, 0, "x", vel520::CLASS_QUERY, 5)), -1);
    EXPECT_EQ(feed(logBlock(3, 3, "x")), -1);  // index past the total
    EXPECT_EQ(feed(logBlock(0, 0, "x")), -1);
    EXPECT_EQ(feed(logBlock(0x80000000u, 0, "x")), -1);
    auto shortBlock = logBlock(3, 0, "");
    EXPECT_EQ(velFw520LogBlock(shortBlock.data(), 47, &rec), -1);
    EXPECT_EQ(velFw520LogBlock(nullptr, 100, &rec), -1);
    EXPECT_EQ(rec.fwLogTotal, 0);
    EXPECT_EQ(rec.fwLogReceived, 0);
    EXPECT_EQ(rec.fwLogDone, 0);
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(Fw520, ImageIsReadWholeOrRefused) {
    vtest::TempDir dir;
    const std::string p = dir.file("img");
    std::vector<unsigned char> out{1, 2, 3};
    {
        std::string bytes(1000, 'z');
        bytes[0] = 'A';
        std::ofstream(p, std::ios::binary) << bytes;
    }
    FILE* f = fopen(p.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    fseek(f, 500, SEEK_SET);  // read from the start whatever the stream position
    ASSERT_EQ(velFw520ReadImage(f, 1000, out), 0);
    EXPECT_EQ(out.size(), 1000u);
    EXPECT_EQ(out[0], 'A');
    // The file shrank since it was measured: a short read is not sent.
    EXPECT_EQ(velFw520ReadImage(f, 1001, out), 1);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(logged("[error] firmware image read 1000 of 1001 bytes, not sent"));
    EXPECT_EQ(velFw520ReadImage(f, static_cast<int>(VEL_FW520_IMAGE_MAX) + 1, out), 1);
    EXPECT_TRUE(logged("larger than 5242880 bytes, not sent"));
    EXPECT_EQ(velFw520ReadImage(f, 0, out), 1);
    EXPECT_TRUE(logged("Read nothing from firmware file."));
    EXPECT_EQ(velFw520ReadImage(nullptr, 10, out), 1);
    fclose(f);
}
