// Command-line client operations: each opens the running service's control block, sets a
// request or reads a result, prints to standard output and returns 0, or -1 when the block (or
// the host firmware file) cannot be opened.
#pragma once

#include <signal.h>

#include <cstdio>
#include <string>

#include "devmgr/DevManager.h"

// Set by the FPS display's SIGINT handler; the display loop polls it.
extern volatile sig_atomic_t showFpsExit;

int managerPrintFps(int seconds);
int managerShowFps();
int managerSwitchMode(DevManager::PowerMode mode);
int managerPrintFwVersion(DevManager::MastType source);
int getLocalFwVersion(FILE* file, char* version);
void setProgressBar(int current, int total);
std::string getCurrentTimestamp();
int getFwLog();
