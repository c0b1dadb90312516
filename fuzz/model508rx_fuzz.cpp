// Fuzzes the 50x-family receive path with the input as one interrupt packet, in a heap copy of
// exactly the input's size: the magic and type checks, the sorting into the session's queues
// (every queued copy has its fixed size whatever arrived), the control-reply slots, the
// monitor-event and frame-index bytes, and the EDID and mode-list parsers on the same bytes.
// The display class is not under shared ownership, so a monitor event starts no worker.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "display/VelDisplay508ClassDriver.h"
#include "harness.h"
#include "session/VelDev.h"

namespace {

struct Harness {
    std::shared_ptr<VelDev> dev;
    VelDisplayClass508* dc = nullptr;
    Harness() {
        fuzzkit::privateLogDir("vel508rxfuzz");
        dev = std::make_shared<VelDev>(nullptr);
        dev->model = 0x508;
        dev->viewCount = 2;
        dev->openTimeReset();
        dc = new VelDisplayClass508(dev.get(), 0);  // deliberately not shared: no worker
        dc->bindSession(dev);
    }
};

void drain(threadsafe_queue<_RCV_BUF_ADDR>& q, size_t fixed) {
    while (auto e = q.trypop()) {
        if (e->data.size() != fixed || e->length != fixed) abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Harness& h = fuzzkit::lazy<Harness>();
    unsigned char* m = static_cast<unsigned char*>(malloc(size ? size : 1));
    if (size) memcpy(m, data, size);
    h.dc->handleIncoming(m, size);

    unsigned char edid[512];
    size_t edidSize = 0;
    const int target = size > 22 ? m[22] : 0;
    if (vel508TakeEdidReply(m, size, target, edid, sizeof edid, &edidSize) == Edid508Reply::Ok) {
        // Whole blocks only, as many as byte 126 says, each with its checksum.
        if (edidSize % 128 != 0 || edidSize > sizeof edid || edid[126] + 1u != edidSize / 128)
            abort();
        for (size_t b = 0; b < edidSize; b += 128) {
            unsigned sum = 0;
            for (size_t i = 0; i < 128; ++i) sum += edid[b + i];
            if (sum & 0xFF) abort();
        }
    }
    CAPS_MODE_STRUCT modes[VEL_MODES_PER_VIEW];
    bool big = false;
    const uint16_t n = vel508TakeModeList(m, size, modes, &big);
    if (n > VEL_MODES_PER_VIEW || 48 + 16u * n > (size > 48 ? size : 48)) abort();
    free(m);

    drain(h.dev->edidQueue, 560);
    drain(h.dev->modeListQueue, 1024);
    drain(h.dev->capsQueue, 1024);
    drain(h.dev->generalQueue, 1024);
    for (auto& slot : h.dev->controlReplies) {
        while (auto r = slot.replies.trypop()) {
            if (r->type != slot.code) abort();
        }
    }
    return 0;
}
