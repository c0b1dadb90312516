#include "firmware/loadFW.h"

#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <string>

#include "devmgr/DevManager.h"
#include "service/debug.h"
#include "service/paths.h"
#include "session/VelDev.h"

namespace {

constexpr int kImageCount = 4;

// What to log when image i (0-based) is missing; images 3 and 4 share their line.
const char* const kMissingLine[kImageCount] = {
    "Bootloader0 not found, can't to update firmware!\n",
    "Bootloader1 not found, can't to update firmware!\n",
    "Firmware not found, can't to update firmware!\n",
    "Firmware not found, can't to update firmware!\n",
};

// Name of the main image for a session model; null when the model has no image of its own.
const char* mainImageName(uint32_t model) {
    switch (model) {
        case 0x508:
            return "USBDisplay.bin";
        case 0x520:
            return "USBDisplay520.bin";
        default:
            return nullptr;
    }
}

_FILEAttr* imageSlot(_FILES* files, int i) {
    _FILEAttr* slots[kImageCount] = {&files->bootloader0, &files->bootloader1, &files->firmware0,
                                     &files->firmware};
    return slots[i];
}

// Copies the caller's 48-byte override into `out`; refuses a buffer without its terminator.
bool takeOverride(const char* given, char (&out)[VEL_FW_PATH_MAX]) {
    const void* nul = memchr(given, '\0', VEL_FW_PATH_MAX);
    if (!nul) return false;
    memcpy(out, given, static_cast<const char*>(nul) - given + 1);
    return true;
}

// Opens one image and measures it. A directory opens with fopen too and a FIFO would block a
// later read, so only a regular file of at most INT_MAX bytes is taken.
FILE* openImage(const char* path, int* length) {
    FILE* f = fopen(path, "rb");
    if (!f) return nullptr;
    struct stat st {};
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        vel_Printf("[error] firmware image %s is not a regular file\n", path);
        fclose(f);
        return nullptr;
    }
    int size = getFileSize(f);
    if (size < 0) {
        vel_Printf("[error] firmware image %s can't be measured or is larger than %d bytes\n", path,
                   INT_MAX);
        fclose(f);
        return nullptr;
    }
    *length = size;
    return f;
}

}  // namespace

int checkFileExists(unsigned int index, _FILES* files, const char* bootloader0Path,
                    const char* bootloader1Path, const char* firmware0Path,
                    const char* firmwarePath) {
    if (!files) return 1;
    uint32_t model = 0;
    if (g_dev && index <= static_cast<unsigned int>(INT_MAX)) {
        if (auto dev = g_dev->findDev(static_cast<int>(index))) model = dev->model;
    }

    const char* overrides[kImageCount] = {bootloader0Path, bootloader1Path, firmware0Path,
                                          firmwarePath};
    const char* names[kImageCount] = {"Bootloader0.bin", "Bootloader1.bin", "firmware0.bin",
                                      mainImageName(model)};
    const std::string dir = vel::fwDir();
    char paths[kImageCount][VEL_FW_PATH_MAX] = {};
    bool havePath[kImageCount] = {};
    for (int i = 0; i < kImageCount; ++i) {
        if (overrides[i]) {
            if (!takeOverride(overrides[i], paths[i])) {
                vel_Printf("[error] firmware image path %d is not terminated within %zu bytes\n",
                           i + 1, VEL_FW_PATH_MAX);
                return 1;
            }
            havePath[i] = true;
            continue;
        }
        if (!names[i]) continue;  // no default main image for this model
        int n = snprintf(paths[i], sizeof paths[i], "%s%s", dir.c_str(), names[i]);
        if (n < 0 || static_cast<size_t>(n) >= sizeof paths[i]) {
            vel_Printf("[error] firmware directory %s is too long for %s (at most %zu bytes)\n",
                       dir.c_str(), names[i], VEL_FW_PATH_MAX - 1);
            return 1;
        }
        havePath[i] = true;
    }

    FILE* opened[kImageCount] = {};
    int lengths[kImageCount] = {};
    for (int i = 0; i < kImageCount; ++i) {
        if (havePath[i]) opened[i] = openImage(paths[i], &lengths[i]);
        if (opened[i]) continue;
        vel_Print(kMissingLine[i]);
        for (int j = 0; j < i; ++j) fclose(opened[j]);
        return 1;
    }

    for (int i = 0; i < kImageCount; ++i) {
        _FILEAttr* slot = imageSlot(files, i);
        memset(slot->reserved, 0, sizeof slot->reserved);
        slot->file = opened[i];
        slot->length = lengths[i];
    }
    files->state = 0;
    return 0;
}

uint32_t velBinChecksum(const unsigned char* data, int length) {
    uint32_t sum = 0;
    if (!data) return 0;
    for (int i = 0; i < length; ++i) sum += data[i];
    return sum;
}

uint8_t velBinChecksumByte(const unsigned char* data, int length) {
    return static_cast<uint8_t>(0u - velBinChecksum(data, length));
}

int getFileSize(FILE* file) {
    if (!file) return -1;
    if (fseeko(file, 0, SEEK_END) != 0) return -1;
    off_t end = ftello(file);
    if (fseeko(file, 0, SEEK_SET) != 0) return -1;
    if (end < 0 || end > static_cast<off_t>(INT_MAX)) return -1;
    return static_cast<int>(end);
}

int velReadFileTail(FILE* file, unsigned char* tail, size_t cap, size_t* got) {
    if (got) *got = 0;
    if (!file || !tail || !got || cap == 0) return -1;
    if (fseeko(file, 0, SEEK_END) != 0) return -1;
    const off_t end = ftello(file);
    if (end <= 0) return -1;
    const off_t want = end < static_cast<off_t>(cap) ? end : static_cast<off_t>(cap);
    if (fseeko(file, end - want, SEEK_SET) != 0) return -1;
    const size_t n = fread(tail, 1, static_cast<size_t>(want), file);
    if (n != static_cast<size_t>(want)) return -1;
    *got = n;
    return 0;
}

void closeF(_FILEAttr attr) {
    if (attr.file) fclose(attr.file);
}

int closeFiles(_FILES* files) {
    if (!files) return 1;
    for (int i = 0; i < kImageCount; ++i) {
        _FILEAttr* slot = imageSlot(files, i);
        closeF(*slot);
        slot->file = nullptr;
    }
    return 1;
}
