#include "pipeline/rectAlign.h"

#include <algorithm>
#include <cstddef>

#include "service/debug.h"
#include "session/VelDev.h"
#include "session/evdiHandlers.h"

namespace {

bool validView(int viewId) { return viewId >= 0 && viewId < VEL_MAX_VIEWS; }

int roundUp16(int v) { return (v + 15) & ~15; }

}  // namespace

bool velMergeRectQueue(threadsafe_queue<evdi_rect>& queue, _alignmentRect* out) {
    std::shared_ptr<evdi_rect> first = queue.trypop();
    if (!first) return false;
    evdi_rect box = *first;
    // One short lock per element: producers keep pushing while we merge, and whatever they
    // push before the queue runs dry joins this frame.
    while (std::shared_ptr<evdi_rect> more = queue.trypop()) {
        box.x1 = std::min(box.x1, more->x1);
        box.y1 = std::min(box.y1, more->y1);
        box.x2 = std::max(box.x2, more->x2);
        box.y2 = std::max(box.y2, more->y2);
    }
    out->x = box.x1;
    out->y = box.y1;
    out->width = box.x2 - box.x1;
    out->height = box.y2 - box.y1;
    return true;
}

void dataAlignmentJPG(_alignmentRect* rect, int viewId) {
    if (!rect || !rect->session || !validView(viewId)) return;
    const int W = rect->session->evdiBuffer[viewId].width;
    const int H = rect->session->evdiBuffer[viewId].height;
    if (W <= 0 || H <= 0) return;

    int x = rect->x, y = rect->y, width = rect->width, height = rect->height;
    // The rules below assume a region inside the view; rectangles come from the desktop, so a
    // stray one is first pulled into the buffer rather than letting it address past its end.
    x = std::clamp(x, 0, W - 1);
    y = std::clamp(y, 0, H - 1);
    width = std::clamp(width, 0, W - x);
    height = std::clamp(height, 0, H - y);

    if (height < 32) height = 32;
    if (width < 32) width = 32;
    if (y & 1) {
        y -= 1;
        height += 1;
    }
    if (x % 32 != 0) {
        const int r = x % 32;
        x -= r;
        width += r;
    }
    if (width % 16 != 0) width = roundUp16(width);
    if (x + width > W) width = W - x;
    if (height % 16 != 0) height = roundUp16(height);

    bool checked = true;
    if (y + height > H) {
        const int d = H - y;
        if (d % 16 == 0) {
            height = d;
        } else {
            const int p = 16 - d % 16;
            height = d + p;
            if (p <= y) {
                // Moved up so that it ends on the bottom edge with a height of whole blocks.
                y -= p;
            } else {
                height = H;
                y = 0;
                checked = false;
            }
        }
    }
    if (checked) {
        // A region that ends on the right or bottom edge cannot round its size there; that is
        // expected, not an alignment fault (views 1366 or 1050 pixels wide or tall do it on
        // every frame that touches the edge).
        const bool aligned = width % 16 == 0 && height % 16 == 0 && x % 32 == 0 && y % 2 == 0;
        const bool atEdge = y + height == H || x + width == W;
        if (!aligned && !atEdge) vel_Print("Jpeg alignment error!\n");
    }
    rect->x = x;
    rect->y = y;
    rect->width = width;
    rect->height = height;
}

void get_rect_pointer(const _alignmentRect* rect, _VELRECT* out, int bitsPerPixel, int stride,
                      int viewId, int area) {
    if (!rect || !out) return;
    unsigned char* base = nullptr;
    if (rect->session && validView(viewId) && (area == 0 || area == 1)) {
        VelDev& dev = *rect->session;
        base = velEvdiNeedsConversion(dev.pixelFormat[viewId])
                   ? dev.convBuffer[viewId]
                   : static_cast<unsigned char*>(dev.pixelArea(viewId, area).buffer);
    }
    const ptrdiff_t offset = static_cast<ptrdiff_t>(rect->x) * bitsPerPixel / 8 +
                             static_cast<ptrdiff_t>(rect->y) * stride;
    out->pixels = base ? base + offset : nullptr;
    out->x = rect->x;
    out->y = rect->y;
    out->width = rect->width;
    out->height = rect->height;
    out->stride = stride;
    out->bpp = bitsPerPixel;
}

_alignmentRect updateRectForFwRingBuf(const _alignmentRect* rect, int viewId) {
    if (!rect) return {};
    if (!rect->session || !validView(viewId)) return *rect;
    VelDev& dev = *rect->session;
    const _alignmentRect& a = dev.rememberedRect[viewId][0];
    const _alignmentRect& b = dev.rememberedRect[viewId][1];
    const _alignmentRect& n = *rect;
    const int x1 = std::min({a.x, b.x, n.x});
    const int y1 = std::min({a.y, b.y, n.y});
    const int x2 = std::max({a.x + a.width, b.x + b.width, n.x + n.width});
    const int y2 = std::max({a.y + a.height, b.y + b.height, n.y + n.height});

    if (dev.rememberedAlt[viewId] == 0) {
        dev.rememberedRect[viewId][0] = n;
        dev.rememberedAlt[viewId] = 1;
    } else {
        dev.rememberedRect[viewId][1] = n;
        dev.rememberedAlt[viewId] = 0;
    }
    _alignmentRect result;
    result.session = n.session;
    result.x = x1;
    result.y = y1;
    result.width = x2 - x1;
    result.height = y2 - y1;
    return result;
}
