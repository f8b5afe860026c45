"""A TCP relay on loopback that breaks the upstream link at a chosen point.

It passes bytes unchanged in both directions. Armed with a command (the
bytes the proxy sends, such as b"TOP 3 0\\r\\n"), it lets that command
through, then passes at most `reply_bytes` of the server's answer, and then
either cuts the connection (both directions end at once, as when the server
dies) or stalls it (nothing more passes either way, the sockets stay open,
as when the server hangs) until release() or close(). That makes "the
server died in the middle of the scan" a point in the protocol instead of a
moment in time.
"""
import select
import socket
import threading

BUFFER_BYTES = 65536
POLL_S = 0.1
CONNECT_TIMEOUT_S = 10


def _shut(sock):
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass


class _Trap:
    def __init__(self, command, reply_bytes, action):
        self.command = command
        self.reply_bytes = reply_bytes
        self.action = action
        self.sprung = threading.Event()


class TriggerRelay:
    def __init__(self, target_port, target_host="127.0.0.1"):
        self.target = (target_host, target_port)
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(128)
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.trap = None
        self.generation = 0  # counts the traps armed; each looks only at what follows it
        self.released = threading.Event()
        self.stopping = False
        self.pairs = set()
        self.threads = []
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def arm(self, command, reply_bytes=0, action="cut"):
        """The next connection that sends `command` is broken after
        `reply_bytes` of the answer. Returns an event set when it happens."""
        assert action in ("cut", "stall")
        trap = _Trap(command, reply_bytes, action)
        with self.lock:
            self.trap = trap
            self.generation += 1
            self.released.clear()
        return trap.sprung

    def release(self):
        """Ends every stalled connection (it is cut then)."""
        self.released.set()

    def _take_trap(self, data_seen):
        with self.lock:
            trap = self.trap
            if trap is not None and trap.command in data_seen:
                self.trap = None
                return trap
        return None

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            try:
                server = socket.create_connection(self.target, timeout=CONNECT_TIMEOUT_S)
            except OSError:
                client.close()
                continue
            with self.lock:
                if self.stopping:
                    client.close()
                    server.close()
                    return
                self.pairs.add((client, server))
            thread = threading.Thread(target=self._pump, args=(client, server), daemon=True)
            self.threads.append(thread)
            thread.start()

    def _pump(self, client, server):
        """client is the proxy's side, server the real server's."""
        seen = b""        # what the proxy sent since the current trap was armed
        generation = self.generation
        trap = None
        budget = None     # reply bytes still to pass after the trap's command
        try:
            while not self.stopping:
                readable, _, _ = select.select([client, server], [], [], POLL_S)
                for sock in readable:
                    data = sock.recv(BUFFER_BYTES)
                    if not data:
                        return
                    if sock is client:
                        server.sendall(data)
                        if trap is None:
                            if generation != self.generation:
                                seen, generation = b"", self.generation
                            seen = (seen + data)[-4096:]
                            trap = self._take_trap(seen)
                            if trap is not None:
                                budget = trap.reply_bytes
                                if budget == 0:
                                    return self._spring(trap, client, server)
                    else:
                        if trap is not None:
                            data = data[:budget]
                            budget -= len(data)
                        client.sendall(data)
                        if trap is not None and budget <= 0:
                            return self._spring(trap, client, server)
        except OSError:
            return
        finally:
            with self.lock:
                self.pairs.discard((client, server))
            for sock in (client, server):
                _shut(sock)
                sock.close()

    def _spring(self, trap, client, server):
        trap.sprung.set()
        if trap.action == "stall":
            while not self.released.is_set() and not self.stopping:
                self.released.wait(POLL_S)

    def connections(self):
        with self.lock:
            return len(self.pairs)

    def close(self):
        with self.lock:
            self.stopping = True
            pairs = list(self.pairs)
        self.released.set()
        _shut(self.listener)
        self.listener.close()
        for pair in pairs:
            for sock in pair:
                _shut(sock)
        self.thread.join(timeout=10)
        for thread in self.threads:
            thread.join(timeout=10)
