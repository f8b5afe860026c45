#include "filter/relay_list.h"

#include <cstdint>

#include "core/settings.h"

// Allocated once and never freed: session threads read it until the end.
std::vector<AddressRange>& RelayBlacklist = *new std::vector<AddressRange>();

namespace {

constexpr AddressListFile kBlacklistFile{
    kRelayBlacklistFileName, "# Trawlbox RelayBlacklist      #",
    "# Form: IP/CIDR <Space> Comment #", "Loading Relay Blacklist", true};

}  // namespace

void LoadRelayBlacklistFrom(const std::string& directory) {
    RelayBlacklist = LoadAddressList(kBlacklistFile, directory);
}

void LoadRelayBlacklist() {
    LoadRelayBlacklistFrom(ProgramDirectory);
}

bool FindBlacklistedRelay(std::string_view text, std::string& entryText) {
    // The search reads parentheses as brackets and "_" as ".": it looks for
    // "[" digits "." digits "." digits "." digits "]", tried at every opening
    // bracket from left to right.
    auto isOpen = [](char c) { return c == '[' || c == '('; };
    auto isClose = [](char c) { return c == ']' || c == ')'; };
    auto isDot = [](char c) { return c == '.' || c == '_'; };
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    size_t at = 0;
    while (at < text.size()) {
        if (!isOpen(text[at])) {
            ++at;
            continue;
        }
        size_t i = at + 1;
        uint32_t value = 0;
        bool matched = true;
        for (int part = 0; part < 4 && matched; ++part) {
            unsigned lowByte = 0;  // only the low 8 bits of each number count
            size_t digits = 0;
            while (i < text.size() && isDigit(text[i])) {
                lowByte = (lowByte * 10 + static_cast<unsigned>(text[i] - '0')) & 0xFF;
                ++i;
                ++digits;
            }
            bool separator = i < text.size() && (part < 3 ? isDot(text[i]) : isClose(text[i]));
            matched = digits > 0 && separator;
            if (matched) {
                value = (value << 8) | lowByte;
                ++i;
            }
        }
        if (!matched) {
            ++at;
            continue;
        }
        if (const AddressRange* entry = FindAddressRange(RelayBlacklist, Ipv4Address(value))) {
            entryText = entry->text;
            return true;
        }
        at = i;
    }
    return false;
}
