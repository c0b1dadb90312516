// Fuzzes a 50x-family adapter's answers about a monitor, end to end: a session on the emulated
// bus whose adapter answers the EDID request (0x60) and the mode-list request (0x64) with bytes
// of the input, through the service's receive thread, readMonitorEDID, readModeList and the
// EDID rewrite, exactly as a plug-in reads a view's EDID.
// Input: byte 0 the monitor's target id, bytes 1..2 (little-endian) the length n of the EDID
// answer, then n bytes of the EDID answer and the rest the mode-list answer. Each answer is
// everything after the 16 bytes of magic and type (status at 17, size or count at 18, target at
// 22, data from 48), cut so that the packet fits one 1024-byte interrupt transfer.
// Checked: the length to connect with is whole blocks, as many as byte 126 says, at least one;
// when the mode list arrived every block has a valid checksum; the view's list keeps its bound.
#include <libusb-1.0/libusb.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "display/VelDisplay508ClassDriver.h"
#include "edid/velEdid.h"
#include "emulator/usb/bus.h"
#include "emulator/usb/device_model.h"
#include "emulator/usb/identity.h"
#include "harness.h"
#include "session/VelDev.h"
#include "session/plugMonitor.h"

namespace {

const char kMagic[] = "veltarvexsta";
constexpr uint8_t kIntIn = 0x81;
constexpr size_t kPacketMax = 1024;

// The adapter: answers 0x60 and 0x64 with the current input's bytes, ignores everything else.
class AnswerPeer : public emu::DeviceModel {
  public:
    std::vector<uint8_t> edidAnswer, modeAnswer;  // guarded by mutex()

    emu::Status out(uint8_t, const uint8_t* data, size_t length) override {
        if (length < 21 || memcmp(data, kMagic, 12) != 0) return emu::Status::Ok;
        if (data[20] == 0x60) queue(0x60, edidAnswer);
        if (data[20] == 0x64) queue(0x64, modeAnswer);
        return emu::Status::Ok;
    }
    emu::Status in(uint8_t endpoint, emu::InBuffer& buffer) override {
        return inQueue_.pop(endpoint, buffer);
    }

  private:
    void queue(uint8_t type, const std::vector<uint8_t>& rest) {
        std::vector<uint8_t> p(17, 0);
        memcpy(p.data(), kMagic, 12);
        p[16] = type;
        p.insert(p.end(), rest.begin(), rest.end());
        inQueue_.push(kIntIn, std::move(p));
        notifyInAvailable(kIntIn);
    }
    emu::InQueue inQueue_;
};

struct Harness {
    std::shared_ptr<AnswerPeer> peer = std::make_shared<AnswerPeer>();
    libusb_context* ctx = nullptr;
    libusb_device_handle* handle = nullptr;
    std::shared_ptr<VelDev> dev;
    std::shared_ptr<VelDisplayClass508> dc;

    Harness() {
        setenv("VEL_LOG_DIR", "/dev/null/monitor508-fuzz", 0);  // the log is not under test
        emu::Bus& bus = emu::Bus::instance();
        bus.reset();
        if (bus.plug(peer, emu::adapterIdentity("508")) <= 0) abort();
        if (libusb_init(&ctx) != 0) abort();
        handle = fuzzkit::openAdapter(ctx, 0x508);
        dev = std::make_shared<VelDev>(nullptr);
        dev->usbHandle = handle;
        dev->model = 0x508;
        dev->productId = 0x508;
        dev->viewCount = 2;
        dev->openTimeReset();
        dev->cmdEndpoint508 = 1;
        dev->imageEndpoint = 2;
        dc = std::make_shared<VelDisplayClass508>(dev.get(), 0);
        dc->bindSession(dev);
        dev->displayClass = dc;
        std::shared_ptr<VelDisplayClass508> self = dc;
        std::thread([self, t = ClassThreadTicket()]() mutable {
            self->fwStatusThread();
            self.reset();
        }).detach();
    }
};

void drain(threadsafe_queue<_RCV_BUF_ADDR>& q) {
    while (q.trypop()) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    Harness& h = fuzzkit::lazy<Harness>();
    const int target = data[0];
    const size_t n = std::min<size_t>(data[1] | (data[2] << 8), size - 3);
    const uint8_t* edidPart = data + 3;
    const uint8_t* modePart = edidPart + n;
    const size_t modeLength = size - 3 - n;
    {
        std::lock_guard<std::mutex> lk(h.peer->mutex());
        h.peer->edidAnswer.assign(edidPart, edidPart + std::min(n, kPacketMax - 17));
        h.peer->modeAnswer.assign(modePart, modePart + std::min(modeLength, kPacketMax - 17));
    }
    // Answers of an earlier input that came after their request was given up.
    drain(h.dev->edidQueue);
    drain(h.dev->modeListQueue);

    std::vector<unsigned char> edid;
    const int view = 1;
    const size_t length = velPlugReadViewEdid(*h.dev, view, target, edid);
    if (length == 0) return 0;
    if (length % VEL_EDID_BLOCK != 0 || length > edid.size()) abort();
    if (edid[126] + 1u != length / VEL_EDID_BLOCK) abort();
    // readModeList takes the list when the status byte (17) is 0; a packet that ends before it
    // reads as zeros.
    const bool listArrived = modeLength == 0 || modePart[0] == 0;
    if (listArrived) {
        for (size_t b = 0; b < length; b += VEL_EDID_BLOCK) {
            if (edid[b + 127] != edid_block_checksum(&edid[b])) abort();
        }
    }
    if (h.dev->modeCount508[view] > VEL_MODES_PER_VIEW) abort();
    return 0;
}
