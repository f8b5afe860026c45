// One news reader, from its greeting to its good-bye. The reader names its
// real news server in the login: AUTHINFO USER "[method:]host[#user]" and
// AUTHINFO PASS "password"; a method makes the login upstream AUTHINFO SASL.
// The proxy then connects there, logs in on the reader's behalf and relays
// every command and reply; overview lists (XOVER, OVER) come back filtered by
// the kill file.
#pragma once

#include <string>

#include "net/connection.h"
#include "net/listener.h"

// Outcomes of NntpLogin.
enum class NntpLoginResult {
    kReaderQuit,  // the reader sent QUIT; no reply was given
    kBridged,     // connected and logged in upstream; "281 ..." sent
    kFailed,      // a refusal line has been sent to the reader
    kPending,     // still waiting; returned when a connection failed
};

// The session thread's body, started by the NNTP listener with the reader's
// connection. Returns when the session has ended and both its connections
// (reader and server) have been released.
void RunNntpSession(Connection reader);

// What the listener needs to serve news: the name "Nntp" in its log texts,
// the NntpTimeout setting, the refusal line and RunNntpSession.
extern const ListenerDescription kNntpListenerDescription;

// As RunNntpSession, for a reader of the implicit-TLS listener: the
// handshake comes first; a reader that fails it is closed without a word.
void RunNntpsSession(Connection reader);

// The same for the implicit-TLS listener: "Nntps" and RunNntpsSession. The
// refusal of a denied address is sent before any handshake, in plaintext.
extern const ListenerDescription kNntpsListenerDescription;

// Runs the login phase on the reader's connection. Returns kPending when the
// reader's or the server's connection failed.
// `server` receives the server's connection after a successful connect (the
// caller closes and releases it whatever the result) and stays no
// connection otherwise. host, user and password are those the reader gave
// last.
NntpLoginResult NntpLogin(Connection& reader, Connection& server, std::string& host,
                          std::string& user, std::string& password);
