// VelDisplayClassBase: the one interface through which sessions, EVDI handlers and the frame
// pipeline reach an adapter. Each session owns exactly one object of its adapter's generation
// (VelDisplay520Class or VelDisplayClass508). An operation a generation does not implement keeps
// the base behaviour: a fixed result and no effect.
//
// Threads: operations may be called from any session thread (EVDI handlers, pipeline threads,
// the hot-plug workers, the device manager's clean-up). Command operations of a generation do
// USB I/O and may block up to their response time-out; once `displayClassExitFlag` is set they
// return 1 without touching the device. Results are int, 0 for success, unless stated.
//
// The virtual operations are declared in their slot order; keep it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <set>

#include "display/displayTypes.h"
#include "pipeline/pipelineRecords.h"
#include "session/evdiApi.h"

struct libusb_device_handle;
class VelDev;

class VelDisplayClassBase {
public:
    virtual ~VelDisplayClassBase() = default;

    // Bring-up thread body (detached, started second at device open). Returns null.
    virtual void* initCmds() { return nullptr; }
    // Receive thread body (detached, started first at device open). Returns null.
    virtual void* fwStatusThread() { return nullptr; }
    // Hot-plug worker: re-reads the monitors at `positions`; `recheck` when nothing changed.
    virtual void checkMonitorStatus(void* vportInfo, std::set<int> positions, bool recheck) = 0;
    // Fills the wire and data headers of an encoded packet (encoder threads).
    virtual int dataHeaderPackage(const void* frameRecord, void* packet, _VELRECT rect,
                                  int jpegSize, int sourceIndex) = 0;
    // Frame-index feedback from the adapter (receive thread).
    virtual int checkFrameIndex(unsigned char* data) = 0;
    // Cursor position and visibility (EVDI epoll thread).
    virtual int setCursorState(int x, int y, int view, int visible) = 0;
    // Cursor image upload (EVDI epoll thread).
    virtual int setCursorImage(evdi_cursor_set cursor, int view) = 0;
    virtual int sendHeartBeat(void* session) { (void)session; return 0; }
    virtual int recvHeartBeat(void* session) { (void)session; return 0; }
    // Sets the view's current EVDI mode on the adapter (EVDI mode-change handler).
    virtual int setMode(int view) { (void)view; return 0; }
    virtual int doDpmsState(int view, int dpmsMode) { (void)view; (void)dpmsMode; return 0; }
    virtual int controlHeartbeat(unsigned char status) { (void)status; return 0; }
    virtual int monitorControl(int off) { (void)off; return 0; }
    virtual int vportControl(unsigned short displayDevice, unsigned short target, int off) {
        (void)displayDevice; (void)target; (void)off; return 0;
    }
    // Reads a monitor's EDID into `edid`; `*length` is the buffer size in and the EDID size out.
    virtual int readMonitorEDID(int target, unsigned char* edid, unsigned int* length) {
        (void)target; (void)edid; (void)length; return 0;
    }
    virtual int readModeList(unsigned char* buffer, int target, int view) {
        (void)buffer; (void)target; (void)view; return 0;
    }
    virtual int createDisplayDevice(unsigned short* displayDevice, unsigned short monitorId) {
        (void)displayDevice; (void)monitorId; return 0;
    }
    virtual int deleteDisplayDevice(unsigned short displayDevice) { (void)displayDevice; return 0; }
    virtual int bindMonitor2DisplayDevice(unsigned short displayDevice, unsigned short target) {
        (void)displayDevice; (void)target; return 0;
    }
    virtual int bindSource2DisplayDevice(unsigned short source, unsigned short displayDevice) {
        (void)source; (void)displayDevice; return 0;
    }
    virtual int unbindSource2DisplayDevice(unsigned short source, unsigned short displayDevice) {
        (void)source; (void)displayDevice; return 0;
    }
    virtual int unbindMonitor2DisplayDevice(unsigned short displayDevice, unsigned short target) {
        (void)displayDevice; (void)target; return 0;
    }
    virtual int sendDataPackage(unsigned short, unsigned char, unsigned char, unsigned char,
                                _VELDC_DATA_HEADER_*, unsigned char*, unsigned int, unsigned int,
                                unsigned int) {
        return 0;
    }
    virtual int getWorkMode(unsigned int*) { return 0; }
    virtual int getDeviceCaps(unsigned char* caps, unsigned int* length) {
        (void)caps; (void)length; return 0;
    }
    virtual int getSerialNum(unsigned char*, unsigned int*) { return 0; }
    virtual int setSerialNum(unsigned char*, unsigned int) { return 0; }
    virtual int fwUpdate(unsigned char type, _FILES* files) { (void)type; (void)files; return 0; }
    virtual int fwUpdateWithSrom(unsigned char, unsigned char*, unsigned int) { return 0; }
    virtual int sendPortLatestTopo(int source, int target, void* modeInfo) {
        (void)source; (void)target; (void)modeInfo; return 0;
    }
    virtual int getFWVersion(unsigned char type, unsigned char* text, unsigned int* length) {
        (void)type; (void)text; (void)length; return 0;
    }
    virtual int getSromDefaultInfo(unsigned char*) { return 0; }
    virtual int setPowerStatus(int status) { (void)status; return 0; }
    virtual int zeroFrameIndex() { return 0; }
    virtual int init() { return 0; }
    virtual int getFwLog() { return 0; }
    virtual int resetDevice(int) = 0;
    virtual int sendPatchCommand(int, unsigned int) = 0;
    virtual int sendVpuFirmware(unsigned char*, unsigned int) { return 0; }
    virtual int controlLayer(unsigned short target, unsigned int layer, unsigned int layerStatus) {
        (void)target; (void)layer; (void)layerStatus; return 0;
    }
    virtual int upgradeFw0(_SROM_INFO_DEFAULT_*, _FILES*, unsigned char*) { return 0; }
    virtual int upgradeFw1(_SROM_INFO_DEFAULT_*, _FILES*, unsigned char*) { return 0; }
    virtual int upgradeBl0(_SROM_INFO_DEFAULT_*, _FILES*, unsigned char*) { return 0; }
    virtual int updateFwMain(libusb_device_handle*) { return 0; }
    virtual int checkAndUpdateFw(_FILES* files) { (void)files; return 0; }
    virtual int updateFwOnly(_FILES* files) { (void)files; return 0; }
    virtual int updateBl1Only(_FILES* files) { (void)files; return 0; }
    virtual int promptUpdateFw(bool update, bool, _FILES* files) {
        (void)update; (void)files; return 0;
    }
    virtual int upgradeBl1_0(_SROM_INFO_*, _FILES*, unsigned char*) { return 0; }
    virtual int upgradeBl1_1(_SROM_INFO_*, _FILES*, unsigned char*) { return 0; }
    virtual int updateRomInfo(_SROM_INFO_*, _FILES*, unsigned char*) { return 0; }
    // Raises displayClassExitFlag so the class's threads stop (device clean-up).
    virtual int fwExeClean() { return 0; }
    virtual int readIntQ(int, unsigned char*, int*) { return 1; }
    virtual int readInterrupt(int, VELPTC_CONTROL_RET*) { return 1; }
    virtual int updateBl1Only(_SROM_INFO_*, _FILES*, unsigned char*) { return 1; }
    virtual int doUpgradeFwOnly(_SROM_INFO_*, _FILES*, unsigned char*) { return 1; }
    virtual int doUpgradeFwAll(_SROM_INFO_*, _FILES*, unsigned char*) { return 1; }
    // Reads the version text of a host firmware file (shared by both generations).
    // Returns 1 with `version` filled (at most 31 characters), else 0. Does not close `file`.
    virtual int getLocalFw1Ver(FILE* file, char* version);
    virtual int setOverlayOn(int target) { (void)target; return 0; }
    virtual int readSromInfo(void*, int, int) { return 0; }
    virtual int readSerialNumber(int, void*, unsigned int*) { return 0; }
    virtual int changeAdpterSerialNumber(void*, int, int) { return 0; }
    virtual int setDisplayClassTopo(int source) { (void)source; return 0; }
    virtual int resetFrameIndex() { return 0; }
    virtual int optDoPmState(int) { return 0; }
    virtual uint32_t updateFrameIndex(unsigned short view) { (void)view; return 0; }
    virtual void printFwVersion() {}
    virtual int findDeviceIdBySourceId(int source) { (void)source; return 0; }
    virtual int findTargetIdBySourceId(int source) { (void)source; return 0; }

    // Common state, set by the device manager right after creation.
    VelDev* m_dev = nullptr;            // owner session (not owned)
    int deviceIndex = 0;                // 0 or 1: response semaphores and control-block record
    char hostFwVersion[32] = {0};       // version text of the host firmware file
    // Raised once by fwExeClean (the manager's thread); polled by the class's own threads and
    // by every command before it touches USB.
    std::atomic<bool> displayClassExitFlag{false};
};

// Counts one detached thread of a display class (receive, bring-up, heartbeat, hot-plug workers)
// from its creation until its callable is destroyed at the thread's end: create it where the
// thread is created and move it into the thread's callable, and let the body drop its own
// references to the class before it returns, so that they are gone when the count is. The
// device manager waits for the count to reach zero before it lets go of the control block and
// of g_dev, which those threads use without a lock.
class ClassThreadTicket {
  public:
    ClassThreadTicket();
    ~ClassThreadTicket();
    ClassThreadTicket(ClassThreadTicket&& other) noexcept : m_held(other.m_held) {
        other.m_held = false;
    }
    ClassThreadTicket(const ClassThreadTicket&) = delete;
    ClassThreadTicket& operator=(const ClassThreadTicket&) = delete;
    ClassThreadTicket& operator=(ClassThreadTicket&&) = delete;

  private:
    bool m_held = true;
};

// Waits at most `limit` until no ticketed display-class thread of the process runs. True when
// none does. Any thread but a ticketed one.
bool velWaitClassThreads(std::chrono::milliseconds limit);

// The version-text scan behind getLocalFw1Ver, on bytes already in memory (exposed for tests and
// for the client's host-version query). Returns 1 and fills `version` (at most `cap` - 1
// characters and a terminator), else 0.
int velScanFwVersionTail(const unsigned char* data, size_t size, char* version, size_t cap);
