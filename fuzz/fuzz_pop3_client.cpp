// The POP3 session takes any bytes from a mail program, in every state.
// Input: the client's bytes. The real server is a scripted POP3 server whose
// mailbox holds a kept, a killed, a hidden and a second kept message; it
// offers APOP, AUTH and CAPA so that every login method gets somewhere.
// The host a USER line names is always made 127.0.0.1: a name would be
// looked up, and a strange address would be connected to.
#include <stdlib.h>

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "filter/filter.h"
#include "fuzz/fuzz_session_harness.h"
#include "pop3/session.h"

namespace {

const char kKillFile[] =
    "--- ALLE\r\n"
    "\"*viagra*\" \xEAs \xAF"
    "DELE\r\n"
    "\"*lottery*\" \xEAn \xAFSKIP\r\n";

const std::vector<std::string> kMailbox = {
    "From: a@example.org\r\nSubject: first\r\n\r\nLine one\r\n.dotted\r\n",
    "From: spam@example.com\r\nSubject: cheap viagra\r\nTo: a@x, b@y\r\n\r\nbuy\r\n",
    "From: lottery@spam.example\r\nSubject: you won\r\n\r\nmoney\r\n",
    "From: b@example.org\r\nSubject: =?utf-8?B?Zm91cnRo?=\r\n\r\nBody four\r\n",
};

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string Word(const std::string& line, size_t index) {
    size_t start = 0;
    for (size_t i = 0; i < index; ++i) {
        start = line.find(' ', start);
        if (start == std::string::npos) return {};
        ++start;
    }
    return line.substr(start, line.find(' ', start) - start);
}

std::string Stuffed(const std::string& text) {
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        if (text[start] == '.') out += '.';
        out.append(text, start, end - start);
        start = end;
    }
    return out;
}

// The scripted server: one reply (or block) per command; SASL exchanges are
// answered with a challenge and then accepted.
void ServeMailbox(int socket) {
    fuzz_session::LineReader reader(socket);
    fuzz_session::SendAll(socket, "+OK scripted <1896.697170952@fuzz>\r\n");
    std::vector<bool> deleted(kMailbox.size() + 1, false);
    int challengesLeft = 0;
    std::string line;
    while (reader.Next(line)) {
        std::string reply;
        std::string command = Upper(Word(line, 0));
        long n = std::strtol(Word(line, 1).c_str(), nullptr, 10);
        bool valid = n >= 1 && n <= static_cast<long>(kMailbox.size()) && !deleted[n];
        if (challengesLeft > 0) {
            reply = --challengesLeft > 0 ? "+ UGFzc3dvcmQ6\r\n" : "+OK welcome\r\n";
        } else if (command == "AUTH" && Word(line, 1).empty()) {
            reply = "+OK\r\nPLAIN\r\nLOGIN\r\nCRAM-MD5\r\nDIGEST-MD5\r\n.\r\n";
        } else if (command == "AUTH") {
            challengesLeft = Upper(Word(line, 1)) == "PLAIN" ? 1 : 2;
            reply = "+ PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2U+\r\n";
        } else if (command == "CAPA") {
            reply = "+OK\r\nTOP\r\nUIDL\r\nSASL PLAIN LOGIN CRAM-MD5 DIGEST-MD5\r\n.\r\n";
        } else if (command == "STAT") {
            reply = "+OK 4 400\r\n";
        } else if ((command == "LIST" || command == "UIDL") && Word(line, 1).empty()) {
            reply = "+OK\r\n";
            for (size_t i = 1; i <= kMailbox.size(); ++i) {
                if (deleted[i]) continue;
                reply += std::to_string(i) + " " +
                         (command == "LIST" ? std::to_string(kMailbox[i - 1].size())
                                            : "uid-" + std::to_string(i)) +
                         "\r\n";
            }
            reply += ".\r\n";
        } else if (command == "LIST" && valid) {
            reply =
                "+OK " + std::to_string(n) + " " + std::to_string(kMailbox[n - 1].size()) + "\r\n";
        } else if (command == "UIDL" && valid) {
            reply = "+OK " + std::to_string(n) + " uid-" + std::to_string(n) + "\r\n";
        } else if ((command == "TOP" || command == "RETR") && valid) {
            const std::string& message = kMailbox[n - 1];
            std::string text =
                command == "TOP" ? message.substr(0, message.find("\r\n\r\n") + 2) : message;
            reply =
                "+OK " + std::to_string(message.size()) + " octets\r\n" + Stuffed(text) + ".\r\n";
        } else if (command == "DELE" && valid) {
            deleted[n] = true;
            reply = "+OK deleted\r\n";
        } else if (command == "QUIT") {
            fuzz_session::SendAll(socket, "+OK bye\r\n");
            return;
        } else if (command == "USER" || command == "PASS" || command == "APOP" ||
                   command == "NOOP" || command == "RSET") {
            reply = "+OK\r\n";
        } else {
            reply = "-ERR no\r\n";
        }
        if (!fuzz_session::SendAll(socket, reply)) return;
    }
}

// Makes every USER line name 127.0.0.1, keeping its method and account.
std::string PinHost(std::string_view input) {
    std::string out;
    size_t start = 0;
    while (start < input.size()) {
        size_t feed = input.find('\n', start);
        size_t end = feed == std::string_view::npos ? input.size() : feed + 1;
        std::string line(input.substr(start, end - start));
        start = end;
        // The session strips the LF and one CR before it; any other CR stays
        // in the line and must not end up in the host name.
        std::string ending;
        if (!line.empty() && line.back() == '\n') {
            line.pop_back();
            ending = "\n";
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
                ending = "\r\n";
            }
        }
        if (Upper(line) == "USER") line += ' ';
        if (Upper(line.substr(0, 5)) == "USER ") {
            size_t argumentEnd = line.find(' ', 5);
            std::string argument = line.substr(5, argumentEnd - 5);
            std::string rest = argumentEnd == std::string::npos ? "" : line.substr(argumentEnd);
            size_t colon = argument.find(':');
            std::string method = colon == std::string::npos ? "" : argument.substr(0, colon + 1);
            std::string account = argument.substr(colon == std::string::npos ? 0 : colon + 1);
            size_t hash = account.find('#');
            account = hash == std::string::npos ? "" : account.substr(hash);
            line = line.substr(0, 5) + method + "127.0.0.1" + account + rest;
        }
        out += line + ending;
    }
    return out;
}

bool Setup(fuzz_session::Loopback& servers) {
    fuzz_session::Prepare(servers.port());
    std::string pattern =
        (std::filesystem::temp_directory_path() / "trawlbox-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return false;
    std::string path = pattern + "/KILLFILE.CFG";
    std::ofstream(path, std::ios::binary) << kKillFile;
    return LoadKillFile(path) == 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz_session::Loopback clients;
    static fuzz_session::Loopback servers;
    static const bool ready = Setup(servers);
    if (!ready) std::abort();
    std::string input = PinHost(std::string_view(reinterpret_cast<const char*>(data), size));
    fuzz_session::RunSession(clients, servers, RunPop3Session, input, ServeMailbox);
    return 0;
}
