// 50x-family command transport: command packets on the bulk OUT endpoint, the receive thread
// that sorts interrupt packets into the session's queues, the queue readers, and the direct and
// buffer exchanges. The concurrency rules are at the top of VelDisplay508ClassDriver.h.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>

#include "devmgr/DevManager.h"
#include "display/VelDisplay508ClassDriver.h"
#include "service/debug.h"
#include "service/threads.h"
#include "session/VelDev.h"

using namespace vel508;

std::atomic<int> m_InterruptInHeartbeatStatus{0};
std::mutex mutex_lock_508;
CMutex g_Lock508;

namespace {

using Clock = std::chrono::steady_clock;

// The readers' budgets: a poll of 0.2 ms repeated 500 times for a control reply (and as many
// again for an 0xFF answer), 40000 times for an EDID (the monitor's DDC read is slow) and
// 10000 times for the other queues.
constexpr std::chrono::milliseconds kControlWait{100};
constexpr std::chrono::milliseconds kEdidWait{8000};
constexpr std::chrono::milliseconds kQueueWait{2000};
// Longest single wait on a queue, so an exiting class is noticed soon.
constexpr std::chrono::milliseconds kSlice{50};
constexpr int kModeSetSends = 4;
constexpr int kDirectReads = 30;
constexpr int kBufferTries = 3;
// readInterruptPipe's result for a session without a device handle (not a libusb code).
constexpr int kNoHandle = 1;

// Waits until `queue` yields an entry or `budget` has passed. Null on time-out, on a cancelled
// queue (at once) and once `stop` says so.
template <typename T, typename Stop>
std::shared_ptr<T> waitQueue(threadsafe_queue<T>& queue, std::chrono::milliseconds budget,
                             Stop stop) {
    const auto deadline = Clock::now() + budget;
    for (;;) {
        if (queue.isCancelled() || stop()) return nullptr;
        const auto now = Clock::now();
        if (now >= deadline) return queue.trypop();
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        if (left < std::chrono::milliseconds(1)) left = std::chrono::milliseconds(1);
        if (auto entry = queue.timedpop(left < kSlice ? left : kSlice)) return entry;
    }
}

_CONTROL_REPLY_SLOT_* findSlot(VelDev& dev, int type) {
    for (auto& slot : dev.controlReplies)
        if (slot.code == type) return &slot;
    return nullptr;
}

// A queued copy of a packet: always `fixed` bytes (zero-filled past what arrived), so readers
// may read the packet's fixed offsets whatever the adapter sent.
_RCV_BUF_ADDR queuedCopy(const unsigned char* data, size_t length, size_t fixed) {
    _RCV_BUF_ADDR entry;
    entry.length = static_cast<uint32_t>(fixed);
    entry.data.assign(fixed, 0);
    memcpy(entry.data.data(), data, length < fixed ? length : fixed);
    return entry;
}

// Sleeps `ms` in short steps; false when `stop` cut it short.
template <typename Stop>
bool sleepUnless(long ms, Stop stop) {
    for (long slept = 0; slept < ms; slept += 100) {
        if (stop()) return false;
        vel::sleepMs(ms - slept < 100 ? ms - slept : 100);
    }
    return !stop();
}

}  // namespace

VelDisplayClass508::VelDisplayClass508(VelDev* dev, int key) {
    m_dev = dev;
    deviceIndex = key;
    if (g_dev) {
        auto found = g_dev->findDev(key);
        if (found && found.get() == dev) m_session = found;
    }
}

void VelDisplayClass508::bindSession(const std::weak_ptr<VelDev>& dev) { m_session = dev; }

std::shared_ptr<VelDev> VelDisplayClass508::session() const { return m_session.lock(); }

bool VelDisplayClass508::exiting(const std::shared_ptr<VelDev>& dev) const {
    return displayClassExitFlag || !dev || !dev->connected || dev->exitFlag;
}

int VelDisplayClass508::fwExeClean() {
    displayClassExitFlag = true;
    // A transfer that started before the flag ends within its time-out; none starts after it.
    std::lock_guard<std::mutex> tx(txMutex);
    std::lock_guard<std::mutex> rx(rxMutex);
    return 0;
}

int VelDisplayClass508::writeBulk(unsigned char endpoint, unsigned char* data, int length,
                                  unsigned timeoutMs) {
    auto dev = session();
    std::lock_guard<std::mutex> lk(txMutex);
    if (exiting(dev)) return LIBUSB_ERROR_NO_DEVICE;
    if (!dev->usbHandle) return LIBUSB_ERROR_NO_DEVICE;
    int done = 0;
    const int rc = libusb_bulk_transfer(dev->usbHandle, endpoint, data, length, &done, timeoutMs);
    if (rc == LIBUSB_ERROR_NO_DEVICE) dev->usbGone = true;
    return rc;
}

int VelDisplayClass508::writeCommand(size_t packetSize, uint32_t lengthField,
                                     const _PARAMETER_& param) {
    unsigned char packet[kCommandSize];
    if (packetSize > sizeof packet) packetSize = sizeof packet;
    buildCommand(packet, packetSize, lengthField, param);
    auto dev = session();
    const unsigned char endpoint = dev ? static_cast<unsigned char>(dev->cmdEndpoint508) : 1;
    return writeBulk(endpoint, packet, static_cast<int>(packetSize), kTransferTimeoutMs);
}

int VelDisplayClass508::readInterruptPipe(unsigned char* buffer, int length, int* transferred) {
    auto dev = session();
    std::lock_guard<std::mutex> lk(rxMutex);
    *transferred = 0;
    if (exiting(dev)) return LIBUSB_ERROR_NO_DEVICE;
    // Read under the lock: the clean-up clears the handle only after fwExeClean has taken it.
    if (!dev->usbHandle) return kNoHandle;
    return libusb_interrupt_transfer(dev->usbHandle, kInterruptIn, buffer, length, transferred,
                                     kTransferTimeoutMs);
}

// Receive loop; see the class's concurrency rules. Receive thread, started at device open.
void* VelDisplayClass508::fwStatusThread() {
    vel::threadInit("fwStatusThread");
    unsigned char buffer[kInterruptSize] = {};
    for (;;) {
        if (exiting(session())) break;
        int got = 0;
        const int rc = readInterruptPipe(buffer, static_cast<int>(sizeof buffer), &got);
        if (rc == kNoHandle) {
            vel_Print("fwStatusThread dev_handle is NULL\n");
            vel::sleepMs(100);  // the handle comes with the open; do not spin meanwhile
            continue;
        }
        if (rc != 0) {
            // A time-out is the idle case; other errors return at once (a device going away),
            // so pause before the next try rather than spin until the session notices.
            if (rc != LIBUSB_ERROR_TIMEOUT) vel::sleepMs(10);
            continue;
        }
        const size_t length = got > 0 ? static_cast<size_t>(got) : 0;
        handleIncoming(buffer, length < sizeof buffer ? length : sizeof buffer);
        memset(buffer, 0, sizeof buffer);
    }
    vel_Print("fwStatusThread end\n");
    return nullptr;
}

void VelDisplayClass508::handleIncoming(const unsigned char* data, size_t length) {
    if (!hasMagic(data, length) || length <= kTypeOffset) return;
    auto dev = session();
    if (!dev) return;
    const unsigned char type = data[kTypeOffset];
    switch (type) {
        case VELPTC_FW_UPDATE_00:
        case VELPTC_SROM_ACCESS:
        case VELPTC_VERSION:
        case VELPTC_WORK_MODE:
            dev->generalQueue.push(queuedCopy(data, length, kInterruptSize));
            return;
        case VELPTC_READ_EDID:
            dev->edidQueue.push(queuedCopy(data, length, kEdidPacketSize));
            return;
        case VELPTC_READ_MODE_LIST:
            dev->modeListQueue.push(queuedCopy(data, length, kInterruptSize));
            return;
        case VELPTC_READ_CAPS:
            vel_Print("get caps.\n");
            dev->capsQueue.push(queuedCopy(data, length, kInterruptSize));
            return;
        case 0x30:
        case 0x31:
        case 0x32:
        case 0x3F:
        case 0x40:
        case 0x41:
        case 0x42:
        case 0x4C:
        case 0xD7:
        case 0xFF: {
            _CONTROL_REPLY_SLOT_* slot = findSlot(*dev, type);
            if (!slot) return;
            unsigned char raw[kControlRetSize] = {};
            const size_t have = length - kTypeOffset;
            memcpy(raw, data + kTypeOffset, have < sizeof raw ? have : sizeof raw);
            VELPTC_CONTROL_RET reply;
            memcpy(&reply, raw, sizeof reply);
            slot->replies.push(reply);
            return;
        }
        case VELPTC_FW_LOG:
            return;  // the firmware's running log is not collected for this family
        case VELPTC_MONITOR_EVENT:
            if (length > kStatusOffset) startMonitorCheck(data[kStatusOffset]);
            return;
        case VELPTC_FRAME_INDEX_EVENT: {
            // Source byte, two bytes, then the 32-bit finished index: bytes 17..23.
            if (length < kStatusOffset + 7) return;
            unsigned char event[16] = {};
            const size_t have = length - kStatusOffset;
            memcpy(event, data + kStatusOffset, have < sizeof event ? have : sizeof event);
            checkFrameIndex(event);
            return;
        }
        default:
            return;
    }
}

void VelDisplayClass508::startMonitorCheck(unsigned char bitmask) {
    // Only an object under shared ownership can hand itself to a worker (not so in the fuzz
    // target, which drives the receive path alone).
    std::shared_ptr<VelDisplayClass508> self = weak_from_this().lock();
    if (!self) {
        vel_Printf("[warning] monitor event %#x without a shared display class\n", bitmask);
        return;
    }
    try {
        std::thread([self, bitmask, t = ClassThreadTicket()]() mutable {
            pnpThreadfunc(std::move(self), bitmask);
        }).detach();
    } catch (const std::system_error&) {
        vel_Print("fwStatusThread creation failed...\n");
    }
}

int VelDisplayClass508::readIntQ(int type, unsigned char* buffer, int* length) {
    auto dev = session();
    if (!dev || !buffer || !length) return -99;
    threadsafe_queue<_RCV_BUF_ADDR>* queue = &dev->generalQueue;
    std::chrono::milliseconds budget = kQueueWait;
    bool whole = false;  // EDID and mode list: the whole entry is wanted
    switch (type) {
        case VELPTC_READ_MODE_LIST:
            queue = &dev->modeListQueue;
            whole = true;
            break;
        case VELPTC_READ_EDID:
            queue = &dev->edidQueue;
            budget = kEdidWait;
            whole = true;
            break;
        case VELPTC_READ_CAPS:
            queue = &dev->capsQueue;
            break;
        default:
            vel_Printf("READ int Q [%x]\n", type);
            break;
    }
    auto entry = waitQueue(*queue, budget, [&] { return exiting(dev); });
    if (!entry) return -99;
    // Never past the caller's buffer, even where the whole entry is wanted.
    const size_t capacity = *length > 0 ? static_cast<size_t>(*length) : 0;
    const size_t have = entry->data.size();
    const size_t copied = have < capacity ? have : capacity;
    memcpy(buffer, entry->data.data(), copied);
    if (whole || have < capacity) *length = static_cast<int>(copied);
    return 0;
}

int VelDisplayClass508::readInterrupt(int type, VELPTC_CONTROL_RET* reply) {
    auto dev = session();
    if (!dev || !reply) return -99;
    _CONTROL_REPLY_SLOT_* slot = findSlot(*dev, type);
    if (!slot) {
        vel_Printf("cannot get datatype [0x%x]\n", type);
        return 0;
    }
    auto stop = [&] { return exiting(dev); };
    if (auto r = waitQueue(slot->replies, kControlWait, stop)) {
        *reply = *r;
        return 0;
    }
    vel_Printf("cannot get data[0x%x]\n", type);
    if (_CONTROL_REPLY_SLOT_* unknown = findSlot(*dev, VELPTC_UNKNOWN_COMMAND)) {
        if (auto r = waitQueue(unknown->replies, kControlWait, stop)) {
            *reply = *r;
            vel_Printf("command[%x] can not be accepted\n", type);
            return 0;
        }
    }
    return -99;
}

void VelDisplayClass508::send_control_command(unsigned int /*deviceIndex*/, _PARAMETER_ param) {
    const unsigned char code = param.bytes[4];
    const int sends = code == VELPTC_SET_MODE ? kModeSetSends : 1;
    for (int attempt = 1; attempt <= sends; ++attempt) {
        const int rc = writeCommand(kCommandSize, kCommandSize, param);
        if (rc != 0) {
            vel_Printf("libusb_bulk_transfer send out failed err=%d, type =[x%x]\n", rc, code);
        }
        VELPTC_CONTROL_RET reply;
        const int ret = readInterrupt(code, &reply);
        if (ret != 0) {
            vel_Printf("Read control command feedback failed! ret = 0x%x!, datatype=[0x%x]\n",
                       ret, code);
        }
        // A reply that never came is a failure, not a zero status.
        if (ret == 0 && reply.status == 0) return;
        if (code != VELPTC_SET_MODE) {
            if (ret == 0) {
                vel_Printf("ERROR: Read control command error code = 0x%x!, data=[0x%x]\n",
                           reply.status, code);
            }
            return;
        }
        if (exiting(session())) return;
    }
    vel_Print("ERROR: Read Setmode control command feedback 3 times error!Reset firmware!\n");
}

int VelDisplayClass508::optSendCommand(unsigned int /*deviceIndex*/, _PARAMETER_ param) {
    const unsigned char code = param.bytes[4];
    if (writeCommand(kCommandSize, kCommandSize, param) != 0) {
        vel_Printf("send control cmd:%x error\n", code);
        return -1;
    }
    unsigned char buffer[kInterruptSize];
    for (int read = 0; read < kDirectReads; ++read) {
        int got = 0;
        memset(buffer, 0, sizeof buffer);
        if (readInterruptPipe(buffer, static_cast<int>(sizeof buffer), &got) != 0) continue;
        const size_t length = got > 0 ? static_cast<size_t>(got) : 0;
        if (!hasMagic(buffer, length)) continue;
        // Bytes not received read as zero.
        if (buffer[kTypeOffset] != code) {
            vel_Printf("unknow Data Type: %x\n", buffer[kTypeOffset]);
            return -1;
        }
        if (buffer[kStatusOffset] != 0)
            vel_Printf("read control command:%x feedback failed\n", code);
        else
            vel_Printf("read control command:%x feedback success\n", code);
        return 0;
    }
    vel_Printf("******Rev Cmd:%x Feedback failed, wait 30 times******\n", code);
    return -1;
}

int velCommunicate508(VelDisplayClass508& dc, int type, unsigned char* data, int length,
                      unsigned char* reply, int* replyLength) {
    if (data && length > 0) {
        const int rc = dc.writeBulk(kUpdateOut, data, length, kUpdateTimeoutMs);
        if (rc != 0) {
            vel_Printf("******Send data failed err=%d\n", rc);
            // An answer read now could only be a stale one: the command never went out.
            return 0;
        }
        if (!reply || !replyLength) return 1;
    }
    if (!reply || !replyLength) return 0;
    auto stop = [&dc] { return dc.exiting(dc.session()); };
    const int capacity = *replyLength;
    int ret = -99;
    for (int attempt = 1; attempt <= kBufferTries; ++attempt) {
        *replyLength = capacity;
        ret = dc.readIntQ(type, reply, replyLength);
        if (ret == 0) return 1;
        if (attempt == kBufferTries || !sleepUnless(5000, stop)) break;
        if (attempt == kBufferTries - 1) vel_Print("wait 3nd times.........\n");
    }
    vel_Printf("Read control command [%x] feedback failed! ret = 0x%x!\n", type, ret);
    vel_Printf("******Receive data failed err=%d\n", ret);
    return 0;
}

int communicateWithDevice(libusb_device_handle* handle, int type, unsigned char* data, int length,
                          unsigned char* reply, int* replyLength) {
    std::shared_ptr<VelDisplayClass508> dc;
    // Only the two device indexes the service serves are looked at.
    for (int index = 0; index < 2 && g_dev && handle && !dc; ++index) {
        auto dev = g_dev->findDev(index);
        if (dev && dev->usbHandle == handle)
            dc = std::dynamic_pointer_cast<VelDisplayClass508>(dev->displayClass);
    }
    if (!dc) {
        vel_Printf("Error: [%s]missing device handle. \n", "communicateWithDevice");
        return -1;
    }
    return velCommunicate508(*dc, type, data, length, reply, replyLength);
}
