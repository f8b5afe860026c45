// Real servers speaking TLS for the upstream-TLS tests: certificates made by
// the fixture script tls_ca.py, a private Dovecot (STLS on its plain port,
// implicit TLS on its pop3s port) and a private INN (STARTTLS, and implicit
// TLS on a standalone nnrpd), each started by its fixture script in a
// temporary directory and stopped by it again.
#pragma once

#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <string>

#include "core/temp_dir.h"
#include "core/text.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace tlstest {

// How long to wait for a server's log to show a line; a safety net only.
inline constexpr int kServerLogPolls = 400;
inline constexpr int kServerLogPollMs = 50;

inline std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (char ch : text) quoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return quoted + "'";
}

// Runs a fixture script of tests/fixtures with the arguments; returns its
// exit status and puts its output (standard output and error) into `output`.
inline int RunFixture(const std::string& script, const std::string& arguments,
                      std::string& output) {
    const std::string command =
        "python3 " + Quoted(std::string(TRAWLBOX_SOURCE_DIR) + "/tests/fixtures/" + script) + " " +
        arguments + " 2>&1 </dev/null";
    output.clear();
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[512];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    return ::pclose(pipe);
}

// True when `program` is found on PATH or in the extra directories.
inline bool Installed(const std::string& program,
                      std::initializer_list<const char*> extra = {"/usr/sbin", "/sbin"}) {
    std::string path = EnvironmentValue("PATH");
    for (const char* dir : extra) path += std::string(":") + dir;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::error_code error;
        if (end > start &&
            std::filesystem::is_regular_file(
                std::filesystem::path(path.substr(start, end - start)) / program, error)) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

// Lines "NAME VALUE" of a fixture's output, as a map.
inline std::map<std::string, std::string> NamedLines(const std::string& output) {
    std::map<std::string, std::string> named;
    for (size_t at = 0; at < output.size();) {
        size_t end = output.find('\n', at);
        if (end == std::string::npos) end = output.size();
        const std::string line = output.substr(at, end - at);
        const size_t blank = line.find(' ');
        if (blank != std::string::npos) named[line.substr(0, blank)] = line.substr(blank + 1);
        at = end + 1;
    }
    return named;
}

// The whole line of `log` that holds `text` (ending with the text when it
// ends the line), or "" when none does.
inline std::string LogLineWith(const std::string& log, const std::string& text) {
    const size_t at = log.find(text);
    if (at == std::string::npos) return "";
    const size_t begin = log.rfind('\n', at) == std::string::npos ? 0 : log.rfind('\n', at) + 1;
    const size_t end = log.find_first_of("\r\n", at + text.size());
    return log.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

// The private CA, a server certificate for localhost, 127.0.0.1 and ::1, one of
// the same CA for another name only, and an unrelated CA.
class Certificates {
  public:
    Certificates() {
        std::string output;
        if (RunFixture("tls_ca.py", Quoted(dir_.path()), output) != 0) {
            failure_ = "tls_ca.py failed:\n" + output;
            return;
        }
        paths_ = NamedLines(output);
    }
    // The file of a name tls_ca.py printed (ca, server_cert, server_key,
    // misnamed_cert, misnamed_key, other_ca); "" when there is none.
    std::string Path(const std::string& name) const {
        auto found = paths_.find(name);
        return found == paths_.end() ? std::string() : found->second;
    }
    const std::string& failure() const { return failure_; }

  private:
    TempDir dir_;
    std::map<std::string, std::string> paths_;
    std::string failure_;
};

inline constexpr const char* kAccount = "alice";
inline constexpr const char* kPassword = "pass word";

// A private Dovecot with the account alice and TLS with the given
// certificate: STLS on port(), implicit TLS on tlsPort(); with `ipv6` on ::1
// as well as on 127.0.0.1.
class TlsDovecot {
  public:
    TlsDovecot(const std::string& cert, const std::string& key, bool ipv6 = false) {
        std::string output;
        const std::string dir = Quoted(dir_.path());
        if (RunFixture("dovecot.py",
                       "start " + dir + " --user " + kAccount + " " + Quoted(kPassword) +
                           " --tls-cert " + Quoted(cert) + " --tls-key " + Quoted(key) +
                           (ipv6 ? " --ipv6" : ""),
                       output) != 0) {
            failure_ = "the fixture could not start dovecot:\n" + output;
            return;
        }
        started_ = true;
        auto ports = NamedLines(output);
        port_ = static_cast<int>(LeadingNumber(ports["pop3"]));
        tlsPort_ = static_cast<int>(LeadingNumber(ports["pop3s"]));
        if (port_ <= 0 || tlsPort_ <= 0) failure_ = "the fixture named no ports:\n" + output;
    }
    ~TlsDovecot() {
        std::string output;
        if (started_) RunFixture("dovecot.py", "stop " + Quoted(dir_.path()), output);
    }
    TlsDovecot(const TlsDovecot&) = delete;
    TlsDovecot& operator=(const TlsDovecot&) = delete;

    bool ready() const { return failure_.empty(); }
    int port() const { return port_; }
    int tlsPort() const { return tlsPort_; }
    const std::string& failure() const { return failure_; }

    // Stores a message in alice's mailbox; returns false when that failed.
    bool AddMessage(const std::string& message) const {
        dir_.Write("new-message.eml", message);
        std::string output;
        return RunFixture("dovecot.py",
                          "message " + Quoted(dir_.path()) + " " + kAccount + " " +
                              Quoted(dir_.path() + "new-message.eml"),
                          output) == 0;
    }

    std::string Log() const { return dir_.Read("dovecot.log"); }

    // Waits until the server has logged `text` after `mark` bytes of its log.
    bool WaitForLog(size_t mark, const std::string& text) const {
        for (int poll = 0; poll < kServerLogPolls; ++poll) {
            if (LoggedSince(mark, text)) return true;
            SleepMilliseconds(kServerLogPollMs);
        }
        return false;
    }

    bool LoggedSince(size_t mark, const std::string& text) const {
        const std::string log = Log();
        return log.size() > mark && log.find(text, mark) != std::string::npos;
    }

  private:
    TempDir dir_;
    bool started_ = false;
    int port_ = 0;
    int tlsPort_ = 0;
    std::string failure_;
};

inline constexpr const char* kNewsUser = "reader";
inline constexpr const char* kNewsPassword = "secret word";

// A private INN whose reader ports offer STARTTLS; nnrpdPort() requires
// AUTHINFO (kNewsUser, kNewsPassword), tlsPort() speaks implicit TLS and
// requires it too.
class TlsInn {
  public:
    TlsInn(const std::string& cert, const std::string& key, const std::string& ca) {
        std::string output;
        if (RunFixture("inn.py",
                       "start " + Quoted(dir_.path()) + " --user " + kNewsUser + " --password " +
                           Quoted(kNewsPassword) + " --tlscertfile " + Quoted(cert) +
                           " --tlskeyfile " + Quoted(key) + " --tlscafile " + Quoted(ca) +
                           " --implicit-tls",
                       output) != 0) {
            failure_ = "the fixture could not start inn:\n" + output;
            RunFixture("inn.py", "stop " + Quoted(dir_.path()), output);
            return;
        }
        started_ = true;
        nnrpdPort_ = JsonNumber(output, "\"nnrpd\"");
        tlsPort_ = JsonNumber(output, "\"nnrpd_tls\"");
        if (nnrpdPort_ <= 0 || tlsPort_ <= 0) failure_ = "the fixture named no ports:\n" + output;
    }
    ~TlsInn() {
        std::string output;
        if (started_) RunFixture("inn.py", "stop " + Quoted(dir_.path()), output);
    }
    TlsInn(const TlsInn&) = delete;
    TlsInn& operator=(const TlsInn&) = delete;

    bool ready() const { return failure_.empty(); }
    int nnrpdPort() const { return nnrpdPort_; }
    int tlsPort() const { return tlsPort_; }
    const std::string& failure() const { return failure_; }

  private:
    // The number after `key` and its colon in the fixture's JSON line.
    static int JsonNumber(const std::string& json, const std::string& key) {
        const size_t at = json.find(key + ":");
        if (at == std::string::npos) return 0;
        return static_cast<int>(LeadingNumber(Trim(json.substr(at + key.size() + 1))));
    }

    TempDir dir_;
    bool started_ = false;
    int nnrpdPort_ = 0;
    int tlsPort_ = 0;
    std::string failure_;
};

}  // namespace tlstest
