// The page's entry into explain: the pasted bytes in, the diagnosis out as
// JSON (verdict and runs) and as the text `updlog explain` prints.
#include <emscripten/emscripten.h>

#include <sstream>
#include <string>

#include "tools/updlog/Explain.h"

namespace {
std::string json, text;
}

extern "C" {

// Returns the JSON; updlog_text() then returns the text of the same paste.
EMSCRIPTEN_KEEPALIVE const char* updlog_explain(const char* bytes, int size) {
    const TExplanation e = Explain(std::string(bytes, static_cast<size_t>(size < 0 ? 0 : size)));
    std::ostringstream j, t;
    WriteExplanationJson(e, j);
    WriteExplanation(e, t);
    json = j.str();
    text = t.str();
    return json.c_str();
}

EMSCRIPTEN_KEEPALIVE const char* updlog_text() { return text.c_str(); }
}
