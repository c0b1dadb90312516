// Sustained model-520 streaming through a live session on the emulated adapter, with the
// adapter's JPEG decoding off (it still checks every packet and acknowledges every frame index):
// every view's whole screen changes every frame and updates follow as fast as the pipeline gives
// the update token back (the way the EVDI update handling paces itself).
//
// BM_Stream/views/w/h/light/rate runs STREAM_FRAMES updates per view (environment
// VEL_STREAM_FRAMES, default 300), as fast as the pipeline takes them (rate 0) or paced at `rate`
// updates per second per view (an update that finds the token still out waits for it, as the EVDI
// update handling does, and the next one keeps the schedule), and reports what the pipeline did
// with them, as figures (a run never fails for frames that did not reach the adapter: it counts
// them):
// - frames_sent: frames whose bulk transfer ended, all views; overtaken_per_1k: frames encoded
//   and then dropped because a newer frame of their view was queued first, per 1,000 updates;
//   credit_timeouts: frames that went ahead after waiting a second for a frame credit;
//   frames_lost: updates that ended neither way (expected 0); stalled_views: views whose update
//   token did not come back within 2 s (their feeding stopped there);
// - fps: frames sent per second per view (wall time from the first update until every update
//   has ended);
// - cpu_ms: process CPU per update (getrusage), less the adapter model's own CPU time
//   (model_cpu_ms) and the feeding threads' (feed_cpu_ms: mostly the grab's copy of the screen,
//   which the service pays too: add it for the whole);
// - latency_ms, latency_p99_ms, latency_max_ms: from the update (rectangle queued; paced: the
//   moment it was due) to the end of its transfer, over the frames sent;
// - rss_MiB_start, rss_MiB_end: resident set after the first tenth of the frames and at the end
//   (flat memory: the two agree), hwm_MiB: peak resident set of the process.
// For the memory check run e.g. VEL_STREAM_FRAMES=3334 with the three-view case (10,000 frames).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <thread>

#include "pipeline520Rig.h"

namespace {

int framesPerView() {
    const char* v = getenv("VEL_STREAM_FRAMES");
    const int n = v ? atoi(v) : 0;
    return n > 0 ? n : 300;
}

void BM_Stream(benchmark::State& state) {
    rig::Options o;
    o.views = static_cast<int>(state.range(0));
    o.width = static_cast<int>(state.range(1));
    o.height = static_cast<int>(state.range(2));
    o.light = state.range(3) != 0;
    o.decodeImages = false;
    const int rate = static_cast<int>(state.range(4));
    const int frames = framesPerView();
    for (auto _ : state) {
        rig::Rig r(o);
        if (!r.ok) {
            state.SkipWithError(r.error.c_str());
            return;
        }
        for (int v = 0; v < o.views; ++v) r.timeline.reserve(v, frames);
        std::atomic<long> rssStart{-1};
        std::atomic<int> stalled{0};
        std::vector<int> fed(o.views, 0);
        std::atomic<int64_t> feedCpu{0};
        const int64_t cpu0 = rig::processCpuNs(), model0 = r.model->modelCpuNs.load();
        const int64_t t0 = rig::nowNs();
        std::vector<std::thread> producers;
        for (int v = 0; v < o.views; ++v) {
            producers.emplace_back([&, v] {
                const int64_t c0 = rig::threadCpuNs();
                for (int seq = 0; seq < frames; ++seq) {
                    const int64_t due =
                        rate > 0 ? t0 + static_cast<int64_t>(seq) * 1000000000 / rate : 0;
                    if (rate > 0) {
                        const int64_t wait = due - rig::nowNs();
                        if (wait > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
                    }
                    if (!r.update(v, seq)) {
                        ++stalled;
                        break;
                    }
                    // Paced, the update happened when it was due: a wait for the token or the
                    // grab counts in its latency.
                    if (rate > 0) {
                        std::lock_guard<std::mutex> lk(r.timeline.m);
                        r.timeline.pushed[v][seq] = due;
                    }
                    fed[v] = seq + 1;
                    if (v == 0 && seq == frames / 10) {
                        r.dropRecords();
                        rssStart = rig::statusKiB("VmRSS:");
                    }
                    if (v == 0 && seq % 256 == 0) r.dropRecords();
                }
                feedCpu += rig::threadCpuNs() - c0;
            });
        }
        for (auto& p : producers) p.join();
        long lost = 0;
        for (int v = 0; v < o.views; ++v) {
            if (!r.waitEnded(v, fed[v], 3000)) lost += fed[v] - r.ended(v);
        }
        const int64_t t1 = rig::nowNs();
        r.dropRecords();
        const long rssEnd = rig::statusKiB("VmRSS:");
        const auto errors = r.model->errors();
        if (!errors.empty()) {
            state.SkipWithError(("adapter refused: " + errors.front()).c_str());
            return;
        }
        double total = 0, sentTotal = 0, overtaken = 0, timeouts = 0;
        for (int v = 0; v < o.views; ++v) {
            total += fed[v];
            sentTotal += r.timeline.sentCount[v].load();
            overtaken += r.dev->framesOvertaken520[v].load();
            timeouts += r.dev->creditTimeouts520[v].load();
        }
        if (total == 0) {
            state.SkipWithError("no update was taken");
            return;
        }
        const double modelCpu = static_cast<double>(r.model->modelCpuNs.load() - model0);
        std::vector<double> lat;
        std::unique_lock<std::mutex> timelineLock(r.timeline.m);
        for (int v = 0; v < o.views; ++v) {
            for (int s = 0; s < fed[v]; ++s) {
                if (r.timeline.sent[v][s] != 0)
                    lat.push_back(
                        static_cast<double>(r.timeline.sent[v][s] - r.timeline.pushed[v][s]));
            }
        }
        timelineLock.unlock();
        std::sort(lat.begin(), lat.end());
        double sum = 0;
        for (double l : lat) sum += l;
        const double seconds = static_cast<double>(t1 - t0) / 1e9;
        state.SetIterationTime(seconds);
        state.counters["frames_sent"] = sentTotal;
        state.counters["overtaken_per_1k"] = overtaken * 1000.0 / total;
        state.counters["credit_timeouts"] = timeouts;
        state.counters["frames_lost"] = static_cast<double>(lost);
        state.counters["stalled_views"] = stalled.load();
        state.counters["fps"] = sentTotal / o.views / seconds;
        state.counters["cpu_ms"] =
            (static_cast<double>(rig::processCpuNs() - cpu0) - modelCpu - feedCpu) / total / 1e6;
        state.counters["feed_cpu_ms"] = static_cast<double>(feedCpu) / total / 1e6;
        state.counters["model_cpu_ms"] = modelCpu / total / 1e6;
        if (!lat.empty()) {
            state.counters["latency_ms"] = sum / lat.size() / 1e6;
            state.counters["latency_p99_ms"] = lat[lat.size() * 99 / 100] / 1e6;
            state.counters["latency_max_ms"] = lat.back() / 1e6;
        }
        state.counters["rss_MiB_start"] = rssStart / 1024.0;
        state.counters["rss_MiB_end"] = rssEnd / 1024.0;
        state.counters["hwm_MiB"] = rig::statusKiB("VmHWM:") / 1024.0;
    }
}

}  // namespace

BENCHMARK(BM_Stream)
    ->ArgNames({"views", "w", "h", "light", "rate"})
    ->Args({1, 1920, 1080, 0, 0})
    ->Args({1, 1920, 1080, 1, 0})
    ->Args({1, 3840, 2160, 0, 0})
    ->Args({1, 3840, 2160, 1, 0})
    ->Args({3, 1920, 1080, 0, 0})
    ->Args({3, 1920, 1080, 1, 0})
    // Latency at the monitor's pace: 60 updates per second per view.
    ->Args({1, 1920, 1080, 0, 60})
    ->Args({3, 1920, 1080, 0, 60})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
