// Talking to the service manager that started this process, when there is
// one: a unit of Type=notify waits for READY=1 before it counts as started.
#pragma once

#include <string_view>

// Sends `state` ("READY=1", "STOPPING=1", ...) to the service manager named
// by NOTIFY_SOCKET. Does nothing when no service manager listens; a failed
// send is not the service's concern.
void TellServiceManager(std::string_view state);

// Returns true when standard input is a terminal, so a person watches the
// console; false under a service manager.
bool StandardInputIsTerminal();
