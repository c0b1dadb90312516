// Fuzzes the model-520 receive path from the raw bulk-in transfer: the emulated model-520 adapter
// delivers the input's transfers on its bulk-in endpoint to the service's receive thread, which
// frames them (length, magic), routes responses into a waiting exchange, takes firmware-log
// blocks and hands notifications on: port hot-plug (whose worker then plugs monitors in and out
// through the session, with the EVDI stand-in) and frame-index feedback.
// Input: transfers, each a little-endian 16-bit length and that many bytes (the last one takes
// what is left). While they arrive a capability query waits for its answer; the adapter's own
// answer comes after them, so that a transfer of the input may be taken for it instead.
// Checked: the exchange copies no more than its buffer holds and reports no more than that;
// the port record only ever holds 0xEE or a target whose low four bits are its position; no view
// gains more than its four frame credits; every hot-plug worker ends.
#include <libusb-1.0/libusb.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "display/VelDisplay520ClassDriver.h"
#include "display/vel520Protocol.h"
#include "emulator/adapters/model520.h"
#include "emulator/evdi/desktop.h"
#include "emulator/evdi/evdiEmu.h"
#include "emulator/usb/bus.h"
#include "harness.h"
#include "session/VelDev.h"
#include "session520.h"

namespace {

using namespace std::chrono_literals;

fuzz520::SessionSetup setup() {
    setenv("VEL_LOG_DIR", "/dev/null/model520rx-fuzz", 0);  // the log is not under test
    emu::setEvdiLibVersion(1, 12, 0);
    emu::setAutoDesktop(false);
    fuzz520::SessionSetup setup;
    setup.configure = [](fuzz520::Session& s) {
        // Monitors at outputs 0 and 1, so that a hot-plug notification naming them is carried
        // out to the end.
        for (int output = 0; output < 2; ++output) {
            emu::Model520::Monitor m;
            m.target = static_cast<uint16_t>(0x20 + output);
            m.edid = emu::makeEdid(640, 480, 60);
            s.model->plugMonitor(output, m, false);
        }
        s.dev->imageEndpoint520 = 2;
        s.dev->connected = true;
        s.dev->powerOnFinished = true;
        s.dev->initDone = true;
    };
    // The count of ticketed threads is then the count of hot-plug workers alone.
    setup.ticketedReceiver = false;
    return setup;
}

struct Harness {
    fuzz520::Session s{setup()};

    Harness() {
        // The adapter answers each capability query 10 ms after it received it: after the
        // input's transfers (queued 5 ms ahead of the query), and never before the query waits,
        // however late the fuzzing thread is scheduled. An answer queued on the clock instead
        // could arrive before its query on a loaded machine and leave the query unanswered, and
        // a query unanswered for 3 s ends the process.
        s.model->setAnswer(vel520::CLASS_QUERY, vel520::QUERY_CAPS, emu::AnswerMode::Late, 10ms);
    }

    void shutdown() {
        VelDev& dev = *s.dev;
        std::vector<int> targets;
        for (const auto& e : dev.target2View) targets.push_back(e.first);
        {
            std::lock_guard<std::mutex> lk(s.dc->plugMutex);
            for (int t : targets) dev.plugOutMonitor(t);
        }
        s.dc->displayClassExitFlag = true;
        dev.connected = false;
        velWaitClassThreads(std::chrono::seconds(20));
        // The receive thread leaves within its 1 s transfer time-out.
        for (int i = 0; i < 2000 && !s.receiverDone; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        dev.displayClass.reset();
        s.dc.reset();
        s.dev.reset();  // joins the session's own threads
        libusb_close(s.handle);
        libusb_exit(s.ctx);
        emu::Bus::instance().reset();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz520::Session& h = fuzzkit::lazy<Harness>().s;
    fuzzkit::forgetTraffic(*h.model);
    // At most 16 transfers of at most 64 KiB each, queued a few milliseconds ahead so that the
    // query below is waiting when they arrive.
    size_t at = 0;
    for (int n = 0; n < 16 && at < size; ++n) {
        size_t length = size - at;
        if (at + 2 <= size) {
            const size_t want = data[at] | (data[at + 1] << 8);
            at += 2;
            length = std::min(want, size - at);
        }
        h.model->queueMessage(std::vector<uint8_t>(data + at, data + at + length), 5ms);
        at += length;
    }

    unsigned char* caps = static_cast<unsigned char*>(malloc(vel520::kCapsBufferSize));
    unsigned int length = 0xFFFFFFFFu;
    const int rc = h.dc->getDeviceCaps(caps, &length);
    if (rc == 0 && length > vel520::kCapsBufferSize) abort();
    free(caps);
    // Everything queued has been read once a second exchange is answered behind it.
    caps = static_cast<unsigned char*>(malloc(vel520::kCapsBufferSize));
    length = 0;
    h.dc->getDeviceCaps(caps, &length);
    free(caps);

    // Hot-plug workers sleep a second after each plug call; they must all end.
    if (!velWaitClassThreads(std::chrono::seconds(60))) abort();

    fuzz520::checkPortsAndCredits(*h.dc, *h.dev);
    return 0;
}
