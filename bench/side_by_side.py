#!/usr/bin/env python3
"""Side-by-side benchmark: the same work done directly against the real
servers, through a plain POP3 proxy (perdition) and through Trawlbox.

Run as root from anywhere in the source tree:

    python3 bench/side_by_side.py [--quick] [--runs N] [--binary PATH]
                                  [--rules N] [--perf DIR] [--keep]
                                  [--link | --all] [--link-messages N,...]
                                  [--link-rtt MS,...] [--link-rate MBIT]

It builds the Release binary (in build-bench/ unless --binary names one),
starts everything privately on loopback (a Dovecot with generated
mailboxes that also speaks TLS with a private CA's certificate, a news
server with a large group, perdition, and two Trawlbox instances with a
200-rule kill file: one talking plaintext to the servers, one implicit TLS
to Dovecot's pop3s port), times each case as the median of N runs, prints
one table with the ratios against the targets, and stops everything by PID,
also when a step fails. The paths take turns within each round. Besides
time, it reports the CPU time Trawlbox spent in each timed part (and the
bare client's own, for the direct runs), which tells the proxy's own cost
from waiting on the server. --rules 0 measures the relay without filtering;
--perf samples Trawlbox during each case and names the costliest functions.

Cases:
  1. login plus scan of a mailbox of 1,000 messages: a bare client doing
     STAT, LIST, UIDL and TOP n 0 for every message (directly and through
     perdition) against USER/PASS up to the PASS reply, then STAT, through
     Trawlbox (which does that scan before it answers PASS);
  2. RETR of 20 messages of 5 MB and of 500 messages of 20 KB;
  3. XOVER of 100,000 overview lines in one group, filtered by the kill file;
  4. RETR over TLS, the same mailboxes as case 2: a client doing TLS itself
     to Dovecot's pop3s port against a plaintext client of the TLS Trawlbox
     on loopback, which verifies the certificate (private CA, 127.0.0.1);
  5. memory of the Trawlbox processes (peak and resident before and after
     each case) and of perdition's connection handler;
  6. with --link (only these) or --all (after the others): logins over a
     simulated link, mailboxes of 1,000 and 10,000 messages at 20 ms and
     50 ms round trip (--quick: 1,000 at 20 ms): a direct leave-on-server
     login, a sequential scan by a bare client, and the first and a repeat
     login through Trawlbox (see side_link.py).
"""
import argparse
import os
import shutil
import signal
import ssl
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path[:0] = [os.path.join(SOURCE, "tests"), os.path.join(SOURCE, "tests", "integration")]

from fixtures import inn, tls_ca  # noqa: E402
from fixtures.dovecot import Dovecot  # noqa: E402
import trawlbox_runner  # noqa: E402

from link_relay import LinkRelay  # noqa: E402
from perdition_peer import Perdition  # noqa: E402
import side_clients  # noqa: E402
import side_link  # noqa: E402
from side_clients import Nntp, Pop3  # noqa: E402
import side_data  # noqa: E402

BUILD_DIR = "build-bench"
PASSWORD = "bench pass"
RULE_COUNT = 200
MAX_RULES = 5000  # one section: a larger kill file is read from disk at every evaluation
NEWS_GROUP = "bench.overview"
MIB = 1024 * 1024

# Sizes of the full run and of the smoke run (--quick).
FULL = dict(runs=5, scan=1000, big=20, big_size=5 * MIB, small=500, small_size=20 * 1024,
            articles=100000, few_lines=1000)
QUICK = dict(runs=1, scan=100, big=3, big_size=5 * MIB, small=50, small_size=20 * 1024,
             articles=3000, few_lines=300)

# Link cases (6): mailbox sizes, round trips in ms, runs; and of --quick.
# One run: their times are set by the link's delay far more than by load
# on the machine, and a sequential scan of 10,000 messages at 50 ms takes
# over eight minutes.
LINK_FULL = dict(messages=(1000, 10000), rtts=(20, 50), runs=1)
LINK_QUICK = dict(messages=(1000,), rtts=(20,), runs=1)
MAX_LINK_MESSAGES = 100000  # generating a mailbox beyond this is no benchmark
MAX_LINK_RTT_MS = 1000

# The server's certificate names localhost and 127.0.0.1; both clients
# name the address, which needs no resolver (localhost may mean ::1, where
# the server does not listen).
TLS_HOST = "127.0.0.1"

# Targets.
SCAN_MAX_RATIO = 1.3       # Trawlbox's login+scan time over the bare client's
RETR_MIN_RATIO = 0.9       # Trawlbox's RETR throughput over direct
XOVER_MIN_RATIO = 0.8      # Trawlbox's XOVER throughput over direct
TLS_RETR_MIN_RATIO = 0.8   # Trawlbox's RETR throughput over a client's own TLS
# A streaming relay holds a few 64 KiB batches and line buffers per session;
# growth in the order of the payload (megabytes) is what the target rules out.
MEMORY_GROWTH_LIMIT_KIB = 1024

BUILD_TIMEOUT_S = 3600
SETTLE_POLLS = 100         # x 0.05 s: wait for Trawlbox to close a session
SETTLE_POLL_S = 0.05


# --- Processes, memory and CPU -----------------------------------------------

def memory_kib(pid):
    """{"VmRSS": KiB, "VmHWM": KiB} of the process, or {} when it is gone."""
    values = {}
    try:
        with open("/proc/%d/status" % pid) as status:
            for line in status:
                name, _, rest = line.partition(":")
                if name in ("VmRSS", "VmHWM"):
                    values[name] = int(rest.split()[0])
    except OSError:
        return {}
    return values


def reset_peak(pid):
    """Sets the process's peak resident size (VmHWM) back to its current size.
    Returns False when the kernel does not allow it."""
    try:
        with open("/proc/%d/clear_refs" % pid, "w") as clear:
            clear.write("5")
        return True
    except OSError:
        return False


def cpu_seconds(pid):
    """CPU time the live threads of the process have used, in nanosecond
    resolution (the clock ticks of /proc/PID/stat are too coarse for runs
    of a tenth of a second). A session's thread lives through its timed part,
    so the difference over that part is the session's cost."""
    total = 0
    try:
        tasks = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return 0.0
    for task in tasks:
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as stat:
                total += int(stat.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass  # the thread ended meanwhile
    return total / 1e9


def thread_count(pid):
    try:
        return len(os.listdir("/proc/%d/task" % pid))
    except OSError:
        return 0


class CaseProbe:
    """Memory and CPU time of the Trawlbox process over one case, the largest
    peak of perdition's connection handlers seen in the case, and the bare
    client's own CPU time in its direct runs."""

    def __init__(self, pid):
        self.pid = pid
        self.peak_reset = reset_peak(pid)
        self.before = memory_kib(pid).get("VmRSS", 0)
        self.peak = None
        self.after = None
        self.perdition_peak = 0
        self.cpu = []           # Trawlbox's CPU seconds in each timed part
        self.client_cpu = []    # the bare client's CPU seconds per direct run

    def timed(self, path):
        """Context of a timed part: adds Trawlbox's CPU time (on its path)
        or the client's own (on the direct path) to the lists."""
        return _TimedPart(self, path)

    def finish(self):
        values = memory_kib(self.pid)
        self.after = values.get("VmRSS", 0)
        self.peak = values.get("VmHWM", 0) if self.peak_reset else None


class _TimedPart:
    def __init__(self, probe, path):
        self.probe, self.path = probe, path

    def __enter__(self):
        self.tb_cpu = cpu_seconds(self.probe.pid)
        self.client_cpu = time.process_time()
        self.start = time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.elapsed = time.perf_counter() - self.start
        if self.path == "trawlbox":
            self.probe.cpu.append(cpu_seconds(self.probe.pid) - self.tb_cpu)
        elif self.path == "direct":
            self.probe.client_cpu.append(time.process_time() - self.client_cpu)


def wait_for_idle(pid, threads_idle):
    """Waits (bounded) until Trawlbox is back at its idle thread count, so
    that one run's session is over before the next starts."""
    for _ in range(SETTLE_POLLS):
        if thread_count(pid) <= threads_idle:
            return
        time.sleep(SETTLE_POLL_S)


class Profiler:
    """With --perf DIR: samples a Trawlbox process with perf (a software
    clock, which works where hardware counters are not offered) while a case
    runs, keeps DIR/CASE.data for perf report and prints the functions that
    took the most samples. Without a directory it does nothing."""

    SAMPLE_HZ = 999
    ATTACH_WAIT_S = 0.5   # perf needs a moment before it samples
    STOP_WAIT_S = 120
    TOP_FUNCTIONS = 12

    def __init__(self, directory, pid):
        self.directory = directory
        self.pid = pid
        self.process = None
        self.summaries = []
        if directory:
            os.makedirs(directory, exist_ok=True)

    def start(self, name, pid=None):
        """Samples the process pid (default: the one given at construction)."""
        if not self.directory:
            return
        self.name = name
        self.path = os.path.join(self.directory, name + ".data")
        self.process = subprocess.Popen(
            ["perf", "record", "-q", "-e", "cpu-clock", "-F", str(self.SAMPLE_HZ),
             "--call-graph", "dwarf", "-p", str(pid or self.pid), "-o", self.path],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(self.ATTACH_WAIT_S)

    def stop(self):
        if self.process is None:
            return
        self.process.send_signal(signal.SIGINT)
        try:
            self.process.wait(self.STOP_WAIT_S)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process = None
        report = subprocess.run(
            ["perf", "report", "-i", self.path, "--stdio", "--no-children", "-g", "none",
             "--sort", "dso,symbol", "--percent-limit", "1"],
            capture_output=True, text=True, timeout=self.STOP_WAIT_S, check=False)
        lines = [line.strip() for line in report.stdout.splitlines()
                 if line.strip() and not line.lstrip().startswith("#")]
        self.summaries.append((self.name, lines[:self.TOP_FUNCTIONS]))

    def print_summaries(self):
        for name, lines in self.summaries:
            print()
            print("perf, Trawlbox process during %s (self time; %s):" % (
                name, os.path.join(self.directory, name + ".data")))
            for line in lines:
                # perf pads the columns it was not asked to fill with "-".
                print("  " + " ".join(word for word in line.split() if word != "-"))


# --- Set-up -------------------------------------------------------------------

def build_binary():
    """Builds the Release binary; returns its path, or None after printing
    the build's output when the build failed."""
    build = os.path.join(SOURCE, BUILD_DIR)
    steps = [["cmake", "--build", build, "--target", "trawlbox", "-j2"]]
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        steps.insert(0, ["cmake", "-S", SOURCE, "-B", build, "-DCMAKE_BUILD_TYPE=Release"])
    for step in steps:
        result = subprocess.run(step, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True, timeout=BUILD_TIMEOUT_S, check=False)
        if result.returncode != 0:
            print(result.stdout[-5000:], file=sys.stderr)
            return None
    return os.path.join(build, "trawlbox")


def fill_mailboxes(dovecot, sizes):
    """Creates the users and their mailboxes; returns the directory of a copy
    of the scan mailbox, from which killed messages are put back after each
    run."""
    dovecot.add_user("scan", PASSWORD)
    for message in side_data.scan_mailbox(sizes["scan"]):
        dovecot.add_message("scan", message)
    dovecot.add_user("big", PASSWORD)
    for n in range(1, sizes["big"] + 1):
        dovecot.add_message("big", side_data.plain_message(n, sizes["big_size"]))
    dovecot.add_user("small", PASSWORD)
    for n in range(1, sizes["small"] + 1):
        dovecot.add_message("small", side_data.plain_message(n, sizes["small_size"]))
    backup = os.path.join(dovecot.directory, "scan-backup")
    shutil.copytree(os.path.join(dovecot.maildir("scan"), "cur"), backup)
    return backup


def restore_scan_mailbox(dovecot, backup, user="scan"):
    """Puts back the messages Trawlbox killed (the server deleted them at
    QUIT); returns how many were missing."""
    maildir = dovecot.maildir(user)
    present = set()
    for sub in ("cur", "new"):
        present.update(name.split(":")[0] for name in os.listdir(os.path.join(maildir, sub)))
    missing = 0
    for name in os.listdir(backup):
        if name.split(":")[0] in present:
            continue
        target = os.path.join(maildir, "cur", name)
        shutil.copyfile(os.path.join(backup, name), target)
        os.chown(target, dovecot.mail_uid, dovecot.mail_gid)
        missing += 1
    return missing


# --- Runs ---------------------------------------------------------------------

def connect(port, tls=None):
    """A POP3 client on the loopback port; with tls (an SSLContext) it does
    the handshake itself and checks the certificate for TLS_HOST."""
    return Pop3(port, TLS_HOST, tls) if tls else Pop3(port)


class Bench:
    def __init__(self, sizes, dovecot, backup, perdition, trawlbox, news_port, tls_trawlbox,
                 ca_file):
        self.sizes = sizes
        self.dovecot = dovecot
        self.backup = backup
        self.pop3_port = dovecot.ports()["pop3"]
        self.pop3s_port = dovecot.ports()["pop3s"]
        self.perdition = perdition
        self.trawlbox = trawlbox
        self.tb_pid = trawlbox.process.pid
        self.news_port = news_port
        self.idle_threads = thread_count(self.tb_pid)
        self.tls_trawlbox = tls_trawlbox
        self.tls_pid = tls_trawlbox.process.pid
        self.tls_idle_threads = thread_count(self.tls_pid)
        # Verifies as Trawlbox does: the private CA only, and the address.
        self.tls_context = ssl.create_default_context(cafile=ca_file)
        self.tls_versions = {}  # path -> protocol and cipher seen

    def paths(self):
        """(name, port, user prefix) of the POP3 paths."""
        return [("direct", self.pop3_port, ""), ("perdition", self.perdition.port, ""),
                ("trawlbox", self.trawlbox.pop3_port, "127.0.0.1#")]

    def tls_paths(self):
        """(name, port, user prefix, client TLS context) of the paths of case 4."""
        return [("direct", self.pop3s_port, "", self.tls_context),
                ("trawlbox", self.tls_trawlbox.pop3_port, TLS_HOST + "#", None)]

    def perdition_peak(self):
        peaks = [memory_kib(pid).get("VmHWM", 0) for pid in self.perdition.children()]
        return max(peaks, default=0)

    def settle(self, path, tls=False):
        if path == "trawlbox":
            if tls:
                wait_for_idle(self.tls_pid, self.tls_idle_threads)
            else:
                wait_for_idle(self.tb_pid, self.idle_threads)

    # Case 1 -------------------------------------------------------------------
    def scan_once(self, path, port, prefix, probe):
        client = None
        try:
            # The connect counts: through Trawlbox it starts the session.
            with probe.timed(path) as part:
                client = Pop3(port)
                client.greeting()
                client.login(prefix + "scan", PASSWORD)
                count, _ = client.stat()
                if path != "trawlbox":
                    client.listing("LIST")
                    client.listing("UIDL")
                    for number in range(1, count + 1):
                        client.top0(number)
            elapsed = part.elapsed
            if path == "perdition":
                probe.perdition_peak = max(probe.perdition_peak, self.perdition_peak())
            client.quit()
        finally:
            if client is not None:
                client.close()
        self.settle(path)
        if path == "trawlbox":
            self.shown_after_scan = count
            self.killed_per_scan = restore_scan_mailbox(self.dovecot, self.backup)
            # The server takes in the restored files at the next login; that
            # work must not be charged to the next path's timed run.
            self.touch("scan")
        return elapsed

    def touch(self, user, port=None, prefix="", tls=None):
        """An untimed login that lists the mailbox, directly unless port
        names another path."""
        with connect(port or self.pop3_port, tls) as client:
            client.greeting()
            client.login(prefix + user, PASSWORD)
            client.stat()
            client.listing("UIDL")
            client.quit()

    # Case 2 -------------------------------------------------------------------
    def retr_once(self, path, port, prefix, user, probe, tls=None, tls_case=False):
        """tls: the client's own TLS context (direct over TLS); tls_case: the
        run belongs to case 4, whose Trawlbox is the TLS instance."""
        with connect(port, tls) as client:
            if tls is not None:
                self.tls_versions[path] = client.tls_version()
            client.greeting()
            client.login(prefix + user, PASSWORD)
            count, _ = client.stat()
            total = 0
            with probe.timed(path) as part:
                for number in range(1, count + 1):
                    total += client.retr_bytes(number)
            elapsed = part.elapsed
            if path == "perdition":
                probe.perdition_peak = max(probe.perdition_peak, self.perdition_peak())
            client.quit()
        self.settle(path, tls_case)
        return elapsed, total

    # Case 3 -------------------------------------------------------------------
    def xover_once(self, path, lines, probe):
        port = self.news_port if path == "direct" else self.trawlbox.nntp_port
        with Nntp(port) as client:
            client.greeting()
            if path == "trawlbox":
                client.authinfo("127.0.0.1", "none")
            _, low, high = client.group(NEWS_GROUP)
            last = min(high, low + lines - 1)
            with probe.timed(path) as part:
                got_lines, got_bytes = client.xover(low, last)
            elapsed = part.elapsed
            client.quit()
        self.settle(path)
        return elapsed, got_lines, got_bytes


def tls_established(log):
    """The protocol and cipher of the last "TLS established: " line of a
    Trawlbox log, or None."""
    marker = "TLS established: "
    found = None
    for line in log.splitlines():
        at = line.find(marker)
        if at >= 0:
            found = line[at + len(marker):].strip()
    return found


def median(values):
    return statistics.median(values) if values else float("nan")


def run_cases(bench, runs, profiler):
    """Runs every case; returns the results dict the table is printed from.
    The paths take turns within each round, so that load from elsewhere on
    the machine falls on all of them alike."""
    results = {}
    sizes = bench.sizes

    # Warm-up: the server builds its indexes and the page cache fills.
    for user in ("scan", "big", "small"):
        bench.touch(user)

    probe = CaseProbe(bench.tb_pid)
    profiler.start("scan")
    times = {name: [] for name, _, _ in bench.paths()}
    for _ in range(runs):
        for name, port, prefix in bench.paths():
            times[name].append(bench.scan_once(name, port, prefix, probe))
    probe.finish()
    profiler.stop()
    results["scan"] = dict(times={k: median(v) for k, v in times.items()}, probe=probe,
                           shown=bench.shown_after_scan, killed=bench.killed_per_scan)

    for key, user, count in (("retr_small", "small", sizes["small"]),
                             ("retr_big", "big", sizes["big"])):
        probe = CaseProbe(bench.tb_pid)
        profiler.start(key)
        rates = {name: [] for name, _, _ in bench.paths()}
        octets = 0
        for _ in range(runs):
            for name, port, prefix in bench.paths():
                elapsed, octets = bench.retr_once(name, port, prefix, user, probe)
                rates[name].append(octets / elapsed / 1e6)
        probe.finish()
        profiler.stop()
        results[key] = dict(rates={k: median(v) for k, v in rates.items()}, probe=probe,
                            count=count, octets=octets)

    for key, lines in (("xover_few", sizes["few_lines"]), ("xover_all", sizes["articles"])):
        probe = CaseProbe(bench.tb_pid)
        profiler.start(key)
        times = {"direct": [], "trawlbox": []}
        counts = {}
        for _ in range(runs):
            for name in ("direct", "trawlbox"):
                elapsed, got_lines, got_bytes = bench.xover_once(name, lines, probe)
                times[name].append(elapsed)
                counts[name] = (got_lines, got_bytes)
        probe.finish()
        profiler.stop()
        results[key] = dict(times={k: median(v) for k, v in times.items()}, probe=probe,
                            lines=lines, counts=counts)

    # Case 4: the first TLS session of each path (contexts, trust store)
    # is not timed.
    for name, port, prefix, context in bench.tls_paths():
        bench.touch("small", port, prefix, context)
    for key, user, count in (("tls_small", "small", sizes["small"]),
                             ("tls_big", "big", sizes["big"])):
        probe = CaseProbe(bench.tls_pid)
        profiler.start(key, bench.tls_pid)
        rates = {name: [] for name, _, _, _ in bench.tls_paths()}
        octets = 0
        for _ in range(runs):
            for name, port, prefix, context in bench.tls_paths():
                elapsed, octets = bench.retr_once(name, port, prefix, user, probe, context,
                                                  tls_case=True)
                rates[name].append(octets / elapsed / 1e6)
        probe.finish()
        profiler.stop()
        results[key] = dict(rates={k: median(v) for k, v in rates.items()}, probe=probe,
                            count=count, octets=octets)
    return results


# --- Report -------------------------------------------------------------------

def verdict(ok):
    return "met" if ok else "MISSED"


def print_table(results, sizes, runs, rule_count, tls_versions):
    """tls_versions: {"direct": ..., "trawlbox": ...}, the protocol and
    cipher of each TLS path."""
    scan, small, big = results["scan"], results["retr_small"], results["retr_big"]
    few, full = results["xover_few"], results["xover_all"]
    tls_small, tls_big = results["tls_small"], results["tls_big"]
    print()
    print("Trawlbox side by side: median of %d run(s); %d-rule kill file; load average %s"
          % (runs, rule_count, " ".join(open("/proc/loadavg").read().split()[:3])))
    print()
    header = "%-40s %11s %11s %11s %9s %9s  %-22s %s" % (
        "case", "direct", "perdition", "Trawlbox", "TB/dir", "TB/perd", "target", "")
    print(header)
    print("-" * len(header))

    t = scan["times"]
    ratio = t["trawlbox"] / t["direct"]
    print("%-40s %10.3fs %10.3fs %10.3fs %8.2fx %8.2fx  %-22s %s" % (
        "1 login+scan, %d messages" % sizes["scan"], t["direct"], t["perdition"], t["trawlbox"],
        ratio, t["trawlbox"] / t["perdition"], "time <= %.1fx direct" % SCAN_MAX_RATIO,
        verdict(ratio <= SCAN_MAX_RATIO)))
    for label, case in (("2 RETR %d x %d KB" % (sizes["small"], sizes["small_size"] // 1024),
                         small),
                        ("2 RETR %d x %d MB" % (sizes["big"], sizes["big_size"] // MIB), big)):
        r = case["rates"]
        ratio = r["trawlbox"] / r["direct"]
        ok = ratio >= RETR_MIN_RATIO and r["trawlbox"] > r["perdition"]
        print("%-40s %7.1fMB/s %7.1fMB/s %7.1fMB/s %8.2fx %8.2fx  %-22s %s" % (
            label, r["direct"], r["perdition"], r["trawlbox"], ratio,
            r["trawlbox"] / r["perdition"],
            ">= %.1fx dir, > perd" % RETR_MIN_RATIO, verdict(ok)))
    for label, case, target in (("3 XOVER %d lines" % few["lines"], few, False),
                                ("3 XOVER %d lines" % full["lines"], full, True)):
        t = case["times"]
        ratio = t["direct"] / t["trawlbox"]
        print("%-40s %10.3fs %11s %10.3fs %8.2fx %9s  %-22s %s" % (
            label, t["direct"], "-", t["trawlbox"], ratio, "-",
            ("rate >= %.1fx direct" % XOVER_MIN_RATIO) if target else "(for memory)",
            verdict(ratio >= XOVER_MIN_RATIO) if target else ""))
    for label, case in (("4 RETR over TLS %d x %d KB" % (sizes["small"],
                                                        sizes["small_size"] // 1024), tls_small),
                        ("4 RETR over TLS %d x %d MB" % (sizes["big"], sizes["big_size"] // MIB),
                         tls_big)):
        r = case["rates"]
        ratio = r["trawlbox"] / r["direct"]
        print("%-40s %7.1fMB/s %11s %7.1fMB/s %8.2fx %9s  %-22s %s" % (
            label, r["direct"], "-", r["trawlbox"], ratio, "-",
            ">= %.1fx direct TLS" % TLS_RETR_MIN_RATIO, verdict(ratio >= TLS_RETR_MIN_RATIO)))
    print()
    killed = scan["killed"]
    hidden = sizes["scan"] - killed - scan["shown"] + (1 if killed else 0)  # the kill report
    print("  scan: Trawlbox killed %d and hid %d of %d messages (the killed ones are put back "
          "after each run)" % (killed, hidden, sizes["scan"]))
    for case in (few, full):
        d_lines, d_bytes = case["counts"]["direct"]
        t_lines, t_bytes = case["counts"]["trawlbox"]
        print("  XOVER %d: direct %d lines (%.1f MB), Trawlbox passed %d (withheld %d); "
              "%.0f lines/s direct, %.0f through Trawlbox" % (
                  case["lines"], d_lines, d_bytes / 1e6, t_lines, d_lines - t_lines,
                  d_lines / case["times"]["direct"], d_lines / case["times"]["trawlbox"]))
    print("  RETR: %.1f MB and %.1f MB per run" % (small["octets"] / 1e6, big["octets"] / 1e6))
    print("  TLS: direct client %s; Trawlbox to the server %s; verified against the private CA"
          % (tls_versions.get("direct") or "?", tls_versions.get("trawlbox") or "?"))

    print()
    header = "%-28s %12s %12s %12s %15s %15s %15s" % (
        "memory (KiB), CPU", "TB before", "TB peak", "TB after", "perdition peak",
        "TB CPU/run", "client CPU/run")
    print(header)
    print("-" * len(header))
    rows = (("1 login+scan", scan), ("2 RETR small", small), ("2 RETR big", big),
            ("3 XOVER few", few), ("3 XOVER all", full),
            ("4 TLS RETR small (TLS TB)", tls_small), ("4 TLS RETR big (TLS TB)", tls_big))
    for label, case in rows:
        m = case["probe"]
        print("%-28s %12d %12s %12d %15s %13.0fms %15s" % (
            label, m.before, "n/a" if m.peak is None else "%d" % m.peak, m.after,
            "%d" % m.perdition_peak if m.perdition_peak else "-", median(m.cpu) * 1000,
            "%.0fms" % (median(m.client_cpu) * 1000) if m.client_cpu else "-"))
    print()
    message_growth = "message size x%d" % (sizes["big_size"] // sizes["small_size"])
    for label, low, high, payload in (
            ("peak RSS, 5 MB vs 20 KB messages", small, big, message_growth),
            ("peak RSS over TLS, 5 MB vs 20 KB messages", tls_small, tls_big, message_growth),
            ("peak RSS, %d vs %d overview lines" % (sizes["few_lines"], sizes["articles"]),
             few, full, "list size x%d" % (sizes["articles"] // sizes["few_lines"]))):
        if low["probe"].peak is None or high["probe"].peak is None:
            print("  %-44s n/a (peak could not be reset)" % label)
            continue
        growth = high["probe"].peak - low["probe"].peak
        print("  %-44s %+7d KiB for %-20s target < %d KiB growth: %s" % (
            label, growth, payload, MEMORY_GROWTH_LIMIT_KIB,
            verdict(growth < MEMORY_GROWTH_LIMIT_KIB)))


# --- Main ---------------------------------------------------------------------

def number_list(text, limit):
    """"1000,10000" -> (1000, 10000); each from 1 to limit."""
    values = tuple(int(word) for word in text.split(",") if word.strip())
    if not values or any(value < 1 or value > limit for value in values):
        raise argparse.ArgumentTypeError("numbers from 1 to %d, separated by commas" % limit)
    return values


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="smoke run: each case once, smaller sizes")
    parser.add_argument("--runs", type=int,
                        help="runs per case (median); default 5 (link cases 1), quick 1")
    parser.add_argument("--binary", help="use this trawlbox binary instead of building one")
    parser.add_argument("--keep", action="store_true",
                        help="keep the temporary directory (logs) after the run")
    parser.add_argument("--rules", type=int, default=RULE_COUNT,
                        help="rules in the kill file (default %d; 0 measures the relay alone)"
                        % RULE_COUNT)
    parser.add_argument("--perf", metavar="DIR",
                        help="sample Trawlbox with perf during each case; data files go to DIR")
    which = parser.add_mutually_exclusive_group()
    which.add_argument("--link", action="store_true",
                       help="run only the logins over a simulated link (case 6)")
    which.add_argument("--all", action="store_true", help="run the link cases after the others")
    parser.add_argument("--link-messages", type=lambda text: number_list(text, MAX_LINK_MESSAGES),
                        help="mailbox sizes of the link cases (default 1000,10000; quick 1000)")
    parser.add_argument("--link-rtt", type=lambda text: number_list(text, MAX_LINK_RTT_MS),
                        help="round trips of the link cases in ms (default 20,50; quick 20)")
    parser.add_argument("--link-rate", type=float, metavar="MBIT",
                        help="cap each direction of the link at this rate")
    args = parser.parse_args(argv)
    if args.perf and shutil.which("perf") is None:
        print("--perf needs the perf command (Debian package linux-perf)", file=sys.stderr)
        return 2
    if os.geteuid() != 0:
        print("run as root: the mail and news servers run under their own users",
              file=sys.stderr)
        return 2
    sizes = dict(QUICK if args.quick else FULL)
    runs = max(1, min(args.runs or sizes["runs"], 50))
    link = dict(LINK_QUICK if args.quick else LINK_FULL)
    link["messages"] = args.link_messages or link["messages"]
    link["rtts"] = args.link_rtt or link["rtts"]
    link["runs"] = max(1, min(args.runs or link["runs"], 50))
    run_loopback = not args.link
    run_link = args.link or args.all

    binary = os.path.abspath(args.binary) if args.binary else build_binary()
    if binary is None:
        print("the build failed", file=sys.stderr)
        return 1
    trawlbox_runner.BINARY = binary

    root = tempfile.mkdtemp(prefix="trawlbox-bench-")
    os.chmod(root, 0o755)  # the servers' own users must reach their directories
    dovecot = perdition = trawlbox = tls_trawlbox = relay = link_trawlbox = None
    news_dir = os.path.join(root, "news")
    news_started = False
    try:
        print("setting up in %s ..." % root, flush=True)
        certificates = tls_ca.make(os.path.join(root, "tls"))
        dovecot = Dovecot(os.path.join(root, "dovecot"),
                          tls={"cert": certificates["server_cert"],
                               "key": certificates["server_key"]})
        if run_loopback:
            backup = fill_mailboxes(dovecot, sizes)
        if run_link:
            link_backups = side_link.fill_mailboxes(dovecot, PASSWORD, link["messages"])
        ports = dovecot.start()
        pop3_port = ports["pop3"]
        kill_file, rule_count = side_data.kill_file(max(0, min(args.rules, MAX_RULES)))

        if run_loopback:
            perdition = Perdition(os.path.join(root, "perdition"), pop3_port)
            perdition.start()

            news_started = True
            news_port = inn.start(news_dir, groups=[NEWS_GROUP])["innd"]
            articles = side_data.NewsArticles()
            loaded = inn.bulk(news_dir, NEWS_GROUP, sizes["articles"], subject=articles.subject,
                              from_=articles.sender, headers=articles.headers,
                              body="Text of article {n}.\nSecond line.\n")
            print("news server holds %d articles" % loaded, flush=True)

            os.makedirs(os.path.join(root, "trawlbox"))
            trawlbox = trawlbox_runner.Trawlbox(
                config={"Pop3PortOutgoing": pop3_port, "NntpPortOutgoing": news_port,
                        "LogDebug": "N", "LogFilter": "J", "LogSession": "J"},
                killfile=kill_file, directory=os.path.join(root, "trawlbox"))
            trawlbox.start()
            # The same again, but the leg to the mail server is implicit TLS.
            os.makedirs(os.path.join(root, "trawlbox-tls"))
            tls_trawlbox = trawlbox_runner.Trawlbox(
                config={"Pop3PortOutgoing": ports["pop3s"], "NntpPortOutgoing": news_port,
                        "Pop3Tls": "implicit", "TlsVerify": "J", "TlsCaFile": certificates["ca"],
                        "LogDebug": "N", "LogFilter": "J", "LogSession": "J"},
                killfile=kill_file, directory=os.path.join(root, "trawlbox-tls"))
            tls_trawlbox.start()

            bench = Bench(sizes, dovecot, backup, perdition, trawlbox, news_port, tls_trawlbox,
                          certificates["ca"])
            profiler = Profiler(args.perf and os.path.abspath(args.perf), trawlbox.process.pid)
            try:
                results = run_cases(bench, runs, profiler)
            finally:
                profiler.stop()
            bench.tls_versions["trawlbox"] = tls_established(tls_trawlbox.log())
            print_table(results, sizes, runs, rule_count, bench.tls_versions)
            profiler.print_summaries()

        if run_link:
            rate = args.link_rate * 1e6 / 8 if args.link_rate else None
            relay = LinkRelay(pop3_port, link["rtts"][0] / 2000.0, rate).start()
            # Its own Trawlbox: the leg to the server goes over the link.
            os.makedirs(os.path.join(root, "trawlbox-link"))
            link_trawlbox = trawlbox_runner.Trawlbox(
                config={"Pop3PortOutgoing": relay.port, "LogDebug": "N", "LogFilter": "J",
                        "LogSession": "J"},
                killfile=kill_file, directory=os.path.join(root, "trawlbox-link"))
            link_trawlbox.start()
            link_bench = side_link.LinkBench(
                dovecot, PASSWORD, link_backups, link_trawlbox, relay,
                lambda user, backup: restore_scan_mailbox(dovecot, backup, user),
                thread_count(link_trawlbox.process.pid), thread_count)
            link_results = []
            for messages in link["messages"]:
                for rtt in link["rtts"]:
                    print("link case: %d messages, %d ms round trip ..." % (messages, rtt),
                          flush=True)
                    link_results.append((messages, rtt,
                                         link_bench.run_case(messages, rtt, link["runs"])))
            side_link.print_table(link_results, link["runs"], args.link_rate)
        return 0
    except (side_clients.ProtocolError, OSError, RuntimeError) as error:
        print("benchmark failed: %s" % error, file=sys.stderr)
        for name, instance in (("Trawlbox", trawlbox), ("TLS Trawlbox", tls_trawlbox),
                               ("link Trawlbox", link_trawlbox)):
            if instance is not None:
                print("end of the %s log:\n%s" % (name, instance.log()[-3000:]), file=sys.stderr)
        return 1
    finally:
        # A second Ctrl-C or SIGTERM must not cut the clean-up short and
        # leave servers running.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        steps = [("Trawlbox", trawlbox and trawlbox.stop),
                 ("TLS Trawlbox", tls_trawlbox and tls_trawlbox.stop),
                 ("link Trawlbox", link_trawlbox and link_trawlbox.stop),
                 ("link relay", relay and relay.stop),
                 ("perdition", perdition and perdition.stop),
                 ("news server", news_started and (lambda: inn.stop(news_dir))),
                 ("Dovecot", dovecot and dovecot.stop)]
        for name, stop in steps:
            if not stop:
                continue
            try:
                stop()
            except Exception as error:  # every other server must still be stopped
                print("stopping %s: %s" % (name, error), file=sys.stderr)
        if args.keep:
            print("kept %s" % root)
        else:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    sys.exit(main())
