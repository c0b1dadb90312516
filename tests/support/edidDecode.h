// edid-decode as the tests' EDID oracle: the EDID is written to a file and decoded by the Debian
// package's program, so that what the service made is read by code that is not its own.
#pragma once

#include <string>
#include <tuple>
#include <vector>

namespace vtest {

// edid-decode's text for `edid` (written as `dir`/`tag`.bin). When edid-decode is missing or
// reads no EDID the comparison would have nothing to compare and pass, so that fails the calling
// test with what went wrong and gives "".
std::string runEdidDecode(const std::string& dir, const std::vector<unsigned char>& edid,
                          const char* tag);

// Every timing line of edid-decode's text ("<label>: <w>x<h>[i] <hz> Hz"), as width, height and
// refresh, in order.
std::vector<std::tuple<int, int, double>> edidDecodeTimings(const std::string& text);

}  // namespace vtest
