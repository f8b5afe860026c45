"""The Debian package on the real system, and its manual pages.

The package test builds the package from this build's executable with the
build's CPack configuration (or takes the one TRAWLBOX_PACKAGE names),
installs it with dpkg, checks what it put where and who owns it, verifies
the unit, runs the packaged layout as the service's user without a terminal
and logs in through it against a private Dovecot, installs it again over an
edited kill file, purges it and checks that nothing but the user is left.
It installs into the system, so it runs only as root, takes turns with
other runs on the machine through a lock, and purges the package whatever
happens. The manual pages are checked from the source, without root.

Parts wait for work on the program. While the installed program does not
read `-d DIR` (its `--help` does not say so), the packaged configuration is
run by a copy of the executable placed beside it, as the other integration
tests run the program, and `trawlbox check` is skipped. While it does not
link libsystemd, the readiness message the unit waits for is not looked for.
"""
import fcntl
import glob
import grp
import os
import poplib
import pwd
import re
import shutil
import signal
import socket
import stat
import subprocess
import tempfile
import time
import unittest

from fixtures.dovecot import Dovecot, find_binary
from trawlbox_runner import START_WAIT_S, free_ports, wait_for_port

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PAGES = [os.path.join(SOURCE, "packaging", "man", name) for name in ("trawlbox.8", "trawlbox.cfg.5")]

PACKAGE = "trawlbox"
USER = "trawlbox"
BINARY = "/usr/bin/trawlbox"
CONFIG_DIR = "/etc/trawlbox"
STATE_DIR = "/var/lib/trawlbox"
LOG_DIR = "/var/log/trawlbox"
CONFIG_FILES = ("TRAWLBOX.CFG", "KILLFILE.CFG", "ACCESS.IP", "TRAWLBOX.RBL")
# What the packaged TRAWLBOX.CFG sets differently from the sample.
PACKAGED_SETTINGS = {
    "Pop3PortIncoming": "110",
    "NntpPortIncoming": "119",
    "LOGDIR": LOG_DIR + "/",
    "DataDir": STATE_DIR,
}
ENABLED_LINK = "/etc/systemd/system/multi-user.target.wants/trawlbox.service"

# Where a package or its scripts could leave something behind.
SEARCHED_ROOTS = ("/etc", "/var", "/usr", "/opt", "/srv")
UNSEARCHED = ("/var/tmp", "/var/cache/apt")

LOCK_FILE = os.path.join(tempfile.gettempdir(), "trawlbox-package-test.lock")
LOCK_WAIT_S = 600       # another run on this machine holds the system's package
DPKG_LOCK_WAIT_S = 300  # another package manager holds dpkg's lock
COMMAND_LIMIT_S = 600   # one cpack or dpkg run
PROBE_WAIT_S = 3        # an older program does not answer --help but starts serving
CLIENT_TIMEOUT_S = 60
STOP_WAIT_S = 10
# systemd's rating of the unit's hardening, 0 (most) to 10 (none): what it
# keeps is its network access and binding the ports below 1024.
EXPOSURE_LIMIT = 2.0


def run(command, **kwargs):
    """Runs a command to its end; returns (exit status, its output and errors)."""
    done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=COMMAND_LIMIT_S, **kwargs)
    return done.returncode, done.stdout.decode("utf-8", "replace")


def dpkg(*arguments):
    """Runs dpkg, waiting while another package manager holds its lock."""
    environment = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    deadline = time.monotonic() + DPKG_LOCK_WAIT_S
    while True:
        code, output = run(["dpkg"] + list(arguments), env=environment)
        if code == 0 or "lock" not in output or time.monotonic() > deadline:
            return code, output
        time.sleep(2)


def package_status():
    """dpkg's state of the package ("installed", "config-files", ...), or ""."""
    code, output = run(["dpkg-query", "-W", "-f=${db:Status-Status}", PACKAGE])
    return output.strip() if code == 0 else ""


def paths_named_trawlbox():
    found = set()
    for root in SEARCHED_ROOTS:
        for directory, subdirectories, files in os.walk(root):
            if directory in UNSEARCHED:
                subdirectories[:] = []
                continue
            for name in subdirectories + files:
                if "trawlbox" in name.lower():
                    found.add(os.path.join(directory, name))
    return found


def config_keys(text):
    """{lower-case key: value} of a TRAWLBOX.CFG text; the first line of a key
    counts, as the program reads it."""
    keys = {}
    for line in text.splitlines():
        match = re.match(r"([A-Za-z0-9_]+)=(.*)$", line)
        if match:
            keys.setdefault(match.group(1).lower(), match.group(2))
    return keys


def read(path, mode="rb"):
    with open(path, mode) as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def warnings_of_page(page):
    """What groff and man say about a manual page while rendering it; ""
    when it renders cleanly on a UTF-8 and on an ASCII terminal."""
    said = []
    for device in ("utf8", "ascii"):
        done = subprocess.run(["groff", "-ww", "-z", "-man", "-T" + device, page],
                              capture_output=True, text=True, timeout=60)
        said.append(done.stderr)
    for language in ("C.UTF-8", "C"):
        environment = dict(os.environ, MANWIDTH="80", LANG=language, LC_ALL=language)
        done = subprocess.run(["man", "-l", "--warnings", page], capture_output=True,
                              text=True, env=environment, timeout=60)
        said.append(done.stderr if done.returncode == 0 else
                    "man exit status %d\n%s" % (done.returncode, done.stderr))
    return "".join(said)


def warnings_of_installed_page(path, work):
    """warnings_of_page for an installed, compressed page, unpacked into `work`."""
    page = os.path.join(work, os.path.basename(path)[:-len(".gz")])
    with open(page, "wb") as f:
        f.write(subprocess.run(["gzip", "-dc", path], capture_output=True, check=True,
                               timeout=60).stdout)
    return warnings_of_page(page)


@unittest.skipUnless(shutil.which("groff") and shutil.which("man"), "groff or man is missing")
class ManPageTest(unittest.TestCase):
    def test_pages_render_without_warnings(self):
        for page in PAGES:
            with self.subTest(page=os.path.basename(page)):
                self.assertEqual(warnings_of_page(page), "")

    def test_every_configuration_key_has_its_entry(self):
        table = read(os.path.join(SOURCE, "core", "settings.cpp"), "r")
        table = table[table.index("kSettingKeys{"):]
        table = table[:table.index("};")]
        keys = re.findall(r'\b(?:Number|Flag|Text|Path|Tls)\("(\w+)"', table)
        self.assertGreater(len(keys), 10, "the key table was not found")
        page = read(PAGES[1], "r")
        entries = set(re.findall(r"^\.TP\n\.B (\w+)$", page, re.MULTILINE))
        self.assertEqual([key for key in keys if key not in entries], [],
                         "keys without an entry under KEYS in trawlbox.cfg(5)")


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("installs a package into the system: run the tests as root")
        for tool in ("dpkg", "dpkg-deb", "adduser"):
            if not shutil.which(tool):
                raise unittest.SkipTest(tool + " is missing")
        cls.lock = open(LOCK_FILE, "w")
        cls.addClassCleanup(cls.lock.close)
        deadline = time.monotonic() + LOCK_WAIT_S
        while True:
            try:
                fcntl.flock(cls.lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() > deadline:
                    raise AssertionError("another package test held %s for %d s"
                                         % (LOCK_FILE, LOCK_WAIT_S))
                time.sleep(1)
        if package_status() or os.path.exists(CONFIG_DIR):
            raise unittest.SkipTest(
                "%s is installed (%s) or %s exists: this test would replace and purge "
                "them; remove them (dpkg --purge %s) to let it run"
                % (PACKAGE, package_status() or "by hand", CONFIG_DIR, PACKAGE))
        cls.before = paths_named_trawlbox()
        cls.work = tempfile.mkdtemp(prefix="trawlbox-package-")
        os.chmod(cls.work, 0o755)  # the service's user reads the copies made here
        cls.addClassCleanup(shutil.rmtree, cls.work, True)
        cls.package = cls.find_or_build_package()
        cls.addClassCleanup(cls.purge)
        cls.install()
        cls.directory_option = cls.accepts_directory_option()

    @classmethod
    def find_or_build_package(cls):
        given = os.environ.get("TRAWLBOX_PACKAGE", "")
        if given:
            if not os.path.isfile(given):
                raise AssertionError("TRAWLBOX_PACKAGE names no file: " + given)
            return given
        config = os.environ.get("TRAWLBOX_CPACK_CONFIG", "")
        if not os.path.isfile(config):
            raise AssertionError("TRAWLBOX_CPACK_CONFIG names no CPack configuration: " + config)
        output = os.path.join(cls.work, "package")
        code, said = run([os.environ.get("TRAWLBOX_CPACK", "cpack"), "--config", config,
                          "-G", "DEB", "-B", output], cwd=os.path.dirname(config))
        built = glob.glob(os.path.join(output, PACKAGE + "_*.deb"))
        if code != 0 or len(built) != 1:
            raise AssertionError("cpack made no package:\n" + said)
        return built[0]

    @classmethod
    def install(cls):
        code, said = dpkg("--force-confold", "-i", cls.package)
        if code != 0:
            raise AssertionError("dpkg -i failed:\n" + said)

    @classmethod
    def purge(cls):
        if package_status():
            dpkg("--purge", PACKAGE)

    @classmethod
    def accepts_directory_option(cls):
        """True when the installed program answers --help, and ends, with a
        usage naming -d. A program without the operator tools ignores its
        arguments and starts serving; it is stopped after PROBE_WAIT_S. It
        runs as the service's user, so that it cannot write beside the
        executable."""
        probe = subprocess.Popen([BINARY, "--help"], cwd=cls.work, user=USER, group=USER,
                                 extra_groups=[], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                 start_new_session=True)
        try:
            output, _ = probe.communicate(timeout=PROBE_WAIT_S)
        except subprocess.TimeoutExpired:
            probe.kill()
            probe.communicate()
            return False
        return re.search(rb"(^|\s)-d\b", output) is not None

    # --- what the package installs -----------------------------------------

    def assert_owned(self, path, user, mode=None):
        info = os.stat(path)
        self.assertEqual((pwd.getpwuid(info.st_uid).pw_name, grp.getgrgid(info.st_gid).gr_name),
                         (user, user), path)
        if mode is not None:
            self.assertEqual(oct(stat.S_IMODE(info.st_mode)), oct(mode), path)

    def unit_path(self):
        code, listed = run(["dpkg", "-L", PACKAGE])
        units = [line for line in listed.splitlines() if line.endswith("/trawlbox.service")]
        self.assertEqual(len(units), 1, listed)
        return units[0]

    def test_files_owners_and_dependencies(self):
        self.assertTrue(os.access(BINARY, os.X_OK))
        self.assert_owned(BINARY, "root", 0o755)
        for name in CONFIG_FILES:
            self.assert_owned(os.path.join(CONFIG_DIR, name), "root", 0o644)
        for name in CONFIG_FILES[1:]:
            self.assertEqual(read(os.path.join(CONFIG_DIR, name)),
                             read(os.path.join(SOURCE, "etc", name)), name)
        code, conffiles = run(["dpkg-query", "-W", "-f=${Conffiles}", PACKAGE])
        self.assertEqual(sorted(re.findall(r"^ (\S+) ", conffiles, re.MULTILINE)),
                         sorted(os.path.join(CONFIG_DIR, name) for name in CONFIG_FILES))

        account = pwd.getpwnam(USER)
        self.assertLess(account.pw_uid, 1000, "not a system user")
        self.assertEqual(grp.getgrgid(account.pw_gid).gr_name, USER)
        self.assertTrue(account.pw_shell.endswith(("/nologin", "/false")), account.pw_shell)
        for directory in (STATE_DIR, LOG_DIR):
            self.assertTrue(os.path.isdir(directory))
            self.assert_owned(directory, USER, 0o750)

        unit = self.unit_path()
        self.assertIn("\nExecStart=%s -d %s\n" % (BINARY, CONFIG_DIR), read(unit, "r"))
        self.assertEqual(os.path.realpath(ENABLED_LINK), os.path.realpath(unit))
        for page in ("/usr/share/man/man8/trawlbox.8.gz", "/usr/share/man/man5/trawlbox.cfg.5.gz"):
            with self.subTest(page=page):
                self.assertEqual(warnings_of_installed_page(page, self.work), "")
        self.assertTrue(os.path.isfile("/usr/share/doc/trawlbox/README.md"))

        # Every library the executable needs comes from a package it depends on.
        code, depends = run(["dpkg-query", "-W", "-f=${Depends}", PACKAGE])
        depended = set(re.findall(r"(?:^|, |\| )([a-z0-9][a-z0-9.+-]*)", depends))
        self.assertIn("adduser", depended)
        code, needed = run(["objdump", "-p", BINARY])
        for soname in re.findall(r"^\s+NEEDED\s+(\S+)$", needed, re.MULTILINE):
            code, owner = run(["dpkg", "-S", soname])
            owners = {line.split(":")[0] for line in owner.splitlines() if "/" + soname in line}
            self.assertTrue(owners & depended, "%s (%s) not in Depends: %s"
                            % (soname, ", ".join(sorted(owners)), depends))

    def test_packaged_configuration_is_the_sample_with_the_service_paths(self):
        packaged = config_keys(read(os.path.join(CONFIG_DIR, "TRAWLBOX.CFG"), "r"))
        sample = config_keys(read(os.path.join(SOURCE, "etc", "TRAWLBOX.CFG"), "r"))
        expected = dict(sample)
        expected.update({key.lower(): value for key, value in PACKAGED_SETTINGS.items()})
        self.assertEqual(packaged, expected)

    @unittest.skipUnless(shutil.which("systemd-analyze"), "systemd-analyze is missing")
    def test_unit_passes_verify(self):
        unit = self.unit_path()
        # Verify opens the unit's manual pages with man, which keeps a
        # formatted copy in its cache of a page shown at the standard width
        # of 80: another width leaves nothing behind.
        code, said = run(["systemd-analyze", "verify", unit],
                         env=dict(os.environ, MANWIDTH="100"))
        self.assertEqual([line for line in said.splitlines() if "trawlbox" in line], [], said)
        code, said = run(["systemd-analyze", "security", "--offline=true", unit])
        exposure = re.search(r"Overall exposure level for trawlbox.service: (\d+\.\d+)", said)
        self.assertIsNotNone(exposure, said)
        self.assertLessEqual(float(exposure.group(1)), EXPOSURE_LIMIT, said)

    # --- the packaged layout at work -----------------------------------------

    def private_configuration(self, pop3_port, nntp_port, upstream_port):
        """A copy of the installed configuration directory the service's user
        can read, listening on the given ports and reading mail from the
        private server."""
        directory = tempfile.mkdtemp(prefix="config-", dir=self.work)
        os.chmod(directory, 0o755)
        for name in CONFIG_FILES:
            shutil.copy(os.path.join(CONFIG_DIR, name), directory)
        path = os.path.join(directory, "TRAWLBOX.CFG")
        text = read(path).decode("latin-1")
        for key, value in (("Pop3PortIncoming", pop3_port), ("NntpPortIncoming", nntp_port),
                           ("Pop3PortOutgoing", upstream_port)):
            text, count = re.subn(r"(?m)^%s=.*?(\r?)$" % key, r"%s=%d\1" % (key, value), text)
            self.assertEqual(count, 1, key)
        with open(path, "wb") as f:
            f.write(text.encode("latin-1"))
        return directory

    def start_as_service_user(self, directory, environment=None):
        """Starts the installed program on the configuration in `directory` as
        the service's user, in a session of its own with no terminal and with
        `environment` added to a bare one; returns the process. Without -d the
        program reads the directory of its executable, so a copy of the
        executable runs from there."""
        if self.directory_option:
            command, working = [BINARY, "-d", directory], "/"
        else:
            shutil.copy2(BINARY, directory)
            command, working = [os.path.join(directory, "trawlbox")], directory
        self.output = open(os.path.join(self.work, "output.txt"), "wb")
        self.addCleanup(self.output.close)
        process = subprocess.Popen(command, cwd=working, user=USER, group=USER, extra_groups=[],
                                   env=dict(environment or {},
                                            PATH="/usr/sbin:/usr/bin:/sbin:/bin"),
                                   stdin=subprocess.DEVNULL, stdout=self.output,
                                   stderr=subprocess.STDOUT, start_new_session=True)
        self.addCleanup(self.stop, process)
        return process

    @staticmethod
    def stop(process):
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(STOP_WAIT_S)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        return process.returncode

    @unittest.skipIf(find_binary() is None, "dovecot is not installed")
    def test_serves_mail_as_its_user_without_terminal(self):
        server_dir = tempfile.mkdtemp(prefix="trawlbox-dovecot-")
        self.addCleanup(shutil.rmtree, server_dir, True)
        server = Dovecot(server_dir)
        server.add_user("carol", "pass word")
        kept = (b"From: friend@example.org\nTo: carol@example.org\nSubject: Lunch\n"
                b"Message-ID: <lunch@example.org>\n\nAt noon?\n")
        server.add_message("carol", kept)
        server.add_message("carol", b"From: king@spam.example\nTo: carol@example.org\n"
                                    b"Subject: Cheap viagra today\n"
                                    b"Message-ID: <spam@spam.example>\n\nBuy now.\n")
        self.addCleanup(server.stop)
        upstream = server.start()["pop3"]

        pop3_port, nntp_port = free_ports(2)
        process = self.start_as_service_user(
            self.private_configuration(pop3_port, nntp_port, upstream))
        log_path = os.path.join(LOG_DIR, "TRAWLBOX.LOG")
        self.assertTrue(wait_for_port(pop3_port),
                        "did not listen; output:\n%s" % read(self.output.name, "r"))
        with open("/proc/%d/status" % process.pid) as f:
            uids = re.search(r"^Uid:\s+(.*)$", f.read(), re.MULTILINE).group(1).split()
        self.assertEqual(set(map(int, uids)), {pwd.getpwnam(USER).pw_uid})
        self.assert_owned(log_path, USER)
        self.assertIn("Pop3-Listen at Port %d" % pop3_port, read(log_path, "rb").decode("latin-1"))

        # The packaged kill file deletes the message about viagra.
        client = poplib.POP3("127.0.0.1", pop3_port, timeout=CLIENT_TIMEOUT_S)
        self.assertTrue(client.getwelcome().startswith(b"+OK POP3-Trawlbox"), client.getwelcome())
        client.user("127.0.0.1#carol")
        self.assertEqual(client.pass_("pass word"),
                         b"+OK Mailbox scan running to 127.0.0.1 successfull")
        self.assertEqual(client.stat()[0], 2)  # the kept message and the kill report
        self.assertEqual(b"\n".join(client.retr(1)[1]) + b"\n", kept)
        report = b"\n".join(client.retr(2)[1]).decode("latin-1")
        self.assertIn("Subject: Killed Messages", report)
        self.assertIn("Cheap viagra today", report)
        client.quit()
        self.assertEqual(self.stop(process), 0)
        held = [name for sub in ("cur", "new")
                for name in os.listdir(os.path.join(server.maildir("carol"), sub))]
        self.assertEqual(len(held), 1, "the killed message is still on the server")

    def test_tells_the_service_manager_when_both_listeners_listen(self):
        code, needed = run(["objdump", "-p", BINARY])
        if not re.search(r"NEEDED\s+libsystemd\.so", needed):
            self.skipTest("waits for the readiness message: the installed program does not "
                          "link libsystemd for sd_notify, which the unit's Type=notify needs")
        # The service manager's end: a datagram socket the service's user may
        # write to, named by NOTIFY_SOCKET.
        path = os.path.join(self.work, "notify")
        manager = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(manager.close)
        manager.bind(path)
        os.chmod(path, 0o666)
        manager.settimeout(START_WAIT_S)
        pop3_port, nntp_port, upstream = free_ports(3)
        process = self.start_as_service_user(
            self.private_configuration(pop3_port, nntp_port, upstream), {"NOTIFY_SOCKET": path})
        said = b""
        while b"READY=1" not in said.split(b"\n"):
            try:
                said = manager.recv(4096)
            except socket.timeout:
                self.fail("no READY=1 within %d s; output:\n%s"
                          % (START_WAIT_S, read(self.output.name, "r")))
        for port in (pop3_port, nntp_port):  # both listen already, without a wait
            socket.create_connection(("127.0.0.1", port), timeout=CLIENT_TIMEOUT_S).close()
        self.assertEqual(self.stop(process), 0)

    def test_check_accepts_the_packaged_configuration(self):
        if not self.directory_option:
            self.skipTest("waits for the operator tools: the installed program does not read "
                          "-d DIR (its --help does not name it), so it has no check command")
        code, said = run([BINARY, "check", "-d", CONFIG_DIR], user=USER, group=USER,
                         extra_groups=[], cwd="/")
        self.assertEqual(code, 0, said)

    # --- upgrade and purge ---------------------------------------------------

    def test_reinstall_keeps_the_edited_kill_file_and_the_state(self):
        kill_file = os.path.join(CONFIG_DIR, "KILLFILE.CFG")
        original = read(kill_file)
        self.addCleanup(write, kill_file, original)
        edited = original + b"\"*unsubscribe*\" \xEAs \xAFDELE\r\n"
        write(kill_file, edited)
        state = os.path.join(STATE_DIR, "kept-by-the-test")
        write(state, b"state")
        self.addCleanup(lambda: os.path.exists(state) and os.remove(state))

        self.install()
        self.assertEqual(package_status(), "installed")
        self.assertEqual(read(kill_file), edited)
        self.assertFalse(glob.glob(kill_file + ".dpkg-*"))
        self.assertEqual(read(state), b"state")
        for directory in (STATE_DIR, LOG_DIR):
            self.assert_owned(directory, USER, 0o750)

    def test_purge_leaves_nothing_but_the_user(self):
        for path in (os.path.join(CONFIG_DIR, "PLONK.WAV"), os.path.join(STATE_DIR, "state"),
                     os.path.join(LOG_DIR, "TRAWLBOX.LOG")):
            with open(path, "a") as f:
                f.write("written while installed\n")
        code, said = dpkg("--purge", PACKAGE)
        self.assertEqual(code, 0, said)
        try:
            self.assertEqual(package_status(), "")
            self.assertEqual(sorted(paths_named_trawlbox() - self.before), [])
            self.assertEqual(pwd.getpwnam(USER).pw_name, USER)
            self.assertEqual(grp.getgrnam(USER).gr_name, USER)
        finally:
            self.install()  # the other tests find the package installed


if __name__ == "__main__":
    unittest.main()
