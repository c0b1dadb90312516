// The EVDI event handlers of a view and the update task they start.
//
// Threads: every handler runs on the session's epoll thread ("pollEvdiEve"), which calls
// evdi_handle_events; only the update work runs elsewhere, on a short-lived detached
// "update_handler" thread per update-ready event. The epoll thread waits for all of its session's
// update tasks before it ends, and the session destructor joins the epoll thread, so a task never
// outlives its session.
//
// Pixel areas: the view's EVDI buffers are written by grabs (update tasks and the mode-change
// handler) and read by the conversion stages under the areas' read locks (session/pixelAreas.cpp
// says which area each takes). Grabs and the swap of the buffers on a mode change exclude each
// other through the view's evdiGrabMutex. The mode-change handler waits (bounded) for the update
// token and for the areas' readers before it replaces the areas: when both are over no stage
// reads the old areas and they are freed at once, otherwise they are kept in retiredAreas until a
// later mode change finds the view idle, or until the session goes.
//
// User data is a `_DEV_TOPO_` {device key, view id}. Handlers running on an epoll thread work on
// that thread's session; called from anywhere else they look the session up in g_dev's table and
// do nothing (logging) when there is no manager or no such session.
#pragma once

#include <cstdint>

#include "session/evdiApi.h"

struct _DEV_TOPO_;
class VelDev;

constexpr uint32_t VEL_FOURCC_XRGB8888 = 0x34325258;  // "XR24"
constexpr uint32_t VEL_FOURCC_ARGB8888 = 0x34325241;  // "AR24"
constexpr int VEL_EVDI_MAX_RECTS = 16;                // the library returns at most this many
constexpr int VEL_EVDI_MAX_MODE_SIDE = 8192;          // larger modes are refused

void dpms_handler(int dpms_mode, void* user_data);
void mode_changed_handler(evdi_mode mode, void* user_data);
void update_ready_handler(int buffer_to_be_updated, void* user_data);
void crtc_state_handler(int state, void* user_data);
// Frees cursor_set.buffer (the library's malloc'ed copy) once the display class has used it.
void cursor_set_handler(evdi_cursor_set cursor_set, void* user_data);
void cursor_move_handler(evdi_cursor_move cursor_move, void* user_data);

// Installs the six handlers and the user data in `ctx`; the DDC/CI handler stays unset.
void velEvdiInstallHandlers(evdi_event_context* ctx, _DEV_TOPO_* userData);

// Bounding box of `count` rectangles (count > 0).
evdi_rect velEvdiBoundingBox(const evdi_rect* rects, int count);
// Intersects `r` with a width x height area; false when nothing is left.
bool velEvdiClampRect(evdi_rect* r, int width, int height);
// True for pixel formats the pipeline cannot read in place (anything but XRGB8888/ARGB8888).
bool velEvdiNeedsConversion(uint32_t fourcc);

// Marks the calling thread as `dev`'s epoll thread (null to clear).
void velEvdiSetDispatchSession(VelDev* dev);
// True when the calling thread is `dev`'s epoll thread.
bool velEvdiOnDispatchThread(const VelDev* dev);
// Blocks until none of `dev`'s update tasks runs (each one's own waits are bounded).
void velEvdiWaitUpdateTasks(VelDev& dev);
// Frees the view's retired pixel areas; for plug-out, once the view's stages have stopped.
void velEvdiReleaseRetiredAreas(VelDev& dev, int viewId);
