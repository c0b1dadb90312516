// Shared between the EDID rewrite's files: the state of one pass, the walkers and the constant
// mode tables. Not for use outside src/edid/.
#pragma once

#include <cstddef>
#include <cstdint>

#include "edid/velEdid.h"

// One row of the established, CTA and HDMI 4k mode tables.
struct _VEL_EDID_MODE_ {
    uint16_t width;
    uint16_t height;
    uint8_t depth;
    uint16_t refresh;
};

// One row of the VESA Established Timings III list.
struct _VEL_EST3_MODE_ {
    uint16_t width;
    uint16_t height;
    uint16_t refresh;
    uint8_t reducedBlanking;  // carried from the VESA list, not used for matching
};

// One row of the VESA Display Monitor Timing list, by DMT ID.
struct _VEL_DMT_MODE_ {
    uint16_t width;
    uint16_t height;
    uint16_t refresh;
};

extern const _VEL_EDID_MODE_ vel_edid_est_modes[17];
extern const _VEL_EST3_MODE_ est3_modes[44];
extern const _VEL_EDID_MODE_ cea_modes[128];
extern const _VEL_EDID_MODE_ vel_edid_4k_modes[5];
extern const int gDefaultRefreshRateTable[8];
// The DMT row of an ID (0x01..0x58), or null for a reserved or unknown ID.
const _VEL_DMT_MODE_* velDmtMode(int id);

// One createEdid pass. `edid` is the working copy that the walkers rewrite; `orig` is the EDID
// as received and tells display descriptors apart from detailed timings, because blanking a
// detailed timing's clock would otherwise make its other bytes read as a descriptor tag.
// `blocks` counts the whole blocks present, which may be fewer than byte 126 claims.
struct EdidPass {
    unsigned char* edid;
    const unsigned char* orig;
    size_t blocks;
    const CAPS_MODE_STRUCT* modes;
    EdidTuple reported;

    bool versionAtLeast(int minor) const {
        return edid[18] > 1 || (edid[18] == 1 && edid[19] >= minor);
    }
    const unsigned char* origOf(const unsigned char* p) const { return orig + (p - edid); }
    int check(int width, int height, int refresh) {
        return CheckExistInModeList(width, height, refresh, modes, reported);
    }
};

using EdidDescriptorFn = void (*)(EdidPass& pass, unsigned char* desc);

// True when the 18 bytes at `desc` were, as received, a display descriptor with this tag.
bool velIsDisplayDescriptor(const EdidPass& pass, const unsigned char* desc, unsigned char tag);

void drm_for_each_detailed_block(EdidPass& pass, EdidDescriptorFn fn);
void do_detailed_mode(EdidPass& pass, unsigned char* desc);
void drm_mode_detailed(EdidPass& pass, unsigned char* desc);
void do_cvt_mode(EdidPass& pass, unsigned char* desc);
void drm_mode_std(EdidPass& pass, unsigned char* timing);
void do_standard_modes(EdidPass& pass, unsigned char* desc);
void vel_match_established_mode(EdidPass& pass);
void do_established_modes(EdidPass& pass, unsigned char* desc);
void do_inferred_modes(EdidPass& pass, unsigned char* desc);
void vel_match_cea_mode(EdidPass& pass, unsigned char* ext);
// Filters the CTA data block collection base[from, end) (video, YCbCr 4:2:0 video, HDMI).
void velFilterCtaDataBlocks(EdidPass& pass, unsigned char* base, int from, int end);
bool drm_display_mode_from_vic_index(EdidPass& pass, unsigned char* vdb, int vdbLen,
                                     int index);
void do_hdmi_vsdb_modes(EdidPass& pass, unsigned char* db, int len, unsigned char* vdb,
                        int vdbLen);
void vel_match_displayid_detailed_mode(EdidPass& pass, unsigned char* ext);
