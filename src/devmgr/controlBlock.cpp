#include "devmgr/controlBlock.h"

#include <fcntl.h>
#include <sys/mman.h>
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
