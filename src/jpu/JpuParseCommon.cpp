#include "jpu/JpuParseCommon.h"

#include <cstring>

namespace jpu {

namespace {

// ITU-T T.81 Annex K.3, tables K.3 to K.6: counts of codes of length 1 to 16, then the values.
const uint8_t kStdDcLumBits[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
const uint8_t kStdDcChromBits[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
const uint8_t kStdDcVals[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

const uint8_t kStdAcLumBits[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
const uint8_t kStdAcLumVals[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

const uint8_t kStdAcChromBits[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
const uint8_t kStdAcChromVals[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

struct StdTable {
    const uint8_t* bits;
    const uint8_t* vals;
    size_t count;
};

const StdTable kStdTables[4] = {
    {kStdDcLumBits, kStdDcVals, sizeof kStdDcVals},
    {kStdAcLumBits, kStdAcLumVals, sizeof kStdAcLumVals},
    {kStdDcChromBits, kStdDcVals, sizeof kStdDcVals},
    {kStdAcChromBits, kStdAcChromVals, sizeof kStdAcChromVals},
};

constexpr uint32_t kUnusedCode = 0xFFFF;
constexpr uint32_t kMaxStreamSize = 0x7FFFFFFF;  // the record's stream fields are int32
constexpr uint8_t kUnusedValptr = 0xFF;
constexpr uint16_t kMarkerSoi = 0xFFD8;
constexpr uint8_t kEoiSecondByte = 0xD9;

uint32_t low32(const uint8_t* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

}  // namespace

void initStreamFields(uint8_t* rec, size_t recSize, const uint8_t* jpeg, uint32_t len) {
    memset(rec, 0, recSize);
    put32(rec, kOffStreamStart, low32(jpeg));
    // Computed on the integer so that a null or end-of-space pointer never forms an address.
    put32(rec, kOffStreamEnd, low32(jpeg) + len);
    put32(rec, kOffStreamSize, len);
}

int openSegment(JpuParse& p, Segment& seg) {
    if (p.left() < 2) return p.shortResult();
    size_t length = static_cast<size_t>(p.buf[p.pos] << 8 | p.buf[p.pos + 1]);
    if (length < 2) return kParseMalformed;
    if (p.left() < length) return p.shortResult();
    seg.buf = p.buf;
    seg.pos = p.pos + 2;
    seg.end = p.pos + length;
    p.pos += length;
    return kParseOk;
}

unsigned check_start_code(const uint8_t* buf, size_t len, size_t pos) {
    if (pos >= len || len - pos < 2 || buf[pos] != 0xFF) return 0;
    unsigned code = 0xFF00u | buf[pos + 1];
    return (code >= 0xFF01 && code <= 0xFFFE) ? code : 0;
}

bool find_start_code(JpuParse& p) {
    while (p.left() >= 2) {
        if (check_start_code(p.buf, p.len, p.pos)) return true;
        ++p.pos;
    }
    return false;
}

long find_start_soi_code(const uint8_t* buf, size_t len, size_t from) {
    for (size_t i = from; i + 1 < len; ++i) {
        if (buf[i] == 0xFF && buf[i + 1] == (kMarkerSoi & 0xFF)) return static_cast<long>(i);
    }
    return -1;
}

bool readFrameFields(Segment& seg, FrameHeader& frame) {
    if (!seg.have(6)) return false;
    frame.precision = seg.u8();
    frame.height = seg.u16();
    frame.width = seg.u16();
    frame.components = seg.u8();
    return true;
}

int readComponentTable(JpuParse& p, Segment& seg, size_t compTab, const FrameHeader& frame) {
    if (frame.width == 0 || frame.height == 0 || frame.width > kMaxPictureSide ||
        frame.height > kMaxPictureSide) {
        return kParseMalformed;
    }
    int nf = frame.components;
    if (nf < 1 || nf > kCompEntries || seg.end - seg.pos != 3u * nf) return kParseMalformed;
    memset(p.rec + compTab, 0, kCompEntries * kCompEntrySize);
    for (int j = 0; j < nf; ++j) {
        uint8_t* entry = p.rec + compTab + kCompEntrySize * j;
        entry[0] = seg.u8();
        uint8_t hv = seg.u8();
        entry[1] = hv >> 4;
        entry[2] = hv & 0x0F;
        entry[3] = seg.u8();
        if (entry[3] > 3) return kParseMalformed;
    }
    return kParseOk;
}

FrameSampling frameSampling(const uint8_t* rec, size_t compTab) {
    switch (rec[compTab + 1] << 2 | rec[compTab + 2]) {
        case 0x0A:
            return Sampling420;
        case 0x09:
            return Sampling422;
        case 0x06:
            return Sampling440;
        case 0x05:
            return Sampling444;
        default:
            return SamplingOther;
    }
}

int decode_app_header(JpuParse& p) {
    Segment seg{};
    return openSegment(p, seg);
}

int decode_dri_header(JpuParse& p, size_t offRestart) {
    Segment seg{};
    int r = openSegment(p, seg);
    if (r != kParseOk) {
        if (r != kParseMalformed) put32(p.rec, offRestart, 0xFFFFFFFFu);
        return r;
    }
    if (seg.end - seg.pos != 2) return kParseMalformed;
    put32(p.rec, offRestart, seg.u16());
    return kParseOk;
}

bool matchesStandardTable(int index, const uint8_t* bits, const uint8_t* vals) {
    if (index < 0 || index > 3) return false;
    const StdTable& std = kStdTables[index];
    return memcmp(bits, std.bits, 16) == 0 && memcmp(vals, std.vals, std.count) == 0;
}

void buildDecoderTable(const uint8_t* bits, uint8_t* rec, size_t offMincode, size_t offMaxcode,
                       size_t offValptr) {
    uint32_t code = 0;
    uint32_t index = 0;
    for (int len = 0; len < 16; ++len) {
        uint32_t n = bits[len];
        if (n > 0) {
            uint32_t maxcode = code + n - 1;
            rec[offValptr + len] = static_cast<uint8_t>(index);
            put32(rec, offMincode + 4 * len, code);
            put32(rec, offMaxcode + 4 * len, maxcode);
            index += n;
            code = (maxcode + 1) << 1;
        } else {
            rec[offValptr + len] = kUnusedValptr;
            put32(rec, offMincode + 4 * len, kUnusedCode);
            put32(rec, offMaxcode + 4 * len, kUnusedCode);
            code <<= 1;
        }
    }
}

bool huffmanCountsValid(const uint8_t* bits) {
    uint32_t code = 0;
    for (int len = 1; len <= 16; ++len) {
        code += bits[len - 1];
        // `code` is now one past the last code of this length; it must still fit in `len` bits
        // without being all ones.
        if (bits[len - 1] && code >= (1u << len)) return false;
        code <<= 1;
    }
    return true;
}

int checkFrameComplete(const JpuParse& p, uint32_t ecs, size_t minData) {
    if (ecs == 0 || p.frameComponents == 0) return kParseMalformed;
    size_t start = p.frame + ecs;
    // The decoder prefetches this much entropy data before it looks at the record again.
    if (start > p.len || p.len - start < minData) return kParseNeedData;
    // Inside entropy-coded data 0xFF is only ever followed by a stuffed 0x00 or an RSTn, so any
    // FF D9 after the entropy offset is the frame's EOI; without one the frame is cut off and
    // the decoder would run past the data. The search starts at the end, where the EOI is.
    for (size_t i = p.len - 1; i > start; --i) {
        if (p.buf[i] == kEoiSecondByte && p.buf[i - 1] == 0xFF) return kParseOk;
    }
    return p.shortResult();
}

int beginParse(JpuParse& p, uint8_t* rec, const uint8_t* jpeg, const CommonLayout& lay) {
    p.rec = rec;
    p.buf = jpeg;
    uint32_t size = get32(rec, kOffStreamSize);
    p.len = (jpeg != nullptr && size <= kMaxStreamSize) ? size : 0;
    p.streamEnd = get32(rec, kOffStreamEndFlag) != 0;
    p.frameComponents = 0;
    p.quantDefined = 0;

    size_t frame = get32(rec, kOffFrameOffset);
    p.frame = p.pos = frame < p.len ? frame : p.len;
    if (frame >= p.len) return p.shortResult();

    if (get32(rec, lay.headerSize + 4) == 0) {
        // No entropy offset yet: this parse looks for the next frame.
        size_t skip = get32(rec, kOffSkipBytes);
        if (skip >= p.len - frame) return p.shortResult();
        long soi = find_start_soi_code(jpeg, p.len, frame + skip);
        if (soi < 0) return p.shortResult();
        frame = static_cast<size_t>(soi);
        put32(rec, kOffFrameOffset, static_cast<uint32_t>(frame));
        p.frame = p.pos = frame;
    }

    uint64_t headerSize = get32(rec, lay.headerSize);
    if (headerSize > 0 && p.len - frame < headerSize + lay.headerSlack) return kParseIncomplete;

    memset(rec + lay.compTab, 0, kCompEntries * kCompEntrySize);
    return kParseOk;
}

int walkMarkers(JpuParse& p, const CommonLayout& lay, const MarkerParsers& parsers) {
    for (;;) {
        if (!find_start_code(p)) return p.shortResult();
        unsigned code = check_start_code(p.buf, p.len, p.pos);
        p.pos += 2;
        int r;
        switch (code) {
            case 0xFFD8:  // SOI
            case 0xFFD0:
            case 0xFFD1:
            case 0xFFD2:
            case 0xFFD3:
            case 0xFFD4:
            case 0xFFD5:
            case 0xFFD6:
            case 0xFFD7:  // RSTn carry no segment
                continue;
            case 0xFFC1:
                if (!parsers.acceptSof1) return kParseMalformed;
                r = parsers.sof(p);
                break;
            case 0xFFC0:
                r = parsers.sof(p);
                break;
            case 0xFFC4:
                r = parsers.dht(p);
                break;
            case 0xFFDB:
                r = parsers.dqt(p);
                break;
            case 0xFFDD:
                r = decode_dri_header(p, lay.restart);
                break;
            case 0xFFD9:  // EOI: the frame ends without a scan of its own
                return kParseOk;
            case 0xFFDA:
                return decode_sos_header(p, lay);
            default:
                // APPn, COM and the other 0xFFEx/0xFFFx segments; everything else (progressive,
                // lossless, arithmetic-coded frames, DAC, DNL, ...) is not for this decoder.
                if ((code & 0xFFE0) != 0xFFE0) return kParseMalformed;
                r = decode_app_header(p);
                break;
        }
        if (r != kParseOk) return r;
    }
}

int decode_sos_header(JpuParse& p, const CommonLayout& lay) {
    Segment seg{};
    int r = openSegment(p, seg);
    if (r != kParseOk) return r;
    if (!seg.have(1)) return kParseMalformed;
    int ns = seg.u8();
    // The decoders take one interleaved scan over every frame component.
    if (ns < 1 || ns != p.frameComponents || seg.end - seg.pos != 2u * ns + 3) {
        return kParseMalformed;
    }
    unsigned seen = 0;
    for (int i = 0; i < ns; ++i) {
        uint8_t selector = seg.u8();
        uint8_t tables = seg.u8();
        int match = -1;
        for (int j = 0; j < p.frameComponents; ++j) {
            if (p.rec[lay.compTab + kCompEntrySize * j] == selector) {
                match = j;
                break;
            }
        }
        if (match < 0 || (seen & (1u << match))) return kParseMalformed;
        seen |= 1u << match;
        uint8_t* entry = p.rec + lay.compTab + kCompEntrySize * match;
        entry[4] = tables >> 4;
        entry[5] = tables & 0x0F;
    }
    uint8_t ss = seg.u8();
    uint8_t se = seg.u8();
    uint8_t ahal = seg.u8();
    if (ss != 0 || se != 63 || ahal != 0) return kParseMalformed;

    uint32_t ecs = static_cast<uint32_t>(seg.end - p.frame);
    uint32_t abs = static_cast<uint32_t>(seg.end);
    uint32_t page = abs >> 8;
    uint32_t word = ((abs & 0xF0) >> 2) + ((page & 1) ? 64 : 0);
    if (get32(p.rec, lay.headerSize) == 0) put32(p.rec, lay.headerSize, ecs);
    put32(p.rec, lay.headerSize + 4, ecs);
    put32(p.rec, lay.headerSize + 8, page);
    put32(p.rec, lay.headerSize + 12, word);
    put32(p.rec, lay.headerSize + 16, (abs & 0x0F) * 8);
    return kParseOk;
}

bool componentsUsable(const JpuParse& p, const CommonLayout& lay, unsigned maxSel) {
    for (int j = 0; j < p.frameComponents; ++j) {
        const uint8_t* entry = p.rec + lay.compTab + kCompEntrySize * j;
        if (!(p.quantDefined & (1u << entry[3]))) return false;
        if (entry[3] > maxSel || entry[4] > maxSel || entry[5] > maxSel) return false;
    }
    return true;
}

uint32_t selectorWord(const uint8_t* rec, const CommonLayout& lay, int field, int width) {
    uint32_t v0 = rec[lay.compTab + field];
    uint32_t v1 = rec[lay.compTab + kCompEntrySize + field];
    uint32_t v2 = rec[lay.compTab + 2 * kCompEntrySize + field];
    return v0 << (2 * width) | v1 << width | v2;
}

void putParserPosition(const JpuParse& p, size_t off) {
    put32(p.rec, off, low32(p.buf) + static_cast<uint32_t>(p.frame));
    put32(p.rec, off + 4, static_cast<uint32_t>(p.pos - p.frame));
    put32(p.rec, off + 8, static_cast<uint32_t>(p.len - p.frame));
}

int runDriver(const DriverOps& ops, uint8_t* state, uint8_t* out, uint32_t capacity) {
    const size_t s = ops.recordSize;
    int r = ops.parse(ops.ctx, state);
    if (r != kParseOk) return r;
    if (out == nullptr || capacity <= s) return kOutputTooSmall;
    memcpy(out + 1, state, s);
    out[0] = 1;

    // A second parse of the same state repeats the first for a single frame in the buffer
    // (its frame offset stays); the decoder takes both records.
    r = ops.parse(ops.ctx, state);
    if (r == kParseMalformed) return 0;
    if (r == kParseNeedData) return static_cast<int>(1 + s);
    if (capacity <= 2 * s) return kOutputTooSmall;
    memcpy(out + 1 + s, state, s);
    out[0] = 2;
    if (r != kParseIncomplete) return static_cast<int>(1 + 2 * s);

    // The frame did not fit behind the recorded header: search the buffer again from its start.
    for (size_t i = 0; i < ops.clearCount; ++i) put32(state, ops.clearForRescan[i], 0);
    r = ops.parse(ops.ctx, state);
    if (r == kParseMalformed) return 0;
    if (capacity <= 3 * s) return kOutputTooSmall;
    memcpy(out + 1 + 2 * s, state, s);
    out[0] = 3;
    return static_cast<int>(1 + 3 * s);
}

}  // namespace jpu
