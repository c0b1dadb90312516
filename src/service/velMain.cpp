#include "service/velMain.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "devmgr/DevManager.h"
#include "devmgr/clientOps.h"
#include "service/debug.h"

void signalHandler(int) {
    // Only an async-signal-safe store: the main thread, which waits for the stop, writes the
    // "send exit signal" line and starts the shutdown (DevManager::waitForExit).
    g_exitSignal = 1;
}

void printHandler(int) {
    static const char msg[] = "[info] print exit signal\n";
    ssize_t r = write(STDOUT_FILENO, msg, sizeof msg - 1);
    (void)r;
    showFpsExit = 1;
}

namespace {

void installHandler(int sig, void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
}

// A whole decimal number that the FPS interval (an int in the control block) can hold: strtol
// alone would take 4294967296, which the interval would then read as 0 (printing off).
bool parseWholeNumber(const char* text, long* value) {
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (end == text || *end != '\0') return false;
    if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
    *value = v;
    return true;
}

}  // namespace

int velRunService() {
    char buf[512];
    snprintf(buf, sizeof buf, "====> Vel USB Device Driver is running [Release Type: %s, Version: %s]\n",
             VEL_RELEASE_TYPE, VEL_DRIVER_VERSION);
    vel_Print(buf);
    installHandler(SIGINT, signalHandler);
    installHandler(SIGQUIT, signalHandler);
    installHandler(SIGTERM, signalHandler);

    g_dev.reset();
    g_dev = std::make_unique<DevManager>();
    g_dev->registerUsb();
    g_dev->waitForExit();

    vel_Print("[info] exit signal received\n");
    g_dev->removeAllDevice();
    g_dev.reset();
    snprintf(buf, sizeof buf, "==== %s %s exited ====\n", VEL_RELEASE_TYPE, VEL_DRIVER_VERSION);
    vel_Print(buf);
    // A fatal path woke us: it ends the process with status 1, whichever thread gets there first.
    if (g_abortRequested) _exit(1);
    return 0;
}

int velMain(int argc, char** argv) {
    const char* prog = argv[0];
    if (argc < 2) return velRunService();
    const char* opt = argv[1];

    if (!strcmp(opt, "-fw")) {
        if (argc >= 3 && !strcmp(argv[2], "board")) {
            managerPrintFwVersion(DevManager::BOARD);
            return 0;
        }
        if (argc >= 3 && !strcmp(argv[2], "host")) {
            managerPrintFwVersion(DevManager::HOST);
            return 0;
        }
        printf("Usage: %s -fw [board|host]\n", prog);
        return -1;
    }
    if (!strcmp(opt, "-fwlog")) {
        getFwLog();
        g_dev.reset();
        return 0;
    }
    if (!strcmp(opt, "-v") || !strcmp(opt, "--version") || !strcmp(opt, "-version")) {
        printf("====>Vel USB Device Driver Version<====\n");
        printf("\33[33mHost Vel Driver\33[0m Version: \33[33mv %s\33[0m\n", VEL_DRIVER_VERSION);
        managerPrintFwVersion(DevManager::BOARD);
        return 0;
    }
    if (!strcmp(opt, "-fps")) {
        if (argc != 3) {
            printf("Usage: %s -fps <number>\n", prog);
            return -1;
        }
        if (!strcmp(argv[2], "show")) {
            installHandler(SIGINT, printHandler);
            managerShowFps();
            return 0;
        }
        long n = 0;
        if (parseWholeNumber(argv[2], &n)) {
            printf("Setting FPS to %ld\n", n);
            managerPrintFps(static_cast<int>(n));
            return 0;
        }
        printf("Invalid input. Please enter a valid number.\n");
        return -1;
    }
    if (!strcmp(opt, "-mode")) {
        if (argc != 3) {
            printf("Usage: %s [-mode light] to enable light mode, [-mode smart] to enable smart mode \n",
                   prog);
            return -1;
        }
        if (!strcmp(argv[2], "light")) {
            printf("Setting powerMode to LIGHT\n");
            managerSwitchMode(DevManager::LIGHT);
            return 0;
        }
        if (!strcmp(argv[2], "smart")) {
            printf("Setting powerMode to SMART\n");
            managerSwitchMode(DevManager::SMART);
            return 0;
        }
        printf("Invalid mode. Use 'light' or 'smart'.\n");
        return -1;
    }
    if (!strcmp(opt, "-help") || !strcmp(opt, "-h")) {
        printf("Usage: %s [-fw board|host] [-fwlog] [-v | --version | -version] [-fps <number>] "
               "[fps <show>] [-mode light|smart]\n",
               prog);
        return 0;
    }
    printf("wrong parameters! use [%s -h] to get help.\n", prog);
    return 0;
}
