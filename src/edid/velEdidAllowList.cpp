// Lookup in the monitor allow-list; the table itself is generated at build time from the
// EDID files in data/edid/allowlist/ (cmake/EmbedAllowList.cmake).
#include <cstring>

#include "edid/velEdid.h"
#include "velEdidAllowList.h"

bool velEdidInAllowList(const unsigned char* edid, size_t size) {
    if (!edid || size < VEL_EDID_BLOCK) return false;
    for (size_t i = 0; i < VEL_EDID_ALLOWLIST_COUNT; ++i) {
        if (memcmp(edid, velEdidAllowList[i], VEL_EDID_BLOCK) == 0) return true;
    }
    return false;
}
