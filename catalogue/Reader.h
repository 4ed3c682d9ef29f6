#pragma once
// TReader walks a typed value stream: each value is a tag byte and a payload,
// multi-byte numbers little-endian. It reads its source ahead in blocks of
// 1024 bytes, which is why a source that cannot seek back refuses the reader's
// Close when bytes beyond the last value were read ahead.
#include <cstdint>
#include <string>

#include "fileutil/Stream.h"

enum TValueType : uint8_t {
    vaNull = 0,       // ends a list, collection, item or property list
    vaList = 1,
    vaInt8 = 2,
    vaInt16 = 3,
    vaInt32 = 4,
    vaExtended = 5,   // 10 bytes
    vaString = 6,     // length byte, bytes
    vaIdent = 7,      // as vaString
    vaFalse = 8,
    vaTrue = 9,
    vaBinary = 10,    // 4-byte length, bytes
    vaSet = 11,       // untagged short strings up to an empty one
    vaLString = 12,   // 4-byte length, bytes
    vaNil = 13,
    vaCollection = 14,
    vaSingle = 15,    // 4 bytes
    vaCurrency = 16,  // 8 bytes
    vaDate = 17,      // 8-byte IEEE double
    vaWString = 18,   // 4-byte count of UTF-16LE units, the units
    vaInt64 = 19,
    vaUTF8String = 20,
};

class TReader {
public:
    static constexpr int32_t BufferSize = 1024;

    // The reader borrows source and reads it from its current position.
    explicit TReader(TStream& source) : source_(source) {}
    TReader(const TReader&) = delete;
    TReader& operator=(const TReader&) = delete;

    // Every read below throws EReadError "Stream read error" when the source
    // runs out inside a value, and EReadError "Invalid property value" for a
    // tag it does not accept (that value is left on the stream).

    // Tags 2, 3 and 4, sign-extended.
    int32_t ReadInteger() {
        if (end_ - pos_ >= 5) {  // the value lies in the block: no refill
            const uint8_t* b = buf_ + pos_;
            switch (b[0]) {
                case vaInt8:
                    pos_ += 2;
                    return static_cast<int8_t>(b[1]);
                case vaInt16:
                    pos_ += 3;
                    return static_cast<int16_t>(b[1] | (b[2] << 8));
                case vaInt32:
                    pos_ += 5;
                    return static_cast<int32_t>(b[1] | (static_cast<uint32_t>(b[2]) << 8) |
                                                (static_cast<uint32_t>(b[3]) << 16) |
                                                (static_cast<uint32_t>(b[4]) << 24));
                default:
                    break;
            }
        }
        return ReadIntegerSlow();
    }
    // Tag 19, else as ReadInteger.
    int64_t ReadInt64();
    // Tags 6 and 12 as they stand; 18 and 20 converted to 8-bit text
    // (Windows-1252, '?' for characters it lacks).
    std::string ReadString();
    // The same into out, reusing its storage. out is left as it was when the
    // read fails.
    void ReadString(std::string& out);
    // Tag 17; any other tag is read as ReadInt64 and converted.
    double ReadDate();
    // The next tag byte, not consumed.
    uint8_t NextTag() {
        if (pos_ == end_) Fill();
        return buf_[pos_];
    }
    // Consumes one value of any tag with everything nested in it. Only the low
    // seven bits of a tag count here; a tag above 20 has no payload. Nesting
    // depth is bounded only by the data.
    void SkipValue();

    // A fast path for strings of tags 6 and 12 that lie whole in the
    // read-ahead block: points text at their bytes and consumes them.
    // Returns false and consumes nothing otherwise; ReadString then reads
    // the value.
    bool ReadBufferedString(const char*& text, size_t& length) {
        int32_t avail = end_ - pos_;
        if (avail >= 2 && buf_[pos_] == vaString && avail >= 2 + buf_[pos_ + 1]) {
            length = buf_[pos_ + 1];
            text = reinterpret_cast<const char*>(buf_ + pos_ + 2);
            pos_ += 2 + static_cast<int32_t>(length);
            return true;
        }
        if (avail >= 5 && buf_[pos_] == vaLString) {
            const uint8_t* b = buf_ + pos_ + 1;
            uint32_t n = b[0] | (static_cast<uint32_t>(b[1]) << 8) | (static_cast<uint32_t>(b[2]) << 16) |
                         (static_cast<uint32_t>(b[3]) << 24);
            if (n > 0x7FFFFFFF) n = 0;  // a negative length reads as empty
            if (n > static_cast<uint32_t>(avail - 5)) return false;
            length = n;
            text = reinterpret_cast<const char*>(b + 4);
            pos_ += 5 + static_cast<int32_t>(n);
            return true;
        }
        return false;
    }

    // In-place decoding: the bytes read ahead and not yet used (Buffered()
    // of them), and passing over count of them, count <= Buffered().
    const uint8_t* Peek() const { return buf_ + pos_; }
    void Consume(int32_t count) { pos_ += count; }

    // Hands the bytes read ahead but not used back to the source by seeking it
    // back. Throws whatever the source's Seek throws; a reader that is simply
    // destroyed hands nothing back.
    void Close();
    // Bytes read ahead and not yet used.
    int32_t Buffered() const { return end_ - pos_; }

private:
    uint8_t ReadByte() {
        if (pos_ == end_) Fill();
        return buf_[pos_++];
    }
    int32_t ReadIntegerSlow();
    void Read(void* out, size_t count);
    void Skip(int64_t count);
    int32_t ReadLength();  // a 4-byte signed length; negative counts as 0
    void ReadBytesInto(std::string& out, int64_t count);
    void Fill();

    TStream& source_;
    int32_t pos_ = 0;
    int32_t end_ = 0;
    uint8_t buf_[BufferSize];
};
