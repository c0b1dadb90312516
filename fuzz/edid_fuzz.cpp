// Fuzzes the EDID rewrite with the input as the monitor's EDID, in a heap copy of exactly the
// input's size so that any read or write past it is caught, and byte 126 free to claim more
// blocks than there are. Each input is rewritten against a broad mode list and an empty one;
// every whole block must come back with a valid checksum and the bytes after the last whole
// block must be untouched.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <vector>

#include "edid/velEdid.h"

namespace {

std::vector<CAPS_MODE_STRUCT> broadList() {
    std::vector<CAPS_MODE_STRUCT> m = {
        {3840, 2160, 60, 32}, {3840, 2160, 30, 32}, {3440, 1440, 85, 32}, {2560, 1440, 60, 32},
        {1920, 1080, 60, 32}, {1920, 1080, 50, 32}, {1366, 768, 60, 32},  {1280, 720, 60, 32},
        {1024, 768, 60, 32},  {800, 600, 60, 32},   {720, 480, 60, 32},   {640, 480, 60, 32},
    };
    m.resize(VEL_CAPS_MODE_MAX, CAPS_MODE_STRUCT{0, 0, 0, 0});
    return m;
}

void runOne(const uint8_t* data, size_t size, const CAPS_MODE_STRUCT* modes) {
    unsigned char* edid = static_cast<unsigned char*>(malloc(size ? size : 1));
    if (size) memcpy(edid, data, size);
    const int r = createEdid(edid, size, modes);
    if (size < VEL_EDID_BLOCK) {
        if (r != -1 || (size && memcmp(edid, data, size) != 0)) abort();
    } else {
        if (r != 0) abort();
        const size_t blocks = std::min<size_t>(size / VEL_EDID_BLOCK, data[126] + 1u);
        for (size_t b = 0; b < blocks; ++b) {
            const unsigned char* block = edid + b * VEL_EDID_BLOCK;
            if (block[127] != edid_block_checksum(block)) abort();
        }
        const size_t done = blocks * VEL_EDID_BLOCK;
        if (memcmp(edid + done, data + done, size - done) != 0) abort();
    }
    free(edid);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The log is not what is under test; a directory that cannot exist keeps it cheap.
    static const bool quiet = setenv("VEL_LOG_DIR", "/dev/null/edid-fuzz", 0) == 0;
    (void)quiet;
    static const std::vector<CAPS_MODE_STRUCT> broad = broadList();
    static const std::vector<CAPS_MODE_STRUCT> none(VEL_CAPS_MODE_MAX, CAPS_MODE_STRUCT{0, 0, 0, 0});
    runOne(data, size, broad.data());
    runOne(data, size, none.data());
    return 0;
}
