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
            self.assertIn(": Pop3-Listen at Port %d\r\n" % t.pop3_port, log)
            self.assertIn(": Nntp-Listen at Port %d\r\n" % t.nntp_port, log)
            with socket.create_connection(("127.0.0.1", t.pop3_port), timeout=5) as s:
                greeting = s.makefile("rb").readline().decode("latin-1")
            self.assertRegex(greeting, r"^\+OK POP3-Trawlbox v0\.25 Server #\d+ ready,")
            began = time.monotonic()
            self.assertEqual(t.stop(signal.SIGTERM), 0)
            self.assertLess(time.monotonic() - began, 5)
            with open(t.path("stdout.txt"), "rb") as f:
                self.assertEqual(f.readline().decode().rstrip("\n"), TITLE)

    def test_missing_configuration_writes_no_log_and_stops_on_sigint(self):
        t = Trawlbox(config=False)
        try:
            t.start(wait=False)
            time.sleep(1.5)
            self.assertIsNone(t.process.poll(), "runs without a configuration file")
            self.assertEqual(t.stop(signal.SIGINT), 0)
            self.assertFalse(os.path.exists(t.path("TRAWLBOX.LOG")))
        finally:
            t.cleanup()

    def test_second_copy_on_the_same_ports_stops_by_itself(self):
        with Trawlbox() as first:
            second = Trawlbox(config={"Pop3PortIncoming": first.pop3_port,
                                      "NntpPortIncoming": first.nntp_port})
            try:
                second.start(wait=False)
                second.process.wait(10)
                self.assertIn("Another program is using Port %d" % first.pop3_port,
                              second.log())
            finally:
                second.cleanup()
            # The first copy still serves.
            self.assertTrue(wait_for_port(first.pop3_port, 2))

    def test_log_held_by_a_running_copy_is_not_written_by_another(self):
        with Trawlbox() as first:
            self.assertTrue(wait_until(lambda: "Nntp-Listen" in first.log()))
            other = Trawlbox(directory=first.dir)  # same directory, so the same log
            other.start()  # its ports are free, but the first copy holds the log
            self.assertEqual(other.stop(), 0)
            self.assertEqual(first.log().count("----------  "), 1)


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
