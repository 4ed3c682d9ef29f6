#pragma once
// The run log: the ordered lines every step writes. Append-only, never
// trimmed or cleared while the program runs; it reaches the user only as the
// clipboard text and the log file when the main window closes. Lines come
// only from the table of run messages, so that whoever reads a log later
// (updlog explain) knows every one of them.
#include <initializer_list>
#include <string>
#include <vector>

#include "app/RunMessages.h"

class TRunLog {
public:
    void Add(TRunMsg message, std::initializer_list<std::string> args = {}) {
        lines_.push_back(FormatRunMessage(message, args));
        const TLineKind kind = RunMessage(message).Kind;
        if (kind == TLineKind::Fault || kind == TLineKind::Stop) ++faults_;
    }
    // How many lines so far said that something went wrong.
    size_t Faults() const { return faults_; }
    // A line that a lower layer words (fileutil's held-file notes); its texts
    // are rows of the table too (HeldFileWait, HeldFileGiveUp).
    void AddNote(const std::string& line) { lines_.push_back(line); }
    const std::vector<std::string>& Lines() const { return lines_; }
    bool Empty() const { return lines_.empty(); }
    // Every line followed by a carriage return and line feed.
    std::string Text() const;

private:
    std::vector<std::string> lines_;
    size_t faults_ = 0;
};
