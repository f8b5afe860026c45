#include "net/placeholder_session.h"

#include <string>

#include "core/globals.h"

namespace {

void GreetAndEnd(Connection& client, const std::string& greeting) {
    client.SendLine(greeting);
    client.Close();
    client.Release();
}

}  // namespace

void Pop3PlaceholderSession(Connection client) {
    GreetAndEnd(client, "+OK POP3-Trawlbox " + std::string(ProgramVersion) + " Server #" +
                            std::to_string(client.slot()) + " ready,");
}

void NntpPlaceholderSession(Connection client) {
    GreetAndEnd(client, "200 NNTP-Trawlbox " + std::string(ProgramVersion) + " Server #" +
                            std::to_string(client.slot()) + " ready");
}
