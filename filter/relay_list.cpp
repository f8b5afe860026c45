#include "filter/relay_list.h"

#include <cstdint>

#include "codec/code_page.h"
#include "core/settings.h"
#include "core/text.h"

const AddressListFile kRelayBlacklistFile{kRelayBlacklistFileName,
                                          "# Trawlbox RelayBlacklist      #",
                                          "# Form: IP/CIDR <Space> Comment #",
                                          "Loading Relay Blacklist",
                                          true,
                                          TakeUtf8AddressList};

namespace {

// Allocated once and never freed: session threads read it until the end.
PublishedAddressList& Published() {
    static PublishedAddressList& list = *new PublishedAddressList();
    return list;
}

// The tag of an IPv6 address literal (RFC 5321 section 4.1.3).
constexpr std::string_view kIpv6Tag = "IPV6:";
// The longest text between brackets that can still be an address: the tag
// and the longest IPv6 text ("ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255").
// A search for the closer stops there, so that a line of many openers costs
// no more than a line of many addresses.
constexpr size_t kLongestLiteral = kIpv6Tag.size() + 45;  // INET6_ADDRSTRLEN - 1

bool IsOpen(char c) {
    return c == '[' || c == '(';
}

bool IsClose(char c) {
    return c == ']' || c == ')';
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsLetterOrDigit(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// True when `text` begins with `upper` (upper-case letters) in any case.
bool StartsWithWord(std::string_view text, std::string_view upper) {
    return text.size() >= upper.size() && UpperCase(text.substr(0, upper.size())) == upper;
}

// Reads an address literal between brackets or parentheses: an address
// written strictly, without blanks around it, with or without the IPv6 tag.
bool ReadLiteral(std::string_view inside, IpAddress& address) {
    if (StartsWithWord(inside, kIpv6Tag)) inside.remove_prefix(kIpv6Tag.size());
    return ParseIpAddress(inside, address);
}

// The IPv4 form the list has always read at text[at], an opener: "[" digits
// "." digits "." digits "." digits "]", with parentheses read as brackets and
// "_" as ".", each number keeping its low 8 bits. Returns the position after
// the closer, or npos when the text there is not of that form.
size_t ReadLenientIpv4(std::string_view text, size_t at, IpAddress& address) {
    auto isDot = [](char c) { return c == '.' || c == '_'; };
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    size_t i = at + 1;
    uint32_t value = 0;
    for (int part = 0; part < 4; ++part) {
        unsigned lowByte = 0;
        size_t digits = 0;
        while (i < text.size() && isDigit(text[i])) {
            lowByte = (lowByte * 10 + static_cast<unsigned>(text[i] - '0')) & 0xFF;
            ++i;
            ++digits;
        }
        bool separator = i < text.size() && (part < 3 ? isDot(text[i]) : IsClose(text[i]));
        if (digits == 0 || !separator) return std::string_view::npos;
        value = (value << 8) | lowByte;
        ++i;
    }
    address = Ipv4Address(value);
    return i;
}

// An IPv6 literal at text[at], an opener: the text up to the first closer
// (of either kind, as for IPv4). Returns the position after the closer, or
// npos when the text there is not one.
size_t ReadIpv6Literal(std::string_view text, size_t at, IpAddress& address) {
    std::string_view rest = text.substr(at + 1, kLongestLiteral + 1);
    size_t close = rest.find_first_of("])");
    if (close == std::string_view::npos) return std::string_view::npos;
    std::string_view inside = rest.substr(0, close);
    if (inside.find(':') == std::string_view::npos || !ReadLiteral(inside, address)) {
        return std::string_view::npos;
    }
    return at + 1 + close + 1;
}

// True when the word before text[at] is HELO or EHLO ("helo=[...]",
// "(HELO [...])"): the literal there is what the sender called itself.
bool NamedByHelo(std::string_view text, size_t at) {
    size_t end = at;
    while (end > 0 && IsBlank(text[end - 1])) --end;
    if (end > 0 && text[end - 1] == '=') --end;
    if (end < 4) return false;
    std::string_view word = text.substr(end - 4, 4);
    if (!StartsWithWord(word, "HELO") && !StartsWithWord(word, "EHLO")) return false;
    return end == 4 || !IsLetterOrDigit(text[end - 5]);
}

// True when text[at] begins the word "by" that ends a from part. Folded
// lines are joined without a blank, so a closer may stand right before it.
bool ByWordAt(std::string_view text, size_t at) {
    if (!StartsWithWord(text.substr(at), "BY")) return false;
    bool before = at == 0 || IsBlank(text[at - 1]) || IsClose(text[at - 1]);
    bool after = at + 2 == text.size() || IsBlank(text[at + 2]);
    return before && after;
}

// The relay address of one Received line (see TopRelayAddresses).
bool ReceivedFromAddress(std::string_view line, IpAddress& address) {
    std::string_view value = line.substr(line.find(':') + 1);
    while (!value.empty() && IsBlank(value.front())) value.remove_prefix(1);
    if (!StartsWithWord(value, "FROM") || value.size() == 4 ||
        !(IsBlank(value[4]) || IsOpen(value[4]))) {
        return false;
    }
    std::string_view part = value.substr(4);
    bool outsideFound = false;
    IpAddress outside;
    int depth = 0;
    for (size_t i = 0; i < part.size(); ++i) {
        char c = part[i];
        if (c == '(') {
            // "(192.0.2.5)", "(2001:db8::5)": the receiving server wrote the
            // address alone in its comment.
            std::string_view inside = part.substr(i + 1, kLongestLiteral + 1);
            size_t close = inside.find(')');
            if (close != std::string_view::npos &&
                ReadLiteral(Trim(inside.substr(0, close)), address)) {
                return true;
            }
            ++depth;
        } else if (c == ')') {
            if (depth > 0) --depth;
        } else if (c == '[') {
            size_t close = part.find(']', i);
            if (close == std::string_view::npos) break;
            IpAddress found;
            if (ReadLiteral(part.substr(i + 1, close - i - 1), found) && !NamedByHelo(part, i)) {
                if (depth > 0) {
                    address = found;
                    return true;
                }
                if (!outsideFound) outside = found;
                outsideFound = true;
            }
            i = close;
        } else if (depth == 0 && ByWordAt(part, i)) {
            break;
        }
    }
    if (outsideFound) address = outside;
    return outsideFound;
}

}  // namespace

std::shared_ptr<const AddressList> CurrentRelayBlacklist() {
    return Published().Current();
}

void PublishRelayBlacklist(AddressList list) {
    Published().Publish(std::move(list));
}

void LoadRelayBlacklistFrom(const std::string& directory) {
    PublishRelayBlacklist(LoadAddressList(kRelayBlacklistFile, directory));
}

void LoadRelayBlacklist() {
    LoadRelayBlacklistFrom(ProgramDirectory);
}

bool FindBlacklistedRelay(std::string_view text, std::string& entryText) {
    std::shared_ptr<const AddressList> list = CurrentRelayBlacklist();
    size_t at = 0;
    while (at < text.size()) {
        if (!IsOpen(text[at])) {
            ++at;
            continue;
        }
        IpAddress address;
        size_t end = ReadLenientIpv4(text, at, address);
        if (end == std::string_view::npos) end = ReadIpv6Literal(text, at, address);
        if (end == std::string_view::npos) {
            ++at;
            continue;
        }
        if (const AddressRange* entry = FindAddressRange(*list, address)) {
            entryText = entry->text;
            return true;
        }
        at = end;
    }
    return false;
}

std::vector<IpAddress> TopRelayAddresses(const std::vector<std::string>& lines, size_t depth) {
    std::vector<IpAddress> addresses;
    size_t seen = 0;
    for (const std::string& line : lines) {
        if (seen == depth) break;
        if (!StartsWithWord(line, "RECEIVED:")) continue;
        ++seen;
        IpAddress address;
        if (ReceivedFromAddress(line, address)) addresses.push_back(address);
    }
    return addresses;
}
