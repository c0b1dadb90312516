#include "fwImages508.h"

#include <cstdio>

namespace velfw {

namespace {

// Sizes of the made-up images; the main one is larger than the 128-byte stamp area, so a reader
// that looks only at the tail is what finds the stamp.
constexpr size_t kSizes[4] = {4096, 8192, 16384, 65536};
const char* const kNames[4] = {"Bootloader0.bin", "Bootloader1.bin", "firmware0.bin",
                               "USBDisplay.bin"};
constexpr size_t kTail = 128;

std::vector<unsigned char> pattern(size_t size, unsigned seed) {
    std::vector<unsigned char> bytes(size);
    unsigned x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<unsigned char>(x >> 16);
    }
    return bytes;
}

}  // namespace

std::string versionStamp508(const std::string& version) { return "Version:" + version + " "; }

std::vector<Image508> hostImages508(const std::string& version) {
    std::vector<Image508> images;
    for (unsigned i = 0; i < 4; ++i) images.push_back({kNames[i], pattern(kSizes[i], i + 1)});
    // The stamp sits in the last 128 bytes, blanks before it and zeros after it, so no pattern
    // byte can be read as part of the version.
    // The second bootloader carries its own version the same way (the adapter reports it).
    auto put = [](std::vector<unsigned char>& image, const std::string& stamp) {
        const size_t start = image.size() - kTail;
        for (size_t i = start; i < image.size(); ++i) image[i] = 0;
        for (size_t i = start; i < start + 16; ++i) image[i] = ' ';
        for (size_t i = 0; i < stamp.size() && start + 16 + i < image.size(); ++i)
            image[start + 16 + i] = static_cast<unsigned char>(stamp[i]);
    };
    put(images[3].bytes, versionStamp508(version));
    put(images[1].bytes, versionStamp508(kBootloaderVersion508));
    return images;
}

bool writeHostImages508(const std::string& dir, const std::string& version) {
    std::string base = dir;
    if (!base.empty() && base.back() != '/') base += '/';
    for (const auto& image : hostImages508(version)) {
        const std::string path = base + image.name;
        FILE* f = fopen(path.c_str(), "wb");
        if (!f) return false;
        const bool whole = fwrite(image.bytes.data(), 1, image.bytes.size(), f) ==
                           image.bytes.size();
        if (fclose(f) != 0 || !whole) return false;
    }
    return true;
}

}  // namespace velfw
