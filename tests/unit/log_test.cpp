// The log writer: substitution, timestamp, the 512-byte cut, rotation and concurrency.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <set>
#include <thread>

#include "service/debug.h"
#include "testSupport.h"

TEST(Log, SubstitutionTableIsOneToOneAndInvertible) {
    std::set<char> outputs;
    const std::string alnum =
        "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    for (char c : alnum) {
        char t = transChar(c);
        EXPECT_TRUE(isalnum(static_cast<unsigned char>(t))) << c;
        outputs.insert(t);
        EXPECT_EQ(untransChar(t), c);
    }
    EXPECT_EQ(outputs.size(), 62u);
    for (char c : std::string(" []:.\n-+=%\0", 11)) EXPECT_EQ(transChar(c), c);
    EXPECT_EQ(transChar('0'), 'q');
    EXPECT_EQ(transChar('A'), '0');
    EXPECT_EQ(transChar('K'), 'A');
    EXPECT_EQ(transChar('a'), 'Q');
    EXPECT_EQ(transChar('k'), 'a');
}

TEST(Log, LineIsTimestampThenSubstitutedText) {
    vtest::IsolatedEnv env;
    vel_Print("ab09XYZ\n");
    std::string raw = vtest::readFile(env.logFile());
    ASSERT_EQ(raw.size(), 19u + 8u);
    EXPECT_EQ(raw.substr(19), "QRqzNOP\n");
    // The timestamp is substituted too: "2026-..." becomes "sqsw-..." in 2026.
    char stamp[32];
    get_local_time(stamp);
    std::string expected;
    for (int i = 0; i < 19; ++i) expected += transChar(stamp[i]);
    EXPECT_EQ(raw.substr(0, 4), expected.substr(0, 4));
    EXPECT_EQ(raw[4], '-');
    EXPECT_EQ(raw[13], ':');
    EXPECT_EQ(vtest::decodeLog(raw).substr(19), "ab09XYZ\n");
}

TEST(Log, TextIsCutAt512Bytes) {
    vtest::IsolatedEnv env;
    std::string longText(700, 'x');
    vel_Print(longText.c_str());
    std::string raw = vtest::readFile(env.logFile());
    EXPECT_EQ(raw.size(), 19u + 512u);
}

TEST(Log, RotatesOnlyWhenStrictlyLargerThanOneMiB) {
    vtest::IsolatedEnv env;
    vel_Print("first\n");
    {
        // Grow the file to exactly the limit: the next line is appended.
        std::ofstream f(env.logFile(), std::ios::binary | std::ios::trunc);
        f << std::string(VEL_LOG_LIMIT, 'a');
    }
    vel_Print("kept\n");
    EXPECT_EQ(getFileSize(env.logFile().c_str()), VEL_LOG_LIMIT + 19 + 5);
    // Now it is past the limit: the next line deletes it and starts again with that line.
    vel_Print("fresh\n");
    EXPECT_EQ(getFileSize(env.logFile().c_str()), 19 + 6);
    EXPECT_EQ(env.log().substr(19), "fresh\n");
}

TEST(Log, UncreatableDirectoryDoesNotAffectTheCaller) {
    vtest::TempDir dir;
    std::string blocked = dir.file("file");
    std::ofstream(blocked) << "x";  // a regular file where the directory's parent should be
    setenv("VEL_LOG_DIR", (blocked + "/log").c_str(), 1);
    vel_Print("dropped\n");  // must simply return
    unsetenv("VEL_LOG_DIR");
    struct stat st {};
    EXPECT_NE(stat((blocked + "/log").c_str(), &st), 0);
}

TEST(Log, MissingDirectoryIsCreated) {
    vtest::IsolatedEnv env;
    vel_Print("hello\n");
    struct stat st {};
    ASSERT_EQ(stat(env.logDir().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0755u);
}

TEST(Log, ConcurrentWritersAcrossRotationNeverInterleaveOrLoseTheFreshFile) {
    vtest::IsolatedEnv env;
    vel_Print("seed\n");
    {
        std::ofstream f(env.logFile(), std::ios::binary | std::ios::trunc);
        f << std::string(VEL_LOG_LIMIT - 2000, 'a') << '\n';
    }
    const int perThread = 200;
    auto writer = [](char tag) {
        std::string line(40, tag);
        line += '\n';
        for (int i = 0; i < perThread; ++i) vel_Print(line.c_str());
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
    // Every surviving line after the rotation is whole: timestamp plus 40 equal letters.
    auto lines = env.logLines();
    int whole = 0;
    for (const auto& l : lines) {
        if (l.size() == 40 && (l == std::string(40, 'a') || l == std::string(40, 'b'))) ++whole;
        else if (!l.empty() && l.find_first_not_of('a') != std::string::npos)
            ADD_FAILURE() << "torn line: " << l;
    }
    EXPECT_GT(whole, 0);
}
