#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

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

// Every length and split point around the 16-byte fold must agree with zlib.
TEST(Crc32, MatchesZlibForAnyLengthAndSplit) {
    std::mt19937 rng(7);
    std::string data(300, '\0');
    for (auto& c : data) c = static_cast<char>(rng());
    for (size_t len = 0; len <= data.size(); len += 7) {
        uLong expect = crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(len));
        for (size_t split : {size_t(0), len / 3, len}) {
            uint32_t c = UpdateCrc32(0xFFFFFFFFu, data.data(), split);
            c = UpdateCrc32(c, data.data() + split, len - split);
            ASSERT_EQ(c ^ 0xFFFFFFFFu, expect) << "len " << len << " split " << split;
        }
    }
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
