#include "app/check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "core/log.h"
#include "core/temp_dir.h"

namespace {

using Lines = std::vector<std::string>;

const char kGoodConfig[] = "Pop3PortIncoming=11110\r\nKILLFILE=KILLFILE.CFG\r\n";
const char kGoodKillFile[] =
    "--- ALLE\r\n\"*pills*\" \xEAs \xAF"
    "DELE\r\n";
const char kGoodAccess[] = "127.0.0.1\r\n::1\r\n";
const char kDefaultGuards[] =
    "logins reach any server (AllowedServers) on ports 110, 995 for mail, 119, 563 for news "
    "(AllowedPorts); an account is held after 5 failed logins within 600 seconds "
    "(LoginFailureLimit, LoginFailureWindow)";

// One configuration directory: the good files, one of them replaced.
struct Directory {
    std::string config = kGoodConfig;
    std::string killFile = kGoodKillFile;
    std::string access = kGoodAccess;
    std::string relays;  // "": no TRAWLBOX.RBL
};

struct CheckRun {
    int status = -1;
    Lines lines;
};

CheckRun Check(const TempDir& dir, const Directory& files) {
    dir.Write("TRAWLBOX.CFG", files.config);
    dir.Write("KILLFILE.CFG", files.killFile);
    dir.Write("ACCESS.IP", files.access);
    if (!files.relays.empty()) dir.Write("TRAWLBOX.RBL", files.relays);
    CheckRun run;
    run.status = RunCheck(dir.path(), [&](std::string_view line) { run.lines.emplace_back(line); });
    return run;
}

TEST(CheckTest, GoodFilesPassWithTheirCounts) {
    TempDir dir;
    CheckRun run = Check(dir, Directory{.relays = "10.0.0.0/8 a relay\r\n"});
    EXPECT_EQ(run.status, kExitOk);
    EXPECT_EQ(run.lines, (Lines{kDefaultGuards,
                                "0 errors, 0 warnings; 1 sections, 1 rules, 2 access "
                                "entries, 1 relay entries"}));

    // The guards as configured, the outgoing port among the ports once.
    run = Check(dir, Directory{.config = std::string(kGoodConfig) +
                                         "AllowedServers=*.example.org, 192.0.2.0/24\r\n"
                                         "AllowedPorts=\r\nPop3PortOutgoing=995\r\n"
                                         "NntpPortOutgoing=10119\r\nLoginFailureLimit=0\r\n"});
    EXPECT_EQ(run.status, kExitOk);
    ASSERT_EQ(run.lines.size(), 2u);
    EXPECT_EQ(run.lines[0],
              "logins reach the servers *.example.org, 192.0.2.0/24 (AllowedServers) on ports "
              "110, 995 for mail, 119, 563, 10119 for news (AllowedPorts); an account is never "
              "held after failed logins (LoginFailureLimit=0)");
}

// Each broken file with every line the check prints about it, word for
// word, and the exit status: errors fail, warnings alone do not.
TEST(CheckTest, EachProblemIsNamedByFileAndLine) {
    struct Case {
        const char* what;
        Directory files;
        Lines problems;  // with "DIR/" for the directory
        int status;
    };
    const Case cases[] = {
        {"misspelled key",
         {.config = "Pop3PortOutgoin=110\r\n"},
         {"DIR/TRAWLBOX.CFG:1: unknown key \"Pop3PortOutgoin\" (did you mean "
          "\"Pop3PortOutgoing\"?)"},
         kExitFailure},
        {"values of the wrong kind",
         {.config = "Pop3Timeout=soon\r\nPop3PortIncoming=70000\r\nLogFilter=maybe\r\n"
                    "Pop3Tls=yes\r\n"},
         {"DIR/TRAWLBOX.CFG:1: value \"soon\" of Pop3Timeout is not a number",
          "DIR/TRAWLBOX.CFG:2: value \"70000\" of Pop3PortIncoming is out of range 0..65535",
          "DIR/TRAWLBOX.CFG:3: unknown flag word \"maybe\" for LogFilter (J or N)",
          "DIR/TRAWLBOX.CFG:4: unknown TLS mode \"yes\" for Pop3Tls (off, stls, starttls or "
          "implicit)"},
         kExitFailure},
        {"a web page that would not start",
         {.config = "WebAddress=192.0.2.7\r\n"},
         {"DIR/TRAWLBOX.CFG: WebAddress=192.0.2.7 can be reached from other machines, so "
          "WebPassword= must be set; the web page would not start"},
         kExitFailure},
        {"guard keys with what to write instead",
         {.config = "AllowedServers=pop.example.com, *, 10.0.0.0/40\r\n"
                    "AllowedPorts=110, pop3,70000\r\nLoginFailureLimit=-1\r\n"
                    "LoginFailureWindow=soon\r\n"},
         {"DIR/TRAWLBOX.CFG:1: entry \"*\" of AllowedServers is no host name, *.domain "
          "pattern, address or prefix; write entries as pop.example.com, *.example.com, "
          "192.0.2.7 or 192.0.2.0/24, separated by commas",
          "DIR/TRAWLBOX.CFG:1: entry \"10.0.0.0/40\" of AllowedServers is no host name, "
          "*.domain pattern, address or prefix; write entries as pop.example.com, "
          "*.example.com, 192.0.2.7 or 192.0.2.0/24, separated by commas",
          "DIR/TRAWLBOX.CFG:2: entry \"pop3\" of AllowedPorts is not a port number; write port "
          "numbers separated by commas (as AllowedPorts=110,995), or nothing for each "
          "protocol's standard ports",
          "DIR/TRAWLBOX.CFG:2: entry \"70000\" of AllowedPorts is out of range 1..65535; write "
          "port numbers separated by commas (as AllowedPorts=110,995), or nothing for each "
          "protocol's standard ports",
          "DIR/TRAWLBOX.CFG:3: value \"-1\" of LoginFailureLimit is out of range 0..1000; write "
          "how many failed logins hold an account, 0 for never (as LoginFailureLimit=5)",
          "DIR/TRAWLBOX.CFG:4: value \"soon\" of LoginFailureWindow is not a number; write the "
          "seconds failed logins are counted over (as LoginFailureWindow=600)"},
         kExitFailure},
        {"key given twice",
         {.config = "Pop3Timeout=60\r\nPop3Timeout=30\r\n"},
         {"DIR/TRAWLBOX.CFG:2: key \"Pop3Timeout\" given twice; line 1 counts"},
         kExitFailure},
        {"kill-file lines",
         {.killFile = "--- ALLE\r\n"
                      "\"*x* \xEAs \xAF"
                      "DELE\r\n"
                      "\"*y*\" \xEAZ \xAF"
                      "DELE\r\n"
                      "\"*z*\" \xEAs \xAFKILL\r\n"
                      "\"abc\" s DELE\r\n"
                      "REGEXPR \"(abc\" \xEAs \xAF"
                      "DELE\r\n"
                      "---\r\n"},
         {"DIR/KILLFILE.CFG:2: unterminated quote",
          "DIR/KILLFILE.CFG:3: unknown option letter \"Z\"",
          "DIR/KILLFILE.CFG:4: unknown action word \"KILL\" (known: DELE, SKIP, RETR, HEAD)",
          "DIR/KILLFILE.CFG:5: rule line has no options marker (byte 0xEA); the line is ignored",
          "DIR/KILLFILE.CFG:6: regular expression \"(ABC\" does not compile: missing closing "
          "parenthesis at offset 4",
          "DIR/KILLFILE.CFG:7: section line names no folder; no later section is "
          "used"},
         kExitFailure},
        {"kill file without sections",
         {.killFile = "\"*pills*\" \xEAs \xAF"
                      "DELE\r\n"},
         {"DIR/KILLFILE.CFG: no section line (\"--- names\"); nothing is filtered"},
         kExitFailure},
        {"addresses and prefixes",
         {.access = "300.1.1.1\r\n10.0.0.0/40\r\n::1/129\r\n2001:db8::zz\r\n10.0.0.0/8 ok\r\n",
          .relays = "10.0.0.0/0\r\n"},
         {"DIR/ACCESS.IP:1: \"300.1.1.1\" is not an IPv4 address",
          "DIR/ACCESS.IP:2: prefix \"/40\" is not 1..32",
          "DIR/ACCESS.IP:3: prefix \"/129\" is not 0..128",
          "DIR/ACCESS.IP:4: \"2001:db8::zz\" is not an IPv6 address",
          "DIR/TRAWLBOX.RBL:1: prefix \"/0\" is not 1..32"},
         kExitFailure},
        {"lists typed in a UTF-8 editor",
         {.access = "127.0.0.1 B\xC3\xBCro\r\n10.0.0.1 \xE2\x98\x83\r\n",
          .relays = "\xEF\xBB\xBF"
                    "192.0.2.0/24 K\xC3\xB6ln\r\n"},
         {"DIR/ACCESS.IP:2: U+2603 has no character in the filter's code page 437; the line is "
          "read with \"?\" in its place"},
         kExitFailure},
        {"a kill file that is not there",
         {.config = "KILLFILE=missing.cfg\r\n"},
         {"DIR/missing.cfg: no such file"},
         kExitFailure},
        {"a CA file that is not there",
         {.config = "TlsCaFile=ca.pem\r\n"},
         {"DIR/ca.pem: no such file (named by TlsCaFile)"},
         kExitFailure},
        {"an access list that admits nobody",
         {.access = "# nobody yet\r\n"},
         {"DIR/ACCESS.IP: warning: admits no address; every client is refused"},
         kExitOk},
        {"lines below an empty line",
         {.access = "127.0.0.1\r\n\r\n# a remark\r\n10.0.0.1\r\n192.0.2.1"},
         {"DIR/ACCESS.IP:4: warning: not read: an empty line above ends the list",
          "DIR/ACCESS.IP:5: warning: not read: an empty line above ends the list"},
         kExitOk},
        {"a section for a folder called ALL",
         {.killFile = "--- ALL\r\n\"*pills*\" \xEAs \xAF"
                      "DELE\r\n"},
         {"DIR/KILLFILE.CFG:1: warning: section name \"ALL\" is a folder of that name; \"ALLE\" "
          "stands for every folder but the names after it"},
         kExitOk},
        {"a last line without its line end",
         {.access = "127.0.0.1\r\n192.0.2.1"},
         {"DIR/ACCESS.IP:2: warning: last line has no line end and is not read"},
         kExitOk},
    };
    for (const Case& c : cases) {
        TempDir dir;
        CheckRun run = Check(dir, c.files);
        Lines expected;
        size_t errors = 0;
        for (const std::string& line : c.problems) {
            expected.push_back(dir.path() + line.substr(4));
            if (line.find(": warning: ") == std::string::npos) ++errors;
        }
        ASSERT_GE(run.lines.size(), 2u) << c.what;
        EXPECT_EQ(Lines(run.lines.begin(), run.lines.end() - 2), expected) << c.what;
        EXPECT_EQ(run.status, c.status) << c.what;
        EXPECT_EQ(run.lines.back().substr(0, run.lines.back().find(' ')), std::to_string(errors))
            << c.what << ": the summary counts every error";
    }
}

TEST(CheckTest, MissingConfigurationIsAnErrorAndTheRestIsStillChecked) {
    TempDir dir;
    dir.Write("ACCESS.IP", "127.0.0.1/33\r\n");
    Lines lines;
    int status = RunCheck(dir.path(), [&](std::string_view line) { lines.emplace_back(line); });
    EXPECT_EQ(status, kExitFailure);
    EXPECT_EQ(lines, (Lines{dir.path() + "TRAWLBOX.CFG: no such file",
                            dir.path() + "KILLFILE.CFG: no such file",
                            dir.path() + "ACCESS.IP:1: prefix \"/33\" is not 1..32", kDefaultGuards,
                            "3 errors, 0 warnings; 0 sections, 0 rules, 1 access entries, "
                            "0 relay entries"}));
    // A check writes nothing: no list file is made, no log opened.
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "TRAWLBOX.RBL"));
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "TRAWLBOX.LOG"));
}

}  // namespace
