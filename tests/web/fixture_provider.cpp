#include "fixture_provider.h"

#include <algorithm>

#include "core/text.h"
#include "platform/clock.h"
#include "web/chart.h"

namespace {

const char* const kKillFile =
    "' Sample kill file\r\n"
    "--- ALL\r\n"
    "\"*viagra*\" \xEAs \xAF"
    "DELE\r\n"
    "\"*lottery*\" \xEAn \xAF"
    "SKIP\r\n";

bool Contains(const std::string& text, const std::string& part) {
    return UpperCase(text).find(UpperCase(part)) != std::string::npos;
}

// The fixture's stand-in for `trawlbox check`: a line holding "(((" is an
// error, a line holding "FIXME" a warning.
std::vector<KillFileProblem> Check(const std::string& text) {
    std::vector<KillFileProblem> problems;
    int line = 1;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        std::string row = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (row.find("(((") != std::string::npos) problems.push_back({line, kBadKillMessage, true});
        if (row.find("FIXME") != std::string::npos)
            problems.push_back({line, "a note left", false});
        if (end == std::string::npos) break;
        at = end + 1;
        ++line;
    }
    return problems;
}

}  // namespace

std::string HostileMessage() {
    return "Return-Path: <boss@example.com>\r\n"
           "From: \"<b>Boss</b>\" <boss@example.com>\r\n"
           "Subject: <script>document.title='pwned'</script>Win\r\n"
           "X-<img src=x>: header name with markup\r\n"
           "Content-Type: text/html\r\n"
           "\r\n"
           "<html><body><script>document.title='pwned'</script><b>bold</b> &amp; more\r\n"
           "</body></html>\r\n";
}

std::shared_ptr<FixtureData> MakeFixtureData() {
    auto data = std::make_shared<FixtureData>();
    data->today = LastDays(LocalNow(), 1).front();
    data->killFileText = kKillFile;
    data->entries = {
        {kHostileId, "2024-05-01 10:00", "joe@pop.example.org",
         "<img src=x onerror=\"document.title='pwned'\"> <boss@example.com>",
         "<script>document.title='pwned'</script>Win",
         "\"*win*\" \xEAs \xAF"
         "DELE"},
        {"20240430.7", "2024-04-30 09:12", "ann@mail.example.net", "lottery@spam.example",
         "You won the lottery \x81"
         "ber",
         "\"*lottery*\" \xEAn \xAF"
         "SKIP"},
        {"20240429.3", "2024-04-29 18:40", "joe@pop.example.org", "pills@spam.example",
         "Cheap viagra",
         "\"*viagra*\" \xEAs \xAF"
         "DELE"},
    };
    return data;
}

WebProvider MakeFixtureProvider(std::shared_ptr<FixtureData> data) {
    WebProvider provider;
    provider.dailyFigures = [data](const std::string&) {
        std::vector<std::string> days = LastDays(LocalNow(), kChartDays);
        // A day before the chart's first, with more than any shown, must not count.
        std::vector<std::string> older = LastDays(LocalNow(), kChartDays + 10);
        return std::vector<DayFigures>{
            {days.back(), 40, 10, 5, 25},
            {days[days.size() - 2], 20, 4, 2, 14},
            {days.front(), 8, 1, 0, 7},
            {older.front(), 999, 999, 0, 0},
        };
    };
    provider.topRules = [](const std::string&, size_t count) {
        std::vector<RuleFigures> rules = {{"KILLFILE.CFG:3",
                                           "\"*viagra*\" \xEAs \xAF"
                                           "DELE",
                                           12},
                                          {"KILLFILE.CFG:4",
                                           "\"*lottery*\" \xEAn \xAF"
                                           "SKIP",
                                           5}};
        rules.resize(std::min(rules.size(), count));
        return rules;
    };
    provider.liveSessions = [] {
        return std::vector<LiveSession>{
            {1, "127.0.0.1", "pop.example.org:110", "joe", "scanning 12 of 40", 75}};
    };
    provider.status = [] {
        return ProgramStatus{90061, {{"Trawlbox", "v0.25"}, {"OpenSSL", "3.0.x"}}};
    };
    provider.quarantine = [data](const KeptQuery& query) {
        std::lock_guard<std::mutex> guard(data->lock);
        KeptList list;
        for (const KeptMessage& entry : data->entries) {
            if (std::find(list.accounts.begin(), list.accounts.end(), entry.account) ==
                list.accounts.end()) {
                list.accounts.push_back(entry.account);
            }
            if (!query.account.empty() && entry.account != query.account) continue;
            if (!query.text.empty() && !Contains(entry.sender, query.text) &&
                !Contains(entry.subject, query.text) && !Contains(entry.rule, query.text)) {
                continue;
            }
            ++list.total;
            if (list.entries.size() < query.limit) list.entries.push_back(entry);
        }
        return list;
    };
    provider.quarantinedMessage =
        [data](const std::string& id) -> std::optional<QuarantinedMessage> {
        std::lock_guard<std::mutex> guard(data->lock);
        for (const KeptMessage& entry : data->entries) {
            if (entry.id == id) {
                return QuarantinedMessage{
                    entry, id == kHostileId ? HostileMessage()
                                            : "Subject: " + entry.subject + "\r\n\r\nHi\r\n"};
            }
        }
        return std::nullopt;
    };
    auto take = [data](const std::string& id, std::vector<std::string>& into) {
        auto found = std::find_if(data->entries.begin(), data->entries.end(),
                                  [&](const KeptMessage& e) { return e.id == id; });
        if (found == data->entries.end()) return false;
        data->entries.erase(found);
        into.push_back(id);
        ++data->changes;
        return true;
    };
    provider.release = [data, take](const std::vector<std::string>& ids) {
        std::lock_guard<std::mutex> guard(data->lock);
        for (const std::string& id : ids) {
            if (!take(id, data->released))
                return QuarantineOutcome{false, "No kept message " + id + "."};
        }
        return QuarantineOutcome{
            true, "Released " + std::to_string(ids.size()) + "; back at the next login."};
    };
    provider.remove = [data, take](const std::string& id) {
        std::lock_guard<std::mutex> guard(data->lock);
        if (!take(id, data->deleted))
            return QuarantineOutcome{false, "No kept message " + id + "."};
        return QuarantineOutcome{true, "Deleted " + id + "."};
    };
    provider.judge = [](const JudgeRequest& request) {
        JudgeResult result;
        if (!request.group.empty() && request.text.find('\t') == std::string::npos) {
            result.problem = "not an overview line: no tab";
            return result;
        }
        size_t subject = request.text.find("Subject: ");
        std::string shown =
            subject == std::string::npos
                ? ""
                : request.text.substr(subject + 9,
                                      request.text.find_first_of("\r\n", subject) - subject - 9);
        result.fields = {{"Subject", shown}, {"size", std::to_string(request.text.size())}};
        result.verdict = "keep";
        if (Contains(request.text, "viagra")) {
            result.matches.push_back({"KILLFILE.CFG:3",
                                      "\"*viagra*\" \xEAs \xAF"
                                      "DELE",
                                      "DELE"});
            result.verdict = "DELE";
        }
        return result;
    };
    provider.killFile = [data] {
        std::lock_guard<std::mutex> guard(data->lock);
        return KillFileText{"KILLFILE.CFG", data->killFileText, Check(data->killFileText)};
    };
    provider.saveKillFile = [data](const std::string& text) {
        std::vector<KillFileProblem> problems = Check(text);
        bool errors = std::any_of(problems.begin(), problems.end(),
                                  [](const KillFileProblem& p) { return p.isError; });
        if (errors) return KillFileSave{false, problems, ""};
        std::lock_guard<std::mutex> guard(data->lock);
        data->killFileText = text;
        ++data->saves;
        ++data->changes;
        return KillFileSave{true, problems, ""};
    };
    return provider;
}
