#include "jpu/JPUInterfaceFromCnM520.h"

#include <cstring>

#include "jpu/JpuParseCommon.h"

using namespace jpu;

namespace {

// Record layout of the model-520 decoder state.
constexpr size_t kOffWidth = 76;
constexpr size_t kOffHeight = 80;
constexpr size_t kOffAlignedWidth = 84;
constexpr size_t kOffAlignedHeight = 88;
constexpr size_t kOffHeaderSize = 92;  // then ECS 96, page 100, word 104, bit 108
constexpr size_t kOffEcs = 96;
constexpr size_t kOffFormat = 112;
constexpr size_t kOffRestart = 116;
constexpr size_t kOffUserHuffman = 120;
constexpr size_t kOffDcSelectors = 128;
constexpr size_t kOffAcSelectors = 132;
constexpr size_t kOffQuantSelectors = 136;
constexpr size_t kOffHuffVal = 140;
constexpr size_t kOffHuffBits = 2188;
constexpr size_t kHuffStride = 256;
constexpr size_t kOffQuant = 4236;  // 64 int16 per table
constexpr size_t kOffMincode = 4748;
constexpr size_t kOffMaxcode = 5260;
constexpr size_t kOffValptr = 5772;
constexpr size_t kOffCompTab = 5900;
constexpr size_t kOffBusReq = 5924;
constexpr size_t kOffCompCount = 5928;
constexpr size_t kOffMcuBlocks = 5932;
constexpr size_t kOffCompInfo = 5936;
constexpr size_t kOffMcuWidth = 5964;
constexpr size_t kOffMcuHeight = 5968;
constexpr size_t kOffParserPos = 5972;
constexpr size_t kOffTwelveBit = 6032;
constexpr size_t kOffQuantPrecision = 6036;
constexpr size_t kOffPrecision = 6064;
constexpr size_t kOffHuffOrder = 6084;
constexpr size_t kOffHuffCount = 6116;

constexpr int kMaxHuffTables = 8;  // DHT definitions per parse and table slots
constexpr size_t kMaxHuffValues = 256;
constexpr size_t kMinEntropyData = 1024;
// A rescan needs the header plus the decoder's prefetch window in the buffer.
constexpr size_t kRescanSlack = 1023;

const CommonLayout kLayout = {kOffHeaderSize, kOffRestart, kOffCompTab, kRescanSlack};

enum Format520 : uint32_t { F420 = 0, F422 = 1, F440 = 3, F444 = 4, F400 = 5, FBad = 6 };

struct Geometry {
    bool valid;
    uint32_t alignW, alignH, comps, blocks, info0, info12, mcuW, mcuH;
};

// By format code; code 2 is a layout of the decoder's that no JPEG sampling here maps to.
const Geometry kGeometry[6] = {
    {true, 16, 16, 3, 6, 18, 5, 16, 16},                                     // 4:2:0
    {true, 16, 8, 3, 4, 17, 5, 16, 8},                                       // 4:2:2
    {false, 0, 0, 0, 0, 0, 0, 0, 0},     {true, 8, 16, 3, 4, 10, 5, 8, 16},  // 4:4:0
    {true, 8, 8, 3, 3, 9, 5, 8, 8},                                          // 4:4:4
    {true, 8, 8, 1, 4, 33, 0, 32, 8},  // 4:0:0, four blocks side by side
};

const int kBusReq8[6] = {4, 4, 0, 8, 4, 2};
const int kBusReq12[6] = {4, 4, 0, 4, 4, 1};

int decode_sof_header(JpuParse& p) {
    Segment seg{};
    int r = openSegment(p, seg);
    if (r != kParseOk) {
        if (r != kParseMalformed) put32(p.rec, kOffPrecision, 0xFFFFFFFFu);
        return r;
    }
    FrameHeader frame{};
    if (!readFrameFields(seg, frame)) return kParseMalformed;
    put32(p.rec, kOffPrecision, frame.precision);
    if (frame.precision != 8 && frame.precision != 12) return kParseMalformed;
    put32(p.rec, kOffTwelveBit, frame.precision == 12 ? 1 : 0);
    r = readComponentTable(p, seg, kOffCompTab, frame);
    if (r != kParseOk) return r;
    put32(p.rec, kOffWidth, frame.width);
    put32(p.rec, kOffHeight, frame.height);

    static const uint32_t kFormats[] = {F420, F422, F440, F444, FBad};
    uint32_t format =
        frame.components > 1 ? kFormats[frameSampling(p.rec, kOffCompTab)] : uint32_t{F400};
    put32(p.rec, kOffFormat, format);
    if (format == FBad) return kParseMalformed;
    p.frameComponents = frame.components;
    return kParseOk;
}

int decode_dqt_header(JpuParse& p) {
    Segment seg{};
    int r = openSegment(p, seg);
    if (r != kParseOk) return r;
    while (seg.have(1)) {
        uint8_t pqtq = seg.u8();
        unsigned pq = pqtq >> 4;
        unsigned tq = pqtq & 0x0F;
        if (pq > 1 || tq > 3 || !seg.have(pq ? 128 : 64)) return kParseMalformed;
        size_t dst = kOffQuant + 128 * tq;
        for (int k = 0; k < 64; ++k) {
            put16(p.rec, dst + 2 * k, pq ? seg.u16() : seg.u8());
        }
        put32(p.rec, kOffQuantPrecision + 4 * tq, pq);
        p.quantDefined |= 1u << tq;
    }
    return kParseOk;
}

int decode_dth_header(JpuParse& p) {
    Segment seg{};
    int r = openSegment(p, seg);
    if (r != kParseOk) return r;
    while (seg.have(1)) {
        if (!seg.have(17)) return kParseMalformed;
        uint8_t tcth = seg.u8();
        unsigned tc = tcth >> 4;
        unsigned th = tcth & 0x0F;
        uint32_t defined = get32(p.rec, kOffHuffCount);
        if (tc > 1 || th > 3 || defined >= kMaxHuffTables) return kParseMalformed;
        const uint8_t* bits = seg.buf + seg.pos;
        seg.pos += 16;
        size_t total = 0;
        for (int i = 0; i < 16; ++i) total += bits[i];
        if (total > kMaxHuffValues || !seg.have(total) || !huffmanCountsValid(bits)) {
            return kParseMalformed;
        }
        const uint8_t* vals = seg.buf + seg.pos;
        seg.pos += total;

        uint32_t t = tc + 2 * th;
        memcpy(p.rec + kOffHuffBits + kHuffStride * t, bits, 16);
        uint8_t* dst = p.rec + kOffHuffVal + kHuffStride * t;
        memcpy(dst, vals, total);
        memset(dst + total, 0, kHuffStride - total);
        put32(p.rec, kOffHuffOrder + 4 * defined, t);
        put32(p.rec, kOffHuffCount, defined + 1);
    }
    return kParseOk;
}

// Decoder tables of the first `tables` Huffman table slots.
void genDecHuffTab(uint8_t* rec, int tables) {
    for (int t = 0; t < tables; ++t) {
        buildDecoderTable(rec + kOffHuffBits + kHuffStride * t, rec, kOffMincode + 64 * t,
                          kOffMaxcode + 64 * t, kOffValptr + 16 * t);
    }
}

// The user-Huffman flag: set when any table defined in this parse differs from the decoder's
// built-in set. Only the 8-bit built-in set (T.81 Annex K) is known here, so the tables of a
// 12-bit picture are always handed over as user tables, which the decoder decodes correctly.
uint32_t userHuffmanFlag(const uint8_t* rec, bool twelveBit) {
    uint32_t defined = get32(rec, kOffHuffCount);
    for (uint32_t k = 0; k < defined && k < kMaxHuffTables; ++k) {
        int t = static_cast<int>(get32(rec, kOffHuffOrder + 4 * k));
        if (twelveBit || !matchesStandardTable(t, rec + kOffHuffBits + kHuffStride * t,
                                               rec + kOffHuffVal + kHuffStride * t)) {
            return 1;
        }
    }
    return 0;
}

int finishHeader(JpuParse& p) {
    putParserPosition(p, kOffParserPos);
    int r = checkFrameComplete(p, get32(p.rec, kOffEcs), kMinEntropyData);
    if (r != kParseOk) return r;
    bool twelveBit = get32(p.rec, kOffTwelveBit) != 0;
    // Selector words hold 1 bit per component for 8-bit pictures, 2 for 12-bit ones.
    int width = twelveBit ? 2 : 1;
    if (!componentsUsable(p, kLayout, twelveBit ? 3 : 1)) return kParseMalformed;
    uint32_t format = get32(p.rec, kOffFormat);
    if (format > F400 || !kGeometry[format].valid) return kParseMalformed;

    genDecHuffTab(p.rec, twelveBit ? kMaxHuffTables : 4);
    put32(p.rec, kOffUserHuffman, userHuffmanFlag(p.rec, twelveBit));
    put32(p.rec, kOffQuantSelectors, selectorWord(p.rec, kLayout, 3, width));
    put32(p.rec, kOffDcSelectors, selectorWord(p.rec, kLayout, 4, width));
    put32(p.rec, kOffAcSelectors, selectorWord(p.rec, kLayout, 5, width));

    const Geometry& g = kGeometry[format];
    uint32_t w = get32(p.rec, kOffWidth);
    uint32_t h = get32(p.rec, kOffHeight);
    put32(p.rec, kOffAlignedWidth, (w + g.alignW - 1) / g.alignW * g.alignW);
    put32(p.rec, kOffAlignedHeight, (h + g.alignH - 1) / g.alignH * g.alignH);
    int bus = twelveBit ? JPUINTERFACEFROMCNM520::GetDec12bitBusReqNum(format)
                        : JPUINTERFACEFROMCNM520::GetDec8bitBusReqNum(format);
    put32(p.rec, kOffBusReq, static_cast<uint32_t>(bus));
    put32(p.rec, kOffCompCount, g.comps);
    put32(p.rec, kOffMcuBlocks, g.blocks);
    put32(p.rec, kOffCompInfo, g.info0);
    put32(p.rec, kOffCompInfo + 4, g.info12);
    put32(p.rec, kOffCompInfo + 8, g.info12);
    put32(p.rec, kOffMcuWidth, g.mcuW);
    put32(p.rec, kOffMcuHeight, g.mcuH);
    return kParseOk;
}

const MarkerParsers kParsers = {decode_sof_header, decode_dqt_header, decode_dth_header, true};

int parseRecord(uint8_t* rec, const uint8_t* jpeg) {
    // Per-parse fields of this decoder: each parse states its own restart interval and tables.
    put32(rec, kOffRestart, 0);
    for (int k = 0; k < kMaxHuffTables; ++k) put32(rec, kOffHuffOrder + 4 * k, 0xFFFFFFFFu);
    put32(rec, kOffHuffCount, 0);

    JpuParse p{};
    int r = beginParse(p, rec, jpeg, kLayout);
    if (r != kParseOk) return r;
    r = walkMarkers(p, kLayout, kParsers);
    if (r != kParseOk) return r;
    return finishHeader(p);
}

int parseCallback(const void* ctx, uint8_t* rec) {
    return parseRecord(rec, static_cast<const uint8_t*>(ctx));
}

const size_t kRescanClear[] = {kOffFrameOffset, kOffEcs, kOffNextFrame};

}  // namespace

int JPUINTERFACEFROMCNM520::GetDec8bitBusReqNum(uint32_t format) {
    return format < 6 ? kBusReq8[format] : 0;
}

int JPUINTERFACEFROMCNM520::GetDec12bitBusReqNum(uint32_t format) {
    return format < 6 ? kBusReq12[format] : 0;
}

void JPUINTERFACEFROMCNM520::initDecodeState(_CNM520_PARSE_STATE_& state, const uint8_t* jpeg,
                                             uint32_t length) {
    initStreamFields(state.raw, RECORD_SIZE, jpeg, length);
}

int JPUINTERFACEFROMCNM520::JpegDecodeHeader(_CNM520_PARSE_STATE_& state,
                                             const uint8_t* jpeg) const {
    return parseRecord(state.raw, jpeg);
}

int JPUINTERFACEFROMCNM520::GetJpegHeaderForCnMDecoderCore(const uint8_t* jpeg, uint32_t length,
                                                           uint8_t* out, uint32_t capacity) const {
    if (length > 0x7FFFFFFFu) return kParseMalformed;  // the stream fields are int32
    _CNM520_PARSE_STATE_ state;
    initDecodeState(state, jpeg, length);
    DriverOps ops{RECORD_SIZE, parseCallback, jpeg, kRescanClear,
                  sizeof kRescanClear / sizeof kRescanClear[0]};
    return runDriver(ops, state.raw, out, capacity);
}
