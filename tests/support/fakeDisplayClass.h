// A display class with no adapter behind it, for tests of the session, the plug flow and the
// frame pipeline: every operation succeeds, and what the session asked for is recorded. Tests
// derive from it for the few answers they script themselves.
#pragma once

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "display/VelDisplayClassDriverBase.h"
#include "session/VelDev.h"

namespace vtest {

class FakeDisplayClass : public VelDisplayClassBase {
  public:
    struct Cursor {
        int x, y, view, state;
    };
    void checkMonitorStatus(void*, std::set<int>, bool) override {}
    // Frames the packet as far as the send path cares: length = JPEG length + 112 header bytes
    // (unless `frame` is off), the header zeroed and its first byte 'V' when `markHeader` is
    // on. `frameRecord` is null on the light-mode path.
    int dataHeaderPackage(const void* frameRecord, void* packet, _VELRECT rect, int jpegSize,
                          int source) override {
        auto* send = static_cast<_evdi_send*>(packet);
        if (frameRecord)
            frameIndexSeen = static_cast<const _RECT_IN_ENCODE_Q*>(frameRecord)->frameIndex;
        lengthArg = jpegSize;
        rectWidth = rect.width;
        sourceSeen = source;
        if (frame) send->length = jpegSize + 112;
        if (markHeader) {
            std::memset(send->buffer, 0, 112);
            send->buffer[0] = 'V';
        }
        ++framed;
        return 0;
    }
    int checkFrameIndex(unsigned char*) override { return 0; }
    int resetDevice(int) override { return 0; }
    int sendPatchCommand(int, unsigned int) override { return 0; }
    int setCursorState(int x, int y, int view, int state) override {
        std::lock_guard<std::mutex> lk(m);
        cursorStates.push_back({x, y, view, state});
        return 0;
    }
    int setCursorImage(evdi_cursor_set c, int view) override {
        std::lock_guard<std::mutex> lk(m);
        imageViews.push_back(view);
        images.emplace_back(c.buffer, c.buffer + c.buffer_length / 4);
        return 0;
    }
    int setMode(int view) override {
        std::lock_guard<std::mutex> lk(m);
        modeViews.push_back(view);
        return 0;
    }
    int doDpmsState(int view, int state) override {
        std::lock_guard<std::mutex> lk(m);
        dpms.push_back({view, state});
        return 0;
    }
    // Frame indexes count up from `nextIndex`; a restart makes the next one 1, as the 520
    // class's counter does after its wrap.
    uint32_t updateFrameIndex(unsigned short) override { return nextIndex++; }
    int zeroFrameIndex() override {
        ++zeroed;
        nextIndex = 1;
        return 0;
    }
    // A copy of a recorded field, taken under the lock.
    template <typename T>
    T get(const T& field) {
        std::lock_guard<std::mutex> lk(m);
        return field;
    }

    std::atomic<bool> frame{true}, markHeader{false};
    std::atomic<int> framed{0}, zeroed{0};
    std::atomic<int> lengthArg{-1}, frameIndexSeen{-1}, rectWidth{-1}, sourceSeen{-1};
    std::atomic<uint32_t> nextIndex{0};

    std::mutex m;  // guards everything below
    std::vector<Cursor> cursorStates;
    std::vector<int> imageViews, modeViews;
    std::vector<std::vector<uint32_t>> images;
    std::vector<std::pair<int, int>> dpms;
};

}  // namespace vtest
