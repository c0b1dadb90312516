// Firmware version comparison: dotted components against the older float reading, where they
// agree and where they differ, the tolerated decorations and the unparseable texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware/fwVersion.h"
#include "testSupport.h"

namespace {

int floatOrder(const char* host, const char* device) {
    float h = velFwVersionAsFloat(host), d = velFwVersionAsFloat(device);
    return h < d ? VEL_FW_HOST_OLDER : (h > d ? VEL_FW_HOST_NEWER : VEL_FW_MATCHED);
}

}  // namespace

TEST(FwVersionFloat, TheOlderReading) {
    EXPECT_FLOAT_EQ(velFwVersionAsFloat("1.25.3"), 1.25f);
    EXPECT_FLOAT_EQ(velFwVersionAsFloat("V2.10"), 2.1f);
    EXPECT_FLOAT_EQ(velFwVersionAsFloat(" 3. build"), 3.0f);
    EXPECT_FLOAT_EQ(velFwVersionAsFloat("no digits"), 0.0f);
    // Beyond the float range: stof throws; the reading gives 0 instead of ending the service.
    EXPECT_FLOAT_EQ(velFwVersionAsFloat(std::string(60, '9')), 0.0f);
}

TEST(FwVersionParse, ComponentsAndTolerances) {
    std::vector<uint32_t> p;
    ASSERT_TRUE(velParseFwVersion(" 2.3.1", p));
    EXPECT_EQ(p, (std::vector<uint32_t>{2, 3, 1}));
    ASSERT_TRUE(velParseFwVersion("\tv1.10 ", p));
    EXPECT_EQ(p, (std::vector<uint32_t>{1, 10}));
    ASSERT_TRUE(velParseFwVersion("V2.00.0", p));
    EXPECT_EQ(p, (std::vector<uint32_t>{2}));
    ASSERT_TRUE(velParseFwVersion("0.0", p));
    EXPECT_EQ(p, (std::vector<uint32_t>{0}));
    ASSERT_TRUE(velParseFwVersion("4294967295", p));
    EXPECT_EQ(p, (std::vector<uint32_t>{4294967295u}));
}

TEST(FwVersionParse, UnparseableTexts) {
    std::vector<uint32_t> p{7};
    for (const char* t : {"", "   ", "v", "1..2", "1.", ".1", "1.2a", "-1.2", "+1", "1 2", "vv1",
                          "FW 1.10", "1.2.3-beta", "4294967296", "1.2.3.4.5.6.7.8.9"}) {
        EXPECT_FALSE(velParseFwVersion(t, p)) << '"' << t << '"';
        EXPECT_TRUE(p.empty());
    }
    EXPECT_FALSE(velParseFwVersion(nullptr, p));
    EXPECT_FALSE(velParseFwVersion(std::string(VEL_FW_VERSION_MAX_TEXT + 1, '1').c_str(), p));
    EXPECT_TRUE(velParseFwVersion("1.2.3.4.5.6.7.8", p));
}

TEST(FwVersionCompare, WhereBothReadingsAgree) {
    struct Case {
        const char* host;
        const char* device;
        int order;
    } cases[] = {
        {"2.0", "2.00", VEL_FW_MATCHED},   {"2", "2.0.0", VEL_FW_MATCHED},
        {"3.0", "3", VEL_FW_MATCHED},      {" 1.3", "1.2", VEL_FW_HOST_NEWER},
        {"1.2", "1.3", VEL_FW_HOST_OLDER}, {"2.1", "1.9", VEL_FW_HOST_NEWER},
        {"v3", "2.99", VEL_FW_HOST_NEWER}, {"1.1", "1.1", VEL_FW_MATCHED},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(velCompareFwVersions(c.host, c.device), c.order) << c.host << " vs " << c.device;
        EXPECT_EQ(floatOrder(c.host, c.device), c.order) << c.host << " vs " << c.device;
    }
}

TEST(FwVersionCompare, WhereTheFloatReadingIsWrong) {
    struct Case {
        const char* host;
        const char* device;
        int dotted;
        int asFloat;
    } cases[] = {
        {"1.10", "1.9", VEL_FW_HOST_NEWER, VEL_FW_HOST_OLDER},
        {"1.9", "1.10", VEL_FW_HOST_OLDER, VEL_FW_HOST_NEWER},
        {"1.25", "1.5", VEL_FW_HOST_NEWER, VEL_FW_HOST_OLDER},
        {"1.05", "1.5", VEL_FW_MATCHED, VEL_FW_HOST_OLDER},  // components are numbers: 05 is 5
        {"1.50", "1.5", VEL_FW_HOST_NEWER, VEL_FW_MATCHED},
        {"1.2.5", "1.2.1", VEL_FW_HOST_NEWER, VEL_FW_MATCHED},  // the float reading stops at 1.2
        {"2.24.6.0", "2.24.10.0", VEL_FW_HOST_OLDER, VEL_FW_MATCHED},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(velCompareFwVersions(c.host, c.device), c.dotted) << c.host << " vs " << c.device;
        EXPECT_EQ(floatOrder(c.host, c.device), c.asFloat) << c.host << " vs " << c.device;
    }
}

TEST(FwVersionCompare, UnparseableNeverUpdatesAndIsLogged) {
    vtest::IsolatedEnv env;
    EXPECT_EQ(velCompareFwVersions("9.9 beta", "1.0"), VEL_FW_UNPARSEABLE);
    EXPECT_EQ(velCompareFwVersions("2.0", ""), VEL_FW_UNPARSEABLE);
    EXPECT_EQ(velCompareFwVersions(nullptr, "1.0"), VEL_FW_UNPARSEABLE);
    auto lines = env.logLines();
    int first = vtest::findLine(lines,
                                "[error] can't compare FW versions, host version is not a "
                                "dotted number (host: \"9.9 beta\", device: \"1.0\"), no "
                                "update");
    EXPECT_GE(first, 0) << env.log();
    EXPECT_GE(vtest::findLine(lines,
                              "device version is not a dotted number (host: \"2.0\", "
                              "device: \"\")"),
              0)
        << env.log();
    EXPECT_GE(vtest::findLine(lines, "(host: \"(none)\""), 0) << env.log();
}
