// Colour conversion of whole BGRX frames (1920x1080 and 3840x2160):
// - our 4:2:0 conversion with the dark-block luma adjustment against a plain tjEncodeYUVPlanes
//   4:2:0 of the same frame (goal: at most 10 % more),
// - the pixel-order swap (two threads) against a plain memcpy of the frame,
// - the model-520 4:2:2 conversion against a plain tjEncodeYUVPlanes 4:2:2.
// Frames: "desktop" (gradients, fine detail, and a dark window over a third of the screen whose
// blocks qualify for the adjustment) and "black" (every block qualifies: the adjustment's worst
// case).
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "pipeline/colorConvert.h"

namespace {

enum Content { kDesktop = 0, kBlack = 1 };

const std::vector<uint8_t>& frame(int w, int h, int content) {
    static std::map<long, std::vector<uint8_t>> cache;
    const long key = (static_cast<long>(w) * 100000 + h) * 2 + content;
    auto it = cache.find(key);
    if (it != cache.end()) return it->second;
    std::vector<uint8_t> p(static_cast<size_t>(w) * h * 4, 0);
    if (content == kDesktop) {
        uint32_t rnd = 1;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                uint8_t* px = &p[(static_cast<size_t>(y) * w + x) * 4];
                rnd = rnd * 1103515245u + 12345u;
                const uint8_t detail =
                    (y % 200 < 40) ? static_cast<uint8_t>((rnd >> 16) & 0x3F) : 0;
                if (x < w / 3) {
                    // Dark-themed window: near-black with dim text-like detail.
                    px[0] = static_cast<uint8_t>(10 + (detail & 0x0F));
                    px[1] = static_cast<uint8_t>(12 + (detail & 0x0F));
                    px[2] = static_cast<uint8_t>(14 + detail);
                } else {
                    px[0] = static_cast<uint8_t>(x / 8 + detail);
                    px[1] = static_cast<uint8_t>(y / 5 + detail);
                    px[2] = static_cast<uint8_t>((x + y) / 12);
                }
            }
        }
    }
    return cache.emplace(key, std::move(p)).first->second;
}

struct Yuv {
    std::vector<uint8_t> data;
    unsigned char* planes[3];
    Yuv(int w, int h, int subsamp) : data(tjBufSizeYUV2(w, 1, h, subsamp)) {
        planes[0] = data.data();
        planes[1] = planes[0] + tjPlaneSizeYUV(0, w, 0, h, subsamp);
        planes[2] = planes[1] + tjPlaneSizeYUV(1, w, 0, h, subsamp);
    }
};

void setBytes(benchmark::State& state, int w, int h) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * w * h * 4);
}

void BM_Yuv420Plain(benchmark::State& state) {
    const int w = state.range(0), h = state.range(1);
    const auto& f = frame(w, h, state.range(2));
    Yuv out(w, h, TJSAMP_420);
    tjhandle tj = tjInitCompress();
    for (auto _ : state) {
        tjEncodeYUVPlanes(tj, f.data(), w, 0, h, TJPF_BGRX, out.planes, nullptr, TJSAMP_420, 0);
        benchmark::ClobberMemory();
    }
    tjDestroy(tj);
    setBytes(state, w, h);
}

void BM_Yuv420WithDarkBlocks(benchmark::State& state) {
    const int w = state.range(0), h = state.range(1);
    const auto& f = frame(w, h, state.range(2));
    Yuv out(w, h, TJSAMP_420);
    tjhandle tj = tjInitCompress();
    for (auto _ : state) {
        velEncodeYUVPlanes(tj, f.data(), w, 0, h, TJPF_BGRX, out.planes, TJSAMP_420, 0);
        benchmark::ClobberMemory();
    }
    tjDestroy(tj);
    setBytes(state, w, h);
}

// The adjustment pass alone, over a converted frame (data from memory, not from cache).
void BM_DarkBlockAdjustOnly(benchmark::State& state) {
    const int w = state.range(0), h = state.range(1);
    const auto& f = frame(w, h, state.range(2));
    Yuv out(w, h, TJSAMP_420);
    for (auto _ : state) {
        velDarkBlockAdjust(f.data(), w, w * 4, h, out.planes[0], tjPlaneWidth(0, w, TJSAMP_420));
        benchmark::ClobberMemory();
    }
    setBytes(state, w, h);
}

void BM_Yuv422Plain(benchmark::State& state) {
    const int w = state.range(0), h = state.range(1);
    const auto& f = frame(w, h, state.range(2));
    Yuv out(w, h, TJSAMP_422);
    tjhandle tj = tjInitCompress();
    for (auto _ : state) {
        tjEncodeYUVPlanes(tj, f.data(), w, 0, h, TJPF_BGRX, out.planes, nullptr, TJSAMP_422, 0);
        benchmark::ClobberMemory();
    }
    tjDestroy(tj);
    setBytes(state, w, h);
}

// What rgb2Yuv520 runs per frame: its own handle and buffer, then the conversion.
void BM_Rgb2Yuv520Conversion(benchmark::State& state) {
    const int w = state.range(0), h = state.range(1);
    const auto& f = frame(w, h, state.range(2));
    for (auto _ : state) {
        Yuv out(w, h, TJSAMP_422);
        tjhandle tj = tjInitCompress();
        velEncodeYUVPlanes(tj, f.data(), w, w * 4, h, TJPF_BGRX, out.planes, TJSAMP_422, 0);
        tjDestroy(tj);
        benchmark::DoNotOptimize(out.data.data());
    }
    setBytes(state, w, h);
}

void BM_FrameMemcpy(benchmark::State& state) {
    const int w = state.range(0), h = state.range(1);
    const auto& f = frame(w, h, state.range(2));
    std::vector<uint8_t> dst(f.size());
    for (auto _ : state) {
        memcpy(dst.data(), f.data(), f.size());
        benchmark::ClobberMemory();
    }
    setBytes(state, w, h);
}

void BM_PixelOrderSwap(benchmark::State& state) {
    const int w = state.range(0), h = state.range(1);
    const auto& f = frame(w, h, state.range(2));
    std::vector<uint8_t> dst(f.size());
    for (auto _ : state) {
        velSwapPixelOrder(f.data(), dst.data(), f.size(), w * h);
        benchmark::ClobberMemory();
    }
    setBytes(state, w, h);
}

void frameArgs(benchmark::internal::Benchmark* b) {
    for (int content : {kDesktop, kBlack}) {
        b->Args({1920, 1080, content});
        b->Args({3840, 2160, content});
    }
    b->ArgNames({"w", "h", "black"})->Unit(benchmark::kMillisecond)->UseRealTime();
}

void desktopArgs(benchmark::internal::Benchmark* b) {
    b->Args({1920, 1080, kDesktop})->Args({3840, 2160, kDesktop});
    b->ArgNames({"w", "h", "black"})->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_Yuv420Plain)->Apply(frameArgs);
BENCHMARK(BM_Yuv420WithDarkBlocks)->Apply(frameArgs);
BENCHMARK(BM_DarkBlockAdjustOnly)->Apply(frameArgs);
BENCHMARK(BM_Yuv422Plain)->Apply(desktopArgs);
BENCHMARK(BM_Rgb2Yuv520Conversion)->Apply(desktopArgs);
BENCHMARK(BM_FrameMemcpy)->Apply(desktopArgs);
BENCHMARK(BM_PixelOrderSwap)->Apply(desktopArgs);

}  // namespace
