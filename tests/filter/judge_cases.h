// One kill file and the messages the mail and the news tests judge with it,
// so that the two protocols' readings of the same matches sit side by side:
// mail keeps the verdict on an unknown action word and kills on DELE, news
// passes on both.
#pragma once

#include <string>
#include <vector>

#include "filter/decision.h"

namespace judge_cases {

// Line numbers count from 1; line 1 is a remark, line 2 the section line.
inline const char kKillFile[] =
    "' judged by the mail and the news tests alike\r\n"
    "--- ALLE\r\n"
    "\"*pills*\" \xEAs \xAF"
    "DELE\r\n"
    "\"*prize*\" \xEAs \xAFSKIP\r\n"
    "\"*newsletter*\" \xEAs \xAF"
    "DELE\r\n"
    "\"*newsletter*\" \xEAs \xAFRETR\r\n"
    "\"*lastcall*\" \xEAsq \xAF"
    "DELE\r\n"
    "\"*lastcall*\" \xEAs \xAFRETR\r\n"
    "\"*perhaps*\" \xEAs \xAFSKIP\r\n"
    "\"*perhaps*\" \xEAs \xAFMAYBE \xFE a word neither protocol knows\r\n"
    "\"*digest*\" \xEAs \xAFHEAD\r\n";

struct Case {
    const char* subject;
    std::vector<int> lines;  // the lines of the matching rules, in order
    const char* mail;        // "kill", "hide" or "keep"
    const char* mailAction;  // the action word the mail verdict came from
    const char* news;        // "withhold" or "pass"
};

// The places the matches name, in order.
inline std::vector<std::string> Locations(const std::vector<FilterMatch>& matches) {
    std::vector<std::string> locations;
    for (const FilterMatch& match : matches) locations.push_back(match.location);
    return locations;
}

// The places a case's matches must name, for the kill file at `path`.
inline std::vector<std::string> ExpectedLocations(const Case& c, const std::string& path) {
    std::vector<std::string> locations;
    for (int line : c.lines) locations.push_back(path + ":" + std::to_string(line));
    return locations;
}

inline const std::vector<Case>& Cases() {
    static const std::vector<Case> cases{
        {"cheap pills", {3}, "kill", "DELE", "pass"},
        {"prize win", {4}, "hide", "SKIP", "withhold"},
        // Without Q the last match decides.
        {"newsletter for you", {5, 6}, "keep", "RETR", "pass"},
        // Q makes the first match the last.
        {"lastcall offer", {7}, "kill", "DELE", "pass"},
        // An unknown word keeps the mail verdict and sets news back to pass.
        {"perhaps spam", {9, 10}, "hide", "SKIP", "pass"},
        {"digest", {11}, "keep", "HEAD", "pass"},
        {"a fine message", {}, "keep", "", "pass"},
    };
    return cases;
}

}  // namespace judge_cases
