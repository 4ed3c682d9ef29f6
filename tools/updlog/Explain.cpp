#include "tools/updlog/Explain.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <string_view>

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

// ---- The paste as one text ---------------------------------------------------
//
// The paste's lines, unquoted and trimmed, without blank lines, joined by
// '\n'. A '\n' where a mail program may have wrapped a longer line (the line
// and the next word would not have fitted in 72 columns) may stand for a blank.

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
            soft_.push_back((at - lineStart) + 1 + (word - at - 1) > 72);
        }
    }

    const std::string& Text() const { return s_; }
    size_t Size() const { return s_.size(); }
    // May a '\n' at i stand for a blank?
    bool Soft(size_t i) const {
        auto it = std::lower_bound(breaks_.begin(), breaks_.end(), i);
        return it != breaks_.end() && *it == i && soft_[static_cast<size_t>(it - breaks_.begin())];
    }
    // The end of the text a value starting at i may span: the next hard line break.
    size_t SpanEnd(size_t i) const {
        for (auto it = std::lower_bound(breaks_.begin(), breaks_.end(), i); it != breaks_.end(); ++it)
            if (!soft_[static_cast<size_t>(it - breaks_.begin())]) return *it;
        return s_.size();
    }
    int LineAt(size_t i) const {
        auto it = std::upper_bound(starts_.begin(), starts_.end(), i);
        return it == starts_.begin() ? 1 : numbers_[static_cast<size_t>(it - starts_.begin()) - 1];
    }
    const std::vector<size_t>& Breaks() const { return breaks_; }

private:
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
        if (e == b) return;
        if (!s_.empty()) {
            breaks_.push_back(s_.size());
            s_ += '\n';
        }
        starts_.push_back(s_.size());
        numbers_.push_back(number);
        s_.append(line, b, e - b);
    }

    std::string s_;
    std::vector<size_t> breaks_;
    std::vector<bool> soft_;
    std::vector<size_t> starts_;
    std::vector<int> numbers_;
};

struct TMatch {
    size_t End;
    std::vector<std::string> Args;
};

class TMatcher {
public:
    TMatcher(const TPaste& paste, const std::vector<size_t>& ends) : p_(paste), s_(paste.Text()), ends_(ends) {}

    std::vector<TMatch> Match(const TTemplate& t, size_t at) const {
        std::vector<TMatch> out;
        std::vector<std::string> args;
        Step(t, 0, at, args, out);
        return out;
    }

private:
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

    void Step(const TTemplate& t, size_t piece, size_t at, std::vector<std::string>& args,
              std::vector<TMatch>& out) const {
        if (out.size() > 8) return;
        if (piece == t.Pieces.size()) {
            out.push_back({at, args});
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
                    out.push_back({i, args});
                    args.pop_back();
                    return;
                }
                if (i >= s_.size()) return;
                if (want == ' ' ? !Blank(i) : s_[i] != want) return;
            }
            Step(t, piece + 1, i, args, out);
            return;
        }
        // No line of the run is longer; the bound keeps a pathological paste linear.
        const size_t span = std::min(p_.SpanEnd(at), at + 4096);
        const bool last = piece + 1 == t.Pieces.size();
        if (pc.Type == 'v' || pc.Type == '#' || pc.Type == 'w') {
            size_t e = at;
            while (e < span && Continues(pc.Type, s_[e])) {
                ++e;
                if (!last && e > at) TryAfter(t, piece, at, e, args, out);
            }
            if (last && ValidValue(pc.Type, Value(at, e))) {
                args.push_back(Value(at, e));
                Step(t, piece + 1, e, args, out);
                args.pop_back();
            }
            return;
        }
        if (!last) {
            // Jump to where the next fixed text's first word appears (it may
            // follow a wrapped line end), a few times at most.
            const std::string& lit = t.Pieces[piece + 1].Literal;
            const bool blank = lit[0] == ' ';
            const std::string word = lit.substr(blank ? 1 : 0, lit.find(' ', 1) - (blank ? 1 : 0));
            const std::string_view within = std::string_view(s_).substr(0, span + word.size());
            int tried = 0;
            for (size_t w = within.find(word, at + (blank ? 1 : 0)); w != std::string::npos && tried < 16;
                 w = within.find(word, w + 1)) {
                const size_t e = blank ? w - 1 : w;
                if (e >= span) break;
                if (blank && s_[e] != ' ' && s_[e] != '\n') continue;
                ++tried;
                TryAfter(t, piece, at, e, args, out);
            }
            return;
        }
        // A value that ends the line: it ends where a line does or where
        // another of the run's lines begins (a lost line end).
        // The nearest few suffice (a value rarely holds another line's start),
        // and keep a paste full of such starts linear.
        int tried = 0;
        for (auto it = std::lower_bound(ends_.begin(), ends_.end(), at);
             it != ends_.end() && *it <= span && tried < 8; ++it, ++tried) {
            std::string v = Value(at, *it);
            while (!v.empty() && v.back() == ' ') v.pop_back();
            if (!ValidValue(pc.Type, v)) continue;
            args.push_back(v);
            Step(t, piece + 1, *it, args, out);
            args.pop_back();
        }
    }

    void TryAfter(const TTemplate& t, size_t piece, size_t from, size_t to, std::vector<std::string>& args,
                  std::vector<TMatch>& out) const {
        std::string v = Value(from, to);
        if (!ValidValue(t.Pieces[piece].Type, v)) return;
        args.push_back(v);
        Step(t, piece + 1, to, args, out);
        args.pop_back();
    }

    const TPaste& p_;
    const std::string& s_;
    const std::vector<size_t>& ends_;
};

}  // namespace

TDecodedText DecodePaste(const std::string& b) {
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

TParsedPaste ParsePaste(const std::string& utf8) {
    const TPaste paste(utf8);
    const std::string& s = paste.Text();
    const size_t n = s.size();
    const std::vector<TTemplate>& templates = Templates();

    // Where a line of the run may start: a line start, or where a line's
    // fixed beginning appears (the line ends before it were lost).
    std::vector<size_t> starts{0};
    for (size_t b : paste.Breaks()) starts.push_back(b + 1);
    for (const TTemplate& t : templates) {
        if (t.Pieces.empty()) continue;
        if (!t.Pieces[0].Placeholder) {
            const std::string& lit = t.Pieces[0].Literal;
            if (lit.size() < 4) continue;
            for (size_t at = s.find(lit); at != std::string::npos; at = s.find(lit, at + 1)) starts.push_back(at);
        } else if (t.Pieces.size() > 1 && (t.Pieces[0].Type == '#' || t.Pieces[0].Type == 'w')) {
            // "3 Desktop Shortcuts...": back from the words over the value.
            const std::string& lit = t.Pieces[1].Literal;
            for (size_t at = s.find(lit); at != std::string::npos; at = s.find(lit, at + 1)) {
                size_t b = at;
                while (b > 0 && (t.Pieces[0].Type == '#' ? IsDigit(s[b - 1]) : s[b - 1] != ' ' && s[b - 1] != '\n'))
                    --b;
                if (b < at) starts.push_back(b);
            }
        }
    }
    // Where a path begins ("C:\"): a running program's line starts with one.
    for (size_t at = s.find(":\\"); at != std::string::npos; at = s.find(":\\", at + 1))
        if (at > 0 && std::isalpha(static_cast<unsigned char>(s[at - 1]))) starts.push_back(at - 1);
    std::sort(starts.begin(), starts.end());
    starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
    std::vector<size_t> ends = starts;
    ends.insert(ends.end(), paste.Breaks().begin(), paste.Breaks().end());
    ends.push_back(n);
    std::sort(ends.begin(), ends.end());
    ends.erase(std::unique(ends.begin(), ends.end()), ends.end());
    const TMatcher matcher(paste, ends);

    // The most lines of the run, then the fewest unreadable characters: a
    // value at a line's end must not swallow the lines after it.
    struct TNode {
        long long Garbage = -1;
        int Lines = 0;
        size_t From = 0;
        bool Clean = false;
        bool IsLine = false;
        TFoundLine Line{};
    };
    std::map<size_t, TNode> nodes;
    auto offer = [&](size_t to, long long garbage, int lines, size_t from, bool clean, const TFoundLine* line) {
        TNode& node = nodes[to];
        node.Clean = node.Clean || clean;
        if (node.Garbage < 0 || lines > node.Lines || (lines == node.Lines && garbage < node.Garbage)) {
            node.Garbage = garbage;
            node.Lines = lines;
            node.From = from;
            node.IsLine = line != nullptr;
            if (line) node.Line = *line;
        }
    };
    offer(0, 0, 0, 0, true, nullptr);
    for (auto it = nodes.begin(); it != nodes.end() && it->first < n; ++it) {
        const size_t at = it->first;
        const TNode node = it->second;
        const bool lineStart = at == 0 || s[at - 1] == '\n';
        const bool clean = node.Clean || lineStart;
        if (clean && (s[at] == ' ' || s[at] == '\n')) offer(at + 1, node.Garbage, node.Lines, at, true, nullptr);
        for (const TTemplate& t : templates) {
            if (t.Pieces.empty()) continue;
            if (t.Pieces[0].Placeholder ? !clean : s.compare(at, 1, t.Pieces[0].Literal, 0, 1) != 0) continue;
            for (TMatch& m : matcher.Match(t, at)) {
                if (m.End <= at) continue;
                TFoundLine line{t.Id, std::move(m.Args), paste.LineAt(at)};
                offer(m.End, node.Garbage, node.Lines + 1, at, true, &line);
            }
        }
        auto next = std::upper_bound(starts.begin(), starts.end(), at);
        const size_t to = next == starts.end() ? n : *next;
        long long skipped = 0;
        for (size_t i = at; i < to; ++i) skipped += s[i] != ' ' && s[i] != '\n';
        offer(to, node.Garbage + skipped, node.Lines, at, false, nullptr);
    }

    TParsedPaste parsed;
    std::vector<std::pair<size_t, size_t>> garbage;
    for (size_t at = n; at > 0;) {
        const TNode& node = nodes[at];
        if (node.IsLine) {
            parsed.Lines.push_back(node.Line);
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
                 "ask for the whole log (StirpelloUpdateLog.txt in the Stirpello folder)"};
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
    // Steps: what each logged; a quiet step counts as done when a later one ran.
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
        else if (static_cast<int>(k) < lastReached) o.Status = "ok";
        else o.Status = d.Outcome == "cut" ? "not in the log" : "not reached";
        d.Steps.push_back(o);
    }
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

TExplanation Explain(const std::string& bytes) {
    TExplanation e;
    TDecodedText decoded = DecodePaste(bytes);
    e.Encoding = decoded.Encoding;
    TParsedPaste parsed = ParsePaste(decoded.Text);
    // Runs: each header starts one; lines before the first header form a run
    // whose beginning was not pasted.
    std::vector<std::vector<TFoundLine>> runs;
    for (const TFoundLine& l : parsed.Lines) {
        if (runs.empty() || l.Id == TRunMsg::UtilityVersion) runs.emplace_back();
        runs.back().push_back(l);
    }
    int crcSeen = 0;
    for (size_t r = 0; r < runs.size(); ++r) {
        // Text that could not be read counts for the run it sits inside.
        const int from = runs[r].front().Line;
        const int to = r + 1 < runs.size() ? runs[r + 1].front().Line : runs[r].back().Line + 1;
        std::vector<TFault> inside;
        for (const TFault& g : parsed.Garbage)
            if (g.Line >= from && (g.Line < to || (r + 1 == runs.size() && g.Line == to))) inside.push_back(g);
        // Text after a run's end is the mail around it; after a cut run it
        // may be the line cut in half, so it is shown.
        TRunDiagnosis d = Diagnose(runs[r], inside, crcSeen > 0 ? 1 : 0);
        for (const TFoundLine& l : runs[r]) crcSeen += l.Id == TRunMsg::DownloadCrc;
        if (d.Outcome != "cut") {
            std::vector<TFault> kept;
            for (const TFault& g : d.Unreadable)
                if (g.Line <= d.LastLine) kept.push_back(g);
            d.Unreadable = kept;
        }
        e.Runs.push_back(std::move(d));
    }
    return e;
}

void WriteExplanation(const TExplanation& e, std::ostream& out) {
    if (e.Runs.empty()) {
        out << "No run log found in the input.\n";
        return;
    }
    if (e.Encoding != "UTF-8") out << "(the text was read as " << e.Encoding << ")\n";
    int number = 0;
    for (const TRunDiagnosis& d : e.Runs) {
        if (number) out << "\n";
        out << "Run " << ++number << " (lines " << d.FirstLine << "-" << d.LastLine << ")\n";
        out << "  utility version:    " << (d.UtilityVersion.empty() ? "not in the paste" : d.UtilityVersion) << "\n";
        if (!d.StartedAt.empty()) out << "  started:            " << d.StartedAt << "\n";
        out << "  installed version:  ";
        if (d.InstalledVersion.empty()) out << "not identified";
        else out << d.InstalledVersion << (d.Edition.empty() ? "" : ", " + d.Edition) << " in " << d.Folder;
        out << "\n  outcome:            " << d.Outcome << "\n";
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
        for (const TFault& g : d.Unreadable) out << "  could not read (line " << g.Line << "): " << g.Text << "\n";
    }
}

void WriteExplanationJson(const TExplanation& e, std::ostream& out) {
    out << "[";
    const char* sep = "";
    for (const TRunDiagnosis& d : e.Runs) {
        out << sep << "\n {\"utility_version\": " << (d.UtilityVersion.empty() ? "null" : JsonString(d.UtilityVersion))
            << ", \"installed_version\": "
            << (d.InstalledVersion.empty() ? "null" : JsonString(d.InstalledVersion))
            << ", \"edition\": " << (d.Edition.empty() ? "null" : JsonString(d.Edition))
            << ", \"folder\": " << (d.Folder.empty() ? "null" : JsonString(d.Folder))
            << ", \"started\": " << (d.StartedAt.empty() ? "null" : JsonString(d.StartedAt))
            << ", \"first_line\": " << d.FirstLine << ", \"last_line\": " << d.LastLine
            << ", \"encoding\": " << JsonString(e.Encoding) << ",\n  \"outcome\": " << JsonString(d.Outcome)
            << ", \"trail\": [";
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
    out << "\n]\n";
}
