// A view's pixel areas: which one a grab writes, which one a frame reads, and how the written one
// is brought up to date.
//
// A model-520 view in XRGB/ARGB has two areas, both registered with EVDI. A grab writes the one
// that does not hold the newest picture, under that area's write lock, and waits only for frames
// still reading it; a frame reads the newest area under its read lock. So the next grab goes on
// while frames of the previous picture still read, and the light-mode encoder can give the update
// token back as soon as its frame holds its area. Every other view has one area, always the
// newest, and grabs and readers take turns on it as before.
//
// A grab writes only the damaged rectangles. The area it writes lacks what the other area got
// since (areaLacks): after the grab, those rectangles are copied over from the newest area, less
// the parts the grab itself wrote. With the whole screen damaged on every grab nothing is left
// to copy. A list longer than kMaxLacks rectangles is kept as its bounding box: copying more of
// the newest area than needed is still right, since nothing outside the grab's rectangles
// changed since that area was written.
//
// Locks: an area's PixelAreaLock is taken before evdiGrabMutex and never waited for while holding
// it; the choice of area is re-checked under evdiGrabMutex once the area lock is held, since a
// mode change or another grab may have moved the newest area meanwhile. newestArea, areaLacks
// and the area records are guarded by evdiGrabMutex. Grabs of a view exclude each other: each
// writes the area that is not newest, under its write lock, and makes it newest before it lets go.
#include <algorithm>
#include <cstring>

#include "session/VelDev.h"
#include "session/evdiHandlers.h"

namespace {

constexpr size_t kMaxLacks = VEL_EVDI_MAX_RECTS;

bool doubleBuffered(VelDev& dev, int v) { return dev.secondArea[v].buffer != nullptr; }

int grabTarget(VelDev& dev, int v) { return doubleBuffered(dev, v) ? 1 - dev.newestArea[v] : 0; }

// Copies the parts of `r` that no rectangle of `skip` covers from `src` to `dst` (same geometry).
void copyExcept(const evdi_buffer& src, evdi_buffer& dst, evdi_rect r, const evdi_rect* skip,
                int skipCount) {
    if (!velEvdiClampRect(&r, dst.width, dst.height)) return;
    const auto* from = static_cast<const unsigned char*>(src.buffer);
    auto* to = static_cast<unsigned char*>(dst.buffer);
    std::pair<int, int> spans[VEL_EVDI_MAX_RECTS];
    for (int y = r.y1; y < r.y2; ++y) {
        int n = 0;
        for (int i = 0; i < skipCount && n < VEL_EVDI_MAX_RECTS; ++i)
            if (skip[i].y1 <= y && y < skip[i].y2 && skip[i].x1 < skip[i].x2)
                spans[n++] = {skip[i].x1, skip[i].x2};
        std::sort(spans, spans + n);
        const size_t row = static_cast<size_t>(y) * static_cast<size_t>(dst.stride);
        int x = r.x1;
        for (int i = 0; i <= n && x < r.x2; ++i) {
            const int end = i < n ? std::min(spans[i].first, r.x2) : r.x2;
            if (end > x)
                memcpy(to + row + static_cast<size_t>(x) * 4, from + row + static_cast<size_t>(x) * 4,
                       static_cast<size_t>(end - x) * 4);
            if (i < n) x = std::max(x, spans[i].second);
        }
    }
}

}  // namespace

int VelDev::lockGrabArea(int viewId, std::unique_lock<std::mutex>& grabLock) {
    for (;;) {
        int area = 0;
        {
            std::lock_guard<std::mutex> lk(evdiGrabMutex[viewId]);
            area = grabTarget(*this, viewId);
        }
        areaLock(viewId, area).lock();
        grabLock.lock();
        if (grabTarget(*this, viewId) == area) return area;
        grabLock.unlock();
        areaLock(viewId, area).unlock();
    }
}

void VelDev::finishGrab(int viewId, int area, const evdi_rect* rects, int count) {
    if (count <= 0) return;
    const int newest = newestArea[viewId];
    if (area == newest || !doubleBuffered(*this, viewId)) return;
    evdi_buffer& dst = pixelArea(viewId, area);
    const evdi_buffer& src = pixelArea(viewId, newest);
    if (src.width == dst.width && src.height == dst.height && src.stride == dst.stride) {
        for (const evdi_rect& lack : areaLacks[viewId][area])
            copyExcept(src, dst, lack, rects, count);
    }
    areaLacks[viewId][area].clear();
    std::vector<evdi_rect>& older = areaLacks[viewId][newest];
    older.insert(older.end(), rects, rects + count);
    if (older.size() > kMaxLacks) {
        const evdi_rect box = velEvdiBoundingBox(older.data(), static_cast<int>(older.size()));
        older.assign(1, box);
    }
    newestArea[viewId] = area;
}

int VelDev::holdNewestArea(int viewId, std::unique_lock<std::mutex>& grabLock,
                           std::shared_lock<PixelAreaLock>* hold) {
    for (;;) {
        int area = 0;
        {
            std::lock_guard<std::mutex> lk(evdiGrabMutex[viewId]);
            area = newestArea[viewId];
        }
        std::shared_lock<PixelAreaLock> h(areaLock(viewId, area));
        grabLock.lock();
        // A grab that finished in between made the other area newest: read that one instead.
        if (newestArea[viewId] == area) {
            *hold = std::move(h);
            return area;
        }
        grabLock.unlock();
    }
}

bool VelDev::areasInUse(int viewId) {
    return pixelAreaLock[viewId].inUse() || secondAreaLock[viewId].inUse();
}

bool VelDev::waitAreasUnused(int viewId, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (int area = 0; area < 2; ++area) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (!areaLock(viewId, area).waitUnused(std::max(left, std::chrono::milliseconds(0))))
            return false;
    }
    return true;
}
