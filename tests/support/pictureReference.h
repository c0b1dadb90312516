// What libjpeg-turbo's own compression and decompression of a desktop frame gives: the figure a
// monitor's picture is held against (by default quality 90, 4:2:2, as the model-520 pipeline
// encodes; the 50x family encodes 4:2:0).
#pragma once

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "emulator/adapters/model520.h"
#include "emulator/output/summary.h"
#include "testSupport.h"

namespace vtest {

// PSNR over B, G and R of two BGRX pictures of `w` x `h` packed rows: +inf when they are equal,
// -1 when either is shorter than the picture.
inline double psnrBgrx(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b,
                       int w, int h) {
    const size_t stride = static_cast<size_t>(w) * 4;
    if (w <= 0 || h <= 0 || a.size() < stride * h || b.size() < stride * h) return -1.0;
    return emu::psnr(a.data(), b.data(), w, h, stride, stride);
}

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

// A monitor's picture held against the desktop it shows.
struct DesktopMatch {
    bool sized = false;      // the picture has the desktop's size
    double shown = -1;       // PSNR of the picture against the desktop
    double reference = -1;   // libjpeg-turbo's own round trip of the desktop
    // At least 30 dB and within 0.5 dB of the reference (lossless where the reference is).
    bool good() const {
        if (!sized) return false;
        if (std::isinf(reference)) return std::isinf(shown);
        return shown >= 30.0 && std::fabs(shown - reference) <= 0.5;
    }
};

inline DesktopMatch matchDesktop(const std::vector<uint32_t>& desktop, int width, int height,
                                 const emu::Model520::Picture& pic) {
    DesktopMatch m;
    m.sized = pic.width == width && pic.height == height && width > 0 && height > 0 &&
              pic.pixels.size() == desktop.size() * 4 &&
              desktop.size() == static_cast<size_t>(width) * height;
    if (!m.sized) return m;
    const size_t stride = static_cast<size_t>(width) * 4;
    m.shown = emu::psnr(reinterpret_cast<const uint8_t*>(desktop.data()), pic.pixels.data(), width,
                        height, stride, stride);
    m.reference = turboRoundTripPsnr(desktop, width, height);
    return m;
}

// The failures behind a match that is not good().
inline void expectGoodMatch(const DesktopMatch& m) {
    ASSERT_TRUE(m.sized) << "the picture does not have the desktop's size";
    EXPECT_GE(m.shown, 30.0);
    if (std::isinf(m.reference)) {
        EXPECT_TRUE(std::isinf(m.shown)) << "shown " << m.shown << " dB, reference lossless";
    } else {
        EXPECT_NEAR(m.shown, m.reference, 0.5)
            << "shown " << m.shown << " dB, reference " << m.reference;
    }
}

// Waits until no image packet has reached any output of `model` for 400 ms (10 s at most).
inline bool waitPacketsStop(emu::Model520& model) {
    return waitSteady([&] {
        uint64_t n = 0;
        for (int i = 0; i < 3; ++i) n += model.imagePackets(i);
        return n;
    });
}

}  // namespace vtest
