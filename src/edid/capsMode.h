// One adapter-supported mode. A view's list holds 64 of them, ended by the first zero width.
#pragma once

#include <cstdint>

struct CAPS_MODE_STRUCT {
    uint32_t width;
    uint32_t height;
    uint32_t refresh;  // Hz
    uint32_t bpp;
};
static_assert(sizeof(CAPS_MODE_STRUCT) == 16, "mode entries are 16 bytes");
