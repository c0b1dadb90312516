// Faults aimed at one step of the service's work: transfer matches that pick the OUT transfer
// carrying one command of either adapter generation (decoded with the emulator's own readers of
// the wire, not the service's), and the names of the threads a device session owns, for checks
// that nothing of a session is left once it has gone.
#pragma once

#include <cstring>
#include <set>
#include <string>

#include "emulator/adapters/model520.h"
#include "emulator/usb/bus.h"
#include "testSupport.h"

namespace vtest {

// The model-520 command message of (dataClass, dataType) on OUT 0x01; `firstByte` >= 0 also
// requires that first payload byte (the heartbeat's open, close and beat share one type).
inline emu::Match command520(int dataClass, int dataType, int firstByte = -1) {
    return emu::Match::outWith(0x01, [=](const uint8_t* d, size_t n) {
        if (n < 32 || std::memcmp(d, "VELC", 4) != 0) return false;
        const emu::M520Header h = emu::M520Header::decode(d);
        if (h.dataClass != dataClass || h.dataType != dataType) return false;
        return firstByte < 0 || (n > 32 && d[32] == firstByte);
    });
}

// The 50x-family control packet (kind 6 at byte 16) with command `code` (byte 20), on whichever
// OUT endpoint it goes (the firmware commands take the image endpoint); `param` >= 0 also
// requires that parameter byte 5 (byte 21: the version query's kind, read or write of an SROM
// access).
inline emu::Match command508(uint8_t code, int param = -1) {
    return {-1, emu::Direction::Out, [=](const uint8_t* d, size_t n) {
                return n >= 44 && std::memcmp(d, "veltarvexsta", 12) == 0 && d[16] == 6 &&
                       d[20] == code && (param < 0 || d[21] == param);
            }};
}

// A 50x-family image packet (kind 2 at byte 16) on the image endpoint 0x02.
inline emu::Match image508() {
    return emu::Match::outWith(0x02, [](const uint8_t* d, size_t n) {
        return n >= 48 && std::memcmp(d, "veltarvexsta", 12) == 0 && d[16] == 2;
    });
}

// Names of the threads that belong to a device session, its display class and its views (the
// process's own, the libusb event thread and the test's, are not among them).
inline std::string sessionThreadsLeft() {
    static const char* kNames[] = {
        "initCmds",       "fwStatusThread", "sendHeartBeat", "bulkHeartBeat", "openHeartbeat",
        "pnp_Thread",     "pnpThreadfunc",  "rgb2yuv520",    "velSendImg",    "pollEvdiEve",
        "update_handler", "bgr2rgb",        "yuv2jpeg",      "encodeRgb",     "R2YBottom",
        "Y2JUpper",       "Y2JBottom",      "fwLogWriter"};
    const std::multiset<std::string> names = threadNames();
    std::string left;
    for (const char* n : kNames)
        if (names.count(n)) left += std::string(n) + " ";
    return left;
}

}  // namespace vtest
