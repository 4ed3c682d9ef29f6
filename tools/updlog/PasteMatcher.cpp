// The paste matcher: finds the run's lines in the paste's text, whatever
// the paste did to their line ends, and tells the rest apart as unreadable.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <iterator>
#include <map>
#include <stdexcept>
#include <unordered_map>

#include "tools/updlog/Explain.h"
#include "tools/updlog/ExplainParts.h"

namespace {

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
            // An empty value at the line's start (" is running...": the
            // program's path could not be read) lost its blank in the paste.
            if (blank && piece == 0 && pc.Type != 'a' && (at == 0 || s_[at - 1] == '\n')) {
                size_t i = at;
                size_t k = 1;
                for (; k < lit.size() && i < s_.size(); ++k, ++i)
                    if (lit[k] == ' ' ? !Blank(i) : s_[i] != lit[k]) break;
                if (k == lit.size()) {
                    args.push_back("");
                    Step(t, piece + 2, i, args, out, values);
                    args.pop_back();
                }
            }
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
        if (text.empty()) continue;
        TFault unreadable;
        unreadable.Line = paste.LineAt(g.first);
        unreadable.Text = std::move(text);
        parsed.Garbage.push_back(std::move(unreadable));
    }
    return parsed;
}
