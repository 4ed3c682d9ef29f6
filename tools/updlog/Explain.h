#pragma once
// Reading pasted run logs: finds the run's lines in whatever the paste did to
// them (quoting, lost or doubled line ends, wrapping, text around them, other
// encodings) and diagnoses each run found.
#include <ostream>
#include <string>
#include <vector>

#include "app/RunMessages.h"

// The paste as UTF-8 text, and how its bytes were read.
struct TDecodedText {
    std::string Text;
    std::string Encoding;  // "UTF-8", "UTF-16LE", "UTF-16BE", "Windows-1252"
};
TDecodedText DecodePaste(const std::string& bytes);

// One line of the run found in the paste.
struct TFoundLine {
    TRunMsg Id;
    std::vector<std::string> Args;
    int Line;  // in the input, from 1
};

struct TFault {
    int Line = 0;
    std::string Text;
    std::string Cause;   // for the desk
    std::string Advice;  // for the desk: what to tell the user
    // The same for the user, in sentences the reply can carry as they stand:
    // what happened, and what to do ("" when there is nothing to do).
    std::string Said;
    std::string Ask;
    bool AskIfNotUpdated = true;  // for a run that started the module all the same
};

struct TStepOutcome {
    TRunStep Step;
    std::string Status;  // "ok", "note", "failed", "stopped", "closed", "not reached", "not in the log"
};

struct TRunDiagnosis {
    int FirstLine = 0;
    int LastLine = 0;
    std::string UtilityVersion;    // "" when the header is missing
    std::string StartedAt;
    std::string InstalledVersion;  // "" when not identified
    std::string Edition;
    std::string Folder;
    std::string Outcome;  // "launched", "stopped", "closed", "cut"
    std::vector<std::string> Trail;
    bool TrailFromRequest = false;
    std::vector<TStepOutcome> Steps;
    std::vector<TFault> Faults;      // the first is the first thing that went wrong
    std::vector<TFault> Unreadable;  // parts inside the run that could not be read
    std::vector<TFoundLine> Lines;
    bool BeginningMissing = false;  // no header: the paste starts inside the run
    std::string Step;               // where the run ended or went wrong first
    // "high", or "low" with the reasons in Doubts (gaps, unreadable parts...).
    std::string Confidence = "high";
    std::vector<std::string> Doubts;
};

struct TExplanation {
    std::string Encoding;
    std::vector<TRunDiagnosis> Runs;  // in paste order
    // The run the verdict is on: the one that started last, by the start
    // times the runs logged; the last in the paste where a time is missing.
    size_t Verdict = 0;
    // Why the verdict is on that run, where the paste's order alone would
    // not say it (times missing, or not in the paste's order); "" otherwise.
    std::string VerdictNote;
    std::vector<std::string> Notes;  // about the paste as a whole
};

// The JSON layout's version: a reader checks it before reading further.
constexpr int kExplainSchema = 3;

// A run's start time ("12/11/2026 12:10:04 AM", as the user's locale writes
// it) as a number that sorts in time order; dayFirst picks D/M/Y over M/D/Y
// for dates that do not say. -1 when it is not a time.
long long StartTimeKey(const std::string& text, bool dayFirst);

// The run lines found in the text, in order, plus what could not be read.
struct TParsedPaste {
    static constexpr size_t kMaxPasteLines = 50000;
    // Of the run's lines and the unreadable parts together, the last
    // kMaxPasteLines at most.
    std::vector<TFoundLine> Lines;
    std::vector<TFault> Garbage;  // Line and Text only
    bool LinesLeftOut = false;    // earlier lines were not read
};
TParsedPaste ParsePaste(const std::string& utf8);

TExplanation Explain(const std::string& bytes);
// A few sentences support can send back to the user about the run, as they
// stand: plain words, nothing meant for the desk only.
std::string ReplyToUser(const TRunDiagnosis& d);
// What to tell the user in a line, for the desk.
std::string TellUser(const TRunDiagnosis& d);
// "Other runs: run 1 (started ...): launched; ...", or "" for a single run.
std::string OtherRuns(const TExplanation& e);
void WriteExplanation(const TExplanation& e, std::ostream& out);
void WriteExplanationJson(const TExplanation& e, std::ostream& out);
