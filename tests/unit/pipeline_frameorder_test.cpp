// Model-520 frames of one view reach the send queue in frame-index order: a frame whose encoding
// was overtaken by a newer one is dropped with its credit given back, per view, across the wrap.
#include <gtest/gtest.h>

#include "pipeline/jpeg520.h"
#include "session/VelDev.h"
#include "testSupport.h"

namespace {

int credits(VelDev& dev, int view) {
    int v = -1;
    sem_getvalue(&dev.frameFeedbackSemaphore[view], &v);
    return v;
}

_evdi_send packet(int view, uint32_t index) {
    _evdi_send s;
    s.view = view;
    s.frameIndex = static_cast<int32_t>(index);
    s.length = 128;
    s.buffer = velFrameBufferTake(4096);
    s.pieceFlags = 0x11;
    return s;
}

TEST(FrameOrder520, OvertakenFrameIsDroppedAndItsCreditReturned) {
    vtest::IsolatedEnv env;
    VelDev dev(nullptr);
    EXPECT_TRUE(dev.queueFrame520(packet(0, 5)));
    EXPECT_TRUE(dev.queueFrame520(packet(0, 7)));

    // Frame 6 finished after frame 7: not sent; the credit it took comes back.
    ASSERT_EQ(sem_trywait(&dev.frameFeedbackSemaphore[0]), 0);
    EXPECT_EQ(credits(dev, 0), 3);
    EXPECT_FALSE(dev.queueFrame520(packet(0, 6)));
    EXPECT_EQ(credits(dev, 0), 4);
    // A repeated index counts as overtaken too; credits never pass four.
    EXPECT_FALSE(dev.queueFrame520(packet(0, 7)));
    EXPECT_EQ(credits(dev, 0), 4);

    // Views are ordered on their own.
    EXPECT_TRUE(dev.queueFrame520(packet(1, 2)));
    EXPECT_TRUE(dev.queueFrame520(packet(0, 8)));
}

TEST(FrameOrder520, IndexWrapIsNoReordering) {
    vtest::IsolatedEnv env;
    VelDev dev(nullptr);
    EXPECT_TRUE(dev.queueFrame520(packet(2, 0xFFFFFFFEu)));
    EXPECT_TRUE(dev.queueFrame520(packet(2, 0xFFFFFFFFu)));
    EXPECT_TRUE(dev.queueFrame520(packet(2, 1)));  // after the wrap and zeroFrameIndex
    EXPECT_FALSE(dev.queueFrame520(packet(2, 0xFFFFFFFFu)));
}

}  // namespace
