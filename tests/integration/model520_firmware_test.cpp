// Model-520 firmware check and firmware-log download, in-process: the service's device manager
// against the emulated model-520 adapter. The update decision at bring-up and in the hot-plug
// worker with its log lines (the cases that end in an update, and so in the service's exit, are
// process tests in tests/e2e/model520_firmware_test.cpp), the image send, and the log blocks as
// the receive thread takes them: file contents, record counters, the heartbeat, path refusals
// and corrupt blocks.
#include <gtest/gtest.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "firmware/loadFW.h"
#include "managerFixture.h"

using namespace std::chrono_literals;

namespace {

// A host firmware image of `size` bytes whose tail carries "Version: <version> build".
std::string hostImage(const std::string& version, size_t size = 4096) {
    std::string tail = "Version: " + version + " build 0520";
    std::string image(size - tail.size(), '\0');
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>((i * 31) & 0xFF);
    return image + tail;
}

struct Firmware520 : vtest::Manager520Test {
    void putImages(const std::string& main) {
        put("Bootloader0.bin", "bootloader zero");
        put("Bootloader1.bin", "bootloader one image");
        put("firmware0.bin", "secondary firmware");
        put("USBDisplay520.bin", main);
    }
    void put(const std::string& name, const std::string& bytes) {
        std::ofstream(env.fwDir() + "/" + name, std::ios::binary) << bytes;
    }
    std::string logPath(int k = 0, const char* stamp = "1207_031500") {
        return env.logDir() + "/fw_log_" + stamp + "_" + std::to_string(k) + ".log";
    }
    // Puts `path` (at most 64 bytes, taken whole) into the record and requests a download;
    // waits until the request has been taken and the blocks have had time to arrive.
    void download(const char* path, size_t bytes) {
        memset(record().fwLogPath, 0, sizeof record().fwLogPath);
        memcpy(record().fwLogPath, path, bytes);
        controlBlockStore(record().fwLogDone, uint8_t{0});
        controlBlockStore(record().fwLogRequest, uint8_t{1});
        ASSERT_TRUE(
            vtest::waitFor([&] { return controlBlockLoad(record().fwLogRequest) == 0; }, 3s));
        std::this_thread::sleep_for(300ms);
    }
    void download(const std::string& path) { download(path.c_str(), path.size() + 1); }
    // The service raises fwLogDone after its last read of the path field: only then may the
    // test write the next path (a client process would, too).
    bool downloadDone() { return controlBlockLoad(record().fwLogDone) == 1; }
    int querySemaphoreValue() { return vtest::semValue(&semaphores[0][0][vel520::SEM_QUERY]); }
};

}  // namespace

TEST_F(Firmware520, DecisionAtBringUpComparesDottedVersions) {
    struct Case {
        const char* host;
        const char* device;
        const char* line;
    } cases[] = {
        // The single-number reading would take 1.9 for newer than 1.10 (1.1) and update.
        {"1.9", "1.10",
         "FW Version in host is older than device FW, device_id:0 FW Version in "
         "device: 1.10, FW Version in host:  1.9"},
        {"2.0", "2.00", "FW Version matched, device_id:0 FW Version:  2.0,"},
        {"1.2.9", "V1.3.12.0520", "FW Version in host is older than device FW"},
        // Decorated texts are read by their first dotted number.
        {"2.24.1.0", "v 2.24.1.0", "FW Version matched, device_id:0 FW Version:  2.24.1.0,"},
        {"1.9", "FW 1.10",
         "FW Version in host is older than device FW, device_id:0 FW Version in device: FW "
         "1.10, FW Version in host:  1.9"},
        {"x.y", "1.2",
         "[error] can't compare FW versions, host version has no readable version number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        putImages(hostImage(c.host));
        emu::Model520::Config config;
        config.firmwareVersion = c.device;
        start(config);
        expectInOrder({"FW Version: ",
                       std::string("[info] found updateBin in file system, FW "
                                   "Version:  ") +
                           c.host,
                       c.line, "Layout Version: LAYOUT-2.1",
                       "+ VelDisplay520Class::controlHeartbeat devId=0, status=1 +"});
        EXPECT_EQ(count("fwUpdate"), 0);
        EXPECT_TRUE(model->received(2, 6).empty());
        EXPECT_FALSE(dc()->fwUpdatedFlag);
        TearDown();
        std::filesystem::remove(env.logFile());
        SetUp();
    }
}

TEST_F(Firmware520, NoUsableImageSetLeavesBringUpAlone) {
    {
        SCOPED_TRACE("no images at all");
        start();
        EXPECT_EQ(count("Bootloader0 not found, can't to update firmware!"), 1);
        EXPECT_EQ(count("Layout Version:"), 0);
        TearDown();
        std::filesystem::remove(env.logFile());
        SetUp();
    }
    {
        SCOPED_TRACE("main image without a version");
        putImages(std::string(300, 'x'));
        start();
        EXPECT_EQ(count("[error] fail to get FW Verion"), 1);
        EXPECT_EQ(count("Layout Version:"), 0);
        EXPECT_TRUE(model->received(2, 6).empty());
    }
}

TEST_F(Firmware520, HotPlugWorkerChecksTheFirmwareFirst) {
    putImages(hostImage("1.3.12.520"));
    start();
    EXPECT_EQ(count("FW Version matched, device_id:0"), 1);
    emu::Model520::Monitor mon;
    mon.target = 0x21;
    mon.edid = emu::Model520::corpusEdid("cta3-1080p-dell-s2419h-5A2CDC31568E.bin");
    mon.modeList = emu::Model520::modeEntry(1920, 1080, 32, 60);
    model->plugMonitor(1, mon);
    ASSERT_TRUE(vtest::waitFor([&] { return count("FW Version matched, device_id:0") == 2; }, 5s))
        << env.log();
    // The worker's port line follows the whole check (a version query more): wait for it too.
    ASSERT_TRUE(vtest::waitFor([&] { return count("vPortReceieve[1]: 0x21") == 1; }, 5s))
        << env.log();
    // The worker checks before it plugs anything.
    expectInOrder({"FW Version matched", "FW Version matched", "vPortReceieve[1]: 0x21"});
}

TEST_F(Firmware520, ImagesGoOutWholeAndLargeOnesHeaderFirst) {
    putImages(hostImage("1.0"));
    start();
    auto c = dc();
    struct Case {
        size_t size;
        bool headerFirst;
    } cases[] = {{1048543, false}, {1048544, true}, {0x500000, true}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.size);
        const std::string image = hostImage("9.9", k.size);
        put("USBDisplay520.bin", image);
        _FILES files{};
        ASSERT_EQ(checkFileExists(0, &files), 0);
        model->clearReceived();
        EXPECT_EQ(c->updateFwOnly(&files), 0);
        closeFiles(&files);
        auto got = model->received(2, 6);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].headerFirst, k.headerFirst);
        EXPECT_FALSE(got[0].header.responseRequested);
        EXPECT_TRUE(got[0].error.empty()) << got[0].error;
        EXPECT_EQ(std::string(got[0].payload.begin(), got[0].payload.end()), image);
    }
    expectInOrder({"+ CUSB520Adapter::updateFwOnly +", "+ VelDisplayClass::fwUpdate Type:6 +",
                   "- VelDisplay520Class::fwUpdate Ret=0 -", "- CUSB520Adapter::updateFwOnly -"});
    EXPECT_TRUE(model->errors().empty());

    _FILES files{};
    ASSERT_EQ(checkFileExists(0, &files), 0);
    EXPECT_EQ(c->updateBl1Only(&files), 0);
    const std::string bl1 = "bootloader one image";
    EXPECT_EQ(model->image(8), std::vector<uint8_t>(bl1.begin(), bl1.end()));
    expectInOrder({"+ CUSB520Adapter:: updateBl1Only +", "+ VelDisplayClass::fwUpdate Type:8 +",
                   "- CUSB520Adapter:: updateBl1Only -"});
    closeFiles(&files);

    {
        SCOPED_TRACE("an image that cannot be read is not sent");
        put("USBDisplay520.bin", "");
        _FILES empty{};
        ASSERT_EQ(checkFileExists(0, &empty), 0);
        model->clearReceived();
        EXPECT_EQ(c->promptUpdateFw(true, false, &empty), 1);
        closeFiles(&empty);
        EXPECT_TRUE(model->received(2, 6).empty());
        expectInOrder({"Read nothing from firmware file.",
                       "= updateFwOnly: Update firmware error:0x1 =", "FW Update Failed"});
        EXPECT_FALSE(c->fwUpdatedFlag);
    }
}

TEST_F(Firmware520, ThreeBlockLogIsWrittenAndReopensTheHeartbeatOnce) {
    emu::Model520::Config config;
    config.logBlocks = 3;
    config.logText = "boot ok\nlink up\nframes 1234\nno errors\n";
    start(config);
    download(logPath());
    ASSERT_TRUE(vtest::waitFor([&] { return controlBlockLoad(record().fwLogDone) == 1; }, 3s));
    EXPECT_EQ(vtest::readFile(logPath()), config.logText);
    EXPECT_EQ(controlBlockLoad(record().fwLogTotal), 3);
    EXPECT_EQ(controlBlockLoad(record().fwLogReceived), 2);
    ASSERT_TRUE(vtest::waitFor([&] { return model->heartbeat().open; }, 3s));
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(model->heartbeat().opens, 2);
    EXPECT_EQ(model->heartbeat().closes, 1);
    EXPECT_EQ(count("open heartbeat"), 1);
    expectInOrder({"close heartbeat", "fw log downloaing...",
                   "fw log download finished, total block:3, filename:" + logPath(),
                   "open heartbeat", "- VelDisplay520Class::controlHeartbeat Ret=0 -"});
    struct stat st {};
    ASSERT_EQ(stat(logPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    // Only the awaited first block posted: nothing is left for the next query to take.
    EXPECT_EQ(querySemaphoreValue(), 0);
    unsigned char text[124] = {};
    EXPECT_EQ(dc()->getFWVersion(1, text, nullptr), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "V1.3.12.0520");
}

TEST_F(Firmware520, SingleBlockLogIsWrittenAndFinished) {
    emu::Model520::Config config;
    config.logBlocks = 1;
    config.logText = "the only block\n";
    start(config);
    download(logPath(1));
    ASSERT_TRUE(vtest::waitFor([&] { return controlBlockLoad(record().fwLogDone) == 1; }, 3s));
    EXPECT_EQ(vtest::readFile(logPath(1)), config.logText);
    EXPECT_EQ(controlBlockLoad(record().fwLogTotal), 1);
    ASSERT_TRUE(vtest::waitFor([&] { return model->heartbeat().opens == 2; }, 3s));
    EXPECT_EQ(count("open heartbeat"), 1);
    EXPECT_EQ(querySemaphoreValue(), 0);
}

TEST_F(Firmware520, RefusedLogPathsWriteNothing) {
    emu::Model520::Config config;
    config.logBlocks = 2;
    config.logText = "secret text";
    start(config);
    vtest::TempDir other;
    const std::string inOther = other.path() + "/fw_log_1207_031500_0.log";
    std::filesystem::create_directories(env.logDir() + "/sub");
    const std::string target = other.file("target");
    { std::ofstream(target) << "keep"; }
    const std::string link = logPath(0, "0101_000000");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    struct Case {
        const char* what;
        std::string path;
        std::string reason;
    } cases[] = {
        {"another directory", inOther, "is not a fw_log_MMDD_HHMMSS_k.log file in"},
        {"dot-dot", env.logDir() + "/sub/../fw_log_1207_031500_0.log",
         "is not a fw_log_MMDD_HHMMSS_k.log file in"},
        {"another name", env.logDir() + "/VelUSBDisplay.log", "is not a fw_log_MMDD_HHMMSS_k"},
        {"symbolic link", link, "can't open"},
    };
    int refusals = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int finished = count("fw log download finished");
        download(c.path);
        ASSERT_TRUE(vtest::waitFor(
            [&] { return count("fw log download finished") == finished + 1 && downloadDone(); },
            3s));
        refusals += 2;  // one line per block
        EXPECT_EQ(count("[error] fw log path refused"), refusals) << env.log();
        EXPECT_GE(count(c.reason), 1);
    }
    EXPECT_FALSE(std::filesystem::exists(inOther));
    EXPECT_EQ(vtest::readFile(target), "keep");
    EXPECT_EQ(vtest::readFile(env.logFile()).find("secret text"), std::string::npos);
    {
        SCOPED_TRACE("not terminated within the field");
        std::string full = logPath();
        std::string field(64, 'a');
        memcpy(&field[0], full.c_str(), std::min<size_t>(full.size(), 64));
        int finished = count("fw log download finished");
        download(field.data(), 64);
        ASSERT_TRUE(vtest::waitFor(
            [&] { return count("fw log download finished") == finished + 1 && downloadDone(); },
            3s));
        EXPECT_EQ(count("[error] fw log path refused: not terminated within 64 bytes"), 2);
        EXPECT_FALSE(std::filesystem::exists(logPath()));
    }
}

TEST_F(Firmware520, CorruptBlocksAreBoundedAndRefused) {
    start();
    const std::string path = logPath();
    memset(record().fwLogPath, 0, sizeof record().fwLogPath);
    memcpy(record().fwLogPath, path.c_str(), path.size() + 1);
    auto block = [](uint32_t total, uint32_t index, const std::string& text, bool terminate) {
        std::vector<uint8_t> p(16, 0);
        for (int b = 0; b < 4; ++b) {
            p[b] = static_cast<uint8_t>(total >> (8 * b));
            p[4 + b] = static_cast<uint8_t>(index >> (8 * b));
        }
        p.insert(p.end(), text.begin(), text.end());
        if (terminate) p.push_back(0);
        return emu::Model520::message(0, 48, 0, p);
    };
    model->queueMessage(block(0, 0, "zero total", true));
    model->queueMessage(block(2, 5, "index beyond", true));
    model->queueMessage(block(0x80000000u, 1, "huge total", true));
    auto shortBlock = block(3, 1, "", false);
    shortBlock.resize(40);  // ends inside the index field
    vel520::putU32(shortBlock.data() + 24, 8);
    model->queueMessage(shortBlock);
    // A text without terminator ends with the message, not beyond it.
    model->queueMessage(block(3, 1, "unterminated", false));
    // A header that claims more than arrived is bounded by what arrived.
    auto claims = block(3, 1, "|claims", false);
    vel520::putU32(claims.data() + 24, 0x100000);
    model->queueMessage(claims);
    ASSERT_TRUE(vtest::waitFor([&] { return vtest::readFile(path) == "unterminated|claims"; }, 3s))
        << env.log() << vtest::readFile(path);
    EXPECT_EQ(count("block 0 of 0 refused"), 1);
    EXPECT_EQ(count("block 5 of 2 refused"), 1);
    EXPECT_EQ(count("block 1 of 2147483648 refused"), 1);
    EXPECT_EQ(count("block of 40 bytes refused"), 1);
    EXPECT_EQ(controlBlockLoad(record().fwLogReceived), 2);
    EXPECT_EQ(controlBlockLoad(record().fwLogDone), 0);
    EXPECT_EQ(count("open heartbeat"), 0);
    EXPECT_EQ(querySemaphoreValue(), 0);

    // Block 0 wakes the query slot it finds armed (the heartbeat's wait); a later block does not
    // wake it, since the slot then belongs to another query's answer.
    auto c = dc();
    c->armResponse(vel520::SEM_QUERY, 0);
    model->queueMessage(block(3, 1, "|later", true));
    ASSERT_TRUE(vtest::waitFor([&] { return vtest::readFile(path).size() > 19; }, 3s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(querySemaphoreValue(), 0);
    model->queueMessage(block(3, 0, "|first", true));
    ASSERT_TRUE(vtest::waitFor([&] { return querySemaphoreValue() == 1; }, 3s));
    EXPECT_EQ(sem_trywait(&semaphores[0][0][vel520::SEM_QUERY]), 0);
    c->disarmResponse(vel520::SEM_QUERY, 0);
    ASSERT_TRUE(vtest::waitFor(
        [&] { return vtest::readFile(path) == "unterminated|claims|later|first"; }, 3s));
}
