"""Tools shared by the load, fault and hostile-input tests: a line client
whose every read is bounded in time, probes of the proxy process (open
descriptors, threads, peak memory), the slot bookkeeping read back from the
log, a check that the whole session table is free, and the mail helpers that
account for every message of a mailbox.

Sizes are scaled down when the binary under test carries a sanitizer (it
runs several times slower there); TRAWLBOX_PROOF_SCALE overrides the choice
("1" full size, "0.5" and so on).
"""
import os
import re
import socket
import time

BINARY = os.environ.get("TRAWLBOX_BINARY", "")

CLIENT_TIMEOUT_S = 60  # a reply slower than this counts as missing: no test waits longer
SETTLE_LIMIT_S = 30    # bounded wait for sessions to end and their threads to go
POLL_S = 0.05
SLOT_COUNT = 100       # the overflow entry is the last one
CLIENT_SLOTS = SLOT_COUNT - 1


def sanitized_build():
    """True when the binary was built with a sanitizer (its runtime is linked in)."""
    try:
        with open(BINARY, "rb") as f:
            data = f.read()
    except OSError:
        return False
    return b"__asan_init" in data or b"__tsan_init" in data


def scale():
    text = os.environ.get("TRAWLBOX_PROOF_SCALE")
    if text:
        return max(0.05, float(text))
    return 0.4 if sanitized_build() else 1.0


def scaled(count, least=1):
    return max(least, int(round(count * scale())))


def wait_until(predicate, limit=SETTLE_LIMIT_S):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(POLL_S)
    return predicate()


# --- the proxy process ------------------------------------------------------------

class ProcessProbe:
    """Reads a live process's descriptors, threads and memory from /proc."""

    def __init__(self, pid):
        self.pid = pid

    def fds(self):
        return len(os.listdir("/proc/%d/fd" % self.pid))

    def status(self, key):
        with open("/proc/%d/status" % self.pid) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
        raise AssertionError("no %s for process %d" % (key, self.pid))

    def threads(self):
        return self.status("Threads")

    def peak_kb(self):
        return self.status("VmHWM")

    def usage(self):
        return self.fds(), self.threads()

    def settled(self, limit=SETTLE_LIMIT_S):
        """Descriptors and threads once they have stopped changing for a moment."""
        last = self.usage()
        steady_since = time.monotonic()
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            time.sleep(POLL_S)
            now = self.usage()
            if now != last:
                last, steady_since = now, time.monotonic()
            elif time.monotonic() - steady_since >= 0.5:
                break
        return last

    def back_to(self, baseline, limit=SETTLE_LIMIT_S):
        """Waits (bounded) until descriptors and threads are down to the
        baseline again; returns what was seen last."""
        wait_until(lambda: self.usage() == baseline, limit)
        return self.usage()


# --- the log ------------------------------------------------------------------------

LOG_LINE = re.compile(r"^.. \d\d:\d\d:\d\d\s+#(\d+): (.*)$")
OPENINGS = ("Incoming Pop3-connection from ", "Incoming Nntp-connection from ",
            "Outgoing connection to ")
CLOSINGS = ("Socket closed", "Socket already closed")


def slot_report(log_text):
    """Walks the log's connection lines slot by slot. Returns (still open
    slots, faults): a slot opened a second time before it was closed is a
    fault, as is one left open at the end."""
    open_slots = set()
    faults = []
    for raw in log_text.split("\n"):
        match = LOG_LINE.match(raw)
        if not match:
            continue
        slot, text = int(match.group(1)), match.group(2)
        if text.startswith(OPENINGS):
            if slot in open_slots:
                faults.append("slot %d opened again while open: %s" % (slot, text))
            open_slots.add(slot)
        elif text.startswith(CLOSINGS):
            open_slots.discard(slot)
    return open_slots, faults


def count_in_log(proxy, text):
    return proxy.log().count(text)


# --- clients --------------------------------------------------------------------------

class LineClient:
    """One connection to the proxy. Every read waits at most `timeout`
    seconds; a silent peer fails the test rather than hanging it."""

    def __init__(self, port, timeout=CLIENT_TIMEOUT_S):
        self.timeout = timeout
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.pending = b""
        self.closed = False
        self.last_sent = b""

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def send(self, data):
        if isinstance(data, str):
            data = data.encode("latin-1")
        self.last_sent = data[:60]
        try:
            self.sock.sendall(data)
            return True
        except OSError:  # the proxy may drop a hostile client while it still sends
            return False

    def send_line(self, text):
        return self.send((text.encode("latin-1") if isinstance(text, str) else text) + b"\r\n")

    def _fill(self):
        try:
            data = self.sock.recv(65536)
        except socket.timeout:
            raise AssertionError("no reply within %d s after %r (port %d)" % (
                self.timeout, self.last_sent, self.sock.getsockname()[1]))
        except ConnectionResetError:
            data = b""
        if not data:
            self.closed = True
        self.pending += data
        return bool(data)

    def raw_line(self):
        """The next line with its line end stripped, as bytes; None once closed."""
        while b"\n" not in self.pending:
            if self.closed or not self._fill():
                if self.pending:  # a last line without line end
                    line, self.pending = self.pending, b""
                    return line
                return None
        line, self.pending = self.pending.split(b"\n", 1)
        return line[:-1] if line.endswith(b"\r") else line

    def line(self):
        raw = self.raw_line()
        return "<closed>" if raw is None else raw.decode("latin-1")

    def ask(self, text):
        self.send_line(text)
        return self.line()

    def block(self):
        """Lines up to the closing "." (not included); stops at a close."""
        lines = []
        while True:
            raw = self.raw_line()
            if raw is None or raw == b".":
                return lines
            lines.append(raw)

    def until_closed(self):
        """Everything the proxy still sends, up to its close."""
        while not self.closed:
            self._fill()
        data, self.pending = self.pending, b""
        return data


GREETING_SLOT = re.compile(r"Server #(\d+)")


def greeting_slot(greeting):
    match = GREETING_SLOT.search(greeting)
    return int(match.group(1)) if match else None


def pop3_login(port, user, password, host="127.0.0.1"):
    """A POP3 client logged in through the proxy: (client, slot, PASS reply)."""
    client = LineClient(port)
    slot = greeting_slot(client.line())
    client.ask("USER %s#%s" % (host, user))
    return client, slot, client.ask("PASS " + password)


def nntp_login(port, host="127.0.0.1", password="anything"):
    """A news reader logged in through the proxy: (client, slot, reply)."""
    client = LineClient(port)
    slot = greeting_slot(client.line())
    client.ask("AUTHINFO USER " + host)
    return client, slot, client.ask("AUTHINFO PASS " + password)


def table_slots(proxy):
    """Opens as many news connections as there are client entries, one after
    the other, and returns the slot numbers their greetings name; then closes
    them with QUIT. With the whole table free these are 1..99 in order."""
    clients, slots = [], []
    try:
        for _ in range(CLIENT_SLOTS):
            client = LineClient(proxy.nntp_port)
            clients.append(client)
            slots.append(greeting_slot(client.line()))
    finally:
        for client in clients:
            client.send_line("QUIT")
        for client in clients:
            client.until_closed()
            client.close()
    return slots


# --- mail ---------------------------------------------------------------------------------

def mail(sender, subject, body, tag):
    """A message as a mail program stores it (LF line ends), unique by tag."""
    return ("From: %s\nTo: me@example.org\nSubject: %s\nMessage-ID: <%s@proof.example>\n"
            "Date: Mon, 07 Dec 2026 10:00:00 +0100\n\n%s" % (sender, subject, tag, body)
            ).encode("latin-1")


def wire(stored):
    """The message as a POP3 server sends it: CR LF line ends."""
    return stored.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def unstuff(lines):
    """A multi-line reply's lines (without the ".") back into message bytes."""
    return b"".join((line[1:] if line.startswith(b".") else line) + b"\r\n" for line in lines)


def body_of(size, tag):
    """A body of about `size` bytes with lines that need dot-stuffing."""
    lines, total, n = [], 0, 0
    while total < size:
        line = (".dot line %d of %s" % (n, tag)) if n % 7 == 3 else (
            "line %06d of message %s, some text to fill it" % (n, tag))
        lines.append(line)
        total += len(line) + 1
        n += 1
    return "\n".join(lines) + "\n"


def maildir(dovecot, name):
    """{uid: stored bytes} of the messages the server holds now."""
    held = {}
    for sub in ("cur", "new"):
        folder = os.path.join(dovecot.maildir(name), sub)
        for file_name in os.listdir(folder):
            try:
                with open(os.path.join(folder, file_name), "rb") as f:
                    held[file_name.split(":")[0]] = f.read()
            except FileNotFoundError:
                pass  # deleted or renamed by the server between listing and reading
    return held


def subject_of(stored):
    return re.search(rb"Subject: (.*)", stored).group(1).decode("latin-1")


def message_id_of(stored):
    return re.search(rb"Message-ID: (.*)", stored).group(1).decode("latin-1")
