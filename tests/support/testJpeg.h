// JPEGs made by libjpeg-turbo for the tests: a pseudo-random RGB picture compressed with
// tjCompress2, so a test knows the size, sampling and quality a reader must find.
#pragma once

#include <cstdint>
#include <vector>

namespace vtest {

// `subsamp` is a TJSAMP_* value, `flags` TJFLAG_* bits. Fails the calling test (and returns what
// the library gave) when compression fails.
std::vector<uint8_t> tjJpeg(int width, int height, int subsamp, int quality, int flags = 0);

}  // namespace vtest
