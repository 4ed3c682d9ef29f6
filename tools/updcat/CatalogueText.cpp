#include "tools/updcat/CatalogueText.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "catalogue/CodePage.h"
#include "catalogue/Inflate.h"
#include "catalogue/Reader.h"
#include "catalogue/SoftwareUpdateList.h"
#include "catalogue/Writer.h"

namespace {

enum class TTokenKind { Word, String, Open, Close, OpenBrace, CloseBrace };

struct TToken {
    TTokenKind kind;
    std::string text;
    int line;
};

[[noreturn]] void Fail(int line, const std::string& message) {
    throw ESourceError("line " + std::to_string(line) + ": " + message);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::vector<TToken> Tokenize(const std::string& src) {
    std::vector<TToken> out;
    int line = 1;
    size_t i = 0;
    while (i < src.size()) {
        char c = src[i];
        if (c == '\n') {
            ++line, ++i;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
            ++i;
        } else if (c == '#') {
            while (i < src.size() && src[i] != '\n') ++i;
        } else if (c == '[' || c == ']' || c == '{' || c == '}') {
            TTokenKind k = c == '[' ? TTokenKind::Open
                           : c == ']' ? TTokenKind::Close
                           : c == '{' ? TTokenKind::OpenBrace
                                      : TTokenKind::CloseBrace;
            out.push_back({k, std::string(1, c), line});
            ++i;
        } else if (c == '"') {
            std::string text;
            ++i;
            for (;;) {
                if (i >= src.size() || src[i] == '\n') Fail(line, "unterminated string");
                char d = src[i++];
                if (d == '"') break;
                if (d != '\\') {
                    text += d;
                    continue;
                }
                if (i >= src.size()) Fail(line, "unterminated string");
                char e = src[i++];
                switch (e) {
                    case '\\': text += '\\'; break;
                    case '"': text += '"'; break;
                    case 'n': text += '\n'; break;
                    case 'r': text += '\r'; break;
                    case 't': text += '\t'; break;
                    case '0': text += '\0'; break;
                    case 'x': {
                        int hi = i < src.size() ? HexDigit(src[i]) : -1;
                        int lo = i + 1 < src.size() ? HexDigit(src[i + 1]) : -1;
                        if (hi < 0 || lo < 0) Fail(line, "\\x needs two hex digits");
                        text += static_cast<char>(hi * 16 + lo);
                        i += 2;
                        break;
                    }
                    default: Fail(line, std::string("unknown escape \\") + e);
                }
            }
            out.push_back({TTokenKind::String, text, line});
        } else {
            size_t start = i;
            while (i < src.size() && !std::strchr(" \t\r\n\f\v#[]{}\"", src[i])) ++i;
            out.push_back({TTokenKind::Word, src.substr(start, i - start), line});
        }
    }
    return out;
}

bool ParseInt(const std::string& s, int64_t& v) {
    if (s.empty()) return false;
    size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
    bool neg = s[0] == '-';
    int base = 10;
    if (s.size() > i + 2 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) base = 16, i += 2;
    if (i >= s.size()) return false;
    uint64_t mag = 0;
    for (; i < s.size(); ++i) {
        int d = HexDigit(s[i]);
        if (d < 0 || d >= base) return false;
        if (mag > (UINT64_MAX - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) return false;
        mag = mag * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    if (neg ? mag > (uint64_t{1} << 63) : mag > static_cast<uint64_t>(INT64_MAX)) return false;
    v = neg ? static_cast<int64_t>(0 - mag) : static_cast<int64_t>(mag);
    return true;
}

bool ParseFloat(const std::string& s, double& v) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    v = std::strtod(s.c_str(), &end);
    return end == s.c_str() + s.size();
}

std::string ParseHex(const std::string& s, int line) {
    std::string out;
    int nibble = -1;
    for (char c : s) {
        if (c == ' ' || c == '\t') continue;
        int d = HexDigit(c);
        if (d < 0) Fail(line, "not a hex digit: '" + std::string(1, c) + "'");
        if (nibble < 0) {
            nibble = d;
        } else {
            out += static_cast<char>(nibble * 16 + d);
            nibble = -1;
        }
    }
    if (nibble >= 0) Fail(line, "odd number of hex digits");
    return out;
}

const std::set<std::string>& ValueKeywords() {
    static const std::set<std::string> words = {
        "int8", "int16", "int32", "int64", "short", "ident", "long", "wide", "utf8", "date", "single",
        "currency", "extended", "false", "true", "nil", "null", "bytes", "set", "list", "collection", "raw"};
    return words;
}

bool IsNumber(const std::string& w) {
    int64_t i;
    double d;
    if (ParseInt(w, i)) return true;
    // Words like "nan" or "inf" are not numbers here; "date nan" is.
    return !w.empty() && (std::isdigit(static_cast<unsigned char>(w[0])) || w[0] == '-' || w[0] == '+' || w[0] == '.') &&
           ParseFloat(w, d);
}

class TCompiler {
public:
    explicit TCompiler(std::vector<TToken> tokens) : t_(std::move(tokens)) {}

    std::string Run();

private:
    bool AtEnd() const { return i_ >= t_.size(); }
    const TToken& Peek() const { return t_[i_]; }
    int Line() const { return AtEnd() ? (t_.empty() ? 1 : t_.back().line) : Peek().line; }
    const TToken& Next(const char* what) {
        if (AtEnd()) Fail(Line(), std::string("expected ") + what + " at the end of the source");
        return t_[i_++];
    }
    std::string Word(const char* what) {
        const TToken& tok = Next(what);
        if (tok.kind != TTokenKind::Word) Fail(tok.line, std::string("expected ") + what);
        return tok.text;
    }
    std::string Text(const char* what) {
        const TToken& tok = Next(what);
        if (tok.kind != TTokenKind::String) Fail(tok.line, std::string("expected ") + what + " in double quotes");
        return tok.text;
    }
    int64_t Integer(int64_t lo, int64_t hi) {
        const TToken& tok = Next("an integer");
        int64_t v;
        if (tok.kind != TTokenKind::Word || !ParseInt(tok.text, v)) Fail(tok.line, "expected an integer");
        if (v < lo || v > hi) Fail(tok.line, "integer out of range: " + tok.text);
        return v;
    }
    void Expect(TTokenKind kind, const char* what) {
        const TToken& tok = Next(what);
        if (tok.kind != kind) Fail(tok.line, std::string("expected ") + what);
    }
    bool StartsValue() const {
        if (AtEnd()) return false;
        const TToken& tok = Peek();
        return tok.kind == TTokenKind::String ||
               (tok.kind == TTokenKind::Word && (ValueKeywords().count(tok.text) || IsNumber(tok.text)));
    }
    std::string ValueBytes() {
        TWriter w;
        Value(w);
        return w.Bytes();
    }
    void Value(TWriter& w);
    void Collection(TWriter& w);
    std::string Record(int line);

    std::vector<TToken> t_;
    size_t i_ = 0;
};

void TCompiler::Value(TWriter& w) {
    const TToken& tok = Next("a value");
    if (tok.kind == TTokenKind::String) return w.WriteString(tok.text);
    if (tok.kind != TTokenKind::Word) Fail(tok.line, "expected a value, not '" + tok.text + "'");
    const std::string& k = tok.text;
    int64_t i;
    double d;
    if (ParseInt(k, i)) return w.WriteInteger(i);
    if (IsNumber(k) && ParseFloat(k, d)) return w.WriteDate(d);
    if (k == "int8") return w.WriteInt8(static_cast<int8_t>(Integer(INT8_MIN, INT8_MAX)));
    if (k == "int16") return w.WriteInt16(static_cast<int16_t>(Integer(INT16_MIN, INT16_MAX)));
    if (k == "int32") return w.WriteInt32(static_cast<int32_t>(Integer(INT32_MIN, INT32_MAX)));
    if (k == "int64") return w.WriteInt64(Integer(INT64_MIN, INT64_MAX));
    if (k == "short" || k == "ident") {
        std::string s = Text("a string");
        if (s.size() > 255) Fail(tok.line, "a short string holds at most 255 bytes");
        return w.WriteShortString(s, k == "short" ? vaString : vaIdent);
    }
    if (k == "long") return w.WriteLongString(Text("a string"));
    if (k == "utf8") return w.WriteUtf8String(Text("a string"));
    if (k == "wide") {
        std::u16string units;
        if (!Utf8ToUtf16(Text("a string"), units)) Fail(tok.line, "a wide string's text must be UTF-8");
        return w.WriteWideString(units);
    }
    if (k == "date" || k == "single") {
        std::string n = Word("a number");
        if (k == "date" && n.size() == 21 && n.compare(0, 5, "bits:") == 0) {
            std::string bits = ParseHex(n.substr(5), tok.line);
            uint64_t v = 0;
            for (char c : bits) v = (v << 8) | static_cast<unsigned char>(c);
            return w.WriteDateBits(v);
        }
        if (!ParseFloat(n, d)) Fail(tok.line, "expected a number, not '" + n + "'");
        if (k == "date") return w.WriteDate(d);
        return w.WriteSingle(static_cast<float>(d));
    }
    if (k == "currency") return w.WriteCurrency(Integer(INT64_MIN, INT64_MAX));
    if (k == "extended") {
        std::string b = ParseHex(Word("20 hex digits"), tok.line);
        if (b.size() != 10) Fail(tok.line, "an extended value is 10 bytes (20 hex digits)");
        uint8_t raw[10];
        std::memcpy(raw, b.data(), 10);
        return w.WriteExtended(raw);
    }
    if (k == "false" || k == "true") return w.WriteBoolean(k == "true");
    if (k == "nil") return w.WriteNil();
    if (k == "null") return w.WriteTag(vaNull);
    if (k == "bytes") return w.WriteBinary(Text("the bytes"));
    if (k == "raw") {
        const TToken& h = Next("hex digits");
        if (h.kind != TTokenKind::Word && h.kind != TTokenKind::String) Fail(h.line, "expected hex digits");
        return w.WriteRaw(ParseHex(h.text, h.line));
    }
    if (k == "set") {
        Expect(TTokenKind::Open, "'['");
        std::vector<std::string> names;
        while (!AtEnd() && Peek().kind != TTokenKind::Close) {
            const TToken& n = Next("a name");
            if (n.kind != TTokenKind::Word && n.kind != TTokenKind::String) Fail(n.line, "expected a set member");
            if (n.text.empty() || n.text.size() > 255) Fail(n.line, "a set member has 1 to 255 bytes");
            names.push_back(n.text);
        }
        Expect(TTokenKind::Close, "']'");
        return w.WriteSet(names);
    }
    if (k == "list") {
        Expect(TTokenKind::Open, "'['");
        w.WriteListBegin();
        while (!AtEnd() && Peek().kind != TTokenKind::Close) Value(w);
        Expect(TTokenKind::Close, "']'");
        return w.WriteListEnd();
    }
    if (k == "collection") return Collection(w);
    Fail(tok.line, "unknown value '" + k + "'");
}

// collection [ item [ORDER] { NAME VALUE ... } ... ]
void TCompiler::Collection(TWriter& w) {
    Expect(TTokenKind::Open, "'['");
    w.WriteCollectionBegin();
    while (!AtEnd() && Peek().kind != TTokenKind::Close) {
        std::string item = Word("'item'");
        if (item != "item") Fail(t_[i_ - 1].line, "expected 'item'");
        if (!AtEnd() && Peek().kind != TTokenKind::OpenBrace) Value(w);  // the order number
        Expect(TTokenKind::OpenBrace, "'{'");
        w.WriteTag(vaList);
        while (!AtEnd() && Peek().kind != TTokenKind::CloseBrace) {
            const TToken& name = Next("a property name");
            if (name.kind != TTokenKind::Word && name.kind != TTokenKind::String) Fail(name.line, "expected a property name");
            if (name.text.size() > 255) Fail(name.line, "a property name has at most 255 bytes");
            w.WriteStr(name.text);
            Value(w);
        }
        Expect(TTokenKind::CloseBrace, "'}'");
        w.WriteListEnd();
    }
    Expect(TTokenKind::Close, "']'");
    w.WriteListEnd();
}

std::string TCompiler::Record(int line) {
    bool exact = false;
    TWriter marker, id, format, body;
    marker.WriteShortString("<SU>");
    id.WriteString("I00");
    format.WriteInteger(100);
    // Options stand on the record's own line.
    while (!AtEnd() && Peek().line == line) {
        if (Peek().kind == TTokenKind::Word && Peek().text == "exact") {
            exact = true;
            ++i_;
        } else {
            format.Bytes() = ValueBytes();
        }
    }
    std::set<std::string> named;
    for (;;) {
        if (AtEnd()) Fail(line, "record without 'end'");
        const TToken& tok = Peek();
        if (tok.kind == TTokenKind::Word) {
            const std::string& k = tok.text;
            if (k == "end") {
                ++i_;
                break;
            }
            if (k == "marker" || k == "id" || k == "format") {
                ++i_;
                TWriter& part = k == "marker" ? marker : k == "id" ? id : format;
                if (!AtEnd() && Peek().kind == TTokenKind::Word && Peek().text == "none") {
                    ++i_;
                    part.Bytes().clear();
                } else {
                    part.Bytes() = ValueBytes();
                }
                continue;
            }
            if (k == "value") {
                ++i_;
                Value(body);
                continue;
            }
        }
        // A pair: the code is a plain word or a quoted string unless it is
        // written as a value (a number, or a keyword such as wide or raw).
        if (tok.kind == TTokenKind::String || (tok.kind == TTokenKind::Word && !StartsValue())) {
            named.insert(tok.text);
            body.WriteString(tok.text);
            ++i_;
        } else if (StartsValue()) {
            Value(body);
        } else {
            Fail(tok.line, "expected a field code, not '" + tok.text + "'");
        }
        Value(body);
    }
    if (!exact) {
        const std::string codes = TSoftwareUpdate::FieldCodes;
        for (size_t p = 0; p < codes.size(); p += 3) {
            std::string code = codes.substr(p, 3);
            if (named.count(code)) continue;
            body.WriteString(code);
            if (code[0] == 'I')
                body.WriteInteger(0);
            else if (code[0] == 'S')
                body.WriteString("");
            else
                body.WriteDate(0.0);
        }
    }
    return marker.Bytes() + id.Bytes() + format.Bytes() + body.Bytes();
}

std::string TCompiler::Run() {
    TWriter intro;
    intro.WriteInteger(0);
    intro.WriteInteger(100);
    TWriter header;
    header.WriteString("");
    std::string classes, classCount, recordCount, body;
    int32_t classLines = 0, records = 0;
    bool haveClassCount = false, haveRecordCount = false;
    int64_t truncate = -1;
    while (!AtEnd()) {
        const TToken& tok = Next("a statement");
        if (tok.kind != TTokenKind::Word) Fail(tok.line, "expected a statement, not '" + tok.text + "'");
        const std::string k = tok.text;
        if (k == "catalogue") {
            intro.Bytes() = ValueBytes();
            intro.Bytes() += ValueBytes();
        } else if (k == "header") {
            header.Bytes() = ValueBytes();
        } else if (k == "class") {
            classes += ValueBytes();
            ++classLines;
        } else if (k == "classes") {
            classCount = ValueBytes();
            haveClassCount = true;
        } else if (k == "records") {
            recordCount = ValueBytes();
            haveRecordCount = true;
        } else if (k == "record") {
            body += Record(tok.line);
            ++records;
        } else if (k == "value") {
            body += ValueBytes();
        } else if (k == "raw") {
            --i_;
            body += ValueBytes();
        } else if (k == "truncate") {
            truncate = Integer(0, INT64_MAX);
        } else {
            Fail(tok.line, "unknown statement '" + k + "'");
        }
    }
    if (!haveClassCount) {
        TWriter w;
        w.WriteInteger(classLines);
        classCount = w.Bytes();
    }
    if (!haveRecordCount) {
        TWriter w;
        w.WriteInteger(records);
        recordCount = w.Bytes();
    }
    std::string out = intro.Bytes() + header.Bytes() + classCount + classes + recordCount + body;
    if (truncate >= 0 && static_cast<uint64_t>(truncate) < out.size()) out.resize(static_cast<size_t>(truncate));
    return out;
}

std::string DateText(double d) {
    if (!std::isfinite(d)) {
        uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        char buf[32];
        std::snprintf(buf, sizeof buf, "bits:%016" PRIX64, bits);
        return buf;
    }
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", d);
    return buf;
}

}  // namespace

std::string CompileCatalogue(const std::string& source) { return TCompiler(Tokenize(source)).Run(); }

std::string Quote(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out + "\"";
}

void ReadCatalogueIntro(const std::string& fileBytes, int32_t& first, int32_t& format) {
    TInflateStream source(fileBytes);
    TReader reader(source);
    first = reader.ReadInteger();
    format = reader.ReadInteger();
}

std::string DumpCatalogue(int32_t first, int32_t format, const TSoftwareUpdateList& list) {
    std::string out = "# update catalogue, " + std::to_string(list.Count()) + " records in list order\n";
    out += "catalogue " + std::to_string(first) + " " + std::to_string(format) + "\n";
    out += "header " + Quote(list.HeaderText) + "\n";
    for (const std::string& line : list.ClassLines) out += "class " + Quote(line) + "\n";
    for (int i = 0; i < list.Count(); ++i) {
        const TSoftwareUpdate& u = list[i];
        out += "record\n";
        out += "  I01 " + std::to_string(u.Version()) + "\n";
        out += "  S02 " + Quote(u.OrderKey()) + "\n";
        out += "  S03 " + Quote(u.Kind()) + "\n";
        out += "  D04 date " + DateText(u.Date()) + "\n";
        out += "  S05 " + Quote(u.Text05()) + "\n";
        out += "  S06 " + Quote(u.Text06()) + "\n";
        out += "  I07 " + std::to_string(u.Number07()) + "\n";
        out += "  I08 " + std::to_string(u.Number08()) + "\n";
        out += "  S09 " + Quote(u.Text09()) + "\n";
        out += "  S10 " + Quote(u.Text10()) + "\n";
        out += "  S11 " + Quote(u.FromVersions()) + "\n";
        out += "  S12 " + Quote(u.ClassLetters()) + "\n";
        out += "end\n";
    }
    return out;
}

std::string SelectionReport(const TSoftwareUpdateList& list) {
    std::string out;
    for (int i = 0; i < list.Count(); ++i) {
        const TSoftwareUpdate& u = list[i];
        out += std::to_string(u.Version()) + " [" + std::string(u.Kind()) + "] order " + Quote(u.OrderKey()) + " from " +
               Quote(u.FromVersions()) + " classes " + Quote(u.ClassLetters()) + "\n";
    }
    out += "latest " + std::to_string(list.LatestVersion()) +
           ", newest is major: " + (list.NewestIsMajor() ? "yes" : "no") + "\n";
    return out;
}
