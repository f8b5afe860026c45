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
        *new std::string("Trawlbox " + std::string(kProgramVersion) +
                         " transparent, internal Design & Test (Console Debug)");
    return title;
}

// The listeners of both protocols.
struct Listeners {
    Listener pop3{kPop3ListenerDescription};
    Listener nntp{kNntpListenerDescription};
};

// Returns true when start-up finished and the loop should run.
bool StartUp(Listeners& listeners) {
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

    listeners.pop3.Start(Settings.Pop3PortIncoming);
    SleepMilliseconds(kListenerStartGapMs);
    listeners.nntp.Start(Settings.NntpPortIncoming);
    SleepMilliseconds(kListenerStartGapMs);
    return listeners.pop3.state() == ListenerState::kRunning &&
           listeners.nntp.state() == ListenerState::kRunning;
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

void ShutDown(Listeners& listeners) {
    listeners.pop3.Stop();
    listeners.nntp.Stop();
    SleepMilliseconds(kShutdownPauseMs);
    CloseLog();
    SleepMilliseconds(kShutdownPauseMs);
}

}  // namespace

const char* ConsoleTitle() {
    return Title().c_str();
}

void RunService() {
    Listeners listeners;
    if (StartUp(listeners)) Supervise();
    ShutDown(listeners);
}
