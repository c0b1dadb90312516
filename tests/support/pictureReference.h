// What libjpeg-turbo's own compression and decompression of a desktop frame gives: the figure a
// monitor's picture is held against (by default quality 90, 4:2:2, as the model-520 pipeline
// encodes; the 50x family encodes 4:2:0).
#pragma once

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdint>
#include <vector>

#include "emulator/output/summary.h"

namespace vtest {

inline double turboRoundTripPsnr(const std::vector<uint32_t>& desktop, int w, int h,
                                 int subsampling = TJSAMP_422, int quality = 90) {
    const auto* px = reinterpret_cast<const unsigned char*>(desktop.data());
    tjhandle c = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    EXPECT_EQ(tjCompress2(c, px, w, 0, h, TJPF_BGRX, &jpeg, &size, subsampling, quality, 0), 0);
    tjDestroy(c);
    std::vector<unsigned char> back(static_cast<size_t>(w) * h * 4);
    tjhandle d = tjInitDecompress();
    EXPECT_EQ(tjDecompress2(d, jpeg, size, back.data(), w, 0, h, TJPF_BGRX, 0), 0);
    tjDestroy(d);
    tjFree(jpeg);
    const size_t stride = static_cast<size_t>(w) * 4;
    return emu::psnr(px, back.data(), w, h, stride, stride);
}

}  // namespace vtest
