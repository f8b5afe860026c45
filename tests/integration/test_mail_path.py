"""The whole mail path against a real POP3 server: a private Dovecot holds
the mailboxes, the real trawlbox binary scans and cleans them, and real
clients (Python's poplib, fetchmail) read them through it.

After each session the server's Maildir is checked: every message was
delivered to the client, left on the server (hidden), or killed and listed
in the kill report the client received.
"""
import os
import poplib
import pwd
import re
import shutil
import socket
import subprocess
import tempfile
import time
import unittest
import zlib

from fixtures.dovecot import start_for_class
from mail_relay import Relay
from trawlbox_runner import Trawlbox

CLIENT_TIMEOUT_S = 60  # a reply slower than this counts as missing
POLL_LIMIT_S = 30      # bounded waits for the server's Maildir to change
FETCHMAIL_LIMIT_S = 300
USER_COUNT = 11         # one mailbox per test
RULE = "-" * 70

KILL_FILE = (b"' kill file of the mail path tests\r\n"
             b"--- ALLE\r\n"
             b"\"*viagra*\" \xEAs \xAF" b"DELE\r\n"
             b"\"*casino*\" \xEAn \xAF" b"DELE\r\n"
             b"\"*lottery*\" \xEAs \xAFSKIP\r\n")


def message(sender, subject, body, to="me@example.org", extra=""):
    """A message as a mail program stores it: LF line ends."""
    return (f"From: {sender}\nTo: {to}\nSubject: {subject}\n"
            f"Message-ID: <{abs(hash((sender, subject, body)))}@example.org>\n"
            f"Date: Mon, 07 Dec 2026 10:00:00 +0100\n{extra}\n{body}").encode("latin-1")


def ham(n, body=None):
    return message(f"friend{n}@example.org", f"Hello number {n}",
                   body if body is not None else f"Dear reader,\nthis is message {n}.\n")


def wire(stored):
    """The message as a POP3 server sends it: CR LF line ends."""
    return stored.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def wait_until(predicate, limit=POLL_LIMIT_S):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def zone_suffix():
    """The Date line's zone for this machine's local time now."""
    offset = time.localtime().tm_gmtoff // 60
    return ("+" if offset > 0 else "-") + "%02d%02d" % (abs(offset) // 60, abs(offset) % 60)


def report_entry(to, sender, subject, message_id, size, reason, search_in, result):
    return (f"To         : {to}\nFrom       : {sender}\nSubject    : {subject}\n"
            f"Message-ID : {message_id}\nSize       : {size} Bytes\n\nRBL Info   : \n\n"
            f"Reason     : {reason}\nSearch in  : {search_in}\nResult     : {result}\n\n"
            f"{RULE}\n\n")


REPORT_HEAD = re.compile(
    r"To: killreport@localhost\n"
    r"From: trawlbox@localhost \(Trawlbox v0\.25\)\n"
    r"Subject: Killed Messages\n"
    r"Message-ID: <\.?\d*\.?\d*\d\d-\d\d-\d{4}@trawlbox\.localhost>\n"
    r"Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)"
    r" \d{4} \d\d:\d\d:\d\d [+-]\d{4}\n"
    r"X-Mailer: Trawlbox v0\.25\n"
    r"MIME-Version: 1\.0\n"
    r"Content-Type: text/plain; charset=utf-8\n"
    r"Content-Transfer-Encoding: 8bit\n"
    r"\n\n"
    r"The following message\(s\) has been killed directly on the Pop3-Server:\n"
    r"\n\n" + RULE + r"\n\n")


class MailPathTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Class cleanups run in reverse order, also when a step below fails.
        cls.work = tempfile.mkdtemp(prefix="trawlbox-mail-")
        cls.addClassCleanup(shutil.rmtree, cls.work, True)
        # The passwords hold a space, which the proxy must pass on whole.
        cls.free_users = [("user%d" % n, "pass word %d" % n) for n in range(1, USER_COUNT + 1)]
        cls.dovecot, cls.pop3_port = start_for_class(cls, "trawlbox-dovecot-", cls.free_users)
        # Every upstream connection passes a relay, which the tests can cut.
        cls.relay = Relay(cls.pop3_port)
        cls.addClassCleanup(cls.relay.close)
        # Without a quarantine the report is pinned word for word here;
        # test_quarantine covers the copies and what the report says of them.
        cls.proxy = Trawlbox(config={"Pop3PortOutgoing": cls.relay.port, "Pop3Timeout": 60,
                                     "Quarantine": ""},
                             killfile=KILL_FILE)
        cls.addClassCleanup(cls.proxy.cleanup)
        cls.proxy.start()

    # --- mailboxes ---------------------------------------------------------

    def mailbox(self, messages):
        """A fresh user holding the messages; returns (name, password, uids)."""
        name, password = self.free_users.pop(0)
        uids = [self.dovecot.add_message(name, m) for m in messages]
        return name, password, uids

    def maildir(self, name):
        """{uid: stored bytes} of the messages the server holds now."""
        held = {}
        for sub in ("cur", "new"):
            folder = os.path.join(self.dovecot.maildir(name), sub)
            for file_name in os.listdir(folder):
                with open(os.path.join(folder, file_name), "rb") as f:
                    held[file_name.split(":")[0]] = f.read()
        return held

    def wait_for_maildir(self, name, uids):
        self.assertTrue(wait_until(lambda: set(self.maildir(name)) == set(uids)),
                        "server holds %s, expected %s" % (sorted(self.maildir(name)), sorted(uids)))

    def check_accounted(self, name, stored, uids, delivered, hidden, killed, report):
        """Each message was delivered, is still held (hidden) or was killed and
        listed in the report: nothing is lost, nothing leaks past the filter."""
        held = self.maildir(name)
        for uid, data in zip(uids, stored):
            if uid in killed:
                self.assertNotIn(uid, held)
                self.assertIn(re.search(rb"Subject: (.*)", data).group(1).decode("latin-1"),
                              report)
            elif uid in hidden:
                self.assertEqual(held.get(uid), data)
                self.assertNotIn(wire(data), delivered)
            else:
                self.assertIn(wire(data), delivered, uid)

    # --- clients -----------------------------------------------------------

    def login(self, name, password, envelope=None):
        client = poplib.POP3("127.0.0.1", self.proxy.pop3_port, timeout=CLIENT_TIMEOUT_S)
        self.assertTrue(client.getwelcome().startswith(b"+OK POP3-Trawlbox v0.25 Server #"))
        self.assertEqual(client.user("127.0.0.1#" + name),
                         b"+OK More authentication information required")
        secret = password + ("#" + envelope if envelope else "")
        self.assertEqual(client.pass_(secret), b"+OK Mailbox scan running to 127.0.0.1 successfull")
        return client

    def raw(self):
        """A plain connection for exact reply lines: (socket, file). The
        connection stays open until both are closed."""
        sock = socket.create_connection(("127.0.0.1", self.proxy.pop3_port),
                                        timeout=CLIENT_TIMEOUT_S)
        return sock, sock.makefile("rb")

    @staticmethod
    def line(reader):
        return reader.readline().decode("latin-1").rstrip("\r\n")

    @staticmethod
    def ask(sock, reader, command):
        sock.sendall(command.encode("latin-1") + b"\r\n")
        return MailPathTest.line(reader)

    @staticmethod
    def retr(client, n):
        reply, lines, _ = client.retr(n)
        return reply, b"".join(line + b"\r\n" for line in lines)

    # --- tests -------------------------------------------------------------

    def test_kills_are_reported_and_skipped_mail_stays_hidden(self):
        spam = message("Spam King <king@spam.example>", "Cheap viagra today", "Buy now.\n",
                       to="a@example.org, b@example.org")
        casino = message("casino@bets.example", "Your bonus", "Play now.\n")
        skipped = message("news@example.org", "lottery results", "You did not win.\n")
        stored = [ham(1), spam, skipped, ham(2, ".leading dot\n..two dots\n"), casino]
        name, password, uids = self.mailbox(stored)

        client = self.login(name, password, envelope=name + "@localhost")
        count, octets = client.stat()
        self.assertEqual(count, 3)  # two kept messages and the report
        self.assertEqual(client.list()[1][:2],
                         [b"1 %d" % len(wire(stored[0])), b"2 %d" % len(wire(stored[3]))])
        self.assertEqual(client.uidl()[1][:2],
                         [b"1 " + uids[0].encode(), b"2 " + uids[3].encode()])
        self.assertEqual(self.retr(client, 1),
                         (b"+OK %d octets" % len(wire(stored[0])), wire(stored[0])))
        self.assertEqual(self.retr(client, 2)[1], wire(stored[3]))

        reply, report_wire = self.retr(client, 3)
        report_size = len(report_wire)
        self.assertEqual(reply, b"+OK %d octets (internal spam-message)" % report_size)
        self.assertEqual(octets, len(wire(stored[0])) + len(wire(stored[3])) + report_size)
        report = report_wire.replace(b"\r\n", b"\n").decode("latin-1")
        head = REPORT_HEAD.match(report)
        self.assertIsNotNone(head, report)
        self.assertTrue(head.group(0).split("Date: ")[1].split("\n")[0].endswith(zone_suffix()))
        self.assertEqual(
            report[head.end():],
            report_entry("a@example.org\nTo         : b@example.org", "Spam King <king@spam.example>",
                         "Cheap viagra today",
                         re.search(rb"Message-ID: (.*)", spam).group(1).decode(),
                         len(wire(spam)), '"*viagra*"', "s - Subject", "DELE ") +
            report_entry("me@example.org", "<casino@bets.example>", "Your bonus",
                         re.search(rb"Message-ID: (.*)", casino).group(1).decode(),
                         len(wire(casino)), '"*casino*"', "n - From", "DELE "))
        self.assertEqual(client.uidl(3),
                         b"+OK 3 %X.trawlbox" % zlib.crc32(report.encode("latin-1")))

        top = client.top(3, 0)
        self.assertEqual(b"".join(l + b"\n" for l in top[1]),
                         report[:report.index("\n\n") + 2].encode("latin-1"))
        self.assertEqual(client.quit(), b"+OK POP3-Trawlbox v0.25 Server #%s, good bye spam"
                         % re.search(rb"#(\d+)", client.welcome).group(1))

        self.wait_for_maildir(name, [uids[0], uids[2], uids[3]])
        self.check_accounted(name, stored, uids, wire(stored[0]) + wire(stored[3]),
                             hidden={uids[2]}, killed={uids[1], uids[4]}, report=report)
        log = self.proxy.log()
        self.assertIn("Killing: " + re.search(rb"Message-ID: (.*)", spam).group(1).decode(), log)
        self.assertIn("\t\t\t├ Subject: lottery results\n", log)

    def test_renumbering_after_kills_and_client_deletions(self):
        stored = [ham(1), message("x@spam.example", "viagra", "x\n"), ham(2),
                  message("y@example.org", "lottery", "y\n"), ham(3)]
        name, password, uids = self.mailbox(stored)
        server_octets = sum(len(wire(m)) for m in stored)
        client = self.login(name, password)
        self.assertEqual(client.retr(3)[1][-1], b"this is message 3.")

        self.assertEqual(client.dele(2), b"+OK message 2 deleted")
        reply, listing, _ = client.list()
        self.assertEqual(reply, b"+OK 3 messages follows")
        self.assertEqual([l.split()[0] for l in listing], [b"1", b"3", b"4"])
        report_size = int(listing[2].split()[1])
        remaining = len(wire(stored[0])) + len(wire(stored[4])) + report_size
        checks = [("LIST 2", "-ERR no such message"), ("RETR 2", "-ERR no such message"),
                  ("DELE 2", "-ERR no such message"), ("RETR 5", "-ERR no such message"),
                  ("TOP 0 1", "-ERR no such message Arg"), ("RETR", "-ERR unknown command"),
                  ("XTND", "-ERR unknown command"),
                  ("STAT", "+OK 3 %d" % remaining),
                  ("STATALL", "+OK 6 %d" % server_octets),
                  # RSET takes the client's deletion back, not the kill.
                  ("RSET", "+OK %s has 6 messages (%d octets)"
                   % (name, remaining + len(wire(stored[2])))),
                  ("LIST 2", "+OK 2 %d" % len(wire(stored[2]))),
                  ("DELE 4", "+OK internal spam-message deleted"),
                  ("STAT", "+OK 3 %d" % (remaining + len(wire(stored[2])) - report_size)),
                  ("UIDL 3", "+OK 3 " + uids[4])]
        for command, expected in checks:
            self.assertEqual(self.reply_to(client, command), expected, command)
        client.quit()
        self.wait_for_maildir(name, [uids[0], uids[2], uids[3], uids[4]])

    def test_client_that_leaves_without_quit_deletes_nothing_but_the_kills(self):
        stored = [ham(1), message("x@spam.example", "viagra", "x\n"), ham(2)]
        name, password, uids = self.mailbox(stored)
        client = self.login(name, password)
        self.assertEqual(client.dele(1), b"+OK message 1 deleted")
        self.assertEqual(client.dele(2), b"+OK message 2 deleted")
        client.close()  # no QUIT: the client's deletions must not be carried out
        self.wait_for_maildir(name, [uids[0], uids[2]])

    @staticmethod
    def reply_to(client, command):
        """The reply line to a single-line command, "-ERR" replies included."""
        try:
            return client._shortcmd(command).decode("latin-1")
        except poplib.error_proto as error:
            return error.args[0].decode("latin-1")

    def test_authorisation_state_and_failure_replies(self):
        name, password, _ = self.mailbox([ham(1)])
        sock, reader = self.raw()
        with sock:
            greeting = self.line(reader)
            slot = re.match(r"\+OK POP3-Trawlbox v0\.25 Server #(\d+) ready,", greeting).group(1)
            self.assertEqual(self.ask(sock, reader, "STAT"), "-ERR Authentication required")
            self.assertEqual(self.ask(sock, reader, "PASS x"), "-ERR Authentication rejected")
            self.assertEqual(self.ask(sock, reader, "QUIT"),
                             "+OK POP3-Trawlbox v0.25 Server #%s, good bye spam" % slot)
            self.assertEqual(reader.readline(), b"")

        cases = [("127.0.0.1#" + name, "wrong", "-ERR 127.0.0.1 authentication error"),
                 # Nothing listens on 127.0.0.2 at the server's port.
                 ("127.0.0.2#" + name, password, "-ERR 127.0.0.2 not found/ready")]
        for user, secret, expected in cases:
            sock, reader = self.raw()
            with sock:
                slot = re.search(r"#(\d+)", self.line(reader)).group(1)
                self.ask(sock, reader, "USER " + user)
                self.assertEqual(self.ask(sock, reader, "PASS " + secret), expected)
                self.assertEqual(self.line(reader),
                                 "+OK POP3-Trawlbox v0.25 Server #%s, good bye spam" % slot)
                self.assertEqual(reader.readline(), b"")

    def test_lost_upstream_ends_the_session(self):
        stored = [ham(1), message("x@spam.example", "viagra offer", "x\n")]
        name, password, uids = self.mailbox(stored)
        client = self.login(name, password)
        self.assertEqual(client.stat()[0], 2)
        losses = self.proxy.log().count(": Connection lost ...")
        self.relay.cut()
        with self.assertRaises(poplib.error_proto) as failure:
            client.retr(1)
        self.assertEqual(failure.exception.args[0], b"-ERR no such message")
        self.assertTrue(self.line(client.file).startswith("+OK POP3-Trawlbox v0.25 Server #"))
        self.assertEqual(client.file.readline(), b"")
        client.close()
        self.assertTrue(wait_until(
            lambda: self.proxy.log().count(": Connection lost ...") == losses + 1))
        # No QUIT reached the server: the kill was not carried out.
        self.assertEqual(set(self.maildir(name)), set(uids))

    def test_client_lost_during_the_scan_keeps_its_kills(self):
        stored = [message("x@spam.example", "viagra %d" % i, "x\n") if i % 3 == 0 else ham(i)
                  for i in range(1, 31)]
        name, password, uids = self.mailbox(stored)
        sock, reader = self.raw()
        self.line(reader)
        self.ask(sock, reader, "USER 127.0.0.1#" + name)
        # The PASS reply comes only after the scan: leave before it.
        sock.sendall(("PASS %s\r\n" % password).encode())
        reader.close()
        sock.close()
        kept = [uid for i, uid in enumerate(uids, 1) if i % 3 != 0]
        self.wait_for_maildir(name, kept)

    def test_large_mailbox_is_scanned_whole(self):
        stored = [ham(i) for i in range(1, 131)]
        stored[109] = message("x@spam.example", "viagra 110", "x\n")
        name, password, uids = self.mailbox(stored)
        client = self.login(name, password)
        self.assertEqual(client.stat()[0], 130)  # 129 kept and the report
        self.assertEqual(self.retr(client, 129)[1], wire(stored[129]))
        self.assertEqual(client.uidl(110), b"+OK 110 " + uids[110].encode())
        client.quit()
        self.wait_for_maildir(name, uids[:109] + uids[110:])

    def server_tops(self, name):
        """How many TOPs each finished session of the user sent, from the
        server's logout lines."""
        with open(self.dovecot.log_path, encoding="latin-1") as log:
            return [int(found) for found in
                    re.findall(r"pop3\(%s\).*? top=(\d+)/" % re.escape(name), log.read())]

    def test_repeat_logins_fetch_only_new_headers(self):
        """The scan pipelines to Dovecot and remembers the headers it read:
        a repeat login fetches none, a later one only the new mail, and each
        shows what a scan of every header would."""
        stored = [ham(i) for i in range(1, 81)]
        stored[9] = message("x@spam.example", "viagra 10", "x\n")
        name, password, uids = self.mailbox(stored)
        client = self.login(name, password)
        self.assertEqual(client.stat()[0], 80)  # 79 kept and the report
        listing = client.uidl()[1]
        client.quit()
        self.wait_for_maildir(name, uids[:9] + uids[10:])

        client = self.login(name, password)
        self.assertEqual(client.stat()[0], 79)
        self.assertEqual(client.uidl()[1], listing[:79])
        self.assertEqual(self.retr(client, 79)[1], wire(stored[79]))
        client.quit()

        new = [ham(81), message("y@spam.example", "more viagra", "x\n")]
        # Named apart: the fixture's own names count the files, which the kill
        # made fewer, and a uid given again would be another message's.
        new_uids = [self.dovecot.add_message(name, m, unique_id="%d.M%dP1.new" % (1000000100 + i, i))
                    for i, m in enumerate(new)]
        client = self.login(name, password)
        self.assertEqual(client.stat()[0], 81)  # 80 kept and the report
        self.assertEqual(self.retr(client, 80)[1], wire(new[0]))
        self.assertIn(b"more viagra", self.retr(client, 81)[1])
        client.quit()
        self.wait_for_maildir(name, uids[:9] + uids[10:] + new_uids[:1])
        self.assertTrue(wait_until(lambda: len(self.server_tops(name)) == 3))
        self.assertEqual(self.server_tops(name), [80, 0, 2])

    def test_fetchmail_fetches_the_cleaned_mailbox_byte_for_byte(self):
        if shutil.which("fetchmail") is None:
            self.skipTest("fetchmail is not installed")
        big_body = "".join("line %06d of a long message, some text to fill it up\n" % i
                           for i in range(4000))
        stored = [ham(1, ".starts with a dot\n.\n..\nend\n"),
                  message("Spam King <king@spam.example>", "viagra", "x\n"),
                  ham(2, big_body),
                  message("news@example.org", "lottery draw", "y\n"),
                  ham(3, "8-bit text: \xe4\xf6\xfc\xdf\n\tindented\n \n"),
                  message("casino@bets.example", "Welcome bonus", "z\n")]
        name, password, uids = self.mailbox(stored)
        hidden, killed = {uids[3]}, {uids[1], uids[5]}
        kept = [i for i, uid in enumerate(uids) if uid not in hidden | killed]

        # First with "keep" and "fetchall": RETR, nothing deleted by the client.
        delivered = self.fetchmail(name, password, "keep fetchall")
        self.assertEqual(len(delivered), len(kept) + 1)
        for got, i in zip(delivered, kept):
            self.assertEqual(got, stored[i])
        report = delivered[-1].decode("latin-1")
        self.assertIsNotNone(REPORT_HEAD.match(report), report)
        self.assertIn("Subject    : viagra\n", report)
        self.assertIn("Subject    : Welcome bonus\n", report)
        self.wait_for_maildir(name, [uids[i] for i in kept] + [uids[3]])

        # Then as fetchmail runs by default: whole messages by TOP, deleted after.
        delivered = self.fetchmail(name, password, "")
        self.assertEqual(delivered, [stored[i] for i in kept])  # nothing new was killed
        self.wait_for_maildir(name, [uids[3]])
        self.check_accounted(name, stored, uids, b"".join(wire(stored[i]) for i in kept),
                             hidden, killed, report)

    def fetchmail(self, name, password, options):
        """Runs fetchmail once through the proxy; returns the messages it
        delivered, in order, as its delivery program received them."""
        home = tempfile.mkdtemp(prefix="fetchmail-", dir=self.work)
        out = os.path.join(home, "out")
        os.mkdir(out)
        deliver = os.path.join(home, "deliver.sh")
        with open(deliver, "w") as f:
            f.write('#!/bin/sh\nn=$(ls "$1" | wc -l)\ncat > "$1/$(printf %04d "$n").msg"\n')
        os.chmod(deliver, 0o755)
        rc = os.path.join(home, "fetchmailrc")
        local = pwd.getpwuid(os.getuid()).pw_name
        with open(rc, "w") as f:
            f.write('set no bouncemail\nset invisible\n'
                    'poll 127.0.0.1 proto pop3 port %d timeout 60\n'
                    '  user "127.0.0.1#%s" there with password "%s" is "%s" here\n'
                    '  %s no rewrite sslproto "" mda "%s %s"\n'
                    % (self.proxy.pop3_port, name, password, local, options, deliver, out))
        os.chmod(rc, 0o600)
        env = dict(os.environ, HOME=home, FETCHMAILHOME=home)
        run = subprocess.run(["fetchmail", "-f", rc, "--nosyslog", "-v"], env=env,
                             stdin=subprocess.DEVNULL, capture_output=True,
                             timeout=FETCHMAIL_LIMIT_S)
        self.assertIn(run.returncode, (0, 1), run.stderr.decode("latin-1")[-3000:])
        messages = []
        for file_name in sorted(os.listdir(out)):
            with open(os.path.join(out, file_name), "rb") as f:
                messages.append(f.read())
        return messages


if __name__ == "__main__":
    unittest.main()
