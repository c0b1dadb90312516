// The embedded monitor allow-list: bytes, order and identities of the shared EDID files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "edid/velEdid.h"
#include "testSupport.h"
#include "velEdidAllowList.h"

namespace {

std::string pnpId(const unsigned char* e) {
    const unsigned v = (e[8] << 8) | e[9];
    std::string s;
    for (int shift : {10, 5, 0}) s += static_cast<char>('A' - 1 + ((v >> shift) & 0x1F));
    return s;
}

TEST(EdidAllowListTest, HoldsTheKnownMonitorsInListOrderAndLeavesOutTheUnknownPlaces) {
    ASSERT_EQ(VEL_EDID_ALLOWLIST_COUNT, 22);
    std::set<int> places;
    for (int i = 0; i < VEL_EDID_ALLOWLIST_COUNT; ++i) {
        if (i > 0) {
            EXPECT_LT(velEdidAllowListPosition[i - 1], velEdidAllowListPosition[i]);
        }
        places.insert(velEdidAllowListPosition[i]);
    }
    for (int missing : {1, 7, 17, 24, 26}) EXPECT_EQ(places.count(missing), 0u) << missing;
    EXPECT_EQ(*places.begin(), 2);
    EXPECT_EQ(*places.rbegin(), 27);
}

TEST(EdidAllowListTest, EntriesAreTheFilesBytesWithTheirNamedIdentity) {
    for (int i = 0; i < VEL_EDID_ALLOWLIST_COUNT; ++i) {
        const std::string file = velEdidAllowListFile[i];
        SCOPED_TRACE(file);
        std::ifstream in(std::string(VEL_DATA_DIR) + "/edid/allowlist/" + file, std::ios::binary);
        const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                               std::istreambuf_iterator<char>());
        ASSERT_EQ(bytes.size(), 128u);
        EXPECT_EQ(memcmp(bytes.data(), velEdidAllowList[i], 128), 0);
        const unsigned char* e = velEdidAllowList[i];
        EXPECT_EQ(pnpId(e), file.substr(3, 3));
        char product[8];
        snprintf(product, sizeof product, "%02X%02X", e[11], e[10]);
        EXPECT_EQ(std::string(product), file.substr(7, 4));
        // Every block we have is valid, the last one included: kept exactly as the monitor sends it.
        EXPECT_EQ(e[127], vtest::edidChecksumFor(e));
    }
}

TEST(EdidAllowListTest, LookupComparesAllOfTheBaseBlock) {
    for (int i = 0; i < VEL_EDID_ALLOWLIST_COUNT; ++i) {
        std::vector<unsigned char> e(velEdidAllowList[i], velEdidAllowList[i] + 128);
        e.resize(256, 0);  // extension blocks do not take part
        EXPECT_TRUE(velEdidInAllowList(e.data(), e.size())) << i;
        e[127] ^= 1;
        EXPECT_FALSE(velEdidInAllowList(e.data(), e.size())) << i;
    }
    EXPECT_FALSE(velEdidInAllowList(velEdidAllowList[0], 127));
    EXPECT_FALSE(velEdidInAllowList(nullptr, 128));
}

}  // namespace
