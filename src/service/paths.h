// Fixed locations of the service, each with an environment override so that tests and the
// emulator can run side by side without root:
//   VEL_LOG_DIR  log directory      (default "/var/log/VelUSBDisplay/")
//   VEL_FW_DIR   firmware directory (default "/opt/velmora/")
//   VEL_SHM_NAME control-block name (default "/vel_shm")
// Directory results always end in '/'. The values are read on every call so a test can set
// them before it starts the code under test.
#pragma once

#include <string>

namespace vel {

std::string logDir();
std::string logFilePath();
std::string fwDir();
std::string shmName();

}  // namespace vel
