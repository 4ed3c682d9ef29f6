// Under Wine, in one run: UpdateCrc32 against zlib's crc32 in memory; then
// FileCrc32 on a 64 MiB file against the same 2048-byte reads alone (no
// checksum) and against those reads over zlib's crc32; then what the
// module's SHA-256 check adds (CNG and CryptoAPI) against FileCrc32. Each
// figure is the best of rounds taken in turn; ratios are printed as table rows.
#include <windows.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "web/Crc32.h"
#include "web/Sha256_win32.h"

static double Now() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

// The reads FileCrc32 makes, each block handed to fold.
static void ReadBlocks(const std::string& path, const std::function<void(const char*, DWORD)>& fold) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    char block[2048];
    DWORD got = 0;
    do {
        if (!ReadFile(h, block, sizeof block, &got, nullptr)) got = 0;
        fold(block, got);
    } while (got == sizeof block);
    CloseHandle(h);
}

// Best time of each job over rounds, the jobs taken in turn in every round.
static std::vector<double> Best(int rounds, const std::vector<std::function<void()>>& jobs) {
    std::vector<double> best(jobs.size(), 1e9);
    for (int r = 0; r < rounds; ++r)
        for (size_t j = 0; j < jobs.size(); ++j) {
            double t0 = Now();
            jobs[j]();
            best[j] = std::min(best[j], Now() - t0);
        }
    return best;
}

int main(int argc, char** argv) {
    std::string path = argc > 1 ? argv[1] : "filecrc_bench.bin";
    const size_t size = 64u << 20;
    const double mib = 64;
    std::vector<unsigned char> data(size);
    std::mt19937 rng(1);
    for (auto& c : data) c = static_cast<unsigned char>(rng());

    uint32_t ours = 0, zlib = 0;
    auto mem = Best(9, {[&] { ours = UpdateCrc32(0xFFFFFFFFu, data.data(), size) ^ 0xFFFFFFFFu; },
                        [&] { zlib = static_cast<uint32_t>(crc32(0L, data.data(), static_cast<uInt>(size))); }});
    std::printf("in memory  UpdateCrc32 %.1f ms  %.0f MiB/s (%s)\n", mem[0] * 1e3, mib / mem[0],
                Crc32Accelerated() ? "carry-less multiply" : "portable");
    std::printf("in memory  zlib crc32  %.1f ms  %.0f MiB/s\n", mem[1] * 1e3, mib / mem[1]);

    {
        HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD put = 0;
        WriteFile(h, data.data(), static_cast<DWORD>(size), &put, nullptr);
        CloseHandle(h);
    }
    uint32_t file = 0, zfile = 0;
    size_t readBytes = 0;
    auto files = Best(5, {[&] { file = static_cast<uint32_t>(FileCrc32(path)); },
                          [&] {
                              readBytes = 0;
                              ReadBlocks(path, [&](const char*, DWORD got) { readBytes += got; });
                          },
                          [&] {
                              uLong c = crc32(0L, Z_NULL, 0);
                              ReadBlocks(path, [&](const char* b, DWORD got) {
                                  c = crc32(c, reinterpret_cast<const Bytef*>(b), got);
                              });
                              zfile = static_cast<uint32_t>(c);
                          }});
    std::printf("file       FileCrc32   %.1f ms  %.0f MiB/s  (crc %08x)\n", files[0] * 1e3, mib / files[0], file);
    std::printf("file       read alone  %.1f ms  %.0f MiB/s  (%zu bytes)\n", files[1] * 1e3, mib / files[1],
                readBytes);
    std::printf("file       zlib loop   %.1f ms  %.0f MiB/s  (crc %08x)\n", files[2] * 1e3, mib / files[2], zfile);

    std::string cng, capi;
    auto sha = Best(3, {[&] { cng = FileSha256(path, TSha256Provider::Cng); },
                        [&] { capi = FileSha256(path, TSha256Provider::CryptoApi); }});
    DeleteFileA(path.c_str());
    std::printf("file       FileSha256 CNG        %.1f ms  %.0f MiB/s  (%s)\n", sha[0] * 1e3, mib / sha[0], cng.c_str());
    std::printf("file       FileSha256 CryptoAPI  %.1f ms  %.0f MiB/s  (%s)\n", sha[1] * 1e3, mib / sha[1],
                capi.c_str());
    std::printf("| FileSha256 (CNG)/FileCrc32, time, Wine | %.0f vs %.0f ms | %.2f |\n", sha[0] * 1e3,
                files[0] * 1e3, sha[0] / files[0]);
    std::printf("| FileCrc32/zlib over the same reads, time, Wine | %.0f vs %.0f ms | %.2f |\n", files[0] * 1e3,
                files[2] * 1e3, files[0] / files[2]);
    std::printf("| FileCrc32/read alone, time, Wine (1.00: limited by reading) | %.0f vs %.0f ms | %.2f |\n",
                files[0] * 1e3, files[1] * 1e3, files[0] / files[1]);
    std::printf("| CRC-32 in memory, ours/zlib (throughput, Wine) | %.2f vs %.2f GiB/s | %.2f |\n",
                mib / 1024 / mem[0], mib / 1024 / mem[1], mem[1] / mem[0]);
    bool same = ours == zlib && file == zfile && file == ours && readBytes == size && cng == capi;
    if (!same) std::printf("checksums differ\n");
    return same ? 0 : 1;
}
