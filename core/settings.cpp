#include "core/settings.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <exception>
#include <limits>
#include <mutex>
#include <type_traits>
#include <vector>

#include "core/log.h"
#include "core/text.h"
#include "platform/files.h"

SettingsRecord Settings;
std::string ProgramDirectory;

namespace {

// The record PublishSettings made current. Never destroyed: session threads
// may still read settings while the process ends.
struct PublishedSettings {
    std::mutex lock;
    std::shared_ptr<const SettingsRecord> record;  // nullptr: Settings is in effect
    std::atomic<uint64_t> publications{0};
};

PublishedSettings& Published() {
    static PublishedSettings& published = *new PublishedSettings();
    return published;
}

}  // namespace

const SettingsRecord& CurrentSettings() {
    struct Seen {
        uint64_t publications = 0;
        std::shared_ptr<const SettingsRecord> record;
    };
    thread_local Seen seen;
    PublishedSettings& published = Published();
    uint64_t now = published.publications.load(std::memory_order_acquire);
    if (seen.publications != now) {
        std::lock_guard guard(published.lock);
        seen.record = published.record;
        seen.publications = published.publications.load(std::memory_order_relaxed);
    }
    return seen.record != nullptr ? *seen.record : Settings;
}

void PublishSettings(const SettingsRecord* record) {
    std::shared_ptr<const SettingsRecord> next;
    if (record != nullptr) next = std::make_shared<const SettingsRecord>(*record);
    PublishedSettings& published = Published();
    std::lock_guard guard(published.lock);
    published.record.swap(next);
    published.publications.fetch_add(1, std::memory_order_release);
}

namespace {

constexpr std::string_view kConfigError = "Cfg_Error";
// The check reads this much of the configuration file; far more than any
// configuration holds, and kept in memory at once.
constexpr size_t kConfigCheckLimit = size_t{1} << 20;
// A key written with this prefix wins over the plain key when its value is not empty.
constexpr std::string_view kOverridePrefix = "Ex";
// A value holding this word, in any case, reads as no value: the key's fallback.
constexpr std::string_view kIncompatibleWord = "incompatible";

constexpr std::array<std::string_view, 7> kFlagWords{"enabled", "j", "y", "on", "ein", "true", "1"};
// Read as off like any other word, but named here so that a check can tell
// a word for off from a typing error.
constexpr std::array<std::string_view, 7> kOffWords{"disabled", "n",     "no", "off",
                                                    "aus",      "false", "0"};

struct TlsModeWord {
    std::string_view word;
    TlsMode mode;
};

constexpr std::array<TlsModeWord, 4> kTlsModeWords{{
    {"off", TlsMode::kOff},
    {"stls", TlsMode::kUpgrade},
    {"starttls", TlsMode::kUpgrade},
    {"implicit", TlsMode::kImplicit},
}};

struct NumberRange {
    int64_t low;
    int64_t high;
};

constexpr NumberRange kPortRange{0, 65535};
// 0 turns the time-out off; the watchdog counts seconds in 32 bits.
constexpr NumberRange kSecondsRange{0, std::numeric_limits<int32_t>::max()};

// More Received lines than this are written by the user's own provider's
// hosts; beyond them the path was chosen by the sender and proves nothing.
constexpr NumberRange kDnsblDepthRange{1, 10};
constexpr NumberRange kDnsTimeoutRange{1, kLongestDnsTimeoutSeconds};
// 0 never holds an account; a limit above this many failures protects nothing.
constexpr NumberRange kFailureLimitRange{0, 1000};
// Ten years of copies, or a cap of 4 GB: beyond either the disk is the limit.
constexpr NumberRange kQuarantineDaysRange{0, 3650};
constexpr NumberRange kQuarantineKBRange{0, 4 * 1024 * 1024};

constexpr SettingChange kLive = SettingChange::kWhileRunning;
constexpr SettingChange kFixed = SettingChange::kAtStart;

// Returns the key that keeps its value in `field`, of the kind `kind`.
template <typename T>
constexpr SettingKey Key(std::string_view name, SettingKind kind, T SettingsRecord::*field,
                         std::string_view fallback, SettingChange change, NumberRange range = {}) {
    SettingKey key{name, kind, fallback, range.low, range.high, change};
    if constexpr (std::is_same_v<T, int32_t>) key.number = field;
    if constexpr (std::is_same_v<T, bool>) key.flag = field;
    if constexpr (std::is_same_v<T, std::string>) key.text = field;
    if constexpr (std::is_same_v<T, TlsMode>) key.tlsMode = field;
    return key;
}

constexpr SettingKey Number(std::string_view name, int32_t SettingsRecord::*field,
                            std::string_view fallback, NumberRange range, SettingChange change) {
    return Key(name, SettingKind::kNumber, field, fallback, change, range);
}

// A number key with what to write when its value is wrong.
constexpr SettingKey Number(std::string_view name, int32_t SettingsRecord::*field,
                            std::string_view fallback, NumberRange range, SettingChange change,
                            std::string_view advice) {
    SettingKey key = Number(name, field, fallback, range, change);
    key.advice = advice;
    return key;
}

constexpr SettingKey Flag(std::string_view name, bool SettingsRecord::*field,
                          std::string_view fallback, SettingChange change) {
    return Key(name, SettingKind::kFlag, field, fallback, change);
}

constexpr SettingKey Text(std::string_view name, std::string SettingsRecord::*field,
                          std::string_view fallback, SettingChange change) {
    return Key(name, SettingKind::kText, field, fallback, change);
}

constexpr SettingKey Path(std::string_view name, std::string SettingsRecord::*field,
                          std::string_view fallback, SettingChange change) {
    return Key(name, SettingKind::kPath, field, fallback, change);
}

constexpr SettingKey Tls(std::string_view name, TlsMode SettingsRecord::*field,
                         std::string_view fallback, SettingChange change) {
    return Key(name, SettingKind::kTlsMode, field, fallback, change);
}

constexpr SettingKey EmptyIsValue(SettingKey key) {
    key.emptyIsValue = true;
    return key;
}

using R = SettingsRecord;

// Every key of the file, one line each. Listeners hold their ports and the
// upstream TLS set-up is made at start, so those keys wait for a restart;
// log switches, time-outs and what the filter reads apply at a reload.
constexpr std::array kSettingKeys{
    Number("Pop3Timeout", &R::Pop3Timeout, "60", kSecondsRange, kLive),
    Number("NntpTimeout", &R::NntpTimeout, "600", kSecondsRange, kLive),
    Number("Pop3PortIncoming", &R::Pop3PortIncoming, "110", kPortRange, kFixed),
    Number("Pop3PortOutgoing", &R::Pop3PortOutgoing, "110", kPortRange, kFixed),
    Text("KillReport", &R::KillReport, kDefaultKillReport, kLive),
    Number("NntpPortIncoming", &R::NntpPortIncoming, "119", kPortRange, kFixed),
    Number("NntpPortOutgoing", &R::NntpPortOutgoing, "119", kPortRange, kFixed),
    Path("LOGDIR", &R::LogDir, "", kFixed),
    Flag("LogFilter", &R::LogFilter, "J", kLive),
    Flag("LogSession", &R::LogSession, "J", kLive),
    Flag("LogDebug", &R::LogDebug, "N", kLive),
    Flag("DEBUGLINE", &R::DebugLine, "N", kLive),
    Path("KILLFILE", &R::KillFile, "KILLFILE.CFG", kLive),
    Tls("Pop3Tls", &R::Pop3Tls, "off", kFixed),
    Tls("NntpTls", &R::NntpTls, "off", kFixed),
    Flag("TlsVerify", &R::TlsVerify, "J", kFixed),
    Path("TlsCaFile", &R::TlsCaFile, "", kFixed),
    // DNS blocklists
    Text("DnsBlocklists", &R::DnsBlocklists, "", kLive),
    Number("DnsblDepth", &R::DnsblDepth, "1", kDnsblDepthRange, kLive),
    Text("DnsServers", &R::DnsServers, "", kLive),
    Number("DnsTimeout", &R::DnsTimeout, "2", kDnsTimeoutRange, kLive),
    Path("ClientTlsCert", &R::ClientTlsCert, "", kFixed),
    Path("ClientTlsKey", &R::ClientTlsKey, "", kFixed),
    Number("Pop3sPortIncoming", &R::Pop3sPortIncoming, "0", kPortRange, kFixed),
    Number("NntpsPortIncoming", &R::NntpsPortIncoming, "0", kPortRange, kFixed),
    Flag("ClientTlsRequired", &R::ClientTlsRequired, "N", kFixed),
    // Read by each login, so a reload applies to the next one.
    Path("DataDir", &R::DataDir, "", kLive),
    Flag("ScanCache", &R::ScanCache, "J", kLive),
    // Guards for a proxy that others can reach. Read at start: sessions
    // read them without a lock.
    Text("AllowedServers", &R::AllowedServers, "", kFixed),
    Text("AllowedPorts", &R::AllowedPorts, "", kFixed),
    Number("LoginFailureLimit", &R::LoginFailureLimit, "5", kFailureLimitRange, kFixed,
           "write how many failed logins hold an account, 0 for never (as LoginFailureLimit=5)"),
    Number("LoginFailureWindow", &R::LoginFailureWindow, "600", kSecondsRange, kFixed,
           "write the seconds failed logins are counted over (as LoginFailureWindow=600)"),
    // Quarantine and dry run: read by each login and each clean-up.
    EmptyIsValue(Text("Quarantine", &R::Quarantine, "QUARANTINE", kLive)),
    Number("QuarantineDays", &R::QuarantineDays, "14", kQuarantineDaysRange, kLive),
    Number("QuarantineMaxMessageKB", &R::QuarantineMaxMessageKB, "10240", kQuarantineKBRange,
           kLive),
    Flag("DryRun", &R::DryRun, "N", kLive),
    // The web page holds its port and password from start, like a listener.
    Number("WebPort", &R::WebPort, "11180", kPortRange, kFixed),
    Text("WebAddress", &R::WebAddress, "127.0.0.1", kFixed),
    Text("WebPassword", &R::WebPassword, "", kFixed),
};

std::string ReplaceBlankBeforeEquals(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == ' ' && i + 1 < text.size() && text[i + 1] == '=') continue;
        out += text[i];
    }
    return out;
}

// The file's text as keys are looked up in: blanks before "=" taken out
// and a line end after the last line.
std::string PreparedConfig(std::string_view fileText) {
    std::string text(fileText);
    return ReplaceBlankBeforeEquals(text + "\r\n");
}

// Calls `visit(line)` for each line of the prepared text that ends in LF,
// without its CRs, until it returns false.
template <typename Visit>
void ForEachConfigLine(std::string_view config, Visit visit) {
    size_t start = 0;
    for (;;) {
        size_t lf = config.find('\n', start);
        if (lf == std::string_view::npos) return;
        std::string piece;
        for (char c : config.substr(start, lf - start)) {
            if (c != '\r') piece += c;
        }
        start = lf + 1;
        if (!visit(piece)) return;
    }
}

// The number at the start of a value as ParseNumber reads it: blanks
// skipped, an optional sign, digits with an optional fraction.
struct LeadingValue {
    bool found = false;  // there were digits
    size_t end = 0;      // where the number ends in the value
    double rounded = 0;  // rounded half to even, not yet cut to 32 bits
};

LeadingValue ReadLeadingNumber(std::string_view value) {
    LeadingValue out;
    size_t i = value.find_first_not_of(' ');
    if (i == std::string_view::npos) return out;
    bool negative = false;
    if (value[i] == '+' || value[i] == '-') negative = value[i++] == '-';
    double number = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        number = number * 10 + (value[i] - '0');
        out.found = true;
    }
    if (i < value.size() && value[i] == '.') {
        double scale = 0.1;
        for (++i; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i, scale /= 10) {
            number += (value[i] - '0') * scale;
            out.found = true;
        }
    }
    out.end = i;
    // nearbyint rounds halves to the even neighbour in the default mode.
    out.rounded = std::nearbyint(negative ? -number : number);
    return out;
}

void StoreValue(const SettingKey& key, const std::string& value, SettingsRecord& record) {
    switch (key.kind) {
        case SettingKind::kNumber:
            record.*key.number = ParseNumber(value);
            break;
        case SettingKind::kFlag:
            record.*key.flag = ParseFlag(value);
            break;
        case SettingKind::kText:
        case SettingKind::kPath:
            record.*key.text = value;
            break;
        case SettingKind::kTlsMode:
            record.*key.tlsMode = ParseTlsMode(value);
            break;
    }
}

// Calls `visit` with the key's member pointer, whichever type it has.
template <typename Visit>
void VisitField(const SettingKey& key, Visit visit) {
    if (key.number != nullptr) visit(key.number);
    if (key.flag != nullptr) visit(key.flag);
    if (key.text != nullptr) visit(key.text);
    if (key.tlsMode != nullptr) visit(key.tlsMode);
}

bool IsKeyCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
}

bool IsKeyWord(std::string_view word) {
    if (word.empty()) return false;
    for (char c : word) {
        if (!IsKeyCharacter(c)) return false;
    }
    return true;
}

bool IsIn(std::string_view word, std::span<const std::string_view> words) {
    for (std::string_view known : words) {
        if (word == known) return true;
    }
    return false;
}

// A key as a line names it: the table's key and whether it carries the
// override prefix.
struct NamedKey {
    const SettingKey* key = nullptr;
    bool prefixed = false;
};

NamedKey FindKey(std::string_view word) {
    std::string upper = UpperCase(word);
    std::string prefix = UpperCase(kOverridePrefix);
    for (bool prefixed : {false, true}) {
        if (prefixed && !StartsWith(upper, prefix)) break;
        std::string_view name = std::string_view(upper).substr(prefixed ? prefix.size() : 0);
        for (const SettingKey& key : kSettingKeys) {
            if (UpperCase(key.name) == name) return {&key, prefixed};
        }
    }
    return {};
}

// Returns the known key, with the override prefix where that is closer,
// nearest to `word`, or "" when none is near enough to be what was meant.
std::string NearestKey(std::string_view word) {
    std::string upper = UpperCase(word);
    std::string best;
    size_t bestDistance = std::numeric_limits<size_t>::max();
    for (const SettingKey& key : kSettingKeys) {
        for (bool prefixed : {false, true}) {
            std::string name = prefixed ? std::string(kOverridePrefix) + std::string(key.name)
                                        : std::string(key.name);
            size_t distance = EditDistance(upper, UpperCase(name));
            if (distance < bestDistance) {
                bestDistance = distance;
                best = std::move(name);
            }
        }
    }
    // A few slips in a long key, but not a different word.
    size_t allowed = std::max<size_t>(2, best.size() / 4);
    return bestDistance <= allowed ? best : std::string();
}

std::string Quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

// Returns what is wrong with a value of `key`, written as `written`, or ""
// when nothing is.
std::string ValueProblem(const SettingKey& key, std::string_view written, std::string_view value) {
    std::string of = " of " + std::string(written);
    switch (key.kind) {
        case SettingKind::kNumber: {
            LeadingValue number = ReadLeadingNumber(value);
            if (!number.found || value.find_first_not_of(' ', number.end) != std::string::npos) {
                return "value " + Quoted(value) + of + " is not a number";
            }
            if (number.rounded < static_cast<double>(key.low) ||
                number.rounded > static_cast<double>(key.high)) {
                return "value " + Quoted(value) + of + " is out of range " +
                       std::to_string(key.low) + ".." + std::to_string(key.high);
            }
            return {};
        }
        case SettingKind::kFlag: {
            std::string lower = LowerCase(value);
            if (IsIn(lower, kFlagWords) || IsIn(lower, kOffWords)) return {};
            return "unknown flag word " + Quoted(value) + " for " + std::string(written) +
                   " (J or N)";
        }
        case SettingKind::kTlsMode:
            if (ParseTlsMode(value) != TlsMode::kUnknown) return {};
            return "unknown TLS mode " + Quoted(value) + " for " + std::string(written) +
                   " (off, stls, starttls or implicit)";
        case SettingKind::kText:
        case SettingKind::kPath:
            return {};
    }
    return {};
}

}  // namespace

std::span<const SettingKey> SettingKeys() {
    return kSettingKeys;
}

bool ParseFlag(std::string_view value) {
    return IsIn(LowerCase(value), kFlagWords);
}

TlsMode ParseTlsMode(std::string_view value) {
    std::string lower = LowerCase(Trim(value));
    for (const TlsModeWord& entry : kTlsModeWords) {
        if (lower == entry.word) return entry.mode;
    }
    return TlsMode::kUnknown;
}

int32_t ParseNumber(std::string_view value) {
    LeadingValue number = ReadLeadingNumber(value);
    if (!number.found) return 0;
    constexpr double kLow = std::numeric_limits<int32_t>::min();
    constexpr double kHigh = std::numeric_limits<int32_t>::max();
    if (number.rounded < kLow) return std::numeric_limits<int32_t>::min();
    if (number.rounded > kHigh) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(number.rounded);
}

std::string ConfigLine(std::string_view config, std::string_view key, std::string_view fallback) {
    try {
        std::string wanted = UpperCase(key);
        std::string value;
        ForEachConfigLine(config, [&](const std::string& piece) {
            if (!StartsWith(UpperCase(piece), wanted)) return true;
            size_t equals = piece.find('=');
            if (equals != std::string::npos) value = piece.substr(equals + 1);
            return false;
        });
        if (value.empty() || LowerCase(value).find(kIncompatibleWord) != std::string::npos) {
            return std::string(fallback);
        }
        return value;
    } catch (const std::exception&) {
        return std::string(kConfigError);
    }
}

std::string ConfigValue(std::string_view config, std::string_view key, std::string_view fallback) {
    std::string prefixed = ConfigLine(config, std::string(kOverridePrefix) + std::string(key), "");
    if (!prefixed.empty()) return prefixed;
    return ConfigLine(config, key, fallback);
}

// True when the first line that gives `key` (which ends in "=") gives it
// with an empty value, and no override-prefixed line gives a value.
bool GivenEmpty(std::string_view config, std::string_view key) {
    if (!ConfigLine(config, std::string(kOverridePrefix) + std::string(key), "").empty()) {
        return false;
    }
    std::string wanted = UpperCase(key);
    bool empty = false;
    ForEachConfigLine(config, [&](const std::string& piece) {
        if (!StartsWith(UpperCase(piece), wanted)) return true;
        empty = piece.find_first_not_of(' ', wanted.size()) == std::string::npos;
        return false;
    });
    return empty;
}

SettingsRecord ReadSettings(std::string_view fileText) {
    std::string config = PreparedConfig(fileText);
    SettingsRecord record;
    for (const SettingKey& key : kSettingKeys) {
        const std::string name = std::string(key.name) + "=";
        if (key.emptyIsValue && GivenEmpty(config, name)) {
            StoreValue(key, "", record);
        } else {
            StoreValue(key, ConfigValue(config, name, key.fallback), record);
        }
    }
    return record;
}

std::string StateDirectory(const SettingsRecord& settings) {
    return settings.DataDir.empty() ? ProgramDirectory : settings.DataDir;
}

std::string QuarantineDirectory(const SettingsRecord& settings) {
    if (settings.Quarantine.empty()) return {};
    std::string base = StateDirectory(settings);
    if (!base.empty() && base.back() != '/') base += '/';
    return PathInDirectory(base, settings.Quarantine);
}

void CopyLiveSettings(const SettingsRecord& from, SettingsRecord& to) {
    for (const SettingKey& key : kSettingKeys) {
        if (key.change != SettingChange::kWhileRunning) continue;
        VisitField(key, [&](auto field) { to.*field = from.*field; });
    }
}

Problems CheckSettings(std::string_view fileText, std::string_view fileName,
                       std::span<const ListValueCheck> listChecks) {
    Problems problems;
    auto add = [&](int64_t line, std::string text, Severity severity = Severity::kError) {
        problems.push_back({std::string(fileName), line, std::move(text), severity});
    };
    if (fileText.size() > kConfigReadLimit) {
        add(0, "only the first " + std::to_string(kConfigReadLimit) + " bytes are read",
            Severity::kWarning);
        fileText = fileText.substr(0, kConfigReadLimit);
    }
    // The line each key was first given on, by its place in the table and
    // whether it carried the prefix.
    std::vector<std::array<int64_t, 2>> firstLine(kSettingKeys.size(), {0, 0});
    int64_t number = 0;
    ForEachConfigLine(PreparedConfig(fileText), [&](const std::string& line) {
        ++number;
        size_t equals = line.find('=');
        if (StartsWith(line, "#") || equals == std::string::npos) return true;
        std::string_view before = std::string_view(line).substr(0, equals);
        std::string word = Trim(before);
        if (!IsKeyWord(word)) return true;  // prose
        NamedKey named = FindKey(word);
        if (named.key == nullptr) {
            std::string nearest = NearestKey(word);
            add(number, "unknown key " + Quoted(word) +
                            (nearest.empty() ? "" : " (did you mean " + Quoted(nearest) + "?)"));
            return true;
        }
        if (before != word) {
            add(number, "key " + Quoted(word) +
                            " is ignored: a blank before the key or more than one before \"=\"");
            return true;
        }
        int64_t& first =
            firstLine[static_cast<size_t>(named.key - kSettingKeys.data())][named.prefixed];
        if (first != 0) {
            add(number,
                "key " + Quoted(word) + " given twice; line " + std::to_string(first) + " counts");
            return true;
        }
        first = number;
        std::string_view value = std::string_view(line).substr(equals + 1);
        // An empty value, or one saying "incompatible", gives the fallback.
        if (value.empty() || LowerCase(value).find(kIncompatibleWord) != std::string::npos) {
            return true;
        }
        std::string problem = ValueProblem(*named.key, word, value);
        if (!problem.empty() && !named.key->advice.empty()) {
            problem += "; " + std::string(named.key->advice);
        }
        if (!problem.empty()) add(number, std::move(problem));
        for (const ListValueCheck& check : listChecks) {
            if (LowerCase(check.key) != LowerCase(named.key->name)) continue;
            for (std::string& text : check.problems(value)) add(number, std::move(text));
        }
        return true;
    });
    return problems;
}

std::string PathInDirectory(const std::string& directory, const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    return directory + path;
}

SettingsFile ReadSettingsFile(const std::string& directory,
                              std::span<const ListValueCheck> listChecks) {
    SettingsFile file;
    file.path = directory + std::string(kConfigFileName);
    std::string whole;
    if (!FileExists(file.path)) {
        file.problems.push_back({file.path, 0, "no such file"});
    } else if (!ReadFilePrefix(file.path, kConfigCheckLimit, whole)) {
        file.problems.push_back({file.path, 0, "cannot be read"});
    } else {
        file.found = true;
        file.problems = CheckSettings(whole, file.path, listChecks);
    }
    file.record = ReadSettings(std::string_view(whole).substr(0, kConfigReadLimit));
    for (const SettingKey& key : kSettingKeys) {
        if (key.kind == SettingKind::kPath) {
            file.record.*key.text = PathInDirectory(directory, file.record.*key.text);
        }
    }
    return file;
}

SettingsLoad LoadSettingsFrom(const std::string& directory) {
    SettingsLoad load;
    ProgramDirectory = directory;
    load.file = ReadSettingsFile(directory);
    if (!load.file.found) return load;
    Settings = load.file.record;
    // The value is used as written: a directory without a trailing slash
    // becomes part of the file name.
    std::string logDir = Settings.LogDir.empty() ? ProgramDirectory : Settings.LogDir;
    load.logPath = logDir + std::string(kLogFileName);
    load.logOpened = OpenLog(load.logPath, load.logProblem);
    if (load.logOpened) WriteLogBanner();
    return load;
}
