// Process entry of VelUSBDisplay: the command line, the signal handlers and the service's start
// and stop order. Shared by the real program and the emulator program.
#pragma once

#define VEL_DRIVER_VERSION "2.24.6.0"
#define VEL_RELEASE_TYPE "Velmora Linux USB Display Driver"

// Runs the command line: a client operation, or (no argument) the service. Returns the exit
// status; -1 reaches the shell as 255.
int velMain(int argc, char** argv);

// The service itself (no argument): returns 0 after an orderly stop.
int velRunService();

void signalHandler(int sig);
void printHandler(int sig);
