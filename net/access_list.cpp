#include "net/access_list.h"

#include "codec/code_page.h"
#include "core/settings.h"

const AddressListFile kAccessListFile{kAccessListFileName,
                                      "# Trawlbox IP access list      #",
                                      "# Form: IP/CIDR <Space> Comment #",
                                      "Loading IP access list",
                                      false,
                                      TakeUtf8AddressList};

namespace {

// Allocated once and never freed: listener threads read it until the end.
PublishedAddressList& Published() {
    static PublishedAddressList& list = *new PublishedAddressList();
    return list;
}

}  // namespace

std::shared_ptr<const AddressList> CurrentAccessList() {
    return Published().Current();
}

void PublishAccessList(AddressList list) {
    Published().Publish(std::move(list));
}

void LoadAccessListFrom(const std::string& directory) {
    PublishAccessList(LoadAddressList(kAccessListFile, directory));
}

void LoadAccessList() {
    LoadAccessListFrom(ProgramDirectory);
}

bool IsAddressAllowed(const IpAddress& address) {
    return FindAddressRange(*CurrentAccessList(), address) != nullptr;
}
