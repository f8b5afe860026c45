"""A private perdition (a plain POP3 proxy) on loopback, as the peer the
benchmark compares Trawlbox with.

Everything lives in one directory: the configuration file, a regular
expression map that sends every user to one POP3 server, the log and the
PID file. perdition runs in the foreground (--no_daemon: its own daemon mode
dies at start when it logs to a file) and forks one child per connection;
it is stopped by its PID only.
"""
import grp
import os
import pwd
import signal
import socket
import subprocess
import time

BINARY = "perdition"
MAP_LIBRARY_NAME = "libperditiondb_posix_regex.so.0"
MAP_LIBRARY_DIRS = ("/usr/lib/x86_64-linux-gnu", "/usr/lib/aarch64-linux-gnu", "/usr/lib")

RUN_AS_USER, RUN_AS_GROUP = "nobody", "nogroup"  # perdition's defaults
START_ATTEMPTS = 3     # a free port can be taken before perdition binds it
GREETING_POLLS = 200   # x POLL_SECONDS: time a starting proxy may take
STOP_POLLS = 100
POLL_SECONDS = 0.05


def find_binary():
    """Returns the path of the perdition binary, or None."""
    for directory in os.environ.get("PATH", "").split(os.pathsep) + ["/usr/sbin", "/sbin"]:
        candidate = os.path.join(directory, BINARY)
        if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    return None


def find_map_library():
    """Returns the path of the regular-expression map library, or None."""
    for directory in MAP_LIBRARY_DIRS:
        candidate = os.path.join(directory, MAP_LIBRARY_NAME)
        if os.path.exists(candidate):
            return candidate
    return None


def _free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _greets(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2) as probe:
            return probe.recv(512).startswith(b"+OK")
    except OSError:
        return False


class Perdition:
    """One private proxy that sends every POP3 user to 127.0.0.1:backend_port."""

    def __init__(self, directory, backend_port):
        self.directory = os.path.abspath(directory)
        self.backend_port = backend_port
        self.port = None
        self.process = None
        self.log_file = None

    def path(self, name):
        return os.path.join(self.directory, name)

    def _write_config(self, port, map_library):
        with open(self.path("popmap.re"), "w") as out:
            out.write(f"^.*$: 127.0.0.1:{self.backend_port}\n")
        with open(self.path("perdition.conf"), "w") as out:
            out.write(f"protocol POP3\n"
                      f"bind_address 127.0.0.1\n"
                      f"listen_port {port}\n"
                      f"map_library {map_library}\n"
                      f"map_library_opt {self.path('popmap.re')}\n"
                      f"no_lookup\n"
                      f"ssl_mode none\n"
                      f"log_facility {self.path('perdition.log')}\n"
                      f"pid_file {self.path('perdition.pid')}\n")

    def start(self):
        """Starts the proxy and returns its port; raises RuntimeError with the
        end of its log when it does not greet."""
        binary, map_library = find_binary(), find_map_library()
        if binary is None or map_library is None:
            raise RuntimeError("perdition or its regex map library is not installed")
        os.makedirs(self.directory, exist_ok=True)
        if os.geteuid() == 0:
            # perdition drops to this user after start; it must still be able
            # to write its log and remove its PID file.
            open(self.path("perdition.log"), "a").close()
            for name in ("", "perdition.log"):
                os.chown(self.path(name), pwd.getpwnam(RUN_AS_USER).pw_uid,
                         grp.getgrnam(RUN_AS_GROUP).gr_gid)
        for _ in range(START_ATTEMPTS):
            port = _free_port()
            self._write_config(port, map_library)
            self.log_file = open(self.path("perdition.out"), "ab")
            self.process = subprocess.Popen(
                [binary, "--no_daemon", "-f", self.path("perdition.conf")],
                stdin=subprocess.DEVNULL, stdout=self.log_file, stderr=subprocess.STDOUT)
            for _ in range(GREETING_POLLS):
                if self.process.poll() is not None:
                    break
                if _greets(port):
                    self.port = port
                    return port
                time.sleep(POLL_SECONDS)
            self.stop()
        raise RuntimeError("perdition did not start:\n" + self.log_tail())

    def log_tail(self):
        text = ""
        for name in ("perdition.out", "perdition.log"):
            try:
                with open(self.path(name), "r", errors="replace") as log:
                    text += log.read()[-2000:]
            except OSError:
                pass
        return text

    def children(self):
        """PIDs of the connection handlers the proxy has forked and not reaped."""
        if self.process is None:
            return []
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except (OSError, IndexError):
                continue
            if int(fields[1]) == self.process.pid and fields[0] != "Z":
                found.append(int(entry))
        return found

    def stop(self):
        """Stops the proxy and its connection handlers by their PIDs."""
        if self.process is not None:
            for child in self.children():
                try:
                    os.kill(child, signal.SIGTERM)
                except ProcessLookupError:
                    pass
            if self.process.poll() is None:
                self.process.send_signal(signal.SIGTERM)
                for _ in range(STOP_POLLS):
                    if self.process.poll() is not None:
                        break
                    time.sleep(POLL_SECONDS)
                if self.process.poll() is None:
                    self.process.kill()
                    self.process.wait()
            self.process = None
        if self.log_file is not None:
            self.log_file.close()
            self.log_file = None
