#include "scenario520.h"

#include <sys/resource.h>
#include <turbojpeg.h>

#include <atomic>
#include <cmath>
#include <cstdio>

#include "devmgr/DevManager.h"
#include "emulator/evdi/evdiEmu.h"
#include "emulator/output/summary.h"
#include "pictureReference.h"

namespace scen {

namespace {

constexpr const char* kEdid1080 = "cta3-1080p-dell-s2419h-5A2CDC31568E.bin";

}  // namespace

void Scenario520::TearDown() {
    stopFeedback();
    ServiceScenario::TearDown();
}

Adapter Scenario520::plugAdapter(bool showPictures) {
    Adapter a;
    // Most scenarios give the frame-index feedback themselves (startFeedback), so the adapter
    // does not acknowledge its frames on its own; nor does it decode them, which keeps the
    // credit timing of the time before the adapter painted pictures.
    emu::Model520::Config config;
    config.acknowledgeFrames = showPictures;
    config.decodeImages = showPictures;
    a.model = std::make_shared<emu::Model520>(config);
    a.id = frontEnd->plug(a.model, emu::adapterIdentity("520"));
    EXPECT_GT(a.id, 0) << frontEnd->name() << " refused the adapter";
    return a;
}

bool Scenario520::waitBeats(const Adapter& a, int beats, std::chrono::milliseconds timeout) {
    return vtest::waitFor([&] { return a.model->heartbeat().beats >= beats; }, timeout);
}

int Scenario520::images(const Adapter& a, int dd) {
    int n = 0;
    for (const auto& m : a.model->received())
        n += m.endpoint == 0x02 && m.error.empty() && (dd < 0 || m.header.displayDevice == dd);
    return n;
}

void* Scenario520::plugMonitor(const Adapter& a, int output) {
    const size_t before = emu::openHandles().size();
    emu::Model520::Monitor m;
    m.target = static_cast<uint16_t>(0x10 + output);
    m.edid = emu::Model520::corpusEdid(kEdid1080);
    for (auto mode : {std::make_pair(1920, 1080), std::make_pair(1280, 720)}) {
        auto e = emu::Model520::modeEntry(static_cast<uint16_t>(mode.first),
                                          static_cast<uint16_t>(mode.second), 32, 60);
        m.modeList.insert(m.modeList.end(), e.begin(), e.end());
    }
    a.model->plugMonitor(output, m);
    evdi_handle h = nullptr;
    vtest::waitFor(
        [&] {
            auto handles = emu::openHandles();
            if (handles.size() <= before) return false;
            h = handles.back();
            return emu::connectRecord(h).connected && emu::desktopRunning(h);
        },
        std::chrono::seconds(10));
    return h && emu::desktopRunning(h) ? h : nullptr;
}

void Scenario520::drawFrames(int steps, std::chrono::milliseconds gap) {
    for (int i = 0; i < steps; ++i) {
        for (evdi_handle h : emu::openHandles()) {
            if (!emu::desktopRunning(h)) continue;
            emu::desktopSetScene(h, emu::Scene::FullScreen);
            emu::desktopStep(h);
        }
        std::this_thread::sleep_for(gap);
    }
}

void Scenario520::startFeedback(const Adapter& a) {
    stopFeedback();
    feedbackOn_ = true;
    std::shared_ptr<emu::Model520> model = a.model;
    feedback_ = std::thread([this, model] {
        Adapter view{model, 0};
        uint64_t acked[3] = {0, 0, 0};
        while (feedbackOn_) {
            for (int dd = 0; dd < 3; ++dd) {
                const auto shown = static_cast<uint64_t>(images(view, dd));
                while (acked[dd] < shown)
                    model->notifyFrameIndex(static_cast<uint16_t>(dd), ++acked[dd]);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
}

void Scenario520::stopFeedback() {
    feedbackOn_ = false;
    if (feedback_.joinable()) feedback_.join();
}

bool Scenario520::settle(const Adapter& a) { return vtest::waitPacketsStop(*a.model); }

void Scenario520::expectShowsDesktop(const Adapter& a, int output, void* display) {
    const std::string what = "output" + std::to_string(output);
    SCOPED_TRACE(frontEnd->name() + ", " + what);
    auto h = static_cast<evdi_handle>(display);
    ASSERT_NE(h, nullptr);
    const emu::DesktopMode mode = emu::desktopMode(h);
    const emu::Model520::Picture pic = a.model->picture(output);
    ASSERT_GT(pic.framesShown, 0u);
    const vtest::DesktopMatch m = vtest::matchDesktop(emu::desktopPixels(h), mode.width,
                                                      mode.height, pic);
    std::printf(
        "[ figure ] %s: %s %dx%d, %llu frames shown, PSNR %.2f dB (libjpeg-turbo %.2f dB)\n",
        frontEnd->name().c_str(), what.c_str(), mode.width, mode.height,
        static_cast<unsigned long long>(pic.framesShown), m.shown, m.reference);
    RecordProperty(what + "_psnr_db", std::to_string(m.shown));
    vtest::expectGoodMatch(m);
}

double Scenario520::cpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

}  // namespace scen
