// Firmware image files: locating and opening the four images per session model, path overrides
// and their bounds, refusal of unusable files with nothing left open, the checksum, the size of a
// stream and the closing helpers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "devmgr/DevManager.h"
#include "display/VelDisplay520ClassDriver.h"
#include "firmware/loadFW.h"
#include "processUsage.h"
#include "session/VelDev.h"
#include "testSupport.h"

namespace {

struct FwFiles : ::testing::Test {
    vtest::IsolatedEnv env;
    _FILES files{};

    void SetUp() override { g_dev = std::make_unique<DevManager>(); }
    void TearDown() override {
        closeFiles(&files);
        g_dev.reset();
    }
    // A session at key 0 with the given model, outside any USB bus.
    void addSession(uint32_t model, int key = 0) {
        auto dev = std::make_shared<VelDev>(g_dev.get());
        dev->model = model;
        dev->devKey = key;
        std::lock_guard<std::mutex> lk(g_dev->devTableMutex);
        g_dev->devTable[key] = dev;
    }
    void put(const std::string& name, const std::string& bytes) {
        std::ofstream(env.fwDir() + "/" + name, std::ios::binary) << bytes;
    }
    void putAll(const char* main) {
        put("Bootloader0.bin", "b0");
        put("Bootloader1.bin", "bl1-");
        put("firmware0.bin", "fw0fw0");
        put(main, "main image");
    }
    bool logged(const std::string& needle) { return vtest::findLine(env.logLines(), needle) >= 0; }
};

}  // namespace

TEST_F(FwFiles, Model520OpensAllFourWithTheirSizes) {
    addSession(0x520);
    putAll("USBDisplay520.bin");
    files.state = 77;
    ASSERT_EQ(checkFileExists(0, &files), 0) << env.log();
    ASSERT_NE(files.bootloader0.file, nullptr);
    ASSERT_NE(files.bootloader1.file, nullptr);
    ASSERT_NE(files.firmware0.file, nullptr);
    ASSERT_NE(files.firmware.file, nullptr);
    EXPECT_EQ(files.bootloader0.length, 2);
    EXPECT_EQ(files.bootloader1.length, 4);
    EXPECT_EQ(files.firmware0.length, 6);
    EXPECT_EQ(files.firmware.length, 10);
    EXPECT_EQ(files.state, 0u);
    // Streams are left at their start for the update steps.
    char head[4] = {};
    ASSERT_EQ(fread(head, 1, 4, files.firmware.file), 4u);
    EXPECT_EQ(std::string(head, 4), "main");
    EXPECT_EQ(closeFiles(&files), 1);
    EXPECT_EQ(files.firmware.file, nullptr);
}

TEST_F(FwFiles, MainImageNameFollowsTheModel) {
    // A 520 session never looks at the 50x image, and the reverse.
    addSession(0x520);
    putAll("USBDisplay.bin");
    EXPECT_EQ(checkFileExists(0, &files), 1);
    EXPECT_TRUE(logged("Firmware not found, can't to update firmware!"));
    EXPECT_EQ(files.firmware.file, nullptr);

    addSession(0x508, 1);
    EXPECT_EQ(checkFileExists(1, &files), 0) << env.log();
    EXPECT_EQ(files.firmware.length, 10);
}

TEST_F(FwFiles, OtherModelOrNoSessionHasNoDefaultMainImage) {
    putAll("USBDisplay.bin");
    put("USBDisplay520.bin", "x");
    addSession(0x505);
    EXPECT_EQ(checkFileExists(0, &files), 1);
    EXPECT_EQ(checkFileExists(1, &files), 1);  // no session at key 1
    auto lines = env.logLines();
    int first = vtest::findLine(lines, "Firmware not found, can't to update firmware!");
    ASSERT_GE(first, 0);
    EXPECT_GE(vtest::findLine(lines, "Firmware not found, can't to update firmware!", first + 1),
              0);
    // An explicit path still serves such a session.
    const std::string mainPath = env.fwDir() + "/USBDisplay.bin";
    char buf[VEL_FW_PATH_MAX] = {};
    ASSERT_LT(mainPath.size(), sizeof buf);
    memcpy(buf, mainPath.c_str(), mainPath.size());
    EXPECT_EQ(checkFileExists(0, &files, nullptr, nullptr, nullptr, buf), 0) << env.log();
}

TEST_F(FwFiles, OnlyFirstBootloaderPresentLeavesNothingOpen) {
    addSession(0x520);
    put("Bootloader0.bin", "b0");
    const long before = vtest::openDescriptors();
    EXPECT_EQ(checkFileExists(0, &files), 1);
    EXPECT_EQ(vtest::openDescriptors(), before);  // a failed attempt leaves nothing open
    EXPECT_TRUE(logged("Bootloader1 not found, can't to update firmware!"));
    EXPECT_FALSE(logged("Bootloader0 not found"));
    EXPECT_EQ(files.bootloader0.file, nullptr);
}

TEST_F(FwFiles, EachMissingImageHasItsLine) {
    addSession(0x520);
    EXPECT_EQ(checkFileExists(0, &files), 1);
    EXPECT_TRUE(logged("Bootloader0 not found, can't to update firmware!"));
    put("Bootloader0.bin", "b0");
    put("Bootloader1.bin", "b1");
    const long before = vtest::openDescriptors();
    EXPECT_EQ(checkFileExists(0, &files), 1);     // secondary firmware missing
    EXPECT_EQ(vtest::openDescriptors(), before);  // a failed attempt leaves nothing open
    EXPECT_TRUE(logged("Firmware not found, can't to update firmware!"));
}

TEST_F(FwFiles, DirectoryInPlaceOfAnImageIsRefused) {
    addSession(0x520);
    putAll("USBDisplay520.bin");
    std::filesystem::remove(env.fwDir() + "/firmware0.bin");
    std::filesystem::create_directory(env.fwDir() + "/firmware0.bin");
    const long before = vtest::openDescriptors();
    EXPECT_EQ(checkFileExists(0, &files), 1);
    EXPECT_EQ(vtest::openDescriptors(), before);  // a failed attempt leaves nothing open
    EXPECT_TRUE(logged("is not a regular file"));
    EXPECT_TRUE(logged("Firmware not found, can't to update firmware!"));
}

TEST_F(FwFiles, ImageLongerThanIntMaxIsRefused) {
    addSession(0x520);
    putAll("USBDisplay520.bin");
    // A sparse file: no disk space is used for the hole.
    const std::string big = env.fwDir() + "/USBDisplay520.bin";
    ASSERT_EQ(truncate(big.c_str(), static_cast<off_t>(INT_MAX) + 1), 0);
    EXPECT_EQ(checkFileExists(0, &files), 1);
    EXPECT_TRUE(logged("larger than 2147483647 bytes"));
    EXPECT_EQ(files.firmware.file, nullptr);
    ASSERT_EQ(truncate(big.c_str(), INT_MAX), 0);
    EXPECT_EQ(checkFileExists(0, &files), 0);
    EXPECT_EQ(files.firmware.length, INT_MAX);
}

TEST_F(FwFiles, OverridesReplaceDefaultsAndMustBeTerminated) {
    addSession(0x520);
    putAll("USBDisplay520.bin");
    put("other.bin", "override!");
    const std::string other = env.fwDir() + "/other.bin";
    char buf[VEL_FW_PATH_MAX];
    memset(buf, 'x', sizeof buf);  // bytes after the terminator are not looked at
    memcpy(buf, other.c_str(), other.size() + 1);
    EXPECT_EQ(checkFileExists(0, &files, nullptr, buf), 0) << env.log();
    EXPECT_EQ(files.bootloader1.length, 9);
    EXPECT_EQ(files.bootloader0.length, 2);
    closeFiles(&files);

    memset(buf, 'a', sizeof buf);  // 48 bytes without a terminator
    EXPECT_EQ(checkFileExists(0, &files, buf), 1);
    EXPECT_TRUE(logged("[error] firmware image path 1 is not terminated within 48 bytes"));
    EXPECT_EQ(files.bootloader0.file, nullptr);
}

TEST_F(FwFiles, OverlongDirectoryFromTheEnvironmentIsRefused) {
    addSession(0x520);
    // 30 characters of directory plus "USBDisplay520.bin" do not fit into 48 bytes.
    const std::string dir = env.fwDir() + "/abcdefghijklmnopqrstuvwxyz/";
    std::filesystem::create_directories(dir);
    for (const char* n :
         {"Bootloader0.bin", "Bootloader1.bin", "firmware0.bin", "USBDisplay520.bin"}) {
        std::ofstream(dir + n) << "x";
    }
    setenv("VEL_FW_DIR", dir.c_str(), 1);
    EXPECT_EQ(checkFileExists(0, &files), 1);
    EXPECT_TRUE(logged("[error] firmware directory " + dir + " is too long"));
    EXPECT_EQ(files.bootloader0.file, nullptr);
}

TEST(FwChecksum, SumAndStoredByte) {
    const unsigned char abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(velBinChecksum(abc, 3), 294u);
    EXPECT_EQ(velBinChecksumByte(abc, 3), 0xDA);
    EXPECT_EQ(static_cast<uint8_t>(-velBinChecksum(abc, 3)), 0xDA);
    // Bytes count as unsigned and the sum wraps at 32 bits.
    std::vector<unsigned char> ff(1000, 0xFF);
    EXPECT_EQ(velBinChecksum(ff.data(), 1000), 255000u);
    EXPECT_EQ(velBinChecksum(abc, 0), 0u);
    EXPECT_EQ(velBinChecksum(abc, -5), 0u);
    EXPECT_EQ(velBinChecksum(nullptr, 3), 0u);
}

TEST(FwFileSize, StreamSizeAndRewind) {
    vtest::TempDir dir;
    const std::string p = dir.file("img");
    std::ofstream(p, std::ios::binary) << "0123456789";
    FILE* f = fopen(p.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    fseek(f, 3, SEEK_SET);
    EXPECT_EQ(getFileSize(f), 10);
    EXPECT_EQ(ftell(f), 0);
    _FILEAttr attr{};
    attr.file = f;
    closeF(attr);  // closes; closeF of a null stream is a no-op
    attr.file = nullptr;
    closeF(attr);
    EXPECT_EQ(getFileSize(static_cast<FILE*>(nullptr)), -1);
    EXPECT_EQ(closeFiles(nullptr), 1);
}

namespace {

// A read-only stream of `size` bytes that are all 'z' except `tail` at the very end; it exists
// only as this description, and it counts the bytes handed out, so a test can tell how much of
// the "file" a reader looked at.
struct VirtualImage {
    off64_t size;
    std::string tail;
    off64_t pos = 0;
    size_t bytesRead = 0;

    static ssize_t read(void* cookie, char* buf, size_t n) {
        auto* v = static_cast<VirtualImage*>(cookie);
        size_t done = 0;
        for (; done < n && v->pos < v->size; ++done, ++v->pos) {
            const off64_t tailStart = v->size - static_cast<off64_t>(v->tail.size());
            buf[done] =
                v->pos >= tailStart ? v->tail[static_cast<size_t>(v->pos - tailStart)] : 'z';
        }
        v->bytesRead += done;
        return static_cast<ssize_t>(done);
    }
    static int seek(void* cookie, off64_t* offset, int whence) {
        auto* v = static_cast<VirtualImage*>(cookie);
        off64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? v->pos : v->size;
        if (base + *offset < 0) return -1;
        v->pos = base + *offset;
        *offset = v->pos;
        return 0;
    }
    FILE* open() {
        cookie_io_functions_t io{};
        io.read = &VirtualImage::read;
        io.seek = &VirtualImage::seek;
        FILE* f = fopencookie(this, "rb", io);
        if (f) setvbuf(f, nullptr, _IONBF, 0);  // every byte read is a byte counted
        return f;
    }
};

}  // namespace

// The host image's version is in its last 128 bytes: an image of any size is read only there
// (bring-up and every hot-plug look at it), and its whole size is never held in memory.
TEST(FwHostVersion, OnlyTheTailOfAnImageOfAnySizeIsRead) {
    vtest::IsolatedEnv env;
    VelDisplay520Class dc(nullptr, 0);
    const std::string tail = "Version: 2.24.6.0 build 0520" + std::string(20, 'z');
    struct Case {
        off64_t size;
        const char* version;
    } cases[] = {
        {off64_t{1} << 40, " 2.24.6.0"},  // a terabyte: reading it whole cannot even be tried
        {0x500000, " 2.24.6.0"},
        {static_cast<off64_t>(tail.size()), " 2.24.6.0"},  // shorter than 128 bytes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " bytes");
        VirtualImage image{c.size, tail};
        FILE* f = image.open();
        ASSERT_NE(f, nullptr);
        char version[32] = "unchanged";
        EXPECT_EQ(dc.getLocalFw1Ver(f, version), 1);
        EXPECT_STREQ(version, c.version);
        EXPECT_LE(image.bytesRead, 128u);
        fclose(f);
    }
    {
        SCOPED_TRACE("a stamp before the last 128 bytes is not looked for");
        VirtualImage image{1 << 20, "Version: 9.9 build" + std::string(128, 'z')};
        FILE* f = image.open();
        char version[32] = "unchanged";
        EXPECT_EQ(dc.getLocalFw1Ver(f, version), 0);
        EXPECT_STREQ(version, "unchanged");
        EXPECT_LE(image.bytesRead, 128u);
        fclose(f);
    }
    {
        SCOPED_TRACE("empty image and no image");
        VirtualImage image{0, ""};
        FILE* f = image.open();
        char version[32] = "unchanged";
        EXPECT_EQ(dc.getLocalFw1Ver(f, version), 0);
        fclose(f);
        EXPECT_EQ(dc.getLocalFw1Ver(nullptr, version), 0);
        EXPECT_STREQ(version, "unchanged");
        EXPECT_EQ(env.logCount("[error] can't read file"), 1) << env.log();
        EXPECT_EQ(env.logCount("[error] can't open file"), 1) << env.log();
    }
}
