// Times loading and selecting a catalogue of 100,000 records against a plain
// zlib inflate of the same file, in the same run, and prints the ratio and the
// peak memory. Build with STIRPELLO_BENCH=ON (without sanitizers for figures
// worth quoting); runs natively and under Wine. Given a catalogue file it
// measures the peak memory of one load instead; any other argument names the
// run in the table row it prints.
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/Inflate.h"
#include "catalogue/SoftwareUpdateList.h"
#include "catalogue/Writer.h"
#include "tests/catalogue/bench/PeakMemory.h"

namespace {

const int kRecords = 100000;

std::string MakeCatalogue(std::string& plain) {
    TWriter w;
    w.WriteInteger(1);
    w.WriteInteger(100);
    w.WriteString("Benchmark catalogue");
    w.WriteInteger(2);
    w.WriteString("M/20304/20305/");
    w.WriteString("Q/20304/20400/");
    w.WriteInteger(kRecords);
    const char* kinds[] = {"B", "W", "S", "R"};
    // Written newest first with descending order keys, as a publisher writes
    // a list it has loaded.
    for (int i = 0; i < kRecords; ++i) {
        TSoftwareUpdate u;
        int32_t version = 40000 - i / 7;
        u.SetVersion(version);
        u.SetOrderKey("k" + std::to_string(6 - i % 7));
        u.SetKind(kinds[i % 4]);
        u.SetDate(44000.0 + i * 0.25);
        u.SetText05("Update " + std::to_string(version) + " fixes issue " + std::to_string(i));
        u.SetText06(i % 3 ? "" : "https://example.invalid/notes/" + std::to_string(i));
        u.SetNumber07(i);
        u.SetNumber08(i * 37);
        u.SetText09("");
        u.SetText10(i % 5 ? "" : "Restart required");
        u.SetFromVersions(i % 2 ? "" : "20304 20305 20306");
        u.SetClassLetters(i % 3 ? "MQ" : "M");
        w.WriteSoftwareUpdate(u);
    }
    plain = w.Bytes();
    return Deflate(plain);
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

// catalogue_bench FILE.UPD: loads and selects the file once and reports the
// peak memory before and after, for the loader alone.
int PeakOfOneLoad(const char* path) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) {
        std::fprintf(stderr, "cannot read %s\n", path);
        return 1;
    }
    std::string zipped;
    char buf[65536];
    while (size_t n = std::fread(buf, 1, sizeof buf, f)) zipped.append(buf, n);
    std::fclose(f);
    const double before = PeakMemoryMiB();
    TSoftwareUpdateList list;
    list.LoadFromString(zipped);
    const int loaded = list.Count();
    list.SelectFor(20304);
    std::printf("one load of %d records: peak memory %.1f MiB before, %.1f MiB after\n", loaded, before, PeakMemoryMiB());
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]).find(".upd") != std::string::npos) return PeakOfOneLoad(argv[1]);
    std::string plain;
    const std::string zipped = MakeCatalogue(plain);
    if (std::FILE* f = std::fopen("bench-catalogue.upd", "wb")) {
        std::fwrite(zipped.data(), 1, zipped.size(), f);
        std::fclose(f);
    }
    std::printf("catalogue: %d records, %zu bytes compressed, %zu inflated\n", kRecords, zipped.size(), plain.size());
    const double peakBefore = PeakMemoryMiB();

    // The ratio is taken per round, from the pair measured back to back, and
    // its median reported: on a shared machine the load drifts between rounds
    // far more than within one.
    const int rounds = 15;
    std::vector<double> inflateTimes, streamTimes, loadTimes, ratios;
    int kept = 0;
    for (int r = 0; r < rounds; ++r) {
        auto t0 = std::chrono::steady_clock::now();
        {
            std::unique_ptr<Bytef[]> out(new Bytef[plain.size()]);
            uLongf size = static_cast<uLongf>(plain.size());
            if (uncompress(out.get(), &size, reinterpret_cast<const Bytef*>(zipped.data()),
                           static_cast<uLong>(zipped.size())) != Z_OK || size != plain.size()) {
                std::fprintf(stderr, "uncompress failed\n");
                return 1;
            }
        }
        auto t1 = std::chrono::steady_clock::now();
        {
            TSoftwareUpdateList list;
            list.LoadFromString(zipped);
            if (list.Count() != kRecords) {
                std::fprintf(stderr, "loaded %d records\n", list.Count());
                return 1;
            }
            list.SelectFor(20304);
            kept = list.Count();
        }
        auto t2 = std::chrono::steady_clock::now();
        {
            // Where the time goes: the loader's own inflate, read out in the
            // reader's 1024-byte blocks and dropped.
            TInflateStream source(zipped);
            char block[1024];
            while (source.Read(block, sizeof block) > 0) {
            }
        }
        auto t3 = std::chrono::steady_clock::now();
        inflateTimes.push_back(Seconds(t1 - t0));
        loadTimes.push_back(Seconds(t2 - t1));
        streamTimes.push_back(Seconds(t3 - t2));
        ratios.push_back(Seconds(t2 - t1) / Seconds(t1 - t0));
    }
    const double inflate = Median(inflateTimes), load = Median(loadTimes), stream = Median(streamTimes);
    const double ratio = Median(ratios);
    std::printf("zlib uncompress alone:        %8.2f ms (median of %d)\n", inflate * 1e3, rounds);
    std::printf("the loader's inflate alone:   %8.2f ms (median of %d)\n", stream * 1e3, rounds);
    std::printf("LoadFromString + SelectFor:   %8.2f ms (median of %d), %d records kept\n", load * 1e3, rounds, kept);
    std::printf("ratio: %.3f (median of the %d rounds' ratios)\n", ratio, rounds);
    std::printf("| catalogue of %d records, load+select vs uncompress alone, %s | %.1f vs %.1f ms | %.2f |\n",
                kRecords, argc > 1 ? argv[1] : "native", load * 1e3, inflate * 1e3, ratio);
    std::printf("peak memory: %.1f MiB before loading (test data), %.1f MiB after\n", peakBefore, PeakMemoryMiB());
    std::printf("wrote bench-catalogue.upd; 'catalogue_bench bench-catalogue.upd' measures one load's peak\n");
    return 0;
}
