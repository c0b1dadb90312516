#include "devmgr/controlBlock.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "service/debug.h"

int controlBlockCreate(const char* name, int* fd, unsigned char** block) {
    *fd = -1;
    *block = nullptr;
    int f = shm_open(name, O_CREAT | O_RDWR, 0666);
    if (f < 0) {
        int err = errno;
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
    void* p = mmap(nullptr, VEL_SHM_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, f, 0);
    if (p == MAP_FAILED) {
        vel_Printf("[error]mmap error: %s\n", strerror(errno));
        return -1;
    }
    *block = static_cast<unsigned char*>(p);
    vel_Print("Shared memory object created successfully\n");
    auto* b = reinterpret_cast<VEL_SHM_BLOCK*>(p);
    for (auto& r : b->record) {
        memset(&r, 0, 5);
        r.fpsInterval = 0;
    }
    return 0;
}

void controlBlockDestroy(const char* name, int fd, unsigned char* block) {
    if (block) munmap(block, VEL_SHM_SIZE);
    if (fd >= 0) close(fd);
    shm_unlink(name);
    vel_Print("Shared memory object unlinked\n");
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
    int prot = writable ? (PROT_READ | PROT_WRITE) : PROT_READ;
    void* p = mmap(nullptr, VEL_SHM_SIZE, prot, MAP_SHARED, f, 0);
    if (p == MAP_FAILED) {
        int err = errno;
        ::close(f);
        errno = err;
        return -1;
    }
    m_fd = f;
    m_block = static_cast<VEL_SHM_BLOCK*>(p);
    return 0;
}

void ControlBlockView::close() {
    if (m_block) munmap(m_block, VEL_SHM_SIZE);
    if (m_fd >= 0) ::close(m_fd);
    m_block = nullptr;
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
