// The service control block against other local users, with the service running on an emulated
// model-520 adapter as a process: the block cut short while the heartbeat polls it, replaced
// under the service, and created ahead of the service by another user. The service must neither
// crash nor adopt an object it did not create.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <map>
#include <sstream>
#include <thread>

#include "testSupport.h"

using namespace std::chrono_literals;

namespace {

const std::string kEmu = vtest::binPath("emulator/vel-emulate");
const std::string kService = vtest::binPath("VelUSBDisplay");
constexpr size_t kBlock = 576;

struct ControlBlock520 : ::testing::Test {
    vtest::IsolatedEnv env;
    vtest::TempDir out;
    std::vector<std::string> envVars() const { return env.processEnv(); }
    int count(const std::string& needle) { return env.logCount(needle); }
    std::unique_ptr<vtest::Process> startService() {
        auto p = std::make_unique<vtest::Process>(
            std::vector<std::string>{kEmu, "--adapter", "520", "--seconds", "0", "--out",
                                     out.path()},
            envVars());
        EXPECT_TRUE(vtest::waitFor([&] { return count("SendHeartBeatThread Start") == 1; }, 10s))
            << env.log();
        return p;
    }
    vtest::ProcResult client(std::vector<std::string> args) {
        args.insert(args.begin(), kService);
        return vtest::run(args, envVars(), 10s);
    }
    // A light-mode request from a client reaches the running service.
    void expectModeSwitchServed() {
        auto c = client({"-mode", "light"});
        EXPECT_EQ(c.out, "Setting powerMode to LIGHT\nset power mode to light.\n");
        EXPECT_TRUE(vtest::waitFor([&] { return count("Switch to light mode") == 1; }, 5s))
            << env.log();
    }
    void stopCleanly(vtest::Process& service) {
        ASSERT_TRUE(service.running()) << env.log();
        service.signal(SIGTERM);
        auto r = service.wait(15s);
        EXPECT_EQ(r.status, 0) << "the service died (128 + 7 is SIGBUS)\n" << r.err << env.log();
        EXPECT_EQ(count("Shared memory object unlinked"), 1);
    }
};

}  // namespace

TEST_F(ControlBlock520, CutShortWhileTheHeartbeatPollsIt) {
    auto service = startService();
    ASSERT_TRUE(vtest::resizeShmObject(env.shmName(), 0));
    // The next poll reads nothing (and says so once) instead of faulting on the vanished page.
    ASSERT_TRUE(vtest::waitFor(
        [&] {
            return count("[warning] control block cut to 0 of 576 bytes by another process, the "
                         "requests of record 0 are ignored") == 1;
        },
        5s))
        << env.log();
    auto refused = client({"-mode", "light"});
    EXPECT_EQ(refused.out, "Setting powerMode to LIGHT\ncan not set power mode\n");
    std::this_thread::sleep_for(1500ms);  // more polls of the cut block: no further warning
    EXPECT_EQ(count("[warning] control block cut"), 1);
    ASSERT_TRUE(service->running()) << env.log();

    // Grown back (zero-filled): requests reach the service again.
    ASSERT_TRUE(vtest::resizeShmObject(env.shmName(), kBlock));
    ASSERT_TRUE(vtest::waitFor(
        [&] { return count("[info] control block record 0 is whole again") == 1; }, 5s))
        << env.log();
    expectModeSwitchServed();
    stopCleanly(*service);
}

TEST_F(ControlBlock520, ReplacedUnderTheRunningService) {
    auto service = startService();
    struct stat mine {};
    ASSERT_TRUE(vtest::statShmObject(env.shmName(), &mine));
    for (size_t size : {size_t{3}, kBlock}) {
        SCOPED_TRACE("replacement of " + std::to_string(size) + " bytes");
        ASSERT_EQ(shm_unlink(env.shmName().c_str()), 0);
        ASSERT_TRUE(vtest::makeShmObject(env.shmName(), size, 0xFF));
        // 0xFF everywhere would be a request of every kind, were it the service's block.
        std::this_thread::sleep_for(2500ms);  // at least two polls
        ASSERT_TRUE(service->running()) << env.log();
    }
    EXPECT_EQ(count("fw log downloaing"), 0);
    EXPECT_EQ(count("close heartbeat"), 0);
    EXPECT_EQ(count("[warning] control block cut"), 0) << "the service reads its own object";
    stopCleanly(*service);
}

TEST_F(ControlBlock520, LeftoverOrForeignObjectIsReplacedNotAdopted) {
    // Another user (nobody) when the test may hand the object over; else a leftover of ours.
    const bool root = geteuid() == 0;
    ASSERT_TRUE(vtest::makeShmObject(env.shmName(), 4096, 0xA5, 0666,
                                     root ? 65534 : static_cast<uid_t>(-1)));
    struct stat before {};
    ASSERT_TRUE(vtest::statShmObject(env.shmName(), &before));

    auto service = startService();
    struct stat st {};
    ASSERT_TRUE(vtest::statShmObject(env.shmName(), &st));
    EXPECT_NE(st.st_ino, before.st_ino) << "the service adopted an object it did not create";
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_mode & 0777u, 0666u);
    EXPECT_EQ(st.st_size, static_cast<off_t>(kBlock));
    // Fresh: nothing of the old contents, apart from what the service itself has written since
    // (record 0's version text and its valid byte).
    std::string bytes = vtest::shmBytes(env.shmName());
    ASSERT_EQ(bytes.size(), kBlock);
    EXPECT_EQ(bytes.find('\xA5'), std::string::npos);
    expectModeSwitchServed();
    stopCleanly(*service);
}
