// Image packets of the emulated model-520 adapter: the checks of the wire and data headers, the
// check of the decoder header against the adapter's own parse of the JPEG (libjpeg's header
// reader, not the host's parser that is being checked), decoding with libjpeg-turbo, painting
// into the picture of the monitor bound to the packet's display device, and the type-9
// frame-index acknowledgement. Everything here runs inside out() with mutex() held.
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstring>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

#include "emulator/adapters/model520.h"

namespace emu {

namespace {

constexpr size_t kHeader = 32;
constexpr size_t kDataHeader = 80;
constexpr size_t kJpegAt = kHeader + kDataHeader;
constexpr size_t kRecord = 6120;
constexpr uint8_t kFormatPadded = 0xE0;
constexpr size_t kFrameIndexesKept = 65536;

uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
int32_t s32(const uint8_t* p) { return static_cast<int32_t>(u32(p)); }

// Zig-zag (stream) position k to natural position, T.81 figure A.6.
const int kNatural[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                          12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                          35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                          58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// The decoder-record fields this adapter reads (protocol 1).
namespace rec {
constexpr size_t kStreamEnd = 0, kStreamStart = 12, kStreamSize = 20, kFrameOffset = 28;
constexpr size_t kWidth = 76, kHeight = 80, kAlignedW = 84, kAlignedH = 88, kHeaderSize = 92;
constexpr size_t kEcs = 96, kEcsPage = 100, kEcsWord = 104, kEcsBit = 108, kFormat = 112;
constexpr size_t kRestart = 116, kUserHuffman = 120;
constexpr size_t kDcSel = 128, kAcSel = 132, kQuantSel = 136;
constexpr size_t kHuffVal = 140, kHuffBits = 2188, kHuffStride = 256, kQuant = 4236;
constexpr size_t kMincode = 4748, kMaxcode = 5260, kValptr = 5772, kCompTab = 5900;
constexpr size_t kBusReq = 5924, kCompCount = 5928, kMcuBlocks = 5932, kCompInfo = 5936;
constexpr size_t kMcuW = 5964, kMcuH = 5968, kTwelveBit = 6032, kQuantPrec = 6036;
constexpr size_t kPrecision = 6064, kHuffOrder = 6084, kHuffCount = 6116;
}  // namespace rec

// What the adapter's own JPEG reader found. Plain data: filled behind a setjmp.
struct JpegFacts {
    bool ok = false;
    char message[JMSG_LENGTH_MAX] = {0};
    int width = 0, height = 0, precision = 0, components = 0;
    int id[4] = {0}, h[4] = {0}, v[4] = {0}, tq[4] = {0}, td[4] = {0}, ta[4] = {0};
    unsigned restart = 0;
    size_t entropyOffset = 0;  // from the start of the JPEG
    bool haveQuant[4] = {false, false, false, false};
    uint16_t quant[4][64] = {};                       // natural order
    bool haveHuff[4] = {false, false, false, false};  // 0 DC0, 1 AC0, 2 DC1, 3 AC1
    uint8_t bits[4][17] = {};
    uint8_t vals[4][256] = {};
    bool standardHuffman = true;
    size_t end = 0;  // bytes the decoder consumed (through EOI); 0 when not decoded
};

struct ErrorMgr {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

void errorExit(j_common_ptr c) {
    auto* e = reinterpret_cast<ErrorMgr*>(c->err);
    longjmp(e->jump, 1);
}
void quiet(j_common_ptr) {}

// The T.81 Annex K tables as libjpeg installs them for a compressor.
struct StandardTables {
    uint8_t bits[4][17] = {};
    uint8_t vals[4][256] = {};
};
const StandardTables& standardTables() {
    static const StandardTables tables = [] {
        StandardTables t;
        jpeg_compress_struct c;
        jpeg_error_mgr err;
        c.err = jpeg_std_error(&err);
        jpeg_create_compress(&c);
        c.in_color_space = JCS_RGB;
        c.input_components = 3;
        jpeg_set_defaults(&c);
        for (int th = 0; th < 2; ++th) {
            const JHUFF_TBL* dc = c.dc_huff_tbl_ptrs[th];
            const JHUFF_TBL* ac = c.ac_huff_tbl_ptrs[th];
            memcpy(t.bits[2 * th], dc->bits, 17);
            memcpy(t.vals[2 * th], dc->huffval, 256);
            memcpy(t.bits[2 * th + 1], ac->bits, 17);
            memcpy(t.vals[2 * th + 1], ac->huffval, 256);
        }
        jpeg_destroy_compress(&c);
        return t;
    }();
    return tables;
}

// Reads the JPEG's header (and, with `pixels`, decodes it to 32-bit B, G, R, X rows of
// width x 4 bytes). No object with a destructor lives in this frame: libjpeg leaves by longjmp.
void readJpeg(const uint8_t* data, size_t length, JpegFacts* f, std::vector<uint8_t>* pixels) {
    jpeg_decompress_struct d;
    ErrorMgr err;
    d.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = errorExit;
    err.pub.output_message = quiet;
    jpeg_create_decompress(&d);
    if (setjmp(err.jump)) {
        (*d.err->format_message)(reinterpret_cast<j_common_ptr>(&d), f->message);
        jpeg_destroy_decompress(&d);
        f->ok = false;
        return;
    }
    jpeg_mem_src(&d, data, static_cast<unsigned long>(length));
    if (jpeg_read_header(&d, TRUE) != JPEG_HEADER_OK) {
        snprintf(f->message, sizeof f->message, "no image in the JPEG");
        jpeg_destroy_decompress(&d);
        return;
    }
    f->width = static_cast<int>(d.image_width);
    f->height = static_cast<int>(d.image_height);
    f->precision = d.data_precision;
    f->components = d.num_components;
    for (int i = 0; i < d.num_components && i < 4; ++i) {
        const jpeg_component_info& ci = d.comp_info[i];
        f->id[i] = ci.component_id;
        f->h[i] = ci.h_samp_factor;
        f->v[i] = ci.v_samp_factor;
        f->tq[i] = ci.quant_tbl_no;
        f->td[i] = ci.dc_tbl_no;
        f->ta[i] = ci.ac_tbl_no;
    }
    f->restart = d.restart_interval;
    // The reader stops right after the scan header: what is left is entropy data.
    f->entropyOffset = length - d.src->bytes_in_buffer;
    for (int q = 0; q < 4; ++q) {
        if (!d.quant_tbl_ptrs[q]) continue;
        f->haveQuant[q] = true;
        for (int k = 0; k < 64; ++k) f->quant[q][k] = d.quant_tbl_ptrs[q]->quantval[k];
    }
    const StandardTables& std = standardTables();
    for (int th = 0; th < 2; ++th) {
        const JHUFF_TBL* tables[2] = {d.dc_huff_tbl_ptrs[th], d.ac_huff_tbl_ptrs[th]};
        for (int tc = 0; tc < 2; ++tc) {
            const int t = tc + 2 * th;
            if (!tables[tc]) continue;
            f->haveHuff[t] = true;
            memcpy(f->bits[t], tables[tc]->bits, 17);
            memcpy(f->vals[t], tables[tc]->huffval, 256);
            int total = 0;
            for (int l = 1; l <= 16; ++l) total += f->bits[t][l];
            if (memcmp(f->bits[t] + 1, std.bits[t] + 1, 16) != 0 ||
                memcmp(f->vals[t], std.vals[t], static_cast<size_t>(total)) != 0)
                f->standardHuffman = false;
        }
    }
    if (pixels) {
        d.out_color_space = JCS_EXT_BGRX;
        jpeg_start_decompress(&d);
        const size_t row = static_cast<size_t>(d.output_width) * 4;
        pixels->resize(row * d.output_height);
        while (d.output_scanline < d.output_height) {
            JSAMPROW r = pixels->data() + row * d.output_scanline;
            jpeg_read_scanlines(&d, &r, 1);
        }
        jpeg_finish_decompress(&d);
        f->end = length - d.src->bytes_in_buffer;
    }
    jpeg_destroy_decompress(&d);
    f->ok = true;
}

// Format code, aligned width and height, MCU, bus requests, components, blocks per MCU and the
// first component-information word the decoder expects for a sampling (8-bit pictures).
struct Geometry {
    uint32_t format, alignW, alignH, mcuW, mcuH, busReq, comps, blocks, info0, info12;
};
bool geometryOf(const JpegFacts& f, Geometry* g) {
    if (f.components == 1) {
        *g = {5, 8, 8, 32, 8, 2, 1, 4, 33, 0};
        return true;
    }
    if (f.components != 3) return false;
    const int key = (f.h[0] << 2) | f.v[0];
    switch (key) {
        case 0x0A:
            *g = {0, 16, 16, 16, 16, 4, 3, 6, 18, 5};
            return true;
        case 0x09:
            *g = {1, 16, 8, 16, 8, 4, 3, 4, 17, 5};
            return true;
        case 0x06:
            *g = {3, 8, 16, 8, 16, 8, 3, 4, 10, 5};
            return true;
        case 0x05:
            *g = {4, 8, 8, 8, 8, 4, 3, 3, 9, 5};
            return true;
        default:
            return false;
    }
}

uint32_t alignUp(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }

// One decoder record against the facts; "" when it agrees. `jpegLength` is the JPEG length the
// host announced (its rounded length).
std::string checkRecord(const uint8_t* r, const JpegFacts& f, uint32_t jpegLength) {
    auto field = [](const char* name, long long want, long long got) {
        return std::string(name) + " " + std::to_string(got) + ", the JPEG says " +
               std::to_string(want);
    };
    if (u32(r + rec::kStreamSize) != jpegLength)
        return field("stream size", jpegLength, u32(r + rec::kStreamSize));
    if (u32(r + rec::kStreamEnd) - u32(r + rec::kStreamStart) != jpegLength)
        return "stream end is not stream start plus its size";
    const uint32_t frame = u32(r + rec::kFrameOffset);
    if (frame != 0) return field("frame offset", 0, frame);
    if (s32(r + rec::kWidth) != f.width) return field("width", f.width, s32(r + rec::kWidth));
    if (s32(r + rec::kHeight) != f.height) return field("height", f.height, s32(r + rec::kHeight));
    if (u32(r + rec::kPrecision) != static_cast<uint32_t>(f.precision) || u32(r + rec::kTwelveBit))
        return field("sample precision", f.precision, u32(r + rec::kPrecision));
    Geometry g{};
    if (!geometryOf(f, &g)) return "a sampling the decoder does not take";
    if (u32(r + rec::kFormat) != g.format) return field("format", g.format, u32(r + rec::kFormat));
    if (u32(r + rec::kAlignedW) != alignUp(static_cast<uint32_t>(f.width), g.alignW) ||
        u32(r + rec::kAlignedH) != alignUp(static_cast<uint32_t>(f.height), g.alignH))
        return "aligned size " + std::to_string(u32(r + rec::kAlignedW)) + " x " +
               std::to_string(u32(r + rec::kAlignedH)) + " wrong for " + std::to_string(f.width) +
               " x " + std::to_string(f.height);
    if (u32(r + rec::kMcuW) != g.mcuW || u32(r + rec::kMcuH) != g.mcuH) return "MCU size wrong";
    if (u32(r + rec::kBusReq) != g.busReq)
        return field("bus requests", g.busReq, u32(r + rec::kBusReq));
    if (u32(r + rec::kCompCount) != g.comps || u32(r + rec::kMcuBlocks) != g.blocks)
        return "component count or blocks per MCU wrong";
    if (u32(r + rec::kCompInfo) != g.info0 || u32(r + rec::kCompInfo + 4) != g.info12 ||
        u32(r + rec::kCompInfo + 8) != g.info12)
        return "component information words wrong";

    const uint32_t ecs = u32(r + rec::kEcs);
    if (ecs != f.entropyOffset) return field("entropy-data offset", f.entropyOffset, ecs);
    if (u32(r + rec::kHeaderSize) != ecs) return "header size is not the entropy-data offset";
    const uint32_t at = ecs + frame;
    const uint32_t page = at >> 8;
    if (u32(r + rec::kEcsPage) != page ||
        u32(r + rec::kEcsWord) != ((at & 0xF0) >> 2) + (page & 1 ? 64 : 0) ||
        u32(r + rec::kEcsBit) != (at & 0x0F) * 8)
        return "entropy-data page, word or bit pointer wrong";
    if (u32(r + rec::kRestart) != f.restart)
        return field("restart interval", f.restart, u32(r + rec::kRestart));

    uint32_t dc = 0, ac = 0, q = 0;
    for (int c = 0; c < 3; ++c) {
        const int i = c < f.components ? c : -1;
        const uint8_t* e = r + rec::kCompTab + 6 * c;
        if (i >= 0 && (e[0] != f.id[i] || e[1] != f.h[i] || e[2] != f.v[i] || e[3] != f.tq[i] ||
                       e[4] != f.td[i] || e[5] != f.ta[i]))
            return "component table entry " + std::to_string(c) + " wrong";
        const int shift = 2 - c;
        dc |= static_cast<uint32_t>(e[4]) << shift;
        ac |= static_cast<uint32_t>(e[5]) << shift;
        q |= static_cast<uint32_t>(e[3]) << shift;
        if (i >= 0 && (f.td[i] > 1 || f.ta[i] > 1 || f.tq[i] > 1))
            return "table selector does not fit the decoder's selector word";
    }
    if (u32(r + rec::kDcSel) != dc || u32(r + rec::kAcSel) != ac || u32(r + rec::kQuantSel) != q)
        return "table selector words disagree with the component table";

    for (int t = 0; t < 4; ++t) {
        if (!f.haveQuant[t]) continue;
        if (u32(r + rec::kQuantPrec + 4 * t) != 0) return "quantisation precision wrong";
        for (int k = 0; k < 64; ++k)
            if (u16(r + rec::kQuant + 128 * t + 2 * k) != f.quant[t][kNatural[k]])
                return "quantisation table " + std::to_string(t) + " entry " + std::to_string(k) +
                       " wrong";
    }
    int defined = 0;
    for (int t = 0; t < 4; ++t) {
        if (!f.haveHuff[t]) continue;
        ++defined;
        const uint8_t* bits = r + rec::kHuffBits + rec::kHuffStride * t;
        if (memcmp(bits, f.bits[t] + 1, 16) != 0)
            return "Huffman code counts of table " + std::to_string(t) + " wrong";
        int total = 0;
        for (int l = 1; l <= 16; ++l) total += f.bits[t][l];
        if (memcmp(r + rec::kHuffVal + rec::kHuffStride * t, f.vals[t], static_cast<size_t>(total)))
            return "Huffman values of table " + std::to_string(t) + " wrong";
        // The decoder's tables (T.81 F.2.2.3): smallest and largest code and first value index
        // per code length.
        int code = 0, index = 0;
        bool any = false;
        for (int l = 0; l < 16; ++l) {
            const int n = f.bits[t][l + 1];
            int mincode = 0xFFFF, maxcode = 0xFFFF, valptr = 0xFF;
            if (n > 0) {
                valptr = index;
                mincode = code;
                maxcode = code + n - 1;
                index += n;
                code = (maxcode + 1) * 2;
                any = true;
            } else if (any) {
                code *= 2;
            }
            if (s32(r + rec::kMincode + 64 * t + 4 * l) != mincode ||
                s32(r + rec::kMaxcode + 64 * t + 4 * l) != maxcode ||
                r[rec::kValptr + 16 * t + l] != valptr)
                return "decoding table of Huffman table " + std::to_string(t) +
                       " wrong at length " + std::to_string(l + 1);
        }
    }
    if (s32(r + rec::kHuffCount) != defined)
        return field("Huffman tables defined", defined, s32(r + rec::kHuffCount));
    for (int k = 0; k < 8; ++k) {
        const int32_t t = s32(r + rec::kHuffOrder + 4 * k);
        if (k < defined ? (t < 0 || t > 3 || !f.haveHuff[t]) : t != -1)
            return "Huffman definition order wrong";
    }
    if (u32(r + rec::kUserHuffman) != (f.standardHuffman ? 0u : 1u))
        return field("user-Huffman flag", f.standardHuffman ? 0 : 1, u32(r + rec::kUserHuffman));
    return "";
}

// Serial comparison of frame indexes (they wrap at 2^32).
bool newer(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

}  // namespace

// Framing: the wire header, the filler rule, the data header's lengths and constant bytes.
void Model520::checkImage(M520Message& m, const uint8_t* data, size_t length) {
    const M520Header& h = m.header;
    auto fail = [&](const std::string& why) { m.error = "image packet: " + why; };
    if (h.kind != 2 || h.dataClass != 2 || h.dataType != 4 || h.responseRequested)
        return fail("header is not kind 2, class 2, type 4 without response");
    if (h.source != 0 || h.node != 0) return fail("source or input node field set");
    size_t packet = kHeader + h.payloadLength;
    if (packet % 512 == 0) {
        // A transfer must not end on a packet boundary: a filler block follows.
        if (length != packet + kHeader) return fail("filler block missing");
        static const uint8_t filler[kHeader] = {'V', 'E', 'L', 'C'};
        if (memcmp(data + packet, filler, kHeader) != 0) return fail("filler block malformed");
        m.filler = true;
    } else if (length != packet) {
        return fail("payload length " + std::to_string(h.payloadLength) + " but " +
                    std::to_string(length - kHeader) + " bytes arrived");
    }
    if (h.payloadLength < kDataHeader) return fail("no data header");
    const uint8_t* d = data + kHeader;
    const uint32_t follows = u32(d + 4), decoder = u32(d + 72);
    if (u32(d) != kDataHeader) return fail("data header length is not 80");
    if (follows != h.payloadLength - kDataHeader) return fail("data header length field disagrees");
    if (decoder > follows) return fail("decoder header longer than the data");
    static const size_t zeros[][2] = {{20, 24}, {30, 36}, {37, 40}, {45, 72}, {76, 80}};
    for (const auto& z : zeros)
        for (size_t i = z[0]; i < z[1]; ++i)
            if (d[i] != 0) return fail("data header byte " + std::to_string(32 + i) + " not 0");
    if (d[36] != 1 || d[41] != 0 || d[42] != 0x33 || d[44] != 5)
        return fail("fixed data header bytes wrong");
    // The format and codec bytes come from the host's frame record (its model-520 pipeline
    // uses 0xE0 and 17); only the padded format rounds the JPEG to whole kilobytes.
    const uint32_t jpeg = follows - decoder;
    if (d[40] == kFormatPadded && jpeg % 1024 != 0) return fail("JPEG length not rounded to 1024");
    if (jpeg < 2 || data[kJpegAt] != 0xFF || data[kJpegAt + 1] != 0xD8)
        return fail("no JPEG at offset 112");
    if (decoder == 0) return fail("no decoder header");
    const uint8_t* dh = data + kJpegAt + jpeg;
    if ((decoder - 1) % kRecord != 0 || dh[0] != (decoder - 1) / kRecord || dh[0] < 1 || dh[0] > 3)
        return fail("decoder header is not a count byte and whole records");
    m.payload.assign(d, d + kDataHeader);
}

// A framed packet: its display device, the decoder header against the JPEG, the picture.
void Model520::takeImage(M520Message& m, const uint8_t* data, size_t length) {
    const M520Header& h = m.header;
    const uint8_t* d = data + kHeader;
    const uint32_t frameIndex = u32(d + 8);
    const uint32_t x = u32(d + 12), y = u32(d + 16);
    const uint32_t w = u16(d + 24), hgt = u16(d + 26), pitch = u16(d + 28);
    const uint32_t decoder = u32(d + 72), jpeg = u32(d + 4) - decoder;
    auto fail = [&](const std::string& why) {
        if (m.error.empty()) m.error = "image packet: " + why;
    };

    const uint16_t dd = h.displayDevice;
    const DisplayDevice* dev = dd < 3 && devices_[dd].exists ? &devices_[dd] : nullptr;
    int output = -1;
    if (dev && dev->monitor >= 0)
        for (int i = 0; i < 3; ++i)
            if (plugged_[i] && monitors_[i].target == dev->monitor) output = i;
    // A packet for a display device the adapter does not have is dropped unseen (the framing
    // was checked; no monitor can show it).
    if (!dev) {
        ++imagesWithoutDevice_;
        return;
    }
    // The adapter finishes the frame index whatever it could make of the picture.
    acknowledgeFrame(dd, frameIndex);
    if (dev->source < 0) return fail("display device " + std::to_string(dd) + " has no source");
    if (dev->monitor < 0 || h.target != dev->monitor)
        return fail("target " + std::to_string(h.target) + " is not the display device's monitor");
    // The monitor has just been unplugged: frames still on their way find no screen.
    if (output < 0) {
        ++imagesWithoutDevice_;
        return;
    }

    Picture& pic = pictures_[output];
    ++pic.packets;
    pic.bytesReceived += length;
    if (pic.frameIndexes.size() >= kFrameIndexesKept)
        pic.frameIndexes.erase(pic.frameIndexes.begin(),
                               pic.frameIndexes.begin() + kFrameIndexesKept / 2);
    pic.frameIndexes.push_back(frameIndex);

    if (w == 0 || hgt == 0) return fail("empty rectangle");
    if (pitch != ((w * 4) & 0xFFFF))
        return fail("pitch " + std::to_string(pitch) + " for width " + std::to_string(w));
    const int modeW = dev->width, modeH = dev->height;
    if (modeW > 0 &&
        (x + w > static_cast<uint32_t>(modeW) || y + hgt > static_cast<uint32_t>(modeH)))
        return fail("rectangle outside the display device's mode");

    JpegFacts facts;
    std::vector<uint8_t> decoded;
    const uint8_t* jp = data + kJpegAt;
    readJpeg(jp, jpeg, &facts, config_.decodeImages ? &decoded : nullptr);
    if (!facts.ok) return fail(std::string("JPEG not readable: ") + facts.message);
    if (static_cast<uint32_t>(facts.width) != w || static_cast<uint32_t>(facts.height) != hgt)
        return fail("JPEG of " + std::to_string(facts.width) + " x " +
                    std::to_string(facts.height) + " for a rectangle of " + std::to_string(w) +
                    " x " + std::to_string(hgt));
    const uint8_t* dh = jp + jpeg;
    for (int k = 0; k < dh[0]; ++k) {
        const std::string why = checkRecord(dh + 1 + kRecord * k, facts, jpeg);
        if (!why.empty()) return fail("decoder record " + std::to_string(k + 1) + ": " + why);
    }
    if (!config_.decodeImages) return;
    // What follows the JPEG up to its announced length reaches the device too and should be
    // zeros; stale bytes there do not spoil the picture, so they are counted, not refused.
    for (size_t i = facts.end; i < jpeg; ++i)
        if (jp[i] != 0) {
            ++pic.dirtyPadding;
            break;
        }

    // A frame older than the one on the screen (frames of one display device can overtake one
    // another on their way through the host) is not shown; a frame-index reset starts afresh.
    if (pic.framesShown > 0 && resetsSeen_[output] == frameIndexResets_ &&
        !newer(frameIndex, lastShown_[output])) {
        ++pic.stale;
        return;
    }
    resetsSeen_[output] = frameIndexResets_;
    lastShown_[output] = frameIndex;
    pic.shownIndex = frameIndex;

    const int pw = modeW > 0 ? modeW : static_cast<int>(x + w);
    const int ph = modeH > 0 ? modeH : static_cast<int>(y + hgt);
    if (pic.width != pw || pic.height != ph) {
        pic.width = pw;
        pic.height = ph;
        pic.pixels.assign(static_cast<size_t>(pw) * ph * 4, 0);
    }
    for (uint32_t r = 0; r < hgt; ++r)
        memcpy(&pic.pixels[((static_cast<size_t>(y) + r) * pw + x) * 4],
               &decoded[static_cast<size_t>(r) * w * 4], static_cast<size_t>(w) * 4);
    const auto now = std::chrono::steady_clock::now();
    if (pic.framesShown == 0) pic.firstFrameAt = now;
    pic.lastFrameAt = now;
    ++pic.framesShown;
}

// Type 9: byte 0 a tag, bytes 2-3 the display device, bytes 4-11 the frame index (64 bits), after
// the four bytes every notification leaves unused.
void Model520::acknowledgeFrame(uint16_t dd, uint32_t frameIndex) {
    if (!config_.acknowledgeFrames || dd >= 3) return;
    std::vector<uint8_t> data(4, 0);
    data.push_back(0);
    data.push_back(0);
    data.push_back(static_cast<uint8_t>(dd));
    data.push_back(static_cast<uint8_t>(dd >> 8));
    for (int i = 0; i < 8; ++i)
        data.push_back(static_cast<uint8_t>(static_cast<uint64_t>(frameIndex) >> (8 * i)));
    std::vector<uint8_t> bytes = message(4, 9, dd, data);
    ++inFlight_[dd];
    if (inFlight_[dd] > maxInFlight_[dd]) maxInFlight_[dd] = inFlight_[dd];
    if (config_.frameAckDelay.count() <= 0) {
        --inFlight_[dd];
        pushIn(std::move(bytes), std::chrono::milliseconds(0));
        return;
    }
    {
        std::lock_guard<std::mutex> lk(timerMutex_);
        Timed t{std::chrono::steady_clock::now() + config_.frameAckDelay, std::move(bytes), dd};
        auto it = timed_.end();
        while (it != timed_.begin() && (it - 1)->due > t.due) --it;
        timed_.insert(it, std::move(t));
    }
    timerCv_.notify_all();
}

Model520::Picture Model520::picture(int output) {
    std::lock_guard<std::mutex> lk(mutex());
    if (output < 0 || output >= 3) return Picture{};
    return pictures_[output];
}

uint64_t Model520::imagePackets(int output) {
    std::lock_guard<std::mutex> lk(mutex());
    if (output < 0 || output >= 3) return 0;
    return pictures_[output].packets;
}

int Model520::imagesWithoutDevice() {
    std::lock_guard<std::mutex> lk(mutex());
    return imagesWithoutDevice_;
}

int Model520::framesInFlight(int dd) {
    std::lock_guard<std::mutex> lk(mutex());
    return dd >= 0 && dd < 3 ? inFlight_[dd] : 0;
}

int Model520::maxFramesInFlight(int dd) {
    std::lock_guard<std::mutex> lk(mutex());
    return dd >= 0 && dd < 3 ? maxInFlight_[dd] : 0;
}

}  // namespace emu
