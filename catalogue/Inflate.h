#pragma once
// The catalogue arrives as one zlib stream. It is inflated whole before it is
// read, so a damaged stream or a wrong checksum fails the load up front.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fileutil/Errors.h"
#include "fileutil/Stream.h"

// Failures of the decompressor and of its output stream.
class EDecompressionError : public EError {
public:
    using EError::EError;
};

// A catalogue that inflates beyond this is refused: a small download must not
// be able to exhaust a 32-bit process.
constexpr int64_t kMaxInflatedCatalogue = 64 * 1024 * 1024;

// The inflated bytes, read forward only. Like a decompressor it cannot go
// back: seeking backwards, from the end or writing throws
// EDecompressionError "Invalid stream operation". Seeking to the current
// position is allowed, so a reader with nothing read ahead closes cleanly.
class TInflatedStream : public TStream {
public:
    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t GetSize() override { return size_; }
    void SetSize(int64_t size) override;

private:
    friend TInflatedStream Inflate(const std::string& data, int64_t limit);
    static constexpr size_t kChunk = 64 * 1024;  // no copying as the output grows
    std::vector<std::unique_ptr<char[]>> chunks_;
    int64_t size_ = 0;
    int64_t pos_ = 0;
};

// Inflates a zlib stream (RFC 1950). Throws EDecompressionError "Error" when
// the data is not a zlib stream or inflate reports damage (a bad checksum
// included), and EDecompressionError with a message naming the limit when
// the output would exceed limit bytes. A stream cut short yields the bytes
// inflated so far; bytes after the end of the stream are ignored.
TInflatedStream Inflate(const std::string& data, int64_t limit = kMaxInflatedCatalogue);

// Compresses bytes into a zlib stream (for writers of catalogues). Throws
// EError when zlib fails.
std::string Deflate(const std::string& bytes, int level = 9);
