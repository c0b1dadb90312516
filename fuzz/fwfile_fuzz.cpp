// Fuzzes the firmware inputs that come from files and from the adapter: version texts (the
// first dotted number and the comparison) and firmware-log blocks against a
// control-block record whose path names a real file in a private log directory.
// Input: byte 0 selects the target. Odd: the rest is "host|device" version texts. Even: the rest
// is one log block, exactly as received.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "devmgr/controlBlock.h"
#include "firmware/fw520Update.h"
#include "firmware/fwVersion.h"
#include "harness.h"
#include "service/paths.h"

namespace {

const std::string& logPath() {
    static const std::string path = [] {
        fuzzkit::privateLogDir("velfwfuzz");
        return vel::logDir() + "fw_log_0101_000000_0.log";
    }();
    return path;
}

void versions(const uint8_t* data, size_t size) {
    const std::string all(reinterpret_cast<const char*>(data), size);
    const size_t bar = all.find('|');
    const std::string host = all.substr(0, bar);
    const std::string device = bar == std::string::npos ? std::string() : all.substr(bar + 1);
    std::vector<uint32_t> h, d;
    const bool hostOk = velParseFwVersion(host.c_str(), h);
    const bool deviceOk = velParseFwVersion(device.c_str(), d);
    const int hd = velCompareFwVersions(host.c_str(), device.c_str());
    if ((hd == VEL_FW_UNPARSEABLE) != (!hostOk || !deviceOk)) abort();
    if (hostOk && deviceOk) {
        if (velCompareFwVersions(device.c_str(), host.c_str()) != -hd) abort();
        if (h.size() > VEL_FW_VERSION_MAX_PARTS || (h.size() > 1 && h.back() == 0)) abort();
    }
    if (hostOk && velCompareFwVersions(host.c_str(), host.c_str()) != VEL_FW_MATCHED) abort();
}

void logBlock(const uint8_t* data, size_t size) {
    const std::string& path = logPath();
    // Keeps the file from growing over a long run; a missing file is created by the append.
    const int rc = truncate(path.c_str(), 0);
    (void)rc;
    VEL_SHM_RECORD rec{};
    controlBlockPutText(rec.fwLogPath, sizeof rec.fwLogPath, path.c_str());
    const int r = velFw520LogBlock(data, size, &rec);
    if (r != 0 && (rec.fwLogTotal != 0 || rec.fwLogReceived != 0 || rec.fwLogDone != 0)) abort();
    if (rec.fwLogTotal < 0 || rec.fwLogReceived < 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    logPath();
    if (data[0] & 1) {
        versions(data + 1, size - 1);
    } else {
        // An exact-size copy, so that a read past the block is caught.
        std::vector<uint8_t> block(data + 1, data + size);
        logBlock(block.empty() ? nullptr : block.data(), block.size());
    }
    return 0;
}
