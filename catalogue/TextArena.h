#pragma once
// TTextArena keeps many small texts in a few large blocks. A loaded catalogue
// holds its records' texts here, so a list of many records costs a few
// allocations, not one per field (small allocations are dear under Wine).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

// Every single character, for one-character texts that need no storage.
struct TTextArenaChars {
    char c[256];
    constexpr TTextArenaChars() : c() {
        for (int i = 0; i < 256; ++i) c[i] = static_cast<char>(i);
    }
};
inline constexpr TTextArenaChars kTextArenaChars{};

class TTextArena {
public:
    // A copy of the bytes that stays valid, at the same address, for the
    // arena's lifetime (moving the arena included).
    // A text of kLongText bytes or more is stored after its length (4 bytes),
    // which LongLength reads back: a holder may then keep one byte of length.
    std::string_view Store(std::string_view text) {
        if (text.size() - 1 < kLongText - 1 && text.size() <= left_) {  // the common case: short, fits the block
            char* at = free_;
            CopyShort(at, text.data(), text.size());
            free_ += text.size();
            left_ -= text.size();
            return {at, text.size()};
        }
        return StoreSlow(text);
    }

    // As Store for field number field (< kFields) of a record being loaded:
    // a text of one character, or equal to the one last stored for the same
    // field, is not stored again. A catalogue repeats its kinds, classes and
    // version lists from record to record.
    static constexpr size_t kFields = 8;
    static constexpr size_t kLongText = 255;
    // The length of a text of kLongText bytes or more that Store returned.
    static size_t LongLength(const char* text) {
        uint32_t n;
        std::memcpy(&n, text - sizeof n, sizeof n);
        return n;
    }
    std::string_view StoreField(size_t field, std::string_view text) {
        if (text.size() <= 1)
            return text.empty() ? std::string_view()
                                : std::string_view(&kTextArenaChars.c[static_cast<unsigned char>(text[0])], 1);
        std::string_view& last = last_[field];
        if (text.size() == last.size() && std::memcmp(text.data(), last.data(), text.size()) == 0) return last;
        return last = Store(text);
    }

private:
    // Most texts are a few bytes: two overlapping fixed-size copies beat a
    // call with a length. n > 0.
    static void CopyShort(char* to, const char* from, size_t n) {
        if (n > 16) {
            if (n > 64) {
                std::memcpy(to, from, n);
            } else {
                std::memcpy(to, from, 16);
                if (n > 32) {
                    std::memcpy(to + 16, from + 16, 16);
                    std::memcpy(to + n - 32, from + n - 32, 16);
                }
                std::memcpy(to + n - 16, from + n - 16, 16);
            }
        } else if (n >= 8) {
            std::memcpy(to, from, 8);
            std::memcpy(to + n - 8, from + n - 8, 8);
        } else if (n >= 4) {
            std::memcpy(to, from, 4);
            std::memcpy(to + n - 4, from + n - 4, 4);
        } else {
            to[0] = from[0];
            to[n / 2] = from[n / 2];
            to[n - 1] = from[n - 1];
        }
    }
    std::string_view StoreSlow(std::string_view text);
    static constexpr size_t kBlock = 64 * 1024;
    static constexpr size_t kMaxBlock = 1024 * 1024;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* free_ = nullptr;
    size_t left_ = 0;
    size_t nextBlock_ = 0;
    std::string_view last_[kFields];
};
