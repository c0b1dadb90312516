// 50x-family monitor detection: the hot-plug worker of each 0xE1 event, the monitor check that
// plugs monitors out and in, the EDID and mode-list reads and the 4k timing-patch decision. The
// concurrency rules are at the top of VelDisplay508ClassDriver.h; monitor checks of every 50x
// session run one at a time under mutex_lock_508, which also guards the session's last monitor
// count and bitmask, its high-resolution dual-view flag and g_lastCheckUs.
#include <cstring>
#include <vector>

#include "display/VelDisplay508ClassDriver.h"
#include "edid/velEdid.h"
#include "service/debug.h"
#include "service/threads.h"
#include "session/VelDev.h"
#include "session/plugMonitor.h"

using namespace vel508;

namespace {

constexpr int kPnpWaitChecks = 2999;  // 100 ms apart: about five minutes
constexpr int64_t kBounceUs = 100000;
constexpr int kEdidRetries = 3;
constexpr long kPlugInPauseMs = 1000;

int64_t g_lastCheckUs = 0;  // time of the last monitor check; guarded by mutex_lock_508

bool blockValid(const unsigned char* block) {
    unsigned sum = 0;
    for (size_t i = 0; i < VEL_EDID_BLOCK; ++i) sum += block[i];
    return (sum & 0xFF) == 0;
}

}  // namespace

bool vel508CheckIsBounce(int count, int lastCount, int64_t nowUs, int64_t lastUs) {
    return count == lastCount && nowUs - lastUs < kBounceUs;
}

bool Check_VendorProduct(const unsigned char* edid) {
    if (!edid) return false;
    const unsigned vendor = (static_cast<unsigned>(edid[8]) << 8) | edid[9];
    const unsigned product = getLe16(edid + 10);
    vel_Printf("VendorID is 0x%x, ProductID is 0x%x\n", vendor, product);
    return vendor == 0x0959 && product == 0x1200;
}

void pnpThreadfunc(std::shared_ptr<VelDisplayClass508> dc, unsigned char bitmask) {
    vel::threadInit("pnpThreadfunc");
    int checks = 0;
    for (;; ++checks) {
        auto dev = dc->session();
        if (dc->exiting(dev)) {
            dc.reset();
            return;
        }
        if (dev->cmdsInitialised) break;
        if (checks >= kPnpWaitChecks) {
            vel_Print("Wait pnpStart timeout, already wait 5 mins!\n");
            break;
        }
        dev.reset();
        vel::sleepMs(100);
    }
    vel_Printf("Start check monitor, [%d]....\n", bitmask);
    {
        std::lock_guard<std::mutex> lk(mutex_lock_508);
        if (!dc->exiting(dc->session())) dc->checkMonitorStatus(&bitmask, {}, false);
    }
    dc.reset();
}

// Monitor check for the bitmask at `vportInfo` (one byte); the other arguments are not used.
// Hot-plug worker, under mutex_lock_508. Blocks for the plug-outs and plug-ins (1 s after each).
void VelDisplayClass508::checkMonitorStatus(void* vportInfo, std::set<int>, bool) {
    if (!vportInfo) return;
    const unsigned char bitmask = *static_cast<const unsigned char*>(vportInfo);
    int targets[2] = {0, 0};
    const int count = check_monitor_num(bitmask, targets);
    vel_Printf("Total Monitor number = %d\n", count);
    auto dev = session();
    if (!dev) return;
    dev->hiResDualView = false;

    const int64_t now = vel508NowUs();
    if (vel508CheckIsBounce(count, dev->lastMonitorCount508, now, g_lastCheckUs)) {
        vel_Printf("Warning: time is shorted, while check_monitor again!! diff_time_us=%lld\n",
                   static_cast<long long>(now - g_lastCheckUs));
        return;
    }
    dev->lastMonitorCount508 = static_cast<uint8_t>(count);
    const unsigned char previous = dev->lastMonitorBits508;
    for (int bit = 0; bit < 4; ++bit) {
        if (previous & (1u << bit)) dev->plugOutMonitor(1 << bit);
    }
    if (count == 2) {
        unsigned char first[kEdidMax] = {}, second[kEdidMax] = {};
        unsigned int l1 = sizeof first, l2 = sizeof second;
        readMonitorEDID(targets[0], first, &l1);
        readMonitorEDID(targets[1], second, &l2);
        const bool a = Check_VendorProduct(first);
        const bool b = Check_VendorProduct(second);
        if (a && b) {
            dev->hiResDualView = true;
            vel_Print("dual KTR\n");
        }
    }
    for (int i = 0; i < count; ++i) {
        if (exiting(dev)) break;
        dev->plugInMonitor(targets[i], count < 2);
        vel::sleepMs(kPlugInPauseMs);
    }
    dev->lastMonitorBits508 = bitmask;
    g_lastCheckUs = vel508NowUs();
}

Edid508Reply vel508TakeEdidReply(const unsigned char* reply, size_t length, int target,
                                 unsigned char* edid, size_t room, size_t* size) {
    if (!reply || length <= 22 || reply[kTypeOffset] != VELPTC_READ_EDID ||
        reply[kStatusOffset] != 0 || reply[22] != static_cast<unsigned char>(target)) {
        return Edid508Reply::WrongAnswer;
    }
    const uint32_t dataSize = getLe32(&reply[18]);
    if (dataSize == 0) return Edid508Reply::Empty;
    // A size under one block leaves the base block incomplete: as bad as a wrong checksum.
    if (dataSize > kEdidMax || dataSize < VEL_EDID_BLOCK) return Edid508Reply::Invalid;
    // The blocks as sent; bytes the adapter did not send read as zeros.
    unsigned char blocks[kEdidMax] = {};
    if (length > kDataOffset) {
        const size_t have = length - kDataOffset;
        memcpy(blocks, reply + kDataOffset, have < sizeof blocks ? have : sizeof blocks);
    }
    if (!blockValid(blocks)) return Edid508Reply::Invalid;
    if (!edid) return Edid508Reply::Ok;
    const uint32_t expected = dataSize / VEL_EDID_BLOCK - 1;
    uint32_t extensions = expected;
    for (uint32_t b = 1; b <= expected; ++b) {
        if (!blockValid(blocks + b * VEL_EDID_BLOCK)) {
            extensions = 0;
            break;
        }
    }
    if (blocks[126] != extensions) {
        blocks[126] = static_cast<unsigned char>(extensions);
        // The count rewritten, the base block's checksum must follow or the EDID is refused
        // downstream.
        blocks[127] = edid_block_checksum(blocks);
    }
    const size_t whole = (extensions + 1) * VEL_EDID_BLOCK;
    vel_Printf("final blocknum is %d, EdidSize is %d\n", static_cast<int>(extensions),
               static_cast<int>(whole));
    memcpy(edid, blocks, whole < room ? whole : room);
    if (size) *size = whole;
    return Edid508Reply::Ok;
}

uint16_t vel508TakeModeList(const unsigned char* reply, size_t length, CAPS_MODE_STRUCT* list,
                            bool* beyondFullHd) {
    if (beyondFullHd) *beyondFullHd = false;
    if (!list) return 0;
    memset(list, 0, sizeof(CAPS_MODE_STRUCT) * VEL_MODES_PER_VIEW);
    if (!reply || length < kDataOffset) return 0;
    const uint32_t count = getLe16(&reply[18]);
    // Bounded by the list's 64 entries and by what the packet carries (61 in 1024 bytes).
    uint32_t entries = count < static_cast<uint32_t>(VEL_MODES_PER_VIEW) ? count : VEL_MODES_PER_VIEW;
    const size_t carried = (length - kDataOffset) / kModeEntrySize;
    if (entries > carried) entries = static_cast<uint32_t>(carried);
    if (entries != count)
        vel_Printf("[warning] mode list claims %u entries, %u taken\n", count, entries);
    for (uint32_t i = 0; i < entries; ++i) {
        const unsigned char* e = &reply[kDataOffset + kModeEntrySize * i];
        CAPS_MODE_STRUCT& m = list[i];
        m.width = getLe32(e);
        m.height = getLe32(e + 4);
        m.refresh = getLe32(e + 8);
        m.bpp = getLe32(e + 12);
        if (beyondFullHd && (m.width > 1920 || m.height > 1080)) *beyondFullHd = true;
    }
    return static_cast<uint16_t>(entries);
}

int VelDisplayClass508::readEdidOnce(int target, bool repeated, unsigned char* reply,
                                     int* replyLength) {
    _PARAMETER_ p = makeParam(VELPTC_READ_EDID);
    p.bytes[5] = static_cast<uint8_t>(target);
    if (repeated) p.bytes[2] |= kEdidRetryBit;
    const int rc = writeCommand(kCommandSize, kCommandSize, p);
    if (rc != 0) {
        vel_Printf("WriteEDIDPipoTo failed! ret = %d\n", rc);
        return 1;
    }
    memset(reply, 0, kInterruptSize);
    *replyLength = static_cast<int>(kInterruptSize);
    return readIntQ(VELPTC_READ_EDID, reply, replyLength) == 0 ? 0 : -99;
}

// Reads the EDID of monitor `target` into `edid` (`*length` bytes of room, at most 512 used;
// the EDID's size is written back). 1 when the request cannot be sent; otherwise 0, with the
// EDID, or all zeros when the adapter has none to give (the caller reads the size from byte
// 126). Any thread; blocks up to about 8 s per request, and repeats a bad answer.
int VelDisplayClass508::readMonitorEDID(int target, unsigned char* edid, unsigned int* length) {
    vel_Printf("EDID target id =[%d]\n", target);
    if (!edid) return 1;
    size_t room = kEdidMax;
    if (length && *length < room) room = *length;
    memset(edid, 0, room);
    if (length) *length = 0;
    std::vector<unsigned char> reply(kInterruptSize, 0);
    int typeRetries = 0, edidRetries = 0;
    bool repeated = false;
    for (;;) {
        int got = 0;
        const int rc = readEdidOnce(target, repeated, reply.data(), &got);
        if (rc == 1) return 1;
        if (rc != 0) return 0;  // no answer in time: no EDID
        repeated = true;
        const size_t received = got > 0 ? static_cast<size_t>(got) : 0;
        if (vel508TakeEdidReply(reply.data(), received, target, nullptr, 0, nullptr) ==
            Edid508Reply::WrongAnswer) {
            if (typeRetries++ < kEdidRetries) continue;
            vel_Printf("DataType or targetID Error! DataType=0x%x targetID =%d \n",
                       reply[kTypeOffset], reply[22]);
            return 0;
        }
        size_t size = 0;
        const Edid508Reply verdict = vel508TakeEdidReply(reply.data(), received, target, edid,
                                                         room, &size);
        if (verdict == Edid508Reply::Empty) {
            vel_Print("bError or DataSize Error!\n");
            return 0;
        }
        if (verdict == Edid508Reply::Ok) {
            if (length) *length = static_cast<unsigned int>(size < room ? size : room);
            vel_Printf("Get EDID successed! Actual length = [%d]; DataSize= [%d].\n",
                       static_cast<int>(size), static_cast<int>(getLe32(&reply[18])));
            return 0;
        }
        if (edidRetries++ < kEdidRetries) continue;
        vel_Print("NON-EDID\n");
        return 0;
    }
}

// Reads the adapter's modes for monitor `target` into view `view`'s list and decides the 4k
// timing patch. 0, or 1 when no valid list arrived. Any thread; blocks up to about 2 s.
int VelDisplayClass508::readModeList(unsigned char* edid, int target, int view) {
    _PARAMETER_ p = makeParam(VELPTC_READ_MODE_LIST);
    p.bytes[5] = static_cast<uint8_t>(target);
    const int rc = writeCommand(kCommandSize, kCommandSize, p);
    if (rc != 0) vel_Printf("Write mode list failed! ret = %d\n", rc);
    unsigned char reply[kInterruptSize] = {};
    int length = static_cast<int>(sizeof reply);
    const int ret = readIntQ(VELPTC_READ_MODE_LIST, reply, &length);
    if (ret != 0) {
        vel_Printf("Received mode list data type failed, error type = %d!\n", ret);
        return 1;
    }
    if (reply[kStatusOffset] != 0) {
        vel_Printf("Received mode list error code = %d!\n", reply[kStatusOffset]);
        return 1;
    }
    auto dev = session();
    if (!dev || view < 0 || view >= VEL_MAX_VIEWS) {
        vel_Printf("[error] readModeList: no view %d\n", view);
        return 1;
    }
    bool beyondFullHd = false;
    const uint16_t entries = vel508TakeModeList(reply, static_cast<size_t>(length),
                                                dev->modeList[view], &beyondFullHd);
    dev->modeCount508[view] = entries;
    for (uint16_t i = 0; i < entries; ++i) {
        const CAPS_MODE_STRUCT& m = dev->modeList[view][i];
        vel_Printf("devId[%d] FW GetModeList w=%d h=%d bpp=%d whz=%d\n", deviceIndex,
                   static_cast<int>(m.width), static_cast<int>(m.height),
                   static_cast<int>(m.bpp), static_cast<int>(m.refresh));
    }
    dev.reset();
    // Only outputs 4 and 8 carry the timing the patch is about.
    if (beyondFullHd && (target == 4 || target == 8)) {
        if (edid && velEdidInAllowList(edid, VEL_EDID_BLOCK)) {
            vel_Print("Found item in allowlist, close 4k Timing Patch!\n");
            sendPatchCommand(target, 0);
        } else {
            vel_Print("Not found item in allowlist, open 4k Timing Patch!\n");
            sendPatchCommand(target, 1);
        }
    }
    return 0;
}

int VelDisplayClass508::sendPatchCommand(int target, unsigned int on) {
    vel_Printf("Use 4k Patch for dev?[%s]\n", on ? "True" : "False");
    _PARAMETER_ p = makeParam(VELPTC_4K_PATCH);
    p.bytes[5] = static_cast<uint8_t>(target);
    putLe32(&p.bytes[6], on);
    const int rc = writeCommand(kShortCommandSize, kShortCommandSize, p);
    if (rc != 0) vel_Printf("DEV Send set4kPatch command failed! ret = 0x%x\n", rc);
    return rc;
}
