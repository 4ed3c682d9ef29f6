#include "tools/updlog/Clipboard.h"

bool ReadClipboardText(std::string&, std::string& error) {
    error = "--clipboard is for the Windows build; elsewhere pipe the text in (xclip -o | updlog explain -)";
    return false;
}
