#include "core/secret_text.h"

#include <array>

#include "core/text.h"

namespace {

// A command whose words after `keptWords` are its secret.
struct SecretCommand {
    std::string_view words;  // upper case, single spaces
    size_t commandWords;     // words in `words`
    size_t keptWords;        // shown: the command and the account or mechanism it names
};

constexpr std::array<SecretCommand, 5> kSecretCommands{{
    {"PASS", 1, 1},           // POP3 (RFC 1939)
    {"APOP", 1, 2},           // POP3: the account stays, the digest goes
    {"AUTH", 1, 2},           // POP3 (RFC 5034): an initial response
    {"AUTHINFO PASS", 2, 2},  // news (RFC 4643, 2.3)
    {"AUTHINFO SASL", 2, 3},  // news (RFC 4643, 2.4): an initial response
}};

// Continuations carry a challenge or a response; their code stays.
struct Continuation {
    std::string_view start;
    std::string_view shown;
};

constexpr std::array<Continuation, 2> kContinuations{{
    {"+ ", "+ ***"},     // POP3 (RFC 5034, 4)
    {"383", "383 ***"},  // news (RFC 4643, 2.4.1)
}};

// The first words of a line, cut at runs of spaces, in upper case; `ends[i]`
// is where word i ends in the line.
struct Words {
    std::array<std::string, 3> upper;
    std::array<size_t, 3> ends{};
    size_t count = 0;

    // The first `n` words, single-spaced.
    std::string Joined(size_t n) const {
        std::string text;
        for (size_t index = 0; index < n && index < count; ++index) {
            if (index > 0) text += ' ';
            text += upper[index];
        }
        return text;
    }
};

Words LeadingWords(std::string_view line) {
    Words words;
    size_t position = 0;
    while (words.count < words.ends.size()) {
        const size_t start = line.find_first_not_of(' ', position);
        if (start == std::string_view::npos) break;
        size_t end = line.find(' ', start);
        if (end == std::string_view::npos) end = line.size();
        words.upper[words.count] = UpperCase(line.substr(start, end - start));
        words.ends[words.count++] = end;
        position = end;
    }
    return words;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsFinalReply(std::string_view line) {
    if (StartsWith(line, "+OK") || StartsWith(line, "-ERR")) return true;
    const bool code = line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]);
    return code && !StartsWith(line, "383");
}

}  // namespace

std::string ShownLine(std::string_view line, bool inSaslExchange) {
    const Words words = LeadingWords(line);
    for (const SecretCommand& command : kSecretCommands) {
        if (words.count < command.commandWords ||
            words.Joined(command.commandWords) != command.words) {
            continue;
        }
        // Without its secret part a command is shown as it is.
        if (words.count < command.keptWords) return std::string(line);
        const size_t kept = words.ends[command.keptWords - 1];
        if (kept == line.size()) return std::string(line);
        return std::string(line.substr(0, kept)) + " " + std::string(kSecretMask);
    }
    if (!inSaslExchange || IsFinalReply(line)) return std::string(line);
    for (const Continuation& continuation : kContinuations) {
        if (StartsWith(line, continuation.start)) return std::string(continuation.shown);
    }
    return std::string(kSecretMask);
}
