"""Hostile input from both sides of the proxy: mail programs and news readers
that send random bytes, endless lines, NUL bytes, bare line feeds, numbers
out of range and commands in the wrong state; mail and news servers that
answer with garbage, claim absurd mailboxes, send headers without end; and
kill and list files of random bytes.

The proxy must answer every client line it can answer, cut off what it
cannot hold, never hang (every read here is bounded), keep its memory
bounded, and serve a normal client afterwards.
"""
import random
import sys
import unittest

from proof_servers import NewsGroup, Pop3Mailbox, ScriptedServer, overview_line, pop3_message
from proof_support import (LineClient, ProcessProbe, nntp_login, pop3_login, sanitized_build,
                           scaled, slot_report, unstuff, wait_until)
from trawlbox_runner import Trawlbox, wait_for_port

SEED = 20261207
RANDOM_LINES = scaled(150, least=40)
ENDLESS = (1 << 20) + (1 << 19)  # beyond the longest line the proxy holds (1 MiB)
PEER_TIMEOUT_S = 5  # idle time-out of the proxy that faces hostile servers
# Peak resident memory the proxy may reach; figures under a sanitizer are
# the sanitizer's own (shadow memory, quarantine) and are only reported.
PEAK_KB_LIMIT = 128 * 1024
# What one session may add to the peak for the data a server sends it.
SESSION_GROWTH_KB = 32 * 1024

KILL_FILE = (b"' kill file of the hostile-input tests\r\n"
             b"--- ALLE\r\n"
             b"\"*viagra*\" \xEAs \xAF" b"DELE\r\n"
             b"\"*lottery*\" \xEAs \xAFSKIP\r\n"
             b"--- /DE/TEST\r\n"
             b"\"*Cheap spam*\" \xEAs \xAFSKIP\r\n")
NEWS = ["Weekly meeting", "Cheap spam offer", "Release notes"]

PASS_OK = "+OK Mailbox scan running to 127.0.0.1 successfull"
SCAN_FAILED = "-ERR external Mailbox scan"
LOGIN_FAILED = "-ERR 127.0.0.1 authentication error"
NNTP_OK = "281 Authenticaion accepted from 127.0.0.1"
# A server that stops answering holds the session until the time-out; the
# watchdog may close the waiting client's connection first, without a word.
STALLED = "<closed>"


def note(text):
    sys.stderr.write("[hostile] %s\n" % text)


def random_line(rng, longest=200):
    """Random bytes without LF, not starting with a blank (a news line that
    starts with one is a blank command, which gets no answer)."""
    data = bytes(rng.randrange(256) for _ in range(rng.randrange(1, longest)))
    data = data.replace(b"\n", b"?")
    return b"x" + data if data[:1] in (b" ", b"\r") else data


def first_word(line):
    return line.split(b" ")[0].upper()


def mailbox():
    """Server 1 and 3 kept, 2 killed, 4 hidden; Received lines for the relay list."""
    received = b"Received: from relay.example ([192.0.2.7]) by mx.example\r\n"
    return [pop3_message("first letter", received + b"\r\nBody one.\r\n.dotted\r\n"),
            pop3_message("cheap viagra", b"\r\nBuy.\r\n"),
            pop3_message("third letter", b"\r\nBody three.\r\n"),
            pop3_message("lottery draw", b"\r\nNo win.\r\n")]


def start_proxy(test_class, timeout, pop3_port, nntp_port, **files):
    proxy = Trawlbox(config={"Pop3PortOutgoing": pop3_port, "Pop3Timeout": timeout,
                             "NntpPortOutgoing": nntp_port, "NntpTimeout": timeout,
                             "LogSession": "J", "LogFilter": "J"},
                     **dict({"killfile": KILL_FILE}, **files))
    test_class.addClassCleanup(proxy.cleanup)
    proxy.start()
    if not wait_for_port(proxy.nntp_port):
        raise RuntimeError("no news listener; log:\n" + proxy.log())
    proxy.probe = ProcessProbe(proxy.process.pid)
    wait_until(lambda: not slot_report(proxy.log())[0])
    proxy.baseline = proxy.probe.settled()
    return proxy


class HostileTestBase(unittest.TestCase):
    def check_normal_mail_client(self, proxy):
        client, _, reply = pop3_login(proxy.pop3_port, "alice", "secret")
        with client:
            self.assertEqual(reply, PASS_OK)
            self.assertEqual(client.ask("STAT").split()[1], "3")  # two kept and the report
            self.assertTrue(client.ask("RETR 1").startswith("+OK"))
            self.assertIn(b"Body one.", client.block())
            self.assertTrue(client.ask("QUIT").endswith(", good bye spam"))
            self.assertEqual(client.until_closed(), b"")

    def check_normal_reader(self, proxy):
        reader, _, reply = nntp_login(proxy.nntp_port)
        with reader:
            self.assertEqual(reply, NNTP_OK)
            self.assertTrue(reader.ask("GROUP de.test").startswith("211 "))
            self.assertEqual(reader.ask("XOVER 1-3"), "224 overview follows")
            self.assertEqual([l.split(b"\t")[1] for l in reader.block()],
                             [NEWS[0].encode(), NEWS[2].encode()])
            self.assertTrue(reader.ask("QUIT").startswith("205 "))

    def check_at_rest(self, proxy):
        self.assertIsNone(proxy.process.poll(), "the proxy is gone")
        self.assertEqual(proxy.probe.back_to(proxy.baseline), proxy.baseline,
                         "descriptors and threads (now, at start)")
        self.assertEqual(slot_report(proxy.log()), (set(), []))
        peak = proxy.probe.peak_kb()
        note("%s: peak resident %d KiB" % (self.id().split(".")[-1], peak))
        if not sanitized_build():
            self.assertLess(peak, PEAK_KB_LIMIT)


class HostileClientTest(HostileTestBase):
    """Mail programs and news readers misbehave; the servers are proper."""

    @classmethod
    def setUpClass(cls):
        cls.pop3 = ScriptedServer(Pop3Mailbox(mailbox()))
        cls.addClassCleanup(cls.pop3.close)
        cls.news = ScriptedServer(NewsGroup("de.test", NEWS))
        cls.addClassCleanup(cls.news.close)
        cls.proxy = start_proxy(cls, 60, cls.pop3.port, cls.news.port)

    def setUp(self):
        self.rng = random.Random(SEED)

    def expect_each(self, client, cases):
        for line, expected in cases:
            with self.subTest(line=line):
                self.assertEqual(client.ask(line), expected)

    def test_mail_client_garbage_in_every_state(self):
        auth = "-ERR Authentication required"
        unknown = "-ERR unknown command"
        client = LineClient(self.proxy.pop3_port)
        with client:
            self.assertTrue(client.line().startswith("+OK POP3-Trawlbox"))
            self.expect_each(client, [
                ("STAT", auth), ("RETR 1", auth), ("LIST -1", auth), ("TOP 1 -5", auth),
                ("DELE 1", auth), ("UIDL", auth), ("NOOP", auth), ("RSET", auth),
                ("STATALL", auth), ("HELP", auth), ("APOP a b", auth), ("", auth),
                ("\x00\x01\x02\xff", auth), ("PASS x", "-ERR Authentication rejected")])
            # Bare line feeds end lines as well.
            client.send(b"STAT\nNOOP\n")
            self.assertEqual([client.line(), client.line()], [auth, auth])
            lines = [l for l in (random_line(self.rng) for _ in range(RANDOM_LINES))
                     if first_word(l) not in (b"USER", b"PASS", b"QUIT", b"CAPA", b"STLS")]
            client.send(b"".join(l + b"\r\n" for l in lines))
            self.assertEqual([client.line() for _ in lines], [auth] * len(lines))
            # A host name far beyond any real one is only taken note of.
            self.assertEqual(client.ask("USER " + "h" * 100000 + "#alice"),
                             "+OK More authentication information required")
            self.assertEqual(client.ask("USER 127.0.0.1#alice"),
                             "+OK More authentication information required")
            self.assertEqual(client.ask("PASS secret"), PASS_OK)

            size1 = len(mailbox()[0])
            self.expect_each(client, [
                ("RETR 99999999999999999999", "-ERR no such message"),
                ("LIST -1", "-ERR no such message"), ("DELE 0", "-ERR no such message"),
                ("UIDL 18446744073709551617", "-ERR no such message"),
                ("LIST 4", "-ERR no such message"), ("TOP 0", "-ERR no such message Arg"),
                ("TOP", unknown), ("RETR", unknown), ("DELE", unknown), ("USER x", unknown),
                ("PASS y", unknown), ("APOP a b", unknown), ("AUTH PLAIN", unknown),
                ("STLS", unknown), ("", unknown), ("\x00RETR 1", unknown),
                ("LIST\t1", unknown), ("STAT\r", unknown),
                ("LIST 1", "+OK 1 %d" % size1)])
            self.assertTrue(client.ask("STAT" + " " * 50000).startswith("+OK 3 "))
            # A negative or absurd line count still brings the header alone.
            for command in ("TOP 1 -5", "TOP 1 99999999999999999999"):
                self.assertEqual(client.ask(command), "+OK %d octets" % size1)
                self.assertIn(b"Subject: first letter", client.block())
            lines = [l for l in (random_line(self.rng) for _ in range(RANDOM_LINES))
                     if first_word(l) not in (b"QUIT", b"STAT", b"NOOP", b"RSET", b"STATALL",
                                              b"DELE", b"RETR", b"LIST", b"TOP", b"UIDL",
                                              b"HELP", b"CAPA")]
            client.send(b"".join(l + b"\r\n" for l in lines))
            self.assertEqual([client.line() for _ in lines], [unknown] * len(lines))
            self.assertTrue(client.ask("RETR 2").startswith("+OK"))
            self.assertIn(b"Body three.", client.block())
            self.assertTrue(client.ask("QUIT").endswith(", good bye spam"))
            self.assertEqual(client.until_closed(), b"")
        self.check_normal_mail_client(self.proxy)
        self.check_at_rest(self.proxy)

    def test_endless_client_lines_are_cut_off(self):
        # Before the login, after the login, and from a news reader.
        for where in ("mail, not logged in", "mail, logged in", "news, logged in"):
            with self.subTest(where=where):
                dropped = self.proxy.log().count("Line too long, connection dropped")
                if where.startswith("mail"):
                    client = LineClient(self.proxy.pop3_port)
                    client.line()
                    if where.endswith(", logged in"):
                        client.ask("USER 127.0.0.1#alice")
                        self.assertEqual(client.ask("PASS secret"), PASS_OK)
                    server_lines = lambda: self.pop3.last().lines
                else:
                    client, _, reply = nntp_login(self.proxy.nntp_port)
                    self.assertEqual(reply, NNTP_OK)
                    server_lines = lambda: self.news.last().lines
                with client:
                    client.send(b"NOOP " + b"\x00\xff\r" * (ENDLESS // 3))
                    self.assertEqual(client.until_closed(), b"")
                self.assertTrue(wait_until(lambda: self.proxy.log().count(
                    "Line too long, connection dropped") > dropped))
                if where.endswith(", logged in"):
                    # The server still gets its QUIT: the client's deletions stand.
                    self.assertTrue(wait_until(lambda: server_lines()[-1:] == ["QUIT"]))
        self.check_normal_mail_client(self.proxy)
        self.check_normal_reader(self.proxy)
        self.check_at_rest(self.proxy)

    def test_news_reader_garbage_in_every_state(self):
        auth = "480 Authentication required"
        unknown = "500 command not (yet) implemented"
        reader = LineClient(self.proxy.nntp_port)
        with reader:
            self.assertTrue(reader.line().startswith("200 NNTP-Trawlbox"))
            self.expect_each(reader, [
                ("GROUP de.test", auth), ("XOVER", auth), ("POST", auth), ("ARTICLE 1", auth),
                ("MODE READER", auth), ("", auth), ("\x00\xff", auth),
                ("AUTHINFO PASS x", "381 more authentication information required"),
                ("AUTHINFO", auth), ("AUTHINFO SASL PLAIN", auth)])
            lines = [l for l in (random_line(self.rng) for _ in range(RANDOM_LINES))
                     if first_word(l) not in (b"AUTHINFO", b"QUIT", b"CAPABILITIES")]
            reader.send(b"".join(l + b"\r\n" for l in lines))
            self.assertEqual([reader.line() for _ in lines], [auth] * len(lines))
            self.assertEqual(reader.ask("AUTHINFO USER 127.0.0.1#reader"),
                             "381 More authentication information required")
            self.assertEqual(reader.ask("AUTHINFO PASS pass word"), NNTP_OK)

            self.expect_each(reader, [
                ("AUTHINFO USER x", "381 ignored"), ("AUTHINFO PASS y", "281 ignored"),
                ("AUTHINFO GENERIC", unknown), ("IHAVE <x@y>", unknown),
                ("\x00\x01", unknown), ("GROUP" + "\t" * 1000, unknown),
                ("STAT", "500 what"), ("GROUP " + "g" * 100000, "211 3 1 3 de.test")])
            lines = [l for l in (random_line(self.rng) for _ in range(RANDOM_LINES))
                     if first_word(l) not in (b"QUIT",)]
            reader.send(b"".join(l + b"\r\n" for l in lines))
            self.assertEqual([reader.line() for _ in lines], [unknown] * len(lines))
            # A posted article of odd lines goes through whole.
            self.assertEqual(reader.ask("POST"), "340 send it")
            reader.send(b"Subject: odd\r\n\r\n\x00\x01\xff\r\n..dot\r\n" + b"y" * 500000 +
                        b"\r\n.\r\n")
            self.assertEqual(reader.line(), "240 posted")
            self.assertEqual(reader.ask("XOVER 99999999999999999999-1"), "224 overview follows")
            self.assertEqual(len(reader.block()), 2)
            self.assertTrue(reader.ask("QUIT").startswith("205 "))
        self.check_normal_reader(self.proxy)
        self.check_at_rest(self.proxy)


def garbage_reply(text):
    return lambda conversation, argument: text


class HostileServerTest(HostileTestBase):
    """Mail and news servers misbehave; the proxy's time-outs are short."""

    @classmethod
    def setUpClass(cls):
        cls.pop3 = ScriptedServer(Pop3Mailbox(mailbox()))
        cls.addClassCleanup(cls.pop3.close)
        cls.news = ScriptedServer(NewsGroup("de.test", NEWS))
        cls.addClassCleanup(cls.news.close)
        cls.proxy = start_proxy(cls, PEER_TIMEOUT_S, cls.pop3.port, cls.news.port)

    def setUp(self):
        self.rng = random.Random(SEED)

    def tearDown(self):
        self.pop3.handler = Pop3Mailbox(mailbox())
        self.news.handler = NewsGroup("de.test", NEWS)

    def mail_cases(self):
        rng = self.rng
        garbage = random_line(rng, 300).replace(b"\r", b"")
        many_headers = b"".join(b"X-Junk-%d: value %d\r\n" % (n, n) for n in range(50000))
        folded = b"Subject: start\r\n" + b"".join(b"\tmore text %d\r\n" % n for n in range(100000))
        broken_words = (b"=?utf-8?B?####?= =?iso-8859-1?Q?=ZZ=?= =?=?=?= =?utf-8?B?" +
                        b"=?x?q?" * 2000 + b" =?UTF-8?B?" + b"A" * 30000 + b"?=")
        wide_to = b"To: " + b", ".join(b"u%d@example.org" % n for n in range(3000)) + b"\r\n"
        nul_mail = (b"From: a\x00b@example.org\nSubject: nul \x00 inside\n\nBody \x00 one.\n")
        absurd_sizes = b"+OK\r\n1 -5\r\n2 99999999999999999999\r\n3 0\r\n4 7\r\n.\r\n"
        return [
            # (name, server, reply to PASS, what a client then sees or None)
            ("garbage greeting", Pop3Mailbox(mailbox(), greeting=garbage + b"\r\n"), PASS_OK,
             "normal"),
            ("endless greeting", Pop3Mailbox(mailbox(), greeting=b"+OK " + b"g" * ENDLESS),
             (LOGIN_FAILED, STALLED), None),
            ("STAT of 2^31 messages", Pop3Mailbox(mailbox(), overrides={
                "STAT": garbage_reply(b"+OK 2147483648 1\r\n")}), SCAN_FAILED, None),
            ("STAT of -5 messages", Pop3Mailbox(mailbox(), overrides={
                "STAT": garbage_reply(b"+OK -5 -7\r\n")}), PASS_OK, "+OK 0 0"),
            ("LIST of absurd numbers", Pop3Mailbox(mailbox(), overrides={
                "LIST": garbage_reply(b"+OK\r\n4294967297 5\r\n-1 7\r\n"
                                      b"99999999999999999999 1\r\n.\r\n")}), SCAN_FAILED, None),
            ("LIST of absurd sizes", Pop3Mailbox(mailbox(), overrides={
                "LIST": garbage_reply(absurd_sizes)}), PASS_OK, "retr"),
            ("50,000 header lines", Pop3Mailbox(
                [pop3_message("first letter", b"\r\nBody one.\r\n", many_headers[:-2])] +
                mailbox()[1:]), PASS_OK, "retr"),
            ("endless folding", Pop3Mailbox(
                [folded + b"\r\nBody one.\r\n"] + mailbox()[1:]), PASS_OK, "retr"),
            ("broken encoded words", Pop3Mailbox(
                [pop3_message(broken_words, b"\r\nBody one.\r\n", broken_words)] +
                mailbox()[1:]), PASS_OK, "retr"),
            ("killed spam to 3000 recipients", Pop3Mailbox(
                [mailbox()[0], wide_to + pop3_message("viagra", b"\r\nBuy.\r\n")] +
                mailbox()[2:]), PASS_OK, "normal"),
            ("NUL bytes and bare line feeds", Pop3Mailbox(
                [nul_mail.replace(b"\n", b"\r\n")] + mailbox()[1:],
                greeting=b"+OK \x00 hi\n", bare_lf=True), PASS_OK, "retr"),
            ("TOP without end", Pop3Mailbox(mailbox(), overrides={
                "TOP": garbage_reply(b"+OK 10 octets\r\nSubject: never ends\r\n")}),
             (SCAN_FAILED, STALLED), None),
            ("TOP of an endless line", Pop3Mailbox(mailbox(), overrides={
                "TOP": garbage_reply(b"+OK 10 octets\r\nSubject: " + b"s" * ENDLESS)}),
             SCAN_FAILED, None),
            ("RETR of an endless line", Pop3Mailbox(mailbox()[:1] + mailbox()[2:], overrides={
                "RETR": garbage_reply(b"+OK 10 octets\r\n" + b"r" * ENDLESS)}), PASS_OK,
             "cut retr"),
            # The killed message's copy is read before its DELE: a server
            # that never ends it loses the link, and the message stays.
            ("RETR of an endless line for a copy", Pop3Mailbox(mailbox(), overrides={
                "RETR": garbage_reply(b"+OK 10 octets\r\n" + b"r" * ENDLESS)}), SCAN_FAILED,
             None),
            # The copy is kept, the message not deleted: the report says so.
            ("DELE answered with garbage", Pop3Mailbox(mailbox(), overrides={
                "DELE": garbage_reply(garbage + b"\r\n")}), PASS_OK, "+OK 3 "),
            ("random bytes for every reply", Pop3Mailbox(mailbox(), overrides={
                word: garbage_reply(random_line(rng, 400) + b"\r\n")
                for word in ("USER", "PASS", "STAT", "LIST", "UIDL", "TOP")}),
             LOGIN_FAILED, None),
        ]

    def test_hostile_mail_servers(self):
        for name, server, expected, then in self.mail_cases():
            with self.subTest(case=name):
                self.pop3.handler = server
                client, _, reply = pop3_login(self.proxy.pop3_port, "alice", "secret")
                with client:
                    self.assertIn(reply, expected if isinstance(expected, tuple) else (expected,))
                    if then == "normal":
                        self.assertTrue(client.ask("STAT").startswith("+OK 3 "))
                    elif then == "retr":
                        self.assertTrue(client.ask("RETR 1").startswith("+OK"))
                        self.assertEqual(unstuff(client.block()), server.messages[0])
                    elif then == "cut retr":
                        self.assertTrue(client.ask("RETR 1").startswith("+OK"))
                        self.assertNotIn(b"\r\n.\r\n", client.until_closed())
                    elif then is not None:
                        self.assertTrue(client.ask("STAT").startswith(then), then)
                    client.send_line("QUIT")
                    client.until_closed()
                self.assertIsNone(self.proxy.process.poll(), "the proxy is gone")
        self.pop3.handler = Pop3Mailbox(mailbox())
        self.check_normal_mail_client(self.proxy)
        self.check_at_rest(self.proxy)

    def news_cases(self):
        rng = self.rng
        garbage = random_line(rng, 300).replace(b"\r", b"")
        wild = [overview_line(1, NEWS[0]) + "\t" * 5000,
                "2\t=?utf-8?B?####?= =?x?q?=ZZ?=\t\x00\xff\t\t<2@proof>\t\t1\t1",
                "3\t" + "w" * 900000 + "\tA <a@b>\t\t<3@proof>\t\t1\t1", "\t\t\t", "junk"]
        stall = lambda conversation, argument: (conversation.send(b"1 go on\r\nmore\r\n"),
                                                conversation.drain())[1]
        return [
            # (name, server, reply to AUTHINFO PASS, what a reader then sees)
            ("garbage greeting", NewsGroup("de.test", NEWS, greeting=garbage + b"\r\n"),
             garbage.decode("latin-1"), None),
            ("refusing greeting", NewsGroup("de.test", NEWS, greeting=b"400 go away\r\n"),
             "400 go away", None),
            ("endless greeting", NewsGroup("de.test", NEWS, greeting=b"200 " + b"g" * ENDLESS),
             "502 127.0.0.1 not found/ready", None),
            ("bare group reply", NewsGroup("de.test", NEWS, overrides={
                "GROUP": garbage_reply(b"211\r\n")}), NNTP_OK, "xover"),
            ("wild overview lines", NewsGroup("de.test", NEWS, overrides={
                "XOVER": garbage_reply(b"224 overview\r\n" + "".join(
                    l + "\r\n" for l in wild).encode("latin-1") + b".\r\n")}), NNTP_OK,
             "xover"),
            ("endless overview line", NewsGroup("de.test", NEWS, overrides={
                "XOVER": garbage_reply(b"224 overview\r\n" + b"o" * ENDLESS)}), NNTP_OK,
             "xover"),
            ("block that never ends", NewsGroup("de.test", NEWS, overrides={"ARTICLE": stall}),
             NNTP_OK, "article"),
            ("100,000 lines of LIST", NewsGroup("de.test", NEWS, overrides={
                "LIST": garbage_reply(b"215 list\r\n" + b"".join(
                    b"group.%d 1 1 y\r\n" % n for n in range(100000)) + b".\r\n")}),
             NNTP_OK, "list"),
            ("random bytes for every reply", NewsGroup("de.test", NEWS, overrides={
                word: garbage_reply(random_line(rng, 400) + b"\r\n")
                for word in ("GROUP", "XOVER", "ARTICLE", "LIST", "CAPABILITIES")}),
             NNTP_OK, "random"),
        ]

    def test_hostile_news_servers(self):
        for name, server, expected, then in self.news_cases():
            with self.subTest(case=name):
                self.news.handler = server
                reader, _, reply = nntp_login(self.proxy.nntp_port)
                with reader:
                    self.assertEqual(reply, expected)
                    if then == "xover":
                        reader.ask("GROUP de.test")
                        if reader.ask("XOVER 1-5").startswith("224"):
                            reader.block()
                    elif then == "article":
                        self.assertEqual(reader.ask("ARTICLE 1"), "1 go on")
                        self.assertNotIn(b"\r\n.\r\n", reader.until_closed())
                    elif then == "list":
                        self.assertEqual(reader.ask("LIST"), "215 list")
                        self.assertEqual(len(reader.block()), 100000)
                    elif then == "random":
                        for command in ("GROUP de.test", "XOVER 1-3", "ARTICLE 1", "LIST",
                                        "CAPABILITIES"):
                            if reader.ask(command) == "<closed>":
                                break
                    reader.send_line("QUIT")
                    reader.until_closed()
                self.assertIsNone(self.proxy.process.poll(), "the proxy is gone")
        self.news.handler = NewsGroup("de.test", NEWS)
        self.check_normal_reader(self.proxy)
        self.check_at_rest(self.proxy)


class HostileMemoryTest(HostileTestBase):
    """What a server claims may not make a session hold what it likes. Each
    case runs in a proxy of its own, so that its peak is its own."""

    def peak_growth_kb(self, server):
        pop3 = ScriptedServer(server)
        self.addCleanup(pop3.close)
        news = ScriptedServer(NewsGroup("de.test", NEWS))
        self.addCleanup(news.close)
        proxy = start_proxy(type(self), 60, pop3.port, news.port)
        before = proxy.probe.peak_kb()
        client, _, reply = pop3_login(proxy.pop3_port, "alice", "secret")
        with client:
            self.assertIn(reply, (PASS_OK, SCAN_FAILED))
            client.send_line("QUIT")
            client.until_closed()
        self.check_at_rest(proxy)
        growth = proxy.probe.peak_kb() - before
        note("%s: the session grew the peak by %d KiB" % (self.id().split(".")[-1], growth))
        return growth

    def check_growth(self, growth):
        if sanitized_build():
            self.skipTest("memory figures under a sanitizer are the sanitizer's")
        self.assertLess(growth, SESSION_GROWTH_KB)

    def test_unique_ids_of_absurd_length(self):
        # RFC 1939 allows 70 characters; each of these is half a megabyte.
        count = 200
        uid = b"u" * (1 << 19)
        uidl = b"+OK\r\n" + b"".join(b"%d %s%d\r\n" % (n, uid, n)
                                      for n in range(1, count + 1)) + b".\r\n"
        listing = b"+OK\r\n" + b"".join(b"%d 100\r\n" % n for n in range(1, count + 1)) + b".\r\n"
        server = Pop3Mailbox(mailbox(), overrides={
            "STAT": garbage_reply(b"+OK %d 20000\r\n" % count),
            "LIST": garbage_reply(listing), "UIDL": garbage_reply(uidl),
            "TOP": garbage_reply(b"-ERR no\r\n")})
        self.check_growth(self.peak_growth_kb(server))

    def test_message_number_near_the_stat_limit(self):
        # One LIST line naming the last message a STAT claim allows.
        server = Pop3Mailbox(mailbox(), overrides={
            "STAT": garbage_reply(b"+OK 999999 20000\r\n"),
            "LIST": garbage_reply(b"+OK\r\n999999 100\r\n.\r\n"),
            "UIDL": garbage_reply(b"+OK\r\n999999 x\r\n.\r\n"),
            "TOP": garbage_reply(b"-ERR no\r\n")})
        growth = self.peak_growth_kb(server)
        if not sanitized_build():
            self.assertLess(growth, 2 * SESSION_GROWTH_KB)


class RandomFilesTest(HostileTestBase):
    """Kill file, access list and relay blacklist of random bytes."""

    @classmethod
    def setUpClass(cls):
        cls.pop3 = ScriptedServer(Pop3Mailbox(mailbox()))
        cls.addClassCleanup(cls.pop3.close)
        cls.news = ScriptedServer(NewsGroup("de.test", NEWS))
        cls.addClassCleanup(cls.news.close)

    def test_random_files_are_read_without_harm(self):
        for seed in range(3):
            with self.subTest(seed=seed):
                rng = random.Random(SEED + seed)
                noise = lambda size: bytes(rng.randrange(256) for _ in range(size))
                # Random lists with the one line a normal client needs at the end.
                access = (noise(4000) + b"\r\n127.0.0.1\r\n").decode("latin-1")
                rbl = (noise(4000) + b"\r\n192.0.2.0/24 test\r\n").decode("latin-1")
                proxy = start_proxy(type(self), 60, self.pop3.port, self.news.port,
                                    killfile=noise(20000), access=access, rbl=rbl)
                client, _, reply = pop3_login(proxy.pop3_port, "alice", "secret")
                with client:
                    self.assertEqual(reply, PASS_OK)
                    self.assertTrue(client.ask("STAT").startswith("+OK "))
                    self.assertTrue(client.ask("QUIT").endswith(", good bye spam"))
                reader, _, reply = nntp_login(proxy.nntp_port)
                with reader:
                    self.assertEqual(reply, NNTP_OK)
                    reader.ask("GROUP de.test")
                    self.assertEqual(reader.ask("XOVER 1-3"), "224 overview follows")
                    reader.block()
                self.check_at_rest(proxy)
                self.assertEqual(proxy.stop(), 0)

    def test_random_access_list_admits_or_refuses_cleanly(self):
        rng = random.Random(SEED)
        access = bytes(rng.randrange(256) for _ in range(4000)).decode("latin-1")
        proxy = start_proxy(type(self), 60, self.pop3.port, self.news.port, access=access)
        refusal = "permission denied, closing connection ..."
        for port, greeting, refusal in (
                (proxy.pop3_port, "+OK POP3-Trawlbox", "-ERR " + refusal),
                (proxy.nntp_port, "200 NNTP-Trawlbox", "502 " + refusal)):
            with LineClient(port) as client:
                first = client.line()
                self.assertTrue(first.startswith(greeting) or first == refusal, first)
        self.check_at_rest(proxy)
        self.assertEqual(proxy.stop(), 0)


if __name__ == "__main__":
    unittest.main()
