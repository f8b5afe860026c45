#include "app/check.h"

#include <algorithm>
#include <array>
#include <vector>

#include "app/command_line.h"
#include "net/allowed_servers.h"
#include "net/upstream_connect.h"
#include "web/web_server.h"

namespace {

// The list keys whose syntax the net folder knows.
constexpr std::array<ListValueCheck, 2> kListChecks{{
    {"AllowedServers", AllowedServersProblems},
    {"AllowedPorts", AllowedPortsProblems},
}};

std::string PortsText(std::vector<int> ports) {
    std::string text;
    std::vector<int> said;
    for (int port : ports) {
        if (std::find(said.begin(), said.end(), port) != said.end()) continue;
        said.push_back(port);
        text += (text.empty() ? "" : ", ") + std::to_string(port);
    }
    return text;
}

// What a client's login may reach and when an account is held, with the
// keys that decide it: the guards matter most where others can reach the
// proxy, so the check says them even when nothing is wrong.
std::string GuardsLine(const SettingsRecord& settings) {
    std::string line = "logins reach ";
    line += settings.AllowedServers.empty() ? std::string("any server")
                                            : "the servers " + settings.AllowedServers;
    line += " (AllowedServers) on ports " +
            PortsText(AllowedPortsOf(UpstreamProtocol::kPop3, settings)) + " for mail, " +
            PortsText(AllowedPortsOf(UpstreamProtocol::kNntp, settings)) +
            " for news (AllowedPorts); ";
    if (settings.LoginFailureLimit <= 0) {
        line += "an account is never held after failed logins (LoginFailureLimit=0)";
    } else {
        line += "an account is held after " + std::to_string(settings.LoginFailureLimit) +
                " failed logins within " + std::to_string(settings.LoginFailureWindow) +
                " seconds (LoginFailureLimit, LoginFailureWindow)";
    }
    return line;
}

std::string Counted(size_t count, std::string_view word) {
    return std::to_string(count) + " " + std::string(word) + (count == 1 ? "" : "s");
}

}  // namespace

int ReportCheck(const Configuration& configuration, const LineWriter& print) {
    for (const Problem& problem : configuration.problems) print(ProblemText(problem));
    size_t errors = static_cast<size_t>(
        std::count_if(configuration.problems.begin(), configuration.problems.end(),
                      [](const Problem& p) { return p.severity == Severity::kError; }));
    size_t warnings = configuration.problems.size() - errors;
    print(GuardsLine(configuration.settings.record));
    print(Counted(errors, "error") + ", " + Counted(warnings, "warning") + "; " +
          ConfigurationSummary(configuration));
    return errors > 0 ? kExitFailure : kExitOk;
}

int RunCheck(const std::string& directory, const LineWriter& print) {
    Configuration configuration =
        ReadConfiguration(ReadSettingsFile(directory, kListChecks), directory);
    // The service runs on without a page it cannot start; the check is where
    // the user learns so before starting it.
    const SettingsRecord& settings = configuration.settings.record;
    const std::string page = WebOptionsProblem(
        WebOptions{settings.WebAddress, settings.WebPort, settings.WebPassword, false});
    if (!page.empty()) {
        configuration.problems.push_back(
            {configuration.settings.path, 0, page + "; the web page would not start"});
    }
    return ReportCheck(configuration, print);
}
