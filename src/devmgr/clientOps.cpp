#include "devmgr/clientOps.h"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "devmgr/controlBlock.h"
#include "service/debug.h"
#include "service/paths.h"

std::atomic<sig_atomic_t> showFpsExit{0};
static_assert(std::atomic<sig_atomic_t>::is_always_lock_free,
              "the SIGINT handler may only store to a lock-free atomic");

namespace {

constexpr int SHOW_FPS_PERIOD_MS = 100;
constexpr int FWLOG_PASS_MS = 500;
constexpr size_t FW_TAIL = 128;     // the version stamp lives in the image's last 128 bytes
constexpr int FW_SCAN_FIRST = 119;  // highest start position examined for the stamp
constexpr char FW_STAMP[] = "Version:";
constexpr size_t FW_STAMP_LEN = sizeof FW_STAMP - 1;
constexpr int PROGRESS_WIDTH = 50;

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Waits for the service to finish the firmware-log download that record 0 describes. Returns 0
// when the done byte was seen, 1 after `maxPasses` passes without it. Either way the client's
// half of the exchange (total and done) is cleared for the next request. A record the object no
// longer holds reads as no progress.
int watchFwLog(const ControlBlockFile& cb, int maxPasses) {
    int result = 1;
    VEL_SHM_RECORD rec;
    for (int pass = 0; pass < maxPasses; ++pass) {
        sleepMs(FWLOG_PASS_MS);
        cb.readRecord(0, &rec);
        if (rec.fwLogDone) {
            setProgressBar(rec.fwLogTotal, rec.fwLogTotal);
            sleepMs(100);
            printf("fw log download finished. log file path:\n\33[1;32m%s\33[0m\n",
                   controlBlockGetText(rec.fwLogPath, sizeof rec.fwLogPath).c_str());
            fflush(stdout);
            result = 0;
            break;
        }
        if (rec.fwLogTotal != 0) setProgressBar(rec.fwLogReceived + 1, rec.fwLogTotal);
    }
    if (result != 0) {
        printf("fw log download timeout\n");
        fflush(stdout);
    }
    cb.put(0, &VEL_SHM_RECORD::fwLogTotal, 0);
    cb.put(0, &VEL_SHM_RECORD::fwLogDone, 0);
    return result;
}

}  // namespace

// "-fps <n>": n seconds between the service's FPS reports, 0 to stop them. Both records get
// the same setting because the client cannot tell which keys are in use.
int managerPrintFps(int seconds) {
    printf("====>Vel USB Device FPS<====\n");
    ControlBlockView cb;
    if (cb.open(vel::shmName().c_str(), true) != 0) {
        printf("Fail to open shared memory, can not set fps\n");
        return -1;
    }
    if (seconds != 0) {
        printf("set FPS print interval to %d s.\n", seconds);
    } else {
        printf("disable FPS print.\n");
    }
    for (int k = 0; k < VEL_SHM_RECORDS; ++k) {
        cb.put(k, &VEL_SHM_RECORD::fpsInterval, seconds);
        cb.put(k, &VEL_SHM_RECORD::fpsPrintEnabled, seconds != 0);
    }
    return 0;
}

// "-fps show": prints each new per-view sample that the service posts in record 0 until
// showFpsExit is set (SIGINT). With printing not enabled it ends the process with exit code 1.
// Polls every 100 ms, so it returns within 100 ms of the flag.
int managerShowFps() {
    printf("====>Vel USB Device FPS<====\n");
    ControlBlockView cb;
    if (cb.open(vel::shmName().c_str(), true) != 0) {
        printf("Fail to open shared memory, can not show fps on terminal\n");
        return -1;
    }
    VEL_SHM_RECORD r0, r1;
    cb.readRecord(0, &r0);
    cb.readRecord(1, &r1);
    if (!r0.fpsPrintEnabled) {
        printf(
            "Device FPS print on ternimal is not enabled, please use -fps option to enable it "
            "first.\n");
        fflush(stdout);
        exit(1);
    }
    cb.put(0, &VEL_SHM_RECORD::showFpsRequest, 1);
    if (r1.fpsPrintEnabled) cb.put(1, &VEL_SHM_RECORD::showFpsRequest, 1);
    showFpsExit = 0;
    fflush(stdout);
    while (!showFpsExit) {
        sleepMs(SHOW_FPS_PERIOD_MS);
        // The whole record at once: the figures of a view are those its flag announced.
        if (!cb.readRecord(0, &r0)) continue;
        for (int v = 0; v < VEL_SHM_VIEWS; ++v) {
            if (!r0.newFpsSample[v]) continue;
            cb.putAt(0, &VEL_SHM_RECORD::newFpsSample, static_cast<size_t>(v), 0);
            printf(
                "view[\33[32m%d\33[0m](\33[32m%#x\33[0m): %d pictures in %u ms, "
                "fps:\33[32m%.1f\33[0m\n",
                r0.viewIndex[v], static_cast<unsigned>(r0.targetId[v]), r0.pictures[v],
                r0.intervalMs[v], r0.fps[v]);
        }
        fflush(stdout);
    }
    return 0;
}

// "-mode light|smart": the request is level-triggered; the service applies it on its next
// heartbeat poll.
int managerSwitchMode(DevManager::PowerMode mode) {
    ControlBlockView cb;
    if (cb.open(vel::shmName().c_str(), true) != 0) {
        printf("can not set power mode\n");
        return -1;
    }
    uint8_t value = mode == DevManager::LIGHT ? 1 : 0;
    printf(value ? "set power mode to light.\n" : "set power mode to smart.\n");
    for (int k = 0; k < VEL_SHM_RECORDS; ++k) cb.put(k, &VEL_SHM_RECORD::powerModeRequest, value);
    return 0;
}

// "-fw board|host" and "-v": the adapters' versions from the block (board only; a missing
// block is reported and skipped), then the host image's version. -1 when the host image
// cannot be opened.
int managerPrintFwVersion(DevManager::MastType source) {
    printf("====>Vel USB Device Firmware Version<====\n");
    if (source == DevManager::BOARD) {
        ControlBlockView cb;
        if (cb.open(vel::shmName().c_str(), false) != 0) {
            printf("can not get fw version in board\n");
        } else {
            VEL_SHM_RECORD r;
            for (int k = 0; k < VEL_SHM_RECORDS; ++k) {
                if (!cb.readRecord(k, &r) || !r.versionValid) continue;
                printf("\033[33mDevice[%d] FW\033[0m Version: \033[33m%s\033[0m\n", k,
                       controlBlockGetText(r.fwVersion, sizeof r.fwVersion).c_str());
            }
        }
    }
    std::string path = vel::fwDir() + "USBDisplay520.bin";
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        fflush(stdout);  // keep the error after the lines above when both go to one terminal
        perror("Fail to get Host FW Version");
        return -1;
    }
    char version[VEL_FW_VERSION_MAX] = {};
    if (getLocalFwVersion(f, version, sizeof version)) {
        printf("\033[33mHOST FW\033[0m Version: \033[33m%s\033[0m\n", version);
    } else {
        printf("Fail to get Host FW Version: can not parse %s\n", path.c_str());
    }
    fclose(f);
    return 0;
}

// Finds the version stamp "Version: <text> " in the image's last 128 bytes and copies the text
// from just after the colon (the leading space included) up to the next space. The highest
// stamp wins. The copy is cut to versionSize - 1 characters. Returns 1 when a version was
// found, else 0. Only the last 128 bytes are kept while the stream is read, so an image of any
// size costs a fixed amount of memory; an image shorter than 128 bytes is scanned as it is.
int getLocalFwVersion(FILE* file, char* version, size_t versionSize) {
    if (!file || !version || versionSize == 0) return 0;
    unsigned char tail[FW_TAIL];
    size_t have = 0;
    unsigned char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) {
        if (n >= FW_TAIL) {
            memcpy(tail, chunk + n - FW_TAIL, FW_TAIL);
            have = FW_TAIL;
        } else {
            size_t keep = have + n > FW_TAIL ? FW_TAIL - n : have;
            memmove(tail, tail + have - keep, keep);
            memcpy(tail + keep, chunk, n);
            have = keep + n;
        }
    }
    if (ferror(file)) {
        vel_Print("[error] can't read file\n");
        return 0;
    }
    // The same highest start as in a full tail: nine bytes before its end.
    int first = static_cast<int>(have) - static_cast<int>(FW_TAIL) + FW_SCAN_FIRST;
    for (int i = first; i >= 0; --i) {
        if (memcmp(tail + i, FW_STAMP, FW_STAMP_LEN) != 0) continue;
        size_t from = static_cast<size_t>(i) + FW_STAMP_LEN;  // just after the colon
        size_t end = from + 1;                                // the tenth character
        while (end < have && tail[end] != ' ') ++end;
        if (end >= have) return 0;
        size_t len = end - from;
        if (len > versionSize - 1) len = versionSize - 1;
        memcpy(version, tail + from, len);
        version[len] = '\0';
        return 1;
    }
    return 0;
}

// Draws "[====    ] 25.0%\r" for current of total. The counts come from the service, so the
// ratio is held to 0..1 (a received count past the total, or no total, must not overrun the
// 50-column bar).
void setProgressBar(int current, int total) {
    float ratio;
    if (total > 0) {
        ratio = static_cast<float>(current) / static_cast<float>(total);
    } else {
        ratio = current == total ? 1.0f : 0.0f;
    }
    if (!(ratio >= 0.0f)) ratio = 0.0f;
    if (ratio > 1.0f) ratio = 1.0f;
    int n = static_cast<int>(ratio * PROGRESS_WIDTH);
    if (n > PROGRESS_WIDTH) n = PROGRESS_WIDTH;
    fputs("[\33[32m", stdout);
    for (int i = 0; i < n; ++i) fputc('=', stdout);
    fputs("\33[0m", stdout);
    for (int i = n; i < PROGRESS_WIDTH; ++i) fputc(' ', stdout);
    printf("] %.1f%%\r", static_cast<double>(ratio * 100.0f));
    fflush(stdout);
    if (ratio == 1.0f) {
        fputc('\n', stdout);
        fflush(stdout);
    }
}

// Local time as "%m%d_%H%M%S" (7 December 03:15:00 is "1207_031500").
std::string getCurrentTimestamp() {
    time_t now = time(nullptr);
    struct tm tmv {};
    localtime_r(&now, &tmv);
    char buf[32];
    size_t n = strftime(buf, sizeof buf, "%m%d_%H%M%S", &tmv);
    return std::string(buf, n);
}

// "-fwlog": asks every record's device for its firmware log, then follows record 0's progress
// for up to maxPasses x 500 ms. Returns 0 when the download finished, 1 on timeout or when the
// log path does not fit the block's path field, -1 when the block cannot be opened.
int getFwLog(int maxPasses) {
    ControlBlockView cb;
    if (cb.open(vel::shmName().c_str(), true) != 0) {
        printf("can not get fw log\n");
        return -1;
    }
    printf("get fw log now...\n");
    fflush(stdout);
    for (int k = 0; k < VEL_SHM_RECORDS; ++k) {
        std::string path =
            vel::logDir() + "fw_log_" + getCurrentTimestamp() + "_" + std::to_string(k) + ".log";
        // A cut path would send the service's file somewhere nobody looks for it.
        constexpr size_t field = sizeof(VEL_SHM_RECORD::fwLogPath);
        if (path.size() >= field) {
            printf("fw log path too long (%zu bytes, at most %zu): %s\n", path.size(), field - 1,
                   path.c_str());
            return 1;
        }
        cb.putText(k, &VEL_SHM_RECORD::fwLogPath, path.c_str());
        cb.put(k, &VEL_SHM_RECORD::fwLogRequest, 1);
    }
    int result = 1;
    std::thread watcher([&] {
        pthread_setname_np(pthread_self(), "fwLogWatch");
        result = watchFwLog(cb, maxPasses);
    });
    watcher.join();
    return result;
}
