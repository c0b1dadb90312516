// Model-520 frames of one view reach the send queue in frame-index order: a frame whose encoding
// was overtaken by a newer one is dropped with its credit given back, per view, across the wrap.
// And a view's frame credits stay at four or below, whoever returns them at the same moment.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "display/VelDisplay520ClassDriver.h"
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

TEST(FrameOrder520, DroppedFrameWithoutACreditGivesNoneBack) {
    vtest::IsolatedEnv env;
    VelDev dev(nullptr);
    EXPECT_TRUE(dev.queueFrame520(packet(0, 9)));
    while (sem_trywait(&dev.frameFeedbackSemaphore[0]) == 0) {
    }
    // It went ahead after the credit wait timed out: there is nothing of its own to return.
    EXPECT_FALSE(dev.queueFrame520(packet(0, 8), false));
    EXPECT_EQ(credits(dev, 0), 0);
    EXPECT_FALSE(dev.queueFrame520(packet(0, 8), true));
    EXPECT_EQ(credits(dev, 0), 1);
}

TEST(FrameOrder520, RestartedViewTakesItsFirstFrameAgain) {
    vtest::IsolatedEnv env;
    VelDev dev(nullptr);
    EXPECT_TRUE(dev.queueFrame520(packet(1, 40)));
    EXPECT_TRUE(dev.queueFrame520(packet(2, 40)));
    dev.restartFrameOrder520(1);
    EXPECT_TRUE(dev.queueFrame520(packet(1, 1)));
    EXPECT_FALSE(dev.queueFrame520(packet(2, 1)));  // only the restarted view starts afresh
}

// The adapter's acknowledgement (receive thread) and a dropped frame (encoder thread) return a
// credit of the same view at the same moment, with three credits held: the view must end with
// four, never five. Each round lines both up behind a start flag; one side starts a little later
// every round, so that over the rounds their returns meet at every offset.
TEST(FrameCredits520, AcknowledgementAndDropAtOnceNeverMakeFive) {
    vtest::IsolatedEnv env;
    auto dev = std::make_shared<VelDev>(nullptr);
    auto dc = std::make_shared<VelDisplay520Class>(dev.get(), 0);
    dc->bindSession(dev);
    dev->m_IDSource2DisplayDeviceMap[0] = 1;
    dev->m_IDDisplayDevice2MonitorMap[0x20] = 1;
    // Type-9 data: tag, reserved, display device 1, a 64-bit frame index.
    unsigned char ack[12] = {0, 0, 1, 0, 5, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(dev->queueFrame520(packet(0, 1000)));  // every later frame 5 is overtaken

    constexpr int kRounds = 4000;
    std::atomic<int> round{-1}, done{0};
    auto side = [&](bool acknowledge) {
        for (int r = 0; r < kRounds; ++r) {
            while (round.load(std::memory_order_acquire) < r) std::this_thread::yield();
            for (volatile int spin = 0; spin < (acknowledge ? r % 64 : (r / 64) % 64) * 8;)
                spin = spin + 1;
            if (acknowledge)
                dc->checkFrameIndex(ack);
            else
                dev->queueFrame520(packet(0, 5));
            done.fetch_add(1, std::memory_order_acq_rel);
        }
    };
    std::thread a(side, true), b(side, false);
    int highest = 0, rounds = 0;
    for (int r = 0; r < kRounds; ++r, ++rounds) {
        // Three credits held, as with one frame in flight.
        while (credits(*dev, 0) > 3) sem_trywait(&dev->frameFeedbackSemaphore[0]);
        while (credits(*dev, 0) < 3) sem_post(&dev->frameFeedbackSemaphore[0]);
        round.store(r, std::memory_order_release);
        while (done.load(std::memory_order_acquire) < 2 * (r + 1)) std::this_thread::yield();
        highest = std::max(highest, credits(*dev, 0));
        if (highest > 4) break;
    }
    round.store(kRounds, std::memory_order_release);
    a.join();
    b.join();
    EXPECT_EQ(highest, 4) << "after " << rounds << " rounds";
}

}  // namespace
