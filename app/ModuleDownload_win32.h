#pragma once
// DownloadUpdateModule: fetches a fresh update module into the program
// directory's "Download" folder through the download window, judges it
// against the one module build this utility delivers, and explains a failure
// in the run log and in message boxes.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "app/RunLog.h"

class TFileDownloader;

// The update module build the utility delivers.
inline constexpr int32_t UpdateModuleSize = 1294848;
inline constexpr int32_t UpdateModuleCrc = 1348818072;
// Its SHA-256 (64 lowercase hex digits), fixed when the program is built.
extern const char* const UpdateModuleSha256;
inline constexpr const char* UpdateModuleFileName = "Stirpello.exe";
inline constexpr const char* DownloadFolderName = "Download";

struct TModuleDownloadContext {
    TRunLog& Log;
    // A modal information box under the application title.
    std::function<void(const std::string&)> ShowMessage;
    // The download mirror (primary) and the update server (from the window's
    // third retry on); TSiteConfig's MirrorUrl() and FallbackUrl().
    std::string PrimaryUrl;
    std::string FallbackUrl;
    // Owner of the download window (the main window); may be null.
    HWND Owner = nullptr;
    // Called with the prepared window just before it is shown (for tests).
    std::function<void(TFileDownloader&)> BeforeShow;
    // The SHA-256 the module must have (64 hex digits, either case); empty:
    // UpdateModuleSha256. TSiteConfig's ModuleSha256.
    std::string ExpectedSha256;
    // The file's digest; empty: FileSha256 (tests make it fail).
    std::function<std::string(const std::string&)> Sha256Of;
    // The download folder is made with the user's own rights (the user keeps
    // write access to it), not an administrator's.
    bool UserRights = true;
};

// Downloads the update module for programDirectory (which ends with a
// backslash) and returns true when the file on disk has the expected checksum
// and SHA-256. A file of the right size and CRC-32 but another SHA-256, fresh
// or found complete, is deleted and reported as corrupted.
// modulePath is set to the target file before the window opens; it stays
// unchanged only when the download folder cannot be made. proxyServer and
// proxyPort go to the window unchanged. Every failure inside is logged and
// shown; only a failure to create the window itself throws (EOSError).
// explained, when given, is set when a failure was logged with its reason
// (a plain Cancel is not).
bool DownloadUpdateModule(const TModuleDownloadContext& context, const std::string& programDirectory,
                          std::string& modulePath, const std::string& proxyServer, int32_t proxyPort,
                          bool* explained = nullptr);
