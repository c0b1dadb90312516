#include "firmware/fwLogPath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "service/debug.h"
#include "service/paths.h"

namespace {

bool digits(const char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
    }
    return true;
}

}  // namespace

bool velFwLogNameValid(const char* name) {
    // "fw_log_" MMDD "_" HHMMSS "_" k ".log"
    static const size_t kLen = 7 + 4 + 1 + 6 + 1 + 1 + 4;
    if (!name || strnlen(name, kLen + 1) != kLen) return false;
    return memcmp(name, "fw_log_", 7) == 0 && digits(name + 7, 4) && name[11] == '_' &&
           digits(name + 12, 6) && name[18] == '_' && (name[19] == '0' || name[19] == '1') &&
           memcmp(name + 20, ".log", 4) == 0;
}

int velOpenFwLogForAppend(const char* field64) {
    if (!field64) {
        vel_Print("[error] fw log path refused: no path\n");
        return -1;
    }
    if (!memchr(field64, '\0', VEL_FW_LOG_PATH_FIELD)) {
        vel_Printf("[error] fw log path refused: not terminated within %zu bytes\n",
                   VEL_FW_LOG_PATH_FIELD);
        return -1;
    }
    const std::string dir = vel::logDir();
    const std::string path(field64);
    // The name check below rejects any further '/', so a path that starts with the log
    // directory and passes it names a file directly inside that directory (no "..", no
    // sub-directory).
    if (path.compare(0, dir.size(), dir) != 0 || !velFwLogNameValid(path.c_str() + dir.size())) {
        vel_Printf("[error] fw log path refused: %s is not a fw_log_MMDD_HHMMSS_k.log file in %s\n",
                   path.c_str(), dir.c_str());
        return -1;
    }
    // O_NOFOLLOW refuses a symbolic link in the last component; O_NONBLOCK keeps a FIFO placed
    // under the name from blocking the open (it then fails with ENXIO or is refused below).
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
                  0644);
    if (fd < 0) {
        vel_Printf("[error] fw log path refused: can't open %s: %s\n", path.c_str(),
                   strerror(errno));
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        vel_Printf("[error] fw log path refused: %s is not a regular file with a single link\n",
                   path.c_str());
        close(fd);
        return -1;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

int velAppendFwLogText(const char* field64, const char* text, size_t cap) {
    int fd = velOpenFwLogForAppend(field64);
    if (fd < 0) return -1;
    size_t len = text ? strnlen(text, cap) : 0;
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, text + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            vel_Printf("[error] fw log write to %s failed: %s\n", field64,
                       n < 0 ? strerror(errno) : "nothing written");
            close(fd);
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
    return 0;
}
