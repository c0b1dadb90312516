// Client operations against a control block that the test creates and fills in the role of the
// service (each test has its own block name, so runs in parallel do not meet).
#include "devmgr/clientOps.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include "devmgr/controlBlock.h"
#include "testSupport.h"

namespace {

using namespace std::chrono_literals;
using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

const std::string kGreen = "\33[32m";
const std::string kReset = "\33[0m";

std::string bar(int n, const std::string& pct) {
    return "[" + kGreen + std::string(n, '=') + kReset + std::string(50 - n, ' ') + "] " + pct +
           "%\r";
}

// The service's side: creates the block under the test's name and removes it afterwards. The
// test plays the service through a mapping of its own (the service itself never maps the block);
// a test that cuts the block short stops touching the mapping.
class ClientOps : public ::testing::Test {
  protected:
    vtest::IsolatedEnv env;
    int fd = -1;
    void* raw = MAP_FAILED;
    VEL_SHM_BLOCK* block = nullptr;

    void SetUp() override {
        ASSERT_EQ(0, controlBlockCreate(env.shmName().c_str(), &fd));
        raw = mmap(nullptr, VEL_SHM_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ASSERT_NE(MAP_FAILED, raw);
        block = static_cast<VEL_SHM_BLOCK*>(raw);
    }
    void TearDown() override {
        if (raw != MAP_FAILED) munmap(raw, VEL_SHM_SIZE);
        if (fd >= 0) controlBlockDestroy(env.shmName().c_str(), fd);
    }
    VEL_SHM_RECORD& rec(int k) { return block->record[k]; }
    void writeHostImage(const std::string& tail, size_t padding = 4096) {
        std::filesystem::create_directories(env.fwDir());
        std::ofstream f(env.fwDir() + "/USBDisplay520.bin", std::ios::binary);
        f << std::string(padding, '\xA5') << tail;
    }
};

class NoService : public ::testing::Test {
  protected:
    vtest::IsolatedEnv env;  // its block name was never created
};

TEST(ProgressBar, DrawsProportionalBar) {
    CaptureStdout();
    setProgressBar(25, 100);
    EXPECT_EQ(bar(12, "25.0"), GetCapturedStdout());
    CaptureStdout();
    setProgressBar(100, 100);
    EXPECT_EQ(bar(50, "100.0") + "\n", GetCapturedStdout());
}

TEST(ProgressBar, CountsFromTheServiceNeverOverrunTheBar) {
    CaptureStdout();
    setProgressBar(11, 10);  // received + 1 past the total
    EXPECT_EQ(bar(50, "100.0") + "\n", GetCapturedStdout());
    CaptureStdout();
    setProgressBar(-3, 10);
    EXPECT_EQ(bar(0, "0.0"), GetCapturedStdout());
    CaptureStdout();
    setProgressBar(1, 0);
    EXPECT_EQ(bar(0, "0.0"), GetCapturedStdout());
}

TEST(Timestamp, MonthDayUnderscoreTime) {
    EXPECT_TRUE(std::regex_match(getCurrentTimestamp(),
                                 std::regex("[01][0-9][0-3][0-9]_[0-2][0-9][0-5][0-9][0-6][0-9]")));
}

// Runs getLocalFwVersion over the given image bytes.
int versionOf(const std::string& image, std::string* version, size_t size = VEL_FW_VERSION_MAX) {
    FILE* f = tmpfile();
    fwrite(image.data(), 1, image.size(), f);
    rewind(f);
    char buf[64];
    memset(buf, '#', sizeof buf);
    int r = getLocalFwVersion(f, buf, size);
    fclose(f);
    *version = r ? std::string(buf) : std::string();
    if (r) {
        EXPECT_EQ('#', buf[size]) << "wrote past the buffer";
    }
    return r;
}

TEST(LocalFwVersion, TailScan) {
    std::string v;
    std::string tail = "....Version: 2.3.1 build 77";
    EXPECT_EQ(1,
              versionOf(std::string(100000, 'q') + tail + std::string(128 - tail.size(), '.'), &v));
    EXPECT_EQ(" 2.3.1", v) << "keeps the character after the colon";

    // Only the last 128 bytes count.
    EXPECT_EQ(0, versionOf("Version: 9.9.9 x" + std::string(200, '.'), &v));
    // The highest stamp wins.
    EXPECT_EQ(1, versionOf(std::string(300, '.') + "Version: 1.0 a Version: 2.0 b", &v));
    EXPECT_EQ(" 2.0", v);
    // No space after the version.
    EXPECT_EQ(0, versionOf(std::string(300, '.') + "Version: 3.0.0", &v));
    // An image shorter than the tail is scanned without reading before its start.
    EXPECT_EQ(1, versionOf("Version: 4.1 z", &v));
    EXPECT_EQ(" 4.1", v);
    EXPECT_EQ(0, versionOf("", &v));
}

TEST(LocalFwVersion, LongVersionIsCutToTheBuffer) {
    std::string v;
    std::string image = std::string(200, '.') + "Version: " + std::string(60, '7') + " end";
    EXPECT_EQ(1, versionOf(image, &v));
    EXPECT_EQ(" " + std::string(38, '7'), v);  // 39 characters and the terminator
    EXPECT_EQ(1, versionOf(image, &v, 4));
    EXPECT_EQ(" 77", v);
}

TEST(LocalFwVersion, ReadFailureIsLogged) {
    vtest::IsolatedEnv env;
    FILE* dir = fopen(env.fwDir().c_str(), "rb");  // opens, but every read fails (EISDIR)
    ASSERT_NE(nullptr, dir);
    char buf[VEL_FW_VERSION_MAX];
    EXPECT_EQ(0, getLocalFwVersion(dir, buf));
    fclose(dir);
    EXPECT_GE(vtest::findLine(env.logLines(), "[error] can't read file"), 0);
}

TEST_F(ClientOps, PrintFpsSetsBothRecords) {
    CaptureStdout();
    EXPECT_EQ(0, managerPrintFps(5));
    EXPECT_EQ("====>Vel USB Device FPS<====\nset FPS print interval to 5 s.\n",
              GetCapturedStdout());
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(1, rec(k).fpsPrintEnabled);
        EXPECT_EQ(5, rec(k).fpsInterval);
    }
    CaptureStdout();
    EXPECT_EQ(0, managerPrintFps(0));
    EXPECT_EQ("====>Vel USB Device FPS<====\ndisable FPS print.\n", GetCapturedStdout());
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(0, rec(k).fpsPrintEnabled);
        EXPECT_EQ(0, rec(k).fpsInterval);
    }
}

TEST_F(ClientOps, SwitchModeSetsBothRecords) {
    CaptureStdout();
    EXPECT_EQ(0, managerSwitchMode(DevManager::LIGHT));
    EXPECT_EQ("set power mode to light.\n", GetCapturedStdout());
    EXPECT_EQ(1, rec(0).powerModeRequest);
    EXPECT_EQ(1, rec(1).powerModeRequest);
    CaptureStdout();
    EXPECT_EQ(0, managerSwitchMode(DevManager::SMART));
    EXPECT_EQ("set power mode to smart.\n", GetCapturedStdout());
    EXPECT_EQ(0, rec(0).powerModeRequest);
    EXPECT_EQ(0, rec(1).powerModeRequest);
}

TEST_F(ClientOps, FwVersionBoardAndHost) {
    rec(0).versionValid = 1;
    controlBlockPutText(rec(0).fwVersion, sizeof rec(0).fwVersion, "1.4.2");
    rec(1).versionValid = 0;
    controlBlockPutText(rec(1).fwVersion, sizeof rec(1).fwVersion, "stale");
    writeHostImage("Version: 2.3.1 build");
    CaptureStdout();
    EXPECT_EQ(0, managerPrintFwVersion(DevManager::BOARD));
    EXPECT_EQ(
        "====>Vel USB Device Firmware Version<====\n"
        "\033[33mDevice[0] FW\033[0m Version: \033[33m1.4.2\033[0m\n"
        "\033[33mHOST FW\033[0m Version: \033[33m 2.3.1\033[0m\n",
        GetCapturedStdout());

    CaptureStdout();
    EXPECT_EQ(0, managerPrintFwVersion(DevManager::HOST));
    EXPECT_EQ(
        "====>Vel USB Device Firmware Version<====\n"
        "\033[33mHOST FW\033[0m Version: \033[33m 2.3.1\033[0m\n",
        GetCapturedStdout());
}

TEST_F(ClientOps, FwVersionFieldWithoutTerminatorStaysInItsField) {
    rec(1).versionValid = 1;
    memset(rec(1).fwVersion, 'V', sizeof rec(1).fwVersion);
    rec(1).fpsInterval = 0x42424242;  // the bytes a read past the field would pick up
    writeHostImage("no stamp here");
    CaptureStdout();
    EXPECT_EQ(0, managerPrintFwVersion(DevManager::BOARD));
    std::string out = GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("Device[1] FW\033[0m Version: \033[33m" +
                                          std::string(32, 'V') + "\033[0m\n"));
    EXPECT_NE(std::string::npos, out.find("Fail to get Host FW Version: can not parse " +
                                          env.fwDir() + "/USBDisplay520.bin\n"));
}

TEST_F(ClientOps, MissingHostImageReportsTheSystemError) {
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(-1, managerPrintFwVersion(DevManager::HOST));
    EXPECT_EQ("Fail to get Host FW Version: No such file or directory\n", GetCapturedStderr());
    EXPECT_EQ("====>Vel USB Device Firmware Version<====\n", GetCapturedStdout());
}

TEST_F(NoService, OpenFailuresPrintTheirMessages) {
    CaptureStdout();
    EXPECT_EQ(-1, managerPrintFps(3));
    EXPECT_EQ(-1, managerShowFps());
    EXPECT_EQ(-1, managerSwitchMode(DevManager::LIGHT));
    EXPECT_EQ(-1, getFwLog());
    EXPECT_EQ(
        "====>Vel USB Device FPS<====\nFail to open shared memory, can not set fps\n"
        "====>Vel USB Device FPS<====\nFail to open shared memory, can not show fps on terminal\n"
        "can not set power mode\n"
        "can not get fw log\n",
        GetCapturedStdout());

    // The board query goes on to the host image.
    {
        std::ofstream f(env.fwDir() + "/USBDisplay520.bin");
        f << "Version: 5.0 x";
    }
    CaptureStdout();
    EXPECT_EQ(0, managerPrintFwVersion(DevManager::BOARD));
    EXPECT_EQ(
        "====>Vel USB Device Firmware Version<====\ncan not get fw version in board\n"
        "\033[33mHOST FW\033[0m Version: \033[33m 5.0\033[0m\n",
        GetCapturedStdout());
}

TEST_F(ClientOps, ShowFpsWithPrintingDisabledExitsWithOne) {
    rec(0).fpsPrintEnabled = 0;
    EXPECT_EXIT(managerShowFps(), ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(0, rec(0).showFpsRequest);
}

TEST_F(ClientOps, ShowFpsPrintsEachNewSampleAndStopsOnTheFlag) {
    rec(0).fpsPrintEnabled = 1;
    rec(1).fpsPrintEnabled = 0;
    std::atomic<bool> served{false};
    std::chrono::steady_clock::time_point flagged;
    std::thread service([&] {
        if (!vtest::waitFor([&] { return controlBlockLoad(rec(0).showFpsRequest) == 1; })) return;
        VEL_SHM_RECORD& r = rec(0);
        r.viewIndex[1] = 1;
        r.targetId[1] = 0x2;
        r.pictures[1] = 30;
        r.intervalMs[1] = 1000;
        r.fps[1] = 30.0;
        controlBlockStore(r.newFpsSample[1], static_cast<uint8_t>(1));
        if (!vtest::waitFor([&] { return controlBlockLoad(r.newFpsSample[1]) == 0; })) return;
        served = true;
        flagged = std::chrono::steady_clock::now();
        showFpsExit = 1;
    });
    CaptureStdout();
    int result = managerShowFps();
    auto returned = std::chrono::steady_clock::now();
    std::string out = GetCapturedStdout();
    service.join();
    EXPECT_EQ(0, result);
    ASSERT_TRUE(served);
    EXPECT_EQ(
        "====>Vel USB Device FPS<====\n"
        "view[\33[32m1\33[0m](\33[32m0x2\33[0m): 30 pictures in 1000 ms, fps:\33[32m30.0\33[0m\n",
        out);
    EXPECT_EQ(0, rec(1).showFpsRequest) << "record 1 is asked only when its printing is on";
    // One 100 ms period, with room for a loaded machine.
    EXPECT_LT(returned - flagged, 2s * vtest::kTimeScale);
}

TEST_F(ClientOps, FwLogFinishesWhenTheServiceSetsDone) {
    vtest::StdoutToFile printed;
    std::thread service([&] {
        VEL_SHM_RECORD& r = rec(0);
        if (!vtest::waitFor([&] { return controlBlockLoad(r.fwLogRequest) == 1; })) return;
        controlBlockStore(r.fwLogRequest, static_cast<uint8_t>(0));
        r.fwLogReceived = 3;
        controlBlockStore(r.fwLogTotal, 8);
        // Done only once the watcher has drawn the step, however slowly its passes come.
        vtest::waitFor([&] { return printed.text().find(bar(25, "50.0")) != std::string::npos; },
                       20s);
        controlBlockStore(r.fwLogReceived, 8);
        controlBlockStore(r.fwLogDone, static_cast<uint8_t>(1));
    });
    int result = getFwLog();
    std::string out = printed.finish();
    service.join();
    EXPECT_EQ(0, result);

    std::regex pathRe(
        std::regex_replace(env.logDir(), std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
        "/fw_log_[0-9]{4}_[0-9]{6}_([01])\\.log");
    std::string p0 = controlBlockGetText(rec(0).fwLogPath, sizeof rec(0).fwLogPath);
    std::string p1 = controlBlockGetText(rec(1).fwLogPath, sizeof rec(1).fwLogPath);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(p0, m, pathRe)) << p0;
    EXPECT_EQ("0", m[1]);
    ASSERT_TRUE(std::regex_match(p1, m, pathRe)) << p1;
    EXPECT_EQ("1", m[1]);
    EXPECT_EQ(1, rec(1).fwLogRequest) << "record 1's request is the service's to clear";

    EXPECT_EQ(0u, out.find("get fw log now...\n"));
    EXPECT_NE(std::string::npos, out.find(bar(25, "50.0"))) << out;  // (3 + 1) of 8
    EXPECT_NE(std::string::npos,
              out.find(bar(50, "100.0") + "\nfw log download finished. log file path:\n\33[1;32m" +
                       p0 + "\33[0m\n"));
    EXPECT_EQ(0, rec(0).fwLogTotal);
    EXPECT_EQ(0, rec(0).fwLogDone);
}

TEST_F(ClientOps, FwLogTimesOutAndClearsItsHalf) {
    rec(0).fwLogTotal = 0;
    CaptureStdout();
    int result = getFwLog(2);  // two passes of 500 ms instead of forty
    std::string out = GetCapturedStdout();
    EXPECT_EQ(1, result);
    EXPECT_EQ("get fw log now...\nfw log download timeout\n", out);
    EXPECT_EQ(1, rec(0).fwLogRequest);
    EXPECT_EQ(0, rec(0).fwLogTotal);
    EXPECT_EQ(0, rec(0).fwLogDone);
}

TEST_F(ClientOps, FwLogRefusesAPathThatWouldBeCut) {
    std::string longDir = env.logDir() + "/" + std::string(40, 'd');
    setenv("VEL_LOG_DIR", longDir.c_str(), 1);
    CaptureStdout();
    int result = getFwLog(1);
    std::string out = GetCapturedStdout();
    setenv("VEL_LOG_DIR", env.logDir().c_str(), 1);
    EXPECT_EQ(1, result);
    EXPECT_NE(std::string::npos, out.find("fw log path too long")) << out;
    EXPECT_EQ(0, rec(0).fwLogRequest);
    EXPECT_EQ(0, rec(1).fwLogRequest);
}

// Any local user may cut the block short while a client holds it open: the client then reads no
// progress and no samples, and ends as it would without an answer.
TEST_F(ClientOps, BlockCutShortWhileAClientWaitsEndsNothing) {
    {
        SCOPED_TRACE("firmware-log watcher");
        std::thread other([&] {
            if (!vtest::waitFor([&] { return controlBlockLoad(rec(0).fwLogRequest) == 1; })) return;
            vtest::resizeShmObject(env.shmName(), 0);
        });
        CaptureStdout();
        int result = getFwLog(3);
        std::string out = GetCapturedStdout();
        other.join();
        EXPECT_EQ(1, result);
        EXPECT_EQ("get fw log now...\nfw log download timeout\n", out);
        EXPECT_EQ("", vtest::shmBytes(env.shmName())) << "the client must not grow it back";
    }
    ASSERT_TRUE(vtest::resizeShmObject(env.shmName(), VEL_SHM_SIZE));
    {
        SCOPED_TRACE("FPS display");
        rec(0).fpsPrintEnabled = 1;
        std::thread other([&] {
            if (!vtest::waitFor([&] { return controlBlockLoad(rec(0).showFpsRequest) == 1; }))
                return;
            vtest::resizeShmObject(env.shmName(), 0);
            std::this_thread::sleep_for(300ms);  // a few of the display's polls
            showFpsExit = 1;
        });
        CaptureStdout();
        int result = managerShowFps();
        std::string out = GetCapturedStdout();
        other.join();
        EXPECT_EQ(0, result);
        EXPECT_EQ("====>Vel USB Device FPS<====\n", out);
    }
}

}  // namespace
