#include "catalogue/Reader.h"

#include <cstring>
#include <vector>

#include "catalogue/CodePage.h"
#include "fileutil/Errors.h"

namespace {

[[noreturn]] void InvalidValue() { throw EReadError("Invalid property value"); }

int32_t Le32(const uint8_t* b) {
    return static_cast<int32_t>(b[0] | (static_cast<uint32_t>(b[1]) << 8) |
                                (static_cast<uint32_t>(b[2]) << 16) |
                                (static_cast<uint32_t>(b[3]) << 24));
}

int64_t Le64(const uint8_t* b) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | b[i];
    return static_cast<int64_t>(v);
}

// Frames of SkipValue's own stack, so that deep nesting cannot exhaust the
// call stack.
enum : uint8_t { kInList, kInCollection, kInItem };

}  // namespace

void TReader::Fill() {
    int32_t got = source_.Read(buf_, BufferSize);
    if (got <= 0) throw EReadError("Stream read error");
    pos_ = 0;
    end_ = got;
}

void TReader::Read(void* out, size_t count) {
    uint8_t* dst = static_cast<uint8_t*>(out);
    while (count > 0) {
        if (pos_ == end_) Fill();
        size_t n = static_cast<size_t>(end_ - pos_);
        if (n > count) n = count;
        std::memcpy(dst, buf_ + pos_, n);
        pos_ += static_cast<int32_t>(n);
        dst += n;
        count -= n;
    }
}

void TReader::Skip(int64_t count) {
    while (count > 0) {
        if (pos_ == end_) Fill();
        int64_t n = end_ - pos_;
        if (n > count) n = count;
        pos_ += static_cast<int32_t>(n);
        count -= n;
    }
}

int32_t TReader::ReadLength() {
    uint8_t b[4];
    Read(b, 4);
    int32_t n = Le32(b);
    return n < 0 ? 0 : n;
}

void TReader::ReadBytesInto(std::string& out, int64_t count) {
    if (count == 0) {
        out.clear();
        return;
    }
    if (count <= end_ - pos_) {
        out.assign(reinterpret_cast<const char*>(buf_ + pos_), static_cast<size_t>(count));
        pos_ += static_cast<int32_t>(count);
        return;
    }
    // Grow with the data actually read, never by the length the stream
    // claims: a forged length must not reserve memory.
    std::string text;
    while (count > 0) {
        if (pos_ == end_) Fill();
        int64_t n = end_ - pos_;
        if (n > count) n = count;
        text.append(reinterpret_cast<const char*>(buf_ + pos_), static_cast<size_t>(n));
        pos_ += static_cast<int32_t>(n);
        count -= n;
    }
    out.swap(text);
}

int32_t TReader::ReadIntegerSlow() {
    // A refused tag stays on the stream, so that the marker search after a
    // dropped record starts at a value boundary.
    switch (NextTag()) {
        case vaInt8:
            ++pos_;
            return static_cast<int8_t>(ReadByte());
        case vaInt16: {
            ++pos_;
            uint8_t b[2];
            Read(b, 2);
            return static_cast<int16_t>(b[0] | (b[1] << 8));
        }
        case vaInt32: {
            ++pos_;
            uint8_t b[4];
            Read(b, 4);
            return Le32(b);
        }
        default:
            InvalidValue();
    }
}

int64_t TReader::ReadInt64() {
    if (NextTag() != vaInt64) return ReadInteger();
    ++pos_;
    uint8_t b[8];
    Read(b, 8);
    return Le64(b);
}

double TReader::ReadDate() {
    if (NextTag() != vaDate) return static_cast<double>(ReadInt64());
    ++pos_;
    uint8_t b[8];
    Read(b, 8);
    uint64_t bits = static_cast<uint64_t>(Le64(b));
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

std::string TReader::ReadString() {
    std::string s;
    ReadString(s);
    return s;
}

void TReader::ReadString(std::string& out) {
    uint8_t tag = NextTag();
    if (tag != vaString && tag != vaLString && tag != vaWString && tag != vaUTF8String) InvalidValue();
    ++pos_;
    switch (tag) {
        case vaString:
            ReadBytesInto(out, ReadByte());
            return;
        case vaLString:
            ReadBytesInto(out, ReadLength());
            return;
        case vaWString: {
            std::string raw;
            ReadBytesInto(raw, 2 * static_cast<int64_t>(ReadLength()));
            out = WideBytesToAnsi(raw.data(), raw.size());
            return;
        }
        case vaUTF8String: {
            std::string raw;
            ReadBytesInto(raw, ReadLength());
            out = Utf8ToAnsi(raw.data(), raw.size());
            return;
        }
    }
}

void TReader::SkipValue() {
    std::vector<uint8_t> open;
    // Skips the payload of one value; a list or collection opens a frame that
    // the loop below walks.
    auto skipOne = [&] {
        switch (ReadByte() & 0x7F) {
            case vaList: open.push_back(kInList); break;
            case vaInt8: Skip(1); break;
            case vaInt16: Skip(2); break;
            case vaInt32: Skip(4); break;
            case vaExtended: Skip(10); break;
            case vaString:
            case vaIdent: Skip(ReadByte()); break;
            case vaBinary:
            case vaLString:
            case vaUTF8String: Skip(ReadLength()); break;
            case vaSet:
                while (uint8_t len = ReadByte()) Skip(len);
                break;
            case vaCollection: open.push_back(kInCollection); break;
            case vaSingle: Skip(4); break;
            case vaCurrency:
            case vaDate:
            case vaInt64: Skip(8); break;
            case vaWString: Skip(2 * static_cast<int64_t>(ReadLength())); break;
            default: break;  // null, false, true, nil and tags above 20
        }
    };
    skipOne();
    while (!open.empty()) {
        if (NextTag() == vaNull) {
            ++pos_;
            open.pop_back();
            continue;
        }
        switch (open.back()) {
            case kInList:
                skipOne();
                break;
            case kInCollection: {
                // An item: an optional order number, one byte that opens it,
                // then its properties up to a null.
                uint8_t tag = NextTag();
                if (tag == vaInt8 || tag == vaInt16 || tag == vaInt32) skipOne();
                Skip(1);
                open.push_back(kInItem);
                break;
            }
            case kInItem:
                Skip(ReadByte());  // the property's name, untagged
                skipOne();
                break;
        }
    }
}

void TReader::Close() {
    int32_t unread = end_ - pos_;
    pos_ = end_ = 0;
    source_.Seek(-static_cast<int64_t>(unread), TSeekOrigin::Current);
}
