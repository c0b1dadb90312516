// Model-520 firmware update (the check run at bring-up and by every hot-plug worker, the image
// send) and the firmware-log download on the receive thread. The decisions that need no USB
// (version order, one log block against the control-block record, reading an image whole) are in
// src/firmware/; the concurrency rules of the class are at the top of
// VelDisplay520ClassDriver.h.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "devmgr/DevManager.h"
#include "devmgr/controlBlock.h"
#include "display/VelDisplay520ClassDriver.h"
#include "display/vel520Internal.h"
#include "firmware/fw520Update.h"
#include "firmware/fwVersion.h"
#include "firmware/loadFW.h"
#include "service/debug.h"
#include "service/threads.h"

using namespace vel520;

namespace {

// Log-block fields after the 32-byte header.
constexpr size_t kLogTotalOffset = 32;
constexpr size_t kLogIndexOffset = 36;
constexpr size_t kLogTextOffset = 48;

}  // namespace

int VelDisplay520Class::firmWareVersionCheck(int index) {
    // Hot-plug workers check before they take pnpMutex, so several checks may start together;
    // one at a time, so that an image is sent once. The check that sends it never returns (the
    // service ends), and the lock with it.
    std::lock_guard<std::mutex> lk(fwCheckMutex);
    _FILES files;
    memset(&files, 0, sizeof files);
    if (checkFileExists(static_cast<unsigned>(index), &files) != 0) return 0;
    checkAndUpdateFw(&files);
    closeFiles(&files);
    if (fwUpdatedFlag) {
        // The adapter takes the new firmware at its next start; so does the service.
        vel520Abort(session());
    }
    return 0;
}

int VelDisplay520Class::checkAndUpdateFw(_FILES* files) {
    if (!files || !getLocalFw1Ver(files->firmware.file, hostFwVersion)) {
        vel_Print("[error] fail to get FW Verion\n");
        return 1;
    }
    vel_Printf("[info] found updateBin in file system, FW Version: %s\n", hostFwVersion);
    // The first dotted number of each text, compared component by component: 1.10 is newer
    // than 1.9, and "v 2.24.1.0" or "FW 1.10" are read by their numbers.
    const bool update =
        velFw520ShouldUpdate(deviceIndex, hostFwVersion, fwVersionInBoard ? fwVersionInBoard : "");
    return promptUpdateFw(update, false, files);
}

int VelDisplay520Class::promptUpdateFw(bool update, bool, _FILES* files) {
    std::vector<unsigned char> layout(kLayoutTextSize, 0);
    unsigned int length = 0;
    if (getFWVersion(VERSION_LAYOUT, layout.data(), &length) != 0) return 1;
    layout.back() = 0;
    vel_Printf("Layout Version: %s\n", reinterpret_cast<const char*>(layout.data()));
    if (!update) return 1;
    if (updateFwOnly(files) == 0) {
        fwUpdatedFlag = true;
        vel_Print("FW Update Success\n");
        return 0;
    }
    vel_Print("FW Update Failed\n");
    return 1;
}

int VelDisplay520Class::updateFwOnly(_FILES* files) {
    vel_Print("+ CUSB520Adapter::updateFwOnly +\n");
    int rc = fwUpdate(DATA_FIRMWARE, files);
    if (rc != 0) {
        vel_Printf("= updateFwOnly: Update firmware error:0x%x =\n", rc);
        return 1;
    }
    vel_Print("- CUSB520Adapter::updateFwOnly -\n");
    return 0;
}

int VelDisplay520Class::updateBl1Only(_FILES* files) {
    vel_Printf("+ CUSB520Adapter:: %s +\n", "updateBl1Only");
    int rc = fwUpdate(DATA_BL1, files);
    if (rc != 0) {
        vel_Printf("= %s: Update BL1 error:0x%x =\n", "updateBl1Only", rc);
        return 1;
    }
    vel_Printf("- CUSB520Adapter:: %s -\n", "updateBl1Only");
    return 0;
}

int VelDisplay520Class::fwUpdate(unsigned char type, _FILES* files) {
    vel_Printf("+ VelDisplayClass::fwUpdate Type:%d +\n", type);
    const _FILEAttr* image = nullptr;
    if (files && type == DATA_FIRMWARE) image = &files->firmware;
    if (files && type == DATA_BL1) image = &files->bootloader1;
    if (!image) {
        vel_Printf("[error] VelDisplayClass::fwUpdate: no image of type %d\n", type);
        return 1;
    }
    std::vector<unsigned char> data;
    // Only a whole image goes out: the adapter would flash a cut or zero-filled one.
    if (velFw520ReadImage(image->file, image->length, data) != 0) return 1;

    int rc = 0;
    {
        ExchangeLock lock(commandLock);
        rc = sendCommand(0, 0, 0, CLASS_DATA, type, 0, data.data(),
                         static_cast<unsigned int>(data.size()));
    }
    if (rc == 1) return 1;
    if (rc != 0)
        vel_Printf("- VelDisplay520Class::fwUpdate sendCommand Error Ret=%d -\n", rc);
    else
        vel_Printf("- VelDisplay520Class::fwUpdate Ret=%d -\n", rc);
    return rc;
}

int VelDisplay520Class::ProcessFWLogResponse(unsigned char* block, size_t length) {
    std::unique_ptr<unsigned char, void (*)(void*)> owned(block, free);
    if (length > kRxBufferSize) length = kRxBufferSize;
    // The block is worked on a copy of the record (the path the client named, the counters);
    // what it changed goes back field by field, the done byte last, since the client reads the
    // file as soon as it sees that byte.
    const ControlBlockFile cb = controlBlockService();
    VEL_SHM_RECORD before;
    if (!cb.readRecord(deviceIndex, &before)) return -1;
    VEL_SHM_RECORD rec = before;
    const int rc = velFw520LogBlock(block, block ? length : 0, &rec);
    if (rec.fwLogTotal != before.fwLogTotal)
        cb.put(deviceIndex, &VEL_SHM_RECORD::fwLogTotal, rec.fwLogTotal);
    if (rec.fwLogReceived != before.fwLogReceived)
        cb.put(deviceIndex, &VEL_SHM_RECORD::fwLogReceived, rec.fwLogReceived);
    if (rec.fwLogDone != before.fwLogDone)
        cb.put(deviceIndex, &VEL_SHM_RECORD::fwLogDone, rec.fwLogDone);
    return rc;
}

void VelDisplay520Class::handleFwLogBlock(const unsigned char* message, size_t length) {
    if (!message || length < kHeaderSize) return;
    const ControlBlockFile cb = controlBlockService();
    if (!cb.valid()) return;
    // The header's length is the device's word; what arrived bounds it.
    const WireHeader h = readHeader(message);
    if (length > kRxBufferSize) length = kRxBufferSize;
    if (h.payloadLength < length - kHeaderSize) length = kHeaderSize + h.payloadLength;

    // Whether this block is the one that completes the download: only that block reopens the
    // heartbeat (a done byte the client has not cleared yet must not reopen it again).
    bool finishes = false;
    if (length >= kLogTextOffset) {
        const uint32_t total = getU32(message + kLogTotalOffset);
        const uint32_t index = getU32(message + kLogIndexOffset);
        finishes = total != 0 && index == total - 1;
    }

    int taken = -1;
    {
        std::lock_guard<std::mutex> lk(fwLogMutex);
        unsigned char* copy = static_cast<unsigned char*>(malloc(length));
        if (!copy) {
            vel_Printf("[error] fw log block of %zu bytes dropped: out of memory\n", length);
            return;
        }
        memcpy(copy, message, length);
        try {
            std::thread writer([this, copy, length, &taken] {
                vel::threadInit("fwLogWriter");
                taken = ProcessFWLogResponse(copy, length);
            });
            writer.join();
        } catch (const std::system_error&) {
            // No thread to be had: the block is written here instead.
            taken = ProcessFWLogResponse(copy, length);
        }
    }
    VEL_SHM_RECORD rec;
    if (taken != 0 || !finishes || !cb.readRecord(deviceIndex, &rec) || !rec.fwLogDone) return;

    vel_Print("open heartbeat\n");
    try {
        std::shared_ptr<VelDisplay520Class> self = shared_from_this();
        std::thread([self, t = ClassThreadTicket()]() mutable {
            vel::threadInit("openHeartbeat");
            self->controlHeartbeat(HEARTBEAT_OPEN);
            self.reset();
        }).detach();
    } catch (const std::exception& e) {
        // Not owned any more (clean-up under way) or no thread: the heartbeat stays closed.
        vel_Printf("[warning] heartbeat not reopened: %s\n", e.what());
    }
}
