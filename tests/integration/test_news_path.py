"""The whole news path against a real news server: a private INN holds the
groups, the real trawlbox binary bridges readers to it and filters their
overview lists, and Python's nntplib (or a plain socket, where the exact
lines matter) reads and posts through it.

Two proxies run for the whole class: one whose news server is innd's reader
port (no login needed) and one whose news server is a standalone nnrpd that
demands AUTHINFO.
"""
import base64
import os
import re
import shutil
import socket
import sys
import tempfile
import time
import unittest
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import nntplib

from fixtures import inn
from news_fake_upstream import DyingNewsServer
from proof_support import sanitized_build
from trawlbox_runner import Trawlbox, wait_for_port

CAN_RUN = os.path.exists(inn.INN_BIN + "/innd") and os.geteuid() == 0
WHY_NOT = "needs root and the inn2 package (scripts/install-deps.sh)"

CLIENT_TIMEOUT_S = 120  # a reply slower than this counts as missing
POLL_LIMIT_S = 30       # bounded waits for the log to show a line
BULK_COUNT = 100000
BULK_GROUP = "local.bulk"
# Peak resident memory the proxy may reach, and how much a long overview may
# add to it; the list itself is some 15 MB, so holding it would show.
PEAK_RSS_LIMIT_KB = 64 * 1024
PEAK_RSS_GROWTH_KB = 8 * 1024

GROUPS = ("de.test", "local.test", BULK_GROUP)
USER, PASSWORD = inn.DEFAULT_USER, inn.DEFAULT_PASSWORD  # the password holds a space

KILL_FILE = (b"' kill file of the news path tests\r\n"
             b"--- /DE/TEST\r\n"
             b"\"*Cheap spam*\" \xEAs \xAFSKIP\r\n"
             b"\"*spam but allowed*\" \xEAs \xAF" b"DELE\r\n"
             b"\"*first skip*\" \xEAs \xAFSKIP\r\n"
             b"\"*then retr*\" \xEAs \xAFRETR\r\n"
             b"\"*quick skip*\" \xEAsq \xAFSKIP\r\n"
             b"\"*quick retr*\" \xEAs \xAFRETR\r\n"
             b"\"*spammer@junk.example*\" \xEAn \xAFSKIP\r\n"
             # Only a list read before any GROUP is judged by this section.
             b"--- /\r\n"
             b"\"*Hello*\" \xEAs \xAFSKIP\r\n"
             b"--- /LOCAL/BULK\r\n"
             b"\"*Cheap spam*\" \xEAs \xAFSKIP\r\n")

# (subject, from, withheld in de.test)
ARTICLES = [
    ("Hello world", "Ann <ann@example.org>", False),
    ("Cheap spam offer", "Bob <bob@example.org>", True),
    ("=?UTF-8?B?Q2hlYXAgc3BhbSBpbiBkaXNndWlzZQ==?=", "Carl <carl@example.org>", True),
    ("spam but allowed", "Dora <dora@example.org>", False),
    ("first skip then retr", "Emil <emil@example.org>", False),
    ("quick skip and quick retr", "Fay <fay@example.org>", True),
    ("Innocent subject", "Junk Mail <spammer@junk.example>", True),
]


class Raw:
    """A reader on a plain socket, for tests that check lines word for word."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=CLIENT_TIMEOUT_S)
        self.file = self.sock.makefile("rb")

    def line(self):
        try:
            raw = self.file.readline()
        except (ConnectionResetError, socket.timeout):
            raw = b""
        return raw.decode("latin-1").rstrip("\r\n") if raw else "<closed>"

    def send(self, text):
        self.sock.sendall(text.encode("latin-1") + b"\r\n")

    def ask(self, text):
        self.send(text)
        return self.line()

    def block(self):
        lines = []
        while not lines or lines[-1] not in (".", "<closed>"):
            lines.append(self.line())
        return lines

    def login(self, user, password):
        self.ask("AUTHINFO USER " + user)
        return self.ask("AUTHINFO PASS " + password)

    def close(self):
        self.file.close()
        self.sock.close()


def peak_rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise AssertionError("no VmHWM for %d" % pid)


def read_overview(port, group, spec, login=None):
    """XOVER over a plain socket; returns (overview lines, seconds)."""
    r = Raw(port)
    try:
        r.line()
        if login:
            assert r.login(*login).startswith("281")
        assert r.ask("GROUP " + group).startswith("211")
        start = time.monotonic()
        lines = r.block() if r.ask("XOVER " + spec).startswith("224") else []
        return lines[:-1] if lines and lines[-1] == "." else lines, time.monotonic() - start
    finally:
        r.close()


@unittest.skipUnless(CAN_RUN, WHY_NOT)
class NewsPathTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.inn_dir = tempfile.mkdtemp(prefix="trawlbox-inn-")
        cls.proxies = []
        try:
            cls.ports = inn.start(cls.inn_dir, groups=GROUPS, user=USER, password=PASSWORD)
            cls.ids = inn.post_many(cls.inn_dir, [
                dict(group="de.test", subject=s, from_=f, body="Body of %s\n" % s)
                for s, f, _ in ARTICLES])
            cls.local_id = inn.post(cls.inn_dir, "local.test", "Cheap spam offer",
                                    "Bob <bob@example.org>", "Elsewhere\n")
            config = {"LogFilter": "J", "LogSession": "J", "NntpTimeout": 120}
            cls.open_proxy = cls.proxy(dict(config, NntpPortOutgoing=cls.ports["innd"]))
            cls.auth_proxy = cls.proxy(dict(config, NntpPortOutgoing=cls.ports["nnrpd"]))
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def proxy(cls, config):
        p = Trawlbox(config=config, killfile=KILL_FILE)
        cls.proxies.append(p)
        p.start()
        if not wait_for_port(p.nntp_port):
            raise RuntimeError("no NNTP listener; log:\n" + p.log())
        return p

    @classmethod
    def tearDownClass(cls):
        for p in cls.proxies:
            p.cleanup()
        try:
            inn.stop(cls.inn_dir)
        finally:
            shutil.rmtree(cls.inn_dir, ignore_errors=True)

    def reader(self, proxy, user="127.0.0.1", password="anything"):
        s = nntplib.NNTP("127.0.0.1", proxy.nntp_port, timeout=CLIENT_TIMEOUT_S)
        self.addCleanup(s.quit)
        s.login(user, password, usenetrc=False)
        return s

    def wait_for_log(self, proxy, text):
        deadline = time.monotonic() + POLL_LIMIT_S
        while text not in proxy.log() and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertIn(text, proxy.log())

    def expected_ids(self):
        return {mid for mid, (_, _, withheld) in zip(self.ids, ARTICLES) if not withheld}

    # --- filtering -----------------------------------------------------------

    def test_xover_and_over_withhold_rejected_articles(self):
        s = self.reader(self.open_proxy)
        _, _, first, last, _ = s.group("de.test")
        _, xover = s.xover(first, last)
        _, over = s.over((first, last))
        for name, listing in (("XOVER", xover), ("OVER", over)):
            with self.subTest(name):
                mids = {fields["message-id"] for _, fields in listing}
                self.assertEqual(mids & set(self.ids), self.expected_ids())
        # A list in a group with no section of its own passes whole, and the
        # articles that were withheld can still be read by their ids.
        _, _, first, last, _ = s.group("local.test")
        _, over = s.over((first, last))
        self.assertIn(self.local_id, {fields["message-id"] for _, fields in over})
        s.group("de.test")
        _, info = s.head(self.ids[1])
        self.assertIn(b"Subject: Cheap spam offer", info.lines)

    def test_withheld_line_logged_with_decoded_subject(self):
        s = self.reader(self.open_proxy)
        _, _, first, last, _ = s.group("de.test")
        s.xover(first, last)
        self.wait_for_log(self.open_proxy, "Filter: " + self.ids[2])
        log = self.open_proxy.log()
        block = re.search(r"Filter: %s\n\t\t\t├ from: (.*)\n\t\t\t├ Subject: (.*)\n"
                          r"\t\t\t└ Reason: (.*)\n" % re.escape(self.ids[2]), log)
        self.assertIsNotNone(block, log)
        self.assertIn("carl@example.org", block.group(1))
        self.assertEqual(block.group(2), "Cheap spam in disguise")
        self.assertEqual(block.group(3), "\"*Cheap spam*\" Ωs »SKIP ")

    def test_xover_before_group_is_refused_in_one_line(self):
        r = Raw(self.open_proxy.nntp_port)
        self.addCleanup(r.close)
        r.line()
        self.assertTrue(r.login("127.0.0.1", "x").startswith("281"))
        self.assertTrue(r.ask("XOVER").startswith("412"))
        # The session is still in step with the server.
        self.assertTrue(r.ask("DATE").startswith("111"))
        self.assertTrue(r.ask("GROUP de.test").startswith("211"))

    # --- reading and posting -------------------------------------------------

    def test_article_head_and_body_pass_unchanged(self):
        mid = inn.post(self.inn_dir, "de.test", "Dots", "Gil <gil@example.org>",
                       "first\n.starts with a dot\n..two dots\nlast\n")
        s = self.reader(self.open_proxy)
        s.group("de.test")
        _, article = s.article(mid)
        _, head = s.head(mid)
        _, body = s.body(mid)
        self.assertEqual(body.lines, [b"first", b".starts with a dot", b"..two dots", b"last"])
        self.assertEqual(article.lines, head.lines + [b""] + body.lines)
        with self.assertRaises(nntplib.NNTPTemporaryError) as missing:
            s.article("<no-such-article@example.org>")
        self.assertTrue(str(missing.exception).startswith("430"))

    def test_post_through_proxy(self):
        s = self.reader(self.open_proxy)
        mid = "<posted-through-proxy@example.org>"
        _, data = inn.make_article("de.test", "Posted through the proxy", "Hal <hal@example.org>",
                                   "line one\n.dotted line\n", {"Path": None,
                                                                 "Message-ID": mid})
        self.assertTrue(s.post(data.split(b"\r\n")[:-1]).startswith("240"))
        _, body = s.body(mid)
        self.assertEqual(body.lines, [b"line one", b".dotted line"])

    # --- login forms ---------------------------------------------------------

    def test_user_named_after_host_logs_in_where_auth_is_required(self):
        s = self.reader(self.auth_proxy, "127.0.0.1#" + USER, PASSWORD)
        _, _, first, last, _ = s.group("de.test")
        _, over = s.over((first, last))
        self.assertEqual({f["message-id"] for _, f in over} & set(self.ids), self.expected_ids())

    def test_sasl_methods_log_in_where_auth_is_required(self):
        # The private nnrpd offers AUTHINFO SASL with PLAIN, LOGIN, CRAM-MD5
        # and DIGEST-MD5 (service "nntp"); "sasl" takes CRAM-MD5 from its
        # list. Its readers.conf authorises only AUTHINFO USER logins, so
        # the login upstream is what is checked here, not reading.
        if not inn.has_sasl(self.inn_dir):
            self.skipTest("no SASL password tool for the private news server")
        cases = [("plain", "PLAIN"), ("LOGIN", "LOGIN"), ("cram-md5", "CRAM-MD5"),
                 ("digest-md5", "DIGEST-MD5"), ("sasl", "CRAM-MD5")]
        for method, mechanism in cases:
            with self.subTest(method):
                r = Raw(self.auth_proxy.nntp_port)
                self.addCleanup(r.close)
                r.line()
                self.assertEqual(r.login("%s:127.0.0.1#%s" % (method, USER), PASSWORD),
                                 "281 Authenticaion accepted from 127.0.0.1")
                self.assertTrue(r.ask("DATE").startswith("111"))
                r.ask("QUIT")
                self.wait_for_log(self.auth_proxy, "Sending AUTHINFO SASL " + mechanism)
        for method in ("plain", "digest-md5"):
            with self.subTest(method + " refused"):
                r = Raw(self.auth_proxy.nntp_port)
                self.addCleanup(r.close)
                r.line()
                self.assertRegex(r.login("%s:127.0.0.1#%s" % (method, USER), "wrong"), r"^48\d ")
        self.wait_for_log(self.auth_proxy, "AUTH/1 Handshake/Client Challenge failure")

    def test_no_secret_shown_and_a_failing_account_held(self):
        # A proxy of its own: the echo on, and an account held after two
        # failures.
        p = self.proxy({"NntpPortOutgoing": self.ports["nnrpd"], "DEBUGLINE": "J",
                        "LogDebug": "J", "LoginFailureLimit": 2, "LoginFailureWindow": 600})
        methods = [""]
        if inn.has_sasl(self.inn_dir):
            methods += ["plain:", "login:", "cram-md5:", "digest-md5:"]
        for method in methods:
            r = Raw(p.nntp_port)
            self.addCleanup(r.close)
            r.line()
            self.assertEqual(r.login("%s127.0.0.1#%s" % (method, USER), PASSWORD),
                             "281 Authenticaion accepted from 127.0.0.1", method)
            r.ask("QUIT")
        for _ in range(2):
            r = Raw(p.nntp_port)
            self.addCleanup(r.close)
            r.line()
            self.assertRegex(r.login("127.0.0.1#" + USER, "wrong"), r"^48\d ")
        self.wait_for_log(p, "Logins for %s at 127.0.0.1:%d held until"
                          % (USER, self.ports["nnrpd"]))
        bridges = p.log().count("Bridge from")
        r = Raw(p.nntp_port)
        self.addCleanup(r.close)
        r.line()
        self.assertRegex(r.login("127.0.0.1#" + USER, PASSWORD),
                         r"^481 too many failed logins for %s, retry after \d\d:\d\d:\d\d$"
                         % re.escape(USER))
        r.ask("QUIT")
        self.assertEqual(p.log().count("Bridge from"), bridges)  # the server was not contacted
        p.stop()
        with open(p.path("stdout.txt"), "rb") as f:
            console = f.read().decode("latin-1")
        secrets = {PASSWORD, base64.b64encode(PASSWORD.encode()).decode(),
                   base64.b64encode(("\0%s\0%s" % (USER, PASSWORD)).encode()).decode()}
        for secret in secrets:
            self.assertNotIn(secret, console)
            self.assertNotIn(secret, p.log())
        self.assertRegex(console, r"\d+<:AUTHINFO PASS \*\*\*\r?\n")
        self.assertRegex(console, r"\d+>:AUTHINFO PASS \*\*\*\r?\n")

    def test_server_outside_the_allowed_list_is_refused(self):
        p = self.proxy({"NntpPortOutgoing": self.ports["nnrpd"], "AllowedServers": "127.0.0.1"})
        r = Raw(p.nntp_port)
        self.addCleanup(r.close)
        r.line()
        self.assertEqual(r.login("127.0.0.2#" + USER, PASSWORD), "502 127.0.0.2 not allowed")
        self.assertRegex(p.log(), r"\? [\d:]+  #\d+: '127\.0\.0\.2'  Port: %d not allowed for "
                                  r"127\.0\.0\.1" % self.ports["nnrpd"])

    def test_failed_logins_end_with_refusal_then_goodbye(self):
        cases = [
            ("wrong password", self.auth_proxy, "127.0.0.1#" + USER, "wrong", r"48\d "),
            ("nothing listens", self.open_proxy, "127.0.0.2", "x",
             re.escape("502 127.0.0.2 not found/ready")),
        ]
        for name, proxy, user, password, refusal in cases:
            with self.subTest(name):
                r = Raw(proxy.nntp_port)
                greeting = r.line()
                slot = re.match(r"200 NNTP-Trawlbox v0\.25 Server #(\d+) ready", greeting)
                self.assertIsNotNone(slot, greeting)
                self.assertRegex(r.login(user, password), "^" + refusal)
                self.assertEqual(r.line(), "205 NNTP-Trawlbox v0.25 Server #%s, good bye spam"
                                 % slot.group(1))
                self.assertEqual(r.line(), "<closed>")
                r.close()
        self.wait_for_log(self.auth_proxy, "No permission")

    def test_host_only_where_auth_is_required_gets_server_refusals(self):
        r = Raw(self.auth_proxy.nntp_port)
        self.addCleanup(r.close)
        r.line()
        self.assertEqual(r.login("127.0.0.1", "x"), "281 Authenticaion accepted from 127.0.0.1")
        self.assertTrue(r.ask("GROUP de.test").startswith("480"))
        self.assertTrue(r.ask("ARTICLE 1").startswith("480"))
        self.assertTrue(r.ask("DATE").startswith("111"))

    def test_before_login(self):
        r = Raw(self.open_proxy.nntp_port)
        self.addCleanup(r.close)
        slot = re.match(r"200 NNTP-Trawlbox v0\.25 Server #(\d+) ready", r.line()).group(1)
        self.assertEqual(r.ask("GROUP de.test"), "480 Authentication required")
        self.assertEqual(r.ask("AUTHINFO PASS x"), "381 more authentication information required")
        self.assertEqual(r.ask("QUIT"), "205 NNTP-Trawlbox v0.25 Server #%s, good bye spam" % slot)
        self.assertEqual(r.line(), "<closed>")

    # --- failures and load ---------------------------------------------------

    def test_server_lost_during_xover(self):
        kept = "1\tKept\tann@example.org\tdate\t<kept@example.org>\t\t10\t1"
        spam = "2\tCheap spam\tbob@example.org\tdate\t<spam@example.org>\t\t10\t1"
        server = DyingNewsServer([kept, spam, kept.replace("1", "3", 1)])
        self.addCleanup(server.close)
        proxy = self.proxy({"LogSession": "J", "NntpPortOutgoing": server.port})
        r = Raw(proxy.nntp_port)
        self.addCleanup(r.close)
        r.line()
        self.assertTrue(r.login("127.0.0.1", "x").startswith("281"))
        self.assertTrue(r.ask("GROUP de.test").startswith("211"))
        r.send("XOVER 1-3")
        seen = [r.line() for _ in range(5)]
        self.assertEqual(seen[:3], ["224 Overview information follows", kept,
                                    kept.replace("1", "3", 1)])
        self.assertRegex(seen[3], r"^205 NNTP-Trawlbox v0\.25 Server #\d+, good bye spam$")
        self.assertEqual(seen[4], "<closed>")
        self.wait_for_log(proxy, "Connection lost during XOVER")
        self.wait_for_log(proxy, "Nntp-Connection lost ...")

    def test_long_overview_streams_in_bounded_memory(self):
        started = time.monotonic()
        loaded = inn.bulk(self.inn_dir, BULK_GROUP, BULK_COUNT,
                          subject=lambda n: ("Cheap spam %d" if n % 10 == 0 else "Article %d") % n)
        load_s = time.monotonic() - started
        self.assertEqual(loaded, BULK_COUNT)
        spec = "1-%d" % (BULK_COUNT + 10)
        pid = self.open_proxy.process.pid
        # Warm up the session path so that the figure before includes it.
        read_overview(self.open_proxy.nntp_port, "de.test", "1-100", ("127.0.0.1", "x"))
        before = peak_rss_kb(pid)

        direct, direct_s = read_overview(self.ports["innd"], BULK_GROUP, spec)
        proxied, proxied_s = read_overview(self.open_proxy.nntp_port, BULK_GROUP, spec,
                                           ("127.0.0.1", "x"))
        after = peak_rss_kb(pid)

        self.assertEqual(len(direct), BULK_COUNT)
        expected = [line for line in direct if "\tCheap spam " not in line]
        self.assertEqual(len(expected), BULK_COUNT - BULK_COUNT // 10)
        self.assertEqual(proxied, expected)
        # A sanitizer's shadow memory and quarantine of freed blocks make the
        # resident size say nothing about the proxy's own use.
        if not sanitized_build():
            self.assertLess(after, PEAK_RSS_LIMIT_KB)
            self.assertLess(after - before, PEAK_RSS_GROWTH_KB)
        size_mb = sum(len(line) + 2 for line in direct) / 1e6
        print("\n%d-line overview (%.1f MB): bulk load %.1f s, XOVER direct %.2f s, "
              "through the proxy %.2f s (%d lines passed); proxy peak RSS %d kB before, "
              "%d kB after" % (BULK_COUNT, size_mb, load_s, direct_s, proxied_s, len(proxied),
                               before, after), file=sys.stderr)


if __name__ == "__main__":
    unittest.main()
