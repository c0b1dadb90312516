#include "emulator/evdi/desktop.h"

#include <algorithm>

namespace emu {
namespace {
constexpr int kWindowW = 160, kWindowH = 120;
constexpr int kLineHeight = 16;
constexpr int kTextLines = 8;

bool bgrOrder(uint32_t fourcc) { return fourcc == kFourccXBGR8888 || fourcc == kFourccABGR8888; }

uint32_t swapRB(uint32_t v) {
    return (v & 0xFF00FF00u) | ((v & 0xFFu) << 16) | ((v >> 16) & 0xFFu);
}

void putChecksum(unsigned char* block) {
    unsigned sum = 0;
    for (int i = 0; i < 127; ++i) sum += block[i];
    block[127] = static_cast<unsigned char>((256 - (sum & 0xFF)) & 0xFF);
}
}  // namespace

bool parsePreferredMode(const unsigned char* edid, size_t length, DesktopMode* mode) {
    if (!edid || !mode || length < 128) return false;
    const unsigned char* d = edid + 54;
    const unsigned clock = d[0] | (d[1] << 8);  // 10 kHz units; 0 marks a non-timing descriptor
    if (clock == 0) return false;
    const int hActive = d[2] | ((d[4] & 0xF0) << 4);
    const int hBlank = d[3] | ((d[4] & 0x0F) << 8);
    const int vActive = d[5] | ((d[7] & 0xF0) << 4);
    const int vBlank = d[6] | ((d[7] & 0x0F) << 8);
    if (hActive == 0 || vActive == 0) return false;
    const uint64_t total = static_cast<uint64_t>(hActive + hBlank) * (vActive + vBlank);
    mode->width = hActive;
    mode->height = vActive;
    mode->refresh = static_cast<int>((clock * 10000ull + total / 2) / total);
    mode->fourcc = kFourccXRGB8888;
    return true;
}

std::vector<unsigned char> makeEdid(int width, int height, int refresh, int extensions) {
    std::vector<unsigned char> e(128 * (1 + std::max(0, extensions)), 0);
    static const unsigned char header[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    std::copy(header, header + 8, e.begin());
    e[8] = 0x31;  // manufacturer "LXX"-style placeholder id
    e[9] = 0xD8;
    e[18] = 1;  // EDID 1.4
    e[19] = 4;
    const int hBlank = 280, vBlank = 45;
    const unsigned clock = static_cast<unsigned>(
        (static_cast<uint64_t>(width + hBlank) * (height + vBlank) * refresh + 5000) / 10000);
    unsigned char* d = &e[54];
    d[0] = clock & 0xFF;
    d[1] = (clock >> 8) & 0xFF;
    d[2] = width & 0xFF;
    d[3] = hBlank & 0xFF;
    d[4] = static_cast<unsigned char>(((width >> 8) & 0x0F) << 4 | ((hBlank >> 8) & 0x0F));
    d[5] = height & 0xFF;
    d[6] = vBlank & 0xFF;
    d[7] = static_cast<unsigned char>(((height >> 8) & 0x0F) << 4 | ((vBlank >> 8) & 0x0F));
    e[126] = static_cast<unsigned char>(std::max(0, extensions));
    putChecksum(&e[0]);
    for (int b = 1; b <= extensions; ++b) {
        e[128 * b] = 0x02;  // CEA extension tag, no data blocks
        e[128 * b + 1] = 0x03;
        putChecksum(&e[128 * b]);
    }
    return e;
}

uint32_t Desktop::background(int x, int y) {
    // A wallpaper of soft diagonal gradients, as a desktop shows behind its windows: smooth, so
    // that what a picture loses in compression is the windows' and the text's edges.
    auto tri = [](int v) {
        v &= 0x1FF;
        return static_cast<uint32_t>(v < 256 ? v : 511 - v);
    };
    return 0xFF000000u | (tri(x / 3 + y / 5) << 16) | (tri(y / 2 + 64) << 8) |
           tri((x + y) / 4 + 128);
}

void Desktop::put(int x, int y, uint32_t xrgb) {
    m_pixels[static_cast<size_t>(y) * m_mode.width + x] =
        bgrOrder(m_mode.fourcc) ? swapRB(xrgb) : xrgb;
}

void Desktop::fillRect(const evdi_rect& r, uint32_t xrgb) {
    for (int y = r.y1; y < r.y2; ++y)
        for (int x = r.x1; x < r.x2; ++x) put(x, y, xrgb);
}

void Desktop::draw(const evdi_rect& r, const std::vector<uint32_t>& xrgb) {
    if (r.x1 < 0 || r.y1 < 0 || r.x2 > m_mode.width || r.y2 > m_mode.height || r.x2 <= r.x1 ||
        r.y2 <= r.y1 || xrgb.size() != static_cast<size_t>(r.x2 - r.x1) * (r.y2 - r.y1))
        return;
    size_t i = 0;
    for (int y = r.y1; y < r.y2; ++y)
        for (int x = r.x1; x < r.x2; ++x) put(x, y, xrgb[i++]);
    m_sink->damaged(r);
}

void Desktop::paintBackground(const evdi_rect& r) {
    for (int y = r.y1; y < r.y2; ++y)
        for (int x = r.x1; x < r.x2; ++x) put(x, y, background(x, y));
}

void Desktop::redrawAll() {
    m_pixels.assign(static_cast<size_t>(m_mode.width) * m_mode.height, 0);
    paintBackground({0, 0, m_mode.width, m_mode.height});
    m_sink->damaged({0, 0, m_mode.width, m_mode.height});
}

void Desktop::start(const DesktopMode& mode) {
    setMode(mode);
    m_sink->dpmsChanged(0);
}

void Desktop::setMode(const DesktopMode& mode) {
    if (mode.width <= 0 || mode.height <= 0) return;
    m_mode = mode;
    m_winX = m_winY = 0;
    m_scroll = 0;
    m_sink->modeAnnounced(m_mode);
    redrawAll();
}

evdi_rect Desktop::windowRect() const {
    return {m_winX, m_winY, std::min(m_winX + kWindowW, m_mode.width),
            std::min(m_winY + kWindowH, m_mode.height)};
}

evdi_rect Desktop::textBox() const {
    const int x1 = std::min(16, m_mode.width), x2 = std::max(x1, m_mode.width - 16);
    const int y1 = std::min(m_mode.height / 4, m_mode.height);
    const int y2 = std::min(y1 + kTextLines * kLineHeight, m_mode.height);
    return {x1, y1, x2, y2};
}

void Desktop::drawText(const evdi_rect& box) {
    // Glyph-like blocks: each line of text shows a pattern keyed by its line number, so a
    // scroll by one line changes every row of the box.
    for (int y = box.y1; y < box.y2; ++y) {
        const int line = (y - box.y1) / kLineHeight + m_scroll;
        const int row = (y - box.y1) % kLineHeight;
        for (int x = box.x1; x < box.x2; ++x) {
            const int col = (x - box.x1) / 8;
            const bool ink =
                row > 2 && row < 13 && ((col * 31 + line * 17) % 5) != 0 && ((x - box.x1) % 8) < 6;
            put(x, y, ink ? 0xFF202020u : 0xFFF0F0F0u);
        }
    }
}

void Desktop::step() {
    if (m_mode.width <= 0) return;
    ++m_frame;
    switch (m_scene) {
        case Scene::Static:
            break;
        case Scene::MovingWindow: {
            const evdi_rect old = windowRect();
            paintBackground(old);
            m_winX += m_winDx;
            m_winY += m_winDy;
            if (m_winX < 0 || m_winX + kWindowW > m_mode.width) {
                m_winDx = -m_winDx;
                m_winX = std::clamp(m_winX, 0, std::max(0, m_mode.width - kWindowW));
            }
            if (m_winY < 0 || m_winY + kWindowH > m_mode.height) {
                m_winDy = -m_winDy;
                m_winY = std::clamp(m_winY, 0, std::max(0, m_mode.height - kWindowH));
            }
            const evdi_rect now = windowRect();
            fillRect(now, 0xFF3060C0u + static_cast<uint32_t>(m_frame & 0x3F));
            m_sink->damaged(old);
            m_sink->damaged(now);
            break;
        }
        case Scene::ScrollingText: {
            ++m_scroll;
            const evdi_rect box = textBox();
            if (box.x2 <= box.x1 || box.y2 <= box.y1) break;
            drawText(box);
            m_sink->damaged(box);
            break;
        }
        case Scene::FullScreen: {
            const uint32_t c = 0xFF000000u | ((static_cast<uint32_t>(m_frame) * 0x9E3779B1u) >> 8);
            fillRect({0, 0, m_mode.width, m_mode.height}, c);
            m_sink->damaged({0, 0, m_mode.width, m_mode.height});
            break;
        }
    }
}

void Desktop::moveCursor(int x, int y) { m_sink->cursorMoved(x, y); }

void Desktop::setCursor(uint32_t width, uint32_t height, int hotX, int hotY, bool enabled) {
    CursorImage c;
    c.width = std::min<uint32_t>(width, 256);
    c.height = std::min<uint32_t>(height, 256);
    c.hotX = hotX;
    c.hotY = hotY;
    c.enabled = enabled;
    c.pixels.resize(static_cast<size_t>(c.width) * c.height);
    for (uint32_t y = 0; y < c.height; ++y)
        for (uint32_t x = 0; x < c.width; ++x)
            c.pixels[y * c.width + x] = (x + y < c.width) ? 0xFFFFFFFFu : 0x00000000u;
    m_sink->cursorChanged(c);
}

void Desktop::setDpms(int mode) { m_sink->dpmsChanged(mode); }

}  // namespace emu
