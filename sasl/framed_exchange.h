// One SASL login carried by a protocol's framing: the loop between the
// mechanism's steps and the server's replies, the same for POP3 (AUTH and
// "+ " continuations, RFC 5034) and news (AUTHINFO SASL and 383
// continuations, RFC 4643). Both start with a command that names the
// mechanism and send every response as a Base64 line; a framing says how a
// line leaves, how a reply arrives and how a refusal is reported.
#pragma once

#include <string>
#include <string_view>

#include "sasl/client.h"

// What a server's reply means for the exchange.
enum class SaslReplyKind {
    kChallenge,  // the server goes on: `data` is the next challenge
    kAccepted,   // the login is accepted; `data` is the success data ("" when none)
    kRefused,    // anything else, a lost link included
};

struct SaslReply {
    SaslReplyKind kind = SaslReplyKind::kRefused;
    std::string data;  // decoded
    std::string line;  // the server's line as it came; "" when the link failed
};

class SaslFraming {
  public:
    // `command` starts the exchange, followed by a space and the mechanism's
    // name ("AUTH", "AUTHINFO SASL"); `maxCommandOctets` caps that line with
    // its initial response and CR LF, as the protocol caps a command line.
    SaslFraming(std::string_view command, size_t maxCommandOctets)
        : command_(command), maxCommandOctets_(maxCommandOctets) {}
    virtual ~SaslFraming() = default;

    std::string_view command() const { return command_; }
    size_t maxCommandOctets() const { return maxCommandOctets_; }

    // Sends the line and CR LF.
    virtual void SendLine(std::string_view line) = 0;

    // Reads the server's next reply. `sentAs` is the status of the step whose
    // response was sent last (kRespond before the first challenge), for
    // framings that read a reply by what was sent.
    virtual SaslReply Receive(SaslStatus sentAs) = 0;

    // The server refused: `line` is its reply ("" when the link failed).
    // `mechanismText` is the refusal text of the step whose response was
    // refused, to be logged in place of the server's line when it has one.
    virtual void Refused(std::string_view line, const SaslLogLine& mechanismText) = 0;

    // The mechanism gave up while the server waits for its response (its
    // log lines are written). The framing may withdraw on the wire.
    virtual void GiveUp() = 0;

  private:
    std::string_view command_;
    size_t maxCommandOctets_;
};

// Runs the login of `exchange.mechanism` through the framing, writing every
// step's log lines under `slot`, and returns true when the server accepted
// it. The starting command is logged as "Sending <command> <NAME>"; the
// initial response goes on its line in Base64 ("=" when it is empty, as RFC
// 5034, 4 and RFC 4643, 2.4.2 have it) unless that line would pass the
// framing's cap, and is never logged: it may hold a secret. Returns false when the server refused
// (the framing's Refused was called), when the mechanism gave up (GiveUp was called while the
// server waited; after the server's success nothing is called), or when the exchange has no
// mechanism or its initial response failed (nothing is sent then).
//
// A mechanism with an initial response gives it at round 0 without a
// challenge. A challenge after a kRespondLast step refuses the login unless
// the mechanism answers error challenges; then that step answers it. Success
// data, or a success in place of a challenge, goes to the mechanism's next
// step: a step that fails refuses the login even then; one that still has a
// response to send finds the server's verdict standing, and its lines are
// not written because nothing is sent.
bool RunSaslExchange(SaslExchange& exchange, SaslFraming& framing, int slot);
