#include <gtest/gtest.h>

#include "fileutil/Errors.h"
#include "fileutil/FileHelpers.h"
#include "fileutil/Stream.h"
#include "tests/support/TestSupport.h"

using testsupport::TScratchDir;

// The HTTP client reserves room for an announced body; on the download
// target that must not change the file, or a resume would trust zeros.
TEST(DownloadFileStream, SetSizeNeitherExtendsNorTruncates) {
    TScratchDir dir("dlstream");
    std::string path = dir / "part.bin";
    {
        TDownloadFileStream s(path, fmCreate);
        s.Write("abcdef", 6);
        s.SetSize(1000000);
        s.SetSize(2);
        s.Write("gh", 2);
    }
    EXPECT_EQ(testsupport::ReadFile(path), "abcdefgh");
    EXPECT_EQ(TEasyFile::FileSize(path), 8);
    {
        TDownloadFileStream s(path, fmOpenWrite | fmShareExclusive);
        s.SetPosition(4);
        s.Write("XY", 2);
    }
    EXPECT_EQ(testsupport::ReadFile(path), "abcdXYgh");
}

TEST(FileStream, PlainStreamDoesChangeSizeAndMissingFileRaises) {
    TScratchDir dir("filestream");
    std::string path = dir / "f.bin";
    {
        TFileStream s(path, fmCreate);
        s.Write("abcdef", 6);
        s.SetSize(3);
        EXPECT_EQ(s.GetSize(), 3);
    }
    EXPECT_EQ(testsupport::ReadFile(path), "abc");
    EXPECT_THROW(TFileStream(dir / "none.bin", fmOpenRead), EFOpenError);
}

TEST(FileSize, MissingEmptyFolderAndFile) {
    TScratchDir dir("filesize");
    testsupport::WriteFile(dir / "empty", "");
    testsupport::WriteFile(dir / "five", "12345");
    EXPECT_EQ(TEasyFile::FileSize(dir / "nothing"), -1);
    EXPECT_EQ(TEasyFile::FileSize(dir / "empty"), 0);
    EXPECT_EQ(TEasyFile::FileSize(dir / "five"), 5);
    EXPECT_EQ(TEasyFile::FileSize(dir.Path().substr(0, dir.Path().size() - 1)), -1);
}
