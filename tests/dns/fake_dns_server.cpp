#include "fake_dns_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace dnstest {

namespace {

constexpr size_t kHeaderBytes = 12;
constexpr size_t kLargestQuery = 512;            // a question fits one classic UDP message
constexpr int kPollMs = 20;                      // how soon the server notices it should stop
constexpr size_t kLongestCharacterString = 255;  // RFC 1035 section 3.3
constexpr uint8_t kRcodeNxdomain = 3;
constexpr uint8_t kRcodeServfail = 2;
constexpr uint8_t kRcodeRefused = 5;
constexpr char kQuestionNamePointer[] = {'\xC0', '\x0C'};  // the name at offset 12

void Put16(std::string& out, uint16_t value) {
    out += static_cast<char>(value >> 8);
    out += static_cast<char>(value & 0xFF);
}

void Put32(std::string& out, uint32_t value) {
    Put16(out, static_cast<uint16_t>(value >> 16));
    Put16(out, static_cast<uint16_t>(value & 0xFFFF));
}

void PutRecord(std::string& out, uint16_t type, uint32_t ttl, const std::string& data) {
    out.append(kQuestionNamePointer, sizeof kQuestionNamePointer);
    Put16(out, type);
    Put16(out, 1);  // class IN
    Put32(out, ttl);
    Put16(out, static_cast<uint16_t>(data.size()));
    out += data;
}

std::string SoaData(uint32_t minimum) {
    static constexpr char kNames[] = "\x02ns\x04test\x00\x0ahostmaster\x04test\x00";
    std::string data(kNames, sizeof kNames - 1);
    for (uint32_t field : {1u, 3600u, 600u, 86400u, minimum}) Put32(data, field);
    return data;
}

std::string LowerName(std::string name) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return name;
}

}  // namespace

FakeDnsServer::FakeDnsServer(const std::string& host) : ipv6_(host.find(':') != std::string::npos) {
    sockaddr_storage address{};
    socklen_t size = 0;
    if (ipv6_) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr);
        size = sizeof *v6;
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        inet_pton(AF_INET, host.c_str(), &v4->sin_addr);
        size = sizeof *v4;
    }
    udp_ = ::socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (::bind(udp_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::getsockname(udp_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return;
    }
    port_ = ntohs(ipv6_ ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                        : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    thread_ = std::thread([this] { Serve(); });
}

FakeDnsServer::~FakeDnsServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (udp_ >= 0) ::close(udp_);
}

std::string FakeDnsServer::ResolverText() const {
    std::string port = std::to_string(port_);
    return ipv6_ ? "[::1]:" + port : "127.0.0.1:" + port;
}

void FakeDnsServer::AddA(const std::string& name, const std::string& ipv4, uint32_t ttl) {
    in_addr address{};
    inet_pton(AF_INET, ipv4.c_str(), &address);
    std::lock_guard<std::mutex> hold(lock_);
    records_[LowerName(name)].push_back(
        {kTypeA, ttl, std::string(reinterpret_cast<const char*>(&address), sizeof address)});
}

void FakeDnsServer::AddTxt(const std::string& name, const std::string& text, uint32_t ttl) {
    std::string data;
    for (size_t at = 0; at < text.size() || data.empty(); at += kLongestCharacterString) {
        std::string piece = text.substr(std::min(at, text.size()), kLongestCharacterString);
        data += static_cast<char>(piece.size());
        data += piece;
    }
    std::lock_guard<std::mutex> hold(lock_);
    records_[LowerName(name)].push_back({kTypeTxt, ttl, data});
}

void FakeDnsServer::SetReply(const std::string& name, Reply reply) {
    std::lock_guard<std::mutex> hold(lock_);
    replies_[LowerName(name)] = reply;
}

void FakeDnsServer::SetDefaultReply(Reply reply) {
    std::lock_guard<std::mutex> hold(lock_);
    defaultReply_ = reply;
}

void FakeDnsServer::SetNegativeTtl(uint32_t seconds) {
    std::lock_guard<std::mutex> hold(lock_);
    negativeTtl_ = seconds;
}

void FakeDnsServer::HoldUntil(int questions) {
    std::lock_guard<std::mutex> hold(lock_);
    holdUntil_ = questions;
}

int FakeDnsServer::Questions(const std::string& name, uint16_t type) const {
    std::lock_guard<std::mutex> hold(lock_);
    auto found = questions_.find({LowerName(name), type});
    return found == questions_.end() ? 0 : found->second;
}

int FakeDnsServer::TotalQuestions() const {
    std::lock_guard<std::mutex> hold(lock_);
    return totalQuestions_;
}

void FakeDnsServer::Serve() {
    while (!stop_) {
        pollfd entry{udp_, POLLIN, 0};
        if (::poll(&entry, 1, kPollMs) <= 0) continue;
        char buffer[kLargestQuery];
        sockaddr_storage from{};
        socklen_t fromSize = sizeof from;
        ssize_t got = ::recvfrom(udp_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                                 &fromSize);
        if (got <= 0) continue;
        Pending question;
        question.query.assign(buffer, static_cast<size_t>(got));
        question.from.assign(reinterpret_cast<uint8_t*>(&from),
                             reinterpret_cast<uint8_t*>(&from) + fromSize);
        if (!ReadQuestion(question)) continue;
        std::vector<Pending> due;
        {
            std::lock_guard<std::mutex> hold(lock_);
            ++questions_[{question.name, question.type}];
            ++totalQuestions_;
            held_.push_back(std::move(question));
            if (totalQuestions_ >= holdUntil_) due.swap(held_);
        }
        for (const Pending& pending : due) {
            std::string reply = Compose(pending);
            if (reply.empty()) continue;
            ::sendto(udp_, reply.data(), reply.size(), 0,
                     reinterpret_cast<const sockaddr*>(pending.from.data()),
                     static_cast<socklen_t>(pending.from.size()));
        }
    }
}

bool FakeDnsServer::ReadQuestion(Pending& question) {
    // Labels from offset 12, then the root label, type and class.
    const std::string& query = question.query;
    std::string name;
    size_t at = kHeaderBytes;
    while (at < query.size() && query[at] != 0) {
        auto length = static_cast<uint8_t>(query[at]);
        if (length > 63 || at + 1 + length >= query.size()) return false;
        if (!name.empty()) name += '.';
        name += query.substr(at + 1, length);
        at += 1 + length;
    }
    question.questionEnd = at + 5;
    if (query.size() < question.questionEnd) return false;
    question.type = static_cast<uint16_t>(static_cast<uint8_t>(query[at + 1]) << 8 |
                                          static_cast<uint8_t>(query[at + 2]));
    question.name = LowerName(name);
    return true;
}

std::string FakeDnsServer::Compose(const Pending& question) {
    const std::string& query = question.query;
    const std::string& name = question.name;
    uint16_t type = question.type;
    std::lock_guard<std::mutex> hold(lock_);
    auto chosen = replies_.find(name);
    Reply reply = chosen == replies_.end() ? defaultReply_ : chosen->second;
    if (reply == Reply::kSilent) return "";

    uint8_t rcode = 0;
    std::string answers;
    std::string authority;
    int answerCount = 0;
    auto known = records_.find(name);
    switch (reply) {
        case Reply::kServfail:
            rcode = kRcodeServfail;
            break;
        case Reply::kRefused:
            rcode = kRcodeRefused;
            break;
        case Reply::kMalformed:
            // Claims four bytes of address and carries two.
            answers.append(kQuestionNamePointer, sizeof kQuestionNamePointer);
            Put16(answers, type);
            Put16(answers, 1);
            Put32(answers, 60);
            Put16(answers, 4);
            answers += "\x7F";
            answers += '\0';
            answerCount = 1;
            break;
        default:
            if (reply == Reply::kNxdomain || known == records_.end()) rcode = kRcodeNxdomain;
            if (rcode == 0) {
                for (const Record& record : known->second) {
                    if (record.type != type) continue;
                    PutRecord(answers, record.type, record.ttl, record.data);
                    ++answerCount;
                }
            }
            if (answerCount == 0 && negativeTtl_ > 0) {
                PutRecord(authority, kTypeSoa, negativeTtl_, SoaData(negativeTtl_));
            }
    }
    std::string out = query.substr(0, 2);  // the question's ID
    uint8_t recursionDesired = static_cast<uint8_t>(query[2]) & 0x01;
    uint8_t truncated = reply == Reply::kTruncated ? 0x02 : 0;
    out += static_cast<char>(0x80 | truncated | recursionDesired);  // QR, TC, RD
    out += static_cast<char>(0x80 | rcode);                         // RA, RCODE
    Put16(out, 1);
    Put16(out, static_cast<uint16_t>(answerCount));
    Put16(out, authority.empty() ? 0 : 1);
    Put16(out, 0);
    out += query.substr(kHeaderBytes, question.questionEnd - kHeaderBytes);
    return out + answers + authority;
}

}  // namespace dnstest
