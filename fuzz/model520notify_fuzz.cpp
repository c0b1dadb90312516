// Fuzzes the model-520 notification path with the input as one received message, in a heap copy
// of exactly the input's size: the header checks, the hot-plug evaluation of the port bytes and
// the frame-index feedback. The display class is not under shared ownership, so a hot-plug
// notification starts no worker; the port record must only ever hold 0xEE or a target whose low
// four bits are its position, and no view may gain more than its four frame credits.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "display/VelDisplay520ClassDriver.h"
#include "harness.h"
#include "session/VelDev.h"
#include "session520.h"

namespace {

struct Harness {
    std::shared_ptr<VelDev> dev;
    VelDisplay520Class* dc = nullptr;
    Harness() {
        fuzzkit::privateLogDir("vel520notifyfuzz");
        dev = std::make_shared<VelDev>(nullptr);
        dev->connected = true;
        dev->powerOnFinished = true;
        dev->viewCount = 3;
        dev->productId = 0x520;
        dev->m_IDDisplayDevice2MonitorMap[0x21] = 1;
        dev->m_IDSource2DisplayDeviceMap[2] = 1;
        dev->m_IDDisplayDevice2MonitorMap[0x20] = 0;
        dev->m_IDSource2DisplayDeviceMap[7] = 0;  // a source beyond the views
        dc = new VelDisplay520Class(dev.get(), 0);  // deliberately not shared: no worker
        dc->bindSession(dev);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Harness& h = fuzzkit::lazy<Harness>();
    unsigned char* m = static_cast<unsigned char*>(malloc(size ? size : 1));
    if (size) memcpy(m, data, size);
    const unsigned char dataClass = size > 13 ? (m[13] & 0x7F) : 4;
    const unsigned char dataType = size > 12 ? m[12] : 1;
    h.dc->handleNotifyMessage(dataClass, dataType, m, static_cast<unsigned int>(size));
    free(m);
    fuzz520::checkPortsAndCredits(*h.dc, *h.dev);
    return 0;
}
