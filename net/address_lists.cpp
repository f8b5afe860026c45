#include "net/address_lists.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>

#include "core/globals.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/text.h"

// Allocated once and never freed: session threads read them until the end.
std::vector<AddressRange>& AccessList = *new std::vector<AddressRange>();
std::vector<AddressRange>& RelayBlacklist = *new std::vector<AddressRange>();

namespace {

constexpr size_t kReadBlockBytes = 4096;  // the reader takes the file in blocks of this size
constexpr int kFullPrefix = 32;           // a single address

struct ListFile {
    std::string_view name;
    std::string_view header1;
    std::string_view header2;
    std::string_view loadingText;
    bool keepText;  // the blacklist reports the line an address matched
};

constexpr ListFile kAccessFile{kAccessListFileName, "# Trawlbox IP access list      #",
                               "# Form: IP/CIDR <Space> Comment #", "Loading IP access list",
                               false};
constexpr ListFile kBlacklistFile{kRelayBlacklistFileName, "# Trawlbox RelayBlacklist      #",
                                  "# Form: IP/CIDR <Space> Comment #", "Loading Relay Blacklist",
                                  true};

// Open data files by number. Numbers are chosen and files opened under
// FileOpenLock; the loaders run one at a time on the main thread.
std::map<int, std::unique_ptr<std::fstream>>& OpenFiles() {
    static auto& files = *new std::map<int, std::unique_ptr<std::fstream>>();
    return files;
}

// The one reader state of ReadFileLine.
struct ReaderState {
    int file = -1;
    unsigned long long unread = 0;
    std::string pending;
};
ReaderState& Reader() {
    static auto& reader = *new ReaderState();
    return reader;
}

std::fstream* FileByNumber(int fileNumber) {
    auto found = OpenFiles().find(fileNumber);
    return found == OpenFiles().end() ? nullptr : found->second.get();
}

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

bool InList(const std::vector<AddressRange>& list, uint32_t value, const AddressRange** match) {
    for (const AddressRange& range : list) {
        if (range.low <= value && value <= range.high) {
            if (match) *match = &range;
            return true;
        }
    }
    return false;
}

uint32_t HostOrder(uint32_t networkAddress) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&networkAddress);
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

void LoadList(const ListFile& kind, const std::string& directory, std::vector<AddressRange>& list) {
    list.clear();
    int file = -1;
    if (!OpenSharedFile(directory + std::string(kind.name), file)) return;
    std::fstream& stream = *FileByNumber(file);
    stream.seekg(0, std::ios::end);
    std::streamoff length = stream.tellg();
    stream.seekg(0, std::ios::beg);
    if (length <= 0) {
        stream.clear();
        stream.seekp(0, std::ios::beg);
        stream << kind.header1 << "\r\n" << kind.header2 << "\r\n";
        stream.flush();
        CloseSharedFile(file);
        return;
    }
    WriteLog(kind.loadingText, -1, kLogProgress);
    int lineCounter = 0;
    bool atEnd = false;
    for (;;) {
        std::string line = ReadFileLine(file, lineCounter, atEnd);
        // An empty line ends the list, as does the end of the file.
        if (line.empty()) break;
        if (line[0] == '#') continue;
        AddressRange range = ParseAddressRange(line);
        if (kind.keepText) range.text = line;
        list.push_back(std::move(range));
    }
    CloseSharedFile(file);
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

void LoadAccessListFrom(const std::string& directory) {
    LoadList(kAccessFile, directory, AccessList);
}

void LoadRelayBlacklistFrom(const std::string& directory) {
    LoadList(kBlacklistFile, directory, RelayBlacklist);
}

void LoadAccessList() {
    LoadAccessListFrom(ProgramDirectory);
}

void LoadRelayBlacklist() {
    LoadRelayBlacklistFrom(ProgramDirectory);
}

bool IsAddressAllowed(uint32_t address) {
    return InList(AccessList, HostOrder(address), nullptr);
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
        const AddressRange* entry = nullptr;
        if (InList(RelayBlacklist, value, &entry)) {
            entryText = entry->text;
            return true;
        }
        at = i;
    }
    return false;
}

bool OpenSharedFile(const std::string& path, int& fileNumber) {
    std::lock_guard guard(FileOpenLock);
    fileNumber = -1;
    auto& files = OpenFiles();
    int number = 1;
    while (files.count(number)) ++number;
    // Create the file when it is missing, without touching an existing one.
    { std::ofstream create(path, std::ios::binary | std::ios::app); }
    auto stream =
        std::make_unique<std::fstream>(path, std::ios::binary | std::ios::in | std::ios::out);
    if (!stream->is_open()) return false;
    files.emplace(number, std::move(stream));
    fileNumber = number;
    return true;
}

void CloseSharedFile(int fileNumber) {
    std::lock_guard guard(FileOpenLock);
    OpenFiles().erase(fileNumber);
    if (Reader().file == fileNumber) Reader() = ReaderState{};
}

std::string ReadFileLine(int fileNumber, int& lineCounter, bool& atEnd) {
    std::fstream* stream = FileByNumber(fileNumber);
    ReaderState& reader = Reader();
    if (stream == nullptr) {
        atEnd = true;
        return {};
    }
    if (reader.file != fileNumber || stream->tellg() == 0) {
        // At the file's start: begin afresh.
        stream->clear();
        stream->seekg(0, std::ios::end);
        std::streamoff length = stream->tellg();
        stream->seekg(0, std::ios::beg);
        reader =
            ReaderState{fileNumber, length > 0 ? static_cast<unsigned long long>(length) : 0, {}};
        atEnd = false;
    }
    for (;;) {
        size_t lineFeed = reader.pending.find('\n');
        if (lineFeed != std::string::npos) {
            std::string line = reader.pending.substr(0, lineFeed);
            line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
            reader.pending.erase(0, lineFeed + 1);
            ++lineCounter;
            if (reader.unread == 0 && reader.pending.empty()) atEnd = true;
            return line;
        }
        if (reader.unread == 0) break;
        size_t block =
            static_cast<size_t>(std::min<unsigned long long>(kReadBlockBytes, reader.unread));
        std::string bytes(block, '\0');
        if (!stream->read(bytes.data(), static_cast<std::streamsize>(block))) {
            reader.unread = 0;
            reader.pending.clear();
            break;
        }
        reader.unread -= block;
        reader.pending += bytes;
    }
    atEnd = true;
    return {};
}
