// 50x-family packets built byte by byte from the protocol's tables, for tests that play the
// host against the emulated adapter (an oracle apart from the service's own packet code).
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

namespace vtest {

inline void put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}
inline void put16(std::vector<uint8_t>& v, size_t at, uint16_t x) {
    v[at] = static_cast<uint8_t>(x);
    v[at + 1] = static_cast<uint8_t>(x >> 8);
}
inline uint32_t get32(const std::vector<uint8_t>& v, size_t at) {
    uint32_t x = 0;
    for (int i = 3; i >= 0; --i) x = (x << 8) | v[at + i];
    return x;
}

// A control packet: magic, length field, class 6, view select, command code, and `params` as
// {parameter byte, value} pairs (parameter byte n is packet byte 16 + n). `size` 48 or 44.
inline std::vector<uint8_t> packet508(uint8_t code, uint8_t viewSelect = 0,
                                      std::initializer_list<std::pair<int, uint8_t>> params = {},
                                      size_t size = 48, uint32_t lengthField = 0) {
    std::vector<uint8_t> p(size, 0);
    memcpy(p.data(), "veltarvexsta", 12);
    put32(p, 12, lengthField ? lengthField : static_cast<uint32_t>(size));
    p[16] = 6;
    p[19] = viewSelect;
    p[20] = code;
    for (const auto& kv : params) p[16 + kv.first] = kv.second;
    return p;
}

// A packet carrying `data` after the 48-byte head (firmware images, SROM access): the length
// is 48 + data, one byte more when that is a multiple of 512; the length field counts it.
inline std::vector<uint8_t> dataPacket508(uint8_t code,
                                          std::initializer_list<std::pair<int, uint8_t>> params,
                                          const std::vector<uint8_t>& data) {
    size_t total = 48 + data.size();
    if (total % 512 == 0) ++total;
    std::vector<uint8_t> p = packet508(code, 0, params, 48);
    p.resize(total, 0);
    put32(p, 12, static_cast<uint32_t>(total));
    std::copy(data.begin(), data.end(), p.begin() + 48);
    return p;
}

// The picture size in a baseline JPEG's SOF0 segment (a test-side scan of the markers, apart
// from the host's parser); false when there is none.
inline bool jpegSize508(const std::vector<uint8_t>& jpeg, int* width, int* height) {
    for (size_t i = 2; i + 8 < jpeg.size();) {
        if (jpeg[i] != 0xFF) return false;
        const uint8_t marker = jpeg[i + 1];
        const size_t len = (size_t{jpeg[i + 2]} << 8) | jpeg[i + 3];
        if (marker == 0xC0) {
            *height = (jpeg[i + 5] << 8) | jpeg[i + 6];
            *width = (jpeg[i + 7] << 8) | jpeg[i + 8];
            return true;
        }
        i += 2 + len;
    }
    return false;
}

// The fields of a protocol-0 decoder header (one 2856-byte record after its count byte) that the
// emulated adapter checks against the JPEG: stream start, end and size, frame offset 0, picture
// and aligned size, format 0 (4:2:0). The stream start is an arbitrary host address.
inline std::vector<uint8_t> decoderHeader508(uint32_t jpegLength, int width, int height) {
    std::vector<uint8_t> h(1 + 2856, 0);
    h[0] = 1;
    const uint32_t start = 0x10000000;
    put32(h, 1 + 0, start + jpegLength);
    put32(h, 1 + 12, start);
    put32(h, 1 + 20, jpegLength);
    put32(h, 1 + 116, static_cast<uint32_t>(width));
    put32(h, 1 + 120, static_cast<uint32_t>(height));
    put32(h, 1 + 124, static_cast<uint32_t>((width + 15) / 16 * 16));
    put32(h, 1 + 128, static_cast<uint32_t>((height + 15) / 16 * 16));
    return h;
}

}  // namespace vtest
