"""Faults on either side of the proxy: the mail server gone in the middle of
the scan or of a RETR, the mail program gone in the middle of the scan or of
a RETR, the watchdog ending stalled peers on both sides, the news server gone
or stalled in the middle of an overview list.

Every case ends in bounded time, the next session is served as usual, no
message is lost (each is delivered, still on the server, or killed and listed
in the report the client read, or at least in the log when the client was
gone before it could read the report), and every entry is free again.
"""
import sys
import threading
import time
import unittest

from fixtures.dovecot import start_for_class
from proof_relay import TriggerRelay
from proof_servers import NewsGroup, ScriptedServer, overview_line
from proof_support import (CLIENT_SLOTS, LineClient, ProcessProbe, body_of, mail,
                           maildir, message_id_of, nntp_login, pop3_login, slot_report,
                           subject_of, table_slots, unstuff, wait_until, wire)
from trawlbox_runner import Trawlbox, wait_for_port

USER_COUNT = 24
WATCHDOG_S = 3  # idle time-out of the proxy whose watchdog is tested
# What a stalled peer may take to be noticed: the time-out, the watchdog's
# one-second tick, and room for a slow (sanitizer) build.
STALL_LIMIT_S = 30
# More than the socket buffers between server and proxy can hold (the
# receiving side may grow to 32 MiB on Linux): the server is still writing.
BIG_BODY = 48 << 20

KILL_FILE = (b"' kill file of the fault tests\r\n"
             b"--- ALLE\r\n"
             b"\"*viagra*\" \xEAs \xAF" b"DELE\r\n"
             b"--- /DE/TEST\r\n"
             b"\"*Cheap spam*\" \xEAs \xAFSKIP\r\n")
NEWS = ["Weekly meeting", "Cheap spam offer", "Release notes"]

PASS_OK = "+OK Mailbox scan running to 127.0.0.1 successfull"
SCAN_FAILED = "-ERR external Mailbox scan"
LOGIN_FAILED = "-ERR 127.0.0.1 authentication error"


def note(text):
    sys.stderr.write("[faults] %s\n" % text)


class Mailbox:
    """A user's mailbox: server message 1 kept, 2 killed, 3 kept and large."""

    def __init__(self, dovecot, user, big=50000):
        self.user = user
        self.stored = [mail("friend@example.org", "Hello %s" % user, "Hi.\n", user + "a"),
                       mail("king@spam.example", "Cheap viagra %s" % user, "Buy.\n", user + "b"),
                       mail("friend@example.org", "Long letter %s" % user,
                            body_of(big, user), user + "c")]
        # Leading times in order: the server numbers them as added.
        self.uids = [dovecot.add_message(user, m, "%d.%s.proof" % (1000000001 + n, user))
                     for n, m in enumerate(self.stored)]
        self.spam_uid = self.uids[1]


class FaultTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.free_users = [("fault%02d" % n, "secret %02d" % n) for n in range(1, USER_COUNT + 1)]
        cls.dovecot, pop3_port = start_for_class(cls, "trawlbox-faults-dovecot-", cls.free_users)
        cls.relay = TriggerRelay(pop3_port)
        cls.addClassCleanup(cls.relay.close)
        cls.news = ScriptedServer(NewsGroup("de.test", NEWS))
        cls.addClassCleanup(cls.news.close)
        cls.proxies = []
        # One proxy with time-outs no test reaches, one whose watchdog acts soon.
        cls.proxy = cls.start_proxy(60)
        cls.watched = cls.start_proxy(WATCHDOG_S)

    @classmethod
    def start_proxy(cls, timeout):
        proxy = Trawlbox(config={"Pop3PortOutgoing": cls.relay.port, "Pop3Timeout": timeout,
                                 "NntpPortOutgoing": cls.news.port, "NntpTimeout": timeout,
                                 "LogSession": "J", "LogFilter": "J"},
                         killfile=KILL_FILE)
        cls.addClassCleanup(proxy.cleanup)
        proxy.start()
        if not wait_for_port(proxy.nntp_port):
            raise RuntimeError("no news listener; log:\n" + proxy.log())
        proxy.probe = ProcessProbe(proxy.process.pid)
        wait_until(lambda: not slot_report(proxy.log())[0])
        proxy.baseline = proxy.probe.settled()
        return proxy

    def setUp(self):
        self.news.handler = NewsGroup("de.test", NEWS)

    def tearDown(self):
        self.relay.release()

    # --- helpers ---------------------------------------------------------------------

    def mailbox(self, big=50000):
        name, password = self.free_users.pop(0)
        return Mailbox(self.dovecot, name, big), password

    def held(self, box):
        return set(maildir(self.dovecot, box.user))

    def wait_for_held(self, box, uids):
        self.assertTrue(wait_until(lambda: self.held(box) == set(uids)),
                        "server holds %s, expected %s" % (sorted(self.held(box)), sorted(uids)))

    def check_at_rest(self, proxy, whole_table=True):
        """Every session has ended and given back its entries, descriptors and
        threads are where they started."""
        self.assertEqual(proxy.probe.back_to(proxy.baseline), proxy.baseline,
                         "descriptors and threads (now, at start)")
        still_open, faults = slot_report(proxy.log())
        self.assertEqual((still_open, faults), (set(), []))
        if whole_table:
            self.assertEqual(table_slots(proxy), list(range(1, CLIENT_SLOTS + 1)))
            self.assertEqual(proxy.probe.back_to(proxy.baseline), proxy.baseline)

    def login(self, proxy, box, password):
        client, slot, reply = pop3_login(proxy.pop3_port, box.user, password)
        self.assertEqual(reply, PASS_OK)
        return client

    def read_report(self, client):
        """RETR of the last message, the kill report; returns its text."""
        count = int(client.ask("STAT").split()[1])
        reply = client.ask("RETR %d" % count)
        self.assertTrue(reply.endswith("(internal spam-message)"), reply)
        return unstuff(client.block()).decode("latin-1")

    def serve_whole_mailbox(self, proxy, box, password):
        """A normal session after the fault: the kept messages come whole, the
        spam is killed and reported, and the server is left empty."""
        client = self.login(proxy, box, password)
        with client:
            report = self.read_report(client)
            self.assertIn("Subject    : %s\r\n" % subject_of(box.stored[1]), report)
            for n, stored in ((1, box.stored[0]), (2, box.stored[2])):
                self.assertTrue(client.ask("RETR %d" % n).startswith("+OK"))
                self.assertEqual(unstuff(client.block()), wire(stored))
                self.assertEqual(client.ask("DELE %d" % n), "+OK message %d deleted" % n)
            self.assertTrue(client.ask("QUIT").endswith(", good bye spam"))
        self.wait_for_held(box, [])

    def expect_end(self, client, goodbye):
        """The proxy ends the conversation by itself: with its good-bye line or
        (the watchdog) without a word. Returns the bytes that came first."""
        data = client.until_closed()
        if goodbye is True:
            self.assertRegex(data, rb"\+OK POP3-Trawlbox v0\.25 Server #\d+, good bye spam\r\n$")
        elif goodbye is False:
            self.assertEqual(data, b"")
        return data

    # --- the mail server goes away ---------------------------------------------------

    def test_server_gone_during_login_or_scan_keeps_every_message(self):
        # (command after which the link dies, bytes of its answer still passed, reply to PASS)
        cases = [(b"USER fault", 0, LOGIN_FAILED),
                 (b"PASS ", 0, LOGIN_FAILED),
                 (b"LIST\r\n", 12, SCAN_FAILED),
                 (b"UIDL\r\n", 0, SCAN_FAILED),
                 (b"TOP 2 0\r\n", 40, SCAN_FAILED),
                 (b"DELE 2\r\n", 0, SCAN_FAILED),  # the kill is asked for, never carried out
                 (b"TOP 3 0\r\n", 0, SCAN_FAILED)]
        for command, passed, expected in cases:
            with self.subTest(command=command, passed=passed):
                box, password = self.mailbox()
                losses = self.proxy.log().count(": Connection lost ...")
                sprung = self.relay.arm(command, passed, "cut")
                client, _, reply = pop3_login(self.proxy.pop3_port, box.user, password)
                with client:
                    self.assertTrue(sprung.is_set())
                    self.assertEqual(reply, expected)
                    self.expect_end(client, True)
                self.assertTrue(wait_until(
                    lambda: self.proxy.log().count(": Connection lost ...") > losses))
                # No QUIT reached the server: even the asked-for kill is undone.
                self.wait_for_held(box, box.uids)
                self.serve_whole_mailbox(self.proxy, box, password)
        self.check_at_rest(self.proxy)

    def test_server_gone_during_retr_keeps_every_message(self):
        box, password = self.mailbox()
        client = self.login(self.proxy, box, password)
        with client:
            self.read_report(client)
            self.assertEqual(client.ask("DELE 1"), "+OK message 1 deleted")
            sprung = self.relay.arm(b"RETR 3\r\n", 20000, "cut")
            client.send_line("RETR 2")
            data = self.expect_end(client, True)
            self.assertTrue(sprung.is_set())
            # The message is not completed: no client can take it for whole.
            self.assertNotIn(b"\r\n.\r\n", data)
        # Neither the client's DELE nor the kill is carried out without QUIT.
        self.wait_for_held(box, box.uids)
        self.serve_whole_mailbox(self.proxy, box, password)
        self.check_at_rest(self.proxy)

    # --- the mail program goes away --------------------------------------------------

    def test_client_gone_during_scan_kills_only_spam(self):
        box, password = self.mailbox()
        client = LineClient(self.proxy.pop3_port)
        with client:
            client.line()
            client.ask("USER 127.0.0.1#" + box.user)
            client.send_line("PASS " + password)  # answered only after the scan
        # The scan goes on and its kill is carried out; the report is lost with
        # the client, but the log names the message.
        self.wait_for_held(box, [box.uids[0], box.uids[2]])
        self.assertIn("Killing: " + message_id_of(box.stored[1]), self.proxy.log())
        self.check_at_rest(self.proxy)

    def test_client_gone_during_retr_deletes_only_the_kills(self):
        box, password = self.mailbox(big=BIG_BODY)
        client = self.login(self.proxy, box, password)
        with client:
            self.read_report(client)
            self.assertTrue(client.ask("RETR 1").startswith("+OK"))
            self.assertEqual(unstuff(client.block()), wire(box.stored[0]))
            self.assertEqual(client.ask("DELE 1"), "+OK message 1 deleted")
            self.assertTrue(client.ask("RETR 2").startswith("+OK"))
            self.assertTrue(client.raw_line().startswith(b"From: "))
        # A client that did not QUIT deleted nothing (RFC 1939 section 6):
        # its DELE is taken back, the kill is carried out with the QUIT
        # upstream, the large message stays.
        self.wait_for_held(box, [box.uids[0], box.uids[2]])
        self.check_at_rest(self.proxy)

    # --- the watchdog ----------------------------------------------------------------

    def test_watchdog_ends_a_silent_mail_client(self):
        box, password = self.mailbox()
        kills = self.watched.log().count("Socket is dead, perform killing Thread")
        client = self.login(self.watched, box, password)
        with client:
            report = self.read_report(client)
            started = time.monotonic()
            self.expect_end(client, False)
            note("silent mail client ended after %.1f s" % (time.monotonic() - started))
        self.assertGreater(self.watched.log().count("Socket is dead, perform killing Thread"),
                           kills)
        # The kill was carried out or not, depending on whether QUIT still
        # went out; either way it was in the report the client read.
        self.assertIn("Subject    : %s\r\n" % subject_of(box.stored[1]), report)
        self.assertTrue(wait_until(lambda: self.held(box) in (
            set(box.uids), {box.uids[0], box.uids[2]})), sorted(self.held(box)))
        self.check_at_rest(self.watched, whole_table=False)

    def test_watchdog_ends_a_stalled_mail_server(self):
        # (where the server stops, bytes of the answer passed, whether a reply came before)
        cases = [(b"TOP 2 0\r\n", 30, "scan"), (b"RETR 3\r\n", 20000, "retr")]
        for command, passed, where in cases:
            with self.subTest(where=where):
                box, password = self.mailbox()
                sprung = self.relay.arm(command, passed, "stall")
                client = LineClient(self.watched.pop3_port)
                with client:
                    client.line()
                    client.ask("USER 127.0.0.1#" + box.user)
                    started = time.monotonic()
                    if where == "scan":
                        client.send_line("PASS " + password)
                    else:
                        self.assertEqual(client.ask("PASS " + password), PASS_OK)
                        self.assertTrue(client.ask("RETR 2").startswith("+OK"))
                    data = client.until_closed()
                    self.assertTrue(sprung.is_set())
                    note("stalled server (%s) noticed after %.1f s"
                         % (where, time.monotonic() - started))
                    self.assertLess(time.monotonic() - started, STALL_LIMIT_S)
                    # Either the failure reply and the good-bye, or the
                    # watchdog closed the waiting client first.
                    if where == "scan" and data:
                        self.assertTrue(data.startswith(SCAN_FAILED.encode() + b"\r\n"), data)
                    self.assertNotIn(b"\r\n.\r\n", data)
                self.relay.release()
                self.wait_for_held(box, box.uids)
                self.serve_whole_mailbox(self.watched, box, password)
        self.check_at_rest(self.watched, whole_table=False)

    def test_watchdog_ends_silent_and_stalled_news_peers(self):
        # A reader that falls silent after selecting a group.
        reader, _, reply = nntp_login(self.watched.nntp_port)
        with reader:
            self.assertTrue(reader.ask("GROUP de.test").startswith("211 "))
            self.assertEqual(reader.until_closed(), b"")
        # A server that stops in the middle of an overview list.
        stop = threading.Event()

        def stall(conversation, argument):
            conversation.send("224 overview follows\r\n" + overview_line(1, NEWS[0]) + "\r\n")
            stop.wait(STALL_LIMIT_S)
            return None

        self.news.handler = NewsGroup("de.test", NEWS, overrides={"XOVER": stall})
        try:
            reader, _, reply = nntp_login(self.watched.nntp_port)
            with reader:
                reader.ask("GROUP de.test")
                self.assertEqual(reader.ask("XOVER 1-3"), "224 overview follows")
                self.assertEqual(reader.line().split("\t")[1], NEWS[0])
                started = time.monotonic()
                rest = reader.until_closed()
                self.assertLess(time.monotonic() - started, STALL_LIMIT_S)
                self.assertNotIn(b"\r\n.\r\n", b"\r\n" + rest)
        finally:
            stop.set()
        self.news.handler = NewsGroup("de.test", NEWS)
        self.check_news_reader(self.watched)
        self.check_at_rest(self.watched, whole_table=False)

    # --- the news server goes away ---------------------------------------------------

    def test_news_server_gone_during_overview(self):
        def die(conversation, argument):
            conversation.send("224 overview follows\r\n" + overview_line(1, NEWS[0]) + "\r\n" +
                              overview_line(2, NEWS[1]) + "\r\n")
            return None  # hangs up without the closing "."

        self.news.handler = NewsGroup("de.test", NEWS, overrides={"XOVER": die})
        reader, slot, reply = nntp_login(self.proxy.nntp_port)
        with reader:
            reader.ask("GROUP de.test")
            self.assertEqual(reader.ask("XOVER 1-3"), "224 overview follows")
            # The spam line was filtered; the list ends without ".", then the good-bye.
            self.assertEqual(reader.line().split("\t")[1], NEWS[0])
            self.assertEqual(reader.line(), "205 NNTP-Trawlbox v0.25 Server #%d, good bye spam"
                             % slot)
            self.assertEqual(reader.until_closed(), b"")
        self.assertIn("Connection lost during XOVER", self.proxy.log())
        self.news.handler = NewsGroup("de.test", NEWS)
        self.check_news_reader(self.proxy)
        self.check_at_rest(self.proxy)

    def check_news_reader(self, proxy):
        """A normal reader after the fault: logged in, filtered list, article."""
        reader, _, reply = nntp_login(proxy.nntp_port)
        with reader:
            self.assertEqual(reply, "281 Authenticaion accepted from 127.0.0.1")
            self.assertTrue(reader.ask("GROUP de.test").startswith("211 3 1 3"))
            self.assertEqual(reader.ask("XOVER 1-3"), "224 overview follows")
            self.assertEqual([line.split(b"\t")[1] for line in reader.block()],
                             [NEWS[0].encode(), NEWS[2].encode()])
            self.assertTrue(reader.ask("ARTICLE 1").startswith("220 "))
            self.assertIn(b"Body.", reader.block())
            self.assertTrue(reader.ask("QUIT").startswith("205 "))
            self.assertEqual(reader.until_closed(), b"")


if __name__ == "__main__":
    unittest.main()
