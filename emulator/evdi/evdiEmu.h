// The test-facing side of the EVDI stand-in (namespace emu): open a display as the plug-in code
// would, drive its desktop step by step, inject raw events, and read back what the service did
// with it (connect arguments, buffers, grabs).
//
// Every function takes the stand-in's lock; none calls a handler. Handlers run only inside
// evdi_handle_events, on whichever thread the service calls it from. A handle passed here must
// be one the stand-in opened and not yet closed; an unknown handle is ignored (or reads back as
// an empty record).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emulator/evdi/desktop.h"
#include "session/evdiApi.h"

namespace emu {

// The library version evdi_get_lib_version reports (default 1.12.0, the distribution's), and so
// how the stand-in reads evdi_connect's arguments.
void setEvdiLibVersion(int major, int minor, int patch);
evdi_lib_version evdiLibVersion();
// Whether connecting starts the desktop with the EDID's preferred mode (default true).
void setAutoDesktop(bool on);
// The next evdi_open* call fails (returns EVDI_INVALID_HANDLE).
void failNextOpen();

// What the service passed on connect, as the library in use would have read it.
struct EvdiConnectRecord {
    bool connected = false;
    std::string entry;  // "evdi_connect" or "evdi_connect2"
    std::vector<unsigned char> edid;
    unsigned int length = 0;
    uint32_t areaLimit = 0;
    uint32_t rateLimit = 0;
};

struct EvdiStats {
    int card = -1;
    std::string openEntry;  // "evdi_open", "evdi_open_attached_to", "evdi_open_attached_to_fixed"
    bool cursorEvents = false;
    int registers = 0, unregisters = 0;
    int requests = 0, grabs = 0, emptyGrabs = 0;
    int maxConcurrentGrabs = 0;  // grabs on this handle that overlapped in time
    int eventsDispatched = 0;
    std::vector<evdi_rect> lastGrabRects;
    bool bufferRegistered = false;  // a buffer with the id last requested
    int registeredWidth = 0, registeredHeight = 0;
};

// Open handles, oldest first.
std::vector<evdi_handle> openHandles();
EvdiConnectRecord connectRecord(evdi_handle handle);
EvdiStats stats(evdi_handle handle);
// Each grab on `handle` takes at least this long (to make overlapping grabs visible).
void setGrabDelay(evdi_handle handle, int microseconds);
// Cursor images handed to cursor_set_handler so far (each one the handler's to free).
int cursorImagesHandedOut();
int pendingEvents(evdi_handle handle);

// Opens and connects a display the way monitor plug-in does, without a session:
// evdi_open_attached_to(null), cursor events on, evdi_connect2 with the EDID and limits.
evdi_handle openDisplay(const std::vector<unsigned char>& edid, uint32_t areaLimit,
                        uint32_t rateLimit);

// Desktop of a connected display.
bool desktopRunning(evdi_handle handle);
void desktopStart(evdi_handle handle, const DesktopMode& mode);
void desktopSetMode(evdi_handle handle, const DesktopMode& mode);
void desktopSetScene(evdi_handle handle, Scene scene);
void desktopStep(evdi_handle handle, int steps = 1);
// Draws the XRGB pixels (row after row) into `rect` and damages it (Desktop::draw).
void desktopDraw(evdi_handle handle, const evdi_rect& rect, const std::vector<uint32_t>& xrgb);
void desktopMoveCursor(evdi_handle handle, int x, int y);
void desktopSetCursor(evdi_handle handle, uint32_t width, uint32_t height, int hotX, int hotY,
                      bool enabled);
void desktopSetDpms(evdi_handle handle, int mode);
DesktopMode desktopMode(evdi_handle handle);
std::vector<uint32_t> desktopPixels(evdi_handle handle);

// Raw events, queued as the kernel would and delivered by the next evdi_handle_events.
void injectUpdateReady(evdi_handle handle, int bufferId, int count = 1);
void injectModeChange(evdi_handle handle, const evdi_mode& mode);
void injectDpms(evdi_handle handle, int mode);
void injectCrtcState(evdi_handle handle, int state);
void injectCursorMove(evdi_handle handle, int x, int y);
void injectCursorSet(evdi_handle handle, const CursorImage& cursor);
// Damage without drawing (the next grab reports these rectangles).
void injectDamage(evdi_handle handle, const std::vector<evdi_rect>& rects);

}  // namespace emu
