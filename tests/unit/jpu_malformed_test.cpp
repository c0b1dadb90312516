// Decoder headers for damaged, hostile and unsupported JPEGs: each is refused with the right
// result, and nothing is read or written outside the buffers.
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "jpu/JPUInterfaceFromCnM508.h"
#include "jpu/JPUInterfaceFromCnM520.h"
#include "jpu/JpuParseCommon.h"
#include "jpu/OrfeJpegHeaderDec.h"
#include "testJpeg.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kOk508 = 5713;
constexpr int kOk520 = 12241;

using vtest::tjJpeg;

Bytes arithmeticJpeg() {
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* buf = nullptr;
    unsigned long len = 0;
    jpeg_mem_dest(&c, &buf, &len);
    c.image_width = c.image_height = 64;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    c.arith_code = TRUE;
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(64 * 3);
    while (c.next_scanline < c.image_height) {
        for (size_t x = 0; x < row.size(); ++x)
            row[x] = static_cast<uint8_t>(x * 37 ^ c.next_scanline * 11);
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    Bytes out(buf, buf + len);
    free(buf);
    return out;
}

// Runs a protocol on an exact-size heap copy of `jpeg` with an exact-size output.
int run(int protocol, const Bytes& jpeg) {
    uint8_t* in = static_cast<uint8_t*>(malloc(jpeg.empty() ? 1 : jpeg.size()));
    if (!jpeg.empty()) memcpy(in, jpeg.data(), jpeg.size());
    uint32_t cap = protocol ? COrfeJpegHeaderDec::MAX_HEADER_SIZE_520
                            : COrfeJpegHeaderDec::MAX_HEADER_SIZE_508;
    uint8_t* out = static_cast<uint8_t*>(malloc(cap));
    COrfeJpegHeaderDec dec;
    int r = static_cast<int>(
        dec.GetJpegHeaderForCnMDecoder(in, static_cast<unsigned>(jpeg.size()), out, cap,
                                       protocol ? CNM520_PROTOCOL : CNM508_PROTOCOL));
    free(out);
    free(in);
    return r;
}

// Segments of the header up to and including SOS: marker, offset of the marker, total size.
struct Seg {
    unsigned marker;
    size_t at, size;
};

std::vector<Seg> segments(const Bytes& j) {
    std::vector<Seg> out;
    size_t p = 2;
    while (p + 4 <= j.size() && j[p] == 0xFF) {
        unsigned m = 0xFF00u | j[p + 1];
        size_t len = static_cast<size_t>(j[p + 2] << 8 | j[p + 3]);
        out.push_back({m, p, len + 2});
        if (m == 0xFFDA) break;
        p += len + 2;
    }
    return out;
}

Seg find(const Bytes& j, unsigned marker, int nth = 0) {
    for (const Seg& s : segments(j)) {
        if (s.marker == marker && nth-- == 0) return s;
    }
    ADD_FAILURE() << "marker " << std::hex << marker << " not found";
    return {0, 0, 0};
}

Bytes splice(const Bytes& j, size_t at, size_t remove, const Bytes& insert) {
    Bytes out(j.begin(), j.begin() + at);
    out.insert(out.end(), insert.begin(), insert.end());
    out.insert(out.end(), j.begin() + at + remove, j.end());
    return out;
}

Bytes segmentBytes(unsigned marker, const Bytes& payload) {
    size_t len = payload.size() + 2;
    Bytes s = {0xFF, static_cast<uint8_t>(marker), static_cast<uint8_t>(len >> 8),
               static_cast<uint8_t>(len)};
    s.insert(s.end(), payload.begin(), payload.end());
    return s;
}

// One DHT table: Tc/Th byte, 16 counts, values 0, 1, 2, ...
Bytes huffTable(uint8_t tcth, const std::vector<uint8_t>& counts) {
    Bytes t = {tcth};
    size_t total = 0;
    for (int i = 0; i < 16; ++i) {
        uint8_t n = i < static_cast<int>(counts.size()) ? counts[i] : 0;
        t.push_back(n);
        total += n;
    }
    for (size_t i = 0; i < total; ++i) t.push_back(static_cast<uint8_t>(i));
    return t;
}

class JpuMalformed : public testing::Test {
  protected:
    void SetUp() override {
        base = tjJpeg(64, 64, TJSAMP_420, 95);
        ASSERT_EQ(run(0, base), kOk508);
        ASSERT_EQ(run(1, base), kOk520);
    }
    void expectBoth(const Bytes& j, int r508, int r520) {
        EXPECT_EQ(run(0, j), r508);
        EXPECT_EQ(run(1, j), r520);
    }
    // Copy of the base with the byte at `off` within the first `marker` segment set to `v`.
    Bytes patched(unsigned marker, size_t off, uint8_t v, int nth = 0) {
        Bytes j = base;
        j[find(j, marker, nth).at + off] = v;
        return j;
    }
    Bytes base;
};

TEST_F(JpuMalformed, TruncationAtEveryByteNeedsMoreData) {
    for (size_t k = 0; k < base.size(); ++k) {
        Bytes cut(base.begin(), base.begin() + k);
        ASSERT_EQ(run(0, cut), -1) << "cut at " << k;
        ASSERT_EQ(run(1, cut), -1) << "cut at " << k;
    }
}

TEST_F(JpuMalformed, TableAndComponentNumbersOutOfRange) {
    // An extra DQT table number 4 (the frame's own tables stay), and SOF component 0 naming
    // quantisation table 4.
    Bytes q4(65, 1);
    q4[0] = 0x04;
    expectBoth(splice(base, find(base, 0xFFDA).at, 0, segmentBytes(0xDB, q4)), 0, 0);
    expectBoth(patched(0xFFDB, 4, 0x04), 0, 0);
    expectBoth(patched(0xFFC0, 12, 4), 0, 0);
    // SOS selector of a component the frame does not have.
    expectBoth(patched(0xFFDA, 5, 0x09), 0, 0);
    // Huffman table class 2, and destination 4.
    expectBoth(patched(0xFFC4, 4, 0x20), 0, 0);
    expectBoth(patched(0xFFC4, 4, 0x04), 0, 0);
    // No frame components.
    Bytes j = base;
    Seg sof = find(j, 0xFFC0);
    j[sof.at + 9] = 0;
    expectBoth(j, 0, 0);
}

TEST_F(JpuMalformed, ScanMustCoverEveryFrameComponentOnce) {
    Seg sos = find(base, 0xFFDA);
    // The same component twice.
    Bytes dup = base;
    dup[sos.at + 7] = dup[sos.at + 5];
    expectBoth(dup, 0, 0);
    // One component only (non-interleaved scans are not for these decoders).
    Bytes one = splice(base, sos.at, sos.size,
                       segmentBytes(0xDA, {1, base[sos.at + 5], base[sos.at + 6], 0, 63, 0}));
    expectBoth(one, 0, 0);
}

TEST_F(JpuMalformed, HuffmanTableCountAndSizeLimits) {
    Seg sos = find(base, 0xFFDA);
    Bytes dc0 = huffTable(0x00, {0, 1, 5, 1, 1, 1, 1, 1, 1});
    // Four tables in the base; four more make eight, five more nine.
    Bytes four, five;
    for (int i = 0; i < 4; ++i) four.insert(four.end(), dc0.begin(), dc0.end());
    five = four;
    five.insert(five.end(), dc0.begin(), dc0.end());
    expectBoth(splice(base, sos.at, 0, segmentBytes(0xC4, four)), kOk508, kOk520);
    expectBoth(splice(base, sos.at, 0, segmentBytes(0xC4, five)), kOk508, 0);

    // 256 values fit the model 520's table but not the 50x's 162; 257 fit neither.
    Bytes t256 = huffTable(0x10, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 255});
    Bytes t257 = huffTable(0x10, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 255});
    expectBoth(splice(base, sos.at, 0, segmentBytes(0xC4, t256)), 0, kOk520);
    expectBoth(splice(base, sos.at, 0, segmentBytes(0xC4, t257)), 0, 0);
    // Counts that need more codes than their lengths have.
    Bytes over = huffTable(0x00, {2});
    expectBoth(splice(base, sos.at, 0, segmentBytes(0xC4, over)), 0, 0);
}

TEST_F(JpuMalformed, BadSegmentLengths) {
    struct Case {
        unsigned marker;
        int delta;
    };
    for (Case c : {Case{0xFFC0, 1}, Case{0xFFC0, -1}, Case{0xFFDB, -1}, Case{0xFFDB, 1},
                   Case{0xFFC4, -1}, Case{0xFFC4, 1}, Case{0xFFDA, -1}, Case{0xFFDA, 1}}) {
        Bytes j = base;
        Seg s = find(j, c.marker);
        j[s.at + 3] = static_cast<uint8_t>(j[s.at + 3] + c.delta);
        SCOPED_TRACE(testing::Message()
                     << std::hex << c.marker << " length " << std::dec << c.delta);
        EXPECT_LE(run(0, j), 0);
        EXPECT_LE(run(1, j), 0);
    }
    // Lengths below 2, and a segment that claims more than the buffer holds.
    Bytes app = base;
    Seg app0 = find(app, 0xFFE0);
    app[app0.at + 2] = 0;
    app[app0.at + 3] = 1;
    expectBoth(app, 0, 0);
    Bytes small = tjJpeg(8, 8, TJSAMP_444, 50);
    Seg sof = find(small, 0xFFC0);
    small[sof.at + 2] = 0xFF;
    expectBoth(small, -1, -1);
    // A DRI segment must hold exactly the interval.
    Bytes dri = splice(base, find(base, 0xFFDA).at, 0, segmentBytes(0xDD, {0, 4, 0}));
    expectBoth(dri, 0, 0);
}

TEST_F(JpuMalformed, ProgressiveAndArithmeticFramesRejected) {
    Bytes progressive = tjJpeg(64, 64, TJSAMP_420, 95, TJFLAG_PROGRESSIVE);
    expectBoth(progressive, 0, 0);
    expectBoth(arithmeticJpeg(), 0, 0);
    // Baseline frame with a spectral-selection or approximation scan.
    Seg sos = find(base, 0xFFDA);
    size_t tail = sos.at + sos.size - 3;
    for (int i = 0; i < 3; ++i) {
        Bytes j = base;
        j[tail + i] = static_cast<uint8_t>(i == 1 ? 5 : 1);
        expectBoth(j, 0, 0);
    }
}

TEST_F(JpuMalformed, PrecisionAndExtendedFrames) {
    // Extended sequential frame header: only the model 520's decoder takes it.
    Bytes sof1 = base;
    sof1[find(sof1, 0xFFC0).at + 1] = 0xC1;
    expectBoth(sof1, 0, kOk520);

    // 12-bit samples: not for the 50x family.
    Bytes twelve = patched(0xFFC0, 4, 12);
    EXPECT_EQ(run(0, twelve), 0);
    JPUINTERFACEFROMCNM520 dec;
    Bytes out(COrfeJpegHeaderDec::MAX_HEADER_SIZE_520);
    ASSERT_EQ(
        dec.GetJpegHeaderForCnMDecoderCore(twelve.data(), twelve.size(), out.data(), out.size()),
        kOk520);
    const uint8_t* rec = out.data() + 1;
    EXPECT_EQ(jpu::get32(rec, 6032), 1u);  // 12-bit flag
    EXPECT_EQ(jpu::get32(rec, 6064), 12u);
    EXPECT_EQ(jpu::get32(rec, 5924), 4u);  // 12-bit bus requests for 4:2:0
    // Two selector bits per component: luma tables 0, chroma tables 1.
    EXPECT_EQ(jpu::get32(rec, 136), 0u << 4 | 1u << 2 | 1u);
    EXPECT_EQ(jpu::get32(rec, 128), 0u << 4 | 1u << 2 | 1u);
    EXPECT_EQ(jpu::get32(rec, 120), 1u);  // tables handed over as user tables
    for (int t = 4; t < 8; ++t) EXPECT_EQ(rec[5772 + 16 * t], 0xFF) << "unused slot " << t;
    EXPECT_EQ(JPUINTERFACEFROMCNM520::GetDec12bitBusReqNum(5), 1);
    EXPECT_EQ(JPUINTERFACEFROMCNM520::GetDec8bitBusReqNum(3), 8);

    // Other precisions are for no decoder here.
    expectBoth(patched(0xFFC0, 4, 16), 0, 0);
}

TEST_F(JpuMalformed, SixteenBitQuantisationTablesOnTheModel520Only) {
    Bytes q16 = {0x10};
    for (int k = 0; k < 64; ++k) {
        q16.push_back(static_cast<uint8_t>((300 + k) >> 8));
        q16.push_back(static_cast<uint8_t>(300 + k));
    }
    Bytes j = splice(base, find(base, 0xFFDA).at, 0, segmentBytes(0xDB, q16));
    EXPECT_EQ(run(0, j), 0);
    Bytes out(COrfeJpegHeaderDec::MAX_HEADER_SIZE_520);
    ASSERT_EQ(JPUINTERFACEFROMCNM520().GetJpegHeaderForCnMDecoderCore(j.data(), j.size(),
                                                                      out.data(), out.size()),
              kOk520);
    const uint8_t* rec = out.data() + 1;
    EXPECT_EQ(jpu::get32(rec, 6036), 1u);
    for (int k = 0; k < 64; ++k) {
        ASSERT_EQ(rec[4236 + 2 * k] | rec[4236 + 2 * k + 1] << 8, 300 + k) << k;
    }
}

TEST_F(JpuMalformed, PictureSizeLimits) {
    Seg sof = find(base, 0xFFC0);
    auto withSize = [&](unsigned w, unsigned h) {
        Bytes j = base;
        j[sof.at + 5] = static_cast<uint8_t>(h >> 8);
        j[sof.at + 6] = static_cast<uint8_t>(h);
        j[sof.at + 7] = static_cast<uint8_t>(w >> 8);
        j[sof.at + 8] = static_cast<uint8_t>(w);
        return j;
    };
    expectBoth(withSize(32768, 32768), kOk508, kOk520);
    expectBoth(withSize(32769, 64), 0, 0);
    expectBoth(withSize(64, 32769), 0, 0);
    expectBoth(withSize(0, 64), 0, 0);
    expectBoth(withSize(64, 0), 0, 0);
}

TEST_F(JpuMalformed, QuantisationTablesMustExistAndFitTheSelectors) {
    Bytes noDqt = base;
    while (true) {
        std::vector<Seg> all = segments(noDqt);
        auto it =
            std::find_if(all.begin(), all.end(), [](const Seg& s) { return s.marker == 0xFFDB; });
        if (it == all.end()) break;
        noDqt = splice(noDqt, it->at, it->size, {});
    }
    expectBoth(noDqt, 0, 0);

    // Chroma on table 2: defined, but an 8-bit picture's selector word has one bit for it.
    Bytes q2 = base;
    Seg dqt = find(q2, 0xFFDB, 1);
    q2[dqt.at + 4] = 0x02;
    Seg sof = find(q2, 0xFFC0);
    q2[sof.at + 15] = 2;
    q2[sof.at + 18] = 2;
    expectBoth(q2, 0, 0);
    q2[find(q2, 0xFFC0).at + 4] = 12;  // two bits per component for 12-bit pictures
    EXPECT_EQ(run(1, q2), kOk520);
}

TEST_F(JpuMalformed, EntropyDataBelowTheDecoderMinimum) {
    // Grey 8x8: a few dozen bytes of entropy data.
    Bytes tiny = tjJpeg(8, 8, TJSAMP_GRAY, 75);
    expectBoth(tiny, -1, -1);
    // Between the two minimums: the 50x decoder takes it, the model 520's does not.
    for (int q = 30; q <= 100; q += 5) {
        Bytes j = tjJpeg(16, 16, TJSAMP_444, q);
        Seg sos = find(j, 0xFFDA);
        size_t entropy = j.size() - (sos.at + sos.size);
        if (entropy >= 512 && entropy < 1024) {
            expectBoth(j, kOk508, -1);
            return;
        }
    }
    FAIL() << "no picture with entropy data between 512 and 1024 bytes";
}

TEST_F(JpuMalformed, UserHuffmanFlagFollowsTheTables) {
    auto flag = [](int protocol, const Bytes& j) {
        Bytes out(COrfeJpegHeaderDec::MAX_HEADER_SIZE_520);
        COrfeJpegHeaderDec dec;
        int r = static_cast<int>(
            dec.GetJpegHeaderForCnMDecoder(j.data(), j.size(), out.data(), out.size(),
                                           protocol ? CNM520_PROTOCOL : CNM508_PROTOCOL));
        EXPECT_GT(r, 0);
        return jpu::get32(out.data() + 1, protocol ? 120 : 160);
    };
    EXPECT_EQ(flag(0, base), 0u);
    EXPECT_EQ(flag(1, base), 0u);
    // The luminance DC table, with its 9-bit code moved to 10 bits: one count changes.
    for (int nth = 0; nth < 4; ++nth) {
        Seg s = find(base, 0xFFC4, nth);
        if (base[s.at + 4] != 0x00) continue;
        Bytes j = base;
        ASSERT_EQ(j[s.at + 5 + 8], 1);
        j[s.at + 5 + 8] = 0;
        j[s.at + 5 + 9] = 1;
        EXPECT_EQ(flag(0, j), 1u);
        EXPECT_EQ(flag(1, j), 1u);
        return;
    }
    FAIL() << "no DC luminance table";
}

// Single parses: frame search, incomplete frames, cut-off DRI.
TEST(JpuParse, FrameSearchAndIncompleteFrames) {
    Bytes jpeg = tjJpeg(64, 64, TJSAMP_422, 95);
    Bytes shifted = jpeg;
    shifted.insert(shifted.begin(), {0x00, 0xFF, 0xFF, 0x12, 0x34});
    for (int protocol = 0; protocol < 2; ++protocol) {
        size_t offEcs = protocol ? 96 : 136;
        Bytes out(COrfeJpegHeaderDec::MAX_HEADER_SIZE_520);
        int r = protocol ? JPUINTERFACEFROMCNM520().GetJpegHeaderForCnMDecoderCore(
                               shifted.data(), shifted.size(), out.data(), out.size())
                         : JPUINTERFACEFROMCNM508().GetJpegHeaderForCnMDecoderCore(
                               shifted.data(), shifted.size(), out.data(), out.size());
        ASSERT_GT(r, 0);
        const uint8_t* rec = out.data() + 1;
        uint32_t ecs = jpu::get32(rec, offEcs);
        Seg sos = find(jpeg, 0xFFDA);
        EXPECT_EQ(jpu::get32(rec, 28), 5u);
        EXPECT_EQ(ecs, sos.at + sos.size);
        uint32_t abs = ecs + 5;
        EXPECT_EQ(jpu::get32(rec, offEcs + 4), abs >> 8);
        EXPECT_EQ(jpu::get32(rec, offEcs + 8), ((abs & 0xF0) >> 2) + ((abs >> 8) & 1 ? 64 : 0));
        EXPECT_EQ(jpu::get32(rec, offEcs + 12), (abs & 0x0F) * 8);
    }
    EXPECT_EQ(run(0, Bytes{}), -1);
    EXPECT_EQ(run(1, Bytes(4096, 0x00)), -1);  // no SOI anywhere
    EXPECT_EQ(JPUINTERFACEFROMCNM508().GetJpegHeaderForCnMDecoderCore(nullptr, 100, nullptr, 0),
              -1);

    // A known header size that the buffer behind the frame cannot hold.
    _CNM508_PARSE_STATE_ st;
    JPUINTERFACEFROMCNM508::initDecodeState(st, jpeg.data(), jpeg.size());
    jpu::put32(st.raw, 132, static_cast<uint32_t>(jpeg.size()) + 1);
    EXPECT_EQ(JPUINTERFACEFROMCNM508().JpegDecodeHeader(st, jpeg.data()), -2);
    _CNM520_PARSE_STATE_ st1;
    JPUINTERFACEFROMCNM520::initDecodeState(st1, jpeg.data(), jpeg.size());
    jpu::put32(st1.raw, 92, static_cast<uint32_t>(jpeg.size()) - 1023 + 1);
    EXPECT_EQ(JPUINTERFACEFROMCNM520().JpegDecodeHeader(st1, jpeg.data()), -2);
    jpu::put32(st1.raw, 92, static_cast<uint32_t>(jpeg.size()) - 1023);
    EXPECT_EQ(JPUINTERFACEFROMCNM520().JpegDecodeHeader(st1, jpeg.data()), 1);

    // A stream that ends inside DRI: restart interval -1 and more data needed.
    Bytes withDri = splice(jpeg, find(jpeg, 0xFFDA).at, 0, segmentBytes(0xDD, {0, 9}));
    size_t driAt = find(withDri, 0xFFDD).at;
    Bytes cut(withDri.begin(), withDri.begin() + driAt + 5);
    JPUINTERFACEFROMCNM508::initDecodeState(st, cut.data(), cut.size());
    EXPECT_EQ(JPUINTERFACEFROMCNM508().JpegDecodeHeader(st, cut.data()), -1);
    EXPECT_EQ(jpu::get32(st.raw, 156), 0xFFFFFFFFu);
    JPUINTERFACEFROMCNM508::initDecodeState(st, withDri.data(), withDri.size());
    EXPECT_EQ(JPUINTERFACEFROMCNM508().JpegDecodeHeader(st, withDri.data()), 1);
    EXPECT_EQ(jpu::get32(st.raw, 156), 9u);
    // With the stream-end flag set a frame that cannot complete is reported as such.
    JPUINTERFACEFROMCNM508::initDecodeState(st, cut.data(), cut.size());
    jpu::put32(st.raw, 8, 1);
    EXPECT_EQ(JPUINTERFACEFROMCNM508().JpegDecodeHeader(st, cut.data()), -2);
}

TEST(JpuParse, LaterFrameHeaderReplacesTheComponents) {
    Bytes jpeg = tjJpeg(64, 64, TJSAMP_420, 95);
    Seg sos = find(jpeg, 0xFFDA);
    Bytes greySof = segmentBytes(0xC0, {8, 0, 64, 0, 64, 1, 1, 0x11, 0});
    Bytes greySos = segmentBytes(0xDA, {1, 1, 0x00, 0, 63, 0});
    Bytes j = splice(jpeg, sos.at, sos.size, greySos);
    j = splice(j, sos.at, 0, greySof);
    for (int protocol = 0; protocol < 2; ++protocol) {
        Bytes out(COrfeJpegHeaderDec::MAX_HEADER_SIZE_520);
        int r = protocol ? JPUINTERFACEFROMCNM520().GetJpegHeaderForCnMDecoderCore(
                               j.data(), j.size(), out.data(), out.size())
                         : JPUINTERFACEFROMCNM508().GetJpegHeaderForCnMDecoderCore(
                               j.data(), j.size(), out.data(), out.size());
        ASSERT_GT(r, 0);
        const uint8_t* rec = out.data() + 1;
        size_t compTab = protocol ? 5900 : 1848;
        EXPECT_EQ(jpu::get32(rec, protocol ? 112 : 152), protocol ? 5u : 4u);
        for (size_t i = 6; i < 24; ++i) EXPECT_EQ(rec[compTab + i], 0) << "byte " << i;
    }
}

TEST(JpuParse, Model520StateIsResetPerParse) {
    Bytes jpeg = tjJpeg(64, 64, TJSAMP_420, 95);
    _CNM520_PARSE_STATE_ st;
    JPUINTERFACEFROMCNM520::initDecodeState(st, jpeg.data(), jpeg.size());
    JPUINTERFACEFROMCNM520 dec;
    ASSERT_EQ(dec.JpegDecodeHeader(st, jpeg.data()), 1);
    ASSERT_EQ(jpu::get32(st.raw, 6116), 4u);
    jpu::put32(st.raw, 116, 77);  // restart interval left from an earlier frame
    ASSERT_EQ(dec.JpegDecodeHeader(st, jpeg.data()), 1);
    EXPECT_EQ(jpu::get32(st.raw, 6116), 4u);
    EXPECT_EQ(jpu::get32(st.raw, 116), 0u);
    for (int k = 4; k < 8; ++k) EXPECT_EQ(jpu::get32(st.raw, 6084 + 4 * k), 0xFFFFFFFFu);
}

}  // namespace
