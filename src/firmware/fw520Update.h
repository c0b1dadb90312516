// The model-520 firmware decisions that need no USB: whether the host image should replace the
// adapter's firmware, and the handling of one firmware-log block against the device's
// control-block record. The model-520 display class calls these from its firmware check
// (bring-up thread, hot-plug workers) and from its receive thread's log-block path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

struct VEL_SHM_RECORD;

// Largest image the model-520 update sends (the size of its send buffer).
constexpr size_t VEL_FW520_IMAGE_MAX = 0x500000;

// Compares the host image's version text with the adapter's and logs the outcome line
// ("FW Version in host is newer ...", "... is older ...", "FW Version matched, ..."). Returns 1
// when the host image is newer and should be sent, 0 otherwise (older, equal, or either text not
// a dotted version, which is logged as an error).
int velFw520ShouldUpdate(int deviceIndex, const char* hostText, const char* deviceText);

// One firmware-log block as received (`length` valid bytes, class 0 type 48): advances the
// record's counters, appends the block's text to the file named in the record (checked as in
// fwLogPath.h; a refused or unopenable file drops the text, the counters still advance) and, on
// the last block, sets the record's download-finished byte after the text is written. Returns 0
// for a block taken, -1 for a block refused (wrong class or type, too short, or an index outside
// the announced total), which is logged and leaves the record alone. Receive thread (under the
// class's fwLogMutex), or any thread that owns the record's log fields.
int velFw520LogBlock(const unsigned char* block, size_t length, VEL_SHM_RECORD* record);

// Reads a whole image of `length` bytes (as measured when it was opened) from its start into
// `out`, for one firmware send. Returns 0 with `out` holding exactly the image; 1, logged, when
// the stream is null, the image is empty, longer than VEL_FW520_IMAGE_MAX, or cannot be read in
// full. A cut or zero-filled image is never handed to the send: the adapter would flash it.
int velFw520ReadImage(FILE* file, int length, std::vector<unsigned char>& out);
