// The service log. Every diagnostic of the service is one call of vel_Print with a complete,
// newline-terminated line (callers format into a 512-byte buffer). Each line is stamped with the
// local time, every letter and digit is passed through transChar, and the line is appended to
// the log file, which is deleted and started again once it has grown past 1 MiB.
//
// Thread safety: vel_Print may be called from any thread. A process-wide lock serialises the
// size check, the deletion and the append, so two threads never interleave inside a line or
// delete each other's fresh file. It is not async-signal-safe in general; the signal handler
// uses it the same way the rest of the service does (the line is short and the lock is never
// held across a blocking call other than the file write).
#pragma once

#include <cstddef>

static constexpr long VEL_LOG_LIMIT = 1048576;  // bytes before the log is restarted
static constexpr size_t VEL_LOG_TEXT_MAX = 512;  // bytes of caller text per line

void vel_Print(const char* text);
// printf-style convenience: formats into a 512-byte buffer, then vel_Print.
void vel_Printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

void get_local_time(char* buf);  // 19 characters and a terminator
long getFileSize(const char* path);
void write_log_file(const char* path, long limit, const char* data, unsigned length);
char transChar(char c);
char untransChar(char c);  // inverse of transChar, for log readers
