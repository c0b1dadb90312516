// Model-520 per-view services: the hardware cursor (position and image, with the image cache),
// display power (DPMS, all displays on or off, the video-port switch) and the frame-index
// counters that stamp the image packets. Concurrency rules: VelDisplay520ClassDriver.h.
//
// Cursor images. The adapter keeps every image it was sent under a cursor id (200 + the slot of
// the host's cache), so an image it already holds costs one packet without an answer. A new
// image goes out as a 128 x 128 area at a pitch of 512 bytes (rows of a cursor wider than 128
// pixels are not laid out; the area stays zero) and is then shown from a second packet.
// Images that do not fit a cache slot (height x stride above 65,536 bytes) are cut to the rows
// that fit: the cursor's top part is shown rather than nothing, and no slot or area overflows.
#include <algorithm>
#include <cstring>

#include "display/VelDisplay520ClassDriver.h"
#include "display/vel520Internal.h"
#include "service/debug.h"
#include "session/VelDev.h"

using namespace vel520;

CMutex g_Lock520;

namespace {

// Class 3 types: a cursor image the adapter shows (from its store or carried along), and the
// cursor position.
constexpr uint8_t kCursorShow = 0;
constexpr uint8_t kCursorPosition = 1;

constexpr size_t kCursorRecord = 80;
constexpr size_t kCursorArea = 65536;
constexpr size_t kCursorPitch = 512;
constexpr uint32_t kCursorAreaWidth = 128;
constexpr uint32_t kCursorAreaRows = 128;
constexpr uint32_t kCursorIdBase = 200;
constexpr uint8_t kCursorVisible = 0x08;
constexpr uint8_t kImageKnown = 0;
constexpr uint8_t kImageNew = 2;
constexpr int kDpmsAttempts = 4;

void imageRecord(unsigned char* rec, uint32_t cursorId, uint8_t state) {
    memset(rec, 0, kCursorRecord);
    putU32(rec + 8, cursorId);
    rec[32] = state;
}

}  // namespace

void VelDisplay520Class::viewDevice(int view, uint16_t* displayDevice, uint16_t* target,
                                    bool* found) {
    *displayDevice = 0;
    *target = 0;
    *found = false;
    auto dev = session();
    if (!dev || view < 0 || view >= VEL_MAX_VIEWS) return;
    std::lock_guard<std::mutex> lk(m_mapMutex);
    *target = static_cast<uint16_t>(dev->viewTable[view].second);
    auto it = dev->m_IDDisplayDevice2MonitorMap.find(*target);
    if (it == dev->m_IDDisplayDevice2MonitorMap.end()) return;
    *displayDevice = it->second;
    *found = true;
}

int VelDisplay520Class::cursorSlotsInUse() const {
    std::lock_guard<std::mutex> lk(m_cursorMutex);
    return m_cursorSlotsUsed;
}

size_t VelDisplay520Class::cursorSlotBytes(int slot) const {
    std::lock_guard<std::mutex> lk(m_cursorMutex);
    if (slot < 0 || slot >= static_cast<int>(m_cursorSlots.size())) return 0;
    return m_cursorSlots[static_cast<size_t>(slot)].size();
}

int VelDisplay520Class::setCursorState(int x, int y, int view, int visible) {
    if (view < 0 || view >= VEL_MAX_VIEWS) {
        vel_Printf("- VelDisplayClass::setCursorState Error Ret=%d -\n", 2);
        return 2;
    }
    uint16_t dd = 0, target = 0;
    bool found = false;
    viewDevice(view, &dd, &target, &found);
    unsigned char rec[kCursorRecord] = {};
    putU32(rec + 12, static_cast<uint32_t>(x));
    putU32(rec + 16, static_cast<uint32_t>(y));
    if (visible) rec[32] = kCursorVisible;
    ExchangeLock lock(commandLock);
    int rc = sendCommand(static_cast<unsigned short>(view), dd, target, CLASS_CURSOR,
                         kCursorPosition, 0, rec, kCursorRecord);
    lock.release();
    if (rc != 0) vel_Printf("- VelDisplayClass::setCursorState Error Ret=%d -\n", rc);
    return rc;
}

int VelDisplay520Class::setCursorImage(evdi_cursor_set cursor, int view) {
    const uint64_t width = cursor.width, height = cursor.height, stride = cursor.stride;
    if (view < 0 || view >= VEL_MAX_VIEWS || !cursor.buffer || width == 0 || height == 0 ||
        stride < width * 4) {
        vel_Printf(
            "[error] VelDisplay520Class::setCursorImage invalid cursor image %ux%u stride %u "
            "view %d\n",
            cursor.width, cursor.height, cursor.stride, view);
        return 2;
    }
    uint64_t rows = height;
    if (height * stride > kCursorSlotSize) {
        rows = kCursorSlotSize / stride;
        if (rows == 0) {
            vel_Printf(
                "[error] VelDisplay520Class::setCursorImage cursor row of %u bytes does not fit "
                "%zu bytes, not sent\n",
                cursor.stride, kCursorSlotSize);
            return 2;
        }
        vel_Printf(
            "[warning] VelDisplay520Class::setCursorImage cursor image %ux%u stride %u is "
            "larger than %zu bytes, sending its first %u rows\n",
            cursor.width, cursor.height, cursor.stride, kCursorSlotSize,
            static_cast<unsigned>(rows));
    }
    const size_t n = static_cast<size_t>(rows * stride);
    if (cursor.buffer_length < n) {
        vel_Printf(
            "[error] VelDisplay520Class::setCursorImage cursor buffer of %u bytes, %zu needed\n",
            cursor.buffer_length, n);
        return 2;
    }
    const auto* image = reinterpret_cast<const unsigned char*>(cursor.buffer);

    uint16_t dd = 0, target = 0;
    bool found = false;
    viewDevice(view, &dd, &target, &found);

    std::lock_guard<std::mutex> cacheLock(m_cursorMutex);
    if (m_cursorSlots.empty()) m_cursorSlots.resize(kCursorSlots);
    m_cursorPacket.resize(kCursorRecord + kCursorArea);
    unsigned char* rec = m_cursorPacket.data();
    unsigned char* area = rec + kCursorRecord;

    for (int i = 0; i < m_cursorSlotsUsed; ++i) {
        const auto& slot = m_cursorSlots[static_cast<size_t>(i)];
        if (slot.size() != n || memcmp(slot.data(), image, n) != 0) continue;
        imageRecord(rec, kCursorIdBase + static_cast<uint32_t>(i), kImageKnown);
        memcpy(area, image, n);
        ExchangeLock lock(commandLock);
        int rc = sendCommand(0, dd, static_cast<unsigned short>(view), CLASS_CURSOR, kCursorShow, 0,
                             rec, static_cast<unsigned>(kCursorRecord + n));
        lock.release();
        if (rc != 0 && rc != 1)
            vel_Printf("- VelDisplayClass::setCursorState Error Ret=%d -\n", rc);
        return rc;
    }

    if (m_cursorSlotsUsed >= kCursorSlots) m_cursorSlotsUsed -= 100;
    const int k = m_cursorSlotsUsed;
    m_cursorSlots[static_cast<size_t>(k)].assign(image, image + n);
    ++m_cursorSlotsUsed;

    memset(area, 0, kCursorArea);
    if (width <= kCursorAreaWidth) {
        const size_t rowBytes = std::min<size_t>(static_cast<size_t>(stride), kCursorPitch);
        const uint64_t laid = std::min<uint64_t>(rows, kCursorAreaRows);
        for (uint64_t r = 0; r < laid; ++r)
            memcpy(area + r * kCursorPitch, image + r * stride, rowBytes);
    }
    imageRecord(rec, kCursorIdBase + static_cast<uint32_t>(k), kImageNew);

    ExchangeLock lock(commandLock);
    Response r;
    int rc = exchange(SEM_CONTROL, groupOf(dd), static_cast<unsigned short>(view), dd, target,
                      CLASS_CONTROL, CTRL_CURSOR_IMAGE, rec,
                      static_cast<unsigned>(kCursorRecord + kCursorArea), &r);
    if (rc != 0 || r.errorFlag) {
        // The adapter does not hold the image: forget the slot so the next use uploads again.
        m_cursorSlots[static_cast<size_t>(k)].clear();
        --m_cursorSlotsUsed;
    }
    if (rc != 0) {
        lock.release();
        if (rc != 1) vel_Printf("- VelDisplayClass::setCursorState Error Ret=%d -\n", rc);
        return rc;
    }
    lock.release();

    memcpy(area, image, n);
    ExchangeLock showLock(commandLock);
    rc = sendCommand(0, dd, static_cast<unsigned short>(view), CLASS_CURSOR, kCursorShow, 0, rec,
                     static_cast<unsigned>(kCursorRecord + kCursorArea));
    showLock.release();
    if (rc != 0 && rc != 1) vel_Printf("- VelDisplayClass::setCursorState Error Ret=%d -\n", rc);
    return rc;
}

int VelDisplay520Class::doDpmsState(int view, int dpmsMode) {
    vel_Printf("+ VelDisplay520Class::%s +\n", "doDpmsState");
    if (displayClassExitFlag) {
        vel_Printf("- VelDisplay520Class::%s: displayClassExitFlag is true, return! -\n",
                   "doDpmsState");
        return 1;
    }
    auto dev = session();
    if (!dev || view < 0 || view >= VEL_MAX_VIEWS) return 1;
    const bool off = dpmsMode != 0;
    unsigned char payload = off ? 1 : 0;

    int offCount = 0;
    if (off) {
        if (!dev->displayOff[view] && dev->displayOffSemInit)
            sem_trywait(&dev->displayOffSemaphore);
        dev->displayOff[view] = 1;
    } else {
        if (dev->displayOff[view] && dev->displayOffSemInit) sem_post(&dev->displayOffSemaphore);
        dev->displayOff[view] = 0;
    }
    if (dev->displayOffSemInit) sem_getvalue(&dev->displayOffSemaphore, &offCount);

    ExchangeLock lock(commandLock);
    uint16_t dd = 0, target = 0;
    bool found = false;
    viewDevice(view, &dd, &target, &found);
    if (!found) {
        lock.release();
        vel_Printf("- VelDisplay520Class::%s: Fail find DisplayDeviceId %d -\n", "doDpmsState",
                   target);
        return 1;
    }
    int result = 0;
    for (int attempt = 0; attempt < kDpmsAttempts; ++attempt) {
        Response r;
        int rc = exchange(SEM_VIDEO_PORT, groupOf(dd), 0, dd, target, CLASS_CONTROL, CTRL_MONITOR,
                          &payload, 1, &r);
        if (rc == 1) return 1;
        if (rc != 0) {
            lock.release();
            vel_Printf(
                "-[error] VelDisplay520Class::%s SendCommand  DisplayDeviceId:%d buf_id:%d "
                "target_id:%#x Error Ret=%d -\n",
                "doDpmsState", dd, view, target, rc);
            return rc;
        }
        if (!r.errorFlag && r.dataClass == CLASS_CONTROL && r.dataType == CTRL_MONITOR) {
            result = 0;
            break;
        }
        if (!r.errorFlag) {
            vel_Printf("-[error] Type dismatch! DataClass:%d DataType:%d\n", r.dataClass,
                       r.dataType);
            result = dpmsMode == 0 ? 81 : dpmsMode == 1 ? 82 : 0;
        } else {
            result = 0;
        }
    }
    lock.release();
    vportControl(dd, target, off ? 1 : 0);
    if (!off)
        controlHeartbeat(HEARTBEAT_OPEN);
    else if (offCount == 0)
        controlHeartbeat(HEARTBEAT_CLOSE);
    vel_Printf("- VelDisplay520Class::doDpmsState Ret=%d DisplayDeviceId_%d-\n", result, dd);
    return result;
}

int VelDisplay520Class::monitorControl(int off) {
    vel_Printf("+ VelDisplay520Class::%s +\n", "monitorControl");
    unsigned char payload = off ? 1 : 0;
    int result = 1;
    uint16_t dd = 0;
    auto dev = session();
    if (!dev) return 1;
    const int views = std::min(dev->viewCount, VEL_MAX_VIEWS);
    for (int v = 0; v < views; ++v) {
        uint16_t target = static_cast<uint16_t>(dev->viewTable[v].second);
        bool found = false;
        if (target == 0) continue;
        if (!off && dev->displayOff[v]) continue;
        viewDevice(v, &dd, &target, &found);
        if (!found) {
            vel_Printf("- VelDisplay520Class::%s: Fail find DisplayDeviceId %d -\n",
                       "monitorControl", target);
            return 1;
        }
        ExchangeLock lock(commandLock);
        Response r;
        int rc = exchange(SEM_VIDEO_PORT, groupOf(dd), 0, dd, target, CLASS_CONTROL, CTRL_MONITOR,
                          &payload, 1, &r);
        if (rc == 1) return 1;
        if (rc != 0) {
            lock.release();
            vel_Printf("- VelDisplay520Class::%s SendCommand Error Ret=%d -\n", "monitorControl",
                       rc);
            return rc;
        }
        if (!r.errorFlag) {
            if (r.dataClass == CLASS_CONTROL && r.dataType == CTRL_MONITOR)
                result = vportControl(dd, target, off ? 1 : 0);
            else
                vel_Printf("[error](%s): DATATYPE dismatch,  DataClass:%d, DataType:%d\n",
                           "monitorControl", r.dataClass, r.dataType);
        }
    }
    vel_Printf("- VelDisplay520Class::%s Ret=%d DisplayDeviceId_%d-\n", "monitorControl", result,
               dd);
    return result;
}

int VelDisplay520Class::vportControl(unsigned short displayDevice, unsigned short target, int off) {
    vel_Printf("+ VelDisplay520Class::%s +\n", "vportControl");
    ExchangeLock lock(commandLock);
    unsigned char payload = off ? 1 : 0;
    Response r;
    int rc = exchange(SEM_VIDEO_PORT, groupOf(displayDevice), 0, displayDevice, target,
                      CLASS_CONTROL, CTRL_VPORT, &payload, 1, &r);
    if (rc == 1) return 1;
    if (rc != 0) {
        lock.release();
        vel_Printf("-VelDisplay520Class::%s sendCommand Error Ret=%d -\n", "vportControl", rc);
        return rc;
    }
    if (r.errorFlag)
        vel_Printf("[error]- VelDisplay520Class::%s Ret=%d DisplayDeviceId_%d -\n", "vportControl",
                   0, displayDevice);
    lock.release();
    vel_Printf("- VelDisplay520Class::%s Ret=%d DisplayDeviceId_%d-\n", "vportControl", 0,
               displayDevice);
    return 0;
}

uint32_t VelDisplay520Class::updateFrameIndex(unsigned short view) {
    auto dev = session();
    if (!dev || view >= VEL_MAX_VIEWS) return 0;
    CthreadLock lk(g_Lock520);
    const uint32_t next = static_cast<uint32_t>(dev->frameIndex520[view]) + 1u;
    dev->frameIndex520[view] = static_cast<int>(next);
    return next;
}
