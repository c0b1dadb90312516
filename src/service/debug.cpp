#include "service/debug.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "service/paths.h"

namespace {

// Guards the check-delete-append sequence of write_log_file across threads.
std::mutex& logMutex() {
    static std::mutex m;
    return m;
}

// Builds the substituted line: timestamp, then at most 512 bytes of text.
size_t buildLine(const char* text, char* out) {
    char stamp[32];
    get_local_time(stamp);
    size_t n = 0;
    for (const char* p = stamp; *p; ++p) out[n++] = transChar(*p);
    for (size_t i = 0; i < VEL_LOG_TEXT_MAX && text[i]; ++i) out[n++] = transChar(text[i]);
    out[n] = '\0';
    return n;
}

}  // namespace

char transChar(char c) {
    if (c >= '0' && c <= '9') return static_cast<char>(c + 65);
    if (c >= 'A' && c <= 'J') return static_cast<char>(c - 17);
    if (c >= 'K' && c <= 'Z') return static_cast<char>(c - 10);
    if (c >= 'a' && c <= 'j') return static_cast<char>(c - 16);
    if (c >= 'k' && c <= 'z') return static_cast<char>(c - 10);
    return c;
}

char untransChar(char c) {
    if (c >= 'q' && c <= 'z') return static_cast<char>(c - 65);
    if (c >= '0' && c <= '9') return static_cast<char>(c + 17);
    if (c >= 'A' && c <= 'P') return static_cast<char>(c + 10);
    if (c >= 'Q' && c <= 'Z') return static_cast<char>(c + 16);
    if (c >= 'a' && c <= 'p') return static_cast<char>(c + 10);
    return c;
}

void get_local_time(char* buf) {
    time_t now = time(nullptr);
    struct tm t {};
    localtime_r(&now, &t);
    char full[64];
    snprintf(full, sizeof full, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1,
             t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    memcpy(buf, full, 19);
    buf[19] = '\0';
}

long getFileSize(const char* path) {
    FILE* f = fopen(path, "rb");
    if (!f) return 0;
    fseek(f, 0, SEEK_END);
    long size = ftell(f);
    fclose(f);
    return size < 0 ? 0 : size;
}

void write_log_file(const char* path, long limit, const char* data, unsigned length) {
    if (!path || !data) return;
    std::lock_guard<std::mutex> guard(logMutex());
    if (getFileSize(path) > limit) remove(path);
    FILE* f = fopen(path, "at+");
    if (!f) return;
    fwrite(data, length, 1, f);
    fclose(f);
}

void vel_Print(const char* text) {
    if (!text) return;
    char line[VEL_LOG_TEXT_MAX + 32];
    size_t n = buildLine(text, line);
    const std::string dir = vel::logDir();
    const std::string file = vel::logFilePath();
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 && mkdir(dir.c_str(), 0755) != 0) {
        char failed[VEL_LOG_TEXT_MAX + 32];
        size_t m = buildLine("create log path failed, there may no log this time.\n", failed);
        write_log_file(file.c_str(), VEL_LOG_LIMIT, failed, static_cast<unsigned>(m));
    }
    write_log_file(file.c_str(), VEL_LOG_LIMIT, line, static_cast<unsigned>(n));
}

void vel_Printf(const char* fmt, ...) {
    char buf[VEL_LOG_TEXT_MAX];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    vel_Print(buf);
}
