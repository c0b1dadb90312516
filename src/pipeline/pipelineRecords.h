// Records that travel through the frame pipeline: the region being prepared, the region with its
// converted planes, one unit of encode work and one packet ready for USB.
// Ownership: `_VELRECT::buffer` belongs to the record until the encoder frees it;
// `_evdi_send::buffer` belongs to the record until the send thread frees it after its transfer.
#pragma once

#include <cstdint>

class VelDev;

struct _alignmentRect {
    VelDev* session = nullptr;
    int x = 0, y = 0;
    int width = 0, height = 0;
};

struct _VELRECT {
    unsigned char* pixels = nullptr;
    unsigned char* buffer = nullptr;
    unsigned char* planes[3] = {nullptr, nullptr, nullptr};
    uint32_t planeSizes[3] = {0, 0, 0};
    int x = 0, y = 0, width = 0, height = 0;
    int stride = 0;
    int bpp = 32;
};

struct _RECT_IN_ENCODE_Q {
    VelDev* session = nullptr;
    _VELRECT rect;
    int32_t formatCode = 0xE0;
    int32_t quality = 90;
    int32_t split = 0;
    int32_t frameIndex = 0;
    uint8_t pieceFlags = 0x11;
};

struct _evdi_send {
    int32_t view = 0;
    int32_t length = 0;
    unsigned char* buffer = nullptr;
    uint8_t pieceFlags = 0x11;
    int32_t frameIndex = 0;
    uint8_t packetKind = 0;
};
