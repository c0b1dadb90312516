#include "emulator/adapters/edidCorpus.h"

namespace emu {

std::vector<uint8_t> edidCorpusBytes(const std::string& name) {
    for (size_t i = 0; i < kEdidCorpusCount; ++i) {
        if (name == kEdidCorpus[i].name) {
            return std::vector<uint8_t>(kEdidCorpus[i].bytes,
                                        kEdidCorpus[i].bytes + kEdidCorpus[i].size);
        }
    }
    return {};
}

}  // namespace emu
