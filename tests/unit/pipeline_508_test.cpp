// The 50x pipeline's stateless rules: the JPEG length each model announces, the packet size,
// and the two halves of a split region (values from the pipeline's tables).
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include "pipeline/pipeline508.h"

namespace {

TEST(Pipeline508, AnnouncedJpegLengthPerModel) {
    // Model 0x0508: at least 2048, else whole KiB above the JPEG.
    EXPECT_EQ(velJpegLength508(1000, 0x508), 2048u);
    EXPECT_EQ(velJpegLength508(2047, 0x508), 2048u);
    EXPECT_EQ(velJpegLength508(5000, 0x508), 5120u);
    EXPECT_EQ(velJpegLength508(4096, 0x508), 5120u);
    // Models 0x0500 and 0x0505: 32 more than the JPEG.
    EXPECT_EQ(velJpegLength508(1000, 0x505), 1032u);
    EXPECT_EQ(velJpegLength508(5000, 0x500), 5032u);
}

TEST(Pipeline508, PacketRoomTakesTheWorstJpegAndItsPadding) {
    EXPECT_EQ(velPacketSize508(0, 10), 0u);
    EXPECT_EQ(velPacketSize508(1920, 1080), 1920u * 1080 * 8 + 20560);
    // A region so small that TurboJPEG's worst case plus the announced padding outgrows
    // width x height x 8.
    const size_t worst = tjBufSize(16, 16, TJSAMP_420) + 48 + 3072 + 20480;
    EXPECT_GE(velPacketSize508(16, 16), worst);
}

TEST(Pipeline508, SplitHalves) {
    _alignmentRect r;
    r.x = 0;
    r.y = 0;
    r.width = 3840;
    r.height = 2160;
    _alignmentRect up, low;
    velSplitRegion508(r, &up, &low);
    EXPECT_EQ(up.y, 0);
    EXPECT_EQ(up.height, 944);
    EXPECT_EQ(low.y, 944);
    EXPECT_EQ(low.height, 1216);
    EXPECT_EQ(low.width, 3840);
    // Height 1081: 541 rows from y and 541 from y + 540 (one shared row).
    r.y = 10;
    r.width = 1600;
    r.height = 1081;
    velSplitRegion508(r, &up, &low);
    EXPECT_EQ(up.y, 10);
    EXPECT_EQ(up.height, 541);
    EXPECT_EQ(low.y, 550);
    EXPECT_EQ(low.height, 541);
    EXPECT_EQ(kSplitPixels508, 1692733);
}

}  // namespace
