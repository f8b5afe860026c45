// A listener: accepts client connections on one port, admits or refuses them
// by the access list, gives each admitted client a slot and starts its
// session in a thread of its own. What it serves comes from the description
// of its protocol, which the protocol's own folder defines.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "core/settings.h"
#include "net/connection.h"
#include "platform/ip_address.h"

// The session of one admitted client, run in a thread of its own; it owns
// the client's connection (entry state kSession) and returns when the
// session has ended.
using SessionBody = void (*)(Connection client);

// Everything in which the listeners of the protocols differ.
struct ListenerDescription {
    // The protocol's name in the log texts: "Pop3" gives "Pop3-Listen at
    // Port", "Incoming Pop3-connection from '", "Starting Pop3-Thread
    // failed! (", ...
    std::string_view protocol;
    // The setting that holds the idle time-out of a client connection, read
    // at each accept.
    int32_t SettingsRecord::*timeoutSeconds;
    // The one line a client refused by the access list gets.
    std::string_view refusal;
    SessionBody session;
};

// Where a listener stands.
enum class ListenerState : int {
    kIdle,       // never started
    kRunning,    // started; listening, or about to
    kNoSocket,   // ended: no socket could be created (StopRequests was raised)
    kPortInUse,  // ended: the port could not be bound or listened on
    kStopped,    // ended by Stop
};

class Listener {
  public:
    explicit Listener(const ListenerDescription& description);
    // Stops the listener (see Stop).
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Runs the listener on `port` (0: the system chooses one) in the calling
    // thread. It takes IPv4 and IPv6 clients on one socket; on a system
    // without IPv6 (or where another program holds the port for IPv6 alone)
    // it takes IPv4 clients only. Returns kNoSocket when no socket could be created (StopRequests
    // is raised then, and nothing is logged), kPortInUse when the port cannot
    // be bound or listened on, and kStopped after Stop; it does not return
    // otherwise.
    ListenerState Run(int port);

    // Runs the listener in a thread of its own. Returns false (state kIdle)
    // when no thread could be started.
    bool Start(int port);

    // kRunning while the listener runs, what Run returned once it has ended,
    // kIdle when it was never started.
    ListenerState state() const;

    // The port the listener listens on (the chosen one when it was given 0),
    // or 0 while it is not listening.
    int port() const;

    // Ends the listener (its listening socket is shut down) and waits, at
    // most about two seconds, until its thread has ended. Sessions it started
    // go on. Nothing happens when it does not run.
    void Stop();

  private:
    struct Shared;
    static ListenerState Serve(Shared& shared, int port);

    // Shared with the listener's thread, so that it outlives an object
    // destroyed while the thread still ends.
    std::shared_ptr<Shared> shared_;
};

// The address listeners bind to: every address of both families (std::nullopt,
// the start-up state) unless a test asks for one loopback address only
// (127.0.0.1 or ::1).
void SetListenerAddressForTesting(std::optional<IpAddress> address);
