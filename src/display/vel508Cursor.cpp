// 50x-family hardware cursor: the position packet, and the shape cache of the images the adapter
// holds (401 slots). Both cursor packets and the upload go out under the class's cursorMutex,
// so the persistent packets and the cache change on one thread at a time (the EVDI event
// thread in the service); see VelDisplay508ClassDriver.h for the class's transfer rules.
#include <algorithm>
#include <cstring>
#include <vector>

#include "display/VelDisplay508ClassDriver.h"
#include "service/debug.h"
#include "session/VelDev.h"

using namespace vel508;

namespace {

constexpr uint8_t kCursorPosition = 0x3A;
constexpr uint8_t kCursorSelect = 0x39;
constexpr size_t kPositionSize = 44;
constexpr size_t kSelectSize = 48;
// The adapter's cursor plane: 64 x 64 pixels of 4 bytes.
constexpr int kSide = 64;
constexpr size_t kPitch = 256;
constexpr size_t kImageBytes = kPitch * kSide;  // 16384
constexpr size_t kUploadSize = 96 + kImageBytes;  // 16480
constexpr int kSlotsReused = 100;

}  // namespace

int VelDisplayClass508::writeInterrupt(unsigned char* data, int length) {
    auto dev = session();
    std::lock_guard<std::mutex> lk(txMutex);
    if (exiting(dev) || !dev->usbHandle) return LIBUSB_ERROR_NO_DEVICE;
    int done = 0;
    return libusb_interrupt_transfer(dev->usbHandle,
                                     static_cast<unsigned char>(dev->cmdEndpoint508), data,
                                     length, &done, kTransferTimeoutMs);
}

int VelDisplayClass508::setCursorState(int x, int y, int view, int visible) {
    std::lock_guard<std::mutex> lk(cursorMutex);
    uint8_t* p = cursorPosPacket;
    memcpy(p, kMagic, kMagicSize);
    putLe32(p + kLengthOffset, kPositionSize);
    p[16] = kCursorPosition;
    putLe32(p + 17, 12);
    p[21] = static_cast<uint8_t>(view);
    memset(p + 22, 0, 10);
    // Only bit 0 of byte 32 is the visibility; the adapter keeps its other bits as they were.
    p[32] = static_cast<uint8_t>((p[32] & ~1u) | (visible ? 1u : 0u));
    putLe32(p + 36, static_cast<uint32_t>(x));
    putLe32(p + 40, static_cast<uint32_t>(y));
    const int rc = writeInterrupt(p, static_cast<int>(kPositionSize));
    if (rc != 0) vel_Printf("Write cursor postion failed! ret = %d\n", rc);
    return rc;
}

// Uploads the cursor's 64 x 64 image into `slot` (cursorMutex held). True when the adapter
// acknowledged it.
bool VelDisplayClass508::uploadCursor(const evdi_cursor_set& cursor, int view, int slot) {
    std::vector<uint8_t> packet(kUploadSize, 0);
    uint8_t* p = packet.data();
    memcpy(p, kMagic, kMagicSize);
    putLe32(p + kLengthOffset, kUploadSize);
    _PARAMETER_ param = makeParam(VELPTC_CURSOR_IMAGE, view);
    param.bytes[5] = 0x30;
    param.bytes[6] = 0x40;
    param.bytes[9] = static_cast<uint8_t>(slot);
    memcpy(p + kParamOffset, param.bytes, kParamSize);
    putLe32(p + 48, 2);
    putLe32(p + 52, kSide);
    putLe32(p + 56, kSide);
    putLe32(p + 60, kPitch);
    putLe32(p + 64, static_cast<uint32_t>(cursor.hot_x));
    putLe32(p + 68, static_cast<uint32_t>(cursor.hot_y));
    putLe32(p + 72, kImageBytes);
    // The adapter's plane is 64 pixels wide: a wider cursor cannot be shown and goes as a
    // transparent image; a smaller one is copied row by row, never past its own rows.
    if (cursor.width <= kSide) {
        const auto* src = reinterpret_cast<const uint8_t*>(cursor.buffer);
        const size_t rows = std::min<size_t>(cursor.height, kSide);
        const size_t rowBytes = std::min<size_t>(cursor.stride, kPitch);
        for (size_t r = 0; r < rows; ++r)
            memcpy(p + 96 + r * kPitch, src + r * cursor.stride, rowBytes);
    }
    const int rc = writeBulk(static_cast<unsigned char>(session() ? session()->cmdEndpoint508 : 1),
                             p, static_cast<int>(kUploadSize), kTransferTimeoutMs);
    if (rc != 0) vel_Printf("set cursor image failed! ret = %d\n", rc);
    VELPTC_CONTROL_RET reply;
    if (readInterrupt(VELPTC_CURSOR_IMAGE, &reply) != 0) {
        vel_Print("Cannot get feedback of new cursor shape.\n");
        return false;
    }
    if (reply.status != 0) {
        vel_Printf("Read save new cursor shape error! ret = 0x%x!\n", reply.status);
        return false;
    }
    return rc == 0;
}

int VelDisplayClass508::setCursorImage(evdi_cursor_set cursor, int view) {
    const uint64_t size = static_cast<uint64_t>(cursor.height) * cursor.stride;
    if (!cursor.buffer || size == 0 || size > cursor.buffer_length ||
        size > kCursorCacheImageMax || (cursor.width <= kSide && cursor.stride < cursor.width * 4)) {
        vel_Printf("[error] VelDisplayClass508::setCursorImage invalid cursor image %ux%u stride "
                   "%u buffer %u, view %d\n",
                   cursor.width, cursor.height, cursor.stride, cursor.buffer_length, view);
        return -1;
    }
    const auto* image = reinterpret_cast<const uint8_t*>(cursor.buffer);
    std::lock_guard<std::mutex> lk(cursorMutex);
    int slot = -1;
    for (int s = 0; s < kCursorSlots && slot < 0; ++s) {
        const auto& held = cursorCache[s].image;
        if (held.size() == size && memcmp(held.data(), image, size) == 0) slot = s;
    }
    uint8_t uploaded = 0;
    if (slot < 0) {
        if (cursorCount > kCursorSlots - 1) cursorCount -= kSlotsReused;
        slot = cursorCount;
        cursorCache[slot].image.assign(image, image + size);
        if (!uploadCursor(cursor, view, slot)) {
            // The adapter does not hold it: forget the slot so the image is uploaded again next
            // time, and do not select a slot whose contents are unknown.
            cursorCache[slot].image.clear();
            return 1;
        }
        ++cursorCount;
        uploaded = 1;
    }
    uint8_t* p = cursorSelectPacket;
    memcpy(p, kMagic, kMagicSize);
    putLe32(p + kLengthOffset, kSelectSize);
    p[16] = kCursorSelect;
    p[17] = 0;
    p[18] = 0x40;
    p[19] = 0;
    p[20] = 0;
    p[21] = static_cast<uint8_t>(view);
    putLe32(p + 22, static_cast<uint32_t>(slot));
    p[26] = uploaded;
    const int rc = writeInterrupt(p, static_cast<int>(kSelectSize));
    if (rc != 0) vel_Printf("Write cursor shape index failed! ret = %d\n", rc);
    return rc;
}
