"""Runs the real trawlbox binary in a private directory for tests.

The program reads its configuration from beside its executable, so each run
gets a copy of the binary in a fresh temporary directory together with its
own TRAWLBOX.CFG, ACCESS.IP, kill file and log.
"""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

BINARY = os.environ.get("TRAWLBOX_BINARY", "")
START_WAIT_S = 20  # bounded wait for the listeners to come up


def free_port():
    """Returns a loopback TCP port that was free a moment ago."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def free_ports(count):
    """Returns `count` different loopback TCP ports that were free a moment
    ago: held open together, so that none is handed out twice."""
    sockets = [socket.socket() for _ in range(count)]
    try:
        for s in sockets:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


def wait_for_port(port, timeout=START_WAIT_S):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            time.sleep(0.05)
    return False


class Trawlbox:
    """One private instance. Use as a context manager, or call start/stop."""

    def __init__(self, config=None, killfile=None, access="127.0.0.1\r\n",
                 rbl=None, directory=None, stdin=subprocess.DEVNULL):
        if not BINARY:
            raise RuntimeError("TRAWLBOX_BINARY is not set")
        self.own_dir = directory is None
        self.dir = directory or tempfile.mkdtemp(prefix="trawlbox-run-")
        # Every instance serves its web page on a port of its own, so that
        # instances running at once do not contend for the default one.
        self.pop3_port, self.nntp_port, self.web_port = free_ports(3)
        self.stdin = stdin
        self.process = None
        self.binary = os.path.join(self.dir, "trawlbox")
        if not os.path.exists(self.binary):
            shutil.copy2(BINARY, self.binary)
        settings = {
            "Pop3PortIncoming": self.pop3_port,
            "NntpPortIncoming": self.nntp_port,
            "LogDebug": "J",
            "KILLFILE": os.path.join(self.dir, "KILLFILE.CFG"),
        }
        if config:
            settings.update(config)
        # Last, so that the lines a test's keys land on stay where it expects them.
        settings.setdefault("WebPort", self.web_port)
        if config is not False:
            self.write("TRAWLBOX.CFG", "".join(
                "%s=%s\r\n" % (k, v) for k, v in settings.items()).encode("latin-1"))
        if access is not None:
            self.write("ACCESS.IP", access.encode("latin-1"))
        if killfile is not None:
            self.write("KILLFILE.CFG", killfile if isinstance(killfile, bytes)
                       else killfile.encode("latin-1"))
        if rbl is not None:
            self.write("TRAWLBOX.RBL", rbl.encode("latin-1"))

    def write(self, name, data):
        with open(os.path.join(self.dir, name), "wb") as f:
            f.write(data)

    def path(self, name):
        return os.path.join(self.dir, name)

    def log(self):
        try:
            # Strict: every test that reads the log also finds it valid UTF-8.
            with open(self.path("TRAWLBOX.LOG"), "rb") as f:
                return f.read().decode("utf-8")
        except FileNotFoundError:
            return ""

    def start(self, wait=True):
        self.stdout = open(self.path("stdout.txt"), "wb")
        self.process = subprocess.Popen([self.binary], cwd=self.dir, stdin=self.stdin,
                                        stdout=self.stdout, stderr=subprocess.STDOUT)
        if wait and not wait_for_port(self.pop3_port):
            self.stop()
            raise RuntimeError("trawlbox did not listen; log:\n" + self.log())
        return self

    def stop(self, sig=signal.SIGTERM, timeout=10):
        """Stops the instance by its PID; returns its exit code."""
        if self.process is None:
            return None
        if self.process.poll() is None:
            self.process.send_signal(sig)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.stdout.close()
        return self.process.returncode

    def cleanup(self):
        self.stop()
        if self.own_dir:
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.cleanup()


def read_line(sock_file):
    line = sock_file.readline()
    return line.decode("latin-1").rstrip("\r\n")
