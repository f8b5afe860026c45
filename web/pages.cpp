#include "web/pages.h"

#include <httplib.h>

#include <cstdio>
#include <map>

#include "codec/header_decode.h"
#include "web/chart.h"
#include "web/text_for_html.h"

namespace {

struct TabLink {
    PageTab tab;
    const char* path;
    const char* label;
};

constexpr TabLink kTabs[] = {
    {PageTab::kOverview, "/", "Overview"},
    {PageTab::kQuarantine, "/quarantine", "Quarantine"},
    {PageTab::kTester, "/test", "Rule tester"},
    {PageTab::kKillFile, "/killfile", "Kill file"},
};

constexpr const char* kNotAvailable = "<p class=\"empty\">Not available in this build.</p>";

std::string Frame(const PageFrame& frame, std::string_view title, std::string_view content,
                  bool refreshes = false) {
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
        "<title>";
    html += EscapeHtml(title);
    html +=
        " - Trawlbox</title><link rel=\"stylesheet\" href=\"/style.css\">"
        "<link rel=\"icon\" href=\"/icon.svg\" type=\"image/svg+xml\">";
    if (refreshes) html += "<script src=\"/app.js\" defer></script>";
    html += "</head><body><header><span class=\"brand\">Trawlbox</span>";
    if (frame.tab != PageTab::kNone || frame.signOut) {
        html += "<nav>";
        for (const TabLink& link : kTabs) {
            html += "<a href=\"" + std::string(link.path) + "\"";
            if (link.tab == frame.tab) html += " aria-current=\"page\"";
            html += ">" + std::string(link.label) + "</a>";
        }
        html += "</nav>";
    }
    if (frame.signOut) {
        html +=
            "<form method=\"post\" action=\"/logout\"><input type=\"hidden\" name=\"token\" "
            "value=\"" +
            EscapeHtml(frame.token) + "\"><button type=\"submit\">Sign out</button></form>";
    }
    html += "</header><main>";
    if (frame.notice) {
        html += "<p class=\"notice ";
        html += frame.notice->failed ? "failed" : "ok";
        html += "\" role=\"status\">" + EscapeHtml(frame.notice->text) + "</p>";
    }
    html += content;
    html += "</main></body></html>\n";
    return html;
}

// A form that posts the token and `fields` (name, value in UTF-8) to `action`
// with one button.
std::string PostButton(const std::string& token, std::string_view action,
                       const std::vector<std::pair<std::string, std::string>>& fields,
                       std::string_view label, std::string_view buttonClass) {
    std::string html = "<form class=\"inline\" method=\"post\" action=\"" + EscapeHtml(action) +
                       "\"><input type=\"hidden\" name=\"token\" value=\"" + EscapeHtml(token) +
                       "\">";
    for (const auto& [name, value] : fields) {
        html += "<input type=\"hidden\" name=\"" + EscapeHtml(name) + "\" value=\"" +
                EscapeHtml(value) + "\">";
    }
    html += "<button type=\"submit\" class=\"" + EscapeHtml(buttonClass) + "\">" +
            EscapeHtml(label) + "</button></form>";
    return html;
}

std::string TokenField(const std::string& token) {
    return "<input type=\"hidden\" name=\"token\" value=\"" + EscapeHtml(token) + "\">";
}

// The opening of a table with these column headings ("#" before a heading
// right-aligns its column).
std::string TableHead(std::initializer_list<std::string_view> headings) {
    std::string html = "<table><thead><tr>";
    for (std::string_view heading : headings) {
        if (heading.starts_with('#')) {
            html += "<th class=\"num\">" + EscapeHtml(heading.substr(1)) + "</th>";
        } else {
            html += "<th>" + EscapeHtml(heading) + "</th>";
        }
    }
    return html + "</tr></thead><tbody>";
}

std::string Cell(std::string_view shown, std::string_view cellClass = "") {
    std::string html = cellClass.empty() ? "<td>" : "<td class=\"" + std::string(cellClass) + "\">";
    return html + std::string(shown) + "</td>";
}

std::string FiguresSection(const std::optional<std::vector<DayFigures>>& days) {
    std::string html = "<section><h2>Last " + std::to_string(kChartDays) + " days</h2>";
    if (!days) return html + kNotAvailable + "</section>";
    html += "<div id=\"chart\" data-refresh>" + DailyChartSvg(*days) + "</div>";
    html +=
        "<div class=\"legend\"><span class=\"killed\">killed</span>"
        "<span class=\"hidden\">hidden</span><span class=\"kept\">kept</span></div>";
    html += "<details><summary>Figures per day</summary><div id=\"day-table\" data-refresh>";
    html += TableHead({"Day", "#Judged", "#Killed", "#Hidden", "#Kept"});
    for (auto day = days->rbegin(); day != days->rend(); ++day) {
        html += "<tr>" + Cell(EscapeHtml(day->day)) + Cell(std::to_string(day->judged), "num") +
                Cell(std::to_string(day->killed), "num") +
                Cell(std::to_string(day->hidden), "num") + Cell(std::to_string(day->kept), "num") +
                "</tr>";
    }
    return html + "</tbody></table></div></details></section>";
}

// A part of the overview that the script refreshes: a section with its
// heading, the part's content under `id`.
std::string LivePart(std::string_view heading, std::string_view id, std::string_view content) {
    return "<section><h2>" + std::string(heading) + "</h2><div id=\"" + std::string(id) +
           "\" data-refresh>" + std::string(content) + "</div></section>";
}

// A live part holding a table with one row per item, `row` making each
// row's cells; `none` says what an empty list means.
template <typename Item, typename RowCells>
std::string LiveTable(std::string_view heading, std::string_view id,
                      const std::optional<std::vector<Item>>& items, std::string_view none,
                      std::initializer_list<std::string_view> columns, RowCells row) {
    if (!items) return LivePart(heading, id, kNotAvailable);
    if (items->empty())
        return LivePart(heading, id, "<p class=\"empty\">" + std::string(none) + "</p>");
    std::string table = TableHead(columns);
    for (const Item& item : *items) table += "<tr>" + row(item) + "</tr>";
    return LivePart(heading, id, table + "</tbody></table>");
}

std::string RulesSection(const std::optional<std::vector<RuleFigures>>& rules) {
    return LiveTable("Top rules this week", "rules", rules, "No rule decided this week.",
                     {"Rule", "Where", "#Hits"}, [](const RuleFigures& rule) {
                         return Cell("<code>" + ShowOem(rule.rule) + "</code>", "wrap") +
                                Cell(ShowOem(rule.location)) +
                                Cell(std::to_string(rule.hits), "num");
                     });
}

std::string SessionsSection(const std::optional<std::vector<LiveSession>>& sessions) {
    return LiveTable(
        "Sessions now", "sessions", sessions, "No client is connected.",
        {"#Slot", "Client", "Server", "Account", "State", "#Time"}, [](const LiveSession& session) {
            return Cell(std::to_string(session.slot), "num") + Cell(ShowOem(session.client)) +
                   Cell(ShowOem(session.server)) + Cell(ShowOem(session.account)) +
                   Cell(ShowOem(session.state)) + Cell(DurationText(session.seconds), "num");
        });
}

std::string ProgramSection(const std::optional<ProgramStatus>& status) {
    if (!status) return LivePart("Program", "program", kNotAvailable);
    std::string facts = "<dl class=\"facts\"><dt>Running for</dt><dd>" +
                        DurationText(status->uptimeSeconds) + "</dd>";
    for (const ComponentVersion& component : status->versions) {
        facts +=
            "<dt>" + ShowOem(component.name) + "</dt><dd>" + ShowOem(component.version) + "</dd>";
    }
    return LivePart("Program", "program", facts + "</dl>");
}

// A stored message split for showing: its header lines unfolded, then its
// body. Line ends may be CR LF or LF.
struct SplitMessage {
    std::vector<std::pair<std::string, std::string>> headers;  // name (without ":"), raw value
    std::string_view body;
};

SplitMessage Split(std::string_view message) {
    SplitMessage split;
    size_t at = 0;
    while (at < message.size()) {
        size_t end = message.find('\n', at);
        size_t next = end == std::string_view::npos ? message.size() : end + 1;
        std::string_view line = message.substr(at, next - at);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
        at = next;
        if (line.empty()) break;
        if ((line[0] == ' ' || line[0] == '\t') && !split.headers.empty()) {
            split.headers.back().second += " ";
            split.headers.back().second += line.substr(line.find_first_not_of(" \t"));
            continue;
        }
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            split.headers.emplace_back("", std::string(line));
        } else {
            std::string_view value = line.substr(colon + 1);
            if (value.starts_with(' ')) value.remove_prefix(1);
            split.headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
        }
    }
    split.body = message.substr(std::min(at, message.size()));
    return split;
}

std::string EntryFacts(const KeptMessage& entry) {
    return "<dl class=\"facts\"><dt>Date</dt><dd>" + ShowOem(entry.date) +
           "</dd><dt>Account</dt><dd>" + ShowOem(entry.account) + "</dd><dt>Sender</dt><dd>" +
           ShowOem(entry.sender) + "</dd><dt>Subject</dt><dd>" + ShowOem(entry.subject) +
           "</dd><dt>Rule</dt><dd><code>" + ShowOem(entry.rule) + "</code></dd></dl>";
}

std::string ProblemText(const KillFileProblem& problem) {
    return std::string(problem.isError ? "" : "warning: ") + OemToUtf8(problem.message);
}

}  // namespace

std::string DurationText(int64_t seconds) {
    if (seconds < 0) seconds = 0;
    int64_t days = seconds / 86400;
    char clock[32];
    std::snprintf(
        clock, sizeof clock, "%lld:%02lld:%02lld", static_cast<long long>(seconds % 86400 / 3600),
        static_cast<long long>(seconds % 3600 / 60), static_cast<long long>(seconds % 60));
    if (days == 0) return clock;
    return std::to_string(days) + (days == 1 ? " day, " : " days, ") + clock;
}

std::string OverviewPage(const PageFrame& frame, const OverviewData& data) {
    std::string content = "<h1>Overview</h1>";
    content += FiguresSection(data.days);
    content += "<div class=\"grid2\">" + RulesSection(data.topRules) + ProgramSection(data.status) +
               "</div>";
    content += SessionsSection(data.sessions);
    return Frame(frame, "Overview", content, true);
}

std::string QuarantinePage(const PageFrame& frame, const KeptQuery& query,
                           const std::optional<KeptList>& list) {
    std::string content = "<h1>Quarantine</h1><section>";
    if (!list) return Frame(frame, "Quarantine", content + kNotAvailable + "</section>");
    content +=
        "<form class=\"filters\" method=\"get\" action=\"/quarantine\">"
        "<label>Search<input type=\"search\" name=\"q\" value=\"" +
        ShowOem(query.text) +
        "\" placeholder=\"sender, subject or rule\"></label>"
        "<label>Account<select name=\"account\"><option value=\"\">all accounts</option>";
    for (const std::string& account : list->accounts) {
        content += "<option value=\"" + ShowOem(account) + "\"";
        if (account == query.account) content += " selected";
        content += ">" + ShowOem(account) + "</option>";
    }
    content += "</select></label><button type=\"submit\">Search</button></form>";
    if (list->entries.empty()) {
        content += "<p class=\"empty\">No kept message";
        content += query.text.empty() && query.account.empty() ? "." : " matches.";
        return Frame(frame, "Quarantine", content + "</p></section>");
    }
    content += "<p class=\"muted\">" + std::to_string(list->total) +
               (list->total == 1 ? " message" : " messages");
    if (list->total > list->entries.size()) {
        content += ", the newest " + std::to_string(list->entries.size()) + " shown";
    }
    content += ".</p>";
    content += TableHead({"Date", "Account", "Sender", "Subject", "Rule", ""});
    for (const KeptMessage& entry : list->entries) {
        std::string id = OemToUtf8(entry.id);
        content +=
            "<tr>" + Cell(ShowOem(entry.date)) + Cell(ShowOem(entry.account)) +
            Cell(ShowOem(entry.sender), "wrap") +
            Cell("<a href=\"/quarantine/message?id=" +
                     EscapeHtml(httplib::detail::encode_query_param(id)) + "\">" +
                     (entry.subject.empty() ? "(no subject)" : ShowOem(entry.subject)) + "</a>",
                 "wrap") +
            Cell("<code>" + ShowOem(entry.rule) + "</code>", "wrap") +
            Cell(
                PostButton(frame.token, "/quarantine/release", {{"id", id}}, "Release", "primary") +
                    " " +
                    PostButton(frame.token, "/quarantine/delete", {{"id", id}}, "Delete", "danger"),
                "actions") +
            "</tr>";
    }
    content += "</tbody></table></section>";
    return Frame(frame, "Quarantine", content);
}

std::string MessagePage(const PageFrame& frame, const QuarantinedMessage& message) {
    std::string id = OemToUtf8(message.entry.id);
    std::string content =
        "<h1>Kept message</h1><section>" + EntryFacts(message.entry) + "<p>" +
        PostButton(frame.token, "/quarantine/release", {{"id", id}}, "Release", "primary") + " " +
        PostButton(frame.token, "/quarantine/delete", {{"id", id}}, "Delete", "danger") +
        " <a href=\"/quarantine\">Back to the list</a></p></section>";
    SplitMessage split = Split(message.message);
    content += "<section><h2>Headers</h2>" + TableHead({"Name", "Value"});
    for (const auto& [name, value] : split.headers) {
        content += "<tr>" + Cell(EscapeHtml(RawToUtf8(name))) +
                   Cell(ShowOem(DecodeHeaderText(value)), "wrap") + "</tr>";
    }
    content += "</tbody></table></section><section><h2>Body</h2><pre>";
    std::string_view body = split.body.substr(0, kShownBodyBytes);
    content += EscapeHtml(RawToUtf8(body));
    content += "</pre>";
    if (split.body.size() > body.size()) {
        content += "<p class=\"muted\">" + std::to_string(split.body.size() - body.size()) +
                   " more bytes not shown.</p>";
    }
    content += "</section>";
    return Frame(frame, "Kept message", content);
}

std::string TesterPage(const PageFrame& frame, bool available, const TesterForm& form,
                       const std::optional<JudgeResult>& result) {
    std::string content = "<h1>Rule tester</h1><section>";
    if (!available) return Frame(frame, "Rule tester", content + kNotAvailable + "</section>");
    content +=
        "<p class=\"muted\">Paste a whole message (headers and body), or one overview line "
        "of a newsgroup with the group's name, and see what the kill file makes of it.</p>"
        "<form method=\"post\" action=\"/test\" enctype=\"multipart/form-data\">" +
        TokenField(frame.token) +
        "<textarea name=\"text\" spellcheck=\"false\" aria-label=\"Message or overview "
        "line\">\n" +
        EscapeHtml(form.text) +
        "</textarea><div class=\"fields\"><label>Newsgroup (for an overview line)"
        "<input type=\"text\" name=\"group\" value=\"" +
        EscapeHtml(form.group) +
        "\"></label><label>Envelope recipient (mail, optional)<input type=\"text\" "
        "name=\"envelope\" value=\"" +
        EscapeHtml(form.envelope) +
        "\"></label></div><button type=\"submit\" class=\"primary\">Judge</button></form>"
        "</section>";
    if (result) {
        content += "<section id=\"result\"><h2>Result</h2>";
        if (!result->problem.empty()) {
            content += "<p class=\"notice failed\">" + ShowOem(result->problem) + "</p>";
        } else {
            bool keep = result->verdict.empty() || result->verdict == "keep";
            content += "<p>verdict: <span class=\"verdict " + std::string(keep ? "keep" : "act") +
                       "\">" + (result->verdict.empty() ? "keep" : ShowOem(result->verdict)) +
                       "</span></p><h2>Fields the filter saw</h2>" + TableHead({"Field", "Value"});
            for (const auto& [name, value] : result->fields) {
                content += "<tr>" + Cell(ShowOem(name)) + Cell(ShowOem(value), "wrap") + "</tr>";
            }
            content += "</tbody></table><h2>Matching rules</h2>";
            if (result->matches.empty()) {
                content += "<p class=\"empty\">No rule matched.</p>";
            } else {
                content += TableHead({"Where", "Rule", "Action"});
                for (const RuleMatch& match : result->matches) {
                    content += "<tr>" + Cell(ShowOem(match.location)) +
                               Cell("<code>" + ShowOem(match.rule) + "</code>", "wrap") +
                               Cell(ShowOem(match.action)) + "</tr>";
                }
                content += "</tbody></table>";
            }
        }
        content += "</section>";
    }
    return Frame(frame, "Rule tester", content);
}

std::string KillFilePage(const PageFrame& frame, const KillFileView& view) {
    std::string content = "<h1>Kill file</h1>";
    if (!view.available) {
        return Frame(frame, "Kill file", content + "<section>" + kNotAvailable + "</section>");
    }
    const KillFileText& file = view.file;
    std::map<int, std::vector<const KillFileProblem*>> byLine;
    size_t errors = 0;
    for (const KillFileProblem& problem : file.problems) {
        byLine[problem.line].push_back(&problem);
        if (problem.isError) ++errors;
    }
    if (view.rejected) {
        content += "<p class=\"notice failed\" role=\"alert\">Not saved";
        if (!view.failure.empty()) {
            content += ": " + ShowOem(view.failure) + ".";
        } else {
            content += ": " + std::to_string(errors) + (errors == 1 ? " problem" : " problems") +
                       " below.";
        }
        content += " " + ShowOem(file.name) +
                   " on disk and the rules in use are unchanged; your edit is kept in the "
                   "editor.</p>";
    }

    // Lines as the file splits them; a problem past the last line (or of
    // the whole file) is listed above the lines.
    std::vector<std::string_view> lines;
    std::string_view text = file.text;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (line.ends_with('\r')) line.remove_suffix(1);
        lines.push_back(line);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    content += "<section><h2>" + ShowOem(file.name) + "</h2><p class=\"muted\">";
    content += file.problems.empty()
                   ? std::string("No problems found.")
                   : std::to_string(file.problems.size()) +
                         (file.problems.size() == 1 ? " problem" : " problems") + " found.";
    content += "</p>";
    std::string general;
    for (const auto& [line, problems] : byLine) {
        if (line >= 1 && line <= static_cast<int>(lines.size())) continue;
        for (const KillFileProblem* problem : problems) {
            general += "<li>" + (line > 0 ? "line " + std::to_string(line) + ": " : "") +
                       EscapeHtml(ProblemText(*problem)) + "</li>";
        }
    }
    if (!general.empty()) content += "<ul class=\"problems\">" + general + "</ul>";
    content += "<table class=\"lines\"><tbody>";
    for (size_t i = 0; i < lines.size(); ++i) {
        int number = static_cast<int>(i) + 1;
        auto found = byLine.find(number);
        std::string rowClass;
        std::string messages;
        if (found != byLine.end()) {
            rowClass = "warning";
            for (const KillFileProblem* problem : found->second) {
                if (problem->isError) rowClass = "problem";
                if (!messages.empty()) messages += "<br>";
                messages += EscapeHtml(ProblemText(*problem));
            }
        }
        content += "<tr id=\"line-" + std::to_string(number) + "\"";
        if (!rowClass.empty()) content += " class=\"" + rowClass + "\"";
        content += ">" + Cell(std::to_string(number), "num") +
                   Cell("<code>" + ShowOem(lines[i]) + "</code>") + Cell(messages, "problems") +
                   "</tr>";
    }
    content += "</tbody></table></section>";
    content +=
        "<section><h2>Edit</h2><p class=\"muted\">Saving checks the text first: with "
        "an error nothing changes. Otherwise the file is replaced, the previous one kept "
        "as a backup, and the new rules are used from the next judgement on.</p>"
        "<form method=\"post\" action=\"/killfile\" enctype=\"multipart/form-data\">" +
        TokenField(frame.token) +
        "<textarea name=\"text\" spellcheck=\"false\" aria-label=\"Kill file\">\n" +
        ShowOem(file.text) +
        "</textarea><p><button type=\"submit\" class=\"primary\">Save</button></p>"
        "</form></section>";
    return Frame(frame, "Kill file", content);
}

std::string LoginPage(const PageFrame& frame, std::string_view problem) {
    std::string content = "<section class=\"login\"><h1>Sign in</h1>";
    if (!problem.empty()) {
        content += "<p class=\"notice failed\" role=\"alert\">" + EscapeHtml(problem) + "</p>";
    }
    content += "<form method=\"post\" action=\"/login\">" + TokenField(frame.token) +
               "<label for=\"password\">Password (WebPassword= in TRAWLBOX.CFG)</label>"
               "<input type=\"password\" id=\"password\" name=\"password\" autofocus "
               "autocomplete=\"current-password\"><button type=\"submit\" "
               "class=\"primary\">Sign in</button></form></section>";
    return Frame(frame, "Sign in", content);
}

std::string PlainPage(const PageFrame& frame, std::string_view title, std::string_view text) {
    return Frame(
        frame, title,
        "<h1>" + EscapeHtml(title) + "</h1><section><p>" + EscapeHtml(text) + "</p></section>");
}
