// Helpers for the filter tests: kill files written with their real marker
// bytes, log capture, and the callers' calling protocol.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/log.h"
#include "core/settings.h"
#include "core/temp_dir.h"
#include "core/text.h"
#include "filter/decision.h"
#include "filter/filter.h"

// Returns the text with the placeholders <EA>, <AF>, <FE> and <FF> replaced
// by the marker bytes they name.
inline std::string Bytes(std::string_view text) {
    static constexpr std::pair<std::string_view, char> kMarkers[] = {
        {"<EA>", '\xEA'}, {"<AF>", '\xAF'}, {"<FE>", '\xFE'}, {"<FF>", '\xFF'}};
    std::string out;
    for (size_t i = 0; i < text.size();) {
        bool replaced = false;
        for (auto [name, byte] : kMarkers) {
            if (text.substr(i, name.size()) == name) {
                out += byte;
                i += name.size();
                replaced = true;
                break;
            }
        }
        if (!replaced) out += text[i++];
    }
    return out;
}

// Joins lines with CR LF, each line passed through Bytes.
inline std::string KillFileText(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += Bytes(line) + "\r\n";
    return text;
}

// What the callers take from one message: every action word in call order
// (trimmed), the reasons, the options and the place of each match.
struct Verdicts {
    std::vector<std::string> actions;
    std::vector<std::string> reasons;
    std::vector<FilterOptions> options;
    std::vector<std::string> locations;
};

// Judges the message with the set current now, as the mailbox scan and the
// news filter do.
inline Verdicts Judge(const FilterSubject& subject) {
    std::shared_ptr<const KillSet> set = CurrentKillSet();
    Verdicts verdicts;
    for (FilterMatch& match : DecideAction(subject, *set)) {
        verdicts.actions.push_back(match.action);
        verdicts.reasons.push_back(match.reason);
        verdicts.options.push_back(match.options);
        verdicts.locations.push_back(match.location);
    }
    return verdicts;
}

// A temporary directory with the log open in it, for tests that read what
// the filter engine logs.
class FilterLogDir {
  public:
    FilterLogDir() {
        CloseLog();
        Settings = SettingsRecord{};
        opened_ = OpenLog(dir_.path() + "TRAWLBOX.LOG");
    }
    ~FilterLogDir() {
        CloseLog();
        ClearKillTable();
    }
    bool opened() const { return opened_; }
    const TempDir& dir() const { return dir_; }
    std::string Path(const std::string& name) const { return dir_.path() + name; }

    // Writes the kill file and loads it. Returns what LoadKillFile returned.
    int Load(const std::vector<std::string>& lines, const std::string& name = "KILLFILE.CFG") {
        dir_.Write(name, KillFileText(lines));
        return LoadKillFile(Path(name));
    }

    // Returns the log lines written so far, without their line ends.
    std::vector<std::string> LogLines() const {
        std::vector<std::string> lines;
        std::string log = dir_.Read("TRAWLBOX.LOG");
        size_t start = 0;
        while (start < log.size()) {
            size_t end = log.find("\n", start);
            if (end == std::string::npos) end = log.size();
            lines.push_back(log.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }

    // Returns the texts of the log lines written at `level` so far, without
    // marker, time and session field.
    std::vector<std::string> LogTexts(int level = kLogFailure) const {
        std::string marker = ComposeLogLine("", -1, level).substr(0, 2);
        std::vector<std::string> texts;
        for (const std::string& line : LogLines()) {
            if (line.substr(0, 2) != marker) continue;
            // Marker, "hh:mm:ss", two spaces, the session field, ": ".
            size_t field = line.find(": ", 10);
            texts.push_back(field == std::string::npos ? line : line.substr(field + 2));
        }
        return texts;
    }

  private:
    TempDir dir_;
    bool opened_ = false;
};
