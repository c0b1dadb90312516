// The emulated desktop of one EVDI virtual display: a framebuffer that a compositor would draw,
// driven step by step by tests. It takes the connected EDID's preferred mode, announces it, and
// draws deterministic scenes, reporting exactly the rectangles each step changed. It also moves
// and changes the cursor and switches DPMS.
//
// Threads: a Desktop has no lock of its own; the EVDI stand-in owns each one and calls it under
// the stand-in's lock. Pixels are 32 bits, stride 4 x width, in the byte order of the mode's
// pixel format (XRGB8888: B, G, R, X in memory; the BGR orders swap bytes 0 and 2).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "session/evdiApi.h"

namespace emu {

constexpr uint32_t kFourccXRGB8888 = 0x34325258;  // "XR24"
constexpr uint32_t kFourccARGB8888 = 0x34325241;  // "AR24"
constexpr uint32_t kFourccXBGR8888 = 0x34324258;  // "XB24"
constexpr uint32_t kFourccABGR8888 = 0x34324241;  // "AB24"
constexpr uint32_t kFourccRGB565 = 0x36314752;    // "RG16"

struct DesktopMode {
    int width = 0;
    int height = 0;
    int refresh = 0;
    uint32_t fourcc = kFourccXRGB8888;
};

// The preferred mode of an EDID: its first detailed timing (bytes 54-71). False when the EDID is
// shorter than one block or that descriptor is not a timing (pixel clock 0) or is empty.
bool parsePreferredMode(const unsigned char* edid, size_t length, DesktopMode* mode);

// A valid 128-byte EDID (header, checksum) whose first detailed timing is width x height at
// about `refresh` Hz; `extensions` is written to byte 126 (the blocks themselves are appended
// empty, each with its checksum).
std::vector<unsigned char> makeEdid(int width, int height, int refresh, int extensions = 0);

enum class Scene {
    Static,         // nothing changes
    MovingWindow,   // a window moves: its old and its new place are damaged
    ScrollingText,  // a text box scrolls by one line: the box is damaged
    FullScreen,     // the whole screen changes colour
};

struct CursorImage {
    int32_t hotX = 0, hotY = 0;
    uint32_t width = 0, height = 0;
    bool enabled = true;
    std::vector<uint32_t> pixels;  // ARGB8888, width x height
};

// What a desktop reports to its display.
class DesktopSink {
public:
    virtual ~DesktopSink() = default;
    virtual void modeAnnounced(const DesktopMode& mode) = 0;
    virtual void damaged(const evdi_rect& rect) = 0;
    virtual void dpmsChanged(int mode) = 0;
    virtual void cursorChanged(const CursorImage& cursor) = 0;
    virtual void cursorMoved(int x, int y) = 0;
};

class Desktop {
public:
    explicit Desktop(DesktopSink* sink) : m_sink(sink) {}

    // A compositor's start: the mode, DPMS on, and a first full frame.
    void start(const DesktopMode& mode);
    // A mode switch by the user: announced, then redrawn whole.
    void setMode(const DesktopMode& mode);
    void setScene(Scene scene) { m_scene = scene; }
    // Draws one frame of the current scene.
    void step();
    void moveCursor(int x, int y);
    void setCursor(uint32_t width, uint32_t height, int hotX, int hotY, bool enabled);
    void setDpms(int mode);
    // Draws `xrgb` (width x height of `r`, row after row) at `r` and reports the damage; a
    // rectangle not wholly on the screen draws nothing.
    void draw(const evdi_rect& r, const std::vector<uint32_t>& xrgb);

    const DesktopMode& mode() const { return m_mode; }
    const std::vector<uint32_t>& pixels() const { return m_pixels; }
    int frame() const { return m_frame; }
    // The XRGB value a scene-free desktop shows at (x, y): background of a given frame.
    static uint32_t background(int x, int y);

private:
    void redrawAll();
    void put(int x, int y, uint32_t xrgb);
    void fillRect(const evdi_rect& r, uint32_t xrgb);
    void paintBackground(const evdi_rect& r);
    evdi_rect windowRect() const;
    evdi_rect textBox() const;
    void drawText(const evdi_rect& box);

    DesktopSink* m_sink;
    DesktopMode m_mode;
    std::vector<uint32_t> m_pixels;
    Scene m_scene = Scene::Static;
    int m_frame = 0;
    int m_winX = 0, m_winY = 0, m_winDx = 24, m_winDy = 12;
    int m_scroll = 0;
};

}  // namespace emu
