#include "app/RunLog.h"

std::string TRunLog::Text() const {
    std::string text;
    for (const auto& line : lines_) {
        text += line;
        text += "\r\n";
    }
    return text;
}
