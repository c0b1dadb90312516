// The command line of VelUSBDisplay and the real service's start and stop, run as processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "testSupport.h"

namespace {

const std::string kProg = vtest::binPath("VelUSBDisplay");

struct Cli : ::testing::Test {
    vtest::IsolatedEnv env;
    std::vector<std::string> envVars() const { return env.processEnv(); }
    vtest::ProcResult run(std::vector<std::string> args) {
        args.insert(args.begin(), kProg);
        return vtest::run(args, envVars());
    }
};

}  // namespace

TEST_F(Cli, UsageAndErrorRowsWithTheirExitCodes) {
    auto r = run({"-fw"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Usage: " + kProg + " -fw [board|host]\n");
    r = run({"-fw", "other"});
    EXPECT_EQ(r.status, 255);

    r = run({"-fps", "12abc"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Invalid input. Please enter a valid number.\n");
    // Numbers the FPS interval (an int) cannot hold are no valid number either: 4294967296
    // would otherwise be announced and then stored as 0, which switches printing off.
    for (const char* n : {"4294967296", "2147483648", "-2147483649", "99999999999999999999"}) {
        r = run({"-fps", n});
        EXPECT_EQ(r.status, 255) << n;
        EXPECT_EQ(r.out, "Invalid input. Please enter a valid number.\n") << n;
    }
    r = run({"-fps"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Usage: " + kProg + " -fps <number>\n");
    r = run({"-fps", "1", "2"});
    EXPECT_EQ(r.status, 255);

    r = run({"-mode"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Usage: " + kProg +
                         " [-mode light] to enable light mode, [-mode smart] to enable smart mode \n");
    r = run({"-mode", "dark"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Invalid mode. Use 'light' or 'smart'.\n");

    r = run({"-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Usage: " + kProg +
                         " [-fw board|host] [-fwlog] [-v | --version | -version] [-fps <number>] "
                         "[fps <show>] [-mode light|smart]\n");
    EXPECT_EQ(run({"-help"}).out, r.out);

    r = run({"--bogus"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "wrong parameters! use [" + kProg + " -h] to get help.\n");
    // Client rows write nothing to the log.
    EXPECT_EQ(env.log(), "");
}

TEST_F(Cli, NumbersAreAcceptedWithoutARunningService) {
    for (const char* n : {"0", "-5", "12", "2147483647", "-2147483648"}) {
        auto r = run({"-fps", n});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind(std::string("Setting FPS to ") + n + "\n", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("Fail to open shared memory, can not set fps\n"), std::string::npos);
    }
    auto r = run({"-mode", "light"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Setting powerMode to LIGHT\ncan not set power mode\n");
    r = run({"-mode", "smart"});
    EXPECT_EQ(r.out, "Setting powerMode to SMART\ncan not set power mode\n");
}

TEST_F(Cli, VersionAndFirmwareQueries) {
    auto r = run({"-v"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("====>Vel USB Device Driver Version<====\n"
                          "\33[33mHost Vel Driver\33[0m Version: \33[33mv 2.24.6.0\33[0m\n"
                          "====>Vel USB Device Firmware Version<====\n",
                          0),
              0u)
        << r.out;
    // -fw board with an extra word still prints; the host file is missing: the system error
    // goes to stderr and the exit code is still 0.
    r = run({"-fw", "board", "extra"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("can not get fw version in board\n"), std::string::npos);
    EXPECT_NE(r.err.find("Fail to get Host FW Version: No such file or directory"), std::string::npos);
    r = run({"-fw", "host"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "====>Vel USB Device Firmware Version<====\n");
}

TEST_F(Cli, HostFirmwareVersionFromTheFileTail) {
    std::string image(4096, '\xAA');
    std::string tail = "Version: 2.3.1 build";
    image.replace(image.size() - 40, tail.size(), tail);
    FILE* f = fopen((env.fwDir() + "/USBDisplay520.bin").c_str(), "wb");
    fwrite(image.data(), 1, image.size(), f);
    fclose(f);
    auto r = run({"-fw", "host"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\033[33mHOST FW\033[0m Version: \033[33m 2.3.1\033[0m\n"), std::string::npos)
        << r.out;
}

TEST_F(Cli, RealServiceIdlesAndStopsInOrderOnSigterm) {
    vtest::Process p({kProg}, envVars());
    ASSERT_TRUE(vtest::waitFor([&] {
        return vtest::findLine(env.logLines(), "Vel USB Device Driver is running") >= 0;
    }));
    std::string shmPath = "/dev/shm" + env.shmName();
    struct stat st {};
    // The object exists a moment before it has its size (create, then ftruncate).
    EXPECT_TRUE(vtest::waitFor(
        [&] { return stat(shmPath.c_str(), &st) == 0 && st.st_size == 576; }))
        << "size " << st.st_size;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    p.signal(SIGTERM);
    auto r = p.wait(std::chrono::seconds(10));
    EXPECT_EQ(r.status, 0);
    auto lines = env.logLines();
    int a = vtest::findLine(lines, "[info] send exit signal");
    int b = vtest::findLine(lines, "[info] exit signal received", a);
    int c = vtest::findLine(lines, "Shared memory object unlinked", b);
    int d = vtest::findLine(lines, "==== Velmora Linux USB Display Driver 2.24.6.0 exited ====", c);
    EXPECT_TRUE(a >= 0 && b > a && c > b && d > c) << env.log();
    // No adapters: no clean-up lines.
    EXPECT_EQ(vtest::findLine(lines, "cleanDevice!"), -1);
    EXPECT_NE(stat(shmPath.c_str(), &st), 0);
}

TEST_F(Cli, SigintAndSigquitStopTheServiceToo) {
    for (int sig : {SIGINT, SIGQUIT}) {
        vtest::Process p({kProg}, envVars());
        ASSERT_TRUE(vtest::waitFor([&] {
            return vtest::findLine(env.logLines(), "Shared memory object created successfully") >= 0;
        }));
        p.signal(sig);
        auto r = p.wait(std::chrono::seconds(10));
        EXPECT_EQ(r.status, 0) << "signal " << sig;
        unlink(env.logFile().c_str());
    }
}
