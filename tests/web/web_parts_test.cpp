// The web page's parts that the tests over HTTP reach only in part: the
// code page round trip of the kill file editor, the password values, the
// names a page answers to, the days of the chart and the session bound.
#include <gtest/gtest.h>

#include "codec/code_page.h"
#include "web/chart.h"
#include "web/request_origin.h"
#include "web/secrets.h"
#include "web/sessions.h"
#include "web/text_for_html.h"

namespace {

// The kill file is code page 437 and the editor UTF-8: a byte that does not
// come back unchanged would corrupt the file at the next save (its markers
// are 0xEA, 0xAF and 0xFE).
TEST(WebText, EveryCodePageByteSurvivesTheEditor) {
    for (int byte = 0; byte < 256; ++byte) {
        std::string oem(1, static_cast<char>(byte));
        EXPECT_EQ(Utf8ToOem(OemToUtf8(oem)), oem) << byte;
    }
    EXPECT_EQ(OemToUtf8("\xEA\xAF\xFE"), "\xCE\xA9\xC2\xBB\xE2\x96\xA0");
    EXPECT_EQ(CrLfLines("a\nb\r\nc\rd\r\n\r\n"), "a\r\nb\r\nc\r\nd\r\n\r\n");
}

TEST(WebText, RawBytesBecomeUtf8) {
    EXPECT_EQ(RawToUtf8("gr\xC3\xBC\xC3\x9F"
                        "e"),
              "gr\xC3\xBC\xC3\x9F"
              "e");
    EXPECT_EQ(RawToUtf8("\xE9t\xE9"), "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(RawToUtf8("\x80 \x81"), "\xE2\x82\xAC \xEF\xBF\xBD");
    // A cut-off UTF-8 sequence is no UTF-8.
    EXPECT_EQ(RawToUtf8("a\xC3"), "a\xC3\x83");
    EXPECT_EQ(EscapeHtml("<a href='x'>&\"</a>"), "&lt;a href=&#39;x&#39;&gt;&amp;&quot;&lt;/a&gt;");
}

TEST(WebPassword, HashesCheckAndMalformedValuesAreRefused) {
    std::string hash = MakePasswordHash("s3cret");
    ASSERT_TRUE(hash.starts_with(kPasswordHashPrefix));
    EXPECT_NE(MakePasswordHash("s3cret"), hash);  // a new salt each time

    StoredPassword stored;
    std::string problem;
    ASSERT_TRUE(ReadPasswordSetting(hash, stored, problem)) << problem;
    EXPECT_EQ(stored.iterations, kPasswordIterations);
    EXPECT_TRUE(PasswordMatches(stored, "s3cret"));
    EXPECT_FALSE(PasswordMatches(stored, "s3cret "));
    EXPECT_FALSE(PasswordMatches(stored, ""));

    ASSERT_TRUE(ReadPasswordSetting("plain words", stored, problem));
    EXPECT_TRUE(PasswordMatches(stored, "plain words"));
    EXPECT_FALSE(PasswordMatches(stored, "plain"));

    ASSERT_TRUE(ReadPasswordSetting("", stored, problem));
    EXPECT_FALSE(stored.IsSet());
    EXPECT_FALSE(PasswordMatches(stored, ""));

    const std::string salt(32, 'a');
    const std::string digest(64, 'b');
    const std::string malformed[] = {
        "pbkdf2-sha256$",
        "pbkdf2-sha256$600000$" + salt,
        "pbkdf2-sha256$600000$" + salt + "$" + digest.substr(1),
        "pbkdf2-sha256$600000$" + salt.substr(2) + "$" + digest,
        "pbkdf2-sha256$600000$" + std::string(32, 'A') + "$" + digest,
        "pbkdf2-sha256$600000x$" + salt + "$" + digest,
        "pbkdf2-sha256$999$" + salt + "$" + digest,
        "pbkdf2-sha256$100000001$" + salt + "$" + digest,
        "pbkdf2-sha256$$" + salt + "$" + digest,
    };
    for (const std::string& value : malformed) {
        problem.clear();
        EXPECT_FALSE(ReadPasswordSetting(value, stored, problem)) << value;
        EXPECT_NE(problem.find("not a password hash"), std::string::npos) << value;
    }
    EXPECT_TRUE(ReadPasswordSetting("pbkdf2-sha256$1000$" + salt + "$" + digest, stored, problem));
}

TEST(WebOrigin, NamesOfThePage) {
    PageAuthority v6("::1", 8080);
    EXPECT_TRUE(v6.IsOurHost("[::1]:8080", ""));
    EXPECT_TRUE(v6.IsOurHost("localhost:8080", ""));
    EXPECT_FALSE(v6.IsOurHost("::1:8080", ""));
    EXPECT_FALSE(v6.IsOurHost("[::1]", ""));
    EXPECT_FALSE(v6.IsOurHost("[::1]8080", ""));
    EXPECT_FALSE(v6.IsOurHost("[localhost]:8080", ""));
    EXPECT_FALSE(v6.IsOurHost("[::1:8080", ""));

    // Bound to all addresses, the page answers to the address a connection came to.
    PageAuthority any("0.0.0.0", 80);
    EXPECT_TRUE(any.IsOurHost("192.0.2.7", "192.0.2.7"));
    EXPECT_TRUE(any.IsOurHost("192.0.2.7:80", "192.0.2.7"));
    EXPECT_FALSE(any.IsOurHost("192.0.2.8", "192.0.2.7"));
    EXPECT_FALSE(any.IsOurHost("rebound.example", "192.0.2.7"));

    PageAuthority page("127.0.0.1", 11180);
    std::string origin = "http://127.0.0.1:11180";
    std::string referer = "http://localhost:11180/quarantine?q=x";
    std::string bareReferer = "http://localhost:11180";
    std::string sameOrigin = "same-origin";
    EXPECT_TRUE(page.IsSameOrigin(nullptr, nullptr, nullptr, ""));
    EXPECT_TRUE(page.IsSameOrigin(&origin, &referer, &sameOrigin, ""));
    EXPECT_FALSE(page.IsSameOrigin(nullptr, &bareReferer, nullptr, ""));
    std::string upper = "HTTP://LOCALHOST:11180";
    EXPECT_TRUE(page.IsSameOrigin(&upper, nullptr, nullptr, ""));
}

TEST(WebChart, DaysCrossMonthsAndYears) {
    EXPECT_EQ(LastDays(LocalTime{2024, 3, 1}, 3),
              (std::vector<std::string>{"2024-02-28", "2024-02-29", "2024-03-01"}));
    EXPECT_EQ(LastDays(LocalTime{2025, 1, 1}, 2),
              (std::vector<std::string>{"2024-12-31", "2025-01-01"}));
    std::vector<DayFigures> days = FiguresOfDays(
        {"2024-12-31", "2025-01-01"},
        {{"2025-01-01", 3, 1, 1, 1}, {"2024-12-30", 9, 9, 0, 0}, {"2025-01-01", 2, 0, 0, 2}});
    ASSERT_EQ(days.size(), 2u);
    EXPECT_EQ(days[0].judged, 0);
    EXPECT_EQ(days[1].judged, 5);
    EXPECT_EQ(days[1].kept, 3);
}

TEST(WebSessions, StrangersCannotPushASignedInSessionOut) {
    SessionStore store;
    std::optional<SessionView> mine = store.Start(true, 0);
    ASSERT_TRUE(mine);
    for (size_t i = 0; i < 3 * kMaxSessions; ++i) ASSERT_TRUE(store.Start(false, 1 + i));
    EXPECT_TRUE(store.Find(mine->id, 10000));
    EXPECT_FALSE(store.Find(mine->id, 10000 + kSessionIdleMs + 1));
    EXPECT_FALSE(store.Find("", 0));
}

}  // namespace
