#include "fileutil/FileVersion.h"

std::string TrsFileVersion::DottedText() const {
    return std::to_string(Major) + "." + std::to_string(Minor) + "." + std::to_string(Release) +
           "." + std::to_string(Build);
}

int32_t TrsFileVersion::VersionNumber() const {
    // Parts are at most 65535, so this stays far below the 32-bit limit.
    return Major * 10000 + Minor * 1000 + Release * 100 + Build;
}

std::string TrsFileVersion::ShortDigits() const {
    return std::to_string(Major) + std::to_string(Minor) + std::to_string(Release);
}

std::string TrsFileVersion::FullDigits() const {
    return ShortDigits() + std::to_string(Build);
}
