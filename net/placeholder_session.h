// Stand-in session bodies: they greet the client as the protocol's session
// would, then close and give back its connection. The listeners start them
// until start-up hands over the real sessions (SetSessionBodies).
#pragma once

#include "net/connection.h"

// "+OK POP3-Trawlbox v0.25 Server #N ready," then close and release slot N.
void Pop3PlaceholderSession(Connection client);

// "200 NNTP-Trawlbox v0.25 Server #N ready" then close and release slot N.
void NntpPlaceholderSession(Connection client);
