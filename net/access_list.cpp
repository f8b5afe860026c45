#include "net/access_list.h"

#include "core/settings.h"

// Allocated once and never freed: session threads read it until the end.
std::vector<AddressRange>& AccessList = *new std::vector<AddressRange>();

namespace {

constexpr AddressListFile kAccessFile{kAccessListFileName, "# Trawlbox IP access list      #",
                                      "# Form: IP/CIDR <Space> Comment #", "Loading IP access list",
                                      false};

}  // namespace

void LoadAccessListFrom(const std::string& directory) {
    AccessList = LoadAddressList(kAccessFile, directory);
}

void LoadAccessList() {
    LoadAccessListFrom(ProgramDirectory);
}

bool IsAddressAllowed(const IpAddress& address) {
    return FindAddressRange(AccessList, address) != nullptr;
}
