#include "session/evdiVersion.h"

#include <cstring>

#include "service/debug.h"

namespace {
using ConnectFourArgs = void (*)(evdi_handle, const unsigned char*, const unsigned int,
                                 const uint32_t);
using ConnectFiveArgs = void (*)(evdi_handle, const unsigned char*, const unsigned int,
                                 const uint32_t, const uint32_t);

// The header in use declares one shape of evdi_connect; the library may have another. On
// x86-64 the extra or missing trailing integer argument is the only difference, so a call
// through the library's own shape is what that library expects.
template <typename Fn>
Fn connectAs() {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(&evdi_connect));
}
}  // namespace

evdi_lib_version velEvdiLibVersion() {
    evdi_lib_version v{0, 0, 0};
    evdi_get_lib_version(&v);
    return v;
}

bool evdiVersionAtLeast(const evdi_lib_version& v, int major, int minor, int patch) {
    if (v.version_major != major) return v.version_major > major;
    if (v.version_minor != minor) return v.version_minor > minor;
    return v.version_patchlevel >= patch;
}

VelEvdiConnectShape velEvdiConnectShape(const evdi_lib_version& v) {
    if (v.version_major == 1 && v.version_minor == 11) return VelEvdiConnectShape::RateOnly;
    if (v.version_major == 1 && (v.version_minor == 12 || v.version_minor == 13))
        return VelEvdiConnectShape::AreaAndRate;
    if (v.version_major == 1 && v.version_minor >= 14) return VelEvdiConnectShape::Connect2;
    return VelEvdiConnectShape::AreaOnly;
}

bool velEvdiHasFixedOpen(const evdi_lib_version& v) {
    return evdiVersionAtLeast(v, 1, 14, 4);
}

evdi_handle velEvdiOpen(const char* parent) {
    const evdi_lib_version v = velEvdiLibVersion();
    if (velEvdiHasFixedOpen(v) && evdi_open_attached_to_fixed) {
        return evdi_open_attached_to_fixed(parent, parent ? strlen(parent) : 0);
    }
    return evdi_open_attached_to(parent);
}

int velEvdiConnect(evdi_handle handle, const unsigned char* edid, unsigned int length,
                   uint32_t areaLimit, uint32_t rateLimit) {
    if (handle == EVDI_INVALID_HANDLE || !edid || length == 0) return -1;
    const evdi_lib_version v = velEvdiLibVersion();
    switch (velEvdiConnectShape(v)) {
    case VelEvdiConnectShape::RateOnly:
        vel_Print("EVDI version is 1.11\n");
        connectAs<ConnectFourArgs>()(handle, edid, length, rateLimit);
        break;
    case VelEvdiConnectShape::AreaAndRate:
        vel_Print("EVDI version above 1.12\n");
        connectAs<ConnectFiveArgs>()(handle, edid, length, areaLimit, rateLimit);
        break;
    case VelEvdiConnectShape::Connect2:
        vel_Print("EVDI version above 1.14\n");
        if (evdi_connect2) {
            evdi_connect2(handle, edid, length, areaLimit, rateLimit);
        } else {
            // A library that reports 1.14 without exporting connect2 only has the legacy
            // connect, which derives its rate limit from the area.
            connectAs<ConnectFourArgs>()(handle, edid, length, areaLimit);
        }
        break;
    case VelEvdiConnectShape::AreaOnly:
        connectAs<ConnectFourArgs>()(handle, edid, length, areaLimit);
        break;
    }
    return 0;
}
