#include "service/paths.h"

#include <cstdlib>

namespace vel {
namespace {

std::string dirFromEnv(const char* var, const char* fallback) {
    const char* v = getenv(var);
    std::string d = (v && *v) ? v : fallback;
    if (d.back() != '/') d += '/';
    return d;
}

}  // namespace

std::string logDir() { return dirFromEnv("VEL_LOG_DIR", "/var/log/VelUSBDisplay/"); }
std::string logFilePath() { return logDir() + "VelUSBDisplay.log"; }
std::string fwDir() { return dirFromEnv("VEL_FW_DIR", "/opt/velmora/"); }

std::string shmName() {
    const char* v = getenv("VEL_SHM_NAME");
    return (v && *v) ? v : "/vel_shm";
}

}  // namespace vel
