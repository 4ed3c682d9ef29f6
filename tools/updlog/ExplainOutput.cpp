// The explanation written out: the verdict and the reply first, then the
// details of every run, as text or JSON.
#include <sstream>
#include <vector>

#include "tools/updlog/Explain.h"
#include "tools/updlog/Json.h"

std::string TellUser(const TRunDiagnosis& d) {
    // What the reply asks of the user, in the verdict's words ("Please close
    // Stirpello." -> "close Stirpello"); the table's advice, which may hold
    // notes for the desk, stays in the details.
    if (!d.Faults.empty() && d.Faults.front().Ask.compare(0, 7, "Please ") == 0) {
        std::string ask = d.Faults.front().Ask.substr(7);
        if (!ask.empty() && ask.back() == '.') ask.pop_back();
        return ask;
    }
    if (!d.Faults.empty() && !d.Faults.front().Advice.empty()) return d.Faults.front().Advice;
    if (d.Outcome == "launched") return "nothing: the update module was started and takes over from here";
    return "run the utility again; if it fails the same way, send us the whole log";
}

std::string OtherRuns(const TExplanation& e) {
    std::string line;
    for (size_t k = 0; k < e.Runs.size(); ++k) {
        if (k == e.Verdict) continue;
        const TRunDiagnosis& d = e.Runs[k];
        line += (line.empty() ? "Other runs: run " : "; run ") + std::to_string(k + 1);
        if (!d.StartedAt.empty()) line += " (started " + d.StartedAt + ")";
        line += ": " + d.Outcome + (d.Outcome == "launched" ? "" : ", at " + d.Step);
    }
    return line;
}

void WriteExplanation(const TExplanation& e, std::ostream& out) {
    if (e.Runs.empty()) {
        out << "No run log found in the input.\n";
        return;
    }
    // The verdict first: the run that started last, and what to tell the user.
    const TRunDiagnosis& v = e.Runs[e.Verdict];
    out << "Run " << e.Verdict + 1 << " of " << e.Runs.size() << " (lines " << v.FirstLine << "-" << v.LastLine
        << "): " << v.Outcome << ", at " << v.Step << "\n";
    if (!v.Faults.empty()) out << "Why: " << v.Faults.front().Cause << "\n";
    out << "Tell the user: " << TellUser(v) << "\n";
    if (v.Confidence != "high") {
        out << "Unsure:";
        for (const std::string& doubt : v.Doubts) out << (&doubt == &v.Doubts.front() ? " " : "; ") << doubt;
        out << "\n";
    }
    if (!e.VerdictNote.empty()) out << "Which run: " << e.VerdictNote << "\n";
    const std::string others = OtherRuns(e);
    if (!others.empty()) out << others << "\n";
    out << "\nReply to the user:\n";
    std::istringstream reply(ReplyToUser(v));
    for (std::string line; std::getline(reply, line);) out << "  " << line << "\n";
    out << "\nDetails\n";
    if (e.Encoding != "UTF-8") out << "(the text was read as " << e.Encoding << ")\n";
    for (const std::string& note : e.Notes) out << "(" << note << ")\n";
    // The verdict's run first, then the others, the latest in the paste first.
    std::vector<size_t> order{e.Verdict};
    for (size_t k = e.Runs.size(); k-- > 0;)
        if (k != e.Verdict) order.push_back(k);
    for (const size_t k : order) {
        const TRunDiagnosis& d = e.Runs[k];
        if (k != e.Verdict) out << "\n";
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
            if (!f.Advice.empty()) out << "    advice:           " << f.Advice << "\n";
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
        const TRunDiagnosis& v = e.Runs[e.Verdict];
        out << "{\"run\": " << e.Verdict + 1 << ", \"of\": " << e.Runs.size() << ", \"outcome\": "
            << JsonString(v.Outcome) << ", \"step\": " << JsonString(v.Step) << ", \"why\": "
            << (v.Faults.empty() ? "null" : JsonString(v.Faults.front().Cause))
            << ", \"confidence\": " << JsonString(v.Confidence) << ", \"doubts\": [";
        for (size_t i = 0; i < v.Doubts.size(); ++i) out << (i ? ", " : "") << JsonString(v.Doubts[i]);
        out << "], \"tell_user\": " << JsonString(TellUser(v)) << ",\n  \"reply\": " << JsonString(ReplyToUser(v))
            << ",\n  \"which_run\": " << (e.VerdictNote.empty() ? "null" : JsonString(e.VerdictNote))
            << ", \"other_runs\": " << (e.Runs.size() > 1 ? JsonString(OtherRuns(e)) : "null") << "}";
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
