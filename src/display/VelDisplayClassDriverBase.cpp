#include "display/VelDisplayClassDriverBase.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "firmware/loadFW.h"
#include "service/debug.h"

namespace {

constexpr size_t kFwVersionTail = 128;  // the version stamp's place at the end of an image

struct ClassThreadCount {
    std::mutex mutex;  // guards running
    std::condition_variable cond;
    int running = 0;
};

// Never destroyed: a detached thread of a class may still end after the process's static
// destructors have run (a program that exits without stopping its sessions).
ClassThreadCount& classThreads() {
    static ClassThreadCount* count = new ClassThreadCount;
    return *count;
}

}  // namespace

ClassThreadTicket::ClassThreadTicket() {
    ClassThreadCount& c = classThreads();
    std::lock_guard<std::mutex> lk(c.mutex);
    ++c.running;
}

ClassThreadTicket::~ClassThreadTicket() {
    if (!m_held) return;
    ClassThreadCount& c = classThreads();
    std::lock_guard<std::mutex> lk(c.mutex);
    if (--c.running == 0) c.cond.notify_all();
}

bool velWaitClassThreads(std::chrono::milliseconds limit) {
    ClassThreadCount& c = classThreads();
    std::unique_lock<std::mutex> lk(c.mutex);
    return c.cond.wait_for(lk, limit, [&c] { return c.running == 0; });
}

int velScanFwVersionTail(const unsigned char* data, size_t size, char* version, size_t cap) {
    static const char kTag[] = "Version:";
    const size_t tagLen = 8;
    if (!data || !version || cap == 0) return 0;
    // The version lives in the file's last 128 bytes; a shorter file is scanned whole.
    const size_t tailLen = size < kFwVersionTail ? size : kFwVersionTail;
    const unsigned char* tail = data + (size - tailLen);
    if (tailLen < tagLen) return 0;
    size_t start = tailLen - tagLen < 119 ? tailLen - tagLen : 119;
    for (size_t pos = start + 1; pos-- > 0;) {
        if (memcmp(tail + pos, kTag, tagLen) != 0) continue;
        for (size_t blank = pos + 10; blank < tailLen; ++blank) {
            if (tail[blank] != ' ') continue;
            size_t len = blank - (pos + tagLen);
            if (len > cap - 1) len = cap - 1;
            memcpy(version, tail + pos + tagLen, len);
            version[len] = '\0';
            return 1;
        }
        return 0;
    }
    return 0;
}

int VelDisplayClassBase::getLocalFw1Ver(FILE* file, char* version) {
    if (!file) {
        vel_Print("[error] can't open file");
        return 0;
    }
    // The stamp lives in the image's last 128 bytes; only those are read, whatever the image's
    // size (this runs at every bring-up and hot-plug).
    unsigned char tail[kFwVersionTail];
    size_t got = 0;
    if (velReadFileTail(file, tail, sizeof tail, &got) != 0) {
        vel_Print("[error] can't read file");
        return 0;
    }
    return velScanFwVersionTail(tail, got, version, sizeof hostFwVersion);
}
