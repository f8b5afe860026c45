"""A tiny news server on loopback that dies in the middle of an overview list.

It greets, answers GROUP for any group, and answers XOVER or OVER with a 224
line and the overview lines it was given, then closes the connection without
the closing "." - what a reader's proxy sees when the real server goes away
mid-list.
"""
import socket
import threading

ACCEPT_POLL_S = 0.2  # how often the accept loop looks whether it should stop


class DyingNewsServer:
    def __init__(self, overview_lines):
        self.overview = "".join(line + "\r\n" for line in overview_lines).encode("latin-1")
        self.commands = []
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.listener.settimeout(ACCEPT_POLL_S)
        self.port = self.listener.getsockname()[1]
        self.stopping = False
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while not self.stopping:
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with conn:
                self._converse(conn)

    def _converse(self, conn):
        conn.settimeout(60)
        reader = conn.makefile("rb")
        conn.sendall(b"200 dying news server ready\r\n")
        for raw in reader:
            line = raw.decode("latin-1").rstrip("\r\n")
            self.commands.append(line)
            word = line.split(" ")[0].upper()
            if word == "GROUP":
                conn.sendall(b"211 3 1 3 %s\r\n" % line.split(" ")[1].encode("latin-1"))
            elif word in ("XOVER", "OVER"):
                conn.sendall(b"224 Overview information follows\r\n" + self.overview)
                conn.shutdown(socket.SHUT_RDWR)
                return
            elif word == "QUIT":
                conn.sendall(b"205 bye\r\n")
                return
            else:
                conn.sendall(b"500 unknown\r\n")

    def close(self):
        self.stopping = True
        self.listener.close()
        self.thread.join(5)
