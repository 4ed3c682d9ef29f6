// The publisher's report: one self-contained page (inline SVG, one inline
// script that sorts the tables, nothing fetched) that answers "is the new
// release helping?" at a glance. Without scripts it reads the same, unsorted.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "tools/updlog/Trails.h"
#include "tools/updlog/TrailsView.h"
#include "tools/updlog/TrailsSortScript.h"

namespace {

std::string Html(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string Num(double v, int decimals = 0) {
    char out[32];
    std::snprintf(out, sizeof out, "%.*f", decimals, v);
    return out;
}

std::string Percent(double share) {
    // Small shares keep a second decimal: 0.5% against 6% is the point.
    return Num(100 * share, share < 0.1 ? 1 : 0) + "%";
}

// "+5.6 points"; a change that rounds to nothing has no sign.
std::string Points(double change) {
    const std::string n = Num(100 * change, 1);
    return (n == "0.0" || n == "-0.0" ? std::string("0.0") : (change > 0 ? "+" : "") + n) + " points";
}

// A fixed colour per code, so that charts read alike from month to month.
const char* CodeColour(const std::string& code) {
    static const struct {
        const char* code;
        const char* colour;
    } kColours[] = {{"1OK", "#4c9a2a"}, {"GDW", "#d98c00"}, {"BLK", "#c0392b"}, {"UMX", "#2c6fbb"},
                    {"INF", "#8e44ad"}, {"IER", "#16a085"}, {"ENT", "#7f5539"}, {"(none)", "#8a8a8a"}};
    for (const auto& k : kColours)
        if (code == k.code) return k.colour;
    return "#5d6d7e";
}

// The top of a scale that holds v: 1, 2, 2.5 or 5 times a power of ten.
double NiceTop(double v) {
    if (v <= 0) return 1;
    const double p = std::pow(10.0, std::floor(std::log10(v)));
    for (double m : {1.0, 2.0, 2.5, 5.0, 10.0})
        if (m * p >= v * (1 - 1e-9)) return m * p;
    return 10 * p;
}

int chartId = 0;

// An SVG with a name and a description for screen readers; it scales down
// to the window's width.
void OpenSvg(std::ostream& out, int width, int height, const std::string& name, const std::string& desc) {
    const std::string id = "chart" + std::to_string(++chartId);
    out << "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " << width << " " << height << "\" width=\"" << width
        << "\" role=\"img\" aria-labelledby=\"" << id << "t " << id << "d\"><title id=\"" << id << "t\">" << Html(name)
        << "</title><desc id=\"" << id << "d\">" << Html(desc) << "</desc>\n";
}

// Horizontal gridlines and their labels for a vertical scale 0..top.
// Gridlines at round values: 2.5 and 5 split in fives, 1 and 2 in fours.
int Steps(double top) {
    const double lead = top / std::pow(10.0, std::floor(std::log10(top)));
    return std::fabs(lead - 2.5) < 1e-6 || std::fabs(lead - 5) < 1e-6 ? 5 : 4;
}

void YGrid(std::ostream& out, double top, bool percent, int left, int right, int y0, int height, const std::string& title) {
    const int steps = Steps(top);
    for (int i = 0; i <= steps; ++i) {
        const double value = top * i / steps;
        const double y = y0 + height - static_cast<double>(height) * i / steps;
        out << "<line class=\"grid\" x1=\"" << left << "\" x2=\"" << right << "\" y1=\"" << Num(y, 1) << "\" y2=\""
            << Num(y, 1) << "\"/><text x=\"" << left - 6 << "\" y=\"" << Num(y + 4, 1) << "\" text-anchor=\"end\">"
            << (percent ? Percent(value) : Num(value)) << "</text>\n";
    }
    out << "<text class=\"axis\" transform=\"translate(14," << y0 + height / 2 << ") rotate(-90)\" text-anchor=\"middle\">"
        << Html(title) << "</text>\n";
}

// Horizontal bars, one per row, on a scale fitted to the largest.
struct TBar {
    std::string Label;
    double Value;
    std::string Colour;
    std::string Note;  // in the tooltip
};

void BarChart(std::ostream& out, const std::string& title, const std::string& axis, const std::vector<TBar>& rows,
              bool percent) {
    size_t longest = 4;
    double max = 0;
    for (const TBar& r : rows) max = std::max(max, r.Value), longest = std::max(longest, r.Label.size());
    const int rowHeight = 22, left = static_cast<int>(std::min<size_t>(longest, 40)) * 7 + 12, plot = 380, top = 8;
    const int width = left + plot + 70;
    const int height = top + rowHeight * static_cast<int>(rows.size()) + 40;
    const double scaleTop = percent ? NiceTop(max) : NiceTop(std::max(max, 1.0));
    out << "<figure><figcaption>" << Html(title) << "</figcaption>\n";
    OpenSvg(out, width, height, title, axis + ", " + std::to_string(rows.size()) + " bars");
    const int plotBottom = top + rowHeight * static_cast<int>(rows.size());
    const int steps = Steps(scaleTop);
    for (int i = 0; i <= steps; ++i) {
        const double x = left + static_cast<double>(plot) * i / steps;
        out << "<line class=\"grid\" x1=\"" << Num(x, 1) << "\" x2=\"" << Num(x, 1) << "\" y1=\"" << top << "\" y2=\""
            << plotBottom << "\"/><text x=\"" << Num(x, 1) << "\" y=\"" << plotBottom + 14 << "\" text-anchor=\"middle\">"
            << (percent ? Percent(scaleTop * i / steps) : Num(scaleTop * i / steps)) << "</text>\n";
    }
    out << "<text class=\"axis\" x=\"" << left + plot / 2 << "\" y=\"" << plotBottom + 32 << "\" text-anchor=\"middle\">"
        << Html(axis) << "</text>\n";
    for (size_t i = 0; i < rows.size(); ++i) {
        const int y = top + static_cast<int>(i) * rowHeight;
        const double w = rows[i].Value / scaleTop * plot;
        const std::string value = percent ? Percent(rows[i].Value) : Num(rows[i].Value);
        out << "<text x=\"" << left - 6 << "\" y=\"" << y + 15 << "\" text-anchor=\"end\">" << Html(rows[i].Label)
            << "</text><rect x=\"" << left << "\" y=\"" << y + 2 << "\" width=\"" << Num(std::max(w, 1.0), 1)
            << "\" height=\"" << rowHeight - 6 << "\" fill=\"" << rows[i].Colour << "\"><title>" << Html(rows[i].Label)
            << ": " << value << (rows[i].Note.empty() ? "" : " (" + Html(rows[i].Note) + ")") << "</title></rect><text x=\""
            << Num(left + w + 6, 1) << "\" y=\"" << y + 15 << "\">" << value << "</text>\n";
    }
    out << "</svg></figure>\n";
}

// Runs per day: columns, partial days paler.
void DayChart(std::ostream& out, const TTrailsView& v) {
    const int left = 60, plotHeight = 170, top = 10, width = std::max<int>(420, left + 12 * static_cast<int>(v.Days.size()) + 20);
    const int plot = width - left - 20;
    uint64_t max = 1;
    for (const TDayView& d : v.Days) max = std::max(max, d.Runs);
    const double scaleTop = NiceTop(static_cast<double>(max));
    out << "<figure><figcaption>Runs per day</figcaption>\n";
    OpenSvg(out, width, top + plotHeight + 56, "Runs per day",
            "Columns, one per day from " + v.FirstDay + " to " + v.LastDay + "; paler columns are partial days");
    YGrid(out, scaleTop, false, left, left + plot, top, plotHeight, "runs");
    const double step = v.Days.empty() ? 0 : static_cast<double>(plot) / static_cast<double>(v.Days.size());
    const size_t every = std::max<size_t>(1, v.Days.size() / 6);
    for (size_t i = 0; i < v.Days.size(); ++i) {
        const TDayView& d = v.Days[i];
        const double h = static_cast<double>(d.Runs) / scaleTop * plotHeight;
        const double x = left + step * static_cast<double>(i);
        out << "<rect x=\"" << Num(x + 1, 1) << "\" y=\"" << Num(top + plotHeight - h, 1) << "\" width=\""
            << Num(std::max(step - 2, 1.0), 1) << "\" height=\"" << Num(h, 1) << "\" fill=\"#2c6fbb\""
            << (d.Partial ? " fill-opacity=\"0.4\"" : "") << "><title>" << Html(d.Day) << ": " << d.Runs << " runs"
            << (d.Partial ? " (partial day)" : "") << "</title></rect>\n";
        if (i % every == 0)
            out << "<text x=\"" << Num(x + step / 2, 1) << "\" y=\"" << top + plotHeight + 16
                << "\" text-anchor=\"middle\" font-size=\"11\">" << Html(d.Day.substr(5)) << "</text>\n";
    }
    out << "<text class=\"axis\" x=\"" << left + plot / 2 << "\" y=\"" << top + plotHeight + 40
        << "\" text-anchor=\"middle\">day (month-day)</text>\n</svg></figure>\n";
}

// The share of each failure code by ISO week: lines on a scale fitted to them.
void WeekChart(std::ostream& out, const TTrailsView& v, const std::vector<std::string>& codes) {
    std::vector<const TWeekView*> weeks;
    for (const TWeekView& w : v.Weeks)
        if (w.Week != "(other)") weeks.push_back(&w);
    const int left = 60, top = 10, plotHeight = 190, width = std::max<int>(420, left + 90 * static_cast<int>(weeks.size()));
    const int plot = width - left - 30;
    auto share = [](const TWeekView& w, const std::string& code) {
        for (const TCodeShare& s : w.Codes)
            if (s.Code == code) return s.Share;
        return 0.0;
    };
    double max = 0;
    for (const TWeekView* w : weeks)
        for (const std::string& code : codes) max = std::max(max, share(*w, code));
    const double scaleTop = NiceTop(max);
    out << "<figure><figcaption>Failure codes by ISO week (share of the week's runs)</figcaption>\n";
    OpenSvg(out, width, top + plotHeight + 56, "Failure codes by ISO week",
            "Lines, one per failure code, of the share of each week's runs whose trail holds it; the scale runs to " +
                Percent(scaleTop) + "; weeks marked * are partial");
    YGrid(out, scaleTop, true, left, left + plot, top, plotHeight, "share of the week's runs");
    const double step = weeks.size() > 1 ? static_cast<double>(plot - 40) / static_cast<double>(weeks.size() - 1) : 0;
    auto xOf = [&](size_t i) { return left + 20 + step * static_cast<double>(i); };
    for (size_t i = 0; i < weeks.size(); ++i)
        out << "<text x=\"" << Num(xOf(i), 1) << "\" y=\"" << top + plotHeight + 16 << "\" text-anchor=\"middle\" font-size=\"11\">"
            << Html(weeks[i]->Week) << (weeks[i]->Partial ? "*" : "") << "</text>\n";
    for (const std::string& code : codes) {
        std::string points;
        for (size_t i = 0; i < weeks.size(); ++i) {
            const double s = share(*weeks[i], code);
            const double x = xOf(i), y = top + plotHeight - s / scaleTop * plotHeight;
            points += Num(x, 1) + "," + Num(y, 1) + " ";
            out << "<circle cx=\"" << Num(x, 1) << "\" cy=\"" << Num(y, 1) << "\" r=\"3.5\" fill=\"" << CodeColour(code)
                << "\"><title>" << Html(weeks[i]->Week + " " + code) << ": " << Percent(s)
                << (weeks[i]->Partial ? " (partial week)" : "") << "</title></circle>\n";
        }
        out << "<polyline fill=\"none\" stroke-width=\"2\" stroke=\"" << CodeColour(code) << "\" points=\"" << points
            << "\"><title>" << Html(code) << "</title></polyline>\n";
        if (!weeks.empty()) {
            const double s = share(*weeks.back(), code);
            out << "<text x=\"" << Num(xOf(weeks.size() - 1) + 6, 1) << "\" y=\""
                << Num(top + plotHeight - s / scaleTop * plotHeight - 4, 1) << "\" font-size=\"11\">" << Html(code)
                << "</text>\n";
        }
    }
    out << "<text class=\"axis\" x=\"" << left + plot / 2 << "\" y=\"" << top + plotHeight + 40
        << "\" text-anchor=\"middle\">ISO week (* partial)</text>\n</svg></figure>\n";
}

void Legend(std::ostream& out, const std::vector<std::string>& codes) {
    out << "<ul class=\"legend\" aria-label=\"What the codes mean\">\n";
    for (const std::string& code : codes)
        out << "<li><span class=\"swatch\" style=\"background:" << CodeColour(code) << "\"></span><b>" << Html(code)
            << "</b> " << Html(CodeMeaning(code)) << "</li>\n";
    out << "</ul>\n";
}

// Figures align right, words left.
bool Numeric(const std::string& c) {
    if (c.empty()) return false;
    const std::string body = c.size() > 7 && c.compare(c.size() - 7, 7, " points") == 0 ? c.substr(0, c.size() - 7) : c;
    return body.find_first_not_of("0123456789.%+-~") == std::string::npos;
}

void Table(std::ostream& out, const std::string& caption, const std::vector<std::string>& head,
           const std::vector<std::vector<std::string>>& rows, const std::vector<bool>& flagged = {}) {
    out << "<div class=\"scroll\"><table><caption>" << Html(caption) << "</caption><thead><tr>";
    for (const auto& h : head) out << "<th scope=\"col\">" << Html(h) << "</th>";
    out << "</tr></thead><tbody>\n";
    for (size_t i = 0; i < rows.size(); ++i) {
        out << (i < flagged.size() && flagged[i] ? "<tr class=\"bad\">" : "<tr>");
        for (const auto& c : rows[i]) out << (Numeric(c) ? "<td class=\"n\">" : "<td>") << Html(c) << "</td>";
        out << "</tr>\n";
    }
    out << "</tbody></table></div>\n";
}

void Tile(std::ostream& out, const std::string& value, const std::string& label, const char* cls = "") {
    out << "<div class=\"tile " << cls << "\"><div class=\"value\">" << Html(value) << "</div><div class=\"label\">"
        << Html(label) << "</div></div>\n";
}

const char kStyle[] =
    ":root{--fg:#222;--bg:#fff;--muted:#666;--grid:#ddd;--line:#ccc;--tile:#f3f5f7;--bad:#fde8e6;--badfg:#a3231a}"
    "@media (prefers-color-scheme:dark){:root{--fg:#e4e4e4;--bg:#1b1d1f;--muted:#aaa;--grid:#3a3d40;--line:#4a4d50;"
    "--tile:#26292c;--bad:#4a2320;--badfg:#ff9d92}}"
    "body{font-family:sans-serif;margin:1em auto;padding:0 1em;max-width:72em;color:var(--fg);background:var(--bg)}"
    "h1{font-size:1.5em}h2{font-size:1.2em;margin-top:1.6em}figure{margin:1.2em 0}"
    "figcaption{font-weight:bold;margin-bottom:.4em}svg{max-width:100%;height:auto}"
    "svg text{font-size:12px;fill:var(--fg)}svg .axis{fill:var(--muted);font-size:12px}"
    "svg .grid{stroke:var(--grid);stroke-width:1}"
    ".tiles{display:flex;flex-wrap:wrap;gap:.6em;margin:1em 0}.tile{background:var(--tile);padding:.6em .9em;"
    "border-radius:4px;min-width:9em;flex:1 1 9em}.tile .value{font-size:1.4em;font-weight:bold}"
    ".tile .label{color:var(--muted);font-size:.9em}.tile.bad{background:var(--bad);color:var(--badfg)}"
    ".alert{background:var(--bad);color:var(--badfg);padding:.6em 1em;border-radius:4px}"
    ".note{color:var(--muted)}.legend{list-style:none;padding:0}.legend li{margin:.2em 0}"
    ".swatch{display:inline-block;width:.9em;height:.9em;margin-right:.4em;vertical-align:middle}"
    ".scroll{overflow-x:auto;max-width:100%}"
    "table{border-collapse:collapse;margin:1em 0}caption{font-weight:bold;text-align:left;padding:.3em 0}"
    "td,th{border:1px solid var(--line);padding:2px 8px;text-align:left}td.n{text-align:right}"
    "tr.bad td{background:var(--bad);color:var(--badfg)}"
    "th button{font:inherit;color:inherit;background:none;border:0;padding:0;cursor:pointer;text-align:left;white-space:nowrap}"
    "th button::after{content:\" \\2195\";opacity:.45}th[aria-sort=ascending] button::after{content:\" \\25B2\";opacity:1}"
    "th[aria-sort=descending] button::after{content:\" \\25BC\";opacity:1}"
    "caption .hint{font-weight:normal;color:var(--muted);font-size:.9em}";

}  // namespace

void TTrailCounts::WriteHtml(std::ostream& out) const {
    chartId = 0;
    const TTrailsView v = MakeTrailsView(*this);
    out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
           "<meta name=\"color-scheme\" content=\"light dark\">\n"
           // Nothing but this file's own style and its one script, named by hash.
           "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'; "
           "script-src 'sha256-"
        << kSortScriptHash << "'; base-uri 'none'; form-action 'none'\">\n"
           "<title>Update utility: catalogue requests</title>\n<style>\n"
        << kStyle << "\n</style></head><body>\n<h1>Update utility: catalogue requests</h1>\n";
    out << "<p class=\"summary\" id=\"summary\">" << Runs << " runs (catalogue requests with a trail), " << Other
        << " other requests, " << Malformed << " malformed lines, " << Days.size() << " days";
    if (!v.FirstDay.empty()) out << " (" << Html(v.FirstDay) << " to " << Html(v.LastDay) << ")";
    if (ClientsUnknown())
        out << "; distinct clients unknown (the partial counts hold no client sketches).</p>\n";
    else
        out << "; about " << Clients.Estimate() << " distinct clients made the runs.</p>\n";

    // The overview: what a publisher looks at first.
    uint64_t errors = 0;
    for (const TStatusView& s : v.Statuses) errors += s.Error ? s.Requests : 0;
    out << "<div class=\"tiles\">\n";
    Tile(out, std::to_string(Runs), "runs");
    Tile(out, ClientsUnknown() ? "?" : "~" + std::to_string(Clients.Estimate()), "distinct clients (estimate)");
    Tile(out, v.FirstDay.empty() ? "-" : v.FirstDay.substr(5) + " to " + v.LastDay.substr(5),
         std::to_string(Days.size()) + " days" + (v.FirstDayPartial || v.LastDayPartial ? ", partial ends" : ""));
    if (!v.Headline.empty())
        Tile(out, v.Headline.front().Code + " " + Percent(v.Headline.front().Share),
             "top failure code, " + v.ThisWeek + (v.LastWeek.empty() ? "" : " (" + Percent(v.Headline.front().Previous) +
                                                                          " the week before)"));
    if (v.Funnel.size() > 1 && v.Funnel[0].Runs)
        Tile(out, Percent(static_cast<double>(v.Funnel.back().Runs) / static_cast<double>(v.Funnel[0].Runs)),
             "runs clean through every step");
    Tile(out, std::to_string(errors), "catalogue requests answered with an error", errors ? "bad" : "");
    out << "</div>\n";

    // Catalogue errors nobody would otherwise notice.
    std::string alerts;
    for (const TStatusView& s : v.Statuses)
        if (s.Error)
            alerts += "<li>" + Html(s.Catalogue) + " answered " + Html(s.Status) + " to " + std::to_string(s.Requests) +
                      " request" + (s.Requests == 1 ? "" : "s") + "</li>";
    if (!alerts.empty())
        out << "<div class=\"alert\" role=\"alert\"><b>Catalogue errors:</b><ul>" << alerts << "</ul></div>\n";

    out << "<h2>This week against the last</h2>\n<p id=\"headline\">";
    const TWeekView* now = nullptr;
    for (const TWeekView& w : v.Weeks)
        if (w.Week == v.ThisWeek) now = &w;
    if (v.ThisWeek.empty()) {
        out << "No dated runs.</p>\n";
    } else {
        out << "<b>" << Html(v.ThisWeek) << (v.ThisWeekPartial ? " (partial week" : "")
            << (v.ThisWeekPartial && now ? ", " + std::to_string(now->Days) + " days)" : v.ThisWeekPartial ? ")" : "")
            << "</b>";
        if (!v.LastWeek.empty()) out << " against " << Html(v.LastWeek) << (v.LastWeekPartial ? " (partial week)" : "");
        out << ":</p>\n";
        std::vector<std::vector<std::string>> rows;
        std::vector<bool> worse;
        for (const TCodeDelta& d : v.Headline) {
            rows.push_back({d.Code, Percent(d.Share), v.LastWeek.empty() ? "-" : Percent(d.Previous),
                            v.LastWeek.empty() ? "-" : Points(d.Share - d.Previous),
                            CodeMeaning(d.Code)});
            worse.push_back(!v.LastWeek.empty() && d.Share > d.Previous * 1.5 && d.Share - d.Previous > 0.005);
        }
        Table(out, "Failure codes, share of the week's runs",
              {"code", v.ThisWeek, v.LastWeek.empty() ? "before" : v.LastWeek, "change", "meaning"}, rows, worse);
    }

    // The funnel: where runs stop being clean, which no generic log tool shows.
    out << "<h2>Where runs go wrong</h2>\n";
    std::vector<TBar> funnel;
    for (const TFunnelStep& s : v.Funnel)
        funnel.push_back({s.Name, v.Funnel[0].Runs ? static_cast<double>(s.Runs) / static_cast<double>(v.Funnel[0].Runs) : 0,
                          "#4c9a2a", std::to_string(s.Runs) + " runs"});
    BarChart(out, "Runs clean through each step (by their trails)", "share of all runs", funnel, true);

    out << "<h2>Is the new release helping?</h2>\n";
    std::vector<std::string> codes(v.FailureCodes.begin(), v.FailureCodes.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(v.FailureCodes.size(), 8)));
    std::vector<TUtilityShares> utilities = v.Utilities;
    std::stable_sort(utilities.begin(), utilities.end(),
                     [](const TUtilityShares& a, const TUtilityShares& b) { return a.Runs > b.Runs; });
    if (utilities.size() > 6) utilities.resize(6);
    std::sort(utilities.begin(), utilities.end(),
              [](const TUtilityShares& a, const TUtilityShares& b) { return a.Utility < b.Utility; });
    std::vector<TBar> byUtility;
    for (const std::string& code : codes)
        for (const TUtilityShares& u : utilities) {
            double share = 0;
            for (const TCodeShare& s : u.Codes)
                if (s.Code == code) share = s.Share;
            byUtility.push_back({code + "  utility " + u.Utility, share, CodeColour(code), std::to_string(u.Runs) + " runs of that version"});
        }
    BarChart(out, "Failure codes by utility version (share of that version's runs)", "share of the version's runs",
             byUtility, true);
    std::vector<std::vector<std::string>> rows;
    for (const TUtilityShares& u : v.Utilities) {
        std::string shares;
        for (const TCodeShare& s : u.Codes) shares += s.Code + " " + Percent(s.Share) + "  ";
        rows.push_back({u.Utility, std::to_string(u.Runs), shares});
    }
    Table(out, "Codes by utility version", {"utility", "runs", "share of the version's runs"}, rows);

    out << "<h2>Over time</h2>\n";
    WeekChart(out, v, codes);
    Legend(out, [&] {
        std::vector<std::string> all = codes;
        if (Trails.count("(none)")) all.push_back("(none)");
        all.push_back("1OK");
        return all;
    }());
    out << "<p class=\"note\">" << "A run that finds the internet blocked never reaches this site, so the logs cannot "
        << "count blocked runs: these figures are of the runs that got through.</p>\n";
    DayChart(out, v);

    out << "<h2>All counts</h2>\n";
    std::vector<TBar> shares;
    for (const auto& kv : Codes) {
        shares.push_back({kv.first, Runs ? static_cast<double>(kv.second) / static_cast<double>(Runs) : 0,
                          CodeColour(kv.first), std::to_string(kv.second) + " runs"});
    }
    std::stable_sort(shares.begin(), shares.end(), [](const TBar& a, const TBar& b) { return a.Value > b.Value; });
    if (shares.size() > 20) shares.resize(20);
    BarChart(out, "Share of runs with each code", "share of all runs", shares, true);
    std::map<std::string, uint64_t> installed;
    for (const auto& kv : Versions) installed[kv.first.substr(kv.first.find(' ') + 1)] += kv.second;
    std::vector<TBar> versionRows;
    for (const auto& kv : installed) versionRows.push_back({kv.first, static_cast<double>(kv.second), "#2c6fbb", ""});
    std::stable_sort(versionRows.begin(), versionRows.end(), [](const TBar& a, const TBar& b) { return a.Value > b.Value; });
    if (versionRows.size() > 20) versionRows.resize(20);
    BarChart(out, "Runs by installed version", "runs", versionRows, false);

    rows.clear();
    std::vector<std::pair<std::string, uint64_t>> byCount(Codes.begin(), Codes.end());
    std::stable_sort(byCount.begin(), byCount.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    for (const auto& kv : byCount)
        rows.push_back({kv.first, std::to_string(kv.second), Percent(Runs ? static_cast<double>(kv.second) / static_cast<double>(Runs) : 0),
                        CodeClients.count(kv.first) ? std::to_string(CodeClients.at(kv.first).Estimate()) : "-",
                        CodeMeaning(kv.first)});
    Table(out, "Codes", {"code", "runs", "share", "clients (about)", "meaning"}, rows);
    rows.clear();
    std::vector<std::pair<std::string, uint64_t>> trails(Trails.begin(), Trails.end());
    std::stable_sort(trails.begin(), trails.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    for (const auto& kv : trails) {
        rows.push_back({kv.first, std::to_string(kv.second), Percent(Runs ? static_cast<double>(kv.second) / static_cast<double>(Runs) : 0)});
        if (rows.size() == 200) break;
    }
    Table(out, "Trails (the 200 most frequent)", {"trail", "runs", "share"}, rows);
    rows.clear();
    std::vector<bool> flagged;
    for (const TStatusView& s : v.Statuses) {
        rows.push_back({s.Catalogue, s.Status, std::to_string(s.Requests)});
        flagged.push_back(s.Error);
    }
    Table(out, "HTTP status by catalogue", {"catalogue", "status", "requests"}, rows, flagged);
    rows.clear();
    for (const TWeekView& w : v.Weeks) {
        std::string line;
        for (const TCodeShare& s : w.Codes) line += s.Code + " " + Percent(s.Share) + "  ";
        rows.push_back({w.Week + (w.Partial ? " (partial)" : ""), std::to_string(w.Runs), std::to_string(w.Clients), line});
    }
    Table(out, "Weeks", {"week", "runs", "clients (about)", "share of the week's runs"}, rows);
    rows.clear();
    for (const auto& kv : Versions) {
        const size_t sp = kv.first.find(' ');
        rows.push_back({kv.first.substr(0, sp), kv.first.substr(sp + 1), std::to_string(kv.second)});
    }
    Table(out, "Versions", {"utility", "installed", "runs"}, rows);
    rows.clear();
    for (const TDayView& d : v.Days) rows.push_back({d.Day + (d.Partial ? " (partial)" : ""), std::to_string(d.Runs)});
    Table(out, "Runs by day", {"day", "runs"}, rows);
    out << "<script>" << kSortScript << "</script>\n</body></html>\n";
}
