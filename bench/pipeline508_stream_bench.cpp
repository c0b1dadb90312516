// Sustained 50x-family streaming through a live session on the emulated adapter with its JPEG
// decoding off (it still checks every packet and acknowledges every frame index): one view whose
// whole screen changes every frame, updates following as fast as the pipeline gives the update
// token back (the way the EVDI update handling paces itself). Goals: at least 60 frames/s at
// 1920x1080 and 30 at 3840x2160.
//
// BM_Stream508/w/h runs STREAM_FRAMES updates (environment VEL_STREAM_FRAMES, default 300; for
// the memory figure run 10000) and reports:
// - fps: frames whose last bulk transfer ended, per second (first update to the last frame's
//   end); frames_lost: updates that never got there (expected 0);
// - cpu_ms: process CPU per frame (getrusage), less the adapter model's own (model_cpu_ms) and
//   the feeding thread's (feed_cpu_ms: the grab's copy of the screen, which the service pays
//   too: add it for the whole);
// - latency_ms, latency_p99_ms, latency_max_ms: from the update (rectangle queued) to the end
//   of the transfer of its frame's last packet;
// - rss_MiB_start, rss_MiB_end: resident set after the first tenth of the frames and at the end
//   (flat memory: the two agree), hwm_MiB: peak resident set of the process.
#include <benchmark/benchmark.h>

#include <algorithm>

#include "pipeline508Rig.h"

namespace {

int framesPerView() {
    const char* v = getenv("VEL_STREAM_FRAMES");
    const int n = v ? atoi(v) : 0;
    return n > 0 ? n : 300;
}

void BM_Stream508(benchmark::State& state) {
    rig508::Options o;
    o.width = static_cast<int>(state.range(0));
    o.height = static_cast<int>(state.range(1));
    o.decodeImages = false;
    const int frames = framesPerView();
    for (auto _ : state) {
        rig508::Rig r(o);
        if (!r.ok) {
            state.SkipWithError(r.error.c_str());
            return;
        }
        r.timeline.reserve(0, frames);
        long rssStart = -1;
        int fed = 0;
        const int64_t cpu0 = rig::processCpuNs(), model0 = r.model->modelCpuNs.load();
        const int64_t feed0 = rig::threadCpuNs();
        const int64_t t0 = rig::nowNs();
        for (int seq = 0; seq < frames; ++seq) {
            if (!r.update(0, seq)) break;
            fed = seq + 1;
            if (seq == frames / 10) {
                r.dropRecords();
                rssStart = rig::statusKiB("VmRSS:");
            }
            if (seq % 256 == 0) r.dropRecords();
        }
        const double feedCpu = static_cast<double>(rig::threadCpuNs() - feed0);
        r.waitSent(0, fed, 5000);
        const int sent = r.timeline.sentCount[0].load();
        const int64_t t1 = sent > 0 ? r.timeline.sent[0][sent - 1] : rig::nowNs();
        const double cpu = static_cast<double>(rig::processCpuNs() - cpu0);
        r.dropRecords();
        const long rssEnd = rig::statusKiB("VmRSS:");
        const auto errors = r.model->errors();
        if (!errors.empty()) {
            state.SkipWithError(("adapter refused: " + errors.front()).c_str());
            return;
        }
        if (fed == 0) {
            state.SkipWithError("no update was taken");
            return;
        }
        const double modelCpu = static_cast<double>(r.model->modelCpuNs.load() - model0);
        std::vector<double> lat;
        {
            std::lock_guard<std::mutex> lk(r.timeline.m);
            for (int s = 0; s < fed; ++s)
                if (r.timeline.sent[0][s] != 0)
                    lat.push_back(
                        static_cast<double>(r.timeline.sent[0][s] - r.timeline.pushed[0][s]));
        }
        std::sort(lat.begin(), lat.end());
        double sum = 0;
        for (double l : lat) sum += l;
        const double seconds = static_cast<double>(t1 - t0) / 1e9;
        state.SetIterationTime(seconds);
        state.counters["frames_sent"] = sent;
        state.counters["frames_lost"] = fed - sent;
        state.counters["fps"] = sent / seconds;
        state.counters["cpu_ms"] = (cpu - modelCpu - feedCpu) / fed / 1e6;
        state.counters["feed_cpu_ms"] = feedCpu / fed / 1e6;
        state.counters["model_cpu_ms"] = modelCpu / fed / 1e6;
        if (!lat.empty()) {
            state.counters["latency_ms"] = sum / static_cast<double>(lat.size()) / 1e6;
            state.counters["latency_p99_ms"] = lat[lat.size() * 99 / 100] / 1e6;
            state.counters["latency_max_ms"] = lat.back() / 1e6;
        }
        state.counters["rss_MiB_start"] = static_cast<double>(rssStart) / 1024.0;
        state.counters["rss_MiB_end"] = static_cast<double>(rssEnd) / 1024.0;
        state.counters["hwm_MiB"] = static_cast<double>(rig::statusKiB("VmHWM:")) / 1024.0;
    }
}

}  // namespace

BENCHMARK(BM_Stream508)
    ->ArgNames({"w", "h"})
    ->Args({1920, 1080})
    ->Args({3840, 2160})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
