"""Today's mail programs and news readers against the real trawlbox binary:
fetchmail at its default settings, Python's poplib and nntplib, each over
plaintext, STLS/STARTTLS and the implicit-TLS listeners, with the private
Dovecot and INN behind the proxy. Also what those clients rely on: CAPA in
both states, pipelined commands answered in order, logins that name a port,
and unknown login methods refused before anything reaches a server.
"""
import email
import email.policy
import os
import poplib
import shutil
import socket
import ssl
import subprocess
import tempfile
import unittest
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import nntplib

from fixtures import inn, tls_ca
from fixtures.dovecot import Dovecot, find_binary
from test_tls import CLIENT_TIMEOUT_S, Raw as TlsRaw, message, wait_until
from trawlbox_runner import Trawlbox, free_port, wait_for_port

FETCHMAIL_LIMIT_S = 120  # one fetchmail run, a safety net only

CAN_RUN_MAIL = find_binary() is not None
CAN_RUN_FETCHMAIL = shutil.which("fetchmail") is not None
CAN_RUN_NEWS = os.path.exists(inn.INN_BIN + "/innd") and os.geteuid() == 0

# Typed in a UTF-8 editor: the markers as the characters their code page
# bytes show.
KILL_FILE = ("■■■ kill file of the client tests\n"
             "--- ALLE\n"
             "\"*viagra*\" Ωs »DELE\n"
             "\"*Grüße*\" Ωs »DELE\n"
             "--- /DE/TEST\n"
             "\"*Cheap spam*\" Ωs »SKIP\n").encode("utf-8")

OWN_CAPABILITIES = ["TOP", "UIDL", "USER", "RESP-CODES", "PIPELINING"]


class Raw(TlsRaw):
    """A client on a plain socket from a chosen loopback address, for exact
    reply lines."""

    def __init__(self, port, source="127.0.0.1"):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=CLIENT_TIMEOUT_S,
                                             source_address=(source, 0))
        self.file = self.sock.makefile("rb")

    def block(self):
        """The lines of a multi-line block up to its "."."""
        lines = []
        while (line := self.line()) not in (".", "<closed>"):
            lines.append(line)
        return lines

    def send(self, text):
        self.sock.sendall(text.encode("latin-1"))


def start_proxy(proxies, config):
    proxy = Trawlbox(config=dict({"LogSession": "J"}, **config), killfile=KILL_FILE)
    proxies.append(proxy)
    proxy.start()
    for port in (proxy.pop3_port, proxy.nntp_port):
        if not wait_for_port(port):
            raise RuntimeError("no listener on %d; log:\n%s" % (port, proxy.log()))
    return proxy


def prepare(cls):
    """Certificates, a context that trusts them and the proxies' list, each
    removed again after the class."""
    cls.work = tempfile.mkdtemp(prefix="trawlbox-clients-")
    cls.addClassCleanup(shutil.rmtree, cls.work, True)
    cls.certs = tls_ca.make(os.path.join(cls.work, "certs"))
    cls.context = ssl.create_default_context(cafile=cls.certs["ca"])
    cls.proxies = []
    cls.addClassCleanup(lambda: [p.cleanup() for p in cls.proxies])


def tls_config(certs, **more):
    return dict({"ClientTlsCert": certs["server_cert"], "ClientTlsKey": certs["server_key"]},
                **more)


@unittest.skipUnless(CAN_RUN_MAIL, "dovecot is not installed")
class MailClientsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        prepare(cls)

        # Users are made before the server starts (see the mail path tests).
        cls.dovecot = Dovecot(tempfile.mkdtemp(prefix="trawlbox-dovecot-"))
        cls.addClassCleanup(shutil.rmtree, cls.dovecot.directory, True)
        cls.free_users = ["user%d" % n for n in range(12)]
        for name in cls.free_users:
            cls.dovecot.add_user(name, "pass word " + name)
        cls.addClassCleanup(cls.dovecot.stop)
        cls.server_port = cls.dovecot.start()["pop3"]

        # The plain proxy's configured server port leads nowhere: only a
        # login that names the port reaches Dovecot, which AllowedPorts lets
        # the logins name.
        nowhere = free_port()
        cls.plain = start_proxy(cls.proxies, {
            "Pop3PortOutgoing": nowhere,
            "AllowedPorts": "%d, %d" % (cls.server_port, nowhere)})
        cls.pop3s_port = free_port()
        cls.tls = start_proxy(cls.proxies, tls_config(
            cls.certs, Pop3PortOutgoing=cls.server_port, Pop3sPortIncoming=cls.pop3s_port))
        cls.required = start_proxy(cls.proxies, tls_config(
            cls.certs, Pop3PortOutgoing=cls.server_port, ClientTlsRequired="J"))

    def mailbox(self):
        """A user with one ham and one spam message: name, password."""
        name = self.free_users.pop(0)
        self.dovecot.add_message(name, message("friend@example.org", "Hello there", "Hi.\n"))
        self.dovecot.add_message(name, message("king@spam.example", "Cheap viagra", "Buy.\n"))
        return name, "pass word " + name

    def login_name(self, name, host="127.0.0.1", with_port=False):
        return host + (":%d" % self.server_port if with_port else "") + "#" + name

    def check_filtered(self, client):
        """The cleaned view: the ham and the kill report, the spam gone."""
        count, _ = client.stat()
        self.assertEqual(count, 2)
        subjects = []
        for number in (1, 2):
            _, lines, _ = client.top(number, 0)
            subjects += [l for l in lines if l.startswith(b"Subject:")]
        self.assertIn(b"Subject: Hello there", subjects)
        self.assertFalse(any(b"viagra" in s for s in subjects), subjects)

    # --- CAPA and pipelining ------------------------------------------------

    def test_capa_in_both_states_and_pipelined_commands_in_order(self):
        name, password = self.mailbox()
        r = Raw(self.plain.pop3_port)
        self.addCleanup(r.close)
        self.assertTrue(r.line().startswith("+OK POP3-Trawlbox"))
        # Four commands in one segment before any answer is read.
        r.send("CAPA\r\nNOOP\r\nUSER %s\r\nPASS %s\r\n"
               % (self.login_name(name, with_port=True), password))
        self.assertEqual(r.line(), "+OK Capability list follows")
        before = r.block()
        self.assertEqual(before[:5], OWN_CAPABILITIES)
        self.assertRegex(before[5], r"^IMPLEMENTATION Trawlbox-")
        self.assertEqual(len(before), 6, before)  # no STLS without a certificate
        self.assertEqual(r.line(), "-ERR Authentication required")
        self.assertEqual(r.line(), "+OK More authentication information required")
        self.assertEqual(r.line(), "+OK Mailbox scan running to 127.0.0.1 successfull")

        r.send("STAT\r\nCAPA\r\nLIST 1\r\nHELP\r\nNOOP\r\n")
        self.assertRegex(r.line(), r"^\+OK 2 \d+$")
        self.assertEqual(r.line(), "+OK Capability list follows")
        after = r.block()
        self.assertEqual(after[:5], OWN_CAPABILITIES)
        self.assertNotIn("STLS", after)
        self.assertRegex(r.line(), r"^\+OK 1 \d+$")
        self.assertEqual(r.line(), "+OK implemented Trawlbox commands follow:")
        self.assertIn("    capa", r.block())
        self.assertEqual(r.line(), "+OK")
        self.assertTrue(r.ask("QUIT").endswith(", good bye spam"))

    # --- UTF-8 kill file and report -------------------------------------------

    def test_utf8_kill_file_against_three_charsets_and_a_utf8_report(self):
        name = self.free_users.pop(0)
        subjects = ["=?UTF-8?Q?Gr=C3=BC=C3=9Fe_aus_Bern?=", "=?ISO-8859-1?Q?Gr=FC=DFe?=",
                    "=?windows-1252?B?SGVyemxpY2hlIEdy/N9l?=", "Grusse ohne Umlaut"]
        for n, subject in enumerate(subjects):
            self.dovecot.add_message(name, message("=?utf-8?q?D=C3=B6rte_Gro=C3=9F?= <d%d@x.org>"
                                                   % n, subject, "Text.\n"))
        client = poplib.POP3("127.0.0.1", self.plain.pop3_port, timeout=CLIENT_TIMEOUT_S)
        client.user(self.login_name(name, with_port=True))
        client.pass_("pass word " + name)
        self.assertEqual(client.stat()[0], 2)  # the one without umlauts and the report
        _, lines, _ = client.retr(2)
        client.quit()
        report = email.message_from_bytes(b"\n".join(lines), policy=email.policy.default)
        self.assertEqual(report["Subject"], "Killed Messages")
        self.assertEqual(report.get_content_charset(), "utf-8")
        self.assertRegex(report["Message-ID"], r"^<.+@trawlbox\.localhost>$")
        body = report.get_content()
        self.assertEqual(body.count("From       : Dörte Groß <d"), 3, body)
        self.assertIn("Subject    : Grüße aus Bern\n", body)
        self.assertIn('Reason     : "*Grüße*"\n', body)
        # The log as `tail` shows it: UTF-8 (log() decodes strictly), LF
        # line ends, the kill's subject as it was written.
        log = self.plain.log()
        self.assertIn("\t\t\t├ Subject: Grüße aus Bern\n", log)
        self.assertIn('\t\t\t└ Reason: "*Grüße*" Ωs »DELE', log)
        self.assertNotIn("\r", log)

    # --- Login names ----------------------------------------------------------

    def test_unknown_method_is_refused_before_any_connection(self):
        r = Raw(self.plain.pop3_port)
        self.addCleanup(r.close)
        r.line()
        mark = len(self.plain.log())
        self.assertEqual(r.ask("USER bogus:127.0.0.1:%d#user0" % self.server_port),
                         "-ERR unknown login method bogus")
        self.assertEqual(r.ask("PASS secret"), "-ERR Authentication rejected")
        r.ask("QUIT")
        self.assertNotIn("Outgoing connection", self.plain.log()[mark:])

    def test_port_in_the_login_overrides_the_configured_one(self):
        name, password = self.mailbox()
        client = poplib.POP3("127.0.0.1", self.plain.pop3_port, timeout=CLIENT_TIMEOUT_S)
        client.user(self.login_name(name, with_port=True))
        client.pass_(password)
        self.check_filtered(client)
        client.quit()
        # Without the port the configured one is used, where nothing answers.
        client = poplib.POP3("127.0.0.1", self.plain.pop3_port, timeout=CLIENT_TIMEOUT_S)
        client.user(self.login_name("user11"))
        with self.assertRaises(poplib.error_proto) as refused:
            client.pass_("pass word user11")
        self.assertEqual(str(refused.exception), str(b"-ERR 127.0.0.1 not found/ready"))
        client.close()

    # --- TLS towards the client -----------------------------------------------

    def test_poplib_over_stls_and_over_the_implicit_listener(self):
        for how in ("stls", "implicit"):
            with self.subTest(how=how):
                name, password = self.mailbox()
                if how == "stls":
                    client = poplib.POP3("localhost", self.tls.pop3_port,
                                         timeout=CLIENT_TIMEOUT_S)
                    self.assertIn("STLS", client.capa())
                    client.stls(self.context)
                    # RFC 2595: no STLS once TLS is up.
                    self.assertNotIn("STLS", client.capa())
                else:
                    client = poplib.POP3_SSL("localhost", self.pop3s_port,
                                             context=self.context, timeout=CLIENT_TIMEOUT_S)
                    self.assertNotIn("STLS", client.capa())
                self.assertEqual(client.sock.version()[:5], "TLSv1")
                client.user(self.login_name(name))
                client.pass_(password)
                self.check_filtered(client)
                client.quit()
        self.assertRegex(self.tls.log(), r"TLS established: TLSv1\.[23] ")

    def test_denied_address_is_refused_in_plaintext_before_any_handshake(self):
        r = Raw(self.pop3s_port, source="127.0.0.2")
        self.addCleanup(r.close)
        self.assertEqual(r.line(), "-ERR permission denied, closing connection ...")
        self.assertEqual(r.line(), "<closed>")

    def test_client_tls_required_refuses_login_until_stls(self):
        name, password = self.mailbox()
        r = Raw(self.required.pop3_port)
        self.addCleanup(r.close)
        r.line()
        self.assertEqual(r.ask("USER " + self.login_name(name)),
                         "-ERR TLS required, send STLS first")
        self.assertEqual(r.ask("PASS " + password), "-ERR TLS required, send STLS first")
        r.ask("QUIT")
        client = poplib.POP3("localhost", self.required.pop3_port, timeout=CLIENT_TIMEOUT_S)
        client.stls(self.context)
        client.user(self.login_name(name))
        client.pass_(password)
        self.check_filtered(client)
        client.quit()

    def test_a_client_that_fails_the_handshake_is_logged_and_dropped(self):
        untrusting = ssl.create_default_context(cafile=self.certs["other_ca"])
        with self.assertRaises(ssl.SSLError):
            poplib.POP3_SSL("localhost", self.pop3s_port, context=untrusting,
                            timeout=CLIENT_TIMEOUT_S)
        self.assertTrue(wait_until(lambda: "Client TLS handshake failed: " in self.tls.log()),
                        self.tls.log())

    # --- fetchmail at its defaults ----------------------------------------------

    def fetchmail(self, proxy, name, password, extra=""):
        """Runs fetchmail once with only a poll entry; returns its exit
        status, its output and what it delivered."""
        home = tempfile.mkdtemp(prefix="trawlbox-fetchmail-", dir=self.work)
        delivered = os.path.join(home, "delivered")
        rc = os.path.join(home, "fetchmailrc")
        with open(rc, "w") as out:
            out.write('poll localhost protocol pop3 port %d\n'
                      '  user "%s" there with password "%s"\n'
                      '  mda "/bin/sh -c \'cat >> %s\'"\n%s'
                      % (proxy.pop3_port, self.login_name(name, with_port=True), password,
                         delivered, extra))
        os.chmod(rc, 0o600)
        env = dict(os.environ, HOME=home, FETCHMAILHOME=home)
        result = subprocess.run(["fetchmail", "-f", rc], env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                timeout=FETCHMAIL_LIMIT_S)
        output = result.stdout.decode("utf-8", "replace")
        mail = b""
        if os.path.exists(delivered):
            with open(delivered, "rb") as f:
                mail = f.read()
        return result.returncode, output, mail

    @unittest.skipUnless(CAN_RUN_FETCHMAIL, "fetchmail is not installed")
    def test_fetchmail_over_stls_at_its_defaults_and_in_plaintext(self):
        # At its defaults fetchmail 6.4 sends STLS whatever CAPA lists and
        # gives up when it is refused (directly against a Dovecot without TLS
        # too); only sslproto '' lets it log in over plaintext.
        cases = [("stls", self.tls, '  sslcertfile "%s"\n' % self.certs["ca"]),
                 ("plaintext", self.plain, "  sslproto ''\n")]
        for how, proxy, extra in cases:
            with self.subTest(how=how):
                name, password = self.mailbox()
                status, output, mail = self.fetchmail(proxy, name, password, extra)
                self.assertEqual(status, 0, output)
                self.assertIn(b"Subject: Hello there", mail)
                self.assertNotIn(b"Subject: Cheap viagra", mail)
                self.assertIn(b"To: killreport@localhost", mail)
                # fetchmail deleted what it fetched; the kill deleted the spam.
                self.assertEqual(os.listdir(os.path.join(self.dovecot.maildir(name), "cur")),
                                 [], output)
        self.assertRegex(self.tls.log(), r"TLS established: TLSv1\.[23] ")


@unittest.skipUnless(CAN_RUN_NEWS, "needs root and the inn2 package (scripts/install-deps.sh)")
class NewsClientsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        prepare(cls)
        cls.inn_dir = tempfile.mkdtemp(prefix="trawlbox-inn-")
        cls.addClassCleanup(shutil.rmtree, cls.inn_dir, True)
        ports = inn.start(cls.inn_dir)
        cls.addClassCleanup(inn.stop, cls.inn_dir)
        cls.nnrpd = ports["nnrpd"]
        cls.ham_id, cls.spam_id = inn.post_many(cls.inn_dir, [
            dict(group="de.test", subject="Hello readers", from_="Ann <ann@example.org>",
                 body="Kept\n"),
            dict(group="de.test", subject="Cheap spam offer", from_="Bob <bob@example.org>",
                 body="Withheld\n")])
        cls.nntps_port = free_port()
        # The configured server port leads nowhere: the logins name theirs,
        # which AllowedPorts lets them name.
        cls.proxy = start_proxy(cls.proxies, tls_config(
            cls.certs, NntpPortOutgoing=free_port(), NntpsPortIncoming=cls.nntps_port,
            NntpTimeout=120, AllowedPorts=str(cls.nnrpd)))
        cls.required = start_proxy(cls.proxies, tls_config(
            cls.certs, NntpPortOutgoing=cls.nnrpd, ClientTlsRequired="J"))

    def login(self):
        return "127.0.0.1:%d#%s" % (self.nnrpd, inn.DEFAULT_USER)

    def check_filtered(self, s):
        _, _, first, last, _ = s.group("de.test")
        _, over = s.over((first, last))
        ids = {fields["message-id"] for _, fields in over}
        self.assertIn(self.ham_id, ids)
        self.assertNotIn(self.spam_id, ids)

    def test_nntplib_over_starttls_and_the_implicit_listener(self):
        with nntplib.NNTP("localhost", self.proxy.nntp_port, timeout=CLIENT_TIMEOUT_S) as s:
            self.assertIn("STARTTLS", s.getcapabilities())
            s.starttls(self.context)
            self.assertNotIn("STARTTLS", s.getcapabilities())
            s.login(self.login(), inn.DEFAULT_PASSWORD, usenetrc=False)
            self.check_filtered(s)
        with nntplib.NNTP_SSL("localhost", self.nntps_port, ssl_context=self.context,
                              timeout=CLIENT_TIMEOUT_S) as s:
            s.login(self.login(), inn.DEFAULT_PASSWORD, usenetrc=False)
            self.check_filtered(s)
        self.assertRegex(self.proxy.log(), r"TLS established: TLSv1\.[23] ")

    def test_login_names_and_required_tls_in_exact_words(self):
        r = Raw(self.proxy.nntp_port)
        self.addCleanup(r.close)
        r.line()
        self.assertEqual(r.ask("AUTHINFO USER bogus:127.0.0.1#" + inn.DEFAULT_USER),
                         "481 unknown login method bogus")
        r.ask("QUIT")
        self.assertNotIn("Outgoing connection", self.proxy.log())

        r = Raw(self.required.nntp_port)
        self.addCleanup(r.close)
        r.line()
        self.assertEqual(r.ask("AUTHINFO USER 127.0.0.1#" + inn.DEFAULT_USER),
                         "483 TLS required, send STARTTLS first")
        self.assertEqual(r.ask("STARTTLS"), "382 Continue with TLS negotiation")
        tls = self.context.wrap_socket(r.sock, server_hostname="localhost")
        f = tls.makefile("rb")
        tls.sendall(b"CAPABILITIES\r\n")
        self.assertEqual(f.readline(), b"101 Capability list:\r\n")
        listed = []
        while (line := f.readline()) not in (b".\r\n", b""):
            listed.append(line)
        self.assertNotIn(b"STARTTLS\r\n", listed)
        tls.sendall(b"AUTHINFO USER 127.0.0.1#" + inn.DEFAULT_USER.encode() + b"\r\n")
        self.assertEqual(f.readline(), b"381 More authentication information required\r\n")
        tls.sendall(b"AUTHINFO PASS " + inn.DEFAULT_PASSWORD.encode() + b"\r\n")
        self.assertEqual(f.readline(), b"281 Authenticaion accepted from 127.0.0.1\r\n")
        tls.close()


if __name__ == "__main__":
    unittest.main()
