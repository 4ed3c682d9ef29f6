#pragma once
// The elevated step's editing of Stirpello.ini. The step must not write by
// path through the profile functions (a link flipped between check and write
// would aim its rights elsewhere), so it reads the file through its held
// handle, edits the bytes here, and writes them back through the same handle.
//
// Sections and keys are found as the profile functions find them: names are
// compared without regard to ASCII case, with blanks around them ignored, and
// the first matching section and key count. A line end is CR LF, LF or a lone
// CR, and every line not edited is kept byte for byte with its line end.
// A UTF-8 byte-order mark is kept and skipped.
#include <string>

constexpr size_t IniMaxSize = 1024 * 1024;

// The edited file and whether it differs from what was given.
struct TIniResult {
    std::string bytes;
    bool changed = false;
};

// "" when the file can be edited here, otherwise why not: larger than
// IniMaxSize, holding a NUL byte, or UTF-16 (a byte-order mark FF FE or FE FF).
std::string IniRefusal(const std::string& bytes);

// The value of key in section as GetPrivateProfileString reads it (blanks
// around it and one pair of enclosing quotes removed); false when the key is
// not there. Throws EError with IniRefusal's reason.
bool IniReadValue(const std::string& bytes, const std::string& section, const std::string& key, std::string* value);

// As WritePrivateProfileString(section, key, value): the key's line becomes
// "key=value" (the key's name as the file spells it); a missing key goes after
// the last line of its section that is not blank, a missing section at the
// end of the file, with the file's first line end (CR LF in a file without
// one). A key that already holds exactly value is left alone. Throws EError
// with IniRefusal's reason.
TIniResult IniSetKey(const std::string& bytes, const std::string& section, const std::string& key,
                     const std::string& value);

// As WritePrivateProfileString(section, key, NULL): the key's line goes.
// Throws EError with IniRefusal's reason.
TIniResult IniDeleteKey(const std::string& bytes, const std::string& section, const std::string& key);

// What the step may do to the file, and nothing else. Each throws EError
// with IniRefusal's reason.
// CheckOnOrAfterDate and NotifyAfterUpdateTo leave [Updates] when they hold a
// value; an empty one stays, as the run has always left it.
TIniResult RemovePostponingKeys(const std::string& bytes);
// notifyForAnyUpdate=TRUE in [Internet Connection].
TIniResult SetNotifyForAnyUpdate(const std::string& bytes);
// wantsUpdate=TRUE or FALSE in [Internet Connection].
TIniResult SetWantsUpdate(const std::string& bytes, bool wantsUpdate);
