// The update module download under Wine against the loopback site: the test
// module itself, then each way the download can end, with its log lines and
// message boxes.
#include "app/ModuleDownload_win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>

#include "fileutil/Errors.h"
#include "fileutil/FileHelpers.h"
#include "fileutil/FileVersion.h"
#include "tests/web/FileDownloaderSite_win32.h"
#include "tools/padmodule/PadModule.h"
#include "web/Crc32.h"
#include "web/FileDownloader_win32.h"
#include "web/Sha256_win32.h"

using namespace testsupport;
using namespace dltest;

namespace {

const std::string kMirror = "/send/file/184287-IUDF/Stirpello.exe";
const std::string kFallback = "/stirpelloweb/Updates/Stirpello.exe";

std::string ModuleFile() { return ExeDir() + "update_module.exe"; }

// The built test module is what the utility accepts, and records its launch.
TEST(UpdateModuleFixture, HasTheReleaseSizeChecksumAndVersion) {
    EXPECT_EQ(TEasyFile::FileSize(ModuleFile()), UpdateModuleSize);
    EXPECT_EQ(FileCrc32(ModuleFile()), UpdateModuleCrc);
    // The digest the build pinned (CMake's own SHA-256) is the test module's.
    EXPECT_EQ(FileSha256(ModuleFile()), UpdateModuleSha256);
    TrsFileVersion v;
    ASSERT_TRUE(v.ReadFromFile(ModuleFile()));
    EXPECT_EQ(v.DottedText(), "1.4.0.1");
    EXPECT_GT(v.VersionNumber(), 14000);  // counts as a current module

    TScratchDir dir("module-launch");
    const std::string copy = dir / "Stirpello.exe";
    ASSERT_TRUE(CopyFileA(ModuleFile().c_str(), copy.c_str(), FALSE));
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::string cmd = "\"" + copy + "\" /test";
    ASSERT_TRUE(CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    WaitForSingleObject(pi.hProcess, 10000);
    DWORD code = 99;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    EXPECT_EQ(code, 0u);
    std::string record = ReadFile(dir / "UpdateModuleLaunched.txt");
    EXPECT_EQ(record.rfind(copy + " ", 0), 0u) << record;
    EXPECT_NE(record.find(" /test [elevated]\r\n"), std::string::npos) << record;
}

class ModuleDownload : public ::testing::Test {
protected:
    ModuleDownload() : dir_(::testing::UnitTest::GetInstance()->current_test_info()->name()) {}

    void StartSite(const std::string& module, std::vector<std::string> args = {}) {
        args.insert(args.begin(), {"--module", UnixPath(module)});
        site_ = std::make_unique<TSiteProcess>(dir_, args);
    }
    TModuleDownloadContext Context() {
        TModuleDownloadContext c{log_, [this](const std::string& text) { boxes_.push_back(text); },
                                 site_ ? site_->Url(kMirror) : "http://127.0.0.1:1/",
                                 site_ ? site_->Url(kFallback) : "http://127.0.0.1:1/", nullptr, {}, {}, {}};
        return c;
    }
    std::string ProgramDir() const { return dir_.Path(); }
    std::string Target() const { return dir_ / "Download\\Stirpello.exe"; }

    TScratchDir dir_;
    std::unique_ptr<TSiteProcess> site_;
    TRunLog log_;
    std::vector<std::string> boxes_;
};

TEST_F(ModuleDownload, SuccessSetsThePathAndLogsCompletion) {
    StartSite(ModuleFile());
    std::string modulePath = "unset";
    std::string proxyServer;
    int32_t proxyPort = -1;
    TModuleDownloadContext c = Context();
    c.BeforeShow = [&](TFileDownloader& w) {
        proxyServer = w.ProxyServer;
        proxyPort = w.ProxyPort;
        EXPECT_EQ(modulePath, Target());  // set before the window opens
        EXPECT_EQ(w.SaveTo, Target());
        EXPECT_EQ(w.Url, site_->Url(kMirror));
        EXPECT_EQ(w.AlternateUrl, site_->Url(kFallback));
    };
    EXPECT_TRUE(DownloadUpdateModule(c, ProgramDir(), modulePath, "unspecified", 0));
    EXPECT_EQ(proxyServer, "unspecified");
    EXPECT_EQ(proxyPort, 0);
    EXPECT_EQ(modulePath, Target());
    EXPECT_TRUE(ReadFile(Target()) == ReadFile(ModuleFile()));
    EXPECT_EQ(log_.Lines(), std::vector<std::string>{"Download completed"});
    EXPECT_TRUE(boxes_.empty());

    // A later call finds the complete file and fetches nothing.
    std::string again;
    EXPECT_TRUE(DownloadUpdateModule(Context(), ProgramDir(), again, "unspecified", 0));
    EXPECT_EQ(again, Target());
    EXPECT_EQ(log_.Lines(), (std::vector<std::string>{"Download completed", "Download completed"}));
    EXPECT_EQ(site_->Requests().size(), 1u);
}

TEST_F(ModuleDownload, CancelHalfwayKeepsThePartialFile) {
    // Slow enough to be cancelled in the middle: 20 pieces, 300 ms apart.
    StartSite(ModuleFile(), {"--fault", kMirror + ":slow=300,piece=65536"});
    std::string cancelBox;
    std::thread user([&] {
        HWND w = nullptr;
        WaitUntil([&] { return (w = FindOwnWindow("", TFileDownloader::Caption)) != nullptr; }, 20000);
        if (!w) return;
        HWND onDisk = GetDlgItem(w, TFileDownloader::idAlreadyDownloadedEdit);
        WaitUntil([&] { return TextOf(onDisk).find("MB") != std::string::npos; }, 20000);
        PostMessageA(GetDlgItem(w, TFileDownloader::idCancelButton), BM_CLICK, 0, 0);
        cancelBox = AnswerMessageBox(10000);
    });
    std::string modulePath;
    bool ok = DownloadUpdateModule(Context(), ProgramDir(), modulePath, "unspecified", 0);
    user.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(cancelBox, TFileDownloader::CancelMessage);
    const int64_t kept = TEasyFile::FileSize(Target());
    EXPECT_GT(kept, 0);
    EXPECT_LT(kept, UpdateModuleSize);
    const std::string received = std::to_string(kept);
    EXPECT_EQ(log_.Lines(), std::vector<std::string>{"Download did not complete... Actual=" + received +
                                                     " Needed=1294848"});
    EXPECT_EQ(boxes_, std::vector<std::string>{"The download did not complete... try the download again later (" +
                                               received + "/1294848)"});
}

TEST_F(ModuleDownload, CorruptFileOfTheRightSizeIsReportedWithSignedChecksums) {
    // The right size, and a checksum with its top bit set.
    const std::string bad = dir_ / "bad-module.exe";
    std::vector<unsigned char> bytes = PadToSizeAndCrc({'M', 'Z'}, UpdateModuleSize, 0xCBF43926u);
    WriteFile(bad, std::string(bytes.begin(), bytes.end()));
    ASSERT_EQ(FileCrc32(bad), -873187034);
    StartSite(bad);
    std::string modulePath;
    EXPECT_FALSE(DownloadUpdateModule(Context(), ProgramDir(), modulePath, "unspecified", 0));
    EXPECT_EQ(log_.Lines(), std::vector<std::string>{"The file was corrupted during the transmission... "
                                                     "Actual=-873187034 Needed=1348818072"});
    EXPECT_EQ(boxes_, std::vector<std::string>{"The file was corrupted during the transmission... "
                                               "try the download again (1348818072/-873187034)"});
}

// The test module with other bytes in its padding, brought back to the
// release size and CRC-32: what someone on the network path could serve.
std::string ForgedModule(const std::string& path) {
    std::string bytes = ReadFile(ModuleFile());
    bytes[1200000] ^= 0x5A;
    bytes.resize(bytes.size() - 4);
    std::vector<unsigned char> image(bytes.begin(), bytes.end());
    std::vector<unsigned char> forged = PadToSizeAndCrc(image, UpdateModuleSize, UpdateModuleCrc);
    WriteFile(path, std::string(forged.begin(), forged.end()));
    return FileSha256(path);
}

TEST_F(ModuleDownload, ForgedModuleFromTheSiteIsDeletedAndRefused) {
    const std::string forged = dir_ / "forged-module.exe";
    const std::string digest = ForgedModule(forged);
    ASSERT_EQ(FileCrc32(forged), UpdateModuleCrc);
    ASSERT_NE(digest, UpdateModuleSha256);
    StartSite(forged);
    std::string modulePath;
    EXPECT_FALSE(DownloadUpdateModule(Context(), ProgramDir(), modulePath, "unspecified", 0));
    EXPECT_EQ(log_.Lines(), std::vector<std::string>{"The file was corrupted during the transmission... SHA-256 Actual=" +
                                                     digest + " Needed=" + UpdateModuleSha256});
    EXPECT_EQ(boxes_, std::vector<std::string>{"The file was corrupted during the transmission... "
                                               "try the download again (SHA-256)"});
    EXPECT_EQ(TEasyFile::FileSize(Target()), -1) << "the forged file was kept";
    EXPECT_EQ(site_->Requests().size(), 1u);
}

TEST_F(ModuleDownload, ForgedFileAlreadyInDownloadIsRefusedThenTheGenuineOneIsFetched) {
    ASSERT_TRUE(CreateDirectoryA((dir_ / "Download").c_str(), nullptr));
    const std::string digest = ForgedModule(Target());
    StartSite(ModuleFile());
    std::string modulePath;
    EXPECT_FALSE(DownloadUpdateModule(Context(), ProgramDir(), modulePath, "unspecified", 0));
    EXPECT_TRUE(site_->Requests().empty()) << "size and CRC-32 passed, so nothing was fetched";
    EXPECT_EQ(log_.Lines(), std::vector<std::string>{"The file was corrupted during the transmission... SHA-256 Actual=" +
                                                     digest + " Needed=" + UpdateModuleSha256});
    EXPECT_EQ(TEasyFile::FileSize(Target()), -1);

    // The next try fetches the genuine module.
    EXPECT_TRUE(DownloadUpdateModule(Context(), ProgramDir(), modulePath, "unspecified", 0));
    EXPECT_EQ(site_->Requests().size(), 1u);
    EXPECT_TRUE(ReadFile(Target()) == ReadFile(ModuleFile()));
    EXPECT_EQ(log_.Lines().back(), "Download completed");
    EXPECT_EQ(boxes_.size(), 1u);
}

// A digest the system cannot compute (security software holding the fresh
// file, say) refuses the module with the system's error, but keeps the file:
// it may well be good, and the next run checks it again.
TEST_F(ModuleDownload, DigestThatCannotBeComputedRefusesTheModuleAndKeepsTheFile) {
    StartSite(ModuleFile());
    TModuleDownloadContext c = Context();
    c.Sha256Of = [](const std::string&) -> std::string {
        throw EOSError("BCryptHashData failed (0xC0000001): unsuccessful", 0xC0000001u);
    };
    std::string modulePath;
    EXPECT_FALSE(DownloadUpdateModule(c, ProgramDir(), modulePath, "unspecified", 0));
    EXPECT_EQ(log_.Lines(), std::vector<std::string>{"The SHA-256 of " + Target() +
                                                     " cannot be computed (BCryptHashData failed (0xC0000001): "
                                                     "unsuccessful); the file is kept"});
    EXPECT_EQ(boxes_, std::vector<std::string>{"The downloaded update module could not be checked (BCryptHashData "
                                               "failed (0xC0000001): unsuccessful)... run this utility again in a "
                                               "few minutes"});
    EXPECT_TRUE(ReadFile(Target()) == ReadFile(ModuleFile())) << "the good file was lost";
    // The next run checks the same file, finds it genuine and fetches nothing.
    EXPECT_TRUE(DownloadUpdateModule(Context(), ProgramDir(), modulePath, "unspecified", 0));
    EXPECT_EQ(site_->Requests().size(), 1u);
    EXPECT_EQ(log_.Lines().back(), "Download completed");
}

// A test site may serve another module under the digest it is given, in
// either case; the compiled-in one then no longer applies.
TEST_F(ModuleDownload, GivenDigestReplacesTheBuiltOne) {
    const std::string other = dir_ / "other-module.exe";
    std::string digest = ForgedModule(other);
    StartSite(other);
    TModuleDownloadContext c = Context();
    for (char& ch : digest) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    c.ExpectedSha256 = digest;
    std::string modulePath;
    EXPECT_TRUE(DownloadUpdateModule(c, ProgramDir(), modulePath, "unspecified", 0));
    EXPECT_EQ(log_.Lines(), std::vector<std::string>{"Download completed"});

    // The genuine module is now the one refused.
    ASSERT_TRUE(CopyFileA(ModuleFile().c_str(), Target().c_str(), FALSE));
    EXPECT_FALSE(DownloadUpdateModule(c, ProgramDir(), modulePath, "unspecified", 0));
    EXPECT_EQ(log_.Lines().back(), std::string("The file was corrupted during the transmission... SHA-256 Actual=") +
                                       UpdateModuleSha256 + " Needed=" + FileSha256(other));
}

TEST_F(ModuleDownload, DownloadFolderThatCannotBeMadeLeavesThePathUnset) {
    // sysfs refuses new folders even to root: a read-only medium.
    const std::string readOnly = "Z:\\sys\\";
    ASSERT_EQ(GetFileAttributesA((readOnly + "Download").c_str()), INVALID_FILE_ATTRIBUTES);
    std::string modulePath = "unchanged";
    EXPECT_FALSE(DownloadUpdateModule(Context(), readOnly, modulePath, "unspecified", 0));
    EXPECT_EQ(modulePath, "unchanged");
    ASSERT_EQ(log_.Lines().size(), 1u);
    ASSERT_EQ(boxes_.size(), 1u);
    const std::string prefix = "An error occurred during download - ";
    ASSERT_EQ(log_.Lines()[0].rfind(prefix, 0), 0u) << log_.Lines()[0];
    const std::string message = log_.Lines()[0].substr(prefix.size());
    EXPECT_FALSE(message.empty());
    EXPECT_EQ(boxes_[0], "An error occurred - " + message);
}

}  // namespace
