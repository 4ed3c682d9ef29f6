#include "catalogue/SoftwareUpdate.h"

#include <cstring>
#include <string_view>

#include "catalogue/Reader.h"
#include "catalogue/TextArena.h"
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

TSoftwareUpdate::TSoftwareUpdate() = default;
TSoftwareUpdate::~TSoftwareUpdate() = default;
TSoftwareUpdate::TSoftwareUpdate(TSoftwareUpdate&& other) noexcept = default;
TSoftwareUpdate& TSoftwareUpdate::operator=(TSoftwareUpdate&& other) noexcept = default;

TSoftwareUpdate::TSoftwareUpdate(const TSoftwareUpdate& other)
    : Version_(other.Version_), Number07_(other.Number07_), Number08_(other.Number08_), Date_(other.Date_) {
    for (int i = 0; i < kTexts; ++i) SetText(static_cast<TText>(i), other.Text_[i]);
}

TSoftwareUpdate& TSoftwareUpdate::operator=(const TSoftwareUpdate& other) {
    if (this != &other) *this = TSoftwareUpdate(other);
    return *this;
}

TTextArena& TSoftwareUpdate::Own() {
    if (!own_) own_ = std::make_unique<TTextArena>();
    return *own_;
}

void TSoftwareUpdate::SetText(TText field, std::string_view v) {
    Text_[field] = v.empty() ? std::string_view() : Own().Store(v);
}

void TSoftwareUpdate::LoadFromReader(TReader& reader) { LoadFromReader(reader, Own()); }

void TSoftwareUpdate::LoadFromReader(TReader& reader, TTextArena& texts) {
    std::string scratch;
    // A string value into the arena; in place when it lies in the reader's
    // block, which is the common case.
    auto readText = [&](TText field) {
        const char* p;
        size_t n;
        if (reader.ReadBufferedString(p, n)) {
            Text_[field] = texts.Store(std::string_view(p, n));
        } else {
            reader.ReadString(scratch);
            Text_[field] = texts.Store(scratch);
        }
    };
    const char* code;
    size_t length;
    if (!reader.ReadBufferedString(code, length)) {
        reader.ReadString(scratch);
        code = scratch.data();
        length = scratch.size();
    }
    if (std::string_view(code, length) != "I00") throw EError("SU00 - Invalid software update stream");
    int32_t format = reader.ReadInteger();
    if (format > 199) {
        throw EError("You need a newer version of Stirpello for this function (SU01-" +
                     std::to_string(format) + ")");
    }
    for (int i = 0; i < kFieldCount; ++i) {
        if (!reader.ReadBufferedString(code, length)) {
            reader.ReadString(scratch);
            code = scratch.data();
            length = scratch.size();
        }
        if (length != 3) {
            throw EError("SU02-" + std::to_string(length) + " - Invalid software update stream");
        }
        switch (FieldSlot(code)) {
            case 0: reader.SkipValue(); break;
            case 1: Version_ = reader.ReadInteger(); break;
            case 2: readText(kOrderKey); break;
            case 3: readText(kKind); break;
            case 4: Date_ = reader.ReadDate(); break;
            case 5: readText(kText05); break;
            case 6: readText(kText06); break;
            case 7: Number07_ = reader.ReadInteger(); break;
            case 8: Number08_ = reader.ReadInteger(); break;
            case 9: readText(kText09); break;
            case 10: readText(kText10); break;
            case 11: readText(kFromVersions); break;
            case 12: readText(kClassLetters); break;
        }
    }
}

int TSoftwareUpdate::KindRank() const {
    std::string_view kind = Kind();
    if (kind.empty()) return 0;
    size_t p = std::string_view("BWSR").find(kind);
    return p == std::string_view::npos ? 0 : static_cast<int>(p) + 1;
}

bool TSoftwareUpdate::operator==(const TSoftwareUpdate& o) const {
    // Dates compare by their bits, so that a NaN equals itself.
    if (Version_ != o.Version_ || Number07_ != o.Number07_ || Number08_ != o.Number08_ ||
        std::memcmp(&Date_, &o.Date_, sizeof Date_) != 0)
        return false;
    for (int i = 0; i < kTexts; ++i) {
        if (Text_[i] != o.Text_[i]) return false;
    }
    return true;
}
