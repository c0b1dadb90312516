// Decoder-header generation for a 1920x1080 q90 frame, both adapter generations, next to the
// cost of compressing that frame with TurboJPEG (4:2:2, q90), which the header is added to.
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <cstdint>
#include <vector>

#include "jpu/OrfeJpegHeaderDec.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kQuality = 90;

// A desktop-like BGRX frame: smooth gradients with a band of fine detail.
const std::vector<uint8_t>& frame() {
    static const std::vector<uint8_t> pixels = [] {
        std::vector<uint8_t> p(static_cast<size_t>(kWidth) * kHeight * 4);
        uint32_t rnd = 1;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                uint8_t* px = &p[(static_cast<size_t>(y) * kWidth + x) * 4];
                rnd = rnd * 1103515245u + 12345u;
                uint8_t detail = (y % 200 < 40) ? static_cast<uint8_t>((rnd >> 16) & 0x3F) : 0;
                px[0] = static_cast<uint8_t>(x / 8 + detail);
                px[1] = static_cast<uint8_t>(y / 5 + detail);
                px[2] = static_cast<uint8_t>((x + y) / 12);
                px[3] = 0;
            }
        }
        return p;
    }();
    return pixels;
}

std::vector<uint8_t> compressFrame(tjhandle tj) {
    unsigned char* buf = nullptr;
    unsigned long len = 0;
    tjCompress2(tj, frame().data(), kWidth, 0, kHeight, TJPF_BGRX, &buf, &len, TJSAMP_422, kQuality,
                0);
    std::vector<uint8_t> jpeg(buf, buf + len);
    tjFree(buf);
    return jpeg;
}

void BM_TjCompress2_1080p_422_q90(benchmark::State& state) {
    tjhandle tj = tjInitCompress();
    unsigned char* buf = tjAlloc(static_cast<int>(tjBufSize(kWidth, kHeight, TJSAMP_422)));
    for (auto _ : state) {
        unsigned long len = tjBufSize(kWidth, kHeight, TJSAMP_422);
        tjCompress2(tj, frame().data(), kWidth, 0, kHeight, TJPF_BGRX, &buf, &len, TJSAMP_422,
                    kQuality, TJFLAG_NOREALLOC);
        benchmark::DoNotOptimize(len);
    }
    tjFree(buf);
    tjDestroy(tj);
}
BENCHMARK(BM_TjCompress2_1080p_422_q90)->Unit(benchmark::kMicrosecond);

void headerBench(benchmark::State& state, ProtocolType protocol, uint32_t capacity) {
    tjhandle tj = tjInitCompress();
    std::vector<uint8_t> jpeg = compressFrame(tj);
    tjDestroy(tj);
    std::vector<uint8_t> out(capacity);
    COrfeJpegHeaderDec dec;
    for (auto _ : state) {
        int r = static_cast<int>(dec.GetJpegHeaderForCnMDecoder(
            jpeg.data(), static_cast<unsigned>(jpeg.size()), out.data(), capacity, protocol));
        if (r <= 0) {
            state.SkipWithError("decoder header failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["jpeg_bytes"] = static_cast<double>(jpeg.size());
}

void BM_JpuHeader508_1080p_q90(benchmark::State& state) {
    headerBench(state, CNM508_PROTOCOL, COrfeJpegHeaderDec::MAX_HEADER_SIZE_508);
}
BENCHMARK(BM_JpuHeader508_1080p_q90)->Unit(benchmark::kMicrosecond);

void BM_JpuHeader520_1080p_q90(benchmark::State& state) {
    headerBench(state, CNM520_PROTOCOL, COrfeJpegHeaderDec::MAX_HEADER_SIZE_520);
}
BENCHMARK(BM_JpuHeader520_1080p_q90)->Unit(benchmark::kMicrosecond);

}  // namespace
