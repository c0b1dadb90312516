// Test fixture of the 50x-family tests that run the whole service in-process against the
// emulated adapter (device manager, bring-up, monitor events, EVDI stand-in with its desktop,
// the frame pipeline): the adapter checks every image packet, decodes it and paints its view's
// picture, which is held against libjpeg-turbo's own round trip of the desktop.
#pragma once

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "devmgr/DevManager.h"
#include "display/VelDisplay508ClassDriver.h"
#include "emulator/adapters/model508.h"
#include "emulator/evdi/desktop.h"
#include "emulator/evdi/evdiEmu.h"
#include "emulator/output/summary.h"
#include "emulator/usb/bus.h"
#include "fwImages508.h"
#include "pictureReference.h"
#include "pipeline/jpeg520.h"
#include "session/VelDev.h"
#include "testSupport.h"

namespace vtest {

using namespace std::chrono_literals;

struct Service508 : ::testing::Test {
    IsolatedEnv env;
    emu::Bus& bus = emu::Bus::instance();
    std::shared_ptr<emu::Model508> model;
    std::shared_ptr<VelDev> dev;

    void SetUp() override {
        emu::setEvdiLibVersion(1, 12, 0);
        emu::setAutoDesktop(true);
        bus.reset();
        g_exitRequested = false;
        g_abortRequested = false;
        g_exitSignal = 0;
        m_BulkOutHeartbeatStatus = 0;
        m_InterruptInHeartbeatStatus = 0;
        ASSERT_TRUE(velfw::writeHostImages508(env.fwDir(), "v 2.24.1.0"));
    }
    void TearDown() override {
        dev.reset();
        if (g_dev) {
            g_dev->removeAllDevice();
            g_dev.reset();
        }
        bus.reset();
        m_BulkOutHeartbeatStatus = 0;
        m_InterruptInHeartbeatStatus = 0;
    }
    static emu::Model508::Monitor monitor(int w, int h) {
        return emu::Model508::monitor(emu::makeEdid(w, h, 60),
                                      {{static_cast<uint32_t>(w), static_cast<uint32_t>(h), 60, 32}});
    }
    // Monitors on ports 0, 1, ... (targets 1, 2, ...) before the service starts.
    void start(const char* product, std::vector<emu::Model508::Monitor> monitors,
               emu::Model508::Config config = {}) {
        model = std::make_shared<emu::Model508>(config);
        for (size_t i = 0; i < monitors.size(); ++i)
            model->plugMonitor(static_cast<int>(i), monitors[i], false);
        ASSERT_GT(bus.plug(model, emu::adapterIdentity(product)), 0);
        g_dev = std::make_unique<DevManager>();
        ASSERT_EQ(g_dev->registerUsb(), 0);
        ASSERT_TRUE(waitFor(
            [&] {
                dev = g_dev->findDev(0);
                return dev && dev->shownTargets().size() == monitors.size();
            },
            30s))
            << env.log();
    }
    evdi_handle handleOf(int view) {
        std::lock_guard<std::mutex> lk(dev->plugFlowMutex);
        return dev->evdiHandle[view];
    }
    std::string refusals() {
        std::string r;
        for (const auto& e : model->errors()) r += e + "; ";
        return r;
    }
    // Waits until no image packet has arrived for 400 ms.
    void settle() {
        uint64_t last = ~0ull;
        auto since = std::chrono::steady_clock::now();
        const auto deadline = since + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            const uint64_t n = model->view(0).images + model->view(1).images;
            const auto now = std::chrono::steady_clock::now();
            if (n != last) {
                last = n;
                since = now;
            } else if (now - since > 400ms) {
                return;
            }
            std::this_thread::sleep_for(10ms);
        }
        ADD_FAILURE() << "image packets never stopped";
    }
    double shownPsnr(int view, double* reference) {
        evdi_handle h = handleOf(view);
        if (!h) return 0;
        const emu::DesktopMode mode = emu::desktopMode(h);
        const std::vector<uint32_t> desktop = emu::desktopPixels(h);
        const emu::Model508::ViewState s = model->view(view);
        if (s.pictureWidth != mode.width || s.pictureHeight != mode.height ||
            s.picture.size() != desktop.size() * 4)
            return 0;
        const size_t stride = static_cast<size_t>(mode.width) * 4;
        // Regions go at quality 90, or 97 when split; a settled picture is made of regions of
        // either, so it lies between libjpeg-turbo's round trips at the two qualities.
        const double shown = emu::psnr(reinterpret_cast<const uint8_t*>(desktop.data()),
                                       s.picture.data(), mode.width, mode.height, stride, stride);
        const double q90 =
            turboRoundTripPsnr(desktop, mode.width, mode.height, TJSAMP_420, 90);
        const double q97 =
            turboRoundTripPsnr(desktop, mode.width, mode.height, TJSAMP_420, 97);
        *reference = std::min(std::max(shown, std::min(q90, q97)), std::max(q90, q97));
        return shown;
    }
    void expectShowsDesktop(int view, const std::string& what) {
        SCOPED_TRACE(what);
        double reference = 0;
        // The last frames of a scene may still be on their way: wait for the settled picture.
        double shown = 0;
        waitFor(
            [&] {
                shown = shownPsnr(view, &reference);
                return shown >= 30.0 && (std::isinf(reference) ? std::isinf(shown)
                                                               : std::fabs(shown - reference) <= 0.5);
            },
            10s);
        RecordProperty(what + "_psnr_db", std::to_string(shown));
        EXPECT_GE(shown, 30.0) << refusals();
        // The scenes draw windows and text: a desktop libjpeg-turbo keeps losslessly would prove
        // nothing about the picture.
        ASSERT_FALSE(std::isinf(reference));
        EXPECT_NEAR(shown, reference, 0.5) << "reference " << reference;
        EXPECT_GT(model->view(view).framesShown, 0u);
    }
};

}  // namespace vtest
