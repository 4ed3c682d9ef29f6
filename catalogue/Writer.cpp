#include "catalogue/Writer.h"

#include <cstring>
#include <limits>

#include "catalogue/SoftwareUpdate.h"
#include "fileutil/Errors.h"

namespace {

int32_t CheckedLength(size_t n) {
    if (n > static_cast<size_t>(std::numeric_limits<int32_t>::max())) throw EError("Value too long for the stream");
    return static_cast<int32_t>(n);
}

}  // namespace

void TWriter::Le(uint64_t v, int count) {
    for (int i = 0; i < count; ++i) {
        bytes_ += static_cast<char>(v & 0xFF);
        v >>= 8;
    }
}

void TWriter::WriteInteger(int64_t v) {
    if (v >= -128 && v <= 127)
        WriteInt8(static_cast<int8_t>(v));
    else if (v >= -32768 && v <= 32767)
        WriteInt16(static_cast<int16_t>(v));
    else if (v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max())
        WriteInt32(static_cast<int32_t>(v));
    else
        WriteInt64(v);
}

void TWriter::WriteInt8(int8_t v) {
    WriteTag(vaInt8);
    Le(static_cast<uint8_t>(v), 1);
}

void TWriter::WriteInt16(int16_t v) {
    WriteTag(vaInt16);
    Le(static_cast<uint16_t>(v), 2);
}

void TWriter::WriteInt32(int32_t v) {
    WriteTag(vaInt32);
    Le(static_cast<uint32_t>(v), 4);
}

void TWriter::WriteInt64(int64_t v) {
    WriteTag(vaInt64);
    Le(static_cast<uint64_t>(v), 8);
}

void TWriter::WriteString(std::string_view s) {
    if (s.size() <= 255)
        WriteShortString(s);
    else
        WriteLongString(s);
}

void TWriter::WriteShortString(std::string_view s, TValueType tag) {
    WriteTag(tag);
    WriteStr(s);
}

void TWriter::WriteStr(std::string_view s) {
    if (s.size() > 255) throw EError("Short string longer than 255 bytes");
    bytes_ += static_cast<char>(s.size());
    bytes_ += s;
}

void TWriter::WriteLongString(std::string_view s) {
    WriteTag(vaLString);
    Le(static_cast<uint32_t>(CheckedLength(s.size())), 4);
    bytes_ += s;
}

void TWriter::WriteWideString(const std::u16string& units) {
    WriteTag(vaWString);
    Le(static_cast<uint32_t>(CheckedLength(units.size())), 4);
    for (char16_t u : units) Le(u, 2);
}

void TWriter::WriteUtf8String(std::string_view bytes) {
    WriteTag(vaUTF8String);
    Le(static_cast<uint32_t>(CheckedLength(bytes.size())), 4);
    bytes_ += bytes;
}

void TWriter::WriteDate(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    WriteDateBits(bits);
}

void TWriter::WriteDateBits(uint64_t bits) {
    WriteTag(vaDate);
    Le(bits, 8);
}

void TWriter::WriteSingle(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    WriteTag(vaSingle);
    Le(bits, 4);
}

void TWriter::WriteCurrency(int64_t scaled) {
    WriteTag(vaCurrency);
    Le(static_cast<uint64_t>(scaled), 8);
}

void TWriter::WriteExtended(const uint8_t (&bytes)[10]) {
    WriteTag(vaExtended);
    bytes_.append(reinterpret_cast<const char*>(bytes), 10);
}

void TWriter::WriteBinary(std::string_view bytes) {
    WriteTag(vaBinary);
    Le(static_cast<uint32_t>(CheckedLength(bytes.size())), 4);
    bytes_ += bytes;
}

void TWriter::WriteSet(const std::vector<std::string>& names) {
    WriteTag(vaSet);
    for (const std::string& n : names) {
        if (n.empty()) throw EError("A set member cannot be empty");
        WriteStr(n);
    }
    WriteStr("");
}

void TWriter::WriteSoftwareUpdate(const TSoftwareUpdate& u, int32_t format) {
    WriteShortString("<SU>");
    WriteString("I00");
    WriteInteger(format);
    WriteString("I01"), WriteInteger(u.Version());
    WriteString("S02"), WriteString(u.OrderKey());
    WriteString("S03"), WriteString(u.Kind());
    WriteString("D04"), WriteDate(u.Date());
    WriteString("S05"), WriteString(u.Text05());
    WriteString("S06"), WriteString(u.Text06());
    WriteString("I07"), WriteInteger(u.Number07());
    WriteString("I08"), WriteInteger(u.Number08());
    WriteString("S09"), WriteString(u.Text09());
    WriteString("S10"), WriteString(u.Text10());
    WriteString("S11"), WriteString(u.FromVersions());
    WriteString("S12"), WriteString(u.ClassLetters());
}
