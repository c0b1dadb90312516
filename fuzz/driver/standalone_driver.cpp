// Deterministic stand-in for libFuzzer, used where clang's fuzzer runtime is not built in.
// Runs every seed file of the given directories (and files), then a fixed number of mutations
// of them (bit flips, byte sets, truncations, insertions, splices) from a fixed-seed generator,
// so that a CTest run is bounded and repeatable.
//   usage: <prog> [--iterations N] [--seed S] [--min-seeds N] PATH...
// VEL_FUZZ_EXTRA_CORPUS names one more seed directory. With --min-seeds the run fails when it
// found fewer seed files than that, so a corpus that silently went missing is noticed.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <algorithm>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void addFile(const std::string& path, std::vector<std::vector<uint8_t>>& seeds) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return;
    seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void addPath(const std::string& path, std::vector<std::vector<uint8_t>>& seeds) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return;
    if (!S_ISDIR(st.st_mode)) {
        addFile(path, seeds);
        return;
    }
    DIR* d = opendir(path.c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const auto& n : names) addPath(path + "/" + n, seeds);
}

// Runs one input from an exact-size heap copy, so that reads past the end are caught.
void runOne(const std::vector<uint8_t>& in) {
    uint8_t* copy = static_cast<uint8_t*>(malloc(in.empty() ? 1 : in.size()));
    if (!in.empty()) memcpy(copy, in.data(), in.size());
    LLVMFuzzerTestOneInput(copy, in.size());
    free(copy);
}

}  // namespace

int main(int argc, char** argv) {
    long iterations = 10000;
    unsigned seed = 1;
    size_t minSeeds = 0;
    std::vector<std::vector<uint8_t>> seeds;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--iterations") && i + 1 < argc) {
            iterations = strtol(argv[++i], nullptr, 10);
        } else if (!strcmp(argv[i], "--min-seeds") && i + 1 < argc) {
            minSeeds = strtoul(argv[++i], nullptr, 10);
        } else if (!strcmp(argv[i], "--seed") && i + 1 < argc) {
            seed = static_cast<unsigned>(strtoul(argv[++i], nullptr, 10));
        } else {
            addPath(argv[i], seeds);
        }
    }
    if (const char* extra = getenv("VEL_FUZZ_EXTRA_CORPUS")) addPath(extra, seeds);
    if (seeds.size() < minSeeds) {
        fprintf(stderr, "expected at least %zu seeds: a corpus directory is missing\n", minSeeds);
        return 1;
    }
    if (seeds.empty()) seeds.push_back({});
    for (const auto& s : seeds) runOne(s);

    std::mt19937 rng(seed);
    for (long it = 0; it < iterations; ++it) {
        std::vector<uint8_t> in = seeds[rng() % seeds.size()];
        int edits = 1 + static_cast<int>(rng() % 8);
        for (int e = 0; e < edits; ++e) {
            switch (rng() % 6) {
            case 0:
                if (!in.empty()) in[rng() % in.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
                break;
            case 1:
                if (!in.empty()) in[rng() % in.size()] = static_cast<uint8_t>(rng());
                break;
            case 2:
                if (!in.empty()) in.resize(rng() % in.size());
                break;
            case 3:
                in.insert(in.begin() + static_cast<long>(in.empty() ? 0 : rng() % in.size()),
                          static_cast<uint8_t>(rng()));
                break;
            case 4: {
                static const uint8_t interesting[] = {0x00, 0x01, 0x7F, 0x80, 0xFF, 0xFE, 0x10, 0x40};
                if (!in.empty()) in[rng() % in.size()] = interesting[rng() % sizeof interesting];
                break;
            }
            default: {
                const auto& other = seeds[rng() % seeds.size()];
                if (!other.empty() && !in.empty()) {
                    size_t at = rng() % in.size(), from = rng() % other.size();
                    size_t n = std::min(other.size() - from, in.size() - at);
                    memcpy(in.data() + at, other.data() + from, n);
                }
            }
            }
        }
        runOne(in);
    }
    printf("fuzz driver: %zu seeds, %ld mutated inputs, no failure\n", seeds.size(), iterations);
    return 0;
}
