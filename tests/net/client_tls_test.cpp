// What a check says about the certificate offered to the proxy's clients,
// with certificates made by the openssl command for each case.
#include "net/client_tls.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "core/temp_dir.h"

namespace {

// Runs a shell command; returns its output (standard output and error).
std::string Output(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen((command + " 2>&1 </dev/null").c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[512];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    ::pclose(pipe);
    return output;
}

// Makes NAME.pem and NAME.key, self-signed for localhost, valid `days`.
void MakeCertificate(const TempDir& dir, const std::string& name, int days) {
    Output("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " +
           dir.path() + name + ".key -out " + dir.path() + name + ".pem -days " +
           std::to_string(days) + " -subj /CN=localhost");
}

SettingsRecord WithCertificate(const TempDir& dir, const std::string& cert,
                               const std::string& key) {
    SettingsRecord settings;
    settings.ClientTlsCert = dir.path() + cert;
    settings.ClientTlsKey = dir.path() + key;
    return settings;
}

std::string Texts(const Problems& problems) {
    std::string all;
    for (const Problem& problem : problems) all += ProblemText(problem) + "\n";
    return all;
}

TEST(CheckClientTls, NotesTheFingerprintAndWarnsBeforeTheEnd) {
    TempDir dir;
    MakeCertificate(dir, "long", 400);
    MakeCertificate(dir, "short", 3);
    const std::string expected =
        Output("openssl x509 -noout -fingerprint -sha256 -in " + dir.path() + "long.pem");
    ASSERT_NE(expected.find('='), std::string::npos) << expected;
    const std::string fingerprint = expected.substr(expected.find('=') + 1, 95);

    Problems problems = CheckClientTls(WithCertificate(dir, "long.pem", "long.key"), "T.CFG");
    ASSERT_EQ(problems.size(), 1U) << Texts(problems);
    EXPECT_EQ(problems[0].severity, Severity::kNote);
    EXPECT_NE(problems[0].text.find("SHA-256 fingerprint " + fingerprint + ", valid until 20"),
              std::string::npos)
        << problems[0].text;
    EXPECT_FALSE(HasErrors(problems));

    problems = CheckClientTls(WithCertificate(dir, "short.pem", "short.key"), "T.CFG");
    ASSERT_EQ(problems.size(), 2U) << Texts(problems);
    EXPECT_EQ(problems[1].severity, Severity::kWarning);
    EXPECT_EQ(ProblemText(problems[1]),
              "T.CFG: warning: ClientTlsCert " + dir.path() + "short.pem expires in 3 days");
}

TEST(CheckClientTls, UnusableSettingsAreErrors) {
    TempDir dir;
    MakeCertificate(dir, "a", 400);
    MakeCertificate(dir, "b", 400);

    // A key of another certificate cannot serve it.
    Problems problems = CheckClientTls(WithCertificate(dir, "a.pem", "b.key"), "T.CFG");
    ASSERT_TRUE(HasErrors(problems)) << Texts(problems);
    EXPECT_EQ(problems.back().text, "ClientTlsKey " + dir.path() + "b.key" +
                                        " does not belong to ClientTlsCert " + dir.path() +
                                        "a.pem");

    problems = CheckClientTls(WithCertificate(dir, "missing.pem", "a.key"), "T.CFG");
    ASSERT_EQ(problems.size(), 1U) << Texts(problems);
    EXPECT_EQ(problems[0].text.rfind("cannot read certificate " + dir.path() + "missing.pem", 0),
              0U)
        << problems[0].text;

    SettingsRecord halfDone;
    halfDone.ClientTlsCert = dir.path() + "a.pem";
    EXPECT_EQ(Texts(CheckClientTls(halfDone, "T.CFG")),
              "T.CFG: ClientTlsCert and ClientTlsKey must be given together\n");
    SettingsRecord portOnly;
    portOnly.Pop3sPortIncoming = 995;
    EXPECT_TRUE(HasErrors(CheckClientTls(portOnly, "T.CFG")));
    EXPECT_TRUE(CheckClientTls(SettingsRecord{}, "T.CFG").empty());
}

}  // namespace
