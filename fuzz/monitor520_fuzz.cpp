// Fuzzes a model-520 adapter's answers about a monitor, end to end: a session on the emulated bus
// with the emulated model-520 adapter, whose monitor at output 1 reports the input's EDID and
// mode list, read through readMonitorEDID (display device, binding, query), readModeList and the
// EDID rewrite, exactly as a plug-in reads a view's EDID; then torn down as a plug-out does.
// Input: bytes 0..1 (little-endian) the length n of the EDID, then n bytes of EDID and the rest
// the raw mode list (7-byte entries).
// Checked: the length to connect with is whole blocks, as many as byte 126 says, at least one,
// every block with a valid checksum; the view's list holds whole entries only and is cleared of
// an earlier monitor's; the tear-down leaves no display device and no remembered EDID.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "display/vel520Protocol.h"
#include "edid/velEdid.h"
#include "session/plugMonitor.h"
#include "session520.h"

namespace {

constexpr uint16_t kTarget = 0x21;  // output 1
constexpr int kView = 1;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // The log is not under test.
    static const bool quiet = setenv("VEL_LOG_DIR", "/dev/null/monitor520-fuzz", 0) == 0;
    (void)quiet;
    fuzz520::Session& h = fuzz520::session();
    fuzzkit::forgetTraffic(*h.model);
    const size_t n = std::min<size_t>(data[0] | (data[1] << 8), size - 2);
    emu::Model520::Monitor monitor;
    monitor.target = kTarget;
    monitor.edid.assign(data + 2, data + 2 + n);
    monitor.modeList.assign(data + 2 + n, data + size);
    h.model->plugMonitor(1, monitor, false);
    // An earlier monitor's list, which a shorter list must not leave behind.
    for (auto& m : h.dev->modeList[kView]) m = CAPS_MODE_STRUCT{7, 7, 7, 7};

    std::vector<unsigned char> edid;
    const size_t length = velPlugReadViewEdid(*h.dev, kView, kTarget, edid);
    if (length == 0) abort();  // the emulated adapter answers every query
    if (length % VEL_EDID_BLOCK != 0 || length > edid.size()) abort();
    if (edid[126] + 1u != length / VEL_EDID_BLOCK) abort();
    for (size_t b = 0; b < length; b += VEL_EDID_BLOCK) {
        if (edid[b + 127] != edid_block_checksum(&edid[b])) abort();
    }
    const size_t entries = std::min<size_t>(std::min(size - 2 - n, vel520::kModeListLimit) / vel520::kModeEntrySize,
                                            VEL_MODES_PER_VIEW);
    for (size_t i = entries; i < VEL_MODES_PER_VIEW; ++i) {
        if (h.dev->modeList[kView][i].width != 0) abort();
    }

    if (h.dc->setDisplayClassTopo(kView) != 0) abort();
    if (h.dc->findDeviceIdByTargetId(kTarget) != vel520::kNoDisplayDevice) abort();
    {
        auto lk = h.dc->lockMaps();
        if (!h.dc->target2EDIDMap.empty()) abort();
    }
    return 0;
}
