// Whole cost of one model-520 frame in the service against the bare libjpeg-turbo calls for the
// same frame, at 1920x1080 and 3840x2160 (goal: at most 1.10x in smart mode, 1.05x in light
// mode).
//
// - BM_Compare: the comparison itself, the service and the bare calls interleaved in one run
//   over the same frames (A, B, A, B ...), as per-pair ratios; the program ends with a closing
//   note of those ratios. Separate runs of the cases below cannot be compared on a shared
//   machine: its load changes between them.
// - BM_BareSmart: tjEncodeYUVPlanes + tjCompressFromYUVPlanes at 4:2:2, quality 90, one handle
//   and one YUV and JPEG buffer kept across frames (the cheapest way to call the library).
// - BM_BareLight: tjCompress2 at 4:2:2, quality 90, likewise.
// - BM_Service: one frame through a live session on the emulated adapter (pipeline520Rig.h),
//   timed from the end of the grab (the frame is in the view's pixel area, the rectangle is
//   queued and the conversion thread woken) to the end of the framing (the packet, with its
//   headers and decoder header, is about to go on the send queue). Frames are one at a time:
//   each waits until the previous one has left over USB. Counters: "grab_ms" (the copy into the
//   pixel area, not in the time), "cpu_ms" (process CPU per frame, less the adapter model's and
//   the feeding thread's, so without the grab),
//   "latency_ms" (update pushed to the end of its bulk transfer).
// - BM_FrameBuffers: the buffers of one frame alone: the YUV planes (written whole) and the
//   packet (written as far as a JPEG of this size reaches), malloc'd and freed each frame (as
//   the pipeline did) or taken from and given back to the frame buffer pool (as it does now).
// - BM_FrameThread: starting one detached frame thread and seeing it run (what each model-520
//   frame pays twice: converter and encoder).
// Frames alternate between two desktop pictures that differ everywhere.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "pipeline/jpeg520.h"
#include "pipeline520Rig.h"

namespace {

struct Planes {
    std::vector<uint8_t> data;
    unsigned char* p[3];
    Planes(int w, int h) : data(tjBufSizeYUV2(w, 1, h, TJSAMP_422)) {
        p[0] = data.data();
        p[1] = p[0] + tjPlaneSizeYUV(0, w, 0, h, TJSAMP_422);
        p[2] = p[1] + tjPlaneSizeYUV(1, w, 0, h, TJSAMP_422);
    }
};

void BM_BareSmart(benchmark::State& state) {
    const int w = state.range(0), h = state.range(1);
    const auto* f0 = &rig::desktopFrame(w, h, 0);
    const auto* f1 = &rig::desktopFrame(w, h, 1);
    Planes yuv(w, h);
    tjhandle tj = tjInitCompress();
    unsigned char* jpeg = tjAlloc(static_cast<int>(tjBufSize(w, h, TJSAMP_422)));
    unsigned long size = 0;
    int i = 0;
    for (auto _ : state) {
        const auto& f = (i++ & 1) ? *f1 : *f0;
        tjEncodeYUVPlanes(tj, f.data(), w, 0, h, TJPF_BGRX, yuv.p, nullptr, TJSAMP_422, 0);
        const unsigned char* cp[3] = {yuv.p[0], yuv.p[1], yuv.p[2]};
        size = tjBufSize(w, h, TJSAMP_422);
        tjCompressFromYUVPlanes(tj, cp, w, nullptr, h, TJSAMP_422, &jpeg, &size, 90,
                                TJFLAG_NOREALLOC);
        benchmark::DoNotOptimize(size);
    }
    state.counters["jpeg_kB"] = static_cast<double>(size) / 1024.0;
    tjFree(jpeg);
    tjDestroy(tj);
}

// The same calls with a new handle for each call and a library-allocated JPEG, as each frame
// of the pipeline has them: what a handle and buffers of its own cost a frame.
void BM_BareSmartFreshHandles(benchmark::State& state) {
    const int w = state.range(0), h = state.range(1);
    const auto* f0 = &rig::desktopFrame(w, h, 0);
    const auto* f1 = &rig::desktopFrame(w, h, 1);
    Planes yuv(w, h);
    int i = 0;
    for (auto _ : state) {
        const auto& f = (i++ & 1) ? *f1 : *f0;
        tjhandle tj = tjInitCompress();
        tjEncodeYUVPlanes(tj, f.data(), w, 0, h, TJPF_BGRX, yuv.p, nullptr, TJSAMP_422, 0);
        tjDestroy(tj);
        tj = tjInitCompress();
        const unsigned char* cp[3] = {yuv.p[0], yuv.p[1], yuv.p[2]};
        unsigned char* jpeg = nullptr;
        unsigned long size = 0;
        tjCompressFromYUVPlanes(tj, cp, w, nullptr, h, TJSAMP_422, &jpeg, &size, 90, 0);
        benchmark::DoNotOptimize(size);
        tjFree(jpeg);
        tjDestroy(tj);
    }
}

void BM_BareLight(benchmark::State& state) {
    const int w = state.range(0), h = state.range(1);
    const auto* f0 = &rig::desktopFrame(w, h, 0);
    const auto* f1 = &rig::desktopFrame(w, h, 1);
    tjhandle tj = tjInitCompress();
    unsigned char* jpeg = tjAlloc(static_cast<int>(tjBufSize(w, h, TJSAMP_422)));
    unsigned long size = 0;
    int i = 0;
    for (auto _ : state) {
        const auto& f = (i++ & 1) ? *f1 : *f0;
        size = tjBufSize(w, h, TJSAMP_422);
        tjCompress2(tj, f.data(), w, 0, h, TJPF_BGRX, &jpeg, &size, TJSAMP_422, 90,
                    TJFLAG_NOREALLOC);
        benchmark::DoNotOptimize(size);
    }
    state.counters["jpeg_kB"] = static_cast<double>(size) / 1024.0;
    tjFree(jpeg);
    tjDestroy(tj);
}

void BM_Service(benchmark::State& state) {
    rig::Options o;
    o.width = state.range(0);
    o.height = state.range(1);
    o.light = state.range(2) != 0;
    rig::Rig r(o);
    if (!r.ok) {
        state.SkipWithError(r.error.c_str());
        return;
    }
    constexpr int kMaxFrames = 100000;
    r.timeline.reserve(0, kMaxFrames);
    // Warm-up: the first frames fault in the pixel area and the library's tables.
    int seq = 0;
    for (; seq < 3; ++seq) {
        r.update(0, seq);
        r.waitSent(0, seq + 1, 5000);
    }
    const int first = seq;
    double grabNs = 0;
    int64_t modelCpu0 = r.model->modelCpuNs.load(), cpu0 = rig::processCpuNs();
    const int64_t benchCpu0 = rig::threadCpuNs();
    for (auto _ : state) {
        if (seq >= kMaxFrames || !r.waitToken(0, 2000)) {
            state.SkipWithError("update token not given back");
            break;
        }
        const auto& f = rig::desktopFrame(o.width, o.height, seq & 1);
        const int64_t g0 = rig::nowNs();
        r.grab(0, f);
        const int64_t t0 = rig::nowNs();
        grabNs += static_cast<double>(t0 - g0);
        r.timeline.pushed[0][seq] = t0;
        r.dev->rectQueue[0].push(evdi_rect{0, 0, o.width, o.height});
        sem_post(&r.dev->convWake[r.dev->view2ConvThread[0]]);
        if (!r.waitSent(0, seq + 1, 5000)) {
            state.SkipWithError("frame not sent");
            break;
        }
        int64_t framed;
        {
            std::lock_guard<std::mutex> lk(r.timeline.m);
            framed = r.timeline.framed[0][seq];
        }
        state.SetIterationTime(static_cast<double>(framed - t0) / 1e9);
        ++seq;
    }
    const int frames = seq - first;
    if (frames > 0) {
        // The service's threads only: less the adapter model and this thread (the grab's copy,
        // reported as grab_ms, and the waiting).
        const double cpu = static_cast<double>((rig::processCpuNs() - cpu0) -
                                               (r.model->modelCpuNs.load() - modelCpu0) -
                                               (rig::threadCpuNs() - benchCpu0));
        double lat = 0;
        for (int s = first; s < seq; ++s)
            lat += static_cast<double>(r.timeline.sent[0][s] - r.timeline.pushed[0][s]);
        state.counters["grab_ms"] = grabNs / frames / 1e6;
        state.counters["cpu_ms"] = cpu / frames / 1e6;
        state.counters["latency_ms"] = lat / frames / 1e6;
        state.counters["model_cpu_ms"] =
            static_cast<double>(r.model->modelCpuNs.load() - modelCpu0) / frames / 1e6;
    }
    const auto errors = r.model->errors();
    if (!errors.empty()) state.SkipWithError(("adapter refused: " + errors.front()).c_str());
    r.dropRecords();
}

int compareFrames() {
    const char* v = getenv("VEL_COMPARE_FRAMES");
    const int n = v ? atoi(v) : 0;
    return n > 0 ? n : 200;
}

double quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t i = static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// One line per comparison case, printed once every case has run (see main below).
std::vector<std::string>& closingNotes() {
    static std::vector<std::string> notes;
    return notes;
}

// The service against the bare library calls, interleaved in one run over the same frames: each
// pair first sends frame i through the live session (A: from the end of the grab to the end of
// its framing, the packet then goes on the send queue), then runs the bare calls on the same
// pixels on this thread (B: tjEncodeYUVPlanes + tjCompressFromYUVPlanes in smart mode,
// tjCompress2 in light mode, one handle and buffers kept, the cheapest way to call the library).
// Load on the machine then weighs on both sides of each pair alike. Reported: the medians of A
// and B, the median of the per-pair ratios A/B with its 10th and 90th percentiles, and the same
// ratio for CPU time (A: the process less this thread and the adapter model, which includes the
// service's hand-over threads; B: this thread). VEL_COMPARE_FRAMES pairs (default 200).
void BM_Compare(benchmark::State& state) {
    rig::Options o;
    o.width = static_cast<int>(state.range(0));
    o.height = static_cast<int>(state.range(1));
    o.light = state.range(2) != 0;
    const int pairs = compareFrames();
    rig::Rig r(o);
    if (!r.ok) {
        state.SkipWithError(r.error.c_str());
        return;
    }
    const int w = o.width, h = o.height;
    constexpr int kWarmUp = 3;
    r.timeline.reserve(0, pairs + kWarmUp);
    Planes yuv(w, h);
    tjhandle tj = tjInitCompress();
    const unsigned long jpegRoom = tjBufSize(w, h, TJSAMP_422);
    unsigned char* jpeg = tjAlloc(static_cast<int>(jpegRoom));
    auto bare = [&](const std::vector<uint8_t>& f) {
        unsigned long size = jpegRoom;
        int rc;
        if (o.light) {
            rc = tjCompress2(tj, f.data(), w, 0, h, TJPF_BGRX, &jpeg, &size, TJSAMP_422, 90,
                             TJFLAG_NOREALLOC);
        } else {
            rc = tjEncodeYUVPlanes(tj, f.data(), w, 0, h, TJPF_BGRX, yuv.p, nullptr, TJSAMP_422, 0);
            const unsigned char* cp[3] = {yuv.p[0], yuv.p[1], yuv.p[2]};
            if (rc == 0)
                rc = tjCompressFromYUVPlanes(tj, cp, w, nullptr, h, TJSAMP_422, &jpeg, &size, 90,
                                             TJFLAG_NOREALLOC);
        }
        benchmark::DoNotOptimize(size);
        return rc == 0;
    };
    // Service frame `seq`: false when it did not get through.
    auto service = [&](int seq, double* wallNs, double* cpuNs) {
        if (!r.waitToken(0, 2000)) return false;
        const auto& f = rig::desktopFrame(w, h, seq & 1);
        r.grab(0, f);
        const int64_t cpu0 = rig::processCpuNs(), self0 = rig::threadCpuNs(),
                      model0 = r.model->modelCpuNs.load();
        const int64_t t0 = rig::nowNs();
        r.timeline.pushed[0][seq] = t0;
        r.dev->rectQueue[0].push(evdi_rect{0, 0, w, h});
        sem_post(&r.dev->convWake[r.dev->view2ConvThread[0]]);
        if (!r.waitSent(0, seq + 1, 5000)) return false;
        *cpuNs = static_cast<double>((rig::processCpuNs() - cpu0) - (rig::threadCpuNs() - self0) -
                                     (r.model->modelCpuNs.load() - model0));
        std::lock_guard<std::mutex> lk(r.timeline.m);
        *wallNs = static_cast<double>(r.timeline.framed[0][seq] - t0);
        return true;
    };
    double wall = 0, cpu = 0;
    int seq = 0;
    for (; seq < kWarmUp; ++seq) {
        if (!service(seq, &wall, &cpu)) break;
        bare(rig::desktopFrame(w, h, seq & 1));
    }
    std::vector<double> a, b, ratio, aCpu, bCpu, cpuRatio;
    for (auto _ : state) {
        for (int i = 0; i < pairs; ++i, ++seq) {
            if (!service(seq, &wall, &cpu)) {
                state.SkipWithError("service frame not sent");
                break;
            }
            const int64_t t0 = rig::nowNs(), c0 = rig::threadCpuNs();
            if (!bare(rig::desktopFrame(w, h, seq & 1))) {
                state.SkipWithError(tjGetErrorStr2(tj));
                break;
            }
            const double bw = static_cast<double>(rig::nowNs() - t0);
            const double bc = static_cast<double>(rig::threadCpuNs() - c0);
            a.push_back(wall);
            b.push_back(bw);
            ratio.push_back(wall / bw);
            aCpu.push_back(cpu);
            bCpu.push_back(bc);
            cpuRatio.push_back(cpu / bc);
        }
        state.SetIterationTime(
            (std::accumulate(a.begin(), a.end(), 0.0) + std::accumulate(b.begin(), b.end(), 0.0)) /
            1e9);
    }
    tjFree(jpeg);
    tjDestroy(tj);
    const auto errors = r.model->errors();
    if (!errors.empty()) state.SkipWithError(("adapter refused: " + errors.front()).c_str());
    r.dropRecords();
    if (ratio.empty()) return;
    state.counters["pairs"] = static_cast<double>(ratio.size());
    state.counters["service_ms"] = quantile(a, 0.5) / 1e6;
    state.counters["bare_ms"] = quantile(b, 0.5) / 1e6;
    state.counters["ratio"] = quantile(ratio, 0.5);
    state.counters["ratio_p10"] = quantile(ratio, 0.1);
    state.counters["ratio_p90"] = quantile(ratio, 0.9);
    state.counters["cpu_ratio"] = quantile(cpuRatio, 0.5);
    state.counters["cpu_ratio_p10"] = quantile(cpuRatio, 0.1);
    state.counters["cpu_ratio_p90"] = quantile(cpuRatio, 0.9);
    char note[256];
    snprintf(
        note, sizeof note,
        "%s %dx%d: service/bare %.3f (p10 %.3f, p90 %.3f), CPU %.3f (p10 %.3f, p90 %.3f) "
        "over %zu interleaved frames",
        o.light ? "light (tjCompress2)" : "smart (tjEncodeYUVPlanes + tjCompressFromYUVPlanes)", w,
        h, quantile(ratio, 0.5), quantile(ratio, 0.1), quantile(ratio, 0.9),
        quantile(cpuRatio, 0.5), quantile(cpuRatio, 0.1), quantile(cpuRatio, 0.9), ratio.size());
    closingNotes().push_back(note);
}

void BM_FrameBuffers(benchmark::State& state) {
    const int w = state.range(0), h = state.range(1);
    const bool pooled = state.range(2) != 0;
    const size_t yuvSize = tjBufSizeYUV2(w, 1, h, TJSAMP_422);
    const size_t packetSize = velPacketSize520(w, h);
    const size_t jpegBytes = static_cast<size_t>(w) * h * 3 / 20;  // about a q90 desktop JPEG
    velFrameBufferTrim();
    for (auto _ : state) {
        unsigned char* yuv =
            pooled ? velFrameBufferTake(yuvSize) : static_cast<unsigned char*>(malloc(yuvSize));
        unsigned char* packet = pooled ? velFrameBufferTake(packetSize)
                                       : static_cast<unsigned char*>(malloc(packetSize));
        memset(yuv, 0x80, yuvSize);
        memset(packet, 0x11, jpegBytes + 112 + 6120);
        benchmark::DoNotOptimize(yuv[yuvSize - 1] + packet[jpegBytes]);
        if (pooled) {
            velFrameBufferGive(yuv);
            velFrameBufferGive(packet);
        } else {
            free(yuv);
            free(packet);
        }
    }
    velFrameBufferTrim();
}

void* postAndEnd(void* arg) {
    sem_post(static_cast<sem_t*>(arg));
    return nullptr;
}

void BM_FrameThread(benchmark::State& state) {
    sem_t ran;
    sem_init(&ran, 0, 0);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    for (auto _ : state) {
        pthread_t t;
        if (pthread_create(&t, &attr, postAndEnd, &ran) != 0) {
            state.SkipWithError("pthread_create");
            break;
        }
        sem_wait(&ran);
    }
    pthread_attr_destroy(&attr);
    sem_destroy(&ran);
}

void sizes(benchmark::internal::Benchmark* b) {
    b->Args({1920, 1080})->Args({3840, 2160})->Unit(benchmark::kMillisecond);
}
void modes(benchmark::internal::Benchmark* b) {
    for (int light : {0, 1})
        for (auto wh : {std::pair<int, int>{1920, 1080}, {3840, 2160}})
            b->Args({wh.first, wh.second, light});
    b->ArgNames({"w", "h", "light"})->Unit(benchmark::kMillisecond)->UseManualTime();
}

}  // namespace

BENCHMARK(BM_BareSmart)->Apply(sizes);
BENCHMARK(BM_BareSmartFreshHandles)->Apply(sizes);
BENCHMARK(BM_BareLight)->Apply(sizes);
BENCHMARK(BM_Service)->Apply(modes);
BENCHMARK(BM_Compare)->Apply(modes)->Iterations(1);
BENCHMARK(BM_FrameBuffers)
    ->ArgNames({"w", "h", "pooled"})
    ->Args({1920, 1080, 0})
    ->Args({1920, 1080, 1})
    ->Args({3840, 2160, 0})
    ->Args({3840, 2160, 1})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FrameThread)->Unit(benchmark::kMicrosecond);

// The library's own main, followed by the closing note: the interleaved ratios.
int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!closingNotes().empty()) {
        printf("\nService cost per frame against the bare library calls (interleaved, medians):\n");
        for (const auto& n : closingNotes()) printf("  %s\n", n.c_str());
    }
    return 0;
}
