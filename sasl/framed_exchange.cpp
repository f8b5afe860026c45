#include "sasl/framed_exchange.h"

#include <optional>
#include <utility>

#include "codec/base64.h"
#include "core/log.h"

namespace {

// No mechanism spoken needs more than a few rounds; a server that never
// ends its challenges is not answered for ever.
constexpr int kMaxRounds = 16;

void WriteStepLog(const SaslStep& step, int slot) {
    for (const SaslLogLine& line : step.log) WriteLog(line.text, slot, line.level);
}

bool Responds(const SaslStep& step) {
    return step.status == SaslStatus::kRespond || step.status == SaslStatus::kRespondLast;
}

// The server has accepted before the mechanism's last response (success
// data, or a success where a challenge was due). The mechanism still judges
// what came with it: a server that has to prove itself and did not is
// refused all the same.
bool AcceptedEarly(SaslExchange& exchange, const SaslReply& reply, int slot) {
    const SaslStep step = SaslNextStep(exchange, reply.data);
    if (step.status == SaslStatus::kFailed) {
        WriteStepLog(step, slot);
        return false;
    }
    // A step that would still send something describes what is never sent.
    if (step.status == SaslStatus::kAccepted || step.response.empty()) WriteStepLog(step, slot);
    return true;
}

// The line end that counts against a command line's length.
constexpr size_t kLineEndOctets = 2;

// Sends the command that names the mechanism, with the initial response
// when there is one and the line can carry it. Returns false when it could
// not: the response then answers the server's first challenge.
bool Begin(SaslFraming& framing, std::string_view name, const std::string* initialResponse,
           int slot) {
    std::string line(framing.command());
    line += ' ';
    line += name;
    WriteLog("Sending " + line, slot, kLogProgress);
    bool carried = true;
    if (initialResponse != nullptr) {
        const std::string encoded = initialResponse->empty() ? "=" : Base64Encode(*initialResponse);
        carried = line.size() + 1 + encoded.size() + kLineEndOctets <= framing.maxCommandOctets();
        if (carried) line += " " + encoded;
    }
    framing.SendLine(line);
    return carried;
}

void Respond(SaslFraming& framing, std::string_view response) {
    framing.SendLine(Base64Encode(response));
}

}  // namespace

bool RunSaslExchange(SaslExchange& exchange, SaslFraming& framing, int slot) {
    if (exchange.mechanism == nullptr) return false;
    const SaslMechanism& mechanism = *exchange.mechanism;

    // What was sent last: its status tells how to take the reply, its
    // refusal text what to log when the server refuses it. The bare command
    // counts as a response after which a challenge must come.
    SaslStatus sentAs = SaslStatus::kRespond;
    SaslLogLine refusal;
    std::optional<SaslStep> held;  // an initial response the command could not carry
    if (mechanism.initialResponse) {
        SaslStep first = SaslNextStep(exchange, "");
        if (!Responds(first)) {
            WriteStepLog(first, slot);
            return false;
        }
        if (Begin(framing, mechanism.name, &first.response, slot)) {
            WriteStepLog(first, slot);
            sentAs = first.status;
            refusal = first.refusal;
        } else {
            held = std::move(first);
        }
    } else {
        Begin(framing, mechanism.name, nullptr, slot);
    }

    for (;;) {
        const SaslReply reply = framing.Receive(sentAs);
        const bool lastAnswered = sentAs == SaslStatus::kRespondLast;
        if (reply.kind == SaslReplyKind::kRefused ||
            (reply.kind == SaslReplyKind::kChallenge && lastAnswered &&
             !mechanism.answersErrorChallenge)) {
            framing.Refused(reply.line, refusal);
            return false;
        }
        if (reply.kind == SaslReplyKind::kAccepted) {
            return lastAnswered || held || AcceptedEarly(exchange, reply, slot);
        }
        if (held) {
            // The server's first challenge is empty (RFC 4422, 5): the
            // initial response answers it.
            WriteStepLog(*held, slot);
            Respond(framing, held->response);
            sentAs = held->status;
            refusal = held->refusal;
            held.reset();
            continue;
        }
        if (exchange.round >= kMaxRounds) {
            framing.GiveUp();
            return false;
        }
        const SaslStep step = SaslNextStep(exchange, reply.data);
        WriteStepLog(step, slot);
        switch (step.status) {
            case SaslStatus::kFailed:
                framing.GiveUp();
                return false;
            case SaslStatus::kAccepted:
                return true;
            case SaslStatus::kRespond:
            case SaslStatus::kRespondLast:
                Respond(framing, step.response);
                sentAs = step.status;
                refusal = step.refusal;
                break;
        }
    }
}
