#include "core/settings.h"

#include <array>
#include <cmath>
#include <exception>
#include <limits>

#include "core/log.h"
#include "core/text.h"
#include "platform/files.h"

SettingsRecord Settings;
std::string ProgramDirectory;

namespace {

constexpr std::string_view kConfigFileName = "TRAWLBOX.CFG";
constexpr std::string_view kLogFileName = "TRAWLBOX.LOG";
constexpr std::string_view kConfigError = "Cfg_Error";

constexpr std::array<std::string_view, 7> kFlagWords{"enabled", "j", "y", "on", "ein", "true", "1"};

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

std::string ReplaceBlankBeforeEquals(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == ' ' && i + 1 < text.size() && text[i + 1] == '=') continue;
        out += text[i];
    }
    return out;
}

}  // namespace

bool ParseFlag(std::string_view value) {
    std::string lower = LowerCase(value);
    for (std::string_view word : kFlagWords) {
        if (lower == word) return true;
    }
    return false;
}

TlsMode ParseTlsMode(std::string_view value) {
    std::string lower = LowerCase(Trim(value));
    for (const TlsModeWord& entry : kTlsModeWords) {
        if (lower == entry.word) return entry.mode;
    }
    return TlsMode::kUnknown;
}

int32_t ParseNumber(std::string_view value) {
    size_t i = value.find_first_not_of(' ');
    if (i == std::string_view::npos) return 0;
    bool negative = false;
    if (value[i] == '+' || value[i] == '-') negative = value[i++] == '-';
    double number = 0;
    bool digits = false;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        number = number * 10 + (value[i] - '0');
        digits = true;
    }
    if (i < value.size() && value[i] == '.') {
        double scale = 0.1;
        for (++i; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i, scale /= 10) {
            number += (value[i] - '0') * scale;
            digits = true;
        }
    }
    if (!digits) return 0;
    // nearbyint rounds halves to the even neighbour in the default mode.
    double rounded = std::nearbyint(negative ? -number : number);
    constexpr double kLow = std::numeric_limits<int32_t>::min();
    constexpr double kHigh = std::numeric_limits<int32_t>::max();
    if (rounded < kLow) return std::numeric_limits<int32_t>::min();
    if (rounded > kHigh) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(rounded);
}

std::string ConfigLine(std::string_view config, std::string_view key, std::string_view fallback) {
    try {
        std::string wanted = UpperCase(key);
        std::string value;
        bool matched = false;
        size_t start = 0;
        while (!matched) {
            size_t lf = config.find('\n', start);
            if (lf == std::string_view::npos) break;
            std::string piece;
            for (char c : config.substr(start, lf - start)) {
                if (c != '\r') piece += c;
            }
            start = lf + 1;
            if (StartsWith(UpperCase(piece), wanted)) {
                matched = true;
                size_t equals = piece.find('=');
                if (equals != std::string::npos) value = piece.substr(equals + 1);
            }
        }
        if (value.empty() || LowerCase(value).find("incompatible") != std::string::npos) {
            return std::string(fallback);
        }
        return value;
    } catch (const std::exception&) {
        return std::string(kConfigError);
    }
}

std::string ConfigValue(std::string_view config, std::string_view key, std::string_view fallback) {
    std::string prefixed = ConfigLine(config, "Ex" + std::string(key), "");
    if (!prefixed.empty()) return prefixed;
    return ConfigLine(config, key, fallback);
}

void LoadSettingsFrom(const std::string& programDirectory) {
    ProgramDirectory = programDirectory;
    std::string path = ProgramDirectory + std::string(kConfigFileName);
    if (!FileExists(path)) return;
    std::string raw;
    ReadFilePrefix(path, kConfigReadLimit, raw);  // unreadable reads as empty: every default
    std::string config = ReplaceBlankBeforeEquals(raw + "\r\n");

    auto number = [&](std::string_view key, std::string_view fallback) {
        return ParseNumber(ConfigValue(config, key, fallback));
    };
    auto flag = [&](std::string_view key, std::string_view fallback) {
        return ParseFlag(ConfigValue(config, key, fallback));
    };
    Settings.Pop3Timeout = number("Pop3Timeout=", "60");
    Settings.NntpTimeout = number("NntpTimeout=", "600");
    Settings.Pop3PortIncoming = number("Pop3PortIncoming=", "110");
    Settings.Pop3PortOutgoing = number("Pop3PortOutgoing=", "110");
    Settings.KillReport = ConfigValue(config, "KillReport=", kDefaultKillReport);
    Settings.NntpPortIncoming = number("NntpPortIncoming=", "119");
    Settings.NntpPortOutgoing = number("NntpPortOutgoing=", "119");
    std::string logDir = ConfigValue(config, "LOGDIR=", ProgramDirectory);
    Settings.LogFilter = flag("LogFilter=", "J");
    Settings.LogSession = flag("LogSession=", "J");
    Settings.LogDebug = flag("LogDebug=", "N");
    Settings.DebugLine = flag("DEBUGLINE=", "N");
    Settings.KillFile = ConfigValue(config, "KILLFILE=", "KILLFILE.CFG");
    Settings.Pop3Tls = ParseTlsMode(ConfigValue(config, "Pop3Tls=", "off"));
    Settings.NntpTls = ParseTlsMode(ConfigValue(config, "NntpTls=", "off"));
    Settings.TlsVerify = flag("TlsVerify=", "J");
    Settings.TlsCaFile = ConfigValue(config, "TlsCaFile=", "");

    // The value is used as written: a directory without a trailing slash
    // becomes part of the file name.
    if (OpenLog(logDir + std::string(kLogFileName))) WriteLogBanner();
}

void LoadSettings() {
    LoadSettingsFrom(ExecutableDirectory());
}
