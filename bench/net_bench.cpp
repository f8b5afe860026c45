// Throughput of the line I/O over loopback: a multi-line block relayed from
// one connection to another, and the same block read line by line.
#include <benchmark/benchmark.h>

#include <string>
#include <thread>

#include "core/globals.h"
#include "net/connection.h"
#include "platform/socket.h"

namespace {

// A listening socket on 127.0.0.1 with a port of the system's choice.
struct Listening {
    SocketHandle socket{OpenTcpSocket()};
    int port = 0;
    Listening() {
        BindSocket(socket.get(), LoopbackAddress(), 0);
        ListenSocket(socket.get(), 4);
        port = LocalPort(socket.get());
    }
    SocketHandle Accept() {
        IpAddress peer;
        return SocketHandle(AcceptConnection(socket.get(), peer));
    }
};

void SendAll(int socket, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        SocketResult result = SendBytes(socket, bytes.data() + sent, bytes.size() - sent);
        if (result.count <= 0) return;
        sent += static_cast<size_t>(result.count);
    }
}

void Drain(int socket, size_t size) {
    std::string chunk(65536, '\0');
    for (size_t got = 0; got < size;) {
        SocketResult result = ReceiveBytes(socket, chunk.data(), chunk.size());
        if (result.count <= 0) return;
        got += static_cast<size_t>(result.count);
    }
}

// A message body of `size` bytes in lines of `lineLength` characters.
std::string Block(size_t size, size_t lineLength) {
    std::string line(lineLength, 'm');
    line += "\r\n";
    std::string block;
    while (block.size() < size) block += line;
    return block + ".\r\n";
}

void RelayBlockThroughput(benchmark::State& state) {
    std::string block = Block(static_cast<size_t>(state.range(0)), 70);
    Listening server;
    Listening client;
    Connection from = Connection::ConnectTo("127.0.0.1", server.port);
    Connection to = Connection::ConnectTo("127.0.0.1", client.port);
    SocketHandle serverEnd = server.Accept();
    SetNoDelay(serverEnd.get());
    SocketHandle clientEnd = client.Accept();
    for (auto _ : state) {
        std::thread feeder([&] { SendAll(serverEnd.get(), block); });
        std::thread sink([&] { Drain(clientEnd.get(), block.size()); });
        from.RelayBlockTo(to);
        feeder.join();
        sink.join();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * block.size()));
}
BENCHMARK(RelayBlockThroughput)->Arg(50 * 1024)->Arg(5 * 1024 * 1024)->UseRealTime();

void ReceiveLineThroughput(benchmark::State& state) {
    std::string block = Block(static_cast<size_t>(state.range(0)), 70);
    Listening server;
    Connection from = Connection::ConnectTo("127.0.0.1", server.port);
    SocketHandle serverEnd = server.Accept();
    SetNoDelay(serverEnd.get());
    std::string line;
    for (auto _ : state) {
        std::thread feeder([&] { SendAll(serverEnd.get(), block); });
        do {
            from.ReceiveLine(line);
        } while (line != "." && !from.LinkFailed());
        feeder.join();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * block.size()));
}
BENCHMARK(ReceiveLineThroughput)->Arg(5 * 1024 * 1024)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
