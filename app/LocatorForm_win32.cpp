// The main window's locator members: thin delegations to
// TInstallationLocator, with the window as its message-box and dialog owner.
#include "app/DownloadStirpelloForm_win32.h"
#include "app/Locator.h"
#include "app/LocatorUI_win32.h"

namespace {

class TFormLocatorUI : public ILocatorUI {
public:
    explicit TFormLocatorUI(TDownloadStirpelloForm& form)
        : form_(form), dialogs_(form.Handle(), kApplicationTitle) {}
    void ShowMessage(const std::string& text) override { form_.ShowMessage(text); }
    bool ExecuteOpenDialog(const TOpenDialogSetup& setup, std::string& fileName) override {
        // Closed under a box of the locator: no dialog with a vanished owner.
        if (form_.IsClosed()) return false;
        return dialogs_.ExecuteOpenDialog(setup, fileName);
    }
    bool IsMajor4MinorBelow10() override { return TDownloadStirpelloForm::IsMajor4MinorBelow10(); }
    bool IsMajor4Minor10OrMore() override {
        return TDownloadStirpelloForm::IsMajor4Minor10OrMore();
    }

private:
    TDownloadStirpelloForm& form_;
    TWin32LocatorUI dialogs_;
};

}  // namespace

std::string TDownloadStirpelloForm::LocateInstallation() {
    TFormLocatorUI ui(*this);
    return TInstallationLocator(Log(), ui, ShortcutEngines).LocateInstallation();
}

std::string TDownloadStirpelloForm::ResolveShortcut(const std::string& linkPath) {
    TFormLocatorUI ui(*this);
    return TInstallationLocator(Log(), ui, ShortcutEngines).ResolveShortcut(linkPath);
}

void TDownloadStirpelloForm::ShortcutFound(const std::string& folder, const TSearchRec& entry) {
    TFormLocatorUI ui(*this);
    TInstallationLocator(Log(), ui, ShortcutEngines).ShortcutFound(folder, entry);
}

bool TDownloadStirpelloForm::IsMajor4MinorBelow10() {
    return TWin32LocatorUI(nullptr, "").IsMajor4MinorBelow10();
}

bool TDownloadStirpelloForm::IsMajor4Minor10OrMore() {
    return TWin32LocatorUI(nullptr, "").IsMajor4Minor10OrMore();
}
