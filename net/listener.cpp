#include "net/listener.h"

#include <atomic>
#include <mutex>
#include <string>

#include "core/globals.h"
#include "core/log.h"
#include "core/text.h"
#include "net/access_list.h"
#include "net/session_table.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/socket.h"
#include "platform/thread.h"

namespace {

// Connections the system queues before they are accepted. Every client the
// table can hold may arrive at once; a full queue makes the system drop the
// handshake, and a client that waits for the greeting then waits in vain.
constexpr int kBacklog = kSlotCount;
// An accept that fails at once again and again (no descriptors left) would
// otherwise spin the listener at full speed.
constexpr int kAcceptRetryPauseMs = 10;
constexpr int kStopWaitMs = 2000;  // how long Stop waits for the thread to end
constexpr int kStopPollMs = 1;

// The address a test chose; never freed, as listener threads may read it
// until the end.
std::mutex& bindAddressLock = *new std::mutex();
std::optional<IpAddress>& bindAddress = *new std::optional<IpAddress>();

// The log texts of one protocol, composed once from its name.
struct ListenerTexts {
    std::string listenError;
    std::string listening;
    std::string accepted;
    std::string acceptError;
    std::string admitted;
    std::string threadFailed;
    std::string denied;

    explicit ListenerTexts(std::string_view protocolName) {
        const std::string name(protocolName);
        listenError = name + " Listen-Error on Port";
        listening = name + "-Listen at Port";
        accepted = "Accept incoming " + name + "-connection ...";
        acceptError = name + " Accept-Error on Port";
        admitted = "Incoming " + name + "-connection from '";
        threadFailed = "Starting " + name + "-Thread failed! (";
        denied = "Denied " + name + "-connection from '";
    }
};

}  // namespace

struct Listener::Shared {
    explicit Shared(const ListenerDescription& description)
        : description(description), texts(description.protocol) {}

    const ListenerDescription description;
    const ListenerTexts texts;
    std::atomic<ListenerState> state{ListenerState::kIdle};
    std::atomic<int> port{0};
    std::atomic<bool> stopRequested{false};
    std::mutex socketLock;  // orders Stop's shut-down against the close
    int listeningSocket = kNoSocket;
};

namespace {

// A client that comes while the overflow entry is held by another thread:
// the entry is not ours to fill, so the client is turned away on its own
// socket with what the entry would have given it.
void TurnAwayWithoutEntry(const ListenerDescription& description, const ListenerTexts& texts,
                          int client, bool allowed, const std::string& clientText,
                          const std::string& portText) {
    if (allowed) {
        WriteLog(NumberText(kSlotCount) + " Too many sessions!", -1, kLogFailure);
    } else {
        std::string line = std::string(description.refusal) + "\r\n";
        if (CurrentSettings().DebugLine) {
            ConsoleWriteLine(std::to_string(kSlotCount) + ">:" + std::string(description.refusal));
        }
        SendBytes(client, line.data(), line.size());
    }
    CloseSocket(client);
    WriteLog("Socket closed", kSlotCount, kLogNotice);
    if (!allowed) {
        WriteLog(texts.denied + clientText + "'  Port:" + portText, kSlotCount, kLogConnection);
    }
}

// Opens a socket bound to `port`: on the address a test chose, or on every
// address of both families through one IPv6 socket that takes IPv4 clients
// too, or, where that cannot be had (no IPv6 here), on every IPv4 address.
// Returns no socket when none could be bound; `opened` tells whether a
// socket could be made at all.
SocketHandle BoundSocket(int port, bool& opened) {
    std::optional<IpAddress> chosen;
    {
        std::lock_guard guard(bindAddressLock);
        chosen = bindAddress;
    }
    opened = false;
    auto bind = [&](const IpAddress& address, bool dualStack) {
        SocketHandle socket(OpenTcpSocket(address.family));
        if (!socket.valid()) return SocketHandle();
        opened = true;
        if (dualStack && !SetDualStack(socket.get())) return SocketHandle();
        SetReuseAddress(socket.get());
        if (!BindSocket(socket.get(), address, port)) return SocketHandle();
        return socket;
    };
    if (chosen) return bind(*chosen, false);
    SocketHandle both = bind(AnyAddress(IpFamily::kIpv6), true);
    if (both.valid()) return both;
    return bind(AnyAddress(IpFamily::kIpv4), false);
}

void ServeClient(const ListenerDescription& description, const ListenerTexts& texts, int socket,
                 const IpAddress& peer, int ownPort) {
    std::string portText = NumberText(ownPort);
    std::string clientText = IpAddressText(peer);
    SetNoDelay(socket);

    bool wasFree = false;
    int slot = AllocateSlot(wasFree);
    // The access test comes first: a refused client always gets its refusal
    // line, even when the table is full.
    bool allowed = IsAddressAllowed(peer);
    if (!wasFree) {
        TurnAwayWithoutEntry(description, texts, socket, allowed, clientText, portText);
        return;
    }
    Connection client = Connection::Accepted(slot, socket, peer, ownPort,
                                             CurrentSettings().*description.timeoutSeconds);

    if (!allowed) {
        client.SendLine(description.refusal);
        client.Close();
        client.Release();
        WriteLog(texts.denied + clientText + "'  Port:" + portText, slot, kLogConnection);
        return;
    }
    if (slot >= kSlotCount) {
        // The overflow entry stays reserved; the client gets no reply.
        WriteLog(NumberText(slot) + " Too many sessions!", -1, kLogFailure);
        client.Close();
        client.LeaveReserved();
        return;
    }
    WriteLog(texts.admitted + clientText + "'  Port:" + portText, slot, kLogConnection);

    // The entry shows as a session before its thread starts: a session that
    // ended at once would otherwise free the entry before a later mark, which
    // would leave the free entry looking busy.
    SessionTable[slot].state = SlotState::kSession;
    // The connection travels to the thread in a parcel the listener keeps a
    // hold on: when no thread can be started, it is still here to be closed.
    auto parcel = std::make_shared<Connection>(std::move(client));
    SessionBody session = description.session;
    if (!StartThread([parcel, session] { session(std::move(*parcel)); })) {
        parcel->Close();
        WriteLog(texts.threadFailed + std::to_string(slot) + ")", slot, kLogFailure);
        parcel->Release();
    }
}

}  // namespace

Listener::Listener(const ListenerDescription& description)
    : shared_(std::make_shared<Shared>(description)) {}

Listener::~Listener() {
    Stop();
}

ListenerState Listener::Run(int port) {
    return Serve(*shared_, port);
}

ListenerState Listener::Serve(Shared& shared, int port) {
    const ListenerTexts& texts = shared.texts;

    bool opened = false;
    SocketHandle listening = BoundSocket(port, opened);
    if (!opened) {
        ++StopRequests;
        return ListenerState::kNoSocket;
    }
    if (!listening.valid()) {
        WriteLog("Another program is using Port" + NumberText(port), -1, kLogError);
        return ListenerState::kPortInUse;
    }
    if (!ListenSocket(listening.get(), kBacklog)) {
        WriteLog(texts.listenError + NumberText(port), -1, kLogError);
        return ListenerState::kPortInUse;
    }
    int ownPort = LocalPort(listening.get());
    {
        std::lock_guard guard(shared.socketLock);
        shared.listeningSocket = listening.get();
    }
    shared.port = ownPort;
    WriteLog(texts.listening + NumberText(ownPort), -1, kLogListen);

    while (!shared.stopRequested) {
        IpAddress peer;
        int client = AcceptConnection(listening.get(), peer);
        if (shared.stopRequested) {
            CloseSocket(client);
            break;
        }
        WriteLog(texts.accepted, -1, kLogDebug);
        if (client < 0) {
            WriteLog(texts.acceptError + NumberText(ownPort), -1, kLogFailure);
            SleepMilliseconds(kAcceptRetryPauseMs);
            continue;
        }
        ServeClient(shared.description, texts, client, peer, ownPort);
    }

    std::lock_guard guard(shared.socketLock);
    shared.listeningSocket = kNoSocket;
    shared.port = 0;
    listening.Reset();
    return ListenerState::kStopped;
}

bool Listener::Start(int port) {
    Shared& shared = *shared_;
    shared.stopRequested = false;
    shared.port = 0;
    shared.state = ListenerState::kRunning;
    // The thread holds the shared part, which outlives this object should
    // Stop give up waiting for the thread.
    std::shared_ptr<Shared> held = shared_;
    if (!StartThread([held, port] { held->state = Serve(*held, port); })) {
        shared.state = ListenerState::kIdle;
        return false;
    }
    return true;
}

ListenerState Listener::state() const {
    return shared_->state.load();
}

int Listener::port() const {
    return shared_->port.load();
}

void Listener::Stop() {
    Shared& shared = *shared_;
    if (shared.state != ListenerState::kRunning) return;
    shared.stopRequested = true;
    {
        std::lock_guard guard(shared.socketLock);
        ShutdownSocket(shared.listeningSocket);
    }
    for (int waited = 0; waited < kStopWaitMs && shared.state == ListenerState::kRunning;
         waited += kStopPollMs) {
        SleepMilliseconds(kStopPollMs);
    }
}

void SetListenerAddressForTesting(std::optional<IpAddress> address) {
    std::lock_guard guard(bindAddressLock);
    bindAddress = address;
}
