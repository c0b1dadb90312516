// Whole cost of one 50x-family frame in the service against the bare libjpeg-turbo calls for
// the same frame, at 1920x1080 and 3840x2160 (goal: at most 1.10x of the bare calls' time), and
// the split frame's wall time against the single-threaded cost of the same work (goal: at most
// 0.6x at 3840x2160).
//
// A whole-screen region of either size is above kSplitPixels508, so both go as split frames:
// two halves (540 + 540 rows; 944 + 1216 at 3840x2160) at quality 97, each converted to 4:2:0
// with the dark-block adjustment and compressed, the halves in parallel (pipeline508Rig.h).
//
// - BM_Compare508: the comparison itself, service and bare work interleaved in one run over the
//   same frames (A, B, A, B ...), as per-pair ratios; the program ends with a closing note of
//   them. A: from the end of the grab (the frame is in the view's pixel area and its rectangle
//   is queued) to the end of the framing of the frame's last packet (it then goes on the send
//   queue; with both halves in parallel this is the split frame's wall time). B: the bare calls
//   for both halves one after the other on this thread (tjEncodeYUVPlanes at 4:2:0,
//   velDarkBlockAdjust over the Y plane, tjCompressFromYUVPlanes at the frame's quality; one
//   handle and buffers kept: the cheapest single-threaded way to do the same work). The median
//   of A/B answers both goals. CPU: A is the process less this thread and the adapter model
//   (the pipeline's four threads, the send and receive threads), B this thread's. Also
//   reported: the longer half's share of B (what the split frame's ratio comes down to when
//   both halves really run at once) and the service's CPU over its wall time (how many cores
//   it had: on a loaded machine the halves take turns on one and the ratio nears the CPU
//   ratio). C, third in each round: the same two halves on two plain threads started
//   together, nothing else; C over B is what two cores give this split on this machine at
//   that moment, the floor of A's ratio (a run where it is well above the longer half's share
//   was disturbed by other work).
// - BM_Bare508: B alone; BM_Service508: A alone (counters "grab_ms", "cpu_ms", "latency_ms"
//   to the end of the last bulk transfer). Separate runs cannot be compared on a shared machine.
// - BM_FrameBuffers508: the buffers of one 50x frame (the YUV block, written whole, and the
//   packet of width x height x 8 + 20,560 bytes, written as far as a JPEG of this size reaches),
//   malloc'd and freed every frame or taken from and given back to the frame buffer pool (as the
//   pipeline does): what the pool saves a frame.
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "pipeline/colorConvert.h"
#include "pipeline/velEncoder.h"
#include "pipeline508Rig.h"

namespace {

// The bare, single-threaded work of one frame: both halves converted, adjusted and compressed.
struct Bare {
    int w, h;
    _alignmentRect halves[2];
    std::vector<unsigned char> yuv;
    unsigned char* jpeg = nullptr;
    unsigned long jpegRoom = 0;
    tjhandle tj = tjInitCompress();
    unsigned long lastSize = 0;
    int64_t longestHalfNs = 0;  // of the last run: the half that took longest

    Bare(int width, int height) : w(width), h(height) {
        _alignmentRect whole;
        whole.x = 0;
        whole.y = 0;
        whole.width = w;
        whole.height = h;
        velSplitRegion508(whole, &halves[0], &halves[1]);
        const int rows = std::max(halves[0].height, halves[1].height);
        yuv.resize(tjBufSizeYUV2(w, 1, rows, TJSAMP_420));
        jpegRoom = tjBufSize(w, rows, TJSAMP_420);
        jpeg = tjAlloc(static_cast<int>(jpegRoom));
    }
    ~Bare() {
        tjFree(jpeg);
        tjDestroy(tj);
    }
    // One half: converted, adjusted, compressed.
    bool runHalf(const std::vector<uint8_t>& frame, const _alignmentRect& part) {
        const unsigned char* src = frame.data() + static_cast<size_t>(part.y) * w * 4;
        unsigned char* p[3];
        p[0] = yuv.data();
        p[1] = p[0] + tjPlaneSizeYUV(0, w, 0, part.height, TJSAMP_420);
        p[2] = p[1] + tjPlaneSizeYUV(1, w, 0, part.height, TJSAMP_420);
        if (tjEncodeYUVPlanes(tj, src, w, w * 4, part.height, TJPF_BGRX, p, nullptr, TJSAMP_420,
                              0) != 0)
            return false;
        velDarkBlockAdjust(src, w, w * 4, part.height, p[0], tjPlaneWidth(0, w, TJSAMP_420));
        const unsigned char* cp[3] = {p[0], p[1], p[2]};
        unsigned long size = jpegRoom;
        if (tjCompressFromYUVPlanes(tj, cp, w, nullptr, part.height, TJSAMP_420, &jpeg, &size, 97,
                                    TJFLAG_NOREALLOC) != 0)
            return false;
        lastSize = size;
        benchmark::DoNotOptimize(lastSize);
        return true;
    }
    bool run(const std::vector<uint8_t>& frame) {
        longestHalfNs = 0;
        for (const auto& part : halves) {
            const int64_t t0 = rig::nowNs();
            if (!runHalf(frame, part)) return false;
            longestHalfNs = std::max(longestHalfNs, rig::nowNs() - t0);
        }
        return true;
    }
};

// The same two halves on two plain threads started together, nothing else: what two cores
// give this split with no pipeline around it (its wall time over the single-threaded one is the
// floor the service's ratio can come down to on this machine).
struct BareTwoThreads {
    Bare upper, lower;
    BareTwoThreads(int w, int h) : upper(w, h), lower(w, h) {}
    bool run(const std::vector<uint8_t>& frame) {
        bool ok[2] = {false, false};
        std::thread t([&] { ok[1] = lower.runHalf(frame, lower.halves[1]); });
        ok[0] = upper.runHalf(frame, upper.halves[0]);
        t.join();
        return ok[0] && ok[1];
    }
};

void BM_Bare508(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    const auto* f0 = &rig::desktopFrame(w, h, 0);
    const auto* f1 = &rig::desktopFrame(w, h, 1);
    Bare bare(w, h);
    int i = 0;
    for (auto _ : state) {
        if (!bare.run((i++ & 1) ? *f1 : *f0)) {
            state.SkipWithError(tjGetErrorStr2(bare.tj));
            break;
        }
    }
}

// Service frame `seq` of view 0, token taken and grab done by the caller: from the push of its
// rectangle to the framing of its last packet (wall) and the service's CPU meanwhile. False
// when it did not get through.
bool serviceFrame(rig508::Rig& r, int seq, double* wallNs, double* cpuNs) {
    const int64_t cpu0 = rig::processCpuNs(), self0 = rig::threadCpuNs(),
                  model0 = r.model->modelCpuNs.load();
    r.push(0, seq);
    if (!r.waitSent(0, seq + 1, 5000)) return false;
    *cpuNs = static_cast<double>((rig::processCpuNs() - cpu0) - (rig::threadCpuNs() - self0) -
                                 (r.model->modelCpuNs.load() - model0));
    std::lock_guard<std::mutex> lk(r.timeline.m);
    *wallNs = static_cast<double>(r.timeline.framed[0][seq] - r.timeline.pushed[0][seq]);
    return true;
}

void BM_Service508(benchmark::State& state) {
    rig508::Options o;
    o.width = static_cast<int>(state.range(0));
    o.height = static_cast<int>(state.range(1));
    rig508::Rig r(o);
    if (!r.ok) {
        state.SkipWithError(r.error.c_str());
        return;
    }
    constexpr int kMaxFrames = 100000;
    r.timeline.reserve(0, kMaxFrames);
    int seq = 0;
    double wall = 0, cpu = 0, grabNs = 0, cpuSum = 0;
    for (; seq < 3; ++seq) {
        if (!r.waitToken(0, 2000)) break;
        r.grab(0, seq);
        serviceFrame(r, seq, &wall, &cpu);
    }
    const int first = seq;
    for (auto _ : state) {
        if (seq >= kMaxFrames || !r.waitToken(0, 2000)) {
            state.SkipWithError("update token not given back");
            break;
        }
        const int64_t g0 = rig::nowNs();
        r.grab(0, seq);
        grabNs += static_cast<double>(rig::nowNs() - g0);
        if (!serviceFrame(r, seq, &wall, &cpu)) {
            state.SkipWithError("frame not sent");
            break;
        }
        cpuSum += cpu;
        state.SetIterationTime(wall / 1e9);
        ++seq;
    }
    const int frames = seq - first;
    if (frames > 0) {
        double lat = 0;
        {
            std::lock_guard<std::mutex> lk(r.timeline.m);
            for (int s = first; s < seq; ++s)
                lat += static_cast<double>(r.timeline.sent[0][s] - r.timeline.pushed[0][s]);
        }
        state.counters["grab_ms"] = grabNs / frames / 1e6;
        state.counters["cpu_ms"] = cpuSum / frames / 1e6;
        state.counters["latency_ms"] = lat / frames / 1e6;
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

std::vector<std::string>& closingNotes() {
    static std::vector<std::string> notes;
    return notes;
}

void BM_Compare508(benchmark::State& state) {
    rig508::Options o;
    o.width = static_cast<int>(state.range(0));
    o.height = static_cast<int>(state.range(1));
    const int pairs = compareFrames();
    rig508::Rig r(o);
    if (!r.ok) {
        state.SkipWithError(r.error.c_str());
        return;
    }
    const int w = o.width, h = o.height;
    constexpr int kWarmUp = 3;
    r.timeline.reserve(0, pairs + kWarmUp);
    Bare bare(w, h);
    BareTwoThreads two(w, h);
    double wall = 0, cpu = 0;
    int seq = 0;
    for (; seq < kWarmUp; ++seq) {
        if (!r.waitToken(0, 2000)) break;
        r.grab(0, seq);
        if (!serviceFrame(r, seq, &wall, &cpu)) break;
        bare.run(rig::desktopFrame(w, h, seq & 1));
        two.run(rig::desktopFrame(w, h, seq & 1));
    }
    std::vector<double> a, b, ratio, aCpu, bCpu, cpuRatio, halfShare, parallel, twoRatio;
    for (auto _ : state) {
        for (int i = 0; i < pairs; ++i, ++seq) {
            if (!r.waitToken(0, 2000)) {
                state.SkipWithError("update token not given back");
                break;
            }
            r.grab(0, seq);
            if (!serviceFrame(r, seq, &wall, &cpu)) {
                state.SkipWithError("service frame not sent");
                break;
            }
            const int64_t t0 = rig::nowNs(), c0 = rig::threadCpuNs();
            if (!bare.run(rig::desktopFrame(w, h, seq & 1))) {
                state.SkipWithError(tjGetErrorStr2(bare.tj));
                break;
            }
            const double bw = static_cast<double>(rig::nowNs() - t0);
            const double bc = static_cast<double>(rig::threadCpuNs() - c0);
            const int64_t t1 = rig::nowNs();
            if (!two.run(rig::desktopFrame(w, h, seq & 1))) {
                state.SkipWithError(tjGetErrorStr2(two.upper.tj));
                break;
            }
            twoRatio.push_back(static_cast<double>(rig::nowNs() - t1) / bw);
            a.push_back(wall);
            b.push_back(bw);
            ratio.push_back(wall / bw);
            aCpu.push_back(cpu);
            bCpu.push_back(bc);
            cpuRatio.push_back(cpu / bc);
            halfShare.push_back(static_cast<double>(bare.longestHalfNs) / bw);
            parallel.push_back(cpu / wall);
        }
        state.SetIterationTime(
            (std::accumulate(a.begin(), a.end(), 0.0) + std::accumulate(b.begin(), b.end(), 0.0)) /
            1e9);
    }
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
    state.counters["service_cpu_ms"] = quantile(aCpu, 0.5) / 1e6;
    state.counters["cpu_ratio"] = quantile(cpuRatio, 0.5);
    state.counters["longest_half_share"] = quantile(halfShare, 0.5);
    state.counters["service_cores"] = quantile(parallel, 0.5);
    state.counters["two_threads_ratio"] = quantile(twoRatio, 0.5);
    char note[640];
    snprintf(note, sizeof note,
             "%dx%d split frame: service %.2f ms / bare single-threaded %.2f ms = %.3f (p10 %.3f, "
             "p90 %.3f); CPU %.3f (p10 %.3f, p90 %.3f) over %zu interleaved frames; the longer "
             "half is %.3f of the bare work (the ratio two free cores could reach), the service "
             "had %.2f cores busy; the two halves on two plain threads: %.3f (p10 %.3f, p90 %.3f)",
             w, h, quantile(a, 0.5) / 1e6, quantile(b, 0.5) / 1e6, quantile(ratio, 0.5),
             quantile(ratio, 0.1), quantile(ratio, 0.9), quantile(cpuRatio, 0.5),
             quantile(cpuRatio, 0.1), quantile(cpuRatio, 0.9), ratio.size(),
             quantile(halfShare, 0.5), quantile(parallel, 0.5), quantile(twoRatio, 0.5),
             quantile(twoRatio, 0.1), quantile(twoRatio, 0.9));
    closingNotes().push_back(note);
}

void BM_FrameBuffers508(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    const bool pooled = state.range(2) != 0;
    // One half of a split frame of this size, as the pipeline takes its buffers.
    _alignmentRect whole, upper, lower;
    whole.width = w;
    whole.height = h;
    velSplitRegion508(whole, &upper, &lower);
    const size_t yuvSize = velYuvBlockLength(w, lower.height);
    const size_t packetSize = velPacketSize508(w, lower.height);
    const size_t jpegBytes = static_cast<size_t>(w) * lower.height / 4;  // about a q97 desktop
    velFrameBufferTrim();
    for (auto _ : state) {
        unsigned char* yuv =
            pooled ? velFrameBufferTake(yuvSize) : static_cast<unsigned char*>(malloc(yuvSize));
        unsigned char* packet = pooled ? velFrameBufferTake(packetSize)
                                       : static_cast<unsigned char*>(malloc(packetSize));
        memset(yuv, 0x80, yuvSize);
        memset(packet, 0x11, jpegBytes + 48 + 20480);
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

void sizes(benchmark::internal::Benchmark* b) {
    b->Args({1920, 1080})->Args({3840, 2160})->ArgNames({"w", "h"});
}

}  // namespace

BENCHMARK(BM_Bare508)->Apply(sizes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Service508)->Apply(sizes)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_Compare508)
    ->Apply(sizes)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1);
BENCHMARK(BM_FrameBuffers508)
    ->ArgNames({"w", "h", "pooled"})
    ->Args({1920, 1080, 0})
    ->Args({1920, 1080, 1})
    ->Args({3840, 2160, 0})
    ->Args({3840, 2160, 1})
    ->Unit(benchmark::kMicrosecond);

// The library's own main, followed by the closing note: the interleaved ratios.
int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!closingNotes().empty()) {
        printf("\n50x split frame against the bare single-threaded library calls (interleaved, "
               "medians):\n");
        for (const auto& n : closingNotes()) printf("  %s\n", n.c_str());
    }
    return 0;
}
