// Helpers of monitor plug-in and plug-out (session/plugMonitor.cpp): the EVDI limits of a model,
// the EDID length a monitor's reply supports, the EDID read and rewrite of a view (the one step
// that needs a session, also driven alone by the fuzzers), the 50x-family monitor choice, and
// the DRM connector check.
#pragma once

#include <semaphore.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "pipeline/pipelineRecords.h"
#include "service/threadLock.h"
#include "session/evdiApi.h"

class VelDev;

// Plug bits of a 50x-family monitor report: bits 0-3 are the outputs with target ids 1, 2, 4, 8.
typedef uint32_t _VELPTC_FW_NOTIFY_MONITOR_PNP_;

// Limits the adapter can drive, passed to EVDI on connect.
struct _VEL_EVDI_LIMITS_ {
    uint32_t maxArea;  // largest mode, in pixels
    uint32_t pixelsPerSecond;
};

// The limits of `model`; the 50x family (0x508, 0x500) depends on whether the view is part of a
// dual-view output and on the high-resolution dual-view flag.
_VEL_EVDI_LIMITS_ velPlugLimits(uint32_t model, bool dualView, bool hiResDualView);

// Length to hand to EVDI for an EDID of which `received` bytes arrived in `edid` (a zero-filled
// buffer of `capacity` bytes). Byte 126 claims the extension count; a claim beyond the whole
// blocks received is cut to those blocks, with byte 126 and the base block's checksum rewritten
// to match. At least one block (zero-padded) is always returned; 0 only when capacity < 128.
size_t velPlugEdidLength(unsigned char* edid, size_t capacity, size_t received);

// Reads the EDID of monitor `targetId` through the session's display class into `edid`
// (resized to hold every block byte 126 can claim), reads the adapter's mode list into view
// `v` and, when that list arrived, rewrites the EDID against it. Returns the length to connect
// with (see velPlugEdidLength), or 0 when there is no display class or the EDID read failed.
// Blocks for the display class's exchanges.
size_t velPlugReadViewEdid(VelDev& dev, int v, int targetId, std::vector<unsigned char>& edid);

// Which monitors of a 50x-family report are shown: writes up to two target ids into `targets`
// (which must hold 2) in ascending order and returns how many. With three or four outputs set,
// keeps {4, 8} when both are set, else {1, 8} when 8 is, else {1, 4}. Returns 0 for null targets.
int check_monitor_num(_VELPTC_FW_NOTIFY_MONITOR_PNP_ plugBits, int* targets);

// 0 while the DRM connector of EVDI card `card` reads "enabled", else -1 (missing or unreadable
// file, other state). Reads "<dir>/card<n>-DVI-I-<n>/enabled" with dir "/sys/class/drm" or the
// VEL_DRM_SYSFS_DIR environment override. Blocking file I/O only.
int CheckViewStatus(int card);

// Model 0x508 at plug-out: polls CheckViewStatus(card) every `stepMs` until the connector no
// longer reads enabled (then prints "View Disappear" on standard output and returns true), at
// most `checks` times: a connector the kernel never drops is logged and the plug-out goes on.
bool velWaitViewGone(int card, int checks, long stepMs);

// Drains the session's send queue at the plug-out of `viewId`, freeing every packet; for each
// packet of another view (0 to VEL_MAX_VIEWS - 1) `giveCredit(view)` gives its frame credit back
// (the session's bounded giveFrameCredit520; empty: none). Returns how many packets were drained.
int velPlugDrainSendQueue(threadsafe_queue<_evdi_send>& queue,
                          const std::function<void(int view)>& giveCredit, int viewId);
// Frees the queued packets of `viewId` and leaves the other views' packets, in order, where they
// are (the queue is shared; a packet of another view dropped here would lose that view's newest
// picture and, never acknowledged, one of its credits). Returns how many went.
int velPlugDropViewPackets(threadsafe_queue<_evdi_send>& queue, int viewId);

// DRM card number behind an EVDI handle, from the device node of its event descriptor (the
// library keeps the number in a record it does not publish); -1 when it is not a DRM node.
int velEvdiCardIndex(evdi_handle handle);
