// The page's HTML, rendered on the server from the values the provider
// returned. Every text from mail, from the user or from the program is
// escaped here; the bodies of messages are shown as text, never as HTML.
// Nothing here holds a script or a style attribute: the page's security
// policy allows only the built-in style sheet and script.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "web/provider.h"
#include "web/sessions.h"

// Rows the quarantine table shows at most; a search narrows a longer list.
inline constexpr size_t kQuarantineRows = 500;
// A stored message's body is shown up to this size: enough to read any
// message, and a 10 MB attachment does not become a 10 MB page.
inline constexpr size_t kShownBodyBytes = 1024 * 1024;

enum class PageTab { kOverview, kQuarantine, kTester, kKillFile, kNone };

// What every page shows around its content.
struct PageFrame {
    PageTab tab = PageTab::kNone;
    std::string token;     // the session's form token, "" when there is no session
    bool signOut = false;  // a password protects the page: offer to sign out
    std::optional<Notice> notice;
};

// Each part nullopt when the provider does not offer it.
struct OverviewData {
    std::optional<std::vector<DayFigures>> days;  // one per day, oldest first
    std::optional<std::vector<RuleFigures>> topRules;
    std::optional<std::vector<LiveSession>> sessions;
    std::optional<ProgramStatus> status;
};

// The rule tester's form as the user filled it in, in UTF-8.
struct TesterForm {
    std::string text;
    std::string group;
    std::string envelope;
};

struct KillFileView {
    bool available = false;
    KillFileText file;      // shown with its problems at their lines and in the editor
    bool rejected = false;  // `file.text` is the user's edit, which was not saved
    std::string failure;    // why a save failed other than for the text
};

// Each returns a whole HTML document.
std::string OverviewPage(const PageFrame& frame, const OverviewData& data);
// `query` is the search as the provider got it (code page 437); nullopt list: no quarantine.
std::string QuarantinePage(const PageFrame& frame, const KeptQuery& query,
                           const std::optional<KeptList>& list);
std::string MessagePage(const PageFrame& frame, const QuarantinedMessage& message);
// `result` nullopt before anything was judged; `available` false when nothing can be judged.
std::string TesterPage(const PageFrame& frame, bool available, const TesterForm& form,
                       const std::optional<JudgeResult>& result);
std::string KillFilePage(const PageFrame& frame, const KillFileView& view);
// `problem` (UTF-8) is shown above the form when not empty.
std::string LoginPage(const PageFrame& frame, std::string_view problem);
// A page with a heading and one paragraph (UTF-8), for refusals and errors.
std::string PlainPage(const PageFrame& frame, std::string_view title, std::string_view text);

// Returns the seconds as "H:MM:SS", with "N days, " before when a day or more.
std::string DurationText(int64_t seconds);
