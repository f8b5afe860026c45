#include "core/problems.h"

#include <algorithm>

std::string ProblemText(const Problem& problem) {
    std::string text = problem.file;
    if (problem.line > 0) text += ":" + std::to_string(problem.line);
    text += ": ";
    if (problem.severity == Severity::kWarning) text += "warning: ";
    if (problem.severity == Severity::kNote) text += "note: ";
    return text + problem.text;
}

bool HasErrors(const Problems& problems) {
    return std::any_of(problems.begin(), problems.end(),
                       [](const Problem& p) { return p.severity == Severity::kError; });
}
