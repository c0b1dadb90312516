// PNG pictures of the emulated monitors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace emu {

enum class PixelFormat {
    Xrgb8888,  // 32-bit XRGB little-endian: bytes B, G, R, X (EVDI and the monitors' pictures)
    Xbgr8888,  // 32-bit XBGR little-endian: bytes R, G, B, X
};

// Writes `width` x `height` pixels as an 8-bit RGB PNG at `path`; the X byte is dropped. Rows
// start `stride` bytes apart. The picture goes to "path.tmp" first and is renamed over `path`,
// so a reader never sees half a file. Returns 0; -EINVAL for a null pointer, an empty path, a
// size that is not positive or above 65535, or a stride shorter than a row; -ENOMEM; -EIO if
// libpng fails or the file cannot be written completely; or the negative errno of creating or
// renaming the file. Blocks on file I/O; any thread.
int writePng(const std::string& path, int width, int height, size_t stride, const uint8_t* pixels,
             PixelFormat format = PixelFormat::Xrgb8888);

}  // namespace emu
