// The configuration file "TRAWLBOX.CFG": its keys, read from one table, and
// the check that says what in the file is not read as its writer meant.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/problems.h"

// Only this much of the configuration file is read.
inline constexpr size_t kConfigReadLimit = 16024;

// Values of Pop3Tls and NntpTls: how the leg to the real server is secured.
// The leg to the proxy's own clients has keys of its own (ClientTls...).
enum class TlsMode {
    kOff,       // "off": plaintext
    kUpgrade,   // "stls" / "starttls": TLS asked for after the greeting
    kImplicit,  // "implicit": TLS from the first byte
    // A value that names none of the above. Connections are refused rather
    // than made in plaintext: the user meant some protection.
    kUnknown,
};

// A blocklist lookup slower than this is not waited for (DnsTimeout): the
// scan holds the client's login meanwhile.
inline constexpr int32_t kLongestDnsTimeoutSeconds = 30;

struct SettingsRecord {
    int32_t Pop3Timeout = 0;          // idle time-out of POP3 connections, seconds
    int32_t NntpTimeout = 0;          // idle time-out of NNTP connections, seconds
    int32_t Pop3PortIncoming = 0;     // local POP3 port
    int32_t Pop3PortOutgoing = 0;     // port of the real POP3 server
    std::string KillReport;           // recipient of the kill report
    int32_t NntpPortIncoming = 0;     // local NNTP port
    int32_t NntpPortOutgoing = 0;     // port of the real news server
    bool LogFilter = false;           // write level 7
    bool LogSession = false;          // write levels 5 and 9
    bool LogDebug = false;            // write level 255 and the banner's debug line
    bool DebugLine = false;           // echo protocol lines on the console
    std::string KillFile;             // kill file, used as written
    TlsMode Pop3Tls = TlsMode::kOff;  // TLS towards the real POP3 server
    TlsMode NntpTls = TlsMode::kOff;  // TLS towards the real news server
    bool TlsVerify = true;            // check the server's certificate chain and name
    std::string TlsCaFile;            // further trust anchors (PEM file), "" for none
    std::string LogDir;               // LOGDIR as written; "" for the program directory
    // DNS blocklists on the relays of Received lines (pop3/relay_blocklists.h).
    std::string DnsBlocklists;  // zones, separated by commas; "" asks none
    int32_t DnsblDepth = 0;     // how many top Received lines name a relay to ask about
    std::string DnsServers;     // resolvers "ip[:port]", separated by commas; "" for the system's
    int32_t DnsTimeout = 0;     // bound on the lookups of one scan, seconds

    // TLS towards the proxy's own clients: offered (STLS, STARTTLS and the
    // implicit listeners) only when both PEM files are named.
    std::string ClientTlsCert;       // the proxy's certificate chain
    std::string ClientTlsKey;        // its private key
    int32_t Pop3sPortIncoming = 0;   // implicit-TLS POP3 port; 0 = none
    int32_t NntpsPortIncoming = 0;   // implicit-TLS news port; 0 = none
    bool ClientTlsRequired = false;  // no login before TLS
    // The header cache of the mail scan.
    std::string DataDir;     // directory of the state database; "" for the program directory
    bool ScanCache = false;  // judge known messages from cached headers
    // What logins may reach, and how often they may fail upstream.
    std::string AllowedServers;      // servers a login may name; "" for any
    std::string AllowedPorts;        // ports a login may reach; "" for each protocol's own
    int32_t LoginFailureLimit = 0;   // failed upstream logins that hold an account; 0 = never
    int32_t LoginFailureWindow = 0;  // seconds the failures are counted over and held for
    // The quarantine of killed mail (store/quarantine.h) and the dry run.
    std::string Quarantine;              // its directory, relative to DataDir; "" keeps no copies
    int32_t QuarantineDays = 0;          // copies older than this are removed; 0 keeps them
    int32_t QuarantineMaxMessageKB = 0;  // larger killed mail stays on the server, hidden
    bool DryRun = false;                 // nothing changed on the server, nothing hidden
    // The local web page (web/web_server.h).
    int32_t WebPort = 0;      // its port; 0 = no page
    std::string WebAddress;   // the address it listens on
    std::string WebPassword;  // "" for none, a salted hash, or plain
};

// What a key's value is, and so how it is read and checked.
enum class SettingKind {
    kNumber,   // ParseNumber, within the key's range
    kFlag,     // ParseFlag
    kText,     // used as written
    kPath,     // a file or directory name, used as written
    kTlsMode,  // ParseTlsMode
};

// Whether a new value of a key may take effect while the program runs (a
// reload), or only at the next start (ports, which listeners hold open).
enum class SettingChange { kAtStart, kWhileRunning };

// One key of the configuration file. Exactly one of the member pointers,
// the one of the kind's type, is set.
struct SettingKey {
    std::string_view name;  // as documented; matched without regard to case
    SettingKind kind = SettingKind::kText;
    std::string_view fallback;  // the value, in the file's own syntax, when the file gives none
    int64_t low = 0;            // kNumber: the smallest valid value
    int64_t high = 0;           // kNumber: the largest valid value
    SettingChange change = SettingChange::kAtStart;
    // kText: a line that gives the key with an empty value sets "" instead
    // of the fallback, for a key whose empty value means "none".
    bool emptyIsValue = false;
    int32_t SettingsRecord::*number = nullptr;
    bool SettingsRecord::*flag = nullptr;
    std::string SettingsRecord::*text = nullptr;  // kText and kPath
    TlsMode SettingsRecord::*tlsMode = nullptr;
    // What to write instead, added to a problem of the value; "" for none.
    std::string_view advice;
};

// Says what is wrong with each entry of a list value of the key `key`
// (one text per bad entry, what to write included), or nothing when all
// is well. The lists' syntax lives in the folders that read them, which
// hand their checks to CheckSettings.
struct ListValueCheck {
    std::string_view key;
    std::vector<std::string> (*problems)(std::string_view value);
};

// Returns every known key, in the order they are read.
std::span<const SettingKey> SettingKeys();

// Filled by LoadSettingsFrom before any other thread starts; read-only afterwards.
extern SettingsRecord Settings;

// Returns the settings in effect for any thread: Settings until the first
// PublishSettings, then the record published last. The reference stays
// valid until this thread's next call after another publication; a reload
// publishes a whole new record, so a reader never sees one half changed.
// Costs one atomic load when nothing was published since the thread's last
// call.
const SettingsRecord& CurrentSettings();

// Makes a copy of `record` the settings in effect (CurrentSettings); the
// records published before are freed once no thread holds them. nullptr
// makes Settings itself the one in effect again (for tests).
void PublishSettings(const SettingsRecord* record);

// The configuration directory, ending in "/", or "" (current directory):
// where TRAWLBOX.CFG, ACCESS.IP and TRAWLBOX.RBL are, and what relative
// paths in keys are relative to.
extern std::string ProgramDirectory;

// The recipient of the kill report when the configuration names none.
inline constexpr std::string_view kDefaultKillReport = "killreport@localhost";

inline constexpr std::string_view kConfigFileName = "TRAWLBOX.CFG";
inline constexpr std::string_view kLogFileName = "TRAWLBOX.LOG";

// The configuration file of one directory, read but not yet in effect.
struct SettingsFile {
    std::string path;    // the directory and "TRAWLBOX.CFG"
    bool found = false;  // the file exists and could be read
    // Its settings (every key at its fallback when the file was not found);
    // a relative path in a kPath key is made relative to the directory.
    SettingsRecord record;
    // What CheckSettings finds in it, or one problem of the whole file when
    // it is missing ("no such file") or unreadable ("cannot be read").
    Problems problems;
};

// Reads "TRAWLBOX.CFG" from `directory` (ending in "/", or ""): its first
// kConfigReadLimit bytes for the settings, the whole file for the check
// (CheckSettings with `listChecks`). Changes nothing and logs nothing.
SettingsFile ReadSettingsFile(const std::string& directory,
                              std::span<const ListValueCheck> listChecks = {});

// What LoadSettingsFrom did.
struct SettingsLoad {
    SettingsFile file;
    std::string logPath;     // the log it opened or tried to; "" without a configuration
    bool logOpened = false;  // the log is open, its banner written
    std::string logProblem;  // why it could not be opened
};

// Sets ProgramDirectory to `directory`, reads its TRAWLBOX.CFG
// (ReadSettingsFile), fills Settings and opens the log with its banner
// (LOGDIR, or the directory). A missing file leaves Settings as it was and
// opens no log.
SettingsLoad LoadSettingsFrom(const std::string& directory);

// Returns `path` as read against `directory`: an absolute path, or "", as
// it is; a relative one behind the directory.
std::string PathInDirectory(const std::string& directory, const std::string& path);

// The directory of the state database for the settings: DataDir, or the
// program directory when that is "".
std::string StateDirectory(const SettingsRecord& settings);

// The quarantine's directory for the settings: Quarantine read against
// DataDir (the program directory when that is ""); "" when Quarantine is ""
// (no copies are kept).
std::string QuarantineDirectory(const SettingsRecord& settings);

// Returns the settings `fileText` gives, every key not given at its
// fallback, as LoadSettings reads them. The caller cuts the text to
// kConfigReadLimit.
SettingsRecord ReadSettings(std::string_view fileText);

// Copies the keys that may change while running (SettingChange::
// kWhileRunning) from `from` to `to`; the others stay as they are.
void CopyLiveSettings(const SettingsRecord& from, SettingsRecord& to);

// Returns what is wrong in the configuration file `fileText` (the whole
// file; beyond kConfigReadLimit only a warning that the rest is not read),
// each problem carrying `fileName` and its line: a key-like word before
// "=" that names no key (with the nearest known key when one is close), a
// known key that is ignored for blanks before it or before "=", a key
// given again, a number that is not one or lies outside its key's range,
// an unknown flag word, an unknown TLS mode, each followed by "; " and the
// key's advice when it has one; and each text a check of `listChecks` gives
// for the value of its key, on the key's line. Lines starting with "#" and
// lines of prose are not problems. An empty list when all is well.
Problems CheckSettings(std::string_view fileText, std::string_view fileName,
                       std::span<const ListValueCheck> listChecks = {});

// Returns the value of `key` (which ends in "=") after the "Ex" rule: a
// non-empty "Ex"-prefixed value wins over the plain key; `fallback` when
// neither gives a value.
std::string ConfigValue(std::string_view config, std::string_view key, std::string_view fallback);

// Returns the value of the first line that begins with `key`, or `fallback`
// when there is none or its value is empty or holds "incompatible"; returns
// "Cfg_Error" when the search itself fails.
std::string ConfigLine(std::string_view config, std::string_view key, std::string_view fallback);

// Returns true for "enabled", "j", "y", "on", "ein", "true" or "1" in any
// case; false for anything else (CheckSettings names what is neither these
// nor a word for off).
bool ParseFlag(std::string_view value);

// Returns the value's leading decimal number (blanks skipped, optional sign
// and fraction) rounded half to even, or 0 when it does not begin with one.
int32_t ParseNumber(std::string_view value);

// Returns the mode a Pop3Tls or NntpTls value names: "off", "stls" or
// "starttls" (either word for either protocol), "implicit", in any case and
// with blanks around; TlsMode::kUnknown for anything else.
TlsMode ParseTlsMode(std::string_view value);
