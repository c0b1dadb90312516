// EDID rewriting against the adapter's mode list.
//
// A monitor's EDID advertises timings in many places (detailed, CVT, standard, established
// I/II/III, CTA short video descriptors, YCbCr 4:2:0 descriptors, HDMI 4k VICs and 3D references,
// DisplayID type I and VII timings, type IV and VIII timing codes, the DMT and CTA timing
// bitmaps and CTA data blocks inside DisplayID). createEdid blanks, in place, every timing that
// the adapter cannot drive and every repeat of a timing already kept, spoils the range-limits
// descriptor so that no mode can be inferred from it, and recomputes every block checksum.
// Size, block structure and everything that is not a timing are kept.
//
// Concurrency: a pass holds a process-wide lock for its whole run, so two passes never run at
// the same time (their log lines would interleave); the set of timings kept so far belongs to
// the pass and is passed explicitly, so a pass never sees another pass's entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <tuple>

#include "edid/capsMode.h"

static constexpr size_t VEL_EDID_BLOCK = 128;

// (width, height, refresh) of every timing accepted so far in one pass, in lexicographic order.
using EdidTuple = std::set<std::tuple<int, int, int>>;

// Rewrites the EDID in `edid` (size bytes, at least one 128-byte block) against `modes`
// (VEL_CAPS_MODE_MAX entries; null reads as an empty list). Byte 126 is trusted only as far as
// the buffer goes: extension blocks it claims beyond `size` are neither read nor written, and
// bytes after the last whole block are left alone. Returns 0, or -1 (and changes nothing) when
// the buffer is null or shorter than one block. Blocks on the pass lock; no I/O but the log.
int createEdid(unsigned char* edid, size_t size, const CAPS_MODE_STRUCT* modes);

// Looks (width, height, refresh) up in `modes` (exact size, refresh within 1 Hz). Returns 1 and
// records the timing in `edidTuple` when it is supported and not yet recorded, else 0. Logs
// "support", "already reported" or "do not support".
int CheckExistInModeList(int width, int height, int refresh, const CAPS_MODE_STRUCT* modes,
                         EdidTuple& edidTuple);

// (256 - sum of bytes 0..126) mod 256 of one 128-byte block.
unsigned char edid_block_checksum(const unsigned char* block);

// True when the first 128 bytes of `edid` are exactly one entry of velEdidAllowList.
bool velEdidInAllowList(const unsigned char* edid, size_t size);
