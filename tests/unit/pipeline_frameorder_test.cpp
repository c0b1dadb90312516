// Model-520 frames of one view reach the send queue in frame-index order: a frame whose encoding
// was overtaken by a newer one is dropped with its credit given back, per view, across the wrap.
// And a view's frame credits stay at four or below, whoever returns them at the same moment.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "display/VelDisplay520ClassDriver.h"
#include "pipeline/jpeg520.h"
#include "session/VelDev.h"
#include "testSupport.h"

namespace {

int credits(VelDev& dev, int view) { return vtest::semValue(&dev.frameFeedbackSemaphore[view]); }

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

// A view's turns: a packet waits for every earlier turn; a frame that stops without a packet
// (its turn let go) holds nothing back; a packet still waiting when the session exits is
// dropped with its credit. The session has no display class, so every frame index is 0: the
// packets carry indexes of their own.
TEST(FrameOrder520, PacketsWaitForEarlierTurnsAndStoppedFramesHoldNoneBack) {
    vtest::IsolatedEnv env;
    VelDev dev(nullptr);
    int32_t index = -1;
    auto first = dev.takeFrameTurn520(1, &index);
    auto second = dev.takeFrameTurn520(1, &index);
    auto third = dev.takeFrameTurn520(1, &index);
    auto otherView = dev.takeFrameTurn520(2, &index);
    ASSERT_TRUE(first && second && third && otherView);
    EXPECT_EQ(index, 0);

    // Views keep their own order.
    EXPECT_TRUE(dev.queueFrame520(packet(2, 1), true, otherView.get()));

    std::atomic<int> thirdResult{-1};
    std::thread late([&] { thirdResult = dev.queueFrame520(packet(1, 3), true, third.get()); });
    // The first frame queues whenever it is ready; had the third gone ahead of it, this older
    // packet would now be dropped as overtaken.
    EXPECT_TRUE(dev.queueFrame520(packet(1, 1), true, first.get()));
    EXPECT_EQ(thirdResult.load(), -1);
    second.reset();  // stopped before it had a packet
    const bool released = vtest::waitFor([&] { return thirdResult.load() != -1; });
    if (!released) dev.exitFlag = true;  // lets the thread end before the test fails
    late.join();
    ASSERT_TRUE(released);
    EXPECT_EQ(thirdResult.load(), 1);
    EXPECT_EQ(dev.framesOvertaken520[1].load(), 0);

    // Waiting behind a frame that never ends, while the session goes away.
    auto stuck = dev.takeFrameTurn520(1, &index);
    auto waiting = dev.takeFrameTurn520(1, &index);
    ASSERT_EQ(sem_trywait(&dev.frameFeedbackSemaphore[1]), 0);
    std::atomic<int> waitingResult{-1};
    std::thread behind(
        [&] { waitingResult = dev.queueFrame520(packet(1, 5), true, waiting.get()); });
    dev.exitFlag = true;
    behind.join();
    EXPECT_EQ(waitingResult.load(), 0);
    EXPECT_EQ(credits(dev, 1), 4);
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
// four, never five. Each round lines both up at a barrier; the acknowledgement starts later by a
// delay that sweeps across the time the drop takes to reach its return (0.6 to 1.4 times a whole
// drop), so that over the rounds the two returns meet at every offset.
TEST(FrameCredits520, AcknowledgementAndDropAtOnceNeverMakeFive) {
    using Clock = std::chrono::steady_clock;
    vtest::IsolatedEnv env;
    auto dev = std::make_shared<VelDev>(nullptr);
    auto dc = std::make_shared<VelDisplay520Class>(dev.get(), 0);
    dc->bindSession(dev);
    dev->m_IDSource2DisplayDeviceMap[0] = 1;
    dev->m_IDDisplayDevice2MonitorMap[0x20] = 1;
    // Type-9 data: tag, reserved, display device 1, a 64-bit frame index.
    unsigned char ack[12] = {0, 0, 1, 0, 5, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(dev->queueFrame520(packet(0, 1000)));  // every later frame 5 is overtaken

    // How long a drop takes (its log line included), to size the sweep.
    const auto t0 = Clock::now();
    for (int i = 0; i < 50; ++i) dev->queueFrame520(packet(0, 5));
    const auto dropTime = (Clock::now() - t0) / 50;

    // Two threads meeting at a spinning barrier twice a round: no third thread competes with
    // them for the two cores while they race.
    constexpr int kRounds = 20000, kSteps = 97;
    std::atomic<int> arrived{0}, generation{0};
    auto meet = [&] {
        const int g = generation.load(std::memory_order_acquire);
        if (arrived.fetch_add(1, std::memory_order_acq_rel) == 1) {
            arrived.store(0, std::memory_order_relaxed);
            generation.fetch_add(1, std::memory_order_acq_rel);
            return;
        }
        for (int spins = 0; generation.load(std::memory_order_acquire) == g; ++spins)
            if (spins > 1000) std::this_thread::yield();
    };
    // Rounds end after kRounds or a few seconds, whichever comes first (a loaded machine makes
    // the barrier slow; fewer rounds only search fewer offsets).
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    std::atomic<bool> go{true};
    int highest = 0, rounds = 0;
    std::thread dropper([&] {
        for (;;) {
            // Three credits held, as with one frame in flight.
            while (credits(*dev, 0) > 3) sem_trywait(&dev->frameFeedbackSemaphore[0]);
            while (credits(*dev, 0) < 3) sem_post(&dev->frameFeedbackSemaphore[0]);
            meet();
            if (!go.load(std::memory_order_acquire)) return;
            dev->queueFrame520(packet(0, 5));
            meet();
            meet();  // the other side has read the count
        }
    });
    for (int r = 0;; ++r) {
        go.store(r < kRounds && Clock::now() < deadline, std::memory_order_release);
        meet();
        if (!go.load(std::memory_order_acquire)) break;
        const auto until =
            Clock::now() + dropTime * 3 / 5 + dropTime * 4 * (r % kSteps) / (5 * kSteps);
        while (Clock::now() < until) {
        }
        dc->checkFrameIndex(ack);
        meet();
        const int now = credits(*dev, 0);
        highest = std::max(highest, now);
        ++rounds;
        meet();
        if (now > 4) {
            go.store(false, std::memory_order_release);
            meet();
            break;
        }
    }
    dropper.join();
    EXPECT_EQ(highest, 4) << "after " << rounds << " rounds";
}

}  // namespace
