#include "firmware/fw520Update.h"

#include <cstdint>
#include <cstring>

#include "devmgr/controlBlock.h"
#include "display/vel520Protocol.h"
#include "firmware/fwLogPath.h"
#include "firmware/fwVersion.h"
#include "service/debug.h"

namespace {

// Firmware-log block layout after the 32-byte header.
constexpr size_t kTotalOffset = 32;
constexpr size_t kIndexOffset = 36;
constexpr size_t kTextOffset = 48;

}  // namespace

int velFw520ShouldUpdate(int deviceIndex, const char* hostText, const char* deviceText) {
    const char* host = hostText ? hostText : "";
    const char* device = deviceText ? deviceText : "";
    switch (velCompareFwVersions(host, device)) {
        case VEL_FW_HOST_NEWER:
            vel_Printf(
                "FW Version in host is newer than device FW, device_id:%d FW Version in device: "
                "%.124s, FW Version in host: %.32s\n",
                deviceIndex, device, host);
            return 1;
        case VEL_FW_HOST_OLDER:
            vel_Printf(
                "FW Version in host is older than device FW, device_id:%d FW Version in device: "
                "%.124s, FW Version in host: %.32s\n",
                deviceIndex, device, host);
            return 0;
        case VEL_FW_MATCHED:
            vel_Printf("FW Version matched, device_id:%d FW Version: %.32s,\n", deviceIndex, host);
            return 0;
        default:
            return 0;  // unparseable: logged by the comparison
    }
}

int velFw520LogBlock(const unsigned char* block, size_t length, VEL_SHM_RECORD* record) {
    if (!block || length < kTextOffset || !record) {
        vel_Printf("[error] VelDisplay520Class::ProcessFWLogResponse: block of %zu bytes refused\n",
                   block ? length : 0);
        return -1;
    }
    const vel520::WireHeader h = vel520::readHeader(block);
    if (h.dataClass != vel520::CLASS_QUERY || h.dataType != vel520::QUERY_FW_LOG) {
        vel_Printf("[error] VelDisplay520Class::ProcessFWLogResponse DataClass:%d, DataType:%d\n",
                   h.dataClass, h.dataType);
        return -1;
    }
    const uint32_t total = vel520::getU32(block + kTotalOffset);
    const uint32_t index = vel520::getU32(block + kIndexOffset);
    // The counters are shown by the client as a progress bar of (next / total); a total that
    // does not fit the record's signed field or an index beyond it is a corrupt block.
    if (total == 0 || total > static_cast<uint32_t>(INT32_MAX) || index >= total) {
        vel_Printf("[error] VelDisplay520Class::ProcessFWLogResponse: block %u of %u refused\n",
                   index, total);
        return -1;
    }
    const bool last = index == total - 1;
    if (index == 0) {
        vel_Print("fw log downloaing...\n");
        controlBlockStore(record->fwLogTotal, static_cast<int32_t>(total));
    } else if (!last) {
        controlBlockStore(record->fwLogReceived, static_cast<int32_t>(index + 1));
    }

    // The text ends at its terminator or at the end of what arrived, whichever comes first.
    char path[VEL_FW_LOG_PATH_FIELD];
    static_assert(sizeof path == sizeof record->fwLogPath, "path field size");
    memcpy(path, record->fwLogPath, sizeof path);
    velAppendFwLogText(path, reinterpret_cast<const char*>(block + kTextOffset),
                       length - kTextOffset);

    if (last) {
        // A one-block log is finished too; otherwise the client waits out its timeout and the
        // heartbeat, closed for the download, is never reopened. The flag is raised only after
        // the text is in the file, since the client reads the file as soon as it sees it.
        vel_Printf("fw log download finished, total block:%u, filename:%.64s\n", total, path);
        controlBlockStore(record->fwLogDone, uint8_t{1});
    }
    return 0;
}

int velFw520ReadImage(FILE* file, int length, std::vector<unsigned char>& out) {
    out.clear();
    if (!file || length <= 0) {
        vel_Print("Read nothing from firmware file.\n");
        return 1;
    }
    if (static_cast<size_t>(length) > VEL_FW520_IMAGE_MAX) {
        vel_Printf("[error] firmware image of %d bytes is larger than %zu bytes, not sent\n",
                   length, VEL_FW520_IMAGE_MAX);
        return 1;
    }
    out.resize(static_cast<size_t>(length));
    size_t got = 0;
    if (fseek(file, 0, SEEK_SET) == 0) got = fread(out.data(), 1, out.size(), file);
    if (got == 0) {
        vel_Print("Read nothing from firmware file.\n");
        out.clear();
        return 1;
    }
    if (got != out.size()) {
        vel_Printf("[error] firmware image read %zu of %d bytes, not sent\n", got, length);
        out.clear();
        return 1;
    }
    return 0;
}
