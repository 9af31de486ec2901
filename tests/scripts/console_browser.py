#!/usr/bin/python3
"""The console flows in one headless Chromium session; started by test_console_browser.sh, which sets up
the server, the operator accounts (alice, bob) and CONSOLE_RUN_SHELL (runs the shell under Wine)."""
import datetime
import hashlib
import os
import re
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

BASE = os.environ["CONSOLE_BASE"]
DB = os.environ["CONSOLE_DB"]
SERVER_LOG = os.environ["CONSOLE_SERVER_LOG"]
RUN_SHELL = os.environ["CONSOLE_RUN_SHELL"]
SOURCE = os.environ["CONSOLE_SOURCE"]
SHOT = os.environ["CONSOLE_SHOT"]
SHOT_RU = os.environ["CONSOLE_SHOT_RU"]
F4 = "Ваше железо заблокированно! Обратитесь в службу поддержки если вы считаете что это ошибка!"
failures = 0
timings = []
# Dates as the console writes them, written out here (not from the machine's locale).
MONTHS_EN = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
MONTHS_RU = ["янв.", "февр.", "мар.", "апр.", "мая", "июн.", "июл.", "авг.", "сент.", "окт.", "нояб.", "дек."]


def day_en(d):
    return "%d %s %d" % (d.day, MONTHS_EN[d.month - 1], d.year)


def day_ru(d):
    return "%d %s %d г." % (d.day, MONTHS_RU[d.month - 1], d.year)


def check(name, ok, detail=""):
    global failures
    print(("ok   %s" % name) if ok else ("FAIL %s: %s" % (name, str(detail)[:1500])), flush=True)
    failures += 0 if ok else 1


def run_shell(name):
    """One run of the shell; its launch_and_watch output (message boxes, exit code)."""
    started = time.monotonic()
    out = os.path.join(tempfile.gettempdir(), "console-shell-%d-%s.out" % (os.getpid(), name))
    subprocess.run(["bash", RUN_SHELL, out], timeout=260)
    timings.append((name, time.monotonic() - started))
    with open(out, encoding="utf-8", errors="replace") as f:
        text = f.read().replace("\r", "")
    os.remove(out)
    return text


def went_on(output):
    return "exit code 0" in output and "[message box]" not in output


def tool(*args):
    return subprocess.run(["php", os.path.join(SOURCE, "server/bin/bans.php")] + list(args), capture_output=True,
                          text=True).stdout.strip()


def verdict(hwid):
    sig = tool("sign", hwid)
    with urllib.request.urlopen("%s/launcher/hwid_ban.php?hwid=%s&sig=%s" % (BASE, hwid, sig)) as answer:
        return answer.read().decode()


def path_of(url):
    return re.sub(r"^https?://[^/]+", "", url)


# ---- The shell checks in (a player's first run), and a few other devices for a fuller list --------------
first = run_shell("first")
check("shell, first run: goes on to the client", went_on(first), first)
with open(SERVER_LOG) as f:
    hwids = re.findall(r"hwid_ban\.php\?hwid=([0-9a-f]{64})&", f.read())
check("shell, first run: its check reached the server", len(hwids) >= 1, "no check in the server log")
hwid = hwids[-1] if hwids else "0" * 64
others = [hashlib.sha256(b"other device %d" % n).hexdigest() for n in range(3)]
for n, other in enumerate(others):
    for _ in range(n + 1):
        verdict(other[:64])
tool("ban", others[2][:64], "ban evasion, second account")
# As if they had checked in from elsewhere, one, two and three days ago (first a week earlier).
addresses = ["198.51.100.23", "198.51.100.77", "203.0.113.9"]
with sqlite3.connect(DB) as db:
    for n, other in enumerate(others):
        seen = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(days=n + 1, hours=3 * n)
        db.execute("UPDATE devices SET first_seen = ?, last_seen = ?, last_address = ? WHERE hwid = ?",
                   ((seen - datetime.timedelta(days=7)).strftime("%Y-%m-%dT%H:%M:%SZ"),
                    seen.strftime("%Y-%m-%dT%H:%M:%SZ"), addresses[n], other))

# Failure reports: today (at the day's first seconds, so they are today whenever the test runs) 3 of
# java17_failed, 1 of watchdog_timeout and 5 of unexpected_error, one of them trying to be markup; and a few on
# earlier days. The report table comes with the report endpoint's migration; where the schema has none yet,
# the same table is made here (a stand-in until then).
now = datetime.datetime.now(datetime.timezone.utc)
today_start = now.strftime("%Y-%m-%dT00:00:0%%dZ")
with sqlite3.connect(DB) as db:
    db.execute("CREATE TABLE IF NOT EXISTS failure_reports (id INTEGER PRIMARY KEY AUTOINCREMENT, hwid TEXT NOT NULL, "
               "code TEXT NOT NULL, shell_version TEXT NOT NULL, windows_version TEXT NOT NULL, box_text TEXT NOT NULL, "
               "log_text TEXT NOT NULL, received_at TEXT NOT NULL)")
    reports = [("java17_failed", hwid, today_start % 1)] * 3 + [("watchdog_timeout", others[0], today_start % 2)] \
        + [("unexpected_error", others[1], today_start % 3)] * 5
    for back in range(1, 12):
        earlier = (now - datetime.timedelta(days=back)).strftime("%Y-%m-%dT10:00:00Z")
        reports += [("launcher_download_failed", others[back % 3], earlier)] * (back % 4) + [("java17_failed", hwid, earlier)]
    for code, device, at in reports:
        db.execute("INSERT INTO failure_reports (hwid, code, shell_version, windows_version, box_text, log_text, received_at) "
                   "VALUES (?, ?, '1.4.0', '10.0.19045', ?, ?, ?)", (device, code,
                   "Не удалось скачать и распаковать Java 17.\n\nПроверьте интернет-соединение и перезапустите лаунчер.",
                   "[12:00:01] Буду пробовать Java: %USERPROFILE%\\AppData\\Java17\n[12:00:02] ОШИБКА", at))
    db.execute("UPDATE failure_reports SET box_text = '<script>document.title=\"owned\"</script> box', "
               "log_text = '<b>bold</b>' WHERE id = (SELECT MAX(id) FROM failure_reports WHERE code = 'unexpected_error')")
    report_total = db.execute("SELECT COUNT(*) FROM failure_reports").fetchone()[0]

options = webdriver.ChromeOptions()
# The browser's language is set, not the machine's: it asks for English unless a check says otherwise.
for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1100,760", "--lang=en-US"):
    options.add_argument(argument)
options.add_experimental_option("prefs", {"intl.accept_languages": "en-US,en"})
browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
browser.set_page_load_timeout(60)


def get(path):
    browser.get(BASE + path)


def submit(button):
    """Clicks a form's button and waits until the next page has replaced this one and is loaded: the
    old page carries a mark that a new document does not have."""
    browser.execute_script("window.qmOldPage = true")

    def next_page(_):
        try:
            return browser.execute_script("return !window.qmOldPage && document.readyState === 'complete'")
        except WebDriverException:  # asked while the documents change over
            return False
    button.click()
    WebDriverWait(browser, 30, poll_frequency=0.05).until(next_page)


def text():
    return browser.find_element(By.TAG_NAME, "body").text


def sign_in(name, password):
    get("/admin/signin")
    browser.find_element(By.NAME, "name").send_keys(name)
    browser.find_element(By.NAME, "password").send_keys(password)
    submit(browser.find_element(By.CSS_SELECTOR, "main form button[type=submit]"))


def message():
    found = browser.find_elements(By.ID, "message")
    return found[0].text if found else ""


def ban_state():
    return browser.find_element(By.ID, "ban-state").text


def accept_language(value):
    """The Accept-Language header the browser sends from now on."""
    agent = browser.execute_script("return navigator.userAgent")
    browser.execute_cdp_cmd("Emulation.setUserAgentOverride", {"userAgent": agent, "acceptLanguage": value})


def page_language():
    return browser.find_element(By.TAG_NAME, "html").get_attribute("lang")


def heading():
    return browser.find_element(By.TAG_NAME, "h1").text


def bar_titles():
    return [t.get_attribute("textContent") for t in browser.find_elements(By.CSS_SELECTOR, "#failures-chart rect title")]


try:
    # ---- No data without a session ----------------------------------------------------------------------
    for page in ("/admin/", "/admin/devices", "/admin/device?hwid=" + hwid, "/admin/bans", "/admin/audit"):
        get(page)
        check("no session: %s redirects to sign-in" % page, path_of(browser.current_url).startswith("/admin/signin")
              and "<table" not in browser.page_source and "ban-state" not in browser.page_source, browser.current_url)

    # ---- Sign-in: refused, throttled, accepted ------------------------------------------------------------
    sign_in("alice", "not-her-password")
    check("wrong password: refused", message() == "Wrong name or password."
          and path_of(browser.current_url).startswith("/admin/signin"), text())
    for _ in range(5):
        sign_in("bob", "guessing-%d" % _)
    sign_in("bob", "bobs-long-password")
    check("five wrong passwords: even the right one is throttled",
          message() == "Too many failed sign-ins. Wait 15 minutes and try again.", text())
    get("/admin/devices")  # to sign-in, then back here
    browser.find_element(By.NAME, "name").send_keys("alice")
    browser.find_element(By.NAME, "password").send_keys("correct-horse-battery")
    submit(browser.find_element(By.CSS_SELECTOR, "main form button[type=submit]"))
    check("sign in: back on the page asked for", path_of(browser.current_url) == "/admin/devices",
          browser.current_url)
    cookie = browser.get_cookie("qm_session") or {}
    check("session cookie: Secure, HttpOnly, SameSite=Strict",
          cookie.get("secure") is True and cookie.get("httpOnly") is True and cookie.get("sameSite") == "Strict",
          cookie)

    # ---- Find the shell's device ------------------------------------------------------------------------
    get("/admin/devices?q=" + hwid[:10])
    rows = browser.find_elements(By.CSS_SELECTOR, "#devices tbody tr")
    check("search by fingerprint prefix: the shell's device", len(rows) == 1 and hwid[:16] in rows[0].text
          and "not banned" in rows[0].text, [r.text for r in rows])
    get("/admin/devices?q=127.0.0.1")
    listed = [a.get_attribute("title") for a in browser.find_elements(By.CSS_SELECTOR, "#devices a.hwid")]
    check("search by address: the shell's device", listed == [hwid], listed)
    get("/admin/devices?q=198.51.100.")
    listed = [a.get_attribute("title") for a in browser.find_elements(By.CSS_SELECTOR, "#devices a.hwid")]
    check("search by address prefix: the two devices of that network", listed == others[:2], listed)
    get("/admin/devices")
    listed = [a.get_attribute("title") for a in browser.find_elements(By.CSS_SELECTOR, "#devices a.hwid")]
    check("device list: last seen, newest first", listed == [hwid] + others, listed)
    get("/admin/devices?order=oldest")
    listed = [a.get_attribute("title") for a in browser.find_elements(By.CSS_SELECTOR, "#devices a.hwid")]
    check("device list: last seen, oldest first", listed == list(reversed(others)) + [hwid], listed)
    get("/admin/devices")
    rows = [r.text for r in browser.find_elements(By.CSS_SELECTOR, "#devices tbody tr")]
    check("device list: each row shows its ban state", len(rows) == 4 and rows[3].endswith(" banned")
          and all(r.endswith("not banned") for r in rows[:3]), rows)
    browser.save_screenshot(SHOT)

    # ---- Ban with a reason -> the shell's next run gets the ban box; lift -> it goes on ----------------------
    get("/admin/devices?q=" + hwid[:10])
    submit(browser.find_element(By.CSS_SELECTOR, "#devices a.hwid"))
    form = browser.find_element(By.ID, "ban-form")
    form.find_element(By.NAME, "reason").send_keys("aimbot in ranked <b>")
    submit(form.find_element(By.ID, "ban"))
    check("ban: the device page shows it", ban_state() == "banned" and "aimbot in ranked <b>" in text(), text())
    banned_run = run_shell("banned")
    check("ban: the shell's next run gets the ban box", F4 in banned_run and "exit code 0" in banned_run, banned_run)
    submit(browser.find_element(By.ID, "lift"))
    check("lift: the device page shows it", ban_state() == "not banned", text())
    lifted_run = run_shell("lifted")
    check("lift: the shell's next run goes on", went_on(lifted_run), lifted_run)

    # ---- A form without its CSRF token is refused -------------------------------------------------------
    browser.execute_script("document.querySelector('#ban-form input[name=csrf]').remove()")
    form = browser.find_element(By.ID, "ban-form")
    form.find_element(By.NAME, "reason").send_keys("forged")
    submit(form.find_element(By.ID, "ban"))
    check("no CSRF token: refused", browser.title.startswith("Form refused"), browser.title)
    check("no CSRF token: nothing banned", tool("check", hwid) == "not banned", tool("check", hwid))

    # ---- A temporary ban, then the same ban expired -------------------------------------------------------
    get("/admin/device?hwid=" + hwid)
    form = browser.find_element(By.ID, "ban-form")
    form.find_element(By.NAME, "reason").send_keys("one day for toxic chat")
    form.find_element(By.CSS_SELECTOR, "input[name=length][value=until]").click()
    tomorrow = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=1)
    until = browser.find_element(By.NAME, "until")
    browser.execute_script("arguments[0].value = arguments[1]", until, tomorrow.strftime("%Y-%m-%dT%H:%M:%S"))
    submit(form.find_element(By.ID, "ban"))
    check("temporary ban: shown with its end", ban_state().startswith("banned until %s, " % day_en(tomorrow)),
          ban_state())
    check("temporary ban: the endpoint answers banned", verdict(hwid) == '{"banned":true}', verdict(hwid))
    # The day passes: the end moves into the past (as time would move it).
    with sqlite3.connect(DB) as db:
        db.execute("UPDATE hwid_bans SET expires_at = '2020-01-01T00:00:00Z' WHERE hwid = ?", (hwid,))
    browser.refresh()
    check("expired ban: shown as expired", ban_state() == "expired 1 Jan 2020, 00:00", ban_state())
    check("expired ban: the endpoint answers not banned", verdict(hwid) == '{"banned":false}', verdict(hwid))
    check("expired ban: the admin command agrees", tool("check", hwid).startswith("not banned (the ban expired"),
          tool("check", hwid))
    expired_run = run_shell("expired")
    check("expired ban: the shell goes on", went_on(expired_run), expired_run)
    get("/admin/bans")
    rows = [r.text for r in browser.find_elements(By.CSS_SELECTOR, "#bans tbody tr")]
    check("ban list: the expired ban with its reason and operator",
          any("expired" in r and "one day for toxic chat" in r and "alice" in r for r in rows), rows)

    # ---- The audit shows every change ---------------------------------------------------------------------
    get("/admin/audit")
    rows = [r.text for r in browser.find_elements(By.CSS_SELECTOR, "#audit tbody tr")]
    mine = [r for r in rows if r.split(" ")[4:5] == ["alice"]]  # when ("9 Dec 2026, 14:05"), operator, ...
    check("audit: the ban, the lift and the temporary ban by alice, newest first",
          len(mine) == 3 and " ban " in mine[0] and "until" in mine[0] and " lift " in mine[1]
          and "aimbot in ranked" in mine[1] and " ban " in mine[2], rows)
    check("audit: the admin command's changes too", any("shell:" in r and "operator alice" in r for r in rows)
          and any("shell:" in r and "ban evasion" in r for r in rows), rows)

    # ---- The overview's chart: today holds every check -----------------------------------------------------
    get("/admin/")
    bars = browser.find_elements(By.CSS_SELECTOR, "svg.chart rect")
    today = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d")
    with sqlite3.connect(DB) as db:
        checks_today = db.execute("SELECT SUM(checks) FROM device_days WHERE day = ?", (today,)).fetchone()[0]
    last = bars[-1].find_element(By.TAG_NAME, "title").get_attribute("textContent") if bars else ""
    check("overview: 30 bars, the last one today's checks", len(bars) == 30
          and last == "%s: %s checks" % (day_en(now), format(checks_today, ",")) and float(bars[-1].get_attribute("height")) > 0,
          (len(bars), last, checks_today))
    with sqlite3.connect(DB) as db:
        day_reports = db.execute("SELECT COUNT(*) FROM failure_reports WHERE received_at >= ?", (
            (now - datetime.timedelta(hours=24)).strftime("%Y-%m-%dT%H:%M:%SZ"),)).fetchone()[0]
    stat = browser.find_element(By.ID, "stat-failures").text
    check("overview: the failure reports of the last 24 hours beside the checks",
          stat == "%d failure reports in the last 24 hours" % day_reports, (stat, day_reports))

    # ---- The failures page and its chart, in English ---------------------------------------------------------
    submit(browser.find_element(By.ID, "stat-failures").find_element(By.TAG_NAME, "a"))
    titles = bar_titles()
    today_en = day_en(now)
    check("failures: today's bar, one part per code, with titles", sorted(t for t in titles if t.startswith(today_en + ",")) == [
        today_en + ", java17_failed (Java 17 could not be prepared): 3 reports",
        today_en + ", unexpected_error (unexpected error): 5 reports",
        today_en + ", watchdog_timeout (launcher hung (time limit)): 1 report"], titles)
    legend = [li.text for li in browser.find_elements(By.CSS_SELECTOR, "#failures-legend li")]
    check("failures: a legend entry per code, most reports first", legend[:2] == ["launcher_download_failed launcher download failed",
          "java17_failed Java 17 could not be prepared"]
          and len(legend) == 4, legend)
    cards = browser.find_elements(By.CSS_SELECTOR, "#reports article")
    check("failures: the latest reports, 20 to a page", len(cards) == 20 and "Page 1 of 2 (%d reports)" % report_total in text(),
          (len(cards), text()[-300:]))
    check("failures: a report's markup shown as text, never run", browser.title.startswith("Failures")
          and '<script>document.title="owned"</script> box' in text(), browser.title)
    browser.find_element(By.CSS_SELECTOR, "#failures-filter select[name=code] option[value=watchdog_timeout]").click()
    submit(browser.find_element(By.CSS_SELECTOR, "#failures-filter button"))
    cards = browser.find_elements(By.CSS_SELECTOR, "#reports article")
    check("failures: filtered by code", path_of(browser.current_url).startswith("/admin/failures?code=watchdog")
          and len(cards) == 1 and "watchdog" in cards[0].text, [c.text for c in cards])

    # ---- The language: the browser's, then the switch, kept in a cookie ------------------------------------
    accept_language("ru-RU,ru;q=0.9,en;q=0.8")
    get("/admin/failures")
    check("Russian preferred by the browser: the page is Russian", page_language() == "ru" and heading() == "Сбои", heading())
    titles = bar_titles()
    today_ru = day_ru(now)
    check("failures in Russian: dates and plural forms in the chart", sorted(t for t in titles if t.startswith(today_ru + ",")) == [
        today_ru + ", java17_failed (не удалось подготовить Java 17): 3 отчёта",
        today_ru + ", unexpected_error (непредвиденная ошибка): 5 отчётов",
        today_ru + ", watchdog_timeout (лаунчер завис (общий таймаут)): 1 отчёт"], titles)
    check("failures in Russian: the paging line", report_total == 38 and "Страница 1 из 2 (38 отчётов)" in text(),
          (report_total, text()[-200:]))
    submit(browser.find_element(By.ID, "lang-en"))
    check("switch to EN: the same page in English", page_language() == "en" and heading() == "Failures"
          and path_of(browser.current_url) == "/admin/failures", (heading(), browser.current_url))
    cookie = browser.get_cookie("qm_lang") or {}
    check("switch: kept in the cookie qm_lang (SameSite=Lax)", cookie.get("value") == "en" and cookie.get("sameSite") == "Lax",
          cookie)
    submit(browser.find_element(By.CSS_SELECTOR, "header nav a[href='/admin/devices']"))
    check("switch: the next page stays English, over the browser's Russian", page_language() == "en"
          and heading() == "Devices", heading())
    accept_language("en-US,en;q=0.9")
    submit(browser.find_element(By.ID, "lang-ru"))
    check("switch to RU: the page in Russian", page_language() == "ru" and heading() == "Устройства", heading())
    submit(browser.find_element(By.CSS_SELECTOR, "header nav a[href='/admin/failures']"))
    check("switch: the next page stays Russian, over the browser's English", page_language() == "ru"
          and heading() == "Сбои" and "Последние отчёты" in text(), heading())
    browser.save_screenshot(SHOT_RU)
    get("/admin/device?hwid=" + hwid)
    rows = browser.find_elements(By.CSS_SELECTOR, "#device-reports tbody tr")
    check("device page in Russian: its failure reports", len(rows) == 10 and "java17_failed" in rows[0].text
          and browser.find_element(By.ID, "device-failures").text.startswith("Все отчёты о сбоях этого устройства"),
          [r.text for r in rows])
    submit(browser.find_element(By.ID, "lang-en"))
    check("back to English", page_language() == "en" and heading() == "Device", heading())

    # ---- On a phone: no page-wide sideways scrolling -----------------------------------------------------
    browser.set_window_size(390, 844)
    for page in ("/admin/devices", "/admin/device?hwid=" + hwid, "/admin/", "/admin/failures"):
        get(page)
        wide = browser.execute_script("return document.documentElement.scrollWidth - window.innerWidth")
        check("phone width: %s fits" % page, wide <= 0, "%d px too wide" % wide)

    # ---- Sign out: the session is gone ----------------------------------------------------------------
    browser.set_window_size(1100, 760)
    get("/admin/")
    submit(browser.find_element(By.CSS_SELECTOR, "nav button"))
    get("/admin/devices")
    check("signed out: back to sign-in", path_of(browser.current_url).startswith("/admin/signin"), browser.current_url)
except WebDriverException as error:
    check("browser", False, error)
finally:
    browser.quit()

print("shell runs: " + ", ".join("%s %.1f s" % t for t in timings))
print("all checks passed" if failures == 0 else "%d check(s) failed" % failures)
sys.exit(1 if failures else 0)
