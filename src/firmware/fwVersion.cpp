#include "firmware/fwVersion.h"

#include <cstring>
#include <regex>

#include "service/debug.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool velParseFwVersion(const char* text, std::vector<uint32_t>& parts) {
    parts.clear();
    if (!text) return false;
    const size_t len = strnlen(text, VEL_FW_VERSION_MAX_TEXT + 1);
    if (len > VEL_FW_VERSION_MAX_TEXT) return false;
    size_t pos = 0, end = len;
    while (pos < end && isBlank(text[pos])) ++pos;
    while (end > pos && isBlank(text[end - 1])) --end;
    if (pos < end && (text[pos] == 'v' || text[pos] == 'V')) ++pos;
    if (pos == end) return false;

    std::vector<uint32_t> out;
    while (true) {
        if (pos == end || !isDigit(text[pos])) return false;  // empty component or stray text
        uint64_t value = 0;
        while (pos < end && isDigit(text[pos])) {
            value = value * 10 + static_cast<uint64_t>(text[pos] - '0');
            if (value > UINT32_MAX) return false;
            ++pos;
        }
        if (out.size() == VEL_FW_VERSION_MAX_PARTS) return false;
        out.push_back(static_cast<uint32_t>(value));
        if (pos == end) break;
        if (text[pos] != '.') return false;
        ++pos;
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
        // %.*s keeps an overlong or unterminated-looking text from filling the line.
        vel_Printf(
            "[error] can't compare FW versions, %s version is not a dotted number "
            "(host: \"%.40s\", device: \"%.40s\"), no update\n",
            hostOk ? "device" : "host", hostText ? hostText : "(none)",
            deviceText ? deviceText : "(none)");
        return VEL_FW_UNPARSEABLE;
    }
    return velCompareFwVersionParts(host, device);
}

float velFwVersionAsFloat(const std::string& text) {
    try {
        static const std::regex kNumber("(\\d+\\.?\\d*)", std::regex::ECMAScript);
        const std::string bounded = text.substr(0, VEL_FW_VERSION_MAX_TEXT);
        std::smatch m;
        if (!std::regex_search(bounded, m, kNumber)) return 0.0f;
        return std::stof(m[1].str());
    } catch (...) {
        // stof reports a number beyond the float range by out_of_range; regex may throw on
        // resource limits. Neither may escape into the service.
        return 0.0f;
    }
}
