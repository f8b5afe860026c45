// What is wrong in a file the program reads (settings, kill file, lists),
// collected rather than logged so that a check can print all of it and a
// reload can refuse a file that has errors.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class Severity {
    kError,    // the file does not do what its writer meant; a check fails on it
    kWarning,  // worth saying, but the file works as written
    kNote,     // a fact a check shows (a certificate's fingerprint), nothing wrong
};

struct Problem {
    std::string file;  // the file's name as the program was given it
    int64_t line = 0;  // 1-based line number; 0 for a problem of the whole file
    std::string text;  // what is wrong, in plain words
    Severity severity = Severity::kError;
};

using Problems = std::vector<Problem>;

// Returns the problem as one line: "FILE:LINE: text", or "FILE: text" for a
// problem of the whole file; a warning's text is preceded by "warning: ", a
// note's by "note: ".
std::string ProblemText(const Problem& problem);

// Returns true when any of the problems is an error.
bool HasErrors(const Problems& problems);
