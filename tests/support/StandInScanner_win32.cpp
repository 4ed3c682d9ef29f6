#include "tests/support/StandInScanner_win32.h"

#include <algorithm>
#include <cctype>

namespace testsupport {

namespace {
// How often the tree is looked at: often enough to open a file the moment
// its writer closes it, as a file-system filter would.
const DWORD kPollMs = 5;
}  // namespace

TStandInScanner::TStandInScanner(std::string folder, DWORD holdMs,
                                 std::vector<std::string> extensions)
    : folder_(std::move(folder)), holdMs_(holdMs), extensions_(std::move(extensions)) {
    if (!folder_.empty() && folder_.back() == '\\') folder_.pop_back();
    thread_ = std::thread([this] { Run(); });
}

TStandInScanner::~TStandInScanner() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (const THeld& h : held_) CloseHandle(h.Handle);
}

std::vector<std::string> TStandInScanner::HeldPaths() const {
    std::lock_guard<std::mutex> lock(pathsLock_);
    return paths_;
}

bool TStandInScanner::Wanted(const std::string& name) const {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
    for (const std::string& e : extensions_)
        if (lower.size() >= e.size() && lower.compare(lower.size() - e.size(), e.size(), e) == 0)
            return true;
    return false;
}

void TStandInScanner::Scan(const std::string& dir, int depth) {
    WIN32_FIND_DATAA fd;
    HANDLE find = FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        std::string name = fd.cFileName;
        if (name == "." || name == "..") continue;
        std::string path = dir + "\\" + name;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (depth < 4 && !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                Scan(path, depth + 1);
            continue;
        }
        if (!Wanted(name)) continue;
        TSeen now{fd.ftLastWriteTime, (ULONGLONG{fd.nFileSizeHigh} << 32) | fd.nFileSizeLow};
        auto it = seen_.find(path);
        if (it != seen_.end() && CompareFileTime(&it->second.Written, &now.Written) == 0 &&
            it->second.Size == now.Size)
            continue;  // held already in this form
        bool holding = std::any_of(held_.begin(), held_.end(),
                                   [&](const THeld& h) { return h.Path == path; });
        if (holding) continue;
        // A writer that shares nothing keeps us out until it closes: try again
        // on the next look.
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) continue;
        seen_[path] = now;
        held_.push_back({h, GetTickCount64() + holdMs_, path});
        ++holds_;
        std::lock_guard<std::mutex> lock(pathsLock_);
        paths_.push_back(path);
    } while (FindNextFileA(find, &fd));
    FindClose(find);
}

void TStandInScanner::Run() {
    while (!stop_) {
        ULONGLONG now = GetTickCount64();
        for (auto it = held_.begin(); it != held_.end();) {
            if (now >= it->Until) {
                CloseHandle(it->Handle);
                it = held_.erase(it);
            } else {
                ++it;
            }
        }
        Scan(folder_, 0);
        Sleep(kPollMs);
    }
}

}  // namespace testsupport
