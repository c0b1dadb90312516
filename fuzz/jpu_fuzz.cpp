// Fuzzes the decoder-header builders of both adapter generations with the input as the JPEG.
// The JPEG and every output buffer are heap copies of exactly their size, so that a read or
// write one byte past either is caught. Each input runs with room for three records and with
// room for one record less than the driver wants, which exercises the -4 paths.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "jpu/OrfeJpegHeaderDec.h"

namespace {

// Runs one protocol with an exact-size output of `capacity` bytes and checks the result.
void runOne(const uint8_t* jpeg, size_t size, ProtocolType protocol, uint32_t recordSize,
            uint32_t capacity) {
    uint8_t* out = static_cast<uint8_t*>(malloc(capacity ? capacity : 1));
    memset(out, 0xA5, capacity ? capacity : 1);
    COrfeJpegHeaderDec dec;
    int r = static_cast<int>(
        dec.GetJpegHeaderForCnMDecoder(jpeg, static_cast<unsigned>(size), out, capacity, protocol));
    bool known = r == 0 || r == -1 || r == -2 || r == -4;
    for (uint32_t n = 1; n <= 3 && !known; ++n) {
        if (r == static_cast<int>(1 + n * recordSize)) {
            known = true;
            if (out[0] != n || static_cast<uint32_t>(r) > capacity) abort();
        }
    }
    if (!known) abort();
    free(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t* jpeg = static_cast<uint8_t*>(malloc(size ? size : 1));
    if (size) memcpy(jpeg, data, size);
    runOne(jpeg, size, CNM508_PROTOCOL, 2856, COrfeJpegHeaderDec::MAX_HEADER_SIZE_508);
    runOne(jpeg, size, CNM508_PROTOCOL, 2856, 2 * 2856);
    runOne(jpeg, size, CNM520_PROTOCOL, 6120, COrfeJpegHeaderDec::MAX_HEADER_SIZE_520);
    runOne(jpeg, size, CNM520_PROTOCOL, 6120, 6120);
    free(jpeg);
    return 0;
}
