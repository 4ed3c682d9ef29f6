#pragma once
// The utility's failures are exceptions carrying the message that the run log
// and the user see. Everything thrown by project code derives from EError.
#include <stdexcept>
#include <string>

class EError : public std::runtime_error {
public:
    explicit EError(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

// An operating-system call failed; Code is the system's error number.
class EOSError : public EError {
public:
    EOSError(const std::string& message, unsigned long code) : EError(message), Code(code) {}
    unsigned long Code;
};

// A file could not be opened or created ("Cannot open file ..." and the like).
class EFOpenError : public EError {
public:
    using EError::EError;
};

class EReadError : public EError {
public:
    using EError::EError;
};

class EWriteError : public EError {
public:
    using EError::EError;
};

// The system's description of an error number, without the trailing line break.
std::string SysErrorMessage(unsigned long code);
