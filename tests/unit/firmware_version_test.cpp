// Firmware version comparison: the first dotted number of each text, whatever decorates it, read
// component by component; where a single-number reading would go wrong; the texts that hold no
// readable number and never lead to an update.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware/fwVersion.h"
#include "testSupport.h"

namespace {

using Parts = std::vector<uint32_t>;

}  // namespace

TEST(FwVersionParse, FirstDottedNumberOfTheText) {
    struct Case {
        const char* text;
        Parts parts;
    } cases[] = {
        {" 2.3.1", {2, 3, 1}},
        {"\tv1.10 ", {1, 10}},
        {"V2.00.0", {2}},
        {"0.0", {0}},
        {"4294967295", {4294967295u}},
        {"1.2.3.4.5.6.7.8", {1, 2, 3, 4, 5, 6, 7, 8}},
        // Decorations the adapters and images carry: the number is found wherever it starts.
        {"v 2.24.1.0", {2, 24, 1}},
        {"FW 1.10", {1, 10}},
        {"V2.10", {2, 10}},
        {"1.2.3-beta", {1, 2, 3}},
        {"9.9 beta", {9, 9}},
        {"1.25.3", {1, 25, 3}},
        {" 3. build", {3}},
        {"-1.2", {1, 2}},
        {"+1", {1}},
        {"vv1", {1}},
        // The number ends where a dot is not followed by a digit, or at any other character.
        {"1..2", {1}},
        {"1.", {1}},
        {".1", {1}},
        {"1.2a", {1, 2}},
        {"1 2", {1}},
        {"build 7 of 2.1", {7}},
    };
    for (const auto& c : cases) {
        Parts p{99};
        EXPECT_TRUE(velParseFwVersion(c.text, p)) << '"' << c.text << '"';
        EXPECT_EQ(p, c.parts) << '"' << c.text << '"';
    }
}

TEST(FwVersionParse, TextsWithoutAReadableNumber) {
    Parts p{7};
    for (const char* t : {"", "   ", "v", "no digits", "x.y", "4294967296", "1.4294967296",
                          "1.2.3.4.5.6.7.8.9"}) {
        EXPECT_FALSE(velParseFwVersion(t, p)) << '"' << t << '"';
        EXPECT_TRUE(p.empty());
    }
    EXPECT_FALSE(velParseFwVersion(nullptr, p));
    EXPECT_FALSE(velParseFwVersion(std::string(60, '9').c_str(), p));
    // Only the first VEL_FW_VERSION_MAX_TEXT bytes are looked at.
    EXPECT_FALSE(velParseFwVersion((std::string(VEL_FW_VERSION_MAX_TEXT, ' ') + "1.0").c_str(), p));
    EXPECT_TRUE(velParseFwVersion((std::string(VEL_FW_VERSION_MAX_TEXT - 3, ' ') + "1.0").c_str(), p));
    EXPECT_EQ(p, Parts{1});
}

TEST(FwVersionCompare, ComponentsAreNumbers) {
    struct Case {
        const char* host;
        const char* device;
        int order;
    } cases[] = {
        {"2.0", "2.00", VEL_FW_MATCHED},
        {"2", "2.0.0", VEL_FW_MATCHED},
        {" 1.3", "1.2", VEL_FW_HOST_NEWER},
        {"1.2", "1.3", VEL_FW_HOST_OLDER},
        {"v3", "2.99", VEL_FW_HOST_NEWER},
        // A single-number reading (1.10 as 1.1, 1.2.5 as 1.2) orders these wrongly.
        {"1.10", "1.9", VEL_FW_HOST_NEWER},
        {"1.9", "1.10", VEL_FW_HOST_OLDER},
        {"1.25", "1.5", VEL_FW_HOST_NEWER},
        {"1.05", "1.5", VEL_FW_MATCHED},
        {"1.50", "1.5", VEL_FW_HOST_NEWER},
        {"1.2.5", "1.2.1", VEL_FW_HOST_NEWER},
        {"2.24.6.0", "2.24.10.0", VEL_FW_HOST_OLDER},
        // Decorated texts compare by their numbers.
        {" 2.24.6.0", "v 2.24.1.0", VEL_FW_HOST_NEWER},
        {"FW 1.10", "1.9", VEL_FW_HOST_NEWER},
        {"V2.10", "2.10.0", VEL_FW_MATCHED},
        {"2.1", "V2.10", VEL_FW_HOST_OLDER},
    };
    for (const auto& c : cases)
        EXPECT_EQ(velCompareFwVersions(c.host, c.device), c.order) << c.host << " vs " << c.device;
}

TEST(FwVersionCompare, NoNumberNeverUpdatesAndIsLogged) {
    vtest::IsolatedEnv env;
    EXPECT_EQ(velCompareFwVersions("beta", "1.0"), VEL_FW_UNPARSEABLE);
    EXPECT_EQ(velCompareFwVersions("2.0", ""), VEL_FW_UNPARSEABLE);
    EXPECT_EQ(velCompareFwVersions(nullptr, "1.0"), VEL_FW_UNPARSEABLE);
    auto lines = env.logLines();
    int first = vtest::findLine(lines,
                                "[error] can't compare FW versions, host version has no readable "
                                "version number (host: \"beta\", device: \"1.0\"), no update");
    EXPECT_GE(first, 0) << env.log();
    EXPECT_GE(vtest::findLine(lines,
                              "device version has no readable version number (host: \"2.0\", "
                              "device: \"\")"),
              0)
        << env.log();
    EXPECT_GE(vtest::findLine(lines, "(host: \"(none)\""), 0) << env.log();
}
