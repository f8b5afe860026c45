#include "core/settings.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "core/log.h"
#include "core/temp_dir.h"

namespace {

class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CloseLog();
        Settings = SettingsRecord{};
    }
    void TearDown() override { CloseLog(); }

    // Loads `config` as TRAWLBOX.CFG from a fresh directory.
    void Load(const std::string& config) {
        dir_.Write("TRAWLBOX.CFG", config);
        LoadSettingsFrom(dir_.path());
    }

    TempDir dir_;
};

TEST_F(SettingsTest, ExistingFileWithoutKnownKeysGivesEveryDefault) {
    Load("nothing here\r\n");
    EXPECT_EQ(Settings.Pop3Timeout, 60);
    EXPECT_EQ(Settings.NntpTimeout, 600);
    EXPECT_EQ(Settings.Pop3PortIncoming, 110);
    EXPECT_EQ(Settings.Pop3PortOutgoing, 110);
    EXPECT_EQ(Settings.NntpPortIncoming, 119);
    EXPECT_EQ(Settings.NntpPortOutgoing, 119);
    EXPECT_EQ(Settings.KillReport, kDefaultKillReport);
    EXPECT_TRUE(Settings.LogFilter);
    EXPECT_TRUE(Settings.LogSession);
    EXPECT_FALSE(Settings.LogDebug);
    EXPECT_FALSE(Settings.DebugLine);
    EXPECT_EQ(Settings.KillFile, dir_.path() + "KILLFILE.CFG");
    EXPECT_EQ(ProgramDirectory, dir_.path());
}

TEST_F(SettingsTest, MissingFileLeavesZerosAndOpensNoLog) {
    LoadSettingsFrom(dir_.path());
    EXPECT_EQ(Settings.Pop3Timeout, 0);
    EXPECT_EQ(Settings.Pop3PortIncoming, 0);
    EXPECT_EQ(Settings.KillFile, "");
    WriteLog("anything", -1, kLogError);
    EXPECT_FALSE(std::filesystem::exists(dir_.path() + "TRAWLBOX.LOG"));
}

TEST_F(SettingsTest, KeyRulesOfTheFileFormat) {
    struct Case {
        const char* config;
        int32_t timeout;
    } cases[] = {
        {"pop3timeout=30\n", 30},                      // key case does not matter
        {" Pop3Timeout=30\n", 60},                     // a blank before the key: no match
        {"Pop3Timeout =30\n", 30},                     // one blank before "=" is allowed
        {"Pop3Timeout  =30\n", 60},                    // two are not
        {"Pop3Timeout=\n", 60},                        // empty value: default
        {"Pop3Timeout=InCompatible\n", 60},            // "incompatible" in any case: default
        {"Pop3Timeout=30\nExPop3Timeout=45\n", 45},    // the Ex prefix wins wherever it stands
        {"ExPop3Timeout=\nPop3Timeout=30\n", 30},      // an empty Ex value leaves the plain key
        {"Pop3Timeout=30\r\nPop3Timeout=40\r\n", 30},  // the first line counts
        {"Pop3Timeout=\nPop3Timeout=40\n", 60},        // even when its value is empty
        {"Pop3Timeout=60s\n", 60},
        {"Pop3Timeout=x60\n", 0},
        {"Pop3Timeout=  42\n", 42},  // leading blanks of a number are skipped
        {"Pop3Timeout=2.5\n", 2},    // halves round to even
        {"Pop3Timeout=3.5\n", 4},
        {"Pop3Timeout=-7.5\n", -8},
        {"Pop3Timeout=99999999999\n", 2147483647},
        {"Pop3Timeout=30", 30},  // a last line without line end is still read
    };
    for (const Case& c : cases) {
        Settings = SettingsRecord{};
        Load(c.config);
        EXPECT_EQ(Settings.Pop3Timeout, c.timeout) << c.config;
    }
}

TEST_F(SettingsTest, FlagWords) {
    EXPECT_EQ(ParseFlag("y"), 1);
    EXPECT_EQ(ParseFlag("EIN"), 1);
    EXPECT_EQ(ParseFlag("Enabled"), 1);
    EXPECT_EQ(ParseFlag("TRUE"), 1);
    EXPECT_EQ(ParseFlag("1"), 1);
    EXPECT_EQ(ParseFlag("Yes"), 0);
    EXPECT_EQ(ParseFlag("J "), 0);
    EXPECT_EQ(ParseFlag("no"), 0);
    EXPECT_EQ(ParseFlag("Cfg_Error"), 0);
    Load("LogDebug=Yes\nLogFilter=off\nDEBUGLINE=j\n");
    EXPECT_FALSE(Settings.LogDebug);
    EXPECT_FALSE(Settings.LogFilter);
    EXPECT_TRUE(Settings.DebugLine);
}

TEST_F(SettingsTest, TextValuesKeepTheirBlanks) {
    Load("KillReport= me@here \nKILLFILE=rules.cfg\n");
    EXPECT_EQ(Settings.KillReport, " me@here ");
    EXPECT_EQ(Settings.KillFile, dir_.path() + "rules.cfg");
}

// Quarantine= with nothing after it keeps no copies; a missing line keeps
// them in the default folder of the data directory. Mixing the two up would
// either delete mail without a copy or fill a disk the user switched off.
TEST_F(SettingsTest, QuarantineEmptyMeansNoneAndAbsentMeansTheDefault) {
    struct Case {
        std::string config;
        std::string directory;
    };
    const Case cases[] = {
        {"DataDir=/var/lib/t\n", "/var/lib/t/QUARANTINE"},
        {"DataDir=/var/lib/t\nQuarantine=\n", ""},
        {"DataDir=/var/lib/t\nQuarantine =  \n", ""},
        {"DataDir=/var/lib/t/\nQuarantine=Q2\n", "/var/lib/t/Q2"},
        {"Quarantine=/srv/q\n", "/srv/q"},
        {"Quarantine=\nExQuarantine=/srv/x\n", "/srv/x"},
        {"QuarantineDays=3\n", dir_.path() + "QUARANTINE"},
    };
    for (const Case& c : cases) {
        Settings = SettingsRecord{};
        Load(c.config);
        EXPECT_EQ(QuarantineDirectory(Settings), c.directory) << c.config;
    }
    Load("QuarantineDays=3\nDryRun=J\n");
    EXPECT_EQ(Settings.QuarantineDays, 3);
    EXPECT_EQ(Settings.QuarantineMaxMessageKB, 10240);
    EXPECT_TRUE(Settings.DryRun);
}

// Paths are read against the configuration directory, not the working
// directory, which a service started by the system does not choose.
TEST_F(SettingsTest, RelativePathsAreReadAgainstTheDirectory) {
    Load("KILLFILE=/etc/trawlbox/K.CFG\nLOGDIR=logs/\nTlsCaFile=certs/ca.pem\n");
    EXPECT_EQ(Settings.KillFile, "/etc/trawlbox/K.CFG");
    EXPECT_EQ(Settings.LogDir, dir_.path() + "logs/");
    EXPECT_EQ(Settings.TlsCaFile, dir_.path() + "certs/ca.pem");
    Load("LOGDIR=\nTlsCaFile=\n");
    EXPECT_EQ(Settings.LogDir, "");  // none given: the directory itself
    EXPECT_EQ(Settings.TlsCaFile, "");
}

TEST_F(SettingsTest, KeyBeyondTheReadLimitIsNotSeen) {
    std::string filler(kConfigReadLimit - 5, '#');
    filler += "\n";  // the key starts 4 bytes before the limit and is cut by it
    Load(filler + "Pop3Timeout=33\n");
    EXPECT_EQ(Settings.Pop3Timeout, 60);
    std::string fits(kConfigReadLimit - 40, '#');
    Load(fits + "\nPop3Timeout=33\n");
    EXPECT_EQ(Settings.Pop3Timeout, 33);
}

TEST_F(SettingsTest, LogDirIsAppendedAsWritten) {
    Load("LOGDIR=" + dir_.path() + "logs\n");
    CloseLog();
    EXPECT_TRUE(std::filesystem::exists(dir_.path() + "logsTRAWLBOX.LOG"));
}

TEST_F(SettingsTest, UnwritableLogDirRunsWithoutLog) {
    Load("LOGDIR=" + dir_.path() + "no/such/dir/\n");
    EXPECT_EQ(Settings.Pop3Timeout, 60);
    EXPECT_FALSE(std::filesystem::exists(dir_.path() + "no"));
}

TEST_F(SettingsTest, RandomAndHugeFilesNeverCrash) {
    std::mt19937 random(7);
    for (int round = 0; round < 20; ++round) {
        std::string bytes(static_cast<size_t>(random() % 40000), '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        Settings = SettingsRecord{};
        Load(bytes);
        CloseLog();
        EXPECT_GE(Settings.NntpTimeout, std::numeric_limits<int32_t>::min());
    }
    std::string huge(8 * 1024 * 1024, 'x');
    Load(huge + "\nPop3Timeout=5\n");
    EXPECT_EQ(Settings.Pop3Timeout, 60);  // beyond the read limit
}

}  // namespace

TEST_F(SettingsTest, UpstreamTlsKeys) {
    struct Case {
        const char* config;
        TlsMode pop3Tls;
        TlsMode nntpTls;
        bool verify;
        const char* caFile;
    } cases[] = {
        {"nothing\n", TlsMode::kOff, TlsMode::kOff, true, ""},
        {"Pop3Tls=stls\nNntpTls=STARTTLS\n", TlsMode::kUpgrade, TlsMode::kUpgrade, true, ""},
        {"pop3tls=Implicit\nnntptls=implicit\n", TlsMode::kImplicit, TlsMode::kImplicit, true, ""},
        {"Pop3Tls=starttls\nNntpTls=stls\n", TlsMode::kUpgrade, TlsMode::kUpgrade, true,
         ""},  // either word
        {"Pop3Tls = stls \n", TlsMode::kUpgrade, TlsMode::kOff, true,
         ""},  // blanks around the word
        {"Pop3Tls=off\nExPop3Tls=implicit\n", TlsMode::kImplicit, TlsMode::kOff, true, ""},
        {"Pop3Tls=\n", TlsMode::kOff, TlsMode::kOff, true, ""},  // empty: the default
        // A word that names no mode must not fall back to plaintext.
        {"Pop3Tls=on\nNntpTls=tls\n", TlsMode::kUnknown, TlsMode::kUnknown, true, ""},
        {"TlsVerify=N\n", TlsMode::kOff, TlsMode::kOff, false, ""},
        {"TlsVerify=nope\n", TlsMode::kOff, TlsMode::kOff, false, ""},  // flag words as everywhere
        {"tlsverify=ein\nTlsCaFile=certs/ca.pem\n", TlsMode::kOff, TlsMode::kOff, true,
         "certs/ca.pem"},
        {"TlsCaFile=a.pem\nExTlsCaFile=b.pem\n", TlsMode::kOff, TlsMode::kOff, true, "b.pem"},
    };
    for (const Case& c : cases) {
        Settings = SettingsRecord{};
        Load(c.config);
        CloseLog();
        EXPECT_EQ(Settings.Pop3Tls, c.pop3Tls) << c.config;
        EXPECT_EQ(Settings.NntpTls, c.nntpTls) << c.config;
        EXPECT_EQ(Settings.TlsVerify, c.verify) << c.config;
        EXPECT_EQ(Settings.TlsCaFile, *c.caFile ? dir_.path() + c.caFile : "") << c.config;
    }
    // Without a configuration file there is no TLS, but verification stays
    // on for whoever switches TLS on later.
    Settings = SettingsRecord{};
    TempDir empty;
    LoadSettingsFrom(empty.path());
    EXPECT_EQ(Settings.Pop3Tls, TlsMode::kOff);
    EXPECT_TRUE(Settings.TlsVerify);
}

namespace {

using Texts = std::vector<std::string>;

Texts CheckTexts(std::string_view config) {
    Texts texts;
    for (const Problem& problem : CheckSettings(config, "TRAWLBOX.CFG")) {
        texts.push_back(ProblemText(problem));
    }
    return texts;
}

TEST(CheckSettingsTest, BrokenLinesAreNamedWithFileLineAndWhatIsWrong) {
    struct Case {
        const char* config;
        Texts problems;
    } cases[] = {
        {"Pop3PortOutgoin=995\n",
         {"TRAWLBOX.CFG:1: unknown key \"Pop3PortOutgoin\" (did you mean \"Pop3PortOutgoing\"?)"}},
        {"# note\r\nExPop3Timout=30\r\n",
         {"TRAWLBOX.CFG:2: unknown key \"ExPop3Timout\" (did you mean \"ExPop3Timeout\"?)"}},
        {"logdri=x\n", {"TRAWLBOX.CFG:1: unknown key \"logdri\" (did you mean \"LOGDIR\"?)"}},
        {"Colour=blue\n", {"TRAWLBOX.CFG:1: unknown key \"Colour\""}},
        {"Pop3PortIncoming=70000\nNntpPortOutgoing=-1\n",
         {"TRAWLBOX.CFG:1: value \"70000\" of Pop3PortIncoming is out of range 0..65535",
          "TRAWLBOX.CFG:2: value \"-1\" of NntpPortOutgoing is out of range 0..65535"}},
        {"Pop3Timeout=x60\nNntpTimeout=60s\nExNntpTimeout=-0.6\n",
         {"TRAWLBOX.CFG:1: value \"x60\" of Pop3Timeout is not a number",
          "TRAWLBOX.CFG:2: value \"60s\" of NntpTimeout is not a number",
          "TRAWLBOX.CFG:3: value \"-0.6\" of ExNntpTimeout is out of range 0..2147483647"}},
        {"Pop3Timeout=99999999999\n",
         {"TRAWLBOX.CFG:1: value \"99999999999\" of Pop3Timeout is out of range 0..2147483647"}},
        // "Yes" and "J " read as off today without a word.
        {"LogDebug=Yes\nLogFilter=J \n",
         {"TRAWLBOX.CFG:1: unknown flag word \"Yes\" for LogDebug (J or N)",
          "TRAWLBOX.CFG:2: unknown flag word \"J \" for LogFilter (J or N)"}},
        {"Pop3Tls=yes\nnntptls=tls\n",
         {"TRAWLBOX.CFG:1: unknown TLS mode \"yes\" for Pop3Tls (off, stls, starttls or "
          "implicit)",
          "TRAWLBOX.CFG:2: unknown TLS mode \"tls\" for nntptls (off, stls, starttls or "
          "implicit)"}},
        {"Pop3Timeout=30\nPOP3TIMEOUT=40\nExPop3Timeout=45\nExPop3Timeout=50\n",
         {"TRAWLBOX.CFG:2: key \"POP3TIMEOUT\" given twice; line 1 counts",
          "TRAWLBOX.CFG:4: key \"ExPop3Timeout\" given twice; line 3 counts"}},
        // The first line counts even when its value is empty.
        {"KILLFILE=\nKILLFILE=rules.cfg\n",
         {"TRAWLBOX.CFG:2: key \"KILLFILE\" given twice; line 1 counts"}},
        {" Pop3Timeout=30\nNntpTimeout  =30\n",
         {"TRAWLBOX.CFG:1: key \"Pop3Timeout\" is ignored: a blank before the key or more than "
          "one before \"=\"",
          "TRAWLBOX.CFG:2: key \"NntpTimeout\" is ignored: a blank before the key or more than "
          "one before \"=\""}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CheckTexts(c.config), c.problems) << c.config;
    }
}

TEST(CheckSettingsTest, WhatTheFileFormatAcceptsIsNoProblem) {
    const char* good[] = {
        "Trawlbox configuration. Lines that do not start with a key are ignored.\n"
        "The ports = what the mail program talks to\n"
        "#TlsCaFile=ca.pem\n"
        "# Pop3Timout=1\n",
        "Pop3Timeout =2.5\nNntpTimeout=  42  \nPop3PortIncoming=+0\n",
        "Pop3Timeout=\nPop3Tls=\nLogDebug=incompatible\n",  // empty or "incompatible": the fallback
        "LogDebug=aus\nLogFilter=Disabled\nLogSession=0\nDEBUGLINE=TRUE\nTlsVerify=ein\n",
        "Pop3Tls = StartTLS \nNntpTls=IMPLICIT\n",
        "Pop3Timeout=30\nExPop3Timeout=45\n",  // the prefix overrides, it does not repeat
        "KillReport=me@here ; with anything\nKILLFILE=my rules.cfg\n",
        "Pop3Timeout=30",  // a last line without line end
    };
    for (const char* config : good) {
        EXPECT_EQ(CheckTexts(config), Texts{}) << config;
    }
    // The shipped sample and every key at its own fallback.
    std::ifstream sample(std::string(TRAWLBOX_SOURCE_DIR) + "/etc/TRAWLBOX.CFG", std::ios::binary);
    std::string shipped(std::istreambuf_iterator<char>(sample), {});
    ASSERT_FALSE(shipped.empty());
    EXPECT_EQ(CheckTexts(shipped), Texts{});
    std::string fallbacks;
    for (const SettingKey& key : SettingKeys()) {
        fallbacks += std::string(key.name) + "=" + std::string(key.fallback) + "\n";
    }
    EXPECT_EQ(CheckTexts(fallbacks), Texts{});
}

TEST(CheckSettingsTest, TextBeyondTheReadLimitIsAWarning) {
    std::string config = "Pop3Timeout=x\n" + std::string(kConfigReadLimit, '#') + "\nColour=1\n";
    Problems problems = CheckSettings(config, "T.CFG");
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(ProblemText(problems[0]), "T.CFG: warning: only the first 16024 bytes are read");
    EXPECT_EQ(problems[0].severity, Severity::kWarning);
    EXPECT_EQ(ProblemText(problems[1]), "T.CFG:1: value \"x\" of Pop3Timeout is not a number");
    EXPECT_TRUE(HasErrors(problems));
    problems.pop_back();
    EXPECT_FALSE(HasErrors(problems));  // a warning alone is no error
}

TEST(CheckSettingsTest, EveryKeyOfTheTableIsReadAndOnlyLiveKeysAreCopied) {
    // Each key given a value other than its fallback is read into the record.
    std::string config;
    for (const SettingKey& key : SettingKeys()) {
        const char* value = key.kind == SettingKind::kNumber    ? "7"
                            : key.kind == SettingKind::kFlag    ? (key.fallback == "J" ? "N" : "J")
                            : key.kind == SettingKind::kTlsMode ? "implicit"
                                                                : "given";
        config += std::string(key.name) + "=" + value + "\n";
    }
    SettingsRecord given = ReadSettings(config);
    SettingsRecord fallback = ReadSettings("");
    SettingsRecord running = fallback;
    CopyLiveSettings(given, running);
    // A key's value in a record, as text, whatever its kind.
    auto value = [](const SettingKey& key, const SettingsRecord& record) {
        if (key.number) return std::to_string(record.*key.number);
        if (key.flag) return std::to_string(record.*key.flag);
        if (key.tlsMode) return std::to_string(static_cast<int>(record.*key.tlsMode));
        return record.*key.text;
    };
    for (const SettingKey& key : SettingKeys()) {
        SCOPED_TRACE(std::string(key.name));
        EXPECT_NE(value(key, given), value(key, fallback));
        EXPECT_EQ(value(key, running),
                  value(key, key.change == SettingChange::kWhileRunning ? given : fallback));
    }
    EXPECT_EQ(running.Pop3PortIncoming, 110);  // ports wait for a restart
    EXPECT_EQ(running.Pop3Timeout, 7);
}

}  // namespace
