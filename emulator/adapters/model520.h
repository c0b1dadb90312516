// The emulated model-520 adapter: a device model that speaks the adapter side of the model-520
// message protocol on bulk OUT 0x01 (commands), OUT 0x02 (image packets) and IN 0x81 (responses,
// notifications, firmware-log blocks).
//
// It checks every message the host sends (magic, header length, payload length against what
// arrived, the header-first rule for large messages, class and type against the command table,
// the response bit, and for image packets the data header, the 1024 rounding, the decoder
// header against the adapter's own parse of the JPEG and the 512-byte filler rule), answers as
// the adapter would, keeps the adapter's state (versions, capability block, heartbeat, display
// devices) and records every message for tests. Image packets are decoded and painted into
// the picture of their monitor and acknowledged with a frame-index notification. Answers can be
// made late, wrong, flagged as errors, duplicated or never sent, per command.
//
// Files: model520.cpp (framing, checks, records, answer queue and faults), model520Commands.cpp
// (what each command does to the adapter's state and what it answers), model520Image.cpp
// (image packets: checks, decoding, the monitors' pictures, frame acknowledgements).
//
// Threads: the bus calls out()/in() with mutex() held (an image packet is decoded there, as the
// adapter takes its time over a frame); late answers, delayed frame acknowledgements and
// firmware-log blocks are queued by the model's own timer thread (started on attach, stopped on
// detach), which takes mutex() itself. The test-side methods may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "emulator/adapters/answerMode.h"
#include "emulator/usb/device_model.h"

namespace emu {

// One decoded 32-byte message header (the adapter's own decoding, independent of the host's).
struct M520Header {
    char magic[5] = {0, 0, 0, 0, 0};
    uint32_t reserved4 = 0;
    uint16_t kind = 0;
    uint8_t sessionTag = 0;
    uint8_t source = 0;
    bool errorFlag = false;
    uint8_t dataType = 0;
    uint8_t dataClass = 0;
    bool responseRequested = false;
    uint16_t target = 0;
    uint16_t displayDevice = 0;
    uint16_t node = 0;
    uint16_t headerLength = 0;
    uint16_t reserved22 = 0;
    uint32_t payloadLength = 0;
    uint32_t reserved28 = 0;

    static M520Header decode(const uint8_t* p);
    std::vector<uint8_t> encode() const;
};

// One message as the adapter received it.
struct M520Message {
    uint8_t endpoint = 0;
    M520Header header;
    std::vector<uint8_t> payload;  // the bytes after the header (filler excluded); of an image
                                   // packet only its 80-byte data header
    size_t transferLength = 0;     // bytes of the transfer that carried it
    bool headerFirst = false;      // announced by a lone header transfer before
    bool filler = false;           // an image packet that ended with the filler block
    std::string error;             // why the adapter refused it; empty when well formed
    std::chrono::steady_clock::time_point at;
};

class Model520 : public DeviceModel {
  public:
    struct Config {
        std::string firmwareVersion = "V1.3.12.0520";
        std::string layoutVersion = "LAYOUT-2.1";
        std::string bl1Version = "BL1-1.0.4";
        std::vector<uint8_t> capabilities;  // empty: a 115-byte block of the model's own
        int logBlocks = 2;                  // firmware-log blocks sent per request
        // The log's text, cut into `logBlocks` pieces of nearly equal length; empty: one line
        // "fw log block N" (padded to 63 characters) per block.
        std::string logText;
        // The flash that keeps the firmware across starts: a file read at attach and written
        // with every firmware image the adapter receives (empty: none).
        std::string imageStore;
        // At attach, report the version of the firmware image received last (in an earlier
        // attach, or kept in imageStore) instead of firmwareVersion.
        bool versionFromImage = false;
        // Decode every image packet and paint it into its monitor's picture. Off, the packets
        // are still checked (framing, data header, decoder header against the adapter's own
        // parse of the JPEG) and acknowledged, but not decompressed.
        bool decodeImages = true;
        // Acknowledge each image packet taken with a type-9 frame-index notification, after
        // this delay (a real adapter acknowledges once the frame is on the screen).
        bool acknowledgeFrames = true;
        std::chrono::milliseconds frameAckDelay{0};
    };
    struct HeartbeatState {
        bool open = false;
        int opens = 0, closes = 0, beats = 0;
        std::chrono::steady_clock::time_point lastBeat{};
        std::chrono::steady_clock::time_point openedAt{};
        std::chrono::steady_clock::time_point firstBeat{};
        long longestGapMs = 0;  // between two beats
        // Mean gap between beats from the first to the last, 0 before the second beat. Less
        // sensitive to one late transfer on a loaded machine than the longest gap.
        long meanGapMs() const {
            if (beats < 2) return 0;
            return static_cast<long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(lastBeat - firstBeat)
                    .count() /
                (beats - 1));
        }
    };

    // A monitor on one of the adapter's three outputs.
    struct Monitor {
        uint16_t target = 0;            // its target id (the low four bits name the port)
        std::vector<uint8_t> edid;      // answered as is, whatever its length
        std::vector<uint8_t> modeList;  // raw 7-byte entries: u16 w, u16 h, u8 bpp, u16 Hz
    };
    // One mode-list entry in the wire layout.
    static std::vector<uint8_t> modeEntry(uint16_t width, uint16_t height, uint8_t bpp,
                                          uint16_t refresh);
    // EDID bytes of a test monitor embedded from data/edid/corpus/ (empty for an unknown name).
    static std::vector<uint8_t> corpusEdid(const std::string& name);
    // What the adapter keeps per display device.
    struct Layer {
        uint16_t x = 0, y = 0, width = 0, height = 0;
        bool on = false;
        int sets = 0, controls = 0;
    };
    struct DisplayDevice {
        bool exists = false;
        int monitor = -1;  // bound target, -1 none
        int source = -1;   // bound source, -1 none
        uint16_t width = 0, height = 0, refresh = 0;
        uint8_t bpp = 0, powerMode = 0;
        int modeSets = 0;
        std::map<uint32_t, Layer> layers;
        // Display power (class 1 type 1) and video port (class 1 type 69): -1 never set, else
        // the last payload byte (1 off, 0 on), with the number of commands.
        int powerOff = -1, powerCommands = 0;
        int videoPortOff = -1, videoPortCommands = 0;
        // Cursor: the last position packet (class 3 type 1) and the image shown (class 3
        // type 0).
        int32_t cursorX = 0, cursorY = 0;
        bool cursorVisible = false;
        int positionUpdates = 0;
        uint32_t cursorId = 0;  // 0 none yet
        int cursorShows = 0;
    };
    // Cursor images the adapter holds, by cursor id: the 65,536-byte area of the upload.
    struct CursorStore {
        std::map<uint32_t, std::vector<uint8_t>> images;
        int uploads = 0;       // class 1 type 16
        int shows = 0;         // class 3 type 0
        int unknownShows = 0;  // class 3 type 0 naming an id never uploaded
    };

    Model520();
    explicit Model520(Config config);
    ~Model520() override;

    Status out(uint8_t endpoint, const uint8_t* data, size_t length) override;
    Status in(uint8_t endpoint, InBuffer& buffer) override;
    void onReset() override;
    void onAttach() override;
    void onDetach() override;

    // How the adapter answers commands of (dataClass, dataType); -1 matches any. `count` < 0:
    // every matching command from now on, else the next `count` ones.
    void setAnswer(int dataClass, int dataType, AnswerMode mode,
                   std::chrono::milliseconds delay = std::chrono::milliseconds(0), int count = -1);
    void clearAnswers();
    // Answers to (dataClass, dataType) come back with type `answerType` (AnswerMode::Retyped);
    // `count` as for setAnswer.
    void setAnswerType(int dataClass, int dataType, uint8_t answerType, int count = -1);

    // Test side.
    std::vector<M520Message> received();
    std::vector<M520Message> received(uint8_t dataClass, uint8_t dataType);
    std::vector<std::string> errors();  // every refused message's reason
    // Waits until `pred` holds for the messages received so far, or `timeout` passes.
    bool waitFor(const std::function<bool(const std::vector<M520Message>&)>& pred,
                 std::chrono::milliseconds timeout);
    void clearReceived();
    HeartbeatState heartbeat();
    // The heartbeat is open and no beat came for longer than `limit`.
    bool beatMissing(std::chrono::milliseconds limit);
    // Queues raw bytes on IN 0x81 (a notification, a spurious answer), optionally later.
    void queueMessage(std::vector<uint8_t> bytes,
                      std::chrono::milliseconds delay = std::chrono::milliseconds(0));
    // A device-to-host message with the given header fields and payload.
    static std::vector<uint8_t> message(uint8_t dataClass, uint8_t dataType, uint16_t displayDevice,
                                        const std::vector<uint8_t>& payload,
                                        bool errorFlag = false);
    const Config& config() const { return config_; }

    // Monitors. Plugging or unplugging one raises a type-1 hot-plug notification carrying the
    // target at each output (0xEE for none) when `notify`; notifyPorts() raises one with
    // nothing changed. Any thread, any time.
    void plugMonitor(int output, Monitor monitor, bool notify = true);
    void unplugMonitor(int output, bool notify = true);
    void notifyPorts();
    // Changes the EDID the monitor at `output` reports, without a notification.
    void setMonitorEdid(int output, std::vector<uint8_t> edid);
    // A type-9 frame-index feedback for display device `dd`.
    void notifyFrameIndex(uint16_t dd, uint64_t frameIndex, uint8_t tag = 0);
    // The adapter's display device `dd` (0 to 2).
    DisplayDevice displayDevice(int dd);
    // The next id create hands out is chosen from the highest free one instead of the lowest.
    void setCreateFromTop(bool top);
    CursorStore cursors();
    // Frame-index resets (class 1 type 19) received.
    int frameIndexResets();
    // Firmware (class 2 type 6) and BL1 (type 8) images as the adapter last took them (empty:
    // none), and how many of that type it took.
    std::vector<uint8_t> image(uint8_t type);
    int imagesTaken(uint8_t type);
    // The firmware version the adapter reports now.
    std::string firmwareVersion();
    // The version text in an image's last 128 bytes: after the last "Version:", blanks
    // skipped, up to the next blank or NUL; "" when there is none.
    static std::string imageVersion(const std::vector<uint8_t>& image);

    // What the monitor on one output shows: every image packet for it, decoded and painted at
    // its rectangle. Kept when the monitor is unplugged or the service stops (a new monitor on
    // the output starts a new picture), so a run's last pictures can be read afterwards.
    struct Picture {
        uint16_t target = 0;
        int width = 0, height = 0;    // the display device's mode (or the first rectangle's)
        std::vector<uint8_t> pixels;  // width x height, 32 bits: B, G, R, X
        uint64_t packets = 0;         // image packets taken for this monitor
        uint64_t framesShown = 0;     // of them decoded and painted
        uint64_t bytesReceived = 0;   // bytes of those transfers
        uint64_t stale = 0;           // arrived after a newer frame had been shown: not painted
        uint64_t dirtyPadding = 0;    // JPEGs followed by non-zero bytes within their length
        uint32_t shownIndex = 0;      // frame index of the frame on the screen
        std::vector<uint32_t> frameIndexes;  // of the packets, in arrival order (last 65,536)
        std::chrono::steady_clock::time_point firstFrameAt{}, lastFrameAt{};
    };
    Picture picture(int output);
    // Picture::packets alone, without copying the pixels.
    uint64_t imagePackets(int output);
    // Image packets of display device `dd` not acknowledged yet: now, and the most ever.
    int framesInFlight(int dd);
    int maxFramesInFlight(int dd);
    // Image packets for a display device the adapter does not have, or whose monitor has gone
    // (dropped, not refused).
    int imagesWithoutDevice();

  private:
    struct Answer {
        std::vector<uint8_t> bytes;
        std::chrono::milliseconds delay{0};
    };
    struct AnswerRule {
        int dataClass, dataType;
        AnswerMode mode;
        std::chrono::milliseconds delay;
        int count;
        uint8_t answerType = 0;  // AnswerMode::Retyped
    };
    struct Timed {
        std::chrono::steady_clock::time_point due;
        std::vector<uint8_t> bytes;
        int ackDevice = -1;  // a frame acknowledgement of this display device
    };

    // model520.cpp
    void accept(uint8_t endpoint, const uint8_t* data, size_t length);
    void checkCommand(M520Message& m);
    // model520Image.cpp: the image packet's checks, decoding, painting and acknowledgement.
    void checkImage(M520Message& m, const uint8_t* data, size_t length);
    void takeImage(M520Message& m, const uint8_t* data, size_t length);
    void acknowledgeFrame(uint16_t dd, uint32_t frameIndex);
    void deliver(std::vector<Answer> answers, const M520Header& request);
    void pushIn(std::vector<uint8_t> bytes, std::chrono::milliseconds delay);
    void timerLoop();
    void stopTimer();

    // model520Commands.cpp: the adapter's reaction; answers to send (before faults).
    std::vector<Answer> handleCommand(const M520Message& m);
    std::vector<uint8_t> respond(const M520Message& m, const std::vector<uint8_t>& payload,
                                 bool errorFlag = false);
    std::vector<uint8_t> capabilityBlock() const;

    Config config_;
    // All below guarded by mutex().
    InQueue inQueue_;
    std::vector<M520Message> received_;
    std::vector<std::string> errors_;
    std::condition_variable receivedCv_;
    std::vector<AnswerRule> rules_;
    std::map<uint8_t, M520Header> announced_;  // per OUT endpoint: a lone header awaiting its data
    HeartbeatState heartbeat_;
    uint8_t powerStatus_ = 0;
    DisplayDevice devices_[3];
    Monitor monitors_[3];
    bool plugged_[3] = {false, false, false};
    bool createFromTop_ = false;
    CursorStore cursors_;
    int frameIndexResets_ = 0;
    Picture pictures_[3];
    int resetsSeen_[3] = {0, 0, 0};  // frameIndexResets_ when output i last painted
    uint32_t lastShown_[3] = {0, 0, 0};
    int imagesWithoutDevice_ = 0;  // frame index output i shows
    int inFlight_[3] = {0, 0, 0}, maxInFlight_[3] = {0, 0, 0};
    void handleCursor(const M520Message& m);
    std::vector<uint8_t> portNotification() const;
    const Monitor* monitorOfDevice(uint16_t dd) const;
    // Timer thread and its queue (timerMutex_ guards timed_ and stop_).
    std::mutex timerMutex_;
    std::condition_variable timerCv_;
    std::deque<Timed> timed_;
    bool stop_ = false;
    std::thread timer_;
    // model520Firmware.cpp (guarded by mutex()): the images taken, the log served.
    void checkFirmware(M520Message& m);
    void takeFirmware(const M520Message& m);
    std::vector<Answer> firmwareLog() const;
    void startFirmware();
    std::vector<uint8_t> images_[2];  // firmware, BL1
    int imagesTaken_[2] = {0, 0};
};

}  // namespace emu
