// Pieces shared by the two decoder-header builders (JPUInterfaceFromCnM508,
// JPUInterfaceFromCnM520): little-endian record access, the bounded view of the JPEG that one
// header parse reads, marker search, the segment parsers whose layout does not depend on the
// decoder generation, the standard Huffman tables, the decoder-table construction and the
// multi-parse driver.
//
// Nothing here keeps state between calls; every function works on the record and the parse
// context it is given. All lengths that come from the JPEG are checked against the segment and
// the buffer before use.
#pragma once

#include <cstddef>
#include <cstdint>

namespace jpu {

// Results of one header parse (JpegDecodeHeader) and of the driver.
constexpr int kParseOk = 1;           // frame header parsed through SOS, tables built
constexpr int kParseMalformed = 0;    // the bytes are not a frame this decoder takes
constexpr int kParseNeedData = -1;    // the stream ends before the frame is complete
constexpr int kParseIncomplete = -2;  // the frame runs past the end of the buffer
constexpr int kOutputTooSmall = -4;   // output capacity too small for the next record

// Stream fields at the same offsets in both record formats.
constexpr size_t kOffStreamEnd = 0;      // low 32 bits of JPEG address + length
constexpr size_t kOffStreamEndFlag = 8;  // 0: more data may follow
constexpr size_t kOffStreamStart = 12;   // low 32 bits of the JPEG address
constexpr size_t kOffStreamSize = 20;    // JPEG length
constexpr size_t kOffFrameOffset = 28;   // position of the frame's SOI
constexpr size_t kOffSkipBytes = 32;     // bytes to skip before searching the next frame
constexpr size_t kOffNextFrame = 36;     // decoder's own next-frame field, only ever cleared

// Component table: 4 entries of id, H, V, Tq, Td, Ta (one byte each).
constexpr int kCompEntries = 4;
constexpr size_t kCompEntrySize = 6;

// Largest picture side either decoder takes.
constexpr uint32_t kMaxPictureSide = 32768;

inline void put32(uint8_t* rec, size_t off, uint32_t v) {
    rec[off] = static_cast<uint8_t>(v);
    rec[off + 1] = static_cast<uint8_t>(v >> 8);
    rec[off + 2] = static_cast<uint8_t>(v >> 16);
    rec[off + 3] = static_cast<uint8_t>(v >> 24);
}

inline void put16(uint8_t* rec, size_t off, uint16_t v) {
    rec[off] = static_cast<uint8_t>(v);
    rec[off + 1] = static_cast<uint8_t>(v >> 8);
}

inline uint32_t get32(const uint8_t* rec, size_t off) {
    return static_cast<uint32_t>(rec[off]) | static_cast<uint32_t>(rec[off + 1]) << 8 |
           static_cast<uint32_t>(rec[off + 2]) << 16 | static_cast<uint32_t>(rec[off + 3]) << 24;
}

// Zeroes a record and fills the stream fields for a JPEG of `len` bytes at `jpeg`. The decoder
// only ever sees the low 32 bits of host addresses; the real pointer is passed to each parse.
void initStreamFields(uint8_t* rec, size_t recSize, const uint8_t* jpeg, uint32_t len);

// One header parse in progress: the buffer it reads, where the frame starts and where it is.
// Invariant: frame <= pos <= len.
struct JpuParse {
    uint8_t* rec;
    const uint8_t* buf;
    size_t len;
    size_t frame;
    size_t pos;
    bool streamEnd;
    int frameComponents;    // Nf of the SOF seen in this parse, 0 before one
    unsigned quantDefined;  // bit n: table n defined in this parse

    // What a parser returns when the bytes it needs are not in the buffer.
    int shortResult() const { return streamEnd ? kParseIncomplete : kParseNeedData; }
    size_t left() const { return len - pos; }
};

// A segment's payload: [pos, end) of the buffer, already known to lie inside it.
struct Segment {
    const uint8_t* buf;
    size_t pos;
    size_t end;

    bool have(size_t n) const { return end - pos >= n; }
    uint8_t u8() { return buf[pos++]; }
    uint16_t u16() {
        uint16_t v = static_cast<uint16_t>(buf[pos] << 8 | buf[pos + 1]);
        pos += 2;
        return v;
    }
};

// Reads the marker's length field at p.pos (just after the marker) and checks that the segment
// fits: result kParseOk with `seg` set and p.pos moved past the segment, kParseMalformed for a
// length below 2, or the short result when the buffer ends first.
int openSegment(JpuParse& p, Segment& seg);

// The 16-bit value at `pos` when it is a marker (0xFF01 to 0xFFFE), else 0.
unsigned check_start_code(const uint8_t* buf, size_t len, size_t pos);
// Moves p.pos to the next marker; false when the buffer ends first.
bool find_start_code(JpuParse& p);
// Position of the first SOI (0xFFD8) at or after `from`, or -1.
long find_start_soi_code(const uint8_t* buf, size_t len, size_t from);

// The frame header fields both generations read from an SOF segment.
struct FrameHeader {
    uint8_t precision;
    uint32_t width;
    uint32_t height;
    int components;
};

// Sampling of a frame by its first component's factors; SamplingOther for anything else.
enum FrameSampling { Sampling420, Sampling422, Sampling440, Sampling444, SamplingOther };

// Reads precision, height, width and the component count of an SOF segment; false when the
// segment is too short for them.
bool readFrameFields(Segment& seg, FrameHeader& frame);

// Checks the picture size and the component count against the segment and reads the component
// table into the record at `compTab` (a later SOF replaces the whole table). kParseMalformed
// for a zero or oversized picture, a count outside 1 to 4 or disagreeing with the segment
// length, or a quantisation selector above 3.
int readComponentTable(JpuParse& p, Segment& seg, size_t compTab, const FrameHeader& frame);

// The sampling the record's component table at `compTab` describes (its first entry).
FrameSampling frameSampling(const uint8_t* rec, size_t compTab);

// APPn and other 0xFFEx/0xFFFx segments: skipped by their length.
int decode_app_header(JpuParse& p);
// DRI: the restart interval into the record at `offRestart`; -1 there when it is cut off.
int decode_dri_header(JpuParse& p, size_t offRestart);

// Standard (ITU-T T.81 Annex K) tables by record index: 0 DC luminance, 1 AC luminance,
// 2 DC chrominance, 3 AC chrominance.
bool matchesStandardTable(int index, const uint8_t* bits, const uint8_t* vals);

// Decoder tables for one Huffman table from its 16 code counts: VALPTR (0xFF for an unused
// length), MINCODE and MAXCODE (0xFFFF for an unused length), as int32 records.
void buildDecoderTable(const uint8_t* bits, uint8_t* rec, size_t offMincode, size_t offMaxcode,
                       size_t offValptr);

// Code counts whose codes fit their lengths, none of them all ones (T.81 Annex C); a table that
// fails this cannot be decoded.
bool huffmanCountsValid(const uint8_t* bits);

// Finish checks shared by both generations: an entropy offset is known, at least `minData`
// bytes follow it, and the buffer holds the frame's EOI after it. Result kParseOk when the frame
// may be handed to the decoder, else the result to return.
int checkFrameComplete(const JpuParse& p, uint32_t ecs, size_t minData);

// Record offsets a generation gives the parsers shared by both.
struct CommonLayout {
    size_t headerSize;  // followed by ECS, ECS page, ECS word and ECS bit, int32 each
    size_t restart;
    size_t compTab;      // 4 entries of id, H, V, Tq, Td, Ta
    size_t headerSlack;  // bytes beyond the header size a rescan needs in the buffer
};

// Protocol-specific segment parsers called by the marker walk.
struct MarkerParsers {
    int (*sof)(JpuParse& p);
    int (*dqt)(JpuParse& p);
    int (*dht)(JpuParse& p);
    bool acceptSof1;  // extended sequential frames
};

// Steps 1 to 3 of a parse: sets up `p` over the record's stream fields and finds the frame.
// kParseOk when the marker walk may start at p.pos.
int beginParse(JpuParse& p, uint8_t* rec, const uint8_t* jpeg, const CommonLayout& lay);

// Walks the markers of the frame up to SOS or EOI. kParseOk when the walk reached one of them,
// else the parse's result.
int walkMarkers(JpuParse& p, const CommonLayout& lay, const MarkerParsers& parsers);

// SOS: entropy offset and its page/word/bit pointers, Td and Ta of each scan component.
int decode_sos_header(JpuParse& p, const CommonLayout& lay);

// Every frame component has a defined quantisation table and selectors of at most `maxSel`,
// the widest value the record's selector words hold.
bool componentsUsable(const JpuParse& p, const CommonLayout& lay, unsigned maxSel);

// Selector word over component table entries 0 to 2 for field `field` (3 Tq, 4 Td, 5 Ta),
// `width` bits per component.
uint32_t selectorWord(const uint8_t* rec, const CommonLayout& lay, int field, int width);

// Writes the host-only parser position (start, index, size) at `off`.
void putParserPosition(const JpuParse& p, size_t off);

// The multi-parse driver, common to both record formats. `parse` runs one header parse on the
// state; `clearForRescan` lists the record offsets (int32 fields) cleared before a third parse.
struct DriverOps {
    size_t recordSize;
    int (*parse)(const void* ctx, uint8_t* rec);
    const void* ctx;
    const size_t* clearForRescan;
    size_t clearCount;
};
int runDriver(const DriverOps& ops, uint8_t* state, uint8_t* out, uint32_t capacity);

}  // namespace jpu
