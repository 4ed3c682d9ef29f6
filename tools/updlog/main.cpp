// updlog: explains a pasted run log, and counts the error trails of the
// utility's catalogue requests in web server access logs.
#include <cstdio>
#include <fstream>
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
    "       updlog trails [--json | --csv | --partial] [FILE... | -]     (plain or .gz access logs)\n"
    "       updlog trails --merge [--json | --csv | --partial] PARTIAL...\n";

// A pasted log is small; anything larger is not one.
const size_t kMaxPaste = 4u << 20;

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

int Failure(const std::string& message) {
    std::fprintf(stderr, "updlog: %s\n", message.c_str());
    return 1;
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

int ExplainVerb(const std::vector<std::string>& args) {
    bool json = false;
    std::string source = "-";
    int sources = 0;
    for (const std::string& a : args) {
        if (a == "--json") json = true;
        else if (a.size() > 1 && a[0] == '-' && a != "--clipboard") return Usage();
        else if (++sources > 1) return Usage();
        else source = a;
    }
    std::string bytes, error;
    if (source == "--clipboard") {
        if (!ReadClipboardText(bytes, error)) return Failure(error);
    } else if (source == "-") {
        if (!ReadBounded(std::cin, bytes)) return Failure("the input is larger than 4 MB: not a pasted log");
    } else {
        std::ifstream f(source, std::ios::binary);
        if (!f) return Failure("cannot read " + source);
        if (!ReadBounded(f, bytes)) return Failure(source + " is larger than 4 MB: not a pasted log");
    }
    const TExplanation e = ::Explain(bytes);
    if (json) WriteExplanationJson(e, std::cout);
    else WriteExplanation(e, std::cout);
    return e.Runs.empty() ? 1 : 0;
}

int TrailsVerb(const std::vector<std::string>& args) {
    bool json = false, csv = false, partial = false, merge = false;
    std::vector<std::string> files;
    for (const std::string& a : args) {
        if (a == "--json") json = true;
        else if (a == "--csv") csv = true;
        else if (a == "--partial") partial = true;
        else if (a == "--merge") merge = true;
        else if (a.size() > 1 && a[0] == '-') return Usage();
        else files.push_back(a);
    }
    if (json + csv + partial > 1 || (merge && files.empty())) return Usage();
    if (files.empty()) files.push_back("-");
    TTrailCounts counts;
    int status = 0;
    for (const std::string& file : files) {
        std::string error;
        if (merge) {
            std::ifstream in;
            if (file != "-") in.open(file, std::ios::binary);
            std::istream& source = file == "-" ? std::cin : in;
            if ((file != "-" && !in) || !counts.ReadPartial(source, error))
                return Failure(file + ": " + (error.empty() ? "cannot read it" : error));
        } else if (!CountFile(file, counts, error)) {
            // The lines read so far still count; the exit status tells.
            std::fprintf(stderr, "updlog: %s\n", error.c_str());
            status = 1;
        }
    }
    if (partial) counts.WritePartial(std::cout);
    else if (json) counts.WriteJson(std::cout);
    else if (csv) counts.WriteCsv(std::cout);
    else counts.WriteTable(std::cout);
    std::cout.flush();
    return std::cout ? status : Failure("cannot write the output");
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    NarrowDllSearch();
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    if (argc < 2) return Usage();
    const std::string verb = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    try {
        if (verb == "explain") return ExplainVerb(args);
        if (verb == "trails") return TrailsVerb(args);
    } catch (const std::exception& e) {
        return Failure(e.what());
    }
    return Usage();
}
