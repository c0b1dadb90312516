// VelDisplayClass508: the 50x-family protocol behind the display-class interface.
// Created by the device manager for product IDs 0x0508, 0x0505 and 0x0500.
//
// Concurrency (the rules of the whole class, written once here):
// - One receive thread per session (`fwStatusThread`) is the only reader of the interrupt IN
//   endpoint while it runs. It sorts every packet into the session's receive queues (EDID, mode
//   list, capabilities, general, ten control-reply slots); callers on any thread (bring-up,
//   heartbeat, hot-plug workers, EVDI handlers, firmware update) send a command and then take
//   the oldest packet of the queue its answer goes to. Answers are matched by queue only, never
//   by request: two requests of one kind in flight at once are not told apart.
// - Readers wait on the queue's condition variable in slices, so every wait ends within its
//   budget (control replies about 100 ms, then about 100 ms for an 0xFF answer; EDID about 8 s;
//   the other queues about 2 s), at once on a cancelled queue, and within a slice once the
//   class or its session is exiting.
// - Threads of this class (receive, bring-up, bulk heartbeat, hot-plug workers) hold a shared
//   reference to the object and only a weak one to the session; each use of the session locks
//   it, and a thread gives up quietly once the session is gone, has stopped running, or
//   `displayClassExitFlag` is set.
// - Every USB transfer of the class runs under `txMutex` (OUT) or `rxMutex` (IN) after a fresh
//   check of the exit flags; `fwExeClean` raises the flag and then takes both, so once it has
//   returned no transfer of this class is in flight or starts.
// - Monitor checks of every 50x session run one at a time under `mutex_lock_508`.
#pragma once

#include <libusb-1.0/libusb.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "display/VelDisplayClassDriverBase.h"
#include "display/vel508Protocol.h"
#include "edid/capsMode.h"
#include "service/OrfeLock.h"

class VelDisplayClass508 : public VelDisplayClassBase,
                           public std::enable_shared_from_this<VelDisplayClass508> {
  public:
    // Takes a weak reference to the session `dev` from the device manager's table when there is
    // a manager (key `key`); tests bind it with bindSession.
    VelDisplayClass508(VelDev* dev, int key);
    ~VelDisplayClass508() override = default;

    void bindSession(const std::weak_ptr<VelDev>& session);
    std::shared_ptr<VelDev> session() const;

    // ---- interface operations (vel508Bringup.cpp, vel508Transport.cpp, vel508Monitor.cpp) ----
    void* initCmds() override;
    void* fwStatusThread() override;
    void checkMonitorStatus(void* vportInfo, std::set<int> positions, bool recheck) override;
    int dataHeaderPackage(const void* frameRecord, void* packet, _VELRECT rect, int jpegSize,
                          int sourceIndex) override;
    int checkFrameIndex(unsigned char* data) override;
    int setCursorState(int x, int y, int view, int visible) override;
    int setCursorImage(evdi_cursor_set cursor, int view) override;
    int controlHeartbeat(unsigned char status) override;
    int readMonitorEDID(int target, unsigned char* edid, unsigned int* length) override;
    int readModeList(unsigned char* edid, int target, int view) override;
    int zeroFrameIndex() override;
    int resetDevice(int) override;
    int sendPatchCommand(int target, unsigned int on) override;
    int updateFwMain(libusb_device_handle* handle) override;
    int fwExeClean() override;
    int readIntQ(int type, unsigned char* buffer, int* length) override;
    int readInterrupt(int type, VELPTC_CONTROL_RET* reply) override;
    int resetFrameIndex() override;
    // ---- display operations (vel508Display.cpp, vel508Cursor.cpp) ----
    int setMode(int view) override;
    int setDisplayClassTopo(int source) override;
    int monitorControl(int on) override;
    int doDpmsState(int view, int dpmsMode) override;
    int setPowerStatus(int on) override;
    int optDoPmState(int on) override;
    uint32_t updateFrameIndex(unsigned short view) override;

    // ---- SROM firmware update (vel508Firmware.cpp), bring-up thread only ----
    // Each sends its commands through communicateWithDevice and takes answers from the general
    // queue in order, so nothing else may have general-queue traffic outstanding meanwhile.
    int upgradeFw0(_SROM_INFO_DEFAULT_* info, _FILES* files, unsigned char* buffer) override;
    int upgradeFw1(_SROM_INFO_DEFAULT_* info, _FILES* files, unsigned char* buffer) override;
    int upgradeBl0(_SROM_INFO_DEFAULT_* info, _FILES* files, unsigned char* buffer) override;
    int upgradeBl1_0(_SROM_INFO_* info, _FILES* files, unsigned char* buffer) override;
    int upgradeBl1_1(_SROM_INFO_* info, _FILES* files, unsigned char* buffer) override;
    int updateRomInfo(_SROM_INFO_* info, _FILES* files, unsigned char* buffer) override;
    int updateBl1Only(_SROM_INFO_* info, _FILES* files, unsigned char* buffer) override;
    int doUpgradeFwOnly(_SROM_INFO_* info, _FILES* files, unsigned char* buffer) override;
    int doUpgradeFwAll(_SROM_INFO_* info, _FILES* files, unsigned char* buffer) override;
    // 1 when the default block was read into `info`, 2 otherwise.
    virtual int CheckSromDefaultInfo(_SROM_INFO_* info, _FILES* files);
    virtual int GetLayoutVerInfo(char* text);
    virtual int GetAndCompareLayoutVersion(libusb_device_handle* handle);
    // Kind 1: 1 rewrite the firmware, 0 current, -1 a firmware text starting with "n" other
    // than "n 2.9.3.0302" (never touched); kind 5: 7 when the second bootloader is older than
    // "v 00.01.0004", else 0. -1/-2/-3: no answer, a wrong answer, an error code.
    virtual int CheckVersion(libusb_device_handle* handle, unsigned char kind);
    virtual int DoUpgradeFW(_FILES* files, int flags);
    // 0 done or not needed, -1 the check failed (or test mode), -2 the upgrade failed.
    virtual int UpdateFW(_FILES* files);
    virtual int CheckWorkModeAction(libusb_device_handle* handle);
    virtual int CheckWorkMode(_FILES* files);
    // The body of option_GetVersion on this class's session (client mode: no receive thread
    // may run, the interrupt endpoint is read here).
    int optGetVersion(unsigned char kind);

    // ---- transport (vel508Transport.cpp) ----
    // Sends one 48-byte control command built around `param` and waits for its control reply;
    // a mode set (code 0x30) whose exchange keeps failing is sent four times in all. Outcomes
    // are logged only. Any thread; blocks up to about 200 ms per exchange.
    void send_control_command(unsigned int deviceIndex, vel508::_PARAMETER_ param);
    // Sends a control command and reads its answer straight from the interrupt endpoint, for
    // when no receive thread runs. 0 on an answer of the command's type, -1 otherwise. Blocks
    // up to 31 transfer time-outs.
    int optSendCommand(unsigned int deviceIndex, vel508::_PARAMETER_ param);
    // One incoming packet of `length` bytes, as the receive thread got it: checked and sorted
    // into the session's queues (or the hot-plug worker and frame-index handling started).
    // Only the bytes given are read. Receive thread (and the fuzz target).
    void handleIncoming(const unsigned char* data, size_t length);
    // One bulk OUT transfer of `length` bytes to `endpoint` under txMutex; a libusb code.
    int writeBulk(unsigned char endpoint, unsigned char* data, int length, unsigned timeoutMs);
    // A command packet (48 or 44 bytes) on the session's command endpoint; a libusb code.
    int writeCommand(size_t packetSize, uint32_t lengthField, const vel508::_PARAMETER_& param);
    // Power state of every view (the body of do_pm_state).
    void powerStateAllViews(int on);
    // True once the class or its session stops.
    bool exiting(const std::shared_ptr<VelDev>& dev) const;
    // One interrupt OUT transfer of `length` bytes on the session's command endpoint under
    // txMutex (cursor packets); a libusb code.
    int writeInterrupt(unsigned char* data, int length);

    // Cursor-shape cache: the images the adapter holds, by slot. A slot keeps the EVDI image as
    // it came (`height` x `stride` bytes, at most kCursorCacheImageMax) so that the same image
    // is found again; slots 0..400 are used, 100 of them reused once all are taken. Guarded by
    // cursorMutex, which is held for a whole setCursorImage or setCursorState.
    static constexpr int kCursorSlots = 401;
    static constexpr size_t kCursorCacheImageMax = 256 * 1024;
    struct CursorSlot {
        std::vector<uint8_t> image;
    };

  private:
    // One update exchange on `handle` (this class's own session directly, another adapter's
    // through communicateWithDevice); the result of communicateWithDevice.
    int exchange(libusb_device_handle* handle, int type, unsigned char* data, int length,
                 unsigned char* reply = nullptr, int* replyLength = nullptr);
    // One SROM write of `length` bytes already at offset 48 of `buffer`, answered with type
    // 0x07 and "done"; 1 written, 0 not (logged as `failLine`, `notDoneLine`).
    int sromWrite(libusb_device_handle* handle, unsigned char* buffer, uint32_t address,
                  size_t length, const char* failLine, const char* notDoneLine);
    // Writes an image at offset 48 of `buffer` in 4096-byte pieces from `address`; stops at the
    // first failed piece when `stopAtFailure`. 0 when every piece was written, else 1.
    int writePieces(libusb_device_handle* handle, unsigned char* buffer, int length,
                    uint32_t address, bool stopAtFailure);

    // Receive-thread read of one interrupt transfer under rxMutex; a libusb code.
    int readInterruptPipe(unsigned char* buffer, int length, int* transferred);
    void startMonitorCheck(unsigned char bitmask);
    int readEdidOnce(int target, bool repeated, unsigned char* reply, int* replyLength);

    // Mode-set body shared by setMode and setDisplayClassTopo.
    int sendModeBlock(int view, bool topoOnly);
    // Uploads the 64 x 64 image of `cursor` into `slot`; true when the adapter took it.
    bool uploadCursor(const evdi_cursor_set& cursor, int view, int slot);

    std::weak_ptr<VelDev> m_session;
    std::mutex cursorMutex;  // guards the cursor cache and the two persistent cursor packets
    std::vector<CursorSlot> cursorCache = std::vector<CursorSlot>(kCursorSlots);
    int cursorCount = 0;
    uint8_t cursorPosPacket[44] = {};
    uint8_t cursorSelectPacket[48] = {};
    std::mutex txMutex;  // held around every bulk OUT transfer of the class
    std::mutex rxMutex;  // held around every interrupt IN transfer of the class
};

// Both heartbeat flags are process-wide, as the adapters of one host share one firmware
// generation in practice: written by controlHeartbeat, read by the bulk heartbeat thread and the
// send thread. m_BulkOutHeartbeatStatus lives with the send path (pipeline/jpeg520.h).
extern std::atomic<int> m_InterruptInHeartbeatStatus;
// Serialises the monitor checks of every 50x session (held for a whole check, plug-ins
// included).
extern std::mutex mutex_lock_508;
// Guards the 50x next-frame-index counters of every session.
extern CMutex g_Lock508;

// Buffer exchange of the firmware update: sends `length` bytes of `data` on bulk endpoint 0x02
// (10 s) of the session whose handle is `handle` (device index 0 or 1) and, when a reply buffer
// and length are given, takes the next general-queue packet into it (three tries, 5 s apart).
// 1 on success, 0 on failure, -1 when no session has that handle. Blocks up to about 16 s.
int communicateWithDevice(libusb_device_handle* handle, int type, unsigned char* data, int length,
                          unsigned char* reply = nullptr, int* replyLength = nullptr);
// The exchange of communicateWithDevice on a known session's class.
int velCommunicate508(VelDisplayClass508& dc, int type, unsigned char* data, int length,
                      unsigned char* reply, int* replyLength);

// Version texts of the 50x firmware check: the host image's and the adapter's (the last one an
// adapter reported), process-wide as the check of either adapter writes them.
extern char g_local_FW_Version[32];
extern char g_firmwareRealVersion[256];

// Command-line version query (client mode, no receive thread: it reads the interrupt endpoint
// itself) of the version of `kind` on the adapter of `deviceIndex`; 0, or -1 when the query
// cannot be sent, gets a packet of another type or no packet in 30 reads.
int option_GetVersion(unsigned int deviceIndex, unsigned char kind);

// Power state (code 0x32) of every view of the device `deviceIndex`.
void do_pm_state(unsigned int deviceIndex, int on);

// True when the EDID's manufacturer is 0x0959 and its product code 0x1200: a monitor pair of
// that model takes the high-resolution dual-view limits. Reads bytes 8..11 (null: false).
bool Check_VendorProduct(const unsigned char* edid);

// Layer command (0x4C) of the session with device index `deviceIndex`: byte 3 bit 4 = `enable`,
// the 16-bit values a, b, c, d at parameter bytes 9, 11, 17 and 19. 0, or -1 without such a
// 50x session.
int setLayer(unsigned int deviceIndex, int enable, uint16_t a, uint16_t b, uint16_t c, uint16_t d);
// Timing class (0, 1 or 2) and the refresh to send for a `width` x `height` mode at `refresh`.
uint8_t vel508TimingClass(int width, int height, int refresh, int* refreshOut);

// The bulk heartbeat thread's body for `dc`'s session (started by bring-up).
void bulkHeartBeatfunc(std::shared_ptr<VelDisplayClass508> dc);
// Whether a bulk heartbeat is due at `nowUs` when the last bulk OUT went at `lastOutUs`
// (monotonic microseconds): bulk heartbeats on and at least 2 s without a bulk transfer.
bool vel508HeartbeatDue(int64_t nowUs, int64_t lastOutUs, int bulkStatus);
// Whether a monitor check of `count` monitors at `nowUs` repeats the previous one (same count,
// less than 100 ms after the previous check at `lastUs`) and is to be ignored.
bool vel508CheckIsBounce(int count, int lastCount, int64_t nowUs, int64_t lastUs);
// Monotonic clock in microseconds (the clock of both rules above).
int64_t vel508NowUs();

// What one EDID reply (`length` bytes from the packet's start) holds for monitor `target`.
enum class Edid508Reply {
    Ok,           // the EDID is in `edid`: whole blocks, byte 126 and the checksums consistent
    WrongAnswer,  // not an EDID answer for that target, or an error status
    Empty,        // size field 0
    Invalid,      // size field above 512 or below one block, or a bad base block
};
// Checks a reply and on Ok copies the EDID (at most `room` bytes) into `edid` and its size into
// `*size`. A bad extension block cuts the EDID to its base block (byte 126 = 0, checksum
// rewritten). Reads only the `length` bytes given.
Edid508Reply vel508TakeEdidReply(const unsigned char* reply, size_t length, int target,
                                 unsigned char* edid, size_t room, size_t* size);
// Reads the mode entries of a mode-list reply (`length` bytes) into `list` (64 entries, zeroed
// first): the count field bounded by 64 and by the entries one 1024-byte packet carries. Returns
// the entries taken; `*beyondFullHd` tells whether one is wider than 1920 or taller than 1080.
uint16_t vel508TakeModeList(const unsigned char* reply, size_t length, CAPS_MODE_STRUCT* list,
                            bool* beyondFullHd);

// Hot-plug worker body for one 0xE1 event: waits (bounded) for bring-up, then runs the monitor
// check under mutex_lock_508.
void pnpThreadfunc(std::shared_ptr<VelDisplayClass508> dc, unsigned char bitmask);
