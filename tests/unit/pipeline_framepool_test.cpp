// Model-520 packet compression straight into the packet, the one-pass light-mode compression,
// and the frame buffer pool: the planar JPEG is the library's from the same planes, the light-mode
// JPEG is tjCompress2's at every width, whatever the path; the pool reuses only blocks that fit
// and keeps a bounded number.
#include <gtest/gtest.h>
#include <malloc.h>
#include <turbojpeg.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "pipeline/colorConvert.h"
#include "pipeline/jpeg520.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes picture(int w, int stride, int h, unsigned seed) {
    Bytes p(static_cast<size_t>(stride) * h);
    unsigned r = seed;
    for (size_t i = 0; i < p.size(); ++i) {
        r = r * 1103515245u + 12345u;
        // Smooth areas with noisy bands, so the JPEG has both kinds of blocks.
        const size_t row = i / stride;
        p[i] = static_cast<unsigned char>((row % 24 < 8) ? (r >> 16) : (i % stride) / 3 + row);
    }
    (void)w;
    return p;
}

// The reference: libjpeg-turbo's own tjCompress2 into a library-allocated JPEG while the
// library's colour conversion is the system's (SIMD in use, or the studio formulas off);
// otherwise the system's conversion into planes, then the library's JPEG of them.
Bytes referenceRgb(const Bytes& px, int w, int stride, int h) {
    tjhandle tj = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    if (velJpegSimdInUse() || g_tj_force_c_encode_formula != 1) {
        EXPECT_EQ(
            tjCompress2(tj, px.data(), w, stride, h, TJPF_BGRX, &jpeg, &size, TJSAMP_422, 90, 0),
            0);
    } else {
        EXPECT_EQ(
            velCompressRgb(tj, px.data(), w, stride, h, TJPF_BGRX, &jpeg, &size, TJSAMP_422, 90, 0),
            0);
    }
    Bytes out(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(tj);
    return out;
}

struct Yuv {
    Bytes data;
    uint32_t sizes[3];
    Yuv(const Bytes& px, int w, int stride, int h) : data(tjBufSizeYUV2(w, 1, h, TJSAMP_422)) {
        unsigned char* planes[3];
        planes[0] = data.data();
        for (int i = 0; i < 3; ++i) {
            sizes[i] = static_cast<uint32_t>(tjPlaneSizeYUV(i, w, 0, h, TJSAMP_422));
            if (i < 2) planes[i + 1] = planes[i] + sizes[i];
        }
        tjhandle tj = tjInitCompress();
        EXPECT_EQ(velEncodeYUVPlanes(tj, px.data(), w, stride, h, TJPF_BGRX, planes, TJSAMP_422, 0),
                  0);
        tjDestroy(tj);
    }
    _VELRECT rect(int w, int h) {
        _VELRECT r;
        r.buffer = data.data();
        r.width = w;
        r.height = h;
        for (int i = 0; i < 3; ++i) r.planeSizes[i] = sizes[i];
        return r;
    }
    Bytes reference(int w, int h) const {
        const unsigned char* planes[3] = {data.data(), data.data() + sizes[0],
                                          data.data() + sizes[0] + sizes[1]};
        tjhandle tj = tjInitCompress();
        unsigned char* jpeg = nullptr;
        unsigned long size = 0;
        EXPECT_EQ(
            tjCompressFromYUVPlanes(tj, planes, w, nullptr, h, TJSAMP_422, &jpeg, &size, 90, 0), 0);
        Bytes out(jpeg, jpeg + size);
        tjFree(jpeg);
        tjDestroy(tj);
        return out;
    }
};

Bytes jpegOf(const Bytes& packet, unsigned long size) {
    return Bytes(packet.begin() + VEL_PACKET520_JPEG_OFFSET,
                 packet.begin() + VEL_PACKET520_JPEG_OFFSET + size);
}

}  // namespace

// Odd sizes and widths of a partial last MCU (edge padding), a pitch wider than the rows, and a
// full-HD frame.
TEST(Packet520Jpeg, LightModeGivesTheLibraryJpegInEveryShape) {
    struct Case {
        int w, h, stride;
    } cases[] = {{33, 17, 33 * 4},
                 {64, 37, 0},
                 {1366, 768, 1366 * 4 + 64},
                 {1368, 768, 0},
                 {1920, 1081, 1920 * 4 + 32},
                 {1920, 1080, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        const int pitch = c.stride ? c.stride : c.w * 4;
        const Bytes px = picture(c.w, pitch, c.h, 7);
        _VELRECT r;
        r.pixels = const_cast<unsigned char*>(px.data());
        r.width = c.w;
        r.height = c.h;
        r.stride = c.stride;
        Bytes packet(velPacketSize520(c.w, c.h), 0xAA);
        const unsigned long size = velEncodeRgb520(r, 90, packet.data(), packet.size());
        ASSERT_GT(size, 0u);
        EXPECT_EQ(jpegOf(packet, size), referenceRgb(px, c.w, pitch, c.h));
        // Nothing before the JPEG is touched: the display class writes the headers there.
        for (size_t i = 0; i < VEL_PACKET520_JPEG_OFFSET; ++i) ASSERT_EQ(packet[i], 0xAA);
    }
}

TEST(Packet520Jpeg, PlanarJpegIsTheLibraryBufferJpegWithRoomOrWithout) {
    const int w = 1366, h = 768;
    const Bytes px = picture(w, w * 4, h, 3);
    Yuv yuv(px, w, 0, h);
    const Bytes want = yuv.reference(w, h);
    // Room for the library's worst case: compressed in place.
    Bytes packet(velPacketSize520(w, h));
    unsigned long size = velEncodeYuv520(yuv.rect(w, h), 90, packet.data(), packet.size());
    ASSERT_EQ(size, want.size());
    EXPECT_EQ(jpegOf(packet, size), want);
    // Less room than the worst case but enough for this JPEG: through a library buffer.
    Bytes tight(VEL_PACKET520_JPEG_OFFSET + want.size() + 16);
    ASSERT_LT(tight.size() - VEL_PACKET520_JPEG_OFFSET, tjBufSize(w, h, TJSAMP_422));
    size = velEncodeYuv520(yuv.rect(w, h), 90, tight.data(), tight.size());
    ASSERT_EQ(size, want.size());
    EXPECT_EQ(jpegOf(tight, size), want);
    // Too little room for the JPEG: nothing is placed.
    Bytes tiny(VEL_PACKET520_JPEG_OFFSET + want.size() / 2);
    EXPECT_EQ(velEncodeYuv520(yuv.rect(w, h), 90, tiny.data(), tiny.size()), 0u);
}

TEST(FramePool, ReusesOnlyBlocksThatFitAndStaysBounded) {
    velFrameBufferTrim();
    const VelFramePoolStats s0 = velFramePoolStats();
    EXPECT_EQ(s0.buffers, 0);
    EXPECT_EQ(velFrameBufferTake(0), nullptr);
    velFrameBufferGive(nullptr);

    unsigned char* a = velFrameBufferTake(1 << 20);
    ASSERT_NE(a, nullptr);
    memset(a, 1, 1 << 20);  // the whole block is usable
    velFrameBufferGive(a);
    // Too small for the request, or more than twice as large: a new block.
    unsigned char* big = velFrameBufferTake(3 << 20);
    unsigned char* small = velFrameBufferTake(1 << 18);
    EXPECT_NE(big, a);
    EXPECT_NE(small, a);
    EXPECT_GE(malloc_usable_size(big), size_t(3) << 20);
    // A fitting request gets the kept block back.
    unsigned char* again = velFrameBufferTake((1 << 20) - 100);
    EXPECT_EQ(again, a);
    EXPECT_EQ(velFramePoolStats().reused - s0.reused, 1);
    free(again);  // a plain free of a pool block is fine
    free(big);
    free(small);

    // Never more than VEL_FRAME_POOL_BUFFERS blocks kept; the ones kept longest are freed, so
    // a large block of an earlier mode does not stay for good.
    unsigned char* stale = static_cast<unsigned char*>(malloc(1 << 16));
    velFrameBufferGive(stale);
    std::vector<unsigned char*> blocks;
    for (int i = 0; i < VEL_FRAME_POOL_BUFFERS + 2; ++i)
        blocks.push_back(static_cast<unsigned char*>(malloc(4096)));
    for (auto* b : blocks) velFrameBufferGive(b);
    VelFramePoolStats s1 = velFramePoolStats();
    EXPECT_EQ(s1.buffers, VEL_FRAME_POOL_BUFFERS);
    EXPECT_EQ(s1.freed - s0.freed, 3);
    unsigned char* fresh = velFrameBufferTake(1 << 16);
    EXPECT_EQ(velFramePoolStats().reused, s1.reused);  // the 64 KiB block was among those freed
    free(fresh);
    // The smallest fitting block is chosen, and each block is handed out once.
    std::set<unsigned char*> out;
    for (int i = 0; i < VEL_FRAME_POOL_BUFFERS; ++i) out.insert(velFrameBufferTake(4000));
    EXPECT_EQ(out.size(), size_t(VEL_FRAME_POOL_BUFFERS));
    EXPECT_EQ(velFramePoolStats().buffers, 0);
    for (auto* b : out) velFrameBufferGive(b);
    velFrameBufferTrim();
    EXPECT_EQ(velFramePoolStats().buffers, 0);
}
