// Run-time choice of the EVDI library's open and connect entry points, against the stand-in
// reporting each library version.
#include <gtest/gtest.h>

#include "emulator/evdi/desktop.h"
#include "emulator/evdi/evdiEmu.h"
#include "session/evdiVersion.h"
#include "testSupport.h"

namespace {

evdi_lib_version ver(int a, int b, int c) { return evdi_lib_version{a, b, c}; }

class EvdiVersionTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (evdi_handle h : emu::openHandles()) evdi_close(h);
        emu::setEvdiLibVersion(1, 12, 0);
        emu::setAutoDesktop(true);
    }
    // Opens and connects as plug-in does, returning what the stand-in recorded.
    emu::EvdiConnectRecord connectWith(int a, int b, int c, const std::vector<unsigned char>& edid,
                                       std::string* openEntry = nullptr) {
        emu::setEvdiLibVersion(a, b, c);
        evdi_handle h = velEvdiOpen(nullptr);
        EXPECT_NE(h, nullptr);
        EXPECT_EQ(velEvdiConnect(h, edid.data(), static_cast<unsigned>(edid.size()), 8294400,
                                 530841600),
                  0);
        if (openEntry) *openEntry = emu::stats(h).openEntry;
        return emu::connectRecord(h);
    }
    vtest::IsolatedEnv env;
};

TEST(EvdiVersionCompare, ComparesAsAVersionNotFieldByField) {
    EXPECT_TRUE(evdiVersionAtLeast(ver(1, 14, 4), 1, 14, 4));
    EXPECT_TRUE(evdiVersionAtLeast(ver(1, 15, 0), 1, 14, 4));  // minor above: patch irrelevant
    EXPECT_TRUE(evdiVersionAtLeast(ver(2, 0, 0), 1, 14, 4));
    EXPECT_FALSE(evdiVersionAtLeast(ver(1, 14, 3), 1, 14, 4));
    EXPECT_FALSE(evdiVersionAtLeast(ver(1, 13, 9), 1, 14, 4));
    EXPECT_FALSE(evdiVersionAtLeast(ver(0, 99, 99), 1, 0, 0));
}

TEST(EvdiVersionCompare, ConnectShapePerLibraryRelease) {
    EXPECT_EQ(velEvdiConnectShape(ver(1, 10, 0)), VelEvdiConnectShape::AreaOnly);
    EXPECT_EQ(velEvdiConnectShape(ver(1, 11, 2)), VelEvdiConnectShape::RateOnly);
    EXPECT_EQ(velEvdiConnectShape(ver(1, 12, 0)), VelEvdiConnectShape::AreaAndRate);
    EXPECT_EQ(velEvdiConnectShape(ver(1, 13, 1)), VelEvdiConnectShape::AreaAndRate);
    EXPECT_EQ(velEvdiConnectShape(ver(1, 14, 0)), VelEvdiConnectShape::Connect2);
    EXPECT_EQ(velEvdiConnectShape(ver(1, 15, 0)), VelEvdiConnectShape::Connect2);
    EXPECT_EQ(velEvdiConnectShape(ver(2, 0, 0)), VelEvdiConnectShape::AreaOnly);
}

TEST_F(EvdiVersionTest, FixedOpenFrom1144Including1150) {
    const auto edid = emu::makeEdid(1920, 1080, 60);
    std::string entry;
    connectWith(1, 14, 3, edid, &entry);
    EXPECT_EQ(entry, "evdi_open_attached_to");
    connectWith(1, 14, 4, edid, &entry);
    EXPECT_EQ(entry, "evdi_open_attached_to_fixed");
    connectWith(1, 15, 0, edid, &entry);
    EXPECT_EQ(entry, "evdi_open_attached_to_fixed");
    connectWith(1, 12, 0, edid, &entry);
    EXPECT_EQ(entry, "evdi_open_attached_to");
}

TEST_F(EvdiVersionTest, EachReleaseGetsItsConnectAndLogLine) {
    const auto edid = emu::makeEdid(1920, 1080, 60);
    auto r = connectWith(1, 11, 0, edid);
    EXPECT_EQ(r.entry, "evdi_connect");
    EXPECT_EQ(r.rateLimit, 530841600u);  // 1.11 has only the rate limit
    EXPECT_EQ(r.areaLimit, 0u);

    r = connectWith(1, 12, 0, edid);
    EXPECT_EQ(r.entry, "evdi_connect");
    EXPECT_EQ(r.areaLimit, 8294400u);
    EXPECT_EQ(r.rateLimit, 530841600u);

    r = connectWith(1, 14, 4, edid);
    EXPECT_EQ(r.entry, "evdi_connect2");
    EXPECT_EQ(r.areaLimit, 8294400u);
    EXPECT_EQ(r.rateLimit, 530841600u);

    r = connectWith(1, 10, 0, edid);
    EXPECT_EQ(r.entry, "evdi_connect");
    EXPECT_EQ(r.areaLimit, 8294400u);
    EXPECT_EQ(r.rateLimit, 0u);

    auto lines = env.logLines();
    int a = vtest::findLine(lines, "EVDI version is 1.11");
    int b = vtest::findLine(lines, "EVDI version above 1.12", a);
    int c = vtest::findLine(lines, "EVDI version above 1.14", b);
    EXPECT_GE(a, 0);
    EXPECT_GT(b, a);
    EXPECT_GT(c, b);
}

TEST_F(EvdiVersionTest, EdidIsPassedWithItsExactLength) {
    const auto edid = emu::makeEdid(1920, 1080, 60, 1);  // byte 126 = 1: two blocks
    ASSERT_EQ(edid.size(), 256u);
    auto r = connectWith(1, 12, 0, edid);
    EXPECT_EQ(r.length, 256u);
    EXPECT_EQ(r.edid, edid);
}

TEST_F(EvdiVersionTest, RefusesMissingArguments) {
    const auto edid = emu::makeEdid(1920, 1080, 60);
    EXPECT_EQ(velEvdiConnect(EVDI_INVALID_HANDLE, edid.data(), 128, 1, 1), -1);
    evdi_handle h = velEvdiOpen(nullptr);
    EXPECT_EQ(velEvdiConnect(h, nullptr, 128, 1, 1), -1);
    EXPECT_EQ(velEvdiConnect(h, edid.data(), 0, 1, 1), -1);
    EXPECT_FALSE(emu::connectRecord(h).connected);
}

}  // namespace
