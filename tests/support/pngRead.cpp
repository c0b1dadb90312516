// See pngRead.h.
#include "pngRead.h"

#include <png.h>

#include <cstring>

#include "emulator/evdi/desktop.h"
#include "emulator/output/summary.h"

namespace vtest {

bool readPng(const std::string& path, int* width, int* height, std::vector<uint8_t>* bgrx) {
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_BGRA;
    bgrx->assign(PNG_IMAGE_SIZE(image), 0);
    if (!png_image_finish_read(&image, nullptr, bgrx->data(), 0, nullptr)) {
        png_image_free(&image);
        return false;
    }
    *width = static_cast<int>(image.width);
    *height = static_cast<int>(image.height);
    return true;
}

std::vector<uint32_t> staticDesktop(int width, int height) {
    std::vector<uint32_t> px(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            px[static_cast<size_t>(y) * width + x] = emu::Desktop::background(x, y);
    return px;
}

double psnrAgainstStaticDesktop(const std::vector<uint8_t>& bgrx, int width, int height) {
    if (width <= 0 || height <= 0 || bgrx.size() != static_cast<size_t>(width) * height * 4)
        return -1.0;
    const std::vector<uint32_t> desk = staticDesktop(width, height);
    // The X byte is not part of the picture: the desktop's is 0xFF, a PNG's alpha is opaque,
    // and psnr() compares colour bytes only.
    const size_t stride = static_cast<size_t>(width) * 4;
    return emu::psnr(reinterpret_cast<const uint8_t*>(desk.data()), bgrx.data(), width, height,
                     stride, stride);
}

}  // namespace vtest
