// `trawlbox check`: says what in the configuration directory is not read as
// its writer meant, the way a web server tests its configuration.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "app/configuration.h"

// Writes one output line (without its line end).
using LineWriter = std::function<void(std::string_view line)>;

// Prints each problem of the configuration as "FILE:LINE: what is wrong"
// (ProblemText), then a line with what logins may reach and when an account
// is held (AllowedServers, AllowedPorts, LoginFailureLimit,
// LoginFailureWindow), then a summary line: the counts of errors and warnings and
// ConfigurationSummary. Returns kExitFailure when any problem is an error,
// kExitOk otherwise (warnings alone included).
int ReportCheck(const Configuration& configuration, const LineWriter& print);

// Reads the configuration of `directory` (ending in "/", or "") as start-up
// would, the entries of AllowedServers and AllowedPorts checked too, as well
// as whether the web page's keys would let it start (an error of the whole
// file when not), and reports it with ReportCheck. Changes no file and opens
// no log.
int RunCheck(const std::string& directory, const LineWriter& print);
