"""Scripted POP3 and news servers on loopback for the fault and hostile-input
tests. Each connection is served in a thread of its own by the server's
current `handler`, which a test replaces to make the server misbehave in a
chosen way; the default handlers speak the protocols properly, so that a
normal client can be checked after every misdeed.
"""
import socket
import threading

ACCEPT_POLL_S = 0.2
PEER_TIMEOUT_S = 60  # a server end waits no longer for the proxy
LINE_LIMIT = 1 << 20


class Conversation:
    """The server's end of one connection."""

    def __init__(self, sock):
        self.sock = sock
        self.sock.settimeout(PEER_TIMEOUT_S)
        self.reader = sock.makefile("rb")
        self.lines = []

    def line(self):
        """The next command without its line end; None once the proxy has gone."""
        try:
            raw = self.reader.readline(LINE_LIMIT)
        except OSError:
            return None
        if not raw:
            return None
        text = raw.rstrip(b"\r\n").decode("latin-1")
        self.lines.append(text)
        return text

    def send(self, data):
        if isinstance(data, str):
            data = data.encode("latin-1")
        try:
            self.sock.sendall(data)
            return True
        except OSError:
            return False

    def hang_up(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def drain(self):
        """Reads until the proxy closes its end (bounded by the socket time-out)."""
        while self.line() is not None:
            pass


class ScriptedServer:
    def __init__(self, handler):
        self.handler = handler
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(128)
        self.listener.settimeout(ACCEPT_POLL_S)
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.conversations = []
        self.live = set()
        self.stopping = False
        self.threads = []
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while not self.stopping:
            try:
                sock, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            conversation = Conversation(sock)
            with self.lock:
                self.conversations.append(conversation)
                self.live.add(conversation)
                handler = self.handler
            thread = threading.Thread(target=self._serve, args=(handler, conversation),
                                      daemon=True)
            self.threads.append(thread)
            thread.start()

    def _serve(self, handler, conversation):
        try:
            handler(conversation)
        except OSError:
            pass
        finally:
            with self.lock:
                self.live.discard(conversation)
            conversation.hang_up()
            conversation.sock.close()

    def live_count(self):
        with self.lock:
            return len(self.live)

    def last(self):
        with self.lock:
            return self.conversations[-1] if self.conversations else None

    def close(self):
        self.stopping = True
        with self.lock:
            live = list(self.live)
        for conversation in live:
            conversation.hang_up()
        self.listener.close()
        self.thread.join(10)
        for thread in self.threads:
            thread.join(10)


# --- POP3 ---------------------------------------------------------------------------

def _stuffed(message):
    return b"".join((b"." + line if line.startswith(b".") else line) + b"\r\n"
                    for line in message.split(b"\r\n")[:-1])


class Pop3Mailbox:
    """A mailbox of CR LF messages with the replies a proper server gives.
    Every reply can be replaced: `overrides` maps a command word to a
    function (conversation, argument text) -> bytes to send, or None to hang
    up without an answer."""

    def __init__(self, messages, greeting=b"+OK scripted POP3 ready <1.2@proof>\r\n",
                 overrides=None, bare_lf=False):
        self.messages = list(messages)
        self.greeting = greeting
        self.overrides = dict(overrides or {})
        self.bare_lf = bare_lf  # end every reply line with LF alone
        self.expunged = []

    def header(self, n):
        message = self.messages[n - 1]
        return message[:message.index(b"\r\n\r\n") + 2]

    def reply(self, word, argument, deleted):
        count = len(self.messages)
        numbers = [n for n in range(1, count + 1) if n not in deleted]
        try:
            n = int(argument.split(" ")[0]) if argument else 0
        except ValueError:
            n = 0
        valid = n in numbers
        if word in ("USER", "PASS", "NOOP", "RSET", "APOP"):
            return b"+OK\r\n"
        if word == "STAT":
            return b"+OK %d %d\r\n" % (len(numbers), sum(len(self.messages[i - 1])
                                                          for i in numbers))
        if word in ("LIST", "UIDL"):
            value = (lambda i: b"%d" % len(self.messages[i - 1])) if word == "LIST" else (
                lambda i: b"uid-%d" % i)
            if argument:
                return b"+OK %d %s\r\n" % (n, value(n)) if valid else b"-ERR no such\r\n"
            return b"+OK\r\n" + b"".join(b"%d %s\r\n" % (i, value(i)) for i in numbers) + b".\r\n"
        if word == "TOP" and valid:
            return (b"+OK %d octets\r\n" % len(self.messages[n - 1]) +
                    _stuffed(self.header(n)) + b".\r\n")
        if word == "RETR" and valid:
            return (b"+OK %d octets\r\n" % len(self.messages[n - 1]) +
                    _stuffed(self.messages[n - 1]) + b".\r\n")
        if word == "DELE" and valid:
            deleted.add(n)
            return b"+OK deleted\r\n"
        return b"-ERR not that\r\n"

    def __call__(self, conversation):
        deleted = set()
        send = conversation.send
        if self.bare_lf:
            send = lambda data: conversation.send(data.replace(b"\r\n", b"\n"))
        send(self.greeting)
        while True:
            line = conversation.line()
            if line is None:
                return
            word, _, argument = line.partition(" ")
            word = word.upper()
            if word == "QUIT":
                self.expunged.extend(sorted(deleted))
                send(b"+OK bye\r\n")
                return
            if word in self.overrides:
                answer = self.overrides[word](conversation, argument)
                if answer is None:
                    return
                if not send(answer):
                    return
                continue
            if not send(self.reply(word, argument, deleted)):
                return


def pop3_message(subject, body=b"Hello.\r\n", sender=b"someone@example.org"):
    if isinstance(subject, str):
        subject = subject.encode("latin-1")
    return (b"From: " + sender + b"\r\nSubject: " + subject +
            b"\r\nMessage-ID: <" + str(abs(hash(subject))).encode() + b"@proof>\r\n\r\n" + body)


# --- news ---------------------------------------------------------------------------

def overview_line(number, subject, sender="Ann <ann@example.org>"):
    return "%d\t%s\t%s\tMon, 07 Dec 2026 10:00:00 +0100\t<%d@proof>\t\t100\t3" % (
        number, subject, sender, number)


class NewsGroup:
    """One group of a proper news server; `overrides` as for Pop3Mailbox."""

    def __init__(self, name, subjects, greeting=b"200 scripted news ready\r\n", overrides=None):
        self.name = name
        self.subjects = list(subjects)
        self.greeting = greeting
        self.overrides = dict(overrides or {})

    def reply(self, word, argument):
        count = len(self.subjects)
        if word == "AUTHINFO":
            return b"381 more\r\n" if argument.upper().startswith("USER") else b"281 ok\r\n"
        if word in ("GROUP", "LISTGROUP"):
            return b"211 %d 1 %d %s\r\n" % (count, count, self.name.encode())
        if word in ("XOVER", "OVER"):
            return (b"224 overview follows\r\n" +
                    b"".join(overview_line(i, s).encode("latin-1") + b"\r\n"
                             for i, s in enumerate(self.subjects, 1)) + b".\r\n")
        if word in ("ARTICLE", "HEAD", "BODY"):
            return (b"220 1 <1@proof> article\r\nSubject: %s\r\n\r\nBody.\r\n.\r\n" %
                    self.subjects[0].encode("latin-1")) if count else b"423 none\r\n"
        if word == "LIST":
            return b"215 list\r\n%s %d 1 y\r\n.\r\n" % (self.name.encode(), count)
        if word == "DATE":
            return b"111 20261207100000\r\n"
        if word == "POST":
            return b"340 send it\r\n"
        return b"500 what\r\n"

    def __call__(self, conversation):
        conversation.send(self.greeting)
        while True:
            line = conversation.line()
            if line is None:
                return
            word, _, argument = line.partition(" ")
            word = word.upper()
            if word == "QUIT":
                conversation.send(b"205 bye\r\n")
                return
            if word in self.overrides:
                answer = self.overrides[word](conversation, argument)
                if answer is None:
                    return
                if not conversation.send(answer):
                    return
                continue
            if not conversation.send(self.reply(word, argument)):
                return
            if word == "POST":
                while True:
                    article_line = conversation.line()
                    if article_line is None:
                        return
                    if article_line == ".":
                        break
                if not conversation.send(b"240 posted\r\n"):
                    return
