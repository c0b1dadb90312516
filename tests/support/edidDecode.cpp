#include "edidDecode.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

namespace vtest {

std::string runEdidDecode(const std::string& dir, const std::vector<unsigned char>& edid,
                          const char* tag) {
    const std::string path = dir + "/" + tag + ".bin";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(edid.data()),
               static_cast<std::streamsize>(edid.size()));
    std::string out;
    FILE* p = popen(("edid-decode -c --skip-sha '" + path + "' 2>&1").c_str(), "r");
    if (!p) {
        ADD_FAILURE() << "cannot start edid-decode";
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int status = pclose(p);
    // The shell answers 127 (not found) or 126 (not runnable); edid-decode itself exits 254 when
    // it lists conformity failures, which the callers read from its output.
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) == 126 ||
        WEXITSTATUS(status) == 127) {
        ADD_FAILURE() << "edid-decode did not run (install the Debian package edid-decode): "
                      << out;
        return {};
    }
    if (out.find("Block 0, Base EDID:") == std::string::npos) {
        ADD_FAILURE() << "edid-decode read no EDID from " << path << ": " << out.substr(0, 300);
        return {};
    }
    return out;
}

std::vector<std::tuple<int, int, double>> edidDecodeTimings(const std::string& text) {
    static const std::regex timing(R"(^\s*([^:]+?)\s*:\s+(\d+)x(\d+)i?\s+([0-9.]+) Hz)");
    std::vector<std::tuple<int, int, double>> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Failures:", 0) == 0 || line.rfind("Warnings:", 0) == 0) break;
        std::smatch m;
        if (std::regex_search(line, m, timing))
            out.emplace_back(std::stoi(m[2]), std::stoi(m[3]), std::stod(m[4]));
    }
    return out;
}

}  // namespace vtest
