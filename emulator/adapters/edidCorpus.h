// The test monitors' EDIDs, embedded at build time from data/edid/corpus/ (whole EDIDs, every
// extension block included; a few are broken on purpose, see data/edid/README.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace emu {

struct EdidCorpusEntry {
    const char* name;  // file name in data/edid/corpus/
    const unsigned char* bytes;
    size_t size;
};

extern const EdidCorpusEntry kEdidCorpus[];
extern const size_t kEdidCorpusCount;

// Bytes of the corpus EDID of that file name; empty when there is none.
std::vector<uint8_t> edidCorpusBytes(const std::string& name);

}  // namespace emu
