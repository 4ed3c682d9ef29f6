// UpdateCrc32 against zlib's crc32 over the same 64 MiB buffer, in one run.
// Prints both throughputs and the ratio ours/zlib (1.0 means equal speed).
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <random>
#include <vector>

#include "web/Crc32.h"

namespace {

const std::vector<unsigned char>& Buffer() {
    static std::vector<unsigned char> buf = [] {
        std::vector<unsigned char> b(64u << 20);
        std::mt19937 rng(1);
        for (auto& c : b) c = static_cast<unsigned char>(rng());
        return b;
    }();
    return buf;
}

void BM_UpdateCrc32(benchmark::State& state) {
    const auto& b = Buffer();
    for (auto _ : state) benchmark::DoNotOptimize(UpdateCrc32(0xFFFFFFFFu, b.data(), b.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * b.size()));
}

void BM_ZlibCrc32(benchmark::State& state) {
    const auto& b = Buffer();
    for (auto _ : state) benchmark::DoNotOptimize(crc32(0L, b.data(), static_cast<uInt>(b.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * b.size()));
}

BENCHMARK(BM_UpdateCrc32)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_ZlibCrc32)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// Collects the two throughputs so the ratio can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& r : runs) {
            double secs = r.GetAdjustedRealTime() / 1e3;  // ms per iteration
            double mibs = 64.0 / secs;
            if (r.benchmark_name().find("UpdateCrc32") != std::string::npos) ours = mibs;
            if (r.benchmark_name().find("Zlib") != std::string::npos) zlib = mibs;
        }
    }
    double ours = 0, zlib = 0;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Buffer();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (reporter.ours > 0 && reporter.zlib > 0)
        std::printf("UpdateCrc32 %.0f MiB/s, zlib crc32 %.0f MiB/s, ratio ours/zlib %.2f\n", reporter.ours,
                    reporter.zlib, reporter.ours / reporter.zlib);
    return 0;
}
