#include "firmware/fwVersion.h"

#include <cstring>

#include "service/debug.h"

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool velParseFwVersion(const char* text, std::vector<uint32_t>& parts) {
    parts.clear();
    if (!text) return false;
    const size_t end = strnlen(text, VEL_FW_VERSION_MAX_TEXT);
    size_t pos = 0;
    while (pos < end && !isDigit(text[pos])) ++pos;
    if (pos == end) return false;

    std::vector<uint32_t> out;
    for (;;) {
        uint64_t value = 0;
        while (pos < end && isDigit(text[pos])) {
            value = value * 10 + static_cast<uint64_t>(text[pos] - '0');
            if (value > UINT32_MAX) return false;
            ++pos;
        }
        if (out.size() == VEL_FW_VERSION_MAX_PARTS) return false;
        out.push_back(static_cast<uint32_t>(value));
        // The number goes on only through a dot with a digit after it: "1.2." ends at 1.2.
        if (pos + 1 < end && text[pos] == '.' && isDigit(text[pos + 1])) {
            ++pos;
            continue;
        }
        break;
    }
    while (!out.empty() && out.back() == 0) out.pop_back();
    if (out.empty()) out.push_back(0);  // "0", "0.0": keep one component so success is visible
    parts.swap(out);
    return true;
}

int velCompareFwVersionParts(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
    const size_t n = a.size() > b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        uint32_t x = i < a.size() ? a[i] : 0;
        uint32_t y = i < b.size() ? b[i] : 0;
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

int velCompareFwVersions(const char* hostText, const char* deviceText) {
    std::vector<uint32_t> host, device;
    const bool hostOk = velParseFwVersion(hostText, host);
    const bool deviceOk = velParseFwVersion(deviceText, device);
    if (!hostOk || !deviceOk) {
        // %.40s keeps an overlong text from filling the line.
        vel_Printf(
            "[error] can't compare FW versions, %s version has no readable version number "
            "(host: \"%.40s\", device: \"%.40s\"), no update\n",
            hostOk ? "device" : "host", hostText ? hostText : "(none)",
            deviceText ? deviceText : "(none)");
        return VEL_FW_UNPARSEABLE;
    }
    return velCompareFwVersionParts(host, device);
}
