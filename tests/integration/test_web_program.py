"""The web page of the real program in a real browser: trawlbox runs with
its page on, in front of a private Dovecot, and headless Chromium reads and
uses the page as a user would. Kills made by real logins show in the
overview chart and in the quarantine; mail text carrying HTML and script is
shown as text; foreign hosts and forms without their token are refused; a
kill file edit is checked before it is saved and, once saved, judges the
next login without a restart. Screenshots of each page go to
TRAWLBOX_SCREENSHOTS.
"""
import http.client
import os
import poplib
import unittest
import urllib.parse

from selenium.webdriver.common.by import By

from browser import Browser
from fixtures.dovecot import start_for_class
from proof_support import mail, maildir, wait_until, wire
from trawlbox_runner import Trawlbox, wait_for_port

CLIENT_TIMEOUT_S = 60  # a reply slower than this counts as missing
HTTP_TIMEOUT_S = 30
USER_COUNT = 6         # one mailbox per test that logs in

# Code page 437: \xEA is the options marker, \xAF the target marker.
KILL_FILE = (b"' kill file of the web page tests\r\n"
             b"--- ALLE\r\n"
             b"\"*viagra*\" \xEAs \xAF" b"DELE\r\n"
             b"\"*lottery*\" \xEAs \xAFSKIP\r\n")

HOSTILE_SUBJECT = "<script>document.title='pwned'</script>viagra deal"
HOSTILE_SENDER = "<img src=x onerror=\"document.title='pwned'\"> <boss@example.com>"


def message(sender, subject, body):
    """A message as a mail program stores it, unique by its sender and subject."""
    return mail(sender, subject, body, abs(hash((sender, subject))))


class WebProgramTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.free_users = [("web%d" % n, "secret %d" % n) for n in range(1, USER_COUNT + 1)]
        cls.dovecot, pop3_port = start_for_class(cls, "trawlbox-dovecot-", cls.free_users)
        # The kill file named as a user names it, beside the program: the
        # page shows that name (and the screenshots no path of this machine).
        cls.proxy = Trawlbox(config={"Pop3PortOutgoing": pop3_port, "KILLFILE": "KILLFILE.CFG"},
                             killfile=KILL_FILE)
        cls.addClassCleanup(cls.proxy.cleanup)
        cls.proxy.start()
        if not wait_for_port(cls.proxy.web_port):
            raise RuntimeError("the web page did not listen; log:\n" + cls.proxy.log())
        cls.base = "http://127.0.0.1:%d" % cls.proxy.web_port
        cls.browser = Browser()
        cls.addClassCleanup(cls.browser.close)
        cls.driver = cls.browser.driver

    # --- mail --------------------------------------------------------------

    def mailbox(self, messages):
        """A fresh user holding the messages; returns (name, password, uids)."""
        name, password = self.free_users.pop(0)
        uids = [self.dovecot.add_message(name, m) for m in messages]
        return name, password, uids

    def held(self, name):
        """The unique ids of the messages the server holds now."""
        return set(maildir(self.dovecot, name))

    def fetch_all(self, name, password):
        """Logs in through the proxy and returns every message it offers,
        each as sent (CR LF line ends)."""
        client = poplib.POP3("127.0.0.1", self.proxy.pop3_port, timeout=CLIENT_TIMEOUT_S)
        try:
            client.user("127.0.0.1#" + name)
            client.pass_(password)
            count, _ = client.stat()
            messages = []
            for n in range(1, count + 1):
                _, lines, _ = client.retr(n)
                messages.append(b"".join(line + b"\r\n" for line in lines))
        finally:
            client.quit()
        return messages

    # --- the page ----------------------------------------------------------

    def open(self, path):
        self.driver.get(self.base + path)
        return self.driver.find_element(By.TAG_NAME, "h1").text

    def assertNothingRan(self):
        self.assertFalse(self.browser.alert_open())
        self.assertNotIn("pwned", self.driver.title)
        self.assertEqual(self.browser.console_problems(), [])

    def http(self, method, path, host=None, body=None, headers=None):
        """One request outside the browser; returns (status, body text)."""
        connection = http.client.HTTPConnection("127.0.0.1", self.proxy.web_port,
                                                timeout=HTTP_TIMEOUT_S)
        try:
            all_headers = {"Host": host or "127.0.0.1:%d" % self.proxy.web_port}
            all_headers.update(headers or {})
            connection.request(method, path, body=body, headers=all_headers)
            response = connection.getresponse()
            return response.status, response.read().decode("utf-8", "replace")
        finally:
            connection.close()

    def kill_file(self):
        with open(self.proxy.path("KILLFILE.CFG"), "rb") as f:
            return f.read()

    # --- tests -------------------------------------------------------------

    def test_1_overview_charts_the_kills_of_a_login(self):
        spam = message("Spam King <king@spam.example>", "Cheap viagra today", "Buy now.\n")
        ham = message("friend@example.org", "Hello", "Dear reader.\n")
        name, password, uids = self.mailbox([spam, ham])
        self.assertEqual(self.fetch_all(name, password)[0], wire(ham))
        self.assertTrue(wait_until(lambda: self.held(name) == {uids[1]}))

        self.assertEqual(self.open("/"), "Overview")
        self.assertEqual(len(self.driver.find_elements(By.CSS_SELECTOR, "svg.chart g.day")), 30)
        self.assertGreater(
            len(self.driver.find_elements(By.CSS_SELECTOR, "svg.chart rect.bar-killed")), 0)
        main = self.driver.find_element(By.TAG_NAME, "main").text
        self.assertIn('"*viagra*"', main)  # the week's top rule
        self.assertIn("KILLFILE.CFG:3", main)
        self.assertIn("v0.25", main)
        self.assertNothingRan()

    def test_2_rule_tester_shows_html_in_mail_as_text(self):
        self.open("/test")
        self.driver.find_element(By.NAME, "text").send_keys(
            "From: %s\nSubject: %s\n\nbody\n" % (HOSTILE_SENDER, HOSTILE_SUBJECT))
        self.browser.click_and_load(self.driver.find_element(By.XPATH, "//button[text()='Judge']"))
        result = self.driver.find_element(By.ID, "result").text
        self.assertIn(HOSTILE_SUBJECT, result)
        self.assertIn("verdict: DELE", result)
        self.assertEqual(
            self.driver.find_elements(By.CSS_SELECTOR, "main img, main script"), [])
        self.assertNothingRan()
        self.browser.screenshot("program-rule-tester")

    def test_2_quarantine_shows_html_in_mail_as_text(self):
        hostile = message(HOSTILE_SENDER, HOSTILE_SUBJECT, "<b>bold</b> body\n")
        name, password, _ = self.mailbox([hostile])
        self.fetch_all(name, password)
        self.assertEqual(self.open("/quarantine"), "Quarantine")
        main = self.driver.find_element(By.TAG_NAME, "main").text
        if HOSTILE_SUBJECT not in main:
            self.skipTest("this build keeps no copy of killed mail")
        self.assertIn("boss@example.com", main)
        self.assertEqual(
            self.driver.find_elements(By.CSS_SELECTOR, "main img, main script, main b"), [])
        self.assertNothingRan()

    def test_3_foreign_host_and_post_without_token_are_refused(self):
        port = self.proxy.web_port
        for host in ["evil.example", "evil.example:%d" % port, "127.0.0.1.evil.example:%d" % port]:
            status, _ = self.http("GET", "/quarantine", host=host)
            self.assertEqual(status, 403, host)
        status, page = self.http("GET", "/")
        self.assertEqual(status, 200)
        self.assertIn("Overview", page)

        before = self.kill_file()
        origin = "http://127.0.0.1:%d" % port
        form = urllib.parse.urlencode({"text": "--- ALLE\r\n"}).encode()
        status, _ = self.http("POST", "/killfile", body=form, headers={
            "Origin": origin, "Content-Type": "application/x-www-form-urlencoded"})
        self.assertEqual(status, 403)
        self.assertEqual(self.kill_file(), before)

    def test_4_bad_regex_is_refused_at_its_line(self):
        before = self.kill_file()
        self.assertEqual(self.open("/killfile"), "Kill file")
        editor = self.driver.find_element(By.NAME, "text")
        editor.send_keys('REGEXPR "(((" \u03a9s \u00bbDELE\n')
        self.browser.click_and_load(self.driver.find_element(By.XPATH, "//button[text()='Save']"))
        self.assertIn("Not saved", self.driver.find_element(By.CSS_SELECTOR, ".notice.failed").text)
        self.browser.console_problems()  # the refusal's 422, which the console notes
        # The new rule is the file's line 5, and only it is marked.
        bad = self.driver.find_element(By.ID, "line-5")
        self.assertEqual(bad.get_attribute("class"), "problem")
        self.assertIn('regular expression "(((" does not compile', bad.text)
        self.assertIn('REGEXPR "((("', bad.text)
        self.assertEqual(len(self.driver.find_elements(By.CSS_SELECTOR, "tr.problem")), 1)
        self.browser.screenshot("program-kill-file-rejected")
        self.assertEqual(self.kill_file(), before)
        self.assertFalse(os.path.exists(self.proxy.path("KILLFILE.CFG.NEW")))

    def test_5_saved_edit_judges_the_next_login(self):
        pid = self.proxy.process.pid
        casino = message("casino@bets.example", "Your casino bonus", "Play now.\n")
        before = self.kill_file()
        self.assertEqual(self.open("/killfile"), "Kill file")
        editor = self.driver.find_element(By.NAME, "text")
        editor.send_keys('"*casino*" \u03a9s \u00bbDELE\n')
        self.browser.click_and_load(self.driver.find_element(By.XPATH, "//button[text()='Save']"))
        self.assertEqual(self.driver.find_element(By.CSS_SELECTOR, ".notice.ok").text,
                         "Saved KILLFILE.CFG; the new rules are in use.")
        self.assertNothingRan()
        self.assertEqual(self.kill_file(), before + b"\"*casino*\" \xEAs \xAF" b"DELE\r\n")
        with open(self.proxy.path("KILLFILE.CFG.BAK"), "rb") as f:
            self.assertEqual(f.read(), before)

        name, password, uids = self.mailbox([casino])
        self.assertEqual(self.fetch_all(name, password)[:-1], [])  # only the kill report
        self.assertTrue(wait_until(lambda: self.held(name) == set()))
        self.assertEqual(self.proxy.process.pid, pid)
        self.assertIsNone(self.proxy.process.poll())

    def test_6_release_brings_the_message_back_byte_for_byte(self):
        lottery = message("lottery@spam.example", "Claim your viagra prize", "Line one.\n.dot\n")
        name, password, _ = self.mailbox([lottery])
        self.fetch_all(name, password)
        self.open("/quarantine")
        rows = self.driver.find_elements(
            By.XPATH, "//tr[td[contains(., 'lottery@spam.example')]]")
        if not rows:
            self.skipTest("this build keeps no copy of killed mail")
        self.browser.click_and_load(rows[0].find_element(By.XPATH, ".//button[text()='Release']"))
        self.assertIn("Released", self.driver.find_element(By.CSS_SELECTOR, ".notice.ok").text)
        self.assertNothingRan()
        self.assertIn(wire(lottery), self.fetch_all(name, password))

    def test_9_screenshots_of_every_page(self):
        for path, heading, shot in [("/", "Overview", "program-overview"),
                                    ("/quarantine", "Quarantine", "program-quarantine"),
                                    ("/test", "Rule tester", "program-rule-tester-empty"),
                                    ("/killfile", "Kill file", "program-kill-file")]:
            self.assertEqual(self.open(path), heading)
            self.assertNothingRan()
            self.browser.screenshot(shot)


if __name__ == "__main__":
    unittest.main()
