"""DNS blocklists end to end: the real trawlbox binary scans a private
Dovecot's mailboxes and asks the project's own small DNS server on loopback
about the relays of their Received lines. A listed relay kills its message
and the kill report names the list and its reason; a relay the list does not
know, one behind a deeper Received line at the default depth, and every
relay a broken or silent resolver leaves unanswered keep their mail, and a
silent resolver holds the login no longer than DnsTimeout.
"""
import ipaddress
import os
import poplib
import shutil
import subprocess
import tempfile
import time
import unittest

from fixtures.dovecot import Dovecot, find_binary
from trawlbox_runner import Trawlbox

FAKE_DNS_SERVER = os.environ.get("FAKE_DNS_SERVER", "")
CLIENT_TIMEOUT_S = 60  # a reply slower than this counts as missing
SERVER_STOP_S = 10     # bounded wait for the DNS server to end
ZONE = "bl.test"
# What a login may take beyond DnsTimeout: the scan of a few messages on
# loopback and the time to close the resolver's sockets.
LOGIN_SLACK_S = 3

LISTED = "45.33.10.1"          # listed, with a reason
LISTED_V6 = "2a01:4f8:0:1::66"  # listed, without a reason
CLEAN = "45.33.10.2"            # unknown to the list: NXDOMAIN
DEEP = "45.33.10.3"             # listed, but only ever in a second Received line
PRIVATE = "10.1.2.3"            # listed too, but never to be asked about
REASON = "Spam source, see http://bl.test/query/45.33.10.1"


def query_name(address, zone=ZONE):
    """The name a zone is asked about `address` (reversed octets or nibbles)."""
    if ":" in address:
        nibbles = ipaddress.IPv6Address(address).exploded.replace(":", "")
        return ".".join(reversed(nibbles)) + "." + zone
    return ".".join(reversed(address.split("."))) + "." + zone


def received(relay, by="mx.example.net"):
    literal = "IPv6:" + relay if ":" in relay else relay
    return (f"Received: from relay.example.org (relay.example.org [{literal}])\n"
            f"\tby {by} with ESMTP id 4AbC; Mon, 07 Dec 2026 10:00:00 +0100\n")


def message(subject, *relays):
    lines = "".join(received(relay) for relay in relays)
    return (f"{lines}From: someone@example.org\nTo: me@example.org\nSubject: {subject}\n"
            f"Message-ID: <{abs(hash(subject))}@example.org>\n"
            f"Date: Mon, 07 Dec 2026 10:00:00 +0100\n\nBody of {subject}.\n").encode("latin-1")


class DnsServer:
    """The tests' DNS server program on a loopback port, set up by its
    arguments (see tests/dns/server/main.cpp); stopped by closing its input."""

    def __init__(self, *commands):
        self.process = subprocess.Popen([FAKE_DNS_SERVER, "127.0.0.1", *commands],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.port = int(self.process.stdout.readline())
        self.questions = None

    def stop(self):
        """Ends the server; returns how many questions it received."""
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(SERVER_STOP_S)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.questions is None:
            rest = self.process.stdout.read().split()
            self.questions = int(rest[1]) if len(rest) == 2 else -1
            self.process.stdout.close()
        return self.questions


class BlocklistTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if find_binary() is None:
            raise unittest.SkipTest("dovecot is not installed")
        if not FAKE_DNS_SERVER:
            raise unittest.SkipTest("FAKE_DNS_SERVER is not set")
        cls.dovecot_dir = tempfile.mkdtemp(prefix="trawlbox-dovecot-bl-")
        cls.addClassCleanup(shutil.rmtree, cls.dovecot_dir, True)
        cls.dovecot = Dovecot(cls.dovecot_dir)
        cls.addClassCleanup(cls.dovecot.stop)
        cls.server_port = cls.dovecot.start()["pop3"]
        cls.users = 0

    def new_user(self, *messages):
        """A fresh mailbox holding `messages`; returns its user name."""
        BlocklistTest.users += 1
        name = "user%d" % BlocklistTest.users
        self.dovecot.add_user(name, "secret")
        for stored in messages:
            self.dovecot.add_message(name, stored)
        return name

    def start_dns(self, *commands):
        server = DnsServer(*commands)
        self.addCleanup(server.stop)
        return server

    def start_proxy(self, dns, **settings):
        config = {"Pop3PortOutgoing": self.server_port, "Pop3Timeout": 60,
                  "DnsBlocklists": ZONE, "DnsServers": "127.0.0.1:%d" % dns.port}
        config.update(settings)
        proxy = Trawlbox(config=config, killfile="--- ALLE\r\n")
        self.addCleanup(proxy.cleanup)
        return proxy.start()

    def login(self, proxy, user):
        """Logs in; returns the client, the seconds the PASS took and the
        messages shown (subject of each message, or the whole kill report)."""
        client = poplib.POP3("127.0.0.1", proxy.pop3_port, timeout=CLIENT_TIMEOUT_S)
        client.user("127.0.0.1#" + user)
        started = time.monotonic()
        self.assertTrue(client.pass_("secret").startswith(b"+OK Mailbox scan running"))
        took = time.monotonic() - started
        shown = []
        for number in range(1, client.stat()[0] + 1):
            text = b"\n".join(client.retr(number)[1]).decode("latin-1")
            subject = [line for line in text.split("\n") if line.startswith("Subject: ")][0]
            shown.append(text if subject == "Subject: Killed Messages" else subject[9:])
        client.quit()
        return took, shown

    def problem_lines(self, proxy):
        return [line for line in proxy.log().split("\n") if "DNS blocklist:" in line]

    def test_listed_relays_are_killed_and_named_with_the_lists_reason(self):
        dns = self.start_dns("a", query_name(LISTED), "127.0.0.2", "300",
                             "txt", query_name(LISTED), REASON, "300",
                             "a", query_name(LISTED_V6), "127.0.0.4", "300",
                             "a", query_name(PRIVATE), "127.0.0.2", "300",
                             "a", query_name(DEEP), "127.0.0.2", "300")
        proxy = self.start_proxy(dns)
        user = self.new_user(message("Clean relay", CLEAN),
                             message("Listed relay", LISTED),
                             message("Private relay", PRIVATE),
                             message("Listed IPv6 relay", LISTED_V6),
                             message("Deeper listed relay", CLEAN, DEEP),
                             message("No Received line"))
        _, shown = self.login(proxy, user)

        self.assertEqual(shown[:-1], ["Clean relay", "Private relay", "Deeper listed relay",
                                      "No Received line"])
        report = shown[-1]
        entries = report.split("-" * 70)
        listed = [entry for entry in entries if "Subject    : Listed relay" in entry][0]
        self.assertIn("RBL Info   : X-RBL: %s listed by %s: %s\n" % (LISTED, ZONE, REASON),
                      listed)
        self.assertIn("Reason     : DNS blocklist %s\n" % ZONE, listed)
        self.assertIn("Result     : DELE\n", listed)
        listed_v6 = [entry for entry in entries if "Subject    : Listed IPv6 relay" in entry][0]
        self.assertIn("RBL Info   : X-RBL: %s listed by %s\n" % (LISTED_V6, ZONE), listed_v6)
        self.assertEqual(report.count("Subject    : "), 2)  # no other entry
        self.assertEqual(self.problem_lines(proxy), [])
        # One A question for each public top relay, one TXT question for each
        # listed one; the private relay and the deeper line were never asked about.
        self.assertEqual(dns.stop(), 5)

    def test_deeper_listed_relay_counts_at_depth_two_and_lookups_go_out_together(self):
        # The server answers nothing until all three A questions of the scan
        # have arrived: lookups sent one message at a time would wait for the
        # resolver's first resend, half of DnsTimeout.
        dns = self.start_dns("hold", "3",
                             "a", query_name(DEEP), "127.0.0.2", "300",
                             "a", query_name(LISTED), "127.0.0.3", "300")
        proxy = self.start_proxy(dns, DnsblDepth=2, DnsTimeout=10)
        user = self.new_user(message("Deeper listed relay", CLEAN, DEEP),
                             message("Listed relay", LISTED),
                             message("Clean relays", CLEAN, CLEAN))
        took, shown = self.login(proxy, user)

        self.assertLess(took, 10 / 2 - 1)
        self.assertEqual(shown[:-1], ["Clean relays"])
        self.assertIn("RBL Info   : X-RBL: %s listed by %s\n" % (DEEP, ZONE), shown[-1])
        self.assertIn("RBL Info   : X-RBL: %s listed by %s\n" % (LISTED, ZONE), shown[-1])
        self.assertEqual(self.problem_lines(proxy), [])

    def test_silent_resolver_keeps_the_mail_and_holds_the_login_at_most_the_timeout(self):
        dns = self.start_dns("default", "silent")
        proxy = self.start_proxy(dns, DnsTimeout=1)
        user = self.new_user(message("First", LISTED), message("Second", CLEAN),
                             message("Third", LISTED_V6))
        took, shown = self.login(proxy, user)

        self.assertEqual(shown, ["First", "Second", "Third"])
        self.assertLess(took, 1 + LOGIN_SLACK_S)
        problems = self.problem_lines(proxy)
        self.assertEqual(len(problems), 1, problems)  # once per scan, not per message
        self.assertTrue(problems[0].startswith("? "), problems[0])
        self.assertIn("DNS blocklist: 3 of 3 lookups failed; first %s: no answer in time"
                      % query_name(LISTED), problems[0])

    def test_truncated_and_malformed_answers_keep_the_mail(self):
        dns = self.start_dns("a", query_name(LISTED), "127.0.0.2", "300",
                             "reply", query_name(LISTED), "truncated",
                             "a", query_name(DEEP), "127.0.0.2", "300",
                             "reply", query_name(DEEP), "malformed")
        proxy = self.start_proxy(dns)
        user = self.new_user(message("Truncated", LISTED), message("Malformed", DEEP))
        _, shown = self.login(proxy, user)

        self.assertEqual(shown, ["Truncated", "Malformed"])
        problems = self.problem_lines(proxy)
        self.assertEqual(len(problems), 1, problems)
        self.assertIn("DNS blocklist: 2 of 2 lookups failed; first %s: truncated answer"
                      % query_name(LISTED), problems[0])

    def test_resolver_entry_that_is_no_address_is_named_and_left_out(self):
        dns = self.start_dns("a", query_name(LISTED), "127.0.0.2", "300")
        proxy = self.start_proxy(dns, DnsServers="resolver.example, 127.0.0.1:%d" % dns.port)
        user = self.new_user(message("Listed relay", LISTED))
        _, shown = self.login(proxy, user)

        self.assertEqual(len(shown), 1)
        self.assertIn("Subject    : Listed relay", shown[0])
        problems = self.problem_lines(proxy)
        self.assertEqual(len(problems), 1, problems)
        self.assertTrue(problems[0].endswith(
            "DNS blocklist: DnsServers entry \"resolver.example\" is not ip[:port]; left out"),
            problems[0])

if __name__ == "__main__":
    unittest.main()
