"""Bare POP3 and NNTP clients for the side-by-side benchmark.

A raw socket with large receives: a multi-line reply is read up to its
CR LF . CR LF and, for bulk transfers, counted rather than kept. The client
acknowledges at once (TCP_QUICKACK after every receive), as a mail program
that reads promptly does; a client that delays its acknowledgements would
measure the kernel's delayed-ACK timer against a sender that waits for it,
not the proxy.

Given an ssl.SSLContext, the client speaks TLS from the first byte (as to a
pop3s port). A receive then hands out what the TLS library has decrypted:
at most one record (16 KiB) however much is asked for.
"""
import socket

RECEIVE_BYTES = 1 << 20        # one receive call takes up to this much
REPLY_TIMEOUT_S = 600          # a reply slower than this counts as lost
MAX_LINE_BYTES = 1 << 20       # a status line longer than this is no reply
MAX_KEPT_BYTES = 256 << 20     # the largest body kept whole (100,000 overview lines: ~21 MB)
TERMINATOR = b"\r\n.\r\n"
QUICKACK = getattr(socket, "TCP_QUICKACK", None)


class ProtocolError(RuntimeError):
    """A reply that was not the positive one the step needs."""


class LineClient:
    """One connection; replies are read from an internal buffer. With tls
    (an ssl.SSLContext) the handshake is done in the constructor and the
    server's certificate is checked against host as the context says. A
    reply slower than timeout seconds counts as lost."""

    def __init__(self, port, host="127.0.0.1", tls=None, timeout=REPLY_TIMEOUT_S):
        self.timeout = timeout
        sock = socket.create_connection((host, port), timeout=timeout)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if tls is not None:
            try:
                sock = tls.wrap_socket(sock, server_hostname=host)
            except OSError:
                sock.close()
                raise
        self.sock = sock
        self.buffer = bytearray()

    def tls_version(self):
        """"TLSv1.3 TLS_AES_256_GCM_SHA384" on a TLS connection, else None."""
        cipher = getattr(self.sock, "cipher", None)
        return "%s %s" % (cipher()[1], cipher()[0]) if cipher else None

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _receive(self):
        data = self.sock.recv(RECEIVE_BYTES)
        if QUICKACK is not None:
            self.sock.setsockopt(socket.IPPROTO_TCP, QUICKACK, 1)
        if not data:
            raise ProtocolError("connection closed by the peer")
        return data

    def send(self, line):
        self.sock.sendall(line.encode("latin-1") + b"\r\n")

    def line(self):
        """The next reply line, without CR LF."""
        start = 0
        while True:
            end = self.buffer.find(b"\r\n", start)
            if end >= 0:
                text = bytes(self.buffer[:end])
                del self.buffer[:end + 2]
                return text.decode("latin-1")
            if len(self.buffer) > MAX_LINE_BYTES:
                raise ProtocolError("no line end in %d bytes" % len(self.buffer))
            start = max(0, len(self.buffer) - 1)
            self.buffer += self._receive()

    def block(self, keep=True):
        """Reads a multi-line body after its status line, up to the line ".".
        Returns the body bytes (dot-stuffed, without the end line) when keep
        is set, else only its length."""
        while len(self.buffer) < 3:
            self.buffer += self._receive()
        if self.buffer.startswith(b".\r\n"):
            del self.buffer[:3]
            return b"" if keep else 0
        if keep:
            start = 0
            while True:
                end = self.buffer.find(TERMINATOR, start)
                if end >= 0:
                    body = bytes(self.buffer[:end + 2])
                    del self.buffer[:end + len(TERMINATOR)]
                    return body
                if len(self.buffer) > MAX_KEPT_BYTES:
                    raise ProtocolError("no end of the reply in %d bytes" % len(self.buffer))
                start = max(0, len(self.buffer) - len(TERMINATOR) + 1)
                self.buffer += self._receive()
        # Counting only: keep no more than the bytes a terminator may span.
        counted = 0
        while True:
            end = self.buffer.find(TERMINATOR)
            if end >= 0:
                counted += end + 2
                del self.buffer[:end + len(TERMINATOR)]
                return counted
            keep_tail = len(TERMINATOR) - 1
            if len(self.buffer) > keep_tail:
                counted += len(self.buffer) - keep_tail
                del self.buffer[:len(self.buffer) - keep_tail]
            self.buffer += self._receive()

    def expect(self, command, prefix):
        """Sends the command (None: only reads) and returns the reply line,
        which must start with prefix."""
        if command is not None:
            self.send(command)
        reply = self.line()
        if not reply.startswith(prefix):
            raise ProtocolError("%s -> %r" % (command or "greeting", reply))
        return reply


class Pop3(LineClient):
    def greeting(self):
        return self.expect(None, "+OK")

    def login(self, user, password):
        """USER and PASS; returns the PASS reply."""
        self.expect("USER " + user, "+OK")
        return self.expect("PASS " + password, "+OK")

    def stat(self):
        """Returns (count, octets)."""
        words = self.expect("STAT", "+OK").split()
        return int(words[1]), int(words[2])

    def listing(self, command):
        self.expect(command, "+OK")
        return self.block().decode("latin-1").splitlines()

    def top0(self, number):
        self.expect("TOP %d 0" % number, "+OK")
        return self.block()

    def retr_bytes(self, number):
        """RETR; returns the number of body bytes received."""
        self.expect("RETR %d" % number, "+OK")
        return self.block(keep=False)

    def quit(self):
        """QUIT, then waits for the peer to close (the server has then done
        its part of the session, deletions included)."""
        self.send("QUIT")
        reply = self.line()
        self.sock.settimeout(self.timeout)
        try:
            while self.sock.recv(RECEIVE_BYTES):
                pass
        except OSError:
            pass
        return reply


class Nntp(LineClient):
    def greeting(self):
        return self.expect(None, "20")

    def authinfo(self, user, password):
        self.expect("AUTHINFO USER " + user, "381")
        return self.expect("AUTHINFO PASS " + password, "281")

    def group(self, name):
        """Returns (count, low, high)."""
        words = self.expect("GROUP " + name, "211").split()
        return int(words[1]), int(words[2]), int(words[3])

    def xover(self, low, high):
        """XOVER low-high; returns (lines, bytes) of the overview received."""
        self.expect("XOVER %d-%d" % (low, high), "224")
        body = self.block()
        return body.count(b"\r\n"), len(body)

    def quit(self):
        self.send("QUIT")
        return self.line()
