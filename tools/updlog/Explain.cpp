#include "tools/updlog/Explain.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include "tools/updlog/Json.h"

namespace {

// ---- Decoding ---------------------------------------------------------------

void AppendUtf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool ValidUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 && c >= 0xC2 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

std::string FromUtf16(const std::string& b, size_t start, bool little) {
    std::string out;
    for (size_t i = start; i + 1 < b.size(); i += 2) {
        unsigned lo = static_cast<unsigned char>(b[i]), hi = static_cast<unsigned char>(b[i + 1]);
        unsigned u = little ? lo | (hi << 8) : hi | (lo << 8);
        if (u >= 0xD800 && u < 0xDC00 && i + 3 < b.size()) {
            unsigned lo2 = static_cast<unsigned char>(b[i + 2]), hi2 = static_cast<unsigned char>(b[i + 3]);
            unsigned u2 = little ? lo2 | (hi2 << 8) : hi2 | (lo2 << 8);
            if (u2 >= 0xDC00 && u2 < 0xE000) {
                AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (u2 - 0xDC00));
                i += 2;
                continue;
            }
        }
        AppendUtf8(out, (u >= 0xD800 && u < 0xE000) ? 0xFFFD : u);
    }
    return out;
}

// Windows-1252, the ANSI code page of Western systems; bytes it leaves
// undefined keep their Latin-1 meaning.
std::string FromWindows1252(const std::string& b) {
    static const unsigned short k80[32] = {0x20AC, 0x81,   0x201A, 0x192,  0x201E, 0x2026, 0x2020, 0x2021,
                                           0x2C6,  0x2030, 0x160,  0x2039, 0x152,  0x8D,   0x17D,  0x8F,
                                           0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                           0x2DC,  0x2122, 0x161,  0x203A, 0x153,  0x9D,   0x17E,  0x178};
    std::string out;
    for (char ch : b) {
        unsigned c = static_cast<unsigned char>(ch);
        AppendUtf8(out, c >= 0x80 && c < 0xA0 ? k80[c - 0x80] : c);
    }
    return out;
}

// Word, mail programs and phones retype what is pasted: curly quotes, an
// ellipsis, dashes, no-break and zero-width spaces. The log writes none of
// them, so each goes back to what the log wrote.
std::string PlainTypography(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80 || i + 1 >= s.size()) {
            out += s[i++];
            continue;
        }
        unsigned cp = 0;
        size_t n = (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
        if (n == 1 || i + n > s.size()) {
            out += s[i++];
            continue;
        }
        cp = c & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
        for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        const char* plain = nullptr;
        switch (cp) {
        case 0x2018: case 0x2019: case 0x201A: case 0x201B: case 0x2032: plain = "'"; break;
        case 0x201C: case 0x201D: case 0x201E: case 0x201F: case 0x2033: plain = "\""; break;
        case 0x2026: plain = "..."; break;
        case 0x2010: case 0x2011: case 0x2012: case 0x2013: case 0x2014: case 0x2015: case 0x2212: plain = "-"; break;
        case 0x00A0: case 0x2007: case 0x202F: case 0x2000: case 0x2001: case 0x2002: case 0x2003: case 0x2004:
        case 0x2005: case 0x2006: case 0x2008: case 0x2009: case 0x200A: case 0x3000: plain = " "; break;
        case 0x200B: case 0x200C: case 0x200D: case 0x2060: case 0xFEFF: case 0x00AD: plain = ""; break;
        default: break;
        }
        if (plain) out += plain;
        else out.append(s, i, n);
        i += n;
    }
    return out;
}

// ---- Templates ----------------------------------------------------------------

struct TPiece {
    bool Placeholder;
    char Type;  // 'a' any, 'v' version, '#' integer, 'w' word, 'p' path
    std::string Literal;
};

struct TTemplate {
    TRunMsg Id;
    std::vector<TPiece> Pieces;
};

const std::vector<TTemplate>& Templates() {
    static const std::vector<TTemplate> all = [] {
        std::vector<TTemplate> list;
        for (const TRunMessage* m = RunMessagesBegin(); m != RunMessagesEnd(); ++m) {
            std::string text = m->Text;
            // Blanks at either end do not survive a paste.
            while (!text.empty() && text.front() == ' ') text.erase(text.begin());
            while (!text.empty() && text.back() == ' ') text.pop_back();
            TTemplate t{m->Id, {}};
            std::string literal;
            for (size_t i = 0; i < text.size(); ++i) {
                size_t close = text.find('}', i);
                if (text[i] == '{' && close != std::string::npos && close - i <= 2) {
                    if (!literal.empty()) t.Pieces.push_back({false, 0, literal});
                    literal.clear();
                    t.Pieces.push_back({true, close == i + 1 ? 'a' : text[i + 1], ""});
                    i = close;
                } else {
                    literal += text[i];
                }
            }
            if (!literal.empty()) t.Pieces.push_back({false, 0, literal});
            list.push_back(t);
        }
        return list;
    }();
    return all;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool NamesModule(const std::string& path) {
    static const char kName[] = "stirpello.exe";
    const size_t n = sizeof kName - 1;
    if (path.size() <= n) return false;
    const char before = path[path.size() - n - 1];
    if (before != '\\' && before != '/') return false;
    for (size_t i = 0; i < n; ++i) {
        char c = path[path.size() - n + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kName[i]) return false;
    }
    return true;
}

// ---- The paste as one text ---------------------------------------------------
//
// The paste's lines, unquoted and trimmed, without blank lines, joined by
// '\n'. A '\n' where a mail program may have wrapped a longer line (the line
// and the next word would not have fitted in a web form's 60 columns, or the
// line ended in a blank: a format=flowed soft break) may stand for a blank.
// The matcher takes it as one only where the joined text is a run line.

// Positions in the text: 32 bits (a paste is a few megabytes at most) halve
// the tables that a paste of many short lines fills.
using TPos = uint32_t;

// The first index of the sorted v whose value is at least i. Asked for place
// after place, mostly a little further on each time: a few steps from the
// last answer (cursor) before a search.
size_t LowerFrom(const std::vector<TPos>& v, size_t& cursor, size_t i) {
    const auto search = [&](size_t k) {
        return static_cast<size_t>(std::lower_bound(v.begin() + static_cast<std::ptrdiff_t>(k), v.end(), i) - v.begin());
    };
    size_t k = std::min(cursor, v.size());
    if (k > 0 && v[k - 1] >= i) {
        k = search(0);
    } else {
        for (int steps = 0; k < v.size() && v[k] < i; ++k)
            if (++steps > 8) {
                k = search(k);
                break;
            }
    }
    cursor = k;
    return k;
}

class TPaste {
public:
    explicit TPaste(const std::string& text) {
        int number = 0;
        size_t i = 0;
        while (i <= text.size()) {
            size_t end = text.find_first_of("\r\n", i);
            if (end == std::string::npos) end = text.size();
            ++number;
            std::string line = text.substr(i, end - i);
            if (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ++end;
            i = end + 1;
            AddLine(line, number);
        }
        for (size_t k = 0; k < breaks_.size(); ++k) {
            const size_t at = breaks_[k];
            const size_t lineStart = k == 0 ? 0 : breaks_[k - 1] + 1;
            size_t word = s_.find_first_of(" \n", at + 1);
            if (word == std::string::npos) word = s_.size();
            soft_.push_back(flowed_[k] || (at - lineStart) + 1 + (word - at - 1) > kWrapColumns);
        }
        softAt_.assign(s_.size(), false);
        for (size_t k = 0; k < breaks_.size(); ++k) softAt_[breaks_[k]] = soft_[k];
        // For each break, the first hard one from it on.
        hardFrom_.resize(breaks_.size());
        for (size_t k = breaks_.size(); k-- > 0;)
            hardFrom_[k] = !soft_[k] ? breaks_[k] : k + 1 < breaks_.size() ? hardFrom_[k + 1] : static_cast<TPos>(s_.size());
    }

    const std::string& Text() const { return s_; }
    size_t Size() const { return s_.size(); }
    // May a '\n' at i stand for a blank?
    bool Soft(size_t i) const { return i < softAt_.size() && softAt_[i]; }
    // The end of the text a value starting at i may span: the next hard line break.
    size_t SpanEnd(size_t i) const {
        const size_t k = LowerFrom(breaks_, cursor_, i);
        return k == breaks_.size() ? s_.size() : hardFrom_[k];
    }
    int LineAt(size_t i) const {
        auto it = std::upper_bound(starts_.begin(), starts_.end(), i);
        return it == starts_.begin() ? 1 : numbers_[static_cast<size_t>(it - starts_.begin()) - 1];
    }
    const std::vector<TPos>& Breaks() const { return breaks_; }

private:
    static constexpr size_t kWrapColumns = 56;

    void AddLine(std::string line, int number) {
        for (size_t k = 0; (k = line.find("\xC2\xA0", k)) != std::string::npos;) line.replace(k, 2, " ");
        for (char& c : line)
            if (c == '\t' || c == '\f' || c == '\v') c = ' ';
        size_t b = 0;
        // Quoting marks of any depth: "> ", ">>", "> > ".
        for (;;) {
            while (b < line.size() && line[b] == ' ') ++b;
            if (b < line.size() && line[b] == '>') {
                ++b;
                continue;
            }
            break;
        }
        size_t e = line.size();
        while (e > b && line[e - 1] == ' ') --e;
        if (e == b) {
            lastFlowed_ = false;
            return;
        }
        if (!s_.empty()) {
            breaks_.push_back(static_cast<TPos>(s_.size()));
            flowed_.push_back(lastFlowed_);
            s_ += '\n';
        }
        lastFlowed_ = e < line.size();
        starts_.push_back(static_cast<TPos>(s_.size()));
        numbers_.push_back(number);
        s_.append(line, b, e - b);
    }

    std::string s_;
    std::vector<TPos> breaks_;
    std::vector<bool> soft_;
    std::vector<bool> flowed_;  // the line before the break ended in a blank
    std::vector<TPos> hardFrom_;
    std::vector<bool> softAt_;  // by position in s_: a soft break
    mutable size_t cursor_ = 0;  // where SpanEnd last found i among the breaks
    bool lastFlowed_ = false;
    std::vector<TPos> starts_;
    std::vector<int> numbers_;
};

struct TMatch {
    size_t End;
    std::vector<std::string> Args;
};

class TMatcher {
public:
    TMatcher(const TPaste& paste, const std::vector<TPos>& ends, const std::vector<TTemplate>& templates)
        : p_(paste), s_(paste.Text()), ends_(ends) {
        // Where each word that ends a free value appears: found by lookup,
        // not by scanning, so that a paste without them stays linear.
        for (const TTemplate& t : templates)
            for (size_t k = 0; k + 1 < t.Pieces.size(); ++k)
                if (t.Pieces[k].Placeholder && (t.Pieces[k].Type == 'a' || t.Pieces[k].Type == 'p'))
                    words_[FirstWord(t.Pieces[k + 1].Literal)];
        for (auto& w : words_)
            for (size_t at = s_.find(w.first); at != std::string::npos; at = s_.find(w.first, at + 1))
                w.second.push_back(static_cast<uint32_t>(at));
        // Each free value's list, looked up once rather than at every try.
        for (const TTemplate& t : templates)
            for (size_t k = 0; k + 1 < t.Pieces.size(); ++k)
                if (t.Pieces[k].Placeholder && (t.Pieces[k].Type == 'a' || t.Pieces[k].Type == 'p'))
                    after_[&t.Pieces[k]] = &words_.at(FirstWord(t.Pieces[k + 1].Literal));
    }

    // Where the template's matches from at end, with their values unless
    // only the ends are wanted (they are asked for at every line start).
    std::vector<TMatch> Match(const TTemplate& t, size_t at, bool values = true) const {
        std::vector<TMatch> out;
        std::vector<std::string> args;
        Step(t, 0, at, args, out, values);
        return out;
    }

private:
    static std::string FirstWord(const std::string& lit) {
        const bool blank = lit[0] == ' ';
        return lit.substr(blank ? 1 : 0, lit.find(' ', 1) - (blank ? 1 : 0));
    }

    bool Blank(size_t i) const { return s_[i] == ' ' || (s_[i] == '\n' && p_.Soft(i)); }

    static bool ValidValue(char type, const std::string& v) {
        switch (type) {
        case 'v': {
            int dots = 0;
            for (size_t i = 0; i < v.size(); ++i) {
                if (v[i] == '.') {
                    if (i == 0 || v[i - 1] == '.') return false;
                    ++dots;
                } else if (!IsDigit(v[i])) {
                    return false;
                }
            }
            return dots == 3 && !v.empty() && v.back() != '.';
        }
        case '#': {
            size_t i = !v.empty() && v[0] == '-' ? 1 : 0;
            if (i == v.size()) return false;
            for (; i < v.size(); ++i)
                if (!IsDigit(v[i])) return false;
            return true;
        }
        case 'w':
            return !v.empty() && v.find(' ') == std::string::npos;
        case 'p':
            return v.empty() || v.find_first_of("\\/") != std::string::npos;
        default:
            return true;
        }
    }

    // May a typed value go on with the character c?
    static bool Continues(char type, char c) {
        switch (type) {
        case 'v': return IsDigit(c) || c == '.';
        case '#': return IsDigit(c) || c == '-';
        case 'w': return c != ' ' && c != '\n';
        default: return true;
        }
    }

    std::string Value(size_t from, size_t to) const {
        std::string v = s_.substr(from, to - from);
        std::replace(v.begin(), v.end(), '\n', ' ');
        return v;
    }

    void Step(const TTemplate& t, size_t piece, size_t at, std::vector<std::string>& args, std::vector<TMatch>& out,
              bool values) const {
        if (out.size() > 8) return;
        if (piece == t.Pieces.size()) {
            out.push_back({at, values ? args : std::vector<std::string>()});
            return;
        }
        const TPiece& pc = t.Pieces[piece];
        if (!pc.Placeholder) {
            size_t i = at;
            for (size_t k = 0; k < pc.Literal.size(); ++k, ++i) {
                const char want = pc.Literal[k];
                const bool atEnd = i >= s_.size() || (s_[i] == '\n' && !p_.Soft(i));
                // "prefix - " with an empty value loses its last blank in a paste.
                if (want == ' ' && atEnd && k + 1 == pc.Literal.size() && piece + 2 == t.Pieces.size() &&
                    t.Pieces[piece + 1].Type == 'a') {
                    args.push_back("");
                    out.push_back({i, values ? args : std::vector<std::string>()});
                    args.pop_back();
                    return;
                }
                if (i >= s_.size()) return;
                if (want == ' ' ? !Blank(i) : s_[i] != want) return;
            }
            Step(t, piece + 1, i, args, out, values);
            return;
        }
        // No line of the run is longer; the bound keeps a pathological paste linear.
        const size_t span = std::min(p_.SpanEnd(at), at + 4096);
        const bool last = piece + 1 == t.Pieces.size();
        if (pc.Type == 'v' || pc.Type == '#' || pc.Type == 'w') {
            size_t e = at;
            while (e < span && Continues(pc.Type, s_[e])) {
                ++e;
                if (!last && e > at) TryAfter(t, piece, at, e, args, out, values);
            }
            if (last && ValidValue(pc.Type, Value(at, e))) {
                args.push_back(Value(at, e));
                Step(t, piece + 1, e, args, out, values);
                args.pop_back();
            }
            return;
        }
        if (!last) {
            // Jump to where the next fixed text's first word appears (it may
            // follow a wrapped line end), a few times at most.
            const std::string& lit = t.Pieces[piece + 1].Literal;
            const bool blank = lit[0] == ' ';
            const std::vector<uint32_t>& found = *after_.at(&pc);
            int tried = 0;
            for (auto it = std::lower_bound(found.begin(), found.end(), static_cast<uint32_t>(at + (blank ? 1 : 0)));
                 it != found.end() && tried < 16; ++it) {
                const size_t w = *it;
                const size_t e = blank ? w - 1 : w;
                if (e >= span) break;
                if (blank && s_[e] != ' ' && s_[e] != '\n') continue;
                ++tried;
                TryAfter(t, piece, at, e, args, out, values);
            }
            return;
        }
        // A value that ends the line: it ends where a line does or where
        // another of the run's lines begins (a lost line end).
        // The nearest few suffice (a value rarely holds another line's start),
        // and keep a paste full of such starts linear.
        // The run starts only the update module: where one end makes the
        // value name it, the text after that end is not part of the line.
        bool moduleOnly = false;
        for (int pass = 0; pass < 2; ++pass) {
            int tried = 0;
            for (auto it = ends_.begin() + static_cast<std::ptrdiff_t>(LowerFrom(ends_, endsCursor_, at));
                 it != ends_.end() && *it <= span && tried < 8; ++it, ++tried) {
                // Any text will do: only the end is wanted.
                if (!values && pc.Type == 'a' && t.Id != TRunMsg::Launching) {
                    Step(t, piece + 1, *it, args, out, values);
                    continue;
                }
                std::string v = Value(at, *it);
                while (!v.empty() && v.back() == ' ') v.pop_back();
                if (!ValidValue(pc.Type, v)) continue;
                if (t.Id == TRunMsg::Launching && pass == 0) {
                    moduleOnly = moduleOnly || NamesModule(v);
                    continue;
                }
                if (moduleOnly && !NamesModule(v)) continue;
                args.push_back(v);
                Step(t, piece + 1, *it, args, out, values);
                args.pop_back();
            }
            if (t.Id != TRunMsg::Launching) break;
        }
    }

    // Does the fixed text (but a last blank, which a paste may lose) follow at i?
    bool LiteralAt(const std::string& lit, size_t i) const {
        const size_t n = !lit.empty() && lit.back() == ' ' ? lit.size() - 1 : lit.size();
        for (size_t k = 0; k < n; ++k, ++i) {
            if (i >= s_.size()) return false;
            if (lit[k] == ' ' ? !Blank(i) : s_[i] != lit[k]) return false;
        }
        return true;
    }

    void TryAfter(const TTemplate& t, size_t piece, size_t from, size_t to, std::vector<std::string>& args,
                  std::vector<TMatch>& out, bool values) const {
        // The cheap checks first: most candidates fail them, and a value may be long.
        if (piece + 1 < t.Pieces.size() && !LiteralAt(t.Pieces[piece + 1].Literal, to)) return;
        if (t.Pieces[piece].Type == 'p' && from < to &&
            std::find_if(s_.begin() + static_cast<std::ptrdiff_t>(from), s_.begin() + static_cast<std::ptrdiff_t>(to),
                         [](char c) { return c == '\\' || c == '/'; }) == s_.begin() + static_cast<std::ptrdiff_t>(to))
            return;
        std::string v = Value(from, to);
        if (!ValidValue(t.Pieces[piece].Type, v)) return;
        args.push_back(v);
        Step(t, piece + 1, to, args, out, values);
        args.pop_back();
    }

    const TPaste& p_;
    const std::string& s_;
    const std::vector<TPos>& ends_;
    std::map<std::string, std::vector<uint32_t>> words_;
    std::unordered_map<const TPiece*, const std::vector<uint32_t>*> after_;
    mutable size_t endsCursor_ = 0;
};

}  // namespace

namespace {

TDecodedText DecodeBytes(const std::string& b) {
    if (b.size() >= 3 && b.compare(0, 3, "\xEF\xBB\xBF") == 0) return {b.substr(3), "UTF-8"};
    if (b.size() >= 2 && b[0] == '\xFF' && b[1] == '\xFE') return {FromUtf16(b, 2, true), "UTF-16LE"};
    if (b.size() >= 2 && b[0] == '\xFE' && b[1] == '\xFF') return {FromUtf16(b, 2, false), "UTF-16BE"};
    // UTF-16 without a mark: ASCII text then has a zero in every other byte.
    size_t evenZero = 0, oddZero = 0;
    for (size_t i = 0; i < b.size() && i < 4096; ++i) (i % 2 ? oddZero : evenZero) += b[i] == '\0';
    const size_t half = std::min<size_t>(b.size(), 4096) / 2;
    if (half >= 8 && oddZero * 10 >= half * 9) return {FromUtf16(b, 0, true), "UTF-16LE"};
    if (half >= 8 && evenZero * 10 >= half * 9) return {FromUtf16(b, 0, false), "UTF-16BE"};
    if (ValidUtf8(b)) return {b, "UTF-8"};
    return {FromWindows1252(b), "Windows-1252"};
}

}  // namespace

TDecodedText DecodePaste(const std::string& b) {
    TDecodedText d = DecodeBytes(b);
    d.Text = PlainTypography(d.Text);
    return d;
}

namespace {

// May a value of the type begin with c? A cheap test before a full match,
// which a paste of many short lines would otherwise pay at each one.
bool MayStart(char type, char c) {
    switch (type) {
    case 'v': return IsDigit(c);
    case '#': return IsDigit(c) || c == '-';
    case 'w': return c != ' ' && c != '\n';
    default: return true;  // a path or free text may even be empty
    }
}

}  // namespace

TParsedPaste ParsePaste(const std::string& utf8) {
    // Positions are kept in 32 bits; a paste is a few megabytes at most.
    if (utf8.size() >= UINT32_MAX / 2) throw std::length_error("the text is too large to be a pasted log");
    const TPaste paste(utf8);
    const std::string& s = paste.Text();
    const size_t n = s.size();
    const std::vector<TTemplate>& templates = Templates();

    // Where a line of the run may start: a line start, or where a line's
    // fixed beginning appears (the line ends before it were lost).
    // (Those after a break are in order already; the rest are sorted apart
    // and merged in, which keeps a paste of many short lines cheap.)
    std::vector<TPos> found;
    for (const TTemplate& t : templates) {
        if (t.Pieces.empty()) continue;
        if (!t.Pieces[0].Placeholder) {
            const std::string& lit = t.Pieces[0].Literal;
            if (lit.size() < 4) continue;
            for (size_t at = s.find(lit); at != std::string::npos; at = s.find(lit, at + 1)) found.push_back(static_cast<TPos>(at));
        } else if (t.Pieces.size() > 1 && (t.Pieces[0].Type == '#' || t.Pieces[0].Type == 'w')) {
            // "3 Desktop Shortcuts...": back from the words over the value.
            const std::string& lit = t.Pieces[1].Literal;
            for (size_t at = s.find(lit); at != std::string::npos; at = s.find(lit, at + 1)) {
                size_t b = at;
                while (b > 0 && (t.Pieces[0].Type == '#' ? IsDigit(s[b - 1]) : s[b - 1] != ' ' && s[b - 1] != '\n'))
                    --b;
                // Only where the number stands alone: "(S-1-1-0) may" is not a shortcut line.
                if (b < at && (b == 0 || s[b - 1] == ' ' || s[b - 1] == '\n')) found.push_back(static_cast<TPos>(b));
            }
        }
    }
    // Where a path begins ("C:\"): a running program's line starts with one.
    for (size_t at = s.find(":\\"); at != std::string::npos; at = s.find(":\\", at + 1))
        if (at > 0 && std::isalpha(static_cast<unsigned char>(s[at - 1]))) found.push_back(static_cast<TPos>(at - 1));
    std::sort(found.begin(), found.end());
    std::vector<TPos> starts{0};
    starts.reserve(paste.Breaks().size() + found.size() + 1);
    for (TPos b : paste.Breaks()) starts.push_back(b + 1);
    const size_t lineStarts = starts.size();
    starts.insert(starts.end(), found.begin(), found.end());
    std::inplace_merge(starts.begin(), starts.begin() + static_cast<std::ptrdiff_t>(lineStarts), starts.end());
    starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
    std::vector<TPos> ends;
    ends.reserve(starts.size() + paste.Breaks().size() + 1);
    std::merge(starts.begin(), starts.end(), paste.Breaks().begin(), paste.Breaks().end(), std::back_inserter(ends));
    ends.push_back(static_cast<TPos>(n));
    ends.erase(std::unique(ends.begin(), ends.end()), ends.end());
    const TMatcher matcher(paste, ends, templates);

    // The most lines of the run, then the fewest unreadable characters: a
    // value at a line's end must not swallow the lines after it.
    // One node per position of the text, 16 bytes each: a paste full of
    // line starts has a node nearly everywhere, and must not cost more.
    struct TNode {
        uint32_t Garbage = UINT32_MAX;  // UINT32_MAX: not reached
        uint32_t From = 0;
        uint32_t Lines : 31;
        uint32_t Clean : 1;
        uint16_t Joins = 0;  // line ends read as blanks: fewer is likelier
        // The template matched from From, or -1; its values are matched
        // again at the end, for the chosen lines only.
        int16_t Template = -1;
        TNode() : Lines(0), Clean(0) {}
    };
    static_assert(sizeof(TNode) == 16, "a node per character of the paste");
    std::vector<TNode> nodes(n + 1);
    auto offer = [&](size_t to, uint64_t garbage, uint32_t lines, uint32_t joins, size_t from, bool clean, int line) {
        TNode& node = nodes[to];
        if (clean) node.Clean = 1;
        const uint16_t j = static_cast<uint16_t>(std::min<uint32_t>(joins, 0xFFFF));
        const uint32_t g = static_cast<uint32_t>(std::min<uint64_t>(garbage, UINT32_MAX - 1));
        if (node.Garbage == UINT32_MAX || lines > node.Lines || (lines == node.Lines && g < node.Garbage) ||
            (lines == node.Lines && g == node.Garbage && j < node.Joins)) {
            node.Garbage = g;
            node.Lines = lines & 0x7FFFFFFF;
            node.Joins = j;
            node.From = static_cast<uint32_t>(from);
            node.Template = static_cast<int16_t>(line);
        }
    };
    // The templates that may match where a character stands, in their order:
    // those that begin with it, and those that begin with a value.
    std::vector<size_t> byFirst[256];
    for (size_t k = 0; k < templates.size(); ++k) {
        const TTemplate& t = templates[k];
        if (t.Pieces.empty()) continue;
        for (int c = 0; c < 256; ++c)
            if (t.Pieces[0].Placeholder || static_cast<unsigned char>(t.Pieces[0].Literal[0]) == c)
                byFirst[c].push_back(k);
    }
    offer(0, 0, 0, 0, 0, true, -1);
    size_t nextStart = 0;
    for (size_t at = 0; at < n; ++at) {
        if (nodes[at].Garbage == UINT32_MAX) continue;
        const TNode node = nodes[at];
        const bool lineStart = at == 0 || s[at - 1] == '\n';
        const bool clean = node.Clean || lineStart;
        if (clean && (s[at] == ' ' || s[at] == '\n'))
            offer(at + 1, node.Garbage, node.Lines, node.Joins, at, true, -1);
        for (const size_t k : byFirst[static_cast<unsigned char>(s[at])]) {
            const TTemplate& t = templates[k];
            if (t.Pieces[0].Placeholder && (!clean || !MayStart(t.Pieces[0].Type, s[at]))) continue;
            for (const TMatch& m : matcher.Match(t, at, false)) {
                if (m.End <= at) continue;
                const uint32_t joins = static_cast<uint32_t>(std::count(s.begin() + static_cast<std::ptrdiff_t>(at),
                                                              s.begin() + static_cast<std::ptrdiff_t>(m.End), '\n'));
                offer(m.End, node.Garbage, node.Lines + 1, node.Joins + joins, at, true,
                      static_cast<int>(&t - templates.data()));
            }
        }
        // The next place a line may start: positions only grow, so a cursor
        // finds it without a search.
        while (nextStart < starts.size() && starts[nextStart] <= at) ++nextStart;
        const size_t to = nextStart == starts.size() ? n : starts[nextStart];
        uint64_t skipped = 0;
        for (size_t i = at; i < to; ++i) skipped += s[i] != ' ' && s[i] != '\n';
        offer(to, node.Garbage + skipped, node.Lines, node.Joins, at, false, -1);
    }

    TParsedPaste parsed;
    std::vector<std::pair<size_t, size_t>> garbage;
    for (size_t at = n; at > 0;) {
        const TNode& node = nodes[at];
        // The verdict is on the latest runs: beyond that many lines (of the
        // run or not), the earlier ones would only cost time and memory.
        if (parsed.Lines.size() + garbage.size() >= TParsedPaste::kMaxPasteLines) {
            parsed.LinesLeftOut = true;
            break;
        }
        if (node.Template >= 0) {
            const TTemplate& t = templates[static_cast<size_t>(node.Template)];
            for (TMatch& m : matcher.Match(t, node.From))
                if (m.End == at) {
                    parsed.Lines.push_back({t.Id, std::move(m.Args), paste.LineAt(node.From)});
                    break;
                }
        } else if (!(node.From + 1 == at && (s[node.From] == ' ' || s[node.From] == '\n'))) {
            if (!garbage.empty() && garbage.back().first == at) garbage.back().first = node.From;
            else garbage.push_back({node.From, at});
        }
        at = node.From;
    }
    std::reverse(parsed.Lines.begin(), parsed.Lines.end());
    std::reverse(garbage.begin(), garbage.end());
    for (const auto& g : garbage) {
        std::string text = s.substr(g.first, g.second - g.first);
        std::replace(text.begin(), text.end(), '\n', ' ');
        while (!text.empty() && text.back() == ' ') text.pop_back();
        while (!text.empty() && text.front() == ' ') text.erase(text.begin());
        if (!text.empty()) parsed.Garbage.push_back({paste.LineAt(g.first), text, "", ""});
    }
    return parsed;
}

// ---- Diagnosis ------------------------------------------------------------------

namespace {

const TRunMessage& Info(const TFoundLine& l) { return RunMessage(l.Id); }

std::string Lowered(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string Arg(const TFoundLine& l, size_t i) { return i < l.Args.size() ? l.Args[i] : std::string(); }

// The step a progress line names.
TRunStep StepOfProgress(const std::string& caption) {
    static const struct {
        const char* words;
        TRunStep step;
    } kSteps[] = {
        {"verifying Stirpello is not running", TRunStep::Programs},
        {"Locating Stirpello", TRunStep::Installation},
        {"found... validating", TRunStep::Installation},
        {"Inspecting existing update module", TRunStep::Module},
        {"Inspecting existing update settings", TRunStep::Settings},
        {"Testing internet access", TRunStep::Internet},
        {"Analyzing available updates", TRunStep::Updates},
        {"Downloading new update module", TRunStep::Download},
        {"Replacing existing update module", TRunStep::Replace},
        {"Executing update module", TRunStep::Launch},
    };
    for (const auto& k : kSteps)
        if (caption.find(k.words) != std::string::npos) return k.step;
    return TRunStep::Count;
}

std::string LineText(const TFoundLine& l) {
    std::string text;
    switch (l.Args.size()) {
    case 0: text = FormatRunMessage(l.Id, {}); break;
    case 1: text = FormatRunMessage(l.Id, {l.Args[0]}); break;
    default: text = FormatRunMessage(l.Id, {l.Args[0], l.Args[1]}); break;
    }
    while (!text.empty() && text.front() == ' ') text.erase(text.begin());
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

// A line that carries the system's reason ("Access is denied.", "... is a
// link") needs the advice for that reason, not the line's usual one.
void AdviceByWords(const TFoundLine& l, TFault& f) {
    static const struct {
        const char* words;
        const char* cause;
        const char* advice;
    } kReasons[] = {
        {"is a link", "a link (junction or symbolic link) stands where the utility writes, and it never writes through one",
         "delete the link the line names (usually the Download folder inside the Stirpello folder), then run the "
         "utility again"},
        {"names (hard links)", "the file has other names (hard links), so the utility does not overwrite it",
         "delete the file the line names, then run the utility again"},
        {"leads elsewhere", "the path leads to another place (a link or a redirected folder)",
         "delete the link the line names, then run the utility again"},
        {"is a folder, not a file", "a folder stands where the utility writes a file",
         "delete or rename the folder the line names, then run the utility again"},
        {"denied", "Windows refused access", "run the utility as administrator, with Stirpello closed"},
        {"sharing violation", "another program had the file open",
         "close Stirpello and let the security software finish, then run the utility again"},
        {"being used by another process", "another program had the file open",
         "close Stirpello and let the security software finish, then run the utility again"},
        {"disk is full", "the disk is full", "free some space on the disk, then run the utility again"},
        {"not enough space", "the disk is full", "free some space on the disk, then run the utility again"},
        {"timed out", "the connection timed out", "check the internet connection, then run the utility again"},
        {"could not be resolved", "the site's name could not be looked up",
         "check the internet connection and its DNS settings, then run the utility again"},
    };
    std::string said;
    for (const std::string& a : l.Args) said += Lowered(a) + "\n";
    for (const auto& r : kReasons) {
        if (said.find(r.words) == std::string::npos) continue;
        f.Cause += std::string(": ") + r.cause;
        f.Advice = r.advice;
        return;
    }
}

TRunDiagnosis Diagnose(std::vector<TFoundLine> lines, const std::vector<TFault>& unreadable, int repeatedCrc) {
    TRunDiagnosis d;
    d.Lines = std::move(lines);
    d.FirstLine = d.Lines.front().Line;
    d.LastLine = d.Lines.back().Line;
    d.Unreadable = unreadable;
    bool proxy = false;
    int crcFailures = repeatedCrc;
    std::string requestTrail;
    bool haveRequest = false;
    TRunStep closedAt = TRunStep::Count;
    std::string closedCaption;
    std::vector<int> worst(static_cast<size_t>(TRunStep::Count), -1);
    for (const TFoundLine& l : d.Lines) {
        const TRunMessage& m = Info(l);
        switch (l.Id) {
        case TRunMsg::UtilityVersion: d.UtilityVersion = Arg(l, 0); break;
        case TRunMsg::CurrentTime: d.StartedAt = Arg(l, 0); break;
        case TRunMsg::Identified:
            d.InstalledVersion = Arg(l, 0);
            d.Folder = Arg(l, 1);
            break;
        case TRunMsg::ProxyUsed: proxy = true; break;
        case TRunMsg::DownloadCrc: ++crcFailures; break;
        case TRunMsg::CatalogueRequest: {
            const std::string url = Arg(l, 0);
            size_t e = url.find("&err=");
            if (e == std::string::npos) e = url.find("?err=");
            if (e != std::string::npos) {
                haveRequest = true;
                requestTrail = url.substr(e + 5);
                requestTrail = requestTrail.substr(0, requestTrail.find_first_of("& "));
            }
            break;
        }
        case TRunMsg::ClosedByUser: {
            // The window's step, refined by the progress line within steps 1 and 2.
            closedCaption = Arg(l, 1);
            const std::string step = Arg(l, 0);
            const TRunStep byCaption = StepOfProgress(closedCaption);
            if (step == "3") closedAt = TRunStep::Replace;
            else if (step == "4") closedAt = TRunStep::Launch;
            else if (step == "2" && (byCaption == TRunStep::Count || byCaption < TRunStep::Module))
                closedAt = TRunStep::Module;
            else closedAt = byCaption;
            break;
        }
        default: break;
        }
        if (m.Kind == TLineKind::Launched) d.Outcome = "launched";
        if (m.Kind == TLineKind::Stop) d.Outcome = "stopped";
        if (m.Kind == TLineKind::Closed) d.Outcome = "closed";
        if (m.Kind != TLineKind::Header && l.Id != TRunMsg::ClosedByUser) {
            int rank = m.Kind == TLineKind::Stop ? 3 : m.Kind == TLineKind::Fault ? 2 : m.Kind == TLineKind::Note ? 1 : 0;
            int& w = worst[static_cast<size_t>(m.Step)];
            w = std::max(w, rank);
        }
        if (m.Kind == TLineKind::Fault || m.Kind == TLineKind::Stop) {
            TFault f{l.Line, LineText(l), m.Cause, m.Advice};
            AdviceByWords(l, f);
            if (l.Id == TRunMsg::DownloadCrc && crcFailures >= 2) {
                f.Cause = "the module downloaded but failed its checks twice: security software or a proxy is "
                          "altering downloads";
                f.Advice = "turn off download scanning in the security software, or try from another network";
            }
            d.Faults.push_back(f);
        }
    }
    if (d.Outcome.empty()) d.Outcome = "cut";
    // Causes that depend on other lines of the run.
    bool noModule = false;
    for (const TFoundLine& l : d.Lines) noModule = noModule || l.Id == TRunMsg::ModuleMissing;
    for (TFault& f : d.Faults) {
        if (f.Text == RunMessage(TRunMsg::CopyFailed).Text && noModule) {
            f.Cause = "there was no update module in the Stirpello folder to replace, so the new one (in its "
                      "Download folder) was not put in place";
            f.Advice = "copy Stirpello.exe from the Download folder into the Stirpello folder, or reinstall "
                       "Stirpello";
        }
        if (f.Text == RunMessage(TRunMsg::InternetBlocked).Text && proxy) {
            f.Cause = "internet blocked, with a proxy configured";
            f.Advice = "check the proxy settings in Stirpello's Tools > Settings (internet tab)";
        }
    }
    if (d.Outcome == "closed") {
        TFault f{d.LastLine, "", "", RunMessage(TRunMsg::ClosedByUser).Advice};
        for (const TFoundLine& l : d.Lines)
            if (l.Id == TRunMsg::ClosedByUser) f = {l.Line, LineText(l), "", f.Advice};
        f.Cause = "the run was closed at " +
                  std::string(closedAt == TRunStep::Count ? closedCaption : RunStepName(closedAt)) +
                  ": the user closed the window before the run ended";
        d.Faults.push_back(f);
    }
    if (d.Outcome == "cut") {
        TFault f{d.LastLine, LineText(d.Lines.back()),
                 "the log ends in the middle of the run after this line: the paste is incomplete",
                 "ask for the whole log (StirpelloUpdateLog.txt, in the Stirpello folder or in "
                 "%LOCALAPPDATA%\\Stirpello\\Update)"};
        d.Faults.push_back(f);
    }
    if (haveRequest) {
        d.TrailFromRequest = true;
        size_t i = requestTrail.find('-');
        while (i != std::string::npos) {
            size_t j = requestTrail.find('-', i + 1);
            std::string code = requestTrail.substr(i + 1, j == std::string::npos ? std::string::npos : j - i - 1);
            if (!code.empty()) d.Trail.push_back(code);
            i = j;
        }
    } else {
        for (const TFoundLine& l : d.Lines)
            if (*Info(l).Trail) d.Trail.push_back(Info(l).Trail);
    }
    // Steps: what each logged. Some steps log nothing when all is well
    // (the running programs, the settings file, the replacement); such a step
    // ran when a later one did. The others always log, so without a line
    // they did not run.
    auto quiet = [](size_t k) {
        const TRunStep st = static_cast<TRunStep>(k);
        return st == TRunStep::Programs || st == TRunStep::Settings || st == TRunStep::Replace;
    };
    bool downloaded = false;
    for (const TFoundLine& l : d.Lines) downloaded = downloaded || l.Id == TRunMsg::DownloadCompleted;
    int lastReached = -1;
    for (size_t k = 1; k < worst.size(); ++k)
        if (worst[k] >= 0) lastReached = static_cast<int>(k);
    if (closedAt != TRunStep::Count) lastReached = std::max(lastReached, static_cast<int>(closedAt));
    for (size_t k = 1; k < worst.size(); ++k) {
        TStepOutcome o{static_cast<TRunStep>(k), ""};
        const int w = worst[k];
        if (static_cast<TRunStep>(k) == closedAt) o.Status = "closed";
        else if (w == 3) o.Status = "stopped";
        else if (w == 2) o.Status = "failed";
        else if (w == 1) o.Status = "note";
        else if (w == 0) o.Status = "ok";
        else if (static_cast<int>(k) < lastReached)
            // The module is replaced only after a download.
            o.Status = quiet(k) && (static_cast<TRunStep>(k) != TRunStep::Replace || downloaded) ? "ok" : "not run";
        else o.Status = d.Outcome == "cut" ? "not in the log" : "not reached";
        d.Steps.push_back(o);
    }
    // Where the verdict places the run.
    for (const TFoundLine& l : d.Lines)
        if (Info(l).Kind == TLineKind::Stop || Info(l).Kind == TLineKind::Launched) d.Step = RunStepName(Info(l).Step);
    if (closedAt != TRunStep::Count) d.Step = RunStepName(closedAt);
    else if (!d.Faults.empty() && d.Outcome != "launched") d.Step = RunStepName(Info(d.Lines.back()).Step);
    if (d.Step.empty()) d.Step = RunStepName(Info(d.Lines.back()).Step);
    // The edition: the shortcut line of the identified engine, when there is one.
    for (const TFoundLine& l : d.Lines) {
        if (l.Id != TRunMsg::Shortcut || d.Folder.empty()) continue;
        const std::string describe = Arg(l, 1);
        if (describe.compare(0, d.Folder.size(), d.Folder) != 0) continue;
        size_t v = describe.find(" Version ");
        if (v == std::string::npos) continue;
        size_t e = describe.find(' ', v + 9);
        std::string edition = e == std::string::npos ? "" : describe.substr(e + 1);
        if (!edition.empty() && edition != "edition undetermined") d.Edition = edition;
    }
    return d;
}

}  // namespace

namespace {

bool Ends(TLineKind k) { return k == TLineKind::Launched || k == TLineKind::Stop || k == TLineKind::Closed; }

struct TRunLines {
    std::vector<TFoundLine> Lines;
    bool Headless = false;
};

// The found lines grouped into runs. A line belongs to a run only where the
// run can write it: nothing follows a run's last line but the next run's
// header, and "Running ..." names the module and comes after the internet
// test. Whatever else matched is the user's own words.
std::vector<TRunLines> GroupRuns(std::vector<TFoundLine>&& lines, std::vector<TFault>& ignored) {
    std::vector<TRunLines> runs;
    bool ended = false, reached = false;
    TRunStep endStep = TRunStep::Start;
    for (TFoundLine& l : lines) {
        const TRunMessage& m = Info(l);
        if (l.Id == TRunMsg::UtilityVersion || runs.empty()) {
            runs.push_back({{}, l.Id != TRunMsg::UtilityVersion});
            ended = reached = false;
        }
        // A failed download ends the run at its reason; earlier releases
        // added the general line and a failed delete after it.
        bool fits = !ended || (endStep == TRunStep::Download && m.Step == TRunStep::Download);
        if (fits && l.Id == TRunMsg::Launching) fits = reached && NamesModule(Arg(l, 0));
        if (!fits) {
            ignored.push_back({l.Line, LineText(l), "", ""});
            continue;
        }
        runs.back().Lines.push_back(std::move(l));
        reached = reached || m.Step >= TRunStep::Internet;
        if (Ends(m.Kind)) endStep = m.Step;
        ended = ended || Ends(m.Kind);
    }
    // One line ahead of a whole run is the user's words, not a run's tail.
    std::vector<TRunLines> kept;
    for (size_t r = 0; r < runs.size(); ++r) {
        if (runs[r].Lines.empty()) continue;
        if (runs[r].Headless && runs[r].Lines.size() == 1 && r + 1 < runs.size()) {
            ignored.push_back({runs[r].Lines[0].Line, LineText(runs[r].Lines[0]), "", ""});
            continue;
        }
        kept.push_back(std::move(runs[r]));
    }
    return kept;
}

// A run's lines as one key: runs with the same key are the same run.
std::string RunKey(const std::vector<TFoundLine>& lines) {
    std::string key;
    for (const TFoundLine& l : lines) {
        key += std::to_string(static_cast<int>(l.Id));
        for (const std::string& a : l.Args) key += '\x1F' + a;
        key += '\x1E';
    }
    return key;
}

bool Has(const TRunDiagnosis& d, TRunMsg id) {
    for (const TFoundLine& l : d.Lines)
        if (l.Id == id) return true;
    return false;
}

bool HasStep(const TRunDiagnosis& d, TRunStep step) {
    for (const TFoundLine& l : d.Lines)
        if (Info(l).Step == step && Info(l).Kind != TLineKind::Closed) return true;
    return false;
}

// What keeps the diagnosis from being sure: parts of the run not in the
// paste, or not readable.
void FindDoubts(TRunDiagnosis& d) {
    if (d.BeginningMissing) d.Doubts.push_back("the paste starts inside the run: its first lines are missing");
    if (d.Outcome == "cut") d.Doubts.push_back("the log ends in the middle of the run");
    if (!d.Unreadable.empty())
        d.Doubts.push_back(std::to_string(d.Unreadable.size()) + " part(s) inside the run could not be read");
    // The trail the catalogue request carried names each fault before it.
    if (d.TrailFromRequest) {
        std::map<std::string, int> logged;
        for (const TFoundLine& l : d.Lines) {
            if (l.Id == TRunMsg::CatalogueRequest) break;
            if (*Info(l).Trail) ++logged[Info(l).Trail];
        }
        std::map<std::string, int> sent;
        for (const std::string& code : d.Trail) ++sent[code];
        for (const auto& kv : sent)
            if (logged[kv.first] < kv.second)
                d.Doubts.push_back("the trail sent with the catalogue request holds " + kv.first +
                                   ", but no line of the paste shows it: lines are missing");
    }
    // Lines every run writes on its way to a later step.
    const bool headed = !d.BeginningMissing;
    const bool pastInstallation = HasStep(d, TRunStep::Module) || HasStep(d, TRunStep::Internet) ||
                                  HasStep(d, TRunStep::Updates) || HasStep(d, TRunStep::Download);
    if (headed && pastInstallation && !Has(d, TRunMsg::Identified))
        d.Doubts.push_back("lines are missing in the middle: the run went on without a line identifying the "
                           "installation");
    if (HasStep(d, TRunStep::Updates) && !HasStep(d, TRunStep::Internet) && (headed || HasStep(d, TRunStep::Module)))
        d.Doubts.push_back("lines are missing in the middle: the catalogue was read without an internet test line");
    if (HasStep(d, TRunStep::Download) && !Has(d, TRunMsg::CatalogueRequest) && !Has(d, TRunMsg::HeldFileWait) &&
        (headed || HasStep(d, TRunStep::Internet)))
        d.Doubts.push_back("lines are missing in the middle: a download without the catalogue request before it");
    if (d.Lines.size() == 1) d.Doubts.push_back("only one line of a run was found");
    if (!d.Doubts.empty()) d.Confidence = "low";
}

}  // namespace

TExplanation Explain(const std::string& bytes) {
    TExplanation e;
    TDecodedText decoded = DecodePaste(bytes);
    e.Encoding = decoded.Encoding;
    TParsedPaste parsed = ParsePaste(decoded.Text);
    std::vector<TFault> ignored;
    std::vector<TRunLines> grouped = GroupRuns(std::move(parsed.Lines), ignored);
    // Lines that are not the run's count as text around it.
    parsed.Garbage.insert(parsed.Garbage.end(), ignored.begin(), ignored.end());
    std::stable_sort(parsed.Garbage.begin(), parsed.Garbage.end(),
              [](const TFault& a, const TFault& b) { return a.Line < b.Line; });
    // A run pasted twice is one run: rules that look across runs must not
    // count it twice.
    std::vector<TRunLines> runs;
    std::set<std::string> seen;
    std::string repeats;
    size_t repeated = 0;
    for (size_t r = 0; r < grouped.size(); ++r) {
        if (seen.insert(RunKey(grouped[r].Lines)).second) {
            runs.push_back(std::move(grouped[r]));
            continue;
        }
        if (++repeated <= 3)
            repeats += (repeated > 1 ? ", " : "") + std::to_string(grouped[r].Lines.front().Line) + "-" +
                       std::to_string(grouped[r].Lines.back().Line);
    }
    if (parsed.LinesLeftOut)
        e.Notes.push_back("the paste is longer than " + std::to_string(TParsedPaste::kMaxPasteLines) +
                          " lines: only its last " + std::to_string(TParsedPaste::kMaxPasteLines) + " were read");
    if (repeated)
        e.Notes.push_back("lines " + repeats + (repeated > 3 ? " and " + std::to_string(repeated - 3) + " more runs" : "") +
                          " repeat an earlier run line for line (pasted twice): left out");
    int crcSeen = 0;
    for (size_t r = 0; r < runs.size(); ++r) {
        // Text that could not be read counts for the run it sits inside.
        const int from = runs[r].Lines.front().Line;
        const int to = r + 1 < runs.size() ? runs[r + 1].Lines.front().Line : runs[r].Lines.back().Line + 1;
        std::vector<TFault> inside;
        auto gi = std::lower_bound(parsed.Garbage.begin(), parsed.Garbage.end(), from,
                                   [](const TFault& f, int line) { return f.Line < line; });
        for (; gi != parsed.Garbage.end() && (gi->Line < to || (r + 1 == runs.size() && gi->Line == to)); ++gi)
            inside.push_back(*gi);
        TRunDiagnosis d = Diagnose(std::move(runs[r].Lines), inside, crcSeen > 0 ? 1 : 0);
        d.BeginningMissing = runs[r].Headless;
        for (const TFoundLine& l : d.Lines) crcSeen += l.Id == TRunMsg::DownloadCrc;
        // Text after a run's end is the mail around it; after a cut run it
        // may be the line cut in half, so it is shown.
        if (d.Outcome != "cut") {
            std::vector<TFault> kept;
            for (const TFault& g : d.Unreadable)
                if (g.Line <= d.LastLine) kept.push_back(g);
            d.Unreadable = kept;
        }
        FindDoubts(d);
        e.Runs.push_back(std::move(d));
    }
    return e;
}

namespace {

const char kWhereTheLogIs[] =
    "StirpelloUpdateLog.txt, in the Stirpello folder or in %LOCALAPPDATA%\\Stirpello\\Update";

std::string TellUser(const TRunDiagnosis& d) {
    if (!d.Faults.empty() && !d.Faults.front().Advice.empty()) return d.Faults.front().Advice;
    if (d.Outcome == "launched") return "nothing: the update module was started and takes over from here";
    return "run the utility again; if it fails the same way, send us the whole log";
}

}  // namespace

std::string ReplyToUser(const TRunDiagnosis& d) {
    std::string r = "Thank you for the log. ";
    if (d.Outcome == "launched" && d.Faults.empty()) {
        r += "The update utility ran to the end and started the update module, which now brings Stirpello up to "
             "date. If Stirpello still does not update, please send us the new log.";
    } else {
        const std::string what = d.Outcome == "launched" ? "started the update module, but on the way"
                                 : d.Outcome == "stopped" ? "stopped before the update, at " + d.Step + ", because"
                                 : d.Outcome == "closed"  ? "was closed before it finished, at " + d.Step + ":"
                                                          : "log you sent ends early, at " + d.Step + ":";
        r += "The update utility " + what + " " + (d.Faults.empty() ? "" : d.Faults.front().Cause) + ".\n";
        r += "Please " + TellUser(d) + ".";
    }
    if (d.Confidence != "high")
        r += "\nIf that does not help, please send us the whole log: " + std::string(kWhereTheLogIs) + ".";
    return r;
}

void WriteExplanation(const TExplanation& e, std::ostream& out) {
    if (e.Runs.empty()) {
        out << "No run log found in the input.\n";
        return;
    }
    // The verdict first: the latest run, and what to tell the user.
    const TRunDiagnosis& v = e.Runs.back();
    out << "Run " << e.Runs.size() << " of " << e.Runs.size() << " (lines " << v.FirstLine << "-" << v.LastLine
        << "): " << v.Outcome << ", at " << v.Step << "\n";
    if (!v.Faults.empty()) out << "Why: " << v.Faults.front().Cause << "\n";
    out << "Tell the user: " << TellUser(v) << "\n";
    if (v.Confidence != "high") {
        out << "Unsure:";
        for (const std::string& doubt : v.Doubts) out << (&doubt == &v.Doubts.front() ? " " : "; ") << doubt;
        out << "\n";
    }
    out << "\nReply to the user:\n";
    std::istringstream reply(ReplyToUser(v));
    for (std::string line; std::getline(reply, line);) out << "  " << line << "\n";
    out << "\nDetails\n";
    if (e.Encoding != "UTF-8") out << "(the text was read as " << e.Encoding << ")\n";
    for (const std::string& note : e.Notes) out << "(" << note << ")\n";
    // The latest run first, then the earlier ones.
    for (size_t k = e.Runs.size(); k-- > 0;) {
        const TRunDiagnosis& d = e.Runs[k];
        if (k + 1 < e.Runs.size()) out << "\n";
        out << "Run " << k + 1 << " of " << e.Runs.size() << " (lines " << d.FirstLine << "-" << d.LastLine << ")\n";
        out << "  utility version:    " << (d.UtilityVersion.empty() ? "not in the paste" : d.UtilityVersion) << "\n";
        if (!d.StartedAt.empty()) out << "  started:            " << d.StartedAt << "\n";
        out << "  installed version:  ";
        if (d.InstalledVersion.empty()) out << "not identified";
        else out << d.InstalledVersion << (d.Edition.empty() ? "" : ", " + d.Edition) << " in " << d.Folder;
        out << "\n  outcome:            " << d.Outcome << "\n";
        out << "  confidence:         " << d.Confidence << "\n";
        out << "  error trail:        ";
        if (d.Trail.empty()) out << "(none)";
        for (size_t i = 0; i < d.Trail.size(); ++i) out << (i ? "-" : "") << d.Trail[i];
        out << (d.TrailFromRequest ? "   (as sent with the catalogue request)\n" : "   (from the log's lines)\n");
        out << "  steps:\n";
        for (const TStepOutcome& s : d.Steps) {
            std::string name = RunStepName(s.Step);
            out << "    " << name << std::string(name.size() < 24 ? 24 - name.size() : 1, ' ') << s.Status << "\n";
        }
        if (!d.Faults.empty()) {
            const TFault& f = d.Faults.front();
            out << "  first thing that went wrong (line " << f.Line << "): " << f.Text << "\n";
            out << "    likely cause:     " << f.Cause << "\n";
            if (!f.Advice.empty()) out << "    tell the user:    " << f.Advice << "\n";
            for (size_t i = 1; i < d.Faults.size(); ++i)
                out << "  then (line " << d.Faults[i].Line << "): " << d.Faults[i].Text << "\n    "
                    << d.Faults[i].Cause << "\n";
        } else {
            out << "  nothing went wrong\n";
        }
        for (const std::string& doubt : d.Doubts) out << "  unsure: " << doubt << "\n";
        for (const TFault& g : d.Unreadable) out << "  could not read (line " << g.Line << "): " << g.Text << "\n";
    }
}

void WriteExplanationJson(const TExplanation& e, std::ostream& out) {
    out << "{\"schema\": " << kExplainSchema << ", \"encoding\": " << JsonString(e.Encoding) << ", \"notes\": [";
    for (size_t i = 0; i < e.Notes.size(); ++i) out << (i ? ", " : "") << JsonString(e.Notes[i]);
    out << "],\n \"verdict\": ";
    if (e.Runs.empty()) {
        out << "null";
    } else {
        const TRunDiagnosis& v = e.Runs.back();
        out << "{\"run\": " << e.Runs.size() << ", \"of\": " << e.Runs.size() << ", \"outcome\": "
            << JsonString(v.Outcome) << ", \"step\": " << JsonString(v.Step)
            << ", \"confidence\": " << JsonString(v.Confidence) << ", \"tell_user\": " << JsonString(TellUser(v))
            << ", \"reply\": " << JsonString(ReplyToUser(v)) << "}";
    }
    out << ",\n \"runs\": [";
    const char* sep = "";
    for (const TRunDiagnosis& d : e.Runs) {
        out << sep << "\n {\"utility_version\": " << (d.UtilityVersion.empty() ? "null" : JsonString(d.UtilityVersion))
            << ", \"installed_version\": "
            << (d.InstalledVersion.empty() ? "null" : JsonString(d.InstalledVersion))
            << ", \"edition\": " << (d.Edition.empty() ? "null" : JsonString(d.Edition))
            << ", \"folder\": " << (d.Folder.empty() ? "null" : JsonString(d.Folder))
            << ", \"started\": " << (d.StartedAt.empty() ? "null" : JsonString(d.StartedAt))
            << ", \"first_line\": " << d.FirstLine << ", \"last_line\": " << d.LastLine
            << ", \"beginning_missing\": " << (d.BeginningMissing ? "true" : "false") << ",\n  \"outcome\": "
            << JsonString(d.Outcome) << ", \"step\": " << JsonString(d.Step)
            << ", \"confidence\": " << JsonString(d.Confidence) << ", \"doubts\": [";
        for (size_t i = 0; i < d.Doubts.size(); ++i) out << (i ? ", " : "") << JsonString(d.Doubts[i]);
        out << "],\n  \"trail\": [";
        for (size_t i = 0; i < d.Trail.size(); ++i) out << (i ? ", " : "") << JsonString(d.Trail[i]);
        out << "], \"trail_source\": " << JsonString(d.TrailFromRequest ? "request" : "lines") << ",\n  \"steps\": [";
        for (size_t i = 0; i < d.Steps.size(); ++i)
            out << (i ? ", " : "") << "{\"step\": " << JsonString(RunStepName(d.Steps[i].Step))
                << ", \"status\": " << JsonString(d.Steps[i].Status) << "}";
        out << "],\n  \"faults\": [";
        for (size_t i = 0; i < d.Faults.size(); ++i)
            out << (i ? ",\n    " : "") << "{\"line\": " << d.Faults[i].Line << ", \"text\": " << JsonString(d.Faults[i].Text)
                << ", \"cause\": " << JsonString(d.Faults[i].Cause) << ", \"advice\": " << JsonString(d.Faults[i].Advice)
                << "}";
        out << "],\n  \"unreadable\": [";
        for (size_t i = 0; i < d.Unreadable.size(); ++i)
            out << (i ? ", " : "") << "{\"line\": " << d.Unreadable[i].Line
                << ", \"text\": " << JsonString(d.Unreadable[i].Text) << "}";
        out << "]}";
        sep = ",";
    }
    out << "\n]}\n";
}
