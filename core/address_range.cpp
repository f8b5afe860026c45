#include "core/address_range.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>
#include <sstream>

#include "core/log.h"
#include "core/text.h"
#include "platform/files.h"

namespace {

// The widest IPv6 prefix text: "128".
constexpr size_t kLongestIpv6PrefixText = 3;

// The address value of "a.b.c.d": missing parts are 0 and each part keeps
// only its low 8 bits.
uint32_t DottedValue(std::string_view dotted) {
    uint32_t value = 0;
    for (int part = 0; part < 4; ++part) {
        size_t dot = dotted.find('.');
        std::string_view piece = dotted.substr(0, dot);
        value = (value << 8) | static_cast<uint32_t>(LeadingNumber(piece) & 0xFF);
        dotted = dot == std::string_view::npos ? std::string_view() : dotted.substr(dot + 1);
    }
    return value;
}

// An entry that matches nothing: its low end lies above its high end.
AddressRange EmptyRange() {
    AddressRange range;
    range.low = PrefixEnd(AnyAddress(IpFamily::kIpv6), 0);
    range.high = AnyAddress(IpFamily::kIpv6);
    return range;
}

// IPv6 entries came long after the lists' lenient dotted reading; they get
// none of its quirks. An entry that is not exactly an address with a prefix
// matches nothing, rather than some other address a typing error names.
AddressRange ParseIpv6Range(std::string_view addressPart) {
    size_t slash = addressPart.find('/');
    IpAddress address;
    if (!ParseIpAddress(addressPart.substr(0, slash), address)) return EmptyRange();
    int prefix = kIpv6Bits;
    if (slash != std::string_view::npos) {
        std::string_view digits = addressPart.substr(slash + 1);
        if (digits.empty() || digits.size() > kLongestIpv6PrefixText ||
            !std::all_of(digits.begin(), digits.end(),
                         [](char c) { return c >= '0' && c <= '9'; })) {
            return EmptyRange();
        }
        std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
        if (prefix > kIpv6Bits) return EmptyRange();
    }
    // A mapped address was read as IPv4: its prefix counts the 96 mapped bits.
    if (address.family == IpFamily::kIpv4) {
        prefix -= kIpv6Bits - kIpv4Bits;
        if (prefix < 0) return EmptyRange();
    }
    AddressRange range;
    range.low = PrefixStart(address, prefix);
    range.high = PrefixEnd(address, prefix);
    return range;
}

AddressRange ParseIpv4Range(std::string_view addressPart) {
    size_t slash = addressPart.find('/');
    int64_t prefix = kIpv4Bits;
    if (slash != std::string_view::npos) {
        prefix = LeadingNumber(addressPart.substr(slash + 1));
        addressPart = addressPart.substr(0, slash);
    }
    // A prefix beyond 32 (or below 1) names no wider range than one address.
    if (prefix <= 0 || prefix > kIpv4Bits) prefix = kIpv4Bits;
    uint32_t low = DottedValue(addressPart);
    uint64_t span = uint64_t{1} << (kIpv4Bits - prefix);
    AddressRange range;
    range.low = Ipv4Address(low);
    range.high = Ipv4Address(static_cast<uint32_t>(low + span - 1));  // modulo 2^32
    return range;
}

}  // namespace

AddressRange ParseAddressRange(std::string_view line) {
    std::string_view addressPart = line.substr(0, line.find(' '));
    size_t colon = addressPart.find(':');
    bool ipv6 = colon != std::string_view::npos && colon < addressPart.find('.');
    return ipv6 ? ParseIpv6Range(addressPart) : ParseIpv4Range(addressPart);
}

const AddressRange* FindAddressRange(const std::vector<AddressRange>& list,
                                     const IpAddress& address) {
    for (const AddressRange& range : list) {
        if (range.low.family == address.family && range.low <= address && address <= range.high) {
            return &range;
        }
    }
    return nullptr;
}

std::shared_ptr<const AddressList> PublishedAddressList::Current() const {
    std::lock_guard guard(lock_);
    if (list_ != nullptr) return list_;
    static const auto& empty = *new std::shared_ptr<const AddressList>(new AddressList());
    return empty;
}

void PublishedAddressList::Publish(AddressList list) {
    auto next = std::make_shared<const AddressList>(std::move(list));
    std::lock_guard guard(lock_);
    // The old list is released after the lock, by its last reader.
    list_.swap(next);
}

std::string AddressRangeProblem(std::string_view line) {
    std::string_view part = line.substr(0, line.find(' '));
    size_t slash = part.find('/');
    std::string_view address = part.substr(0, slash);
    size_t colon = part.find(':');
    bool ipv6 = colon != std::string_view::npos && colon < part.find('.');
    IpAddress parsed;
    bool valid = ParseIpAddress(address, parsed) &&
                 (ipv6 || (parsed.family == IpFamily::kIpv4 && address.find(':') == address.npos));
    if (!valid) {
        return "\"" + std::string(address) + "\" is not an " + (ipv6 ? "IPv6" : "IPv4") +
               " address";
    }
    if (slash == std::string_view::npos) return {};
    std::string_view digits = part.substr(slash + 1);
    int low = ipv6 ? 0 : 1;
    int high = ipv6 ? kIpv6Bits : kIpv4Bits;
    int prefix = -1;
    bool number =
        !digits.empty() && digits.size() <= kLongestIpv6PrefixText &&
        std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (number) std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
    if (prefix < low || prefix > high) {
        return "prefix \"/" + std::string(digits) + "\" is not " + std::to_string(low) + ".." +
               std::to_string(high);
    }
    return {};
}

AddressListRead ReadAddressList(const AddressListFile& file, const std::string& directory) {
    AddressListRead read;
    read.path = directory + std::string(file.name);
    read.found = FileExists(read.path);
    std::ifstream in(read.path, std::ios::binary);
    read.readable = in.is_open();
    if (!read.found) return read;
    auto add = [&](int64_t line, std::string text, Severity severity) {
        read.problems.push_back({read.path, line, std::move(text), severity});
    };
    if (!read.readable) {
        add(0, "cannot be read", Severity::kError);
        return read;
    }
    std::string data(std::istreambuf_iterator<char>(in), {});
    if (file.decode != nullptr) {
        for (Problem& found : file.decode(data, read.path)) read.problems.push_back(found);
    }
    std::istringstream lines(data);
    std::string line;
    int64_t number = 0;
    bool ended = false;
    while (std::getline(lines, line)) {
        ++number;
        // getline sets eof only on a final line without LF.
        const bool last = lines.eof();
        std::erase(line, '\r');
        if (ended || last) {
            if (!line.empty() && line[0] != '#') {
                add(number,
                    ended ? "not read: an empty line above ends the list"
                          : "last line has no line end and is not read",
                    Severity::kWarning);
            }
            if (last) break;
            continue;
        }
        if (line.empty()) {
            ended = true;
            continue;
        }
        if (line[0] == '#') continue;
        std::string problem = AddressRangeProblem(line);
        if (!problem.empty()) add(number, std::move(problem), Severity::kError);
        AddressRange range = ParseAddressRange(line);
        if (file.keepText) range.text = line;
        read.entries.push_back(std::move(range));
    }
    return read;
}

std::vector<AddressRange> LoadAddressList(const AddressListFile& file,
                                          const std::string& directory) {
    const std::string path = directory + std::string(file.name);
    {
        // Creates the file when it is missing, without touching an existing one.
        std::ofstream append(path, std::ios::binary | std::ios::app);
        std::ifstream in(path, std::ios::binary);
        if (!in.is_open()) return {};
        if (in.peek() == std::ifstream::traits_type::eof()) {
            append << file.header1 << "\r\n" << file.header2 << "\r\n";
            return {};
        }
    }
    WriteLog(file.loadingText, -1, kLogProgress);
    return ReadAddressList(file, directory).entries;
}
