// A scripted POP3 server on a loopback port, run in a thread of its own, for
// the tests of the scan and the session. It serves one connection at a time,
// records every command it receives, takes deletions back at RSET and
// carries them out at QUIT.
#pragma once

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/text.h"
#include "platform/socket.h"

// A namespace of its own: other test files of the same program have helpers
// of the same names.
namespace mail_test {

struct FakeMessage {
    std::string text;  // with CR LF line ends; the header ends at the first empty line
    std::string uid;
};

struct FakeServerOptions {
    std::string greeting = "+OK fake POP3 ready <1896.697170952@fake>";
    bool topGivesSize = true;        // "+OK <size> octets" or a bare "+OK" to TOP
    bool listNumberRefused = false;  // "LIST n" answered "-ERR"
    bool listingGivesZero = false;   // the LIST listing shows every size as 0
    bool refuseTop = false;
    bool refuseUidl = false;
    std::set<int> refuseDele;                 // message numbers whose DELE is refused
    std::vector<std::string> extraListLines;  // appended to the LIST listing
    std::string dropOnCommand;  // close the connection, unanswered, at a command starting so
    bool refusePass = false;    // "-ERR" to PASS
    std::vector<std::string> capabilities;  // the CAPA list; CAPA is refused when empty
    bool pipelining = false;  // CAPA lists TOP, UIDL and PIPELINING (before `capabilities`)
    // Reads commands as they come but, after each answer, drops what else
    // had arrived: a server that lists PIPELINING and answers one at a time.
    bool dropsQueuedCommands = false;
    int strayLineAfterTop = 0;  // after the answer to TOP of this message, a line of junk
    // Called in the server's thread with each command before it is answered.
    std::function<void(const std::string&)> onCommand;
};

class FakePop3Server {
  public:
    explicit FakePop3Server(std::vector<FakeMessage> messages, FakeServerOptions options = {})
        : messages_(std::move(messages)), options_(std::move(options)) {
        listener_ = SocketHandle(OpenTcpSocket());
        if (!BindSocket(listener_.get(), LoopbackAddress(), 0) ||
            !ListenSocket(listener_.get(), 4)) {
            return;
        }
        port_ = LocalPort(listener_.get());
        thread_ = std::thread([this] { Serve(); });
    }

    ~FakePop3Server() {
        stopping_ = true;
        ShutdownSocket(listener_.get());
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (connection_ >= 0) ShutdownSocket(connection_);
        }
        if (thread_.joinable()) thread_.join();
    }

    FakePop3Server(const FakePop3Server&) = delete;
    FakePop3Server& operator=(const FakePop3Server&) = delete;

    int port() const { return port_; }

    std::vector<std::string> Commands() {
        std::lock_guard<std::mutex> guard(lock_);
        return commands_;
    }

    // Message numbers deleted by a QUIT.
    std::set<int> Expunged() {
        std::lock_guard<std::mutex> guard(lock_);
        return expunged_;
    }

    // The most commands that had arrived and were waiting for their answer
    // at one time (1 for a client that waits for every answer).
    size_t MostQueued() {
        std::lock_guard<std::mutex> guard(lock_);
        return mostQueued_;
    }

    // Number of the QUIT commands received.
    int Quits() {
        std::lock_guard<std::mutex> guard(lock_);
        int quits = 0;
        for (const std::string& command : commands_) quits += UpperCase(command) == "QUIT";
        return quits;
    }

    static std::string Size(const FakeMessage& message) {
        return std::to_string(message.text.size());
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

    // Returns false when the connection ended.
    static bool ReadLine(int socket, std::string& pending, std::string& line) {
        for (;;) {
            size_t feed = pending.find('\n');
            if (feed != std::string::npos) {
                line = pending.substr(0, feed);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                pending.erase(0, feed + 1);
                return true;
            }
            char buffer[4096];
            SocketResult result = ReceiveBytes(socket, buffer, sizeof buffer);
            if (result.count <= 0) return false;
            pending.append(buffer, static_cast<size_t>(result.count));
        }
    }

    static std::string Stuffed(const std::string& text) {
        std::string out;
        size_t start = 0;
        while (start < text.size()) {
            size_t feed = text.find('\n', start);
            size_t end = feed == std::string::npos ? text.size() : feed + 1;
            if (text[start] == '.') out += '.';
            out.append(text, start, end - start);
            start = end;
        }
        return out;
    }

    bool Valid(int n, const std::set<int>& deleted) const {
        return n >= 1 && n <= static_cast<int>(messages_.size()) && deleted.count(n) == 0;
    }

    void Converse(int socket) {
        std::set<int> deleted;
        std::string pending;
        std::string line;
        if (!SendAll(socket, options_.greeting + "\r\n")) return;
        while (ReadLine(socket, pending, line)) {
            {
                std::lock_guard<std::mutex> guard(lock_);
                commands_.push_back(line);
                size_t queued =
                    1 + static_cast<size_t>(std::count(pending.begin(), pending.end(), '\n'));
                mostQueued_ = std::max(mostQueued_, queued);
            }
            if (options_.onCommand) options_.onCommand(line);
            if (!options_.dropOnCommand.empty() && StartsWith(line, options_.dropOnCommand)) return;
            std::string name = UpperCase(Field(line, 0));
            std::string argument = Field(line, 1);
            int n = static_cast<int>(LeadingNumber(argument));
            std::string reply;
            if (name == "PASS" && options_.refusePass) {
                reply = "-ERR [AUTH] Authentication failed.\r\n";
            } else if (name == "CAPA" && options_.pipelining) {
                reply = "+OK\r\nTOP\r\nUIDL\r\nPIPELINING\r\n.\r\n";
            } else if (name == "USER" || name == "PASS" || name == "NOOP" || name == "APOP") {
                reply = "+OK\r\n";
            } else if (name == "STAT") {
                size_t octets = 0;
                for (const FakeMessage& message : messages_) octets += message.text.size();
                reply = "+OK " + std::to_string(messages_.size()) + " " + std::to_string(octets) +
                        "\r\n";
            } else if (name == "LIST" && !argument.empty()) {
                reply = options_.listNumberRefused || !Valid(n, deleted)
                            ? "-ERR no such message\r\n"
                            : "+OK " + argument + " " + Size(messages_[n - 1]) + "\r\n";
            } else if (name == "LIST") {
                reply = "+OK\r\n";
                for (size_t i = 0; i < messages_.size(); ++i) {
                    reply += std::to_string(i + 1) + " " +
                             (options_.listingGivesZero ? "0" : Size(messages_[i])) + "\r\n";
                }
                for (const std::string& extra : options_.extraListLines) reply += extra + "\r\n";
                reply += ".\r\n";
            } else if (name == "CAPA" && !options_.capabilities.empty()) {
                reply = "+OK\r\n";
                for (const std::string& line : options_.capabilities) reply += line + "\r\n";
                reply += ".\r\n";
            } else if (name == "UIDL" && !options_.refuseUidl) {
                reply = "+OK\r\n";
                for (size_t i = 0; i < messages_.size(); ++i) {
                    reply += std::to_string(i + 1) + " " + messages_[i].uid + "\r\n";
                }
                reply += ".\r\n";
            } else if (name == "TOP" && !options_.refuseTop && Valid(n, deleted)) {
                const std::string& text = messages_[n - 1].text;
                size_t split = text.find("\r\n\r\n");
                size_t headerEnd = split == std::string::npos ? text.size() : split + 4;
                size_t end = headerEnd;
                for (int64_t k = LeadingNumber(Field(line, 2)); k > 0 && end < text.size(); --k) {
                    size_t feed = text.find('\n', end);
                    end = feed == std::string::npos ? text.size() : feed + 1;
                }
                reply = (options_.topGivesSize ? "+OK " + Size(messages_[n - 1]) + " octets"
                                               : std::string("+OK")) +
                        "\r\n" + Stuffed(text.substr(0, end)) + ".\r\n";
                if (n == options_.strayLineAfterTop) reply += "junk\r\n";
            } else if (name == "RETR" && Valid(n, deleted)) {
                reply = "+OK " + Size(messages_[n - 1]) + " octets\r\n" +
                        Stuffed(messages_[n - 1].text) + ".\r\n";
            } else if (name == "DELE" && Valid(n, deleted) && options_.refuseDele.count(n) == 0) {
                deleted.insert(n);
                reply = "+OK message deleted\r\n";
            } else if (name == "RSET") {
                deleted.clear();
                reply = "+OK\r\n";
            } else if (name == "QUIT") {
                {
                    std::lock_guard<std::mutex> guard(lock_);
                    expunged_.insert(deleted.begin(), deleted.end());
                }
                SendAll(socket, "+OK bye\r\n");
                return;
            } else {
                reply = "-ERR refused\r\n";
            }
            if (!SendAll(socket, reply)) return;
            if (options_.dropsQueuedCommands) pending.clear();
        }
    }

    std::vector<FakeMessage> messages_;
    FakeServerOptions options_;
    SocketHandle listener_;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::mutex lock_;
    int connection_ = -1;
    std::vector<std::string> commands_;
    std::set<int> expunged_;
    size_t mostQueued_ = 0;
};

}  // namespace mail_test
