"""A TCP relay on loopback between the proxy and the real POP3 server.

It passes bytes through unchanged in both directions, so the proxy cannot tell
it from the server; cut() ends every connection it carries at once, which is
how the tests take the upstream link away in the middle of a session.
"""
import select
import socket
import threading

BUFFER_BYTES = 65536
POLL_SECONDS = 0.2  # how often a pump looks whether it was told to stop


def _shut(sock):
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass


class Relay:
    def __init__(self, target_port, target_host="127.0.0.1"):
        self.target = (target_host, target_port)
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.pairs = []
        self.closing = False
        self.trap = None  # (pattern, bytes let through after it), see cut_during
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            try:
                server = socket.create_connection(self.target, timeout=10)
                server.settimeout(None)
            except OSError:
                client.close()
                continue
            pair = (client, server)
            with self.lock:
                if self.closing:
                    client.close()
                    server.close()
                    return
                self.pairs.append(pair)
            threading.Thread(target=self._pump, args=(pair,), daemon=True).start()

    def _pump(self, pair):
        client, server = pair
        other = {client: server, server: client}
        sprung = None  # bytes of the server's still let through once the trap sprang
        try:
            while True:
                readable, _, _ = select.select([client, server], [], [], POLL_SECONDS)
                for sock in readable:
                    data = sock.recv(BUFFER_BYTES)
                    if not data:
                        return
                    if sock is client and sprung is None:
                        with self.lock:
                            trap = self.trap
                            if trap is not None and trap[0] in data:
                                self.trap = None
                                sprung = trap[1]
                    if sock is server and sprung is not None:
                        data = data[:sprung]
                        sprung -= len(data)
                    other[sock].sendall(data)
                    if sprung == 0:
                        return
        except OSError:
            return
        finally:
            with self.lock:
                if pair in self.pairs:
                    self.pairs.remove(pair)
            for sock in pair:
                _shut(sock)
                sock.close()

    def connections(self):
        with self.lock:
            return len(self.pairs)

    def cut(self):
        """Ends every connection carried now; new ones are still relayed.
        Only shuts the sockets down: each pump closes its own pair."""
        with self.lock:
            pairs = list(self.pairs)
        for pair in pairs:
            for sock in pair:
                _shut(sock)

    def cut_during(self, pattern, after_bytes):
        """Arms a trap: the next connection whose proxy sends `pattern` gets
        only `after_bytes` more of the server's bytes, then is cut, as a
        server that dies in the middle of its answer."""
        with self.lock:
            self.trap = (pattern, after_bytes)

    def close(self):
        with self.lock:
            self.closing = True
        _shut(self.listener)
        self.listener.close()
        self.cut()
        self.thread.join(timeout=10)
