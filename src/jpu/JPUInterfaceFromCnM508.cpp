#include "jpu/JPUInterfaceFromCnM508.h"

#include <cstring>

#include "jpu/JpuParseCommon.h"

using namespace jpu;

namespace {

// Record layout of the 50x-family decoder state.
constexpr size_t kOffSwapMode = 104;
constexpr size_t kOffWidth = 116;
constexpr size_t kOffHeight = 120;
constexpr size_t kOffAlignedWidth = 124;
constexpr size_t kOffAlignedHeight = 128;
constexpr size_t kOffHeaderSize = 132;  // then ECS 136, page 140, word 144, bit 148
constexpr size_t kOffEcs = 136;
constexpr size_t kOffFormat = 152;
constexpr size_t kOffRestart = 156;
constexpr size_t kOffUserHuffman = 160;
constexpr size_t kOffDcSelectors = 164;
constexpr size_t kOffAcSelectors = 168;
constexpr size_t kOffQuantSelectors = 172;
constexpr size_t kOffHuffVal = 176;
constexpr size_t kHuffValStride = 162;
constexpr size_t kOffHuffBits = 824;
constexpr size_t kHuffBitsStride = 256;
constexpr size_t kOffCompTab = 1848;
constexpr size_t kOffQuant = 1872;
constexpr size_t kOffMincode = 2128;
constexpr size_t kOffMaxcode = 2384;
constexpr size_t kOffValptr = 2640;
constexpr size_t kOffBusReq = 2716;
constexpr size_t kOffCompCount = 2720;
constexpr size_t kOffMcuBlocks = 2724;
constexpr size_t kOffCompInfo = 2728;
constexpr size_t kOffMcuWidth = 2756;
constexpr size_t kOffMcuHeight = 2760;
constexpr size_t kOffParserPos = 2764;

constexpr int kHuffTables = 4;
constexpr size_t kMaxHuffValues = 162;  // room per table in the record
constexpr size_t kMinEntropyData = 512;

const CommonLayout kLayout = {kOffHeaderSize, kOffRestart, kOffCompTab, 0};

enum Format508 : uint32_t { F420 = 0, F422 = 1, F440 = 2, F444 = 3, F400 = 4 };

struct Geometry {
    uint32_t alignW, alignH, busReq, comps, blocks, info[3], mcuW, mcuH;
};

const Geometry kGeometry[5] = {
    {16, 16, 2, 3, 6, {10, 5, 5}, 16, 16},  // 4:2:0
    {16, 8, 3, 3, 4, {9, 5, 5}, 16, 8},     // 4:2:2
    {8, 16, 3, 3, 4, {6, 5, 5}, 8, 16},     // 4:4:0
    {8, 8, 4, 3, 3, {5, 5, 5}, 8, 8},       // 4:4:4
    {8, 8, 4, 1, 1, {5, 0, 0}, 8, 8},       // 4:0:0
};

int decode_sof_header(JpuParse& p) {
    Segment seg{};
    int r = openSegment(p, seg);
    if (r != kParseOk) return r;
    FrameHeader frame{};
    if (!readFrameFields(seg, frame)) return kParseMalformed;
    // This decoder has 8-bit sample paths only.
    if (frame.precision != 8) return kParseMalformed;
    r = readComponentTable(p, seg, kOffCompTab, frame);
    if (r != kParseOk) return r;
    put32(p.rec, kOffWidth, frame.width);
    put32(p.rec, kOffHeight, frame.height);

    // Samplings the decoder has no layout for fall back to its grey layout.
    static const uint32_t kFormats[] = {F420, F422, F440, F444, F400};
    uint32_t format =
        frame.components > 1 ? kFormats[frameSampling(p.rec, kOffCompTab)] : uint32_t{F400};
    put32(p.rec, kOffFormat, format);
    p.frameComponents = frame.components;
    return kParseOk;
}

int decode_dqt_header(JpuParse& p) {
    Segment seg{};
    int r = openSegment(p, seg);
    if (r != kParseOk) return r;
    while (seg.have(1)) {
        uint8_t pqtq = seg.u8();
        unsigned tq = pqtq & 0x0F;
        // 8-bit entries only: Pq must be 0.
        if ((pqtq >> 4) != 0 || tq > 3 || !seg.have(64)) return kParseMalformed;
        memcpy(p.rec + kOffQuant + 64 * tq, seg.buf + seg.pos, 64);
        seg.pos += 64;
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
        if (tc > 1 || th > 3) return kParseMalformed;
        const uint8_t* bits = seg.buf + seg.pos;
        seg.pos += 16;
        size_t total = 0;
        for (int i = 0; i < 16; ++i) total += bits[i];
        if (total > kMaxHuffValues || !seg.have(total) || !huffmanCountsValid(bits)) {
            return kParseMalformed;
        }
        const uint8_t* vals = seg.buf + seg.pos;
        seg.pos += total;

        // Table slots: DC 0, AC 0, DC 1, AC 1; the decoder has two of each kind.
        int t = static_cast<int>(tc + 2 * (th & 1));
        memcpy(p.rec + kOffHuffBits + kHuffBitsStride * t, bits, 16);
        uint8_t* dst = p.rec + kOffHuffVal + kHuffValStride * t;
        memcpy(dst, vals, total);
        memset(dst + total, 0, kHuffValStride - total);
        if (!matchesStandardTable(t, bits, vals)) put32(p.rec, kOffUserHuffman, 1);
    }
    return kParseOk;
}

int finishHeader(JpuParse& p) {
    putParserPosition(p, kOffParserPos);
    int r = checkFrameComplete(p, get32(p.rec, kOffEcs), kMinEntropyData);
    if (r != kParseOk) return r;
    // One selector bit per component in the record.
    if (!componentsUsable(p, kLayout, 1)) return kParseMalformed;

    for (int t = 0; t < kHuffTables; ++t) {
        buildDecoderTable(p.rec + kOffHuffBits + kHuffBitsStride * t, p.rec, kOffMincode + 64 * t,
                          kOffMaxcode + 64 * t, kOffValptr + 16 * t);
    }
    put32(p.rec, kOffQuantSelectors, selectorWord(p.rec, kLayout, 3, 1));
    put32(p.rec, kOffDcSelectors, selectorWord(p.rec, kLayout, 4, 1));
    put32(p.rec, kOffAcSelectors, selectorWord(p.rec, kLayout, 5, 1));

    uint32_t format = get32(p.rec, kOffFormat);
    if (format > F400) return kParseMalformed;
    const Geometry& g = kGeometry[format];
    uint32_t width = get32(p.rec, kOffWidth);
    uint32_t height = get32(p.rec, kOffHeight);
    put32(p.rec, kOffAlignedWidth, (width + g.alignW - 1) / g.alignW * g.alignW);
    put32(p.rec, kOffAlignedHeight, (height + g.alignH - 1) / g.alignH * g.alignH);
    put32(p.rec, kOffBusReq, g.busReq);
    put32(p.rec, kOffCompCount, g.comps);
    put32(p.rec, kOffMcuBlocks, g.blocks);
    for (int i = 0; i < 3; ++i) put32(p.rec, kOffCompInfo + 4 * i, g.info[i]);
    put32(p.rec, kOffMcuWidth, g.mcuW);
    put32(p.rec, kOffMcuHeight, g.mcuH);
    return kParseOk;
}

const MarkerParsers kParsers = {decode_sof_header, decode_dqt_header, decode_dth_header, false};

int parseRecord(uint8_t* rec, const uint8_t* jpeg) {
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

// Cleared before the driver searches the buffer again from its start.
const size_t kRescanClear[] = {kOffFrameOffset, kOffEcs, kOffNextFrame};

}  // namespace

void JPUINTERFACEFROMCNM508::initDecodeState(_CNM508_PARSE_STATE_& state, const uint8_t* jpeg,
                                             uint32_t length) {
    initStreamFields(state.raw, RECORD_SIZE, jpeg, length);
    put32(state.raw, kOffSwapMode, 0);
}

int JPUINTERFACEFROMCNM508::JpegDecodeHeader(_CNM508_PARSE_STATE_& state,
                                             const uint8_t* jpeg) const {
    return parseRecord(state.raw, jpeg);
}

int JPUINTERFACEFROMCNM508::GetJpegHeaderForCnMDecoderCore(const uint8_t* jpeg, uint32_t length,
                                                           uint8_t* out, uint32_t capacity) const {
    if (length > 0x7FFFFFFFu) return kParseMalformed;  // the stream fields are int32
    _CNM508_PARSE_STATE_ state;
    initDecodeState(state, jpeg, length);
    DriverOps ops{RECORD_SIZE, parseCallback, jpeg, kRescanClear,
                  sizeof kRescanClear / sizeof kRescanClear[0]};
    return runDriver(ops, state.raw, out, capacity);
}
