#include "net/access_list.h"

#include "core/settings.h"

// Allocated once and never freed: session threads read it until the end.
std::vector<AddressRange>& AccessList = *new std::vector<AddressRange>();

namespace {

constexpr AddressListFile kAccessFile{kAccessListFileName, "# Trawlbox IP access list      #",
                                      "# Form: IP/CIDR <Space> Comment #", "Loading IP access list",
                                      false};

uint32_t HostOrder(uint32_t networkAddress) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&networkAddress);
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

}  // namespace

void LoadAccessListFrom(const std::string& directory) {
    AccessList = LoadAddressList(kAccessFile, directory);
}

void LoadAccessList() {
    LoadAccessListFrom(ProgramDirectory);
}

bool IsAddressAllowed(uint32_t address) {
    return FindAddressRange(AccessList, HostOrder(address)) != nullptr;
}
