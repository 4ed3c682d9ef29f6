#pragma once
// TWriter builds a typed value stream, the inverse of TReader. Catalogue
// publishers and the tests use it; the utility itself only reads.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/Reader.h"

class TSoftwareUpdate;

class TWriter {
public:
    // The shortest of tags 2, 3 and 4 that holds v; tag 19 beyond 32 bits.
    void WriteInteger(int64_t v);
    void WriteInt8(int8_t v);
    void WriteInt16(int16_t v);
    void WriteInt32(int32_t v);
    void WriteInt64(int64_t v);
    // Tag 6 up to 255 bytes, tag 12 beyond.
    void WriteString(std::string_view s);
    // Tag 6 or 7; throws EError beyond 255 bytes.
    void WriteShortString(std::string_view s, TValueType tag = vaString);
    void WriteLongString(std::string_view s);
    void WriteWideString(const std::u16string& units);
    void WriteUtf8String(std::string_view bytes);
    void WriteDate(double d);
    void WriteDateBits(uint64_t bits);
    void WriteSingle(float f);
    void WriteCurrency(int64_t scaled);
    void WriteExtended(const uint8_t (&bytes)[10]);
    void WriteBoolean(bool b) { WriteTag(b ? vaTrue : vaFalse); }
    void WriteNil() { WriteTag(vaNil); }
    void WriteBinary(std::string_view bytes);
    void WriteSet(const std::vector<std::string>& names);
    // A list or collection: begin, the values (or items), then WriteListEnd.
    void WriteListBegin() { WriteTag(vaList); }
    void WriteCollectionBegin() { WriteTag(vaCollection); }
    void WriteListEnd() { WriteTag(vaNull); }
    // An untagged short string, as property names and set members are.
    void WriteStr(std::string_view s);
    void WriteTag(uint8_t tag) { bytes_ += static_cast<char>(tag); }
    void WriteRaw(std::string_view bytes) { bytes_ += bytes; }

    // The record marker and one record with all twelve pairs in code order,
    // each value in its shortest form.
    void WriteSoftwareUpdate(const TSoftwareUpdate& u, int32_t format = 100);

    const std::string& Bytes() const { return bytes_; }
    std::string& Bytes() { return bytes_; }

private:
    void Le(uint64_t v, int count);
    std::string bytes_;
};
