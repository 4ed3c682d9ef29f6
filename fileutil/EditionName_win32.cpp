#include <windows.h>

#include "fileutil/FileVersion.h"
#include "fileutil/Handles_win32.h"

namespace {

// Version numbers of the engine builds that the partner distributed.
const char kPartnerEditions[] = " [10603][10704][10806][10902][10911]";

// The marker is the product name's first three letters, written at this
// offset into engines of the standard edition; shorter files carry none.
const LONG kMarkerOffset = 4120;
const DWORD kMarkerBound = 4128;
const char kMarker[3] = {'S', 't', 'i'};

}  // namespace

std::string TrsFileVersion::EditionName(const std::string& path) const {
    std::string result;
    try {
        // No sharing: the answer is "undetermined" while another program
        // holds the engine open.
        TFileHandle file(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return result;
        DWORD high = 0;
        DWORD low = GetFileSize(file.get(), &high);
        if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return result;
        if (high == 0 && low <= kMarkerBound) return result;

        if (SetFilePointer(file.get(), kMarkerOffset, nullptr, FILE_BEGIN) ==
            INVALID_SET_FILE_POINTER)
            return result;
        char bytes[3] = {};
        DWORD got = 0;
        if (!ReadFile(file.get(), bytes, sizeof bytes, &got, nullptr) || got != sizeof bytes)
            return result;
        bool marker = bytes[0] == kMarker[0] && bytes[1] == kMarker[1] && bytes[2] == kMarker[2];

        std::string tag = "[" + std::to_string(VersionNumber()) + "]";
        if (std::string(kPartnerEditions).find(tag) != std::string::npos)
            result = "Quillmere Edition";
        else
            result = marker ? "Complete Edition" : "Quillmere Edition";
    } catch (...) {
        // Any failure leaves the edition undetermined.
    }
    return result;
}
