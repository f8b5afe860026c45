#include "app/service.h"

#include <string>

#include "app/console_monitor.h"
#include "core/globals.h"
#include "core/log.h"
#include "core/settings.h"
#include "filter/filter.h"
#include "filter/relay_list.h"
#include "net/access_list.h"
#include "net/client_tls.h"
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

// The listeners of both protocols, and their implicit-TLS twins.
struct Listeners {
    Listener pop3{kPop3ListenerDescription};
    Listener nntp{kNntpListenerDescription};
    Listener pop3s{kPop3sListenerDescription};
    Listener nntps{kNntpsListenerDescription};
};

// Starts an implicit-TLS listener when its port is set. Returns false when
// it was asked for and does not run: the user asked for TLS, and running
// without it would leave their mail program failing in silence.
bool StartTlsListener(Listener& listener, int port, bool tlsReady) {
    if (port == 0) return true;
    if (!tlsReady) {
        WriteLog("Port" + std::to_string(port) + " needs ClientTlsCert and ClientTlsKey", -1,
                 kLogError);
        return false;
    }
    listener.Start(port);
    SleepMilliseconds(kListenerStartGapMs);
    return listener.state() == ListenerState::kRunning;
}

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
    const bool tlsReady = PrepareClientTls();
    const bool pop3s = StartTlsListener(listeners.pop3s, Settings.Pop3sPortIncoming, tlsReady);
    const bool nntps = StartTlsListener(listeners.nntps, Settings.NntpsPortIncoming, tlsReady);
    return listeners.pop3.state() == ListenerState::kRunning &&
           listeners.nntp.state() == ListenerState::kRunning && pop3s && nntps;
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
    listeners.pop3s.Stop();
    listeners.nntps.Stop();
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
