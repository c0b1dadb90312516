// EDID rewrite: the pass itself, the mode-list lookup, the descriptor walk and the timings of
// the base block (detailed, CVT, standard, established I/II/III, range limits). The CTA and
// DisplayID extensions are in velEdidExt.cpp.
//
// Every walker only rewrites bytes of a timing it has just decoded, inside the 18-byte
// descriptor or 128-byte block it was handed; offsets come from the walk, never from byte 126
// beyond the blocks actually present.
#include <cstring>
#include <mutex>
#include <vector>

#include "edid/velEdidInternal.h"
#include "service/debug.h"

namespace {

// Serialises createEdid passes; guards nothing else (each pass owns its reported set).
std::mutex g_edidPassLock;

constexpr int kMaxHzRewriteClock = 296999999;  // the adapter's pixel-clock ceiling, in Hz
constexpr int kWideTimingWidth = 3440;         // from this width a detailed timing is slowed

void clearBit(unsigned char& byte, int bit) { byte = static_cast<unsigned char>(byte & ~(1u << bit)); }

}  // namespace

int CheckExistInModeList(int width, int height, int refresh, const CAPS_MODE_STRUCT* modes,
                         EdidTuple& edidTuple) {
    // The refresh window is compared unsigned, so a query of 0 Hz wraps and matches nothing.
    const uint32_t lo = static_cast<uint32_t>(refresh) - 1u;
    const uint32_t hi = static_cast<uint32_t>(refresh) + 1u;
    for (int i = 0; modes && i < VEL_CAPS_MODE_MAX && modes[i].width != 0; ++i) {
        const CAPS_MODE_STRUCT& m = modes[i];
        if (m.width != static_cast<uint32_t>(width) || m.height != static_cast<uint32_t>(height) ||
            m.refresh < lo || m.refresh > hi) {
            continue;
        }
        if (!edidTuple.emplace(width, height, refresh).second) {
            vel_Printf("already reported [%d]x[%d]@[%d]Hz\n", width, height, refresh);
            return 0;
        }
        vel_Printf("support [%d]x[%d]@[%d]Hz\n", width, height, refresh);
        return 1;
    }
    vel_Printf("do not support [%d]x[%d]@[%d]Hz\n", width, height, refresh);
    return 0;
}

unsigned char edid_block_checksum(const unsigned char* block) {
    unsigned sum = 0;
    for (size_t i = 0; i < VEL_EDID_BLOCK - 1; ++i) sum += block[i];
    return static_cast<unsigned char>((256u - (sum & 0xFFu)) & 0xFFu);
}

bool velIsDisplayDescriptor(const EdidPass& pass, const unsigned char* desc, unsigned char tag) {
    const unsigned char* o = pass.origOf(desc);
    return o[0] == 0 && o[1] == 0 && o[3] == tag;
}

void drm_for_each_detailed_block(EdidPass& pass, EdidDescriptorFn fn) {
    for (int i = 0; i < 4; ++i) fn(pass, pass.edid + 54 + 18 * i);
    for (size_t b = 1; b < pass.blocks; ++b) {
        unsigned char* ext = pass.edid + b * VEL_EDID_BLOCK;
        if (ext[0] == 0x02) {
            // A CTA offset below 4 would lay descriptors over the block header, and one above
            // 127 over the checksum: such a block carries no descriptors.
            const int d = ext[2];
            if (d < 4 || d > 127) continue;
            const int n = (127 - d) / 18;
            for (int i = 0; i < n; ++i) fn(pass, ext + d + 18 * i);
        } else if (ext[0] == 0x10 && ext[1] == 1) {
            const int n = ext[2] < 6 ? ext[2] : 6;
            for (int i = 0; i < n; ++i) fn(pass, ext + 5 + 18 * i);
        }
    }
}

void do_detailed_mode(EdidPass& pass, unsigned char* desc) {
    if (desc[0] != 0 || desc[1] != 0) drm_mode_detailed(pass, desc);
}

void drm_mode_detailed(EdidPass& pass, unsigned char* desc) {
    const int hactive = ((desc[4] & 0xF0) << 4) | desc[2];
    const int vactive = ((desc[7] & 0xF0) << 4) | desc[5];
    if (hactive < 64 || vactive < 64) return;
    if (desc[17] & 0x20) {
        vel_Print("stereo mode not supported\n");
        return;
    }
    if ((desc[17] & 0x18) == 0) vel_Print("composite sync not supported\n");
    const int hsync = ((desc[11] & 0x30) << 4) | desc[9];
    const int vsync = ((desc[11] & 0x03) << 4) | (desc[10] & 0x0F);
    if (hsync == 0 || vsync == 0) {
        vel_Print("Incorrect Detailed timing. Wrong Hsync/Vsync pulse width\n");
        return;
    }
    const uint64_t htotal = hactive + (((desc[4] & 0x0F) << 8) | desc[3]);
    const uint64_t vtotal = vactive + (((desc[7] & 0x0F) << 8) | desc[6]);
    const uint64_t clockHz = static_cast<uint64_t>(desc[0] | (desc[1] << 8)) * 10000u;
    const uint64_t pixels = htotal * vtotal;
    int refresh = static_cast<int>((clockHz + pixels - 1) / pixels);

    if (hactive >= kWideTimingWidth) {
        // Wide panels are offered at the fastest standard rate below their own that stays under
        // the adapter's pixel clock; only the first lower rate is tried.
        for (int i = 0; gDefaultRefreshRateTable[i] != 0; ++i) {
            const int u = gDefaultRefreshRateTable[i];
            if (u >= refresh) continue;
            const uint64_t hz = pixels * static_cast<uint64_t>(u);
            if (hz <= static_cast<uint64_t>(kMaxHzRewriteClock)) {
                const uint64_t clock = hz / 10000u;  // fits: below 29,700
                desc[0] = static_cast<unsigned char>(clock & 0xFF);
                desc[1] = static_cast<unsigned char>(clock >> 8);
                refresh = u;
            }
            break;
        }
    }
    if (!pass.check(hactive, vactive, refresh)) {
        desc[0] = 0;
        desc[1] = 0;
    }
}

void do_cvt_mode(EdidPass& pass, unsigned char* desc) {
    if (!velIsDisplayDescriptor(pass, desc, 0xF8)) return;
    static const int rates[5] = {0, 85, 75, 60, 50};  // by bit of the rate byte
    for (int c = 0; c < 4; ++c) {
        unsigned char* code = desc + 6 + 3 * c;
        if (code[0] == 0 && code[1] == 0 && code[2] == 0) continue;
        const int lines = (((code[1] & 0xF0) << 4) | code[0]) + 1;
        const int height = 2 * lines;
        int width = 0;
        switch (code[1] & 0x0C) {
        case 0x00: width = height * 4 / 3; break;
        case 0x04: width = height * 16 / 9; break;
        case 0x08: width = height * 16 / 10; break;
        default: width = height * 15 / 9; break;
        }
        // Bit 0 (60 Hz reduced blanking) is left as the monitor set it.
        for (int bit = 1; bit <= 4; ++bit) {
            if ((code[2] & (1u << bit)) && !pass.check(width, height, rates[bit])) {
                clearBit(code[2], bit);
            }
        }
    }
}

void drm_mode_std(EdidPass& pass, unsigned char* timing) {
    const int b0 = timing[0];
    const int b1 = timing[1];
    if (b0 == 0 && b1 == 0) return;  // already blank: nothing to look up
    if (b1 & 0x3F) {
        // Only 60 Hz standard timings are offered.
        timing[0] = 0;
        timing[1] = 0;
        return;
    }
    const int hsize = (b0 + 31) * 8;
    int vsize = 0;
    switch (b1 >> 6) {
    case 0: vsize = pass.edid[19] < 3 ? hsize : hsize * 10 / 16; break;
    case 1: vsize = hsize * 3 / 4; break;
    case 2: vsize = hsize * 4 / 5; break;
    default: vsize = hsize * 9 / 16; break;
    }
    int width = hsize;
    int height = vsize;
    // 1366x768 cannot be coded exactly; monitors approximate it from either side.
    if ((b1 >> 6) != 1 && ((b0 == 139 && vsize == 765) || (b0 == 140 && vsize == 769))) {
        width = 1366;
        height = 768;
    }
    if (!pass.check(width, height, 60)) {
        timing[0] = 0;
        timing[1] = 0;
    }
}

void do_standard_modes(EdidPass& pass, unsigned char* desc) {
    if (!velIsDisplayDescriptor(pass, desc, 0xFA)) return;
    for (int i = 0; i < 6; ++i) drm_mode_std(pass, desc + 5 + 2 * i);
}

void vel_match_established_mode(EdidPass& pass) {
    unsigned char* e = pass.edid;
    uint32_t word = e[35] | (e[36] << 8) | ((e[37] & 0x80u) << 9);
    for (int bit = 0; bit <= 16; ++bit) {
        if (!(word & (1u << bit))) continue;
        const _VEL_EDID_MODE_& m = vel_edid_est_modes[bit];
        if (!pass.check(m.width, m.height, m.refresh)) word &= ~(1u << bit);
    }
    e[35] = static_cast<unsigned char>(word & 0xFF);
    e[36] = static_cast<unsigned char>((word >> 8) & 0xFF);
    // The manufacturer's timings, bit 7 included, are never offered.
    e[37] = 0;
}

void do_established_modes(EdidPass& pass, unsigned char* desc) {
    if (!velIsDisplayDescriptor(pass, desc, 0xF7)) return;
    for (int k = 0; k < 44; ++k) {
        unsigned char& byte = desc[6 + k / 8];
        const int bit = 7 - k % 8;
        if (!(byte & (1u << bit))) continue;
        const _VEL_EST3_MODE_& m = est3_modes[k];
        if (!pass.check(m.width, m.height, m.refresh)) clearBit(byte, bit);
    }
}

void do_inferred_modes(EdidPass& pass, unsigned char* desc) {
    if (!velIsDisplayDescriptor(pass, desc, 0xFD)) return;
    // A 255 kHz minimum line rate leaves no mode that could be inferred from the ranges, and
    // "range limits only" forbids GTF/CVT inference on 1.2 and later.
    desc[7] = 0xFF;
    if (pass.versionAtLeast(2)) desc[10] = 0x01;
}

int createEdid(unsigned char* edid, size_t size, const CAPS_MODE_STRUCT* modes) {
    if (!edid || size < VEL_EDID_BLOCK) {
        vel_Printf("[error] createEdid: EDID of %zu bytes, need at least %zu\n", edid ? size : 0,
                   VEL_EDID_BLOCK);
        return -1;
    }
    std::lock_guard<std::mutex> guard(g_edidPassLock);

    // Byte 126 comes from the monitor: only the blocks that are really in the buffer count.
    const size_t present = size / VEL_EDID_BLOCK;
    const size_t claimed = static_cast<size_t>(edid[126]) + 1;
    const size_t blocks = claimed < present ? claimed : present;
    if (claimed > present) {
        vel_Printf("[warning] EDID claims %zu extension blocks, %zu present\n", claimed - 1,
                   present - 1);
    }
    std::vector<unsigned char> work(edid, edid + blocks * VEL_EDID_BLOCK);
    const std::vector<unsigned char> orig(work);
    EdidPass pass{work.data(), orig.data(), blocks, modes, {}};
    vel_Printf("EDID VERSION [%d.%d]\n", work[18], work[19]);

    drm_for_each_detailed_block(pass, do_detailed_mode);
    if (pass.versionAtLeast(3)) drm_for_each_detailed_block(pass, do_cvt_mode);
    for (int i = 0; i < 8; ++i) drm_mode_std(pass, pass.edid + 38 + 2 * i);
    if (pass.versionAtLeast(1)) drm_for_each_detailed_block(pass, do_standard_modes);
    vel_match_established_mode(pass);
    if (pass.versionAtLeast(1)) drm_for_each_detailed_block(pass, do_established_modes);
    // Every CTA and every DisplayID extension is filtered: timings of a second block reach the
    // desktop just as those of the first.
    for (size_t b = 1; b < blocks; ++b) {
        if (work[b * VEL_EDID_BLOCK] == 0x02) vel_match_cea_mode(pass, pass.edid + b * VEL_EDID_BLOCK);
    }
    for (size_t b = 1; b < blocks; ++b) {
        if (work[b * VEL_EDID_BLOCK] == 0x70) {
            vel_match_displayid_detailed_mode(pass, pass.edid + b * VEL_EDID_BLOCK);
        }
    }
    if ((work[24] & 0x01) && pass.versionAtLeast(1)) drm_for_each_detailed_block(pass, do_inferred_modes);

    memcpy(edid, work.data(), work.size());
    for (size_t b = 0; b < blocks; ++b) {
        unsigned char* block = edid + b * VEL_EDID_BLOCK;
        block[VEL_EDID_BLOCK - 1] = edid_block_checksum(block);
        vel_Printf("OldEdid  %d checksum: value = %d\n", static_cast<int>(b), block[VEL_EDID_BLOCK - 1]);
    }
    return 0;
}
