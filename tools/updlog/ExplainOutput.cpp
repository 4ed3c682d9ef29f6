// The explanation written out: the verdict and the reply first, then the
// details of every run, as text or JSON.
#include <sstream>

#include "tools/updlog/Explain.h"
#include "tools/updlog/Json.h"

namespace {

const char kWhereTheLogIs[] =
    "StirpelloUpdateLog.txt, in the Stirpello folder or in %LOCALAPPDATA%\\Stirpello\\Update";

std::string TellUser(const TRunDiagnosis& d) {
    if (!d.Faults.empty() && !d.Faults.front().Advice.empty()) return d.Faults.front().Advice;
    if (d.Outcome == "launched") return "nothing: the update module was started and takes over from here";
    return "run the utility again; if it fails the same way, send us the whole log";
}

}  // namespace

std::string ReplyToUser(const TRunDiagnosis& d) {
    std::string r = "Thank you for the log. ";
    if (d.Outcome == "launched" && d.Faults.empty()) {
        r += "The update utility ran to the end and started the update module, which now brings Stirpello up to "
             "date. If Stirpello still does not update, please send us the new log.";
    } else {
        const std::string what = d.Outcome == "launched" ? "started the update module, but on the way"
                                 : d.Outcome == "stopped" ? "stopped before the update, at " + d.Step + ", because"
                                 : d.Outcome == "closed"  ? "was closed before it finished, at " + d.Step + ":"
                                                          : "log you sent ends early, at " + d.Step + ":";
        r += "The update utility " + what + " " + (d.Faults.empty() ? "" : d.Faults.front().Cause) + ".\n";
        r += "Please " + TellUser(d) + ".";
    }
    if (d.Confidence != "high")
        r += "\nIf that does not help, please send us the whole log: " + std::string(kWhereTheLogIs) + ".";
    return r;
}

void WriteExplanation(const TExplanation& e, std::ostream& out) {
    if (e.Runs.empty()) {
        out << "No run log found in the input.\n";
        return;
    }
    // The verdict first: the latest run, and what to tell the user.
    const TRunDiagnosis& v = e.Runs.back();
    out << "Run " << e.Runs.size() << " of " << e.Runs.size() << " (lines " << v.FirstLine << "-" << v.LastLine
        << "): " << v.Outcome << ", at " << v.Step << "\n";
    if (!v.Faults.empty()) out << "Why: " << v.Faults.front().Cause << "\n";
    out << "Tell the user: " << TellUser(v) << "\n";
    if (v.Confidence != "high") {
        out << "Unsure:";
        for (const std::string& doubt : v.Doubts) out << (&doubt == &v.Doubts.front() ? " " : "; ") << doubt;
        out << "\n";
    }
    out << "\nReply to the user:\n";
    std::istringstream reply(ReplyToUser(v));
    for (std::string line; std::getline(reply, line);) out << "  " << line << "\n";
    out << "\nDetails\n";
    if (e.Encoding != "UTF-8") out << "(the text was read as " << e.Encoding << ")\n";
    for (const std::string& note : e.Notes) out << "(" << note << ")\n";
    // The latest run first, then the earlier ones.
    for (size_t k = e.Runs.size(); k-- > 0;) {
        const TRunDiagnosis& d = e.Runs[k];
        if (k + 1 < e.Runs.size()) out << "\n";
        out << "Run " << k + 1 << " of " << e.Runs.size() << " (lines " << d.FirstLine << "-" << d.LastLine << ")\n";
        out << "  utility version:    " << (d.UtilityVersion.empty() ? "not in the paste" : d.UtilityVersion) << "\n";
        if (!d.StartedAt.empty()) out << "  started:            " << d.StartedAt << "\n";
        out << "  installed version:  ";
        if (d.InstalledVersion.empty()) out << "not identified";
        else out << d.InstalledVersion << (d.Edition.empty() ? "" : ", " + d.Edition) << " in " << d.Folder;
        out << "\n  outcome:            " << d.Outcome << "\n";
        out << "  confidence:         " << d.Confidence << "\n";
        out << "  error trail:        ";
        if (d.Trail.empty()) out << "(none)";
        for (size_t i = 0; i < d.Trail.size(); ++i) out << (i ? "-" : "") << d.Trail[i];
        out << (d.TrailFromRequest ? "   (as sent with the catalogue request)\n" : "   (from the log's lines)\n");
        out << "  steps:\n";
        for (const TStepOutcome& s : d.Steps) {
            std::string name = RunStepName(s.Step);
            out << "    " << name << std::string(name.size() < 24 ? 24 - name.size() : 1, ' ') << s.Status << "\n";
        }
        if (!d.Faults.empty()) {
            const TFault& f = d.Faults.front();
            out << "  first thing that went wrong (line " << f.Line << "): " << f.Text << "\n";
            out << "    likely cause:     " << f.Cause << "\n";
            if (!f.Advice.empty()) out << "    tell the user:    " << f.Advice << "\n";
            for (size_t i = 1; i < d.Faults.size(); ++i)
                out << "  then (line " << d.Faults[i].Line << "): " << d.Faults[i].Text << "\n    "
                    << d.Faults[i].Cause << "\n";
        } else {
            out << "  nothing went wrong\n";
        }
        for (const std::string& doubt : d.Doubts) out << "  unsure: " << doubt << "\n";
        for (const TFault& g : d.Unreadable) out << "  could not read (line " << g.Line << "): " << g.Text << "\n";
    }
}

void WriteExplanationJson(const TExplanation& e, std::ostream& out) {
    out << "{\"schema\": " << kExplainSchema << ", \"encoding\": " << JsonString(e.Encoding) << ", \"notes\": [";
    for (size_t i = 0; i < e.Notes.size(); ++i) out << (i ? ", " : "") << JsonString(e.Notes[i]);
    out << "],\n \"verdict\": ";
    if (e.Runs.empty()) {
        out << "null";
    } else {
        const TRunDiagnosis& v = e.Runs.back();
        out << "{\"run\": " << e.Runs.size() << ", \"of\": " << e.Runs.size() << ", \"outcome\": "
            << JsonString(v.Outcome) << ", \"step\": " << JsonString(v.Step)
            << ", \"confidence\": " << JsonString(v.Confidence) << ", \"tell_user\": " << JsonString(TellUser(v))
            << ", \"reply\": " << JsonString(ReplyToUser(v)) << "}";
    }
    out << ",\n \"runs\": [";
    const char* sep = "";
    for (const TRunDiagnosis& d : e.Runs) {
        out << sep << "\n {\"utility_version\": " << (d.UtilityVersion.empty() ? "null" : JsonString(d.UtilityVersion))
            << ", \"installed_version\": "
            << (d.InstalledVersion.empty() ? "null" : JsonString(d.InstalledVersion))
            << ", \"edition\": " << (d.Edition.empty() ? "null" : JsonString(d.Edition))
            << ", \"folder\": " << (d.Folder.empty() ? "null" : JsonString(d.Folder))
            << ", \"started\": " << (d.StartedAt.empty() ? "null" : JsonString(d.StartedAt))
            << ", \"first_line\": " << d.FirstLine << ", \"last_line\": " << d.LastLine
            << ", \"beginning_missing\": " << (d.BeginningMissing ? "true" : "false") << ",\n  \"outcome\": "
            << JsonString(d.Outcome) << ", \"step\": " << JsonString(d.Step)
            << ", \"confidence\": " << JsonString(d.Confidence) << ", \"doubts\": [";
        for (size_t i = 0; i < d.Doubts.size(); ++i) out << (i ? ", " : "") << JsonString(d.Doubts[i]);
        out << "],\n  \"trail\": [";
        for (size_t i = 0; i < d.Trail.size(); ++i) out << (i ? ", " : "") << JsonString(d.Trail[i]);
        out << "], \"trail_source\": " << JsonString(d.TrailFromRequest ? "request" : "lines") << ",\n  \"steps\": [";
        for (size_t i = 0; i < d.Steps.size(); ++i)
            out << (i ? ", " : "") << "{\"step\": " << JsonString(RunStepName(d.Steps[i].Step))
                << ", \"status\": " << JsonString(d.Steps[i].Status) << "}";
        out << "],\n  \"faults\": [";
        for (size_t i = 0; i < d.Faults.size(); ++i)
            out << (i ? ",\n    " : "") << "{\"line\": " << d.Faults[i].Line << ", \"text\": " << JsonString(d.Faults[i].Text)
                << ", \"cause\": " << JsonString(d.Faults[i].Cause) << ", \"advice\": " << JsonString(d.Faults[i].Advice)
                << "}";
        out << "],\n  \"unreadable\": [";
        for (size_t i = 0; i < d.Unreadable.size(); ++i)
            out << (i ? ", " : "") << "{\"line\": " << d.Unreadable[i].Line
                << ", \"text\": " << JsonString(d.Unreadable[i].Text) << "}";
        out << "]}";
        sep = ",";
    }
    out << "\n]}\n";
}
