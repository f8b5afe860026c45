// The two listeners: accept client connections on the POP3 and NNTP ports,
// admit or refuse them by the access list, give each admitted client a slot
// and start its session thread.
#pragma once

#include <cstdint>

#include "net/connection.h"

// The session of one admitted client, run in a thread of its own; it owns
// the client's connection (entry state kSession) and returns when the
// session has ended.
using SessionBody = void (*)(Connection client);

enum ListenerKind : int { kPop3Listener = 0, kNntpListener = 1 };

// ListenerExitCode while the listener runs (the system's "still active").
inline constexpr int kListenerRunning = 259;
// ListenerExitCode of a listener ended by StopListener.
inline constexpr int kListenerStopped = 1;

// Hands the listeners the session bodies they start for admitted clients,
// each called with the client's connection in a thread of its own. nullptr
// keeps the placeholder body of that protocol (greeting, close, release).
void SetSessionBodies(SessionBody pop3Body, SessionBody nntpBody);

// Runs the listener of `which` on `port` (0: the system chooses one) in the
// calling thread. Returns 0 when no socket could be created (StopRequests is
// raised then), -1 when the port cannot be bound or listened on, and
// kListenerStopped after StopListener; it does not return otherwise.
int RunListener(int which, int port);

// Starts the listener of `which` in a thread of its own. Returns false (exit
// code 0) when no thread could be started.
bool StartListener(int which, int port);

// Returns kListenerRunning while the listener started last runs, its result
// once it has ended (-1, 0 or kListenerStopped), 0 when it was never started.
int ListenerExitCode(int which);

// Returns the port the listener listens on (the chosen one when it was given
// 0), or 0 while it is not listening.
int ListenerPort(int which);

// Ends the listener of `which` (its listening socket is shut down) and waits,
// at most about two seconds, until its thread has ended. Sessions it started
// go on. Nothing happens when it does not run.
void StopListener(int which);

// StopListener for both listeners.
void StopListeners();

// The address the listeners bind to (network byte order): all interfaces
// unless a test asks for the loopback address only.
void SetListenerAddressForTesting(uint32_t address);
