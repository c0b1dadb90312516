// Model-520 display devices and mode set: a display device joins a monitor (target id, whose low
// four bits name its port) with a source (the host's view). Monitor set-up creates and binds it
// and reads the monitor's EDID and mode list; the mode set binds the source, sets mode and
// layers; tear-down undoes it. Concurrency rules: VelDisplay520ClassDriver.h. The two id maps of
// the session and target2EDIDMap are guarded by m_mapMutex, which no exchange holds.
#include <algorithm>
#include <cstring>

#include "display/VelDisplay520ClassDriver.h"
#include "display/vel520Internal.h"
#include "service/debug.h"
#include "service/threads.h"
#include "session/VelDev.h"

using namespace vel520;

namespace {

constexpr int kSetModeAttempts = 3;

}  // namespace

// One request/response exchange under an already held commandLock: arms the slot, sends with
// the response bit and waits. The sendCommand result, or 1 when the answer cannot come
// (exiting); 0 with `*r` filled.
int VelDisplay520Class::exchange(int kind, int group, unsigned short source,
                                 unsigned short displayDevice, unsigned short target,
                                 unsigned char dataClass, unsigned char dataType,
                                 unsigned char* payload, unsigned int length, Response* r) {
    armResponse(kind, group);
    int rc = sendCommand(source, displayDevice, target, dataClass, dataType, 1, payload, length);
    if (rc != 0) {
        disarmResponse(kind, group);
        return rc;
    }
    return waitResponse(kind, group, r) != 0 ? 1 : 0;
}

int VelDisplay520Class::findDeviceIdBySourceId(int source) {
    auto dev = session();
    if (!dev) return kNoDisplayDevice;
    std::lock_guard<std::mutex> lk(m_mapMutex);
    auto it = dev->m_IDSource2DisplayDeviceMap.find(static_cast<uint16_t>(source));
    return it == dev->m_IDSource2DisplayDeviceMap.end() ? kNoDisplayDevice : it->second;
}

int VelDisplay520Class::findDeviceIdByTargetId(int target) {
    auto dev = session();
    if (!dev) return kNoDisplayDevice;
    std::lock_guard<std::mutex> lk(m_mapMutex);
    auto it = dev->m_IDDisplayDevice2MonitorMap.find(static_cast<uint16_t>(target));
    return it == dev->m_IDDisplayDevice2MonitorMap.end() ? kNoDisplayDevice : it->second;
}

int VelDisplay520Class::findTargetIdBySourceId(int source) {
    const int dd = findDeviceIdBySourceId(source);
    auto dev = session();
    if (!dev) return 0;
    std::lock_guard<std::mutex> lk(m_mapMutex);
    for (const auto& [target, device] : dev->m_IDDisplayDevice2MonitorMap)
        if (device == dd) return target;  // keys ascend: the smallest match
    return 0;
}

int VelDisplay520Class::findSourceIdByTargetId(int target) {
    const int dd = findDeviceIdByTargetId(target);
    auto dev = session();
    if (!dev) return 0;
    std::lock_guard<std::mutex> lk(m_mapMutex);
    for (const auto& [source, device] : dev->m_IDSource2DisplayDeviceMap)
        if (device == dd) return source;
    return 0;
}

// The log line of an exchange whose command could not be sent (1, the object leaving, is not
// logged: nothing was attempted).
static void logSendError(const char* name, int rc) {
    if (rc != 1) vel_Printf("- VelDisplay520Class::%s SendCommand Error Ret=%d -\n", name, rc);
}

// Display device of a target / source for a header: 0 when absent.
static uint16_t headerDevice(int found) {
    return found == kNoDisplayDevice ? 0 : static_cast<uint16_t>(found);
}

int VelDisplay520Class::createDisplayDevice(unsigned short* displayDevice,
                                            unsigned short monitorId) {
    vel_Printf("+ VelDisplay520Class::%s  monitorId:%#x+\n", "createDisplayDevice", monitorId);
    ExchangeLock lock(commandLock);
    int rc = 0;
    Response r;
    rc = exchange(SEM_CONTROL, 0, 0, 0, monitorId, CLASS_CONTROL, CTRL_CREATE_DD, nullptr, 0, &r);
    if (rc != 0) {
        lock.release();
        logSendError("createDisplayDevice", rc);
        return rc;
    }
    int result = 94;
    // The new id is the device's word; a payload too short to hold it is no answer.
    if (!r.errorFlag && r.dataClass == CLASS_CONTROL && r.dataType == CTRL_CREATE_DD &&
        r.payloadLength >= 2) {
        if (displayDevice) *displayDevice = getU16(r.payload);
        result = 0;
    }
    lock.release();
    vel_Printf("- VelDisplay520Class::%s Ret=%d, DisplayDevice: 0x%#x  target_id:%#x-\n",
               "createDisplayDevice", result, displayDevice ? *displayDevice : 0, monitorId);
    return result;
}

int VelDisplay520Class::deleteDisplayDevice(unsigned short displayDevice) {
    vel_Printf("+ VelDisplay520Class::%s DisplayDevice: 0x%x +\n", "deleteDisplayDevice",
               displayDevice);
    ExchangeLock lock(commandLock);
    int rc = 0;
    Response r;
    rc = exchange(SEM_CONTROL, groupOf(displayDevice), 0, displayDevice, 0, CLASS_CONTROL,
                  CTRL_DELETE_DD, nullptr, 0, &r);
    if (rc != 0) {
        lock.release();
        if (rc != 1)
            vel_Printf(
                "- VelDisplay520Class::deleteDisplayDevice SendCommand Error DisplayDeviceId:%d "
                "Ret=%d -\n",
                displayDevice, rc);
        return rc;
    }
    int result =
        (!r.errorFlag && r.dataClass == CLASS_CONTROL && r.dataType == CTRL_DELETE_DD) ? 0 : 95;
    lock.release();
    vel_Printf("- VelDisplay520Class::deleteDisplayDevice Ret=%d -\n", result);
    return result;
}

int VelDisplay520Class::monitorBinding(const char* name, bool bind, unsigned short displayDevice,
                                       unsigned short target, int failCode) {
    vel_Printf("+ VelDisplay520Class::%s DisplayDevice: 0x%x, TargetId:%#x +\n", name,
               displayDevice, target);
    ExchangeLock lock(commandLock);
    const unsigned char type = bind ? CTRL_BIND_MONITOR : CTRL_UNBIND_MONITOR;
    Response r;
    int rc = exchange(SEM_CONTROL, groupOf(displayDevice), 0, displayDevice, target, CLASS_CONTROL,
                      type, nullptr, 0, &r);
    if (rc != 0) {
        lock.release();
        logSendError(name, rc);
        return rc;
    }
    int result = failCode;
    if (!r.errorFlag && r.dataClass == CLASS_CONTROL && r.dataType == type) {
        result = 0;
        if (auto dev = session()) {
            std::lock_guard<std::mutex> lk(m_mapMutex);
            if (bind)
                dev->m_IDDisplayDevice2MonitorMap.emplace(target, displayDevice);
            else
                dev->m_IDDisplayDevice2MonitorMap.erase(target);
        }
    }
    lock.release();
    vel_Printf("- VelDisplay520Class::%s Ret=%d -\n", name, result);
    return result;
}

int VelDisplay520Class::bindMonitor2DisplayDevice(unsigned short displayDevice,
                                                  unsigned short target) {
    return monitorBinding("bindMonitor2DisplayDevice", true, displayDevice, target, 96);
}

int VelDisplay520Class::unbindMonitor2DisplayDevice(unsigned short displayDevice,
                                                    unsigned short target) {
    return monitorBinding("unbindMonitor2DisplayDevice", false, displayDevice, target, 97);
}

int VelDisplay520Class::bindSource2DisplayDevice(unsigned short source,
                                                 unsigned short displayDevice) {
    vel_Printf("+ VelDisplay520Class::%s sourceId: %d, DisplayDevice: 0x%x +\n",
               "bindSource2DisplayDevice", source, displayDevice);
    ExchangeLock lock(commandLock);
    int rc = 0;
    Response r;
    rc = exchange(SEM_CONTROL, groupOf(displayDevice), source, displayDevice, 0, CLASS_CONTROL,
                  CTRL_BIND_SOURCE, nullptr, 0, &r);
    if (rc != 0) {
        lock.release();
        logSendError("bindSource2DisplayDevice", rc);
        return rc;
    }
    int result = 98;
    if (r.errorFlag) {
        vel_Printf(
            "[error] (%s): FLGA dismatch, can't bind source to display device, "
            "ReadbackBuffer.Flag:%d\n",
            "bindSource2DisplayDevice", 1);
    } else if (r.dataClass != CLASS_CONTROL || r.dataType != CTRL_BIND_SOURCE) {
        vel_Printf(
            "[error] (%s): DATATYPE dismatch, can't bind source to display device, "
            "DataClass:%d, DataType:%d\n",
            "bindSource2DisplayDevice", r.dataClass, r.dataType);
    } else {
        result = 0;
        if (auto dev = session()) {
            std::lock_guard<std::mutex> lk(m_mapMutex);
            dev->m_IDSource2DisplayDeviceMap[source] = displayDevice;
        }
        vel_Printf(
            "[info] bind source to display device, [devId]:%d, SourceId:%d, "
            "DisplayDeviceId:%d\n",
            deviceIndex, source, displayDevice);
    }
    lock.release();
    vel_Printf("- VelDisplay520Class::%s Ret=%d -\n", "bindSource2DisplayDevice", result);
    return result;
}

int VelDisplay520Class::unbindSource2DisplayDevice(unsigned short source,
                                                   unsigned short displayDevice) {
    vel_Printf("+ VelDisplay520Class::%s sourceId: %d, DisplayDevice: 0x%x +\n",
               "unbindSource2DisplayDevice", source, displayDevice);
    ExchangeLock lock(commandLock);
    int rc = 0;
    Response r;
    rc = exchange(SEM_CONTROL, groupOf(displayDevice), source, displayDevice, 0, CLASS_CONTROL,
                  CTRL_UNBIND_SOURCE, nullptr, 0, &r);
    if (rc != 0) {
        lock.release();
        logSendError("unbindSource2DisplayDevice", rc);
        return rc;
    }
    int result = 99;
    if (!r.errorFlag && r.dataClass == CLASS_CONTROL && r.dataType == CTRL_UNBIND_SOURCE) {
        result = 0;
        if (auto dev = session()) {
            std::lock_guard<std::mutex> lk(m_mapMutex);
            dev->m_IDSource2DisplayDeviceMap.erase(source);
        }
    }
    lock.release();
    vel_Printf("- VelDisplay520Class::%s Ret=%d -\n", "unbindSource2DisplayDevice", result);
    return result;
}

// Monitor set-up (plug-in flow): creates and binds the target's display device, then reads its
// EDID into `edid` (`*length` bytes of room in, the EDID's size out) and remembers its first
// block. 0; 1 exiting or the EDID already known; 40 read failed or no display device.
int VelDisplay520Class::readMonitorEDID(int target, unsigned char* edid, unsigned int* length) {
    vel_Printf("+ VelDisplay520Class::%s TargetID: %#x +\n", "readMonitorEDID", target);
    unsigned short displayDevice = kNoDisplayDevice;
    int rc = createDisplayDevice(&displayDevice, static_cast<unsigned short>(target));
    vel_Printf("= CRdxAdapter::PlugInPort %s nDisplayDeviceID: %d  targetId:%#x=\n",
               "readMonitorEDID", displayDevice, target);
    if (rc == 1) return 1;
    // Without a display device of the adapter's choosing there is nothing to bind or query.
    if (rc != 0 || groupOf(displayDevice) >= kSemGroups) {
        vel_Printf("[error]- EDID get Failed, VelDisplay520Class::%s Ret=%d -\n", "readMonitorEDID",
                   40);
        return 40;
    }
    rc = bindMonitor2DisplayDevice(displayDevice, static_cast<unsigned short>(target));
    if (rc == 1) return 1;
    // Unbound, the query would address whichever display device the header defaults to; the
    // new display device is given back so the adapter does not run out of them.
    if (rc != 0) {
        deleteDisplayDevice(displayDevice);
        vel_Printf("[error]- EDID get Failed, VelDisplay520Class::%s Ret=%d -\n", "readMonitorEDID",
                   40);
        return 40;
    }

    const uint16_t dd = headerDevice(findDeviceIdByTargetId(target));
    std::array<unsigned char, kEdidBlock> block{};
    int result = 0;
    {
        ExchangeLock lock(commandLock);
        Response r;
        rc = exchange(SEM_QUERY, groupOf(dd), 0, dd, static_cast<uint16_t>(target), CLASS_QUERY,
                      QUERY_EDID, nullptr, 0, &r);
        if (rc != 0) {
            lock.release();
            if (rc != 1)
                vel_Printf("- VelDisplay520Class::%s SendCommand Error Ret=%d -\n",
                           "readMonitorEDID", rc);
            return rc;
        }
        if (r.errorFlag) {
            vel_Printf("[error]- EDID get Failed, VelDisplay520Class::%s Ret=%d -\n",
                       "readMonitorEDID", 40);
            result = 40;
        } else if (r.dataClass != CLASS_QUERY || r.dataType != QUERY_EDID) {
            vel_Printf(
                "[error]- TYPE Mismatch, VelDisplay520Class::%s Ret=%d DataClass:%#x "
                "DataType:%#x -\n",
                "readMonitorEDID", 40, r.dataClass, r.dataType);
            result = 40;
        } else {
            // Bounded by the caller's room; the EDID's own block count is checked by the caller.
            const uint32_t room = length ? *length : 0;
            const uint32_t n = edid ? std::min(r.payloadLength, room) : 0;
            if (n) memcpy(edid, r.payload, n);
            if (length) *length = n;
            memcpy(block.data(), r.payload, std::min<size_t>(r.payloadLength, kEdidBlock));
        }
    }
    if (result == 0) {
        std::lock_guard<std::mutex> lk(m_mapMutex);
        if (target2EDIDMap.count(static_cast<short>(target))) {
            vel_Printf("[error] - VelDisplay520Class::%s: EDID already exists for targetId %#x -\n",
                       "readMonitorEDID", target);
            return 1;
        }
        target2EDIDMap[static_cast<short>(target)] = block;
    }
    vel_Printf("- VelDisplay520Class::%s Ret=%d -\n", "readMonitorEDID", result);
    return result;
}

int VelDisplay520Class::boolMonitorEdidChanged(int target) {
    vel_Printf("+ VelDisplay520Class::%s TargetID: %#x +\n", "boolMonitorEdidChanged", target);
    const int found = findDeviceIdByTargetId(target);
    if (found == kNoDisplayDevice) {
        vel_Printf("[warning] can not find DisplayDeviceId for targetId %#x\n", target);
        return 0;
    }
    const uint16_t dd = static_cast<uint16_t>(found);
    std::array<unsigned char, kEdidBlock> block{};
    {
        ExchangeLock lock(commandLock);
        int rc = 0;
        Response r;
        rc = exchange(SEM_QUERY, groupOf(dd), 0, dd, static_cast<uint16_t>(target), CLASS_QUERY,
                      QUERY_EDID, nullptr, 0, &r);
        if (rc != 0) {
            lock.release();
            if (rc != 1)
                vel_Printf("- VelDisplay520Class::%s SendCommand Error Ret=%d -\n",
                           "boolMonitorEdidChanged", rc);
            return 4;
        }
        if (r.errorFlag) return 3;
        if (r.dataClass != CLASS_QUERY || r.dataType != QUERY_EDID) {
            vel_Printf(
                "[error]- TYPE Mismatch, VelDisplay520Class::%s Ret=%d DataClass:%#x "
                "DataType:%#x -\n",
                "boolMonitorEdidChanged", 40, r.dataClass, r.dataType);
            // No new block to compare: asked again like a flagged answer.
            return 3;
        }
        memcpy(block.data(), r.payload, std::min<size_t>(r.payloadLength, kEdidBlock));
    }
    vel_Printf("- VelDisplay520Class::%s Ret=%d -\n", "boolMonitorEdidChanged", 0);
    std::lock_guard<std::mutex> lk(m_mapMutex);
    auto it = target2EDIDMap.find(static_cast<short>(target));
    if (it == target2EDIDMap.end()) {
        vel_Printf("[error] targetId %d not found in target2EDIDMap\n", target);
        return 4;
    }
    if (it->second == block) return 2;
    vel_Printf("EDID changed for targetId %#x\n", target);
    return 1;
}

// Fills the view's mode table from the adapter's list. 0; 38 when the adapter gave no list (the
// table is then empty and the caller keeps the monitor's own EDID); a send failure's code.
int VelDisplay520Class::readModeList(unsigned char*, int target, int view) {
    vel_Printf("+ VelDisplay520Class::%s +\n", "readModeList");
    auto dev = session();
    if (!dev) return 1;
    if (view < 0 || view >= VEL_MAX_VIEWS) {
        vel_Printf("[error] - VelDisplay520Class::%s view %d out of range -\n", "readModeList",
                   view);
        return 38;
    }
    {
        std::lock_guard<std::mutex> lk(m_mapMutex);
        m_viewTarget[view] = target;
    }
    const uint16_t dd = headerDevice(findDeviceIdByTargetId(target));
    std::vector<uint8_t> list;
    {
        ExchangeLock lock(commandLock);
        int rc = 0;
        Response r;
        rc = exchange(SEM_QUERY, groupOf(dd), 0, dd, static_cast<uint16_t>(target), CLASS_QUERY,
                      QUERY_MODE_LIST, nullptr, 0, &r);
        if (rc != 0) {
            lock.release();
            if (rc != 1)
                vel_Printf("[error] - VelDisplay520Class::%s SendCommand Error Ret=%d -\n",
                           "readModeList", rc);
            return rc;
        }
        if (r.errorFlag || r.dataClass != CLASS_QUERY || r.dataType != QUERY_MODE_LIST) {
            lock.release();
            vel_Printf("- VelDisplay520Class::%s Ret=%d -\n", "readModeList", 38);
            std::fill(std::begin(dev->modeList[view]), std::end(dev->modeList[view]),
                      CAPS_MODE_STRUCT{0, 0, 0, 0});
            return 38;
        }
        list.assign(r.payload, r.payload + std::min<size_t>(r.payloadLength, kModeListLimit));
    }
    vel_Printf("- VelDisplay520Class::%s Ret=%d -\n", "readModeList", 0);
    // Entries of an earlier monitor of the view must not survive a shorter list.
    std::fill(std::begin(dev->modeList[view]), std::end(dev->modeList[view]),
              CAPS_MODE_STRUCT{0, 0, 0, 0});
    const size_t count = std::min<size_t>(list.size() / kModeEntrySize, VEL_MODES_PER_VIEW);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* e = list.data() + i * kModeEntrySize;
        CAPS_MODE_STRUCT m{getU16(e), getU16(e + 2), getU16(e + 5), e[4]};
        dev->modeList[view][i] = m;
        vel_Printf("devId[%d] FW GetModeList w=%d h=%d bpp=%d whz=%d\n", deviceIndex,
                   static_cast<int>(m.width), static_cast<int>(m.height), static_cast<int>(m.bpp),
                   static_cast<int>(m.refresh));
    }
    return 0;
}

int VelDisplay520Class::vl520Setmode(unsigned short source, unsigned short target,
                                     const VEL_MODE* mode, unsigned char powerMode) {
    vel_Print("+ VelDisplay520Class::vl520Setmode +\n");
    unsigned char payload[sizeof(VEL_MODE) + 1] = {};
    if (mode) memcpy(payload, mode, sizeof(VEL_MODE));
    payload[sizeof(VEL_MODE)] = powerMode;
    const uint16_t dd = headerDevice(findDeviceIdBySourceId(source));
    ExchangeLock lock(commandLock);
    int rc = 0;
    Response r;
    rc = exchange(SEM_CONTROL, groupOf(dd), source, dd, target, CLASS_CONTROL, CTRL_SET_MODE,
                  payload, sizeof payload, &r);
    if (rc != 0) {
        lock.release();
        if (rc != 1)
            vel_Printf("- VelDisplay520Class::vl520Setmode SendCommand Error Ret=%d -\n", rc);
        return rc;
    }
    if (r.errorFlag || r.dataClass != CLASS_CONTROL || r.dataType != CTRL_SET_MODE) {
        if (r.errorFlag)
            vel_Printf("[error] (%s):ReadbackBuffer.Flag:%d, DataClass:%d, DataType:%d\n",
                       "vl520Setmode", 1, r.dataClass, r.dataType);
        else
            vel_Printf("[error] (%s): DATATYPE dismatch, DataClass:%d, DataType:%d\n",
                       "vl520Setmode", r.dataClass, r.dataType);
        lock.release();
        vel_Printf("[error] (%s): VelDisplay520Class::vl520Setmode fail Ret=%d -\n", "vl520Setmode",
                   80);
        return 80;
    }
    lock.release();
    vel_Printf("- VelDisplay520Class::vl520Setmode Ret=%d -\n", 0);
    return 0;
}

int VelDisplay520Class::setLayer(unsigned short source, unsigned int layer, int left, int top,
                                 int right, int bottom) {
    vel_Printf("+ VelDisplay520Class::%s +\n", "setLayer");
    unsigned char payload[16] = {};
    putU32(payload, layer);
    putU16(payload + 4, static_cast<uint16_t>(left));
    putU16(payload + 6, static_cast<uint16_t>(top));
    putU16(payload + 8, static_cast<uint16_t>(right - left));
    putU16(payload + 10, static_cast<uint16_t>(bottom - top));
    const uint16_t dd = headerDevice(findDeviceIdBySourceId(source));
    ExchangeLock lock(commandLock);
    int rc = 0;
    Response r;
    rc = exchange(SEM_CONTROL, groupOf(dd), 0, dd, 0, CLASS_CONTROL, CTRL_SET_LAYER, payload,
                  sizeof payload, &r);
    if (rc != 0) {
        lock.release();
        if (rc != 1)
            vel_Printf("- VelDisplay520Class::%s SendCommand Error Ret=%d -\n", "setLayer", rc);
        return rc;
    }
    int result = 0;
    if (r.errorFlag || r.dataClass != CLASS_CONTROL || r.dataType != CTRL_SET_LAYER) {
        result = 87;
        vel_Printf("[error]- VelDisplay520Class::%s Ret=%d DisplayDeviceId_%d -\n", "setLayer",
                   result, dd);
    }
    lock.release();
    vel_Printf("- VelDisplay520Class::%s Ret=%d DisplayDeviceId_%d -\n", "setLayer", result, dd);
    return result;
}

int VelDisplay520Class::controlLayer(unsigned short target, unsigned int layer,
                                     unsigned int layerStatus) {
    vel_Printf("+ VelDisplay520Class::controlLayer(), LayerStatus= %d +\n", layerStatus);
    unsigned char payload[5] = {};
    putU32(payload, layer);
    payload[4] = static_cast<unsigned char>(layerStatus ? 1 : 0);
    const uint16_t dd = headerDevice(findDeviceIdByTargetId(target));
    ExchangeLock lock(commandLock);
    int rc = 0;
    Response r;
    rc = exchange(SEM_CONTROL, groupOf(dd), 0, dd, target, CLASS_CONTROL, CTRL_LAYER, payload,
                  sizeof payload, &r);
    if (rc != 0) {
        lock.release();
        logSendError("controlLayer", rc);
        return rc;
    }
    lock.release();
    vel_Printf("- VelDisplay520Class::controlLayer Ret=%d DisplayDeviceId_%d-\n", 0, dd);
    return 0;
}

int VelDisplay520Class::setOverlayOn(int target) {
    const auto t = static_cast<unsigned short>(target);
    controlLayer(t, 0, 0);
    controlLayer(t, 1, 0);
    controlLayer(t, 1, 1);
    return 0;
}

int VelDisplay520Class::sendPortLatestTopo(int source, int target, void* modeInfo) {
    const int dd = findDeviceIdByTargetId(target);
    if (dd == kNoDisplayDevice) {
        vel_Printf(
            "= VelDisplay520Class::%s: viewId[%d] tgtId[0x%x] m_IDDisplayDevice2MonitorMap "
            "findDeviceIdByTargetId failed! =\n",
            "sendPortLatestTopo", source, target);
        return 1;
    }
    _VEL_MODE_RECORD_ record{};
    if (modeInfo) memcpy(&record, modeInfo, sizeof record);
    // A display device without its source takes no image packet: the monitor would stay dark
    // while every later step succeeds. A failed bind fails this attempt, so that setMode sends
    // the topology again (1 is a class or adapter going away: nothing to retry for).
    const int bound = bindSource2DisplayDevice(static_cast<unsigned short>(source),
                                               static_cast<unsigned short>(dd));
    if (bound != 0 && bound != 1) return bound;
    VEL_MODE mode{record.width, record.height, record.bpp, record.refresh};
    vel_Printf("= Send Topo VL520:[%dx%d-%d] BPP[%d] PM[%d] =\n", mode.width, mode.height,
               mode.refresh, mode.bpp, 3);
    int rc = vl520Setmode(static_cast<unsigned short>(source), static_cast<unsigned short>(target),
                          &mode, 3);
    if (rc != 0) vel_Printf("%s: SetMode Error! ret = 0x%x\n", "sendPortLatestTopo", rc);
    setLayer(static_cast<unsigned short>(source), 1, 0, 0, mode.width, mode.height);
    return 0;
}

// EVDI mode change of `view` (EVDI event thread). 0; 1 exiting or a bad view. A view whose
// monitor has no display device after three attempts ends the service.
int VelDisplay520Class::setMode(int view) {
    if (displayClassExitFlag) {
        vel_Printf("VelDisplay520Class::%s: displayClassExitFlag is true, return!\n", "setMode");
        return 1;
    }
    auto dev = session();
    if (!dev || view < 0 || view >= VEL_MAX_VIEWS) return 1;
    const int target = dev->viewTable[view].second;
    _VEL_MODE_RECORD_ record{};
    record.view = static_cast<uint8_t>(view);
    record.target = static_cast<uint8_t>(target);
    {
        std::lock_guard<std::mutex> lk(dev->evdiGrabMutex[view]);
        record.width = static_cast<uint16_t>(dev->evdiBuffer[view].width);
        record.height = static_cast<uint16_t>(dev->evdiBuffer[view].height);
    }
    record.bpp = 32;
    record.refresh = static_cast<uint16_t>(dev->refreshRate[view]);
    zeroFrameIndex();
    int rc = 0;
    for (int attempt = 1; attempt <= kSetModeAttempts; ++attempt) {
        rc = sendPortLatestTopo(view, target, &record);
        if (rc == 0) break;
        if (attempt < kSetModeAttempts) {
            vel_Printf(
                "[warning] Dev[%d]view[%d] set mode command error code = 0x%x!, Try sending the "
                "command again!\n",
                deviceIndex, view, rc);
        } else {
            vel_Printf(
                "[error](%s) Dev[%d]view[%d] set mode command error code = 0x%x!, Try to reset "
                "application!\n",
                "setMode", deviceIndex, view, rc);
            vel520Abort(dev);
        }
    }
    setOverlayOn(target);
    monitorControl(0);
    setCursorState(0, 0, view, 0);
    return 0;
}

// Monitor tear-down of `source` (plug-out flow). The delete's result; 1 when neither the source
// nor the monitor the view was set up for has a display device; an unbind's failure at once.
int VelDisplay520Class::setDisplayClassTopo(int source) {
    int dd = findDeviceIdBySourceId(source);
    int target = findTargetIdBySourceId(source);
    const bool sourceBound = dd != kNoDisplayDevice;
    int setUpTarget = -1;
    if (source >= 0 && source < VEL_MAX_VIEWS) {
        std::lock_guard<std::mutex> lk(m_mapMutex);
        setUpTarget = m_viewTarget[source];
        m_viewTarget[source] = -1;
    }
    if (!sourceBound && setUpTarget >= 0) {
        // A monitor unplugged before the desktop set a mode: its display device and EDID must
        // go all the same, or the next plug-in of the target finds them taken.
        dd = findDeviceIdByTargetId(setUpTarget);
        target = setUpTarget;
    }
    if (dd == kNoDisplayDevice) {
        vel_Printf(
            "= VelDisplay520Class::%s: viewId[%d] tgtId[0x%x] m_IDDisplayDevice2MonitorMap "
            "findDeviceIdByTargetId failed! =\n",
            "setDisplayClassTopo", source, target);
        return 1;
    }
    const auto d = static_cast<unsigned short>(dd);
    int rc = 0;
    if (sourceBound) {
        rc = unbindSource2DisplayDevice(static_cast<unsigned short>(source), d);
        if (rc != 0) return rc;
    }
    rc = unbindMonitor2DisplayDevice(d, static_cast<unsigned short>(target));
    if (rc != 0) return rc;
    rc = deleteDisplayDevice(d);
    std::lock_guard<std::mutex> lk(m_mapMutex);
    if (target2EDIDMap.erase(static_cast<short>(target)) == 0)
        vel_Printf("[error]  targetId %d not found in target2EDIDMap\n", target);
    return rc;
}
