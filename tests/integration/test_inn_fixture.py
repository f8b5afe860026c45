"""Smoke test of the private news server fixture, driven by Python's nntplib.

The NNTP end-to-end tests trust this fixture to give them a real server
that readers on loopback can use without login, one that demands AUTHINFO,
and a clean stop; this checks exactly that.
"""

import os
import shutil
import socket
import tempfile
import unittest
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import nntplib

from fixtures import inn

CAN_RUN = os.path.exists(inn.INN_BIN + "/innd") and os.geteuid() == 0
WHY_NOT = "needs root and the inn2 package (scripts/install-deps.sh)"


def refuses_connections(port):
    try:
        socket.create_connection((inn.HOST, port), timeout=2).close()
    except ConnectionRefusedError:
        return True
    return False


@unittest.skipUnless(CAN_RUN, WHY_NOT)
class RunningServer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp()
        try:
            cls.ports = inn.start(cls.dir)
        except BaseException:
            shutil.rmtree(cls.dir, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            inn.stop(cls.dir)
        finally:
            shutil.rmtree(cls.dir, ignore_errors=True)

    def test_ports_are_recorded(self):
        self.assertEqual(inn.ports(self.dir), self.ports)
        self.assertEqual(set(self.ports), {"innd", "nnrpd"})
        self.assertNotEqual(self.ports["innd"], self.ports["nnrpd"])

    def test_posted_articles_read_back_on_the_reader_port(self):
        articles = [
            ("=?UTF-8?Q?Gr=C3=BC=C3=9Fe_aus_K=C3=B6ln?=", "Ann <ann@example.org>",
             "First line\n.starts with a dot\nlast line\n", None),
            ("Plain subject", "bob@example.org", "Hello\n", {"X-Fixture": "yes"}),
            ("Reply", "carol@example.org", "Quoted\n", {"References": "<root@example.org>"}),
        ]
        ids = [inn.post(self.dir, "de.test", s, f, b, h) for s, f, b, h in articles]
        with inn.reader(self.dir) as s:
            self.assertTrue(s.getwelcome().startswith("200"), s.getwelcome())
            self.assertNotIn("transit", s.getwelcome())
            _, count, first, last, _ = s.group("de.test")
            self.assertGreaterEqual(count, len(ids))
            _, over = s.over((first, last))
            by_id = {fields["message-id"]: fields for _, fields in over}
            _, xover = s.xover(first, last)
            self.assertEqual(len(xover), len(over))
            for mid, (subject, from_, body, headers) in zip(ids, articles):
                with self.subTest(subject=subject):
                    self.assertIn(mid, by_id)
                    # The encoded word must arrive undecoded: the proxy's
                    # filters are what decode it.
                    self.assertEqual(by_id[mid]["subject"], subject)
                    self.assertEqual(by_id[mid]["from"], from_)
                    if headers and "References" in headers:
                        self.assertEqual(by_id[mid]["references"], headers["References"])
                    _, info = s.article(mid)
                    blank = info.lines.index(b"")
                    self.assertEqual(info.lines[blank + 1:], body.encode().splitlines())
                    for name, value in (headers or {}).items():
                        self.assertIn(("%s: %s" % (name, value)).encode(), info.lines[:blank])

    def test_groups_exist_and_unknown_group_is_refused(self):
        with inn.reader(self.dir) as s:
            _, groups = s.list()
            names = {g.group for g in groups}
            self.assertTrue(set(inn.DEFAULT_GROUPS) <= names, names)
            with self.assertRaises(nntplib.NNTPTemporaryError) as cm:
                s.group("no.such.group")
            self.assertTrue(cm.exception.response.startswith("411"), cm.exception.response)

    def test_bulk_load_fills_the_overview(self):
        loaded = inn.bulk(self.dir, "de.alt.test", 500, subject="Bulk {n}")
        self.assertEqual(loaded, 500)
        with inn.reader(self.dir) as s:
            _, count, first, last, _ = s.group("de.alt.test")
            self.assertEqual(count, 500)
            _, over = s.over((first, last))
        subjects = [fields["subject"] for _, fields in over]
        self.assertEqual(subjects, ["Bulk %d" % i for i in range(1, 501)])

    def test_bulk_load_reports_a_refused_article(self):
        mid, art = inn.make_article("local.test", "Twice", "d@example.org", "x\n")
        self.assertEqual(inn.inject(self.dir, [(mid, art)]), 1)
        with self.assertRaises(inn.InnError) as cm:
            inn.inject(self.dir, [(mid, art)])
        self.assertIn(mid, str(cm.exception))

    def test_auth_port_demands_login(self):
        user = inn.DEFAULT_USER
        cases = [
            ("right password, which has a space", user, inn.DEFAULT_PASSWORD, None),
            ("wrong password", user, "wrong", "481"),
            ("first word of the password only", user, "secret", "481"),
            ("unknown user", "nobody", inn.DEFAULT_PASSWORD, "481"),
        ]
        for name, user, password, refusal in cases:
            with self.subTest(name), inn.reader(self.dir, "nnrpd") as s:
                if refusal is None:
                    s.login(user, password, usenetrc=False)
                    self.assertEqual(s.group("de.test")[0][:3], "211")
                    continue
                with self.assertRaises(nntplib.NNTPError) as cm:
                    s.login(user, password, usenetrc=False)
                self.assertTrue(cm.exception.response.startswith(refusal),
                                cm.exception.response)

    def test_auth_port_refuses_reading_before_login(self):
        with inn.reader(self.dir, "nnrpd") as s:
            with self.assertRaises(nntplib.NNTPError) as cm:
                s.group("de.test")
            self.assertTrue(cm.exception.response.startswith("480"), cm.exception.response)


@unittest.skipUnless(CAN_RUN, WHY_NOT)
class Lifecycle(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def test_stop_ends_one_instance_with_its_readers_and_spares_another(self):
        other = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, other, ignore_errors=True)
        ports = inn.start(self.dir, groups=["local.only"], user="u2", password="pw")
        self.addCleanup(inn.stop, self.dir)
        inn.start(other, groups=["local.other"])
        self.addCleanup(inn.stop, other)
        plain = inn.reader(self.dir)
        authed = inn.reader(self.dir, "nnrpd", "u2", "pw")
        self.addCleanup(plain.sock.close)
        self.addCleanup(authed.sock.close)
        self.assertEqual(plain.group("local.only")[1], 0)
        self.assertEqual(authed.group("local.only")[1], 0)
        # innd, the standalone nnrpd and one reader process for each client
        self.assertGreaterEqual(len(inn.processes(self.dir)), 4)
        inn.stop(self.dir)
        self.assertEqual(inn.processes(self.dir), [])
        for name, port in ports.items():
            self.assertTrue(refuses_connections(port), name)
        self.assertNotEqual(inn.processes(other), [])
        with inn.reader(other) as s:
            self.assertEqual(s.group("local.other")[1], 0)

    def test_failed_start_reports_logs_and_leaves_nothing(self):
        with self.assertRaises(inn.InnError) as cm:
            inn.start(self.dir, storage="nosuchmethod")
        self.assertIn("nosuchmethod", str(cm.exception))
        self.assertEqual(inn.processes(self.dir), [])
        self.assertEqual(os.listdir(self.dir), [])


if __name__ == "__main__":
    unittest.main()
