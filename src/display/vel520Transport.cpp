// Model-520 message transport: the command send path, the receive thread with its response
// routing, the image packet, and the response semaphores. The concurrency rules are at the top
// of VelDisplay520ClassDriver.h.
#include <libusb-1.0/libusb.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "devmgr/DevManager.h"
#include "display/VelDisplay520ClassDriver.h"
#include "display/vel520Internal.h"
#include "jpu/OrfeJpegHeaderDec.h"
#include "service/debug.h"
#include "service/threadLock.h"
#include "service/threads.h"
#include "session/VelDev.h"

using namespace vel520;

sem_t semaphores[2][kSemGroups][kSemKinds];
std::atomic<int> VelDisplay520Class::s_sendFailures{0};

namespace {

// Which object initialised each device index's semaphores.
const void* g_semOwner[2] = {nullptr, nullptr};
std::mutex g_semMutex;  // guards g_semOwner and the init/destroy of the semaphores

constexpr unsigned kTransferTimeoutMs = 1000;
constexpr int kResponseWaitSeconds = 3;
// How long the receive thread waits for a waiter to take a delivered response. A waiter that is
// there takes it at once; one that timed out has ended the service already.
constexpr int kHandOverLimitMs = 3500;

bool validIndex(int deviceIndex) { return deviceIndex >= 0 && deviceIndex < 2; }

// Node field of a header, from the table (the payload exception is the caller's). 0 with
// *node set, or -1 when the table is missing or the entry invalid.
int resolveNode(const InputNodeTable* table, unsigned short source, uint16_t* node) {
    if (!table) return -1;
    unsigned count = table->count > 32 ? 32 : table->count;
    uint16_t id = source < count ? table->nodeId[source] : table->nodeId[0];
    if (id == kInvalidNode) return -1;
    *node = static_cast<uint16_t>(id >> 8);
    return 0;
}

}  // namespace

void vel520Abort(const std::shared_ptr<VelDev>& dev) {
    if (g_dev) g_dev->usb_abort(dev ? dev->usbDevice : nullptr);
    // No manager (a test driving the class alone): the same exit without the stop hand-over.
    vel_Print("usb_abort!\n");
    _exit(1);
}

void initialize_semaphores(int deviceIndex, const void* owner) {
    if (!validIndex(deviceIndex)) return;
    std::lock_guard<std::mutex> lk(g_semMutex);
    if (g_semOwner[deviceIndex]) {
        for (auto& group : semaphores[deviceIndex])
            for (auto& s : group) sem_destroy(&s);
    }
    for (auto& group : semaphores[deviceIndex])
        for (auto& s : group) sem_init(&s, 0, 0);
    g_semOwner[deviceIndex] = owner ? owner : &g_semOwner[deviceIndex];
}

void cleanup_semaphores(int deviceIndex, const void* owner) {
    if (!validIndex(deviceIndex)) return;
    std::lock_guard<std::mutex> lk(g_semMutex);
    const void* expected = owner ? owner : &g_semOwner[deviceIndex];
    if (g_semOwner[deviceIndex] != expected) return;
    for (auto& group : semaphores[deviceIndex])
        for (auto& s : group) sem_destroy(&s);
    g_semOwner[deviceIndex] = nullptr;
}

bool VelDisplay520Class::exiting(const std::shared_ptr<VelDev>& dev) const {
    return displayClassExitFlag || !dev || !dev->connected || dev->exitFlag;
}

int VelDisplay520Class::init() {
    if (!rxBuffer) rxBuffer = static_cast<unsigned char*>(calloc(kRxBufferSize, 1));
    if (!inputNodeTable) {
        inputNodeTable = static_cast<InputNodeTable*>(calloc(1, sizeof(InputNodeTable)));
        if (!inputNodeTable) return 1;
        inputNodeTable->count = 1;
        inputNodeTable->nodeId[0] = 3;
    }
    return 0;
}

void VelDisplay520Class::initEndpoint() {
    if (auto dev = session()) {
        dev->imageEndpoint = 1;
        dev->imageEndpoint520 = 2;
    }
}

int VelDisplay520Class::sendTransfer(const std::shared_ptr<VelDev>& dev, unsigned char* data,
                                     int length) {
    if (!dev->usbHandle) return LIBUSB_ERROR_NO_DEVICE;
    int done = 0;
    const int rc =
        libusb_bulk_transfer(dev->usbHandle, static_cast<unsigned char>(dev->imageEndpoint), data,
                             length, &done, kTransferTimeoutMs);
    // Plug-in tells an adapter that left from one that failed by this (goingAway).
    if (rc == LIBUSB_ERROR_NO_DEVICE) dev->usbGone = true;
    return rc;
}

int VelDisplay520Class::writeBulkPipeTo(unsigned char* buffer, int length) {
    auto dev = session();
    std::lock_guard<std::mutex> lk(txMutex);
    if (exiting(dev)) return LIBUSB_ERROR_NO_DEVICE;
    return sendTransfer(dev, buffer, length);
}

int VelDisplay520Class::readBulkPipeFrom(unsigned char* buffer, int length) {
    auto dev = session();
    std::lock_guard<std::mutex> lk(rxMutex);
    if (exiting(dev) || !dev->usbHandle) return LIBUSB_ERROR_NO_DEVICE;
    int done = 0;
    return libusb_bulk_transfer(dev->usbHandle,
                                static_cast<unsigned char>(dev->imageEndpoint | 0x80), buffer,
                                length, &done, kTransferTimeoutMs);
}

int VelDisplay520Class::sendCommand(unsigned short source, unsigned short displayDevice,
                                    unsigned short target, unsigned char dataClass,
                                    unsigned char dataType, unsigned char response,
                                    unsigned char* payload, unsigned int length) {
    if (displayClassExitFlag) {
        vel_Print("VelDisplay520Class::sendCommand displayClassExitFlag is true\n");
        return 1;
    }
    const bool hasPayload = payload && length;
    uint16_t node = 0;
    // Commands whose payload starts with one of these codes address the adapter itself, not an
    // input node.
    const bool nodeless =
        hasPayload && (payload[0] == 0x23 || payload[0] == 0x24 || payload[0] == 0x33);
    if (!nodeless) {
        if (!inputNodeTable) {
            vel_Print("- VelDisplay520Class::SendCommand Input Node Unit is null -\n");
            return 2;
        }
        if (resolveNode(inputNodeTable, source, &node) != 0) {
            vel_Print("- VelDisplay520Class::SendCommand InputNodeId is invalide -\n");
            return 2;
        }
    }

    WireHeader h;
    h.kind = kKindCommand;
    h.sessionTag = sessionTag;
    h.source = static_cast<uint8_t>(source);
    h.dataType = dataType;
    h.dataClass = dataClass;
    h.responseRequested = response != 0;
    h.target = target;
    h.displayDevice = displayDevice;
    h.node = node;
    h.payloadLength = hasPayload ? length : 0;

    unsigned char header[kHeaderSize];
    std::unique_ptr<unsigned char, void (*)(void*)> message(nullptr, free);
    if (hasPayload) {
        // A libusb transfer length is an int.
        if (length > 0x7FFFFFFFu - kHeaderSize) return 3;
        message.reset(static_cast<unsigned char*>(malloc(length + kHeaderSize)));
        if (!message) return 3;
        writeHeader(message.get(), h);
        memcpy(message.get() + kHeaderSize, payload, length);
    } else {
        writeHeader(header, h);
    }

    auto dev = session();
    int rc = LIBUSB_ERROR_NO_DEVICE;
    {
        std::lock_guard<std::mutex> lk(txMutex);
        if (!exiting(dev)) {
            if (hasPayload) {
                const size_t total = length + kHeaderSize;
                rc = 0;
                if (total > kHeaderFirstLimit) rc = sendTransfer(dev, message.get(), kHeaderSize);
                if (rc == 0) rc = sendTransfer(dev, message.get(), static_cast<int>(total));
            } else {
                rc = sendTransfer(dev, header, kHeaderSize);
            }
        }
    }

    int result = 0;
    if (rc != 0) {
        // A device that has left (the departure may not have been processed yet) is no send
        // failure: nothing went out, so report a refusal and let no caller wait for an answer.
        if (exiting(dev) || rc == LIBUSB_ERROR_NO_DEVICE) {
            vel_Print("VelDisplay520Class::sendCommand devExitFlag is true\n");
            result = 1;
        } else {
            int failures = ++s_sendFailures;
            vel_Printf("[warning] VelDisplay520Class::sendCommand writeBulkPipeTo error %d\n", rc);
            vel::sleepMs(10);
            if (failures > 5) {
                vel_Printf("[error](%s) trigger usb abort\n", "sendCommand");
                vel520Abort(dev);
            }
            result = 2;
        }
    }
    if (dataType != 0 && dataType != 1 && dataType != 7 && dataType != 16 && dataType != 21) {
        vel_Printf("+ VelDisplay520Class::SendCommand DataClassID:%d, DataTypeID:%d, Ret=%d +\n",
                   dataClass, dataType, result);
    }
    return result;
}

int VelDisplay520Class::recvCommand(unsigned char* buffer) {
    auto dev = session();
    std::lock_guard<std::mutex> lk(rxMutex);
    m_recvLength = 0;
    if (exiting(dev) || !dev->usbHandle) {
        vel_Print("VelDisplay520Class::recvCommand devExitFlag is false\n");
        return 0;
    }
    int done = 0;
    int rc = libusb_bulk_transfer(dev->usbHandle, 0x81, buffer, static_cast<int>(kRxBufferSize),
                                  &done, kTransferTimeoutMs);
    if (rc == 0) m_recvLength = done > 0 ? static_cast<size_t>(done) : 0;
    return rc;
}

void VelDisplay520Class::prepareResponses() {
    if (m_semInitialised) return;
    initialize_semaphores(deviceIndex, this);
    m_semInitialised = true;
}

void VelDisplay520Class::armResponse(int kind, int group) {
    if (group < 0 || group >= kSemGroups || kind < 0 || kind >= kSemKinds) return;
    m_armed[group][kind].store(1, std::memory_order_release);
}

void VelDisplay520Class::disarmResponse(int kind, int group) {
    if (group < 0 || group >= kSemGroups || kind < 0 || kind >= kSemKinds) return;
    m_armed[group][kind].store(0, std::memory_order_release);
}

int VelDisplay520Class::waitResponse(int kind, int group, Response* out) {
    if (!validIndex(deviceIndex) || group < 0 || group >= kSemGroups || kind < 0 ||
        kind >= kSemKinds || !m_semInitialised) {
        disarmResponse(kind, group);
        return 1;
    }
    sem_t* sem = &semaphores[deviceIndex][group][kind];
    if (semWaitSecond(sem, kResponseWaitSeconds) != 0) {
        disarmResponse(kind, group);
        auto dev = session();
        // A device that left (or is being cleaned up) does not answer, and neither does one
        // the service is stopping with; that is no reason to end the service.
        if (exiting(dev) || g_exitRequested) return 1;
        vel_Print("[error] can not get semaphores for 3 second\n");
        vel520Abort(dev);
    }
    disarmResponse(kind, group);
    Response r;
    const uint8_t* m = rxBuffer;
    if (m && m_rxLength >= kHeaderSize) {
        WireHeader h = readHeader(m);
        r.errorFlag = h.errorFlag;
        r.dataClass = h.dataClass;
        r.dataType = h.dataType;
        r.displayDevice = h.displayDevice;
        r.payload = m + kHeaderSize;
        // The header's length is the device's word; what arrived bounds it.
        size_t avail = m_rxLength - kHeaderSize;
        r.payloadLength = static_cast<uint32_t>(h.payloadLength < avail ? h.payloadLength : avail);
    }
    if (out) *out = r;
    return 0;
}

void VelDisplay520Class::routeResponse(const unsigned char* message, size_t length) {
    WireHeader h = readHeader(message);
    if (h.errorFlag) {
        vel_Printf(
            "[error] (%s): = GetClassResponse: DataClass_0x%x, DataType_0x%x response "
            "error =%d\n",
            "fwStatusThread", h.dataClass, h.dataType, 1);
    }
    int group = message[16];
    int kind = -1;
    if (h.dataClass == CLASS_QUERY) {
        kind = SEM_QUERY;
    } else if (h.dataClass == CLASS_CONTROL) {
        if (h.dataType == CTRL_MONITOR || h.dataType == CTRL_VPORT) {
            kind = SEM_VIDEO_PORT;
        } else if (h.dataType == CTRL_HEARTBEAT) {
            kind = SEM_CONTROL;
            group = 0;
        } else {
            kind = SEM_CONTROL;
        }
    }
    if (kind < 0) return;  // a response of another class wakes nobody
    if (group >= kSemGroups || !validIndex(deviceIndex) ||
        !m_armed[group][kind].load(std::memory_order_acquire) || !rxBuffer) {
        vel_Printf(
            "[warning] (%s): response DataClass_0x%x, DataType_0x%x, group %d has no "
            "waiter, dropped\n",
            "fwStatusThread", h.dataClass, h.dataType, group);
        return;
    }
    memcpy(rxBuffer, message, length);
    m_rxLength = length;
    sem_t* sem = &semaphores[deviceIndex][group][kind];
    sem_post(sem);
    // Hand-over: the next message may only be read once the waiter has taken this one.
    auto start = std::chrono::steady_clock::now();
    for (;;) {
        int value = 0;
        sem_getvalue(sem, &value);
        if (value <= 0) return;
        if (displayClassExitFlag || std::chrono::steady_clock::now() - start >
                                        std::chrono::milliseconds(kHandOverLimitMs)) {
            if (sem_trywait(sem) == 0) {
                vel_Printf(
                    "[warning] (%s): response DataClass_0x%x, DataType_0x%x not taken, "
                    "dropped\n",
                    "fwStatusThread", h.dataClass, h.dataType);
            }
            return;
        }
        vel::sleepMs(1);
    }
}

void* VelDisplay520Class::fwStatusThread() {
    vel::threadInit("fwStatusThread");
    std::unique_ptr<unsigned char, void (*)(void*)> buffer(
        static_cast<unsigned char*>(malloc(kRxBufferSize)), free);
    if (!buffer) return nullptr;
    for (;;) {
        {
            auto dev = session();
            if (exiting(dev)) return nullptr;
        }
        memset(buffer.get(), 0, kHeaderSize);
        int rc = recvCommand(buffer.get());
        auto dev = session();
        if (exiting(dev)) return nullptr;
        // The handle of a device that has left never works again (a re-plug gets a new
        // session): stop reading rather than race the manager closing it.
        if (rc == LIBUSB_ERROR_NO_DEVICE) return nullptr;
        if (rc != 0) {
            // A time-out is the idle case; anything else must not spin while the device
            // recovers.
            if (rc != LIBUSB_ERROR_TIMEOUT) vel::sleepMs(10);
            continue;
        }
        const size_t length = m_recvLength;
        unsigned char* m = buffer.get();
        if (length < kHeaderSize || !hasMagic(m)) {
            vel_Printf("[warning] (%s): dropped %zu bytes without a message header\n",
                       "fwStatusThread", length);
            continue;
        }
        WireHeader h = readHeader(m);
        if (h.dataClass == CLASS_NOTIFY) {
            handleNotifyMessage(CLASS_NOTIFY, h.dataType, m, static_cast<unsigned>(length));
        } else if (h.dataClass == CLASS_QUERY && h.dataType == QUERY_FW_LOG) {
            // Only the first block is awaited (the heartbeat's log request). Later blocks post
            // nothing, even into an armed slot: that slot then belongs to another query, which
            // must not take a log block for its answer.
            const bool first =
                length >= kNotifyDataOffset + 4 && getU32(m + kNotifyDataOffset) == 0;
            if (first && validIndex(deviceIndex) &&
                m_armed[0][SEM_QUERY].load(std::memory_order_acquire) && rxBuffer) {
                memcpy(rxBuffer, m, length);
                m_rxLength = length;
                disarmResponse(SEM_QUERY, 0);
                sem_post(&semaphores[deviceIndex][0][SEM_QUERY]);
            }
            handleFwLogBlock(m, length);
        } else {
            routeResponse(m, length);
        }
    }
}

int VelDisplay520Class::HandleQuerryMessage(unsigned int, unsigned char, unsigned char,
                                            unsigned char* message, unsigned int length) {
    if (message && length >= kHeaderSize && hasMagic(message) &&
        (message[13] & kClassMask) == CLASS_QUERY)
        return 0;
    return 1;
}

// ---- image packet ----

int VelDisplay520Class::dataHeaderPackage(const void* frameRecord, void* packet, _VELRECT rect,
                                          int jpegSize, int sourceIndex) {
    auto* send = static_cast<_evdi_send*>(packet);
    auto* record = static_cast<const _RECT_IN_ENCODE_Q*>(frameRecord);
    if (!send || !send->buffer || !record || jpegSize < 0 ||
        jpegSize > 0x7FFFFFFF - static_cast<int>(kPacketReserve)) {
        vel_Printf("[error] dataPackage failed with code %d\n", 2);
        return 2;
    }
    send->length = jpegSize + static_cast<int32_t>(kPacketReserve);
    send->packetKind = 4;

    uint8_t* d = send->buffer + kHeaderSize;
    memset(d, 0, kDataHeaderSize);
    putU32(d + 0, kDataHeaderSize);
    putU32(d + 4, static_cast<uint32_t>(jpegSize));
    putU32(d + 8, static_cast<uint32_t>(record->frameIndex));
    putU32(d + 12, static_cast<uint32_t>(rect.x));
    putU32(d + 16, static_cast<uint32_t>(rect.y));
    putU16(d + 24, static_cast<uint16_t>(rect.width));
    putU16(d + 26, static_cast<uint16_t>(rect.height));
    putU16(d + 28, static_cast<uint16_t>(rect.stride));
    d[36] = 1;
    d[40] = static_cast<uint8_t>(record->formatCode);
    d[41] = 0x00;
    d[42] = 0x33;
    d[43] = kImageCodec;
    d[44] = 5;
    putU32(d + 72, 0);

    int rc = dataPackage(sourceIndex, send);
    if (rc != 0) vel_Printf("[error] dataPackage failed with code %d\n", rc);
    return rc;
}

int VelDisplay520Class::dataPackage(int sourceIndex, void* packet) {
    auto* send = static_cast<_evdi_send*>(packet);
    uint16_t node = 0;
    if (resolveNode(inputNodeTable, static_cast<unsigned short>(sourceIndex < 0 ? 0 : sourceIndex),
                    &node) != 0) {
        vel_Print("- VelDisplay520Class::sendDataPackage InputNodeId is invalide -\n");
        return 2;
    }
    if (!send || !send->buffer || send->length < static_cast<int32_t>(kPacketReserve)) {
        vel_Print("- VelDisplayClass::sendDataPackage DataBufSize error -\n");
        return 2;
    }
    uint16_t displayDevice = 0, target = 0;
    if (auto dev = session()) {
        std::lock_guard<std::mutex> lk(m_mapMutex);
        auto it = dev->m_IDSource2DisplayDeviceMap.find(static_cast<uint16_t>(sourceIndex));
        if (it != dev->m_IDSource2DisplayDeviceMap.end()) displayDevice = it->second;
        for (const auto& [key, value] : dev->m_IDDisplayDevice2MonitorMap)
            if (value == displayDevice) target = key;  // keys ascend: the largest match wins
    }

    uint8_t* buf = send->buffer;
    const uint32_t total = static_cast<uint32_t>(send->length);
    const uint32_t jpegLength = total - kPacketReserve;
    uint32_t n = jpegLength;
    if (buf[kHeaderSize + 40] == kImageFormatPadded && n % kJpegRounding != 0)
        n = (n / kJpegRounding + 1) * kJpegRounding;
    if (kImageOffset + n > total) {
        vel_Print("- VelDisplayClass::sendDataPackage DataBufSize error -\n");
        return 2;
    }
    // The rounding bytes go to the device: never send stale heap contents.
    memset(buf + kImageOffset + jpegLength, 0, n - jpegLength);

    COrfeJpegHeaderDec* dec = new (std::nothrow) COrfeJpegHeaderDec;
    int h = 0;
    if (dec) {
        // Room after the JPEG, less the filler block that may have to follow the header.
        const uint32_t room = total - static_cast<uint32_t>(kImageOffset) - n;
        h = static_cast<int>(dec->GetJpegHeaderForCnMDecoder(
            buf + kImageOffset, n, buf + kImageOffset + n,
            room > kHeaderSize ? room - static_cast<uint32_t>(kHeaderSize) : 0, CNM520_PROTOCOL));
        delete dec;
    }
    int result = 0;
    if (h == -4)
        vel_Print(
            "= VelDisplay520Class::SendPack_NoCopy: Jpeg header buffer size is not enough =\n");
    if (h <= 0) {
        vel_Printf("= VelDisplay520Class::SendPack_NoCopy: GetJpegHeader error:%d, SourceId:%d =\n",
                   h, sourceIndex);
        // A negative length would cut into the JPEG: the packet goes out consistent, with no
        // decoder header, and the failure is reported.
        h = 0;
        result = 2;
    }

    const uint32_t payload = n + static_cast<uint32_t>(h) + kDataHeaderSize;
    uint32_t L = payload + kHeaderSize;
    if (L % kFillerBoundary == 0) {
        memset(buf + L, 0, kHeaderSize);
        memcpy(buf + L, "VELC", 4);
        L += kHeaderSize;
    }
    WireHeader wh;
    wh.kind = kKindImage;
    wh.sessionTag = sessionTag;
    wh.dataType = DATA_IMAGE;
    wh.dataClass = CLASS_DATA;
    wh.target = target;
    wh.displayDevice = displayDevice;
    wh.node = node;
    wh.payloadLength = payload;
    writeHeader(buf, wh);
    putU32(buf + kHeaderSize + 4, n + static_cast<uint32_t>(h));
    putU32(buf + kHeaderSize + 72, static_cast<uint32_t>(h));
    send->length = static_cast<int32_t>(L);
    return result;
}
