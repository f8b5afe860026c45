#include "app/reload.h"

#include <mutex>

#include "app/configuration.h"
#include "core/globals.h"
#include "core/log.h"
#include "core/settings.h"
#include "filter/relay_list.h"
#include "net/access_list.h"
#include "platform/console.h"

bool ReloadConfiguration() {
    // Two reloads at once could publish an older read after a newer one.
    static std::mutex reloading;
    std::lock_guard<std::mutex> one(reloading);
    Configuration next = ReadConfiguration(ReadSettingsFile(ProgramDirectory), ProgramDirectory);
    for (const Problem& problem : next.problems) {
        WriteLog(ProblemText(problem), -1, kLogFailure);
    }
    if (HasErrors(next.problems)) {
        const std::string refused = "Reload refused: the running configuration is kept";
        WriteLog(refused, -1, kLogFailure);
        ConsoleWriteLine(refused);
        return false;
    }
    const std::string done = "Reloaded: " + ConfigurationSummary(next);
    // Keys read only at start (ports, TLS) keep their running values.
    SettingsRecord settings = CurrentSettings();
    CopyLiveSettings(next.settings.record, settings);
    PublishSettings(&settings);
    FilterLoaded = next.killFile.set != nullptr;
    PublishKillSet(std::move(next.killFile.set));
    PublishAccessList(std::move(next.access.entries));
    PublishRelayBlacklist(std::move(next.relays.entries));
    WriteLog(done, -1, kLogProgress);
    ConsoleWriteLine(done);
    return true;
}
