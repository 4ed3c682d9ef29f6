#include "elevate/IniEdit.h"

#include <vector>

#include "fileutil/Errors.h"

namespace {

// One line: its text is bytes[start, textEnd), its line end [textEnd, end).
struct TLine {
    size_t start, textEnd, end;
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

class TIniFile {
public:
    explicit TIniFile(const std::string& bytes) : bytes_(bytes) {
        std::string why = IniRefusal(bytes);
        if (!why.empty()) throw EError(why);
        size_t pos = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
        while (pos < bytes.size()) {
            size_t textEnd = bytes.find_first_of("\r\n", pos);
            if (textEnd == std::string::npos) {
                lines_.push_back({pos, bytes.size(), bytes.size()});
                break;
            }
            size_t end = textEnd + 1;
            if (bytes[textEnd] == '\r' && end < bytes.size() && bytes[end] == '\n') ++end;
            lines_.push_back({pos, textEnd, end});
            if (eol_.empty()) eol_ = bytes.substr(textEnd, end - textEnd);
            pos = end;
        }
        if (eol_.empty()) eol_ = "\r\n";
    }

    std::string Text(size_t i) const { return bytes_.substr(lines_[i].start, lines_[i].textEnd - lines_[i].start); }

    // Whether line i is a section's header, and its name.
    bool IsSection(size_t i, std::string* name = nullptr) const {
        std::string t = Trim(Text(i));
        size_t close = t.find(']');
        if (t.empty() || t[0] != '[' || close == std::string::npos) return false;
        if (name) *name = Trim(t.substr(1, close - 1));
        return true;
    }

    // The header line of the first section of that name, or npos.
    size_t FindSection(const std::string& section) const {
        std::string name;
        for (size_t i = 0; i < lines_.size(); ++i)
            if (IsSection(i, &name) && SameName(name, section)) return i;
        return std::string::npos;
    }

    // The line after the last line of the section headed at line header.
    size_t SectionEnd(size_t header) const {
        size_t i = header + 1;
        while (i < lines_.size() && !IsSection(i)) ++i;
        return i;
    }

    // The first line of the section that holds key, or npos.
    size_t FindKey(size_t header, const std::string& key) const {
        for (size_t i = header + 1, end = SectionEnd(header); i < end; ++i)
            if (SameName(KeyName(i), key)) return i;
        return std::string::npos;
    }

    std::string KeyName(size_t i) const {
        std::string t = Text(i);
        return Trim(t.substr(0, t.find('=')));
    }

    std::string Value(size_t i) const {
        std::string t = Text(i);
        size_t eq = t.find('=');
        if (eq == std::string::npos) return "";
        std::string v = Trim(t.substr(eq + 1));
        if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0]) v = v.substr(1, v.size() - 2);
        return v;
    }

    size_t Count() const { return lines_.size(); }
    const TLine& Line(size_t i) const { return lines_[i]; }
    const std::string& Eol() const { return eol_; }
    const std::string& Bytes() const { return bytes_; }

private:
    const std::string& bytes_;
    std::vector<TLine> lines_;
    std::string eol_;
};

TIniResult Changed(std::string bytes) { return {std::move(bytes), true}; }

}  // namespace

std::string IniRefusal(const std::string& bytes) {
    if (bytes.size() > IniMaxSize) return "Stirpello.ini is larger than 1 MiB";
    if (bytes.size() >= 2 && ((bytes[0] == '\xFF' && bytes[1] == '\xFE') || (bytes[0] == '\xFE' && bytes[1] == '\xFF')))
        return "Stirpello.ini is a UTF-16 file";
    if (bytes.find('\0') != std::string::npos) return "Stirpello.ini holds a NUL byte";
    return "";
}

bool IniReadValue(const std::string& bytes, const std::string& section, const std::string& key, std::string* value) {
    TIniFile f(bytes);
    size_t header = f.FindSection(section);
    size_t line = header == std::string::npos ? header : f.FindKey(header, key);
    if (line == std::string::npos) return false;
    *value = f.Value(line);
    return true;
}

TIniResult IniSetKey(const std::string& bytes, const std::string& section, const std::string& key,
                     const std::string& value) {
    TIniFile f(bytes);
    size_t header = f.FindSection(section);
    if (header == std::string::npos) {
        std::string out = bytes;
        if (!out.empty() && out.back() != '\n' && out.back() != '\r' && f.Count() > 0) out += f.Eol();
        return Changed(out + "[" + section + "]" + f.Eol() + key + "=" + value + f.Eol());
    }
    size_t line = f.FindKey(header, key);
    if (line != std::string::npos) {
        std::string t = f.Text(line);
        // Already so: nothing to write (the profile functions would still
        // rewrite " key = value " as "key=value").
        if (t.find('=') != std::string::npos && Trim(t.substr(t.find('=') + 1)) == value) return {bytes, false};
        const TLine& l = f.Line(line);
        std::string out = bytes.substr(0, l.start) + f.KeyName(line) + "=" + value + bytes.substr(l.textEnd);
        return Changed(out);
    }
    size_t last = header;
    for (size_t i = header + 1, end = f.SectionEnd(header); i < end; ++i)
        if (!Trim(f.Text(i)).empty()) last = i;
    const TLine& l = f.Line(last);
    std::string out = bytes.substr(0, l.end);
    if (l.end == l.textEnd) out += f.Eol();
    out += key + "=" + value + f.Eol();
    out += bytes.substr(l.end);
    return Changed(out);
}

TIniResult IniDeleteKey(const std::string& bytes, const std::string& section, const std::string& key) {
    TIniFile f(bytes);
    size_t header = f.FindSection(section);
    size_t line = header == std::string::npos ? header : f.FindKey(header, key);
    if (line == std::string::npos) return {bytes, false};
    const TLine& l = f.Line(line);
    return Changed(bytes.substr(0, l.start) + bytes.substr(l.end));
}

TIniResult RemovePostponingKeys(const std::string& bytes) {
    TIniResult r{bytes, false};
    for (const char* key : {"CheckOnOrAfterDate", "NotifyAfterUpdateTo"}) {
        std::string value;
        if (!IniReadValue(r.bytes, "Updates", key, &value) || value.empty()) continue;
        TIniResult next = IniDeleteKey(r.bytes, "Updates", key);
        r.bytes = std::move(next.bytes);
        r.changed = r.changed || next.changed;
    }
    return r;
}

TIniResult SetNotifyForAnyUpdate(const std::string& bytes) {
    return IniSetKey(bytes, "Internet Connection", "notifyForAnyUpdate", "TRUE");
}

TIniResult SetWantsUpdate(const std::string& bytes, bool wantsUpdate) {
    return IniSetKey(bytes, "Internet Connection", "wantsUpdate", wantsUpdate ? "TRUE" : "FALSE");
}
