// The operator's keys: Enter lists the sessions, "k" closes them all, "r"
// reloads the configuration (ReloadConfiguration), ESC closes them all
// before the supervision loop stops the program.
#pragma once

#include <string>

// Handles one key as read by ConsoleReadKey: "" for none, one character for
// an ordinary key, two (the first a zero byte) for arrow and function keys,
// which do nothing. Letters count in either case. Writes the session list
// through ConsoleWriteLine; closing goes through CloseFromOutside, so a
// session's own thread sees its connection fail and ends by itself.
void HandleConsoleKey(const std::string& key);

// Returns the session-list line of a slot: "hh:mm:ss:  a.b.c.d:port ID n
// S n T n " with the given time, an IPv6 address as "[2001:db8::1]:port",
// followed for a session whose login named them by "server#account"
// ("pop.example.org:995#alice"; just the server without an account);
// "" for a slot outside 1..kSlotCount.
std::string SessionListLine(int hour, int minute, int second, int slot);
