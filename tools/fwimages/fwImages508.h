// Host firmware images of the 50x family, made up for runs without the real ones: the four files
// the service opens at every bring-up ("Bootloader0.bin", "Bootloader1.bin", "firmware0.bin",
// "USBDisplay.bin"), filled with a fixed pattern, the main image ending in the version stamp the
// service reads from its last 128 bytes ("Version:<text> "), the second bootloader in one of
// its own. Used by the tests, the emulator and
// the vel-fwimages program; the images are not firmware and no adapter would run them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace velfw {

struct Image508 {
    std::string name;
    std::vector<unsigned char> bytes;
};

// The version stamp of the made-up second bootloader (the one the service requires at least).
constexpr const char* kBootloaderVersion508 = "v 00.01.0004";

// The four images, in the order the service opens them. `version` is the stamp's text (for
// example "v 2.24.1.0"); it must be at least two characters and end in no blank.
std::vector<Image508> hostImages508(const std::string& version);

// Writes the four images into `dir` (which must exist; a trailing '/' is optional). Returns
// true when all four were written whole.
bool writeHostImages508(const std::string& dir, const std::string& version);

// The stamp the main image ends with, without its padding.
std::string versionStamp508(const std::string& version);

}  // namespace velfw
