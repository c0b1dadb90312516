// VelDisplay520Class: the model-520 protocol behind the display-class interface.
// Created by the device manager for product IDs 0x0520, 0x0522 and 0x520A.
//
// Concurrency (the rules of the whole class, written once here):
// - Commands are issued from several threads (bring-up, heartbeat, EVDI handlers, hot-plug
//   workers, the pipeline). Each request/response exchange holds `commandLock` (recursive) from
//   before its send until it has copied its answer out of `rxBuffer`, or has failed.
// - Before sending, the exchange arms the (kind, group) slot it will wait on. The receive thread
//   (`fwStatusThread`) is the only reader of the IN endpoint and the only writer of `rxBuffer`;
//   it delivers a response only into an armed slot, posts that slot's semaphore and then waits
//   (bounded) for the waiter to take it before it reads the next message, so `rxBuffer` holds
//   one response at a time. A response nobody waits for is logged and dropped at once.
// - Threads of this class (receive, heartbeat) hold a shared reference to the object and only a
//   weak one to the session: every use of the session locks it, and a thread gives up quietly
//   once the session is gone, has stopped running, or `displayClassExitFlag` is set.
// - Every USB transfer of the class runs under `txMutex` (OUT) or `rxMutex` (IN) after a fresh
//   check of the exit flags; `fwExeClean` raises the flag and then takes both, so once it has
//   returned no transfer of this class is in flight or starts, and the manager may close the
//   handle.
#pragma once

#include <semaphore.h>

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "display/VelDisplayClassDriverBase.h"
#include "display/vel520Protocol.h"
#include "service/OrfeLock.h"

// Response semaphores of every 520 device: [device index][group][kind].
extern sem_t semaphores[2][vel520::kSemGroups][vel520::kSemKinds];
// Initialises the 12 semaphores of `deviceIndex` to 0 for `owner`; cleanup destroys them only
// for the owner that initialised them (a re-plugged adapter reuses the index while the old
// object may still be on its way out).
void initialize_semaphores(int deviceIndex, const void* owner = nullptr);
void cleanup_semaphores(int deviceIndex, const void* owner = nullptr);

// Guards the per-view frame-index counters of every model-520 session (updateFrameIndex).
extern CMutex g_Lock520;

class VelDisplay520Class : public VelDisplayClassBase,
                           public std::enable_shared_from_this<VelDisplay520Class> {
  public:
    VelDisplay520Class(VelDev* dev, int key);
    ~VelDisplay520Class() override;

    // Called once right after construction (device-open thread): allocates the version texts,
    // clears this device's control-block record (request, done, version-valid and the log
    // counters) and takes a weak reference to the owning session from the device table.
    void initValue();
    // Binds the owning session explicitly (tests, or a caller that holds the session already).
    void bindSession(const std::weak_ptr<VelDev>& session);
    // The owning session, or null once it is gone.
    std::shared_ptr<VelDev> session() const;

    // ---- interface operations (vel520Bringup.cpp, vel520Transport.cpp) ----
    void* initCmds() override;
    void* fwStatusThread() override;
    void checkMonitorStatus(void* vportInfo, std::set<int> positions, bool recheck) override;
    int dataHeaderPackage(const void* frameRecord, void* packet, _VELRECT rect, int jpegSize,
                          int sourceIndex) override;
    int checkFrameIndex(unsigned char* data) override;
    int setCursorState(int x, int y, int view, int visible) override;
    int setCursorImage(evdi_cursor_set cursor, int view) override;
    int sendHeartBeat(void* session) override;
    // What the heartbeat does after the client's requests were taken: beat on, or end (after
    // its last log line, or quietly).
    enum class ClientRequests { Done, End, EndQuietly };
    // One read of this class's control-block record and the requests in it (firmware log, FPS
    // printing, power mode). Heartbeat thread.
    ClientRequests takeClientRequests(const std::shared_ptr<VelDev>& dev);
    int recvHeartBeat(void* session) override;
    int controlHeartbeat(unsigned char status) override;
    int getDeviceCaps(unsigned char* caps, unsigned int* length) override;
    int getFWVersion(unsigned char type, unsigned char* text, unsigned int* length) override;
    int setPowerStatus(int status) override;
    int zeroFrameIndex() override;
    int init() override;
    int resetDevice(int) override;
    int sendPatchCommand(int, unsigned int) override;
    int fwExeClean() override;
    void printFwVersion() override;

    // ---- cursor, display power and frame index (vel520Cursor.cpp) ----
    // Cursor calls come from the EVDI event thread; they log failures and return the send
    // result (0 sent). A cursor image is checked before anything is sent: no buffer, a zero
    // size or a stride below width * 4 is refused (result 2); an image of more than 65,536
    // bytes (height x stride) is cut to its first rows that fit, and refused when not even one
    // row fits.
    int doDpmsState(int view, int dpmsMode) override;
    int monitorControl(int off) override;
    int vportControl(unsigned short displayDevice, unsigned short target, int off) override;
    // Next frame index of the view (any pipeline thread); 0 when the counter wrapped or the
    // view does not exist.
    uint32_t updateFrameIndex(unsigned short view) override;

    // Cursor image cache: images the adapter already holds, by slot (cursor id = 200 + slot).
    static constexpr int kCursorSlots = 200;
    // Power-on commands bring-up sends before it gives up on an acknowledgement.
    static constexpr int kPowerOnAttempts = 3;
    static constexpr size_t kCursorSlotSize = 65536;
    // Slots in use and the byte count of slot `slot` (tests).
    int cursorSlotsInUse() const;
    size_t cursorSlotBytes(int slot) const;

    // ---- display devices and mode set (vel520Display.cpp) ----
    // Monitor set-up and tear-down run on the hot-plug worker (under plugMutex) or a session
    // thread; setMode on the EVDI event thread. Each exchange blocks up to 3 s under
    // commandLock. Results: 0, 1 when exiting or not found, else the operation's code.
    int readMonitorEDID(int target, unsigned char* edid, unsigned int* length) override;
    int readModeList(unsigned char* buffer, int target, int view) override;
    int createDisplayDevice(unsigned short* displayDevice, unsigned short monitorId) override;
    int deleteDisplayDevice(unsigned short displayDevice) override;
    int bindMonitor2DisplayDevice(unsigned short displayDevice, unsigned short target) override;
    int bindSource2DisplayDevice(unsigned short source, unsigned short displayDevice) override;
    int unbindSource2DisplayDevice(unsigned short source, unsigned short displayDevice) override;
    int unbindMonitor2DisplayDevice(unsigned short displayDevice, unsigned short target) override;
    int setMode(int view) override;
    int sendPortLatestTopo(int source, int target, void* modeInfo) override;
    int controlLayer(unsigned short target, unsigned int layer, unsigned int layerStatus) override;
    int setOverlayOn(int target) override;
    int setDisplayClassTopo(int source) override;
    int findDeviceIdBySourceId(int source) override;
    int findTargetIdBySourceId(int source) override;
    int findDeviceIdByTargetId(int target);
    int findSourceIdByTargetId(int target);
    // 2 unchanged, 1 changed, 3 flagged or mismatched answer, 4 exiting, no answer or no stored
    // EDID; 0 when the target has no display device.
    int boolMonitorEdidChanged(int target);
    int vl520Setmode(unsigned short source, unsigned short target, const vel520::VEL_MODE* mode,
                     unsigned char powerMode);
    // Layer rectangle from its edges (width = right - left, height = bottom - top).
    int setLayer(unsigned short source, unsigned int layer, int left, int top, int right,
                 int bottom);

    // ---- notifications and port hot-plug (vel520Notify.cpp) ----
    // Evaluates the 3 target bytes of a hot-plug notification and starts its worker. Receive
    // thread; never blocks on plugMutex or pnpMutex. Returns 0.
    int doPortPnP(void* data);
    // The work of one hot-plug notification: the new port record, the positions to act on and
    // whether nothing changed.
    struct _VELDC_MONITOR_PNP_VPORT_INFO_ {
        uint8_t vPort[8];
    };
    struct PnpWork {
        _VELDC_MONITOR_PNP_VPORT_INFO_ info;
        std::set<int> positions;
        bool recheck = false;
    };
    // Worker body ("pnp_Thread"): waits for bring-up, checks the firmware, then runs
    // checkMonitorStatus under pnpMutex. Detached; holds a shared reference to this object.
    void pnpThreadfunc(PnpWork work);
    int processingFrameIndexMessage(unsigned char* data, int);

    // ---- transport (vel520Transport.cpp) ----
    // Sends one command. Returns 0 sent, 1 refused (exiting), 2 send failure or no input node,
    // 3 out of memory. Does not wait for the response; any thread.
    int sendCommand(unsigned short source, unsigned short displayDevice, unsigned short target,
                    unsigned char dataClass, unsigned char dataType, unsigned char response,
                    unsigned char* payload, unsigned int length);
    // One bulk IN transfer into a kRxBufferSize buffer; returns the libusb status. Receive
    // thread only.
    int recvCommand(unsigned char* buffer);
    // Finishes the image packet in place (wire header, JPEG rounding, decoder header, filler).
    // Returns 0, or 2 when no input node or the packet is too small. Encoder threads.
    int dataPackage(int sourceIndex, void* packet);
    int writeBulkPipeTo(unsigned char* buffer, int length);
    int readBulkPipeFrom(unsigned char* buffer, int length);
    void initEndpoint();
    int HandleQuerryMessage(unsigned int, unsigned char, unsigned char, unsigned char* message,
                            unsigned int length);

    // Notifications (class 4) from the receive thread. Returns 0 handled, -1 invalid buffer.
    // Hot-plug and frame-index handling are filled in by their own modules.
    int handleNotifyMessage(unsigned char dataClass, unsigned char dataType, unsigned char* message,
                            unsigned int length);
    // ---- firmware update and firmware log (vel520Firmware.cpp) ----
    // A firmware-log block (class 0 type 48) of `length` valid bytes, after the receive thread
    // has woken the heartbeat's wait for the first block: under fwLogMutex, a copy of the block
    // is handled by ProcessFWLogResponse on a thread of its own, which the receive thread waits
    // for; the block that finishes the download reopens the heartbeat (detached thread).
    // Receive thread.
    void handleFwLogBlock(const unsigned char* message, size_t length);
    // Handles one log block copy of `length` bytes (at most kRxBufferSize; the default is for a
    // copy of the whole receive buffer) against this device's control-block record; takes
    // ownership of `block` (malloc'ed) and frees it. Returns 0 when the block was taken, -1 when
    // it was refused (logged).
    int ProcessFWLogResponse(unsigned char* block, size_t length = vel520::kRxBufferSize);
    // The firmware check of bring-up and of every hot-plug worker: opens the host images, and if
    // the host's firmware image is newer than the adapter's, sends it and ends the service
    // through DevManager::usb_abort (does not return then). Returns 0 otherwise.
    int firmWareVersionCheck(int deviceIndex);
    // 0 when the image was sent (fwUpdatedFlag set), 1 when nothing was updated or it failed.
    int checkAndUpdateFw(_FILES* files) override;
    int promptUpdateFw(bool update, bool, _FILES* files) override;
    // Send one image: 0 sent, 1 failed (both logged).
    int updateFwOnly(_FILES* files) override;
    int updateBl1Only(_FILES* files) override;
    using VelDisplayClassBase::updateBl1Only;  // the 50x family's SROM overload stays visible
    // Reads the whole image of `type` (DATA_FIRMWARE or DATA_BL1) and sends it as one class-2
    // command without response (header-first when large). Returns sendCommand's result, or 1
    // when the image cannot be read whole or the type is unknown: a cut or empty image is never
    // sent.
    int fwUpdate(unsigned char type, _FILES* files) override;

    // ---- exchange helpers (vel520Transport.cpp) ----
    // A response as the waiter sees it: header fields and the payload bounded by what arrived
    // and by kRxBufferSize.
    struct Response {
        bool errorFlag = false;
        uint8_t dataClass = 0;
        uint8_t dataType = 0;
        uint16_t displayDevice = 0;
        const uint8_t* payload = nullptr;
        uint32_t payloadLength = 0;
    };
    // Initialises this device's response semaphores for this object (bring-up step 2).
    void prepareResponses();
    // Marks the slot the coming response must land in; call under commandLock before sending.
    void armResponse(int kind, int group);
    void disarmResponse(int kind, int group);
    // Waits up to 3 s for the armed slot. 0 with `*out` filled; 1 when the device or this object
    // went away meanwhile. A response missing while the device is still there ends the service.
    int waitResponse(int kind, int group, Response* out);

    // ---- state, in the protocol's declaration order ----
    uint8_t sessionTag = 0;
    COrfeLock commandLock;  // serialises request/response exchanges (recursive)
    std::set<int> changedPorts;
    std::map<short, std::array<unsigned char, 128>> target2EDIDMap;
    std::mutex pnpMutex;      // one hot-plug worker at a time
    std::mutex plugMutex;     // one plug-in, plug-out or EDID check at a time
    std::mutex fwLogMutex;    // one firmware-log block at a time
    std::mutex fwCheckMutex;  // one firmware check at a time (bring-up, hot-plug workers)
    uint8_t vPort_Record[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    std::vector<int> portTargetTable{0x20, 0x21, 0x22, 0x33, 0x34, 0x45, 0x16, 0x07, 0xEE};
    unsigned char* rxBuffer = nullptr;                 // kRxBufferSize bytes, from init
    vel520::InputNodeTable* inputNodeTable = nullptr;  // from init
    std::atomic<uint32_t> lastHeartbeatStatus{0};      // heartbeat thread and the log's reopening
    unsigned char capsBuffer[vel520::kCapsBufferSize] = {};
    unsigned int capsLength = 0;
    char* fwVersionInBoard = nullptr;  // 124 bytes
    char* pBL1Ver = nullptr;           // 124 bytes
    bool fwUpdatedFlag = false;

    // Process-wide count of failed command sends (all 520 devices; never reset).
    static std::atomic<int> s_sendFailures;

  private:
    int exchange(int kind, int group, unsigned short source, unsigned short displayDevice,
                 unsigned short target, unsigned char dataClass, unsigned char dataType,
                 unsigned char* payload, unsigned int length, Response* r);
    bool exiting(const std::shared_ptr<VelDev>& dev) const;
    // Binds (`bind`) or unbinds a monitor and its display device and keeps the session's map in
    // step; `name` and `failCode` are the operation's log name and result for a refusal.
    int monitorBinding(const char* name, bool bind, unsigned short displayDevice,
                       unsigned short target, int failCode);
    void routeResponse(const unsigned char* message, size_t length);
    int sendTransfer(const std::shared_ptr<VelDev>& dev, unsigned char* data, int length);

    std::weak_ptr<VelDev> m_session;
    std::mutex txMutex;       // held around every OUT transfer of this class (see above)
    std::mutex rxMutex;       // held around every IN transfer of this class
    size_t m_rxLength = 0;    // valid bytes in rxBuffer; written before the post, read after it
    size_t m_recvLength = 0;  // bytes of the last recvCommand (receive thread only)
    // Armed response slots: [group][kind], 1 while an exchange waits there.
    std::atomic<int> m_armed[vel520::kSemGroups][vel520::kSemKinds] = {};
    std::atomic<bool> m_semInitialised{false};
    // Guards the session's m_IDSource2DisplayDeviceMap and m_IDDisplayDevice2MonitorMap and
    // target2EDIDMap. Never held across a device exchange.
    mutable std::mutex m_mapMutex;
    // The monitor each view was set up for (readModeList), -1 none; guarded by m_mapMutex. Lets
    // the tear-down of a view that never had a mode set (no source bound) find its display
    // device.
    int m_viewTarget[3] = {-1, -1, -1};

    // Cursor cache (vel520Cursor.cpp), guarded by m_cursorMutex; slots are allocated when
    // first used. m_cursorPacket is the record plus the image area of one cursor packet.
    mutable std::mutex m_cursorMutex;
    std::vector<std::vector<unsigned char>> m_cursorSlots;
    int m_cursorSlotsUsed = 0;
    std::vector<unsigned char> m_cursorPacket;
    // Display device (0 when none) and target of a view, for the cursor and power commands.
    void viewDevice(int view, uint16_t* displayDevice, uint16_t* target, bool* found);

  public:
    // Holds m_mapMutex (for readers outside the class: tests, the packet path).
    std::unique_lock<std::mutex> lockMaps() const {
        return std::unique_lock<std::mutex>(m_mapMutex);
    }
};
