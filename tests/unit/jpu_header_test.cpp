// Decoder headers of both adapter generations against libjpeg's own reading of the same JPEGs,
// and the driver's results and record layout.
#include <gtest/gtest.h>
#include <jpeglib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "jpu/JPUInterfaceFromCnM508.h"
#include "jpu/JPUInterfaceFromCnM520.h"
#include "jpu/JpuParseCommon.h"
#include "jpu/OrfeJpegHeaderDec.h"

namespace {

using Bytes = std::vector<uint8_t>;

enum Sampling { S420, S422, S440, S444, SGREY };

struct JpegParams {
    Sampling sampling;
    int width, height, quality, restart;
    bool optimize;
    int noise;  // 0..255: amplitude of the pseudo-random part of the picture
};

Bytes makeJpeg(const JpegParams& s) {
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* buf = nullptr;
    unsigned long len = 0;
    jpeg_mem_dest(&c, &buf, &len);
    int comps = s.sampling == SGREY ? 1 : 3;
    c.image_width = s.width;
    c.image_height = s.height;
    c.input_components = comps;
    c.in_color_space = comps == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, s.quality, TRUE);
    static const int kH[] = {2, 2, 1, 1, 1}, kV[] = {2, 1, 2, 1, 1};
    c.comp_info[0].h_samp_factor = kH[s.sampling];
    c.comp_info[0].v_samp_factor = kV[s.sampling];
    c.restart_interval = s.restart;
    c.optimize_coding = s.optimize;
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(static_cast<size_t>(s.width) * comps);
    uint32_t rnd = 12345;
    while (c.next_scanline < c.image_height) {
        for (size_t x = 0; x < row.size(); ++x) {
            rnd = rnd * 1103515245u + 12345u;
            unsigned base = static_cast<unsigned>(x * 2 + c.next_scanline * 3 + (x % 3) * 60);
            row[x] = static_cast<uint8_t>(base + (s.noise ? (rnd >> 16) % (s.noise + 1) : 0));
        }
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    Bytes out(buf, buf + len);
    free(buf);
    return out;
}

// What libjpeg reads from the same bytes.
struct Reference {
    int width = 0, height = 0, comps = 0, maxH = 0, maxV = 0, restart = 0;
    int id[4]{}, h[4]{}, v[4]{}, tq[4]{}, td[4]{}, ta[4]{};
    bool quantDefined[4]{};
    uint16_t quantNatural[4][64]{};
    bool huffDefined[4]{};  // by record index: DC0, AC0, DC1, AC1
    uint8_t bits[4][16]{};
    uint8_t vals[4][256]{};
    size_t ecsAbs = 0;
};

Reference readReference(const Bytes& jpeg) {
    Reference ref;
    jpeg_decompress_struct d{};
    jpeg_error_mgr err{};
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, jpeg.data(), jpeg.size());
    EXPECT_EQ(jpeg_read_header(&d, TRUE), JPEG_HEADER_OK);
    ref.width = d.image_width;
    ref.height = d.image_height;
    ref.comps = d.num_components;
    ref.maxH = d.max_h_samp_factor;
    ref.maxV = d.max_v_samp_factor;
    ref.restart = d.restart_interval;
    for (int i = 0; i < d.num_components && i < 4; ++i) {
        const jpeg_component_info& ci = d.comp_info[i];
        ref.id[i] = ci.component_id;
        ref.h[i] = ci.h_samp_factor;
        ref.v[i] = ci.v_samp_factor;
        ref.tq[i] = ci.quant_tbl_no;
        ref.td[i] = ci.dc_tbl_no;
        ref.ta[i] = ci.ac_tbl_no;
    }
    for (int n = 0; n < 4; ++n) {
        if (d.quant_tbl_ptrs[n]) {
            ref.quantDefined[n] = true;
            for (int k = 0; k < 64; ++k) ref.quantNatural[n][k] = d.quant_tbl_ptrs[n]->quantval[k];
        }
    }
    for (int n = 0; n < 2; ++n) {
        JHUFF_TBL* tables[2] = {d.dc_huff_tbl_ptrs[n], d.ac_huff_tbl_ptrs[n]};
        for (int kind = 0; kind < 2; ++kind) {
            int t = kind + 2 * n;
            if (!tables[kind]) continue;
            ref.huffDefined[t] = true;
            memcpy(ref.bits[t], tables[kind]->bits + 1, 16);
            memcpy(ref.vals[t], tables[kind]->huffval, 256);
        }
    }
    ref.ecsAbs = static_cast<size_t>(d.src->next_input_byte - jpeg.data());
    jpeg_destroy_decompress(&d);
    return ref;
}

// Zig-zag position k -> natural (row-major) index, walked out independently of any library.
std::vector<int> zigzagToNatural() {
    std::vector<int> order;
    for (int s = 0; s < 15; ++s) {
        for (int i = 0; i <= s; ++i) {
            int row = (s % 2 == 0) ? s - i : i;
            int col = s - row;
            if (row < 8 && col < 8) order.push_back(row * 8 + col);
        }
    }
    return order;
}

// T.81 Annex C (HUFFSIZE, HUFFCODE) and F.2.2.3 (decoder tables); unused lengths as the record
// carries them (0xFFFF, 0xFFFF, 0xFF).
void referenceDecoderTables(const uint8_t* bits, uint32_t* mincode, uint32_t* maxcode,
                            uint8_t* valptr) {
    std::vector<int> huffsize, huffcode;
    for (int l = 1; l <= 16; ++l) {
        for (int i = 0; i < bits[l - 1]; ++i) huffsize.push_back(l);
    }
    int code = 0;
    size_t k = 0;
    int si = huffsize.empty() ? 0 : huffsize[0];
    while (k < huffsize.size()) {
        while (k < huffsize.size() && huffsize[k] == si) {
            huffcode.push_back(code++);
            ++k;
        }
        code <<= 1;
        ++si;
    }
    int j = 0;
    for (int l = 0; l < 16; ++l) {
        if (bits[l] == 0) {
            mincode[l] = maxcode[l] = 0xFFFF;
            valptr[l] = 0xFF;
        } else {
            valptr[l] = static_cast<uint8_t>(j);
            mincode[l] = huffcode[j];
            j += bits[l] - 1;
            maxcode[l] = huffcode[j];
            ++j;
        }
    }
}

// Record offsets as the decoders define them, written out here independently of the code.
struct Layout {
    uint32_t recordSize;
    size_t width, height, alignW, alignH, headerSize, ecs, page, word, bit, format, restart,
        userHuff, dcSel, acSel, qSel, huffVal, huffValStride, huffBits, quant, mincode, maxcode,
        valptr, compTab, busReq, compCount, blocks, info, mcuW, mcuH;
    bool wideQuant;
    uint32_t minEntropy;
    int formatCode[5];  // by Sampling
    int busReqByFormat[6], compsByFormat[6], blocksByFormat[6], info0ByFormat[6];
};

// clang-format off
const Layout k508 = {2856, 116, 120, 124, 128, 132, 136, 140, 144, 148, 152, 156, 160, 164,
                     168, 172, 176, 162, 824, 1872, 2128, 2384, 2640, 1848, 2716, 2720, 2724,
                     2728, 2756, 2760, false, 512, {0, 1, 2, 3, 4},
                     {2, 3, 3, 4, 4, 0}, {3, 3, 3, 3, 1, 0}, {6, 4, 4, 3, 1, 0},
                     {10, 9, 6, 5, 5, 0}};
const Layout k520 = {6120, 76, 80, 84, 88, 92, 96, 100, 104, 108, 112, 116, 120, 128, 132, 136,
                     140, 256, 2188, 4236, 4748, 5260, 5772, 5900, 5924, 5928, 5932, 5936, 5964,
                     5968, true, 1024, {0, 1, 3, 4, 5},
                     {4, 4, 0, 8, 4, 2}, {3, 3, 0, 3, 3, 1}, {6, 4, 0, 4, 3, 4},
                     {18, 17, 0, 10, 9, 33}};
// clang-format on

uint32_t rd32(const uint8_t* rec, size_t off) { return jpu::get32(rec, off); }

int runCore(int protocol, const uint8_t* jpeg, size_t len, uint8_t* out, uint32_t cap) {
    if (protocol == 0) {
        return JPUINTERFACEFROMCNM508().GetJpegHeaderForCnMDecoderCore(
            jpeg, static_cast<uint32_t>(len), out, cap);
    }
    return JPUINTERFACEFROMCNM520().GetJpegHeaderForCnMDecoderCore(jpeg, static_cast<uint32_t>(len),
                                                                   out, cap);
}

// One parse on a fresh state, for pictures whose entropy data is below the decoder's minimum:
// the marker fields are filled even though the driver hands out no record.
Bytes singleParse(int protocol, const Bytes& jpeg, int* result) {
    if (protocol == 0) {
        _CNM508_PARSE_STATE_ st;
        JPUINTERFACEFROMCNM508::initDecodeState(st, jpeg.data(), jpeg.size());
        *result = JPUINTERFACEFROMCNM508().JpegDecodeHeader(st, jpeg.data());
        return Bytes(st.raw, st.raw + sizeof st.raw);
    }
    _CNM520_PARSE_STATE_ st;
    JPUINTERFACEFROMCNM520::initDecodeState(st, jpeg.data(), jpeg.size());
    *result = JPUINTERFACEFROMCNM520().JpegDecodeHeader(st, jpeg.data());
    return Bytes(st.raw, st.raw + sizeof st.raw);
}

// Fields the marker parsers write, compared with libjpeg's reading.
void expectMarkerFields(const uint8_t* rec, const Layout& L, const Reference& ref,
                        const Bytes& jpeg, Sampling sampling) {
    EXPECT_EQ(rd32(rec, 12), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(jpeg.data())));
    // The end address is kept modulo 2^32 like the start: a buffer may cross a 4 GiB line.
    EXPECT_EQ(rd32(rec, 0), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(jpeg.data()) +
                                                  jpeg.size()));
    EXPECT_EQ(rd32(rec, 20), jpeg.size());
    EXPECT_EQ(rd32(rec, 28), 0u);
    EXPECT_EQ(rd32(rec, L.width), static_cast<uint32_t>(ref.width));
    EXPECT_EQ(rd32(rec, L.height), static_cast<uint32_t>(ref.height));
    EXPECT_EQ(rd32(rec, L.format), static_cast<uint32_t>(L.formatCode[sampling]));
    EXPECT_EQ(rd32(rec, L.restart), static_cast<uint32_t>(ref.restart));
    EXPECT_EQ(rd32(rec, L.ecs), ref.ecsAbs);
    EXPECT_EQ(rd32(rec, L.headerSize), ref.ecsAbs);
    EXPECT_EQ(rd32(rec, L.page), ref.ecsAbs >> 8);
    EXPECT_EQ(rd32(rec, L.word), ((ref.ecsAbs & 0xF0) >> 2) + (((ref.ecsAbs >> 8) & 1) ? 64 : 0));
    EXPECT_EQ(rd32(rec, L.bit), (ref.ecsAbs & 0x0F) * 8);

    for (int j = 0; j < 4; ++j) {
        const uint8_t* e = rec + L.compTab + 6 * j;
        bool used = j < ref.comps;
        EXPECT_EQ(e[0], used ? ref.id[j] : 0) << "component " << j;
        EXPECT_EQ(e[1], used ? ref.h[j] : 0) << "component " << j;
        EXPECT_EQ(e[2], used ? ref.v[j] : 0) << "component " << j;
        EXPECT_EQ(e[3], used ? ref.tq[j] : 0) << "component " << j;
        EXPECT_EQ(e[4], used ? ref.td[j] : 0) << "component " << j;
        EXPECT_EQ(e[5], used ? ref.ta[j] : 0) << "component " << j;
    }

    static const std::vector<int> zz = zigzagToNatural();
    for (int n = 0; n < 4; ++n) {
        for (int k = 0; k < 64; ++k) {
            uint32_t want = ref.quantDefined[n] ? ref.quantNatural[n][zz[k]] : 0;
            uint32_t got =
                L.wideQuant
                    ? (rec[L.quant + 128 * n + 2 * k] | rec[L.quant + 128 * n + 2 * k + 1] << 8)
                    : rec[L.quant + 64 * n + k];
            ASSERT_EQ(got, want) << "quant table " << n << " entry " << k;
        }
    }
    for (int t = 0; t < 4; ++t) {
        ASSERT_EQ(0, memcmp(rec + L.huffBits + 256 * t, ref.bits[t], 16)) << "BITS " << t;
        size_t count = 0;
        for (int i = 0; i < 16; ++i) count += ref.bits[t][i];
        ASSERT_EQ(0, memcmp(rec + L.huffVal + L.huffValStride * t, ref.vals[t], count))
            << "HUFFVAL " << t;
    }
    if (L.recordSize == 6120) {
        int defined = 0;
        for (int t = 0; t < 4; ++t) defined += ref.huffDefined[t];
        EXPECT_EQ(rd32(rec, 6116), static_cast<uint32_t>(defined));
        bool listed[8] = {};
        for (int k = 0; k < 8; ++k) {
            uint32_t t = rd32(rec, 6084 + 4 * k);
            if (k >= defined) {
                EXPECT_EQ(t, 0xFFFFFFFFu);
            } else {
                ASSERT_LT(t, 4u);
                EXPECT_TRUE(ref.huffDefined[t] && !listed[t]);
                listed[t] = true;
            }
        }
        EXPECT_EQ(rd32(rec, 6064), 8u);
        EXPECT_EQ(rd32(rec, 6032), 0u);
    }
}

// Fields built after SOS.
void expectFinishedFields(const uint8_t* rec, const Layout& L, const Reference& ref,
                          Sampling sampling, bool optimized) {
    int fmt = L.formatCode[sampling];
    uint32_t mcuW = 8 * ref.maxH, mcuH = 8 * ref.maxV;
    EXPECT_EQ(rd32(rec, L.alignW), (ref.width + mcuW - 1) / mcuW * mcuW);
    EXPECT_EQ(rd32(rec, L.alignH), (ref.height + mcuH - 1) / mcuH * mcuH);
    // The model 520 decodes grey pictures four blocks at a time.
    if (L.recordSize == 6120 && sampling == SGREY) mcuW = 32;
    EXPECT_EQ(rd32(rec, L.mcuW), mcuW);
    EXPECT_EQ(rd32(rec, L.mcuH), mcuH);
    EXPECT_EQ(rd32(rec, L.busReq), static_cast<uint32_t>(L.busReqByFormat[fmt]));
    EXPECT_EQ(rd32(rec, L.compCount), static_cast<uint32_t>(L.compsByFormat[fmt]));
    EXPECT_EQ(rd32(rec, L.blocks), static_cast<uint32_t>(L.blocksByFormat[fmt]));
    EXPECT_EQ(rd32(rec, L.info), static_cast<uint32_t>(L.info0ByFormat[fmt]));
    uint32_t chromaInfo = ref.comps == 3 ? 5 : 0;
    EXPECT_EQ(rd32(rec, L.info + 4), chromaInfo);
    EXPECT_EQ(rd32(rec, L.info + 8), chromaInfo);

    auto sel = [&](const int* v) {
        return static_cast<uint32_t>(v[0] << 2 | (ref.comps > 1 ? v[1] << 1 | v[2] : 0));
    };
    EXPECT_EQ(rd32(rec, L.qSel), sel(ref.tq));
    EXPECT_EQ(rd32(rec, L.dcSel), sel(ref.td));
    EXPECT_EQ(rd32(rec, L.acSel), sel(ref.ta));
    EXPECT_EQ(rd32(rec, L.userHuff), optimized ? 1u : 0u);

    for (int t = 0; t < 4; ++t) {
        uint32_t minc[16], maxc[16];
        uint8_t vp[16];
        referenceDecoderTables(ref.bits[t], minc, maxc, vp);
        for (int l = 0; l < 16; ++l) {
            ASSERT_EQ(rd32(rec, L.mincode + 64 * t + 4 * l), minc[l])
                << "table " << t << " len " << l + 1;
            ASSERT_EQ(rd32(rec, L.maxcode + 64 * t + 4 * l), maxc[l])
                << "table " << t << " len " << l + 1;
            ASSERT_EQ(rec[L.valptr + 16 * t + l], vp[l]) << "table " << t << " len " << l + 1;
        }
    }
}

// Adds to `full` the number of protocols that produced records for this JPEG.
void expectAgreement(const JpegParams& params, int& full) {
    Bytes jpeg = makeJpeg(params);
    Reference ref = readReference(jpeg);
    for (const Layout* L : {&k508, &k520}) {
        int protocol = L == &k508 ? 0 : 1;
        SCOPED_TRACE(testing::Message()
                     << "protocol " << protocol << ", " << params.width << "x" << params.height << " q"
                     << params.quality << " sampling " << params.sampling << " restart " << params.restart
                     << " optimize " << params.optimize);
        Bytes out(1 + 3 * L->recordSize, 0xEE);
        int r = runCore(protocol, jpeg.data(), jpeg.size(), out.data(),
                        static_cast<uint32_t>(out.size()));
        if (jpeg.size() - ref.ecsAbs < L->minEntropy) {
            // Too little entropy data for the decoder's prefetch: no header at all.
            EXPECT_EQ(r, -1);
            int single = 0;
            Bytes rec = singleParse(protocol, jpeg, &single);
            EXPECT_EQ(single, -1);
            expectMarkerFields(rec.data(), *L, ref, jpeg, params.sampling);
            continue;
        }
        ASSERT_EQ(r, static_cast<int>(1 + 2 * L->recordSize));
        EXPECT_EQ(out[0], 2);
        EXPECT_EQ(0, memcmp(out.data() + 1, out.data() + 1 + L->recordSize, L->recordSize))
            << "the second parse of a lone frame repeats the first";
        const uint8_t* rec = out.data() + 1;
        expectMarkerFields(rec, *L, ref, jpeg, params.sampling);
        expectFinishedFields(rec, *L, ref, params.sampling, params.optimize);
        ++full;
    }
}

class JpuAgreement : public testing::TestWithParam<Sampling> {};

TEST_P(JpuAgreement, FieldsMatchLibjpegAcrossSizesQualitiesAndTables) {
    Sampling s = GetParam();
    const JpegParams cases[] = {
        {s, 16, 16, 50, 0, false, 0},  // entropy data far below both minimums
        {s, 16, 16, 100, 0, false, 255}, {s, 17, 13, 100, 1, true, 255},
        {s, 33, 47, 75, 3, false, 200},  {s, 64, 64, 95, 0, true, 120},
        {s, 640, 480, 90, 0, false, 16}, {s, 641, 479, 85, 40, true, 16},
        {s, 1921, 1081, 60, 7, true, 4}, {s, 3840, 2160, 90, 0, false, 2},
    };
    int full = 0;
    for (const JpegParams& params : cases) expectAgreement(params, full);
    // Most pictures carry enough entropy data for records from both decoders.
    EXPECT_GE(full, 10);
}

INSTANTIATE_TEST_SUITE_P(AllSamplings, JpuAgreement,
                         testing::Values(S420, S422, S440, S444, SGREY));

TEST(JpuGeometry, FullHdAlignmentAndMcu) {
    Bytes j420 = makeJpeg({S420, 1920, 1080, 90, 0, false, 8});
    Bytes j422 = makeJpeg({S422, 1920, 1080, 90, 0, false, 8});
    for (const Layout* L : {&k508, &k520}) {
        int protocol = L == &k508 ? 0 : 1;
        Bytes out(1 + 2 * L->recordSize);
        ASSERT_EQ(runCore(protocol, j420.data(), j420.size(), out.data(), out.size()),
                  static_cast<int>(out.size()));
        EXPECT_EQ(rd32(out.data() + 1, L->alignW), 1920u);
        EXPECT_EQ(rd32(out.data() + 1, L->alignH), 1088u);
        EXPECT_EQ(rd32(out.data() + 1, L->mcuW), 16u);
        EXPECT_EQ(rd32(out.data() + 1, L->mcuH), 16u);
        ASSERT_EQ(runCore(protocol, j422.data(), j422.size(), out.data(), out.size()),
                  static_cast<int>(out.size()));
        EXPECT_EQ(rd32(out.data() + 1, L->alignW), 1920u);
        EXPECT_EQ(rd32(out.data() + 1, L->alignH), 1080u);
        EXPECT_EQ(rd32(out.data() + 1, L->mcuW), 16u);
        EXPECT_EQ(rd32(out.data() + 1, L->mcuH), 8u);
    }
}

// ---- driver results and capacities --------------------------------------------------------

class JpuDriver : public testing::Test {
  protected:
    void SetUp() override { jpeg = makeJpeg({S420, 64, 64, 95, 0, false, 120}); }
    Bytes jpeg;
};

TEST_F(JpuDriver, LoneBaselineJpegGivesTwoRecords) {
    COrfeJpegHeaderDec dec;
    Bytes out(COrfeJpegHeaderDec::MAX_HEADER_SIZE_520);
    EXPECT_EQ(static_cast<int>(dec.GetJpegHeaderForCnMDecoder(jpeg.data(), jpeg.size(), out.data(),
                                                              out.size(), CNM508_PROTOCOL)),
              5713);
    EXPECT_EQ(static_cast<int>(dec.GetJpegHeaderForCnMDecoder(jpeg.data(), jpeg.size(), out.data(),
                                                              out.size(), CNM520_PROTOCOL)),
              12241);
}

TEST_F(JpuDriver, CapacityBelowNextRecordGivesMinusFourAndWritesNoFurther) {
    struct Case {
        int protocol;
        uint32_t capacity;
        int result;
        uint8_t count;
    };
    const Case cases[] = {
        {0, 0, -4, 0xEE},   {0, 2856, -4, 0xEE}, {0, 2857, -4, 1},  {0, 5712, -4, 1},
        {0, 5713, 5713, 2}, {1, 6120, -4, 0xEE}, {1, 12240, -4, 1}, {1, 12241, 12241, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "protocol " << c.protocol << " capacity " << c.capacity);
        // Exact-size buffer plus a guard area that must stay untouched.
        Bytes out(c.capacity + 64, 0xEE);
        EXPECT_EQ(runCore(c.protocol, jpeg.data(), jpeg.size(), out.data(), c.capacity), c.result);
        EXPECT_EQ(out[0], c.count);
        for (size_t i = c.capacity; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << i;
        uint32_t s = c.protocol ? 6120 : 2856;
        if (c.count == 1) {
            for (size_t i = 1 + s; i < c.capacity; ++i) ASSERT_EQ(out[i], 0xEE) << i;
        }
    }
    EXPECT_EQ(runCore(0, jpeg.data(), jpeg.size(), nullptr, 100000), -4);
}

TEST_F(JpuDriver, FacadeRoutesByProtocolAndRefusesOthers) {
    COrfeJpegHeaderDec dec;
    Bytes viaFacade(5713), viaCore(5713);
    ASSERT_EQ(dec.GetJpegHeaderForCnMDecoder(jpeg.data(), jpeg.size(), viaFacade.data(), 5713,
                                             CNM508_PROTOCOL),
              5713u);
    ASSERT_EQ(runCore(0, jpeg.data(), jpeg.size(), viaCore.data(), 5713), 5713);
    EXPECT_EQ(viaFacade, viaCore);

    Bytes out(COrfeJpegHeaderDec::MAX_HEADER_SIZE_520, 0x5A);
    EXPECT_EQ(dec.GetJpegHeaderForCnMDecoder(jpeg.data(), jpeg.size(), out.data(), out.size(),
                                             static_cast<ProtocolType>(2)),
              0u);
    for (uint8_t b : out) ASSERT_EQ(b, 0x5A);
    // Negative results come back as the unsigned form of the int.
    EXPECT_EQ(static_cast<int>(dec.GetJpegHeaderForCnMDecoder(jpeg.data(), jpeg.size(), out.data(),
                                                              10, CNM520_PROTOCOL)),
              -4);
}

// Scripted parses drive the paths a single JPEG never takes.
struct Script {
    std::vector<int> results;
    size_t next = 0;
    std::vector<uint32_t> frameOffsetSeen;
};

int scriptedParse(const void* ctx, uint8_t* rec) {
    Script* s = const_cast<Script*>(static_cast<const Script*>(ctx));
    s->frameOffsetSeen.push_back(jpu::get32(rec, 28));
    jpu::put32(rec, 28, 0x100 + static_cast<uint32_t>(s->next));
    jpu::put32(rec, 36, 7);
    return s->results.at(s->next++);
}

int runScript(Script& s, uint32_t capacity, Bytes& out) {
    const size_t clear[] = {28, 36};
    jpu::DriverOps ops{100, scriptedParse, &s, clear, 2};
    Bytes state(100, 0);
    out.assign(capacity, 0xEE);
    return jpu::runDriver(ops, state.data(), out.data(), capacity);
}

TEST(JpuDriverPaths, ResultsOfEachParseStep) {
    struct Case {
        std::vector<int> results;
        uint32_t capacity;
        int want;
        uint8_t count;
    };
    const Case cases[] = {
        {{0}, 1000, 0, 0xEE},       {{-1}, 1000, -1, 0xEE},      {{-2}, 1000, -2, 0xEE},
        {{1, 0}, 1000, 0, 1},       {{1, -1}, 1000, 101, 1},     {{1, 1}, 1000, 201, 2},
        {{1, -2, 1}, 1000, 301, 3}, {{1, -2, -1}, 1000, 301, 3}, {{1, -2, 0}, 1000, 0, 2},
        {{1, -2, 1}, 300, -4, 2},   {{1, -2, 1}, 301, 301, 3},   {{1, 1}, 200, -4, 1},
    };
    for (const Case& c : cases) {
        Script s;
        s.results = c.results;
        Bytes out;
        EXPECT_EQ(runScript(s, c.capacity, out), c.want);
        EXPECT_EQ(out[0], c.count);
    }
    // Before the third parse the frame offset is cleared, so the search starts over.
    Script s;
    s.results = {1, -2, 1};
    Bytes out;
    runScript(s, 1000, out);
    ASSERT_EQ(s.frameOffsetSeen.size(), 3u);
    EXPECT_EQ(s.frameOffsetSeen[1], 0x100u);
    EXPECT_EQ(s.frameOffsetSeen[2], 0u);
    EXPECT_EQ(jpu::get32(out.data() + 1 + 200, 36), 7u);
}

}  // namespace
