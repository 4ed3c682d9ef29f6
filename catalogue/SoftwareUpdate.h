#pragma once
// TSoftwareUpdate: one record of the update catalogue. On the stream a record
// is the string "I00", a record format version, then exactly twelve pairs of
// a three-character field code and a value, in any order. The field code list
// below gives each code a slot; unknown codes have their values skipped.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "catalogue/TextArena.h"

class TReader;

class TSoftwareUpdate {
public:
    // Twelve codes of three characters: the letter is the type (I integer,
    // S string, D date), the digits the slot.
    static constexpr const char* FieldCodes = "I01S02S03D04S05S06I07I08S09S10S11S12";

    TSoftwareUpdate();
    ~TSoftwareUpdate();
    // Copies hold their own texts.
    TSoftwareUpdate(const TSoftwareUpdate& other);
    TSoftwareUpdate& operator=(const TSoftwareUpdate& other);
    TSoftwareUpdate(TSoftwareUpdate&& other) noexcept;
    TSoftwareUpdate& operator=(TSoftwareUpdate&& other) noexcept;

    // Reads one record, assigning each field as its pair arrives; a field
    // named twice keeps the later value, and a failure keeps what was
    // assigned before it. Throws EError "SU00 - Invalid software update
    // stream" (first string not "I00"), EError "You need a newer version of
    // Stirpello for this function (SU01-n)" (record format above 199), EError
    // "SU02-n - Invalid software update stream" (a code whose length n is not
    // 3), and the reader's EReadError for a wrong tag or too little data.
    void LoadFromReader(TReader& reader);
    // The same with the texts stored in texts, which must outlive the record
    // (a list keeps its records' texts so).
    void LoadFromReader(TReader& reader, TTextArena& texts);

    // 1 to 4 for "B", "W", "S", "R": the 1-based position of the whole Kind
    // text inside "BWSR", 0 when it is not there or empty.
    int KindRank() const;
    // A major update: Kind is exactly "R".
    bool IsMajor() const { return Kind() == "R"; }

    // Text getters return views that stay valid while the record lives and
    // the field is not set again.
    int32_t Version() const { return Version_; }
    void SetVersion(int32_t v) { Version_ = v; }
    std::string_view OrderKey() const { return Text(kOrderKey); }
    void SetOrderKey(std::string_view v) { SetText(kOrderKey, v); }
    std::string_view Kind() const { return Text(kKind); }
    void SetKind(std::string_view v) { SetText(kKind, v); }
    double Date() const { return Date_; }
    void SetDate(double v) { Date_ = v; }
    std::string_view Text05() const { return Text(kText05); }
    void SetText05(std::string_view v) { SetText(kText05, v); }
    std::string_view Text06() const { return Text(kText06); }
    void SetText06(std::string_view v) { SetText(kText06, v); }
    int32_t Number07() const { return Number07_; }
    void SetNumber07(int32_t v) { Number07_ = v; }
    int32_t Number08() const { return Number08_; }
    void SetNumber08(int32_t v) { Number08_ = v; }
    std::string_view Text09() const { return Text(kText09); }
    void SetText09(std::string_view v) { SetText(kText09, v); }
    std::string_view Text10() const { return Text(kText10); }
    void SetText10(std::string_view v) { SetText(kText10, v); }
    // The installed versions the update applies to, as decimal text; blank
    // means every version.
    std::string_view FromVersions() const { return Text(kFromVersions); }
    void SetFromVersions(std::string_view v) { SetText(kFromVersions, v); }
    std::string_view ClassLetters() const { return Text(kClassLetters); }
    void SetClassLetters(std::string_view v) { SetText(kClassLetters, v); }

    bool operator==(const TSoftwareUpdate& o) const;
    bool operator!=(const TSoftwareUpdate& o) const { return !(*this == o); }

private:
    enum TText { kOrderKey, kKind, kText05, kText06, kText09, kText10, kFromVersions, kClassLetters, kTexts };
    void SetText(TText field, std::string_view v);
    TTextArena& Own();
    std::string_view Text(TText field) const {
        const size_t n = textLength_[field];
        return {textAt_[field], n < TTextArena::kLongText ? n : TTextArena::LongLength(textAt_[field])};
    }
    // v is empty, one character, or was returned by a TTextArena's Store.
    void PutText(TText field, std::string_view v) {
        textAt_[field] = v.data();
        textLength_[field] = static_cast<uint8_t>(std::min(v.size(), TTextArena::kLongText));
    }

    // A loaded catalogue holds many records, so each is kept small (fresh
    // memory is dear under Wine): a text is a pointer and one byte of length,
    // the arena keeping the length of a long text before it, and the fields
    // are ordered to leave no padding. Texts are bounded far below 4 GiB by
    // the catalogue's size cap; SetText refuses longer ones.
    double Date_ = 0.0;
    const char* textAt_[kTexts] = {};
    int32_t Version_ = 0;
    int32_t Number07_ = 0;
    int32_t Number08_ = 0;
    uint8_t textLength_[kTexts] = {};
    // Texts set on this record, or read by the one-argument LoadFromReader.
    std::unique_ptr<TTextArena> own_;
};
