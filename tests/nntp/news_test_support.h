// Helpers for the news tests: a scripted news server on a loopback port, the
// reader's end of a connection accepted into a session slot, and kill files.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/globals.h"
#include "filter/filter.h"
#include "net/connection.h"
#include "net/net_test_support.h"
#include "net/session_table.h"
#include "platform/socket.h"

namespace newstest {

using nettest::kPatienceMs;
using nettest::Peer;

// What the scripted server does with one command line.
struct FakeReply {
    std::string text;          // sent as it is (it carries its CR LF)
    bool readArticle = false;  // then read lines up to "." and send afterArticle
    std::string afterArticle;  // sent after the article
    bool hangUp = false;       // close the connection after sending text
};

using NewsScript = std::function<FakeReply(const std::string& line)>;

// Serves one connection after another in a thread of its own; records every
// line it receives (commands and article lines) in order.
class FakeNewsServer {
  public:
    explicit FakeNewsServer(NewsScript script, std::string greeting = "200 fake news ready",
                            const IpAddress& address = LoopbackAddress())
        : script_(std::move(script)), greeting_(std::move(greeting)) {
        listener_ = SocketHandle(OpenTcpSocket(address.family));
        if (!BindSocket(listener_.get(), address, 0) || !ListenSocket(listener_.get(), 4)) {
            return;
        }
        port_ = LocalPort(listener_.get());
        thread_ = std::thread([this] { Serve(); });
    }

    ~FakeNewsServer() {
        stopping_ = true;
        ShutdownSocket(listener_.get());
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (connection_ >= 0) ShutdownSocket(connection_);
        }
        if (thread_.joinable()) thread_.join();
    }

    FakeNewsServer(const FakeNewsServer&) = delete;
    FakeNewsServer& operator=(const FakeNewsServer&) = delete;

    int port() const { return port_; }
    int connections() const { return connections_; }

    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> guard(lock_);
        return lines_;
    }

    // Waits (bounded) until the server has received `count` lines in all.
    bool WaitForLines(size_t count) {
        return nettest::WaitUntil([&] { return Lines().size() >= count; });
    }

    // Waits (bounded) until the current connection has ended.
    bool WaitForHangUp() {
        return nettest::WaitUntil([&] {
            std::lock_guard<std::mutex> guard(lock_);
            return connection_ < 0 && connections_ > 0;
        });
    }

  private:
    void Serve() {
        while (!stopping_) {
            IpAddress peer;
            int socket = AcceptConnection(listener_.get(), peer);
            if (socket < 0) return;
            {
                std::lock_guard<std::mutex> guard(lock_);
                connection_ = socket;
            }
            ++connections_;
            Converse(socket);
            std::lock_guard<std::mutex> guard(lock_);
            connection_ = -1;
            CloseSocket(socket);
        }
    }

    static bool SendAll(int socket, const std::string& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            SocketResult result = SendBytes(socket, bytes.data() + sent, bytes.size() - sent);
            if (result.count <= 0) return false;
            sent += static_cast<size_t>(result.count);
        }
        return true;
    }

    bool ReadLine(int socket, std::string& line) {
        for (;;) {
            size_t feed = pending_.find('\n');
            if (feed != std::string::npos) {
                line = pending_.substr(0, feed);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                pending_.erase(0, feed + 1);
                std::lock_guard<std::mutex> guard(lock_);
                lines_.push_back(line);
                return true;
            }
            char buffer[4096];
            SocketResult result = ReceiveBytes(socket, buffer, sizeof buffer);
            if (result.count <= 0) return false;
            pending_.append(buffer, static_cast<size_t>(result.count));
        }
    }

    void Converse(int socket) {
        pending_.clear();
        if (!SendAll(socket, greeting_ + "\r\n")) return;
        std::string line;
        while (ReadLine(socket, line)) {
            FakeReply reply = script_(line);
            if (!SendAll(socket, reply.text) || reply.hangUp) return;
            if (!reply.readArticle) continue;
            do {
                if (!ReadLine(socket, line)) return;
            } while (line != ".");
            if (!SendAll(socket, reply.afterArticle)) return;
        }
    }

    NewsScript script_;
    std::string greeting_;
    SocketHandle listener_;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::mutex lock_;
    int connection_ = -1;
    std::vector<std::string> lines_;
    std::string pending_;
};

// The reader's end of a connection whose other end was accepted into a
// session slot reserved by the calling thread: the proxy's side is
// connection(), for a session body or the test to take.
class ReaderConnection {
  public:
    explicit ReaderConnection(int timeoutSeconds) {
        SocketHandle listener(OpenTcpSocket());
        if (!BindSocket(listener.get(), LoopbackAddress(), 0) || !ListenSocket(listener.get(), 1))
            return;
        int port = LocalPort(listener.get());
        peer_ = Peer::Connect(port);
        IpAddress address;
        int accepted = AcceptConnection(listener.get(), address);
        if (accepted < 0) return;
        slot_ = AllocateSlot();
        connection_ = Connection::Accepted(slot_, accepted, address, port, timeoutSeconds);
    }

    int slot() const { return slot_; }
    Connection& connection() { return connection_; }
    Peer& peer() { return peer_; }

    void Send(const std::string& line) { peer_.Send(line + "\r\n"); }

    // One line without CR LF; "<closed>" when the connection ended (or
    // nothing came within the patience bound).
    std::string Line() {
        std::string line;
        if (!peer_.ReadLine(line)) return "<closed>";
        if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) {
            line.resize(line.size() - 2);
        }
        return line;
    }

    std::string Ask(const std::string& line) {
        Send(line);
        return Line();
    }

    // The lines up to and including "." (or "<closed>").
    std::vector<std::string> Block() {
        std::vector<std::string> lines;
        for (;;) {
            lines.push_back(Line());
            if (lines.back() == "." || lines.back() == "<closed>") return lines;
        }
    }

  private:
    Peer peer_;
    int slot_ = -1;
    Connection connection_;
};

// Loads the kill file for one test and switches the news filter on; both are
// undone at the end.
class KillFileScope {
  public:
    KillFileScope(const TempDir& dir, const std::string& text) {
        dir.Write("KILLFILE.CFG", text);
        loaded_ = LoadKillFile(dir.path() + "KILLFILE.CFG") == 1;
        FilterLoaded = loaded_;
    }
    ~KillFileScope() {
        FilterLoaded = false;
        ClearKillTable();
    }
    KillFileScope(const KillFileScope&) = delete;
    KillFileScope& operator=(const KillFileScope&) = delete;

    bool loaded() const { return loaded_; }

  private:
    bool loaded_ = false;
};

// An overview line from its fields.
inline std::string OverviewLine(const std::string& number, const std::string& subject,
                                const std::string& from, const std::string& messageId,
                                const std::string& references = "") {
    return number + "\t" + subject + "\t" + from + "\tMon, 1 Jan 2024 00:00:00 +0000\t" +
           messageId + "\t" + references + "\t1234\t12";
}

}  // namespace newstest
