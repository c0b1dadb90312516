// Firmware version comparison for the update decision.
//
// Version texts come from the host image's tail ("Version: 2.3.1 ...", keeping the blank after
// the colon) and from the adapter's version answer, whose decorations vary ("v 2.24.1.0",
// "FW 1.10", "V2.10", "1.2.3-beta"). The version is the first dotted number in the text: the
// first run of decimal digits, with the ".digits" groups that follow it directly; whatever
// surrounds it is ignored. Two versions are compared component by component as numbers: 1.10 is
// newer than 1.9, missing components count as 0 (2 == 2.0 == 2.00.0), leading zeros are ignored
// (1.05 == 1.5). A text without a digit, a component above 2^32 - 1 or a number of more than
// VEL_FW_VERSION_MAX_PARTS components makes the text unreadable; only the first
// VEL_FW_VERSION_MAX_TEXT bytes are looked at. An unreadable version never leads to an update.
//
// Thread context: any thread; pure functions apart from the one log line of velCompareFwVersions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t VEL_FW_VERSION_MAX_PARTS = 8;
constexpr size_t VEL_FW_VERSION_MAX_TEXT = 128;

enum VelFwVersionOrder {
    VEL_FW_HOST_OLDER = -1,
    VEL_FW_MATCHED = 0,
    VEL_FW_HOST_NEWER = 1,
    VEL_FW_UNPARSEABLE = 2,
};

// The numeric components of the first dotted number in `text` (trailing zero components
// removed, so equal versions give equal vectors). Returns false, leaving `parts` empty, for an
// unreadable text or a null pointer.
bool velParseFwVersion(const char* text, std::vector<uint32_t>& parts);

// Orders two parsed versions: -1 when a < b, 0 when equal, 1 when a > b.
int velCompareFwVersionParts(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b);

// The update decision between the host image's version and the adapter's. Returns
// VEL_FW_HOST_NEWER, VEL_FW_HOST_OLDER or VEL_FW_MATCHED, or VEL_FW_UNPARSEABLE (after logging
// "[error] ..." with both texts) when either text holds no readable version number.
int velCompareFwVersions(const char* hostText, const char* deviceText);
