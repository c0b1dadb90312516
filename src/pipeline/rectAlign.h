// Rectangle handling of the frame pipeline: merging a view's dirty-rectangle queue into one
// region, aligning a region to what the adapters' JPEG decoders accept, locating a region in the
// view's pixels, and the 50x family's remembered rectangles (its firmware keeps a ring of frame
// buffers, so every frame also repaints what the two frames before it changed).
//
// Threads: all of these run on the view's conversion thread or on a converter it started. They
// read the view's EVDI buffer, pixel format and conversion buffer without locking; a caller that
// can race a mode change holds the view's grab lock (VelDev::evdiGrabMutex) around the calls
// and the use of their results.
#pragma once

#include "pipeline/pipelineRecords.h"
#include "service/threadLock.h"
#include "session/evdiApi.h"

// Pops every queued rectangle of `queue` and merges them into one bounding region {x1, y1,
// x2 - x1, y2 - y1} in *out (session left untouched). Returns false when the queue was empty or
// cancelled; *out is then unchanged.
bool velMergeRectQueue(threadsafe_queue<evdi_rect>& queue, _alignmentRect* out);

// Aligns the region in place against the size of the view's EVDI buffer: regions start on
// 32-pixel columns and even rows, their sizes are multiples of 16, at least 32 x 32, except where
// they meet the right or bottom edge. A region that cannot be aligned is logged and kept. The
// result always lies inside the buffer. Does nothing without a session, for a bad view index or
// for an empty buffer.
void dataAlignmentJPG(_alignmentRect* rect, int viewId);

// Fills `out` for the region: pixels = first pixel of the region in the view's source area (the
// EVDI pixels of pixel area `area` for XR24/AR24, else the conversion buffer; null when that area
// does not exist); x, y, width, height from the region; stride and bits per pixel from the
// arguments. The other fields of `out` are left as they were.
void get_rect_pointer(const _alignmentRect* rect, _VELRECT* out, int bitsPerPixel, int stride,
                      int viewId, int area = 0);

// 50x family: returns the union of the region with the view's two remembered regions (as they
// were before this call) and remembers the region in the slot the alternation flag selects. The
// session of the result is the region's. A bad view index or a missing session returns the region
// unchanged.
_alignmentRect updateRectForFwRingBuf(const _alignmentRect* rect, int viewId);
