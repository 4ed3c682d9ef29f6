#pragma once
// The catalogue arrives as one zlib stream. TInflateStream inflates it as it
// is read, a window at a time, so the inflated catalogue never sits in memory
// whole; Finish checks the rest of the stream and its checksum.
#include <cstdint>
#include <memory>
#include <string>

#include "fileutil/Errors.h"
#include "fileutil/Stream.h"

// Failures of the decompressor and of its output stream.
class EDecompressionError : public EError {
public:
    using EError::EError;
};

// A catalogue that inflates beyond this is refused: a small download must not
// be able to keep a 32-bit process busy or exhaust it.
constexpr int64_t kMaxInflatedCatalogue = 64 * 1024 * 1024;

// Reads the inflated bytes of a zlib stream (RFC 1950) held in data, which
// must outlive the stream. Read throws EDecompressionError "Error" when the
// data is not a zlib stream or inflate reports damage, and
// EDecompressionError naming the limit once the output exceeds limit bytes;
// after a failure every Read fails the same way. A stream cut short reads as
// a shorter one; bytes after its end are ignored.
//
// Like a decompressor it cannot go back: seeking backwards, from the end,
// writing or setting the size throws EDecompressionError "Invalid stream
// operation". Seeking to the current position is allowed, so a reader with
// nothing read ahead closes cleanly.
class TInflateStream : public TStream {
public:
    explicit TInflateStream(const std::string& data, int64_t limit = kMaxInflatedCatalogue);
    ~TInflateStream() override;
    TInflateStream(const TInflateStream&) = delete;
    TInflateStream& operator=(const TInflateStream&) = delete;

    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void SetSize(int64_t size) override;

    // Inflates whatever is left, to check the rest of the stream and its
    // checksum; throws as Read does. Returns the total inflated size.
    int64_t Finish();

private:
    void Refill();

    struct TState;
    std::unique_ptr<TState> z_;
    int64_t limit_;
    int64_t produced_ = 0;  // bytes inflated so far
    int64_t pos_ = 0;       // bytes handed out so far
    size_t windowPos_ = 0, windowEnd_ = 0;
    bool ended_ = false;
    std::string failure_;  // set once inflate failed
    static constexpr size_t kWindow = 256 * 1024;
    std::unique_ptr<char[]> window_;
};

// The whole inflated content (for tools and tests). Throws as
// TInflateStream does.
std::string InflateAll(const std::string& data, int64_t limit = kMaxInflatedCatalogue);

// Compresses bytes into a zlib stream (for writers of catalogues). Throws
// EError when zlib fails.
std::string Deflate(const std::string& bytes, int level = 9);
