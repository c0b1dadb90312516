// 50x-family firmware check and SROM update against the emulated adapter: the decision for each
// version the adapter reports, the one-transfer paths, the full rewrite read back from the
// adapter's SROM and checked against blocks computed here from the layout tables, interrupted
// rewrites, and the command-line version query.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "emulator/adapters/model508.h"
#include "firmware/loadFW.h"
#include "packet508.h"
#include "session508.h"

namespace {

using emu::Model508;

constexpr uint32_t kDefaultAt = 0x11000;

uint32_t le(const std::vector<uint8_t>& v, size_t at) { return vtest::get32(v, at); }
uint32_t negSum(const std::vector<uint8_t>& v) {
    uint32_t s = 0;
    for (uint8_t b : v) s += b;
    return 0u - s;
}

// An image of `size` pattern bytes; with a version, its last 128 bytes carry the stamp the
// service reads ("Version:TEXT ").
std::vector<uint8_t> image(size_t size, unsigned seed, const std::string& version = "") {
    std::vector<uint8_t> b(size);
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>((i * 31 + seed * 17) ^ (i >> 7));
    if (!version.empty()) {
        std::fill(b.end() - 128, b.end(), 0);
        const std::string stamp = "Version:" + version + " ";
        std::copy(stamp.begin(), stamp.end(), b.end() - 100);
    }
    return b;
}

struct Firmware508 : vtest::Session508 {
    std::shared_ptr<Model508> model = std::make_shared<Model508>();
    std::shared_ptr<emu::DeviceModel> adapter() override { return model; }

    void put(const std::string& name, const std::vector<uint8_t>& bytes) {
        FILE* f = fopen((env.fwDir() + "/" + name).c_str(), "wb");
        ASSERT_TRUE(f);
        if (!bytes.empty()) {
            ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
        }
        fclose(f);
    }
    std::vector<uint8_t> hostImage(int i) {
        return velfw::hostImages508("v 2.24.1.0")[static_cast<size_t>(i)].bytes;
    }
    // What bring-up's check does, with UpdateFW's result kept.
    int updateFW() {
        _FILES files{};
        const std::string main = env.fwDir() + "/USBDisplay.bin";
        char path[VEL_FW_PATH_MAX] = {};
        EXPECT_LT(main.size(), sizeof path);
        main.copy(path, sizeof path - 1);
        if (checkFileExists(0, &files, nullptr, nullptr, nullptr, path) != 0) return 99;
        files.handle = handle;
        memset(g_local_FW_Version, 0, sizeof g_local_FW_Version);
        dc->getLocalFw1Ver(files.firmware.file, g_local_FW_Version);
        const int rc = dc->UpdateFW(&files);
        closeFiles(&files);
        return rc;
    }
    // Codes of the firmware packets the adapter took, in order.
    std::vector<uint8_t> firmwareCodes() {
        std::vector<uint8_t> c;
        for (const auto& p : model->received())
            if (p.kind == 6 && p.endpoint == 2) c.push_back(p.code);
        return c;
    }
    // {sub, address, length} of every SROM access.
    std::vector<std::vector<uint32_t>> sromAccesses() {
        std::vector<std::vector<uint32_t>> a;
        for (const auto& p : model->received(0x07))
            a.push_back({p.param(5), le(p.bytes, 22), le(p.bytes, 26)});
        return a;
    }
};

TEST_F(Firmware508, CurrentAdapterIsLeftAlone) {
    EXPECT_EQ(updateFW(), 0);
    EXPECT_EQ(firmwareCodes(), (std::vector<uint8_t>{0x77, 0x61, 0x61, 0x61}));
    EXPECT_EQ(count("FW do not need to update!"), 1);
    EXPECT_TRUE(model->errors().empty());
}

TEST_F(Firmware508, FirmwareOnlyPathAndTheNVersions) {
    // The special text is always rewritten; the image lands in the adapter, which then reports
    // the host's version.
    model->resetSrom("n 2.9.3.0302", "v 00.01.0004");
    EXPECT_EQ(updateFW(), 0);
    EXPECT_EQ(firmwareCodes(), (std::vector<uint8_t>{0x77, 0x61, 0x61, 0x61, 0x06}));
    EXPECT_EQ(model->firmware().image, hostImage(3));
    EXPECT_EQ(model->firmwareVersionHeld(), "v 2.24.1.0");
    EXPECT_EQ(count("Special \"n\" FW version, need update fw!"), 1);
    EXPECT_EQ(count("Do update FW only."), 1);

    // Any other text starting with n is never touched, and the check fails.
    model->clearReceived();
    model->resetSrom("n 2.9.3.0303", "v 00.01.0004");
    EXPECT_EQ(updateFW(), -1);
    EXPECT_EQ(firmwareCodes(), (std::vector<uint8_t>{0x77, 0x61}));
    EXPECT_EQ(count("FW version is start from \"n\", Do not update fw!"), 1);
    EXPECT_EQ(count("Check fw version failed!"), 1);
    EXPECT_EQ(model->firmwareVersionHeld(), "n 2.9.3.0303");

    // An image whose packet would be a multiple of 512 bytes goes with one zero byte more,
    // counted by the length field.
    model->clearReceived();
    model->resetSrom("v 2.24.0.9", "v 00.01.0004");
    const std::vector<uint8_t> small = image(976, 4, "v 2.24.1.0");
    put("USBDisplay.bin", small);
    EXPECT_EQ(updateFW(), 0);
    auto sent = model->received(0x06);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].transferLength, 1025u);
    EXPECT_EQ(sent[0].lengthField, 1025u);
    EXPECT_EQ(le(sent[0].bytes, 21), 976u);
    EXPECT_EQ(model->firmware().image, small);
    EXPECT_TRUE(model->errors().empty());
}

TEST_F(Firmware508, BootloaderOnlyPathComparesVersionsAsNumbers) {
    model->resetSrom("v 2.24.1.0", "v 00.01.0003");
    EXPECT_EQ(updateFW(), 0);
    EXPECT_EQ(firmwareCodes(), (std::vector<uint8_t>{0x77, 0x61, 0x61, 0x61, 0x08}));
    EXPECT_EQ(model->firmware().bootloaderImage, hostImage(1));
    EXPECT_EQ(count("Do update bootloader1."), 1);

    // 1.3 is older than 1.4 however its digits are padded; 1.10 is newer.
    const struct {
        const char* text;
        size_t transfers;
    } cases[] = {{"v 00.01.03", 1}, {"v 00.01.0010", 0}, {"v 00.01.0004", 0}};
    for (const auto& c : cases) {
        model->clearReceived();
        model->resetSrom("v 2.24.1.0", c.text);
        EXPECT_EQ(updateFW(), 0) << c.text;
        EXPECT_EQ(model->received(0x08).size(), c.transfers) << c.text;
        EXPECT_TRUE(model->received(0x06).empty()) << c.text;
    }
}

TEST_F(Firmware508, TestModeGetsOnlyTheFirmwareTransfer) {
    model->setWorkMode(1);
    EXPECT_EQ(updateFW(), -1);
    EXPECT_EQ(firmwareCodes(), (std::vector<uint8_t>{0x77, 0x06}));
    EXPECT_EQ(model->firmware().image, hostImage(3));
    env.expectLogInOrder({"get mode is 1", "Test mode need update FW",
                          "Start loading firmware only.", "Test mode update FW over"});
}

TEST_F(Firmware508, ImagesThatCannotBeReadWhollyAreNeverSent) {
    model->resetSrom("v 2.24.0.9", "v 00.01.0004");
    put("USBDisplay.bin", {});
    EXPECT_EQ(updateFW(), -2);  // the upgrade did not happen, and says so
    EXPECT_TRUE(model->received(0x06).empty());
    EXPECT_EQ(count("Read nothing from firmware file."), 1);
    EXPECT_EQ(count("Failed to update firmware!"), 1);

    // Larger than the 5 MiB send buffer.
    model->clearReceived();
    put("USBDisplay.bin", image(0x500000, 4, "v 2.24.1.0"));
    EXPECT_EQ(updateFW(), -2);
    EXPECT_TRUE(model->received(0x06).empty());
    EXPECT_EQ(count("Failed to update firmware!"), 2);
}

// The full rewrite (forced by another layout number with current versions), read back from the
// adapter's SROM byte by byte.
TEST_F(Firmware508, FullRewriteLeavesExactlyTheImagesAndBlocksInTheSrom) {
    const std::vector<uint8_t> bl0 = image(976, 1);  // 976 + 48 = 1024: one padding byte
    const std::vector<uint8_t> bl1 = hostImage(1);
    const std::vector<uint8_t> fw0 = hostImage(2);
    const std::vector<uint8_t> fw = image(10000, 4, "v 2.24.1.0");
    put("Bootloader0.bin", bl0);
    put("USBDisplay.bin", fw);
    model->setLayoutNumber(131077);
    const std::vector<uint8_t> before = model->srom(kDefaultAt, 244);

    EXPECT_EQ(updateFW(), 0);
    EXPECT_TRUE(model->errors().empty());
    EXPECT_EQ(model->firmware().refusedWrites, 0);
    EXPECT_EQ(count("Do Full Update"), 1);
    EXPECT_EQ(count("srom return success."), 1);
    EXPECT_TRUE(model->received(0x06).empty());
    EXPECT_TRUE(model->received(0x08).empty());

    auto addr = [&](int e) { return le(before, 4 + 20 * e + 4); };
    // Every access in order: {1 read / 2 write, address, length}.
    std::vector<std::vector<uint32_t>> order = {{1, kDefaultAt, 244},
                                                {2, addr(0), 976},
                                                {2, addr(1), 8192},
                                                {2, addr(2), 8192}};
    for (uint32_t k = 0; k < 4; ++k) order.push_back({2, addr(4) + 4096 * k, 4096});
    order.push_back({2, addr(5), 4096});
    order.push_back({2, addr(5) + 4096, 4096});
    order.push_back({2, addr(5) + 8192, 1808});
    order.push_back({2, kDefaultAt, 244});
    order.push_back({2, 0x1000, 44});
    order.push_back({2, 0x0000, 44});
    EXPECT_EQ(sromAccesses(), order);
    auto accesses = model->received(0x07);
    ASSERT_GE(accesses.size(), 2u);
    EXPECT_EQ(accesses[0].transferLength, 292u);
    EXPECT_EQ(accesses[1].transferLength, 1025u);
    EXPECT_EQ(accesses[1].lengthField, 1025u);

    // The images at their entries' addresses.
    EXPECT_EQ(model->srom(addr(0), bl0.size()), bl0);
    EXPECT_EQ(model->srom(addr(1), bl1.size()), bl1);
    EXPECT_EQ(model->srom(addr(2), bl1.size()), bl1);
    EXPECT_EQ(model->srom(addr(4), fw0.size()), fw0);
    EXPECT_EQ(model->srom(addr(5), fw.size()), fw);

    // The default block: as it was, with the new lengths and checksums of entries 0, 1, 2, 4, 5.
    std::vector<uint8_t> block = before;
    const std::vector<uint8_t>* images[7] = {&bl0, &bl1, &bl1, nullptr, &fw0, &fw, nullptr};
    for (int e = 0; e < 7; ++e) {
        if (!images[e]) continue;
        vtest::put32(block, 4 + 20 * e + 12, static_cast<uint32_t>(images[e]->size()));
        vtest::put32(block, 4 + 20 * e + 16, negSum(*images[e]));
    }
    vtest::expectSameBytes(block, model->srom(kDefaultAt, 244), "default block");

    // Boot records: checksum byte, valid 1, two 0xFF, entry A {first, address, third, length,
    // checksum low byte}, entry B {0xFF, address, third, 0xFF, checksum low byte}.
    auto record = [&](int a, int b) {
        std::vector<uint8_t> r(44, 0xFF);
        r[1] = 1;
        for (int f = 0; f < 4; ++f) vtest::put32(r, 4 + 4 * f, le(block, 4 + 20 * a + 4 * f));
        vtest::put32(r, 20, le(block, 4 + 20 * a + 16) & 0xFF);
        vtest::put32(r, 28, le(block, 4 + 20 * b + 4));
        vtest::put32(r, 32, le(block, 4 + 20 * b + 8));
        vtest::put32(r, 40, le(block, 4 + 20 * b + 16) & 0xFF);
        uint32_t sum = 0;
        for (int i = 1; i < 44; ++i) sum += r[i];
        r[0] = static_cast<uint8_t>(0u - sum);
        return r;
    };
    vtest::expectSameBytes(record(5, 6), model->srom(0x1000, 44), "main-firmware record");
    vtest::expectSameBytes(record(2, 3), model->srom(0x0000, 44), "bootloader record");
    EXPECT_EQ(model->firmwareVersionHeld(), "v 2.24.1.0");
    EXPECT_EQ(model->bootloaderVersionHeld(), "v 00.01.0004");
}

// A secondary image too large for its area: its first refused piece stops the rewrite before
// the main firmware and the blocks; the next check decides again and, with a sound image,
// completes.
TEST_F(Firmware508, InterruptedRewriteIsDecidedAgainNextTime) {
    const uint32_t area = Model508::kSromEntryArea[4];
    put("firmware0.bin", image(area + 4096, 3));
    model->setLayoutNumber(131077);
    const std::vector<uint8_t> before = model->srom(0, 0x11000 + 244);
    EXPECT_EQ(updateFW(), -2);  // a failed rewrite is reported, and bring-up carries on
    auto accesses = sromAccesses();
    ASSERT_EQ(accesses.size(), 4u + area / 4096 + 1);
    EXPECT_EQ(model->firmware().refusedWrites, 1);
    EXPECT_EQ(count("Start loading firmware1."), 0);
    // Blocks and records untouched: the adapter still boots what it had.
    EXPECT_EQ(model->srom(0, 44), std::vector<uint8_t>(before.begin(), before.begin() + 44));
    EXPECT_EQ(model->srom(kDefaultAt, 244),
              std::vector<uint8_t>(before.begin() + kDefaultAt, before.end()));

    // The main image fails its last piece: every piece is still sent, then the step fails.
    ASSERT_TRUE(velfw::writeHostImages508(env.fwDir(), "v 2.24.1.0"));
    const uint32_t mainArea = Model508::kSromEntryArea[5];
    put("USBDisplay.bin", image(mainArea + 100, 5, "v 2.24.1.0"));
    model->clearReceived();
    EXPECT_EQ(updateFW(), -2);
    accesses = sromAccesses();
    ASSERT_EQ(accesses.size(), 1u + 3 + 4 + mainArea / 4096 + 1);
    EXPECT_EQ(accesses.back()[2], 100u);
    EXPECT_EQ(model->firmware().refusedWrites, 2);
    EXPECT_EQ(count("Start loading rom info."), 0);

    // Next start, sound images: the adapter still reports the other layout, so it is rewritten
    // whole and consistently.
    ASSERT_TRUE(velfw::writeHostImages508(env.fwDir(), "v 2.24.1.0"));
    model->clearReceived();
    EXPECT_EQ(updateFW(), 0);
    EXPECT_EQ(count("srom return success."), 1);
    EXPECT_EQ(model->firmware().refusedWrites, 2);
    EXPECT_EQ(model->srom(le(before, kDefaultAt + 4 + 20 * 5 + 4), 65536), hostImage(3));
}

struct Client508 : Firmware508 {
    bool withReceiver() override { return false; }
};

TEST_F(Client508, VersionQueryReadsTheInterruptEndpointItself) {
    EXPECT_EQ(dc->optGetVersion(1), 0);
    EXPECT_EQ(count("Driver Should use firmware verison: v 2.24.1.0"), 1);
    EXPECT_EQ(count("Current firmware version is:v 2.24.1.0"), 1);
    auto q = model->received(0x61);
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].param(5), 1);

    // Packets without the magic are skipped: the answer on the thirtieth read is taken, one on
    // the thirty-first is not.
    for (int junk : {29, 30}) {
        for (int i = 0; i < junk; ++i) model->queuePacket(std::vector<uint8_t>(64, 0x11));
        EXPECT_EQ(dc->optGetVersion(5), junk == 29 ? 0 : -1) << junk;
    }
    EXPECT_EQ(count("Current firmware version is:v 00.01.0004"), 1);
    EXPECT_EQ(count("******Rev Data failed, wait 60 times******"), 1);

    // Another type first: -1.
    unsigned char ignore[1024];
    int got = 0;
    while (libusb_interrupt_transfer(handle, 0x81, ignore, sizeof ignore, &got, 200) == 0) {
    }
    model->queuePacket(Model508::packet(0x77, 0, 64));
    EXPECT_EQ(dc->optGetVersion(1), -1);
    EXPECT_EQ(count("unknow Data Type: 77"), 1);
}

}  // namespace
