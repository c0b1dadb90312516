// Wire format of the 50x-family command protocol: the 12-byte magic that starts every packet in
// both directions, the 27-byte parameter block of every command, the command and event codes,
// and the offsets of incoming packets. All integers are little-endian on the wire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vel508 {

constexpr char kMagic[] = "veltarvexsta";  // 12 bytes on the wire, no terminator
constexpr size_t kMagicSize = 12;
constexpr size_t kLengthOffset = 12;
constexpr size_t kParamOffset = 16;
constexpr size_t kParamSize = 27;
constexpr size_t kDataOffset = 48;  // data of EDID and mode-list replies, and of update packets

// Packet sizes the host sends (the length field says what the adapter should take).
constexpr size_t kCommandSize = 48;
constexpr size_t kShortCommandSize = 44;  // heartbeat, patch, frame-index reset
constexpr uint32_t kFrameResetLengthField = 8;

// Incoming packets: interrupt IN endpoint 0x81, read in transfers of up to 1024 bytes.
constexpr unsigned char kInterruptIn = 0x81;
constexpr unsigned char kUpdateOut = 0x02;  // firmware-update buffers
constexpr size_t kInterruptSize = 1024;
constexpr size_t kEdidPacketSize = 560;  // 48-byte header + 512 bytes of EDID
constexpr size_t kEdidMax = 512;
constexpr size_t kTypeOffset = 16;
constexpr size_t kStatusOffset = 17;
constexpr size_t kControlRetSize = 7;  // bytes 16..22
constexpr size_t kModeEntrySize = 16;
// Mode entries that fit in one 1024-byte mode-list packet after its 48-byte header.
constexpr size_t kModeEntriesPerPacket = (kInterruptSize - kDataOffset) / kModeEntrySize;  // 61

constexpr unsigned kTransferTimeoutMs = 1000;
constexpr unsigned kUpdateTimeoutMs = 10000;

// Command class of parameter byte 0.
constexpr uint8_t kClassControl = 6;
// Parameter byte 3: the odd view is addressed with this bit.
constexpr uint8_t kOddView = 0x10;
// Parameter byte 2: set on a repeated EDID request.
constexpr uint8_t kEdidRetryBit = 0x20;

enum _VELPTC_DATA_TYPE_ : uint8_t {
    VELPTC_FW_UPDATE_00 = 0x00,
    VELPTC_SROM_ACCESS = 0x07,
    VELPTC_FW_LOG = 0x0A,
    VELPTC_SET_MODE = 0x30,
    VELPTC_DPMS = 0x31,
    VELPTC_POWER_STATE = 0x32,
    VELPTC_POST_MODE_3F = 0x3F,
    VELPTC_VIEW_SIZE = 0x40,
    VELPTC_POST_MODE_41 = 0x41,
    VELPTC_CURSOR_IMAGE = 0x42,
    VELPTC_FRAME_INDEX_RESET = 0x45,
    VELPTC_RESET_VIEW = 0x46,
    VELPTC_HEARTBEAT_LEGACY = 0x47,
    VELPTC_LAYER = 0x4C,
    VELPTC_4K_PATCH = 0x4E,
    VELPTC_READ_EDID = 0x60,
    VELPTC_VERSION = 0x61,
    VELPTC_READ_MODE_LIST = 0x64,
    VELPTC_READ_CAPS = 0x65,
    VELPTC_WORK_MODE = 0x77,
    VELPTC_HEARTBEAT_CONTROL = 0xD7,
    VELPTC_MONITOR_EVENT = 0xE1,
    VELPTC_FRAME_INDEX_EVENT = 0xE9,
    VELPTC_BULK_HEARTBEAT = 0xEC,
    VELPTC_UNKNOWN_COMMAND = 0xFF,
};

// Keys of the ten control-reply slots, in slot order.
constexpr uint8_t kControlSlotKeys[10] = {0x30, 0x3F, 0x41, 0x40, 0x4C,
                                          0x32, 0x31, 0x42, 0xD7, 0xFF};

// The 27-byte parameter block of every command.
#pragma pack(push, 1)
struct _PARAMETER_ {
    uint8_t bytes[kParamSize] = {};
};
#pragma pack(pop)
static_assert(sizeof(_PARAMETER_) == kParamSize, "parameter block is 27 bytes on the wire");

// A control-class parameter block for `code` addressed to view `viewIndex` (its low bit picks
// the view select).
inline _PARAMETER_ makeParam(uint8_t code, int viewIndex = 0) {
    _PARAMETER_ p;
    p.bytes[0] = kClassControl;
    p.bytes[3] = (viewIndex & 1) ? kOddView : 0x00;
    p.bytes[4] = code;
    return p;
}

inline void putLe16(uint8_t* at, uint32_t v) {
    at[0] = static_cast<uint8_t>(v);
    at[1] = static_cast<uint8_t>(v >> 8);
}
inline void putLe32(uint8_t* at, uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint32_t getLe16(const uint8_t* at) { return at[0] | (static_cast<uint32_t>(at[1]) << 8); }
inline uint32_t getLe32(const uint8_t* at) {
    return at[0] | (static_cast<uint32_t>(at[1]) << 8) | (static_cast<uint32_t>(at[2]) << 16) |
           (static_cast<uint32_t>(at[3]) << 24);
}

// Writes a command packet of `packetSize` bytes (48 or 44) into `out`: magic, `lengthField`,
// the parameter block, zeros after it.
inline void buildCommand(uint8_t* out, size_t packetSize, uint32_t lengthField,
                         const _PARAMETER_& param) {
    memset(out, 0, packetSize);
    memcpy(out, kMagic, kMagicSize);
    putLe32(out + kLengthOffset, lengthField);
    memcpy(out + kParamOffset, param.bytes, kParamSize);
}

inline bool hasMagic(const uint8_t* data, size_t length) {
    return data && length >= kMagicSize && memcmp(data, kMagic, kMagicSize) == 0;
}

}  // namespace vel508
