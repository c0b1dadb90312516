// Firmware version comparison for the update decision.
//
// Version texts come from the host image's tail ("Version: 2.3.1 ...", keeping the blank after
// the colon) and from the adapter's version answer. They are compared as dotted numbers: 1.10 is
// newer than 1.9, missing components count as 0 (2 == 2.0 == 2.00.0), each component is a plain
// decimal number (leading zeros ignored, so 1.05 == 1.5). Leading and trailing blanks and one
// leading 'v' or 'V' are tolerated. Anything else (letters, signs, empty components, a component
// above 2^32 - 1, more than VEL_FW_VERSION_MAX_PARTS components, a text longer than
// VEL_FW_VERSION_MAX_TEXT) makes the text unparseable, and an unparseable version never leads to
// an update.
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

// Splits a version text into its numeric components (trailing zero components removed, so equal
// versions give equal vectors). Returns false, leaving `parts` empty, for an unparseable text or
// a null pointer. At most VEL_FW_VERSION_MAX_TEXT bytes of `text` are looked at.
bool velParseFwVersion(const char* text, std::vector<uint32_t>& parts);

// Orders two parsed versions: -1 when a < b, 0 when equal, 1 when a > b.
int velCompareFwVersionParts(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b);

// The update decision between the host image's version and the adapter's. Returns
// VEL_FW_HOST_NEWER, VEL_FW_HOST_OLDER or VEL_FW_MATCHED, or VEL_FW_UNPARSEABLE (after logging
// "[error] ..." with both texts) when either text cannot be read as a dotted version.
int velCompareFwVersions(const char* hostText, const char* deviceText);

// The older single-number reading of a version text: the first match of (\d+\.?\d*) converted
// to float, so "1.25.3" reads 1.25 and "V2.10" reads 2.1; 0 without a match or when the number
// is out of the float range. Throws nothing. Kept for the log and for comparing the two readings.
float velFwVersionAsFloat(const std::string& text);
