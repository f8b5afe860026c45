// Copies of killed messages, taken before their DELE: each killed message is
// fetched whole with RETR and kept in the account's quarantine Maildir
// (store/quarantine.h); only a copy that is safely on disk and indexed lets
// its message be deleted on the server. Anything that stands in the way (no
// room, no permission, no database, a refused RETR, a link lost mid-message,
// a message above QuarantineMaxMessageKB) leaves the message on the server,
// hidden from the client as with SKIP, and its report entry says why.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pop3/kill_report.h"
#include "pop3/mailbox_view.h"

// A message the scan killed, waiting for its copy and its DELE.
struct KilledMessage {
    int64_t number = 0;  // on the server
    // What its report entry and its quarantine record tell (code page 437,
    // as every text of the scan).
    std::string from;
    std::string subject;
    std::string messageId;
    int64_t size = 0;                      // as the scan learnt it
    std::vector<std::string> headerLines;  // the kept header lines, in order
    KillReasonFields fields;
};

// How the RETRs and DELEs go to the server.
enum class CopyPace {
    kPipelined,  // a window of commands ahead of their answers (RFC 2449)
    kOneByOne,   // each command waits for the answer to the one before
};

// Copies every killed message of `kills` into the quarantine directory
// `directory` (not "") and deletes those copied on the server, in order.
// For each message a report entry (with its quarantine id, or with why it
// was kept on the server) is appended to session.killReport; a kept message
// is logged at level 2 with why. An entry counts as deleted only when the
// copy is indexed and the server accepted its DELE. Keeps the waiting
// client's countdown from running out. Returns false when the upstream link
// failed or an answer went missing (every message not yet copied is then
// kept and reported so, and the link must not be used further).
bool CopyKilledMessages(Pop3Session& session, const std::vector<KilledMessage>& kills,
                        const std::string& directory, CopyPace pace);
