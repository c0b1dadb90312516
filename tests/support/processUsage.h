// What this process holds, read from /proc/self: resident memory, threads, open descriptors.
// Leak checks compare them before and after work that must give everything back.
#pragma once

#include <dirent.h>

#include <cstdio>
#include <cstring>

namespace vtest {

// Entries of a /proc directory, "." and ".." not counted; -1 when it cannot be read.
inline long procEntries(const char* dir) {
    DIR* d = opendir(dir);
    if (!d) return -1;
    long n = 0;
    while (dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
    closedir(d);
    // The directory stream itself was one of the descriptors listed.
    return std::strcmp(dir, "/proc/self/fd") == 0 ? n - 1 : n;
}

inline long threadCount() { return procEntries("/proc/self/task"); }
inline long openDescriptors() { return procEntries("/proc/self/fd"); }

// VmRSS in kB, -1 when it cannot be read.
inline long residentKb() {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return -1;
    long kb = -1;
    char line[256];
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmRSS: %ld kB", &kb) == 1) break;
    std::fclose(f);
    return kb;
}

}  // namespace vtest
