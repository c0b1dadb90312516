// Helpers shared by the tests: private temporary directories, reading the (substituted) service
// log back as plain text, running programs as processes with captured output, and bounded
// polling for conditions.
#pragma once

#include <semaphore.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

struct libusb_context;
struct libusb_device_handle;

namespace vtest {

// A fresh directory under /tmp, removed with its contents on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

// Points VEL_LOG_DIR, VEL_FW_DIR and VEL_SHM_NAME at private places for the test's lifetime.
class IsolatedEnv {
  public:
    IsolatedEnv();
    ~IsolatedEnv();
    std::string logDir() const { return m_dir.path() + "/log"; }
    std::string fwDir() const { return m_dir.path() + "/fw"; }
    std::string logFile() const { return logDir() + "/VelUSBDisplay.log"; }
    const std::string& shmName() const { return m_shm; }
    // The log decoded (substitution undone), or "" if there is none.
    std::string log() const;
    // Decoded log lines without their 19-character timestamps.
    std::vector<std::string> logLines() const;
    // How many log lines contain `needle`.
    int logCount(const std::string& needle) const;
    // Fails the test unless lines containing each needle appear in this order.
    void expectLogInOrder(const std::vector<std::string>& needles) const;
    // "VEL_LOG_DIR=...", "VEL_FW_DIR=...", "VEL_SHM_NAME=...": the environment of a program
    // started as a process in this isolation.
    std::vector<std::string> processEnv() const;

  private:
    TempDir m_dir;
    std::string m_shm;
};

std::string readFile(const std::string& path);
std::string decodeLog(const std::string& raw);

// ThreadSanitizer slows the service down several times over: bounds on how long something may
// take are stretched by this factor in that build (they stay bounds, never windows).
#if defined(__SANITIZE_THREAD__)
inline constexpr int kTimeScale = 4;
#else
inline constexpr int kTimeScale = 1;
#endif
// Built with AddressSanitizer or ThreadSanitizer: every lock, allocation and wake-up costs
// several times its CPU, so shares of a core measured there get more room.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// Polls `cond` every 5 ms until it holds or `timeout` (times kTimeScale) passes; returns its
// last value.
bool waitFor(const std::function<bool()>& cond,
             std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Polls `count` every 10 ms until it has not changed for `quiet` (a stream that has stopped);
// false when that does not happen within `timeout` (times kTimeScale).
bool waitSteady(const std::function<uint64_t()>& count,
                std::chrono::milliseconds quiet = std::chrono::milliseconds(400),
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Standard output (descriptor 1) goes to a file from construction to finish(), and can be read
// while it is written: a test waits for what a program prints instead of sleeping.
class StdoutToFile {
  public:
    StdoutToFile();
    ~StdoutToFile();
    StdoutToFile(const StdoutToFile&) = delete;
    StdoutToFile& operator=(const StdoutToFile&) = delete;
    std::string text() const;  // what was printed so far (and flushed)
    std::string finish();      // restores standard output; returns all that was printed

  private:
    TempDir m_dir;
    int m_saved = -1;
};

struct ProcResult {
    int status = -1;  // exit code, or 128 + signal
    std::string out;  // standard output
    std::string err;  // standard error
};

// A program started as a child process with its output captured to files.
class Process {
  public:
    Process(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
    ~Process();
    pid_t pid() const { return m_pid; }
    void signal(int sig);
    // Waits for the child to end (killing it after `timeout`); returns status and output.
    ProcResult wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    bool running();

  private:
    pid_t m_pid = -1;
    TempDir m_io;
    bool m_done = false;
    ProcResult m_result;
};

// Runs a program to completion.
ProcResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
               std::chrono::milliseconds timeout = std::chrono::seconds(20));

std::string binPath(const std::string& relative);  // under the build directory

// POSIX shared-memory objects as another process (or another user) sees them.
// Creates (or reopens) `name` with `size` bytes of `fill` and `mode`; when `owner` is not -1 the
// object is given to that uid (root only). Returns false on any failure.
bool makeShmObject(const std::string& name, size_t size, unsigned char fill, mode_t mode = 0666,
                   uid_t owner = static_cast<uid_t>(-1));
// Sets the size of an existing object, as any user with write access may. False on failure.
bool resizeShmObject(const std::string& name, size_t size);
// The object's bytes (read through a descriptor, never mapped), or "" when it cannot be opened.
std::string shmBytes(const std::string& name);
// stat of the object; false when it does not exist.
bool statShmObject(const std::string& name, struct stat* st);

// A shared mapping of the object that currently holds `name`, as a client process would have
// it (tests play the client side with it). Each call checks the name: when a new object has
// replaced the mapped one (a service restarted in the test), the new one is mapped. Returns null
// when the object does not exist or is shorter than `size`. Unmapped on destruction.
class ShmMapping {
  public:
    ShmMapping() = default;
    ~ShmMapping();
    ShmMapping(const ShmMapping&) = delete;
    ShmMapping& operator=(const ShmMapping&) = delete;
    void* map(const std::string& name, size_t size);

  private:
    void* m_addr = nullptr;
    size_t m_size = 0;
    ino_t m_ino = 0;
};

// Index of the first line at or after `from` that contains `needle`, or -1.
int findLine(const std::vector<std::string>& lines, const std::string& needle, int from = 0);

// Opens the one adapter on the bus and claims its interface 4 with alternate setting 1, as the
// device manager does. False (and a test failure) when any step fails; what was opened is left
// in `*ctx` and `*handle` for the caller to close.
bool openClaimedAdapter(libusb_context** ctx, libusb_device_handle** handle);

// Little-endian fields as the adapters' wire has them, read by the tests themselves rather than
// with the service's own accessors.
inline uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The byte 127 that an EDID block of 128 bytes needs: all 128 bytes sum to 0 modulo 256. Written
// here from the EDID rule, so that it can disagree with the service's own checksum.
inline uint8_t edidChecksumFor(const uint8_t* block) {
    unsigned sum = 0;
    for (int i = 0; i < 127; ++i) sum += block[i];
    return static_cast<uint8_t>((256 - sum % 256) % 256);
}

// The count of a semaphore, -1 when it cannot be read.
inline int semValue(sem_t* s) {
    int v = -1;
    sem_getvalue(s, &v);
    return v;
}

// The names of this process's threads (as prctl or pthread_setname_np set them).
std::multiset<std::string> threadNames();

}  // namespace vtest
