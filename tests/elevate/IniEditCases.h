#pragma once
// Edits of Stirpello.ini and what they must give, shared by the native test
// and the one that runs the same edits through the profile functions under
// Wine.
#include <string>
#include <vector>

enum class TIniOp { RemovePostponing, SetNotify, SetWantsTrue, SetWantsFalse };

struct TIniCase {
    const char* name;
    TIniOp op;
    std::string in;
    std::string out;  // the same as in: nothing changes
};

inline std::vector<TIniCase> IniCases() {
    using O = TIniOp;
    return {
        {"both postponing keys go, the rest stays as it is", O::RemovePostponing,
         "; settings\r\n[Updates]\r\n  CheckOnOrAfterDate = 2031-01-01 \r\nkeep = 1\r\nNotifyAfterUpdateTo=1.4\r\n\r\n[Files]\r\nx=1\r\n",
         "; settings\r\n[Updates]\r\nkeep = 1\r\n\r\n[Files]\r\nx=1\r\n"},
        {"an empty postponing key stays, as the run leaves it", O::RemovePostponing,
         "[Updates]\r\nCheckOnOrAfterDate=\r\nNotifyAfterUpdateTo=\"\"\r\nx=1\r\n",
         "[Updates]\r\nCheckOnOrAfterDate=\r\nNotifyAfterUpdateTo=\"\"\r\nx=1\r\n"},
        {"only the first [Updates] and the first key in it", O::RemovePostponing,
         "[Files]\r\nCheckOnOrAfterDate=1\r\n[updates]\r\ncheckonorafterdate=2\r\nCheckOnOrAfterDate=3\r\n[Updates]\r\nCheckOnOrAfterDate=4\r\n",
         "[Files]\r\nCheckOnOrAfterDate=1\r\n[updates]\r\nCheckOnOrAfterDate=3\r\n[Updates]\r\nCheckOnOrAfterDate=4\r\n"},
        {"the last line without its line end", O::RemovePostponing, "[Updates]\r\nx=1\r\nNotifyAfterUpdateTo=2",
         "[Updates]\r\nx=1\r\n"},
        {"nothing to remove", O::RemovePostponing, "[Updates]\r\nx=1\r\n", "[Updates]\r\nx=1\r\n"},
        {"a value changed in place, its line end kept", O::SetWantsTrue,
         "[Internet Connection]\n  wantsUpdate = FALSE \nuseProxy=FALSE\n",
         "[Internet Connection]\nwantsUpdate=TRUE\nuseProxy=FALSE\n"},
        {"the key's spelling in the file is kept", O::SetWantsFalse,
         "[ INTERNET connection ]\r\nWANTSUPDATE=TRUE\r\n", "[ INTERNET connection ]\r\nWANTSUPDATE=FALSE\r\n"},
        {"already so: nothing changes", O::SetWantsTrue, "[Internet Connection]\r\nwantsUpdate=TRUE\r\n",
         "[Internet Connection]\r\nwantsUpdate=TRUE\r\n"},
        {"a key without = is the key", O::SetNotify, "[Internet Connection]\r\nnotifyForAnyUpdate\r\nx=1\r\n",
         "[Internet Connection]\r\nnotifyForAnyUpdate=TRUE\r\nx=1\r\n"},
        {"a missing key after the section's last line, before the blank ones", O::SetNotify,
         "[Internet Connection]\r\nuseProxy=FALSE\r\n; proxy off\r\n\r\n  \r\n[Updates]\r\nx=1\r\n",
         "[Internet Connection]\r\nuseProxy=FALSE\r\n; proxy off\r\nnotifyForAnyUpdate=TRUE\r\n\r\n  \r\n[Updates]\r\nx=1\r\n"},
        {"a missing key in the last section, file without a final line end", O::SetWantsTrue,
         "[Internet Connection]\r\nuseProxy=FALSE", "[Internet Connection]\r\nuseProxy=FALSE\r\nwantsUpdate=TRUE\r\n"},
        {"a missing key in an empty section", O::SetWantsTrue, "[Internet Connection]\r\n[Updates]\r\n",
         "[Internet Connection]\r\nwantsUpdate=TRUE\r\n[Updates]\r\n"},
        {"a key above every section does not count", O::SetWantsTrue, "wantsUpdate=FALSE\r\n[Internet Connection]\r\n",
         "wantsUpdate=FALSE\r\n[Internet Connection]\r\nwantsUpdate=TRUE\r\n"},
        {"a missing section at the end", O::SetWantsFalse, "[Updates]\r\nx=1",
         "[Updates]\r\nx=1\r\n[Internet Connection]\r\nwantsUpdate=FALSE\r\n"},
        {"a header without ] is no header", O::SetWantsTrue, "[Internet Connection\r\nx=1\r\n",
         "[Internet Connection\r\nx=1\r\n[Internet Connection]\r\nwantsUpdate=TRUE\r\n"},
        {"an empty file", O::SetNotify, "", "[Internet Connection]\r\nnotifyForAnyUpdate=TRUE\r\n"},
        {"LF line ends stay LF", O::SetNotify, "[Updates]\nx=1\n",
         "[Updates]\nx=1\n[Internet Connection]\nnotifyForAnyUpdate=TRUE\n"},
        {"lone CR line ends", O::RemovePostponing, "[Updates]\rCheckOnOrAfterDate=1\rx=2\r", "[Updates]\rx=2\r"},
        {"a UTF-8 byte-order mark is kept", O::RemovePostponing,
         "\xEF\xBB\xBF[Updates]\r\nCheckOnOrAfterDate=1\r\nx=2\r\n", "\xEF\xBB\xBF[Updates]\r\nx=2\r\n"},
        {"other bytes are left alone", O::SetWantsTrue,
         "[Files]\r\nname=\xE4\xF6\xFC \x95\x5C\r\n[Internet Connection]\r\nwantsUpdate=FALSE\r\n",
         "[Files]\r\nname=\xE4\xF6\xFC \x95\x5C\r\n[Internet Connection]\r\nwantsUpdate=TRUE\r\n"},
    };
}
