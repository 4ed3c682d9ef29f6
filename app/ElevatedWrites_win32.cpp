#include "app/ElevatedWrites_win32.h"

#include <exception>
#include <utility>

#include "app/ElevatedStart_win32.h"
#include "app/ModuleDownload_win32.h"
#include "app/ModuleTrust_win32.h"
#include "elevate/FolderSafety_win32.h"
#include "fileutil/NtFile_win32.h"
#include "fileutil/Handles_win32.h"
#include "fileutil/PlainFile_win32.h"

#ifndef FILE_OPEN
#define FILE_OPEN 0x00000001
#endif
#ifndef FILE_NON_DIRECTORY_FILE
#define FILE_NON_DIRECTORY_FILE 0x00000040
#endif

namespace {

// The verified download, read with the user's rights: its bytes travel in
// the request, so the step never reads a path anyone gives it.
bool ReadModule(const std::string& path, std::string* bytes, std::string* why) {
    TFileHandle h(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!h) {
        *why = "cannot open " + path + " (" + SysErrorMessage(GetLastError()) + ")";
        return false;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h.get(), &size) || size.QuadPart != UpdateModuleSize) {
        *why = path + " does not have the module's size";
        return false;
    }
    bytes->assign(static_cast<size_t>(UpdateModuleSize), '\0');
    DWORD got = 0;
    if (!ReadFile(h.get(), &(*bytes)[0], static_cast<DWORD>(bytes->size()), &got, nullptr) || got != bytes->size()) {
        *why = "cannot read " + path;
        return false;
    }
    return true;
}

// This program's own file and every folder above it, held so that none can
// be renamed, replaced or deleted: Windows' prompt then asks for this
// program, not for one that code running as the user put in its place
// (Downloads is the user's to change) between the box and the prompt.
struct THeldSelf {
    std::unique_ptr<THeldFolder> Folder;
    TFileHandle File;
};

THeldSelf HoldOwnProgram() {
    THeldSelf held;
    char path[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string own(path, n < MAX_PATH ? n : 0);
    const size_t slash = own.find_last_of('\\');
    if (slash == std::string::npos) return held;
    std::string why;
    held.Folder = THeldFolder::Open(own.substr(0, slash), &why);
    if (!held.Folder) return held;
    const std::string leaf = own.substr(slash + 1);
    NTSTATUS status = 0;
    // Sharing reading only: the prompt's start still reads it.
    held.File.reset(OpenRelative(held.Folder->Handle(), std::wstring(leaf.begin(), leaf.end()), GENERIC_READ,
                                 FILE_SHARE_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE, &status));
    return held;
}

}  // namespace

TElevatedWrites::TElevatedWrites(TRunLog& log, std::function<void(const std::string&)> show, HWND owner,
                                 TStepChannel::TStarter starter)
    : log_(log), show_(std::move(show)), owner_(owner), starter_(std::move(starter)) {}

TElevatedWrites::~TElevatedWrites() {
    if (channel_) channel_->Close();
}

bool TElevatedWrites::Start(const std::string& dir) {
    std::string attachFailure;
    channel_ = TakeAttachedStep(&attachFailure);
    if (channel_ || !attachFailure.empty()) {
        // Started elevated: the process that started this window is the
        // step, and no prompt comes.
        log_.Add(TRunMsg::StepFromStart, {dir});
        ++starts_;
        if (!channel_) {
            refusal_ = attachFailure;
            log_.Add(TRunMsg::ElevationRefused, {refusal_});
            return false;
        }
    } else if (!Ask(dir)) {
        return false;
    }
    return OpenFolder(dir);
}

bool TElevatedWrites::Ask(const std::string& dir) {
    const THeldSelf self = HoldOwnProgram();  // until the step has connected
    show_("Stirpello is installed in " + dir +
          ", which only administrators can change. To repair it, Windows will now ask for permission for a "
          "small part of this utility to make the changes there. It asks once for this run.");
    log_.Add(TRunMsg::ElevationAsked, {dir});
    ++starts_;
    channel_ = std::make_unique<TStepChannel>(owner_, starter_);
    try {
        channel_->Open();
    } catch (const EStepChannelError& e) {
        channel_.reset();
        refusal_ = e.what();
        log_.Add(e.Code == WAIT_TIMEOUT ? TRunMsg::ElevationGaveUp : TRunMsg::ElevationRefused, {refusal_});
        show_("Administrator rights were not given (" + refusal_ + "), so nothing in " + dir +
              " can be changed in this run.");
        return false;
    }
    return true;
}

bool TElevatedWrites::OpenFolder(const std::string& dir) {
    TRequest open;
    open.kind = TStepKind::OpenFolder;
    open.folder = AnsiWide(dir);
    try {
        TStepReply reply = channel_->Send(open);
        if (reply.result != TStepResult::Done) refusal_ = "the folder was refused: " + reply.reason;
    } catch (const std::exception& e) {
        refusal_ = e.what();
    }
    if (!refusal_.empty()) {
        channel_->Close();
        channel_.reset();
        return false;
    }
    folder_ = dir;
    return true;
}

TStepOutcome TElevatedWrites::Write(TStepWrite what, const std::string& dir, const std::string& source) {
    if (!refusal_.empty()) return {false, refusal_};
    if (!channel_ && !Start(dir)) return {false, refusal_};
    if (dir != folder_) return {false, "the elevated step holds another folder"};
    TRequest request;
    switch (what) {
    case TStepWrite::RemovePostponingKeys: request.kind = TStepKind::RemovePostponingKeys; break;
    case TStepWrite::NotifyForAnyUpdate: request.kind = TStepKind::WriteNotify; break;
    case TStepWrite::InstallModule: {
        request.kind = TStepKind::InstallModule;
        std::string why;
        if (!ReadModule(source, &request.module, &why)) return {false, why};
        break;
    }
    case TStepWrite::WantsUpdateTrue:
    case TStepWrite::WantsUpdateFalse:
        request.kind = TStepKind::WriteWantsUpdate;
        request.wantsUpdate = what == TStepWrite::WantsUpdateTrue;
        break;
    case TStepWrite::LaunchModule: request.kind = TStepKind::LaunchModule; break;
    }
    try {
        TStepReply reply = channel_->Send(std::move(request));
        if (what == TStepWrite::LaunchModule) {
            // Its last act: the step ends after it.
            channel_->Close();
            channel_.reset();
            refusal_ = "the elevated step has ended";
        }
        if (reply.result == TStepResult::Done || reply.result == TStepResult::NothingToChange) return {true, ""};
        return {false, reply.reason};
    } catch (const std::exception& e) {
        channel_.reset();
        refusal_ = std::string("the elevated step ended: ") + e.what();
        return {false, refusal_};
    }
}
