#pragma once
// The run log: the ordered lines every step writes. Append-only, never
// trimmed or cleared while the program runs; it reaches the user only as the
// clipboard text and the log file when the main window closes.
#include <string>
#include <vector>

class TRunLog {
public:
    void Add(const std::string& line) { lines_.push_back(line); }
    const std::vector<std::string>& Lines() const { return lines_; }
    bool Empty() const { return lines_.empty(); }
    // Every line followed by a carriage return and line feed.
    std::string Text() const;

private:
    std::vector<std::string> lines_;
};
