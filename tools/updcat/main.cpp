// updcat: writes, dumps and evaluates update catalogues.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

#include "catalogue/Inflate.h"
#include "catalogue/SoftwareUpdateList.h"
#include "tools/updcat/CatalogueText.h"
#include "tools/updcat/FileOutput.h"

#ifdef _WIN32
#include "fileutil/DllSearch_win32.h"
#endif

namespace {

const char kUsage[] =
    "usage: updcat build [--plain] SOURCE OUT.UPD | updcat dump FILE.UPD | updcat select FILE.UPD VERSION\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

int Failure(const std::string& message) {
    std::fprintf(stderr, "updcat: %s\n", message.c_str());
    return 1;
}

// "-" reads standard input.
bool ReadAll(const std::string& path, std::string& out) {
    if (path == "-") {
        std::ostringstream s;
        s << std::cin.rdbuf();
        out = s.str();
        return true;
    }
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return !f.bad();
}

bool ParseVersion(const std::string& s, int32_t& v) {
    if (s.empty() || s.size() > 11) return false;
    char* end = nullptr;
    long long n = std::strtoll(s.c_str(), &end, 10);
    if (*end != '\0' || !(std::isdigit(static_cast<unsigned char>(s.back())))) return false;
    if (n < INT32_MIN || n > INT32_MAX) return false;
    v = static_cast<int32_t>(n);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    NarrowDllSearch();
    TrustOnlyAdministratorRedirections();
#endif
    std::string command = argc > 1 ? argv[1] : "";
    try {
        if (command == "build" && (argc == 4 || (argc == 5 && std::string(argv[2]) == "--plain"))) {
            bool plain = argc == 5;
            std::string source;
            if (!ReadAll(argv[argc - 2], source)) return Failure(std::string("cannot read ") + argv[argc - 2]);
            std::string bytes;
            try {
                bytes = CompileCatalogue(source);
            } catch (const ESourceError& e) {
                return Failure(std::string(argv[argc - 2]) + ": " + e.what());
            }
            WriteFileReplacing(argv[argc - 1], plain ? bytes : Deflate(bytes));
            return 0;
        }
        if ((command == "dump" && argc == 3) || (command == "select" && argc == 4)) {
            int32_t version = 0;
            if (command == "select" && !ParseVersion(argv[3], version)) return Usage();
            std::string data;
            if (!ReadAll(argv[2], data)) return Failure(std::string("cannot read ") + argv[2]);
            TSoftwareUpdateList list;
            list.LoadFromString(data);
            if (command == "dump") {
                int32_t first = 0, format = 0;
                ReadCatalogueIntro(data, first, format);
                std::fputs(DumpCatalogue(first, format, list).c_str(), stdout);
            } else {
                list.SelectFor(version);
                std::fputs(SelectionReport(list).c_str(), stdout);
            }
            return std::fflush(stdout) == 0 ? 0 : Failure("cannot write the output");
        }
    } catch (const std::exception& e) {
        return Failure(e.what());
    }
    return Usage();
}
