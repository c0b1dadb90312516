// Dirty-rectangle merging, JPEG alignment, region pointers and the 50x ring-buffer rectangles.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "pipeline/rectAlign.h"
#include "session/VelDev.h"
#include "session/evdiHandlers.h"
#include "testSupport.h"

namespace {

struct Box {
    int x, y, w, h;
};

bool operator==(const Box& a, const Box& b) {
    return a.x == b.x && a.y == b.y && a.w == b.w && a.h == b.h;
}

std::ostream& operator<<(std::ostream& os, const Box& b) {
    return os << "{" << b.x << ", " << b.y << ", " << b.w << ", " << b.h << "}";
}

class RectTest : public ::testing::Test {
  protected:
    void SetUp() override { dev = std::make_unique<VelDev>(nullptr); }
    void TearDown() override { dev.reset(); }

    // The session owns (and frees) its views' pixel areas.
    void setView(int view, int w, int h) {
        free(dev->evdiBuffer[view].buffer);
        pixels[view] = static_cast<unsigned char*>(calloc(static_cast<size_t>(w) * 4, h));
        dev->evdiBuffer[view].buffer = pixels[view];
        dev->evdiBuffer[view].width = w;
        dev->evdiBuffer[view].height = h;
        dev->evdiBuffer[view].stride = w * 4;
    }

    Box align(int view, Box in) {
        _alignmentRect r{dev.get(), in.x, in.y, in.w, in.h};
        dataAlignmentJPG(&r, view);
        EXPECT_EQ(r.session, dev.get());
        return {r.x, r.y, r.width, r.height};
    }

    vtest::IsolatedEnv env;
    std::unique_ptr<VelDev> dev;
    unsigned char* pixels[VEL_MAX_VIEWS] = {nullptr, nullptr, nullptr};
};

bool logHas(const vtest::IsolatedEnv& env, const std::string& text) {
    return env.log().find(text) != std::string::npos;
}

TEST_F(RectTest, MergeTakesTheBoundingBoxOfEveryQueuedRectangle) {
    threadsafe_queue<evdi_rect> q;
    _alignmentRect out{dev.get(), 7, 7, 7, 7};
    EXPECT_FALSE(velMergeRectQueue(q, &out));
    EXPECT_EQ(out.x, 7);  // untouched when there is nothing to merge

    q.push({100, 50, 200, 60});
    q.push({10, 300, 20, 310});
    q.push({150, 40, 400, 45});
    ASSERT_TRUE(velMergeRectQueue(q, &out));
    EXPECT_EQ((Box{out.x, out.y, out.width, out.height}), (Box{10, 40, 390, 270}));
    EXPECT_EQ(out.session, dev.get());
    EXPECT_TRUE(q.empty());

    q.push({1, 1, 2, 2});
    q.setcancel();
    EXPECT_FALSE(velMergeRectQueue(q, &out));
}

TEST_F(RectTest, AlignmentEdgeCases) {
    setView(0, 1920, 1080);
    // Grown to 32 x 32, moved to row 6 and column 32, sizes rounded up to 48.
    EXPECT_EQ(align(0, {33, 7, 10, 10}), (Box{32, 6, 48, 48}));
    // Moved up by 6 rows so that it ends on the bottom edge.
    EXPECT_EQ(align(0, {0, 1070, 100, 10}), (Box{0, 1064, 112, 16}));
    // Already aligned regions stay as they are.
    EXPECT_EQ(align(0, {64, 32, 320, 160}), (Box{64, 32, 320, 160}));
    // Width clipped at the right edge.
    EXPECT_EQ(align(0, {1900, 0, 20, 40}), (Box{1888, 0, 32, 48}));
    // The whole view stays the whole view.
    EXPECT_EQ(align(0, {0, 0, 1920, 1080}), (Box{0, 0, 1920, 1080}));
    EXPECT_FALSE(logHas(env, "Jpeg alignment error!"));
}

TEST_F(RectTest, RegionTooTallToMoveUpBecomesTheWholeHeightWithoutLogging) {
    setView(1, 64, 20);
    EXPECT_EQ(align(1, {0, 3, 64, 20}), (Box{0, 0, 64, 20}));
    // Views whose sides are not multiples of 16 keep their whole size.
    setView(2, 1366, 1050);
    EXPECT_EQ(align(2, {0, 0, 1366, 1050}), (Box{0, 0, 1366, 1050}));
    EXPECT_EQ(align(2, {1350, 1040, 16, 10}), (Box{1344, 1034, 22, 16}));
    EXPECT_FALSE(logHas(env, "Jpeg alignment error!"));
}

TEST_F(RectTest, RegionsCutByTheRightOrBottomEdgeAreAcceptedWithoutLogging) {
    // 40 x 40 view: a region at column 32 can only be 8 wide.
    setView(0, 40, 40);
    EXPECT_EQ(align(0, {33, 0, 4, 32}), (Box{32, 0, 8, 32}));
    // Odd view height: moving up by an odd count gives an odd row, but the region ends on the
    // bottom edge.
    setView(1, 1920, 1081);
    EXPECT_EQ(align(1, {0, 1075, 64, 6}), (Box{0, 1065, 64, 16}));
    EXPECT_FALSE(logHas(env, "Jpeg alignment error!"));
}

TEST_F(RectTest, RegionsOutsideTheViewArePulledIntoIt) {
    setView(0, 640, 480);
    for (Box in : {Box{-50, -9, 100, 100}, Box{700, 500, 10, 10}, Box{600, 470, 500, 500},
                   Box{0, 0, 0, 0}}) {
        Box out = align(0, in);
        EXPECT_GE(out.x, 0) << in;
        EXPECT_GE(out.y, 0) << in;
        EXPECT_GT(out.w, 0) << in;
        EXPECT_GT(out.h, 0) << in;
        EXPECT_LE(out.x + out.w, 640) << in;
        EXPECT_LE(out.y + out.h, 480) << in;
    }
    // No buffer, no view, no session: nothing happens.
    _alignmentRect r{dev.get(), 3, 3, 3, 3};
    dataAlignmentJPG(&r, 1);
    dataAlignmentJPG(&r, 3);
    dataAlignmentJPG(&r, -1);
    r.session = nullptr;
    dataAlignmentJPG(&r, 0);
    EXPECT_EQ((Box{r.x, r.y, r.width, r.height}), (Box{3, 3, 3, 3}));
}

TEST_F(RectTest, RegionPointerComesFromTheEvdiBufferOrTheConversionBuffer) {
    setView(0, 256, 128);
    std::vector<unsigned char> conv(256 * 128 * 4);
    dev->convBuffer[1] = conv.data();
    dev->evdiBuffer[1] = dev->evdiBuffer[0];

    _alignmentRect r{dev.get(), 32, 10, 64, 16};
    _VELRECT out;
    unsigned char sentinel = 0;
    out.buffer = &sentinel;
    out.planeSizes[1] = 77;

    dev->pixelFormat[0] = VEL_FOURCC_XRGB8888;
    get_rect_pointer(&r, &out, 32, 1024, 0);
    EXPECT_EQ(out.pixels, pixels[0] + 32 * 4 + 10 * 1024);
    EXPECT_EQ((Box{out.x, out.y, out.width, out.height}), (Box{32, 10, 64, 16}));
    EXPECT_EQ(out.stride, 1024);
    EXPECT_EQ(out.bpp, 32);
    EXPECT_EQ(out.buffer, &sentinel);  // other fields are left alone
    EXPECT_EQ(out.planeSizes[1], 77u);

    dev->pixelFormat[0] = VEL_FOURCC_ARGB8888;
    get_rect_pointer(&r, &out, 32, 1024, 0);
    EXPECT_EQ(out.pixels, pixels[0] + 32 * 4 + 10 * 1024);

    dev->pixelFormat[1] = 0x34324258;  // "XB24": converted first
    get_rect_pointer(&r, &out, 32, 1024, 1);
    EXPECT_EQ(out.pixels, conv.data() + 32 * 4 + 10 * 1024);

    // A converted format without its conversion buffer has no pixels to offer.
    dev->convBuffer[1] = nullptr;
    get_rect_pointer(&r, &out, 32, 1024, 1);
    EXPECT_EQ(out.pixels, nullptr);
    dev->evdiBuffer[1] = evdi_buffer{};
}

TEST_F(RectTest, RingBufferRectanglesThreeFramesAfterAModeSet) {
    // The 50x mode set fills both slots with the whole view.
    const _alignmentRect full{dev.get(), 0, 0, 1920, 1080};
    dev->rememberedRect[0][0] = full;
    dev->rememberedRect[0][1] = full;
    dev->rememberedAlt[0] = 0;

    const _alignmentRect r1{dev.get(), 100, 100, 64, 64};
    const _alignmentRect r2{dev.get(), 800, 400, 32, 32};
    const _alignmentRect r3{dev.get(), 96, 640, 128, 48};
    auto box = [](const _alignmentRect& r) { return Box{r.x, r.y, r.width, r.height}; };

    _alignmentRect e1 = updateRectForFwRingBuf(&r1, 0);
    EXPECT_EQ(box(e1), box(full));
    EXPECT_EQ(e1.session, dev.get());
    EXPECT_EQ(dev->rememberedAlt[0], 1);
    EXPECT_EQ(box(updateRectForFwRingBuf(&r2, 0)), box(full));
    EXPECT_EQ(dev->rememberedAlt[0], 0);
    // Third frame: R1, R2 and R3 together.
    EXPECT_EQ(box(updateRectForFwRingBuf(&r3, 0)), (Box{96, 100, 736, 588}));
    // Fourth: R2, R3 and R4; R1 has left the ring.
    const _alignmentRect r4{dev.get(), 900, 900, 32, 32};
    EXPECT_EQ(box(updateRectForFwRingBuf(&r4, 0)), (Box{96, 400, 836, 532}));
    // Other views keep their own slots.
    EXPECT_EQ(dev->rememberedAlt[1], 0);
    EXPECT_EQ(box(dev->rememberedRect[1][0]), (Box{0, 0, 0, 0}));
    // A bad view index changes nothing and returns the region.
    EXPECT_EQ(box(updateRectForFwRingBuf(&r1, 3)), box(r1));
}

}  // namespace
