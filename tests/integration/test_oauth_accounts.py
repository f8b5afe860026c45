"""OAuth 2.0 accounts end to end through the real program: `trawlbox oauth2
add` runs the device grant against the test identity provider (the user
approves while it polls), then a mail program (poplib, default settings)
logs in as oauth2:HOST#ACCOUNT with the local password, and Trawlbox logs
in to the private Dovecot, whose oauth2 password database asks the provider
about the token.

What the unit tests of the grant, the vault and the refresh already prove
with fakes is not repeated; these cases prove that the command, the vault
in the data directory and the sessions fit together, and that no token,
secret or password shows where people look.
"""
import base64
import os
import pty
import re
import select
import shutil
import subprocess
import tempfile
import threading
import time
import unittest

from browser import Browser
from fixtures.dovecot import Dovecot, find_binary
from fixtures.identity_provider import BEHAVIOUR, IdentityProvider
from trawlbox_runner import Trawlbox, free_port

import poplib

CLIENT_TIMEOUT_S = 60  # a reply slower than this counts as missing
COMMAND_TIMEOUT_S = 60  # an oauth2 command that runs longer hangs
POLL_WAIT_S = 20  # how long the command may take to poll for the first time
USER = "alice"
HOST = "127.0.0.1"
ACCOUNT = HOST + "#" + USER
CLIENT_ID = "trawlbox-test"
# Distinctive, so that a search for them cannot hit anything else.
CLIENT_SECRET = "cs-Wm4-never-shown"
LOCAL_PASSWORD = "Kx9 local-secret 52"
# A token that runs out within the minute is renewed at every login.
SHORT_LIFETIME_S = 30
# Longer than the program's whole-request time-out for the provider (30 s).
SLOW_PROVIDER_S = 40
SLOW_LOGIN_BOUND_S = 38


def base64_words(text):
    """Every word of `text` that decodes as Base64, decoded."""
    for word in re.findall(r"[A-Za-z0-9+/]{16,}={0,2}", text):
        try:
            yield base64.b64decode(word + "=" * (-len(word) % 4)).decode("latin-1")
        except ValueError:
            pass


@unittest.skipUnless(find_binary() is not None, "dovecot is not installed")
class OAuthAccountTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.provider = cls.start_provider()
        cls.addClassCleanup(cls.provider.stop)
        cls.servers = {}
        # Both mechanisms offered (OAUTHBEARER is preferred), and XOAUTH2 alone.
        for name, mechanisms in (("both", "xoauth2 oauthbearer"), ("xoauth2", "xoauth2")):
            directory = tempfile.mkdtemp(prefix="trawlbox-dovecot-oauth-")
            cls.addClassCleanup(shutil.rmtree, directory, True)
            dovecot = Dovecot(directory, oauth2_introspection=cls.provider.url("/introspect"),
                              oauth2_mechanisms=mechanisms)
            dovecot.add_user(USER, "password of " + USER)
            dovecot.add_message(USER, b"From: a@example.org\nSubject: one\n\nbody\n")
            cls.addClassCleanup(dovecot.stop)
            cls.servers[name] = dovecot.start()["pop3"]

    @classmethod
    def start_provider(cls):
        """A provider that remembers every token it issues, for the search
        for secrets."""
        provider = IdentityProvider()
        provider.start()
        provider.issued = []
        state = provider.server.state
        issue = state.issue

        def recording_issue(*arguments, **keywords):
            answer = issue(*arguments, **keywords)
            provider.issued += [answer.get("access_token"), answer.get("refresh_token")]
            return answer

        state.issue = recording_issue
        return provider

    def setUp(self):
        self.provider.configure(**dict(BEHAVIOUR, interval=1, username=USER))
        self.data_dir = tempfile.mkdtemp(prefix="trawlbox-oauth-data-")
        self.addCleanup(shutil.rmtree, self.data_dir, True)
        self.proxy = Trawlbox(config={
            "Pop3PortOutgoing": self.servers["both"],
            "AllowedPorts": "%d, %d" % (self.servers["both"], self.servers["xoauth2"]),
            "DataDir": self.data_dir,
            "DEBUGLINE": "J",
            "LogDebug": "J",
        })
        self.addCleanup(self.proxy.cleanup)
        self.proxy.start()
        self.outputs = []  # what the commands wrote, for the search for secrets

    # The command.
    def command(self, *arguments, stdin="", provider=None):
        """Runs trawlbox with `arguments` in the proxy's directory; returns
        (status, standard output, standard error)."""
        run = subprocess.run([self.proxy.binary, *arguments], cwd=self.proxy.dir,
                             input=stdin.encode(), capture_output=True,
                             timeout=COMMAND_TIMEOUT_S)
        result = (run.returncode, run.stdout.decode("latin-1"), run.stderr.decode("latin-1"))
        self.outputs += result[1:]
        return result

    def add_arguments(self, provider=None, account=ACCOUNT):
        provider = provider or self.provider
        return ["oauth2", "add", account, "--provider", "custom", "--client-id", CLIENT_ID,
                "--client-secret", CLIENT_SECRET, "--device-url", provider.url("/device"),
                "--token-url", provider.url("/token"), "--scope", "mail offline_access"]

    def add(self, provider=None):
        """`oauth2 add` as a user runs it: the provider answers pending
        until the user approves, which happens once the command polls."""
        provider = provider or self.provider
        provider.configure(outcome="never")
        polls = provider.counters().get("poll", 0)
        typed, keyboard = os.pipe()
        os.write(keyboard, (LOCAL_PASSWORD + "\n").encode())
        os.close(keyboard)
        process = subprocess.Popen([self.proxy.binary, *self.add_arguments(provider)],
                                   cwd=self.proxy.dir, stdin=typed,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        os.close(typed)
        deadline = time.monotonic() + POLL_WAIT_S
        while provider.counters().get("poll", 0) == polls and time.monotonic() < deadline:
            time.sleep(0.05)
        provider.configure(outcome="approve")
        out, err = process.communicate(timeout=COMMAND_TIMEOUT_S)
        out, err = out.decode("latin-1"), err.decode("latin-1")
        self.outputs += [out, err]
        self.assertEqual((process.returncode, err), (0, ""), out)
        return out

    # The mail program.
    def login(self, password=LOCAL_PASSWORD, target=HOST):
        """Logs in through Trawlbox; returns the client, or the refusal."""
        client = poplib.POP3("127.0.0.1", self.proxy.pop3_port, timeout=CLIENT_TIMEOUT_S)
        self.addCleanup(client.close)
        client.user("oauth2:%s#%s" % (target, USER))
        try:
            client.pass_(password)
        except poplib.error_proto as refusal:
            return refusal
        return client

    def assert_reads_the_mailbox(self, client):
        self.assertIsInstance(client, poplib.POP3, client)
        _, lines, _ = client.retr(1)
        self.assertIn(b"Subject: one", lines)
        client.quit()

    def console(self):
        with open(self.proxy.path("stdout.txt"), "rb") as f:
            return f.read().decode("latin-1")

    def assert_no_secret_in_clear(self):
        """No token, secret or password in the data directory, the log, the
        console (echo included) or what the commands printed."""
        self.proxy.stop()
        places = {}
        for directory in (self.data_dir, self.proxy.dir):
            for name in sorted(os.listdir(directory)):
                if name != "trawlbox":  # the program itself
                    with open(os.path.join(directory, name), "rb") as f:
                        places[name] = f.read().decode("latin-1")
        for number, text in enumerate(self.outputs):
            places["command output %d" % number] = text
        fields = self.provider.server.state.last_fields
        secrets = {CLIENT_SECRET, LOCAL_PASSWORD, fields.get("poll", {}).get("device_code"),
                   fields.get("code", {}).get("code"), fields.get("code", {}).get("code_verifier")}
        secrets |= set(self.provider.issued)
        secrets.discard(None)
        self.assertGreater(len(secrets), 3)
        self.assertIn("oauth2.vault", places)
        self.assertIn("TRAWLBOX.LOG", places)
        for name, text in places.items():
            decoded = "\n".join(base64_words(text))
            for secret in secrets:
                self.assertNotIn(secret, text, name)
                self.assertNotIn(secret, decoded, name)

    def test_added_account_logs_in_with_either_mechanism_until_removed(self):
        out = self.add()
        url = self.provider.url("/activate")
        self.assertIn("\n  %s\nand enter the code " % url, out)
        self.assertRegex(out, r"\(or open %s\?code=\d{4}-\d{4}, which carries the code\)"
                         % re.escape(url))
        self.assertIn("log in as oauth2:%s with the local password" % ACCOUNT, out)
        status, listing, _ = self.command("oauth2", "list")
        self.assertEqual(status, 0)
        self.assertRegex(listing, r"^%s  access token good until \d{4}-\d\d-\d\d \d\d:\d\d\n$"
                         % re.escape(ACCOUNT))

        # Dovecot offers both: OAUTHBEARER is taken; XOAUTH2 where it is alone.
        self.assert_reads_the_mailbox(self.login())
        self.assert_reads_the_mailbox(self.login(target="%s:%d" % (HOST,
                                                                   self.servers["xoauth2"])))
        echo = self.console()
        self.assertRegex(echo, r"\d+>:AUTH OAUTHBEARER \*\*\*\r?\n")
        self.assertRegex(echo, r"\d+>:AUTH XOAUTH2 \*\*\*\r?\n")

        # The listing and the removal work from another directory with -d.
        elsewhere = subprocess.run([self.proxy.binary, "-d", self.proxy.dir, "oauth2", "remove",
                                    ACCOUNT], cwd=self.data_dir, capture_output=True,
                                   timeout=COMMAND_TIMEOUT_S)
        self.assertEqual(elsewhere.returncode, 0, elsewhere.stderr)
        self.assertEqual(self.command("oauth2", "remove", ACCOUNT)[0::2],
                         (1, "trawlbox: no OAuth 2.0 account %s in %s/oauth2.vault\n"
                          % (ACCOUNT, self.data_dir)))
        self.assertIn("-ERR", str(self.login()))
        self.assertIn("No OAuth 2.0 account %s: run trawlbox oauth2 add %s" % (ACCOUNT, ACCOUNT),
                      self.proxy.log())
        self.assert_no_secret_in_clear()

    def test_expired_token_is_refreshed_and_the_rotated_refresh_token_kept(self):
        self.provider.configure(access_lifetime=SHORT_LIFETIME_S, rotate=True)
        self.add()
        refreshes = self.provider.counters().get("refresh", 0)
        # Each login renews; the second works only with the token the first stored back.
        for _ in range(2):
            self.assert_reads_the_mailbox(self.login())
        self.assertEqual(self.provider.counters().get("refresh", 0) - refreshes, 2)
        self.assertEqual(self.proxy.log().count("OAuth 2.0 token of %s refreshed" % ACCOUNT), 2)
        self.assert_no_secret_in_clear()

    def test_concurrent_logins_of_one_account_keep_the_rotated_token(self):
        self.provider.configure(access_lifetime=SHORT_LIFETIME_S, rotate=True)
        self.add()
        results = []
        start = threading.Barrier(2)

        def log_in():
            start.wait(CLIENT_TIMEOUT_S)
            results.append(self.login())

        threads = [threading.Thread(target=log_in) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(CLIENT_TIMEOUT_S * 2)
        self.assertEqual(len(results), 2)
        for client in results + [self.login()]:
            self.assert_reads_the_mailbox(client)
        self.assert_no_secret_in_clear()

    def test_revoked_access_asks_for_a_new_grant(self):
        self.provider.configure(access_lifetime=SHORT_LIFETIME_S)
        self.add()
        for token in list(self.provider.server.state.refresh_tokens):
            self.provider.revoke(token)
        self.assertIn("-ERR %s authentication error" % HOST, str(self.login()))
        self.assertIn("The provider no longer grants access to %s: run trawlbox oauth2 add %s "
                      "again" % (ACCOUNT, ACCOUNT), self.proxy.log())
        self.assertNotIn("Bridge from", self.proxy.log())

        # As the log says: the new grant replaces the dead one, and says so.
        self.assertNotIn("replace", self.outputs[0])
        self.assertIn("They replace the tokens and local password stored for it before.",
                      self.add())
        self.assert_reads_the_mailbox(self.login())

    def test_wrong_local_password_contacts_neither_provider_nor_server(self):
        self.add()
        before = self.provider.counters()
        self.assertIn("-ERR %s authentication error" % HOST, str(self.login("not the password")))
        self.assertEqual(self.provider.counters(), before)
        self.assertIn("Wrong local password for the OAuth 2.0 account " + ACCOUNT,
                      self.proxy.log())
        self.assertNotIn("Bridge from", self.proxy.log())
        self.assert_reads_the_mailbox(self.login())

    def test_provider_down_or_slow_fails_in_bounded_time_with_a_clear_error(self):
        # The command, against a port where nothing listens.
        closed = "http://127.0.0.1:%d" % free_port()
        started = time.monotonic()
        status, out, err = self.command(
            "oauth2", "add", ACCOUNT, "--provider", "custom", "--client-id", CLIENT_ID,
            "--device-url", closed + "/device", "--token-url", closed + "/token",
            "--scope", "mail", stdin=LOCAL_PASSWORD + "\n")
        self.assertEqual(status, 1)
        self.assertRegex(err, r"^trawlbox: .*127\.0\.0\.1.*; nothing was stored\n$")
        self.assertLess(time.monotonic() - started, 10)

        # A login that must renew, while the provider is slow, then gone.
        provider = self.start_provider()
        self.addCleanup(provider.stop)
        provider.configure(interval=1, access_lifetime=SHORT_LIFETIME_S)
        self.add(provider)
        provider.configure(delay_seconds=SLOW_PROVIDER_S)
        started = time.monotonic()
        self.assertIn("-ERR", str(self.login()))
        self.assertLess(time.monotonic() - started, SLOW_LOGIN_BOUND_S)
        provider.stop()
        started = time.monotonic()
        self.assertIn("-ERR", str(self.login()))
        self.assertLess(time.monotonic() - started, 10)
        log = self.proxy.log()
        self.assertEqual(log.count("No OAuth 2.0 token for %s: " % ACCOUNT), 2, log)
        self.assertNotIn("Bridge from", log)

    def test_code_grant_approved_in_a_real_browser(self):
        """The grant Google needs: the command prints a URL, the user opens
        it in a browser, the provider sends the browser back to the
        command's loopback port, and the mail program then logs in."""
        typed, keyboard = os.pipe()
        os.write(keyboard, (LOCAL_PASSWORD + "\n").encode())
        os.close(keyboard)
        arguments = ["oauth2", "add", ACCOUNT, "--provider", "custom", "--grant", "code",
                     "--client-id", CLIENT_ID, "--client-secret", CLIENT_SECRET,
                     "--auth-url", self.provider.url("/authorize"),
                     "--token-url", self.provider.url("/token"), "--scope", "mail offline_access"]
        process = subprocess.Popen([self.proxy.binary, *arguments], cwd=self.proxy.dir,
                                   stdin=typed, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        os.close(typed)
        self.addCleanup(process.kill)
        shown = b""
        deadline = time.monotonic() + COMMAND_TIMEOUT_S
        while b"\nAfter the approval" not in shown and time.monotonic() < deadline:
            ready, _, _ = select.select([process.stdout], [], [], 1)
            if ready:
                chunk = os.read(process.stdout.fileno(), 4096)
                if not chunk:
                    break
                shown += chunk
        url = re.search(rb"\n  (http://127\.0\.0\.1:\d+/authorize\?\S+)\n", shown)
        self.assertIsNotNone(url, shown)

        with Browser() as browser:
            browser.driver.get(url.group(1).decode())
            page = browser.driver.find_element("tag name", "body").text
        self.assertIn("You may close this window", page)
        out, err = process.communicate(timeout=COMMAND_TIMEOUT_S)
        out, err = (shown + out).decode("latin-1"), err.decode("latin-1")
        self.outputs += [out, err]
        self.assertEqual((process.returncode, err), (0, ""), out)
        self.assertIn("Stored the tokens of " + ACCOUNT, out)
        self.assertEqual(self.provider.counters().get("code"), 1)

        self.assert_reads_the_mailbox(self.login())
        self.assert_no_secret_in_clear()

    def test_mistakes_at_the_command_line_store_nothing(self):
        devices = self.provider.counters().get("device", 0)
        # The provider's own checks are proved by its unit tests; one stands
        # for them here.
        cases = [
            (["oauth2", "add", ACCOUNT, "--provider", "gogle", "--client-id", "x"],
             'trawlbox: unknown provider "gogle" (known: microsoft, google, custom)\n'),
            (["oauth2", "add", "pop.example.org", "--provider", "google", "--client-id", "x"],
             'trawlbox: "pop.example.org" is no account name: write HOST#ACCOUNT, the server '
             "and the account as the mail program's login names them\n"),
            (["oauth2", "add", "oauth2:pop.example.org:995#me", "--provider", "google",
              "--client-id", "x"],
             "trawlbox: write the account as HOST#ACCOUNT, without a login method or a port "
             "(pop.example.org#me); the mail program's login may name them\n"),
            (["oauth2", "add", ACCOUNT, "--provider", "custom", "--client-id", "x",
              "--device-url", "http://login.example.org/device", "--token-url",
              "https://login.example.org/token", "--scope", "mail"], None),
            (self.add_arguments(), "trawlbox: the local password is empty; nothing was stored\n"),
        ]
        for arguments, error in cases:
            status, out, err = self.command(*arguments, stdin="\n")
            self.assertEqual((status, out), (1, ""), arguments)
            if error is None:
                self.assertRegex(err, r"^trawlbox: .*https.*\n$")
            else:
                self.assertEqual(err, error)
        # A data directory that cannot be made fails before the provider is asked.
        elsewhere = tempfile.mkdtemp(prefix="trawlbox-oauth-conf-")
        self.addCleanup(shutil.rmtree, elsewhere, True)
        with open(os.path.join(elsewhere, "TRAWLBOX.CFG"), "w") as out:
            out.write("DataDir=%s\r\n" % os.path.join(elsewhere, "TRAWLBOX.CFG", "state"))
        status, out, err = self.command("-d", elsewhere, *self.add_arguments(),
                                        stdin=LOCAL_PASSWORD + "\n")
        self.assertEqual((status, out), (1, ""))
        self.assertTrue(err.startswith("trawlbox: the tokens could not be stored in %s/"
                                       % elsewhere), err)
        # The provider was never asked, and the vault never made.
        self.assertEqual(self.provider.counters().get("device", 0), devices)
        self.assertFalse(os.path.exists(os.path.join(self.data_dir, "oauth2.vault")))
        status, out, err = self.command("oauth2", "list")
        self.assertEqual((status, out, err),
                         (0, "No OAuth 2.0 accounts in %s/oauth2.vault\n" % self.data_dir, ""))
        # A wrong command line is a usage error with the help text.
        status, _, err = self.command("oauth2", "add", ACCOUNT)
        self.assertEqual(status, 2)
        self.assertTrue(err.startswith(
            "trawlbox: oauth2 add needs --provider microsoft, google or custom\nUsage:"), err)

    def test_terminal_asks_twice_without_echo(self):
        for second, expected in (("typo", 1), (LOCAL_PASSWORD, 0)):
            screen, status = self.add_on_terminal(LOCAL_PASSWORD, second)
            self.assertEqual(status, expected, screen)
            self.assertIn("Local password for %s (the mail program will send it): " % ACCOUNT,
                          screen)
            self.assertIn("The same again: ", screen)
            self.assertNotIn(LOCAL_PASSWORD, screen)
            self.assertNotIn("typo", screen)
        self.assertIn("trawlbox: the two passwords differ; nothing was stored", self.outputs[-2])
        self.assertIn("Stored the tokens of " + ACCOUNT, self.outputs[-1])

    def add_on_terminal(self, first, second):
        """Runs `oauth2 add` on a pseudo-terminal, typing the two passwords
        when asked; returns what the terminal showed and the exit status."""
        primary, secondary = pty.openpty()
        process = subprocess.Popen([self.proxy.binary, *self.add_arguments()],
                                   cwd=self.proxy.dir, stdin=secondary, stdout=secondary,
                                   stderr=secondary, start_new_session=True)
        os.close(secondary)
        screen = b""
        # Typed only once the prompt shows: the echo is off by then.
        answers = [(b"send it): ", first), (b"The same again: ", second)]
        deadline = time.monotonic() + COMMAND_TIMEOUT_S
        while time.monotonic() < deadline:
            ready, _, _ = select.select([primary], [], [], 1)
            if not ready:
                continue
            try:
                chunk = os.read(primary, 4096)
            except OSError:  # the program ended and closed the terminal
                break
            if not chunk:
                break
            screen += chunk
            if answers and screen.endswith(answers[0][0]):
                os.write(primary, (answers.pop(0)[1] + "\n").encode())
        os.close(primary)
        status = process.wait(timeout=COMMAND_TIMEOUT_S)
        text = screen.decode("latin-1")
        self.outputs.append(text)
        return text, status


if __name__ == "__main__":
    unittest.main()
