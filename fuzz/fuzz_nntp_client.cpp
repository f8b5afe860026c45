// The news session takes any bytes from a news reader, before and after the
// login. Input: the reader's bytes. The real server is a scripted news server
// that answers every reader command of the session's table in the proper
// form (a block after the codes that announce one) and takes posted articles.
// The host an AUTHINFO USER line names is always made 127.0.0.1: a name would
// be looked up, and a strange address would be connected to.
#include <stdlib.h>

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/globals.h"
#include "filter/filter.h"
#include "fuzz/fuzz_session_harness.h"
#include "nntp/session.h"

namespace {

const char kKillFile[] =
    "--- /DE/TEST\r\n"
    "\"*Cheap spam*\" \xEAs \xAFSKIP\r\n"
    "\"*spammer@junk.example*\" \xEAnq \xAFSKIP\r\n"
    "--- ALLE\r\n"
    "\"*Hello*\" \xEAs \xAFSKIP\r\n";

const char kOverview[] =
    "1\tHello world\tAnn <ann@example.org>\tMon, 07 Dec 2026 10:00:00 +0100\t<1@x>\t\t100\t3\r\n"
    "2\tCheap spam offer\tBob <bob@example.org>\tMon, 07 Dec 2026\t<2@x>\t<1@x>\t90\t2\r\n"
    "3\t=?UTF-8?B?Q2hlYXAgc3BhbQ==?=\tJunk <spammer@junk.example>\t\t<3@x>\t\t80\t1\r\n"
    "4\tPlain\t=?iso-8859-1?Q?J=F6rg?= <j@example.org>\t\t<4@x>\t\t70\t1\r\n";

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

struct Answer {
    const char* command;
    const char* reply;  // with the block, when one follows
};

constexpr Answer kAnswers[] = {
    {"GROUP", "211 4 1 4 de.test\r\n"},
    {"LISTGROUP", "211 4 1 4 de.test\r\n1\r\n2\r\n3\r\n4\r\n.\r\n"},
    {"ARTICLE", "220 1 <1@x> article\r\nSubject: Hello\r\n\r\n..dotted\r\nBody\r\n.\r\n"},
    {"HEAD", "221 1 <1@x> head\r\nSubject: Hello\r\n.\r\n"},
    {"BODY", "222 1 <1@x> body\r\nBody\r\n.\r\n"},
    {"LIST", "215 list follows\r\nde.test 4 1 y\r\nlocal.test 0 1 n\r\n.\r\n"},
    {"NEWGROUPS", "231 new groups\r\nde.new 1 1 y\r\n.\r\n"},
    {"NEWNEWS", "230 new news\r\n<1@x>\r\n.\r\n"},
    {"HELP", "100 help\r\nsome text\r\n.\r\n"},
    {"XHDR", "221 headers\r\n1 Hello\r\n.\r\n"},
    {"XPAT", "221 matches\r\n1 Hello\r\n.\r\n"},
    {"HDR", "225 headers\r\n1 Hello\r\n.\r\n"},
    {"CAPABILITIES",
     "101 caps\r\nVERSION 2\r\nREADER\r\nSTARTTLS\r\nAUTHINFO USER\r\n"
     "OVER\r\n.\r\n"},
    {"DATE", "111 20261207100000\r\n"},
    {"MODE", "200 reader\r\n"},
    {"LAST", "223 1 <1@x>\r\n"},
    {"NEXT", "223 2 <2@x>\r\n"},
    {"STAT", "223 1 <1@x>\r\n"},
    {"SLAVE", "202 slave\r\n"},
};

void ServeNews(int socket) {
    fuzz_session::LineReader reader(socket);
    fuzz_session::SendAll(socket, "200 scripted news ready\r\n");
    std::string line;
    while (reader.Next(line)) {
        std::string command = Upper(Word(line, 0));
        std::string reply = "500 what?\r\n";
        if (command == "QUIT") {
            fuzz_session::SendAll(socket, "205 bye\r\n");
            return;
        } else if (command == "AUTHINFO") {
            reply = Upper(Word(line, 1)) == "USER" ? "381 password\r\n" : "281 welcome\r\n";
        } else if (command == "XOVER" || command == "OVER") {
            reply = std::string("224 overview\r\n") + kOverview + ".\r\n";
        } else if (command == "POST") {
            if (!fuzz_session::SendAll(socket, "340 send it\r\n")) return;
            while (reader.Next(line) && line != ".") {
            }
            reply = "240 posted\r\n";
        } else {
            for (const Answer& answer : kAnswers) {
                if (command == answer.command) reply = answer.reply;
            }
        }
        if (!fuzz_session::SendAll(socket, reply)) return;
    }
}

// Makes every AUTHINFO USER line name 127.0.0.1, keeping its user part.
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
        size_t first = line.find(' ');
        size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
        if (second != std::string::npos && Upper(Word(line, 0)) == "AUTHINFO" &&
            Upper(Word(line, 1)) == "USER") {
            size_t argumentEnd = line.find(' ', second + 1);
            std::string argument = line.substr(second + 1, argumentEnd - second - 1);
            std::string rest = argumentEnd == std::string::npos ? "" : line.substr(argumentEnd);
            size_t hash = argument.find('#');
            line = line.substr(0, second + 1) + "127.0.0.1" +
                   (hash == std::string::npos ? "" : argument.substr(hash)) + rest;
        } else if (second == std::string::npos && first != std::string::npos &&
                   Upper(Word(line, 0)) == "AUTHINFO" && Upper(Word(line, 1)) == "USER") {
            line += " 127.0.0.1";
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
    if (LoadKillFile(path) != 1) return false;
    FilterLoaded = true;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz_session::Loopback clients;
    static fuzz_session::Loopback servers;
    static const bool ready = Setup(servers);
    if (!ready) std::abort();
    std::string input = PinHost(std::string_view(reinterpret_cast<const char*>(data), size));
    fuzz_session::RunSession(clients, servers, RunNntpSession, input, ServeNews);
    return 0;
}
