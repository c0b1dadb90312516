// Fuzzes the host firmware image files as an update finds them in the firmware directory: which
// of the four exist (or stand there as a directory), and their bytes. Each input writes the files
// into a private firmware directory, then opens them as an update does (checkFileExists, with the
// main image under its 50x or model-520 name), reads the version stamp of the main image as the
// service does at bring-up (getLocalFw1Ver) and as the client does (getLocalFwVersion), reads
// every image as the 50x SROM update and the model-520 update send it (velFw508ReadImage,
// velFw520ReadImage), fills the SROM description entries and records from them, and compares
// the stamp with the adapter's bootloader minimum.
// Input: byte 0 flags (bits 0-3: image 1-4 present; bit 4: image 2 is a directory; bit 5: the
// main image is the model-520 one), bytes 1..6 the little-endian lengths of images 1-3, then
// their bytes, and the rest is image 4.
// Checked: the open succeeds exactly when all four are regular files, with their sizes; a
// version found is terminated within its buffer and is the text after "Version:" in the file;
// an image read gives back exactly the file's bytes.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "devmgr/clientOps.h"
#include "display/VelDisplay508ClassDriver.h"
#include "firmware/fw508Srom.h"
#include "firmware/fw520Update.h"
#include "firmware/loadFW.h"
#include "harness.h"
#include "service/paths.h"
#include "session/VelDev.h"

namespace {

const char* const kNames[4] = {"Bootloader0.bin", "Bootloader1.bin", "firmware0.bin",
                               "USBDisplay.bin"};
constexpr size_t kHead = 48;  // image bytes start here in the 50x send buffer

struct Harness {
    std::string dir;
    std::shared_ptr<VelDev> dev = std::make_shared<VelDev>(nullptr);
    VelDisplayClass508* dc = nullptr;
    std::vector<unsigned char> buffer = std::vector<unsigned char>(VEL_FW508_BUFFER);
    Harness() {
        setenv("VEL_LOG_DIR", "/dev/null/fwimages-fuzz", 0);  // the log is not under test
        dir = fuzzkit::privateDir("velfwimg", "VEL_FW_DIR") + "/";
        setenv("VEL_FW_DIR", dir.c_str(), 1);
        dc = new VelDisplayClass508(dev.get(), 0);  // only its file reader is used
    }
};

// True when `version` (found by a reader) is terminated within `cap` and is the start of the
// text that follows some "Version:" in the file.
bool versionFromFile(const std::vector<uint8_t>& file, const char* version, size_t cap) {
    const void* nul = memchr(version, '\0', cap);
    if (!nul) return false;
    const size_t len = static_cast<const char*>(nul) - version;
    for (size_t i = 0; i + 8 + len <= file.size(); ++i) {
        if (memcmp(&file[i], "Version:", 8) == 0 && memcmp(&file[i + 8], version, len) == 0)
            return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 7) return 0;
    Harness& h = fuzzkit::lazy<Harness>();
    const uint8_t flags = data[0];
    std::vector<uint8_t> images[4];
    size_t at = 7;
    for (int i = 0; i < 3; ++i) {
        const size_t want = data[1 + 2 * i] | (data[2 + 2 * i] << 8);
        const size_t n = std::min(want, size - at);
        images[i].assign(data + at, data + at + n);
        at += n;
    }
    images[3].assign(data + at, data + size);

    const bool main520 = flags & 0x20;
    std::string paths[4];
    for (int i = 0; i < 4; ++i) {
        paths[i] = h.dir + (i == 3 && main520 ? "USBDisplay520.bin" : kNames[i]);
        std::error_code ec;
        std::filesystem::remove_all(paths[i], ec);
    }
    bool allRegular = true;
    for (int i = 0; i < 4; ++i) {
        if (!(flags & (1u << i))) {
            allRegular = false;
            continue;
        }
        if (i == 1 && (flags & 0x10)) {
            if (mkdir(paths[i].c_str(), 0755) != 0) abort();
            allRegular = false;
            continue;
        }
        FILE* f = fopen(paths[i].c_str(), "wb");
        if (!f) abort();
        if (!images[i].empty() && fwrite(images[i].data(), 1, images[i].size(), f) != images[i].size())
            abort();
        fclose(f);
    }

    // No session at index 0: the main image is named by the caller, as the model's name.
    char mainPath[VEL_FW_PATH_MAX] = {};
    if (paths[3].size() >= sizeof mainPath) abort();
    memcpy(mainPath, paths[3].c_str(), paths[3].size());
    _FILES files{};
    const int rc = checkFileExists(0, &files, nullptr, nullptr, nullptr, mainPath);
    if ((rc == 0) != allRegular) abort();
    if (rc != 0) {
        if (files.bootloader0.file || files.firmware.file) abort();
        return 0;
    }
    _FILEAttr* slots[4] = {&files.bootloader0, &files.bootloader1, &files.firmware0, &files.firmware};
    for (int i = 0; i < 4; ++i) {
        if (!slots[i]->file || slots[i]->length != static_cast<int>(images[i].size())) abort();
    }

    // The version stamp, as the service and as the client read it.
    char serviceVersion[32];
    memset(serviceVersion, 0x5A, sizeof serviceVersion);
    if (h.dc->getLocalFw1Ver(files.firmware.file, serviceVersion) &&
        !versionFromFile(images[3], serviceVersion, sizeof serviceVersion)) {
        abort();
    }
    rewind(files.firmware.file);
    char clientVersion[VEL_FW_VERSION_MAX];
    memset(clientVersion, 0x5A, sizeof clientVersion);
    if (getLocalFwVersion(files.firmware.file, clientVersion, sizeof clientVersion) &&
        !versionFromFile(images[3], clientVersion, sizeof clientVersion)) {
        abort();
    }
    (void)velFw508BootloaderBelow(serviceVersion[0] == 0x5A ? "" : serviceVersion, "v 00.01.0004");

    // Every image as both updates read it, and the SROM description built from them.
    _SROM_INFO_ info{};
    const int entryOf[4] = {0, 1, 4, 5};
    for (int i = 0; i < 4; ++i) {
        const int n = velFw508ReadImage(slots[i]->file, slots[i]->length, h.buffer.data(),
                                        "Read nothing from firmware file.\n");
        if (images[i].empty()) {
            if (n != -1) abort();
        } else {
            if (n != static_cast<int>(images[i].size())) abort();
            if (memcmp(h.buffer.data() + kHead, images[i].data(), images[i].size()) != 0) abort();
            velSromSetEntry(info.defaults.entry[entryOf[i]], h.buffer.data() + kHead, n);
            if (velBinChecksumByte(h.buffer.data() + kHead, n) !=
                static_cast<uint8_t>(info.defaults.entry[entryOf[i]].checksum)) {
                abort();
            }
        }
        std::vector<unsigned char> out;
        const int r520 = velFw520ReadImage(slots[i]->file, slots[i]->length, out);
        if ((r520 == 0) != !images[i].empty()) abort();
        if (r520 == 0 && out != std::vector<unsigned char>(images[i].begin(), images[i].end())) abort();
    }
    info.defaults.entry[2] = info.defaults.entry[1];
    velSromBuildBootRecord(&info);
    velSromBuildMainRecord(&info);
    if (closeFiles(&files) != 1 || files.bootloader0.file || files.firmware.file) abort();
    return 0;
}
