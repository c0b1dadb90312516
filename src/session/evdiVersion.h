// Run-time selection of the EVDI library's entry points.
//
// The library's ABI changed across releases while keeping symbol names: `evdi_connect` takes
// (area) in 1.10, (rate) in 1.11, (area, rate) in 1.12 and 1.13, and (area) again in 1.14, where
// `evdi_connect2` (area, rate) was added; `evdi_open_attached_to_fixed` appeared in 1.14.4. The
// service is compiled against one header (1.12 on the build hosts) but must run on whichever
// library is installed, so it asks the library for its version and calls through a function
// type of the matching shape. The two newer functions are declared weak: they are null when the
// library in use does not have them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "session/evdiApi.h"

extern "C" {
// libevdi 1.14 signatures; absent (null) in older libraries.
void evdi_connect2(evdi_handle handle, const unsigned char* edid, const unsigned int edid_length,
                   const uint32_t pixel_area_limit, const uint32_t pixel_per_second_limit)
    __attribute__((weak));
evdi_handle evdi_open_attached_to_fixed(const char* sysfs_parent_device, size_t length)
    __attribute__((weak));
}

// Which shape of connect the library in use takes.
enum class VelEvdiConnectShape {
    AreaOnly,     // 1.10 and anything unrecognised: (handle, edid, length, area)
    RateOnly,     // 1.11: (handle, edid, length, rate)
    AreaAndRate,  // 1.12, 1.13: (handle, edid, length, area, rate)
    Connect2,     // 1.14 and later: evdi_connect2 (handle, edid, length, area, rate)
};

// The shared library's own version (evdi_get_lib_version).
evdi_lib_version velEvdiLibVersion();

// True when `v` is at least major.minor.patch, compared as a version (major first, then minor,
// then patch), so 1.15.0 is above 1.14.4.
bool evdiVersionAtLeast(const evdi_lib_version& v, int major, int minor, int patch);

VelEvdiConnectShape velEvdiConnectShape(const evdi_lib_version& v);

// True when the library has the length-taking open (1.14.4 and later).
bool velEvdiHasFixedOpen(const evdi_lib_version& v);

// Opens an EVDI display attached to `parent` (null: a node with no parent device), through
// evdi_open_attached_to_fixed where the library has it, else evdi_open_attached_to. Returns the
// handle or EVDI_INVALID_HANDLE. May block for seconds (the library waits for the node).
evdi_handle velEvdiOpen(const char* parent);

// Connects `handle` with the EDID and the limits through the entry point of the library in
// use, logging which one was chosen. Arguments a shape cannot carry are dropped (1.11 has no
// area limit; 1.10 and 1.14's legacy connect have no rate limit). Returns 0, or -1 for a null
// handle, a null EDID or a zero length.
int velEvdiConnect(evdi_handle handle, const unsigned char* edid, unsigned int length,
                   uint32_t areaLimit, uint32_t rateLimit);
