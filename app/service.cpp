#include "app/service.h"

#include <string>

#include "app/console_monitor.h"
#include "core/globals.h"
#include "core/log.h"
#include "core/settings.h"
#include "filter/filter.h"
#include "filter/relay_list.h"
#include "net/access_list.h"
#include "net/listener.h"
#include "net/watchdog.h"
#include "nntp/session.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "pop3/session.h"

namespace {

constexpr int kTickMs = 1000;            // the supervision loop's period
constexpr int kListenerStartGapMs = 10;  // lets a listener fail before the next starts
constexpr int kShutdownPauseMs = 50;
constexpr char kEscape = 27;

const std::string& Title() {
    static const std::string& title =
        *new std::string("Trawlbox " + std::string(ProgramVersion) +
                         " transparent, internal Design & Test (Console Debug)");
    return title;
}

// Returns true when start-up finished and the loop should run.
bool StartUp() {
    ConsoleBegin();
    InstallStopSignals(StopRequests);
    ConsoleFlushInput();
    ConsoleWriteLine(Title());
    ConsoleSetTitle(Title());
    LoadSettings();

    if (!Settings.KillFile.empty()) {
        if (LoadKillFile(Settings.KillFile) == 1) {
            FilterLoaded = true;
            WriteLog("Loading filter configuration", -1, kLogProgress);
        } else {
            WriteLog("Filter configuration not found", -1, kLogProgress);
        }
    }
    LoadRelayBlacklist();
    LoadAccessList();

    SetSessionBodies(RunPop3Session, RunNntpSession);
    StartListener(kPop3Listener, Settings.Pop3PortIncoming);
    SleepMilliseconds(kListenerStartGapMs);
    StartListener(kNntpListener, Settings.NntpPortIncoming);
    SleepMilliseconds(kListenerStartGapMs);
    return ListenerExitCode(kPop3Listener) > 1 && ListenerExitCode(kNntpListener) > 1;
}

void Supervise() {
    for (;;) {
        SleepMilliseconds(kTickMs);
        WatchdogTick();
        std::string key = ConsoleReadKey();
        HandleConsoleKey(key);
        if (key == std::string(1, kEscape) || StopRequests != 0) return;
    }
}

void ShutDown() {
    StopListeners();
    SleepMilliseconds(kShutdownPauseMs);
    CloseLog();
    SleepMilliseconds(kShutdownPauseMs);
}

}  // namespace

const char* ConsoleTitle() {
    return Title().c_str();
}

void RunService() {
    if (StartUp()) Supervise();
    ShutDown();
}
