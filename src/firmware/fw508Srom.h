// The 50x-family SROM update's data and packets, without USB: the host's working copy of the
// SROM description blocks (_SROM_INFO_), the update packets (image transfers and SROM accesses),
// the two boot records the host writes, the reading of a host image into a send buffer and the
// second-bootloader version test. The display class's update steps (vel508Firmware.cpp) use
// them on the bring-up thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the SROM blocks are little-endian and copied to and from the wire as they are"
#endif

// Every update buffer (packet head + image) is this large; an image that does not fit is never
// sent.
constexpr size_t VEL_FW508_BUFFER = 0x500000;
constexpr uint32_t VEL_SROM_DEFAULT_ADDRESS = 0x11000;
constexpr uint32_t VEL_SROM_MAIN_RECORD_ADDRESS = 0x1000;
constexpr uint32_t VEL_SROM_BOOT_RECORD_ADDRESS = 0x0000;
constexpr size_t VEL_SROM_PIECE = 4096;  // firmware goes into the SROM in pieces of this size
constexpr uint32_t VEL_SROM_LAYOUT = 131078;

#pragma pack(push, 1)
// One image entry of the default block (also the layout of a boot record's two entries).
struct _SROM_IMAGE_ENTRY_ {
    uint32_t firstWord;  // kept as read
    uint32_t address;
    uint32_t thirdWord;  // kept as read
    uint32_t length;
    uint32_t checksum;  // negated byte sum of the image
};
// The 244-byte default block at 0x11000. Entries: 0 first bootloader, 1 and 2 second-bootloader
// copies, 3 second-bootloader reference, 4 secondary firmware, 5 main firmware, 6 main-firmware
// reference.
struct _SROM_INFO_DEFAULT_ {
    uint8_t head[4];  // kept as read
    _SROM_IMAGE_ENTRY_ entry[7];
    uint8_t tail[100];  // kept as read
};
// A 44-byte boot record: checksum byte (negated sum of the 43 bytes after it), valid flag, two
// 0xFF bytes, entries A and B.
struct _SROM_BOOT_RECORD_ {
    uint8_t checksum;
    uint8_t valid;
    uint8_t reserved[2];
    _SROM_IMAGE_ENTRY_ a;
    _SROM_IMAGE_ENTRY_ b;
};
// The host's working copy during an update.
struct _SROM_INFO_ {
    _SROM_INFO_DEFAULT_ defaults;
    _SROM_BOOT_RECORD_ mainRecord;  // written to 0x1000
    _SROM_BOOT_RECORD_ bootRecord;  // written to 0x0000
};
#pragma pack(pop)
static_assert(sizeof(_SROM_INFO_DEFAULT_) == 244, "default block is 244 bytes");
static_assert(sizeof(_SROM_BOOT_RECORD_) == 44, "boot record is 44 bytes");

enum VelSromEntry {
    VEL_SROM_BL0 = 0,
    VEL_SROM_BL1_0 = 1,
    VEL_SROM_BL1_1 = 2,
    VEL_SROM_BL1_REF = 3,
    VEL_SROM_FW0 = 4,
    VEL_SROM_FW = 5,
    VEL_SROM_FW_REF = 6,
};

// Length of a packet that carries `dataLength` bytes after its 48-byte head: one zero byte more
// when 48 + data is a multiple of 512 (the adapter's endpoint would otherwise wait for a short
// packet that never comes).
size_t velFw508PacketLength(size_t dataLength);

// Fills the head of `buffer` (data already at offset 48) for an image transfer (0x06 main
// firmware, 0x08 second bootloader) of `dataLength` bytes and zeroes the padding byte; returns
// the packet length. `buffer` holds at least velFw508PacketLength(dataLength) bytes.
size_t velFw508ImagePacket(unsigned char* buffer, uint8_t code, size_t dataLength);
// The same for an SROM access (0x07): `write` true for a write of the data at offset 48, false
// for a read (whose data bytes are sent as they are).
size_t velFw508SromPacket(unsigned char* buffer, bool write, uint32_t address, size_t length);

// Sets the entry's length and checksum for an image of `length` bytes at `image`.
void velSromSetEntry(_SROM_IMAGE_ENTRY_& entry, const unsigned char* image, int length);
// Builds the main-firmware record from entries 5 and 6, or the bootloader record from entries
// 2 and 3, with its checksum byte.
void velSromBuildMainRecord(_SROM_INFO_* info);
void velSromBuildBootRecord(_SROM_INFO_* info);

// Reads a whole host image of `length` bytes (as measured when it was opened) from its start
// into `buffer` at offset 48 and closes nothing. Returns the length, or -1 (logged with
// `nothingLine` when nothing could be read, with an "[error]" line when the image is larger than
// the buffer allows or comes short) so that a missing, empty, cut or oversized image is never
// sent.
int velFw508ReadImage(FILE* file, int length, unsigned char* buffer, const char* nothingLine);

// 7 when the second-bootloader version `text` is below `minimum`, compared as numbers
// ("v 00.01.03" is below "v 00.01.0004"); 0 otherwise, also (logged) when either text holds no
// version number: an unreadable text never leads to a rewrite.
int velFw508BootloaderBelow(const char* text, const char* minimum);
