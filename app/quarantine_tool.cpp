#include "app/quarantine_tool.h"

#include <memory>
#include <vector>

#include "core/log.h"
#include "platform/clock.h"
#include "store/quarantine.h"
#include "store/quarantine_listing.h"

namespace {

// The quarantine the configuration of a directory names, opened for one
// command.
class ConfiguredQuarantine {
  public:
    ConfiguredQuarantine(const std::string& configDirectory, const WriteOut& error) {
        // Relative DataDir and Quarantine values are read against the
        // configuration's directory, as the service reads them.
        ProgramDirectory = configDirectory;
        SettingsFile file = ReadSettingsFile(configDirectory);
        const std::string directory = QuarantineDirectory(file.record);
        if (directory.empty()) {
            error("trawlbox: no quarantine is kept (Quarantine= is empty in " + file.path + ")\n");
            return;
        }
        if (database_.Open(StateDirectory(file.record)) == OpenOutcome::kUnavailable) {
            error("trawlbox: " + database_.Problem() + "\n");
            return;
        }
        quarantine_ = std::make_unique<Quarantine>(database_, directory);
    }

    bool Usable() const { return quarantine_ != nullptr; }
    Quarantine& operator*() { return *quarantine_; }

  private:
    StateDatabase database_;
    std::unique_ptr<Quarantine> quarantine_;
};

int Failed(const WriteOut& error, const std::string& why) {
    error("trawlbox: " + why + "\n");
    return kExitFailure;
}

}  // namespace

int RunQuarantineCommand(const CommandLine& line, const WriteOut& out, const WriteOut& error) {
    ConfiguredQuarantine opened(line.directory, error);
    if (!opened.Usable()) return kExitFailure;
    Quarantine& quarantine = *opened;
    if (line.quarantineIds.empty()) {
        std::vector<QuarantineEntry> entries;
        if (!quarantine.List({}, entries)) return Failed(error, quarantine.Problem());
        // Said beside the list, not in it: scripts read the list.
        if (entries.empty()) error("trawlbox: no kept messages\n");
        out(QuarantineList(entries));
        return kExitOk;
    }
    const std::string& typed = line.quarantineIds.front();
    QuarantineEntry entry;
    switch (quarantine.Get(typed, entry)) {
        case QuarantineLookup::kFound:
            break;
        case QuarantineLookup::kUnknown:
            return Failed(error, "no kept message has the id " + typed);
        case QuarantineLookup::kFailed:
            return Failed(error, quarantine.Problem());
    }
    std::string message;
    if (!quarantine.ReadMessage(entry, message)) return Failed(error, quarantine.Problem());
    out(message);
    return kExitOk;
}

int RunReleaseCommand(const CommandLine& line, const WriteOut& out, const WriteOut& error) {
    ConfiguredQuarantine opened(line.directory, error);
    if (!opened.Usable()) return kExitFailure;
    Quarantine& quarantine = *opened;
    std::vector<std::string> unknown;
    if (!quarantine.Release(line.quarantineIds, UnixSeconds(), unknown)) {
        return Failed(error, quarantine.Problem());
    }
    for (const std::string& typed : line.quarantineIds) {
        bool known = true;
        for (const std::string& missing : unknown) known &= missing != typed;
        if (known) out("released " + typed + "\n");
    }
    for (const std::string& missing : unknown) {
        error("trawlbox: no kept message has the id " + missing + "\n");
    }
    return unknown.empty() ? kExitOk : kExitFailure;
}

void CleanUpQuarantine(const SettingsRecord& settings) {
    const std::string directory = QuarantineDirectory(settings);
    if (directory.empty()) return;
    StateDatabase database;
    if (database.Open(StateDirectory(settings)) == OpenOutcome::kUnavailable) {
        WriteLog(database.Problem() + "; the quarantine is not cleaned up", -1, kLogFailure);
        return;
    }
    Quarantine quarantine(database, directory);
    QuarantineCleanup removed;
    if (!quarantine.CleanUp(settings.QuarantineDays, UnixSeconds(), removed)) {
        WriteLog(quarantine.Problem() + "; the quarantine is not cleaned up", -1, kLogFailure);
        return;
    }
    WriteLog("Quarantine cleaned up: " + std::to_string(removed.expired) + " expired, " +
                 std::to_string(removed.danglingRows) + " without file, " +
                 std::to_string(removed.strayFiles) + " stray files removed",
             -1, kLogNotice);
}
