#include "fileutil/PathText.h"

unsigned AnsiCodePage() { return 1252; }

bool IsLeadByte(unsigned codePage, unsigned char b) {
    switch (codePage) {
    case 932:  // Shift-JIS
        return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
    case 936:  // GBK
    case 949:  // Unified Hangul Code
    case 950:  // Big5
        return b >= 0x81 && b <= 0xFE;
    default:
        return false;
    }
}
