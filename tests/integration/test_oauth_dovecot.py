"""Bearer-token logins against the private Dovecot, with tokens from the
test identity provider: the pair of peers the OAuth 2.0 upstream login is
tested against. A mail program (poplib) logs in with AUTH XOAUTH2 and AUTH
OAUTHBEARER; Dovecot asks the provider about each token (introspection).

The tokens come from a device grant run over HTTP as a client would run it
(a pending poll, then approval), so what Dovecot sees is what a grant
brings; a revoked token and another user's token are refused the way the
RFCs say: a "+ " challenge carrying a JSON error, an empty response from
the client, then -ERR. The error's status differs by mechanism: "401" for
XOAUTH2, "invalid_token" (RFC 7628) for OAUTHBEARER.
"""
import base64
import json
import os
import poplib
import shutil
import tempfile
import unittest
import urllib.parse
import urllib.request

from fixtures.dovecot import Dovecot, find_binary
from fixtures.identity_provider import DEVICE_GRANT, IdentityProvider

CLIENT_TIMEOUT_S = 30  # a reply slower than this counts as missing
CLIENT_ID = "trawlbox-test"
USER = "alice"


def post(url, fields):
    """POSTs the form; returns the status and the JSON answer."""
    data = urllib.parse.urlencode(fields).encode()
    try:
        with urllib.request.urlopen(url, data=data, timeout=CLIENT_TIMEOUT_S) as reply:
            return reply.status, json.load(reply)
    except urllib.error.HTTPError as refusal:
        return refusal.code, json.load(refusal)


def xoauth2(user, token):
    return base64.b64encode(f"user={user}\x01auth=Bearer {token}\x01\x01".encode()).decode()


def oauthbearer(user, token, port):
    text = f"n,a={user},\x01host=127.0.0.1\x01port={port}\x01auth=Bearer {token}\x01\x01"
    return base64.b64encode(text.encode()).decode()


@unittest.skipUnless(find_binary() is not None, "dovecot is not installed")
class BearerLoginTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.provider = IdentityProvider()
        cls.provider.start()
        cls.addClassCleanup(cls.provider.stop)
        cls.provider.configure(pending_polls=1, interval=1, username=USER)
        # A fresh mkdtemp directory is open enough for the server's helpers.
        cls.directory = tempfile.mkdtemp(prefix="trawlbox-dovecot-oauth-")
        cls.addClassCleanup(shutil.rmtree, cls.directory, True)
        cls.dovecot = Dovecot(cls.directory,
                              oauth2_introspection=cls.provider.url("/introspect"))
        for name in (USER, "bob"):
            cls.dovecot.add_user(name, "password of " + name)
        cls.dovecot.add_message(USER, b"From: a@example.org\nSubject: one\n\nbody\n")
        cls.addClassCleanup(cls.dovecot.stop)
        cls.port = cls.dovecot.start()["pop3"]

    def device_grant(self):
        """Tokens as `oauth2 add` gets them: device code, polls, approval."""
        status, device = post(self.provider.url("/device"),
                              {"client_id": CLIENT_ID, "scope": "mail offline_access"})
        self.assertEqual(status, 200)
        poll = {"grant_type": DEVICE_GRANT, "device_code": device["device_code"],
                "client_id": CLIENT_ID}
        status, answer = post(self.provider.url("/token"), poll)
        self.assertEqual((status, answer.get("error")), (400, "authorization_pending"))
        status, answer = post(self.provider.url("/token"), poll)
        self.assertEqual(status, 200, answer)
        return answer

    def connect(self):
        client = poplib.POP3("127.0.0.1", self.port, timeout=CLIENT_TIMEOUT_S)
        self.addCleanup(client.close)
        return client

    def assert_refused(self, client, command, status):
        # The server's error challenge, then an empty response ends the exchange.
        challenge = client._shortcmd(command)
        self.assertTrue(challenge.startswith(b"+ "), challenge)
        error = json.loads(base64.b64decode(challenge[2:]))
        self.assertEqual(error.get("status"), status, error)
        with self.assertRaises(poplib.error_proto) as refusal:
            client._shortcmd("")
        self.assertTrue(str(refusal.exception).startswith("b'-ERR"), refusal.exception)

    def test_capabilities_name_both_mechanisms(self):
        sasl = self.connect().capa().get("SASL", [])
        self.assertIn("XOAUTH2", sasl)
        self.assertIn("OAUTHBEARER", sasl)
        self.assertIn("PLAIN", sasl)

    def test_both_mechanisms_log_in_with_a_granted_token(self):
        token = self.device_grant()["access_token"]
        before = self.provider.counters().get("introspect_active", 0)
        for initial in (xoauth2(USER, token), oauthbearer(USER, token, self.port)):
            client = self.connect()
            mechanism = "XOAUTH2" if initial == xoauth2(USER, token) else "OAUTHBEARER"
            reply = client._shortcmd(f"AUTH {mechanism} {initial}")
            self.assertTrue(reply.startswith(b"+OK"), reply)
            self.assertEqual(client.stat()[0], 1)
            client.quit()
        self.assertEqual(self.provider.counters().get("introspect_active", 0) - before, 2)
        # Password logins still work beside them.
        client = self.connect()
        client.user(USER)
        self.assertTrue(client.pass_("password of " + USER).startswith(b"+OK"))

    def test_refused_tokens(self):
        granted = self.device_grant()
        # Alice's token does not log Bob in.
        self.assert_refused(self.connect(),
                            "AUTH XOAUTH2 " + xoauth2("bob", granted["access_token"]), "401")
        # Nor is the password taken in place of a token.
        self.assert_refused(self.connect(),
                            "AUTH XOAUTH2 " + xoauth2(USER, "password of " + USER), "401")
        # Revoked access.
        self.provider.revoke(granted["refresh_token"])
        self.assert_refused(
            self.connect(),
            "AUTH OAUTHBEARER " + oauthbearer(USER, granted["access_token"], self.port),
            "invalid_token")


if __name__ == "__main__":
    unittest.main()
