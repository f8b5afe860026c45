// What the web page needs from the rest of the program: figures, sessions,
// the quarantine, the rule tester and the kill file. The page holds none of
// this itself; start-up hands it one WebProvider whose members call the
// modules that own the data.
//
// Every member may be called from any of the page's threads, at the same
// time as the others and as the sessions. A member left empty makes its part
// of the page say that it is not available; nothing else fails.
//
// Texts are as the program holds them, in code page 437 (subjects and senders
// decoded, rule texts, kill file, messages for the user); the page converts
// them for the browser. A stored message is the exception: its bytes are
// passed as stored.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The counters of one day ("YYYY-MM-DD", local time).
struct DayFigures {
    std::string day;
    int64_t judged = 0;  // messages and overview lines the kill file was asked about
    int64_t killed = 0;
    int64_t hidden = 0;
    int64_t kept = 0;
};

// How often one rule decided, summed over some days.
struct RuleFigures {
    std::string location;  // "FILE:LINE" of the rule
    std::string rule;      // the rule's text
    int64_t hits = 0;
};

// One client connection being served now.
struct LiveSession {
    int slot = 0;
    std::string client;   // the client's address
    std::string server;   // the real server ("host:port"), "" before the login names it
    std::string account;  // "" before the login names it
    std::string state;    // what the session is doing, in a few words
    int64_t seconds = 0;  // since the client connected
};

struct ComponentVersion {
    std::string name;  // "Trawlbox", "OpenSSL", ...
    std::string version;
};

struct ProgramStatus {
    int64_t uptimeSeconds = 0;
    std::vector<ComponentVersion> versions;  // the program first
};

// One kept message, as `trawlbox quarantine` lists it.
struct KeptMessage {
    std::string id;  // stable; what release and delete take
    std::string date;
    std::string account;
    std::string sender;
    std::string subject;
    std::string rule;  // the rule that killed it, as the kill report names it
};

struct KeptQuery {
    std::string text;     // "" for all; else entries whose sender, subject or rule contain it,
                          // without regard to case
    std::string account;  // "" for all accounts; else only this one
    size_t limit = 0;     // at most this many entries
};

struct KeptList {
    std::vector<KeptMessage> entries;   // those matching, newest first, at most `limit`
    size_t total = 0;                   // how many match in all
    std::vector<std::string> accounts;  // every account holding kept messages, for the filter
};

struct QuarantinedMessage {
    KeptMessage entry;
    std::string message;  // the bytes as stored (`trawlbox quarantine show ID`)
};

// The outcome of a release or delete.
struct QuarantineOutcome {
    bool done = false;
    std::string message;  // for the user: what happened, or why nothing did
};

// A message (or an overview line) to judge, as `trawlbox test` takes it.
struct JudgeRequest {
    std::string text;      // an RFC 5322 message (LF or CR LF), or with `group` one overview line
    std::string group;     // "" for mail; else the newsgroup of the overview line
    std::string envelope;  // mail only: the envelope recipient; "" for none
};

struct RuleMatch {
    std::string location;  // "FILE:LINE"
    std::string rule;      // the rule's text
    std::string action;    // its action word
};

// What `trawlbox test` prints.
struct JudgeResult {
    std::string problem;  // non-empty when the text could not be judged; then nothing else is set
    std::vector<std::pair<std::string, std::string>> fields;  // name and value, as the filter saw
    std::vector<RuleMatch> matches;                           // in order
    std::string verdict;                                      // the deciding action word, or "keep"
};

// One problem `trawlbox check` finds in the kill file.
struct KillFileProblem {
    int line = 0;  // 1-based; 0 for the file as a whole
    std::string message;
    bool isError = true;  // false for a warning, which does not stop a save
};

struct KillFileText {
    std::string name;  // as the user knows it ("KILLFILE.CFG")
    std::string text;  // the whole file
    std::vector<KillFileProblem> problems;
};

struct KillFileSave {
    bool saved = false;  // written, the previous version kept as a backup, and reloaded
    // Not saved: the errors that stopped it (the file on disk and the running rules unchanged).
    // Saved: its warnings.
    std::vector<KillFileProblem> problems;
    std::string failure;  // not saved for a reason other than the text (a write failed)
};

struct WebProvider {
    // The figures of the days from `firstDay` ("YYYY-MM-DD") to today, in any order; a day
    // without figures may be missing.
    std::function<std::vector<DayFigures>(const std::string& firstDay)> dailyFigures;
    // The `count` rules that decided most often from `firstDay` to today, most hits first.
    std::function<std::vector<RuleFigures>(const std::string& firstDay, size_t count)> topRules;
    std::function<std::vector<LiveSession>()> liveSessions;
    std::function<ProgramStatus()> status;

    std::function<KeptList(const KeptQuery& query)> quarantine;
    // std::nullopt when no kept message has this id.
    std::function<std::optional<QuarantinedMessage>(const std::string& id)> quarantinedMessage;
    // What `trawlbox release ID...` does.
    std::function<QuarantineOutcome(const std::vector<std::string>& ids)> release;
    std::function<QuarantineOutcome(const std::string& id)> remove;

    // Judges exactly as a session would.
    std::function<JudgeResult(const JudgeRequest& request)> judge;

    // The kill file as it is on disk, with what `trawlbox check` finds in it.
    std::function<KillFileText()> killFile;
    // Checks `text` (the whole file, CR LF line ends) as `trawlbox check` would; when it has
    // no error, writes it atomically, keeps the previous file as a backup and reloads.
    std::function<KillFileSave(const std::string& text)> saveKillFile;
};
