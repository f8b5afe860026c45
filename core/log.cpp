#include "core/log.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>

#include "core/globals.h"
#include "core/secret_text.h"
#include "core/settings.h"
#include "core/text.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace {

// Short build notice at the end of the banner line.
constexpr std::string_view kBuildNotice = " (build 2026)";

// The log is read here with tail, less and a journal, which all expect LF.
constexpr char kLogLineEnd = '\n';

enum class Switch { kAlways, kNever, kSession, kFilter, kDebug };

struct LevelRule {
    int level;
    const char* marker;
    Switch written;
};

constexpr std::array<LevelRule, 12> kLevels{{
    {kLogNotice, "  ", Switch::kAlways},
    {kLogError, "! ", Switch::kAlways},
    {kLogFailure, "? ", Switch::kAlways},
    {kLogSpare, "$ ", Switch::kAlways},
    {kLogNever, "* ", Switch::kNever},
    {kLogListen, ": ", Switch::kSession},
    {kLogProgress, "+ ", Switch::kAlways},
    {kLogFilter, "- ", Switch::kFilter},
    {kLogFigures, "% ", Switch::kAlways},
    {kLogConnection, "~ ", Switch::kSession},
    {kLogOutcome, "= ", Switch::kAlways},
    {kLogDebug, "  ", Switch::kDebug},
}};

constexpr std::array<const char*, 7> kDayNames{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 12> kMonthNames{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The log file and the lock that keeps lines of different threads apart.
// Never destroyed: session threads may still log while the process ends.
struct LogState {
    std::mutex lock;
    ExclusiveAppendFile file;
    std::atomic<bool> mirrored{false};
    std::atomic<LogTextConversion> conversion{nullptr};
};
LogState& State() {
    static LogState& state = *new LogState();
    return state;
}

// Called under the log's lock, so that lines never interleave, in the file
// or in the mirror. A composed text may break lines itself (a kill's block
// does, with CR LF); each break becomes the log's own line end.
void Emit(std::string line) {
    for (size_t at = line.find("\r\n"); at != std::string::npos; at = line.find("\r\n", at)) {
        line.erase(at, 1);
    }
    if (LogTextConversion convert = State().conversion) line = convert(line);
    line += kLogLineEnd;
    if (State().mirrored) {
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    }
    State().file.Append(line);  // a failed write is ignored
}

bool IsWritten(Switch rule) {
    switch (rule) {
        case Switch::kAlways:
            return true;
        case Switch::kNever:
            return false;
        case Switch::kSession:
            return CurrentSettings().LogSession;
        case Switch::kFilter:
            return CurrentSettings().LogFilter;
        case Switch::kDebug:
            return CurrentSettings().LogDebug;
    }
    return false;
}

std::string TwoDigits(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d", value);
    return text;
}

std::string ClockText() {
    LocalTime now = LocalNow();
    return TwoDigits(now.hour) + ":" + TwoDigits(now.minute) + ":" + TwoDigits(now.second);
}

}  // namespace

bool OpenLog(const std::string& path) {
    std::string problem;
    return OpenLog(path, problem);
}

bool OpenLog(const std::string& path, std::string& problem) {
    std::lock_guard guard(State().lock);
    return State().file.Open(path, problem);
}

std::string LogDate() {
    LocalTime now = LocalNow();
    if (UpperCase(EnvironmentValue("OrvelLOG")) == "XP") {
        char text[32];
        std::snprintf(text, sizeof text, "%02d.%02d.%04d", now.day, now.month, now.year);
        return text;
    }
    return std::string(kDayNames[now.weekday % 7]) + " " + TwoDigits(now.day) + " " +
           kMonthNames[(now.month + 11) % 12] + " " + TwoDigits(now.year % 100);
}

std::string LogBanner() {
    std::string banner = "----------  " + LogDate() + ", Trawlbox " + std::string(kProgramVersion) +
                         std::string(kBuildNotice);
    if (CurrentSettings().LogDebug) {
        banner += std::string(1, kLogLineEnd) + "  " + ClockText() + "     : Debug-Mode activated";
    }
    return banner;
}

std::string ComposeLogLine(std::string_view text, int session, int level) {
    for (const LevelRule& rule : kLevels) {
        if (rule.level != level) continue;
        if (!IsWritten(rule.written)) return {};
        std::string field = session >= 0 ? "#" + TwoDigits(session) : std::string("   ");
        std::string line = rule.marker + ClockText() + "  " + field + ": ";
        // Whatever a line quotes of a protocol exchange, no level shows its secrets.
        line += ShownLine(text);
        return line;
    }
    return {};
}

void MirrorLogToStandardError(bool on) {
    State().mirrored = on;
}

void SetLogTextConversion(LogTextConversion convert) {
    State().conversion = convert;
}

void WriteLog(std::string_view text, int session, int level) {
    std::string line = ComposeLogLine(text, session, level);
    if (line.empty()) return;
    std::lock_guard guard(State().lock);
    Emit(std::move(line));
}

void CloseLog() {
    std::lock_guard guard(State().lock);
    State().file.Close();
}

void WriteLogBanner() {
    std::string line = LogBanner();
    std::lock_guard guard(State().lock);
    Emit(std::move(line));
}
