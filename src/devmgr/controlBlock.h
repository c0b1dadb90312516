// The service control block: a 576-byte POSIX shared-memory object through which command-line
// clients talk to the running service. Two 288-byte records, record k for device key k;
// statistics are written into record 0 for every device. Integers are host-endian.
// Client and service share it without a lock: each field has one writer per direction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Every field sits at its natural alignment, so the plain struct has the wire layout; the
// assertions below hold it there.
struct VEL_SHM_RECORD {
    uint8_t fwLogRequest;      // 0: set by "-fwlog", cleared by the service
    uint8_t fwLogDone;         // 1: set by the service, cleared by the client
    uint8_t versionValid;      // 2
    uint8_t fpsPrintEnabled;   // 3
    uint8_t powerModeRequest;  // 4: 0 smart, 1 light
    uint8_t reserved5[3];
    int32_t fwLogTotal;       // 8
    int32_t fwLogReceived;    // 12
    char fwLogPath[64];       // 16
    char fwVersion[32];       // 80
    int32_t fpsInterval;      // 112
    uint8_t showFpsRequest;   // 116
    uint8_t newFpsSample[3];  // 117
    int32_t viewIndex[3];     // 120
    int32_t targetId[3];      // 132
    uint8_t reserved144[96];  // 144
    int32_t pictures[3];      // 240
    uint32_t intervalMs[3];   // 252
    double fps[3];            // 264
};
struct VEL_SHM_BLOCK {
    VEL_SHM_RECORD record[2];
};

static_assert(offsetof(VEL_SHM_RECORD, fwLogRequest) == 0, "control block layout");
static_assert(offsetof(VEL_SHM_RECORD, fwLogDone) == 1, "control block layout");
static_assert(offsetof(VEL_SHM_RECORD, versionValid) == 2, "control block layout");
static_assert(offsetof(VEL_SHM_RECORD, fpsPrintEnabled) == 3, "control block layout");
static_assert(offsetof(VEL_SHM_RECORD, powerModeRequest) == 4, "control block layout");
static_assert(offsetof(VEL_SHM_RECORD, reserved5) == 5, "control block layout");
static_assert(offsetof(VEL_SHM_RECORD, fwLogTotal) == 8, "control block layout");
static_assert(offsetof(VEL_SHM_RECORD, fwLogReceived) == 12, "control block layout");
static_assert(offsetof(VEL_SHM_RECORD, fwLogPath) == 16, "control block layout");
static_assert(offsetof(VEL_SHM_RECORD, fwVersion) == 80, "control block layout");
static_assert(offsetof(VEL_SHM_RECORD, fpsInterval) == 112, "control block layout");
static_assert(offsetof(VEL_SHM_RECORD, showFpsRequest) == 116, "control block layout");
static_assert(offsetof(VEL_SHM_RECORD, newFpsSample) == 117, "control block layout");
static_assert(offsetof(VEL_SHM_RECORD, viewIndex) == 120, "control block layout");
static_assert(offsetof(VEL_SHM_RECORD, targetId) == 132, "control block layout");
static_assert(offsetof(VEL_SHM_RECORD, reserved144) == 144, "control block layout");
static_assert(offsetof(VEL_SHM_RECORD, pictures) == 240, "control block layout");
static_assert(offsetof(VEL_SHM_RECORD, intervalMs) == 252, "control block layout");
static_assert(offsetof(VEL_SHM_RECORD, fps) == 264, "control block layout");
static_assert(sizeof(VEL_SHM_RECORD) == 288, "control block record size");
static_assert(offsetof(VEL_SHM_BLOCK, record[1]) == 288, "control block layout");
static_assert(sizeof(VEL_SHM_BLOCK) == 576, "control block size");

constexpr size_t VEL_SHM_SIZE = sizeof(VEL_SHM_BLOCK);

constexpr int VEL_SHM_RECORDS = 2;
constexpr int VEL_SHM_VIEWS = 3;  // per-view statistics slots in a record

// Neither side maps the block. Its mode is 0666 so that clients of every user can write their
// requests, which also lets any local user truncate it; a mapped page past the new end raises
// SIGBUS on the next access. Every access is instead one pread or pwrite on a descriptor,
// bounded to the block's 576 bytes, and made only while the object still holds the whole
// field: a read of a shortened object yields zeros (no request, no result) and a write to it is
// dropped, so nothing another user does to the object can end either process.

// Byte offset of a record field, from the layout above.
template <class T>
size_t controlBlockFieldOffset(T VEL_SHM_RECORD::*field) {
    static const VEL_SHM_RECORD probe{};
    return static_cast<size_t>(reinterpret_cast<const unsigned char*>(&(probe.*field)) -
                               reinterpret_cast<const unsigned char*>(&probe));
}

template <class T>
struct VelShmValue {
    using type = T;  // keeps a field's type from being deduced from the value passed
};

// Field access through a descriptor of the block; the descriptor is not owned. All operations
// return false (and a read leaves zeros) when the handle is invalid, the record index is not 0
// or 1, or the object is shorter than the field's end.
class ControlBlockFile {
  public:
    explicit ControlBlockFile(int fd = -1) : m_fd(fd) {}
    bool valid() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    // Reads record k whole with one pread. Its bytes are copied in ascending order, so figures
    // stored above a flag before the flag was set are seen whenever the flag is (the FPS
    // samples: flags at 117, figures from 120).
    bool readRecord(int k, VEL_SHM_RECORD* out) const;

    template <class T>
    bool put(int k, T VEL_SHM_RECORD::*field, typename VelShmValue<T>::type value) const {
        return writeAt(k, controlBlockFieldOffset(field), &value, sizeof value);
    }
    template <class T, size_t N>
    bool putAt(int k, T (VEL_SHM_RECORD::*field)[N], size_t i,
               typename VelShmValue<T>::type value) const {
        if (i >= N) return false;
        return writeAt(k, controlBlockFieldOffset(field) + i * sizeof(T), &value, sizeof value);
    }
    // The whole text field: the text cut to N - 1 characters and zero-filled to the end.
    template <size_t N>
    bool putText(int k, char (VEL_SHM_RECORD::*field)[N], const char* text) const;

    // `size` bytes at `offset` of record k (the bounds above hold).
    bool writeAt(int k, size_t offset, const void* data, size_t size) const;

  protected:
    int m_fd;
};

// Service side: creates a fresh object at `name`, sizes it to 576 bytes and gives it mode 0666
// whatever the umask. An object already there (a leftover of an earlier run, or one created by
// another user ahead of the service) is unlinked first and never adopted: its owner could
// otherwise change its mode or contents at will. Logs each failure ("Insufficient
// permissions\n", "The shared memory object already exists\n" when the name stays taken, "shm
// open failed", then "[error]shm open error: %s\n"; "[error]ftruncate error: %s\n") and
// "Shared memory object created successfully\n". Returns 0 with *fd set and the descriptor
// published as the service's block (controlBlockService); -1 on failure (*fd is left open when
// only the sizing failed, so that the destructor still unlinks the object). A fresh object is
// all zeros, so the request bytes and the FPS intervals start clear. Main thread, while the
// manager is constructed.
int controlBlockCreate(const char* name, int* fd);
// Service side: withdraws the published block, closes the descriptor and unlinks the name;
// logs "Shared memory object unlinked\n".
void controlBlockDestroy(const char* name, int fd);

// The service's own block, or an invalid handle when it has none.
ControlBlockFile controlBlockService();
// Reads record k of the service's block for the heartbeat's poll. False when there is no block
// or the object has been cut short; the first short read logs a warning, and a whole read after
// it logs that the block is whole again.
bool controlBlockServiceRead(int k, VEL_SHM_RECORD* out);

// Client side: a descriptor of a block some service created, owned by the view. Never creates
// the object and never logs (client modes print only their own texts).
class ControlBlockView : public ControlBlockFile {
  public:
    ControlBlockView() = default;
    ~ControlBlockView();
    ControlBlockView(const ControlBlockView&) = delete;
    ControlBlockView& operator=(const ControlBlockView&) = delete;

    // Opens `name` read-write, or read-only. Returns 0, or -1 with errno set when the object is
    // missing, not accessible or smaller than a whole block.
    int open(const char* name, bool writable);
    void close();
};

// Accessors for flag bytes and counters in a record held in memory (a copy read with
// readRecord, or a record handed to code that fills it): a flag is stored after the data it
// announces (release) and loaded before that data is read (acquire).
template <class T>
inline T controlBlockLoad(const T& field) {
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}
template <class T>
inline void controlBlockStore(T& field, T value) {
    __atomic_store_n(&field, value, __ATOMIC_RELEASE);
}

// Bounded copies for the fixed text fields. The writer always leaves a terminator (a longer
// text is cut); the reader stops at the field's end even when the other side left none.
void controlBlockPutText(char* field, size_t fieldSize, const char* text);
std::string controlBlockGetText(const char* field, size_t fieldSize);

template <size_t N>
bool ControlBlockFile::putText(int k, char (VEL_SHM_RECORD::*field)[N], const char* text) const {
    char buf[N];
    controlBlockPutText(buf, N, text);
    return writeAt(k, controlBlockFieldOffset(field), buf, N);
}
