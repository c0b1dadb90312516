// Model-520 notifications: port hot-plug (type 1) and frame-index feedback (type 9), both from
// the receive thread. A hot-plug notification is compared with vPort_Record and handed to its own
// detached worker ("pnp_Thread"); the workers of one device run one at a time under pnpMutex,
// and each single plug-in, plug-out or EDID check under plugMutex inside it. The receive thread
// takes neither, so answers keep flowing while a worker waits for its EDID queries. A worker
// holds a shared reference to this object and only a weak one to the session; it gives up
// quietly when either is gone.
#include <algorithm>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "display/VelDisplay520ClassDriver.h"
#include "display/vel520Internal.h"
#include "service/debug.h"
#include "service/threads.h"
#include "session/VelDev.h"

using namespace vel520;

namespace {

constexpr uint8_t kNoMonitor = 0xEE;
constexpr int kPortPositions = 8;
// Bytes of notification data each type needs (after the data offset).
constexpr size_t kPnpDataBytes = 3;
constexpr size_t kFrameIndexDataBytes = 12;
constexpr int kInitPolls = 2999;  // at 100 ms: about 5 minutes
constexpr int kEdidCheckAttempts = 3;

}  // namespace

int VelDisplay520Class::handleNotifyMessage(unsigned char dataClass, unsigned char dataType,
                                            unsigned char* message, unsigned int length) {
    if (length == 0 || !message || length < kHeaderSize || !hasMagic(message)) {
        vel_Printf(
            "= VelDisplay520Class::HandleDisplayClassNotifyMessage: input buffer error, "
            "Len:%d! =\n",
            length);
        if (message && length) memset(message, 0, length);
        return -1;
    }
    if ((message[13] & kClassMask) != CLASS_NOTIFY || dataClass != CLASS_NOTIFY) {
        vel_Printf("= VelDisplay520Class::HandleDisplayClassNotifyMessage: DataClass_0x%x =\n",
                   message[13] & kClassMask);
        return 0;
    }
    const size_t data = length > kNotifyDataOffset ? length - kNotifyDataOffset : 0;
    auto dev = session();
    if (dataType == NOTIFICATION_MONITOR_PNP) {
        if (dev && dev->connected) {
            if (!dev->powerOnFinished) {
                vel_Print(
                    "+ We Can't Handle NOTIFICATION_MONITOR_PNP before Firmware Power ON Finish. "
                    "+\n");
            } else if (data < kPnpDataBytes) {
                vel_Printf("[warning] hot-plug notification with %zu data bytes dropped\n", data);
            } else {
                doPortPnP(message + kNotifyDataOffset);
            }
        }
    } else if (dataType == NOTIFICATION_FRAME_INDEX) {
        if (data < kFrameIndexDataBytes)
            vel_Printf("[warning] frame-index notification with %zu data bytes dropped\n", data);
        else
            checkFrameIndex(message + kNotifyDataOffset);
    }
    memset(message, 0, length);
    return 0;
}

int VelDisplay520Class::doPortPnP(void* data) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    auto dev = session();
    if (!bytes || !dev) return 0;
    PnpWork work;
    memset(work.info.vPort, kNoMonitor, sizeof work.info.vPort);
    int monitors = 0;
    // The notification carries one byte per output of this generation, never more.
    const int views = dev->viewCount < 0 ? 0 : std::min<int>(dev->viewCount, kPnpDataBytes);
    for (int view = 0; view < views; ++view) {
        const uint8_t target = bytes[view];
        if (target == kNoMonitor) continue;
        ++monitors;
        const int position = target & 0x0F;
        if (position < kPortPositions) work.info.vPort[position] = target;
    }

    std::string line = "\n vPort_Record:";
    char item[16];
    for (uint8_t b : vPort_Record) {
        snprintf(item, sizeof item, "%#x ", b);
        line += item;
    }
    line += "\n Notify_PnP_Info:";
    for (uint8_t b : work.info.vPort) {
        snprintf(item, sizeof item, "%#x ", b);
        line += item;
    }
    vel_Printf("%s", line.c_str());
    vel_Printf("PID:%#x, MonitorCount:%d\n", dev->productId, monitors);

    for (int n = 0; n < kPortPositions; ++n) {
        if (work.info.vPort[n] != vPort_Record[n]) {
            changedPorts.insert(n);
            vPort_Record[n] = work.info.vPort[n];
        }
    }
    if (changedPorts.empty()) {
        vel_Print("[info] monitor status do not change, recheck\n");
        for (int n = 0; n < kPortPositions; ++n)
            if (work.info.vPort[n] != kNoMonitor) changedPorts.insert(n);
        work.recheck = true;
    }
    work.positions = changedPorts;
    changedPorts.clear();
    dev.reset();

    try {
        std::shared_ptr<VelDisplay520Class> self = shared_from_this();
        std::thread([self, work, t = ClassThreadTicket()]() mutable {
            self->pnpThreadfunc(std::move(work));
            self.reset();
        }).detach();
    } catch (const std::exception& e) {
        // Not owned any more (clean-up under way), or no thread to be had: the next
        // notification or the re-check brings the state up to date.
        vel_Printf("[warning] hot-plug worker not started: %s\n", e.what());
    }
    return 0;
}

void VelDisplay520Class::pnpThreadfunc(PnpWork work) {
    vel::threadInit("pnp_Thread");
    try {
        int polls = 0;
        for (;;) {
            auto dev = session();
            if (!dev || !dev->connected || dev->exitFlag || displayClassExitFlag) return;
            if (dev->initDone) break;
            if (++polls >= kInitPolls) {
                vel_Print("Wait pnpStart timeout, already wait 5 mins!\n");
                break;
            }
            dev.reset();
            vel::sleepMs(100);
        }
        firmWareVersionCheck(deviceIndex);
        {
            auto dev = session();
            if (!dev || dev->goingAway() || displayClassExitFlag) return;
        }
        std::lock_guard<std::mutex> lk(pnpMutex);
        checkMonitorStatus(&work.info, work.positions, work.recheck);
    } catch (const std::exception& e) {
        vel_Printf("[error] pnp_Thread: %s\n", e.what());
    } catch (...) {
        vel_Print("[error] pnp_Thread: unknown exception\n");
    }
}

// Carries out one hot-plug notification (hot-plug worker, under pnpMutex). `vportInfo` is the
// notification's 8-byte port record. Sleeps a second after each plug call.
void VelDisplay520Class::checkMonitorStatus(void* vportInfo, std::set<int> positions,
                                            bool recheck) {
    if (!vportInfo) return;
    const auto* record = static_cast<const uint8_t*>(vportInfo);
    auto stopping = [this] {
        auto dev = session();
        return !dev || dev->goingAway() || displayClassExitFlag;
    };
    // The session gives a plug up quietly once it is going away; its clean-up waits for a plug
    // call in progress (session/plugMonitor.cpp).
    auto plug = [this](bool in, int target) {
        auto dev = session();
        if (!dev) return;
        std::lock_guard<std::mutex> lk(plugMutex);
        // Checked under the lock: fwExeClean raises the flag under it, so no plug call starts
        // changing the session once the clean-up has read it.
        if (displayClassExitFlag) return;
        if (in)
            dev->plugInMonitor(target, false);
        else
            dev->plugOutMonitor(target);
    };

    if (recheck) {
        std::vector<int> changed;
        for (int n : positions) {
            if (n < 0 || n >= kPortPositions || stopping()) continue;
            std::unique_lock<std::mutex> lk(plugMutex);
            const int target = portTargetTable[n];
            bool known = false;
            {
                std::lock_guard<std::mutex> ml(m_mapMutex);
                known = target2EDIDMap.count(static_cast<short>(target)) != 0;
            }
            if (!known) {
                vel_Print("[error] target2EDIDMap not found\n");
                return;
            }
            int rc = 0;
            for (int attempt = 0; attempt < kEdidCheckAttempts; ++attempt) {
                rc = boolMonitorEdidChanged(target);
                if (rc == 1 || rc == 2) break;
                if (rc == 3) vel::sleepMs(1000);
            }
            if (rc != 1 && rc != 2) {
                if (stopping()) return;  // no answer because the device is leaving
                vel_Print("[error] EDID check failed\n");
                lk.unlock();
                vel520Abort(session());
            }
            if (rc == 1) {
                vel_Print("[info] EDID changed, recheck\n");
                changed.push_back(n);
            } else {
                vel_Print("[info] EDID not changed\n");
            }
        }
        for (int n : changed) {
            if (stopping()) return;
            plug(false, record[n]);
            vel::sleepMs(1000);
        }
        for (int n : changed) {
            if (stopping()) return;
            plug(true, record[n]);
            vel::sleepMs(1000);
        }
    } else {
        vel_Printf("plug in/out: port position change, recheckFlag:%d\n", 0);
        for (int n : positions) {
            if (n < 0 || n >= kPortPositions || stopping()) continue;
            vel_Printf("vPortReceieve[%d]: %#x\n", n, record[n]);
            if (record[n] == kNoMonitor)
                plug(false, portTargetTable[n]);
            else
                plug(true, record[n]);
            vel::sleepMs(1000);
        }
    }
    vel::sleepMs(100);
}

// Frame-index feedback (receive thread): gives the frame credit back to the view whose display
// device finished a frame. `data` holds at least 12 bytes.
int VelDisplay520Class::checkFrameIndex(unsigned char* data) {
    if (!data) return -1;
    const uint8_t tag = data[0];
    const uint16_t dd = getU16(data + 2);
    uint64_t frameIndex = 0;
    for (int i = 7; i >= 0; --i) frameIndex = (frameIndex << 8) | data[4 + i];
    auto dev = session();
    if (!dev) return 0;
    int target = 255, source = 255;
    bool haveTarget = false, haveSource = false;
    {
        std::lock_guard<std::mutex> lk(m_mapMutex);
        for (const auto& [t, d] : dev->m_IDDisplayDevice2MonitorMap)
            if (d == dd) {
                target = t;
                haveTarget = true;
                break;
            }
        for (const auto& [s, d] : dev->m_IDSource2DisplayDeviceMap)
            if (d == dd) {
                source = s;
                haveSource = true;
                break;
            }
    }
    if (haveTarget && haveSource && source < VEL_MAX_VIEWS) {
        // Bounded: a repeated or spurious feedback must not hand out more credits than a view
        // has, also while a dropped frame of the view returns its credit at the same moment.
        dev->giveFrameCredit520(source);
        return 0;
    }
    vel_Printf(
        "[error] FW feedback FrameIndex error, dev[%d]view[%d][0x%x] LogicDisplayId[%d] "
        "nTargetID[%u] frameIndexNum[%ld] +\n",
        deviceIndex, source, tag, dd, static_cast<unsigned>(target), static_cast<long>(frameIndex));
    return 0;
}

int VelDisplay520Class::processingFrameIndexMessage(unsigned char* data, int) {
    return checkFrameIndex(data);
}
