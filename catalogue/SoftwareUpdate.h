#pragma once
// TSoftwareUpdate: one record of the update catalogue. On the stream a record
// is the string "I00", a record format version, then exactly twelve pairs of
// a three-character field code and a value, in any order. The field code list
// below gives each code a slot; unknown codes have their values skipped.
#include <cstdint>
#include <string>

class TReader;

class TSoftwareUpdate {
public:
    // Twelve codes of three characters: the letter is the type (I integer,
    // S string, D date), the digits the slot.
    static constexpr const char* FieldCodes = "I01S02S03D04S05S06I07I08S09S10S11S12";

    // Reads one record, assigning each field as its pair arrives; a field
    // named twice keeps the later value, and a failure keeps what was
    // assigned before it. Throws EError "SU00 - Invalid software update
    // stream" (first string not "I00"), EError "You need a newer version of
    // Stirpello for this function (SU01-n)" (record format above 199), EError
    // "SU02-n - Invalid software update stream" (a code whose length n is not
    // 3), and the reader's EReadError for a wrong tag or too little data.
    void LoadFromReader(TReader& reader);

    // 1 to 4 for "B", "W", "S", "R": the 1-based position of the whole Kind
    // text inside "BWSR", 0 when it is not there or empty.
    int KindRank() const;
    // A major update: Kind is exactly "R".
    bool IsMajor() const { return Kind_ == "R"; }

    int32_t Version() const { return Version_; }
    void SetVersion(int32_t v) { Version_ = v; }
    const std::string& OrderKey() const { return OrderKey_; }
    void SetOrderKey(const std::string& v) { OrderKey_ = v; }
    const std::string& Kind() const { return Kind_; }
    void SetKind(const std::string& v) { Kind_ = v; }
    double Date() const { return Date_; }
    void SetDate(double v) { Date_ = v; }
    const std::string& Text05() const { return Text05_; }
    void SetText05(const std::string& v) { Text05_ = v; }
    const std::string& Text06() const { return Text06_; }
    void SetText06(const std::string& v) { Text06_ = v; }
    int32_t Number07() const { return Number07_; }
    void SetNumber07(int32_t v) { Number07_ = v; }
    int32_t Number08() const { return Number08_; }
    void SetNumber08(int32_t v) { Number08_ = v; }
    const std::string& Text09() const { return Text09_; }
    void SetText09(const std::string& v) { Text09_ = v; }
    const std::string& Text10() const { return Text10_; }
    void SetText10(const std::string& v) { Text10_ = v; }
    // The installed versions the update applies to, as decimal text; blank
    // means every version.
    const std::string& FromVersions() const { return FromVersions_; }
    void SetFromVersions(const std::string& v) { FromVersions_ = v; }
    const std::string& ClassLetters() const { return ClassLetters_; }
    void SetClassLetters(const std::string& v) { ClassLetters_ = v; }

    bool operator==(const TSoftwareUpdate& o) const;
    bool operator!=(const TSoftwareUpdate& o) const { return !(*this == o); }

private:
    int32_t Version_ = 0;
    std::string OrderKey_;
    std::string Kind_;
    double Date_ = 0.0;
    std::string Text05_;
    std::string Text06_;
    int32_t Number07_ = 0;
    int32_t Number08_ = 0;
    std::string Text09_;
    std::string Text10_;
    std::string FromVersions_;
    std::string ClassLetters_;
};
