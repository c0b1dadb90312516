// Unit tests of the EDID rewrite on hand-built EDIDs: matching, each kind of timing, the
// extension blocks, malformed input and the per-pass reported set.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "edid/velEdid.h"
#include "testSupport.h"
#include "service/debug.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::vector<CAPS_MODE_STRUCT> modes(std::vector<CAPS_MODE_STRUCT> m) {
    m.resize(VEL_CAPS_MODE_MAX, CAPS_MODE_STRUCT{0, 0, 0, 0});
    return m;
}

// An 18-byte detailed timing: clock in 10 kHz units, sync widths 44 and 5, digital separate.
void putDtd(unsigned char* d, int clock, int hact, int hblank, int vact, int vblank,
            unsigned char flags = 0x1E) {
    d[0] = clock & 0xFF;
    d[1] = clock >> 8;
    d[2] = hact & 0xFF;
    d[3] = hblank & 0xFF;
    d[4] = ((hact >> 4) & 0xF0) | ((hblank >> 8) & 0x0F);
    d[5] = vact & 0xFF;
    d[6] = vblank & 0xFF;
    d[7] = ((vact >> 4) & 0xF0) | ((vblank >> 8) & 0x0F);
    d[8] = 88;   // hsync offset
    d[9] = 44;   // hsync width
    d[10] = 0x45;  // vsync offset 4, width 5
    d[11] = 0;
    d[17] = flags;
}

void putDescriptor(unsigned char* d, unsigned char tag) {
    for (int i = 0; i < 18; ++i) d[i] = 0;
    d[3] = tag;
}

// EDID 1.4 base block: DTD 1920x1080@60, range limits, name, dummy; no standard timings.
Bytes baseBlock(int extensions = 0) {
    Bytes e(128, 0);
    const unsigned char header[8] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
    std::copy(header, header + 8, e.begin());
    e[8] = 0x31;  // "LEN"-like PNP bytes; content does not matter here
    e[9] = 0xAE;
    e[18] = 1;
    e[19] = 4;
    e[20] = 0xA5;
    e[24] = 0x0F;  // continuous frequency
    for (int i = 38; i < 54; ++i) e[i] = 0x01;
    putDtd(&e[54], 14850, 1920, 280, 1080, 45);
    putDescriptor(&e[72], 0xFD);
    e[77] = 48; e[78] = 75; e[79] = 30; e[80] = 83; e[81] = 17; e[82] = 0x00;
    putDescriptor(&e[90], 0xFC);
    putDescriptor(&e[108], 0x10);
    e[126] = static_cast<unsigned char>(extensions);
    e[127] = vtest::edidChecksumFor(e.data());
    return e;
}

// A CTA-861 revision 3 block with the given data block collection and no DTD.
Bytes ctaBlock(const Bytes& dbc, unsigned char revision = 3) {
    Bytes b(128, 0);
    b[0] = 0x02;
    b[1] = revision;
    b[2] = static_cast<unsigned char>(4 + dbc.size());
    std::copy(dbc.begin(), dbc.end(), b.begin() + 4);
    b[127] = vtest::edidChecksumFor(b.data());
    return b;
}

Bytes join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

int sum(const unsigned char* p, int from, int to) {
    int s = 0;
    for (int i = from; i <= to; ++i) s += p[i];
    return s & 0xFF;
}

class EdidRewriteTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/edid_rewrite_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        setenv("VEL_LOG_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        unlink((dir_ + "/VelUSBDisplay.log").c_str());
        rmdir(dir_.c_str());
    }
    // The log so far, with the letter substitution undone; then starts it afresh.
    std::string takeLog() {
        const std::string path = dir_ + "/VelUSBDisplay.log";
        std::ifstream in(path);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (char& c : text) c = untransChar(c);
        unlink(path.c_str());
        return text;
    }
    std::string dir_;
};

bool has(const std::string& log, const std::string& line) { return log.find(line) != std::string::npos; }

// ---- matching ------------------------------------------------------------------------------

TEST_F(EdidRewriteTest, MatchingIsExactInSizeAndWithinOneHertz) {
    const auto m = modes({{1920, 1080, 60, 32}, {1280, 720, 59, 32}});
    EdidTuple set;
    EXPECT_EQ(CheckExistInModeList(1920, 1080, 61, m.data(), set), 1);
    EXPECT_EQ(CheckExistInModeList(1920, 1080, 59, m.data(), set), 1);
    EXPECT_EQ(CheckExistInModeList(1920, 1080, 62, m.data(), set), 0);
    EXPECT_EQ(CheckExistInModeList(1920, 1200, 60, m.data(), set), 0);
    EXPECT_EQ(CheckExistInModeList(1280, 720, 60, m.data(), set), 1);
    EXPECT_EQ(CheckExistInModeList(1280, 720, 60, m.data(), set), 0);
    EXPECT_EQ(CheckExistInModeList(1280, 720, 0, m.data(), set), 0);  // 0 Hz matches nothing
    EXPECT_EQ(set.size(), 3u);
    const std::string log = takeLog();
    EXPECT_TRUE(has(log, "support [1920]x[1080]@[61]Hz\n"));
    EXPECT_TRUE(has(log, "do not support [1920]x[1080]@[62]Hz\n"));
    EXPECT_TRUE(has(log, "already reported [1280]x[720]@[60]Hz\n"));
}

TEST_F(EdidRewriteTest, ModeListEndsAtZeroWidthOrAfterSixtyFourEntries) {
    auto m = modes({{800, 600, 60, 32}, {0, 0, 0, 0}, {1024, 768, 60, 32}});
    EdidTuple set;
    EXPECT_EQ(CheckExistInModeList(1024, 768, 60, m.data(), set), 0);
    // A full list with no terminator: heap copy of exactly 64 entries, the last one matching.
    std::vector<CAPS_MODE_STRUCT> full(VEL_CAPS_MODE_MAX, CAPS_MODE_STRUCT{640, 480, 75, 32});
    full.back() = {1024, 768, 60, 32};
    EXPECT_EQ(CheckExistInModeList(1024, 768, 60, full.data(), set), 1);
    EXPECT_EQ(CheckExistInModeList(1, 1, 1, full.data(), set), 0);
    EXPECT_EQ(CheckExistInModeList(1, 1, 1, nullptr, set), 0);
}

// ---- base block ----------------------------------------------------------------------------

TEST_F(EdidRewriteTest, NoExtensionOnlyChecksumOfBlockZeroChanges) {
    Bytes e = baseBlock();
    for (int i = 38; i < 54; ++i) e[i] = 0;  // no standard timings at all
    e[127] = vtest::edidChecksumFor(e.data());
    e.resize(256, 0xAB);  // whatever follows the claimed blocks is not ours
    const Bytes in = e;
    const auto m = modes({{1920, 1080, 60, 32}});
    ASSERT_EQ(createEdid(e.data(), e.size(), m.data()), 0);
    for (size_t i = 0; i < e.size(); ++i) {
        if (i == 79 || i == 82 || i == 127) continue;  // range limits and the checksum
        EXPECT_EQ(e[i], in[i]) << "byte " << i;
    }
    EXPECT_EQ(e[79], 0xFF);
    EXPECT_EQ(e[127], vtest::edidChecksumFor(e.data()));
    const std::string log = takeLog();
    EXPECT_TRUE(has(log, "EDID VERSION [1.4]\n"));
    EXPECT_TRUE(has(log, "OldEdid  0 checksum: value = " + std::to_string(e[127]) + "\n"));
    EXPECT_FALSE(has(log, "OldEdid  1"));
}

TEST_F(EdidRewriteTest, DetailedTimingWinsOverTheSameStandardTiming) {
    Bytes e = baseBlock();
    e[38] = 0xD1;  // 1920 wide, 16:9, 60 Hz
    e[39] = 0xC0;
    e[40] = 0xD1;  // same width at 75 Hz: blanked whatever the list says
    e[41] = 0xC0 | 15;
    const auto m = modes({{1920, 1080, 60, 32}, {1920, 1080, 75, 32}});
    ASSERT_EQ(createEdid(e.data(), e.size(), m.data()), 0);
    EXPECT_NE(e[54] | e[55], 0);  // the detailed timing is kept
    EXPECT_EQ(e[38], 0);
    EXPECT_EQ(e[39], 0);
    EXPECT_EQ(e[40], 0);
    EXPECT_EQ(e[41], 0);
    EXPECT_TRUE(has(takeLog(), "already reported [1920]x[1080]@[60]Hz\n"));
}

TEST_F(EdidRewriteTest, DetailedAt5994HzIsCheckedAs60) {
    for (uint32_t hz : {59u, 60u, 61u, 62u}) {
        Bytes e = baseBlock();
        putDtd(&e[54], 14835, 1920, 280, 1080, 45);  // 59.94 Hz
        const auto m = modes({{1920, 1080, hz, 32}});
        ASSERT_EQ(createEdid(e.data(), e.size(), m.data()), 0);
        EXPECT_EQ(e[54] | (e[55] << 8), hz == 62 ? 0 : 14835) << hz << " Hz";
    }
    EXPECT_TRUE(has(takeLog(), "do not support [1920]x[1080]@[60]Hz\n"));
}

TEST_F(EdidRewriteTest, WideTimingIsSlowedBelowTheClockCeilingOnlyWhenItFits) {
    Bytes e = baseBlock();
    putDtd(&e[54], 28500, 3440, 160, 720, 72);  // 3600 x 792 at 285 MHz: 100 Hz
    putDtd(&e[72], 59400, 3840, 560, 2160, 90);  // 4400 x 2250 at 594 MHz: 60 Hz
    const auto m = modes({{3440, 720, 85, 32}, {3840, 2160, 60, 32}});
    ASSERT_EQ(createEdid(e.data(), e.size(), m.data()), 0);
    EXPECT_EQ(e[54] | (e[55] << 8), 3600 * 792 * 85 / 10000);
    EXPECT_EQ(e[72] | (e[73] << 8), 59400);  // 30 Hz would need exactly 297 MHz: too much
    const std::string log = takeLog();
    EXPECT_TRUE(has(log, "support [3440]x[720]@[85]Hz\n"));
    EXPECT_TRUE(has(log, "support [3840]x[2160]@[60]Hz\n"));
}

TEST_F(EdidRewriteTest, DetailedTimingsThatCannotBeJudgedAreLeftAlone) {
    Bytes e = baseBlock();
    putDtd(&e[54], 14850, 1920, 280, 1080, 45, 0x3E);  // stereo
    putDtd(&e[72], 14850, 1920, 280, 1080, 45);
    e[72 + 9] = 0;  // no hsync pulse
    putDtd(&e[90], 14850, 1920, 280, 1080, 45, 0x00);  // composite sync: judged anyway
    const auto none = modes({});
    ASSERT_EQ(createEdid(e.data(), e.size(), none.data()), 0);
    EXPECT_EQ(e[54] | (e[55] << 8), 14850);
    EXPECT_EQ(e[72] | (e[73] << 8), 14850);
    EXPECT_EQ(e[90] | e[91], 0);
    const std::string log = takeLog();
    EXPECT_TRUE(has(log, "stereo mode not supported\n"));
    EXPECT_TRUE(has(log, "Incorrect Detailed timing. Wrong Hsync/Vsync pulse width\n"));
    EXPECT_TRUE(has(log, "composite sync not supported\n"));
}

TEST_F(EdidRewriteTest, EstablishedTimingsAreFilteredAndManufacturerByteCleared) {
    Bytes e = baseBlock();
    e[35] = 0x21;  // 640x480@60 and 800x600@60
    e[36] = 0x08;  // 1024x768@60
    e[37] = 0xFF;
    const auto m = modes({{640, 480, 60, 32}, {1024, 768, 60, 32}});
    ASSERT_EQ(createEdid(e.data(), e.size(), m.data()), 0);
    EXPECT_EQ(e[35], 0x20);
    EXPECT_EQ(e[36], 0x08);
    EXPECT_EQ(e[37], 0x00);
}

TEST_F(EdidRewriteTest, DescriptorTimingsAndRangeLimits) {
    Bytes e = baseBlock();
    putDescriptor(&e[90], 0xF7);  // established III: 640x350@85 and 1280x1024@60
    e[90 + 6] = 0x80;
    e[90 + 7] = 0x02;
    putDescriptor(&e[108], 0xF8);  // CVT: 1080 lines 16:9 at 60 Hz, 50 Hz and 60 Hz RB
    e[108 + 6] = (540 - 1) & 0xFF;
    e[108 + 7] = (((540 - 1) >> 4) & 0xF0) | 0x04;
    e[108 + 8] = 0x08 | 0x10 | 0x01;
    const auto m = modes({{1280, 1024, 60, 32}, {1920, 1080, 60, 32}});
    ASSERT_EQ(createEdid(e.data(), e.size(), m.data()), 0);
    EXPECT_EQ(e[96], 0x00);
    EXPECT_EQ(e[97], 0x02);
    // 1920x1080@60 was kept as the detailed timing, so the CVT 60 Hz bit is a repeat.
    EXPECT_EQ(e[116], 0x01);
    EXPECT_EQ(e[72 + 7], 0xFF);
    EXPECT_EQ(e[72 + 10], 0x01);
}

TEST_F(EdidRewriteTest, BlankedDetailedTimingIsNotReadAsADescriptorAfterwards) {
    Bytes e = baseBlock();
    putDtd(&e[72], 10000, 1280, 0xFD, 1024, 40);  // hblank low byte reads as the 0xFD tag
    const Bytes in = e;
    const auto none = modes({});
    ASSERT_EQ(createEdid(e.data(), e.size(), none.data()), 0);
    EXPECT_EQ(e[72] | e[73], 0);
    for (int i = 74; i < 90; ++i) EXPECT_EQ(e[i], in[i]) << "byte " << i;
}

// ---- CTA -----------------------------------------------------------------------------------

TEST_F(EdidRewriteTest, CtaRevisionOneOrTwoIsLeftUntouched) {
    for (unsigned char rev : {1, 2}) {
        const Bytes dbc = {0x43, 16, 97, 4};
        Bytes e = join(baseBlock(1), ctaBlock(dbc, rev));
        const Bytes in = e;
        const auto none = modes({});
        ASSERT_EQ(createEdid(e.data(), e.size(), none.data()), 0);
        for (int i = 128; i < 255; ++i) EXPECT_EQ(e[i], in[i]) << "rev " << int(rev) << " byte " << i;
        EXPECT_EQ(e[255], vtest::edidChecksumFor(&e[128]));
    }
}

TEST_F(EdidRewriteTest, CtaVideoHdmiAndY420BlocksAreFiltered) {
    // VDB: 1080p60 native, 4k60, 1080p60 again, a VIC the table does not know.
    // HDMI VSDB: video present, 2 HDMI VICs (4k30 and an unknown one), 3D multi=1.
    // YCbCr 4:2:0 VDB: 4k60 (a repeat of the VDB entry).
    const Bytes dbc = {0x44, 0x90, 97, 16, 225,
                       0x6E, 0x03, 0x0C, 0x00, 0x10, 0x00, 0x00, 0x00, 0x20, 0xA0, 0x42, 1, 5, 0, 0,
                       0xE2, 14, 97};
    Bytes e = join(baseBlock(1), ctaBlock(dbc));
    const auto m = modes({{1920, 1080, 60, 32}, {3840, 2160, 60, 32}, {3840, 2160, 30, 32}});
    ASSERT_EQ(createEdid(e.data(), e.size(), m.data()), 0);
    const unsigned char* x = &e[128 + 4];
    // The base DTD took 1080p60 first, so both 1080p60 descriptors are repeats.
    EXPECT_EQ(x[1], 0);
    EXPECT_EQ(x[2], 97);
    EXPECT_EQ(x[3], 0);
    EXPECT_EQ(x[4], 0);
    EXPECT_EQ(x[16], 1);  // HDMI VIC 1 kept
    EXPECT_EQ(x[17], 0);
    EXPECT_EQ(x[22], 0);  // 4:2:0 repeat of 4k60
    EXPECT_EQ(e[255], vtest::edidChecksumFor(&e[128]));
    const std::string log = takeLog();
    EXPECT_TRUE(has(log, "Unknown HDMI VIC: 5\n"));
    EXPECT_TRUE(has(log, "support [3840]x[2160]@[30]Hz\n"));
}

TEST_F(EdidRewriteTest, HdmiThreeDReferencesKeepSupportedModes) {
    // VDB 4k60, 720p60; HDMI VSDB with 3D present, multi=2 masking descriptor 0 and 1, then
    // 2D_VIC_order entries for descriptor 1 (frame packing) and 0 (side by side, detail 1).
    const Bytes dbc = {0x42, 97, 4,
                       0x71, 0x03, 0x0C, 0x00, 0x10, 0x00, 0x00, 0x00, 0x20, 0xC0, 0x07,
                       0x00, 0x01, 0x00, 0x03, 0x10, 0x08, 0x10};
    Bytes e = join(baseBlock(1), ctaBlock(dbc));
    const auto m = modes({{3840, 2160, 60, 32}, {1280, 720, 60, 32}});
    ASSERT_EQ(createEdid(e.data(), e.size(), m.data()), 0);
    EXPECT_EQ(e[128 + 5], 97);
    EXPECT_EQ(e[128 + 6], 4);
}

TEST_F(EdidRewriteTest, EveryCtaExtensionIsFiltered) {
    Bytes e = join(join(baseBlock(2), ctaBlock({0x41, 16})), ctaBlock({0x42, 16, 4}));
    const auto m = modes({{1280, 720, 60, 32}});
    ASSERT_EQ(createEdid(e.data(), e.size(), m.data()), 0);
    EXPECT_EQ(e[128 + 5], 0);
    EXPECT_EQ(e[256 + 5], 0);
    EXPECT_EQ(e[256 + 6], 4);
}

// ---- DisplayID -----------------------------------------------------------------------------

// DisplayID 1.2 block with one type I data block of the given timings (w, h, refresh at a
// fixed blanking of 160 x 60).
Bytes displayIdBlock(const std::vector<std::array<int, 3>>& timings) {
    Bytes b(128, 0);
    b[0] = 0x70;
    b[1] = 0x12;
    const int payload = 20 * static_cast<int>(timings.size());
    b[2] = static_cast<unsigned char>(3 + payload);
    b[5] = 0x03;
    b[7] = static_cast<unsigned char>(payload);
    for (size_t i = 0; i < timings.size(); ++i) {
        unsigned char* t = &b[8 + 20 * i];
        const int w = timings[i][0], h = timings[i][1], hz = timings[i][2];
        const int clock = (w + 160) * (h + 60) * hz / 10000 - 1;
        t[0] = clock & 0xFF; t[1] = (clock >> 8) & 0xFF; t[2] = clock >> 16;
        t[4] = (w - 1) & 0xFF; t[5] = (w - 1) >> 8;
        t[6] = 159; t[10] = 31;
        t[12] = (h - 1) & 0xFF; t[13] = (h - 1) >> 8;
        t[14] = 59; t[18] = 4;
    }
    const int end = 5 + b[2];
    b[end] = static_cast<unsigned char>(256 - sum(b.data(), 1, end - 1)) & 0xFF;
    b[127] = vtest::edidChecksumFor(b.data());
    return b;
}

TEST_F(EdidRewriteTest, DisplayIdTimingsTheDeviceLacksReadBackAs3856) {
    Bytes e = join(baseBlock(1), displayIdBlock({{2560, 1440, 60}, {2560, 1440, 144}, {3840, 2160, 60}}));
    const auto m = modes({{2560, 1440, 60, 32}});
    ASSERT_EQ(createEdid(e.data(), e.size(), m.data()), 0);
    auto size = [&](int i) {
        const unsigned char* t = &e[128 + 8 + 20 * i];
        return std::make_pair((t[4] | (t[5] << 8)) + 1, (t[12] | (t[13] << 8)) + 1);
    };
    EXPECT_EQ(size(0), std::make_pair(2560, 1440));
    EXPECT_EQ(size(1), std::make_pair(3856, 3856));  // 144 Hz is not the 60 Hz mode
    EXPECT_EQ(size(2), std::make_pair(3856, 3856));
    EXPECT_EQ(sum(&e[128], 1, 5 + e[130]), 0) << "DisplayID section checksum";
    EXPECT_EQ(e[255], vtest::edidChecksumFor(&e[128]));
}

// ---- malformed input -----------------------------------------------------------------------

TEST_F(EdidRewriteTest, ByteCountClaimsBeyondTheBufferAreIgnored) {
    Bytes e = join(baseBlock(5), ctaBlock({0x41, 16}));
    e[127] = vtest::edidChecksumFor(e.data());
    e.push_back(0x5A);  // a partial third block stays as it is
    const auto none = modes({});
    ASSERT_EQ(createEdid(e.data(), e.size(), none.data()), 0);
    EXPECT_EQ(e.size(), 257u);
    EXPECT_EQ(e[256], 0x5A);
    EXPECT_EQ(e[255], vtest::edidChecksumFor(&e[128]));
    const std::string log = takeLog();
    EXPECT_TRUE(has(log, "[warning] EDID claims 5 extension blocks, 1 present\n"));
    EXPECT_TRUE(has(log, "OldEdid  1 checksum"));
    EXPECT_FALSE(has(log, "OldEdid  2 checksum"));
}

TEST_F(EdidRewriteTest, TooShortOrNullBufferIsRefused) {
    Bytes e = baseBlock();
    e.resize(127);
    const Bytes in = e;
    const auto none = modes({});
    EXPECT_EQ(createEdid(e.data(), e.size(), none.data()), -1);
    EXPECT_EQ(e, in);
    EXPECT_EQ(createEdid(nullptr, 128, none.data()), -1);
}

TEST_F(EdidRewriteTest, CtaOffsetsOutsideTheBlockNeverTouchTheHeader) {
    for (unsigned char d : {0, 1, 2, 3, 128, 200, 255}) {
        Bytes cta = ctaBlock({});
        cta[2] = d;
        cta[3] = 0x40;  // with d < 4, bytes 0-1 of a "descriptor" at d would be the header
        cta[4] = 0x5F;  // a data block far longer than the block
        Bytes e = join(baseBlock(1), cta);
        const Bytes in = e;
        const auto none = modes({});
        ASSERT_EQ(createEdid(e.data(), e.size(), none.data()), 0);
        for (int i = 128; i < 255; ++i) EXPECT_EQ(e[i], in[i]) << "d=" << int(d) << " byte " << i;
    }
}

TEST_F(EdidRewriteTest, LengthsThatRunPastTheirBlockEndTheWalk) {
    // HDMI VSDB whose VIC count and 3D length point past the block's end.
    Bytes e = join(baseBlock(1), ctaBlock({0x6A, 0x03, 0x0C, 0x00, 0x10, 0x00, 0x00, 0x00, 0x20, 0x80, 0xFF}));
    // DisplayID whose data block claims 200 bytes.
    Bytes did = displayIdBlock({{1920, 1080, 60}});
    did[7] = 200;
    did[127] = vtest::edidChecksumFor(did.data());
    e = join(e, did);
    e[126] = 2;
    e[127] = vtest::edidChecksumFor(e.data());
    const Bytes in = e;
    const auto none = modes({});
    ASSERT_EQ(createEdid(e.data(), e.size(), none.data()), 0);
    for (int i = 128; i < 255; ++i) EXPECT_EQ(e[i], in[i]) << "byte " << i;
    for (int i = 256; i < 383; ++i) EXPECT_EQ(e[i], in[i]) << "byte " << i;
}

// ---- one reported set per pass -------------------------------------------------------------

TEST_F(EdidRewriteTest, PassesDoNotSeeEachOthersTimings) {
    const auto m = modes({{1920, 1080, 60, 32}});
    Bytes first = baseBlock();
    ASSERT_EQ(createEdid(first.data(), first.size(), m.data()), 0);
    Bytes second = baseBlock();
    ASSERT_EQ(createEdid(second.data(), second.size(), m.data()), 0);
    EXPECT_EQ(second, first);
    EXPECT_EQ(second[54] | (second[55] << 8), 14850);
}

TEST_F(EdidRewriteTest, ConcurrentPassesGiveTheSameResultsAsSequentialOnes) {
    const Bytes in = join(baseBlock(1), ctaBlock({0x44, 16, 4, 97, 31}));
    const auto a = modes({{1920, 1080, 60, 32}, {1280, 720, 60, 32}});
    const auto b = modes({{3840, 2160, 60, 32}, {1920, 1080, 50, 32}});
    auto run = [&](const std::vector<CAPS_MODE_STRUCT>& m) {
        Bytes e = in;
        createEdid(e.data(), e.size(), m.data());
        return e;
    };
    const Bytes wantA = run(a), wantB = run(b);
    ASSERT_NE(wantA, wantB);
    bool okA = true, okB = true;
    std::thread ta([&] { for (int i = 0; i < 50; ++i) okA = okA && run(a) == wantA; });
    std::thread tb([&] { for (int i = 0; i < 50; ++i) okB = okB && run(b) == wantB; });
    ta.join();
    tb.join();
    EXPECT_TRUE(okA);
    EXPECT_TRUE(okB);
}

}  // namespace
