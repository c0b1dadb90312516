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

// Service side: creates (O_CREAT|O_RDWR, 0666), sizes and maps the block, logging each failure,
// and clears bytes 0-4 and the FPS interval of both records. Returns 0 with *fd and *block set;
// -1 on failure (*fd is left open (>= 0) when only sizing or mapping failed, so the destructor
// still unlinks the object). Runs on the main thread while the manager is constructed.
int controlBlockCreate(const char* name, int* fd, unsigned char** block);
// Service side: unmaps, closes and unlinks; logs "Shared memory object unlinked\n".
void controlBlockDestroy(const char* name, int fd, unsigned char* block);

// Client side: a mapping of a block some service created. Never creates the object and never
// logs (client modes print only their own texts). The mapping is released on destruction.
class ControlBlockView {
  public:
    ControlBlockView() = default;
    ~ControlBlockView();
    ControlBlockView(const ControlBlockView&) = delete;
    ControlBlockView& operator=(const ControlBlockView&) = delete;

    // Opens and maps `name` read-write, or read-only. Returns 0, or -1 with errno set when the
    // object is missing, not accessible or smaller than a whole block (touching a page past the
    // end of a short object would raise SIGBUS, so such an object is refused).
    int open(const char* name, bool writable);
    void close();

    VEL_SHM_BLOCK* block() const { return m_block; }
    VEL_SHM_RECORD& record(int k) const { return m_block->record[k]; }

  private:
    int m_fd = -1;
    VEL_SHM_BLOCK* m_block = nullptr;
};

// Accessors for the flag bytes and counters that one side polls while the other writes them:
// a flag is stored after the data it announces (release) and loaded before that data is read
// (acquire), so a reader that sees the flag also sees the figures.
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
