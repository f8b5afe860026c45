// Everything the service reads from its configuration directory, read in
// one place for start-up, `trawlbox check` and a reload, so that the check
// judges exactly what the service would run with.
#pragma once

#include <string>

#include "core/address_range.h"
#include "core/problems.h"
#include "core/settings.h"
#include "filter/filter.h"

struct Configuration {
    SettingsFile settings;   // TRAWLBOX.CFG
    KillSetBuild killFile;   // the file KILLFILE names; its set nullptr when missing or unreadable
    AddressListRead access;  // ACCESS.IP
    AddressListRead relays;  // TRAWLBOX.RBL
    // Every problem of the files above, in that order, and of the files
    // they name (a TlsCaFile that is missing). An ACCESS.IP that is
    // missing or admits no address is a warning: the service runs, but
    // refuses every client.
    Problems problems;
};

// Reads the files beside and named by an already read TRAWLBOX.CFG.
// Changes nothing, publishes nothing; logs only what BuildKillSet logs.
Configuration ReadConfiguration(SettingsFile settings, const std::string& directory);

// Returns the summary of what was read: "N sections, N rules, N access
// entries, N relay entries".
std::string ConfigurationSummary(const Configuration& configuration);
