#include "app/web_provider.h"

#include <openssl/crypto.h>
#include <sqlite3.h>

#include <algorithm>
#include <fstream>
#include <mutex>

#include "app/message_test.h"
#include "app/reload.h"
#include "codec/code_page.h"
#include "core/globals.h"
#include "core/settings.h"
#include "core/text.h"
#include "filter/filter.h"
#include "net/session_table.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/ip_address.h"
#include "store/quarantine.h"
#include "store/quarantine_listing.h"
#include "store/state_database.h"
#include "store/statistics.h"

namespace {

std::string DataDirectory() {
    return StateDirectory(CurrentSettings());
}

// A file in the program directory as the user names it in TRAWLBOX.CFG:
// without the directory, which start-up put in front.
std::string AsUserNamesIt(const std::string& path) {
    if (!ProgramDirectory.empty() && path.starts_with(ProgramDirectory)) {
        return path.substr(ProgramDirectory.size());
    }
    return path;
}

std::string QuarantineDirectory() {
    return ::QuarantineDirectory(CurrentSettings());
}

// Each call of the page opens its own connection, as a session thread does:
// a connection is never shared between threads. Returns false when the
// database cannot be used; the page then says its part is not available.
bool OpenDatabase(StateDatabase& database) {
    return database.Open(DataDirectory()) != OpenOutcome::kUnavailable;
}

// Reads "YYYY-MM-DD". Returns false when it is not such a date.
bool ReadDayText(const std::string& text, int64_t& day) {
    int year = 0, month = 0, dayOfMonth = 0;
    char end = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &year, &month, &dayOfMonth, &end) != 3 ||
        month < 1 || month > 12 || dayOfMonth < 1 || dayOfMonth > 31) {
        return false;
    }
    day = DayNumber(year, month, dayOfMonth);
    return true;
}

// The days from `firstDay` to today, today included; 0 when it is no date
// or lies ahead.
int64_t DaysSince(const std::string& firstDay, int64_t today) {
    int64_t first = 0;
    if (!ReadDayText(firstDay, first) || first > today) return 0;
    return today - first + 1;
}

// Calls `read(statistics, today, days)` for the days from `firstDay` to
// today on a connection of its own; nothing when the database cannot be used.
template <typename Read>
void ReadStatistics(const std::string& firstDay, Read read) {
    StateDatabase database;
    if (!OpenDatabase(database)) return;
    const int64_t today = DayNumberOf(LocalNow());
    Statistics statistics(database);
    read(statistics, today, DaysSince(firstDay, today));
}

std::vector<DayFigures> DailyFigures(const std::string& firstDay) {
    std::vector<DayFigures> figures;
    ReadStatistics(firstDay, [&](Statistics& statistics, int64_t today, int64_t days) {
        std::vector<DayTotals> totals;
        if (!statistics.DailyTotals(today, days, totals)) return;
        for (const DayTotals& total : totals) {
            figures.push_back({DayText(total.day), total.counts.judged, total.counts.killed,
                               total.counts.hidden, total.counts.kept});
        }
    });
    return figures;
}

std::vector<RuleFigures> TopRules(const std::string& firstDay, size_t count) {
    std::vector<RuleFigures> figures;
    ReadStatistics(firstDay, [&](Statistics& statistics, int64_t today, int64_t days) {
        std::vector<RuleHits> rules;
        if (!statistics.TopRules(today, days, count, rules)) return;
        for (const RuleHits& rule : rules)
            figures.push_back({AsUserNamesIt(rule.location), rule.rule, rule.hits});
    });
    return figures;
}

std::string SlotPeer(int slot) {
    IpAddress address = SlotAddress(slot);
    std::string text = IpAddressText(address);
    if (address.family == IpFamily::kIpv6) text = "[" + text + "]";
    return text;
}

int64_t Age(int slot) {
    return UnixSeconds() - SessionTable[slot].reservedAt.load();
}

struct ActivityText {
    SessionActivity activity;
    const char* text;
};

// What the page says a session is doing.
constexpr ActivityText kActivityTexts[] = {
    {SessionActivity::kAwaitingLogin, "waiting for the login"},
    {SessionActivity::kLoggingIn, "logging in to the server"},
    {SessionActivity::kScanning, "scanning the mailbox"},
    {SessionActivity::kServing, "serving the mail program"},
    {SessionActivity::kReadingNews, "reading news"},
    {SessionActivity::kClosing, "closing"},
};

std::string ActivityOf(SessionActivity activity) {
    for (const ActivityText& entry : kActivityTexts) {
        if (entry.activity == activity) return entry.text;
    }
    return "";
}

// True when `slot` is an outgoing connection whose client session is live:
// that session's row names the server already.
bool ServesListedSession(int slot) {
    const int client = SessionTable[slot].clientSlot.load();
    return client >= 1 && client < kSlotCount &&
           SessionTable[client].state.load() == SlotState::kSession;
}

// One row per client session, with what its login named; an outgoing
// connection gets a row of its own only when no listed session holds it.
std::vector<LiveSession> LiveSessions() {
    std::vector<LiveSession> sessions;
    for (int slot = 1; slot < kSlotCount; ++slot) {
        SlotState state = SessionTable[slot].state.load();
        if (state == SlotState::kSession) {
            // A login's bytes are taken as UTF-8, as the store takes the
            // account; the page holds code page texts.
            SessionLogin login = SlotLogin(slot);
            sessions.push_back({slot, SlotPeer(slot), Utf8ToOem(login.server),
                                Utf8ToOem(login.account), ActivityOf(login.activity), Age(slot)});
        } else if (state == SlotState::kUpstream && !ServesListedSession(slot)) {
            sessions.push_back(
                {slot, "", SlotPeer(slot) + ":" + std::to_string(SessionTable[slot].port.load()),
                 "", "connected to the server", Age(slot)});
        }
    }
    return sessions;
}

// The store keeps what came from mail in UTF-8; the page takes the
// program's code page.
KeptMessage KeptOf(const QuarantineEntry& entry) {
    return {entry.id,
            QuarantineDateText(entry.killedAt),
            Utf8ToOem(entry.account),
            Utf8ToOem(entry.sender),
            Utf8ToOem(entry.subject),
            Utf8ToOem(entry.rule) + (entry.Released() ? " (released)" : "")};
}

KeptList ListQuarantine(const KeptQuery& query) {
    KeptList list;
    StateDatabase database;
    if (!OpenDatabase(database)) return list;
    Quarantine quarantine(database, QuarantineDirectory());
    std::vector<QuarantineEntry> all;
    if (!quarantine.List({}, all)) return list;
    const std::string account = OemToUtf8(query.account);
    // The store's search covers sender and subject; the page's covers the
    // rule too.
    const std::string text = LowerCase(OemToUtf8(query.text));
    for (const QuarantineEntry& entry : all) {
        if (std::find(list.accounts.begin(), list.accounts.end(), Utf8ToOem(entry.account)) ==
            list.accounts.end()) {
            list.accounts.push_back(Utf8ToOem(entry.account));
        }
        if (!account.empty() && entry.account != account) continue;
        if (!text.empty() && LowerCase(entry.sender).find(text) == std::string::npos &&
            LowerCase(entry.subject).find(text) == std::string::npos &&
            LowerCase(entry.rule).find(text) == std::string::npos) {
            continue;
        }
        ++list.total;
        if (list.entries.size() < query.limit) list.entries.push_back(KeptOf(entry));
    }
    std::sort(list.accounts.begin(), list.accounts.end());
    return list;
}

std::optional<QuarantinedMessage> ShowQuarantined(const std::string& id) {
    StateDatabase database;
    if (!OpenDatabase(database)) return std::nullopt;
    Quarantine quarantine(database, QuarantineDirectory());
    QuarantineEntry entry;
    if (quarantine.Get(id, entry) != QuarantineLookup::kFound) return std::nullopt;
    QuarantinedMessage shown{KeptOf(entry), ""};
    if (!quarantine.ReadMessage(entry, shown.message)) return std::nullopt;
    return shown;
}

QuarantineOutcome Release(const std::vector<std::string>& ids) {
    StateDatabase database;
    if (!OpenDatabase(database)) return {false, "The state database cannot be opened."};
    Quarantine quarantine(database, QuarantineDirectory());
    std::vector<std::string> unknown;
    if (!quarantine.Release(ids, UnixSeconds(), unknown)) return {false, quarantine.Problem()};
    if (unknown.size() == ids.size()) return {false, "No kept message has that id."};
    return {true, "Released; the message comes back at the next login of its account."};
}

QuarantineOutcome Remove(const std::string& id) {
    StateDatabase database;
    if (!OpenDatabase(database)) return {false, "The state database cannot be opened."};
    Quarantine quarantine(database, QuarantineDirectory());
    switch (quarantine.Remove(id)) {
        case QuarantineLookup::kFound:
            return {true, "Deleted."};
        case QuarantineLookup::kUnknown:
            return {false, "No kept message has that id."};
        case QuarantineLookup::kFailed:
            break;
    }
    return {false, quarantine.Problem()};
}

// The running set, as the next session would judge with it.
JudgeResult Judge(const JudgeRequest& request) {
    std::shared_ptr<const KillSet> set = CurrentKillSet();
    MessageTestOutcome outcome =
        TestMessageText(request.text, request.group, request.envelope, *set);
    JudgeResult result;
    result.fields = std::move(outcome.fields);
    for (const FilterMatch& match : outcome.matches) {
        result.matches.push_back({AsUserNamesIt(match.location), match.rule, match.action});
    }
    result.verdict = outcome.action.empty() ? "keep" : outcome.action;
    return result;
}

// A byte order mark some editors put in front of a UTF-8 file.
constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

// True for a kill file written in UTF-8, as the filter tells it: marked so,
// or not plain ASCII and well-formed UTF-8 (the old code page files' marker
// bytes never are).
bool IsUtf8KillFile(std::string_view data) {
    if (data.starts_with(kUtf8Mark)) return true;
    const bool plain =
        std::all_of(data.begin(), data.end(), [](char c) { return (c & 0x80) == 0; });
    return !plain && IsUtf8(data);
}

// The page holds texts in code page 437, as the filter reads the file.
std::string KillFileForPage(std::string data) {
    if (!IsUtf8KillFile(data)) return data;
    if (data.starts_with(kUtf8Mark)) data.erase(0, kUtf8Mark.size());
    std::vector<uint32_t> missing;  // the check names each such line
    return Utf8ToOemExact(data, missing);
}

// The page's text written as the file on disk is: a UTF-8 file stays UTF-8
// (its mark kept), so that the user's editor reads it as before.
std::string KillFileForDisk(const std::string& pageText, const std::string& onDisk) {
    if (!IsUtf8KillFile(onDisk)) return pageText;
    return (onDisk.starts_with(kUtf8Mark) ? std::string(kUtf8Mark) : std::string()) +
           OemToUtf8(pageText);
}

KillFileText ShowKillFile() {
    const std::string name = CurrentSettings().KillFile;
    KillFileText shown{AsUserNamesIt(name), "", {}};
    if (FileExists(name) && !ReadFilePrefix(name, kMaxKillFileBytes, shown.text)) {
        shown.problems.push_back({0, "cannot be read", true});
        return shown;
    }
    shown.text = KillFileForPage(std::move(shown.text));
    shown.problems = KillFileProblems(BuildKillSet(name).problems);
    return shown;
}

bool WriteWhole(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    return !out.fail();
}

bool HasError(const std::vector<KillFileProblem>& problems) {
    return std::any_of(problems.begin(), problems.end(),
                       [](const KillFileProblem& problem) { return problem.isError; });
}

}  // namespace

std::vector<KillFileProblem> KillFileProblems(const Problems& problems) {
    std::vector<KillFileProblem> shown;
    for (const Problem& problem : problems) {
        if (problem.severity == Severity::kNote) continue;
        shown.push_back(
            {static_cast<int>(problem.line), problem.text, problem.severity == Severity::kError});
    }
    return shown;
}

KillFileSave SaveKillFileText(const std::string& killFile, const std::string& text,
                              bool (*reload)()) {
    // Two saves at once would each back up and replace the file.
    static std::mutex saving;
    std::lock_guard<std::mutex> one(saving);
    KillFileSave save;
    std::string old;
    if (FileExists(killFile) && !ReadFilePrefix(killFile, kMaxKillFileBytes, old)) {
        save.failure = "The kill file on disk cannot be read; nothing changed.";
        return save;
    }
    const std::string draft = killFile + std::string(kKillFileDraftSuffix);
    if (!WriteWhole(draft, KillFileForDisk(text, old))) {
        RemoveFile(draft);
        save.failure = "The new kill file could not be written beside " + killFile + ".";
        return save;
    }
    save.problems = KillFileProblems(BuildKillSet(draft).problems);
    if (HasError(save.problems)) {
        RemoveFile(draft);
        return save;
    }
    std::string problem;
    if (FileExists(killFile) && !WriteWhole(killFile + std::string(kKillFileBackupSuffix), old)) {
        RemoveFile(draft);
        save.failure = "The previous kill file could not be kept as a backup; nothing changed.";
        return save;
    }
    if (!RenameFile(draft, killFile, problem)) {
        RemoveFile(draft);
        save.failure = "The kill file could not be replaced: " + problem;
        return save;
    }
    if (!reload()) {
        save.failure =
            "Saved, but the configuration was not reloaded (see the log); the running rules "
            "are unchanged.";
        return save;
    }
    save.saved = true;
    return save;
}

WebProvider MakeWebProvider(int64_t startedAt) {
    WebProvider provider;
    provider.dailyFigures = DailyFigures;
    provider.topRules = TopRules;
    provider.liveSessions = LiveSessions;
    provider.status = [startedAt] {
        return ProgramStatus{UnixSeconds() - startedAt,
                             {{"Trawlbox", std::string(kProgramVersion)},
                              {"OpenSSL", OpenSSL_version(OPENSSL_VERSION)},
                              {"SQLite", sqlite3_libversion()}}};
    };
    provider.quarantine = ListQuarantine;
    provider.quarantinedMessage = ShowQuarantined;
    provider.release = Release;
    provider.remove = Remove;
    provider.judge = Judge;
    provider.killFile = ShowKillFile;
    provider.saveKillFile = [](const std::string& text) {
        return SaveKillFileText(CurrentSettings().KillFile, text, ReloadConfiguration);
    };
    return provider;
}
