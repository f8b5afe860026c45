// A provider for the web page's tests with a few fixed records: figures of
// some days, two rules, one live session, a quarantine whose entries carry
// HTML and script in their subjects and senders, a rule tester that knows
// one rule, and a kill file whose check finds bad lines. It remembers every
// change asked of it.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "web/provider.h"

struct FixtureData {
    std::mutex lock;
    std::vector<KeptMessage> entries;  // newest first
    std::vector<std::string> released;
    std::vector<std::string> deleted;
    std::string killFileText;
    int saves = 0;      // successful kill file saves
    int changes = 0;    // releases, deletes and saves that changed something
    std::string today;  // "YYYY-MM-DD" when the data was made
};

// The id of the entry whose subject and sender carry HTML and script.
inline constexpr const char* kHostileId = "20240501.1";
// What the fixture's check says of a kill-file line holding "(((".
inline constexpr const char* kBadKillMessage = "regular expression does not compile: missing )";

// Makes the records, the days relative to the local date now.
std::shared_ptr<FixtureData> MakeFixtureData();

// A provider over `data`; every member is set.
WebProvider MakeFixtureProvider(std::shared_ptr<FixtureData> data);

// The message stored under kHostileId.
std::string HostileMessage();
