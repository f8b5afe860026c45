// One POP3 client, from its greeting to its good-bye. In the authorisation
// state the USER and PASS arguments name, besides the real account and
// password, the real server, an optional login method and an optional
// envelope address; a complete pair connects upstream, logs in, scans and
// cleans the mailbox, and only then answers PASS. In the transaction state
// the client is served the cleaned view.
#pragma once

#include <string>
#include <string_view>

#include "net/connection.h"
#include "net/listener.h"
#include "pop3/mailbox_view.h"

// The session thread's body, started by the POP3 listener with the client's
// connection. Returns when the session has ended and both its connections
// (client and upstream) have been released.
void RunPop3Session(Connection client);

// As RunPop3Session, for a client of the implicit-TLS listener: the
// handshake comes first; a client that fails it is closed without a word.
void RunPop3sSession(Connection client);

// What the listener needs to serve POP3: the name "Pop3" in its log texts,
// the Pop3Timeout setting, the refusal line and RunPop3Session.
extern const ListenerDescription kPop3ListenerDescription;

// The same for the implicit-TLS listener: "Pop3s" and RunPop3sSession. The
// refusal of a denied address is sent before any handshake, in plaintext.
extern const ListenerDescription kPop3sListenerDescription;

// Takes USER's argument, "[method:]host[:port]#account" (ParseLoginTarget):
// a method replaces the session's method (a USER without one keeps it);
// host, port (0 when none is written) and account replace the session's. An
// IPv6 host is written in brackets, which the host keeps
// ("[2001:db8::1]:1110#account", "plain:[::1]#alice"). Sets userSeen and
// returns true; returns false, with the method's name in `unknownMethod`
// and the session untouched, when FindLoginMethod does not know it.
bool TakeUserArgument(Pop3Session& session, std::string_view argument, std::string& unknownMethod);

// Takes PASS's argument, "password[#envelope]" (everything after "PASS " to
// the end of the line: a password may hold spaces): the password is the text
// before the first "#", the envelope the text up to the next "#", or
// kDefaultEnvelope when that is empty.
void TakePassArgument(Pop3Session& session, std::string_view argument);

// Returns the APOP time stamp of a server greeting: from its first "<" to the
// next ">", both included; "" when there is none.
std::string ApopStamp(std::string_view greeting);

// Makes an idle client's session send NOOP upstream after `milliseconds`
// instead of the usual minute; 0 restores the minute. For tests.
void SetUpstreamNoopIntervalForTesting(int milliseconds);
