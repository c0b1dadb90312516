// The model-520 image packet: data header, JPEG rounding, decoder header, the filler block and
// the display device and target taken from the session's maps. Built in place in a buffer laid
// out as the frame pipeline lays it out (JPEG at 112, room after it); no USB involved.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "display/VelDisplay520ClassDriver.h"
#include "emulator/adapters/model520.h"
#include "session/VelDev.h"
#include "testSupport.h"

using namespace vel520;

namespace {

// A real JPEG of a noisy w x h picture.
std::vector<uint8_t> makeJpeg(int w, int h) {
    std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
    uint32_t x = 12345;
    for (auto& b : rgb) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 24);
    }
    tjhandle tj = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    tjCompress2(tj, rgb.data(), w, 0, h, TJPF_RGB, &out, &size, TJSAMP_422, 90, 0);
    std::vector<uint8_t> jpeg(out, out + size);
    tjFree(out);
    tjDestroy(tj);
    return jpeg;
}

struct Packet520 : ::testing::Test {
    vtest::IsolatedEnv env;
    std::shared_ptr<VelDev> dev = std::make_shared<VelDev>(nullptr);
    std::shared_ptr<VelDisplay520Class> dc = std::make_shared<VelDisplay520Class>(dev.get(), 0);
    std::vector<uint8_t> jpeg = makeJpeg(32, 32);
    std::vector<uint8_t> buffer;
    _evdi_send send;
    _RECT_IN_ENCODE_Q record;

    void SetUp() override {
        dc->bindSession(dev);
        ASSERT_EQ(dc->init(), 0);
        record.frameIndex = 77;
        record.formatCode = 0xE0;
    }
    // Places the JPEG, padded with zeros to `jpegSize`, and packages it.
    int package(int jpegSize, int source = 0) {
        buffer.assign(static_cast<size_t>(jpegSize) + 20624 + 64, 0xCC);
        memcpy(buffer.data() + 112, jpeg.data(), std::min<size_t>(jpeg.size(), jpegSize));
        if (static_cast<size_t>(jpegSize) > jpeg.size())
            memset(buffer.data() + 112 + jpeg.size(), 0, jpegSize - jpeg.size());
        send = _evdi_send{};
        send.buffer = buffer.data();
        _VELRECT rect;
        rect.x = 16;
        rect.y = 8;
        rect.width = 64;
        rect.height = 48;
        rect.stride = 7680;
        return dc->dataHeaderPackage(&record, &send, rect, jpegSize, source);
    }
    uint32_t at32(size_t off) const { return vtest::le32(buffer.data() + off); }
    uint16_t at16(size_t off) const { return vtest::le16(buffer.data() + off); }
    // The emulated adapter's view of the packet as the send thread would transfer it.
    std::string adapterVerdict() {
        emu::Model520 m;
        m.out(0x02, buffer.data(), static_cast<size_t>(send.length));
        auto e = m.errors();
        return e.empty() ? "" : e.front();
    }
};

}  // namespace

TEST_F(Packet520, DataHeaderAndRoundingFor5000Bytes) {
    ASSERT_LT(jpeg.size(), 5000u);
    ASSERT_EQ(package(5000), 0);
    const uint32_t n = 5120;
    const uint32_t h = at32(104);
    // A count byte and whole 6,120-byte decoder records.
    ASSERT_GT(h, 1u);
    EXPECT_EQ((h - 1) % 6120, 0u);
    EXPECT_EQ(buffer[112 + n], (h - 1) / 6120);
    EXPECT_EQ(at32(32), 80u);
    EXPECT_EQ(at32(36), n + h);
    EXPECT_EQ(at32(40), 77u);
    EXPECT_EQ(at32(44), 16u);
    EXPECT_EQ(at32(48), 8u);
    EXPECT_EQ(at32(52), 0u);
    EXPECT_EQ(at16(56), 64);
    EXPECT_EQ(at16(58), 48);
    EXPECT_EQ(at16(60), 7680);
    const uint8_t fixed[] = {1, 0, 0, 0, 0xE0, 0x00, 0x33, 17, 5};
    EXPECT_EQ(memcmp(buffer.data() + 68, fixed, sizeof fixed), 0);
    EXPECT_EQ(at32(108), 0u);
    // Wire header: "VELC", kind 2 (image) at 8, type 4 at 12, class 2 at 13 with its response bit
    // (0x80) clear, header size 32 at 20, payload = 80 + n + h at 24.
    EXPECT_EQ(memcmp(buffer.data(), "VELC", 4), 0);
    EXPECT_EQ(at16(8), 2);
    EXPECT_EQ(buffer[12], 4);
    EXPECT_EQ(buffer[13], 2);
    EXPECT_EQ(at16(20), 32);
    EXPECT_EQ(at32(24), 80 + n + h);
    EXPECT_EQ(send.length, static_cast<int32_t>(112 + n + h));
    EXPECT_EQ(send.packetKind, 4);
    // The rounding bytes are zeros, not the buffer's old contents.
    for (uint32_t i = 5000; i < n; ++i) ASSERT_EQ(buffer[112 + i], 0) << i;
    EXPECT_EQ(adapterVerdict(), "");
}

TEST_F(Packet520, WholeKilobyteAndUnpaddedFormatsAreNotEnlarged) {
    ASSERT_EQ(package(5120), 0);
    EXPECT_EQ(at32(36) - at32(104), 5120u);
    record.formatCode = 0x10;
    ASSERT_EQ(package(5000), 0);
    EXPECT_EQ(at32(36) - at32(104), 5000u);
    EXPECT_EQ(adapterVerdict(), "");
}

TEST_F(Packet520, PacketEndingOnA512ByteBoundaryGetsTheFillerBlock) {
    // Choose the JPEG length so that 112 + n + h ends on a 512-byte boundary.
    record.formatCode = 0x10;
    ASSERT_EQ(package(static_cast<int>(jpeg.size())), 0);
    const int h = static_cast<int>(at32(104));
    const int end = ((112 + static_cast<int>(jpeg.size()) + h) / 512 + 1) * 512;
    ASSERT_EQ(package(end - 112 - h), 0);
    ASSERT_EQ(static_cast<int>(at32(104)), h);
    EXPECT_EQ(send.length, end + 32);
    EXPECT_EQ(at32(24), static_cast<uint32_t>(end - 32));
    EXPECT_EQ(memcmp(buffer.data() + end, "VELC", 4), 0);
    for (int i = 4; i < 32; ++i) EXPECT_EQ(buffer[end + i], 0);
    EXPECT_EQ(adapterVerdict(), "");
}

TEST_F(Packet520, FailedDecoderHeaderStillGivesAConsistentPacket) {
    // Not a JPEG: no decoder header; a 4,096-byte packet is sent as 4,128 bytes.
    jpeg.assign(100, 0x11);
    record.formatCode = 0x10;
    EXPECT_EQ(package(4096 - 112), 2);
    EXPECT_EQ(at32(104), 0u);
    EXPECT_EQ(send.length, 4128);
    EXPECT_EQ(memcmp(buffer.data() + 4096, "VELC", 4), 0);
    auto l = env.logLines();
    EXPECT_GE(vtest::findLine(l, "= VelDisplay520Class::SendPack_NoCopy: GetJpegHeader error:"), 0);
    EXPECT_GE(vtest::findLine(l, "[error] dataPackage failed with code 2"), 0);
}

TEST_F(Packet520, DisplayDeviceAndTargetComeFromTheMaps) {
    dev->m_IDSource2DisplayDeviceMap[1] = 2;
    dev->m_IDDisplayDevice2MonitorMap[0x20] = 1;
    dev->m_IDDisplayDevice2MonitorMap[0x21] = 2;
    dev->m_IDDisplayDevice2MonitorMap[0x33] = 2;
    // Target at 14, display device at 16, source in the low 7 bits of byte 11.
    ASSERT_EQ(package(3000, 1), 0);
    EXPECT_EQ(at16(16), 2);
    EXPECT_EQ(at16(14), 0x33);  // the largest target bound to that display device
    EXPECT_EQ(buffer[11] & 0x7F, 0);
    ASSERT_EQ(package(3000, 2), 0);  // unbound source: display device 0, no target
    EXPECT_EQ(at16(16), 0);
    EXPECT_EQ(at16(14), 0);
}

TEST_F(Packet520, MissingOrInvalidNodeRefusesThePacket) {
    dc->inputNodeTable->nodeId[0] = kInvalidNode;
    EXPECT_EQ(package(3000), 2);
    free(dc->inputNodeTable);
    dc->inputNodeTable = nullptr;
    EXPECT_EQ(package(3000), 2);
    auto l = env.logLines();
    int first =
        vtest::findLine(l, "- VelDisplay520Class::sendDataPackage InputNodeId is invalide -");
    ASSERT_GE(first, 0);
    EXPECT_GE(vtest::findLine(l, "- VelDisplay520Class::sendDataPackage InputNodeId is invalide -",
                              first + 1),
              0);
}
