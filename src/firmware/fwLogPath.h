// The firmware-log file named in the service control block. The block is created with mode
// 0666 while the service runs as root, so the path field is written by anyone on the host: it is
// accepted only in the exact form the client generates, a file directly inside the log directory
// (vel::logDir()) named "fw_log_MMDD_HHMMSS_k.log" with k 0 or 1, and opened so that neither a
// symbolic link nor anything but a regular file with a single name can be written through it.
//
// Thread context: any thread; each call opens and checks anew (the client may rewrite the field
// between two blocks).
#pragma once

#include <cstddef>

constexpr size_t VEL_FW_LOG_PATH_FIELD = 64;  // bytes of the path field in the control block

// True when `name` (a bare file name) has the generated form "fw_log_" 4 digits "_" 6 digits
// "_" 0|1 ".log".
bool velFwLogNameValid(const char* name);

// Checks the 64-byte path field and opens the file for appending (created with mode 0644 when
// missing). Returns the descriptor (close-on-exec; the caller closes it), or -1 after logging one
// "[error] ..." line that says why the path was refused or the open failed.
int velOpenFwLogForAppend(const char* field64);

// Appends one log block's text to the file named by the path field: the bytes of `text` up to
// its first NUL, at most `cap` bytes. Returns 0 when everything was written, -1 when the path
// was refused, the file could not be opened or the write failed (all logged).
int velAppendFwLogText(const char* field64, const char* text, size_t cap);
