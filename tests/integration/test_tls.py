"""Upstream TLS end to end: mail programs and news readers speak plaintext to
the real trawlbox binary on loopback, and it speaks TLS to a private Dovecot
(implicit TLS on its pop3s port, STLS on its plain one) and a private INN
(implicit TLS on a standalone nnrpd, STARTTLS on another).

The certificates come from a private CA made for the run; the proxies trust
it through TlsCaFile. A proxy that trusts only an unrelated CA shows that a
refused certificate ends the login before any credentials leave it (the
server's own log names no user), and a server without TLS shows a refused
STLS.
"""
import os
import poplib
import re
import select
import shutil
import socket
import tempfile
import threading
import time
import unittest
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import nntplib

from fixtures import inn, tls_ca
from fixtures.dovecot import Dovecot, find_binary
from trawlbox_runner import Trawlbox, wait_for_port

CLIENT_TIMEOUT_S = 60  # a reply slower than this counts as missing
POLL_LIMIT_S = 30      # bounded waits for a log line or a Maildir change

CAN_RUN_MAIL = find_binary() is not None
CAN_RUN_NEWS = os.path.exists(inn.INN_BIN + "/innd") and os.geteuid() == 0

# Login methods as the user name names them, and as the server logs them.
METHODS = [("", "PLAIN"), ("apop:", "APOP"), ("login:", "LOGIN"), ("plain:", "PLAIN"),
           ("cram-md5:", "CRAM-MD5"), ("digest-md5:", "DIGEST-MD5")]
# Both names the server certificate carries; each mode uses one of them.
MODES = [("implicit", "localhost"), ("stls", "127.0.0.1")]

MAIL_KILL_FILE = (b"' kill file of the TLS tests\r\n"
                  b"--- ALLE\r\n"
                  b"\"*viagra*\" \xEAs \xAF" b"DELE\r\n")
NEWS_KILL_FILE = (b"' kill file of the TLS tests\r\n"
                  b"--- /DE/TEST\r\n"
                  b"\"*Cheap spam*\" \xEAs \xAFSKIP\r\n")

UNTRUSTED = "TLS handshake failed: certificate verify failed: unable to get local issuer certificate"


def wait_until(predicate, limit=POLL_LIMIT_S):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def message(sender, subject, body):
    return (f"From: {sender}\nTo: me@example.org\nSubject: {subject}\n"
            f"Message-ID: <{abs(hash((sender, subject)))}@example.org>\n\n{body}").encode("latin-1")


def wire(stored):
    return stored.replace(b"\n", b"\r\n")


class PortRelay:
    """Relays every connection to 127.0.0.1:`port` (a privileged port only
    root may bind) on to `target`, byte for byte: a server that runs
    unprivileged appears on its well-known port, and TLS still runs end to
    end between the proxy and the server."""

    BUFFER = 65536
    LIFETIME_S = 120  # the relay stops accepting after this, whatever happens

    def __init__(self, port, target):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))  # PermissionError unless root
        self.listener.listen(4)
        self.listener.settimeout(0.2)
        self.target = target
        self.stopping = threading.Event()
        self.accepted = 0
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        deadline = time.monotonic() + self.LIFETIME_S
        while not self.stopping.is_set() and time.monotonic() < deadline:
            try:
                client, _ = self.listener.accept()
            except socket.timeout:
                continue
            self.accepted += 1
            server = socket.create_connection(("127.0.0.1", self.target), timeout=CLIENT_TIMEOUT_S)
            threading.Thread(target=self._relay, args=(client, server), daemon=True).start()

    def _relay(self, client, server):
        """Both directions until either side ends, then both closed."""
        peer = {client: server, server: client}
        deadline = time.monotonic() + self.LIFETIME_S
        with client, server:
            while time.monotonic() < deadline:
                readable, _, _ = select.select([client, server], [], [], 0.2)
                try:
                    chunks = [(sock, sock.recv(self.BUFFER)) for sock in readable]
                except OSError:
                    return
                for sock, data in chunks:
                    if not data:
                        return
                    peer[sock].sendall(data)

    def stop(self):
        self.stopping.set()
        self.thread.join()
        self.listener.close()


def start_proxy(proxies, config, killfile):
    proxy = Trawlbox(config=dict({"LogSession": "J"}, **config), killfile=killfile)
    proxies.append(proxy)
    proxy.start()
    if not wait_for_port(proxy.nntp_port):
        raise RuntimeError("no NNTP listener; log:\n" + proxy.log())
    return proxy


@unittest.skipUnless(CAN_RUN_MAIL, "dovecot is not installed")
class MailTlsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="trawlbox-tls-")
        cls.addClassCleanup(shutil.rmtree, cls.work, True)
        cls.certs = tls_ca.make(os.path.join(cls.work, "certs"))
        cls.proxies = []
        cls.addClassCleanup(lambda: [p.cleanup() for p in cls.proxies])

        # Users are made before the servers start (see the mail path tests).
        cls.dovecot = Dovecot(tempfile.mkdtemp(prefix="trawlbox-dovecot-"),
                              tls={"cert": cls.certs["server_cert"],
                                   "key": cls.certs["server_key"]})
        cls.addClassCleanup(shutil.rmtree, cls.dovecot.directory, True)
        cls.free_users = ["user%d" % n for n in range(len(METHODS) * len(MODES) + 6)]
        for name in cls.free_users:
            cls.dovecot.add_user(name, "pass word " + name)
        cls.addClassCleanup(cls.dovecot.stop)
        ports = cls.dovecot.start()
        cls.dovecot_ports = ports

        cls.plain_dovecot = Dovecot(tempfile.mkdtemp(prefix="trawlbox-dovecot-"))
        cls.addClassCleanup(shutil.rmtree, cls.plain_dovecot.directory, True)
        cls.plain_dovecot.add_user("plain", "pass word")
        cls.addClassCleanup(cls.plain_dovecot.stop)
        plain_port = cls.plain_dovecot.start()["pop3"]

        trusted = {"TlsCaFile": cls.certs["ca"], "Pop3Timeout": 60}
        cls.proxy = {
            "implicit": start_proxy(cls.proxies, dict(trusted, Pop3Tls="implicit",
                                                      Pop3PortOutgoing=ports["pop3s"]),
                                    MAIL_KILL_FILE),
            "stls": start_proxy(cls.proxies, dict(trusted, Pop3Tls="stls",
                                                  Pop3PortOutgoing=ports["pop3"]),
                                MAIL_KILL_FILE),
        }
        cls.untrusting = start_proxy(cls.proxies, {"TlsCaFile": cls.certs["other_ca"],
                                                   "Pop3Tls": "implicit",
                                                   "Pop3PortOutgoing": ports["pop3s"]},
                                     MAIL_KILL_FILE)
        cls.no_tls_server = start_proxy(cls.proxies, dict(trusted, Pop3Tls="stls",
                                                          Pop3PortOutgoing=plain_port),
                                        MAIL_KILL_FILE)

    def mailbox(self, *messages):
        name = self.free_users.pop(0)
        return name, "pass word " + name, [self.dovecot.add_message(name, m) for m in messages]

    def held(self, name):
        return {f.split(":")[0] for sub in ("cur", "new")
                for f in os.listdir(os.path.join(self.dovecot.maildir(name), sub))}

    def client(self, proxy):
        return poplib.POP3("127.0.0.1", proxy.pop3_port, timeout=CLIENT_TIMEOUT_S)

    def test_every_login_method_over_implicit_tls_and_stls(self):
        for mode, host in MODES:
            for prefix, server_method in METHODS:
                with self.subTest(mode=mode, method=prefix or "USER/PASS"):
                    ham = message("friend@example.org", "Hello", "Dear reader,\n.dot line\n")
                    spam = message("king@spam.example", "Cheap viagra", "Buy.\n")
                    name, password, uids = self.mailbox(ham, spam)
                    mark = len(self.dovecot_log())
                    client = self.client(self.proxy[mode])
                    client.user(prefix + host + "#" + name)
                    self.assertEqual(client.pass_(password),
                                     b"+OK Mailbox scan running to %s successfull" % host.encode())
                    self.assertEqual(client.stat()[0], 2)  # the ham and the kill report
                    _, lines, _ = client.retr(1)
                    self.assertEqual(b"".join(l + b"\r\n" for l in lines), wire(ham))
                    client.quit()
                    # The kill was carried out on the server, through TLS.
                    self.assertTrue(wait_until(lambda: self.held(name) == {uids[0]}),
                                    self.held(name))
                    self.assertTrue(wait_until(
                        lambda: "Login: user=<%s>, method=%s" % (name, server_method)
                        in self.dovecot_log()[mark:]), self.dovecot_log()[mark:])
                    login = re.search(r"Login: user=<%s>.*" % name, self.dovecot_log()[mark:])
                    self.assertIn(", TLS,", login.group(0))
        for mode, _ in MODES:
            self.assertRegex(self.proxy[mode].log(), r"~ .*: TLS established: TLSv1\.[23] ")

    def test_port_995_in_the_login_is_implicit_tls_whatever_pop3tls_says(self):
        # Dovecot runs unprivileged, so its pop3s listener is relayed to 995.
        try:
            relay = PortRelay(995, self.dovecot_ports["pop3s"])
        except OSError as error:  # not root, or 995 taken on this machine
            self.skipTest("cannot listen on 127.0.0.1:995: %s" % error)
        self.addCleanup(relay.stop)
        plain_setting = start_proxy(self.proxies, {"TlsCaFile": self.certs["ca"],
                                                   "Pop3Tls": "off"}, MAIL_KILL_FILE)
        for setting, proxy in (("off", plain_setting), ("stls", self.proxy["stls"])):
            with self.subTest(Pop3Tls=setting):
                ham = message("friend@example.org", "Hello", "Dear reader,\n")
                spam = message("king@spam.example", "Cheap viagra", "Buy.\n")
                name, password, uids = self.mailbox(ham, spam)
                mark, log_mark = len(self.dovecot_log()), len(proxy.log())
                client = self.client(proxy)
                client.user("localhost:995#" + name)
                self.assertEqual(client.pass_(password),
                                 b"+OK Mailbox scan running to localhost successfull")
                self.assertEqual(client.stat()[0], 2)
                client.quit()
                self.assertTrue(wait_until(lambda: self.held(name) == {uids[0]}),
                                self.held(name))
                self.assertTrue(wait_until(
                    lambda: "Login: user=<%s>" % name in self.dovecot_log()[mark:]))
                login = re.search(r"Login: user=<%s>.*" % name, self.dovecot_log()[mark:])
                self.assertIn(", TLS,", login.group(0))
                self.assertRegex(proxy.log()[log_mark:], r"~ .*: TLS established: TLSv1\.[23] ")
        self.assertEqual(relay.accepted, 2)

    def test_untrusted_certificate_ends_the_login_before_credentials_leave(self):
        name, password, _ = self.mailbox(message("a@example.org", "x", "y\n"))
        mark = len(self.dovecot_log())
        client = self.client(self.untrusting)
        client.user("localhost#" + name)
        with self.assertRaises(poplib.error_proto) as refused:
            client.pass_(password)
        self.assertEqual(str(refused.exception), str(b"-ERR localhost not found/ready"))
        client.close()
        self.assertTrue(wait_until(lambda: UNTRUSTED in self.untrusting.log()),
                        self.untrusting.log())
        self.assertTrue(wait_until(lambda: "Disconnected" in self.dovecot_log()[mark:]))
        self.assertNotIn("user=<%s>" % name, self.dovecot_log()[mark:])

    def test_server_without_tls_refuses_stls(self):
        client = self.client(self.no_tls_server)
        client.user("127.0.0.1#plain")
        with self.assertRaises(poplib.error_proto) as refused:
            client.pass_("pass word")
        self.assertEqual(str(refused.exception), str(b"-ERR 127.0.0.1 not found/ready"))
        client.close()
        self.assertTrue(wait_until(lambda: "STLS refused: -ERR" in self.no_tls_server.log()),
                        self.no_tls_server.log())
        self.assertNotIn("user=<plain>", self.plain_dovecot_log())

    def dovecot_log(self):
        with open(self.dovecot.log_path, errors="replace") as log:
            return log.read()

    def plain_dovecot_log(self):
        with open(self.plain_dovecot.log_path, errors="replace") as log:
            return log.read()


class Raw:
    """A reader on a plain socket, for exact reply lines."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=CLIENT_TIMEOUT_S)
        self.file = self.sock.makefile("rb")

    def line(self):
        raw = self.file.readline()
        return raw.decode("latin-1").rstrip("\r\n") if raw else "<closed>"

    def ask(self, text):
        self.sock.sendall(text.encode("latin-1") + b"\r\n")
        return self.line()

    def close(self):
        self.file.close()
        self.sock.close()


@unittest.skipUnless(CAN_RUN_NEWS, "needs root and the inn2 package (scripts/install-deps.sh)")
class NewsTlsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="trawlbox-tls-")
        cls.addClassCleanup(shutil.rmtree, cls.work, True)
        cls.certs = tls_ca.make(os.path.join(cls.work, "certs"))
        cls.inn_dir = tempfile.mkdtemp(prefix="trawlbox-inn-")
        cls.addClassCleanup(shutil.rmtree, cls.inn_dir, True)
        cls.proxies = []
        cls.addClassCleanup(lambda: [p.cleanup() for p in cls.proxies])
        ports = inn.start(cls.inn_dir, tlscertfile=cls.certs["server_cert"],
                          tlskeyfile=cls.certs["server_key"], tlscafile=cls.certs["ca"],
                          implicit_tls=True)
        cls.addClassCleanup(inn.stop, cls.inn_dir)
        cls.ham_id, cls.spam_id = inn.post_many(cls.inn_dir, [
            dict(group="de.test", subject="Hello readers", from_="Ann <ann@example.org>",
                 body="Kept over TLS\n"),
            dict(group="de.test", subject="Cheap spam offer", from_="Bob <bob@example.org>",
                 body="Withheld\n")])
        trusted = {"TlsCaFile": cls.certs["ca"], "NntpTimeout": 120}
        cls.proxy = {
            "starttls": start_proxy(cls.proxies, dict(trusted, NntpTls="starttls",
                                                      NntpPortOutgoing=ports["nnrpd"]),
                                    NEWS_KILL_FILE),
            "implicit": start_proxy(cls.proxies, dict(trusted, NntpTls="implicit",
                                                      NntpPortOutgoing=ports["nnrpd_tls"]),
                                    NEWS_KILL_FILE),
        }
        cls.untrusting = start_proxy(cls.proxies, {"TlsCaFile": cls.certs["other_ca"],
                                                   "NntpTls": "starttls",
                                                   "NntpPortOutgoing": ports["nnrpd"]},
                                     NEWS_KILL_FILE)

    def test_reading_filtering_and_posting_over_starttls_and_implicit_tls(self):
        for mode, host in (("starttls", "localhost"), ("implicit", "127.0.0.1")):
            with self.subTest(mode=mode):
                posted = "<posted-over-%s@example.org>" % mode
                with nntplib.NNTP("127.0.0.1", self.proxy[mode].nntp_port,
                                  timeout=CLIENT_TIMEOUT_S) as s:
                    s.login(host + "#" + inn.DEFAULT_USER, inn.DEFAULT_PASSWORD, usenetrc=False)
                    _, _, first, last, _ = s.group("de.test")
                    _, over = s.over((first, last))
                    ids = {fields["message-id"] for _, fields in over}
                    self.assertIn(self.ham_id, ids)
                    self.assertNotIn(self.spam_id, ids)
                    _, body = s.body(self.ham_id)
                    self.assertEqual(body.lines, [b"Kept over TLS"])
                    reply = s.post([b"From: Tess <tess@example.org>", b"Newsgroups: de.test",
                                    b"Subject: posted over " + mode.encode(),
                                    b"Message-ID: " + posted.encode(), b"",
                                    b"Through the proxy and TLS."])
                    self.assertTrue(reply.startswith("240"), reply)
                with inn.reader(self.inn_dir) as check:
                    self.assertEqual(check.body(posted)[1].lines, [b"Through the proxy and TLS."])
                self.assertRegex(self.proxy[mode].log(), r"~ .*: TLS established: TLSv1\.[23] ")

    def test_untrusted_certificate_is_refused_with_the_connect_failure_reply(self):
        r = Raw(self.untrusting.nntp_port)
        self.addCleanup(r.close)
        self.assertTrue(r.line().startswith("200 NNTP-Trawlbox"))
        self.assertEqual(r.ask("AUTHINFO USER localhost#" + inn.DEFAULT_USER),
                         "381 More authentication information required")
        self.assertEqual(r.ask("AUTHINFO PASS " + inn.DEFAULT_PASSWORD),
                         "502 localhost not found/ready")
        self.assertTrue(wait_until(lambda: "TLS handshake failed: certificate verify failed: "
                                   in self.untrusting.log()), self.untrusting.log())


if __name__ == "__main__":
    unittest.main()
