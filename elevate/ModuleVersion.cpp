#include "elevate/ModuleVersion.h"

namespace {

uint32_t Le32(const std::string& b, size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(b[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

}  // namespace

bool FixedFileVersion(const std::string& bytes, uint64_t* version) {
    static const char kKey[] = "VS_VERSION_INFO";
    std::string key;
    for (const char* p = kKey; *p; ++p) {
        key += *p;
        key += '\0';
    }
    key += std::string(2, '\0');
    // The block begins 6 bytes before its key, on a 32-bit boundary in the
    // resource; the fixed part follows the key on the next one.
    for (size_t at = bytes.find(key); at != std::string::npos; at = bytes.find(key, at + 1)) {
        if (at < 6) continue;
        const size_t block = at - 6;
        size_t fixed = at + key.size();
        fixed += (4 - (fixed - block) % 4) % 4;
        if (fixed + 52 > bytes.size() || Le32(bytes, fixed) != 0xFEEF04BDu) continue;
        *version = static_cast<uint64_t>(Le32(bytes, fixed + 8)) << 32 | Le32(bytes, fixed + 12);
        return true;
    }
    return false;
}
