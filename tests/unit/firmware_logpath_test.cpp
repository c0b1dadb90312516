// The firmware-log path from the control block: only a generated name directly inside the log
// directory is opened, for appending, and each other form is refused with its log line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "firmware/fwLogPath.h"
#include "service/paths.h"
#include "testSupport.h"

namespace {

struct FwLogPath : ::testing::Test {
    vtest::IsolatedEnv env;
    char field[VEL_FW_LOG_PATH_FIELD] = {};
    const char* name = "fw_log_1207_031500_0.log";

    void SetUp() override { std::filesystem::create_directories(env.logDir()); }
    std::string dir() const { return vel::logDir(); }
    void setField(const std::string& p) {
        memset(field, 0, sizeof field);
        ASSERT_LT(p.size(), sizeof field);
        memcpy(field, p.c_str(), p.size());
    }
    bool logged(const std::string& needle) { return vtest::findLine(env.logLines(), needle) >= 0; }
    void expectRefused(const std::string& why) {
        EXPECT_EQ(velOpenFwLogForAppend(field), -1);
        EXPECT_TRUE(logged("[error] fw log path refused: " + why)) << env.log();
    }
};

}  // namespace

TEST(FwLogName, GeneratedFormOnly) {
    EXPECT_TRUE(velFwLogNameValid("fw_log_1207_031500_0.log"));
    EXPECT_TRUE(velFwLogNameValid("fw_log_0101_000000_1.log"));
    for (const char* n :
         {"fw_log_1207_031500_2.log", "fw_log_1207_031500_0.log2", "fw_log_1207_031500_0.lo",
          "fw_log_12a7_031500_0.log", "fw_log_1207-031500_0.log", "fw_log_1207_0315000_0.log",
          "fw_log_1207_031500_0.txt", "xw_log_1207_031500_0.log", "", "../log_1207_031500_0.log",
          "fw_log_1207_03/500_0.log"}) {
        EXPECT_FALSE(velFwLogNameValid(n)) << n;
    }
    EXPECT_FALSE(velFwLogNameValid(nullptr));
}

TEST_F(FwLogPath, GeneratedPathIsCreatedAndAppended) {
    setField(dir() + name);
    int fd = velOpenFwLogForAppend(field);
    ASSERT_GE(fd, 0) << env.log();
    struct stat st {};
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_mode & 0777 & ~0644, 0u);  // never wider than 0644
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    close(fd);
    EXPECT_EQ(velAppendFwLogText(field, "first ", 64), 0);
    // Only the text up to its terminator, and never past the cap.
    const char block[] = "second\0garbage";
    EXPECT_EQ(velAppendFwLogText(field, block, sizeof block), 0);
    const char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(velAppendFwLogText(field, unterminated, 3), 0);
    EXPECT_EQ(vtest::readFile(dir() + name), "first secondabc");
}

TEST_F(FwLogPath, OtherDirectoryIsRefused) {
    vtest::TempDir other;
    setField(other.path() + "/" + name);
    expectRefused(std::string(field) + " is not a fw_log_MMDD_HHMMSS_k.log file in " + dir());
    EXPECT_FALSE(std::filesystem::exists(other.file(name)));
    setField(std::string("/etc/") + name);
    EXPECT_EQ(velOpenFwLogForAppend(field), -1);
}

TEST_F(FwLogPath, DotDotAndSubdirectoryAreRefused) {
    std::filesystem::create_directories(dir() + "sub");
    setField(dir() + "../" + name);
    expectRefused(dir() + "../" + name + " is not a fw_log_MMDD_HHMMSS_k.log file");
    setField(dir() + "sub/" + name);
    EXPECT_EQ(velOpenFwLogForAppend(field), -1);
    EXPECT_FALSE(std::filesystem::exists(dir() + "sub/" + name));
    setField(dir() + "fw_log_1207_031500_0.log/..");
    EXPECT_EQ(velOpenFwLogForAppend(field), -1);
    setField(dir() + "VelUSBDisplay.log");  // the service's own log is not a firmware log
    EXPECT_EQ(velOpenFwLogForAppend(field), -1);
}

TEST_F(FwLogPath, UnterminatedFieldIsRefused) {
    memset(field, 'a', sizeof field);
    expectRefused("not terminated within 64 bytes");
    EXPECT_EQ(velOpenFwLogForAppend(nullptr), -1);
    EXPECT_TRUE(logged("[error] fw log path refused: no path"));
}

TEST_F(FwLogPath, SymbolicLinkIsNotFollowed) {
    vtest::TempDir other;
    const std::string target = other.file("victim");
    std::ofstream(target) << "keep";
    ASSERT_EQ(symlink(target.c_str(), (dir() + name).c_str()), 0);
    setField(dir() + name);
    expectRefused("can't open " + dir() + name);
    EXPECT_EQ(velAppendFwLogText(field, "overwrite", 64), -1);
    EXPECT_EQ(vtest::readFile(target), "keep");
}

TEST_F(FwLogPath, NonRegularOrMultiplyLinkedFilesAreRefused) {
    // A directory under the name: the open itself fails.
    std::filesystem::create_directory(dir() + name);
    setField(dir() + name);
    expectRefused("can't open");

    // A FIFO would block an ordinary open for writing until a reader came.
    const std::string fifo = dir() + "fw_log_1207_031500_1.log";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    setField(fifo);
    EXPECT_EQ(velOpenFwLogForAppend(field), -1);

    // A hard link to a file elsewhere would let the block name any file on the file system.
    vtest::TempDir other;
    const std::string target = other.file("victim");
    std::ofstream(target) << "keep";
    const std::string linked = dir() + "fw_log_0101_000000_0.log";
    if (link(target.c_str(), linked.c_str()) != 0) GTEST_SKIP() << "no hard links across /tmp";
    setField(linked);
    expectRefused(linked + " is not a regular file with a single link");
    EXPECT_EQ(vtest::readFile(target), "keep");
}
