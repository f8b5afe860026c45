#include "store/quarantine.h"

#include <algorithm>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <utility>

#include "codec/md5.h"
#include "core/text.h"
#include "platform/files.h"
#include "store/statement.h"

namespace {

// The columns ReadRow reads, in its order.
constexpr std::string_view kColumns =
    "id, account, killed_at, sender, subject, rule, size, path, released_at";

// An id drawn again this often is taken each time only when the table holds
// a good part of 2^40 ids: the database is not what it should be.
constexpr int kIdAttempts = 8;

// Bytes of the account key's digest kept in a cut folder name, in hex.
constexpr size_t kFolderDigestDigits = 16;

constexpr int64_t kSecondsPerDay = 24 * 3600;

// Retention beyond this is forever; the bound keeps the arithmetic in range.
constexpr int64_t kMaxRetentionDays = 1000000;

// Reads the columns of kColumns, the first at `first`. Returns false when
// one does not hold its declared type (a damaged row).
bool ReadRow(const Statement& row, QuarantineEntry& entry, int first = 0) {
    for (int column : {0, 1, 3, 4, 5, 7}) {
        if (!row.IsBytes(first + column)) return false;
    }
    for (int column : {2, 6, 8}) {
        if (!row.IsInteger(first + column)) return false;
    }
    entry.id = row.Bytes(first + 0);
    entry.account = row.Bytes(first + 1);
    entry.killedAt = row.Integer(first + 2);
    entry.sender = row.Bytes(first + 3);
    entry.subject = row.Bytes(first + 4);
    entry.rule = row.Bytes(first + 5);
    entry.size = row.Integer(first + 6);
    entry.path = row.Bytes(first + 7);
    entry.releasedAt = row.Integer(first + 8);
    return true;
}

std::string Select(std::string_view rest) {
    return "SELECT " + std::string(kColumns) + " FROM quarantine " + std::string(rest);
}

std::string NewId() {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uniform_int_distribution<size_t> pick(0, kQuarantineIdAlphabet.size() - 1);
    std::string id;
    for (size_t i = 0; i < kQuarantineIdLength; ++i) id += kQuarantineIdAlphabet[pick(generator)];
    return id;
}

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string AsciiLowerCase(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = AsciiLower(c);
    return lower;
}

bool IsFolderByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("-_.@+=,#").find(c) != std::string_view::npos;
}

// A file's name in cur/ is its name in new/ with the flags a mail program
// appends after ":".
std::string_view BaseName(std::string_view name) {
    return name.substr(0, name.find(':'));
}

// Splits an entry's path into its folder and file name. False when the path
// is not "<the account's folder>/new/<a name of ours>": a damaged or forged
// row must not point anywhere else.
bool SplitPath(const QuarantineEntry& entry, std::string& folder, std::string& name) {
    folder = QuarantineFolderName(entry.account);
    std::string prefix = folder + "/" + std::string(kMaildirNew) + "/";
    if (!StartsWith(entry.path, prefix)) return false;
    name = entry.path.substr(prefix.size());
    return IsOwnMaildirName(name) && name.find(':') == std::string::npos;
}

// The names of this program's files in one subfolder of a Maildir.
std::vector<std::string> OwnFiles(const std::string& subfolder) {
    std::vector<std::string> names;
    ListDirectory(subfolder, names);
    std::erase_if(names, [](const std::string& name) { return !IsOwnMaildirName(name); });
    return names;
}

}  // namespace

std::string AccountKey(std::string_view serverHost, std::string_view account) {
    return std::string(serverHost) + "#" + std::string(account);
}

std::string QuarantineFolderName(std::string_view accountKey) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string folder;
    for (char c : accountKey) {
        if (IsFolderByte(c) && !(c == '.' && folder.empty())) {
            folder += c;
        } else {
            auto byte = static_cast<unsigned char>(c);
            folder += '%';
            folder += kHex[byte >> 4];
            folder += kHex[byte & 0x0f];
        }
    }
    if (folder.size() <= kMaxQuarantineFolderName) return folder;
    size_t keep = kMaxQuarantineFolderName - 1 - kFolderDigestDigits;
    // Not through the middle of a "%XX".
    if (folder[keep - 1] == '%') {
        keep -= 1;
    } else if (folder[keep - 2] == '%') {
        keep -= 2;
    }
    return folder.substr(0, keep) + "~" + Md5Hex(accountKey).substr(0, kFolderDigestDigits);
}

bool FitsQuarantine(int64_t octets, int64_t maxKB) {
    if (maxKB <= 0 || octets < 0) return false;
    return maxKB > std::numeric_limits<int64_t>::max() / 1024 || octets <= maxKB * 1024;
}

bool ReadQuarantineId(std::string_view typed, std::string& id) {
    if (typed.size() != kQuarantineIdLength) return false;
    std::string read;
    for (char c : typed) {
        c = AsciiLower(c);
        if (c == 'o') c = '0';
        if (c == 'i' || c == 'l') c = '1';
        if (kQuarantineIdAlphabet.find(c) == std::string_view::npos) return false;
        read += c;
    }
    id = std::move(read);
    return true;
}

std::string ReleasedUidl(std::string_view id) {
    return std::string(kReleasedUidlPrefix) + std::string(id);
}

Quarantine::Quarantine(StateDatabase& database, std::string directory)
    : database_(database), directory_(std::move(directory)) {
    if (directory_.empty()) directory_ = "./";
    if (directory_.back() != '/') directory_ += '/';
}

std::string Quarantine::MaildirOf(std::string_view accountKey) const {
    return directory_ + QuarantineFolderName(accountKey);
}

bool Quarantine::DatabaseFailed() {
    problem_ = database_.Problem();
    return false;
}

bool Quarantine::BeginCopy(std::string_view accountKey, MaildirDelivery& copy, int64_t maxOctets) {
    problem_.clear();
    std::string reason;
    if (!MakePrivateDirectory(directory_, reason)) {
        problem_ = "cannot make the quarantine directory " + directory_ + ": " + reason;
        return false;
    }
    if (copy.Begin(MaildirOf(accountKey), maxOctets)) return true;
    problem_ = copy.Problem();
    return false;
}

bool Quarantine::Add(const MaildirDelivery& copy, QuarantineEntry& entry) {
    problem_.clear();
    std::string maildir = MaildirOf(entry.account);
    if (copy.DeliveredName().empty()) {
        problem_ = "the copy is not finished";
        return false;
    }
    std::string file = copy.Maildir() + "/" + copy.DeliveredName();
    if (copy.Maildir() != maildir) {
        RemoveFile(file);
        problem_ = "the copy is not in the account's folder " + maildir;
        return false;
    }
    entry.size = copy.Size();
    entry.path = QuarantineFolderName(entry.account) + "/" + copy.DeliveredName();
    entry.releasedAt = 0;
    entry.sender = std::string(Utf8Prefix(entry.sender, kMaxQuarantineTextBytes));
    entry.subject = std::string(Utf8Prefix(entry.subject, kMaxQuarantineTextBytes));
    entry.rule = std::string(Utf8Prefix(entry.rule, kMaxQuarantineRuleBytes));

    bool added = false;
    {
        Transaction transaction(database_);
        std::string id;
        if (transaction.Began() && FreeId(id) && id.empty()) problem_ = "no free id was found";
        if (!id.empty()) {
            Statement insert(database_, "INSERT INTO quarantine (" + std::string(kColumns) +
                                            ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, 0)");
            insert.BindBytes(1, id);
            insert.BindBytes(2, entry.account);
            insert.BindInteger(3, entry.killedAt);
            insert.BindBytes(4, entry.sender);
            insert.BindBytes(5, entry.subject);
            insert.BindBytes(6, entry.rule);
            insert.BindInteger(7, entry.size);
            insert.BindBytes(8, entry.path);
            added = insert.Run() && transaction.Commit();
            if (added) entry.id = id;
        }
    }
    if (added) return true;
    RemoveFile(file);
    if (problem_.empty()) DatabaseFailed();
    return false;
}

bool Quarantine::FreeId(std::string& id) {
    id.clear();
    for (int attempt = 0; attempt < kIdAttempts; ++attempt) {
        std::string candidate = NewId();
        Statement taken(database_, "SELECT 1 FROM quarantine WHERE id = ?1");
        taken.BindBytes(1, candidate);
        if (taken.NextRow()) continue;
        if (taken.Failed()) return false;
        id = candidate;
        return true;
    }
    return true;
}

bool Quarantine::List(const QuarantineQuery& query, std::vector<QuarantineEntry>& entries) {
    entries.clear();
    problem_.clear();
    std::string text = AsciiLowerCase(query.text);
    Statement select(database_, Select("WHERE length(?1) = 0 OR account = ?1 "
                                       "ORDER BY killed_at DESC, rowid DESC"));
    select.BindBytes(1, query.account);
    QuarantineEntry entry;
    while ((query.limit == 0 || entries.size() < query.limit) && select.NextRow()) {
        if (!ReadRow(select, entry)) continue;
        if (!text.empty() && AsciiLowerCase(entry.sender).find(text) == std::string::npos &&
            AsciiLowerCase(entry.subject).find(text) == std::string::npos) {
            continue;
        }
        entries.push_back(entry);
    }
    if (!select.Failed()) return true;
    entries.clear();
    return DatabaseFailed();
}

QuarantineLookup Quarantine::Get(std::string_view typedId, QuarantineEntry& entry) {
    problem_.clear();
    std::string id;
    if (!ReadQuarantineId(typedId, id)) return QuarantineLookup::kUnknown;
    Statement select(database_, Select("WHERE id = ?1"));
    select.BindBytes(1, id);
    if (select.NextRow()) {
        return ReadRow(select, entry) ? QuarantineLookup::kFound : QuarantineLookup::kUnknown;
    }
    if (!select.Failed()) return QuarantineLookup::kUnknown;
    DatabaseFailed();
    return QuarantineLookup::kFailed;
}

std::string Quarantine::Locate(const QuarantineEntry& entry) const {
    std::string folder;
    std::string name;
    if (!SplitPath(entry, folder, name)) return {};
    FileFacts facts;
    std::string fresh = directory_ + entry.path;
    if (ExamineFile(fresh, facts) && facts.regular) return fresh;
    // Looked for in cur/ after new/: a mail program moves it that way.
    std::string cur = directory_ + folder + "/" + std::string(kMaildirCur) + "/";
    for (const std::string& seen : OwnFiles(cur)) {
        if (BaseName(seen) == name && ExamineFile(cur + seen, facts) && facts.regular) {
            return cur + seen;
        }
    }
    return {};
}

bool Quarantine::ReadMessage(const QuarantineEntry& entry, std::string& message) {
    message.clear();
    problem_.clear();
    std::string folder;
    std::string name;
    if (!SplitPath(entry, folder, name)) {
        problem_ = "the record of " + entry.id + " does not point into its account's folder";
        return false;
    }
    std::string path = Locate(entry);
    FileFacts facts;
    if (path.empty() || !ExamineFile(path, facts)) {
        problem_ = "the stored copy of " + entry.id + " is gone (" + directory_ + entry.path + ")";
        return false;
    }
    if (facts.size > kMaxQuarantineReadBytes) {
        problem_ = "the stored copy of " + entry.id + " is larger than " +
                   std::to_string(kMaxQuarantineReadBytes) + " bytes";
        return false;
    }
    // One byte more than it had: a file that grew is noticed.
    if (!ReadFilePrefix(path, static_cast<size_t>(facts.size) + 1, message) ||
        static_cast<int64_t>(message.size()) != facts.size) {
        message.clear();
        problem_ = "the stored copy of " + entry.id + " cannot be read (" + path + ")";
        return false;
    }
    return true;
}

bool Quarantine::Release(const std::vector<std::string>& typedIds, int64_t now,
                         std::vector<std::string>& unknown) {
    unknown.clear();
    problem_.clear();
    std::vector<std::string> found;
    Transaction transaction(database_);
    if (!transaction.Began()) return DatabaseFailed();
    for (const std::string& typed : typedIds) {
        std::string id;
        if (!ReadQuarantineId(typed, id)) {
            unknown.push_back(typed);
            continue;
        }
        Statement select(database_, "SELECT 1 FROM quarantine WHERE id = ?1");
        select.BindBytes(1, id);
        if (!select.NextRow()) {
            if (select.Failed()) break;
            unknown.push_back(typed);
            continue;
        }
        Statement mark(database_,
                       "UPDATE quarantine SET released_at = ?2 WHERE id = ?1 AND released_at = 0");
        mark.BindBytes(1, id);
        mark.BindInteger(2, now);
        if (!mark.Run()) break;
        found.push_back(id);
    }
    if (found.size() + unknown.size() == typedIds.size() && transaction.Commit()) return true;
    unknown.clear();
    return DatabaseFailed();
}

bool Quarantine::ListReleased(std::string_view accountKey, std::vector<QuarantineEntry>& entries) {
    entries.clear();
    problem_.clear();
    Statement select(database_,
                     Select("WHERE account = ?1 AND released_at > 0 ORDER BY killed_at, rowid"));
    select.BindBytes(1, accountKey);
    QuarantineEntry entry;
    while (select.NextRow()) {
        if (ReadRow(select, entry)) entries.push_back(entry);
    }
    if (!select.Failed()) return true;
    entries.clear();
    return DatabaseFailed();
}

QuarantineLookup Quarantine::Remove(std::string_view typedId) {
    problem_.clear();
    QuarantineEntry entry;
    bool removed = false;
    {
        Transaction transaction(database_);
        if (!transaction.Began()) {
            DatabaseFailed();
            return QuarantineLookup::kFailed;
        }
        QuarantineLookup lookup = Get(typedId, entry);
        if (lookup != QuarantineLookup::kFound) return lookup;
        Statement remove(database_, "DELETE FROM quarantine WHERE id = ?1");
        remove.BindBytes(1, entry.id);
        removed = remove.Run() && transaction.Commit();
    }
    if (!removed) {
        DatabaseFailed();
        return QuarantineLookup::kFailed;
    }
    // After the row: a file left by a failure is only a stray file, which
    // the clean-up removes; a row left without its file would be listed.
    std::string path = Locate(entry);
    if (!path.empty()) RemoveFile(path);
    return QuarantineLookup::kFound;
}

bool Quarantine::CleanUp(int64_t days, int64_t now, QuarantineCleanup& cleanup) {
    cleanup = QuarantineCleanup{};
    problem_.clear();
    int64_t cutoff = days > 0 ? now - std::min(days, kMaxRetentionDays) * kSecondsPerDay
                              : std::numeric_limits<int64_t>::min();

    // The files present, by folder: base name to the path it has now.
    std::map<std::string, std::map<std::string, std::string>> present;
    auto filesOf = [&](const std::string& folder) -> std::map<std::string, std::string>& {
        auto known = present.find(folder);
        if (known != present.end()) return known->second;
        std::map<std::string, std::string>& files = present[folder];
        // cur/ after new/: a file moved between the two listings is seen in one.
        for (std::string_view sub : {kMaildirNew, kMaildirCur}) {
            std::string directory = directory_ + folder + "/" + std::string(sub) + "/";
            for (const std::string& name : OwnFiles(directory)) {
                files[std::string(BaseName(name))] = directory + name;
            }
        }
        return files;
    };

    std::vector<std::string> expiredFiles;
    FolderNames kept;
    QuarantineCleanup found;
    {
        // Rows are read and removed in one write transaction, so that a copy
        // released meanwhile is not removed as expired.
        Transaction transaction(database_);
        if (!transaction.Began()) return DatabaseFailed();
        std::vector<int64_t> doomedRows;
        Statement select(database_, "SELECT rowid, " + std::string(kColumns) + " FROM quarantine");
        while (select.NextRow()) {
            QuarantineEntry entry;
            std::string folder;
            std::string name;
            if (!ReadRow(select, entry, 1) || !SplitPath(entry, folder, name)) {
                doomedRows.push_back(select.Integer(0));
                ++found.danglingRows;
                continue;
            }
            std::map<std::string, std::string>& files = filesOf(folder);
            auto file = files.find(name);
            if (std::max(entry.killedAt, entry.releasedAt) < cutoff) {
                doomedRows.push_back(select.Integer(0));
                if (file != files.end()) expiredFiles.push_back(file->second);
                ++found.expired;
            } else if (file == files.end()) {
                doomedRows.push_back(select.Integer(0));
                ++found.danglingRows;
            } else {
                kept.emplace(folder, name);
            }
        }
        if (select.Failed()) return DatabaseFailed();
        Statement remove(database_, "DELETE FROM quarantine WHERE rowid = ?1");
        for (int64_t rowid : doomedRows) {
            remove.BindInteger(1, rowid);
            if (!remove.Run()) return DatabaseFailed();
        }
        if (!transaction.Commit()) return DatabaseFailed();
    }
    for (const std::string& path : expiredFiles) RemoveFile(path);
    found.strayFiles = RemoveStrayFiles(kept, cutoff, now);
    cleanup = found;
    return true;
}

size_t Quarantine::RemoveStrayFiles(const FolderNames& kept, int64_t cutoff, int64_t now) {
    size_t removed = 0;
    std::vector<std::string> folders;
    ListDirectory(directory_, folders);
    for (const std::string& folder : folders) {
        // Not into anything a symbolic link points at.
        FileFacts facts;
        if (folder[0] == '.' || !ExamineFile(directory_ + folder, facts) || !facts.directory) {
            continue;
        }
        for (std::string_view sub : {kMaildirNew, kMaildirCur, kMaildirTmp}) {
            std::string directory = directory_ + folder + "/" + std::string(sub) + "/";
            bool unfinished = sub == kMaildirTmp;
            int64_t before = unfinished ? now - kStaleMaildirTmpSeconds : cutoff;
            for (const std::string& name : OwnFiles(directory)) {
                if (!unfinished && kept.count({folder, std::string(BaseName(name))}) != 0) continue;
                if (!ExamineFile(directory + name, facts) || !facts.regular) continue;
                if (facts.modified < before && RemoveFile(directory + name)) ++removed;
            }
        }
    }
    return removed;
}
