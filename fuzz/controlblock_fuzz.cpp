// Fuzzes the service control block as a hostile local client leaves it: the object is 0666, so
// any user can write any bytes into it and cut it to any size. Each input rewrites the service's
// block, then the model-520 heartbeat takes the client's requests from it (takeClientRequests:
// firmware log download from the emulated adapter, FPS printing, power mode), the firmware-log
// blocks the adapter sends are written where the record's path says (when it is accepted), and
// the heartbeat's record read is repeated for both records.
// Input: byte 0 flags (bit 7: the object is cut to the input's length), then the bytes of the block from offset 0. A path field starting with '@'
// has the '@' replaced by the private log directory, so that accepted paths are reachable.
// Checked: the interval and power mode the session takes stay in their ranges; the log
// directory only ever holds the service log and files of the generated fw_log_ form.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "devmgr/DevManager.h"
#include "devmgr/controlBlock.h"
#include "firmware/fwLogPath.h"
#include "harness.h"
#include "service/paths.h"
#include "session520.h"

namespace {

struct Block {
    std::string name, logDir;
    int fd = -1;
    Block() {
        fuzzkit::privateLogDir("velcbfuzz");
        logDir = vel::logDir();
        name = "/velcbfuzz." + std::to_string(getpid());
        if (controlBlockCreate(name.c_str(), &fd) != 0) abort();
    }
    void shutdown() { controlBlockDestroy(name.c_str(), fd); }
};

void checkLogDir(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n == "." || n == ".." || n.rfind("VelUSBDisplay", 0) == 0) continue;
        if (!velFwLogNameValid(n.c_str())) abort();
        // Keeps the directory small over a long run.
        unlink((dir + "/" + n).c_str());
    }
    closedir(d);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Block& b = fuzzkit::lazy<Block>();  // first: it names the log directory before the session logs
    fuzz520::Session& s = fuzz520::session();
    fuzzkit::forgetTraffic(*s.model);
    std::vector<uint8_t> bytes(data + 1, data + size);
    for (int r = 0; r < VEL_SHM_RECORDS; ++r) {
        const size_t at = r * sizeof(VEL_SHM_RECORD) + offsetof(VEL_SHM_RECORD, fwLogPath);
        if (at < bytes.size() && bytes[at] == '@') {
            bytes.erase(bytes.begin() + static_cast<long>(at));
            bytes.insert(bytes.begin() + static_cast<long>(at), b.logDir.begin(), b.logDir.end());
        }
    }
    const size_t objectSize = (data[0] & 0x80) ? std::min(bytes.size(), VEL_SHM_SIZE) : VEL_SHM_SIZE;
    if (ftruncate(b.fd, 0) != 0 || ftruncate(b.fd, static_cast<off_t>(objectSize)) != 0) abort();
    const size_t n = std::min(bytes.size(), objectSize);
    if (n && pwrite(b.fd, bytes.data(), n, 0) != static_cast<ssize_t>(n)) abort();

    s.dc->takeClientRequests(s.dev);
    VEL_SHM_RECORD rec;
    for (int r = 0; r < VEL_SHM_RECORDS; ++r) (void)controlBlockServiceRead(r, &rec);

    const int interval = s.dev->fpsValue;
    if (interval < 0 || interval > 2147483) abort();
    const int mode = s.dev->powerMode;
    if (mode != DevManager::SMART && mode != DevManager::LIGHT) abort();
    if (s.dev->lightMode != (mode == DevManager::LIGHT ? 1 : 0)) abort();
    checkLogDir(b.logDir);
    return 0;
}
