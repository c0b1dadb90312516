#include "firmware/fw508Srom.h"

#include <cstring>
#include <vector>

#include "firmware/fwVersion.h"
#include "firmware/loadFW.h"
#include "service/debug.h"

namespace {

constexpr size_t kHead = 48;
const char kMagic[] = "veltarvexsta";

void putLe32(unsigned char* at, uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(v >> (8 * i));
}

size_t head(unsigned char* buffer, uint8_t code, size_t dataLength) {
    const size_t total = velFw508PacketLength(dataLength);
    memset(buffer, 0, kHead);
    memcpy(buffer, kMagic, 12);
    putLe32(buffer + 12, static_cast<uint32_t>(total));
    buffer[16] = 6;
    buffer[20] = code;
    if (total > kHead + dataLength) buffer[kHead + dataLength] = 0;
    return total;
}

uint8_t recordChecksum(const _SROM_BOOT_RECORD_& r) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&r);
    return velBinChecksumByte(p + 1, static_cast<int>(sizeof r - 1));
}

}  // namespace

size_t velFw508PacketLength(size_t dataLength) {
    const size_t total = kHead + dataLength;
    return total % 512 == 0 ? total + 1 : total;
}

size_t velFw508ImagePacket(unsigned char* buffer, uint8_t code, size_t dataLength) {
    const size_t total = head(buffer, code, dataLength);
    putLe32(buffer + 16 + 5, static_cast<uint32_t>(dataLength));
    return total;
}

size_t velFw508SromPacket(unsigned char* buffer, bool write, uint32_t address, size_t length) {
    const size_t total = head(buffer, 0x07, length);
    buffer[16 + 5] = write ? 2 : 1;
    putLe32(buffer + 16 + 6, address);
    putLe32(buffer + 16 + 10, static_cast<uint32_t>(length));
    buffer[16 + 14] = 0xFF;
    return total;
}

void velSromSetEntry(_SROM_IMAGE_ENTRY_& entry, const unsigned char* image, int length) {
    entry.length = static_cast<uint32_t>(length);
    entry.checksum = 0u - velBinChecksum(image, length);
}

void velSromBuildMainRecord(_SROM_INFO_* info) {
    _SROM_BOOT_RECORD_& r = info->mainRecord;
    const _SROM_IMAGE_ENTRY_& fw = info->defaults.entry[VEL_SROM_FW];
    const _SROM_IMAGE_ENTRY_& ref = info->defaults.entry[VEL_SROM_FW_REF];
    memset(&r, 0xFF, sizeof r);
    r.valid = 1;
    r.a.firstWord = fw.firstWord;
    r.a.address = fw.address;
    r.a.thirdWord = fw.thirdWord;
    r.a.length = fw.length;
    r.a.checksum = fw.checksum & 0xFF;
    r.b.address = ref.address;
    r.b.thirdWord = ref.thirdWord;
    r.b.checksum = ref.checksum & 0xFF;
    r.checksum = recordChecksum(r);
}

void velSromBuildBootRecord(_SROM_INFO_* info) {
    _SROM_BOOT_RECORD_& r = info->bootRecord;
    const _SROM_IMAGE_ENTRY_& bl = info->defaults.entry[VEL_SROM_BL1_1];
    const _SROM_IMAGE_ENTRY_& ref = info->defaults.entry[VEL_SROM_BL1_REF];
    memset(&r, 0xFF, sizeof r);
    r.valid = 1;
    r.a.firstWord = bl.firstWord;
    r.a.address = bl.address;
    r.a.thirdWord = bl.thirdWord;
    r.a.length = bl.length;
    r.a.checksum = bl.checksum & 0xFF;
    r.b.address = ref.address;
    r.b.thirdWord = ref.thirdWord;
    r.b.checksum = ref.checksum & 0xFF;
    r.checksum = recordChecksum(r);
}

int velFw508ReadImage(FILE* file, int length, unsigned char* buffer, const char* nothingLine) {
    if (!file || length <= 0) {
        vel_Print(nothingLine);
        return -1;
    }
    // Room for the head and the padding byte.
    if (static_cast<size_t>(length) > VEL_FW508_BUFFER - kHead - 1) {
        vel_Printf("[error] firmware image of %d bytes is larger than %zu bytes, not sent\n",
                   length, VEL_FW508_BUFFER - kHead - 1);
        return -1;
    }
    size_t got = 0;
    if (fseek(file, 0, SEEK_SET) == 0)
        got = fread(buffer + kHead, 1, static_cast<size_t>(length), file);
    if (got == 0) {
        vel_Print(nothingLine);
        return -1;
    }
    if (got != static_cast<size_t>(length)) {
        vel_Printf("[error] firmware image read %zu of %d bytes, not sent\n", got, length);
        return -1;
    }
    return length;
}

int velFw508BootloaderBelow(const char* text, const char* minimum) {
    std::vector<uint32_t> have, need;
    if (!velParseFwVersion(text, have) || !velParseFwVersion(minimum, need)) {
        vel_Printf("[error] bootloader version \"%.64s\" cannot be compared with \"%s\"\n",
                   text ? text : "", minimum ? minimum : "");
        return 0;
    }
    return velCompareFwVersionParts(have, need) < 0 ? 7 : 0;
}
