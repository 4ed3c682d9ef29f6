#include "fileutil/Errors.h"

#include <cstring>

std::string SysErrorMessage(unsigned long code) {
    return std::strerror(static_cast<int>(code));
}
