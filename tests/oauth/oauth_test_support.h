// The identity provider of the test fixtures, run as a subprocess on a free
// loopback port, and a clock that moves only when the code under test sleeps.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/temp_dir.h"
#include "oauth/http.h"
#include "oauth/provider.h"
#include "oauth/wall_clock.h"
#include "platform/clock.h"

extern char** environ;

namespace oauth_test {

constexpr const char* kClientId = "trawlbox-test";
// Bounds of the waits for the fixture: start-up, and its end after SIGTERM.
constexpr int kStartPolls = 200;
constexpr int kStopPolls = 100;
constexpr int kPollMs = 50;

class IdentityProvider {
  public:
    // Starts the fixture; with a certificate and key it speaks https.
    explicit IdentityProvider(const std::string& tlsCert = "", const std::string& tlsKey = "")
        : scheme_(tlsCert.empty() ? "http" : "https") {
        const std::string script =
            std::string(TRAWLBOX_SOURCE_DIR) + "/tests/fixtures/identity_provider.py";
        const std::string portFile = dir_.path() + "port";
        const std::string output = dir_.path() + "output";
        std::vector<std::string> arguments = {"python3", script, "serve", "--port-file", portFile};
        if (!tlsCert.empty()) {
            arguments.insert(arguments.end(), {"--tls-cert", tlsCert, "--tls-key", tlsKey});
        }
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawnp(&pid_, "python3", &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        if (pid_ <= 0) {
            failure_ = "cannot start python3";
            return;
        }
        for (int poll = 0; poll < kStartPolls && port_ == 0; ++poll) {
            port_ = std::atoi(dir_.Read("port").c_str());
            int status = 0;
            if (port_ == 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            if (port_ == 0) SleepMilliseconds(kPollMs);
        }
        if (port_ == 0) failure_ = "the identity provider did not start:\n" + dir_.Read("output");
    }
    ~IdentityProvider() { Stop(); }
    IdentityProvider(const IdentityProvider&) = delete;
    IdentityProvider& operator=(const IdentityProvider&) = delete;

    // Ends the fixture by its PID and waits for it (a provider that is down).
    void Stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        for (int poll = 0; poll < kStopPolls; ++poll) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            SleepMilliseconds(kPollMs);
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

    const std::string& failure() const { return failure_; }
    int port() const { return port_; }
    std::string Url(const std::string& path) const {
        return scheme_ + "://127.0.0.1:" + std::to_string(port_) + path;
    }

    // The provider's settings for a grant through this fixture.
    ProviderConfig Config() const {
        return ProviderConfig{Url("/device"), Url("/token"), "mail offline_access", kClientId, ""};
    }

    // Changes the fixture's behaviour; returns true when it took every field.
    bool Configure(const FormFields& behaviour, const HttpOptions& http = {}) const {
        nlohmann::json ignored;
        return Ask("/control", behaviour, http, ignored);
    }
    // How often each kind of call came (0 for none).
    int Count(const std::string& kind) const {
        nlohmann::json answer;
        if (!Ask("/counters", {}, {}, answer)) return -1;
        return answer["counters"].value(kind, 0);
    }
    // The fields of the last call of that kind.
    nlohmann::json LastFields(const std::string& kind) const {
        nlohmann::json answer;
        if (!Ask("/counters", {}, {}, answer)) return {};
        return answer["last_fields"].value(kind, nlohmann::json::object());
    }
    bool Revoke(const std::string& token) const {
        nlohmann::json ignored;
        return Ask("/revoke", {{"token", token}}, {}, ignored);
    }
    // The introspection answer for a token, as a mail server would get it.
    nlohmann::json Introspect(const std::string& token) const {
        nlohmann::json answer;
        Ask("/introspect", {{"token", token}}, {}, answer);
        return answer;
    }

  private:
    bool Ask(const std::string& path, const FormFields& fields, const HttpOptions& http,
             nlohmann::json& answer) const {
        HttpReply reply;
        std::string failure;
        if (PostForm(Url(path), fields, http, reply, failure) != HttpOutcome::kAnswered)
            return false;
        answer = nlohmann::json::parse(reply.body, nullptr, false);
        return reply.status == 200 && answer.is_object();
    }

    TempDir dir_;
    std::string scheme_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::string failure_;
};

// Starts where a real clock might be and moves only by what is slept.
class FakeClock final : public OAuthClock {
  public:
    static constexpr int64_t kStart = 1'700'000'000;

    int64_t Now() override { return now_.load(); }
    void Sleep(int64_t seconds) override {
        std::lock_guard<std::mutex> guard(mutex_);
        sleeps_.push_back(seconds);
        now_ += seconds;
    }
    void Advance(int64_t seconds) { now_ += seconds; }
    std::vector<int64_t> sleeps() {
        std::lock_guard<std::mutex> guard(mutex_);
        return sleeps_;
    }

  private:
    std::atomic<int64_t> now_{kStart};
    std::mutex mutex_;
    std::vector<int64_t> sleeps_;
};

// A loopback port on which nothing listens: bound, then closed again.
inline int ClosedLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

}  // namespace oauth_test
