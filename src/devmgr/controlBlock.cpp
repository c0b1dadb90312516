#include "devmgr/controlBlock.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "service/debug.h"

namespace {

// Unlink-then-create can lose the name to another process in between; a few rounds, then the
// name is taken and the service runs without a block.
constexpr int kCreateAttempts = 3;

// The service's descriptor of its block, -1 when it has none. Published by controlBlockCreate
// before any device thread starts, withdrawn by controlBlockDestroy after the sessions are gone.
std::atomic<int> g_serviceFd{-1};
// Per record: whether the last service read found the object cut short of it (so that the
// warning is logged once per cut, not on every beat).
std::atomic<bool> g_serviceShort[VEL_SHM_RECORDS];

bool inRecord(int k, size_t offset, size_t size) {
    return k >= 0 && k < VEL_SHM_RECORDS && offset <= sizeof(VEL_SHM_RECORD) &&
           size <= sizeof(VEL_SHM_RECORD) - offset;
}

// The object holds [pos, pos + size) right now.
bool holds(int fd, off_t pos, size_t size) {
    struct stat st {};
    return fstat(fd, &st) == 0 && st.st_size >= pos + static_cast<off_t>(size);
}

}  // namespace

bool ControlBlockFile::readRecord(int k, VEL_SHM_RECORD* out) const {
    if (!out) return false;
    memset(out, 0, sizeof *out);
    if (m_fd < 0 || !inRecord(k, 0, sizeof *out)) return false;
    const off_t pos = static_cast<off_t>(k) * static_cast<off_t>(sizeof *out);
    ssize_t n;
    do {
        n = pread(m_fd, out, sizeof *out, pos);
    } while (n < 0 && errno == EINTR);
    // Past a cut the object reads short: whatever the record held there is not a request.
    if (n != static_cast<ssize_t>(sizeof *out)) {
        memset(out, 0, sizeof *out);
        return false;
    }
    return true;
}

bool ControlBlockFile::writeAt(int k, size_t offset, const void* data, size_t size) const {
    if (m_fd < 0 || !data || !inRecord(k, offset, size)) return false;
    const off_t pos = static_cast<off_t>(k) * static_cast<off_t>(sizeof(VEL_SHM_RECORD)) +
                      static_cast<off_t>(offset);
    // A write past the end would grow an object that someone shortened; it is left as it is.
    if (!holds(m_fd, pos, size)) return false;
    ssize_t n;
    do {
        n = pwrite(m_fd, data, size, pos);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(size);
}

int controlBlockCreate(const char* name, int* fd) {
    *fd = -1;
    int f = -1;
    int err = 0;
    for (int attempt = 0; attempt < kCreateAttempts && f < 0; ++attempt) {
        // Whatever holds the name now was not made by this run. Its removal may fail (another
        // user's object in the sticky directory); the exclusive create then reports it.
        (void)shm_unlink(name);
        f = shm_open(name, O_CREAT | O_EXCL | O_RDWR, 0666);
        err = errno;
        if (f < 0 && err != EEXIST) break;
    }
    if (f < 0) {
        if (err == EACCES) {
            vel_Print("Insufficient permissions\n");
        } else if (err == EEXIST) {
            vel_Print("The shared memory object already exists\n");
        } else {
            vel_Print("shm open failed");
        }
        vel_Printf("[error]shm open error: %s\n", strerror(err));
        return -1;
    }
    *fd = f;
    // The creation mode is filtered by the umask; clients of other users must still be able to
    // write their requests, so the mode the block is meant to have is applied explicitly.
    (void)fchmod(f, 0666);
    if (ftruncate(f, static_cast<off_t>(VEL_SHM_SIZE)) != 0) {
        vel_Printf("[error]ftruncate error: %s\n", strerror(errno));
        return -1;
    }
    vel_Print("Shared memory object created successfully\n");
    for (auto& cut : g_serviceShort) cut = false;
    g_serviceFd = f;
    return 0;
}

void controlBlockDestroy(const char* name, int fd) {
    int expected = fd;
    g_serviceFd.compare_exchange_strong(expected, -1);
    if (fd >= 0) close(fd);
    shm_unlink(name);
    vel_Print("Shared memory object unlinked\n");
}

ControlBlockFile controlBlockService() { return ControlBlockFile(g_serviceFd.load()); }

bool controlBlockServiceRead(int k, VEL_SHM_RECORD* out) {
    const ControlBlockFile cb = controlBlockService();
    if (!cb.valid()) {
        if (out) memset(out, 0, sizeof *out);
        return false;
    }
    const bool whole = cb.readRecord(k, out);
    if (k < 0 || k >= VEL_SHM_RECORDS) return whole;
    if (!whole && !g_serviceShort[k].exchange(true)) {
        struct stat st {};
        const long long size = fstat(cb.fd(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
        vel_Printf(
            "[warning] control block cut to %lld of %zu bytes by another process, the requests "
            "of record %d are ignored\n",
            size, VEL_SHM_SIZE, k);
    } else if (whole && g_serviceShort[k].exchange(false)) {
        vel_Printf("[info] control block record %d is whole again\n", k);
    }
    return whole;
}

ControlBlockView::~ControlBlockView() { close(); }

int ControlBlockView::open(const char* name, bool writable) {
    close();
    int f = shm_open(name, writable ? O_RDWR : O_RDONLY, 0);
    if (f < 0) return -1;
    struct stat st {};
    if (fstat(f, &st) != 0 || st.st_size < static_cast<off_t>(VEL_SHM_SIZE)) {
        ::close(f);
        errno = EINVAL;
        return -1;
    }
    m_fd = f;
    return 0;
}

void ControlBlockView::close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

void controlBlockPutText(char* field, size_t fieldSize, const char* text) {
    if (fieldSize == 0) return;
    size_t n = text ? strnlen(text, fieldSize - 1) : 0;
    if (n) memcpy(field, text, n);
    memset(field + n, 0, fieldSize - n);
}

std::string controlBlockGetText(const char* field, size_t fieldSize) {
    return std::string(field, strnlen(field, fieldSize));
}
