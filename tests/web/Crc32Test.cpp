#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "fileutil/Errors.h"
#include "tests/support/TestSupport.h"
#include "web/Crc32.h"

using testsupport::TScratchDir;

static int32_t Crc(const std::string& s) {
    return static_cast<int32_t>(UpdateCrc32(0xFFFFFFFFu, s.data(), s.size()) ^ 0xFFFFFFFFu);
}

TEST(Crc32, PublishedCheckValues) {
    EXPECT_EQ(static_cast<uint32_t>(Crc("123456789")), 0xCBF43926u);
    EXPECT_EQ(Crc("123456789"), -873187034);  // shown signed in the run log
    EXPECT_EQ(Crc(""), 0);
    EXPECT_EQ(static_cast<uint32_t>(Crc("The quick brown fox jumps over the lazy dog")), 0x414FA339u);
}

// Runs body once with carry-less multiplication (where this processor has
// it) and once with the portable code forced, whatever the processor has.
template <typename Body>
static void OnBothPaths(Body body) {
    for (bool portable : {false, true}) {
        ForceCrc32Portable(portable);
        SCOPED_TRACE(Crc32Accelerated() ? "carry-less multiplication" : "portable");
        body();
    }
    ForceCrc32Portable(false);
}

TEST(Crc32, ForcedSwitchTurnsTheAccelerationOff) {
    ForceCrc32Portable(true);
    EXPECT_FALSE(Crc32Accelerated());
    ForceCrc32Portable(false);
}

// Every length up to 4096 at every misalignment against the 16-byte vector
// loads: the folds take 128, 64 and 16 bytes at a time and leave a byte-wise
// tail, and the portable code takes 40-byte blocks.
TEST(Crc32, MatchesZlibAtEveryLengthAndMisalignment) {
    std::mt19937 rng(7);
    std::vector<unsigned char> storage(4096 + 128);
    for (auto& c : storage) c = static_cast<unsigned char>(rng());
    auto* base = storage.data() + (16 - reinterpret_cast<uintptr_t>(storage.data()) % 16);
    OnBothPaths([&] {
        for (size_t offset = 0; offset < 16; ++offset)
            for (size_t len = 0; len <= 4096; ++len) {
                const unsigned char* p = base + offset;
                uLong expect = crc32(0L, p, static_cast<uInt>(len));
                ASSERT_EQ(UpdateCrc32(0xFFFFFFFFu, p, len) ^ 0xFFFFFFFFu, expect)
                    << "len " << len << " offset " << offset;
            }
    });
}

// A running CRC carried across calls, split anywhere.
TEST(Crc32, MatchesZlibWhenSplitAnywhere) {
    std::mt19937 rng(9);
    std::string data(1000, '\0');
    for (auto& c : data) c = static_cast<char>(rng());
    uLong expect = crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
    OnBothPaths([&] {
        for (size_t split = 0; split <= data.size(); ++split) {
            uint32_t c = UpdateCrc32(0xFFFFFFFFu, data.data(), split);
            c = UpdateCrc32(c, data.data() + split, data.size() - split);
            ASSERT_EQ(c ^ 0xFFFFFFFFu, expect) << "split " << split;
        }
    });
}

TEST(FileCrc32, WholeFileIncludingExactBlockMultiples) {
    TScratchDir dir("filecrc");
    std::mt19937 rng(11);
    for (size_t size : {size_t(0), size_t(9), size_t(2047), size_t(2048), size_t(4096), size_t(5000)}) {
        std::string data(size, '\0');
        for (auto& c : data) c = static_cast<char>(rng());
        std::string path = dir / ("f" + std::to_string(size));
        testsupport::WriteFile(path, data);
        EXPECT_EQ(FileCrc32(path), Crc(data)) << size;
    }
}

TEST(FileCrc32, MissingFileRaisesWithPathAndReason) {
    TScratchDir dir("filecrc-missing");
    std::string path = dir / "nothing.bin";
    try {
        FileCrc32(path);
        FAIL() << "no error";
    } catch (const EError& e) {
        std::string m = e.what();
        EXPECT_EQ(m.rfind("Cannot open file \"", 0), 0u) << m;
        EXPECT_NE(m.find("nothing.bin\". "), std::string::npos) << m;
        EXPECT_GT(m.size(), m.find("\". ") + 3) << "no reason given: " << m;
    }
}
