// The desktop side of the in-process service tests and the soak: every open display of the EVDI
// stand-in keeps drawing (a moving window, now and then a full-screen change), moves its cursor
// and now and then changes it, whatever the service is doing meanwhile. Runs from construction
// to stop() or destruction.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "emulator/evdi/evdiEmu.h"

namespace vtest {

class DesktopPainter {
  public:
    // `fullScreenEvery`: one tick in this many redraws the whole screen. `cursor`: whether the
    // cursor moves and changes too.
    explicit DesktopPainter(int fullScreenEvery = 3, bool cursor = true) {
        m_thread = std::thread([this, fullScreenEvery, cursor] {
            int tick = 0;
            while (!m_stop) {
                for (evdi_handle h : emu::openHandles()) {
                    if (!emu::desktopRunning(h)) continue;
                    emu::desktopSetScene(h, tick % fullScreenEvery ? emu::Scene::MovingWindow
                                                                   : emu::Scene::FullScreen);
                    emu::desktopStep(h);
                    if (!cursor) continue;
                    emu::desktopMoveCursor(h, 10 + tick % 300, 5 + tick % 200);
                    if (tick % 10 == 0)
                        emu::desktopSetCursor(h, 32 + 16 * (tick / 10 % 3), 32, 1, 1, true);
                }
                ++tick;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    ~DesktopPainter() { stop(); }
    DesktopPainter(const DesktopPainter&) = delete;
    DesktopPainter& operator=(const DesktopPainter&) = delete;
    void stop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
    }

  private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace vtest
