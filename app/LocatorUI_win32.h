#pragma once
// The locator's real window side: MessageBoxA owned by the main window, the
// common file-open dialog, and GetVersionExA.
#include <windows.h>

#include <string>

#include "app/Locator.h"

class TWin32LocatorUI : public ILocatorUI {
public:
    // owner may be null; title heads every message box.
    TWin32LocatorUI(HWND owner, std::string title) : owner_(owner), title_(std::move(title)) {}
    void ShowMessage(const std::string& text) override;
    // Throws EOSError with the dialog's extended error code when it fails.
    bool ExecuteOpenDialog(const TOpenDialogSetup& setup, std::string& fileName) override;
    bool IsMajor4MinorBelow10() override;
    bool IsMajor4Minor10OrMore() override;

private:
    HWND owner_;
    std::string title_;
};
