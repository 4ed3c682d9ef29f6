// UpdateCrc32 against zlib's crc32 over the same 64 MiB buffer, in one run:
// with carry-less multiplication where this processor has it, and with the
// portable code forced. Prints the throughputs and the ratios ours/zlib as
// table rows; the ratios use CPU time, as the machine may be shared.
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
    ForceCrc32Portable(state.range(0) != 0);
    for (auto _ : state) benchmark::DoNotOptimize(UpdateCrc32(0xFFFFFFFFu, b.data(), b.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * b.size()));
    state.SetLabel(Crc32Accelerated() ? "carry-less multiply" : "portable");
    ForceCrc32Portable(false);
}

void BM_ZlibCrc32(benchmark::State& state) {
    const auto& b = Buffer();
    for (auto _ : state) benchmark::DoNotOptimize(crc32(0L, b.data(), static_cast<uInt>(b.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * b.size()));
}

BENCHMARK(BM_ZlibCrc32)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_UpdateCrc32)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_UpdateCrc32)->Arg(0)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// Collects the throughputs so the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& r : runs) {
            double gibs = 1.0 / 16 / (r.GetAdjustedCPUTime() / 1e3);  // 64 MiB, ms per iteration
            std::string name = r.benchmark_name();
            if (name.find("Zlib") != std::string::npos) zlib = gibs;
            else if (name.find("UpdateCrc32/1") != std::string::npos) portable = gibs;
            else if (name.find("UpdateCrc32/0") != std::string::npos) ours = gibs;
        }
    }
    double ours = 0, portable = 0, zlib = 0;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Buffer();
    bool accelerated = Crc32Accelerated();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (reporter.ours > 0 && reporter.portable > 0 && reporter.zlib > 0) {
        std::printf("| CRC-32 in memory, portable code/zlib (throughput, native) | %.2f vs %.2f GiB/s | %.2f |\n",
                    reporter.portable, reporter.zlib, reporter.portable / reporter.zlib);
        std::printf("| CRC-32 in memory, ours/zlib (throughput, native, %s) | %.2f vs %.2f GiB/s | %.2f |\n",
                    accelerated ? "carry-less multiply" : "no carry-less multiply on this CPU", reporter.ours,
                    reporter.zlib, reporter.ours / reporter.zlib);
    }
    return 0;
}
