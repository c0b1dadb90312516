// What libjpeg-turbo's own compression and decompression of a desktop frame gives: the figure a
// monitor's picture is held against (by default quality 90, 4:2:2, as the model-520 pipeline
// encodes; the 50x family encodes 4:2:0).
#pragma once

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
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

// The figure a settled 50x-family picture of `desktop` is held against, given the PSNR it
// showed: the pipeline sends regions at quality 90, or 97 when a frame is split, so a settled
// picture is made of regions of either and lies between libjpeg-turbo's 4:2:0 round trips at
// the two qualities. `shown` clamped into that band.
inline double reference508Psnr(const std::vector<uint32_t>& desktop, int w, int h, double shown) {
    const double q90 = turboRoundTripPsnr(desktop, w, h, TJSAMP_420, 90);
    const double q97 = turboRoundTripPsnr(desktop, w, h, TJSAMP_420, 97);
    return std::min(std::max(shown, std::min(q90, q97)), std::max(q90, q97));
}

}  // namespace vtest
