#include "catalogue/SoftwareUpdate.h"

#include <cstring>
#include <string_view>

#include "catalogue/Reader.h"
#include "fileutil/Errors.h"

namespace {

constexpr int kFieldCount = 12;
constexpr size_t kCodesLength = 3 * kFieldCount;

// The slot (1-based) of the first occurrence of code in the field code list,
// 0 when there is none. A code may straddle two slots ("1S0" lies in
// "I01S02" from position 3); it then belongs to the slot in which it starts.
int FieldSlot(const char* c) {
    const char* list = TSoftwareUpdate::FieldCodes;
    // The usual case first: the code that sits at its own slot. Only the
    // first occurrence counts, and for every slot's own code that is the slot
    // itself (checked by the tests over the whole list).
    if (c[1] >= '0' && c[1] <= '9' && c[2] >= '0' && c[2] <= '9') {
        int slot = (c[1] - '0') * 10 + (c[2] - '0');
        if (slot >= 1 && slot <= kFieldCount && std::memcmp(list + 3 * (slot - 1), c, 3) == 0)
            return slot;
    }
    for (size_t p = 0; p + 3 <= kCodesLength; ++p) {
        if (std::memcmp(list + p, c, 3) == 0) return static_cast<int>(p / 3) + 1;
    }
    return 0;
}

}  // namespace

void TSoftwareUpdate::LoadFromReader(TReader& reader) {
    std::string text;
    reader.ReadString(text);
    if (text != "I00") throw EError("SU00 - Invalid software update stream");
    int32_t format = reader.ReadInteger();
    if (format > 199) {
        throw EError("You need a newer version of Stirpello for this function (SU01-" +
                     std::to_string(format) + ")");
    }
    for (int i = 0; i < kFieldCount; ++i) {
        const char* code;
        size_t length;
        if (!reader.ReadBufferedShortString(code, length)) {
            reader.ReadString(text);
            code = text.data();
            length = text.size();
        }
        if (length != 3) {
            throw EError("SU02-" + std::to_string(length) + " - Invalid software update stream");
        }
        switch (FieldSlot(code)) {
            case 0: reader.SkipValue(); break;
            case 1: Version_ = reader.ReadInteger(); break;
            case 2: reader.ReadString(OrderKey_); break;
            case 3: reader.ReadString(Kind_); break;
            case 4: Date_ = reader.ReadDate(); break;
            case 5: reader.ReadString(Text05_); break;
            case 6: reader.ReadString(Text06_); break;
            case 7: Number07_ = reader.ReadInteger(); break;
            case 8: Number08_ = reader.ReadInteger(); break;
            case 9: reader.ReadString(Text09_); break;
            case 10: reader.ReadString(Text10_); break;
            case 11: reader.ReadString(FromVersions_); break;
            case 12: reader.ReadString(ClassLetters_); break;
        }
    }
}

int TSoftwareUpdate::KindRank() const {
    if (Kind_.empty()) return 0;
    size_t p = std::string_view("BWSR").find(Kind_);
    return p == std::string::npos ? 0 : static_cast<int>(p) + 1;
}

bool TSoftwareUpdate::operator==(const TSoftwareUpdate& o) const {
    // Dates compare by their bits, so that a NaN equals itself.
    return Version_ == o.Version_ && OrderKey_ == o.OrderKey_ && Kind_ == o.Kind_ &&
           std::memcmp(&Date_, &o.Date_, sizeof Date_) == 0 && Text05_ == o.Text05_ &&
           Text06_ == o.Text06_ && Number07_ == o.Number07_ && Number08_ == o.Number08_ &&
           Text09_ == o.Text09_ && Text10_ == o.Text10_ && FromVersions_ == o.FromVersions_ &&
           ClassLetters_ == o.ClassLetters_;
}
