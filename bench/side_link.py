"""The link cases of the side-by-side benchmark: logins over a slow link.

Between the mail server and everything that talks to it sits a relay that
delays every chunk (link_relay.py), as a home connection to a provider
does; Trawlbox runs on the user's side, so its clients reach it directly.
For each mailbox size and round-trip time it times, as the median of the
runs:

  - direct login: what a leave-on-server client does at every check
    (connect, USER, PASS, STAT, UIDL) straight to the server;
  - sequential scan: a bare client that also lists and fetches every header
    one command at a time (LIST, then TOP n 0 for each message), which is
    what a scan costs without pipelining;
  - first login through Trawlbox: the same as the direct login, with no
    header cache (its files are removed before);
  - repeat login through Trawlbox: at once after the first, nothing new.

Targets: the repeat login within REPEAT_MAX_RATIO of the direct login; the
first login within FIRST_MAX_SHARE of the sequential scan's time.

A mailbox is generated once per size (as case 1's: mostly ordinary mail, a
few messages a DELE rule kills); the messages Trawlbox killed are put back
before each run's direct login, so every run starts from the full mailbox.
"""
import os
import time

import side_data
from link_relay import LinkRelay
from side_clients import Pop3

REPEAT_MAX_RATIO = 1.5    # repeat login through Trawlbox over the direct login
FIRST_MAX_SHARE = 0.10    # first login through Trawlbox over the sequential scan
RTT_PROBES = 5            # NOOPs whose median round trip is reported
SETTLE_POLLS = 200        # x 0.05 s: wait for Trawlbox to close a session
SETTLE_POLL_S = 0.05
# Trawlbox keeps its header cache in these files of its data directory (by
# default the program's directory).
CACHE_FILES = ("TRAWLBOX.DB", "TRAWLBOX.DB-wal", "TRAWLBOX.DB-shm")
# A reply may take as long as a sequential scan over the link, and more on a
# loaded machine.
REPLY_SLACK_S = 120
REPLY_ROUND_TRIPS_PER_MESSAGE = 3


def user_name(messages):
    return "link%d" % messages


def fill_mailboxes(dovecot, password, sizes):
    """Creates one user per mailbox size; returns {size: directory of a copy
    of its messages}, from which killed messages are put back."""
    backups = {}
    for count in sizes:
        user = user_name(count)
        dovecot.add_user(user, password)
        for number, message in enumerate(side_data.scan_mailbox(count), 1):
            # Naming each file spares the fixture a directory listing per message.
            dovecot.add_message(user, message, unique_id="%d.M%dP1.link" % (
                1000000000 + number, number))
        backup = os.path.join(dovecot.directory, user + "-backup")
        if not os.path.exists(backup):
            os.makedirs(backup)
            cur = os.path.join(dovecot.maildir(user), "cur")
            for name in os.listdir(cur):
                os.link(os.path.join(cur, name), os.path.join(backup, name))
        backups[count] = backup
    return backups


class LinkBench:
    def __init__(self, dovecot, password, backups, trawlbox, relay, restore, threads_idle,
                 thread_count):
        """restore(user, backup) puts back what Trawlbox killed and returns the
        count; thread_count(pid) and threads_idle tell when Trawlbox is idle."""
        self.dovecot = dovecot
        self.password = password
        self.backups = backups
        self.trawlbox = trawlbox
        self.relay = relay
        self.restore = restore
        self.threads_idle = threads_idle
        self.thread_count = thread_count

    def _client(self, port, messages, rtt_s):
        timeout = REPLY_SLACK_S + messages * REPLY_ROUND_TRIPS_PER_MESSAGE * rtt_s
        return Pop3(port, timeout=timeout)

    def _settle(self):
        for _ in range(SETTLE_POLLS):
            if self.thread_count(self.trawlbox.process.pid) <= self.threads_idle:
                return
            time.sleep(SETTLE_POLL_S)

    def _remove_cache(self):
        for name in CACHE_FILES:
            try:
                os.unlink(self.trawlbox.path(name))
            except FileNotFoundError:
                pass

    def measured_rtt(self, user):
        """Median round trip of a NOOP through the relay, in seconds."""
        with Pop3(self.relay.port) as client:
            client.greeting()
            client.login(user, self.password)
            samples = []
            for _ in range(RTT_PROBES):
                start = time.perf_counter()
                client.expect("NOOP", "+OK")
                samples.append(time.perf_counter() - start)
            client.quit()
        samples.sort()
        return samples[len(samples) // 2]

    def login(self, port, user, messages, rtt_s, scan=False):
        """Timed: connect, greeting, USER, PASS, STAT, UIDL (and with scan,
        LIST and TOP n 0 of every message). Returns (seconds, STAT count)."""
        client = None
        try:
            start = time.perf_counter()
            client = self._client(port, messages, rtt_s)
            client.greeting()
            client.login(user, self.password)
            count, _ = client.stat()
            if scan:
                client.listing("LIST")
            client.listing("UIDL")
            if scan:
                for number in range(1, count + 1):
                    client.top0(number)
            elapsed = time.perf_counter() - start
            client.quit()
        finally:
            if client is not None:
                client.close()
        return elapsed, count

    def run_case(self, messages, rtt_ms, runs):
        """Returns {"direct", "sequential", "first", "repeat": median seconds,
        "shown_first", "shown_repeat": STAT counts of the last run, "killed":
        messages Trawlbox killed in the last run, "rtt": the measured round
        trip in seconds}."""
        rtt_s = rtt_ms / 1000.0
        self.relay.one_way_delay_s = rtt_s / 2
        user = user_name(messages)
        result = {"rtt": self.measured_rtt(user)}
        times = {"direct": [], "sequential": [], "first": [], "repeat": []}
        for _ in range(runs):
            self.restore(user, self.backups[messages])
            self.touch(user)
            times["direct"].append(self.login(self.relay.port, user, messages, rtt_s)[0])
            times["sequential"].append(
                self.login(self.relay.port, user, messages, rtt_s, scan=True)[0])
            prefix = "127.0.0.1#"
            self._remove_cache()
            elapsed, result["shown_first"] = self.login(self.trawlbox.pop3_port, prefix + user,
                                                        messages, rtt_s)
            times["first"].append(elapsed)
            self._settle()
            elapsed, result["shown_repeat"] = self.login(self.trawlbox.pop3_port, prefix + user,
                                                         messages, rtt_s)
            times["repeat"].append(elapsed)
            self._settle()
        result["killed"] = self.restore(user, self.backups[messages])
        for key, values in times.items():
            values.sort()
            result[key] = values[len(values) // 2]
        return result

    def touch(self, user):
        """An untimed login straight to the server (no link): the server takes
        in restored files and builds its indexes outside the timed runs."""
        with Pop3(self.dovecot.ports()["pop3"]) as client:
            client.greeting()
            client.login(user, self.password)
            client.stat()
            client.listing("UIDL")
            client.quit()


def verdict(ok):
    return "met" if ok else "MISSED"


def print_table(results, runs, rate_mbit):
    """results: [(messages, rtt_ms, result of run_case)]."""
    print()
    print("Logins over a simulated link (a relay delaying each direction by half the round trip%s);"
          " median of %d run(s); load average %s" % (
              ", %.1f Mbit/s each way" % rate_mbit if rate_mbit else "", runs,
              " ".join(open("/proc/loadavg").read().split()[:3])))
    print()
    header = "%-30s %9s %11s %10s %10s  %-24s %-24s" % (
        "case (measured NOOP round trip)", "direct", "sequential", "TB first", "TB repeat",
        "first/sequential", "repeat/direct")
    print(header)
    print("-" * len(header))
    for messages, rtt_ms, r in results:
        first_share = r["first"] / r["sequential"]
        repeat_ratio = r["repeat"] / r["direct"]
        print("%-30s %8.3fs %10.3fs %9.3fs %9.3fs  %-24s %-24s" % (
            "%d msgs, %d ms (%.1f ms)" % (messages, rtt_ms, r["rtt"] * 1000), r["direct"],
            r["sequential"], r["first"], r["repeat"],
            "%.2f <= %.2f %s" % (first_share, FIRST_MAX_SHARE,
                                 verdict(first_share <= FIRST_MAX_SHARE)),
            "%.1fx <= %.1fx %s" % (repeat_ratio, REPEAT_MAX_RATIO,
                                   verdict(repeat_ratio <= REPEAT_MAX_RATIO))))
    print()
    for messages, rtt_ms, r in results:
        print("  %d messages, %d ms: Trawlbox showed %d at the first login and %d at the repeat "
              "(a kill report counts as one) and killed %d, put back before the next run" % (
                  messages, rtt_ms, r["shown_first"], r["shown_repeat"], r["killed"]))
