// Wire format of the model-520 message protocol: the 32-byte header that starts every message in
// both directions, the image data header, the class and type codes of the command table, and the
// response semaphore kinds. All integers are little-endian on the wire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vel520 {

constexpr size_t kHeaderSize = 32;
constexpr size_t kDataHeaderSize = 80;
constexpr size_t kImageOffset = kHeaderSize + kDataHeaderSize;  // JPEG starts here: 112
constexpr size_t kRxBufferSize = 0x100001;
// A message whose total size passes this goes out as a lone header transfer first (the adapter
// sizes its receive DMA from that header before the bulk of the data arrives).
constexpr size_t kHeaderFirstLimit = 0xFFFFF;
// Room the frame pipeline leaves around the JPEG: both headers and the decoder header.
constexpr uint32_t kPacketReserve = 0x5070;
constexpr size_t kVersionTextSize = 124;
constexpr size_t kLayoutTextSize = 1024;
constexpr size_t kCapsBufferSize = 164;
constexpr uint32_t kCapsBlockSize = 115;
// Notifications and firmware-log blocks carry their data this far into the message.
constexpr size_t kNotifyDataOffset = 36;

constexpr uint16_t kKindCommand = 1;
constexpr uint16_t kKindImage = 2;

constexpr uint8_t kErrorFlag = 0x80;    // byte 11 of a response
constexpr uint8_t kResponseBit = 0x80;  // byte 13 of a command
constexpr uint8_t kSourceMask = 0x7F;
constexpr uint8_t kClassMask = 0x7F;

enum DataClass : uint8_t {
    CLASS_QUERY = 0,
    CLASS_CONTROL = 1,
    CLASS_DATA = 2,
    CLASS_CURSOR = 3,
    CLASS_NOTIFY = 4,
};

enum QueryType : uint8_t {
    QUERY_EDID = 0,
    QUERY_FW_VERSION = 1,
    QUERY_MODE_LIST = 4,
    QUERY_CAPS = 5,
    QUERY_FW_LOG = 48,
};

enum ControlType : uint8_t {
    CTRL_SET_MODE = 0,
    CTRL_MONITOR = 1,
    CTRL_POWER = 2,
    CTRL_CURSOR_IMAGE = 16,
    CTRL_ZERO_FRAME_INDEX = 19,
    CTRL_HEARTBEAT = 21,
    CTRL_LAYER = 26,
    CTRL_SET_LAYER = 27,
    CTRL_CREATE_DD = 51,
    CTRL_DELETE_DD = 52,
    CTRL_BIND_MONITOR = 58,
    CTRL_UNBIND_MONITOR = 59,
    CTRL_BIND_SOURCE = 60,
    CTRL_UNBIND_SOURCE = 61,
    CTRL_VPORT = 69,
};

constexpr uint8_t DATA_IMAGE = 4;
constexpr uint8_t DATA_FIRMWARE = 6;
constexpr uint8_t DATA_BL1 = 8;

constexpr uint8_t VERSION_FIRMWARE = 1;
constexpr uint8_t VERSION_LAYOUT = 4;
constexpr uint8_t VERSION_BL1 = 5;

constexpr uint8_t HEARTBEAT_CLOSE = 0;
constexpr uint8_t HEARTBEAT_OPEN = 1;
constexpr uint8_t HEARTBEAT_BEAT = 2;

// Response semaphores: kind within a group (a group is a display device id, 0 to 2).
constexpr int kSemGroups = 3;
constexpr int kSemKinds = 4;
constexpr int SEM_CONTROL = 0;
constexpr int SEM_QUERY = 1;
constexpr int SEM_VIDEO_PORT = 3;

// Image data header constants the adapter expects unchanged.
constexpr uint8_t kImageFormatPadded = 0xE0;  // JPEG length rounded up to 1024 bytes
constexpr uint8_t kImageCodec = 17;
constexpr uint32_t kJpegRounding = 1024;
// A bulk transfer must not end exactly on a 512-byte packet boundary: a filler block follows.
constexpr uint32_t kFillerBoundary = 512;

inline void putU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void putU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t getU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t getU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline bool hasMagic(const uint8_t* p) { return std::memcmp(p, "VELC", 4) == 0; }

// The fields of one wire header.
struct WireHeader {
    uint16_t kind = kKindCommand;
    uint8_t sessionTag = 0;
    uint8_t source = 0;  // low 7 bits
    bool errorFlag = false;
    uint8_t dataType = 0;
    uint8_t dataClass = 0;  // low 7 bits
    bool responseRequested = false;
    uint16_t target = 0;
    uint16_t displayDevice = 0;
    uint16_t node = 0;
    uint32_t payloadLength = 0;
};

inline void writeHeader(uint8_t* p, const WireHeader& h) {
    std::memset(p, 0, kHeaderSize);
    std::memcpy(p, "VELC", 4);
    putU16(p + 8, h.kind);
    p[10] = h.sessionTag;
    p[11] = static_cast<uint8_t>((h.source & kSourceMask) | (h.errorFlag ? kErrorFlag : 0));
    p[12] = h.dataType;
    p[13] =
        static_cast<uint8_t>((h.dataClass & kClassMask) | (h.responseRequested ? kResponseBit : 0));
    putU16(p + 14, h.target);
    putU16(p + 16, h.displayDevice);
    putU16(p + 18, h.node);
    putU16(p + 20, static_cast<uint16_t>(kHeaderSize));
    putU32(p + 24, h.payloadLength);
}

inline WireHeader readHeader(const uint8_t* p) {
    WireHeader h;
    h.kind = getU16(p + 8);
    h.sessionTag = p[10];
    h.source = p[11] & kSourceMask;
    h.errorFlag = (p[11] & kErrorFlag) != 0;
    h.dataType = p[12];
    h.dataClass = p[13] & kClassMask;
    h.responseRequested = (p[13] & kResponseBit) != 0;
    h.target = getU16(p + 14);
    h.displayDevice = getU16(p + 16);
    h.node = getU16(p + 18);
    h.payloadLength = getU32(p + 24);
    return h;
}

#pragma pack(push, 1)
// A display mode as the adapter takes it (mode set) and reports it (mode list).
struct VEL_MODE {
    uint16_t width;
    uint16_t height;
    uint8_t bpp;
    uint16_t refresh;
};
// What setMode hands to sendPortLatestTopo.
struct _VEL_MODE_RECORD_ {
    uint8_t view;
    uint8_t target;  // low byte of the target id
    uint8_t unused;
    uint16_t width;
    uint16_t height;
    uint8_t bpp;
    uint16_t refresh;
};
#pragma pack(pop)
static_assert(sizeof(VEL_MODE) == 7, "mode is 7 bytes on the wire");
static_assert(sizeof(_VEL_MODE_RECORD_) == 10, "mode record is 10 bytes");
constexpr size_t kModeEntrySize = 7;
constexpr size_t kModeListLimit = 5120;  // bytes of a mode-list answer the host takes
constexpr size_t kEdidBlock = 128;
constexpr uint16_t kNoDisplayDevice = 0xFFFF;

enum NotifyType : uint8_t {
    NOTIFICATION_MONITOR_PNP = 1,
    NOTIFICATION_FRAME_INDEX = 9,
};

// The input-node table: u16 count, u16 reserved, u16 node id[32].
struct InputNodeTable {
    uint16_t count = 0;
    uint16_t reserved = 0;
    uint16_t nodeId[32] = {};
};
static_assert(sizeof(InputNodeTable) == 68, "input-node table is 68 bytes");
constexpr uint16_t kInvalidNode = 0xFFFF;

}  // namespace vel520
