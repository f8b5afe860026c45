#include "app/service.h"

#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>

#include "app/command_line.h"
#include "app/configuration.h"
#include "app/console_monitor.h"
#include "app/quarantine_tool.h"
#include "app/reload.h"
#include "app/web_provider.h"
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
#include "platform/files.h"
#include "platform/service_manager.h"
#include "pop3/session.h"
#include "web/web_server.h"

namespace {

constexpr int kTickMs = 1000;  // the supervision loop's period
// How long a listener may take to bind its port before start-up gives up
// on it; binding takes microseconds, so this only guards against a hang.
constexpr int kListenerStartWaitMs = 5000;
constexpr int kListenerPollMs = 5;
constexpr int kShutdownPauseMs = 50;
constexpr char kEscape = 27;

// Raised by SIGHUP; the supervision loop reloads when it changed.
std::atomic<int> ReloadRequests{0};

const std::string& Title() {
    static const std::string& title =
        *new std::string("Trawlbox " + std::string(kProgramVersion) +
                         " transparent, internal Design & Test (Console Debug)");
    return title;
}

// Says on standard error, and in the log when it is open, why the service
// does not start or what it starts without.
void Say(const std::string& text, bool fatal) {
    std::string line = "trawlbox: " + text + "\n";
    ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
    (void)written;  // nowhere left to say it
    WriteLog(text, -1, fatal ? kLogError : kLogFailure);
}

bool Fail(const std::string& text) {
    Say(text + "; not started", true);
    return false;
}

// The listeners of both protocols, and their implicit-TLS twins.
struct Listeners {
    Listener pop3{kPop3ListenerDescription};
    Listener nntp{kNntpListenerDescription};
    Listener pop3s{kPop3sListenerDescription};
    Listener nntps{kNntpsListenerDescription};
    std::unique_ptr<WebServer> page;  // the local web page; null until the listeners run
};

// Starts the listener and waits until it listens or has ended. Returns
// true when it listens.
bool StartListener(Listener& listener, int port, std::string_view protocol) {
    if (!listener.Start(port))
        return Fail("no thread for the " + std::string(protocol) + " listener");
    for (int waited = 0; waited < kListenerStartWaitMs; waited += kListenerPollMs) {
        if (listener.state() != ListenerState::kRunning) break;
        if (listener.port() != 0) return true;
        SleepMilliseconds(kListenerPollMs);
    }
    if (listener.state() == ListenerState::kPortInUse) {
        return Fail(std::string(protocol) + " port " + std::to_string(port) +
                    " is in use by another program");
    }
    return Fail("the " + std::string(protocol) + " listener could not open port " +
                std::to_string(port));
}

// Starts an implicit-TLS listener when its port is set. Returns false,
// after saying why, when it was asked for and does not run: the user asked
// for TLS, and running without it would leave their mail program failing in
// silence.
bool StartTlsListener(Listener& listener, int port, bool tlsReady, std::string_view protocol) {
    if (port == 0) return true;
    if (!tlsReady) {
        return Fail(std::string(protocol) + " port " + std::to_string(port) +
                    " needs ClientTlsCert and ClientTlsKey that can be used");
    }
    return StartListener(listener, port, protocol);
}

// Reads and puts into effect the configuration. Returns false, after saying
// why, when the service cannot run with it.
bool LoadConfiguration(const std::string& directory, int64_t& rules) {
    SettingsLoad load = LoadSettingsFrom(directory);
    if (!load.file.found) {
        if (FileExists(load.file.path)) {
            return Fail("configuration file " + load.file.path + " cannot be read");
        }
        return Fail("configuration file " + load.file.path +
                    " not found (-d DIR names the directory that holds it)");
    }
    if (!load.logOpened) {
        return Fail("cannot write the log file " + load.logPath + ": " + load.logProblem);
    }
    Configuration configuration = ReadConfiguration(std::move(load.file), directory);
    for (const Problem& problem : configuration.problems) Say(ProblemText(problem), false);
    // Refused rather than run in plaintext: the user meant some protection.
    if (Settings.Pop3Tls == TlsMode::kUnknown) return Fail("Pop3Tls names no TLS mode");
    if (Settings.NntpTls == TlsMode::kUnknown) return Fail("NntpTls names no TLS mode");
    KillSetBuild& kill = configuration.killFile;
    if (kill.set == nullptr && FileExists(Settings.KillFile)) {
        return Fail("kill file " + Settings.KillFile + " cannot be read");
    }
    if (kill.set != nullptr) {
        FilterLoaded = true;
        WriteLog("Loading filter configuration", -1, kLogProgress);
    } else {
        WriteLog("Filter configuration not found", -1, kLogProgress);
    }
    rules = kill.rules;
    PublishKillSet(std::move(kill.set));
    // These also give a missing list file its header lines.
    LoadRelayBlacklistFrom(directory);
    LoadAccessListFrom(directory);
    PublishSettings(&Settings);
    return true;
}

// Starts the local web page. A page that cannot start is said on the console
// and in the log, and the mail and news service runs on without it: mail
// programs keep working, and the user learns why the page is missing.
void StartWebPage(Listeners& listeners) {
    if (Settings.WebPort == 0) return;
    listeners.page = std::make_unique<WebServer>(MakeWebProvider(UnixSeconds()));
    std::string problem = listeners.page->Start(
        WebOptions{Settings.WebAddress, Settings.WebPort, Settings.WebPassword, false});
    if (!problem.empty()) {
        listeners.page.reset();
        Say(problem + "; the mail and news service runs without the web page", false);
        return;
    }
    std::string where;
    for (const std::string& url : listeners.page->Urls()) {
        where += (where.empty() ? "Web page at " : " and ") + url;
    }
    ConsoleWriteLine(where);
}

bool StartUp(const std::string& directory, Listeners& listeners) {
    // Without a terminal nobody reads the console: the log goes to standard
    // error too, where a service manager's journal keeps it.
    MirrorLogToStandardError(!StandardInputIsTerminal());
    ConsoleBegin();
    InstallStopSignals(StopRequests);
    InstallReloadSignal(ReloadRequests);
    ConsoleFlushInput();
    ConsoleWriteLine(Title());
    ConsoleSetTitle(Title());
    int64_t rules = 0;
    if (!LoadConfiguration(directory, rules)) return false;
    if (!StartListener(listeners.pop3, Settings.Pop3PortIncoming, "POP3") ||
        !StartListener(listeners.nntp, Settings.NntpPortIncoming, "NNTP")) {
        return false;
    }
    const bool tlsReady = PrepareClientTls();
    if (!StartTlsListener(listeners.pop3s, Settings.Pop3sPortIncoming, tlsReady, "POP3S") ||
        !StartTlsListener(listeners.nntps, Settings.NntpsPortIncoming, tlsReady, "NNTPS")) {
        return false;
    }
    StartWebPage(listeners);
    ConsoleWriteLine("POP3 port " + std::to_string(listeners.pop3.port()) + ", NNTP port " +
                     std::to_string(listeners.nntp.port()) + ", " + std::to_string(rules) +
                     " rules loaded. Keys: Enter sessions, k close all, r reload, ESC stop");
    // Only now: a unit of Type=notify counts as started when every listener
    // listens, so that what is ordered after it finds the ports open.
    TellServiceManager("READY=1");
    return true;
}

void Supervise() {
    int reloadsSeen = ReloadRequests.load();
    CleanUpQuarantine(CurrentSettings());
    int64_t lastCleanupMs = MonotonicMilliseconds();
    for (;;) {
        SleepMilliseconds(kTickMs);
        WatchdogTick();
        if (MonotonicMilliseconds() - lastCleanupMs >= kQuarantineCleanupIntervalMs) {
            lastCleanupMs = MonotonicMilliseconds();
            CleanUpQuarantine(CurrentSettings());
        }
        int reloads = ReloadRequests.load();
        if (reloads != reloadsSeen) {
            reloadsSeen = reloads;
            ReloadConfiguration();
        }
        std::string key = ConsoleReadKey();
        HandleConsoleKey(key);
        if (key == std::string(1, kEscape) || StopRequests != 0) return;
    }
}

void ShutDown(Listeners& listeners) {
    TellServiceManager("STOPPING=1");
    if (listeners.page) listeners.page->Stop();
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

int RunService(const std::string& directory) {
    Listeners listeners;
    bool started = StartUp(directory, listeners);
    if (started) Supervise();
    ShutDown(listeners);
    return started ? kExitOk : kExitFailure;
}
