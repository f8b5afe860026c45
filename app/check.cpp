#include "app/check.h"

#include <algorithm>

#include "app/command_line.h"

namespace {

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
    print(Counted(errors, "error") + ", " + Counted(warnings, "warning") + "; " +
          ConfigurationSummary(configuration));
    return errors > 0 ? kExitFailure : kExitOk;
}

int RunCheck(const std::string& directory, const LineWriter& print) {
    return ReportCheck(ReadConfiguration(ReadSettingsFile(directory), directory), print);
}
