"""IPv6 end to end: mail programs on ::1 read, through the real trawlbox
binary, a private Dovecot that answers on ::1 and is named in the login by
its bracketed address; the access list admits and refuses by IPv6 and IPv4
entries, and a relay in an IPv6 block of the relay list kills its mail.
"""
import poplib
import shutil
import socket
import tempfile
import unittest

from fixtures.dovecot import Dovecot, find_binary
from trawlbox_runner import Trawlbox, read_line

CLIENT_TIMEOUT_S = 60  # a reply slower than this counts as missing

RELAY_ENTRY = "2001:db8::/32 IPv6 test relays"
KILL_FILE = (b"' kill file of the IPv6 tests\r\n"
             b"--- ALLE\r\n"
             b"\"*viagra*\" \xEAs \xAF" b"DELE\r\n"
             b"\"*IPv6 test relays*\" \xEA\"X-RBL:\" \xAF" b"DELE\r\n")


def ipv6_available():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


def message(subject, received=""):
    return (f"{received}From: someone@example.org\nTo: me@example.org\nSubject: {subject}\n"
            f"Message-ID: <{abs(hash(subject))}@example.org>\n"
            f"Date: Mon, 07 Dec 2026 10:00:00 +0100\n\nBody of {subject}.\n").encode("latin-1")


class Ipv6Test(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if find_binary() is None:
            raise unittest.SkipTest("dovecot is not installed")
        if not ipv6_available():
            raise unittest.SkipTest("no IPv6 on this machine")
        cls.dovecot_dir = tempfile.mkdtemp(prefix="trawlbox-dovecot6-")
        cls.addClassCleanup(shutil.rmtree, cls.dovecot_dir, True)
        cls.dovecot = Dovecot(cls.dovecot_dir, ipv6=True)
        for name in ("alice", "bob"):
            cls.dovecot.add_user(name, "pass word")
        cls.addClassCleanup(cls.dovecot.stop)
        cls.server_port = cls.dovecot.start()["pop3"]
        # Only ::1 and one other IPv4 machine are admitted: 127.0.0.1 is not.
        cls.proxy = Trawlbox(config={"Pop3PortOutgoing": cls.server_port, "Pop3Timeout": 60},
                             killfile=KILL_FILE, access="::1 this machine\r\n127.0.0.9\r\n",
                             rbl=RELAY_ENTRY + "\r\n")
        cls.addClassCleanup(cls.proxy.cleanup)
        cls.proxy.start()

    def login(self, user, expected_host):
        client = poplib.POP3("::1", self.proxy.pop3_port, timeout=CLIENT_TIMEOUT_S)
        self.assertTrue(client.getwelcome().startswith(b"+OK POP3-Trawlbox v0.25 Server #"))
        self.assertEqual(client.user(user), b"+OK More authentication information required")
        self.assertEqual(client.pass_("pass word"),
                         b"+OK Mailbox scan running to %s successfull" % expected_host.encode())
        return client

    def server_login_line(self, name):
        with open(self.dovecot.log_path, errors="replace") as log:
            lines = [line for line in log if "Login: user=<%s>" % name in line]
        return lines[-1] if lines else ""

    def test_mail_program_on_ipv6_reads_a_server_reached_over_ipv6(self):
        relayed = ("Received: from bad.example.org (bad.example.org [IPv6:2001:db8::66])\n"
                   "\tby mx.example.net (Postfix) with ESMTPS id 4AbC\n")
        kept = message("Hello over IPv6")
        for stored in (kept, message("Cheap viagra"), message("Relayed offer", relayed)):
            self.dovecot.add_message("alice", stored)

        client = self.login("[::1]#alice", "[::1]")
        count, _ = client.stat()
        self.assertEqual(count, 2)  # the kept message and the kill report
        self.assertEqual(b"\r\n".join(client.retr(1)[1]) + b"\r\n",
                         kept.replace(b"\n", b"\r\n"))
        report = b"\n".join(client.retr(2)[1]).decode("latin-1")
        self.assertIn("Subject    : Cheap viagra", report)
        self.assertIn("Subject    : Relayed offer", report)
        self.assertIn("RBL Info   : X-RBL: " + RELAY_ENTRY, report)
        client.quit()

        log = self.proxy.log()
        self.assertIn("Incoming Pop3-connection from '::1'  Port: %d\n" % self.proxy.pop3_port,
                      log)
        self.assertIn("Outgoing connection to '[::1]'  Port: %d\n" % self.server_port, log)
        self.assertIn("rip=::1", self.server_login_line("alice"))

    def test_method_before_a_bracketed_address(self):
        client = self.login("plain:[::1]#bob", "[::1]")
        self.assertEqual(client.stat()[0], 0)
        client.quit()
        line = self.server_login_line("bob")
        self.assertIn("method=PLAIN", line)
        self.assertIn("rip=::1", line)

    def test_ipv4_client_outside_the_list_is_refused_on_the_same_port(self):
        with socket.create_connection(("127.0.0.1", self.proxy.pop3_port),
                                      timeout=CLIENT_TIMEOUT_S) as sock:
            reader = sock.makefile("rb")
            self.assertEqual(read_line(reader), "-ERR permission denied, closing connection ...")
            self.assertEqual(reader.read(), b"")
        self.assertIn("Denied Pop3-connection from '127.0.0.1'  Port: %d\n"
                      % self.proxy.pop3_port, self.proxy.log())

    def test_news_listener_takes_ipv6_readers(self):
        with socket.create_connection(("::1", self.proxy.nntp_port),
                                      timeout=CLIENT_TIMEOUT_S) as sock:
            reader = sock.makefile("rb")
            self.assertRegex(read_line(reader), r"^200 NNTP-Trawlbox v0\.25 Server #\d+ ready")
            sock.sendall(b"QUIT\r\n")
            read_line(reader)
        self.assertIn("Incoming Nntp-connection from '::1'  Port: %d\n" % self.proxy.nntp_port,
                      self.proxy.log())


if __name__ == "__main__":
    unittest.main()
