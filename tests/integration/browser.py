"""Headless Chromium under Selenium, for the browser tests of the web page.

Debian's chromium and chromium-driver, driven by Debian's python3-selenium.
Each browser gets a fresh profile directory, removed when it closes, and
the flags this machine needs: no sandbox (tests may run as root), no GPU,
and nothing that reaches the network on its own (no QUIC, no background
requests, no component updates, no sync).
"""
import os
import shutil
import tempfile

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

CHROMIUM = os.environ.get("TRAWLBOX_CHROMIUM", "/usr/bin/chromium")
CHROMEDRIVER = os.environ.get("TRAWLBOX_CHROMEDRIVER", "/usr/bin/chromedriver")
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-dev-shm-usage"]
WINDOW = (1366, 900)  # a laptop's screen
PAGE_LOAD_S = 30      # bounded wait for a page of the local server


class Browser:
    """One headless Chromium. Use as a context manager, or call close()."""

    def __init__(self, javascript=True):
        self.profile = tempfile.mkdtemp(prefix="trawlbox-chromium-")
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in FLAGS:
            options.add_argument(flag)
        options.add_argument("--user-data-dir=" + self.profile)
        options.add_argument("--window-size=%d,%d" % WINDOW)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        if not javascript:
            options.add_experimental_option(
                "prefs", {"profile.managed_default_content_settings.javascript": 2})
        try:
            self.driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        except Exception:
            shutil.rmtree(self.profile, ignore_errors=True)
            raise
        self.driver.set_page_load_timeout(PAGE_LOAD_S)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        try:
            self.driver.quit()
        finally:
            shutil.rmtree(self.profile, ignore_errors=True)

    def click_and_load(self, element):
        """Clicks a link or button that loads a page and waits (bounded)
        until the new page has loaded: a click returns before that, and the
        old page's elements would still be found."""
        # A mark on the old page's window rather than a stale element: this
        # Chromium at times answers a query on a replaced node with a generic
        # inspector error instead of a stale-element one.
        self.driver.execute_script("window.trawlboxOldPage = true")
        element.click()
        wait = WebDriverWait(self.driver, PAGE_LOAD_S)
        wait.until(lambda d: d.execute_script("return window.trawlboxOldPage === undefined"))
        wait.until(lambda d: d.execute_script("return document.readyState") == "complete")

    def console_problems(self):
        """Console messages of level SEVERE since the last call: script
        errors and violations of the page's security policy."""
        return [entry["message"] for entry in self.driver.get_log("browser")
                if entry["level"] == "SEVERE"]

    def alert_open(self):
        try:
            self.driver.switch_to.alert
            return True
        except NoAlertPresentException:
            return False

    def screenshot(self, name):
        """Saves the whole page as NAME.png in TRAWLBOX_SCREENSHOTS (test
        output in the build directory); returns the path, or None when no
        directory was given."""
        directory = os.environ.get("TRAWLBOX_SCREENSHOTS")
        if not directory:
            return None
        os.makedirs(directory, exist_ok=True)
        path = os.path.join(directory, name + ".png")
        height = self.driver.execute_script("return document.documentElement.scrollHeight")
        self.driver.set_window_size(WINDOW[0], max(WINDOW[1], min(int(height), 4000)))
        self.driver.save_screenshot(path)
        self.driver.set_window_size(*WINDOW)
        return path
