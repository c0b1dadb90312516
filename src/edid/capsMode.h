// One mode that the adapter can drive on a view, as its firmware reports it. The display class
// fills an array of VEL_CAPS_MODE_MAX entries per view; the list ends at the first entry whose
// width is 0, or after the last entry.
#pragma once

#include <cstdint>

static constexpr int VEL_CAPS_MODE_MAX = 64;  // entries per view

struct CAPS_MODE_STRUCT {
    uint32_t width;    // active pixels
    uint32_t height;   // active lines
    uint32_t refresh;  // vertical refresh in Hz
    uint32_t bpp;      // bits per pixel; carried, not used for matching
};
