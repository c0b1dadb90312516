#include "tsharkRun.h"

#include <sstream>

#include "testSupport.h"

namespace vtest {

const char* const kTshark = "/usr/bin/tshark";

std::string dissectorPath() {
    return std::string(VEL_SOURCE_DIR) + "/tools/wireshark/velusbdisplay.lua";
}

TsharkResult tsharkFields(const std::string& capture, const std::vector<std::string>& fields,
                          const std::string& home, const std::string& filter,
                          std::chrono::milliseconds timeout) {
    std::vector<std::string> argv = {kTshark, "-n", "-r",
                                     capture, "-X", "lua_script:" + dissectorPath()};
    if (!filter.empty()) {
        argv.push_back("-Y");
        argv.push_back(filter);
    }
    // A separator no field value holds.
    argv.insert(argv.end(),
                {"-T", "fields", "-E", "separator=|", "-E", "occurrence=a", "-E", "aggregator=,"});
    for (const std::string& f : fields) {
        argv.push_back("-e");
        argv.push_back(f);
    }
    ProcResult p = run(argv, {"HOME=" + home, "XDG_CONFIG_HOME=" + home}, timeout);
    TsharkResult r;
    r.status = p.status;
    r.err = p.err;
    std::istringstream in(p.out);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> row;
        size_t at = 0;
        for (;;) {
            const size_t bar = line.find('|', at);
            row.push_back(line.substr(at, bar == std::string::npos ? bar : bar - at));
            if (bar == std::string::npos) break;
            at = bar + 1;
        }
        row.resize(fields.size());
        r.rows.push_back(std::move(row));
    }
    return r;
}

}  // namespace vtest
