#include "emulator/output/pngWriter.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>

namespace emu {

namespace {

constexpr int kMaxSide = 65535;

// libpng reports errors by longjmp; keep that inside this function, which holds nothing whose
// destructor a jump could skip.
int encode(std::FILE* f, int width, int height, size_t stride, const uint8_t* pixels,
           PixelFormat format) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) return -ENOMEM;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return -ENOMEM;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return -EIO;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    // Pictures are written often during a run and read by tests: speed over size.
    png_set_compression_level(png, 1);
    png_write_info(png, info);
    // The rows go in as they are in memory: libpng drops the fourth byte and, for B,G,R order,
    // swaps to R,G,B.
    png_set_filler(png, 0, PNG_FILLER_AFTER);
    if (format == PixelFormat::Xrgb8888) png_set_bgr(png);
    for (int y = 0; y < height; ++y)
        png_write_row(png, const_cast<png_bytep>(pixels + static_cast<size_t>(y) * stride));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return 0;
}

}  // namespace

int writePng(const std::string& path, int width, int height, size_t stride, const uint8_t* pixels,
             PixelFormat format) {
    if (path.empty() || !pixels || width <= 0 || height <= 0 || width > kMaxSide ||
        height > kMaxSide || stride < static_cast<size_t>(width) * 4)
        return -EINVAL;
    if (format != PixelFormat::Xrgb8888 && format != PixelFormat::Xbgr8888) return -EINVAL;
    const std::string tmp = path + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) return errno ? -errno : -EIO;
    int rc = encode(f, width, height, stride, pixels, format);
    if (std::fflush(f) != 0 || std::ferror(f)) rc = rc ? rc : -EIO;
    if (std::fclose(f) != 0) rc = rc ? rc : -EIO;
    if (rc == 0 && std::rename(tmp.c_str(), path.c_str()) != 0) rc = errno ? -errno : -EIO;
    if (rc != 0) std::remove(tmp.c_str());
    return rc;
}

}  // namespace emu
