#pragma once
// The GUI driver's command language: one command per line, words separated
// by blanks, double quotes around words with blanks (\" \\ \r \n \t inside),
// "#" starts a comment line. A script stops at its first failing command.
// The commands and their words are listed by Usage().
#include <windows.h>

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "fileutil/Handles_win32.h"

class TDriverScript {
public:
    TDriverScript(std::ostream& out, std::ostream& err);

    // Runs every line of in; on a failure writes "source:line: message" to
    // the error stream and returns false.
    bool Run(std::istream& in, const std::string& source);
    // Runs one command (its words). Throws EDriverError when it fails.
    void Execute(const std::vector<std::string>& words);

    // Splits one line into words. Throws EDriverError on an open quote.
    static std::vector<std::string> Split(const std::string& line);
    // Shows control characters and quotes as escapes, for messages.
    static std::string Escaped(const std::string& text);
    static const char* Usage();

private:
    HWND Current() const;
    DWORD Timeout(const std::vector<std::string>& words, size_t index) const;
    DWORD Wait(const std::vector<std::string>& words, size_t index) const;
    // Checks until check() answers "" or waitMs have passed; then throws
    // EDriverError with check()'s last answer.
    void Expect(DWORD waitMs, const std::function<std::string()>& check) const;

    std::ostream& out_;
    std::ostream& err_;
    DWORD timeoutMs_ = 10000;
    HWND window_ = nullptr;
    std::string windowTitle_;
    std::string workDir_;
    TKernelHandle process_;
};
