// The emulated 50x adapter on its own: packets built from the protocol tables (packet508.h),
// answers read back byte by byte.
#include <gtest/gtest.h>
#include <libusb-1.0/libusb.h>
#include <turbojpeg.h>

#include <functional>

#include "emulator/adapters/edidCorpus.h"
#include "emulator/adapters/model508.h"
#include "emulator/usb/bus.h"
#include "modelDriver.h"
#include "packet508.h"

using emu::Model508;
using vtest::get32;
using vtest::packet508;

namespace {

constexpr uint8_t kCmd = 0x01, kImg = 0x02;

std::vector<uint8_t> corpusMonitorEdid() {
    std::vector<uint8_t> e = emu::edidCorpusBytes(emu::kEdidCorpus[0].name);
    return e;
}

// A 4:2:0 JPEG of w x h grey pixels.
std::vector<uint8_t> jpeg420(int w, int h) {
    std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4, 0x80);
    tjhandle t = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    tjCompress2(t, px.data(), w, 0, h, TJPF_BGRX, &out, &size, TJSAMP_420, 90, 0);
    std::vector<uint8_t> j(out, out + size);
    tjFree(out);
    tjDestroy(t);
    return j;
}

// An image packet: the 48-byte header of the table, the JPEG, 20480 bytes of decoder header
// and one filler byte when the sum is a multiple of 512.
std::vector<uint8_t> imagePacket(const std::vector<uint8_t>& jpeg, bool oddView, uint32_t index,
                                 uint16_t x, uint16_t y, uint16_t w, uint16_t h) {
    size_t total = jpeg.size() + 20528;
    if (total % 512 == 0) ++total;
    std::vector<uint8_t> p(total, 0);
    memcpy(p.data(), "veltarvexsta", 12);
    vtest::put32(p, 12, static_cast<uint32_t>(total));
    p[16] = 2;
    p[19] = oddView ? 0xB0 : 0xA0;
    p[20] = 0x04;
    p[21] = 0x01;
    vtest::put32(p, 22, index);
    p[26] = 0xE0;
    auto put16 = [&](size_t at, uint16_t v) {
        p[at] = static_cast<uint8_t>(v);
        p[at + 1] = static_cast<uint8_t>(v >> 8);
    };
    put16(27, x);
    put16(29, y);
    put16(31, w);
    put16(33, h);
    put16(36, static_cast<uint16_t>(w * 4));
    vtest::put32(p, 38, static_cast<uint32_t>(jpeg.size()));
    p[42] = 0x11;  // a whole frame
    std::copy(jpeg.begin(), jpeg.end(), p.begin() + 48);
    int jw = 0, jh = 0;
    if (vtest::jpegSize508(jpeg, &jw, &jh)) {
        const auto dh = vtest::decoderHeader508(static_cast<uint32_t>(jpeg.size()), jw, jh);
        std::copy(dh.begin(), dh.end(), p.begin() + 48 + static_cast<long>(jpeg.size()));
    }
    return p;
}

struct Model508Test : ::testing::Test {
    Model508 model;
    vtest::ModelDriver drv{model};

    // Sends a control packet and returns its answer (empty when none comes).
    std::vector<uint8_t> ask(const std::vector<uint8_t>& packet, uint8_t ep = kCmd) {
        EXPECT_EQ(drv.send(ep, packet), emu::Status::Ok);
        return drv.next();
    }
};

// Bytes 16..22 of a control reply.
std::vector<uint8_t> ret(const std::vector<uint8_t>& r) {
    if (r.size() < 23) return {};
    return {r.begin() + 16, r.begin() + 23};
}

}  // namespace

TEST(Model508Identity, EndpointsFollowTheFamily) {
    for (const char* name : {"508", "505", "500"}) {
        SCOPED_TRACE(name);
        emu::UsbIdentity id = emu::adapterIdentity(name);
        ASSERT_TRUE(id.valid());
        const int iface = std::string(name) == "500" ? 0 : 4;
        const emu::EndpointInfo* out1 = id.findEndpoint(iface, 1, 0x01);
        const emu::EndpointInfo* in1 = id.findEndpoint(iface, 1, 0x81);
        const emu::EndpointInfo* out2 = id.findEndpoint(iface, 1, 0x02);
        ASSERT_TRUE(out1 && in1 && out2);
        EXPECT_EQ(out1->type, emu::EndpointType::Interrupt);
        EXPECT_EQ(in1->type, emu::EndpointType::Interrupt);
        EXPECT_EQ(out2->type, emu::EndpointType::Bulk);
        EXPECT_EQ(id.interfaces.size(), std::string(name) == "500" ? 1u : 5u);
    }
    EXPECT_EQ(emu::adapterIdentity("500").bcdUSB, 0x0210);
    EXPECT_EQ(emu::adapterIdentity("508").bcdUSB, 0x0320);
}

// Through the link-time libusb: claim, alternate setting 1, a command by bulk transfer on the
// interrupt OUT endpoint, the reply by interrupt transfer, a cursor position by interrupt.
TEST(Model508Identity, CommandRoundTripOverTheEmulatedBus) {
    auto model = std::make_shared<Model508>();
    auto& bus = emu::Bus::instance();
    const int id = bus.plug(model, emu::adapterIdentity("508"));
    ASSERT_GT(id, 0);
    libusb_context* ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    libusb_device_handle* h = nullptr;
    for (ssize_t i = 0; i < n && !h; ++i)
        if (libusb_get_device_address(list[i]) == bus.status(id).address) libusb_open(list[i], &h);
    libusb_free_device_list(list, 1);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(libusb_claim_interface(h, 4), 0);
    ASSERT_EQ(libusb_set_interface_alt_setting(h, 4, 1), 0);
    auto cmd = packet508(0x32, 0, {{5, 1}});
    int done = 0;
    ASSERT_EQ(libusb_bulk_transfer(h, 0x01, cmd.data(), 48, &done, 1000), 0);
    std::vector<uint8_t> in(1024);
    ASSERT_EQ(libusb_interrupt_transfer(h, 0x81, in.data(), 1024, &done, 1000), 0);
    in.resize(static_cast<size_t>(done));
    EXPECT_EQ(ret(in), (std::vector<uint8_t>{0x32, 0, 0, 0, 0, 0, 0}));
    std::vector<uint8_t> pos(44, 0);
    memcpy(pos.data(), "veltarvexsta", 12);
    vtest::put32(pos, 12, 44);
    pos[16] = 0x3A;
    vtest::put32(pos, 17, 12);
    pos[32] = 1;
    vtest::put32(pos, 36, 100);
    vtest::put32(pos, 40, static_cast<uint32_t>(-5));
    ASSERT_EQ(libusb_interrupt_transfer(h, 0x01, pos.data(), 44, &done, 1000), 0);
    EXPECT_EQ(model->view(0).cursorX, 100);
    EXPECT_EQ(model->view(0).cursorY, -5);
    EXPECT_TRUE(model->view(0).cursorVisible);
    EXPECT_TRUE(model->powerOn());
    EXPECT_TRUE(model->errors().empty());
    libusb_close(h);
    libusb_exit(ctx);
    bus.unplug(id);
    bus.reset();
}

TEST_F(Model508Test, ControlRepliesAndUnknownCommands) {
    EXPECT_EQ(ret(ask(packet508(0x32, 0x10, {{5, 1}}))),
              (std::vector<uint8_t>{0x32, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(model.view(1).power, 1);
    // A code the firmware does not know: type 0xFF, status 1, detail 0xFF and the code.
    EXPECT_EQ(ret(ask(packet508(0x55))), (std::vector<uint8_t>{0xFF, 1, 0xFF, 0x55, 0, 0, 0}));
    EXPECT_EQ(model.unknownCommands(), 1);
    ASSERT_EQ(model.errors().size(), 1u);
    EXPECT_NE(model.errors()[0].find("unknown command 0x55"), std::string::npos);
    // Commands without an answer stay silent.
    drv.send(kCmd, packet508(0x45, 0, {}, 44, 8));
    drv.send(kCmd, packet508(0x46, 0x10));
    EXPECT_TRUE(drv.silent());
    EXPECT_EQ(model.frameIndexResets(), 1);
    EXPECT_EQ(model.view(1).resets, 1);
}

TEST_F(Model508Test, HeartbeatOfTheFirmwareThatKnowsTheExtension) {
    auto r = ask(packet508(0xD7, 0, {{5, 3}, {6, 1}, {7, 1}}, 44));
    EXPECT_EQ(ret(r), (std::vector<uint8_t>{0xD7, 0, 0, 0x03, 0, 0, 0}));
    EXPECT_TRUE(model.heartbeat().open);
    drv.send(kCmd, packet508(0xEC, 0, {}, 44));
    drv.send(kCmd, packet508(0xEC, 0, {}, 44));
    EXPECT_EQ(model.heartbeat().bulkBeats, 2);
    EXPECT_EQ(ret(ask(packet508(0xD7, 0, {{5, 3}}, 44)))[1], 0);
    EXPECT_FALSE(model.heartbeat().open);
    EXPECT_EQ(model.heartbeat().extensionOn, 1);
    EXPECT_EQ(model.heartbeat().extensionOff, 1);
    EXPECT_TRUE(model.errors().empty());
}

TEST(Model508Heartbeat, OlderFirmwareAnswersTheExtensionAsUnknownAndTakesTheLegacyPacket) {
    Model508::Config c;
    c.heartbeatExtension = false;
    Model508 model(c);
    vtest::ModelDriver drv(model);
    drv.send(kCmd, packet508(0xD7, 0, {{5, 3}, {6, 1}, {7, 1}}, 44));
    EXPECT_EQ(ret(drv.next()), (std::vector<uint8_t>{0xFF, 1, 0xFF, 0xD7, 0, 0, 0}));
    EXPECT_FALSE(model.heartbeat().open);
    drv.send(kCmd, packet508(0x47, 0, {{5, 1}, {6, 1}, {7, 1}}, 44));
    EXPECT_TRUE(drv.silent());
    EXPECT_TRUE(model.heartbeat().open);
    EXPECT_EQ(model.heartbeat().legacyOn, 1);
    EXPECT_EQ(model.unknownCommands(), 1);
    EXPECT_TRUE(model.errors().empty());  // the host's probe is not a fault
}

TEST_F(Model508Test, EdidModeListAndCapabilityReplies) {
    const std::vector<uint8_t> edid = corpusMonitorEdid();
    ASSERT_GE(edid.size(), 128u);
    std::vector<Model508::Mode> modes;
    for (uint32_t i = 0; i < 64; ++i) modes.push_back({640 + i, 480, 60, 32});
    model.plugMonitor(2, Model508::monitor(edid, modes), false);

    auto e = ask(packet508(0x60, 0, {{5, 4}}));
    ASSERT_EQ(e.size(), 560u);
    EXPECT_EQ(e[16], 0x60);
    EXPECT_EQ(e[17], 0);
    const size_t n = std::min<size_t>(edid.size(), 512);
    EXPECT_EQ(get32(e, 18), n);
    EXPECT_EQ(e[22], 4);
    EXPECT_TRUE(std::equal(edid.begin(), edid.begin() + static_cast<long>(n), e.begin() + 48));
    // A repeated request (bit 5 of parameter byte 2) is taken and counted.
    ask(packet508(0x60, 0, {{2, 0x20}, {5, 4}}));
    EXPECT_EQ(model.target(4).edidRepeats, 1);
    // Nothing on target 1: status 1, no size.
    auto none = ask(packet508(0x60, 0, {{5, 1}}));
    EXPECT_EQ(none[17], 1);
    EXPECT_EQ(get32(none, 18), 0u);

    // 64 modes do not fit a 1024-byte reply: the 61 that do, and the count says so.
    auto m = ask(packet508(0x64, 0, {{5, 4}}));
    ASSERT_EQ(m.size(), 1024u);
    EXPECT_EQ(m[16], 0x64);
    EXPECT_EQ(m[17], 0);
    EXPECT_EQ(m[18] | (m[19] << 8), 61);
    EXPECT_EQ(get32(m, 48), 640u);
    EXPECT_EQ(get32(m, 48 + 16 * 60), 700u);
    EXPECT_EQ(get32(m, 48 + 16 * 60 + 8), 60u);
    EXPECT_EQ(get32(m, 48 + 16 * 60 + 12), 32u);

    auto caps = ask(packet508(0x65));
    ASSERT_EQ(caps.size(), 1024u);
    EXPECT_EQ(caps[16], 0x65);
    EXPECT_EQ(caps[17], 0);
    EXPECT_TRUE(model.errors().empty());
}

TEST_F(Model508Test, MonitorEventsCarryThePortMask) {
    model.plugMonitor(0, Model508::monitor(corpusMonitorEdid(), {{1920, 1080, 60, 32}}));
    auto a = drv.next();
    EXPECT_EQ(a[16], 0xE1);
    EXPECT_EQ(a[17], 0x01);
    model.plugMonitor(3, Model508::monitor(corpusMonitorEdid(), {{1920, 1080, 60, 32}}));
    EXPECT_EQ(drv.next()[17], 0x09);
    model.unplugMonitor(0);
    EXPECT_EQ(drv.next()[17], 0x08);
    model.unplugMonitor(3);
    EXPECT_EQ(drv.next()[17], 0x00);
}

TEST(Model508Events, MonitorsPresentAtPowerOnAreReportedOnce) {
    Model508::Config c;
    c.powerOnEventDelay = std::chrono::milliseconds(0);
    Model508 model(c);
    vtest::ModelDriver drv(model);
    model.plugMonitor(1, Model508::monitor(corpusMonitorEdid(), {{1920, 1080, 60, 32}}), false);
    EXPECT_TRUE(drv.silent());
    drv.send(kCmd, packet508(0x32, 0, {{5, 1}}));
    EXPECT_EQ(drv.next()[16], 0x32);
    auto ev = drv.next();
    EXPECT_EQ(ev[16], 0xE1);
    EXPECT_EQ(ev[17], 0x02);
    drv.send(kCmd, packet508(0x32, 0x10, {{5, 1}}));
    EXPECT_EQ(drv.next()[16], 0x32);
    EXPECT_TRUE(drv.silent());
}

// What the adapter must refuse, each counted as an error: refused control commands get
// status 1, packets it cannot parse get nothing.
TEST_F(Model508Test, RefusesMalformedPacketsAndCountsThem) {
    struct Case {
        std::vector<uint8_t> bytes;
        const char* why;
        bool answered;
    };
    auto badMagic = packet508(0x32, 0, {{5, 1}});
    badMagic[0] = 'X';
    auto unknownClass = packet508(0x32, 0, {{5, 1}});
    unknownClass[16] = 7;
    auto trailing = packet508(0x3F);
    trailing[45] = 1;
    const Case cases[] = {
        {badMagic, "bad magic", false},
        {packet508(0x32, 0, {{5, 1}}, 48, 44), "length field 44", false},
        {packet508(0xD7, 0, {{5, 3}}, 48), "48-byte transfer", false},
        {packet508(0x45, 0, {}, 44, 44), "length field 44", false},
        {unknownClass, "unknown class 0x07", false},
        {packet508(0x32, 0x20, {{5, 1}}), "view select 0x20", false},
        {packet508(0x32, 0, {{1, 1}, {5, 1}}), "parameter bytes 1-2", false},
        {trailing, "trailing byte 45", false},
        {packet508(0x31, 0, {{5, 3}, {6, 1}}), "DPMS for target 0x03", true},
        {packet508(0x32, 0, {{5, 2}}), "payload byte 5", true},
        {packet508(0xD7, 0, {{5, 3}, {6, 1}, {7, 0}}, 44), "heartbeat 0xd7", true},
        {packet508(0x60, 0, {{5, 0}}), "for target 0x00", true},
    };
    size_t k = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        drv.send(kCmd, c.bytes);
        auto r = drv.next(0x81, std::chrono::milliseconds(c.answered ? 2000 : 50));
        if (c.answered) {
            ASSERT_GE(r.size(), 23u);
            EXPECT_EQ(r[16], c.bytes[20]);
            EXPECT_EQ(r[17], 1);
        } else {
            EXPECT_TRUE(r.empty());
        }
        auto errs = model.errors();
        ASSERT_EQ(errs.size(), ++k);
        EXPECT_NE(errs.back().find(c.why), std::string::npos) << errs.back();
    }
    EXPECT_FALSE(model.powerOn());  // nothing refused took effect
    EXPECT_EQ(model.received().size(), k);
}

TEST_F(Model508Test, ModeSetFollowUpsDpmsPatchAndLayer) {
    // Views 0 (target 4, 3840 x 2160, class 1 at 30 Hz) and 1 (free).
    auto mode = packet508(0x30, 0,
                          {{5, 0},
                           {6, 4},
                           {7, 1},
                           {8, 0x00},
                           {9, 0x0F},
                           {10, 0x70},
                           {11, 0x08},
                           {12, 32},
                           {13, 30},
                           {15, 255}});
    EXPECT_EQ(ret(ask(mode))[1], 0);
    auto v = model.view(0);
    EXPECT_EQ(v.width, 3840);
    EXPECT_EQ(v.height, 2160);
    EXPECT_EQ(v.refresh, 30);
    EXPECT_EQ(v.timingClass, 1);
    EXPECT_EQ(model.view(1).viewId, 255);
    // The same mode at 60 Hz or as class 2 is refused.
    auto at60 = mode;
    at60[16 + 13] = 60;
    EXPECT_EQ(ret(ask(at60))[1], 1);
    auto class2 = mode;
    class2[16 + 7] = 2;
    EXPECT_EQ(ret(ask(class2))[1], 1);
    EXPECT_EQ(model.errors().size(), 2u);
    EXPECT_EQ(model.view(0).modeSets, 1);

    EXPECT_EQ(ret(ask(packet508(0x3F)))[0], 0x3F);
    EXPECT_EQ(ret(ask(packet508(0x41)))[0], 0x41);
    EXPECT_EQ(ret(ask(packet508(0x40, 0, {{5, 1}, {6, 0x00}, {7, 0x0F}, {8, 0x70}, {9, 0x08}})))[0],
              0x40);
    EXPECT_EQ(model.view(0).sizeWidth, 3840);
    EXPECT_EQ(model.view(0).post3F, 1);
    EXPECT_EQ(ret(ask(packet508(0x31, 0x10, {{5, 8}, {6, 1}})))[1], 0);
    EXPECT_EQ(model.target(8).dpmsOff, 1);
    drv.send(kCmd, packet508(0x4E, 0, {{5, 4}, {6, 1}}, 44));
    EXPECT_EQ(model.target(4).patch, 1);
    EXPECT_EQ(ret(ask(packet508(0x4C, 0x10, {{9, 10}, {11, 20}, {17, 30}, {19, 40}})))[1], 0);
    EXPECT_TRUE(model.layer().on);
    EXPECT_EQ(model.layer().values[3], 40);
    EXPECT_EQ(model.errors().size(), 2u);
}

TEST_F(Model508Test, CursorShapesAreKeptBySlot) {
    std::vector<uint8_t> up = packet508(0x42, 0, {{5, 0x30}, {6, 0x40}, {9, 7}});
    up.resize(16480, 0xAB);
    vtest::put32(up, 12, 16480);
    std::fill(up.begin() + 48, up.begin() + 96, 0);
    vtest::put32(up, 48, 2);
    vtest::put32(up, 52, 64);
    vtest::put32(up, 56, 64);
    vtest::put32(up, 60, 256);
    vtest::put32(up, 72, 16384);
    EXPECT_EQ(ret(ask(up, kImg))[1], 0);
    ASSERT_EQ(model.cursors().slots.count(7), 1u);
    EXPECT_EQ(model.cursors().slots.at(7).size(), 16384u);

    std::vector<uint8_t> sel(48, 0);
    memcpy(sel.data(), "veltarvexsta", 12);
    vtest::put32(sel, 12, 48);
    sel[16] = 0x39;
    sel[18] = 0x40;
    sel[21] = 1;
    vtest::put32(sel, 22, 7);
    sel[26] = 1;
    drv.send(kCmd, sel);
    EXPECT_EQ(model.view(1).cursorSlot, 7u);
    vtest::put32(sel, 22, 8);  // never uploaded
    drv.send(kCmd, sel);
    ASSERT_EQ(model.errors().size(), 1u);
    EXPECT_NE(model.errors()[0].find("never uploaded"), std::string::npos);
    EXPECT_EQ(model.view(1).selects, 1);
}

TEST_F(Model508Test, ImagePacketsAreCheckedAndAcknowledged) {
    const std::vector<uint8_t> j = jpeg420(64, 32);
    drv.send(kImg, imagePacket(j, true, 41, 0, 0, 64, 32));
    auto ack = drv.next();
    ASSERT_GE(ack.size(), 24u);
    EXPECT_EQ(ack[16], 0xE9);
    EXPECT_EQ(ack[17], 0);
    EXPECT_EQ(get32(ack, 20), 41u);
    EXPECT_EQ(model.view(1).images, 1u);
    EXPECT_EQ(model.view(1).lastFrameIndex, 41u);

    auto shortLength = imagePacket(j, false, 42, 0, 0, 64, 32);
    shortLength.pop_back();
    vtest::put32(shortLength, 12, static_cast<uint32_t>(shortLength.size()));
    auto wrongSize = imagePacket(j, false, 43, 0, 0, 32, 32);
    auto onCommandEp = imagePacket(j, false, 44, 0, 0, 64, 32);
    drv.send(kImg, shortLength);
    drv.send(kImg, wrongSize);
    drv.send(kCmd, onCommandEp);
    EXPECT_TRUE(drv.silent());
    auto errs = model.errors();
    ASSERT_EQ(errs.size(), 3u);
    EXPECT_NE(errs[0].find("-byte JPEG"), std::string::npos) << errs[0];
    EXPECT_NE(errs[1].find("JPEG of 64 x 32 for a 32 x 32"), std::string::npos) << errs[1];
    EXPECT_NE(errs[2].find("on endpoint 0x01"), std::string::npos) << errs[2];
    EXPECT_EQ(model.view(0).images, 0u);
}

// 976 + 20528 = 21504 is a multiple of 512 (as 464 + 20528 is): such a packet is one byte
// longer, and one without that byte is refused.
TEST_F(Model508Test, ImagePacketFillerByte) {
    constexpr size_t kJpeg = 976;
    std::vector<uint8_t> j = jpeg420(16, 16);
    // Pad the JPEG with a comment segment after its start marker up to kJpeg bytes.
    ASSERT_LE(j.size() + 4, kJpeg);
    const size_t pad = kJpeg - j.size();
    std::vector<uint8_t> com = {0xFF, 0xFE, static_cast<uint8_t>((pad - 2) >> 8),
                                static_cast<uint8_t>(pad - 2)};
    com.resize(pad, 'x');
    j.insert(j.begin() + 2, com.begin(), com.end());
    auto p = imagePacket(j, false, 1, 0, 0, 16, 16);
    EXPECT_EQ(p.size(), 21505u);
    drv.send(kImg, p);
    EXPECT_EQ(drv.next()[16], 0xE9);
    // The filler byte is zero: any other value (a host's stale buffer byte) is refused.
    auto stale = p;
    stale.back() = 0xA5;
    drv.send(kImg, stale);
    EXPECT_TRUE(drv.silent());
    p.pop_back();
    vtest::put32(p, 12, 21504);
    drv.send(kImg, p);
    EXPECT_TRUE(drv.silent());
    const auto errs = model.errors();
    ASSERT_EQ(errs.size(), 2u);
    EXPECT_NE(errs[0].find("filler byte is not zero"), std::string::npos) << errs[0];
}

// Decoding off: every image packet is still checked and acknowledged, and counted for its view,
// but none is decoded or painted (the monitor's picture stays empty).
TEST(Model508Decoding, OffChecksAndAcknowledgesWithoutPainting) {
    Model508::Config config;
    config.decodeImages = false;
    Model508 model(config);
    vtest::ModelDriver drv{model};
    const std::vector<uint8_t> j = jpeg420(64, 32);
    drv.send(kImg, imagePacket(j, false, 7, 16, 8, 64, 32));
    const auto ack = drv.next();
    ASSERT_GE(ack.size(), 24u);
    EXPECT_EQ(ack[16], 0xE9);
    EXPECT_EQ(get32(ack, 20), 7u);
    auto bad = imagePacket(j, false, 8, 16, 8, 64, 32);
    bad[42] = 0x13;
    drv.send(kImg, bad);
    EXPECT_TRUE(drv.silent());
    EXPECT_EQ(model.errors().size(), 1u);
    const auto v = model.view(0);
    EXPECT_EQ(v.images, 1u);
    EXPECT_EQ(v.lastFrameIndex, 7u);
    EXPECT_EQ(v.framesShown, 0u);
    EXPECT_TRUE(v.picture.empty());
    EXPECT_EQ(v.pictureWidth, 0);
}

// Each malformed image packet is refused for its own reason and not acknowledged; a good one
// is decoded and painted at its rectangle, as libjpeg-turbo decodes the same JPEG.
TEST_F(Model508Test, ImagePacketRefusalsAndPainting) {
    const std::vector<uint8_t> j = jpeg420(64, 32);
    auto flags = imagePacket(j, false, 1, 16, 8, 64, 32);
    flags[42] = 0x13;
    auto trailing = imagePacket(j, false, 2, 16, 8, 64, 32);
    trailing[48 + j.size() - 1] = 0x01;  // the end marker is no longer last
    auto noHeader = imagePacket(j, false, 3, 16, 8, 64, 32);
    noHeader[48 + j.size()] = 0;  // no records
    auto badSize = imagePacket(j, false, 4, 16, 8, 64, 32);
    vtest::put32(badSize, 48 + j.size() + 1 + 20, static_cast<uint32_t>(j.size() + 1));
    auto badPicture = imagePacket(j, false, 5, 16, 8, 64, 32);
    vtest::put32(badPicture, 48 + j.size() + 1 + 116, 32);
    auto viewByte = imagePacket(j, false, 6, 16, 8, 64, 32);
    viewByte[19] = 0xC0;
    for (const auto* p : {&flags, &trailing, &noHeader, &badSize, &badPicture, &viewByte})
        drv.send(kImg, *p);
    EXPECT_TRUE(drv.silent());
    const auto errs = model.errors();
    ASSERT_EQ(errs.size(), 6u);
    const char* reasons[] = {"piece flags 0x13", "without a whole JPEG", "decoder header with 0",
                             "stream size", "decoder header picture 32 x 32", "view select"};
    for (size_t i = 0; i < 6; ++i)
        EXPECT_NE(errs[i].find(reasons[i]), std::string::npos) << errs[i];

    // Padding after the end marker within the announced length is taken.
    std::vector<uint8_t> padded = j;
    padded.resize(2048, 0);
    auto good = imagePacket(padded, false, 7, 16, 8, 64, 32);
    drv.send(kImg, good);
    EXPECT_EQ(drv.next()[16], 0xE9);
    EXPECT_EQ(model.errors().size(), 6u);
    const auto v = model.view(0);
    EXPECT_EQ(v.framesShown, 1u);
    ASSERT_EQ(v.pictureWidth, 80);
    ASSERT_EQ(v.pictureHeight, 40);
    std::vector<uint8_t> want(64 * 32 * 4);
    tjhandle t = tjInitDecompress();
    ASSERT_EQ(tjDecompress2(t, j.data(), j.size(), want.data(), 64, 0, 32, TJPF_BGRX, 0), 0);
    tjDestroy(t);
    for (int r = 0; r < 32; ++r)
        ASSERT_EQ(memcmp(&v.picture[((8 + r) * 80 + 16) * 4], &want[r * 64 * 4], 64 * 4), 0) << r;
    EXPECT_EQ(v.picture[0], 0);  // outside the rectangle: untouched
}

TEST_F(Model508Test, AnswerFaults) {
    model.setAnswer(0x32, emu::AnswerMode::Never, std::chrono::milliseconds(0), 1);
    drv.send(kCmd, packet508(0x32, 0, {{5, 1}}));
    EXPECT_TRUE(drv.silent());
    model.setAnswer(0x32, emu::AnswerMode::ErrorFlag, std::chrono::milliseconds(0), 1);
    EXPECT_EQ(ret(ask(packet508(0x32, 0, {{5, 1}})))[1], 1);
    model.setAnswer(0x32, emu::AnswerMode::Wrong, std::chrono::milliseconds(0), 1);
    EXPECT_EQ(ret(ask(packet508(0x32, 0, {{5, 1}})))[0], 0x33);
    model.setAnswerType(0x32, 0x31, 1);
    EXPECT_EQ(ret(ask(packet508(0x32, 0, {{5, 1}})))[0], 0x31);
    // Late by far more than the silence looked for, so a slow machine cannot see it early.
    model.setAnswer(0x32, emu::AnswerMode::Late, std::chrono::milliseconds(1500), 1);
    drv.send(kCmd, packet508(0x32, 0, {{5, 1}}));
    EXPECT_TRUE(drv.silent(0x81, std::chrono::milliseconds(50)));
    EXPECT_EQ(ret(drv.next(0x81, std::chrono::seconds(5)))[0], 0x32);
    EXPECT_EQ(ret(ask(packet508(0x32, 0, {{5, 1}})))[1], 0);  // the rules are used up
    model.setAnswer(0x32, emu::AnswerMode::Duplicated, std::chrono::milliseconds(0), 1);
    const auto answer = ask(packet508(0x32, 0, {{5, 1}}));
    EXPECT_EQ(ret(answer)[0], 0x32);
    EXPECT_EQ(drv.next(), answer);  // the same answer once more, and no third
    EXPECT_TRUE(drv.silent());
}

TEST_F(Model508Test, FirmwareQueriesSromAndImages) {
    auto fw = ask(vtest::packet508(0x61, 0, {{5, 1}}), kImg);
    EXPECT_EQ(fw[16], 0x61);
    EXPECT_EQ(fw[17], 1);
    EXPECT_EQ(fw[18], 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(fw.data() + 19), "v 2.24.1.0");
    auto layout = ask(vtest::packet508(0x61, 0, {{5, 4}}), kImg);
    EXPECT_EQ(get32(layout, 19), 131078u);
    auto bl = ask(vtest::packet508(0x61, 0, {{5, 5}}), kImg);
    EXPECT_STREQ(reinterpret_cast<const char*>(bl.data() + 19), "v 00.01.0004");
    auto mode = ask(vtest::packet508(0x77), kImg);
    EXPECT_EQ(mode[16], 0x77);
    EXPECT_EQ(mode[17], 0);

    // The default block at 0x11000 read, its kept bytes changed, written back and read again.
    auto readDefault = [&] {
        return ask(vtest::dataPacket508(0x07, {{5, 1}, {7, 0x10}, {8, 0x01}, {10, 244}, {14, 0xFF}},
                                        std::vector<uint8_t>(244, 0)),
                   kImg);
    };
    auto r = readDefault();
    EXPECT_EQ(r[26], 1);
    std::vector<uint8_t> block(r.begin() + 48, r.begin() + 48 + 244);
    for (size_t i = 144; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
    auto writeDefault = [&](const std::vector<uint8_t>& b) {
        return ask(vtest::dataPacket508(
                       0x07, {{5, 2}, {6, 0x00}, {7, 0x10}, {8, 0x01}, {10, 244}, {14, 0xFF}}, b),
                   kImg);
    };
    auto w = writeDefault(block);
    EXPECT_EQ(w[16], 0x07);
    EXPECT_EQ(w[26], 1);
    r = readDefault();
    EXPECT_TRUE(std::equal(block.begin(), block.end(), r.begin() + 48));
    // An entry checksum that does not match the SROM's bytes, and a write outside every image
    // area, are refused, counted and change nothing.
    std::vector<uint8_t> bad = block;
    bad[4 + 20 * 5 + 16] ^= 1;
    EXPECT_EQ(writeDefault(bad)[26], 0);
    EXPECT_EQ(ask(vtest::dataPacket508(0x07, {{5, 2}, {7, 0x18}, {8, 0x01}, {10, 16}, {14, 0xFF}},
                                       std::vector<uint8_t>(16, 1)),
                  kImg)[26],
              0);
    EXPECT_EQ(model.firmware().refusedWrites, 2);
    r = readDefault();
    EXPECT_TRUE(std::equal(block.begin(), block.end(), r.begin() + 48));
    EXPECT_EQ(model.errors().size(), 2u);

    // A firmware image whose packet would be 512 bytes long carries one more byte.
    std::vector<uint8_t> image(464, 0x5A);
    auto img = vtest::dataPacket508(0x06, {{5, 0xD0}, {6, 0x01}}, image);
    EXPECT_EQ(img.size(), 513u);
    drv.send(kImg, img);
    EXPECT_TRUE(drv.silent());
    EXPECT_EQ(model.firmware().images, 1);
    EXPECT_EQ(model.firmware().image, image);
    img.pop_back();
    vtest::put32(img, 12, 512);
    drv.send(kImg, img);
    // Firmware on the command endpoint is refused too.
    drv.send(kCmd, vtest::dataPacket508(0x06, {{5, 0xD0}, {6, 0x01}}, image));
    EXPECT_EQ(model.firmware().images, 1);
    EXPECT_EQ(model.errors().size(), 4u);
}

// The emulated adapter as the oracle of the image header: every kind of malformed image packet
// is refused, counted and not acknowledged (the reasons not already held by the tests above).
// View 0 has a 640 x 480 mode, so rectangle and stride are checked against it.
TEST_F(Model508Test, EachKindOfMalformedImagePacketIsRefusedAndCounted) {
    auto mode = packet508(0x30, 0,
                          {{5, 0}, {6, 1}, {7, 2}, {8, 0x80}, {9, 0x02}, {10, 0xE0}, {11, 0x01},
                           {12, 32}, {13, 60}, {15, 255}});
    ASSERT_EQ(ret(ask(mode))[1], 0);
    ASSERT_EQ(model.view(0).width, 640);
    const std::vector<uint8_t> j = jpeg420(64, 32);
    const size_t dh = 48 + j.size();  // the decoder header's first record at dh + 1
    auto good = [&] {
        auto p = imagePacket(j, false, 9, 32, 16, 64, 32);
        vtest::put16(p, 36, 640 * 4);
        return p;
    };
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> spoil;
        const char* reason;
    };
    const Case cases[] = {
        {"bad magic", [](auto& p) { p[3] ^= 0x20; }, "bad magic"},
        {"class", [](auto& p) { p[16] = 3; }, "unknown class 0x03"},
        {"total not JPEG + 20528",
         [](auto& p) {
             p.push_back(0);
             vtest::put32(p, 12, static_cast<uint32_t>(p.size()));
         },
         "-byte JPEG"},
        {"length field against the transfer",
         [](auto& p) { vtest::put32(p, 12, static_cast<uint32_t>(p.size() + 1)); },
         "length field"},
        {"view byte", [](auto& p) { p[19] = 0xA1; }, "view select 0xa1"},
        {"format byte", [](auto& p) { p[26] = 0xE1; }, "format 0xe1"},
        {"rectangle right of the mode", [](auto& p) { vtest::put16(p, 27, 640 - 32); },
         "outside the view's mode"},
        {"rectangle below the mode", [](auto& p) { vtest::put16(p, 29, 480 - 16); },
         "outside the view's mode"},
        {"stride", [](auto& p) { vtest::put16(p, 36, 64 * 4); }, "image stride 256"},
        {"JPEG length shorter than the JPEG",
         [&](auto& p) { vtest::put32(p, 38, static_cast<uint32_t>(j.size() - 2)); },
         "-byte JPEG"},
        {"piece flags", [](auto& p) { p[42] = 0x23; }, "piece flags 0x23"},
        {"decoder header frame offset", [&](auto& p) { vtest::put32(p, dh + 1 + 28, 4); },
         "frame offset 4"},
        {"decoder header stream span",
         [&](auto& p) { vtest::put32(p, dh + 1 + 12, vtest::get32(p, dh + 1 + 12) + 1); },
         "stream end"},
        {"decoder header aligned size", [&](auto& p) { vtest::put32(p, dh + 1 + 128, 48); },
         "aligned size"},
        {"decoder header format", [&](auto& p) { vtest::put32(p, dh + 1 + 152, 1); },
         "decoder header format 1"},
    };
    // The unspoilt packet is taken: each refusal below is the spoilt field's.
    drv.send(kImg, good());
    ASSERT_EQ(drv.next()[16], 0xE9);
    ASSERT_TRUE(model.errors().empty()) << model.errors().front();
    size_t refused = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto p = good();
        c.spoil(p);
        drv.send(kImg, p);
        EXPECT_TRUE(drv.silent());
        const auto errs = model.errors();
        ASSERT_EQ(errs.size(), ++refused);
        EXPECT_NE(errs.back().find(c.reason), std::string::npos) << errs.back();
    }
    EXPECT_EQ(model.view(0).images, 1u);
    EXPECT_EQ(model.view(1).images, 0u);
}
