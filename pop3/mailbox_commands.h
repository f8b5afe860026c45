// The client's message commands TOP, RETR, DELE, LIST and UIDL, answered
// against the session's cleaned view: client numbers are mapped to server
// numbers, the command is forwarded upstream and its reply relayed, or, for
// the kill report message and released messages, answered from the
// session's own copy.
#pragma once

#include <string>

#include "pop3/mailbox_view.h"

// One command line of the client, split at single spaces.
struct ClientCommand {
    std::string name;      // the first field, upper-cased
    std::string argument;  // the second field; "" when there is none
    std::string rest;      // everything after the first space; "" when there is none
};

// Splits a client's line into a ClientCommand.
ClientCommand SplitClientCommand(const std::string& line);

// Each handler sends its whole reply to session.client. A number outside
// the client's view, or of a message it deleted, gets "-ERR no such message"
// (TOP: followed by " Arg" for the first case); TOP, RETR and DELE without
// argument get "-ERR unknown command". A refused or lost upstream gives
// "-ERR no such message" and changes nothing.

// TOP n [lines]: the header and the first `lines` body lines (0 when not
// given), announced with the size of the whole message.
void HandleTop(Pop3Session& session, const ClientCommand& command);

// RETR n: the whole message, at raised thread priority.
void HandleRetr(Pop3Session& session, const ClientCommand& command);

// DELE n: deletes on the server (carried out at the upstream QUIT), or,
// for the report and released messages, in the session only.
void HandleDele(Pop3Session& session, const ClientCommand& command);

// Takes the client's deletions back and keeps the scan's: for RSET, and
// before the upstream QUIT of a session the client left without QUIT, whose
// deletions must not be carried out (RFC 1939 section 6). The server knows
// only one RSET, which takes back both, so after it the scan's DELEs are
// sent again (one the server refuses is logged and stays there, hidden).
// Returns true when the client's deletions are taken back; false, with the
// view unchanged, when the server was lost or refused RSET: a QUIT would
// then carry them out.
bool UndoClientDeletions(Pop3Session& session);

// LIST [n]: sizes, numbered with gaps where the client deleted.
void HandleList(Pop3Session& session, const ClientCommand& command);

// UIDL [n]: unique ids, numbered as for LIST.
void HandleUidl(Pop3Session& session, const ClientCommand& command);
