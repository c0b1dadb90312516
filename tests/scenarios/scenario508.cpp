#include "scenario508.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "emulator/adapters/edidCorpus.h"
#include "emulator/evdi/evdiEmu.h"
#include "emulator/output/summary.h"
#include "fwImages508.h"
#include "pictureReference.h"

namespace scen {

namespace {

constexpr const char* kEdid1080 = "cta3-1080p-dell-s2419h-5A2CDC31568E.bin";

}  // namespace

void Scenario508::SetUp() {
    ServiceScenario::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(velfw::writeHostImages508(env.fwDir(), emu::Model508::Config{}.firmwareVersion));
}

Adapter508 Scenario508::plugAdapter(const std::string& product, emu::Model508::Config config) {
    Adapter508 a;
    a.model = std::make_shared<emu::Model508>(config);
    a.id = frontEnd->plug(a.model, emu::adapterIdentity(product));
    EXPECT_GT(a.id, 0) << frontEnd->name() << " refused the adapter";
    return a;
}

emu::Model508::Monitor Scenario508::monitor() {
    return emu::Model508::monitor(emu::edidCorpusBytes(kEdid1080),
                                  {{1920, 1080, 60, 32}, {1280, 720, 60, 32}});
}

bool Scenario508::waitBroughtUp(const Adapter508& a, std::chrono::milliseconds timeout) {
    return vtest::waitFor(
        [&] {
            auto hb = a.model->heartbeat();
            return (hb.extensionOn > 0 || hb.legacyOn > 0) && !a.model->received(0x65).empty();
        },
        timeout);
}

size_t Scenario508::displays() {
    size_t n = 0;
    for (evdi_handle h : emu::openHandles()) n += emu::connectRecord(h).connected;
    return n;
}

bool Scenario508::waitDisplays(size_t n, std::chrono::milliseconds timeout) {
    return vtest::waitFor([&] { return displays() == n; }, timeout);
}

void Scenario508::expectNoRefusals(const Adapter508& a) {
    for (const auto& e : a.model->errors()) ADD_FAILURE() << "refused: " << e;
}

void* Scenario508::plugMonitor(const Adapter508& a, int port, emu::Model508::Monitor monitor) {
    const size_t before = emu::openHandles().size();
    a.model->plugMonitor(port, std::move(monitor));
    evdi_handle h = nullptr;
    vtest::waitFor(
        [&] {
            auto handles = emu::openHandles();
            if (handles.size() <= before) return false;
            h = handles.back();
            return emu::connectRecord(h).connected && emu::desktopRunning(h);
        },
        std::chrono::seconds(20));
    return h && emu::desktopRunning(h) ? h : nullptr;
}

bool Scenario508::settle(const Adapter508& a) {
    uint64_t last = ~0ull;
    auto since = std::chrono::steady_clock::now();
    const auto deadline = since + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        const uint64_t n = a.model->imagePackets(0) + a.model->imagePackets(1);
        const auto now = std::chrono::steady_clock::now();
        if (n != last) {
            last = n;
            since = now;
        } else if (now - since > std::chrono::milliseconds(400)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

int Scenario508::viewOfPort(const Adapter508& a, int port) {
    for (int v = 0; v < emu::Model508::kViews; ++v)
        if (a.model->view(v).target == (1u << port)) return v;
    return -1;
}

void Scenario508::expectShowsDesktop(const Adapter508& a, int port, void* display) {
    const std::string what = "port" + std::to_string(port);
    SCOPED_TRACE(frontEnd->name() + ", " + what);
    auto h = static_cast<evdi_handle>(display);
    ASSERT_NE(h, nullptr);
    const int view = viewOfPort(a, port);
    ASSERT_GE(view, 0) << "no view was set to target " << (1 << port);
    double shown = 0, reference = 0;
    int width = 0, height = 0;
    uint64_t frames = 0;
    vtest::waitFor(
        [&] {
            const emu::Model508::ViewState s = a.model->view(view);
            // Plugging the next monitor may make the service set its views up anew, with new
            // handles: the monitor's desktop is then the open one with the view's picture size.
            const auto open = emu::openHandles();
            if (std::find(open.begin(), open.end(), h) == open.end() ||
                !emu::desktopRunning(h)) {
                for (evdi_handle o : open) {
                    const emu::DesktopMode m = emu::desktopMode(o);
                    if (emu::desktopRunning(o) && m.width == s.pictureWidth &&
                        m.height == s.pictureHeight)
                        h = o;
                }
            }
            const emu::DesktopMode mode = emu::desktopMode(h);
            const std::vector<uint32_t> desktop = emu::desktopPixels(h);
            width = s.pictureWidth;
            height = s.pictureHeight;
            frames = s.framesShown;
            if (s.pictureWidth != mode.width || s.pictureHeight != mode.height ||
                s.picture.size() != desktop.size() * 4)
                return false;
            const size_t stride = static_cast<size_t>(mode.width) * 4;
            shown = emu::psnr(reinterpret_cast<const uint8_t*>(desktop.data()), s.picture.data(),
                              mode.width, mode.height, stride, stride);
            reference = vtest::reference508Psnr(desktop, mode.width, mode.height, shown);
            return shown >= 30.0 && std::fabs(shown - reference) <= 0.5;
        },
        std::chrono::seconds(10));
    std::printf(
        "[ figure ] %s: %s %dx%d, %llu frames shown, PSNR %.2f dB (nearest libjpeg-turbo 4:2:0 "
        "figure %.2f dB)\n",
        frontEnd->name().c_str(), what.c_str(), width, height,
        static_cast<unsigned long long>(frames), shown, reference);
    RecordProperty(what + "_psnr_db", std::to_string(shown));
    const emu::DesktopMode mode = emu::desktopMode(h);
    EXPECT_EQ(width, mode.width);
    EXPECT_EQ(height, mode.height);
    EXPECT_GT(frames, 0u);
    EXPECT_GE(shown, 30.0);
    // The scenes draw windows and text: a desktop libjpeg-turbo keeps losslessly would prove
    // nothing about the picture.
    ASSERT_FALSE(std::isinf(reference));
    EXPECT_NEAR(shown, reference, 0.5);
}

}  // namespace scen
