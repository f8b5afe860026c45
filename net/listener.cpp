#include "net/listener.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "core/globals.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/text.h"
#include "net/address_lists.h"
#include "net/placeholder_session.h"
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
constexpr int kStopWaitMs = 2000;  // how long StopListener waits for the thread to end
constexpr int kStopPollMs = 1;

// Everything in which the two listeners differ.
struct ListenerTexts {
    int32_t SettingsRecord::*timeout;
    SessionBody placeholder;
    const char* listenError;
    const char* listening;
    const char* accepted;
    const char* acceptError;
    const char* admitted;
    const char* threadFailed;
    const char* refusal;
    const char* denied;
};

constexpr ListenerTexts kTexts[] = {
    {&SettingsRecord::Pop3Timeout, Pop3PlaceholderSession, "Pop3 Listen-Error on Port",
     "Pop3-Listen at Port", "Accept incoming Pop3-connection ...", "Pop3 Accept-Error on Port",
     "Incoming Pop3-connection from '", "Starting Pop3-Thread failed! (",
     "-ERR permission denied, closing connection ...", "Denied Pop3-connection from '"},
    {&SettingsRecord::NntpTimeout, NntpPlaceholderSession, "Nntp Listen-Error on Port",
     "Nntp-Listen at Port", "Accept incoming Nntp-connection ...", "Nntp Accept-Error on Port",
     "Incoming Nntp-connection from '", "Starting Nntp-Thread failed! (",
     "502 permission denied, closing connection ...", "Denied Nntp-connection from '"},
};

struct ListenerState {
    std::atomic<SessionBody> body{nullptr};
    std::atomic<int> exitCode{0};
    std::atomic<int> port{0};
    std::atomic<bool> stopRequested{false};
    std::mutex socketLock;  // orders StopListener's shut-down against the close
    int listeningSocket = kNoSocket;
};

ListenerState& State(int which) {
    static ListenerState* const states = new ListenerState[2];  // outlives every thread
    return states[which == kNntpListener ? 1 : 0];
}

std::atomic<uint32_t> bindAddress{0};
std::atomic<bool> bindAddressSet{false};

bool ValidKind(int which) {
    return which == kPop3Listener || which == kNntpListener;
}

// A client that comes while the overflow entry is held by another thread:
// the entry is not ours to fill, so the client is turned away on its own
// socket with what the entry would have given it.
void TurnAwayWithoutEntry(const ListenerTexts& texts, int client, bool allowed,
                          const std::string& clientText, const std::string& portText) {
    if (allowed) {
        WriteLog(NumberText(kSlotCount) + " Too many sessions!", -1, kLogFailure);
    } else {
        std::string line = std::string(texts.refusal) + "\r\n";
        if (Settings.DebugLine) {
            ConsoleWriteLine(std::to_string(kSlotCount) + ">:" + texts.refusal);
        }
        SendBytes(client, line.data(), line.size());
    }
    CloseSocket(client);
    WriteLog("Socket closed", kSlotCount, kLogNotice);
    if (!allowed) {
        WriteLog(texts.denied + clientText + "'  Port:" + portText, kSlotCount, kLogConnection);
    }
}

void ServeClient(int which, int socket, uint32_t peer, int ownPort) {
    const ListenerTexts& texts = kTexts[which];
    std::string portText = NumberText(ownPort);
    std::string clientText = DottedAddress(peer);
    SetNoDelay(socket);

    bool wasFree = false;
    int slot = AllocateSlot(wasFree);
    // The access test comes first: a refused client always gets its refusal
    // line, even when the table is full.
    bool allowed = IsAddressAllowed(peer);
    if (!wasFree) {
        TurnAwayWithoutEntry(texts, socket, allowed, clientText, portText);
        return;
    }
    Connection client = Connection::Accepted(slot, socket, peer, ownPort, Settings.*texts.timeout);

    if (!allowed) {
        client.SendLine(texts.refusal);
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
    SessionBody session = State(which).body.load();
    if (session == nullptr) session = texts.placeholder;
    if (!StartThread([parcel, session] { session(std::move(*parcel)); })) {
        parcel->Close();
        WriteLog(texts.threadFailed + std::to_string(slot) + ")", slot, kLogFailure);
        parcel->Release();
    }
}

}  // namespace

void SetSessionBodies(SessionBody pop3Body, SessionBody nntpBody) {
    State(kPop3Listener).body = pop3Body;
    State(kNntpListener).body = nntpBody;
}

int RunListener(int which, int port) {
    if (!ValidKind(which)) return 0;
    const ListenerTexts& texts = kTexts[which];
    ListenerState& state = State(which);

    SocketHandle listening(OpenTcpSocket());
    if (!listening.valid()) {
        ++StopRequests;
        return 0;
    }
    SetReuseAddress(listening.get());
    uint32_t address = bindAddressSet ? bindAddress.load() : AnyAddress();
    if (!BindSocket(listening.get(), address, port)) {
        WriteLog("Another program is using Port" + NumberText(port), -1, kLogError);
        return -1;
    }
    if (!ListenSocket(listening.get(), kBacklog)) {
        WriteLog(texts.listenError + NumberText(port), -1, kLogError);
        return -1;
    }
    int ownPort = LocalPort(listening.get());
    {
        std::lock_guard guard(state.socketLock);
        state.listeningSocket = listening.get();
    }
    state.port = ownPort;
    WriteLog(texts.listening + NumberText(ownPort), -1, kLogListen);

    while (!state.stopRequested) {
        uint32_t peer = 0;
        int client = AcceptConnection(listening.get(), peer);
        if (state.stopRequested) {
            CloseSocket(client);
            break;
        }
        WriteLog(texts.accepted, -1, kLogDebug);
        if (client < 0) {
            WriteLog(texts.acceptError + NumberText(ownPort), -1, kLogFailure);
            SleepMilliseconds(kAcceptRetryPauseMs);
            continue;
        }
        ServeClient(which, client, peer, ownPort);
    }

    std::lock_guard guard(state.socketLock);
    state.listeningSocket = kNoSocket;
    state.port = 0;
    listening.Reset();
    return kListenerStopped;
}

bool StartListener(int which, int port) {
    if (!ValidKind(which)) return false;
    ListenerState& state = State(which);
    state.stopRequested = false;
    state.port = 0;
    state.exitCode = kListenerRunning;
    if (!StartThread([which, port] { State(which).exitCode = RunListener(which, port); })) {
        state.exitCode = 0;
        return false;
    }
    return true;
}

int ListenerExitCode(int which) {
    return ValidKind(which) ? State(which).exitCode.load() : 0;
}

int ListenerPort(int which) {
    return ValidKind(which) ? State(which).port.load() : 0;
}

void StopListener(int which) {
    if (!ValidKind(which)) return;
    ListenerState& state = State(which);
    if (state.exitCode != kListenerRunning) return;
    state.stopRequested = true;
    {
        std::lock_guard guard(state.socketLock);
        ShutdownSocket(state.listeningSocket);
    }
    for (int waited = 0; waited < kStopWaitMs && state.exitCode == kListenerRunning;
         waited += kStopPollMs) {
        SleepMilliseconds(kStopPollMs);
    }
}

void StopListeners() {
    StopListener(kPop3Listener);
    StopListener(kNntpListener);
}

void SetListenerAddressForTesting(uint32_t address) {
    bindAddress = address;
    bindAddressSet = true;
}
