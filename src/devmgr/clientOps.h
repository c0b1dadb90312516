// Command-line client operations: each opens the running service's control block, sets a
// request or reads a result, prints to standard output and returns 0, or -1 when the block (or
// the host firmware file) cannot be opened. They run in a short-lived client process on its
// main thread (getFwLog adds one watcher thread); none writes a log line of its own except the
// host-file read failure.
#pragma once

#include <signal.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <string>

#include "devmgr/DevManager.h"

// Set by the FPS display's SIGINT handler; the display loop polls it. A lock-free atomic: safe
// to store from a signal handler, and from another thread (tests).
extern std::atomic<sig_atomic_t> showFpsExit;

constexpr size_t VEL_FW_VERSION_MAX = 40;  // host firmware version text, terminator included
constexpr int VEL_FWLOG_PASSES = 40;       // watcher passes of 500 ms before giving up (20 s)

int managerPrintFps(int seconds);
int managerShowFps();
int managerSwitchMode(DevManager::PowerMode mode);
int managerPrintFwVersion(DevManager::MastType source);
int getLocalFwVersion(FILE* file, char* version, size_t versionSize = VEL_FW_VERSION_MAX);
void setProgressBar(int current, int total);
std::string getCurrentTimestamp();
int getFwLog(int maxPasses = VEL_FWLOG_PASSES);
