#pragma once
// Sets up what the locator reads in the Wine prefix (HKLM keys, desktop
// shortcuts, the default folder's engine) and undoes all of it on
// destruction, so tests stay independent. Needs COM on the calling thread.
#include <windows.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

class TLocatorTestWorld {
public:
    static constexpr const char* ProductParent = "Software\\corvannaSystems";
    static constexpr const char* ProductKey = "Software\\corvannaSystems\\Stirpello";
    static constexpr const char* InstallerKey =
        "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Stirpello_is1";
    static constexpr const char* DefaultDir = "C:\\Program Files\\Stirpello";

    TLocatorTestWorld() { RemoveKeys(); }
    ~TLocatorTestWorld() {
        RemoveKeys();
        for (auto it = desktopFiles_.rbegin(); it != desktopFiles_.rend(); ++it)
            DeleteFileA(it->c_str());
        for (auto it = installs_.rbegin(); it != installs_.rend(); ++it) {
            DeleteFileA((*it + "\\SPEngine.exe").c_str());
            RemoveDirectoryA(it->c_str());
        }
        if (!madeX86_.empty()) {
            DeleteFileA((madeX86_ + "\\SPEngine.exe").c_str());
            RemoveDirectoryA(madeX86_.c_str());
        }
        if (madeDefault_) {
            DeleteFileA((std::string(DefaultDir) + "\\SPEngine.exe").c_str());
            RemoveDirectoryA(DefaultDir);
        }
    }
    TLocatorTestWorld(const TLocatorTestWorld&) = delete;
    TLocatorTestWorld& operator=(const TLocatorTestWorld&) = delete;

    void RemoveKeys() {
        // The 32-bit view, where the product's installer writes.
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, ProductKey, KEY_WOW64_32KEY, 0);
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, ProductParent, KEY_WOW64_32KEY, 0);  // only when empty
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, InstallerKey, KEY_WOW64_32KEY, 0);
    }
    void SetProductValue(const std::string& v) { SetString(ProductKey, "InstallPath", v); }
    void SetInstallerValue(const std::string& v) {
        SetString(InstallerKey, "Inno Setup: App Path", v);
    }
    // A REG_DWORD where the string belongs, in the product or installer key.
    void SetDwordValue(bool product) {
        HKEY k = Create(product ? ProductKey : InstallerKey);
        DWORD v = 1;
        RegSetValueExA(k, product ? "InstallPath" : "Inno Setup: App Path", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&v), sizeof v);
        RegCloseKey(k);
    }

    std::string DesktopPath() const {
        char path[MAX_PATH] = {};
        if (!SHGetSpecialFolderPathA(nullptr, path, CSIDL_DESKTOPDIRECTORY, FALSE))
            throw std::runtime_error("no desktop folder");
        return path;
    }
    // The desktop shared by all users, where installers running as administrator put links.
    std::string SharedDesktopPath() const {
        char path[MAX_PATH] = {};
        if (!SHGetSpecialFolderPathA(nullptr, path, CSIDL_COMMON_DESKTOPDIRECTORY, TRUE))
            throw std::runtime_error("no shared desktop folder");
        return path;
    }
    // A shell link on the user's (or the shared) desktop to target (which need not exist).
    void MakeShortcut(const std::string& name, const std::string& target, bool shared = false) {
        std::string path = (shared ? SharedDesktopPath() : DesktopPath()) + "\\" + name;
        IShellLinkA* link = nullptr;
        if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IShellLinkA, reinterpret_cast<void**>(&link))))
            throw std::runtime_error("no shell link object");
        link->SetPath(target.c_str());
        IPersistFile* file = nullptr;
        HRESULT hr = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
        if (SUCCEEDED(hr)) {
            std::wstring wide(path.begin(), path.end());
            hr = file->Save(wide.c_str(), TRUE);
            file->Release();
        }
        link->Release();
        if (FAILED(hr)) throw std::runtime_error("cannot save " + path);
        desktopFiles_.push_back(path);
    }
    void MakeDesktopFile(const std::string& name, const std::string& content) {
        std::string path = DesktopPath() + "\\" + name;
        testsupport::WriteFile(path, content);
        desktopFiles_.push_back(path);
    }
    // A folder, with a copy of an engine fixture as SPEngine.exe when given.
    void MakeInstall(const std::string& folder, const char* engineFixture) {
        CreateDirectoryA(folder.c_str(), nullptr);
        installs_.push_back(folder);
        if (engineFixture)
            CopyEngine(engineFixture, folder + "\\SPEngine.exe");
    }
    void MakeDefaultEngine() {
        CreateDirectoryA(DefaultDir, nullptr);
        madeDefault_ = true;
        CopyEngine("engine_1095_marked.exe", std::string(DefaultDir) + "\\SPEngine.exe");
    }
    // The 32-bit program files folder's Stirpello folder, with an engine;
    // "" where that folder is the default one's (32-bit Windows).
    std::string MakeX86Engine() {
        char base[MAX_PATH] = {};
        if (!SHGetSpecialFolderPathA(nullptr, base, CSIDL_PROGRAM_FILESX86, FALSE)) return "";
        std::string folder = std::string(base) + "\\Stirpello";
        if (lstrcmpiA(folder.c_str(), DefaultDir) == 0) return "";
        CreateDirectoryA(folder.c_str(), nullptr);
        madeX86_ = folder;
        CopyEngine("engine_1095_marked.exe", folder + "\\SPEngine.exe");
        return folder + "\\";
    }
    bool DefaultEngineExists() const {
        return GetFileAttributesA((std::string(DefaultDir) + "\\SPEngine.exe").c_str()) !=
               INVALID_FILE_ATTRIBUTES;
    }

private:
    static HKEY Create(const char* key) {
        HKEY k = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0,
                            KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &k, nullptr) != ERROR_SUCCESS)
            throw std::runtime_error(std::string("cannot create ") + key);
        return k;
    }
    static void SetString(const char* key, const char* name, const std::string& v) {
        HKEY k = Create(key);
        RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                       static_cast<DWORD>(v.size() + 1));
        RegCloseKey(k);
    }
    static void CopyEngine(const char* fixture, const std::string& to) {
        if (!CopyFileA((testsupport::ExeDir() + fixture).c_str(), to.c_str(), FALSE))
            throw std::runtime_error("cannot copy " + std::string(fixture) + " to " + to);
    }

    std::vector<std::string> desktopFiles_;
    std::vector<std::string> installs_;
    bool madeDefault_ = false;
    std::string madeX86_;
};
