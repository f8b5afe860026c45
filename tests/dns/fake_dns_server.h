// A small DNS server for the blocklist tests: answers A and TXT questions over
// UDP on a loopback port from names configured by the test, and can misbehave
// on purpose (never answer, refuse, fail, truncate, send a broken answer).
// It counts the questions it receives, so a test can tell a cached answer
// from a fresh one.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace dnstest {

inline constexpr uint16_t kTypeA = 1;
inline constexpr uint16_t kTypeSoa = 6;
inline constexpr uint16_t kTypeTxt = 16;

// How the server treats questions about a name.
enum class Reply : int {
    kAnswer,     // its records, NODATA when none of the asked type, NXDOMAIN when none at all
    kNxdomain,   // NXDOMAIN even if records are configured
    kServfail,   // rcode SERVFAIL
    kRefused,    // rcode REFUSED
    kSilent,     // no answer at all
    kTruncated,  // the answer with the TC bit set
    kMalformed,  // the right header and question, then a record cut short
};

class FakeDnsServer {
  public:
    // Serves UDP on `host` ("127.0.0.1" or "::1") at a port the system picks.
    explicit FakeDnsServer(const std::string& host = "127.0.0.1");
    ~FakeDnsServer();
    FakeDnsServer(const FakeDnsServer&) = delete;
    FakeDnsServer& operator=(const FakeDnsServer&) = delete;

    bool ok() const { return port_ != 0; }
    int port() const { return port_; }
    // The resolver as a setting would name it: "127.0.0.1:5353", "[::1]:5353".
    std::string ResolverText() const;

    // Names are matched without regard to case.
    void AddA(const std::string& name, const std::string& ipv4, uint32_t ttl);
    void AddTxt(const std::string& name, const std::string& text, uint32_t ttl);
    void SetReply(const std::string& name, Reply reply);
    // How every name without its own SetReply is treated (kAnswer at first).
    void SetDefaultReply(Reply reply);
    // The SOA minimum sent with NXDOMAIN and NODATA; 0 sends no SOA at all.
    void SetNegativeTtl(uint32_t seconds);
    // Keeps every answer back until this many questions have arrived.
    void HoldUntil(int questions);

    int Questions(const std::string& name, uint16_t type) const;
    int TotalQuestions() const;

  private:
    struct Record {
        uint16_t type;
        uint32_t ttl;
        std::string data;  // wire form of the record data
    };
    struct Pending {
        std::string query;
        std::vector<uint8_t> from;  // the sender's socket address
        std::string name;           // lower case
        uint16_t type = 0;
        size_t questionEnd = 0;  // offset just past the question
    };

    void Serve();
    // Fills name, type and questionEnd; false for a query the server cannot read.
    static bool ReadQuestion(Pending& question);
    // Returns the reply to send, or "" to send none.
    std::string Compose(const Pending& question);

    int udp_ = -1;
    int port_ = 0;
    bool ipv6_ = false;
    std::atomic<bool> stop_{false};
    mutable std::mutex lock_;
    std::map<std::string, std::vector<Record>> records_;
    std::map<std::string, Reply> replies_;
    Reply defaultReply_ = Reply::kAnswer;
    uint32_t negativeTtl_ = 300;
    int holdUntil_ = 0;
    std::vector<Pending> held_;
    std::map<std::pair<std::string, uint16_t>, int> questions_;
    int totalQuestions_ = 0;
    std::thread thread_;
};

}  // namespace dnstest
