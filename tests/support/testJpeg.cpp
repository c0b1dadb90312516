#include "testJpeg.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

namespace vtest {

std::vector<uint8_t> tjJpeg(int width, int height, int subsamp, int quality, int flags) {
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    uint32_t rnd = 99;
    for (size_t i = 0; i < rgb.size(); ++i) {
        rnd = rnd * 1103515245u + 12345u;
        rgb[i] = static_cast<uint8_t>(i / 7 + ((rnd >> 16) & 127));
    }
    tjhandle tj = tjInitCompress();
    unsigned char* buf = nullptr;
    unsigned long len = 0;
    int rc = tjCompress2(tj, rgb.data(), width, 0, height, TJPF_RGB, &buf, &len, subsamp, quality,
                         flags);
    EXPECT_EQ(rc, 0) << tjGetErrorStr2(tj);
    std::vector<uint8_t> out(buf, buf + len);
    tjFree(buf);
    tjDestroy(tj);
    return out;
}

}  // namespace vtest
