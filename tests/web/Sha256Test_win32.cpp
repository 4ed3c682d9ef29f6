// SHA-256 through both of Windows' providers, against published test vectors
// (FIPS 180-2): short inputs, a two-block message, and a file of a million
// bytes read in several blocks.
#include "web/Sha256_win32.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "fileutil/Errors.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

const char* const kMillionA = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";

class Sha256 : public ::testing::TestWithParam<TSha256Provider> {};

TEST_P(Sha256, KnownDigests) {
    struct Case {
        std::string input;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    for (const Case& c : cases) EXPECT_EQ(Sha256Hex(c.input.data(), c.input.size(), GetParam()), c.digest) << c.input;
}

TEST_P(Sha256, FileInSeveralReads) {
    TScratchDir dir(std::string("sha256-file-") + (GetParam() == TSha256Provider::Cng ? "cng" : "capi"));
    const std::string file = dir / "million.bin";
    WriteFile(file, std::string(1000000, 'a'));
    EXPECT_EQ(FileSha256(file, GetParam()), kMillionA);
    // An empty file is a digest too, not an error.
    WriteFile(dir / "empty.bin", "");
    EXPECT_EQ(FileSha256(dir / "empty.bin", GetParam()),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

INSTANTIATE_TEST_SUITE_P(Providers, Sha256, ::testing::Values(TSha256Provider::Cng, TSha256Provider::CryptoApi));

TEST(Sha256Default, UsesCngAndNamesAMissingFile) {
    EXPECT_EQ(DefaultSha256Provider(), TSha256Provider::Cng);
    EXPECT_EQ(Sha256Hex("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    TScratchDir dir("sha256-missing");
    try {
        FileSha256(dir / "absent.exe");
        FAIL() << "no error for a missing file";
    } catch (const EFOpenError& e) {
        EXPECT_NE(std::string(e.what()).find("absent.exe"), std::string::npos) << e.what();
    }
}

// A file being written is refused rather than hashed half-way.
TEST(Sha256Default, RefusesAFileOpenForWriting) {
    TScratchDir dir("sha256-writer");
    const std::string file = dir / "busy.exe";
    WriteFile(file, "MZ");
    HANDLE writer = CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_THROW(FileSha256(file), EFOpenError);
    CloseHandle(writer);
    EXPECT_EQ(FileSha256(file), Sha256Hex("MZ", 2));
}

}  // namespace
