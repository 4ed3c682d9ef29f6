#pragma once
// Byte streams: the HTTP client writes bodies into one of these, the
// catalogue reader reads from one. Sizes are signed 64-bit here; the callers
// keep to the signed 32-bit range of the product's files.
#include <cstdint>
#include <string>

enum class TSeekOrigin { Begin, Current, End };

class TStream {
public:
    virtual ~TStream() = default;
    // Reads up to count bytes; returns how many were read (0 at the end).
    virtual int32_t Read(void* buffer, int32_t count) = 0;
    // Writes count bytes; returns how many were written. Throws EWriteError.
    virtual int32_t Write(const void* buffer, int32_t count) = 0;
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
    virtual int64_t GetSize();
    virtual void SetSize(int64_t size) = 0;
    int64_t Position() { return Seek(0, TSeekOrigin::Current); }
    void SetPosition(int64_t p) { Seek(p, TSeekOrigin::Begin); }
};

// A growable in-memory stream over a std::string.
class TStringStream : public TStream {
public:
    TStringStream() = default;
    explicit TStringStream(std::string data) : data_(std::move(data)) {}
    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void SetSize(int64_t size) override;
    const std::string& DataString() const { return data_; }
    std::string& Data() { return data_; }

private:
    std::string data_;
    int64_t pos_ = 0;
};

// Open modes of TFileStream, after the platform's file stream.
enum TFileMode : unsigned {
    fmCreate = 0xFF00,  // create or empty the file, read and write
    fmOpenRead = 0x0000,
    fmOpenWrite = 0x0001,
    fmOpenReadWrite = 0x0002,
    fmShareExclusive = 0x0010,
    fmShareDenyWrite = 0x0020,
    fmShareDenyRead = 0x0030,
    fmShareDenyNone = 0x0040,
};

// An owning handle on one open file. Throws EFOpenError ("Cannot open file
// "path". reason" or "Cannot create file ...") when the file cannot be opened.
class TFileStream : public TStream {
public:
    TFileStream(const std::string& path, unsigned mode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;
    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void SetSize(int64_t size) override;
    const std::string& FileName() const { return path_; }

private:
    std::string path_;
    intptr_t handle_;
};

// The download target: setting its size does nothing, so an interrupted
// download leaves exactly the bytes received on disk (resume relies on it).
// With a Limit of 0 or more, a write that would take the file past it writes
// nothing and throws EWriteError, so a server cannot fill the disk.
class TDownloadFileStream : public TFileStream {
public:
    using TFileStream::TFileStream;
    void SetSize(int64_t) override {}
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Limit = -1;
    bool LimitPassed = false;
};
