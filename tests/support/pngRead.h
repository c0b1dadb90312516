// Reading back the pictures vel-emulate leaves (libpng's own decoder, not the emulator's writer)
// and the picture a static desktop shows, to hold them against each other.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vtest {

// Decodes the PNG at `path` into 32-bit B, G, R, X pixels, width x height. False when it is no
// PNG libpng can read.
bool readPng(const std::string& path, int* width, int* height, std::vector<uint8_t>* bgrx);

// What the emulated desktop shows at width x height with the static scene: its background.
std::vector<uint32_t> staticDesktop(int width, int height);

// PSNR in dB of a decoded picture against the static desktop of its size; negative when the
// picture is empty or its size does not match.
double psnrAgainstStaticDesktop(const std::vector<uint8_t>& bgrx, int width, int height);

}  // namespace vtest
