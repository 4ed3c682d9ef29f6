#include "tools/guidriver/GuiDriver_win32.h"

#include <oleacc.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>

#include "app/ControlName_win32.h"

namespace {

constexpr DWORD kPollMs = 20;
constexpr UINT kSendTimeoutMs = 2000;
constexpr int kMessageBoxTextId = 0xFFFF;

// Polls until ready() answers true or the time is up.
template <class F>
bool PollUntil(DWORD timeoutMs, F ready) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        if (ready()) return true;
        if (GetTickCount64() >= end) return false;
        Sleep(kPollMs);
    }
}

std::string WindowClass(HWND h) {
    char buf[256];
    int n = GetClassNameA(h, buf, sizeof buf);
    return std::string(buf, n > 0 ? n : 0);
}

BOOL CALLBACK Collect(HWND h, LPARAM lp) {
    reinterpret_cast<std::vector<HWND>*>(lp)->push_back(h);
    return TRUE;
}

std::vector<HWND> TopWindows() {
    std::vector<HWND> found;
    EnumWindows(&Collect, reinterpret_cast<LPARAM>(&found));
    return found;
}

std::vector<HWND> Descendants(HWND top) {
    std::vector<HWND> found;
    EnumChildWindows(top, &Collect, reinterpret_cast<LPARAM>(&found));
    return found;
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

// PNG: signature, IHDR, one IDAT of zlib-compressed rows, IEND.
void AppendChunk(std::string& png, const char* type, const std::string& data) {
    auto be32 = [&png](uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) png += static_cast<char>((v >> shift) & 0xFF);
    };
    be32(static_cast<uint32_t>(data.size()));
    std::string body = std::string(type, 4) + data;
    png += body;
    be32(static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
}

std::string EncodePng(int width, int height, const std::vector<uint8_t>& bgra) {
    std::string raw;
    raw.reserve(static_cast<size_t>(height) * (width * 3 + 1));
    for (int y = 0; y < height; ++y) {
        raw += '\0';  // filter: none
        const uint8_t* row = &bgra[static_cast<size_t>(y) * width * 4];
        for (int x = 0; x < width; ++x) {
            raw += static_cast<char>(row[x * 4 + 2]);
            raw += static_cast<char>(row[x * 4 + 1]);
            raw += static_cast<char>(row[x * 4 + 0]);
        }
    }
    uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
    std::string packed(packedSize, '\0');
    if (compress2(reinterpret_cast<Bytef*>(&packed[0]), &packedSize, reinterpret_cast<const Bytef*>(raw.data()),
                  static_cast<uLong>(raw.size()), 6) != Z_OK)
        throw EDriverError("cannot compress the screenshot");
    packed.resize(packedSize);

    std::string header;
    for (uint32_t v : {static_cast<uint32_t>(width), static_cast<uint32_t>(height)})
        for (int shift = 24; shift >= 0; shift -= 8) header += static_cast<char>((v >> shift) & 0xFF);
    header += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB, no interlace

    std::string png("\x89PNG\r\n\x1a\n", 8);
    AppendChunk(png, "IHDR", header);
    AppendChunk(png, "IDAT", packed);
    AppendChunk(png, "IEND", "");
    return png;
}

}  // namespace

HWND TGuiDriver::FindTopWindow(const std::string& title) {
    for (HWND h : TopWindows()) {
        RECT r = {};
        if (IsWindowVisible(h) && GetWindowRect(h, &r) && !IsRectEmpty(&r) && Text(h) == title) return h;
    }
    return nullptr;
}

HWND TGuiDriver::WaitWindow(const std::string& title, DWORD timeoutMs) {
    HWND found = nullptr;
    if (!PollUntil(timeoutMs, [&] { return (found = FindTopWindow(title)) != nullptr; }))
        throw EDriverError("no window titled " + Quoted(title) + " within " + std::to_string(timeoutMs) + " ms");
    return found;
}

void TGuiDriver::WaitGone(const std::string& title, DWORD timeoutMs) {
    auto gone = [&] {
        for (HWND h : TopWindows())
            if (Text(h) == title) return false;
        return true;
    };
    if (!PollUntil(timeoutMs, gone))
        throw EDriverError("window " + Quoted(title) + " still open after " + std::to_string(timeoutMs) + " ms");
}

HWND TGuiDriver::Control(HWND top, const std::string& selector) {
    if (selector == ".") return top;
    const bool byId = selector.size() > 1 && selector[0] == '#';
    const int id = byId ? std::atoi(selector.c_str() + 1) : 0;
    std::string names;
    for (HWND h : Descendants(top)) {
        const std::string name = ControlName(h);
        if (byId ? GetDlgCtrlID(h) == id : name == selector) return h;
        if (!name.empty()) names += " " + name;
    }
    throw EDriverError("no control " + Quoted(selector) + " in " + Quoted(Text(top)) + "; named controls:" +
                       (names.empty() ? " none" : names));
}

std::vector<TControlInfo> TGuiDriver::Controls(HWND top) {
    std::vector<TControlInfo> all;
    for (HWND h : Descendants(top)) all.push_back(Describe(h));
    return all;
}

TControlInfo TGuiDriver::Describe(HWND window) {
    TControlInfo info;
    info.Handle = window;
    info.Name = ControlName(window);
    info.ClassName = WindowClass(window);
    info.Text = Text(window);
    info.Id = GetDlgCtrlID(window);
    RECT r = {};
    GetWindowRect(window, &r);
    info.Width = r.right - r.left;
    info.Height = r.bottom - r.top;
    HWND parent = (GetWindowLongA(window, GWL_STYLE) & WS_CHILD) ? GetParent(window) : nullptr;
    if (parent != nullptr) MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    info.Left = r.left;
    info.Top = r.top;
    info.Visible = (GetWindowLongA(window, GWL_STYLE) & WS_VISIBLE) != 0;
    info.Enabled = IsWindowEnabled(window) != FALSE;
    return info;
}

std::string TGuiDriver::Text(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &length))
        return "";
    std::string buf(length + 1, '\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(&buf[0]), SMTO_ABORTIFHUNG,
                             kSendTimeoutMs, &copied))
        return "";
    buf.resize(copied < buf.size() ? copied : buf.size() - 1);
    return buf;
}

void TGuiDriver::Click(HWND button) {
    if (!PostMessageA(button, BM_CLICK, 0, 0)) throw EDriverError("cannot post a click");
}

void TGuiDriver::PostClose(HWND window) {
    if (!PostMessageA(window, WM_CLOSE, 0, 0)) throw EDriverError("cannot post WM_CLOSE");
}

HWND TGuiDriver::Focus(HWND top) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(top, nullptr), &info)) return nullptr;
    return info.hwndFocus;
}

void TGuiDriver::PressKey(HWND top, UINT virtualKey) {
    // A window just shown gets its focus a moment later; a user types once it has.
    HWND target = nullptr;
    if (!PollUntil(kSendTimeoutMs, [&] { return (target = Focus(top)) != nullptr; }))
        throw EDriverError("nothing has the keyboard focus in " + Quoted(Text(top)));
    // Repeat count 1 and the scan code; the release also has the previous
    // state and transition bits.
    const LPARAM scan = static_cast<LPARAM>(MapVirtualKeyA(virtualKey, MAPVK_VK_TO_VSC)) << 16;
    if (!PostMessageA(target, WM_KEYDOWN, virtualKey, scan | 1) ||
        !PostMessageA(target, WM_KEYUP, virtualKey, scan | 1 | (LPARAM{3} << 30)))
        throw EDriverError("cannot post the key");
}

UINT TGuiDriver::KeyCode(const std::string& name) {
    static const struct {
        const char* name;
        UINT code;
    } kKeys[] = {{"Return", VK_RETURN}, {"Space", VK_SPACE}, {"Tab", VK_TAB}, {"Escape", VK_ESCAPE}};
    for (const auto& k : kKeys)
        if (lstrcmpiA(k.name, name.c_str()) == 0) return k.code;
    throw EDriverError("unknown key " + Quoted(name));
}

HWND TGuiDriver::TaskbarWindow(HWND window) {
    // GetParent (and so GA_ROOTOWNER) gives the owner of pop-ups only; the
    // shell goes by the owner whatever the style.
    HWND h = window;
    if (!(GetWindowLongA(h, GWL_EXSTYLE) & WS_EX_APPWINDOW))
        for (HWND owner; (owner = GetWindow(h, GW_OWNER)) != nullptr;) h = owner;
    const LONG ex = GetWindowLongA(h, GWL_EXSTYLE);
    if (!IsWindowVisible(h) || ((ex & WS_EX_TOOLWINDOW) && !(ex & WS_EX_APPWINDOW))) return nullptr;
    return h;
}

std::string TGuiDriver::AccessibleName(HWND window) {
    // Loaded, not imported: a test in this process can then tell whether the
    // program under test loaded it.
    static HMODULE oleacc = LoadLibraryA("oleacc.dll");
    FARPROC proc = oleacc == nullptr ? nullptr : GetProcAddress(oleacc, "AccessibleObjectFromWindow");
    const auto fromWindow = reinterpret_cast<decltype(&AccessibleObjectFromWindow)>(reinterpret_cast<void*>(proc));
    if (fromWindow == nullptr) throw EDriverError("oleacc.dll has no AccessibleObjectFromWindow");
    const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    struct TUninit {
        bool on;
        ~TUninit() {
            if (on) CoUninitialize();
        }
    } uninit{SUCCEEDED(init)};
    IAccessible* object = nullptr;
    HRESULT hr = fromWindow(window, static_cast<DWORD>(OBJID_CLIENT), __uuidof(IAccessible),
                            reinterpret_cast<void**>(&object));
    if (FAILED(hr) || object == nullptr)
        throw EDriverError("no accessible object for " + Quoted(Text(window)) + " (error " + std::to_string(hr) + ")");
    VARIANT self;
    VariantInit(&self);
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    BSTR name = nullptr;
    hr = object->get_accName(self, &name);
    object->Release();
    if (FAILED(hr)) throw EDriverError("get_accName failed (error " + std::to_string(hr) + ")");
    std::string text;
    if (name != nullptr) {
        const int length = static_cast<int>(SysStringLen(name));
        const int n = WideCharToMultiByte(CP_ACP, 0, name, length, nullptr, 0, nullptr, nullptr);
        text.resize(static_cast<size_t>(n > 0 ? n : 0));
        if (n > 0) WideCharToMultiByte(CP_ACP, 0, name, length, &text[0], n, nullptr, nullptr);
        SysFreeString(name);
    }
    return text;
}

std::vector<TMessageBox> TGuiDriver::MessageBoxes() {
    std::vector<TMessageBox> boxes;
    for (HWND h : TopWindows()) {
        if (!IsWindowVisible(h) || WindowClass(h) != "#32770") continue;
        HWND textControl = GetDlgItem(h, kMessageBoxTextId);
        if (textControl == nullptr) continue;
        boxes.push_back(TMessageBox{h, Text(h), Text(textControl)});
    }
    return boxes;
}

TMessageBox TGuiDriver::WaitMessageBox(const std::string& text, const std::string& title, DWORD timeoutMs) {
    TMessageBox found;
    auto ready = [&] {
        for (const TMessageBox& box : MessageBoxes()) {
            if (box.Text == text && (title.empty() || box.Title == title)) {
                found = box;
                return true;
            }
        }
        return false;
    };
    if (PollUntil(timeoutMs, ready)) return found;
    std::string open;
    for (const TMessageBox& box : MessageBoxes()) open += "\n  [" + box.Title + "] " + box.Text;
    throw EDriverError("no message box " + (title.empty() ? "" : "titled " + Quoted(title) + " ") + "with text " +
                       Quoted(text) + " within " + std::to_string(timeoutMs) + " ms; open boxes:" +
                       (open.empty() ? " none" : open));
}

void TGuiDriver::Answer(const TMessageBox& box, int buttonId, DWORD timeoutMs) {
    if (GetDlgItem(box.Handle, buttonId) == nullptr)
        throw EDriverError("message box " + Quoted(box.Text) + " has no button " + std::to_string(buttonId));
    if (!PostMessageA(box.Handle, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED),
                      reinterpret_cast<LPARAM>(GetDlgItem(box.Handle, buttonId))))
        throw EDriverError("cannot answer the message box");
    // A box asked the same question next must not be mistaken for this one.
    if (!PollUntil(timeoutMs, [&] { return !IsWindow(box.Handle) || !IsWindowVisible(box.Handle); }))
        throw EDriverError("message box " + Quoted(box.Text) + " did not close");
}

int TGuiDriver::ButtonId(const std::string& name) {
    static const struct {
        const char* name;
        int id;
    } kButtons[] = {{"OK", IDOK},       {"Cancel", IDCANCEL}, {"Abort", IDABORT}, {"Retry", IDRETRY},
                    {"Ignore", IDIGNORE}, {"Yes", IDYES},      {"No", IDNO},       {"Close", IDCLOSE}};
    for (const auto& b : kButtons)
        if (lstrcmpiA(b.name, name.c_str()) == 0) return b.id;
    char* end = nullptr;
    long id = std::strtol(name.c_str(), &end, 10);
    if (name.empty() || *end != '\0' || id <= 0) throw EDriverError("unknown button " + Quoted(name));
    return static_cast<int>(id);
}

std::string TGuiDriver::Clipboard() {
    // Another program (the one under test) may hold it for a moment.
    if (!PollUntil(2000, [] { return OpenClipboard(nullptr) != FALSE; }))
        throw EDriverError("cannot open the clipboard");
    std::string text;
    HANDLE data = GetClipboardData(CF_TEXT);
    if (data != nullptr) {
        const char* p = static_cast<const char*>(GlobalLock(data));
        if (p != nullptr) {
            text.assign(p, strnlen(p, GlobalSize(data)));
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return text;
}

void TGuiDriver::SetClipboard(const std::string& text) {
    // A clipboard owner window is needed for SetClipboardData to succeed.
    HWND owner = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    bool opened = PollUntil(2000, [&] { return OpenClipboard(owner) != FALSE; });
    bool ok = false;
    if (opened) {
        EmptyClipboard();
        HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
        if (mem != nullptr) {
            memcpy(GlobalLock(mem), text.c_str(), text.size() + 1);
            GlobalUnlock(mem);
            ok = SetClipboardData(CF_TEXT, mem) != nullptr;
            if (!ok) GlobalFree(mem);
        }
        CloseClipboard();
    }
    if (owner != nullptr) DestroyWindow(owner);
    if (!ok) throw EDriverError("cannot set the clipboard");
}

namespace {
// The screen (or the part of it the window covers) as 32-bit top-down pixels.
std::vector<uint8_t> Capture(HWND window, int& width, int& height) {
    RECT area = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (window != nullptr) {
        RECT r;
        if (!GetWindowRect(window, &r)) throw EDriverError("no such window for the screenshot");
        IntersectRect(&area, &area, &r);
    }
    width = area.right - area.left, height = area.bottom - area.top;
    if (width <= 0 || height <= 0) throw EDriverError("the window is off the screen");

    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    HBITMAP bmp = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(mem, bmp);
    BOOL copied = BitBlt(mem, 0, 0, width, height, screen, area.left, area.top, SRCCOPY | CAPTUREBLT);
    SelectObject(mem, old);

    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;  // top-down rows
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
    int rows = GetDIBits(mem, bmp, 0, height, pixels.data(), &bi, DIB_RGB_COLORS);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    if (!copied || rows != height) throw EDriverError("cannot capture the screen");
    return pixels;
}
}  // namespace

void TGuiDriver::WaitSettled(HWND window, DWORD timeoutMs) {
    // A window just shown is painted, and its picture reaches the screen, a
    // moment later and not always at once: settled is nothing left to paint
    // in it, and two captures a quarter second apart that are the same.
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    auto painted = [window] {
        if (GetUpdateRect(window, nullptr, FALSE)) return false;
        for (HWND h : Descendants(window))
            if (IsWindowVisible(h) && GetUpdateRect(h, nullptr, FALSE)) return false;
        return true;
    };
    int w = 0, h = 0, w2 = 0, h2 = 0;
    std::vector<uint8_t> last = Capture(window, w, h);
    for (;;) {
        Sleep(250);
        std::vector<uint8_t> now = Capture(window, w2, h2);
        if (w2 == w && h2 == h && now == last && painted()) return;
        if (GetTickCount64() >= end) throw EDriverError("the window's picture did not settle within " +
                                                        std::to_string(timeoutMs) + " ms");
        last.swap(now);
        w = w2, h = h2;
    }
}

void TGuiDriver::Screenshot(const std::string& path, HWND window) {
    int width = 0, height = 0;
    const std::vector<uint8_t> pixels = Capture(window, width, height);
    const std::string png = EncodePng(width, height, pixels);
    FILE* f = std::fopen(path.c_str(), "wb");
    bool written = f != nullptr && std::fwrite(png.data(), 1, png.size(), f) == png.size();
    if (f != nullptr && std::fclose(f) != 0) written = false;
    if (!written) throw EDriverError("cannot write " + Quoted(path));
}
