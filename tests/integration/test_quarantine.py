"""The quarantine against a real POP3 server: killed mail is copied before it
is deleted, copies are listed, shown and released with the program's own
commands, released mail comes back through a real client (poplib), and a
dry run changes nothing on the server.

The server is a private Dovecot; every upstream connection passes a relay
that the tests can cut in the middle of an answer.
"""
import os
import poplib
import re
import socket
import sqlite3
import subprocess
import threading
import time
import unittest

from fixtures.dovecot import start_for_class
from mail_relay import Relay
from trawlbox_runner import Trawlbox

CLIENT_TIMEOUT_S = 120  # a reply slower than this counts as missing
POLL_LIMIT_S = 30       # bounded waits for the server's Maildir to change
COMMAND_LIMIT_S = 60    # bounded runs of `trawlbox quarantine` and `release`
USER_COUNT = 10         # one mailbox per use
# A message large enough to be read in many pieces at every step; the issue
# asks for 20 MB, which this test copies within a few seconds here.
LARGE_BYTES = 20 * 1024 * 1024

KILL_FILE = (b"' kill file of the quarantine tests\r\n"
             b"--- ALLE\r\n"
             b"\"*viagra*\" \xEAs \xAF" b"DELE\r\n"
             b"\"*lottery*\" \xEAs \xAFSKIP\r\n")

ID_IN_REPORT = re.compile(r"Status     : deleted on the server, copy kept in the quarantine as "
                          r"([0-9a-z]{8})\n")


def message(subject, body, sender="someone@example.org"):
    """A message as Dovecot stores it: LF line ends."""
    return (f"From: {sender}\nTo: me@example.org\nSubject: {subject}\n"
            f"Message-ID: <{abs(hash((subject, body[:64])))}@example.org>\n"
            f"Date: Mon, 07 Dec 2026 10:00:00 +0100\n\n").encode("latin-1") + body


def wire(stored):
    return stored.replace(b"\n", b"\r\n")


def wait_until(predicate, limit=POLL_LIMIT_S):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


class QuarantineTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.free_users = [("quser%d" % n, "secret%d" % n) for n in range(1, USER_COUNT + 1)]
        cls.dovecot, pop3_port = start_for_class(cls, "trawlbox-dovecot-", cls.free_users)
        cls.relay = Relay(pop3_port)
        cls.addClassCleanup(cls.relay.close)
        cls.proxy = cls.start_proxy({})

    @classmethod
    def start_proxy(cls, config):
        # The cap is raised above the large message, which is copied then.
        settings = {"Pop3PortOutgoing": cls.relay.port, "Pop3Timeout": 120,
                    "QuarantineMaxMessageKB": 2 * LARGE_BYTES // 1024}
        settings.update(config)
        proxy = Trawlbox(config=settings, killfile=KILL_FILE)
        cls.addClassCleanup(proxy.cleanup)
        proxy.start()
        return proxy

    # --- helpers -----------------------------------------------------------

    def mailbox(self, messages):
        name, password = self.free_users.pop(0)
        return name, password, [self.dovecot.add_message(name, m) for m in messages]

    def held(self, name):
        """{uid: bytes} of the messages the server holds now."""
        held = {}
        for sub in ("cur", "new"):
            folder = os.path.join(self.dovecot.maildir(name), sub)
            for file_name in os.listdir(folder):
                with open(os.path.join(folder, file_name), "rb") as f:
                    held[file_name.split(":")[0]] = f.read()
        return held

    def login(self, name, password, proxy=None):
        proxy = proxy or self.proxy
        client = poplib.POP3("127.0.0.1", proxy.pop3_port, timeout=CLIENT_TIMEOUT_S)
        client.user("127.0.0.1#" + name)
        self.assertEqual(client.pass_(password), b"+OK Mailbox scan running to 127.0.0.1 successfull")
        return client

    @staticmethod
    def retr(client, n):
        return b"".join(line + b"\r\n" for line in client.retr(n)[1])

    def report(self, client):
        """The report, the last message, with LF line ends."""
        count = client.stat()[0]
        return self.retr(client, count).replace(b"\r\n", b"\n").decode("utf-8")

    def command(self, *arguments, proxy=None):
        proxy = proxy or self.proxy
        done = subprocess.run([proxy.binary, "-d", proxy.dir] + list(arguments),
                              stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=COMMAND_LIMIT_S)
        return done.returncode, done.stdout, done.stderr.decode("utf-8", "replace")

    def listing(self, proxy=None):
        """{id: fields} of `trawlbox quarantine`."""
        status, out, err = self.command("quarantine", proxy=proxy)
        self.assertEqual(status, 0, err)
        rows = [line.split("\t") for line in out.decode("utf-8").splitlines()]
        return {row[0]: row[1:] for row in rows}

    # --- tests -------------------------------------------------------------

    def test_copies_are_the_servers_messages_byte_for_byte(self):
        dotted = message("viagra dots", b".\n..two dots\n.one dot\nend\n.\n")
        long_line = message("viagra long", b"x" * 200000 + b"\nshort\n")
        eight_bit = message("viagra 8bit", "Grüße \u00e4\u00f6\u00fc\n".encode("utf-8") +
                            bytes(range(128, 256)) + b"\n")
        large = message("viagra large", (b"L" * 99 + b"\n") * (LARGE_BYTES // 100))
        kept = message("hello", b"keep me\n")
        stored = [dotted, kept, long_line, eight_bit, large]
        name, password, uids = self.mailbox(stored)

        started = time.monotonic()
        client = self.login(name, password)
        scanned = time.monotonic() - started
        self.assertEqual(client.stat()[0], 2)  # the kept message and the report
        self.assertEqual(self.retr(client, 1), wire(kept))
        report = self.report(client)
        client.quit()

        ids = ID_IN_REPORT.findall(report)
        self.assertEqual(len(ids), 4, report)
        self.assertTrue(wait_until(lambda: set(self.held(name)) == {uids[1]}))
        listed = self.listing()
        for copy_id in ids:
            status, shown, err = self.command("quarantine", "show", copy_id)
            self.assertEqual(status, 0, err)
            subject = listed[copy_id][3]
            original = {"viagra dots": dotted, "viagra long": long_line,
                        "viagra 8bit": eight_bit, "viagra large": large}[subject]
            self.assertEqual(shown, original, subject)  # LF line ends, as the server's file
            self.assertEqual(listed[copy_id][1], "127.0.0.1#" + name)
            self.assertIn("viagra", listed[copy_id][4])
        # The copies are files of a Maildir any reader opens.
        folders = os.listdir(self.proxy.path("QUARANTINE"))
        self.assertEqual(folders, ["127.0.0.1#" + name])
        new = os.path.join(self.proxy.path("QUARANTINE"), folders[0], "new")
        self.assertEqual(sorted(os.path.getsize(os.path.join(new, f)) for f in os.listdir(new)),
                         sorted(len(m) for m in (dotted, long_line, eight_bit, large)))
        self.assertLess(scanned, 30, "the copy of %d MB took %.1f s" % (LARGE_BYTES >> 20, scanned))

    def test_no_copy_no_delete(self):
        """An unwritable quarantine, and a server that dies in the middle of
        sending a copy, leave the killed message on the server; the report
        of the login whose scan failed comes with the next login."""
        spam = message("viagra stays", b"body\n" * 2000)
        name, password, uids = self.mailbox([message("hello", b"hi\n"), spam])

        # A file where the quarantine's folder would be made.
        in_the_way = self.proxy.path("QUARANTINE")
        os.makedirs(in_the_way, exist_ok=True)
        blocker = os.path.join(in_the_way, "127.0.0.1#" + name)
        with open(blocker, "w") as f:
            f.write("not a folder")
        try:
            client = self.login(name, password)
            self.assertEqual(client.stat()[0], 2)  # hidden, and the report
            report = self.report(client)
            client.quit()
        finally:
            os.remove(blocker)
        self.assertIn("Subject    : viagra stays\n", report)
        self.assertIn("Status     : kept on the server (hidden), no copy could be kept: ", report)
        self.assertTrue(wait_until(lambda: set(self.held(name)) == set(uids)))
        self.assertIn("Message 2 kept on the server: ", self.proxy.log())

        # The server dies 3000 bytes into the RETR of the copy.
        self.relay.cut_during(b"RETR 2", 3000)
        client = poplib.POP3("127.0.0.1", self.proxy.pop3_port, timeout=CLIENT_TIMEOUT_S)
        client.user("127.0.0.1#" + name)
        with self.assertRaises(poplib.error_proto) as refused:
            client.pass_(password)
        self.assertIn(b"-ERR external Mailbox scan", refused.exception.args[0])
        client.close()
        time.sleep(0.5)
        self.assertEqual(set(self.held(name)), set(uids))
        self.assertEqual([row for row in self.listing().values() if row[1] == "127.0.0.1#" + name],
                         [])

        # Next login: this time the copy is kept and the message deleted; the
        # report of the failed login comes first.
        client = self.login(name, password)
        report = self.report(client)
        client.quit()
        earlier = report.index("not received then:")
        self.assertIn("no copy could be kept: the server was lost while sending it",
                      report[earlier:])
        self.assertEqual(len(ID_IN_REPORT.findall(report[earlier:])), 1)
        self.assertTrue(wait_until(lambda: set(self.held(name)) == {uids[0]}))

    def test_report_of_a_client_that_left_mid_scan_comes_at_the_next_login(self):
        spam = message("viagra while you left", b"x\n" * 100000)
        name, password, uids = self.mailbox([spam])
        sock = socket.create_connection(("127.0.0.1", self.proxy.pop3_port),
                                        timeout=CLIENT_TIMEOUT_S)
        reader = sock.makefile("rb")
        reader.readline()
        sock.sendall(("USER 127.0.0.1#%s\r\n" % name).encode())
        reader.readline()
        sock.sendall(("PASS %s\r\n" % password).encode())
        reader.close()
        sock.close()  # before the scan can have answered
        self.assertTrue(wait_until(lambda: not self.held(name)))
        self.assertTrue(wait_until(lambda: "Kill report kept for the next login" in self.proxy.log()))

        client = self.login(name, password)
        self.assertEqual(client.stat()[0], 1)
        report = self.report(client)
        client.quit()
        self.assertIn("not received then:", report)
        self.assertIn("Subject    : viagra while you left\n", report)
        # Handed out once.
        client = self.login(name, password)
        self.assertEqual(client.stat()[0], 0)
        client.quit()

    def test_release_hands_the_message_back_until_the_client_deletes_it(self):
        spam = message("viagra wanted after all", b".dot line\nsecond\n\nthird\n")
        name, password, uids = self.mailbox([spam, message("hello", b"hi\n")])
        client = self.login(name, password)
        copy_id = ID_IN_REPORT.findall(self.report(client))[0]
        client.quit()
        self.assertTrue(wait_until(lambda: set(self.held(name)) == {uids[1]}))

        status, out, err = self.command("release", copy_id.upper(), "zzzzzzzz")
        self.assertEqual((status, out), (1, ("released %s\n" % copy_id.upper()).encode()))
        self.assertIn("no kept message has the id zzzzzzzz", err)
        self.assertEqual(self.listing()[copy_id][-1], "released")

        # Offered (not judged again) after the server's message; left there.
        for _ in range(2):
            client = self.login(name, password)
            self.assertEqual(client.stat()[0], 2)
            self.assertEqual(client.uidl(2), b"+OK 2 trawlbox-q-" + copy_id.encode())
            self.assertEqual(client.list(2), b"+OK 2 %d" % len(wire(spam)))
            self.assertEqual(self.retr(client, 2), wire(spam))
            top = client.top(2, 1)
            self.assertEqual(b"".join(l + b"\r\n" for l in top[1]),
                             wire(spam[:spam.index(b"\n\n") + 2]) + b".dot line\r\n")
            client.quit()

        client = self.login(name, password)
        self.assertEqual(client.dele(2), b"+OK message 2 deleted")
        client.quit()
        self.assertNotIn(copy_id, self.listing())
        client = self.login(name, password)
        self.assertEqual(client.stat()[0], 1)
        client.quit()

    def test_dry_run_changes_nothing_on_the_server(self):
        proxy = self.start_proxy({"DryRun": "J"})
        stored = [message("viagra dry", b"x\n"), message("lottery dry", b"y\n"),
                  message("hello", b"z\n")]
        name, password, uids = self.mailbox(stored)
        client = self.login(name, password, proxy)
        self.assertEqual(client.stat()[0], 4)  # every message, and the report
        for n, data in enumerate(stored, 1):
            self.assertEqual(self.retr(client, n), wire(data))
        report = self.report(client)
        client.quit()
        self.assertIn("Dry run: nothing has been deleted or hidden on the Pop3-Server.\n", report)
        self.assertIn("Subject    : viagra dry\nMessage-ID", report)
        self.assertIn("Status     : dry run, would have been killed\n", report)
        self.assertIn("Status     : dry run, would have been hidden\n", report)
        time.sleep(0.5)
        self.assertEqual(set(self.held(name)), set(uids))
        self.assertEqual(self.command("quarantine", proxy=proxy),
                         (0, b"", "trawlbox: no kept messages\n"))

    def test_copies_older_than_the_retention_go_at_start(self):
        proxy = self.start_proxy({"QuarantineDays": 3})
        name, password, _ = self.mailbox([message("viagra old", b"o\n"),
                                          message("viagra new", b"n\n")])
        client = self.login(name, password, proxy)
        client.quit()
        listed = self.listing(proxy)
        self.assertEqual(len(listed), 2)
        old = next(copy_id for copy_id, row in listed.items() if row[3] == "viagra old")
        # Killed four days ago, as far as the record tells.
        proxy.stop()
        with sqlite3.connect(proxy.path("TRAWLBOX.DB")) as database:
            database.execute("UPDATE quarantine SET killed_at = killed_at - 4 * 86400 "
                             "WHERE id = ?", (old.encode(),))
        database.close()
        proxy.start()
        self.assertTrue(wait_until(lambda: "Quarantine cleaned up: 1 expired" in proxy.log()))
        self.assertEqual([row[3] for row in self.listing(proxy).values()], ["viagra new"])
        folder = os.path.join(proxy.path("QUARANTINE"), "127.0.0.1#" + name, "new")
        self.assertEqual(len(os.listdir(folder)), 1)

    def test_two_accounts_at_once_keep_their_own_copies(self):
        boxes = [self.mailbox([message("viagra %s %d" % (who, n), b"b\n" * 500)
                               for n in range(20)]) for who in ("a", "b")]
        failures = []

        def session(name, password):
            try:
                client = self.login(name, password)
                client.quit()
            except Exception as e:  # reported below, in the test's thread
                failures.append(repr(e))

        threads = [threading.Thread(target=session, args=box[:2]) for box in boxes]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(CLIENT_TIMEOUT_S)
        self.assertEqual(failures, [])
        listed = self.listing()
        for name, _, _ in boxes:
            self.assertTrue(wait_until(lambda: not self.held(name)))
            mine = [row for row in listed.values() if row[1] == "127.0.0.1#" + name]
            self.assertEqual(len(mine), 20, name)


if __name__ == "__main__":
    unittest.main()
