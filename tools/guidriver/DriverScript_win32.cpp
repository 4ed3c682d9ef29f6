#include "tools/guidriver/DriverScript_win32.h"

#include <cstdlib>
#include <istream>
#include <ostream>
#include <vector>

#include "tools/guidriver/GuiDriver_win32.h"

namespace {

std::string Quote(const std::string& s) { return "\"" + TDriverScript::Escaped(s) + "\""; }

int ToInt(const std::string& word) {
    char* end = nullptr;
    long v = std::strtol(word.c_str(), &end, 10);
    if (word.empty() || *end != '\0') throw EDriverError("not a number: " + Quote(word));
    return static_cast<int>(v);
}

bool ToFlag(const std::string& word) {
    if (word == "yes") return true;
    if (word == "no") return false;
    throw EDriverError("expected yes or no, not " + Quote(word));
}

// One argument of a Windows command line, quoted so that the C runtime of
// the started program reads it back unchanged.
std::string CommandLineArg(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

std::string DriverDir() {
    char buf[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
    std::string s(buf, n);
    return s.substr(0, s.find_last_of('\\') + 1);
}

bool IsRelative(const std::string& path) {
    return !(path.size() > 1 && (path[1] == ':' || path[0] == '\\' || path[0] == '/'));
}

void Need(const std::vector<std::string>& words, size_t least, size_t most) {
    if (words.size() - 1 < least || words.size() - 1 > most)
        throw EDriverError("wrong number of words for " + words[0] + " (see --help)");
}

// The linked token of this (elevated) process as a primary token: what UAC
// gives an administrator's programs that do not ask for more.
TKernelHandle LimitedToken() {
    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own))
        throw EDriverError("cannot read the driver's token (error " + std::to_string(GetLastError()) + ")");
    TKernelHandle ownToken(own);
    TOKEN_LINKED_TOKEN linked{};
    DWORD got = 0;
    if (!GetTokenInformation(own, TokenLinkedToken, &linked, sizeof linked, &got) || !linked.LinkedToken)
        throw EDriverError("no limited token (error " + std::to_string(GetLastError()) + ")");
    TKernelHandle linkedToken(linked.LinkedToken);
    HANDLE primary = nullptr;
    if (!DuplicateTokenEx(linked.LinkedToken, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary,
                          &primary))
        throw EDriverError("cannot make a primary token (error " + std::to_string(GetLastError()) + ")");
    return TKernelHandle(primary);
}

int ElevationType(HANDLE process) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token))
        throw EDriverError("cannot read the program's token (error " + std::to_string(GetLastError()) + ")");
    TKernelHandle owned(token);
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD got = 0;
    if (!GetTokenInformation(token, TokenElevationType, &type, sizeof type, &got))
        throw EDriverError("cannot read the elevation type (error " + std::to_string(GetLastError()) + ")");
    return static_cast<int>(type);
}

// Whether the token of the process that owns window holds Administrators
// for allow entries: "" when it does not (absent, or for deny entries only,
// as in a limited or restricted token), else what it holds.
std::string AdministratorsOfWindow(HWND window, DWORD startedPid) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == startedPid) return "the window belongs to the started process itself";
    TKernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    HANDLE token = nullptr;
    if (!process || !OpenProcessToken(process.get(), TOKEN_QUERY, &token))
        throw EDriverError("cannot read the window's token (error " + std::to_string(GetLastError()) + ")");
    TKernelHandle owned(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
    std::vector<uint64_t> buffer(size / 8 + 1);
    if (!GetTokenInformation(token, TokenGroups, buffer.data(), static_cast<DWORD>(buffer.size() * 8), &size))
        throw EDriverError("cannot read the window's groups (error " + std::to_string(GetLastError()) + ")");
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD adminsSize = sizeof admins;
    CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &adminsSize);
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i)
        if (EqualSid(groups->Groups[i].Sid, admins) && (groups->Groups[i].Attributes & SE_GROUP_ENABLED) &&
            !(groups->Groups[i].Attributes & SE_GROUP_USE_FOR_DENY_ONLY))
            return "the window's process holds Administrators";
    return std::string();
}

}  // namespace

TDriverScript::TDriverScript(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

const char* TDriverScript::Usage() {
    return "Commands (TIMEOUT in ms, default 10000 or the last `timeout`):\n"
           "  start PROGRAM [ARG...]        start a program (a relative PROGRAM is looked up beside\n"
           "                                the driver first); `exited` waits for it\n"
           "  start-limited PROGRAM [ARG...]   the same with the user's limited token, as Windows\n"
           "                                starts a program for an administrator under UAC\n"
           "  expect-limited                the started program still runs with a limited token\n"
           "  expect-window-unprivileged    the current window belongs to another process than the\n"
           "                                started one, whose token holds Administrators for deny\n"
           "                                entries only (or not at all)\n"
           "  cd FOLDER                     working folder for the programs started next\n"
           "  timeout MS                    default wait of the commands below\n"
           "  window TITLE [TIMEOUT]        wait for a visible window titled TITLE; it becomes current\n"
           "  gone [TITLE] [TIMEOUT]        wait until no window has that title (default: current)\n"
           "  exited [CODE] [TIMEOUT]       wait for the started program to end; check its exit code\n"
           "  text CTRL                     print a control's text\n"
           "  expect-text CTRL TEXT [WAIT]  the control's text is exactly TEXT\n"
           "  expect-at-least CTRL N [WAIT]  the number the control's text begins with is N or\n"
           "                                more (a progress bar's \"40%\")\n"
           "  expect-rect CTRL L T W H [WAIT]   position in the parent's client area, and size\n"
           "                                (CTRL \".\" is the window itself, on the screen)\n"
           "  expect-visible CTRL yes|no [WAIT]\n"
           "  expect-enabled CTRL yes|no [WAIT]\n"
           "                                WAIT (ms, default 0): keep checking that long\n"
           "  click CTRL                    press a button (posted: a box it opens does not block)\n"
           "  mouse-down CTRL               post a left button press at the control's centre, as\n"
           "                                the mouse would queue it (no release follows)\n"
           "  expect-pushed CTRL yes|no     the button is (not) held down; asked with a 1 s time-out\n"
           "  key KEY                       post a press and release of KEY (Return Space Tab Escape)\n"
           "                                to the control with the keyboard focus\n"
           "  expect-focus CTRL [WAIT]      the control has the keyboard focus\n"
           "  expect-accname CTRL TEXT [WAIT]   the name a screen reader gets for the control (\"\" none)\n"
           "  expect-taskbar TEXT           the task-bar button that stands for the current window\n"
           "                                belongs to a window titled TEXT\n"
           "  ping [TIMEOUT]                the current window answers a sent WM_NULL in time\n"
           "  answer TEXT BUTTON [TITLE] [TIMEOUT]\n"
           "                                wait for a message box whose text is TEXT and press\n"
           "                                BUTTON (OK Cancel Yes No Abort Retry Ignore or an id)\n"
           "  expect-clipboard TEXT [TIMEOUT]   wait until the clipboard holds exactly TEXT\n"
           "  clipboard                     print the clipboard text\n"
           "  set-clipboard TEXT\n"
           "  close                         ask the current window to close\n"
           "  dump                          print every control of the current window\n"
           "  screenshot FILE.png [window]  save the screen (or the current window) as PNG\n"
           "  settled [TIMEOUT]             wait until the current window's picture stops changing\n"
           "                                (two captures a quarter second apart are the same)\n"
           "  sleep MS\n"
           "  echo TEXT...\n"
           "CTRL is a control's designer name (Button1) or #ID.\n";
}

std::vector<std::string> TDriverScript::Split(const std::string& line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        if (i >= line.size()) break;
        std::string word;
        if (line[i] == '"') {
            ++i;
            bool closed = false;
            while (i < line.size()) {
                char c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < line.size()) {
                    char e = line[i++];
                    switch (e) {
                    case 'n': word += '\n'; break;
                    case 'r': word += '\r'; break;
                    case 't': word += '\t'; break;
                    default: word += e; break;
                    }
                } else {
                    word += c;
                }
            }
            if (!closed) throw EDriverError("unterminated quote");
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') word += line[i++];
        }
        words.push_back(word);
    }
    return words;
}

std::string TDriverScript::Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        default: out += c; break;
        }
    }
    return out;
}

bool TDriverScript::Run(std::istream& in, const std::string& source) {
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        try {
            std::vector<std::string> words = Split(line);
            if (words.empty() || words[0][0] == '#') continue;
            Execute(words);
        } catch (const std::exception& e) {
            err_ << source << ":" << number << ": " << e.what() << std::endl;
            return false;
        }
    }
    return true;
}

HWND TDriverScript::Current() const {
    if (window_ == nullptr || !IsWindow(window_)) throw EDriverError("no current window (use `window TITLE`)");
    return window_;
}

// GUIDRIVER_TIME_SCALE=N (1 to 20) stretches every wait N times, for a
// machine that runs the programs several times slower (the 32-bit lane's
// emulated guest) without touching the scripts.
static DWORD Scaled(DWORD ms) {
    static const DWORD scale = [] {
        char text[8] = {};
        DWORD n = GetEnvironmentVariableA("GUIDRIVER_TIME_SCALE", text, sizeof text);
        int v = n > 0 && n < sizeof text ? atoi(text) : 1;
        return static_cast<DWORD>(v >= 1 && v <= 20 ? v : 1);
    }();
    return ms * scale;
}

DWORD TDriverScript::Wait(const std::vector<std::string>& words, size_t index) const {
    return Scaled(index < words.size() ? static_cast<DWORD>(ToInt(words[index])) : 0);
}

void TDriverScript::Expect(DWORD waitMs, const std::function<std::string()>& check) const {
    const ULONGLONG end = GetTickCount64() + waitMs;
    for (;;) {
        const std::string failure = check();
        if (failure.empty()) return;
        if (GetTickCount64() >= end) throw EDriverError(failure);
        Sleep(20);
    }
}

DWORD TDriverScript::Timeout(const std::vector<std::string>& words, size_t index) const {
    return Scaled(index < words.size() ? static_cast<DWORD>(ToInt(words[index])) : timeoutMs_);
}

void TDriverScript::Execute(const std::vector<std::string>& w) {
    const std::string& cmd = w.at(0);
    if (cmd == "start" || cmd == "start-limited") {
        Need(w, 1, 64);
        std::string program = w[1];
        if (IsRelative(program) && GetFileAttributesA((DriverDir() + program).c_str()) != INVALID_FILE_ATTRIBUTES)
            program = DriverDir() + program;
        std::string commandLine = CommandLineArg(program);
        for (size_t i = 2; i < w.size(); ++i) commandLine += " " + CommandLineArg(w[i]);
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        // No standard handles: Wine would otherwise hand ours on, and whoever
        // reads our output would wait for the started program to end too.
        si.dwFlags = STARTF_USESTDHANDLES;
        PROCESS_INFORMATION pi = {};
        TKernelHandle limited;
        if (cmd == "start-limited") limited = LimitedToken();
        const BOOL started =
            limited ? CreateProcessAsUserA(limited.get(), program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0,
                                           nullptr, workDir_.empty() ? nullptr : workDir_.c_str(), &si, &pi)
                    : CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                                     workDir_.empty() ? nullptr : workDir_.c_str(), &si, &pi);
        if (!started)
            throw EDriverError("cannot start " + Quote(program) + " (error " + std::to_string(GetLastError()) + ")");
        CloseHandle(pi.hThread);
        process_.reset(pi.hProcess);
    } else if (cmd == "expect-limited") {
        Need(w, 0, 0);
        if (!process_) throw EDriverError("no program was started");
        const int type = ElevationType(process_.get());
        if (type != TokenElevationTypeLimited)
            throw EDriverError("the program's token is of elevation type " + std::to_string(type) + ", not limited");
        out_ << "limited" << std::endl;
    } else if (cmd == "expect-window-unprivileged") {
        Need(w, 0, 0);
        if (!process_) throw EDriverError("no program was started");
        const std::string held = AdministratorsOfWindow(Current(), GetProcessId(process_.get()));
        if (!held.empty()) throw EDriverError(held);
        out_ << "unprivileged" << std::endl;
    } else if (cmd == "cd") {
        Need(w, 1, 1);
        workDir_ = w[1];
    } else if (cmd == "timeout") {
        Need(w, 1, 1);
        timeoutMs_ = static_cast<DWORD>(ToInt(w[1]));
    } else if (cmd == "window") {
        Need(w, 1, 2);
        window_ = TGuiDriver::WaitWindow(w[1], Timeout(w, 2));
        windowTitle_ = w[1];
    } else if (cmd == "gone") {
        Need(w, 0, 2);
        TGuiDriver::WaitGone(w.size() > 1 ? w[1] : windowTitle_, Timeout(w, 2));
    } else if (cmd == "exited") {
        Need(w, 0, 2);
        if (!process_) throw EDriverError("no program was started");
        const DWORD wait = Timeout(w, 2);
        if (WaitForSingleObject(process_.get(), wait) != WAIT_OBJECT_0)
            throw EDriverError("the program is still running after " + std::to_string(wait) + " ms");
        DWORD code = 0;
        GetExitCodeProcess(process_.get(), &code);
        if (w.size() > 1 && static_cast<DWORD>(ToInt(w[1])) != code)
            throw EDriverError("exit code " + std::to_string(code) + ", expected " + w[1]);
    } else if (cmd == "text") {
        Need(w, 1, 1);
        out_ << TGuiDriver::Text(TGuiDriver::Control(Current(), w[1])) << std::endl;
    } else if (cmd == "expect-text") {
        Need(w, 2, 3);
        Expect(Wait(w, 3), [&]() -> std::string {
            const std::string actual = TGuiDriver::Text(TGuiDriver::Control(Current(), w[1]));
            return actual == w[2] ? "" : w[1] + ": expected text " + Quote(w[2]) + ", found " + Quote(actual);
        });
    } else if (cmd == "expect-at-least") {
        Need(w, 2, 3);
        const long want = ToInt(w[2]);
        Expect(Wait(w, 3), [&]() -> std::string {
            const std::string actual = TGuiDriver::Text(TGuiDriver::Control(Current(), w[1]));
            char* end = nullptr;
            const long n = std::strtol(actual.c_str(), &end, 10);
            if (end != actual.c_str() && n >= want) return "";
            return w[1] + ": expected a number of at least " + w[2] + ", found " + Quote(actual);
        });
    } else if (cmd == "expect-rect") {
        Need(w, 5, 6);
        const int want[4] = {ToInt(w[2]), ToInt(w[3]), ToInt(w[4]), ToInt(w[5])};
        Expect(Wait(w, 6), [&]() -> std::string {
            const TControlInfo c = TGuiDriver::Describe(TGuiDriver::Control(Current(), w[1]));
            if (c.Left == want[0] && c.Top == want[1] && c.Width == want[2] && c.Height == want[3]) return "";
            return w[1] + ": expected " + w[2] + "," + w[3] + " " + w[4] + "x" + w[5] + ", found " +
                   std::to_string(c.Left) + "," + std::to_string(c.Top) + " " + std::to_string(c.Width) + "x" +
                   std::to_string(c.Height);
        });
    } else if (cmd == "expect-visible" || cmd == "expect-enabled") {
        Need(w, 2, 3);
        const bool want = ToFlag(w[2]);
        const bool visibility = cmd == "expect-visible";
        Expect(Wait(w, 3), [&]() -> std::string {
            const TControlInfo c = TGuiDriver::Describe(TGuiDriver::Control(Current(), w[1]));
            const bool actual = visibility ? c.Visible : c.Enabled;
            if (actual == want) return "";
            return w[1] + " is " + (visibility ? (actual ? "visible" : "hidden") : (actual ? "enabled" : "disabled"));
        });
    } else if (cmd == "click") {
        Need(w, 1, 1);
        TGuiDriver::Click(TGuiDriver::Control(Current(), w[1]));
    } else if (cmd == "mouse-down") {
        Need(w, 1, 1);
        HWND control = TGuiDriver::Control(Current(), w[1]);
        RECT r = {};
        GetClientRect(control, &r);
        if (!PostMessageA(control, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(r.right / 2, r.bottom / 2)))
            throw EDriverError("cannot post a button press");
    } else if (cmd == "expect-pushed") {
        Need(w, 2, 2);
        DWORD_PTR state = 0;
        if (!SendMessageTimeoutA(TGuiDriver::Control(Current(), w[1]), BM_GETSTATE, 0, 0, SMTO_NORMAL, 1000,
                                 &state))
            throw EDriverError(w[1] + " did not answer within 1000 ms");
        const bool pushed = (state & BST_PUSHED) != 0;
        if (pushed != ToFlag(w[2])) throw EDriverError(w[1] + (pushed ? " is held down" : " is not held down"));
    } else if (cmd == "key") {
        Need(w, 1, 1);
        TGuiDriver::PressKey(Current(), TGuiDriver::KeyCode(w[1]));
    } else if (cmd == "expect-focus") {
        Need(w, 1, 2);
        Expect(Wait(w, 2), [&]() -> std::string {
            const HWND want = TGuiDriver::Control(Current(), w[1]);
            const HWND focus = TGuiDriver::Focus(Current());
            if (focus == want) return "";
            if (focus == nullptr) return w[1] + " does not have the focus; nothing has";
            const TControlInfo c = TGuiDriver::Describe(focus);
            return w[1] + " does not have the focus; " + (c.Name.empty() ? c.ClassName + " " + Quote(c.Text) : c.Name) +
                   " has";
        });
    } else if (cmd == "expect-accname") {
        Need(w, 2, 3);
        Expect(Wait(w, 3), [&]() -> std::string {
            const std::string actual = TGuiDriver::AccessibleName(TGuiDriver::Control(Current(), w[1]));
            if (actual == w[2]) return "";
            return w[1] + ": expected accessible name " + Quote(w[2]) + ", found " + Quote(actual);
        });
    } else if (cmd == "expect-taskbar") {
        Need(w, 1, 1);
        const HWND button = TGuiDriver::TaskbarWindow(Current());
        if (button == nullptr) throw EDriverError("no task-bar button stands for the window");
        const std::string text = TGuiDriver::Text(button);
        if (text != w[1]) throw EDriverError("task-bar button: expected " + Quote(w[1]) + ", found " + Quote(text));
    } else if (cmd == "ping") {
        Need(w, 0, 1);
        const DWORD wait = Timeout(w, 1);
        DWORD_PTR result = 0;
        const ULONGLONG start = GetTickCount64();
        if (!SendMessageTimeoutA(Current(), WM_NULL, 0, 0, SMTO_NORMAL, wait, &result))
            throw EDriverError("the window did not answer WM_NULL within " + std::to_string(wait) + " ms");
        out_ << "ping answered in " << (GetTickCount64() - start) << " ms" << std::endl;
    } else if (cmd == "answer") {
        Need(w, 2, 4);
        const int button = TGuiDriver::ButtonId(w[2]);
        const TMessageBox box = TGuiDriver::WaitMessageBox(w[1], w.size() > 3 ? w[3] : "", Timeout(w, 4));
        TGuiDriver::Answer(box, button, Scaled(timeoutMs_));
    } else if (cmd == "expect-clipboard") {
        Need(w, 1, 2);
        std::string actual;
        const ULONGLONG end = GetTickCount64() + Timeout(w, 2);
        while ((actual = TGuiDriver::Clipboard()) != w[1]) {
            if (GetTickCount64() >= end)
                throw EDriverError("clipboard: expected " + Quote(w[1]) + ", found " + Quote(actual));
            Sleep(20);
        }
    } else if (cmd == "clipboard") {
        Need(w, 0, 0);
        out_ << TGuiDriver::Clipboard() << std::endl;
    } else if (cmd == "set-clipboard") {
        Need(w, 1, 1);
        TGuiDriver::SetClipboard(w[1]);
    } else if (cmd == "close") {
        Need(w, 0, 0);
        TGuiDriver::PostClose(Current());
    } else if (cmd == "dump") {
        Need(w, 0, 0);
        const TControlInfo top = TGuiDriver::Describe(Current());
        out_ << "window " << Quote(top.Text) << " class " << top.ClassName << " at " << top.Left << "," << top.Top
             << " " << top.Width << "x" << top.Height << std::endl;
        for (const TControlInfo& c : TGuiDriver::Controls(Current()))
            out_ << (c.Name.empty() ? "#" + std::to_string(c.Id) : c.Name) << " " << c.ClassName << " " << c.Left
                 << "," << c.Top << " " << c.Width << "x" << c.Height << (c.Visible ? " visible" : " hidden")
                 << (c.Enabled ? "" : " disabled") << " " << Quote(c.Text) << std::endl;
    } else if (cmd == "screenshot") {
        Need(w, 1, 2);
        if (w.size() > 2 && w[2] != "window") throw EDriverError("screenshot takes FILE [window]");
        TGuiDriver::Screenshot(w[1], w.size() > 2 ? Current() : nullptr);
    } else if (cmd == "settled") {
        Need(w, 0, 1);
        TGuiDriver::WaitSettled(Current(), Timeout(w, 1));
    } else if (cmd == "sleep") {
        Need(w, 1, 1);
        Sleep(static_cast<DWORD>(ToInt(w[1])));
    } else if (cmd == "echo") {
        for (size_t i = 1; i < w.size(); ++i) out_ << (i > 1 ? " " : "") << w[i];
        out_ << std::endl;
    } else {
        throw EDriverError("unknown command " + Quote(cmd) + " (see --help)");
    }
}
