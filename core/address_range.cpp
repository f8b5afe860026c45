#include "core/address_range.h"

#include <fstream>

#include "core/log.h"
#include "core/text.h"

namespace {

constexpr int kFullPrefix = 32;  // a single address

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

}  // namespace

AddressRange ParseAddressRange(std::string_view line) {
    std::string_view addressPart = line.substr(0, line.find(' '));
    size_t slash = addressPart.find('/');
    int64_t prefix = kFullPrefix;
    if (slash != std::string_view::npos) {
        prefix = LeadingNumber(addressPart.substr(slash + 1));
        addressPart = addressPart.substr(0, slash);
    }
    // A prefix beyond 32 (or below 1) names no wider range than one address.
    if (prefix <= 0 || prefix > kFullPrefix) prefix = kFullPrefix;
    AddressRange range;
    range.low = DottedValue(addressPart);
    uint64_t span = uint64_t{1} << (kFullPrefix - prefix);
    range.high = static_cast<uint32_t>(range.low + span - 1);  // modulo 2^32
    return range;
}

const AddressRange* FindAddressRange(const std::vector<AddressRange>& list, uint32_t address) {
    for (const AddressRange& range : list) {
        if (range.low <= address && address <= range.high) return &range;
    }
    return nullptr;
}

std::vector<AddressRange> LoadAddressList(const AddressListFile& file,
                                          const std::string& directory) {
    const std::string path = directory + std::string(file.name);
    // Creates the file when it is missing, without touching an existing one.
    std::ofstream append(path, std::ios::binary | std::ios::app);
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) return {};
    if (in.peek() == std::ifstream::traits_type::eof()) {
        append << file.header1 << "\r\n" << file.header2 << "\r\n";
        return {};
    }
    WriteLog(file.loadingText, -1, kLogProgress);
    std::vector<AddressRange> list;
    std::string line;
    // getline sets eof only on a final line without LF.
    while (std::getline(in, line) && !in.eof()) {
        std::erase(line, '\r');
        if (line.empty()) break;
        if (line[0] == '#') continue;
        AddressRange range = ParseAddressRange(line);
        if (file.keepText) range.text = line;
        list.push_back(std::move(range));
    }
    return list;
}
