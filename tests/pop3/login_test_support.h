// Helpers for the upstream login tests: a scripted POP3 peer on loopback and
// a private log file whose lines can be read back.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/log.h"
#include "core/settings.h"
#include "core/temp_dir.h"
#include "net/connection.h"
#include "platform/socket.h"

// A namespace of their own: other test files of this program have helpers of
// similar names, and two classes of one name would break the link silently.
namespace login_test {

// Safety nets only, so that a broken test fails instead of hanging; no test
// depends on how fast anything is.
inline constexpr int kPeerWaitMs = 20000;
inline constexpr int kClientTimeoutSeconds = 20;

// One line of the log, split into its parts.
struct LogEntry {
    // The level whose marker the line carries. Levels 0 and 255 share their
    // marker: such a line counts as 255 while the protocol trace is on.
    int level;
    std::string text;
};

// Opens the log in a temporary directory for one test and reads it back.
class LogCapture {
  public:
    explicit LogCapture(bool debug = true) : saved_(Settings) {
        Settings.LogDebug = debug;
        Settings.LogSession = false;
        Settings.DebugLine = false;
        CloseLog();
        opened_ = OpenLog(dir_.path() + "TRAWLBOX.LOG");
    }
    ~LogCapture() {
        CloseLog();
        Settings = saved_;
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    bool opened() const { return opened_; }
    const std::string& directory() const { return dir_.path(); }

    // The size of the log so far: pass it to Entries to see only what is
    // logged from now on (slot numbers are reused).
    size_t Mark() const { return dir_.Read("TRAWLBOX.LOG").size(); }

    // Every line logged for the slot after the mark. A line is recognised by
    // comparing it with the line WriteLog composes for its text now, apart
    // from the clock.
    std::vector<LogEntry> Entries(int slot, size_t mark = 0) const {
        static constexpr int kLevels[] = {255, 0, 1, 2, 3, 5, 6, 7, 8, 9, 10};
        std::vector<LogEntry> entries;
        const std::string log = dir_.Read("TRAWLBOX.LOG");
        size_t start = mark;
        while (start < log.size()) {
            size_t end = log.find("\n", start);
            if (end == std::string::npos) end = log.size();
            const std::string line = log.substr(start, end - start);
            start = end + 1;
            const std::string field = "#" + TwoDigits(slot) + ": ";
            const size_t at = line.find(field);
            if (at == std::string::npos) continue;
            const std::string text = line.substr(at + field.size());
            for (int level : kLevels) {
                const std::string composed = ComposeLogLine(text, slot, level);
                if (composed.size() == line.size() && composed.compare(0, 2, line, 0, 2) == 0 &&
                    composed.compare(at, std::string::npos, line, at) == 0) {
                    entries.push_back({level, text});
                    break;
                }
            }
        }
        return entries;
    }

  private:
    static std::string TwoDigits(int value) {
        return value < 10 ? "0" + std::to_string(value) : std::to_string(value);
    }

    TempDir dir_;
    SettingsRecord saved_;
    bool opened_ = false;
};

// The server side of one connection, as the script sees it.
class ScriptedPeer {
  public:
    explicit ScriptedPeer(int socket) : socket_(socket) {}

    // Returns the next line the client sent, without CR LF; "" with closed()
    // true once the client has closed or nothing came within the safety net.
    std::string ReadLine() {
        while (true) {
            const size_t end = pending_.find("\r\n");
            if (end != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 2);
                received_.push_back(line);
                return line;
            }
            if (closed_ || WaitReadable(socket_, kPeerWaitMs) != WaitOutcome::kReady) {
                closed_ = true;
                return "";
            }
            char buffer[4096];
            const SocketResult got = ReceiveBytes(socket_, buffer, sizeof buffer);
            if (got.count <= 0) {
                closed_ = true;
                return "";
            }
            pending_.append(buffer, size_t(got.count));
        }
    }

    // Sends the text and CR LF.
    void Send(std::string_view text) {
        std::string line(text);
        line += "\r\n";
        size_t sent = 0;
        while (sent < line.size()) {
            const SocketResult put = SendBytes(socket_, line.data() + sent, line.size() - sent);
            if (put.count <= 0) return;
            sent += size_t(put.count);
        }
    }

    // Ends the connection as a server that goes away would.
    void HangUp() {
        ShutdownSocket(socket_);
        closed_ = true;
    }

    bool closed() const { return closed_; }
    const std::vector<std::string>& received() const { return received_; }

  private:
    int socket_;
    std::string pending_;
    bool closed_ = false;
    std::vector<std::string> received_;
};

// Accepts one connection on a free loopback port and runs the script on it
// in a thread of its own. After the script, it reads on until the client
// closes, so that received() also holds anything sent that the script did
// not expect.
class ScriptedServer {
  public:
    using Script = std::function<void(ScriptedPeer&)>;

    explicit ScriptedServer(Script script) {
        listener_ = SocketHandle(OpenTcpSocket());
        if (!listener_.valid() || !BindSocket(listener_.get(), LoopbackAddress(), 0) ||
            !ListenSocket(listener_.get(), 1)) {
            return;
        }
        port_ = LocalPort(listener_.get());
        thread_ = std::thread([this, script = std::move(script)] {
            if (WaitReadable(listener_.get(), kPeerWaitMs) != WaitOutcome::kReady) return;
            IpAddress peerAddress;
            SocketHandle connection(AcceptConnection(listener_.get(), peerAddress));
            if (!connection.valid()) return;
            ScriptedPeer peer(connection.get());
            script(peer);
            while (!peer.closed()) peer.ReadLine();
            received_ = peer.received();
        });
    }
    ~ScriptedServer() { Join(); }
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return port_; }

    // Waits for the script to end (the client must have closed first).
    void Join() {
        if (thread_.joinable()) thread_.join();
    }

    // Every line the client sent; valid after Join().
    const std::vector<std::string>& received() const { return received_; }

  private:
    SocketHandle listener_;
    int port_ = 0;
    std::thread thread_;
    std::vector<std::string> received_;
};

// An upstream connection to the fake server with the client's time-out.
inline Connection ConnectUpstreamForTest(int port) {
    Connection connection = Connection::ConnectTo("127.0.0.1", port);
    connection.SetTimeout(kClientTimeoutSeconds);
    return connection;
}

}  // namespace login_test
