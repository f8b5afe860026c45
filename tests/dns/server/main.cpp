// The blocklist tests' DNS server as a program of its own, for the end-to-end
// tests that run the real binary: set up from its arguments, it prints the
// port it answers on, serves until its standard input ends, then prints how
// many questions it received.
//
//   fake_dns_server HOST COMMAND...
//     a NAME IPV4 TTL       an A record
//     txt NAME TEXT TTL     a TXT record
//     reply NAME HOW        how to treat NAME: answer, nxdomain, servfail,
//                           refused, silent, truncated or malformed
//     default HOW           how to treat every other name
//     hold N                keep answers back until N questions have arrived
#include <array>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>

#include "dns/fake_dns_server.h"

namespace {

using dnstest::Reply;

struct ReplyWord {
    std::string_view word;
    Reply reply;
};
constexpr std::array<ReplyWord, 7> kReplyWords{{
    {"answer", Reply::kAnswer},
    {"nxdomain", Reply::kNxdomain},
    {"servfail", Reply::kServfail},
    {"refused", Reply::kRefused},
    {"silent", Reply::kSilent},
    {"truncated", Reply::kTruncated},
    {"malformed", Reply::kMalformed},
}};

bool FindReply(std::string_view word, Reply& reply) {
    for (const ReplyWord& entry : kReplyWords) {
        if (entry.word == word) {
            reply = entry.reply;
            return true;
        }
    }
    return false;
}

int Usage(const char* why) {
    std::cerr << "fake_dns_server: " << why << "\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage("no host");
    dnstest::FakeDnsServer server(argv[1]);
    if (!server.ok()) return Usage("cannot serve on that host");
    for (int i = 2; i < argc;) {
        std::string_view command = argv[i];
        int left = argc - i - 1;
        Reply reply;
        if (command == "a" && left >= 3) {
            server.AddA(argv[i + 1], argv[i + 2], std::strtoul(argv[i + 3], nullptr, 10));
            i += 4;
        } else if (command == "txt" && left >= 3) {
            server.AddTxt(argv[i + 1], argv[i + 2], std::strtoul(argv[i + 3], nullptr, 10));
            i += 4;
        } else if (command == "reply" && left >= 2 && FindReply(argv[i + 2], reply)) {
            server.SetReply(argv[i + 1], reply);
            i += 3;
        } else if (command == "default" && left >= 1 && FindReply(argv[i + 1], reply)) {
            server.SetDefaultReply(reply);
            i += 2;
        } else if (command == "hold" && left >= 1) {
            server.HoldUntil(std::atoi(argv[i + 1]));
            i += 2;
        } else {
            return Usage("unknown command or missing arguments");
        }
    }
    std::cout << server.port() << std::endl;
    for (int c = std::getchar(); c != EOF; c = std::getchar()) {
    }
    std::cout << "questions " << server.TotalQuestions() << std::endl;
    return 0;
}
