"""The proxy under a full session table.

First 49 mail programs at once (each session holds two entries, so 98 of the
99 client entries are taken) log in through the real binary to a private
Dovecot, wait for each other, and fetch and delete everything, in a few
rounds. Then mail sessions and news readers fill the table together and
further clients arrive while it is full: they are turned away (a client given
the overflow entry is closed without a word; a mail session that finds no
entry for its server connection answers "-ERR host not found/ready"; a news
reader "502 host not found/ready") and are served once entries are free.

Afterwards every message is accounted for (delivered, still on the server
because it was hidden, or killed and listed in the report the client read),
every entry the log opened was closed, the whole table is free again, and the
proxy's descriptors and threads are back where they started.
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from fixtures import inn
from fixtures.dovecot import start_for_class
from proof_servers import NewsGroup, ScriptedServer
from proof_support import (CLIENT_SLOTS, CLIENT_TIMEOUT_S, LineClient, ProcessProbe, body_of,
                           count_in_log, greeting_slot, mail, maildir, nntp_login, pop3_login,
                           scaled, slot_report, subject_of, table_slots, unstuff, wait_until,
                           wire)
from trawlbox_runner import Trawlbox, wait_for_port

USER_COUNT = 60
FULL_SESSIONS = CLIENT_SLOTS // 2  # 49: each mail session holds two entries
ROUNDS = scaled(3, least=2)
LARGE_BODY = scaled(120000, least=30000)
MIXED_MAIL_SESSIONS = 30
MIXED_READERS = FULL_SESSIONS - MIXED_MAIL_SESSIONS
RETRY_LIMIT = 300      # attempts of a turned-away client
RETRY_PAUSE_S = 0.1
# Peak resident memory of the proxy after all of this; some 5 MB at rest,
# every session holds little more than its table and one batch of lines.
PEAK_KB_LIMIT = 160 * 1024 if scaled(10) == 10 else 1024 * 1024

GROUP = "de.test"
NEWS = [("Weekly meeting", False), ("Cheap spam offer", True), ("Release notes", False),
        ("Question about setup", False)]

KILL_FILE = (b"' kill file of the load tests\r\n"
             b"--- ALLE\r\n"
             b"\"*viagra*\" \xEAs \xAF" b"DELE\r\n"
             b"\"*casino*\" \xEAn \xAF" b"DELE\r\n"
             b"\"*lottery*\" \xEAs \xAFSKIP\r\n"
             b"--- /DE/TEST\r\n"
             b"\"*Cheap spam*\" \xEAs \xAFSKIP\r\n")

PASS_OK = "+OK Mailbox scan running to 127.0.0.1 successfull"
POP3_FULL = "-ERR 127.0.0.1 not found/ready"
NNTP_FULL = "502 127.0.0.1 not found/ready"
NNTP_OK = "281 Authenticaion accepted from 127.0.0.1"
TOO_MANY = " 100 Too many sessions!"


def digest(message):
    """A short stand-in for a message in assertion texts: subject, size, hash."""
    return "%s/%d/%s" % (subject_of(message), len(message),
                         hashlib.sha1(message).hexdigest()[:12])


def note(text):
    """Figures for the reader of the test output."""
    sys.stderr.write("[load] %s\n" % text)


class MailRound:
    """The messages one round puts into one mailbox: kept, killed, hidden."""

    def __init__(self, dovecot, user, tag):
        self.user = user
        self.ham = [mail("friend@example.org", "Hello %s small" % tag, "Hi.\n", tag + "a"),
                    mail("friend@example.org", "Hello %s medium" % tag, body_of(8000, tag),
                         tag + "b"),
                    mail("friend@example.org", "Hello %s large" % tag,
                         body_of(LARGE_BODY, tag), tag + "c")]
        self.spam = [mail("king@spam.example", "Cheap viagra %s" % tag, "Buy.\n", tag + "d"),
                     mail("casino@bets.example", "Bonus %s" % tag, "Play.\n", tag + "e")]
        self.hidden = [mail("draw@example.org", "lottery %s" % tag, "No win.\n", tag + "f")]
        self.uids = {}
        for n, message in enumerate(self.ham + self.spam + self.hidden):
            self.uids[message] = dovecot.add_message(user, message, "%d.%s%d.proof" % (
                1000000000 + int(time.time()), tag, n))


class Fetched:
    """What one mail session received."""

    def __init__(self):
        self.messages = []
        self.report = b""
        self.replies = []


def fetch_everything(client, fetched):
    """STAT, LIST, UIDL, then RETR and DELE of every message, then QUIT. Every
    single-line reply must be positive."""
    def ask(command, expect="+OK"):
        reply = client.ask(command)
        fetched.replies.append((command, reply))
        if not reply.startswith(expect):
            raise AssertionError("%s answered %r" % (command, reply))
        return reply

    count = int(ask("STAT").split()[1])
    ask("LIST")
    listing = client.block()
    ask("UIDL")
    uids = client.block()
    if len(listing) != count or len(uids) != count:
        raise AssertionError("STAT %d, LIST %d, UIDL %d" % (count, len(listing), len(uids)))
    for n in range(1, count + 1):
        reply = ask("RETR %d" % n)
        data = unstuff(client.block())
        if int(reply.split()[1]) != len(data):
            raise AssertionError("RETR %d announced %r, brought %d" % (n, reply, len(data)))
        if reply.endswith("(internal spam-message)"):
            fetched.report = data
        else:
            fetched.messages.append(data)
        ask("DELE %d" % n)
    bye = ask("QUIT", "+OK POP3-Trawlbox v0.25 Server #")
    if not bye.endswith(", good bye spam") or client.until_closed() != b"":
        raise AssertionError("no clean good-bye: %r" % bye)


def fetch_session(client, user, password, fetched, barrier=None):
    """Logs in on a connection that has been greeted, fetches everything."""
    with client:
        client.ask("USER 127.0.0.1#" + user)
        reply = client.ask("PASS " + password)
        fetched.replies.append(("PASS", reply))
        if reply != PASS_OK:
            raise AssertionError("PASS answered %r" % reply)
        if barrier is not None:
            barrier.wait()
        fetch_everything(client, fetched)


def in_threads(jobs, limit):
    """Runs each job in a thread; returns the exceptions they raised."""
    errors = []

    def run(job):
        try:
            job()
        except BaseException as error:  # reported to the test below
            errors.append(error)

    threads = [threading.Thread(target=run, args=(job,), daemon=True) for job in jobs]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + limit
    for thread in threads:
        thread.join(max(0.1, deadline - time.monotonic()))
    stuck = sum(thread.is_alive() for thread in threads)
    if stuck:
        errors.append(AssertionError("%d clients still busy after %d s" % (stuck, limit)))
    # A client that fails first breaks the barrier for all the others.
    causes = [e for e in errors if not isinstance(e, threading.BrokenBarrierError)]
    return ["%s: %s" % (type(e).__name__, e) for e in (causes or errors)[:5]]


class LoadTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.users = [("load%02d" % n, "pass %02d" % n) for n in range(1, USER_COUNT + 1)]
        cls.dovecot, pop3_port = start_for_class(cls, "trawlbox-load-dovecot-", cls.users)

        cls.news_port, cls.news_ids = cls.start_news()
        cls.proxy = Trawlbox(config={"Pop3PortOutgoing": pop3_port,
                                     "NntpPortOutgoing": cls.news_port,
                                     "Pop3Timeout": 300, "NntpTimeout": 300,
                                     "LogSession": "J", "LogFilter": "J"},
                             killfile=KILL_FILE)
        cls.addClassCleanup(cls.proxy.cleanup)
        cls.proxy.start()
        if not wait_for_port(cls.proxy.nntp_port):
            raise RuntimeError("no news listener; log:\n" + cls.proxy.log())
        cls.probe = ProcessProbe(cls.proxy.process.pid)
        wait_until(lambda: not slot_report(cls.proxy.log())[0])
        cls.baseline = cls.probe.settled()
        note("baseline: %d descriptors, %d threads, scale: %d rounds, large body %d bytes"
             % (cls.baseline + (ROUNDS, LARGE_BODY)))

    @classmethod
    def start_news(cls):
        """The private INN when it can run here, else a scripted news server.
        Returns (port, {subject: Message-ID})."""
        if os.path.exists(inn.INN_BIN + "/innd") and os.geteuid() == 0:
            cls.inn_dir = tempfile.mkdtemp(prefix="trawlbox-load-inn-")
            cls.addClassCleanup(shutil.rmtree, cls.inn_dir, True)
            cls.addClassCleanup(inn.stop, cls.inn_dir)
            port = inn.start(cls.inn_dir, groups=(GROUP,))["innd"]
            ids = inn.post_many(cls.inn_dir, [
                dict(group=GROUP, subject=s, from_="Ann <ann@example.org>", body="Text\n")
                for s, _ in NEWS])
            return port, dict(zip((s for s, _ in NEWS), ids))
        server = ScriptedServer(NewsGroup(GROUP, [s for s, _ in NEWS]))
        cls.addClassCleanup(server.close)
        return server.port, {s: "<%d@proof>" % n for n, (s, _) in enumerate(NEWS, 1)}

    # --- checks shared by the tests ---------------------------------------------------

    def settle_sessions(self, expected_threads=None):
        """Waits until every session thread has ended (or `expected_threads`)."""
        target = self.baseline[1] if expected_threads is None else expected_threads
        self.assertTrue(wait_until(lambda: self.probe.threads() == target),
                        "threads: %d, expected %d" % (self.probe.threads(), target))

    def check_proxy_at_rest(self):
        still_open, faults = slot_report(self.proxy.log())
        self.assertEqual(faults, [])
        self.assertEqual(still_open, set(), "entries the log never saw closed")
        usage = self.probe.back_to(self.baseline)
        self.assertEqual(usage, self.baseline, "descriptors and threads (before, after)")
        # The whole table is free: the next 99 clients get entries 1 to 99.
        self.assertEqual(table_slots(self.proxy), list(range(1, CLIENT_SLOTS + 1)))
        self.assertEqual(self.probe.back_to(self.baseline), self.baseline)
        peak = self.probe.peak_kb()
        note("after the test: %d descriptors, %d threads, peak resident %d KiB"
             % (usage + (peak,)))
        self.assertLess(peak, PEAK_KB_LIMIT)

    def check_accounted(self, rounds, fetched, hidden_so_far):
        """Each message was delivered whole, or is still on the server because
        it was hidden, or was killed and is listed in the report the client
        read. Nothing else is on the server."""
        for batch, got in zip(rounds, fetched):
            held = maildir(self.dovecot, batch.user)
            self.assertEqual(sorted(digest(m) for m in got.messages),
                             sorted(digest(wire(m)) for m in batch.ham), batch.user)
            report = got.report.decode("latin-1")
            for message in batch.spam:
                self.assertNotIn(batch.uids[message], held)
                self.assertIn("Subject    : %s\r\n" % subject_of(message), report)
            for message in batch.ham + batch.hidden:
                self.assertNotIn(subject_of(message), report)
            hidden_so_far.setdefault(batch.user, set()).update(
                batch.uids[m] for m in batch.hidden)
            self.assertEqual(set(held), hidden_so_far[batch.user], batch.user)

    # --- tests ---------------------------------------------------------------------------

    def test_full_table_of_mail_sessions_in_rounds(self):
        users = self.users[:FULL_SESSIONS]
        hidden = {}
        for round_number in range(ROUNDS):
            started = time.monotonic()
            rounds = [MailRound(self.dovecot, name, "r%du%s" % (round_number, name))
                      for name, _ in users]
            fetched = [Fetched() for _ in users]
            # The clients connect one after the other (a burst is the subject
            # of its own test below), then log in and fetch all at once.
            clients = [self.greeted_mail_client() for _ in users]
            # Nobody fetches before all 49 have logged in: 98 entries at once.
            barrier = threading.Barrier(len(users), timeout=CLIENT_TIMEOUT_S)
            jobs = [lambda c=c, u=u, f=f: fetch_session(c, u[0], u[1], f, barrier)
                    for c, u, f in zip(clients, users, fetched)]
            errors = in_threads(jobs, 4 * CLIENT_TIMEOUT_S)
            self.assertEqual(errors, [])
            self.settle_sessions()
            note("round %d: %d sessions at once, %d messages each, %.1f s"
                 % (round_number + 1, len(users), len(rounds[0].uids),
                    time.monotonic() - started))
            self.check_accounted(rounds, fetched, hidden)
        self.assertNotIn(TOO_MANY, self.proxy.log())
        self.check_proxy_at_rest()

    def test_mixed_full_table_turns_clients_away_and_serves_them_later(self):
        users = self.users[FULL_SESSIONS:FULL_SESSIONS + MIXED_MAIL_SESSIONS // 3] + \
            self.users[:MIXED_MAIL_SESSIONS - MIXED_MAIL_SESSIONS // 3]
        late_user = self.users[-1]
        self.assertNotIn(late_user, users)
        rounds = {name: MailRound(self.dovecot, name, "mix" + name) for name, _ in users}
        late_round = MailRound(self.dovecot, late_user[0], "late")
        late_before = maildir(self.dovecot, late_user[0])
        hidden = {name: set(maildir(self.dovecot, name)) - set(b.uids.values())
                  for name, b in rounds.items()}
        too_many_before = count_in_log(self.proxy, TOO_MANY)
        holders, readers, slots = [], [], []
        fetched = {name: Fetched() for name, _ in users}
        try:
            # 30 mail sessions and 19 readers: 98 entries.
            for name, password in users:
                client, slot, reply = pop3_login(self.proxy.pop3_port, name, password)
                holders.append((name, client))
                slots.append(slot)
                self.assertEqual(reply, PASS_OK, name)
            for _ in range(MIXED_READERS):
                client, slot, reply = nntp_login(self.proxy.nntp_port)
                readers.append(client)
                slots.append(slot)
                self.assertEqual(reply, NNTP_OK)
                self.check_overview(client)
            self.assertEqual(len(set(slots)), len(slots))
            self.assertTrue(all(1 <= slot < CLIENT_SLOTS for slot in slots), slots)

            # The last client entry goes to a reader that has not logged in.
            with LineClient(self.proxy.nntp_port) as waiting:
                self.assertEqual(greeting_slot(waiting.line()), CLIENT_SLOTS)
                # Now the table is full: the next clients are closed unanswered.
                for port in (self.proxy.pop3_port, self.proxy.nntp_port):
                    with LineClient(port) as refused:
                        self.assertEqual(refused.until_closed(), b"")
                self.assertTrue(wait_until(
                    lambda: count_in_log(self.proxy, TOO_MANY) == too_many_before + 2))
                self.assertTrue(waiting.ask("QUIT").startswith("205 "))
                self.assertEqual(waiting.until_closed(), b"")
            self.settle_sessions(self.baseline[1] + FULL_SESSIONS)

            # A client entry is free but none for a server connection.
            client, slot, reply = pop3_login(self.proxy.pop3_port, *late_user)
            with client:
                self.assertEqual((slot, reply), (CLIENT_SLOTS, POP3_FULL))
                self.assertTrue(client.line().endswith(", good bye spam"))
                self.assertEqual(client.until_closed(), b"")
            # The client sees the close before the session has given its entry
            # back; a reader arriving in between would find the table full.
            self.settle_sessions(self.baseline[1] + FULL_SESSIONS)
            client, slot, reply = nntp_login(self.proxy.nntp_port)
            with client:
                self.assertEqual(reply, NNTP_FULL)
                self.assertTrue(client.line().endswith(", good bye spam"))
                self.assertEqual(client.until_closed(), b"")
            self.assertEqual(maildir(self.dovecot, late_user[0]), late_before)

            # Turned away, they try again; they are served once entries are freed.
            late_fetched = Fetched()
            turned_away = {"mail": 0, "news": 0}
            jobs = [lambda: self.retry_mail(late_user, late_fetched, turned_away),
                    lambda: self.retry_news(turned_away),
                    lambda: self.release_some(holders, readers, turned_away, fetched)]
            self.assertEqual(in_threads(jobs, 4 * CLIENT_TIMEOUT_S), [])
            self.assertGreater(turned_away["mail"], 0)
            self.assertGreater(turned_away["news"], 0)
            note("turned away while full: %d mail, %d news attempts, then served"
                 % (turned_away["mail"], turned_away["news"]))
            self.check_accounted([late_round], [late_fetched], {late_user[0]: set(
                late_before) - set(late_round.uids.values())})
        finally:
            for name, client in holders:
                with client:
                    if not client.closed:
                        fetch_everything(client, fetched[name])
            for client in readers:
                with client:
                    if not client.closed:
                        self.assertTrue(client.ask("QUIT").startswith("205 "))
        self.settle_sessions()
        self.check_accounted([rounds[name] for name, _ in users],
                             [fetched[name] for name, _ in users], hidden)
        self.check_proxy_at_rest()

    def test_listeners_queue_a_burst_as_large_as_the_table(self):
        # Clients speak only after the greeting, so a connection the kernel
        # could not queue for accept waits for the server's handshake retries
        # (up to a minute), or is dropped while the client believes it is
        # connected. Every client the table can hold may arrive at once.
        if shutil.which("ss") is None:
            self.skipTest("ss (iproute2) is not installed")
        for port in (self.proxy.pop3_port, self.proxy.nntp_port):
            listing = subprocess.run(["ss", "-ltnH", "sport = :%d" % port],
                                     capture_output=True, text=True, check=True).stdout.split()
            with self.subTest(port=port):
                self.assertEqual(listing[0], "LISTEN")
                self.assertGreaterEqual(int(listing[2]), CLIENT_SLOTS, "accept queue")

    def greeted_mail_client(self):
        client = LineClient(self.proxy.pop3_port)
        greeting = client.line()
        if not greeting.startswith("+OK POP3-Trawlbox v0.25 Server #"):
            client.close()
            raise AssertionError("greeting: %r" % greeting)
        return client

    # --- parts of the mixed test --------------------------------------------------------

    def check_overview(self, reader):
        reply = reader.ask("GROUP " + GROUP)
        self.assertTrue(reply.startswith("211 "), reply)
        low, high = reply.split()[2:4]
        self.assertTrue(reader.ask("XOVER %s-%s" % (low, high)).startswith("224"))
        listed = {line.split(b"\t")[4].decode("latin-1") for line in reader.block()}
        wanted = {self.news_ids[subject] for subject, spam in NEWS if not spam}
        self.assertEqual(listed & set(self.news_ids.values()), wanted)

    def release_some(self, holders, readers, turned_away, fetched):
        """Once both late clients have been turned away, three mail sessions and
        two readers finish."""
        wait_until(lambda: turned_away["mail"] and turned_away["news"], CLIENT_TIMEOUT_S)
        for _ in range(3):
            name, client = holders.pop()
            with client:
                fetch_everything(client, fetched[name])
        for _ in range(2):
            with readers.pop() as reader:
                reader.ask("QUIT")

    def retry_mail(self, user, fetched, turned_away):
        for _ in range(RETRY_LIMIT):
            client = LineClient(self.proxy.pop3_port)
            with client:
                greeting = client.line()
                if greeting == "<closed>":  # the overflow entry
                    turned_away["mail"] += 1
                    time.sleep(RETRY_PAUSE_S)
                    continue
                client.ask("USER 127.0.0.1#" + user[0])
                reply = client.ask("PASS " + user[1])
                if reply == POP3_FULL:
                    turned_away["mail"] += 1
                    time.sleep(RETRY_PAUSE_S)
                    continue
                if reply != PASS_OK:
                    raise AssertionError("late mail client: %r" % reply)
                fetch_everything(client, fetched)
                return
        raise AssertionError("the late mail client was never served")

    def retry_news(self, turned_away):
        for _ in range(RETRY_LIMIT):
            client = LineClient(self.proxy.nntp_port)
            with client:
                if client.line() == "<closed>":
                    turned_away["news"] += 1
                    time.sleep(RETRY_PAUSE_S)
                    continue
                client.ask("AUTHINFO USER 127.0.0.1")
                reply = client.ask("AUTHINFO PASS x")
                if reply == NNTP_FULL:
                    turned_away["news"] += 1
                    time.sleep(RETRY_PAUSE_S)
                    continue
                if reply != NNTP_OK:
                    raise AssertionError("late reader: %r" % reply)
                self.check_overview(client)
                self.assertTrue(client.ask("QUIT").startswith("205 "))
                return
        raise AssertionError("the late reader was never served")


if __name__ == "__main__":
    unittest.main()
