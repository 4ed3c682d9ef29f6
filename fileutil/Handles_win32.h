#pragma once
// Move-only owners for Win32 handles: nothing is closed by hand on an early
// return. Each policy knows its invalid value and how to close.
#include <windows.h>
#include <tlhelp32.h>

#include <utility>

template <class Policy>
class TUniqueHandle {
public:
    using handle_type = typename Policy::handle_type;
    TUniqueHandle() = default;
    explicit TUniqueHandle(handle_type h) : h_(h) {}
    ~TUniqueHandle() { reset(); }
    TUniqueHandle(const TUniqueHandle&) = delete;
    TUniqueHandle& operator=(const TUniqueHandle&) = delete;
    TUniqueHandle(TUniqueHandle&& o) noexcept : h_(o.release()) {}
    TUniqueHandle& operator=(TUniqueHandle&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    handle_type get() const { return h_; }
    explicit operator bool() const { return h_ != Policy::invalid(); }
    handle_type release() { return std::exchange(h_, Policy::invalid()); }
    void reset(handle_type h = Policy::invalid()) {
        if (h_ != Policy::invalid()) Policy::close(h_);
        h_ = h;
    }
    handle_type* out() { reset(); return &h_; }

private:
    handle_type h_ = Policy::invalid();
};

struct TFileHandlePolicy {  // CreateFile, CreateToolhelp32Snapshot
    using handle_type = HANDLE;
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { CloseHandle(h); }
};
struct TKernelHandlePolicy {  // OpenProcess, CreateEvent, CreateThread
    using handle_type = HANDLE;
    static HANDLE invalid() { return nullptr; }
    static void close(HANDLE h) { CloseHandle(h); }
};
struct TFindHandlePolicy {
    using handle_type = HANDLE;
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { FindClose(h); }
};
struct TRegKeyPolicy {
    using handle_type = HKEY;
    static HKEY invalid() { return nullptr; }
    static void close(HKEY h) { RegCloseKey(h); }
};

using TFileHandle = TUniqueHandle<TFileHandlePolicy>;
using TKernelHandle = TUniqueHandle<TKernelHandlePolicy>;
using TFindHandle = TUniqueHandle<TFindHandlePolicy>;
using TRegKey = TUniqueHandle<TRegKeyPolicy>;
