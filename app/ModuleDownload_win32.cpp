#include "app/ModuleDownload_win32.h"

#include <cctype>
#include <exception>

#include "fileutil/Errors.h"
#include "fileutil/PathText.h"
#include "web/Crc32.h"
#include "web/FileDownloader_win32.h"
#include "app/ModuleTrust_win32.h"
#include "web/Sha256_win32.h"

namespace {

std::string Num(int32_t v) { return std::to_string(v); }

std::string InFolder(const std::string& folder, const std::string& name) {
    if (EndsWithBackslash(folder)) return folder + name;
    return folder + "\\" + name;
}

bool DirectoryExists(const std::string& path) {
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// A CRC-32 is easily forged to any value: only the SHA-256 says the file is
// the publisher's. A file that fails is deleted, else the download window
// would take it as complete on every later run. A digest that cannot be
// computed (most often security software holding the fresh file) refuses
// the file but keeps it: it may well be good, and the next run checks it.
bool SameSha256(const TModuleDownloadContext& context, const std::string& file) {
    std::string expected = context.ExpectedSha256.empty() ? UpdateModuleSha256 : context.ExpectedSha256;
    for (char& c : expected) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string actual;
    try {
        actual = context.Sha256Of ? context.Sha256Of(file) : FileSha256(file);
    } catch (const std::exception& e) {
        context.Log.Add(TRunMsg::Sha256NotComputed, {file, e.what()});
        context.ShowMessage(std::string("The downloaded update module could not be checked (") + e.what() +
                            ")... run this utility again in a few minutes");
        return false;
    }
    if (actual == expected) return true;
    context.Log.Add(TRunMsg::DownloadSha256, {"Actual=" + actual, expected});
    std::string refused = DeletePlainFile(file, [&](const std::string& line) { context.Log.AddNote(line); });
    if (!refused.empty()) context.Log.Add(TRunMsg::DeleteFailed, {file, refused});
    context.ShowMessage("The file was corrupted during the transmission... try the download again (SHA-256)");
    return false;
}

}  // namespace

bool DownloadUpdateModule(const TModuleDownloadContext& context, const std::string& programDirectory,
                          std::string& modulePath, const std::string& proxyServer, int32_t proxyPort,
                          bool* explained) {
    bool result = false;
    // Whether a failure was put in words here, for the caller's own line.
    struct TSaid {
        const TRunLog& log;
        const size_t before;
        const bool& ok;
        bool* out;
        ~TSaid() {
            if (out) *out = !ok && log.Faults() > before;
        }
    } said{context.Log, context.Log.Faults(), result, explained};
    TFileDownloader window(context.Owner);
    try {
        window.ProxyPort = proxyPort;
        window.ProxyServer = proxyServer;
        const std::string folder = InFolder(programDirectory, DownloadFolderName);
        if (!DirectoryExists(folder)) SetCurrentDirectoryA(programDirectory.c_str());  // a failure is ignored
        // By full path; an existing link planted in its place is refused,
        // never written through.
        std::string refused = MakeProtectedFolder(folder, context.UserRights);
        if (!refused.empty()) throw EError(refused);
        window.Url = context.PrimaryUrl;
        window.AlternateUrl = context.FallbackUrl;
        window.ExpectedSize = UpdateModuleSize;
        window.ExpectedCrc = UpdateModuleCrc;
        const std::string target = InFolder(folder, UpdateModuleFileName);
        modulePath = target;
        refused = LinkedPathReason(target);
        if (!refused.empty()) throw EError(refused);
        window.SaveTo = target;
        if (context.BeforeShow) context.BeforeShow(window);

        const int modalResult = window.ShowModal();
        const int32_t expectedSize = window.ExpectedSize;
        const int32_t expectedCrc = window.ExpectedCrc;
        if (window.SizePassed)
            context.Log.Add(TRunMsg::DownloadOversize, {Num(expectedSize)});
        if (modalResult == mrRetry) {
            if (window.TotalSize != expectedSize) {
                context.Log.Add(TRunMsg::DownloadIncomplete, {Num(window.TotalSize), Num(expectedSize)});
                context.ShowMessage("The download did not complete... try the download again later (" +
                                    Num(window.TotalSize) + "/" + Num(expectedSize) + ")");
            } else {
                const int32_t crc = FileCrc32(target);
                if (crc != expectedCrc) {
                    context.Log.Add(TRunMsg::DownloadCrc, {Num(crc), Num(expectedCrc)});
                    context.ShowMessage("The file was corrupted during the transmission... try the download again (" +
                                        Num(expectedCrc) + "/" + Num(crc) + ")");
                } else {
                    context.Log.Add(TRunMsg::DownloadInvalid);
                    context.ShowMessage(RunMessage(TRunMsg::DownloadInvalid).Text);
                }
            }
        }
        if (window.FinalCrc == expectedCrc && SameSha256(context, target)) {
            result = true;
            context.Log.Add(TRunMsg::DownloadCompleted);
        }
    } catch (const std::exception& e) {
        context.Log.Add(TRunMsg::DownloadError, {e.what()});
        context.ShowMessage(std::string("An error occurred - ") + e.what());
    }
    return result;
}
