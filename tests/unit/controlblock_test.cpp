// The service control block: creation (a leftover or foreign object is replaced, never adopted)
// with its log lines, removal, field access that stays inside the object as another process
// left it, the client view's refusals, and the bounded text fields.
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

bool objectExists(const std::string& name) {
    struct stat st {};
    return vtest::statShmObject(name, &st);
}

// Creates the service's block; the test owns the descriptor until destroy().
struct ServiceBlock {
    std::string name;
    int fd = -1;
    explicit ServiceBlock(const std::string& n) : name(n) {}
    int create() { return controlBlockCreate(name.c_str(), &fd); }
    void destroy() {
        if (fd >= 0) controlBlockDestroy(name.c_str(), fd);
        fd = -1;
    }
    ~ServiceBlock() { destroy(); }
};

TEST(ControlBlock, CreateReplacesALeftoverWithAFreshZeroBlock) {
    vtest::IsolatedEnv env;
    for (size_t leftover : {VEL_SHM_SIZE, size_t{100}, size_t{8192}}) {
        SCOPED_TRACE("leftover of " + std::to_string(leftover) + " bytes");
        ASSERT_TRUE(vtest::makeShmObject(env.shmName(), leftover, 0x5A, 0600));
        struct stat before {};
        ASSERT_TRUE(vtest::statShmObject(env.shmName(), &before));

        ServiceBlock svc(env.shmName());
        ASSERT_EQ(0, svc.create());
        struct stat st {};
        ASSERT_EQ(0, fstat(svc.fd, &st));
        EXPECT_NE(before.st_ino, st.st_ino) << "the leftover object was adopted";
        EXPECT_EQ(static_cast<off_t>(VEL_SHM_SIZE), st.st_size);
        EXPECT_EQ(0666u, st.st_mode & 0777u) << "clients of any user must be able to write";
        EXPECT_EQ(std::string(VEL_SHM_SIZE, '\0'), vtest::shmBytes(env.shmName()))
            << "nothing of the leftover may survive: requests, path, figures";
        EXPECT_TRUE(controlBlockService().valid());

        svc.destroy();
        EXPECT_FALSE(objectExists(env.shmName()));
        EXPECT_FALSE(controlBlockService().valid());
    }
    auto lines = env.logLines();
    int created = vtest::findLine(lines, "Shared memory object created successfully");
    int unlinked = vtest::findLine(lines, "Shared memory object unlinked");
    EXPECT_GE(created, 0);
    EXPECT_GT(unlinked, created);
}

TEST(ControlBlock, ObjectOfAnotherUserIsReplacedNotAdopted) {
    if (geteuid() != 0) GTEST_SKIP() << "giving the object to another user needs root";
    vtest::IsolatedEnv env;
    const uid_t other = 65534;  // nobody
    ASSERT_TRUE(vtest::makeShmObject(env.shmName(), VEL_SHM_SIZE, 0x11, 0666, other));
    ServiceBlock svc(env.shmName());
    ASSERT_EQ(0, svc.create());
    struct stat st {};
    ASSERT_TRUE(vtest::statShmObject(env.shmName(), &st));
    EXPECT_EQ(geteuid(), st.st_uid) << "the other user would keep control of the block";
    EXPECT_EQ(0666u, st.st_mode & 0777u);
    EXPECT_EQ(std::string(VEL_SHM_SIZE, '\0'), vtest::shmBytes(env.shmName()));
}

TEST(ControlBlock, OpenFailureIsLoggedWithTheSystemError) {
    vtest::IsolatedEnv env;
    int fd = 5;
    // A name with an inner slash is refused by shm_open (EINVAL).
    EXPECT_EQ(-1, controlBlockCreate("/vel/bad", &fd));
    EXPECT_EQ(-1, fd);
    EXPECT_FALSE(controlBlockService().valid());
    std::string log = env.log();
    EXPECT_NE(std::string::npos, log.find("shm open failed"));
    EXPECT_NE(std::string::npos,
              log.find(std::string("[error]shm open error: ") + strerror(EINVAL) + "\n"));
    EXPECT_EQ(std::string::npos, log.find("created successfully"));
}

TEST(ControlBlock, AccessStaysInsideTheObjectAsAnotherProcessLeftIt) {
    vtest::IsolatedEnv env;
    ServiceBlock svc(env.shmName());
    ASSERT_EQ(0, svc.create());
    const ControlBlockFile cb = controlBlockService();
    ASSERT_TRUE(cb.put(1, &VEL_SHM_RECORD::powerModeRequest, 1));
    VEL_SHM_RECORD rec;
    ASSERT_TRUE(controlBlockServiceRead(1, &rec));
    EXPECT_EQ(1, rec.powerModeRequest);

    // Cut inside record 1: record 0 is still whole, record 1 is not and holds no request.
    ASSERT_TRUE(vtest::resizeShmObject(env.shmName(), 300));
    EXPECT_TRUE(controlBlockServiceRead(0, &rec));
    memset(&rec, 0x77, sizeof rec);
    EXPECT_FALSE(controlBlockServiceRead(1, &rec));
    EXPECT_EQ(std::string(sizeof rec, '\0'), std::string(reinterpret_cast<char*>(&rec), sizeof rec));
    // A write past the cut is dropped: the object is not grown back.
    EXPECT_FALSE(cb.put(1, &VEL_SHM_RECORD::fpsInterval, 5));
    EXPECT_TRUE(cb.put(0, &VEL_SHM_RECORD::fpsInterval, 5));
    struct stat st {};
    ASSERT_EQ(0, fstat(svc.fd, &st));
    EXPECT_EQ(300, st.st_size);

    ASSERT_TRUE(vtest::resizeShmObject(env.shmName(), 0));
    EXPECT_FALSE(controlBlockServiceRead(0, &rec));
    EXPECT_FALSE(controlBlockServiceRead(0, &rec));
    ASSERT_TRUE(vtest::resizeShmObject(env.shmName(), VEL_SHM_SIZE));
    EXPECT_TRUE(controlBlockServiceRead(0, &rec));
    EXPECT_EQ(0, rec.fpsInterval) << "the cut took the field with it";

    // Out-of-layout accesses are refused outright.
    EXPECT_FALSE(cb.readRecord(2, &rec));
    EXPECT_FALSE(cb.readRecord(-1, &rec));
    EXPECT_FALSE(cb.writeAt(0, sizeof(VEL_SHM_RECORD) - 1, "ab", 2));
    EXPECT_FALSE(cb.putAt(0, &VEL_SHM_RECORD::newFpsSample, 3, 1));

    // One warning per cut and record (at its first short read), one line when it is whole again.
    EXPECT_EQ(1, env.logCount("[warning] control block cut to 300 of 576 bytes by another "
                              "process, the requests of record 1 are ignored"))
        << env.log();
    EXPECT_EQ(1, env.logCount("[warning] control block cut to 0 of 576 bytes by another "
                              "process, the requests of record 0 are ignored"))
        << env.log();
    EXPECT_EQ(2, env.logCount("[warning] control block cut")) << env.log();
    EXPECT_EQ(1, env.logCount("[info] control block record 0 is whole again")) << env.log();
}

TEST(ControlBlockView, RefusesMissingAndShortObjects) {
    vtest::IsolatedEnv env;
    ControlBlockView view;
    EXPECT_EQ(-1, view.open(env.shmName().c_str(), true));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_FALSE(objectExists(env.shmName())) << "a client must never create the block";

    ASSERT_TRUE(vtest::makeShmObject(env.shmName(), 288, 0));  // one record only
    EXPECT_EQ(-1, view.open(env.shmName().c_str(), false));
    EXPECT_FALSE(view.valid());
    shm_unlink(env.shmName().c_str());
}

TEST(ControlBlockView, SeesWhatTheServiceWritesAndSurvivesACut) {
    vtest::IsolatedEnv env;
    ServiceBlock svc(env.shmName());
    ASSERT_EQ(0, svc.create());
    ASSERT_TRUE(controlBlockService().putAt(1, &VEL_SHM_RECORD::fps, 2, 59.5));
    ControlBlockView ro;
    ASSERT_EQ(0, ro.open(env.shmName().c_str(), false));
    VEL_SHM_RECORD rec;
    ASSERT_TRUE(ro.readRecord(1, &rec));
    EXPECT_DOUBLE_EQ(59.5, rec.fps[2]);
    {
        ControlBlockView rw;
        ASSERT_EQ(0, rw.open(env.shmName().c_str(), true));
        EXPECT_TRUE(rw.put(0, &VEL_SHM_RECORD::powerModeRequest, 1));
        EXPECT_TRUE(rw.putText(0, &VEL_SHM_RECORD::fwLogPath, "/tmp/x.log"));
    }
    ASSERT_TRUE(controlBlockServiceRead(0, &rec));
    EXPECT_EQ(1, rec.powerModeRequest);
    EXPECT_EQ("/tmp/x.log", controlBlockGetText(rec.fwLogPath, sizeof rec.fwLogPath));

    // Cut while the client holds it open: reads come back empty, writes are dropped.
    ASSERT_TRUE(vtest::resizeShmObject(env.shmName(), 10));
    EXPECT_FALSE(ro.readRecord(1, &rec));
    EXPECT_EQ(0.0, rec.fps[2]);
    EXPECT_FALSE(ro.put(0, &VEL_SHM_RECORD::showFpsRequest, 1));
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
