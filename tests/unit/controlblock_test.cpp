// The service control block: creation with its log lines and clearing rules, removal, the
// client mapping's refusals, and the bounded text fields.
#include "devmgr/controlBlock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "testSupport.h"

namespace {

// A block that some earlier service left behind, filled with a pattern.
void makeStaleObject(const std::string& name, size_t size, unsigned char fill) {
    int fd = shm_open(name.c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(size)));
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(MAP_FAILED, p);
    memset(p, fill, size);
    munmap(p, size);
    close(fd);
}

bool objectExists(const std::string& name) {
    int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) return false;
    close(fd);
    return true;
}

TEST(ControlBlock, CreateClearsRequestBytesAndIntervalOnly) {
    vtest::IsolatedEnv env;
    makeStaleObject(env.shmName(), VEL_SHM_SIZE, 0x5A);

    int fd = -1;
    unsigned char* block = nullptr;
    ASSERT_EQ(0, controlBlockCreate(env.shmName().c_str(), &fd, &block));
    ASSERT_NE(nullptr, block);
    for (int k = 0; k < VEL_SHM_RECORDS; ++k) {
        const unsigned char* r = block + 288 * k;
        for (int i = 0; i < 5; ++i) EXPECT_EQ(0, r[i]) << "record " << k << " byte " << i;
        EXPECT_EQ(0x5A, r[5]) << "reserved bytes are left alone";
        int32_t interval;
        memcpy(&interval, r + 112, 4);
        EXPECT_EQ(0, interval);
        EXPECT_EQ(0x5A, r[116]);  // the show request is the service's to clear
        EXPECT_EQ(0x5A, r[16]);   // path
    }
    struct stat st {};
    ASSERT_EQ(0, fstat(fd, &st));
    EXPECT_EQ(static_cast<off_t>(VEL_SHM_SIZE), st.st_size);
    EXPECT_EQ(0666u, st.st_mode & 0777u) << "clients of any user must be able to write requests";

    controlBlockDestroy(env.shmName().c_str(), fd, block);
    EXPECT_FALSE(objectExists(env.shmName()));
    auto lines = env.logLines();
    int created = vtest::findLine(lines, "Shared memory object created successfully");
    int unlinked = vtest::findLine(lines, "Shared memory object unlinked");
    EXPECT_GE(created, 0);
    EXPECT_GT(unlinked, created);
}

TEST(ControlBlock, CreateGrowsAShortStaleObject) {
    vtest::IsolatedEnv env;
    makeStaleObject(env.shmName(), 100, 0x11);
    int fd = -1;
    unsigned char* block = nullptr;
    ASSERT_EQ(0, controlBlockCreate(env.shmName().c_str(), &fd, &block));
    block[VEL_SHM_SIZE - 1] = 7;  // the whole block is addressable
    EXPECT_EQ(0, block[288 + 4]);
    controlBlockDestroy(env.shmName().c_str(), fd, block);
}

TEST(ControlBlock, OpenFailureIsLoggedWithTheSystemError) {
    vtest::IsolatedEnv env;
    int fd = 5;
    unsigned char* block = reinterpret_cast<unsigned char*>(1);
    // A name with an inner slash is refused by shm_open (EINVAL).
    EXPECT_EQ(-1, controlBlockCreate("/vel/bad", &fd, &block));
    EXPECT_EQ(-1, fd);
    EXPECT_EQ(nullptr, block);
    std::string log = env.log();
    EXPECT_NE(std::string::npos, log.find("shm open failed"));
    EXPECT_NE(std::string::npos,
              log.find(std::string("[error]shm open error: ") + strerror(EINVAL) + "\n"));
    EXPECT_EQ(std::string::npos, log.find("created successfully"));
}

TEST(ControlBlockView, RefusesMissingAndShortObjects) {
    vtest::IsolatedEnv env;
    ControlBlockView view;
    EXPECT_EQ(-1, view.open(env.shmName().c_str(), true));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_FALSE(objectExists(env.shmName())) << "a client must never create the block";

    makeStaleObject(env.shmName(), 288, 0);  // one record only: reading record 1 would fault
    EXPECT_EQ(-1, view.open(env.shmName().c_str(), false));
    EXPECT_EQ(nullptr, view.block());
    shm_unlink(env.shmName().c_str());
}

TEST(ControlBlockView, SeesWhatTheServiceWrites) {
    vtest::IsolatedEnv env;
    int fd = -1;
    unsigned char* block = nullptr;
    ASSERT_EQ(0, controlBlockCreate(env.shmName().c_str(), &fd, &block));
    auto* svc = reinterpret_cast<VEL_SHM_BLOCK*>(block);
    svc->record[1].fps[2] = 59.5;
    {
        ControlBlockView ro;
        ASSERT_EQ(0, ro.open(env.shmName().c_str(), false));
        EXPECT_DOUBLE_EQ(59.5, ro.record(1).fps[2]);
        ControlBlockView rw;
        ASSERT_EQ(0, rw.open(env.shmName().c_str(), true));
        rw.record(0).powerModeRequest = 1;
    }
    EXPECT_EQ(1, block[4]);
    controlBlockDestroy(env.shmName().c_str(), fd, block);
}

TEST(ControlBlockText, PutCutsAndTerminatesGetStopsAtTheField) {
    char field[8];
    memset(field, 'x', sizeof field);
    controlBlockPutText(field, sizeof field, "abc");
    EXPECT_STREQ("abc", field);
    for (size_t i = 3; i < sizeof field; ++i) EXPECT_EQ('\0', field[i]);

    controlBlockPutText(field, sizeof field, "0123456789");
    EXPECT_STREQ("0123456", field);

    // A field the other side filled to the last byte without a terminator.
    char full[4] = {'w', 'x', 'y', 'z'};
    EXPECT_EQ("wxyz", controlBlockGetText(full, sizeof full));
}

}  // namespace
