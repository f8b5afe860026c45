#include "net/placeholder_session.h"

#include <string>

#include "core/globals.h"
#include "net/line_io.h"
#include "net/session_table.h"

namespace {

void GreetAndEnd(int32_t slot, const std::string& greeting) {
    SendLine(slot, greeting);
    CloseSlot(slot);
    ReleaseSlot(slot);
}

}  // namespace

void Pop3PlaceholderSession(int32_t slot) {
    GreetAndEnd(slot, "+OK POP3-Trawlbox " + std::string(ProgramVersion) + " Server #" +
                          std::to_string(slot) + " ready,");
}

void NntpPlaceholderSession(int32_t slot) {
    GreetAndEnd(slot, "200 NNTP-Trawlbox " + std::string(ProgramVersion) + " Server #" +
                          std::to_string(slot) + " ready");
}
