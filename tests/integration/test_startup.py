"""Start-up, log banner and every way of stopping the real program."""
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from trawlbox_runner import Trawlbox, wait_for_port

DEFAULT_GUARDS = ("logins reach any server (AllowedServers) on ports 110, 995 for mail, 119, "
                  "563 for news (AllowedPorts); an account is held after 5 failed logins within "
                  "600 seconds (LoginFailureLimit, LoginFailureWindow)")
TITLE = "Trawlbox v0.25 transparent, internal Design & Test (Console Debug)"


def wait_until(predicate, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return False


class StartupTest(unittest.TestCase):
    def test_banner_title_and_sigterm(self):
        with Trawlbox() as t:
            self.assertTrue(wait_until(lambda: "Nntp-Listen at Port" in t.log()))
            log = t.log()
            self.assertRegex(log, r"^----------  \w\w\w \d\d \w\w\w \d\d, Trawlbox v0\.25")
            self.assertIn("Debug-Mode activated", log)
            self.assertIn(": Pop3-Listen at Port %d\n" % t.pop3_port, log)
            self.assertIn(": Nntp-Listen at Port %d\n" % t.nntp_port, log)
            with socket.create_connection(("127.0.0.1", t.pop3_port), timeout=5) as s:
                greeting = s.makefile("rb").readline().decode("latin-1")
            self.assertRegex(greeting, r"^\+OK POP3-Trawlbox v0\.25 Server #\d+ ready,")
            began = time.monotonic()
            self.assertEqual(t.stop(signal.SIGTERM), 0)
            self.assertLess(time.monotonic() - began, 5)
            with open(t.path("stdout.txt"), "rb") as f:
                self.assertEqual(f.readline().decode().rstrip("\n"), TITLE)

    def test_started_it_shows_its_ports_rules_and_keys(self):
        killfile = b"--- ALLE\r\n\"*pills*\" \xEAs \xAFDELE\r\n\"*prize*\" \xEAs \xAFSKIP\r\n"
        with Trawlbox(killfile=killfile) as t:
            self.assertTrue(wait_until(lambda: "Keys:" in output(t)), output(t))
            self.assertIn("POP3 port %d, NNTP port %d, 2 rules loaded. Keys: Enter sessions, "
                          "k close all, r reload, ESC stop\n" % (t.pop3_port, t.nntp_port),
                          output(t))

    def test_second_copy_on_the_same_ports_says_so_and_fails(self):
        with Trawlbox() as first:
            second = Trawlbox(config={"Pop3PortIncoming": first.pop3_port,
                                      "NntpPortIncoming": first.nntp_port})
            try:
                second.start(wait=False)
                self.assertEqual(second.process.wait(10), 1)
                self.assertIn("trawlbox: POP3 port %d is in use by another program; not started\n"
                              % first.pop3_port, output(second))
                self.assertIn("Another program is using Port %d" % first.pop3_port,
                              second.log())
            finally:
                second.cleanup()
            # The first copy still serves.
            self.assertTrue(wait_for_port(first.pop3_port, 2))

    def test_log_held_by_a_running_copy_stops_the_other(self):
        with Trawlbox() as first:
            self.assertTrue(wait_until(lambda: "Nntp-Listen" in first.log()))
            other = Trawlbox(directory=first.dir)  # same directory, so the same log
            other.start(wait=False)  # its ports are free, but the first copy holds the log
            self.assertEqual(other.process.wait(10), 1)
            self.assertIn("trawlbox: cannot write the log file %s: held by another running "
                          "copy; not started\n" % first.path("TRAWLBOX.LOG"), output(other))
            self.assertEqual(first.log().count("----------  "), 1)


def output(t):
    """What the instance wrote to standard output and standard error."""
    with open(t.path("stdout.txt"), "rb") as f:
        return f.read().decode("latin-1")


def run_binary(arguments, cwd):
    """Runs the built program with `arguments`; returns (status, output)."""
    done = subprocess.run([os.environ["TRAWLBOX_BINARY"]] + arguments, cwd=cwd,
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
    # Strict: what the program prints for people is UTF-8.
    return done.returncode, done.stdout.decode("utf-8"), done.stderr.decode("utf-8")


class StartupFailureTest(unittest.TestCase):
    """Each reason not to start: said on standard error, exit status 1."""

    def failed_start(self, **options):
        t = Trawlbox(**options)
        self.addCleanup(t.cleanup)
        t.start(wait=False)
        try:
            status = t.process.wait(10)
        except subprocess.TimeoutExpired:
            self.fail("still runs; output:\n" + output(t))
        return t, status

    def test_missing_configuration(self):
        t, status = self.failed_start(config=False)
        self.assertEqual(status, 1)
        self.assertIn("trawlbox: configuration file %s not found (-d DIR names the directory "
                      "that holds it); not started\n" % t.path("TRAWLBOX.CFG"), output(t))
        self.assertFalse(os.path.exists(t.path("TRAWLBOX.LOG")))

    def test_unknown_tls_mode(self):
        t, status = self.failed_start(config={"Pop3Tls": "yes"})
        self.assertEqual(status, 1)
        said = output(t)
        self.assertIn("TRAWLBOX.CFG:5: unknown TLS mode \"yes\" for Pop3Tls", said)
        self.assertIn("trawlbox: Pop3Tls names no TLS mode; not started\n", said)
        self.assertIn("Pop3Tls names no TLS mode; not started", t.log())

    def test_unwritable_log_directory(self):
        t, status = self.failed_start(config={"LOGDIR": "/nonexistent-trawlbox-logs/"})
        self.assertEqual(status, 1)
        self.assertIn("trawlbox: cannot write the log file /nonexistent-trawlbox-logs/"
                      "TRAWLBOX.LOG: No such file or directory; not started\n", output(t))


class StartupWarningTest(unittest.TestCase):
    def test_access_list_that_admits_nobody_is_said_and_logged(self):
        with Trawlbox(access="# nobody yet\r\n") as t:
            self.assertTrue(wait_until(lambda: "admits no address" in t.log()))
            self.assertIn("trawlbox: %s: warning: admits no address; every client is refused\n"
                          % t.path("ACCESS.IP"), output(t))


class CommandTest(unittest.TestCase):
    """The commands of the executable, run as a new user would."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="trawlbox-commands-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.elsewhere = tempfile.mkdtemp(prefix="trawlbox-cwd-")
        self.addCleanup(shutil.rmtree, self.elsewhere, True)

    def write(self, name, data):
        with open(os.path.join(self.dir, name), "wb") as f:
            f.write(data)

    def test_wrong_command_lines_print_the_usage_and_exit_2(self):
        for arguments in (["--bogus"], ["chekc"], ["-d"], ["check", "extra"], ["test"]):
            status, out, err = run_binary(arguments, self.elsewhere)
            self.assertEqual(status, 2, arguments)
            self.assertEqual(out, "", arguments)
            self.assertIn("Usage: trawlbox [-d DIR] [COMMAND]", err, arguments)

    def test_help_and_version_end_without_serving(self):
        status, out, _ = run_binary(["--help"], self.elsewhere)
        self.assertEqual(status, 0)
        self.assertRegex(out, r"(^|\s)-d DIR\b")
        status, out, _ = run_binary(["--version"], self.elsewhere)
        self.assertEqual(status, 0)
        self.assertRegex(out, r"^Trawlbox v0\.25\nOpenSSL \d.*\nPCRE2 \d")

    def test_check_reads_the_directory_named_by_d_from_anywhere(self):
        self.write("TRAWLBOX.CFG", b"Pop3PortOutgoin=110\r\nKILLFILE=K.CFG\r\n")
        self.write("K.CFG", b"--- ALLE\r\n\"*x*\" \xEAs \xAFDELEE\r\n")
        self.write("ACCESS.IP", b"127.0.0.1\r\n")
        directory = self.dir + "/"
        status, out, _ = run_binary(["-d", self.dir, "check"], self.elsewhere)
        self.assertEqual(status, 1)
        self.assertEqual(out.splitlines(), [
            directory + "TRAWLBOX.CFG:1: unknown key \"Pop3PortOutgoin\" (did you mean "
            "\"Pop3PortOutgoing\"?)",
            directory + "K.CFG:2: unknown action word \"DELEE\" (known: DELE, SKIP, RETR, HEAD)",
            DEFAULT_GUARDS,
            "2 errors, 0 warnings; 1 sections, 1 rules, 1 access entries, 0 relay entries"])
        self.write("TRAWLBOX.CFG", b"KILLFILE=K.CFG\r\n")
        self.write("K.CFG", b"--- ALLE\r\n\"*x*\" \xEAs \xAFDELE\r\n")
        status, out, _ = run_binary(["check", "-d", self.dir], self.elsewhere)
        self.assertEqual((status, out), (0, DEFAULT_GUARDS + "\n0 errors, 0 warnings; 1 sections, "
                                            "1 rules, 1 access entries, 0 relay entries\n"))
        self.assertEqual(sorted(os.listdir(self.dir)), ["ACCESS.IP", "K.CFG", "TRAWLBOX.CFG"],
                         "a check writes nothing")

    def test_check_in_utf8_with_what_to_write_for_a_bad_allowed_port(self):
        """A new user's files typed in a UTF-8 editor and a port given by its
        name: the check names each line in UTF-8 and says what to write."""
        self.write("TRAWLBOX.CFG", b"KILLFILE=K.CFG\r\nAllowedPorts=110, pop3s\r\n")
        self.write("K.CFG", "--- ALLE\r\n\"*Grüße*\" Ωs »LÖSCHEN\r\n".encode())
        self.write("ACCESS.IP", "127.0.0.1 Büro\r\n10.0.0.1 ☃\r\n".encode())
        directory = self.dir + "/"
        status, out, _ = run_binary(["-d", self.dir, "check"], self.elsewhere)
        self.assertEqual(status, 1)
        self.assertEqual(out.splitlines(), [
            directory + "TRAWLBOX.CFG:2: entry \"pop3s\" of AllowedPorts is not a port number; "
            "write port numbers separated by commas (as AllowedPorts=110,995), or nothing for "
            "each protocol's standard ports",
            directory + "K.CFG:2: unknown action word \"LÖSCHEN\" (known: DELE, SKIP, RETR, HEAD)",
            directory + "ACCESS.IP:2: U+2603 has no character in the filter's code page 437; the "
            "line is read with \"?\" in its place",
            "logins reach any server (AllowedServers) on ports 110 for mail, 110 for news "
            "(AllowedPorts); an account is held after 5 failed logins within 600 seconds "
            "(LoginFailureLimit, LoginFailureWindow)",
            "3 errors, 0 warnings; 1 sections, 1 rules, 2 access entries, 0 relay entries"])

    def test_test_names_the_rule_and_the_verdict(self):
        self.write("TRAWLBOX.CFG", b"KILLFILE=K.CFG\r\n")
        self.write("K.CFG", b"--- ALLE\r\n\"*pills*\" \xEAs \xAFDELE\r\n")
        message = os.path.join(self.elsewhere, "m.eml")
        with open(message, "wb") as f:
            f.write(b"From: a@example.org\nSubject: cheap pills\n\nbody\n")
        status, out, _ = run_binary(["test", "m.eml", "-d", self.dir, "--envelope",
                                     "me@example.org"], self.elsewhere)
        self.assertEqual(status, 0)
        lines = out.splitlines()
        self.assertEqual(lines[-2], self.dir + "/K.CFG:2: \"*pills*\" Ωs »DELE -> DELE")
        self.assertEqual(lines[-1], "verdict: DELE")


class ReloadTest(unittest.TestCase):
    def test_sighup_reloads_and_refuses_a_broken_kill_file(self):
        good = b"--- ALLE\r\n\"*pills*\" \xEAs \xAFDELE\r\n"
        with Trawlbox(killfile=good) as t:
            self.assertTrue(wait_until(lambda: "Keys:" in output(t)))
            t.write("KILLFILE.CFG", good + b"\"*prize*\" \xEAs \xAFKILL\r\n")
            t.process.send_signal(signal.SIGHUP)
            self.assertTrue(wait_until(lambda: "Reload refused" in t.log()), t.log())
            self.assertIn("KILLFILE.CFG:3: unknown action word \"KILL\"", t.log())
            t.write("KILLFILE.CFG", good + b"\"*prize*\" \xEAs \xAFSKIP\r\n")
            t.process.send_signal(signal.SIGHUP)
            self.assertTrue(wait_until(lambda: "Reloaded: 1 sections, 2 rules" in t.log()),
                            t.log())
            self.assertIsNone(t.process.poll(), "SIGHUP ended the program")
            self.assertTrue(wait_for_port(t.pop3_port, 2))
            self.assertEqual(t.stop(signal.SIGTERM), 0)


@unittest.skipUnless(shutil.which("tmux"), "tmux is not installed")
class TerminalTest(unittest.TestCase):
    """The console keys on a real terminal, under tmux."""

    def setUp(self):
        self.t = Trawlbox()
        self.session = "trawlbox-test-%d" % os.getpid()
        self.pid_file = os.path.join(self.t.dir, "pid")
        script = os.path.join(self.t.dir, "run.sh")
        with open(script, "w") as f:
            # The program runs in the foreground of the pane, so keys reach it;
            # the script itself ignores Ctrl-C and records the terminal modes after.
            f.write("#!/bin/sh\ntrap '' INT\ncd '%s'\n"
                    "sh -c 'echo $$ > pid; exec ./trawlbox'\n"
                    "stty -a > stty.tmp; mv stty.tmp stty.txt\nsleep 30\n" % self.t.dir)
        os.chmod(script, 0o755)
        subprocess.run(["tmux", "new-session", "-d", "-s", self.session, "-x", "120",
                        "-y", "30", script], check=True)
        self.assertTrue(wait_for_port(self.t.pop3_port))

    def tearDown(self):
        subprocess.run(["tmux", "kill-session", "-t", self.session], capture_output=True)
        self.t.cleanup()

    def keys(self, *keys):
        subprocess.run(["tmux", "send-keys", "-t", self.session] + list(keys), check=True)

    def screen(self):
        return subprocess.run(["tmux", "capture-pane", "-p", "-t", self.session],
                              capture_output=True, text=True).stdout

    def test_enter_lists_sessions_arrows_do_nothing_escape_stops(self):
        client = socket.create_connection(("127.0.0.1", self.t.pop3_port), timeout=5)
        client.makefile("rb").readline()
        time.sleep(0.2)
        self.keys("Enter")
        self.assertTrue(wait_until(
            lambda: re.search(r"\d\d:\d\d:\d\d:  127\.0\.0\.1:%d ID \d+ S \d+ T -?\d+"
                              % self.t.pop3_port, self.screen()), 5), self.screen())
        self.keys("Up", "F5")
        time.sleep(2.5)
        with open(self.pid_file) as f:
            pid = int(f.read())
        os.kill(pid, 0)  # still running after the special keys
        self.keys("Escape")
        self.assertTrue(wait_until(lambda: os.path.exists(os.path.join(self.t.dir, "stty.txt")),
                                   5))
        with open(os.path.join(self.t.dir, "stty.txt")) as f:
            modes = f.read()
        self.assertRegex(modes, r"(^|\s)icanon(\s|$)")
        self.assertRegex(modes, r"(^|\s)echo(\s|$)")
        self.assertIn("killed by User", self.t.log())
        client.close()

    def test_ctrl_c_stops_and_restores_the_terminal(self):
        self.keys("C-c")
        self.assertTrue(wait_until(lambda: os.path.exists(os.path.join(self.t.dir, "stty.txt")),
                                   5))
        with open(os.path.join(self.t.dir, "stty.txt")) as f:
            self.assertRegex(f.read(), r"(^|\s)icanon(\s|$)")


if __name__ == "__main__":
    unittest.main()
