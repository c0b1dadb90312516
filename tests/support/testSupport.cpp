#include "testSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <libusb-1.0/libusb.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "service/debug.h"

namespace vtest {

TempDir::TempDir() {
    char tmpl[] = "/tmp/veltest.XXXXXX";
    char* p = mkdtemp(tmpl);
    m_path = p ? p : "/tmp";
}

TempDir::~TempDir() {
    std::error_code ec;
    if (m_path != "/tmp") std::filesystem::remove_all(m_path, ec);
}

IsolatedEnv::IsolatedEnv() {
    static std::atomic<int> counter{0};
    m_shm = "/veltest_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    std::filesystem::create_directories(fwDir());
    setenv("VEL_LOG_DIR", logDir().c_str(), 1);
    setenv("VEL_FW_DIR", fwDir().c_str(), 1);
    setenv("VEL_SHM_NAME", m_shm.c_str(), 1);
}

IsolatedEnv::~IsolatedEnv() {
    // A service that ended through its fatal path leaves its control block behind.
    shm_unlink(m_shm.c_str());
    unsetenv("VEL_LOG_DIR");
    unsetenv("VEL_FW_DIR");
    unsetenv("VEL_SHM_NAME");
}

bool makeShmObject(const std::string& name, size_t size, unsigned char fill, mode_t mode,
                   uid_t owner) {
    int fd = shm_open(name.c_str(), O_CREAT | O_RDWR, mode);
    if (fd < 0) return false;
    bool ok = fchmod(fd, mode) == 0 && ftruncate(fd, static_cast<off_t>(size)) == 0;
    std::string bytes(size, static_cast<char>(fill));
    ok = ok && pwrite(fd, bytes.data(), size, 0) == static_cast<ssize_t>(size);
    if (ok && owner != static_cast<uid_t>(-1)) ok = fchown(fd, owner, owner) == 0;
    close(fd);
    return ok;
}

bool resizeShmObject(const std::string& name, size_t size) {
    int fd = shm_open(name.c_str(), O_RDWR, 0);
    if (fd < 0) return false;
    bool ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
    close(fd);
    return ok;
}

std::string shmBytes(const std::string& name) {
    int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) return "";
    std::string out;
    char buf[4096];
    ssize_t n;
    off_t pos = 0;
    while ((n = pread(fd, buf, sizeof buf, pos)) > 0) {
        out.append(buf, static_cast<size_t>(n));
        pos += n;
    }
    close(fd);
    return out;
}

bool statShmObject(const std::string& name, struct stat* st) {
    int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) return false;
    bool ok = fstat(fd, st) == 0;
    close(fd);
    return ok;
}

ShmMapping::~ShmMapping() {
    if (m_addr) munmap(m_addr, m_size);
}

void* ShmMapping::map(const std::string& name, size_t size) {
    int fd = shm_open(name.c_str(), O_RDWR, 0);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(size)) {
        close(fd);
        return nullptr;
    }
    if (!m_addr || st.st_ino != m_ino || size != m_size) {
        if (m_addr) munmap(m_addr, m_size);
        m_addr = nullptr;
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p != MAP_FAILED) {
            m_addr = p;
            m_size = size;
            m_ino = st.st_ino;
        }
    }
    close(fd);
    return m_addr;
}

std::vector<std::string> IsolatedEnv::processEnv() const {
    return {"VEL_LOG_DIR=" + logDir(), "VEL_FW_DIR=" + fwDir(), "VEL_SHM_NAME=" + shmName()};
}

std::string IsolatedEnv::log() const { return decodeLog(readFile(logFile())); }

std::vector<std::string> IsolatedEnv::logLines() const {
    std::vector<std::string> lines;
    std::istringstream in(log());
    std::string line;
    while (std::getline(in, line)) {
        // Lines begin with "YYYY-MM-DD HH:MM:SS"; continuation lines of multi-line texts do not.
        if (line.size() >= 19 && line[4] == '-' && line[13] == ':') line = line.substr(19);
        lines.push_back(line);
    }
    return lines;
}

int IsolatedEnv::logCount(const std::string& needle) const {
    int n = 0;
    for (const auto& l : logLines()) n += l.find(needle) != std::string::npos;
    return n;
}

void IsolatedEnv::expectLogInOrder(const std::vector<std::string>& needles) const {
    const auto lines = logLines();
    int at = 0;
    for (const auto& n : needles) {
        const int found = findLine(lines, n, at);
        ASSERT_GE(found, 0) << "missing after line " << at << ": " << n << "\n" << log();
        at = found + 1;
    }
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string decodeLog(const std::string& raw) {
    std::string out = raw;
    for (char& c : out) c = untransChar(c);
    return out;
}

bool waitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout * kTimeScale;
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

Process::Process(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    std::string outPath = m_io.file("out"), errPath = m_io.file("err");
    m_pid = fork();
    if (m_pid == 0) {
        int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int n = open("/dev/null", O_RDONLY);
        dup2(o, 1);
        dup2(e, 2);
        dup2(n, 0);
        for (const auto& kv : env) putenv(strdup(kv.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
}

Process::~Process() {
    if (!m_done && m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

void Process::signal(int sig) {
    if (m_pid > 0 && !m_done) kill(m_pid, sig);
}

bool Process::running() {
    if (m_done || m_pid <= 0) return false;
    int st = 0;
    pid_t r = waitpid(m_pid, &st, WNOHANG);
    if (r == m_pid) {
        m_done = true;
        m_result.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return false;
    }
    return true;
}

ProcResult Process::wait(std::chrono::milliseconds timeout) {
    if (!m_done) {
        if (!waitFor([this] { return !running(); }, timeout)) {
            kill(m_pid, SIGKILL);
            int st = 0;
            waitpid(m_pid, &st, 0);
            m_done = true;
            m_result.status = -2;  // timed out
        }
    }
    m_result.out = readFile(m_io.file("out"));
    m_result.err = readFile(m_io.file("err"));
    return m_result;
}

ProcResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               std::chrono::milliseconds timeout) {
    Process p(argv, env);
    return p.wait(timeout);
}

std::string binPath(const std::string& relative) {
    return std::string(VEL_BIN_DIR) + "/" + relative;
}

int findLine(const std::vector<std::string>& lines, const std::string& needle, int from) {
    for (int i = from < 0 ? 0 : from; i < static_cast<int>(lines.size()); ++i) {
        if (lines[i].find(needle) != std::string::npos) return i;
    }
    return -1;
}

StdoutToFile::StdoutToFile() {
    fflush(stdout);
    const int fd = open(m_dir.file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        ADD_FAILURE() << "cannot open a file for standard output";
        return;
    }
    m_saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    close(fd);
}

StdoutToFile::~StdoutToFile() { finish(); }

std::string StdoutToFile::text() const { return readFile(m_dir.file("stdout")); }

std::string StdoutToFile::finish() {
    if (m_saved >= 0) {
        fflush(stdout);
        dup2(m_saved, STDOUT_FILENO);
        close(m_saved);
        m_saved = -1;
    }
    return text();
}

bool waitSteady(const std::function<uint64_t()>& count, std::chrono::milliseconds quiet,
                std::chrono::milliseconds timeout) {
    uint64_t last = count();
    auto since = std::chrono::steady_clock::now();
    const auto deadline = since + timeout * kTimeScale;
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const uint64_t n = count();
        const auto now = std::chrono::steady_clock::now();
        if (n != last) {
            last = n;
            since = now;
        } else if (now - since >= quiet) {
            return true;
        }
    }
    return false;
}

bool openClaimedAdapter(libusb_context** ctx, libusb_device_handle** handle) {
    if (libusb_init(ctx) != 0) {
        ADD_FAILURE() << "libusb_init failed";
        return false;
    }
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(*ctx, &list);
    const bool opened = n == 1 && libusb_open(list[0], handle) == 0;
    if (n >= 0) libusb_free_device_list(list, 1);
    const bool ok = opened && libusb_claim_interface(*handle, 4) == 0 &&
                    libusb_set_interface_alt_setting(*handle, 4, 1) == 0;
    if (!ok) ADD_FAILURE() << "no single adapter to open and claim (" << n << " on the bus)";
    return ok;
}

std::multiset<std::string> threadNames() {
    std::multiset<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        std::string comm = readFile(e.path().string() + "/comm");
        if (!comm.empty() && comm.back() == '\n') comm.pop_back();
        names.insert(comm);
    }
    return names;
}

}  // namespace vtest
