// The emulated 50x-family adapter (product IDs 0x0508, 0x0505, 0x0500): a device model that
// speaks the adapter side of the 50x protocol. Every packet in either direction starts with the
// 12-byte magic "veltarvexsta". Commands and cursor packets arrive on OUT 0x01, image and
// firmware packets on OUT 0x02 (commands are taken there too); control replies, EDID, mode-list
// and capability replies, firmware answers and the 0xE1 monitor and 0xE9 frame-index events go
// out on IN 0x81, one packet per transfer.
//
// It checks every packet the host sends (magic, length field against the packet's kind and the
// transfer, class, view select, the reserved bytes and each command's payload), answers as the
// adapter would and keeps the adapter's state: power, heartbeat of either firmware generation
// (one that knows 0xD7 and reports its flag bits, or an older one that answers 0xD7 as an
// unknown command and takes 0x47), modes and view sizes, DPMS, layers, 4k patches, frame-index
// resets, the cursor slots it holds, image packets (header, lengths and the JPEG's own size
// checked, acknowledged with a frame-index event) and the SROM with its firmware images. What it
// refuses is recorded as an error (errors()); refused control commands get status 1 back, packets
// it cannot parse get nothing. Commands it does not know get an 0xFF reply. Answers can be made
// late, wrong, flagged or never sent, per command code.
//
// Files: model508.cpp (framing, checks, records, answer faults, timer thread), model508Commands.cpp
// (what each command does and answers; monitors and events), model508Firmware.cpp (version and
// work-mode queries, SROM, firmware images).
//
// Threads: as Model520 (see device_model.h): the bus calls out()/in() with mutex() held; late
// answers and delayed events are queued by the model's own timer thread (started on attach,
// stopped on detach), which takes mutex() itself. Test-side methods may be called from any
// thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "emulator/adapters/answerMode.h"
#include "emulator/usb/device_model.h"

namespace emu {

// One packet as the 50x adapter received it.
struct M508Packet {
    uint8_t endpoint = 0;
    size_t transferLength = 0;
    uint32_t lengthField = 0;    // bytes 12..15
    uint8_t kind = 0;            // byte 16: 6 control, 2 image, 0x39 cursor select, 0x3A position
    uint8_t code = 0;            // byte 20 for control packets (the command code), else 0
    uint8_t viewSelect = 0;      // byte 19 of control and image packets
    std::vector<uint8_t> bytes;  // the packet (of image and firmware packets the first 96 bytes)
    // Of an image packet taken: its JPEG's size through the end marker (the length field at
    // bytes 38..41 may run past it); else 0.
    size_t jpegSize = 0;
    std::string error;           // why the adapter refused it; empty when taken
    std::chrono::steady_clock::time_point at;

    // Parameter byte n (packet byte 16 + n), 0 beyond what was kept.
    uint8_t param(size_t n) const { return 16 + n < bytes.size() ? bytes[16 + n] : 0; }
};

class Model508 : public DeviceModel {
  public:
    static constexpr int kPorts = 4;  // monitor ports; port p has target id 1 << p
    static constexpr int kViews = 2;
    // Mode-list entries that fit one 1024-byte reply (16 bytes each from offset 48).
    static constexpr int kMaxModes = (1024 - 48) / 16;

    struct Mode {
        uint32_t width = 0, height = 0, refresh = 0, bpp = 32;
    };
    struct Monitor {
        std::vector<uint8_t> edid;  // the first 512 bytes are answered (four blocks)
        std::vector<Mode> modes;    // answered as the mode list of its target
    };

    struct Config {
        std::string firmwareVersion = "v 2.24.1.0";
        std::string bootloaderVersion = "v 00.01.0004";  // second bootloader
        uint32_t layoutNumber = 131078;                  // SROM layout
        uint8_t workMode = 0;                            // 0 normal, 1 test
        // Heartbeat generation: true, the firmware knows 0xD7 and answers it with
        // `heartbeatFlags` in detail byte 1 (bit 0 interrupt-IN heartbeat, bit 1 bulk
        // heartbeat); false, an older firmware that answers 0xD7 as an unknown command and
        // takes the 0x47 packet.
        bool heartbeatExtension = true;
        uint8_t heartbeatFlags = 0x03;
        std::vector<uint8_t> capabilities;  // empty: a 205-byte block of the model's own
        // Acknowledge every frame taken with an 0xE9 frame-index event, after this delay: a
        // whole frame with its packet, a split frame once both of its halves are in.
        bool acknowledgeFrames = true;
        std::chrono::milliseconds frameAckDelay{0};
        // Decode every image packet and paint it into its view's picture. Off, the packets are
        // still checked and acknowledged.
        bool decodeImages = true;
        // Frame buffers per view the pictures are decoded into, in turn: each new frame (a new
        // frame index) goes into the one after the last, which still holds the picture of
        // `frameBuffers` frames ago, and is what the monitor shows (1: one picture that every
        // frame paints over). The first frame after the picture's size changes starts them all.
        int frameBuffers = 1;
        // Monitors already on the ports at power-on are reported by an 0xE1 event this long
        // after the first power-state-on reply.
        std::chrono::milliseconds powerOnEventDelay{100};
        // The SROM survives the run in this file when set: read at creation when it holds an
        // SROM image, else made from the texts above and written there; rewritten after every
        // write the adapter takes.
        std::string sromFile;
    };

    struct HeartbeatState {
        bool open = false;  // the last heartbeat control (0xD7 or 0x47) switched it on
        int extensionOn = 0, extensionOff = 0;  // 0xD7 packets taken, by value
        int legacyOn = 0, legacyOff = 0;        // 0x47 packets taken, by value
        int bulkBeats = 0;                      // 0xEC packets
        std::chrono::steady_clock::time_point lastBulkBeat{};
        long longestBulkGapMs = 0;  // between two 0xEC packets
    };
    struct ViewState {
        // Last mode-set record for this view: view id (255 disabled), target, timing class,
        // size and refresh; modeSets counts the 0x30 commands that carried it.
        uint8_t viewId = 255, target = 0, timingClass = 0;
        uint16_t width = 0, height = 0, refresh = 0;
        int modeSets = 0;
        int post3F = 0, post41 = 0;  // follow-up commands after a mode set
        uint16_t sizeWidth = 0, sizeHeight = 0;
        int sizeSets = 0;  // 0x40
        int power = -1;    // last 0x32 value for this view, -1 never
        int resets = 0;    // 0x46
        // Cursor: last position packet and last select packet.
        int32_t cursorX = 0, cursorY = 0;
        bool cursorVisible = false;
        int positions = 0;
        uint32_t cursorSlot = 0;
        int selects = 0;
        // Image packets taken for this view.
        uint64_t images = 0, imageBytes = 0;
        uint32_t lastFrameIndex = 0;
        std::vector<uint32_t> frameIndexes;  // in arrival order (the last 65,536)
        // What the view's monitor shows: every image packet decoded and painted at its
        // rectangle (Config::decodeImages), 32-bit B, G, R, X, pictureWidth x pictureHeight.
        std::vector<uint8_t> picture;
        int pictureWidth = 0, pictureHeight = 0;
        uint64_t framesShown = 0;   // packets painted
        uint64_t undecodable = 0;   // packets whose JPEG did not decode
        // Frames in flight: frames (distinct frame indexes) of which a packet arrived and whose
        // 0xE9 acknowledgement the host has not read yet, counted when an image packet arrives
        // (with that packet's frame): now, and the most ever. Both halves of a split frame are
        // one frame; the session's frames of both views count.
        int framesInFlight = 0, maxFramesInFlight = 0;
    };
    struct TargetState {
        int dpmsOff = -1;  // last 0x31 value, -1 never
        int dpmsCommands = 0;
        int patch = -1;  // last 0x4E value, -1 never
        int patchCommands = 0;
        int edidReads = 0, edidRepeats = 0, modeListReads = 0;
    };
    // The layer command's bit 4 of byte 3 is both the enable and the view select, so the
    // adapter keeps one layer state.
    struct LayerState {
        bool on = false;
        uint16_t values[4] = {0, 0, 0, 0};
        int sets = 0;
    };
    struct CursorStore {
        std::map<uint32_t, std::vector<uint8_t>> slots;  // slot -> the 64 x 64 x 4 image
        int uploads = 0;
    };
    struct FirmwareState {
        int images = 0, bootloaderImages = 0;         // 0x06 and 0x08 transfers taken
        std::vector<uint8_t> image, bootloaderImage;  // the last of each
        int sromReads = 0, sromWrites = 0;
        int versionQueries = 0, workModeQueries = 0;
        int refusedWrites = 0;  // SROM writes and images refused by the checks below
    };

    // The SROM as this adapter lays it out. The default block at 0x11000 lists seven image
    // entries (20 bytes each from offset 4: first word, address, third word, length, checksum);
    // an image may be written only inside its entry's area. Entries 3 and 6 are references
    // (to the second-bootloader copy 0 and to the secondary firmware) with no area of their own;
    // 0xF0000..0xFFFFF belongs to no image.
    static constexpr uint32_t kSromDefaultAt = 0x11000, kSromDefaultSize = 244;
    static constexpr uint32_t kSromMainRecordAt = 0x1000, kSromBootRecordAt = 0x0000;
    static constexpr uint32_t kSromRecordSize = 44;
    static constexpr uint32_t kSromEntryAddress[7] = {0x2000,  0x5000,   0xB000, 0x5000,
                                                      0x12000, 0x100000, 0x12000};
    static constexpr uint32_t kSromEntryArea[7] = {0x3000, 0x6000, 0x6000, 0,
                                                   0xDE000, 0x400000, 0};
    static constexpr uint32_t kSromSize = 16u << 20;

    Model508();
    explicit Model508(Config config);
    ~Model508() override;

    Status out(uint8_t endpoint, const uint8_t* data, size_t length) override;
    Status in(uint8_t endpoint, InBuffer& buffer) override;
    void onReset() override;
    void onAttach() override;
    void onDetach() override;

    // How the adapter answers commands of `code` (-1 any); `count` < 0: every matching command
    // from now on, else the next `count` ones. Wrong answers come back as code + 1.
    void setAnswer(int code, AnswerMode mode,
                   std::chrono::milliseconds delay = std::chrono::milliseconds(0), int count = -1);
    // Answers to `code` come back with type `answerType` (AnswerMode::Retyped).
    void setAnswerType(int code, uint8_t answerType, int count = -1);
    void clearAnswers();

    // Test side.
    std::vector<M508Packet> received();
    // Control packets of that command code (refused ones included).
    std::vector<M508Packet> received(uint8_t code);
    std::vector<std::string> errors();  // every refused packet's reason
    int unknownCommands();              // commands answered with 0xFF
    bool waitFor(const std::function<bool(const std::vector<M508Packet>&)>& pred,
                 std::chrono::milliseconds timeout);
    void clearReceived();
    HeartbeatState heartbeat();
    ViewState view(int i);
    // ViewState::images alone, without copying the picture.
    uint64_t imagePackets(int view);
    TargetState target(uint8_t targetId);
    CursorStore cursors();
    LayerState layer();
    FirmwareState firmware();
    int frameIndexResets();
    bool powerOn();
    std::vector<uint8_t> srom(uint32_t address, size_t length);
    // The version texts the adapter reports now (kinds 1 and 5): the stamps ("Version:TEXT ")
    // in the last 128 bytes of the images its default block names (entries 5 and 2); empty when
    // an image carries none.
    std::string firmwareVersionHeld();
    // Test side: a new made-up SROM holding these version texts, and what the adapter reports
    // as its layout number and work mode from now on.
    void resetSrom(std::string firmwareVersion, std::string bootloaderVersion);
    void setLayoutNumber(uint32_t layout);
    void setWorkMode(uint8_t mode);
    std::string bootloaderVersionHeld();
    const Config& config() const { return config_; }

    // Monitors on ports 0..3. Plugging or unplugging one raises an 0xE1 event with the bitmask
    // of the ports that hold a monitor when `notify`; notifyPorts() raises one with nothing
    // changed. Any thread, any time.
    void plugMonitor(int port, Monitor monitor, bool notify = true);
    void unplugMonitor(int port, bool notify = true);
    void notifyPorts();
    uint8_t portMask();
    // Queues raw bytes on IN 0x81 (an event, a spurious reply), optionally later.
    void queuePacket(std::vector<uint8_t> bytes,
                     std::chrono::milliseconds delay = std::chrono::milliseconds(0));

    // Device-to-host packets: `size` bytes, the magic, the size at 12..15, type at 16 and
    // status at 17.
    static std::vector<uint8_t> packet(uint8_t type, uint8_t status, size_t size);
    // A control reply (bytes 16..22: type, status, two detail bytes, 16-bit value, 8-bit value).
    static std::vector<uint8_t> controlReply(uint8_t type, uint8_t status, uint8_t detail0 = 0,
                                             uint8_t detail1 = 0, uint16_t value = 0,
                                             uint8_t value8 = 0);
    static std::vector<uint8_t> monitorEvent(uint8_t mask);
    static std::vector<uint8_t> frameIndexEvent(uint32_t frameIndex, uint8_t source = 0);
    // A monitor from EDID bytes with its modes.
    static Monitor monitor(std::vector<uint8_t> edid, std::vector<Mode> modes);

  private:
    struct Answer {
        std::vector<uint8_t> bytes;
        std::chrono::milliseconds delay{0};
        bool faultable = true;  // events are not answers: no fault applies
    };
    struct AnswerRule {
        int code;
        AnswerMode mode;
        std::chrono::milliseconds delay;
        int count;
        uint8_t answerType = 0;
    };
    struct Timed {
        std::chrono::steady_clock::time_point due;
        std::vector<uint8_t> bytes;
    };

    // model508.cpp
    void accept(uint8_t endpoint, const uint8_t* data, size_t length);
    std::string checkFraming(M508Packet& p, const uint8_t* data, size_t length) const;
    void deliver(std::vector<Answer> answers, uint8_t code);
    void pushIn(std::vector<uint8_t> bytes, std::chrono::milliseconds delay);
    void timerLoop();
    void stopTimer();

    // model508Commands.cpp: the payload checks ("" when well formed) and the adapter's
    // reaction with the answers to send (before faults).
    std::string checkControl(const M508Packet& p, const uint8_t* data, size_t length) const;
    std::vector<Answer> handleControl(const M508Packet& p, const uint8_t* data, size_t length);
    std::string checkCursor(const M508Packet& p) const;
    void handleCursor(const M508Packet& p);
    std::string checkImage(const M508Packet& p, const uint8_t* data, size_t length) const;
    std::vector<Answer> handleImage(const M508Packet& p, const uint8_t* data, size_t length);
    void paint(ViewState& s, const uint8_t* data);
    static size_t jpegEnd(const uint8_t* j, size_t length);
    static std::string checkDecoderHeader(const uint8_t* h, size_t room, const uint8_t* jpeg,
                                          uint32_t jpegLength, int width, int height);
    std::vector<uint8_t> edidReply(uint8_t target) const;
    std::vector<uint8_t> modeListReply(uint8_t target) const;
    std::vector<uint8_t> capabilityReply() const;
    int portOfTarget(uint8_t target) const;
    uint8_t portMaskLocked() const;

    // model508Firmware.cpp
    std::string checkFirmware(const M508Packet& p, size_t length) const;
    std::vector<Answer> handleFirmware(const M508Packet& p, const uint8_t* data, size_t length);
    void buildSrom();
    void loadSrom();
    void saveSrom();
    std::string checkSromWrite(uint32_t address, const uint8_t* bytes, uint32_t n) const;
    void sromWrite(uint32_t address, const uint8_t* bytes, uint32_t n);
    std::string heldStamp(int entry) const;
    void takeImage(int entry, const uint8_t* bytes, uint32_t n);
    void rebuildRecord(bool main);

    Config config_;
    // All below guarded by mutex().
    InQueue inQueue_;
    std::vector<M508Packet> received_;
    std::vector<std::string> errors_;
    int unknown_ = 0;
    std::condition_variable receivedCv_;
    std::vector<AnswerRule> rules_;
    HeartbeatState heartbeat_;
    bool powerOn_ = false;
    bool reportedAtPowerOn_ = false;
    ViewState views_[kViews];
    // Frame indexes of which a packet arrived and whose acknowledgement the host has not read.
    std::set<uint32_t> framesOut_;
    // Per view: the frame whose pieces are arriving and the pieces of it taken (bit n - 1 for
    // piece n), so a split frame is acknowledged once, when its last half is in.
    struct Pieces {
        uint32_t index = 0;
        uint8_t seen = 0;
    } pieces_[kViews];
    // The frame buffers of each view (Config::frameBuffers), the one shown and its frame.
    struct FrameRing {
        std::vector<std::vector<uint8_t>> buffers;
        size_t shown = 0;
        uint32_t index = 0;
        bool first = true;  // the shown frame is the first since the size changed
    } rings_[kViews];
    std::map<uint8_t, TargetState> targets_;
    CursorStore cursors_;
    LayerState layer_;
    FirmwareState firmware_;
    int frameIndexResets_ = 0;
    Monitor monitors_[kPorts];
    bool plugged_[kPorts] = {false, false, false, false};
    std::vector<uint8_t> srom_;  // grows with the highest address written; 0xFF beyond
    // Timer thread and its queue (timerMutex_ guards timed_ and stop_).
    std::mutex timerMutex_;
    std::condition_variable timerCv_;
    std::deque<Timed> timed_;
    bool stop_ = false;
    std::thread timer_;
};

}  // namespace emu
