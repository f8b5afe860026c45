// The configuration file "TRAWLBOX.CFG": its keys, read from one table, and
// the check that says what in the file is not read as its writer meant.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/problems.h"

// Only this much of the configuration file is read.
inline constexpr size_t kConfigReadLimit = 16024;

// Values of Pop3Tls and NntpTls: how the leg to the real server is secured.
// The proxy's own clients on this machine are always served in plaintext.
enum class TlsMode {
    kOff,       // "off": plaintext
    kUpgrade,   // "stls" / "starttls": TLS asked for after the greeting
    kImplicit,  // "implicit": TLS from the first byte
    // A value that names none of the above. Connections are refused rather
    // than made in plaintext: the user meant some protection.
    kUnknown,
};

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
    // What logins may reach, and how often they may fail upstream.
    std::string AllowedServers;      // servers a login may name; "" for any
    std::string AllowedPorts;        // ports a login may reach; "" for each protocol's own
    int32_t LoginFailureLimit = 0;   // failed upstream logins that hold an account; 0 = never
    int32_t LoginFailureWindow = 0;  // seconds the failures are counted over and held for
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
    int32_t SettingsRecord::*number = nullptr;
    bool SettingsRecord::*flag = nullptr;
    std::string SettingsRecord::*text = nullptr;  // kText and kPath
    TlsMode SettingsRecord::*tlsMode = nullptr;
};

// Returns every known key, in the order they are read.
std::span<const SettingKey> SettingKeys();

// Filled by LoadSettings before any other thread starts; read-only afterwards.
extern SettingsRecord Settings;

// Directory of the program file, ending in "/", or "" (current directory).
extern std::string ProgramDirectory;

// The recipient of the kill report when the configuration names none.
inline constexpr std::string_view kDefaultKillReport = "killreport@localhost";

// Finds ProgramDirectory, reads "TRAWLBOX.CFG" from it (its first
// kConfigReadLimit bytes), fills Settings and opens the log with its banner.
// A missing file leaves everything 0 or empty (but TlsVerify on) and opens
// no log.
void LoadSettings();

// As LoadSettings, with the program directory given (for tests).
void LoadSettingsFrom(const std::string& programDirectory);

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
// an unknown flag word, an unknown TLS mode. Lines starting with "#" and
// lines of prose are not problems. An empty list when all is well.
Problems CheckSettings(std::string_view fileText, std::string_view fileName);

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
