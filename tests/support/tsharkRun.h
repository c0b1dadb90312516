// tshark as a test oracle: reads a capture with the project's Wireshark dissector
// (tools/wireshark/velusbdisplay.lua) and returns the chosen fields of every record, so a test
// compares what an independent reader decodes with what the emulated adapter recorded.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace vtest {

// The installed tshark (scripts/install-deps.sh brings it). A missing one fails the calling
// test, never skips it.
extern const char* const kTshark;
// The dissector in the source tree.
std::string dissectorPath();

struct TsharkResult {
    int status = -1;
    std::string err;
    // One row per record that passes the filter, one string per requested field (several
    // occurrences of a field joined with ',').
    std::vector<std::vector<std::string>> rows;
};

// tshark -n -r CAPTURE -X lua_script:<dissector> [-Y FILTER] -T fields -e F... with HOME set to
// `home` (no personal preferences or plug-ins).
TsharkResult tsharkFields(const std::string& capture, const std::vector<std::string>& fields,
                          const std::string& home, const std::string& filter = "",
                          std::chrono::milliseconds timeout = std::chrono::seconds(120));

}  // namespace vtest
