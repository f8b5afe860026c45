// The loader and the evaluation take any kill file and any message.
// Input: the kill file, a NUL, then the message fields separated by 0x01
// (subject, from, folder, references, message id, header lines split at LF).
// The first byte's lowest bit chooses reading the file at each evaluation.
#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "filter/decision.h"
#include "filter/filter.h"
#include "filter/kill_table.h"

namespace {

// Evaluation calls per message; a kill file this fuzzer builds has far fewer rules.
constexpr int kCallLimit = 10'000;

const std::string& KillFilePath() {
    static const std::string path = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "trawlbox-fuzz-XXXXXX").string();
        return mkdtemp(pattern.data()) ? pattern + "/KILLFILE.CFG" : std::string();
    }();
    return path;
}

std::string_view NextField(std::string_view& rest) {
    size_t split = rest.find('\x01');
    std::string_view field = rest.substr(0, split);
    rest = split == std::string_view::npos ? std::string_view() : rest.substr(split + 1);
    return field;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || KillFilePath().empty()) return 0;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t split = input.find('\0');
    std::string_view killFile = input.substr(0, split);
    std::string_view rest =
        split == std::string_view::npos ? std::string_view() : input.substr(split + 1);
    {
        std::ofstream out(KillFilePath(), std::ios::binary | std::ios::trunc);
        out.write(killFile.data(), static_cast<std::streamsize>(killFile.size()));
    }
    bool streamed = (data[0] & 1) != 0;
    KillSetBuild build = BuildKillSetWithLimit(KillFilePath(), streamed ? 0 : kKillTableCellLimit);
    if (build.set == nullptr) abort();
    // Every problem names a line of the file, or the whole file, and says something.
    int64_t lines = static_cast<int64_t>(std::count(killFile.begin(), killFile.end(), '\n')) + 1;
    for (const Problem& problem : build.problems) {
        if (problem.line < 0 || problem.line > lines || problem.text.empty()) abort();
    }
    PublishKillSet(build.set);

    FilterSubject message;
    message.subject = NextField(rest);
    message.from = NextField(rest);
    message.folder = NextField(rest);
    message.references = NextField(rest);
    message.messageId = NextField(rest);
    std::string_view headers = NextField(rest);
    while (!headers.empty()) {
        size_t end = headers.find('\n');
        message.headerLines.emplace_back(headers.substr(0, end));
        headers = end == std::string_view::npos ? std::string_view() : headers.substr(end + 1);
    }
    message.size = static_cast<int64_t>(size) * 100;
    message.age = static_cast<int64_t>(size % 64);

    FilterCursor cursor;
    std::string action;
    std::string reason;
    size_t matched = 0;
    for (int call = 0; call < kCallLimit; ++call) {
        EvaluateFilters(message, cursor, action, reason);
        if (cursor.matched != 1) break;
        ++matched;
        // A match always names its rule with the target marker.
        if (reason.find(kTargetMarker) == std::string::npos) abort();
        if (cursor.options & kOptionQ) break;
    }

    // The callers' protocol finds the same matches, each at a line of the file.
    std::vector<FilterMatch> matches = DecideAction(message, *build.set);
    if (matches.size() != matched) abort();
    const std::string prefix = KillFilePath() + ":";
    for (const FilterMatch& match : matches) {
        if (match.location.compare(0, prefix.size(), prefix) != 0) abort();
        int64_t line = std::stoll(match.location.substr(prefix.size()));
        if (line < 1 || line > lines) abort();
    }
    return 0;
}
