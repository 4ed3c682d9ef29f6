#pragma once
// TrsFileVersion: the file version of an executable's version resource, in
// the four forms the utility uses (dotted, number, short and full digits).
#include <cstdint>
#include <string>

class TrsFileVersion {
public:
    int32_t Major = 0;
    int32_t Minor = 0;
    int32_t Release = 0;
    int32_t Build = 0;

    // True when the file version of the executable at path was read; on false
    // the object holds 0.0.0.0. Throws std::bad_alloc only.
    bool ReadFromFile(const std::string& path);
    // Stores the four parts into the places given (any may be null); does not
    // change the object. Windows build only.
    static bool GetFileVersion(const std::string& path, uint16_t* major, uint16_t* minor,
                               uint16_t* release, uint16_t* build);
    // The edition of the engine file at path, judged with the version this
    // object holds (read that same file first). "" when undetermined; never
    // throws for file errors. Windows build only.
    std::string EditionName(const std::string& path) const;

    void Clear() { Major = Minor = Release = Build = 0; }
    std::string DottedText() const;
    int32_t VersionNumber() const;
    std::string ShortDigits() const;
    std::string FullDigits() const;
};
