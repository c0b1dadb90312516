// Model-520 cursor, display power, frame index and clean-up against the emulated adapter: the
// cursor cache (hits, misses, the wrap to slot 100, the area layout, bad and oversized images),
// DPMS with its heartbeat rules and retries, all-displays on/off, the frame-index wrap, and what
// fwExeClean leaves behind.
#include <algorithm>
#include <set>

#include "session520.h"

using namespace std::chrono_literals;
using namespace m520test;

namespace {

struct Cursor520 : Session520 {
    std::vector<unsigned char> edid = std::vector<unsigned char>(32768, 0);

    // A monitor at `output` set up on the adapter and shown on `view`; its display device.
    int addView(int view, uint16_t target, int output) {
        model->plugMonitor(output, monitor(target), false);
        unsigned int length = static_cast<unsigned int>(edid.size());
        if (dc->readMonitorEDID(target, edid.data(), &length) != 0) return -1;
        dev->viewTable[view] = {view, target};
        return deviceOf(target);
    }
    // A cursor image whose every pixel differs with `seed`.
    static std::vector<uint32_t> image(uint32_t stridePixels, uint32_t height, uint32_t seed) {
        std::vector<uint32_t> px(static_cast<size_t>(stridePixels) * height);
        for (size_t i = 0; i < px.size(); ++i)
            px[i] = static_cast<uint32_t>(i * 2654435761u) ^ (seed * 0x9E3779B9u) ^ 0xFF000000u;
        return px;
    }
    static evdi_cursor_set cursor(std::vector<uint32_t>& px, uint32_t width, uint32_t height,
                                  uint32_t stride) {
        evdi_cursor_set c{};
        c.width = width;
        c.height = height;
        c.stride = stride;
        c.enabled = 1;
        c.buffer = px.data();
        c.buffer_length = static_cast<uint32_t>(px.size() * 4);
        return c;
    }
    static uint32_t idOf(const emu::M520Message& m) { return vtest::le32(m.payload.data() + 8); }
    int semCount() { return vtest::semValue(&dev->displayOffSemaphore); }
};

const uint8_t* bytes(const std::vector<uint32_t>& px) {
    return reinterpret_cast<const uint8_t*>(px.data());
}

}  // namespace

TEST_F(Cursor520, RepeatedCursorIsShownFromTheCache) {
    const int dd = addView(1, 0x21, 1);
    ASSERT_EQ(dd, 0);
    auto px = image(64, 64, 1);
    model->clearReceived();

    ASSERT_EQ(dc->setCursorImage(cursor(px, 64, 64, 256), 1), 0);
    auto uploads = model->received(1, 16);
    ASSERT_EQ(uploads.size(), 1u);
    const auto& up = uploads[0];
    ASSERT_EQ(up.payload.size(), 65616u);
    EXPECT_EQ(idOf(up), 200u);
    EXPECT_EQ(up.payload[32], 2);
    EXPECT_EQ(up.header.source, 1);
    EXPECT_EQ(up.header.displayDevice, dd);
    EXPECT_EQ(up.header.target, 0x21);
    // Row r of the cursor at r * 512 of the area, the rest zero.
    const uint8_t* area = up.payload.data() + 80;
    for (int r = 0; r < 64; ++r) {
        ASSERT_EQ(memcmp(area + r * 512, bytes(px) + r * 256, 256), 0) << "row " << r;
        ASSERT_TRUE(std::all_of(area + r * 512 + 256, area + r * 512 + 512,
                                [](uint8_t b) { return b == 0; }));
    }
    EXPECT_TRUE(std::all_of(area + 64 * 512, area + 65536, [](uint8_t b) { return b == 0; }));
    auto shows = model->received(3, 0);
    ASSERT_EQ(shows.size(), 1u);
    EXPECT_EQ(shows[0].payload.size(), 65616u);
    EXPECT_EQ(idOf(shows[0]), 200u);
    EXPECT_EQ(shows[0].payload[32], 2);
    EXPECT_EQ(shows[0].header.source, 0);
    EXPECT_EQ(shows[0].header.target, 1);  // the view index
    EXPECT_EQ(memcmp(shows[0].payload.data() + 80, bytes(px), 16384), 0);

    // The same image again: one class 3 type 0 packet of 16,384 + 80 bytes, id 200, known.
    ASSERT_EQ(dc->setCursorImage(cursor(px, 64, 64, 256), 1), 0);
    EXPECT_EQ(model->received(1, 16).size(), 1u);
    shows = model->received(3, 0);
    ASSERT_EQ(shows.size(), 2u);
    EXPECT_EQ(shows[1].payload.size(), 16464u);
    EXPECT_EQ(shows[1].transferLength, 16464u + 32u);
    EXPECT_EQ(idOf(shows[1]), 200u);
    EXPECT_EQ(shows[1].payload[32], 0);
    EXPECT_EQ(memcmp(shows[1].payload.data() + 80, bytes(px), 16384), 0);
    EXPECT_FALSE(shows[1].header.responseRequested);
    EXPECT_EQ(model->displayDevice(dd).cursorId, 200u);
    EXPECT_EQ(model->cursors().unknownShows, 0);
    EXPECT_TRUE(model->errors().empty());
    EXPECT_EQ(dc->cursorSlotsInUse(), 1);
}

TEST_F(Cursor520, TheTwoHundredAndFirstImageTakesSlotOneHundred) {
    ASSERT_EQ(addView(0, 0x20, 0), 0);
    std::vector<std::vector<uint32_t>> images;
    for (uint32_t i = 0; i < 201; ++i) images.push_back(image(8, 8, i + 10));
    model->clearReceived();
    for (auto& px : images) ASSERT_EQ(dc->setCursorImage(cursor(px, 8, 8, 32), 0), 0);
    auto uploads = model->received(1, 16);
    ASSERT_EQ(uploads.size(), 201u);
    for (uint32_t i = 0; i < 200; ++i) ASSERT_EQ(idOf(uploads[i]), 200 + i);
    EXPECT_EQ(idOf(uploads[200]), 300u);
    EXPECT_EQ(dc->cursorSlotsInUse(), 101);

    // Slot 0 is still known; the image that lived in slot 100 is not and goes to slot 101.
    model->clearReceived();
    ASSERT_EQ(dc->setCursorImage(cursor(images[0], 8, 8, 32), 0), 0);
    ASSERT_EQ(dc->setCursorImage(cursor(images[100], 8, 8, 32), 0), 0);
    auto shows = model->received(3, 0);
    ASSERT_EQ(shows.size(), 2u);
    EXPECT_EQ(idOf(shows[0]), 200u);
    EXPECT_EQ(shows[0].payload.size(), 256u + 80u);
    uploads = model->received(1, 16);
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(idOf(uploads[0]), 301u);
    EXPECT_EQ(idOf(shows[1]), 301u);
    EXPECT_TRUE(model->errors().empty());
}

TEST_F(Cursor520, WideCursorGetsAnEmptyAreaAndOddStridesStayInside) {
    ASSERT_EQ(addView(0, 0x20, 0), 0);
    auto wide = image(200, 16, 3);
    model->clearReceived();
    ASSERT_EQ(dc->setCursorImage(cursor(wide, 200, 16, 800), 0), 0);
    auto uploads = model->received(1, 16);
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_TRUE(std::all_of(uploads[0].payload.begin() + 80, uploads[0].payload.end(),
                            [](uint8_t b) { return b == 0; }));
    auto shows = model->received(3, 0);
    ASSERT_EQ(shows.size(), 1u);
    EXPECT_EQ(memcmp(shows[0].payload.data() + 80, bytes(wide), 12800), 0);

    // A stride above the 512-byte pitch: each row is laid out cut to the pitch.
    auto padded = image(512, 32, 4);
    model->clearReceived();
    ASSERT_EQ(dc->setCursorImage(cursor(padded, 64, 32, 2048), 0), 0);
    uploads = model->received(1, 16);
    ASSERT_EQ(uploads.size(), 1u);
    const uint8_t* area = uploads[0].payload.data() + 80;
    for (int r = 0; r < 32; ++r)
        ASSERT_EQ(memcmp(area + r * 512, bytes(padded) + r * 2048, 512), 0) << "row " << r;

    // 256 rows of 256 bytes fill a slot exactly; only the first 128 rows fit the area.
    auto tall = image(64, 256, 5);
    model->clearReceived();
    ASSERT_EQ(dc->setCursorImage(cursor(tall, 64, 256, 256), 0), 0);
    uploads = model->received(1, 16);
    ASSERT_EQ(uploads.size(), 1u);
    area = uploads[0].payload.data() + 80;
    EXPECT_EQ(memcmp(area + 127 * 512, bytes(tall) + 127 * 256, 256), 0);
    EXPECT_EQ(dc->cursorSlotBytes(2), 65536u);
}

TEST_F(Cursor520, OversizedImagesAreCutAndBadOnesRefused) {
    ASSERT_EQ(addView(0, 0x20, 0), 0);
    // 128 x 256 at 512 bytes a row is 131,072 bytes: the first 128 rows go out.
    auto big = image(128, 256, 6);
    model->clearReceived();
    ASSERT_EQ(dc->setCursorImage(cursor(big, 128, 256, 512), 0), 0);
    EXPECT_EQ(count("[warning] VelDisplay520Class::setCursorImage cursor image 128x256 stride 512 "
                    "is larger than 65536 bytes, sending its first 128 rows"),
              1);
    auto uploads = model->received(1, 16);
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(memcmp(uploads[0].payload.data() + 80, bytes(big), 65536), 0);
    EXPECT_EQ(dc->cursorSlotBytes(0), 65536u);
    ASSERT_EQ(dc->setCursorImage(cursor(big, 128, 256, 512), 0), 0);
    auto shows = model->received(3, 0);
    ASSERT_EQ(shows.size(), 2u);
    EXPECT_EQ(shows[1].payload.size(), 65616u);
    EXPECT_EQ(shows[1].payload[32], 0);

    model->clearReceived();
    auto px = image(64, 64, 7);
    evdi_cursor_set c = cursor(px, 64, 64, 256);
    c.buffer = nullptr;
    EXPECT_EQ(dc->setCursorImage(c, 0), 2);
    c = cursor(px, 0, 64, 256);
    EXPECT_EQ(dc->setCursorImage(c, 0), 2);
    c = cursor(px, 64, 0, 256);
    EXPECT_EQ(dc->setCursorImage(c, 0), 2);
    c = cursor(px, 65, 64, 256);  // stride below width * 4
    EXPECT_EQ(dc->setCursorImage(c, 0), 2);
    c = cursor(px, 0xFFFFFFFFu, 64, 0xFFFFFFFFu);  // "negative" sizes from the kernel
    EXPECT_EQ(dc->setCursorImage(c, 0), 2);
    c = cursor(px, 64, 64, 256);
    c.buffer_length = 16383;  // shorter than height x stride
    EXPECT_EQ(dc->setCursorImage(c, 0), 2);
    c = cursor(px, 16, 1, 70000);  // not even one row fits a slot
    EXPECT_EQ(dc->setCursorImage(c, 0), 2);
    EXPECT_EQ(dc->setCursorImage(cursor(px, 64, 64, 256), 5), 2);  // no such view
    EXPECT_EQ(dc->setCursorImage(cursor(px, 64, 64, 256), -1), 2);
    EXPECT_TRUE(model->received().empty());
    EXPECT_EQ(dc->cursorSlotsInUse(), 1);
}

TEST_F(Cursor520, RefusedUploadIsSentAgainNextTime) {
    ASSERT_EQ(addView(0, 0x20, 0), 0);
    auto px = image(32, 32, 8);
    model->setAnswer(1, 16, emu::AnswerMode::ErrorFlag, 0ms, 1);
    model->clearReceived();
    dc->setCursorImage(cursor(px, 32, 32, 128), 0);
    EXPECT_EQ(dc->cursorSlotsInUse(), 0);
    ASSERT_EQ(dc->setCursorImage(cursor(px, 32, 32, 128), 0), 0);
    auto uploads = model->received(1, 16);
    ASSERT_EQ(uploads.size(), 2u);
    EXPECT_EQ(idOf(uploads[1]), 200u);
    EXPECT_EQ(dc->cursorSlotsInUse(), 1);
}

TEST_F(Cursor520, PositionPacketCarriesPositionAndVisibility) {
    const int dd = addView(2, 0x22, 2);
    ASSERT_EQ(dd, 0);
    model->clearReceived();
    ASSERT_EQ(dc->setCursorState(10, -5, 2, 1), 0);
    auto pos = model->received(3, 1);
    ASSERT_EQ(pos.size(), 1u);
    EXPECT_EQ(pos[0].payload.size(), 80u);
    EXPECT_EQ(pos[0].header.source, 2);
    EXPECT_EQ(pos[0].header.target, 0x22);
    EXPECT_EQ(pos[0].payload[32], 0x08);
    auto d = model->displayDevice(dd);
    EXPECT_EQ(d.cursorX, 10);
    EXPECT_EQ(d.cursorY, -5);
    EXPECT_TRUE(d.cursorVisible);
    ASSERT_EQ(dc->setCursorState(0, 0, 2, 0), 0);
    EXPECT_FALSE(model->displayDevice(dd).cursorVisible);
    EXPECT_EQ(model->displayDevice(dd).positionUpdates, 2);
    EXPECT_EQ(dc->setCursorState(1, 1, 3, 1), 2);
    EXPECT_TRUE(model->errors().empty());
}

TEST_F(Cursor520, DisplaysOnSkipViewsThatAreOffAndOffSwitchesAll) {
    const int dd0 = addView(0, 0x20, 0);
    const int dd1 = addView(1, 0x21, 1);
    ASSERT_GE(dd0, 0);
    ASSERT_GE(dd1, 0);
    model->clearReceived();
    // Every view starts DPMS-off: switching on sends nothing.
    EXPECT_EQ(dc->monitorControl(0), 1);
    EXPECT_TRUE(model->received().empty());

    ASSERT_EQ(dc->doDpmsState(0, 0), 0);
    model->clearReceived();
    EXPECT_EQ(dc->monitorControl(0), 0);
    EXPECT_EQ(controlTypes(), (std::vector<int>{1, 69}));
    EXPECT_EQ(model->displayDevice(dd0).powerOff, 0);
    EXPECT_EQ(model->displayDevice(dd1).powerCommands, 0);

    model->clearReceived();
    EXPECT_EQ(dc->monitorControl(1), 0);
    EXPECT_EQ(controlTypes(), (std::vector<int>{1, 69, 1, 69}));
    EXPECT_EQ(model->displayDevice(dd0).powerOff, 1);
    EXPECT_EQ(model->displayDevice(dd1).powerOff, 1);
    EXPECT_EQ(model->displayDevice(dd1).videoPortOff, 1);

    // A view whose monitor has no display device stops the pass.
    dev->viewTable[2] = {2, 0x22};
    EXPECT_EQ(dc->monitorControl(1), 1);
    EXPECT_EQ(count("- VelDisplay520Class::monitorControl: Fail find DisplayDeviceId 34 -"), 1);
}

TEST_F(Cursor520, DpmsFollowsTheHeartbeatRules) {
    const int dd0 = addView(0, 0x20, 0);
    const int dd1 = addView(1, 0x21, 1);
    ASSERT_GE(dd0, 0);
    ASSERT_GE(dd1, 0);
    model->clearReceived();
    ASSERT_EQ(dc->doDpmsState(0, 0), 0);
    EXPECT_EQ(controlTypes(), (std::vector<int>{1, 69, 21}));
    EXPECT_EQ(model->heartbeat().opens, 1);
    EXPECT_EQ(semCount(), 1);
    ASSERT_EQ(dc->doDpmsState(1, 0), 0);
    EXPECT_EQ(model->heartbeat().opens, 2);
    EXPECT_EQ(semCount(), 2);

    // One view off while the other is on: the heartbeat stays open.
    ASSERT_EQ(dc->doDpmsState(0, 3), 0);
    EXPECT_EQ(semCount(), 1);
    EXPECT_EQ(model->heartbeat().closes, 0);
    EXPECT_EQ(model->displayDevice(dd0).powerOff, 1);
    EXPECT_EQ(model->displayDevice(dd0).videoPortOff, 1);
    // The last view off closes it.
    ASSERT_EQ(dc->doDpmsState(1, 1), 0);
    EXPECT_EQ(semCount(), 0);
    EXPECT_EQ(model->heartbeat().closes, 1);
    EXPECT_FALSE(model->heartbeat().open);
    // Off again changes no count.
    ASSERT_EQ(dc->doDpmsState(1, 2), 0);
    EXPECT_EQ(semCount(), 0);
    // On again opens it.
    ASSERT_EQ(dc->doDpmsState(1, 0), 0);
    EXPECT_TRUE(model->heartbeat().open);
    EXPECT_EQ(semCount(), 1);
    EXPECT_EQ(dev->displayOff[1], 0);
    EXPECT_EQ(dev->displayOff[0], 1);
    EXPECT_EQ(count("- VelDisplay520Class::doDpmsState Ret=0 DisplayDeviceId_" +
                    std::to_string(dd1) + "-"),
              4);
    EXPECT_TRUE(model->errors().empty());
}

TEST_F(Cursor520, DpmsAnswerOfTheWrongTypeIsTriedFourTimes) {
    ASSERT_GE(addView(0, 0x20, 0), 0);
    model->setAnswerType(1, 1, 69);
    model->clearReceived();
    EXPECT_EQ(dc->doDpmsState(0, 3), 0);
    EXPECT_EQ(model->received(1, 1).size(), 4u);
    EXPECT_EQ(count("-[error] Type dismatch! DataClass:1 DataType:69"), 4);
    EXPECT_EQ(model->received(1, 69).size(), 1u);  // the video port is switched all the same
    EXPECT_EQ(dc->doDpmsState(0, 0), 81);
    EXPECT_EQ(dc->doDpmsState(0, 1), 82);
    EXPECT_EQ(model->received(1, 1).size(), 12u);
    model->clearAnswers();

    // A flagged answer is retried too and ends with 0.
    model->setAnswer(1, 1, emu::AnswerMode::ErrorFlag);
    model->clearReceived();
    EXPECT_EQ(dc->doDpmsState(0, 0), 0);
    EXPECT_EQ(model->received(1, 1).size(), 4u);
    model->clearAnswers();
    // The first good answer stops the retries.
    model->setAnswerType(1, 1, 69, 2);
    model->clearReceived();
    EXPECT_EQ(dc->doDpmsState(0, 1), 0);
    EXPECT_EQ(model->received(1, 1).size(), 3u);
}

TEST_F(Cursor520, DpmsWithoutDisplayDeviceOrWhileExiting) {
    dev->viewTable[0] = {0, 0x20};
    model->clearReceived();
    EXPECT_EQ(dc->doDpmsState(0, 0), 1);
    EXPECT_EQ(count("- VelDisplay520Class::doDpmsState: Fail find DisplayDeviceId 32 -"), 1);
    // The flag and the count are updated all the same.
    EXPECT_EQ(dev->displayOff[0], 0);
    EXPECT_EQ(semCount(), 1);
    EXPECT_EQ(dc->doDpmsState(7, 0), 1);
    EXPECT_TRUE(model->received().empty());
    dc->displayClassExitFlag = true;
    EXPECT_EQ(dc->doDpmsState(0, 1), 1);
    EXPECT_EQ(count("- VelDisplay520Class::doDpmsState: displayClassExitFlag is true, return! -"),
              1);
    EXPECT_EQ(dev->displayOff[0], 0);
}

TEST_F(Cursor520, FrameIndexCountsAndRestartsOnWrap) {
    dev->frameIndex520[1] = 5;
    model->clearReceived();
    EXPECT_EQ(dev->nextFrameIndex520(1), 6);
    EXPECT_EQ(model->frameIndexResets(), 0);
    dev->frameIndex520[0] = -1;  // 0xFFFFFFFF: the next one wraps to 0
    EXPECT_EQ(dev->nextFrameIndex520(0), 1);
    EXPECT_EQ(model->frameIndexResets(), 1);
    EXPECT_EQ(count("+ VelDisplay520Class::zeroFrameIndex +"), 1);
    EXPECT_EQ(dc->updateFrameIndex(3), 0u);

    // Encoder threads of several views take indexes at once: none is lost or given twice.
    dev->frameIndex520[2] = 100;
    std::vector<std::vector<uint32_t>> got(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 1000; ++i) got[t].push_back(dc->updateFrameIndex(2));
        });
    for (auto& t : threads) t.join();
    std::set<uint32_t> all;
    for (const auto& g : got) all.insert(g.begin(), g.end());
    EXPECT_EQ(all.size(), 4000u);
    EXPECT_EQ(*all.begin(), 101u);
    EXPECT_EQ(*all.rbegin(), 4100u);
}

TEST_F(Cursor520, CleanUpSwitchesDisplaysOffThenRefusesEverything) {
    const int dd0 = addView(0, 0x20, 0);
    const int dd1 = addView(1, 0x21, 1);
    ASSERT_GE(dd0, 0);
    ASSERT_GE(dd1, 0);
    dc->vPort_Record[0] = 0x20;
    model->clearReceived();
    EXPECT_EQ(dc->fwExeClean(), 0);
    EXPECT_EQ(controlTypes(), (std::vector<int>{1, 69, 1, 69}));
    EXPECT_EQ(model->displayDevice(dd0).powerOff, 1);
    EXPECT_EQ(model->displayDevice(dd1).powerOff, 1);
    EXPECT_TRUE(dc->displayClassExitFlag);
    for (uint8_t b : dc->vPort_Record) EXPECT_EQ(b, 0xEE);

    model->clearReceived();
    auto px = image(16, 16, 9);
    EXPECT_EQ(dc->setCursorState(1, 1, 0, 1), 1);
    EXPECT_EQ(dc->setCursorImage(cursor(px, 16, 16, 64), 0), 1);
    EXPECT_EQ(dc->cursorSlotsInUse(), 0);
    EXPECT_EQ(dc->doDpmsState(0, 0), 1);
    EXPECT_EQ(dc->monitorControl(1), 1);
    EXPECT_EQ(dc->vportControl(0, 0x20, 1), 1);
    EXPECT_EQ(dc->zeroFrameIndex(), 1);
    EXPECT_EQ(dc->controlHeartbeat(1), 1);
    EXPECT_EQ(dc->resetDevice(0), 0);
    EXPECT_EQ(dc->sendPatchCommand(0, 0), 0);
    EXPECT_TRUE(model->received().empty());
    // The receive thread lets go of the class: only the fixture's two references are left.
    EXPECT_TRUE(vtest::waitFor([&] { return dc.use_count() == 2; }, 3s));
}
