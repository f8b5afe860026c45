"""The guards of a proxy that others can reach, through the real binary
against the private Dovecot: no secret on the console (with DEBUGLINE), in
the log (with LogDebug) or on standard error after logins with every
method; servers outside AllowedServers never contacted; and an account whose
logins keep failing held without contacting the server, until its window
has passed.
"""
import base64
import os
import re
import shutil
import socket
import tempfile
import time
import unittest

from fixtures.dovecot import Dovecot, find_binary
from trawlbox_runner import Trawlbox

CLIENT_TIMEOUT_S = 30  # a reply slower than this counts as missing
USER = "alice"
# Distinctive, with a space: the proxy must pass it whole, and a grep for it
# cannot hit anything else.
PASSWORD = "Zq7 guard-secret 41"
METHODS = ["", "apop:", "plain:", "login:", "cram-md5:", "digest-md5:", "auth:", "sasl:"]
FAILURE_LIMIT = 3
FAILURE_WINDOW_S = 4


class Client:
    """A mail program's side of one connection, line by line."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=CLIENT_TIMEOUT_S)
        self.reader = self.sock.makefile("rb")
        self.greeting = self.line()

    def line(self):
        return self.reader.readline().decode("latin-1").rstrip("\r\n")

    def ask(self, command):
        self.sock.sendall(command.encode("latin-1") + b"\r\n")
        return self.line()

    def login(self, user, password):
        self.ask("USER " + user)
        return self.ask("PASS " + password)

    def close(self):
        try:
            self.ask("QUIT")
        except OSError:
            pass
        self.reader.close()
        self.sock.close()


def secret_forms(password):
    """The password as it could leak: plain, and in the Base64 a SASL line carries."""
    forms = {password}
    for raw in (password, "\0%s\0%s" % (USER, password)):
        forms.add(base64.b64encode(raw.encode()).decode())
    return forms


@unittest.skipUnless(find_binary() is not None, "dovecot is not installed")
class GuardsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dovecot_dir = tempfile.mkdtemp(prefix="trawlbox-dovecot-guards-")
        cls.addClassCleanup(shutil.rmtree, cls.dovecot_dir, True)
        cls.dovecot = Dovecot(cls.dovecot_dir)
        cls.dovecot.add_user(USER, PASSWORD)
        cls.dovecot.add_user("bob", PASSWORD)
        cls.addClassCleanup(cls.dovecot.stop)
        cls.pop3_port = cls.dovecot.start()["pop3"]

    def proxy(self, **config):
        settings = {"Pop3PortOutgoing": self.pop3_port, "DEBUGLINE": "J", "LogDebug": "J"}
        settings.update(config)
        proxy = Trawlbox(config=settings)
        self.addCleanup(proxy.cleanup)
        return proxy.start()

    def console(self, proxy):
        """Everything the program wrote to its terminal: standard output and error."""
        with open(proxy.path("stdout.txt"), "rb") as f:
            return f.read().decode("latin-1")

    def server_log(self):
        with open(self.dovecot.log_path, "rb") as f:
            return f.read().decode("latin-1")

    def test_no_secret_on_the_console_or_in_the_log_after_logins_with_every_method(self):
        proxy = self.proxy()
        for method in METHODS:
            client = Client(proxy.pop3_port)
            reply = client.login("%s127.0.0.1#%s" % (method, USER), PASSWORD)
            client.close()
            self.assertTrue(reply.startswith("+OK Mailbox scan running"), (method, reply))
        proxy.stop()
        console, log = self.console(proxy), proxy.log()
        for form in secret_forms(PASSWORD):
            self.assertNotIn(form, console)
            self.assertNotIn(form, log)
        # The echo still shows the exchange, with its secrets masked: both
        # legs of PASS, the APOP digest, every SASL response. Without a
        # terminal the log lines are on standard error too, between them.
        console = "".join(line for line in console.splitlines(True)
                          if re.match(r"\d+[<>]:", line))
        self.assertRegex(console, r"\d+<:PASS \*\*\*\r?\n")  # from the mail program
        self.assertRegex(console, r"\d+>:PASS \*\*\*\r?\n")  # to the server
        self.assertRegex(console, r"\d+>:APOP alice \*\*\*\r?\n")
        for mechanism in ("PLAIN", "LOGIN", "CRAM-MD5", "DIGEST-MD5"):
            self.assertRegex(console, r"\d+>:AUTH %s\r?\n\d+<:(\+ )?\*\*\*\r?\n\d+>:\*\*\*\r?\n"
                             % mechanism)
        # No line the server's leg sent in an exchange is a Base64 response.
        for sent in re.findall(r"\d+>:(\S+)\r?\n", console):
            self.assertNotRegex(sent, r"^[A-Za-z0-9+/]{16,}={0,2}$")

    def test_refused_server_is_never_contacted(self):
        # A listener on another loopback address at the server's port: what a
        # client could reach if the list were not kept.
        trap = socket.socket()
        self.addCleanup(trap.close)
        trap.bind(("127.0.0.2", self.pop3_port))
        trap.listen(8)
        trap.settimeout(0.5)
        proxy = self.proxy(AllowedServers="127.0.0.1, *.example.org")
        client = Client(proxy.pop3_port)
        reply = client.login("127.0.0.2#" + USER, PASSWORD)
        client.close()
        self.assertEqual(reply, "-ERR 127.0.0.2 not allowed")
        with self.assertRaises(socket.timeout):
            trap.accept()
        self.assertRegex(proxy.log(), r"\? [\d:]+  #\d+: '127\.0\.0\.2'  Port: %d not allowed "
                                      r"for 127\.0\.0\.1" % self.pop3_port)
        # The allowed server is served as before.
        client = Client(proxy.pop3_port)
        self.assertTrue(client.login("127.0.0.1#" + USER, PASSWORD).startswith("+OK"))
        client.close()

    def test_failing_account_is_held_without_contacting_the_server(self):
        proxy = self.proxy(LoginFailureLimit=FAILURE_LIMIT, LoginFailureWindow=FAILURE_WINDOW_S)
        for _ in range(FAILURE_LIMIT):
            client = Client(proxy.pop3_port)
            self.assertEqual(client.login("127.0.0.1#bob", "stale"),
                             "-ERR 127.0.0.1 authentication error")
            client.close()
        # The server writes its log after the connection; on a busy machine
        # the last failure may still be on its way.
        deadline = time.monotonic() + 10
        while (self.server_log().count("user=<bob>") < FAILURE_LIMIT
               and time.monotonic() < deadline):
            time.sleep(0.1)
        attempts = self.server_log().count("user=<bob>")
        self.assertGreaterEqual(attempts, FAILURE_LIMIT)

        # Held: even the right password is answered by the proxy itself.
        for _ in range(2):
            client = Client(proxy.pop3_port)
            reply = client.login("127.0.0.1#bob", PASSWORD)
            client.close()
            self.assertRegex(reply, r"^-ERR \[AUTH\] too many failed logins for bob, "
                                    r"retry after \d\d:\d\d:\d\d$")
        # Another account at the same server is not held with it.
        client = Client(proxy.pop3_port)
        self.assertTrue(client.login("127.0.0.1#" + USER, PASSWORD).startswith("+OK"))
        client.close()
        time.sleep(0.5)  # the server writes its log after the connection
        self.assertEqual(self.server_log().count("user=<bob>"), attempts)
        self.assertEqual(proxy.log().count("Logins for bob at 127.0.0.1:%d held until"
                                           % self.pop3_port), 1)

        # After the window the login goes through, and clears the count.
        time.sleep(FAILURE_WINDOW_S + 1)
        client = Client(proxy.pop3_port)
        self.assertTrue(client.login("127.0.0.1#bob", PASSWORD).startswith("+OK"))
        client.close()
        client = Client(proxy.pop3_port)
        self.assertEqual(client.login("127.0.0.1#bob", "stale"),
                         "-ERR 127.0.0.1 authentication error")
        client.close()


if __name__ == "__main__":
    unittest.main()
