// The EVDI stand-in and its desktop: preferred mode from the EDID, exact damage, grabs into the
// registered buffer, update-ready and cursor events through the event descriptor.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "emulator/evdi/desktop.h"
#include "emulator/evdi/evdiEmu.h"
#include "session/evdiApi.h"

namespace {

struct Recorder {
    std::vector<evdi_mode> modes;
    std::vector<int> dpms, updates;
    std::vector<evdi_cursor_move> moves;
    std::vector<std::pair<evdi_cursor_set, std::vector<uint32_t>>> cursors;
};

evdi_event_context contextFor(Recorder* r) {
    evdi_event_context c{};
    c.user_data = r;
    c.mode_changed_handler = [](evdi_mode m, void* u) { static_cast<Recorder*>(u)->modes.push_back(m); };
    c.dpms_handler = [](int m, void* u) { static_cast<Recorder*>(u)->dpms.push_back(m); };
    c.update_ready_handler = [](int b, void* u) { static_cast<Recorder*>(u)->updates.push_back(b); };
    c.cursor_move_handler = [](evdi_cursor_move m, void* u) { static_cast<Recorder*>(u)->moves.push_back(m); };
    c.cursor_set_handler = [](evdi_cursor_set s, void* u) {
        std::vector<uint32_t> px(s.buffer, s.buffer + s.buffer_length / 4);
        static_cast<Recorder*>(u)->cursors.push_back({s, px});
        free(s.buffer);
    };
    return c;
}

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

class StandIn : public ::testing::Test {
protected:
    void SetUp() override {
        handle = emu::openDisplay(emu::makeEdid(1920, 1080, 60), 8294400, 530841600);
        ASSERT_NE(handle, nullptr);
        ctx = contextFor(&rec);
    }
    void TearDown() override {
        evdi_close(handle);
        for (auto* b : buffers) free(b);
    }
    void registerBuffer(int w, int h) {
        buffers.push_back(calloc(static_cast<size_t>(w) * h, 4));
        evdi_register_buffer(handle, {0, buffers.back(), w, h, w * 4, nullptr, 0});
    }
    int grab(evdi_rect* rects) {
        int n = -1;
        evdi_grab_pixels(handle, rects, &n);
        return n;
    }
    evdi_handle handle = EVDI_INVALID_HANDLE;
    Recorder rec;
    evdi_event_context ctx{};
    std::vector<void*> buffers;
};

TEST(DesktopEdid, PreferredModeIsTheFirstDetailedTiming) {
    emu::DesktopMode m;
    for (auto [w, h, r] : {std::tuple{1920, 1080, 60}, {3840, 2160, 30}, {1280, 720, 75}}) {
        auto edid = emu::makeEdid(w, h, r);
        ASSERT_TRUE(emu::parsePreferredMode(edid.data(), edid.size(), &m));
        EXPECT_EQ(m.width, w);
        EXPECT_EQ(m.height, h);
        EXPECT_EQ(m.refresh, r);
    }
    auto edid = emu::makeEdid(1920, 1080, 60);
    EXPECT_FALSE(emu::parsePreferredMode(edid.data(), 127, &m));  // not one whole block
    edid[54] = edid[55] = 0;  // a display descriptor, not a timing
    EXPECT_FALSE(emu::parsePreferredMode(edid.data(), edid.size(), &m));
}

TEST_F(StandIn, ConnectAnnouncesTheModeAndDpmsOnThroughTheDescriptor) {
    int fd = evdi_get_event_ready(handle);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(readable(fd));
    evdi_handle_events(handle, &ctx);
    EXPECT_FALSE(readable(fd));
    ASSERT_EQ(rec.modes.size(), 1u);
    EXPECT_EQ(rec.modes[0].width, 1920);
    EXPECT_EQ(rec.modes[0].height, 1080);
    EXPECT_EQ(rec.modes[0].refresh_rate, 60);
    EXPECT_EQ(rec.modes[0].pixel_format, emu::kFourccXRGB8888);
    EXPECT_EQ(rec.dpms, std::vector<int>{0});
}

TEST_F(StandIn, GrabNeedsABufferOfTheFramebufferSize) {
    evdi_rect rects[16];
    registerBuffer(4096, 4096);  // the plug-in's placeholder area
    EXPECT_TRUE(evdi_request_update(handle, 0));
    EXPECT_EQ(grab(rects), 0);
    evdi_unregister_buffer(handle, 0);
    registerBuffer(1920, 1080);
    EXPECT_TRUE(evdi_request_update(handle, 0));  // the damage is still pending
    ASSERT_EQ(grab(rects), 1);
    EXPECT_EQ(rects[0].x2, 1920);
    EXPECT_EQ(rects[0].y2, 1080);
    auto px = emu::desktopPixels(handle);
    EXPECT_EQ(memcmp(buffers.back(), px.data(), px.size() * 4), 0);
}

TEST_F(StandIn, MovingWindowDamagesExactlyItsOldAndNewPlace) {
    registerBuffer(1920, 1080);
    evdi_rect rects[16];
    ASSERT_TRUE(evdi_request_update(handle, 0));
    ASSERT_EQ(grab(rects), 1);
    emu::desktopSetScene(handle, emu::Scene::MovingWindow);
    emu::desktopStep(handle);
    ASSERT_TRUE(evdi_request_update(handle, 0));
    ASSERT_EQ(grab(rects), 2);
    EXPECT_EQ(rects[0].x1, 0);
    EXPECT_EQ(rects[0].x2, 160);
    EXPECT_EQ(rects[1].x1, 24);
    EXPECT_EQ(rects[1].y1, 12);
    EXPECT_EQ(rects[1].x2, 184);
    EXPECT_EQ(rects[1].y2, 132);
    auto px = emu::desktopPixels(handle);
    EXPECT_EQ(memcmp(buffers.back(), px.data(), px.size() * 4), 0);
    // Static: nothing to grab, so the request is answered later by an update-ready event.
    emu::desktopSetScene(handle, emu::Scene::Static);
    emu::desktopStep(handle);
    EXPECT_FALSE(evdi_request_update(handle, 0));
    evdi_handle_events(handle, &ctx);
    EXPECT_TRUE(rec.updates.empty());
    emu::desktopSetScene(handle, emu::Scene::ScrollingText);
    emu::desktopStep(handle);
    evdi_handle_events(handle, &ctx);
    EXPECT_EQ(rec.updates, std::vector<int>{0});
}

TEST_F(StandIn, MoreThanSixteenRectanglesCollapseIntoTheirUnion) {
    registerBuffer(1920, 1080);
    evdi_rect rects[16];
    evdi_request_update(handle, 0);
    grab(rects);
    std::vector<evdi_rect> many;
    for (int i = 0; i < 20; ++i) many.push_back({i * 10, i * 5, i * 10 + 4, i * 5 + 4});
    emu::injectDamage(handle, many);
    ASSERT_TRUE(evdi_request_update(handle, 0));
    const int n = grab(rects);
    ASSERT_GE(n, 1);
    ASSERT_LE(n, 16);
    evdi_rect u = rects[0];
    for (int i = 1; i < n; ++i) {
        u.x1 = std::min(u.x1, rects[i].x1);
        u.y1 = std::min(u.y1, rects[i].y1);
        u.x2 = std::max(u.x2, rects[i].x2);
        u.y2 = std::max(u.y2, rects[i].y2);
    }
    EXPECT_EQ(u.x1, 0);
    EXPECT_EQ(u.y1, 0);
    EXPECT_EQ(u.x2, 19 * 10 + 4);
    EXPECT_EQ(u.y2, 19 * 5 + 4);
}

TEST_F(StandIn, ModeChangeBetweenRequestAndGrabYieldsNoRectangles) {
    registerBuffer(1920, 1080);
    evdi_rect rects[16];
    ASSERT_TRUE(evdi_request_update(handle, 0));
    emu::desktopSetMode(handle, {1280, 720, 60, emu::kFourccXBGR8888});
    EXPECT_EQ(grab(rects), 0);
    evdi_handle_events(handle, &ctx);
    ASSERT_EQ(rec.modes.size(), 2u);
    EXPECT_EQ(rec.modes[1].pixel_format, emu::kFourccXBGR8888);
}

TEST_F(StandIn, CursorEventsCarryACopyOfTheImage) {
    evdi_handle_events(handle, &ctx);
    emu::desktopSetCursor(handle, 32, 32, 3, 4, true);
    emu::desktopMoveCursor(handle, 100, 200);
    evdi_handle_events(handle, &ctx);
    ASSERT_EQ(rec.cursors.size(), 1u);
    EXPECT_EQ(rec.cursors[0].first.width, 32u);
    EXPECT_EQ(rec.cursors[0].first.stride, 128u);
    EXPECT_EQ(rec.cursors[0].first.buffer_length, 32u * 32u * 4u);
    EXPECT_EQ(rec.cursors[0].second[0], 0xFFFFFFFFu);
    ASSERT_EQ(rec.moves.size(), 1u);
    EXPECT_EQ(rec.moves[0].y, 200);
    // With cursor events off the kernel draws the cursor itself: no events.
    evdi_enable_cursor_events(handle, false);
    emu::desktopMoveCursor(handle, 1, 1);
    EXPECT_EQ(emu::pendingEvents(handle), 0);
}

TEST(StandInLifecycle, ClosedAndUnknownHandlesAreIgnored) {
    emu::failNextOpen();
    EXPECT_EQ(evdi_open_attached_to(nullptr), nullptr);
    evdi_handle h = evdi_open_attached_to(nullptr);
    ASSERT_NE(h, nullptr);
    evdi_close(h);
    EXPECT_EQ(evdi_get_event_ready(h), -1);
    EXPECT_FALSE(evdi_request_update(h, 0));
    EXPECT_EQ(evdi_open(0), nullptr);  // no device added
    EXPECT_EQ(evdi_check_device(0), NOT_PRESENT);
    EXPECT_EQ(evdi_add_device(), 1);
    EXPECT_EQ(evdi_check_device(0), AVAILABLE);
    evdi_handle byCard = evdi_open(0);
    ASSERT_NE(byCard, nullptr);
    EXPECT_EQ(emu::stats(byCard).card, 0);
    evdi_close(byCard);
}

}  // namespace
