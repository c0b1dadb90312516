// EDID rewrite of the extension blocks: CTA-861 data blocks (video, YCbCr 4:2:0 video, HDMI
// vendor block with its 4k VICs and 3D references) and the DisplayID timing blocks (type I and
// VII timings, type IV and VIII codes, DMT and CTA bitmaps, CTA data blocks carried inside
// DisplayID); a DisplayID rewrite also keeps the section checksum true.
//
// Every offset below is bounded by the end of the data block collection it belongs to, itself
// inside the 128-byte block: a length byte that claims more ends the walk of that block.
#include "edid/velEdidInternal.h"
#include "service/debug.h"

namespace {

constexpr int kCtaVideoTag = 2;
constexpr int kCtaVendorTag = 3;
constexpr int kCtaExtendedTag = 7;
constexpr int kCtaExtY420Video = 14;
constexpr uint32_t kHdmiOui = 0x000C03;
constexpr int kDisplayIdTimingSize = 20;

// A short video descriptor byte to its VIC: 1..64 and 129..192 carry the native flag in bit 7.
int svdToVic(int svd) {
    if ((svd >= 1 && svd <= 64) || (svd >= 129 && svd <= 192)) return svd & 0x7F;
    return svd;
}

// Checks one short video descriptor and blanks it when rejected. VICs the table does not know
// cannot be on the adapter's list either, so they go too.
void filterSvd(EdidPass& pass, unsigned char* svd) {
    if (*svd == 0) return;
    const int vic = svdToVic(*svd);
    if (vic >= 1 && vic <= 127) {
        const _VEL_EDID_MODE_& m = cea_modes[vic];
        if (!pass.check(m.width, m.height, m.refresh)) *svd = 0;
        return;
    }
    vel_Printf("[warning] unknown VIC %d removed\n", vic);
    *svd = 0;
}

void filterHdmiVic(EdidPass& pass, unsigned char* vic) {
    if (*vic >= 1 && *vic <= 4) {
        const _VEL_EDID_MODE_& m = vel_edid_4k_modes[*vic];
        if (!pass.check(m.width, m.height, m.refresh)) *vic = 0;
        return;
    }
    vel_Printf("Unknown HDMI VIC: %d\n", *vic);
    *vic = 0;
}

// Lookup without recording: a 3D reference names a video descriptor that the video block pass
// has already judged, and recording it again would read as a repeat and erase a kept mode.
bool modeSupported(const CAPS_MODE_STRUCT* modes, int width, int height, int refresh) {
    const uint32_t lo = static_cast<uint32_t>(refresh) - 1u;
    const uint32_t hi = static_cast<uint32_t>(refresh) + 1u;
    for (int i = 0; modes && i < VEL_CAPS_MODE_MAX && modes[i].width != 0; ++i) {
        if (modes[i].width == static_cast<uint32_t>(width) &&
            modes[i].height == static_cast<uint32_t>(height) && modes[i].refresh >= lo &&
            modes[i].refresh <= hi) {
            return true;
        }
    }
    return false;
}

void walkHdmi3d(EdidPass& pass, const unsigned char* db, int start, int len3d, int multi,
                unsigned char* vdb, int vdbLen) {
    // 3D_Structure_ALL (2 bytes), then with multi = 2 the 3D_MASK (2 bytes, big-endian).
    const int multiLen = multi == 1 ? 2 : multi == 2 ? 4 : 0;
    if (len3d < multiLen) return;
    uint16_t mask = 0;
    if (multi == 1) mask = 0xFFFF;
    if (multi == 2) mask = static_cast<uint16_t>((db[start + 2] << 8) | db[start + 3]);
    for (int i = 0; i < 16 && multiLen; ++i) {
        if (mask & (1u << i)) drm_display_mode_from_vic_index(pass, vdb, vdbLen, i);
    }
    const int end = start + len3d;  // one past the last 3D byte, already checked against L
    for (int q = start + multiLen; q < end;) {
        const int index = db[q] >> 4;
        const int structure = db[q] & 0x0F;
        int detail = 0;
        if (structure >= 8) {
            if (q + 1 >= end) return;  // the detail byte would lie past the 3D fields
            detail = db[q + 1] >> 4;
        }
        if (structure == 0 || structure == 6 || (structure == 8 && detail == 1)) {
            drm_display_mode_from_vic_index(pass, vdb, vdbLen, index);
        }
        q += structure >= 8 ? 2 : 1;
    }
}

}  // namespace

bool drm_display_mode_from_vic_index(EdidPass& pass, unsigned char* vdb, int vdbLen, int index) {
    if (!vdb || index < 0 || index >= vdbLen) return false;
    unsigned char* svd = vdb + 1 + index;
    if (*svd == 0) return false;
    const int vic = svdToVic(*svd);
    if (vic >= 1 && vic <= 127) {
        const _VEL_EDID_MODE_& m = cea_modes[vic];
        if (modeSupported(pass.modes, m.width, m.height, m.refresh)) return true;
    }
    *svd = 0;
    return false;
}

void do_hdmi_vsdb_modes(EdidPass& pass, unsigned char* db, int len, unsigned char* vdb,
                        int vdbLen) {
    // db[0] is the block header; db[1..len] the payload.
    if (len < 8 || !(db[8] & 0x20)) return;
    int o = 0;
    if (db[8] & 0x80) o += 2;  // video and audio latency
    if (db[8] & 0x40) o += 2;  // interlaced latencies
    if (o + 9 >= len) return;
    const int flags = db[o + 9];
    const int lens = db[o + 10];
    const int vicLen = lens >> 5;
    const int len3d = lens & 0x1F;
    int p = o + 11;
    for (int i = 0; i < vicLen; ++i) {
        if (p + i > len) return;
        filterHdmiVic(pass, db + p + i);
    }
    p += vicLen;
    if (!(flags & 0x80) || len3d == 0) return;
    if (p + len3d - 1 > len) return;
    walkHdmi3d(pass, db, p, len3d, (flags >> 5) & 0x03, vdb, vdbLen);
}

void vel_match_cea_mode(EdidPass& pass, unsigned char* ext) {
    if (ext[1] < 3) return;  // revisions 1 and 2 carry no data blocks
    const int d = ext[2];
    int end = 0;
    if (d == 0) {
        end = 127;
    } else if (d >= 5 && d <= 127) {
        if ((ext[4] & 0x1F) + 4 >= d) return;
        end = d;
    } else {
        return;
    }
    velFilterCtaDataBlocks(pass, ext, 4, end);
}

void velFilterCtaDataBlocks(EdidPass& pass, unsigned char* base, int from, int end) {
    unsigned char* vdb = nullptr;
    int vdbLen = 0;
    unsigned char* hdmi = nullptr;
    int hdmiLen = 0;
    for (int o = from; o < end;) {
        const int tag = base[o] >> 5;
        const int len = base[o] & 0x1F;
        if (o + 1 + len > end) break;
        unsigned char* db = base + o;
        if (tag == kCtaVideoTag) {
            for (int i = 1; i <= len; ++i) filterSvd(pass, db + i);
            if (!vdb) {
                vdb = db;
                vdbLen = len;
            }
        } else if (tag == kCtaVendorTag && len > 4) {
            const uint32_t oui = db[1] | (db[2] << 8) | (db[3] << 16);
            if (oui == kHdmiOui && !hdmi) {
                hdmi = db;
                hdmiLen = len;
            }
        } else if (tag == kCtaExtendedTag && len >= 1 && db[1] == kCtaExtY420Video) {
            for (int i = 2; i <= len; ++i) filterSvd(pass, db + i);
        }
        o += 1 + len;
    }
    if (hdmi) do_hdmi_vsdb_modes(pass, hdmi, hdmiLen, vdb, vdbLen);
}

namespace {

// DisplayID data block tags. 1.x: type I timings, type IV timing codes, the VESA (DMT) and CTA
// timing bitmaps. 2.0: type VII timings and type VIII timing codes.
constexpr int kDidTypeITiming = 0x03;
constexpr int kDidTypeIVCodes = 0x06;
constexpr int kDidVesaBitmap = 0x07;
constexpr int kDidCtaBitmap = 0x08;
constexpr int kDidTypeVIITiming = 0x22;
constexpr int kDidTypeVIIICodes = 0x23;
constexpr int kDidCtaDataBlocks = 0x81;  // CTA-861 data blocks carried inside DisplayID

// One DisplayID walk: collects the byte sum it removed, so that the section checksum, which is
// not the EDID block checksum, can be kept true.
struct DidRewrite {
    EdidPass& pass;
    int changedSum = 0;

    void set(unsigned char* p, unsigned char v) {
        changedSum += *p - v;
        *p = v;
    }
};

// A 20-byte type I or type VII timing; they differ only in the pixel clock unit (10 kHz for
// type I, 1 kHz for type VII). A timing the adapter lacks gets active sizes of 3856 x 3856,
// which no adapter lists, so the desktop cannot pick it.
void filterDidTiming(DidRewrite& rw, unsigned char* tm, uint64_t clockUnitHz) {
    const uint64_t clock = (tm[0] | (tm[1] << 8) | (tm[2] << 16)) + 1u;
    const int hactive = (tm[4] | (tm[5] << 8)) + 1;
    const int hblank = (tm[6] | (tm[7] << 8)) + 1;
    const int vactive = (tm[12] | (tm[13] << 8)) + 1;
    const int vblank = (tm[14] | (tm[15] << 8)) + 1;
    // The timing's own rate, not 60 Hz: a 144 Hz timing must not pass as a 60 Hz one.
    const uint64_t pixels = static_cast<uint64_t>(hactive + hblank) * (vactive + vblank);
    const int refresh = static_cast<int>((clock * clockUnitHz + pixels - 1) / pixels);
    // The firmware's 4k lists name 30 Hz; this lookup only shows in the log, and is kept out of
    // the pass's set so that it cannot hide a real 30 Hz timing.
    if (hactive == 3840) {
        EdidTuple probe(rw.pass.reported);
        CheckExistInModeList(3840, vactive, 30, rw.pass.modes, probe);
    }
    if (!rw.pass.check(hactive, vactive, refresh)) {
        for (int k : {4, 5, 12, 13}) rw.set(tm + k, 0x0F);
    }
}

// Looks up one timing code of a type IV or type VIII block: type 0 DMT ID, 1 CTA VIC, 2 HDMI
// VIC. Unknown codes cannot be on the adapter's list.
bool didCodeKept(EdidPass& pass, int type, int code) {
    if (type == 0) {
        const _VEL_DMT_MODE_* m = velDmtMode(code);
        return m && pass.check(m->width, m->height, m->refresh);
    }
    if (type == 1 && code >= 1 && code <= 127) {
        return pass.check(cea_modes[code].width, cea_modes[code].height, cea_modes[code].refresh);
    }
    if (type == 2 && code >= 1 && code <= 4) {
        const _VEL_EDID_MODE_& m = vel_edid_4k_modes[code];
        return pass.check(m.width, m.height, m.refresh);
    }
    vel_Printf("[warning] unknown DisplayID timing code %d of type %d removed\n", code, type);
    return false;
}

// Timing codes: the block revision byte's bits 7..6 give the code type; type VIII codes are
// two bytes (little-endian) when its bit 3 is set. A rejected code becomes 0, which names no
// timing in any of the three lists.
void filterDidCodes(DidRewrite& rw, unsigned char* db, int payload, bool twoByteAllowed) {
    const int type = db[1] >> 6;
    const int width = twoByteAllowed && (db[1] & 0x08) ? 2 : 1;
    for (int i = 0; i + width <= payload; i += width) {
        unsigned char* c = db + 3 + i;
        const int code = width == 2 ? c[0] | (c[1] << 8) : c[0];
        if (code == 0) continue;
        if (type > 2 || !didCodeKept(rw.pass, type, code)) {
            for (int k = 0; k < width; ++k) rw.set(c + k, 0);
        }
    }
}

// A timing bitmap: bit k of byte j (least significant first) stands for code 8j + k + 1.
void filterDidBitmap(DidRewrite& rw, unsigned char* db, int payload, int type) {
    for (int j = 0; j < payload; ++j) {
        unsigned char* byte = db + 3 + j;
        for (int k = 0; k < 8; ++k) {
            if (!(*byte & (1u << k))) continue;
            if (!didCodeKept(rw.pass, type, 8 * j + k + 1)) {
                rw.set(byte, static_cast<unsigned char>(*byte & ~(1u << k)));
            }
        }
    }
}

}  // namespace

void vel_match_displayid_detailed_mode(EdidPass& pass, unsigned char* ext) {
    // The section (version, length, product type, count, data blocks, checksum) starts at
    // byte 1; data blocks never run into the section checksum or the block checksum.
    const int sectionLen = ext[2];
    const bool wellFormed = 5 + sectionLen <= 126;
    const int end = wellFormed ? 5 + sectionLen : 127;
    DidRewrite rw{pass};
    for (int o = 5; o <= 125;) {
        unsigned char* db = ext + o;
        const int tag = db[0];
        const int payload = db[2];
        if (payload == 0 || o + 3 + payload > end) break;
        switch (tag) {
        case kDidTypeITiming:
        case kDidTypeVIITiming:
            // Revision bits 6..4 of a type VII block announce descriptors longer than 20
            // bytes, a layout not known here: such a block is left as it is.
            if (payload % kDisplayIdTimingSize == 0 && (tag == kDidTypeITiming || !(db[1] & 0x70))) {
                for (int t = 0; t < payload / kDisplayIdTimingSize; ++t) {
                    filterDidTiming(rw, db + 3 + kDisplayIdTimingSize * t,
                                    tag == kDidTypeITiming ? 10000u : 1000u);
                }
            }
            break;
        case kDidTypeIVCodes: filterDidCodes(rw, db, payload, false); break;
        case kDidTypeVIIICodes: filterDidCodes(rw, db, payload, true); break;
        case kDidVesaBitmap: filterDidBitmap(rw, db, payload, 0); break;
        case kDidCtaBitmap: filterDidBitmap(rw, db, payload, 1); break;
        case kDidCtaDataBlocks: {
            // Video blocks in here reach the desktop as those of a CTA extension do.
            int before = 0, after = 0;
            for (int i = 3; i < 3 + payload; ++i) before += db[i];
            velFilterCtaDataBlocks(pass, db, 3, 3 + payload);
            for (int i = 3; i < 3 + payload; ++i) after += db[i];
            rw.changedSum += before - after;
            break;
        }
        default: break;
        }
        o += 3 + payload;
    }
    if (rw.changedSum != 0 && wellFormed) {
        unsigned char& sum = ext[5 + sectionLen];
        sum = static_cast<unsigned char>((sum + rw.changedSum) & 0xFF);
    }
}
