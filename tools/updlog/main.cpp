// updlog: explains a pasted run log, and counts the error trails of the
// utility's catalogue requests in web server access logs.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iostream>
#include <string>
#include <vector>

#include "tools/updlog/Clipboard.h"
#include "tools/updlog/Explain.h"
#include "tools/updlog/Trails.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include "fileutil/DllSearch_win32.h"
#endif

namespace {

const char kUsage[] =
    "usage: updlog explain [--json] [FILE | - | --clipboard]\n"
    "       updlog trails [--json | --csv | --partial | --html OUT] [FILE... | -]\n"
    "       updlog trails --merge [--json | --csv | --partial | --html OUT] PARTIAL...\n"
    "       updlog help [explain | trails]\n"
    "       updlog --help | --version\n";

const char kExplainHelp[] =
    "usage: updlog explain [--json] [FILE | - | --clipboard]\n"
    "\n"
    "Explains a run log of the update utility as a user pasted or sent it (quoted,\n"
    "re-wrapped, with text around it, in UTF-8, UTF-16, Windows-1252 or a mail's\n"
    "quoted-printable source). The verdict comes first: which run (the one that\n"
    "started last, by the times the runs logged), its outcome (launched, stopped,\n"
    "closed or cut), the step, why, what to tell the user, the other runs in one\n"
    "line, and a reply that can be sent as it stands; then the details of every\n"
    "run. Where lines are missing it says it is unsure.\n"
    "\n"
    "The utility writes its log as StirpelloUpdateLog.txt in the Stirpello program\n"
    "folder, or, when the user cannot write there, in\n"
    "%LOCALAPPDATA%\\Stirpello\\Update\\StirpelloUpdateLog.txt. It also puts the\n"
    "log on the clipboard at the end of a run.\n"
    "\n"
    "  FILE         the pasted text (at most 4 MB); - or nothing: standard input\n"
    "  --clipboard  the text on the clipboard (Windows)\n"
    "  --json       the diagnosis as JSON (with a schema number)\n"
    "\n"
    "Exit status: 0 a diagnosis was made, 1 no run log in the input, 2 bad usage,\n"
    "3 the input cannot be read.\n";

const char kTrailsHelp[] =
    "usage: updlog trails [--json | --csv | --partial | --html OUT] [FILE... | -]\n"
    "       updlog trails --merge [--json | --csv | --partial | --html OUT] PARTIAL...\n"
    "\n"
    "Counts the update utility's catalogue requests in web server access logs\n"
    "(Common or Combined Log Format, plain or gzip) by error code, trail, version,\n"
    "day and ISO week, and the HTTP status of each catalogue.\n"
    "\n"
    "  --json, --csv  the counts in that form (JSON with a schema number)\n"
    "  --partial      a mergeable count, for counting parts of the logs apart\n"
    "  --merge        add up partial counts instead of reading access logs\n"
    "  --html OUT     write a self-contained report with charts to OUT (or --html=OUT)\n"
    "\n"
    "Exit status: 0 counted, 1 counted with a warning (most lines are not access\n"
    "log lines, or a file is compressed in a form updlog does not read), 2 bad\n"
    "usage, 3 a file cannot be read.\n";

// A pasted log is small; anything larger is not one.
const size_t kMaxPaste = 4u << 20;

int UsageError(const std::string& what) {
    std::fprintf(stderr, "updlog: %s\n%s", what.c_str(), kUsage);
    return 2;
}

int Unreadable(const std::string& message) {
    std::fprintf(stderr, "updlog: %s\n", message.c_str());
    return 3;
}

bool ReadBounded(std::istream& in, std::string& out) {
    std::vector<char> buffer(1 << 16);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        out.append(buffer.data(), static_cast<size_t>(in.gcount()));
        if (out.size() > kMaxPaste) return false;
    }
    return true;
}

std::string Reason() { return std::strerror(errno ? errno : EIO); }

// "--json=yes": an option that takes no value, given one.
bool TakesNoValue(const std::string& a, std::initializer_list<const char*> flags) {
    for (const char* f : flags) {
        const size_t n = std::strlen(f);
        if (a.size() > n && a.compare(0, n, f) == 0 && a[n] == '=') return true;
    }
    return false;
}

bool WantsHelp(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (a == "--") return false;
        if (a == "--help" || a == "-h") return true;
    }
    return false;
}

int ExplainVerb(const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        std::fputs(kExplainHelp, stdout);
        return 0;
    }
    bool json = false, clipboard = false, options = true;
    std::vector<std::string> sources;
    for (const std::string& a : args) {
        if (options && a == "--") options = false;
        else if (options && a == "--json") json = true;
        else if (options && a == "--clipboard") clipboard = true;
        else if (options && TakesNoValue(a, {"--json", "--clipboard"}))
            return UsageError("explain: " + a.substr(0, a.find('=')) + " takes no value");
        else if (options && a.size() > 1 && a[0] == '-') return UsageError("explain: unknown option '" + a + "'");
        else sources.push_back(a);
    }
    if (sources.size() + clipboard > 1)
        return UsageError("explain: one input only, but also '" + (sources.size() > 1 ? sources[1] : sources[0]) + "'");
    const std::string source = sources.empty() ? "-" : sources[0];
    std::string bytes, error;
    if (clipboard) {
        if (!ReadClipboardText(bytes, error)) return Unreadable("cannot read the clipboard: " + error);
    } else if (source == "-") {
        if (!ReadBounded(std::cin, bytes)) return Unreadable("the input is larger than 4 MB: not a pasted log");
        if (std::cin.bad()) return Unreadable("cannot read standard input: " + Reason());
    } else {
        errno = 0;
        std::ifstream f(source, std::ios::binary);
        if (!f) return Unreadable("cannot read " + source + ": " + Reason());
        if (!ReadBounded(f, bytes)) return Unreadable(source + " is larger than 4 MB: not a pasted log");
        if (f.bad()) return Unreadable("cannot read " + source + ": " + Reason());
    }
    const TExplanation e = ::Explain(bytes);
    if (json) WriteExplanationJson(e, std::cout);
    else WriteExplanation(e, std::cout);
    std::cout.flush();
    if (!std::cout) return Unreadable("cannot write the output");
    return e.Runs.empty() ? 1 : 0;
}

int TrailsVerb(const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        std::fputs(kTrailsHelp, stdout);
        return 0;
    }
    bool json = false, csv = false, partial = false, merge = false, options = true;
    std::string html;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (options && a == "--") options = false;
        else if (options && a == "--json") json = true;
        else if (options && a == "--csv") csv = true;
        else if (options && a == "--partial") partial = true;
        else if (options && a == "--merge") merge = true;
        else if (options && a == "--html") {
            if (i + 1 >= args.size()) return UsageError("trails: --html needs the file to write");
            html = args[++i];
        } else if (options && a.compare(0, 7, "--html=") == 0) {
            html = a.substr(7);
            if (html.empty()) return UsageError("trails: --html= needs the file to write");
        } else if (options && TakesNoValue(a, {"--json", "--csv", "--partial", "--merge"})) {
            return UsageError("trails: " + a.substr(0, a.find('=')) + " takes no value");
        } else if (options && a.size() > 1 && a[0] == '-') return UsageError("trails: unknown option '" + a + "'");
        else files.push_back(a);
    }
    if (json + csv + partial + !html.empty() > 1)
        return UsageError("trails: pick one of --json, --csv, --partial and --html");
    if (merge && files.empty()) return UsageError("trails: --merge needs the partial counts to add up");
    if (files.empty()) files.push_back("-");
    TTrailCounts counts;
    int status = 0;
    size_t counted = 0;  // files read, whole or in part
    for (const std::string& file : files) {
        std::string error;
        if (merge) {
            errno = 0;
            std::ifstream in;
            if (file != "-") in.open(file, std::ios::binary);
            if (file != "-" && !in) return Unreadable("cannot read " + file + ": " + Reason());
            std::istream& source = file == "-" ? std::cin : in;
            if (!counts.ReadPartial(source, error)) return Unreadable(file + ": " + error);
            ++counted;
            continue;
        }
        const uint64_t lines = counts.Lines, malformed = counts.Malformed;
        bool unreadable = false;
        if (!CountFile(file, counts, error, &unreadable)) {
            // The lines read so far still count; the exit status tells.
            std::fprintf(stderr, "updlog: %s\n", error.c_str());
            status = std::max(status, unreadable ? 3 : 1);
            if (counts.Lines > lines) ++counted;
            continue;
        }
        ++counted;
        const uint64_t read = counts.Lines - lines, bad = counts.Malformed - malformed;
        if (read > 0 && bad * 2 > read) {
            std::fprintf(stderr, "updlog: warning: %llu of the %llu lines of %s are not access log lines\n",
                         static_cast<unsigned long long>(bad), static_cast<unsigned long long>(read), file.c_str());
            status = std::max(status, 1);
        }
    }
    // Nothing read at all: the error says it, an empty report would not.
    if (counted == 0 && status != 0) return status;
    if (!html.empty()) {
        errno = 0;
        std::ofstream out(html, std::ios::binary);
        if (out) counts.WriteHtml(out);
        out.close();
        if (!out) return Unreadable("cannot write " + html + ": " + Reason());
        return status;
    }
    if (partial) counts.WritePartial(std::cout);
    else if (json) counts.WriteJson(std::cout);
    else if (csv) counts.WriteCsv(std::cout);
    else counts.WriteTable(std::cout);
    std::cout.flush();
    return std::cout ? status : Unreadable("cannot write the output");
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    NarrowDllSearch();
    TrustOnlyAdministratorRedirections();
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    if (argc < 2) return UsageError("a command is needed: explain or trails");
    const std::string verb = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (verb == "help" && args.size() == 1 && (args[0] == "explain" || args[0] == "trails")) {
        std::fputs(args[0] == "explain" ? kExplainHelp : kTrailsHelp, stdout);
        return 0;
    }
    if (verb == "help" && !args.empty()) return UsageError("help: no command '" + args[0] + "'");
    if (verb == "--help" || verb == "-h" || verb == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (verb == "--version") {
        std::printf("updlog %s\n", UPDLOG_VERSION);
        return 0;
    }
    try {
        if (verb == "explain") return ExplainVerb(args);
        if (verb == "trails") return TrailsVerb(args);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "updlog: %s\n", e.what());
        return 3;
    }
    return UsageError("unknown command '" + verb + "'");
}
