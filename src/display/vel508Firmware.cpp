// 50x-family firmware check and SROM update, run by bring-up before heartbeats start: the
// version and work-mode queries, the decision, the firmware-only and bootloader-only transfers,
// the full rewrite of every image and description block, and the command-line version query.
// Every exchange goes through communicateWithDevice and takes the general queue's next packet,
// so answers are matched by order alone. The concurrency rules are at the top of
// VelDisplay508ClassDriver.h.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "devmgr/DevManager.h"
#include "display/VelDisplay508ClassDriver.h"
#include "firmware/fw508Srom.h"
#include "firmware/loadFW.h"
#include "service/debug.h"
#include "service/paths.h"
#include "session/VelDev.h"

using namespace vel508;

char g_local_FW_Version[32] = {};
char g_firmwareRealVersion[256] = {};

namespace {
// The two texts are process-wide while each adapter's bring-up thread writes and reads them.
std::mutex g_fwVersionMutex;

constexpr int kReply = 1024;
constexpr size_t kQuery = 48;
constexpr const char* kSpecialFw = "n 2.9.3.0302";
constexpr const char* kMinBootloader = "v 00.01.0004";
constexpr const char* kDriverFwVersion = "v 2.24.1.0";
constexpr size_t kReadPacket = 48 + sizeof(_SROM_INFO_DEFAULT_);  // 292
constexpr int kDirectReads = 30;

std::vector<unsigned char> versionQuery(unsigned char kind) {
    std::vector<unsigned char> q(kQuery);
    _PARAMETER_ p = makeParam(VELPTC_VERSION);
    p.bytes[5] = kind;
    buildCommand(q.data(), q.size(), kQuery, p);
    return q;
}

bool sromDone(const unsigned char* reply) {
    return reply[kTypeOffset] == VELPTC_SROM_ACCESS && reply[26] == 1;
}

}  // namespace

int VelDisplayClass508::exchange(libusb_device_handle* handle, int type, unsigned char* data,
                                 int length, unsigned char* reply, int* replyLength) {
    {
        auto dev = session();
        if (dev && handle && dev->usbHandle == handle) {
            dev.reset();
            return velCommunicate508(*this, type, data, length, reply, replyLength);
        }
    }
    return communicateWithDevice(handle, type, data, length, reply, replyLength);
}

// ---- decision ----

int VelDisplayClass508::updateFwMain(libusb_device_handle* handle) {
    _FILES files{};
    files.handle = handle;
    // Every model of the family takes the same main image; the default name is known for model
    // 0x508 only, so it is always named here.
    char mainPath[VEL_FW_PATH_MAX] = {};
    const std::string path = vel::fwDir() + "USBDisplay.bin";
    const char* mainOverride = nullptr;
    if (path.size() < sizeof mainPath) {
        memcpy(mainPath, path.c_str(), path.size());
        mainOverride = mainPath;
    }
    if (checkFileExists(static_cast<unsigned>(deviceIndex), &files, nullptr, nullptr, nullptr,
                        mainOverride) != 0) {
        vel_Print("Error open file. Close program.\n");
        CheckVersion(handle, 1);
        CheckVersion(handle, 5);
        return 1;
    }
    files.handle = handle;
    char version[sizeof hostFwVersion] = {};
    if (getLocalFw1Ver(files.firmware.file, version)) {
        memcpy(hostFwVersion, version, sizeof hostFwVersion);
        hostFwVersion[sizeof hostFwVersion - 1] = '\0';
        std::lock_guard<std::mutex> lk(g_fwVersionMutex);
        memcpy(g_local_FW_Version, hostFwVersion, sizeof g_local_FW_Version);
        vel_Printf("[info] found updateBin in file system, FW Version: %s\n", hostFwVersion);
    } else {
        vel_Print("[error] fail to get FW Verion\n");
    }
    UpdateFW(&files);
    closeFiles(&files);
    return 0;
}

int VelDisplayClass508::UpdateFW(_FILES* files) {
    if (CheckWorkMode(files) < 0) return -1;
    const int fw = CheckVersion(files->handle, 1);
    if (fw < 0) {
        vel_Print("Check fw version failed!\n");
        return -1;
    }
    const int bl = CheckVersion(files->handle, 5);
    if (bl < 0) {
        vel_Print("Check bl version failed!\n");
        return -1;
    }
    if (fw != 1 && bl != 7 && GetAndCompareLayoutVersion(files->handle) == 1) {
        vel_Print("FW do not need to update!\n");
        return 0;
    }
    vel_Print("FW/BL1 need to update!\n");
    return DoUpgradeFW(files, fw | bl << 8) < 0 ? -2 : 0;
}

int VelDisplayClass508::CheckWorkModeAction(libusb_device_handle* handle) {
    unsigned char query[kQuery];
    buildCommand(query, sizeof query, kQuery, makeParam(VELPTC_WORK_MODE));
    std::vector<unsigned char> reply(kReply, 0);
    int length = kReply;
    exchange(handle, VELPTC_WORK_MODE, query, sizeof query, reply.data(), &length);
    if (!hasMagic(reply.data(), reply.size())) {
        vel_Print("check package header failed \n");
        return 0;
    }
    vel_Printf("DataType is 0x%x\n", reply[kTypeOffset]);
    if (reply[kTypeOffset] != VELPTC_WORK_MODE) {
        vel_Printf("Received WorkMode error,Cmd code = 0x%x!\n", reply[kTypeOffset]);
        return 0;
    }
    const int mode = reply[kStatusOffset];
    vel_Printf("get mode is %d\n", mode);
    if (mode == 1) return -1;
    if (mode == 0)
        vel_Print("mode is FORMAL_MODE\n");
    else
        vel_Print("unknown mode,error!!\n");
    return 0;
}

int VelDisplayClass508::CheckWorkMode(_FILES* files) {
    const int mode = CheckWorkModeAction(files->handle);
    if (mode != -1) return mode;
    vel_Print("Test mode need update FW\n");
    std::vector<unsigned char> buffer(VEL_FW508_BUFFER);
    if (doUpgradeFwOnly(nullptr, files, buffer.data()) == 1) vel_Print("Test mode update FW over\n");
    return -1;
}

int VelDisplayClass508::CheckVersion(libusb_device_handle* handle, unsigned char kind) {
    std::vector<unsigned char> query = versionQuery(kind);
    std::vector<unsigned char> reply(kReply, 0);
    int length = kReply;
    exchange(handle, VELPTC_VERSION, query.data(), static_cast<int>(query.size()), reply.data(),
             &length);
    if (!hasMagic(reply.data(), reply.size())) return -1;
    if (reply[kTypeOffset] != VELPTC_VERSION || reply[17] != kind) {
        vel_Printf("Received version data type failed, error type = %d!\n", reply[kTypeOffset]);
        return -2;
    }
    if (reply[18] != 0) {
        vel_Printf("Received version error code = %d!\n", reply[18]);
        return -3;
    }
    // The text is bounded by the answer, whatever terminator the adapter sent.
    char text[sizeof g_firmwareRealVersion] = {};
    memcpy(text, reply.data() + 19, sizeof text - 1);
    if (kind == 1) {
        vel_Printf("Current firmware version is: %s.\n", text);
        std::lock_guard<std::mutex> lk(g_fwVersionMutex);
        memcpy(g_firmwareRealVersion, text, sizeof g_firmwareRealVersion);
        if (text[0] == 'n') {
            if (strcmp(text, kSpecialFw) == 0) {
                vel_Print("Special \"n\" FW version, need update fw!\n");
                return 1;
            }
            vel_Print("FW version is start from \"n\", Do not update fw!\n");
            return -1;
        }
        return strcmp(text, g_local_FW_Version) != 0 ? 1 : 0;
    }
    if (kind == 5) {
        vel_Printf("Current Bootloader 1 version is: %s.\n", text);
        // Compared as numbers: a byte comparison over the adapter's text orders "v 00.01.03"
        // above "v 00.01.0004" and takes an empty text as current.
        return velFw508BootloaderBelow(text, kMinBootloader);
    }
    return 0;
}

int VelDisplayClass508::GetLayoutVerInfo(char* text) {
    snprintf(text, 16, "%u", VEL_SROM_LAYOUT);
    return 1;
}

int VelDisplayClass508::GetAndCompareLayoutVersion(libusb_device_handle* handle) {
    std::vector<unsigned char> query = versionQuery(4);
    std::vector<unsigned char> reply(kReply, 0);
    int length = kReply;
    if (exchange(handle, VELPTC_VERSION, query.data(), static_cast<int>(query.size()),
                 reply.data(), &length) != 1)
        return 0;
    if (!hasMagic(reply.data(), reply.size()) || reply[kTypeOffset] != VELPTC_VERSION ||
        reply[17] != 4)
        return 0;
    char required[16] = {};
    GetLayoutVerInfo(required);
    return getLe32(reply.data() + 19) == strtoul(required, nullptr, 10) ? 1 : 0;
}

int VelDisplayClass508::DoUpgradeFW(_FILES* files, int flags) {
    std::vector<unsigned char> buffer(VEL_FW508_BUFFER);
    std::unique_ptr<_SROM_INFO_> info(new _SROM_INFO_());
    // A path that did not complete is reported (-1), so UpdateFW's result says the upgrade
    // failed instead of claiming it was done.
    bool failed = false;
    if (GetAndCompareLayoutVersion(files->handle) == 1) {
        if ((flags & 0xFF) == 1) {
            vel_Print("Do update FW only.\n");
            if (doUpgradeFwOnly(info.get(), files, buffer.data()) == 1) return 0;
            failed = true;
        }
        if ((flags >> 8) == 7) {
            vel_Print("Do update bootloader1.\n");
            if (updateBl1Only(info.get(), files, buffer.data()) != 1) failed = true;
        }
    } else {
        vel_Print("Do Full Update\n");
        if (doUpgradeFwAll(info.get(), files, buffer.data()) != 0) failed = true;
    }
    return failed ? -1 : 0;
}

// ---- one-transfer paths ----

int VelDisplayClass508::doUpgradeFwOnly(_SROM_INFO_*, _FILES* files, unsigned char* buffer) {
    vel_Print("Start loading firmware only.\n");
    memset(buffer, 0, VEL_FW508_BUFFER);
    const int length = velFw508ReadImage(files->firmware.file, files->firmware.length, buffer,
                                         "Read nothing from firmware file.\n");
    closeF(files->firmware);
    files->firmware.file = nullptr;
    int sent = 0;
    if (length > 0) {
        const size_t total = velFw508ImagePacket(buffer, 0x06, static_cast<size_t>(length));
        sent = exchange(files->handle, 0x06, buffer, static_cast<int>(total)) == 1;
    }
    if (sent) {
        files->checksum = velBinChecksumByte(buffer + 48, length);
        return 1;
    }
    vel_Print("Failed to update firmware!\n");
    return 0;
}

int VelDisplayClass508::updateBl1Only(_SROM_INFO_*, _FILES* files, unsigned char* buffer) {
    vel_Print("Start loading bootloader 1 ONLY .\n");
    memset(buffer, 0, VEL_FW508_BUFFER);
    const int length = velFw508ReadImage(files->bootloader1.file, files->bootloader1.length,
                                         buffer, "Read nothing from Bootloader 1. \n");
    closeF(files->bootloader1);
    files->bootloader1.file = nullptr;
    if (length > 0) {
        const size_t total = velFw508ImagePacket(buffer, 0x08, static_cast<size_t>(length));
        if (exchange(files->handle, 0x08, buffer, static_cast<int>(total)) == 1) return 1;
    }
    vel_Print("error!\n");
    return 0;
}

// ---- full rewrite ----

int VelDisplayClass508::sromWrite(libusb_device_handle* handle, unsigned char* buffer,
                                  uint32_t address, size_t length, const char* failLine,
                                  const char* notDoneLine) {
    const size_t total = velFw508SromPacket(buffer, true, address, length);
    std::vector<unsigned char> reply(kReply, 0);
    int replyLength = kReply;
    if (exchange(handle, VELPTC_SROM_ACCESS, buffer, static_cast<int>(total), reply.data(),
                 &replyLength) != 1 ||
        reply[kTypeOffset] != VELPTC_SROM_ACCESS) {
        vel_Print(failLine);
        return 0;
    }
    if (reply[26] != 1) {
        vel_Print(notDoneLine);
        return 0;
    }
    return 1;
}

int VelDisplayClass508::writePieces(libusb_device_handle* handle, unsigned char* buffer,
                                    int length, uint32_t address, bool stopAtFailure) {
    // Each piece goes out from its own small packet; the image stays where it was read.
    std::vector<unsigned char> piece(48 + VEL_SROM_PIECE + 1);
    int failed = 0;
    for (size_t at = 0; at < static_cast<size_t>(length); at += VEL_SROM_PIECE) {
        const size_t n = std::min(VEL_SROM_PIECE, static_cast<size_t>(length) - at);
        memcpy(piece.data() + 48, buffer + 48 + at, n);
        if (!sromWrite(handle, piece.data(), address + static_cast<uint32_t>(at), n, "error!\n",
                       "error!\n")) {
            ++failed;
            if (stopAtFailure) return 1;
        }
    }
    return failed ? 1 : 0;
}

int VelDisplayClass508::CheckSromDefaultInfo(_SROM_INFO_* info, _FILES* files) {
    vel_Print("START check srom def info. \n");
    unsigned char packet[kReadPacket + 1] = {};
    const size_t total =
        velFw508SromPacket(packet, false, VEL_SROM_DEFAULT_ADDRESS, sizeof info->defaults);
    std::vector<unsigned char> reply(kReply, 0);
    int length = kReply;
    if (exchange(files->handle, VELPTC_SROM_ACCESS, packet, static_cast<int>(total),
                 reply.data(), &length) != 1 ||
        !sromDone(reply.data()) || length < static_cast<int>(kReadPacket)) {
        vel_Print("error!\n");
        return 2;
    }
    memcpy(&info->defaults, reply.data() + 48, sizeof info->defaults);
    return 1;
}

int VelDisplayClass508::upgradeBl0(_SROM_INFO_DEFAULT_* info, _FILES* files,
                                   unsigned char* buffer) {
    vel_Print("Start loading bootloader 0.\n");
    const int length = velFw508ReadImage(files->bootloader0.file, files->bootloader0.length,
                                         buffer, "Read nothing from Bootloader 0. \n");
    closeF(files->bootloader0);
    files->bootloader0.file = nullptr;
    if (length <= 0) return 1;
    _SROM_IMAGE_ENTRY_& e = info->entry[VEL_SROM_BL0];
    velSromSetEntry(e, buffer + 48, length);
    return sromWrite(files->handle, buffer, e.address, static_cast<size_t>(length), "error!\n",
                     "error!\n")
               ? 0
               : 1;
}

int VelDisplayClass508::upgradeBl1_0(_SROM_INFO_* info, _FILES* files, unsigned char* buffer) {
    vel_Print("Start loading bootloader 1_0.\n");
    const int length = velFw508ReadImage(files->bootloader1.file, files->bootloader1.length,
                                         buffer, "Read nothing from Bootloader 1. \n");
    if (length <= 0) return 1;
    _SROM_IMAGE_ENTRY_& e = info->defaults.entry[VEL_SROM_BL1_0];
    velSromSetEntry(e, buffer + 48, length);
    return sromWrite(files->handle, buffer, e.address, static_cast<size_t>(length), "error!\n",
                     "error\n")
               ? 0
               : 1;
}

int VelDisplayClass508::upgradeBl1_1(_SROM_INFO_* info, _FILES* files, unsigned char* buffer) {
    vel_Print("Start loading bootloader 1_1.\n");
    const int length = velFw508ReadImage(files->bootloader1.file, files->bootloader1.length,
                                         buffer, "Read nothing from Bootloader 1. \n");
    closeF(files->bootloader1);
    files->bootloader1.file = nullptr;
    if (length <= 0) return 1;
    _SROM_IMAGE_ENTRY_& e = info->defaults.entry[VEL_SROM_BL1_1];
    velSromSetEntry(e, buffer + 48, length);
    if (!sromWrite(files->handle, buffer, e.address, static_cast<size_t>(length), "error!\n",
                   "error\n"))
        return 1;
    velSromBuildBootRecord(info);
    return 0;
}

int VelDisplayClass508::upgradeFw0(_SROM_INFO_DEFAULT_* info, _FILES* files, unsigned char*) {
    vel_Print("Start loading firmware0.\n");
    std::vector<unsigned char> image(VEL_FW508_BUFFER);
    const int length = velFw508ReadImage(files->firmware0.file, files->firmware0.length,
                                         image.data(), "Read nothing from firmware file.\n");
    closeF(files->firmware0);
    files->firmware0.file = nullptr;
    if (length <= 0) return 1;
    _SROM_IMAGE_ENTRY_& e = info->entry[VEL_SROM_FW0];
    velSromSetEntry(e, image.data() + 48, length);
    return writePieces(files->handle, image.data(), length, e.address, true);
}

int VelDisplayClass508::upgradeFw1(_SROM_INFO_DEFAULT_* info, _FILES* files,
                                   unsigned char* buffer) {
    vel_Print("Start loading firmware1.\n");
    const int length = velFw508ReadImage(files->firmware.file, files->firmware.length, buffer,
                                         "Read nothing from firmware file.\n");
    closeF(files->firmware);
    files->firmware.file = nullptr;
    if (length <= 0) return 1;
    _SROM_IMAGE_ENTRY_& e = info->entry[VEL_SROM_FW];
    velSromSetEntry(e, buffer + 48, length);
    return writePieces(files->handle, buffer, length, e.address, false);
}

int VelDisplayClass508::updateRomInfo(_SROM_INFO_* info, _FILES* files, unsigned char*) {
    vel_Print("Start loading rom info.\n");
    velSromBuildMainRecord(info);
    unsigned char packet[kReadPacket + 1] = {};
    memcpy(packet + 48, &info->defaults, sizeof info->defaults);
    if (!sromWrite(files->handle, packet, VEL_SROM_DEFAULT_ADDRESS, sizeof info->defaults,
                   "error!\n", "error!\n"))
        return 1;
    vel_Print("start update srom_update_info \n");
    memcpy(packet + 48, &info->mainRecord, sizeof info->mainRecord);
    if (!sromWrite(files->handle, packet, VEL_SROM_MAIN_RECORD_ADDRESS, sizeof info->mainRecord,
                   "error!\n", "error!\n"))
        return 1;
    vel_Print("start update srom_bl1_info \n");
    vel_Print("pass custom layout check . \n");
    memcpy(packet + 48, &info->bootRecord, sizeof info->bootRecord);
    if (!sromWrite(files->handle, packet, VEL_SROM_BOOT_RECORD_ADDRESS, sizeof info->bootRecord,
                   "error!\n", "error!\n"))
        return 1;
    vel_Print("srom return success.\n");
    return 0;
}

int VelDisplayClass508::doUpgradeFwAll(_SROM_INFO_* info, _FILES* files, unsigned char* buffer) {
    vel_Print("Update firmware all. \n");
    memset(info, 0xFF, sizeof *info);
    if (CheckSromDefaultInfo(info, files) != 1) return 1;
    if (upgradeBl0(&info->defaults, files, buffer) != 0) return 1;
    if (upgradeBl1_0(info, files, buffer) != 0) return 1;
    if (upgradeBl1_1(info, files, buffer) != 0) return 1;
    if (upgradeFw0(&info->defaults, files, buffer) != 0) return 1;
    if (upgradeFw1(&info->defaults, files, buffer) != 0) return 1;
    return updateRomInfo(info, files, buffer);
}

// ---- command-line query ----

int VelDisplayClass508::optGetVersion(unsigned char kind) {
    vel_Printf("Driver Should use firmware verison: %s\n", kDriverFwVersion);
    std::vector<unsigned char> query = versionQuery(kind);
    int endpoint = 1;
    {
        auto dev = session();
        if (dev) endpoint = dev->cmdEndpoint508;
    }
    const int rc = writeBulk(static_cast<unsigned char>(endpoint), query.data(),
                             static_cast<int>(query.size()), kUpdateTimeoutMs);
    if (rc != 0) {
        vel_Printf("******Send data failed err= %d\n", rc);
        return -1;
    }
    unsigned char buffer[kInterruptSize];
    for (int read = 0; read < kDirectReads; ++read) {
        int got = 0;
        memset(buffer, 0, sizeof buffer);
        if (readInterruptPipe(buffer, static_cast<int>(sizeof buffer), &got) != 0) continue;
        if (!hasMagic(buffer, got > 0 ? static_cast<size_t>(got) : 0)) continue;
        if (buffer[kTypeOffset] != VELPTC_VERSION) {
            vel_Printf("unknow Data Type: %x\n", buffer[kTypeOffset]);
            return -1;
        }
        if (buffer[18] == 0) {
            char text[129] = {};
            memcpy(text, buffer + 19, 128);
            vel_Printf("Current firmware version is:%s\n", text);
        }
        return 0;
    }
    vel_Print("******Rev Data failed, wait 60 times******\n");
    return -1;
}

int option_GetVersion(unsigned int deviceIndex, unsigned char kind) {
    if (!g_dev || deviceIndex > 1) return -1;
    auto dev = g_dev->findDev(static_cast<int>(deviceIndex));
    if (!dev) return -1;
    auto dc = std::dynamic_pointer_cast<VelDisplayClass508>(dev->displayClass);
    dev.reset();
    return dc ? dc->optGetVersion(kind) : -1;
}
