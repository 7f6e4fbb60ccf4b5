"""The remote control's web page in headless Chromium, driven through Selenium, on a phone-sized
screen: velbrook-cli with a user and password serves it; the test logs in, adds a magnet link of a
torrent that a python3-libtorrent seeder on 127.0.0.1 holds, sees its row reach 100 %, stops it and
removes it with its data. The session cookie must stay out of the page's scripts.

Usage: web_page_test.py PATH/TO/velbrook-cli
"""
import ctypes
import filecmp
import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

from selenium import webdriver  # noqa: E402
from selenium.common.exceptions import StaleElementReferenceException  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

SIZE = 4 * 1024 * 1024
TIMEOUT = 120
CHROMIUM = "/usr/bin/chromium"
DRIVER = "/usr/bin/chromedriver"
PR_SET_CHILD_SUBREAPER = 36
# Chromium must not send a packet off this machine: no name resolves except 127.0.0.1, and the
# services that would call home are off.
FLAGS = ["--headless=new", "--no-sandbox", "--no-first-run", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", "--disable-default-apps",
         "--disable-domain-reliability", "--no-pings", "--disable-breakpad",
         "--disable-client-side-phishing-detection", "--no-proxy-server",
         "--disable-features=MediaRouter,OptimizationHints,DnsOverHttps,Translate",
         "--metrics-recording-only", "--disable-dev-shm-usage", "--disable-gpu",
         "--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1"]


def process_table():
    """{pid: (parent pid, name, command line, state)} of every process now running."""
    table = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                command = f.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        name = stat[stat.find("(") + 1:stat.rfind(")")]
        fields = stat[stat.rfind(")") + 2:].split()
        table[int(entry)] = (int(fields[1]), name, command, fields[0])
    return table


class Browser:
    """chromedriver and the Chromium it starts. Chromium's helpers leave its process tree (the
    crash handler detaches itself), so this process adopts orphans while the browser runs;
    stop() ends each of them by its PID and reaps it."""

    def __init__(self, top):
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
        self.profile = os.path.join(top, "chromium")
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        for flag in FLAGS + [f"--user-data-dir={self.profile}"]:
            options.add_argument(flag)
        self.service = Service(DRIVER, log_path=os.path.join(top, "chromedriver.log"))
        self.driver = None
        try:
            self.driver = webdriver.Chrome(service=self.service, options=options)
        except Exception:
            self.stop()
            raise

    def ours(self):
        """Everything below chromedriver, everything naming our profile, and Chromium's orphans
        that this process adopted."""
        table = process_table()
        found = {pid for pid, (parent, name, command, _) in table.items()
                 if self.profile in command or (parent == os.getpid() and "chrom" in name)}
        todo = list(found) + ([self.service.process.pid] if self.service.process else [])
        while todo:
            parent = todo.pop()
            for pid, (ppid, _, _, _) in table.items():
                if ppid == parent and pid not in found:
                    found.add(pid)
                    todo.append(pid)
        return found

    def stop(self):
        before = self.ours()
        try:
            if self.driver:
                self.driver.quit()
        finally:
            self.service.stop()
            if self.service.process and self.service.process.poll() is None:
                os.kill(self.service.process.pid, signal.SIGKILL)
                self.service.process.wait()
            # Killing one may orphan another onto this process: repeat until none is left.
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                table = process_table()
                left = [pid for pid in before | self.ours()
                        if pid in table and "chrom" in table[pid][1]
                        and (table[pid][3] != "Z" or table[pid][0] == os.getpid())]
                if not left:
                    break
                for pid in left:
                    try:
                        os.kill(pid, signal.SIGKILL)
                        if table[pid][0] == os.getpid():
                            os.waitpid(pid, 0)
                    except (ProcessLookupError, ChildProcessError):
                        pass
            ctypes.CDLL(None).prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0)


def row(driver, name):
    """The texts of the list row named `name` by their cell classes (an empty dict when none is
    shown), its element as "element"."""
    for tr in driver.find_elements(By.CSS_SELECTOR, "#rows tr"):
        cells = {td.get_attribute("class").split()[0]: td for td in tr.find_elements(By.TAG_NAME, "td")}
        if cells["name"].text == name:
            return {key: td.text for key, td in cells.items()} | {"element": tr}
    return {}


def drive(driver, port, link, save, source):
    wait = WebDriverWait(driver, TIMEOUT, ignored_exceptions=[StaleElementReferenceException])
    # A phone's screen: the page must lay itself out for it (its viewport meta), not for a
    # desktop width shrunk down.
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": 375, "height": 667, "deviceScaleFactor": 2, "mobile": True})
    driver.get(f"http://127.0.0.1:{port}/transmission/web/")
    wait.until(lambda d: d.find_element(By.ID, "login").is_displayed())
    driver.find_element(By.ID, "login-user").send_keys("alice")
    driver.find_element(By.ID, "login-password").send_keys("wrong")
    driver.find_element(By.ID, "login-button").click()
    wait.until(lambda d: d.find_element(By.ID, "login-error").text)
    harness.check(not driver.find_element(By.ID, "app").is_displayed(), "a wrong password opens nothing")
    # The server makes the address wait after a failure; the page says so until the wait is over.
    def logged_in(d):
        if d.find_element(By.ID, "app").is_displayed():
            return True
        d.find_element(By.ID, "login-user").clear()
        d.find_element(By.ID, "login-user").send_keys("alice")
        d.find_element(By.ID, "login-password").send_keys("secret")
        d.find_element(By.ID, "login-button").click()
        return WebDriverWait(d, 5).until(lambda d: d.find_element(By.ID, "app").is_displayed()
                                         or d.find_element(By.ID, "login-error").text) is True
    wait.until(logged_in)

    cookies = {c["name"]: c for c in driver.get_cookies()}
    harness.check("velbrook_session" in cookies and cookies["velbrook_session"]["httpOnly"],
                  f"an HttpOnly session cookie: {cookies}")
    harness.check("velbrook_session" not in driver.execute_script("return document.cookie"),
                  "the page's scripts cannot read the session cookie")
    width = driver.execute_script("return [window.innerWidth, document.documentElement.scrollWidth]")
    harness.check(width[0] == 375 and width[1] <= width[0], f"laid out for 375 px, no sideways scroll: {width}")

    driver.find_element(By.ID, "magnet").send_keys(link)
    driver.find_element(By.ID, "add").click()
    wait.until(lambda d: row(d, "web.bin"))
    try:
        wait.until(lambda d: row(d, "web.bin").get("progress") == "100.0 %")
    except Exception:
        return f"the row did not reach 100 %: {row(driver, 'web.bin')}"
    shown = row(driver, "web.bin")
    for key in ("name", "progress", "state", "eta"):
        harness.check(shown["element"].find_element(By.CLASS_NAME, key).is_displayed(),
                      f"the {key} column shows on a phone")
    if not filecmp.cmp(os.path.join(source, "web.bin"), os.path.join(save, "web.bin"), shallow=False):
        return "the downloaded copy differs"

    shown["element"].click()
    wait.until(lambda d: d.find_element(By.ID, "details").is_displayed()
               and "web.bin" in d.find_element(By.ID, "files").text)
    wait.until(lambda d: d.find_element(By.ID, "stop").is_enabled())
    driver.find_element(By.ID, "stop").click()
    wait.until(lambda d: row(d, "web.bin").get("state") == "Stopped")

    driver.find_element(By.ID, "remove").click()
    wait.until(lambda d: d.find_element(By.ID, "remove-dialog").is_displayed())
    driver.find_element(By.ID, "remove-data").click()
    driver.find_element(By.ID, "remove-confirm").click()
    wait.until(lambda d: not row(d, "web.bin"))
    try:
        harness.wait_for(lambda: not os.path.exists(os.path.join(save, "web.bin")), 30, "")
    except TimeoutError:
        return "the data is still on disk after a removal with its data"
    # Refused requests (the 401 before the login, the 409 that hands out the session id) are
    # logged as failed loads; anything else, a script error or a blocked inline script or style
    # above all, is a fault of the page.
    errors = [e["message"] for e in driver.get_log("browser")
              if e["level"] == "SEVERE" and "Failed to load resource" not in e["message"]]
    harness.check(not errors, f"the console shows no errors: {errors}")
    return None


def main(procs, top):
    tracker = harness.Tracker(procs, top, compact=True)
    source, torrent, info_hash = harness.source_torrent(top, tracker, "web.bin", SIZE)
    seeder = harness.free_port()
    session, handle = harness.lt_seed(tracker, torrent, source, info_hash, seeder)
    link = f"magnet:?xt=urn:btih:{info_hash.hex()}&dn=web.bin&tr={tracker.url}"

    profile = harness.profile(os.path.join(top, "p-velbrook"), {"ListenPort": harness.free_port()})
    stored = subprocess.run([harness.CLI, "--profile", profile, "--set-rpc-password"],
                            input=b"alice\nsecret\n", capture_output=True, timeout=60)
    if stored.returncode != 0:
        return harness.fail(top, f"--set-rpc-password: {stored.stderr}")
    port = harness.free_port()
    save = os.path.join(top, "save")
    log = os.path.join(top, "velbrook.log")
    velbrook = procs.start([harness.CLI, "--profile", profile, "--save", save, "--rpc", str(port)], log)
    harness.wait_for(lambda: velbrook.poll() is not None or "remote control on" in open(log).read(),
                     60, "the remote control")
    if velbrook.poll() is not None:
        return harness.fail(top, "velbrook-cli ended", "velbrook.log")

    browser = None
    try:
        browser = Browser(top)
        why = drive(browser.driver, port, link, save, source)
    finally:
        if browser:
            browser.stop()
    if why or harness.failures:
        return harness.fail(top, why or f"{len(harness.failures)} checks failed", "velbrook.log")
    return harness.stopped(procs, velbrook, top)


if __name__ == "__main__":
    sys.exit(harness.run(main))
