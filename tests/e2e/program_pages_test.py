#!/usr/bin/python3
"""The settings pages in a real browser: headless Chromium driven by
Selenium against the built server, in a private network namespace.

Usage: program_pages_test.py BUILD_DIR"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

BUILD = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else "build"
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PAGES_PORT = 18049

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    webdriver = None


def in_private_namespace():
    """Re-runs this script under `unshare --net` with loopback up."""
    if os.environ.get("NIMBORA_NETNS") == "1" or os.geteuid() != 0:
        return
    os.environ["NIMBORA_NETNS"] = "1"
    cmd = ["unshare", "--net", "sh", "-c", 'ip link set lo up && exec "$0" "$@"',
           sys.executable, os.path.abspath(__file__)] + sys.argv[1:]
    os.execvp("unshare", cmd)


def pages_answer():
    try:
        socket.create_connection(("127.0.0.1", PAGES_PORT), timeout=1).close()
        return True
    except OSError:
        return False


@unittest.skipIf(webdriver is None or not shutil.which("chromedriver"),
                 "needs python3-selenium, chromium and chromium-driver")
class Pages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.home = tempfile.mkdtemp(prefix="nimbora-pages-")
        home, share = Path(cls.home), Path(cls.home, "share")
        (share / "data").mkdir(parents=True)
        (share / "data" / "hello.txt").write_text("hello\n")
        for folder in ("Languages", "doc"):
            shutil.copytree(os.path.join(SOURCE, "example", folder), home / folder)
        (home / "exports").write_text("c:\\data\n")
        (home / "settings.reg").write_text(
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Nimbora\\nfsd]\n"
            '"Pages-Port"="%d"\n"Log"="2"\n\n'
            "[HKEY_LOCAL_MACHINE\\Software\\Nimbora\\nfsd\\Drives]\n"
            '"C"="%s"\n' % (PAGES_PORT, share))
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(cls.home, "config"), LANG="C")
        cls.server = subprocess.Popen([os.path.join(BUILD, "nfsd"), "--home", cls.home],
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
        token_file = home / "nfsd.token"
        for _ in range(200):
            if token_file.exists() and pages_answer():
                break
            time.sleep(0.1)
        else:
            cls.server.kill()
            raise RuntimeError("the server did not start its pages: %s"
                               % cls.server.stdout.read().decode(errors="replace"))
        cls.token = token_file.read_text().strip()
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ("headless", "no-sandbox", "disable-gpu", "disable-quic", "no-first-run",
                     "disable-background-networking", "disable-component-update",
                     "disable-sync", "user-data-dir=" + os.path.join(cls.home, "browser")):
            options.add_argument("--" + flag)
        cls.browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        cls.browser.get("http://127.0.0.1:%d/?token=%s" % (PAGES_PORT, cls.token))
        # A reload (after a language change) replaces every element.
        cls.wait = WebDriverWait(cls.browser, 10,
                                 ignored_exceptions=[StaleElementReferenceException])
        cls.wait.until(lambda b: b.find_element(By.ID, "tab-nfs").text == "NFS")

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        if cls.server.poll() is None:
            cls.server.send_signal(signal.SIGTERM)
            cls.server.wait(timeout=15)
        shutil.rmtree(cls.home, ignore_errors=True)

    def el(self, id_):
        return self.browser.find_element(By.ID, id_)

    def page(self, name):
        self.el("tab-" + name).click()

    def file(self, name):
        return Path(self.home, name).read_text(encoding="utf-8")

    def apply_nfs(self, boxes=(), **fields):
        self.page("nfs")
        for name in boxes:
            self.el(name).click()
        for name, text in fields.items():
            self.el(name).clear()
            self.el(name).send_keys(text)
        self.browser.execute_script("document.getElementById('msg-nfs').textContent = ''")
        self.el("apply-nfs").click()
        self.wait.until(lambda b: self.el("msg-nfs").text != "")

    def test_1_refused_numbers_are_marked_and_nothing_is_stored(self):
        self.apply_nfs(boxes=["NFS2Write"], Port="abc", Threads="100", Datasize="8192")
        marks = [m.text for m in self.browser.find_elements(By.CSS_SELECTOR, "#nfs .rejected")]
        self.assertEqual(marks, ["Rejected; accepted values: 1-65535",
                                 "Rejected; accepted values: 1-32"])
        self.assertEqual(self.el("msg-nfs").text, "Nothing was applied: correct the marked values.")
        self.assertEqual(self.el("Threads").get_attribute("value"), "100")  # kept as typed
        self.assertNotIn('"Threads"=', self.file("settings.reg"))
        # An unchecked "async write" box is stored as written through.
        self.apply_nfs(Port="2049", Threads="8")
        self.assertEqual(self.el("msg-nfs").text, "Applied.")
        self.assertEqual(self.browser.find_elements(By.CSS_SELECTOR, "#nfs .rejected"), [])
        for part in ('"Threads"="8"', '"NFS2Write"="2"'):
            self.assertIn(part, self.file("settings.reg"))

    def test_2_mount_shows_on_the_mounts_page(self):
        self.page("mounts")
        self.assertEqual(self.browser.find_elements(By.CSS_SELECTOR, "#mounts-list tbody tr"), [])
        listing = subprocess.run(["nfs-ls", "nfs://127.0.0.1/c/data"], capture_output=True,
                                 text=True, timeout=30)
        self.assertIn("hello.txt", listing.stdout, listing.stderr)
        # Refreshed every 2 s while shown: within 3 s it is there.
        WebDriverWait(self.browser, 3.5).until(
            lambda b: "c:\\data" in self.el("mounts-list").text)

    def test_3_portmapper_lists_the_services(self):
        self.page("portmapper")
        WebDriverWait(self.browser, 4).until(
            lambda b: "100003 3 TCP 2049" in self.el("portmapper-list").text)
        self.assertIn("100000 2 UDP 111", self.el("portmapper-list").text)

    def test_4_exports_page(self):
        self.page("exports")
        # The pages show paths in their Windows form, as the server's own
        # display of its exports does.
        WebDriverWait(self.browser, 4).until(lambda b: "c:\\data" in self.el("exports-list").text)
        self.el("edit-exports").click()
        self.wait.until(lambda b: "c:\\data" in self.el("exports-text").get_attribute("value"))
        self.el("exports-text").send_keys("# edited\n")
        self.el("save-exports").click()
        self.wait.until(lambda b: self.el("msg-exports").text != "")
        self.assertIn("# edited", self.file("exports"))
        self.assertEqual(self.file("exports.bak"), "c:\\data\n")
        # A line the reader refuses keeps the file as it is, until "Save anyway".
        self.el("exports-text").send_keys("c:\\data -nope\n")
        self.browser.execute_script("document.getElementById('msg-exports').textContent = ''")
        self.el("save-exports").click()
        self.wait.until(lambda b: self.el("msg-exports").text != "")
        self.assertIn("unknown option: nope", self.el("draft-problems").text)
        self.assertNotIn("-nope", self.file("exports"))
        self.el("save-anyway").click()
        self.wait.until(lambda b: "-nope" in self.file("exports"))

    def test_5_german_module(self):
        self.page("language")
        self.wait.until(lambda b: "deutsch.dll" in self.el("language-list").text)
        row = [r for r in self.browser.find_elements(By.CSS_SELECTOR, "#language-list tbody tr")
               if "deutsch.dll" in r.text][0]
        row.click()
        self.assertEqual(self.el("translator").text, "Nimbora-Team")
        self.el("apply-language").click()
        self.wait.until(lambda b: b.find_element(By.ID, "tab-exports").text == "Exporte")
        self.page("exports")
        headings = [h.text for h in self.browser.find_elements(By.CSS_SELECTOR, "#exports-list th")]
        self.assertEqual(headings, ["Verzeichnis", "Optionen", "Clients"])
        self.assertEqual(self.el("tab-language").text, "Sprache")

    def test_6_exit(self):
        self.wait.until(lambda b: self.el("exit").text != "")
        self.el("exit").click()
        self.assertEqual(self.server.wait(timeout=15), 0)


if __name__ == "__main__":
    in_private_namespace()
    unittest.main(argv=[sys.argv[0]], verbosity=2)
