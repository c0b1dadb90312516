// The 50x SROM update's packets and image reads without USB: head bytes against a table from
// the protocol, the padding byte rule, and images that must never reach a send buffer.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "firmware/fw508Srom.h"
#include "peer508.h"
#include "testSupport.h"

namespace {

TEST(Srom508Packets, HeadsAndThePaddingByte) {
    EXPECT_EQ(velFw508PacketLength(0), 48u);
    EXPECT_EQ(velFw508PacketLength(463), 511u);
    EXPECT_EQ(velFw508PacketLength(464), 513u);
    EXPECT_EQ(velFw508PacketLength(976), 1025u);
    EXPECT_EQ(velFw508PacketLength(4096), 4144u);

    std::vector<uint8_t> b(1100, 0xEE);
    EXPECT_EQ(velFw508SromPacket(b.data(), true, 0x00011000, 976), 1025u);
    vtest::expectSameBytes(
        vtest::hexBytes(std::string(vtest::kMagicHex) +
                            "01 04 00 00  06 00 00 00 07 02 00 10 01 00 d0 03 00 00 ff",
                        48),
        std::vector<uint8_t>(b.begin(), b.begin() + 48), "SROM write head");
    EXPECT_EQ(b[48 + 976], 0);  // the padding byte
    EXPECT_EQ(b[48], 0xEE);     // data untouched

    EXPECT_EQ(velFw508ImagePacket(b.data(), 0x08, 100), 148u);
    vtest::expectSameBytes(
        vtest::hexBytes(std::string(vtest::kMagicHex) + "94 00 00 00  06 00 00 00 08 64", 48),
        std::vector<uint8_t>(b.begin(), b.begin() + 48), "bootloader image head");
}

TEST(Srom508Packets, OnlyWholeImagesAreRead) {
    vtest::IsolatedEnv env;
    const std::string path = env.fwDir() + "/img.bin";
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    const std::vector<uint8_t> bytes(300, 0x42);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    std::vector<unsigned char> buffer(VEL_FW508_BUFFER);
    f = fopen(path.c_str(), "rb");
    ASSERT_TRUE(f);
    EXPECT_EQ(velFw508ReadImage(f, 300, buffer.data(), "nothing\n"), 300);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), buffer.begin() + 48));
    // Cut after it was measured, empty, oversized, no stream: never handed to a send.
    EXPECT_EQ(velFw508ReadImage(f, 400, buffer.data(), "nothing\n"), -1);
    EXPECT_EQ(velFw508ReadImage(f, 0, buffer.data(), "nothing\n"), -1);
    EXPECT_EQ(velFw508ReadImage(f, static_cast<int>(VEL_FW508_BUFFER - 48), buffer.data(),
                                "nothing\n"),
              -1);
    EXPECT_EQ(velFw508ReadImage(nullptr, 300, buffer.data(), "nothing\n"), -1);
    fclose(f);
    EXPECT_EQ(env.logCount("firmware image read 300 of 400 bytes, not sent"), 1);
    EXPECT_EQ(env.logCount("nothing"), 2);
}

}  // namespace
