#include "catalogue/SoftwareUpdate.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "catalogue/Reader.h"
#include "catalogue/TextArena.h"
#include "fileutil/Errors.h"

namespace {

constexpr int kFieldCount = 12;
constexpr size_t kCodesLength = 3 * kFieldCount;

// By slot (0 for an unknown code): the field's type letter, which is also
// the first character of the slot's own code.
constexpr char kSlotType[kFieldCount + 1] = {0, 'I', 'S', 'S', 'D', 'S', 'S', 'I', 'I', 'S', 'S', 'S', 'S'};

// The slot (1-based) of the first occurrence of code in the field code list,
// 0 when there is none. A code may straddle two slots ("1S0" lies in
// "I01S02" from position 3); it then belongs to the slot in which it starts.
int FieldSlotSearch(const char* c) {
    const char* list = TSoftwareUpdate::FieldCodes;
    for (size_t p = 0; p + 3 <= kCodesLength; ++p) {
        if (list[p] == c[0] && list[p + 1] == c[1] && list[p + 2] == c[2]) return static_cast<int>(p / 3) + 1;
    }
    return 0;
}

inline int FieldSlot(const char* c) {
    // The usual case first: the code that sits at its own slot. Only the
    // first occurrence counts, and for every slot's own code that is the slot
    // itself (checked by the tests over the whole list).
    const unsigned d1 = static_cast<unsigned char>(c[1]) - '0', d2 = static_cast<unsigned char>(c[2]) - '0';
    if (d1 <= 9 && d2 <= 9) {
        const unsigned slot = d1 * 10 + d2;
        if (slot - 1 < static_cast<unsigned>(kFieldCount) && kSlotType[slot] == c[0]) return static_cast<int>(slot);
    }
    return FieldSlotSearch(c);
}

// The length byte and code of each slot's own pair, as Le32 reads them.
struct TInOrder {
    uint32_t word[kFieldCount];
    constexpr TInOrder() : word() {
        for (int i = 0; i < kFieldCount; ++i) {
            const char* c = TSoftwareUpdate::FieldCodes + 3 * i;
            word[i] = 3u | static_cast<uint32_t>(static_cast<unsigned char>(c[0])) << 8 |
                      static_cast<uint32_t>(static_cast<unsigned char>(c[1])) << 16 |
                      static_cast<uint32_t>(static_cast<unsigned char>(c[2])) << 24;
        }
    }
};
constexpr TInOrder kInOrder;

// One load, where the compiler would otherwise assemble four bytes.
int32_t Le32(const uint8_t* b) {
    uint32_t v;
    std::memcpy(&v, b, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return static_cast<int32_t>(v);
}

}  // namespace

static_assert(TTextArena::kFields >= 8, "a slot of the arena's repeat memory for each text field");

TSoftwareUpdate::TSoftwareUpdate() = default;
TSoftwareUpdate::~TSoftwareUpdate() = default;
TSoftwareUpdate::TSoftwareUpdate(TSoftwareUpdate&& other) noexcept = default;
TSoftwareUpdate& TSoftwareUpdate::operator=(TSoftwareUpdate&& other) noexcept = default;

TSoftwareUpdate::TSoftwareUpdate(const TSoftwareUpdate& other)
    : Date_(other.Date_), Version_(other.Version_), Number07_(other.Number07_), Number08_(other.Number08_) {
    for (int i = 0; i < kTexts; ++i) SetText(static_cast<TText>(i), other.Text(static_cast<TText>(i)));
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
    if (v.size() > UINT32_MAX) throw std::length_error("a catalogue text of 4 GiB or more");
    PutText(field, v.empty() ? std::string_view() : Own().Store(v));
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
            PutText(field, texts.StoreField(field, std::string_view(p, n)));
        } else {
            reader.ReadString(scratch);
            PutText(field, texts.StoreField(field, scratch));
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
    static constexpr TText kTextOf[kFieldCount + 1] = {kTexts, kTexts, kOrderKey, kKind, kTexts, kText05, kText06,
                                                       kTexts, kTexts, kText09, kText10, kFromVersions, kClassLetters};
    // The usual pair, a short three-character code and a value of its slot's
    // shortest tag lying whole in the block, is decoded in place, from local
    // pointers; at anything else the pairs so far are consumed and that pair
    // goes the general way from its start.
    // An integer or date pair at b, i its place in the record; advances b.
    auto fixedPair = [&](const uint8_t*& b, int i) {
        if (b[0] != vaString || b[1] != 3) return false;
        // Publishers write the codes in slot order: one compare usually
        // finds the slot.
        const int slot = static_cast<uint32_t>(Le32(b + 1)) == kInOrder.word[i]
                             ? i + 1
                             : FieldSlot(reinterpret_cast<const char*>(b + 2));
        const uint8_t* v = b + 5;
        switch (kSlotType[slot]) {
            case 'I': {
                int32_t x;
                if (v[0] == vaInt8) {
                    x = static_cast<int8_t>(v[1]);
                    b = v + 2;
                } else if (v[0] == vaInt16) {
                    x = static_cast<int16_t>(v[1] | (v[2] << 8));
                    b = v + 3;
                } else if (v[0] == vaInt32) {
                    x = Le32(v + 1);
                    b = v + 5;
                } else {
                    return false;
                }
                if (slot == 1)
                    Version_ = x;
                else if (slot == 7)
                    Number07_ = x;
                else
                    Number08_ = x;
                return true;
            }
            case 'D': {
                if (v[0] != vaDate) return false;
                const uint64_t bits = static_cast<uint32_t>(Le32(v + 1)) |
                                      (static_cast<uint64_t>(static_cast<uint32_t>(Le32(v + 5))) << 32);
                std::memcpy(&Date_, &bits, sizeof Date_);
                b = v + 9;
                return true;
            }
            default:
                return false;
        }
    };
    int i = 0;
    while (i < kFieldCount) {
        const uint8_t* const start = reader.Peek();
        const uint8_t* const end = start + reader.Buffered();
        const uint8_t* b = start;
        // 14 bytes hold any code and fixed-size value; a string's length is
        // checked against end.
        while (i < kFieldCount && end - b >= 14) {
            if (b[0] == vaString && b[1] == 3 && b[5] == vaString) {
                const int slot = static_cast<uint32_t>(Le32(b + 1)) == kInOrder.word[i]
                                     ? i + 1
                                     : FieldSlot(reinterpret_cast<const char*>(b + 2));
                if (kSlotType[slot] != 'S') break;
                const size_t n = b[6];
                if (static_cast<size_t>(end - b) < 7 + n) break;
                const TText field = kTextOf[slot];
                PutText(field, texts.StoreField(field, std::string_view(reinterpret_cast<const char*>(b + 7), n)));
                b += 7 + n;
            } else if (!fixedPair(b, i)) {
                break;
            }
            ++i;
        }
        reader.Consume(static_cast<int32_t>(b - start));
        if (i == kFieldCount) break;
        ++i;
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
    if (kind.size() == 1) {
        switch (kind[0]) {
            case 'B': return 1;
            case 'W': return 2;
            case 'S': return 3;
            case 'R': return 4;
            default: return 0;
        }
    }
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
        if (Text(static_cast<TText>(i)) != o.Text(static_cast<TText>(i))) return false;
    }
    return true;
}
