// 50x-family display operations against a scripted adapter on the emulated bus: mode set with
// its timing classes, the topology-only set, monitor power and DPMS with the heartbeat rule,
// power state, the cursor and its shape cache, frame-index flow control, the image packet
// header and the view reset. Expected bytes are tables written from the protocol's command
// layouts.
#include <gtest/gtest.h>
#include <semaphore.h>
#include <turbojpeg.h>

#include <string>
#include <vector>

#include "packet508.h"
#include "pipeline/pipeline508.h"
#include "pipeline/velEncoder.h"
#include "session508.h"

namespace {

using vtest::hexBytes;
using vtest::kMagicHex;
using vtest::Peer508;

std::vector<uint8_t> cmd(size_t size, const std::string& afterMagic) {
    return hexBytes(std::string(kMagicHex) + afterMagic, size);
}

struct Display508 : vtest::Session508 {
    // Views 0 and 1 showing monitors on targets 1 and 2, both switched on by the desktop.
    void twoViews(int w0, int h0, int hz0, int w1, int h1, int hz1) {
        dev->viewTable[0] = {0, 1};
        dev->viewTable[1] = {1, 2};
        dev->evdiBuffer[0].width = w0;
        dev->evdiBuffer[0].height = h0;
        dev->refreshRate[0] = hz0;
        dev->evdiBuffer[1].width = w1;
        dev->evdiBuffer[1].height = h1;
        dev->refreshRate[1] = hz1;
        dev->displayOff[0] = dev->displayOff[1] = 0;
    }
    std::vector<uint8_t> codes() {
        std::vector<uint8_t> c;
        for (const auto& o : peer->outs()) c.push_back(o.code());
        return c;
    }
    // OUT packets whose byte 16 is `kind` (the cursor packets carry no command code).
    std::vector<Peer508::Out> outsOfKind(uint8_t kind) {
        std::vector<Peer508::Out> r;
        for (auto& o : peer->outs())
            if (o.bytes.size() > 16 && o.bytes[16] == kind) r.push_back(o);
        return r;
    }
    int credits() {
        int v = 0;
        sem_getvalue(&dev->frameCreditSemaphore, &v);
        return v;
    }
    void setCredits(int n) {
        while (sem_trywait(&dev->frameCreditSemaphore) == 0) {
        }
        for (int i = 0; i < n; ++i) sem_post(&dev->frameCreditSemaphore);
    }
    int dpmsViewsOn() {
        int v = 0;
        sem_getvalue(&dev->displayOffSemaphore, &v);
        return v;
    }
};

TEST_F(Display508, ModeSetTimingClassesHalfRateAndFollowUps) {
    // 3840x2160 at 60 goes as class 1 at 30; 2560x1080 is class 2 at its own 50.
    twoViews(3840, 2160, 60, 2560, 1080, 50);
    EXPECT_EQ(dc->setMode(1), 0);
    const std::vector<uint8_t> order = {0x31, 0x31, 0x30, 0x3F, 0x41, 0x40,
                                        0x3F, 0x41, 0x40, 0x31, 0x31};
    EXPECT_EQ(codes(), order);
    auto outs = peer->outs();
    ASSERT_EQ(outs.size(), order.size());
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 00 31 01 01"), outs[0].bytes,
                           "monitors off, view 0");
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 10 31 02 01"), outs[1].bytes,
                           "monitors off, view 1");
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 10 30"
                                   " 00 01 01 00 0f 70 08 20 1e 00"
                                   " 01 02 02 00 0a 38 04 20 32 00"),
                           outs[2].bytes, "mode block");
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 00 3f"), outs[3].bytes, "post 3f");
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 00 41"), outs[4].bytes, "post 41");
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 00 40 01 00 0f 70 08"), outs[5].bytes,
                           "view size 0");
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 10 40 01 00 0a 38 04"), outs[8].bytes,
                           "view size 1");
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 00 31 01 00"), outs[9].bytes,
                           "monitors on, view 0");
    EXPECT_EQ(dev->timingClass508[0], 1);
    EXPECT_EQ(dev->timingClass508[1], 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(dev->rememberedRect[1][i].width, 2560);
        EXPECT_EQ(dev->rememberedRect[1][i].height, 1080);
    }
    EXPECT_EQ(count("====>SetMode:View_ID=0, targetID=1; Width=3840; Hight=2160; RefreshRate=30"),
              1);
}

TEST_F(Display508, OversizedViewGoesDisabledFullHdIsClassZeroTopologyOnlyKeepsBoth) {
    twoViews(1920, 1080, 60, 4096, 2160, 60);
    dev->displayOff[1] = 1;  // the desktop switched view 1 off: it is not switched back on
    dc->setMode(0);
    const std::vector<uint8_t> order = {0x31, 0x31, 0x30, 0x3F, 0x41, 0x40, 0x31};
    EXPECT_EQ(codes(), order);
    auto block = peer->outsOf(0x30);
    ASSERT_EQ(block.size(), 1u);
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 00 30"
                                   " 00 01 00 80 07 38 04 20 3c 00"
                                   " ff 00 01 00 10 70 08 20 1e 00"),
                           block[0].bytes, "mode block with a disabled view");
    EXPECT_EQ(count("View_ID=255, targetID=0; Width=4096"), 1);

    peer->clear();
    dc->setDisplayClassTopo(0);
    EXPECT_EQ(codes(), (std::vector<uint8_t>{0x31, 0x31, 0x30, 0x31}));
    block = peer->outsOf(0x30);
    ASSERT_EQ(block.size(), 1u);
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 00 30"
                                   " 00 01 00 80 07 38 04 20 3c 00"
                                   " 01 02 01 00 10 70 08 20 1e 00"),
                           block[0].bytes, "topology-only block");
    EXPECT_EQ(count("====>SetModeTopoOnly:View_ID=1, targetID=2; Width=4096; Hight=2160; "
                    "RefreshRate=30 "),
              1);
}

TEST_F(Display508, DpmsOffOnTheLastViewOnTurnsTheHeartbeatOff) {
    twoViews(1920, 1080, 60, 1920, 1080, 60);
    dev->displayOff[0] = dev->displayOff[1] = 1;  // as after plug-in
    auto heartbeats = [&] { return peer->outsOf(0xD7); };

    dc->doDpmsState(0, 0);
    dc->doDpmsState(1, 0);
    EXPECT_EQ(dpmsViewsOn(), 2);
    auto dpms = peer->outsOf(0x31);
    ASSERT_EQ(dpms.size(), 2u);
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 10 31 02 00"), dpms[1].bytes,
                           "DPMS on, view 1");
    ASSERT_EQ(heartbeats().size(), 2u);
    EXPECT_EQ(heartbeats()[1].bytes[22], 1);  // heartbeat on

    // Off while the other view is on: no heartbeat command at all.
    dc->doDpmsState(0, 1);
    EXPECT_EQ(dpmsViewsOn(), 1);
    EXPECT_EQ(heartbeats().size(), 2u);
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 00 31 01 01"),
                           peer->outsOf(0x31).back().bytes, "DPMS off, view 0");
    // A repeated off changes nothing.
    dc->doDpmsState(0, 2);
    EXPECT_EQ(dpmsViewsOn(), 1);
    EXPECT_EQ(heartbeats().size(), 2u);
    // The last view on goes off (suspend): the heartbeat goes off.
    dc->doDpmsState(1, 3);
    EXPECT_EQ(dpmsViewsOn(), 0);
    ASSERT_EQ(heartbeats().size(), 3u);
    vtest::expectSameBytes(cmd(44, "2c 00 00 00  06 00 00 00 d7 03 00 00"), heartbeats()[2].bytes,
                           "heartbeat off");
    // An unknown state keeps the flag and asks for the heartbeat.
    dc->doDpmsState(1, 7);
    EXPECT_EQ(dev->displayOff[1], 1);
    EXPECT_EQ(heartbeats().size(), 4u);
    EXPECT_EQ(count("DPMS off, close heartbeat"), 3);
    EXPECT_EQ(dc->doDpmsState(5, 0), -1);  // no such view: nothing sent
    EXPECT_EQ(peer->outsOf(0x31).size(), 6u);
}

TEST_F(Display508, PowerStateResetAndFrameIndexResetOnTheWire) {
    dc->setPowerStatus(0);
    auto power = peer->outsOf(0x32);
    ASSERT_EQ(power.size(), 2u);
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 00 32 00"), power[0].bytes, "power 0");
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 10 32 00"), power[1].bytes, "power 1");
    EXPECT_EQ(dc->resetDevice(1), 0);
    vtest::expectSameBytes(cmd(48, "30 00 00 00  06 00 00 10 46"), peer->outsOf(0x46)[0].bytes,
                           "view reset");
    EXPECT_EQ(count("Device_reset view_id =[1]"), 1);
    EXPECT_EQ(dc->resetFrameIndex(), 0);
    vtest::expectSameBytes(cmd(44, "08 00 00 00  06 00 00 00 45"), peer->outsOf(0x45)[0].bytes,
                           "frame-index reset");
}

TEST_F(Display508, CursorPositionPacketKeepsTheOtherBitsOfItsFlagByte) {
    dc->setCursorState(100, -5, 1, 1);
    dc->setCursorState(7, 8, 0, 0);
    auto pos = outsOfKind(0x3A);
    ASSERT_EQ(pos.size(), 2u);
    EXPECT_EQ(pos[0].endpoint, 0x01);
    std::vector<uint8_t> first = cmd(44, "2c 00 00 00  3a 0c 00 00 00 01");
    first[32] = 1;
    vtest::put32(first, 36, 100);
    vtest::put32(first, 40, static_cast<uint32_t>(-5));
    vtest::expectSameBytes(first, pos[0].bytes, "cursor shown");
    EXPECT_EQ(pos[1].bytes[32], 0);
    EXPECT_EQ(vtest::get32(pos[1].bytes, 36), 7u);
}

struct Cursor508 : Display508 {
    std::vector<uint32_t> pixels;
    evdi_cursor_set cursor(uint32_t w, uint32_t h, uint32_t seed, uint32_t strideExtra = 0) {
        const uint32_t stride = w * 4 + strideExtra;
        pixels.assign(stride / 4 * h, 0);
        for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = seed * 2654435761u + i;
        evdi_cursor_set c{};
        c.hot_x = 3;
        c.hot_y = 4;
        c.width = w;
        c.height = h;
        c.enabled = 1;
        c.stride = stride;
        c.buffer = pixels.data();
        c.buffer_length = static_cast<uint32_t>(pixels.size() * 4);
        return c;
    }
    std::vector<Peer508::Out> uploads() { return peer->outsOf(0x42); }
    std::vector<Peer508::Out> selects() { return outsOfKind(0x39); }
    std::vector<uint8_t> select(uint8_t view, uint32_t slot, uint8_t uploaded) {
        std::vector<uint8_t> s = cmd(48, "30 00 00 00  39 00 40 00 00");
        s[21] = view;
        vtest::put32(s, 22, slot);
        s[26] = uploaded;
        return s;
    }
};

TEST_F(Cursor508, SameImageTwiceUploadsOnceAndTheUploadCarriesThe64By64Image) {
    // 32 x 16 with a row pitch of 160 bytes: 16 rows of 160 bytes land at a 256-byte pitch.
    evdi_cursor_set c = cursor(32, 16, 1, 32);
    EXPECT_EQ(dc->setCursorImage(c, 1), 0);
    ASSERT_EQ(uploads().size(), 1u);
    const std::vector<uint8_t> up = uploads()[0].bytes;
    ASSERT_EQ(up.size(), 16480u);
    std::vector<uint8_t> head = cmd(96, "60 40 00 00  06 00 00 10 42 30 40 00 00 00");
    vtest::put32(head, 48, 2);
    vtest::put32(head, 52, 64);
    vtest::put32(head, 56, 64);
    vtest::put32(head, 60, 256);
    vtest::put32(head, 64, 3);
    vtest::put32(head, 68, 4);
    vtest::put32(head, 72, 16384);
    vtest::expectSameBytes(head, std::vector<uint8_t>(up.begin(), up.begin() + 96), "upload head");
    std::vector<uint8_t> image(16384, 0);
    const auto* src = reinterpret_cast<const uint8_t*>(pixels.data());
    for (int r = 0; r < 16; ++r) memcpy(&image[r * 256], src + r * 160, 160);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), up.begin() + 96)) << "cursor plane";
    ASSERT_EQ(selects().size(), 1u);
    vtest::expectSameBytes(select(1, 0, 1), selects()[0].bytes, "select after upload");

    // The same image again: no upload, a select of slot 0 with the uploaded flag clear.
    c = cursor(32, 16, 1, 32);
    EXPECT_EQ(dc->setCursorImage(c, 1), 0);
    EXPECT_EQ(uploads().size(), 1u);
    ASSERT_EQ(selects().size(), 2u);
    vtest::expectSameBytes(select(1, 0, 0), selects()[1].bytes, "select from the cache");
    // Another image takes slot 1.
    c = cursor(32, 16, 2, 32);
    dc->setCursorImage(c, 0);
    EXPECT_EQ(uploads().size(), 2u);
    vtest::expectSameBytes(select(0, 1, 1), selects().back().bytes, "second slot");
}

TEST_F(Cursor508, RefusedUploadLeavesTheCacheAndIsNotSelected) {
    peer->setStatus(0x42, 1);
    evdi_cursor_set c = cursor(64, 64, 9);
    EXPECT_NE(dc->setCursorImage(c, 0), 0);
    EXPECT_EQ(count("Read save new cursor shape error! ret = 0x1!"), 1);
    EXPECT_TRUE(selects().empty());
    // No answer at all: dropped as well.
    peer->setSilent(0x42);
    EXPECT_NE(dc->setCursorImage(c, 0), 0);
    EXPECT_EQ(count("Cannot get feedback of new cursor shape."), 1);
    // Taken the third time, into the same slot 0.
    peer->setSilent(0x42, false);
    peer->setStatus(0x42, 0);
    EXPECT_EQ(dc->setCursorImage(c, 0), 0);
    EXPECT_EQ(uploads().size(), 3u);
    EXPECT_EQ(uploads()[2].bytes[25], 0);  // slot byte
    ASSERT_EQ(selects().size(), 1u);
    vtest::expectSameBytes(select(0, 0, 1), selects()[0].bytes, "select after a good upload");
}

TEST_F(Cursor508, WideCursorGoesTransparentBadImagesAreRefusedSlotsWrapAt401) {
    // 128 x 128: too wide for the adapter's plane, sent as a blank image without overflow.
    evdi_cursor_set c = cursor(128, 128, 5);
    EXPECT_EQ(dc->setCursorImage(c, 0), 0);
    ASSERT_EQ(uploads().size(), 1u);
    const std::vector<uint8_t> up = uploads()[0].bytes;
    EXPECT_TRUE(std::all_of(up.begin() + 96, up.end(), [](uint8_t b) { return b == 0; }));
    // A height x stride beyond the buffer given is refused before anything is sent.
    c = cursor(16, 16, 6);
    c.buffer_length = 16 * 64 - 4;
    EXPECT_EQ(dc->setCursorImage(c, 0), -1);
    c = cursor(16, 16, 6);
    c.buffer = nullptr;
    EXPECT_EQ(dc->setCursorImage(c, 0), -1);
    EXPECT_EQ(uploads().size(), 1u);

    // Slots 1..400 take 400 more images; the next one reuses slot 301.
    for (uint32_t i = 0; i < 401; ++i) {
        c = cursor(8, 8, 100 + i);
        ASSERT_EQ(dc->setCursorImage(c, 0), 0) << i;
    }
    auto sel = selects();
    ASSERT_EQ(sel.size(), 402u);
    EXPECT_EQ(vtest::get32(sel[400].bytes, 22), 400u);
    EXPECT_EQ(vtest::get32(sel[401].bytes, 22), 301u);
    // An image still held in a slot past the reuse point is found there.
    c = cursor(8, 8, 100 + 350);
    dc->setCursorImage(c, 0);
    EXPECT_EQ(vtest::get32(selects().back().bytes, 22), 351u);
    EXPECT_EQ(selects().back().bytes[26], 0);
}

TEST_F(Display508, FrameIndexFeedbackCasesAndTheThreeCreditBound) {
    EXPECT_EQ(dc->updateFrameIndex(0), 2u);
    EXPECT_EQ(dc->updateFrameIndex(1), 3u);
    auto report = [&](uint32_t last, uint32_t finished, uint8_t source = 0) {
        dev->frameIndex508Reported = last;
        unsigned char p[7] = {source, 0, 0};
        for (int i = 0; i < 4; ++i) p[3 + i] = static_cast<unsigned char>(finished >> (8 * i));
        dc->checkFrameIndex(p);
    };
    // F = L + 3 posts three.
    setCredits(0);
    report(10, 13);
    EXPECT_EQ(credits(), 3);
    EXPECT_EQ(dev->frameIndex508Reported, 13u);
    // F = L - 1 takes one back.
    report(13, 12);
    EXPECT_EQ(credits(), 2);
    // Never more than three, whatever a report covers.
    report(0, 2);
    EXPECT_EQ(credits(), 3);
    // Wrapped forward across zero: F - L - 2 credits.
    setCredits(0);
    report(0xFFFFFFFEu, 1);
    EXPECT_EQ(credits(), 1);
    EXPECT_EQ(count("TOO BIG Frame turn to small(last[-2]->finish[1])"), 1);
    // Gone back across zero: L - F - 2 taken.
    setCredits(3);
    report(1, 0xFFFFFFFEu);
    EXPECT_EQ(credits(), 2);
    EXPECT_EQ(count("Error! Frame Index ZERO accident![-1]diff!(last[1]->finish[-2])"), 1);
    // Going back by more than there are credits: the last finished index follows the next one.
    setCredits(1);
    report(50, 40);
    EXPECT_EQ(credits(), 0);
    EXPECT_EQ(dev->frameIndex508Reported, 0u);  // next index 3, less three
    // A report from the hardware decoder carries no index.
    setCredits(0);
    report(5, 8, 2);
    EXPECT_EQ(credits(), 0);
    EXPECT_EQ(count("For hardware decoder!"), 1);

    // Through the receive path: an 0xE9 event of index 3 after 0.
    dev->frameIndex508Reported = 0;
    peer->raise(0xE9, {0, 0, 0, 3, 0, 0, 0});
    ASSERT_TRUE(vtest::waitFor([&] { return credits() == 3; }));
}

// A frame whose credit came back without an acknowledgement (its transfer failed) is not
// credited again by the report that goes past its index: three frames 2, 3 and 4 in flight, 2
// fails, the adapter reports 3 finished (2 never came): one credit for frame 3, not two, so
// frame 4 still holds the third.
TEST_F(Display508, AReportPastAFailedFrameDoesNotReturnItsCreditTwice) {
    auto report = [&](uint32_t finished) {
        unsigned char p[7] = {0, 0, 0};
        for (int i = 0; i < 4; ++i) p[3 + i] = static_cast<unsigned char>(finished >> (8 * i));
        dc->checkFrameIndex(p);
    };
    dev->frameIndex508Reported = 1;
    setCredits(0);
    dev->giveSentFrameCredit508();  // frame 2's transfer failed
    EXPECT_EQ(credits(), 1);
    report(3);
    EXPECT_EQ(credits(), 2);
    report(4);
    EXPECT_EQ(credits(), 3);
    // Once covered, the failed frame is forgotten: the next frames count one each.
    setCredits(1);
    report(6);
    EXPECT_EQ(credits(), 3);
    // Plug-in's fresh start forgets a failed frame not covered yet.
    setCredits(0);
    dev->giveSentFrameCredit508();
    dev->refillFrameCredits508();
    setCredits(0);
    report(7);
    EXPECT_EQ(credits(), 1);
}

TEST_F(Display508, ImageHeaderTotalsViewByteAndDecoderHeader) {
    // A real 4:2:0 JPEG of a 64 x 32 picture.
    std::vector<uint8_t> rgb(64 * 32 * 4);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    tjhandle tj = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long jpegSize = 0;
    ASSERT_EQ(tjCompress2(tj, rgb.data(), 64, 0, 32, TJPF_BGRX, &jpeg, &jpegSize, TJSAMP_420, 90,
                          0),
              0);
    tjDestroy(tj);
    std::vector<uint8_t> buf(48 + jpegSize + 20480 + 64, 0xCC);
    memcpy(&buf[48], jpeg, jpegSize);
    tjFree(jpeg);
    _RECT_IN_ENCODE_Q rec;
    rec.frameIndex = 0x01020304;
    rec.pieceFlags = 0x12;
    _evdi_send send;
    send.buffer = buf.data();
    _VELRECT r;
    r.x = 0x10000 + 16;  // only the low 16 bits go out
    r.y = 8;
    r.width = 64;
    r.height = 32;
    r.stride = 256;
    EXPECT_EQ(dc->dataHeaderPackage(&rec, &send, r, static_cast<int>(jpegSize), 1), 0);
    uint32_t total = static_cast<uint32_t>(jpegSize) + 20528;
    if (total % 512 == 0) ++total;
    std::vector<uint8_t> head = hexBytes(std::string(kMagicHex) +
                                         "00 00 00 00  02 00 00 b0 04 01 04 03 02 01 e0"
                                         " 10 00 08 00 40 00 20 00 00 00 01",
                                         42);
    vtest::put32(head, 12, total);
    vtest::put32(head, 38, static_cast<uint32_t>(jpegSize));
    head.push_back(0x12);
    vtest::expectSameBytes(head, std::vector<uint8_t>(buf.begin(), buf.begin() + 43), "header");
    EXPECT_EQ(buf[43], 0xCC);  // bytes 43..47 are not written
    EXPECT_EQ(send.length, static_cast<int32_t>(total));
    EXPECT_EQ(send.pieceFlags, 0x12);
    // The decoder header: two records of 2856 bytes (one per header parse) after the count
    // byte, describing this JPEG.
    const size_t dh = 48 + jpegSize;
    EXPECT_EQ(buf[dh], 2);
    EXPECT_EQ(vtest::get32(buf, dh + 1 + 20), static_cast<uint32_t>(jpegSize));
    EXPECT_EQ(vtest::get32(buf, dh + 1 + 116), 64u);
    EXPECT_EQ(vtest::get32(buf, dh + 1 + 120), 32u);
    EXPECT_EQ(buf[dh + 1 + 2 * 2856], 0);  // the rest of the room is cleared
    EXPECT_EQ(buf[dh + 20479], 0);

    // 464 bytes that are no JPEG: 464 + 20528 = 20992 is a multiple of 512, so 20993; the
    // decoder header stays empty and the even view gets 0xA0.
    std::vector<uint8_t> junk(48 + 464 + 20480 + 32, 0xAB);
    send.buffer = junk.data();
    EXPECT_EQ(dc->dataHeaderPackage(&rec, &send, r, 464, 0), 2);
    EXPECT_EQ(vtest::get32(junk, 12), 20993u);
    EXPECT_EQ(junk[19], 0xA0);
    EXPECT_EQ(send.length, 20993);
    EXPECT_TRUE(std::all_of(junk.begin() + 48 + 464, junk.begin() + 20993,
                            [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(count("Software decoder for Jpeg data error !"), 1);
    EXPECT_EQ(dc->dataHeaderPackage(&rec, &send, r, -1, 0), -1);
}

// Packets are made in recycled frame buffers: what a buffer held before must never reach the
// adapter. A 64 x 64 region is compressed on model 0x0505 (JPEG + 32 announced) into a pooled
// buffer that held 0xFF bytes and into one that held zeros; the bytes on the wire are the same,
// including the one extra zero byte of a packet whose length would be a multiple of 512.
TEST_F(Display508, PooledPacketBufferLeavesNothingOfItsOldBytesOnTheWire) {
    dev->model = 0x505;
    constexpr int kW = 64, kH = 64;
    std::vector<uint8_t> rgb(kW * kH * 4);
    std::vector<uint8_t> yuv(velYuvBlockLength(kW, kH));
    // A picture whose JPEG (as libjpeg-turbo makes it from the same planes) is 432 bytes past
    // a multiple of 512: 32 announced bytes and the 20,528 of header and decoder room make a
    // multiple of 512.
    unsigned long jpegSize = 0;
    bool found = false;
    for (uint32_t seed = 1; seed < 20000 && !found; ++seed) {
        // The first `noisy` pixels are noise, the rest flat grey: JPEG sizes of every residue.
        const size_t noisy = (seed * 37u) % (kW * kH);
        uint32_t x = seed;
        for (size_t i = 0; i < rgb.size(); ++i) {
            x = x * 1103515245u + 12345u;
            rgb[i] = i / 4 < noisy ? static_cast<uint8_t>(x >> 24) : 0x80;
        }
        _VELRECT r;
        r.pixels = rgb.data();
        r.width = kW;
        r.height = kH;
        r.stride = kW * 4;
        int quality = 90;
        uint32_t length = static_cast<uint32_t>(yuv.size());
        ASSERT_EQ(velRgb2YuvEncode(&r, VEL_ENCODER_YUV, &quality, 0, 0, yuv.data(), &length), 0);
        const uint32_t ySize = velYuvPlaneSize420(0, kW, kH), uSize = velYuvPlaneSize420(1, kW, kH);
        const unsigned char* planes[3] = {&yuv[32], &yuv[32 + ySize], &yuv[32 + ySize + uSize]};
        tjhandle tj = tjInitCompress();
        unsigned char* jpeg = nullptr;
        ASSERT_EQ(tjCompressFromYUVPlanes(tj, planes, kW, nullptr, kH, TJSAMP_420, &jpeg,
                                          &jpegSize, 90, 0),
                  0);
        tjFree(jpeg);
        tjDestroy(tj);
        found = (jpegSize + 32 + 20528) % 512 == 0;
    }
    ASSERT_TRUE(found);
    const size_t room = velPacketSize508(kW, kH);
    // Both packets are made in one and the same pooled buffer: the decoder header carries the
    // stream's address, which would differ between two buffers.
    velFrameBufferTrim();
    auto wire = [&](uint8_t old) {
        unsigned char* stale = velFrameBufferTake(room);
        memset(stale, old, room);
        velFrameBufferGive(stale);
        unsigned char* block = velFrameBufferTake(yuv.size());
        memcpy(block, yuv.data(), yuv.size());
        _RECT_IN_ENCODE_Q rec;
        rec.session = dev.get();
        rec.rect.buffer = block;
        rec.rect.width = kW;
        rec.rect.height = kH;
        rec.rect.stride = kW * 4;
        rec.frameIndex = 7;
        _evdi_send p = dev->velYuv2JpegEncoder508(rec, 0);
        EXPECT_EQ(p.buffer, stale) << "the packet was not made in the pooled buffer";
        std::vector<uint8_t> bytes;
        if (p.buffer && p.length > 0) bytes.assign(p.buffer, p.buffer + p.length);
        velFrameBufferGive(p.buffer);
        return bytes;
    };
    const std::vector<uint8_t> ones = wire(0xFF), zeros = wire(0x00);
    velFrameBufferTrim();
    ASSERT_EQ(ones.size(), jpegSize + 32 + 20528 + 1);
    EXPECT_EQ(vtest::get32(ones, 12), ones.size());
    EXPECT_EQ(ones.back(), 0);
    vtest::expectSameBytes(zeros, ones, "packet");
}

}  // namespace
