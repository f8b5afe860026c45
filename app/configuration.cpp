#include "app/configuration.h"

#include "filter/relay_list.h"
#include "net/access_list.h"
#include "platform/files.h"

namespace {

void Append(Problems& to, const Problems& from) {
    to.insert(to.end(), from.begin(), from.end());
}

}  // namespace

Configuration ReadConfiguration(SettingsFile settings, const std::string& directory) {
    Configuration read;
    read.settings = std::move(settings);
    const SettingsRecord& record = read.settings.record;
    Append(read.problems, read.settings.problems);

    read.killFile = BuildKillSet(record.KillFile);
    Append(read.problems, read.killFile.problems);

    read.access = ReadAddressList(kAccessListFile, directory);
    Append(read.problems, read.access.problems);
    if (!read.access.found) {
        read.problems.push_back(
            {read.access.path, 0, "no such file; every client is refused", Severity::kWarning});
    } else if (read.access.readable && read.access.entries.empty()) {
        read.problems.push_back({read.access.path, 0, "admits no address; every client is refused",
                                 Severity::kWarning});
    }

    // A missing relay list is an empty one: nothing to look for.
    read.relays = ReadAddressList(kRelayBlacklistFile, directory);
    Append(read.problems, read.relays.problems);

    if (!record.TlsCaFile.empty() && !FileExists(record.TlsCaFile)) {
        read.problems.push_back({record.TlsCaFile, 0, "no such file (named by TlsCaFile)"});
    }
    return read;
}

std::string ConfigurationSummary(const Configuration& configuration) {
    return std::to_string(configuration.killFile.sections) + " sections, " +
           std::to_string(configuration.killFile.rules) + " rules, " +
           std::to_string(configuration.access.entries.size()) + " access entries, " +
           std::to_string(configuration.relays.entries.size()) + " relay entries";
}
