#pragma once
// The text form of update catalogues that `updcat build` compiles and
// `updcat dump` prints. The form is described in tools/updcat/README.md.
#include <cstdint>
#include <string>
#include <string_view>

#include "fileutil/Errors.h"

class TSoftwareUpdateList;

// A mistake in a catalogue source; the message starts with "line N: ".
class ESourceError : public EError {
public:
    using EError::EError;
};

// Compiles a catalogue source into the inflated value stream (not yet
// compressed). Throws ESourceError.
std::string CompileCatalogue(const std::string& source);

// The source text of a loaded catalogue: the two leading integers, the header
// text, the class lines and every record with its twelve fields in list
// order. Compiling it gives the canonical stream of that catalogue.
std::string DumpCatalogue(int32_t first, int32_t format, const TSoftwareUpdateList& list);

// Reads the two leading integers of a catalogue file. Throws what loading
// would throw for them.
void ReadCatalogueIntro(const std::string& fileBytes, int32_t& first, int32_t& format);

// One line per record, "VERSION [KIND] ...", then "latest N, newest is
// major: yes|no"; each line ends with '\n'.
std::string SelectionReport(const TSoftwareUpdateList& list);

// s in double quotes, with \" \\ and \xHH for bytes outside printable ASCII.
std::string Quote(std::string_view s);
