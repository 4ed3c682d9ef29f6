#!/usr/bin/python3
"""The support page and the publisher's report in headless Chromium.

The page: a paste that arrives before its WebAssembly is ready is explained
once it is; real run logs, plain and mangled, give their outcome and advice in
#verdict. The report: charts drawn inline, nothing fetched from elsewhere,
tables sortable by their headings and readable with scripts off.
Usage: browser_test.py PAGE UPDLOG LOGS ACCESS_LOG WORK [SHOTS]
"""
import base64
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

import websocket

PAGE, UPDLOG, LOGS, ACCESS, WORK = sys.argv[1:6]
SHOTS = sys.argv[6] if len(sys.argv) > 6 else None

# Each real log and what its run did (as in the unit tests' table).
OUTCOMES = {
    "outdated_major": "launched", "current_minor_no": "launched", "no_internet": "launched",
    "site_down": "launched", "product_running": "stopped", "no_module": "stopped",
    "forged_module-first": "stopped", "closed_in_probe": "closed", "closed_at_confirm": "closed",
    "closed_at_press_ok": "closed", "closed_in_download": "closed", "shared_desktop": "launched",
    "virtualstore": "launched",
}
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL: " + what, file=sys.stderr)


class Tab:
    def __init__(self, url):
        self.ws = websocket.create_connection(url, timeout=60)
        self.next = 0

    def call(self, method, **params):
        self.next += 1
        self.ws.send(json.dumps({"id": self.next, "method": method, "params": params}))
        while True:
            msg = json.loads(self.ws.recv())
            if msg.get("id") == self.next:
                if "error" in msg:
                    raise RuntimeError(method + ": " + json.dumps(msg["error"]))
                return msg.get("result", {})

    def eval(self, expression):
        r = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in r:
            raise RuntimeError(expression[:80] + ": " + json.dumps(r["exceptionDetails"])[:400])
        return r["result"].get("value")

    def wait(self, expression, seconds=30):
        end = time.time() + seconds
        while time.time() < end:
            value = self.eval(expression)
            if value:
                return value
            time.sleep(0.1)
        return None

    def load(self, path):
        self.call("Page.navigate", url="file://" + os.path.abspath(path))
        self.wait("document.readyState === 'complete'")

    def shot(self, name):
        if not SHOTS:
            return
        os.makedirs(SHOTS, exist_ok=True)
        height = self.eval("Math.min(document.documentElement.scrollHeight, 2400)")
        self.call("Emulation.setDeviceMetricsOverride", width=1100, height=height, deviceScaleFactor=1, mobile=False)
        data = self.call("Page.captureScreenshot", format="png")["data"]
        with open(os.path.join(SHOTS, name), "wb") as f:
            f.write(base64.b64decode(data))


def paste(tab, text):
    tab.eval("(() => { const t = document.getElementById('paste'); t.value = %s;"
             " t.dispatchEvent(new Event('input')); })()" % json.dumps(text))
    return tab.eval("document.getElementById('verdict').innerText")


def mangle(text):
    # Quoted by a mail program, retyped by a phone.
    lines = ["> " + l.replace("...", "\u2026").replace("'", "\u2019").replace(" - ", " \u2013 ")
             for l in text.splitlines()]
    return "Hi, the update failed again \u2013 log below.\n\n" + "\n".join(lines) + "\n\nRunning Windows 11 Home 64-bit\n"


def main():
    profile = tempfile.mkdtemp(prefix="updlog-chromium-", dir=WORK)
    browser = subprocess.Popen(
        ["chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-extensions",
         "--remote-debugging-port=0", "--user-data-dir=" + profile, "about:blank"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        port_file = os.path.join(profile, "DevToolsActivePort")
        for _ in range(300):
            if os.path.exists(port_file) and open(port_file).read().count("\n") >= 1:
                break
            time.sleep(0.1)
        port = open(port_file).read().split("\n")[0]
        targets = json.load(urllib.request.urlopen("http://127.0.0.1:%s/json/list" % port))
        tab = Tab([t for t in targets if t["type"] == "page"][0]["webSocketDebuggerUrl"])
        tab.call("Page.enable")
        run_page(tab)
        run_report(tab)
    finally:
        browser.terminate()
        try:
            browser.wait(10)
        except subprocess.TimeoutExpired:
            browser.kill()
        shutil.rmtree(profile, ignore_errors=True)
    if failures:
        print("%d check(s) failed" % len(failures), file=sys.stderr)
        return 1
    print("page and report: all checks passed")
    return 0


def run_page(tab):
    early = open(os.path.join(LOGS, "no_module.log"), encoding="utf-8").read()
    # The paste goes in as soon as the document is parsed, before the
    # WebAssembly can be ready.
    script = tab.call("Page.addScriptToEvaluateOnNewDocument", source=(
        "document.addEventListener('DOMContentLoaded', () => {"
        " window.readyAtPaste = document.body.getAttribute('data-ready') === '1';"
        " const t = document.getElementById('paste'); t.value = %s;"
        " t.dispatchEvent(new Event('input')); });" % json.dumps(early)))
    tab.load(PAGE)
    verdict = tab.wait("document.body.getAttribute('data-ready') === '1' &&"
                       " document.getElementById('verdict').innerText")
    check(tab.eval("window.readyAtPaste") is False, "the early paste came after the page was ready: not tested")
    check(verdict is not None and "stopped" in verdict and "Tell the user: copy Stirpello.exe" in verdict,
          "early paste: %r" % verdict)
    tab.call("Page.removeScriptToEvaluateOnNewDocument", identifier=script["identifier"])

    for name, outcome in sorted(OUTCOMES.items()):
        text = open(os.path.join(LOGS, name + ".log"), encoding="utf-8").read()
        for how, pasted in (("as written", text), ("mangled", mangle(text))):
            verdict = paste(tab, pasted)
            first = verdict.split("\n")[0] if verdict else ""
            check(first.startswith("Run 1 of 1: " + outcome + ","), "%s, %s: %r" % (name, how, first))
            check("Tell the user: " in verdict, "%s, %s: no advice in %r" % (name, how, verdict))
            check("Unsure" not in verdict, "%s, %s: unsure: %r" % (name, how, verdict))
    reply = tab.eval("document.getElementById('reply').value")
    check(reply.startswith("Thank you for the log."), "reply: %r" % reply)
    run_page_state(tab)
    verdict = paste(tab, "Hello, I have a question about my licence.")
    check(verdict == "No run log found in the paste.", "no run: %r" % verdict)
    tab.call("Page.navigate", url="about:blank")
    tab.load(PAGE + "#sample")
    verdict = tab.wait("document.body.getAttribute('data-ready') === '1' &&"
                       " document.getElementById('verdict').innerText")
    check(verdict is not None and "launched" in verdict, "sample: %r" % verdict)
    tab.shot("updlog-page.png")


def state(tab):
    return tab.eval("({verdict: document.getElementById('verdict').innerText,"
                    " reply: document.getElementById('reply').value,"
                    " details: document.getElementById('details').textContent,"
                    " paste: document.getElementById('paste').value,"
                    " copy: !document.getElementById('copy').disabled})")


def open_file(tab, path):
    doc = tab.call("DOM.getDocument")
    node = tab.call("DOM.querySelector", nodeId=doc["root"]["nodeId"], selector="#file")
    tab.call("DOM.setFileInputFiles", files=[os.path.abspath(path)], nodeId=node["nodeId"])
    return tab.wait("!document.getElementById('verdict').innerText.startsWith('Reading')"
                    " && document.getElementById('verdict').innerText")


def run_page_state(tab):
    """Every input replaces the whole state; the verdict box says why; copying says so."""
    site = open(os.path.join(LOGS, "site_down.log"), encoding="utf-8").read()
    no_module = os.path.join(LOGS, "no_module.log")
    paste(tab, site)
    s = state(tab)
    check("Why: the internet works but the Stirpello site did not answer" in s["verdict"], "no why: %r" % s["verdict"])
    check(s["copy"] and s["details"], "a verdict without its reply or details: %r" % s)
    # Too large after a real log: nothing of the real log's answer stays.
    paste(tab, "x" * (5 << 20))
    s = state(tab)
    check(s["verdict"].startswith("The paste is larger than 4 MB"), "oversize: %r" % s["verdict"][:80])
    check(s["reply"] == "" and s["details"] == "" and not s["copy"], "oversize kept the last answer: %r" % s)
    # A file opened while the box holds another log: the file's verdict, alone.
    paste(tab, site)
    verdict = open_file(tab, no_module)
    s = state(tab)
    check(verdict is not None and verdict.startswith("Run 1 of 1: stopped"), "file: %r" % verdict)
    check(s["paste"] == "", "the box still holds the other log beside the file's verdict")
    check("Explaining the file no_module.log" in tab.eval("document.getElementById('source').innerText"),
          "the file is not named")
    # One keystroke afterwards is that keystroke, not the old paste again.
    verdict = paste(tab, "x")
    check(verdict == "No run log found in the paste.", "after the file, a keystroke: %r" % verdict)
    check(tab.eval("document.getElementById('file').value") == "", "the file stays picked after typing")
    verdict = paste(tab, "")
    check(verdict == "Waiting for a paste.", "empty box: %r" % verdict)
    check(not state(tab)["copy"], "copy enabled with no reply")
    # Copy: the reply is selected and the page says what happened.
    paste(tab, site)
    tab.eval("document.getElementById('copy').click()")
    said = tab.wait("document.getElementById('copied').innerText")
    check(said in ("Copied.", "Press Ctrl+C to copy the selected reply."), "copy feedback: %r" % said)
    # Two runs pasted newest first, as a mail reply quotes them: the verdict
    # is on the run that started last, and the other is named under it.
    newer = open(os.path.join(LOGS, "no_module.log"), encoding="utf-8").read()
    older = site.replace("12/11/2026 12:10:11 AM", "12/10/2026 9:15:00 PM")
    verdict = paste(tab, newer + "\n" + older)
    check(verdict.startswith("Run 1 of 2: stopped"), "newest first: %r" % verdict)
    check("Other runs: run 2 (started 12/10/2026 9:15:00 PM): launched" in verdict, "other runs: %r" % verdict)
    # Labels, the version, dark mode.
    labels = tab.eval("[...document.querySelectorAll('label')].map(l => l.htmlFor).join(' ')")
    check("paste" in labels and "reply" in labels, "labels: %r" % labels)
    version = tab.eval("document.getElementById('version').innerText")
    check(len(version.split(".")) == 4 and all(p.isdigit() for p in version.split(".")), "version: %r" % version)
    background = tab.eval("getComputedStyle(document.body).backgroundColor")
    tab.call("Emulation.setEmulatedMedia", features=[{"name": "prefers-color-scheme", "value": "dark"}])
    dark = tab.eval("getComputedStyle(document.body).backgroundColor")
    tab.call("Emulation.setEmulatedMedia", features=[{"name": "prefers-color-scheme", "value": "light"}])
    check(background != dark and brightness(dark) < 80, "dark mode: %r, then %r" % (background, dark))


def brightness(css):
    parts = [int(p) for p in css[css.index("(") + 1:css.index(")")].split(",")[:3]]
    return sum(parts) / 3


def month_of_traffic(path):
    """Five weeks of catalogue requests, with the runs counted here apart."""
    r = random.Random(23)
    trails = ["1OK"] * 6 + ["1OK-GDW", "UMX-1OK", "BLK", "INF-BLK", "IER-1OK", "ENT"]
    runs = 0
    with open(path, "w") as f:
        for day in range(1, 36):
            month, dom = (11, day) if day <= 30 else (12, day - 30)
            # A site outage in the third week: GDW climbs.
            weights = 3 if 14 <= day <= 20 else 0
            for _ in range(r.randint(40, 90)):
                # Two releases: the newer one (from the third week on) fixed
                # the settings fault IER.
                utility = "15003" if r.random() < (day - 10) / 15 else "15002"
                trail = r.choice(trails + ["1OK-GDW"] * weights + ["IER-1OK"] * (2 if utility == "15002" else 0))
                f.write('10.%d.%d.%d - - [%02d/%s/2026:%02d:%02d:00 +0100] "GET /updates/SP%s.UPD?from=utility'
                        '&updating=%s&err=%s-%s HTTP/1.1" 200 512 "-" "Mozilla/3.0"\n' % (
                            r.randint(0, 255), r.randint(0, 255), r.randint(1, 254), dom,
                            "Nov" if month == 11 else "Dec", r.randint(0, 23), r.randint(0, 59),
                            *r.choice([("109", "1095"), ("109", "1094"), ("108", "1082")]), utility, trail))
                runs += 1
            f.write('10.0.0.1 - - [%02d/%s/2026:12:00:00 +0100] "GET /updates/SP110.UPD?from=utility&updating=1101'
                    '&err=15003-1OK HTTP/1.1" 404 0 "-" "-"\n' % (dom, "Nov" if month == 11 else "Dec"))
            runs += 1
    return runs


def run_report(tab):
    report = os.path.join(WORK, "report.html")
    subprocess.run([UPDLOG, "trails", "--html", report, ACCESS], check=True)
    tab.load(report)
    summary = tab.eval("document.getElementById('summary').innerText")
    check(summary.startswith("5 runs"), "report of the fixture: %r" % summary)

    month = os.path.join(WORK, "month.log")
    runs = month_of_traffic(month)
    subprocess.run([UPDLOG, "trails", "--html", report, month], check=True)
    tab.load(report)
    charts = tab.eval("document.querySelectorAll('svg').length")
    check(charts >= 4, "report: %s charts" % charts)
    bars = tab.eval("document.querySelectorAll('svg rect').length")
    check(bars >= 3, "report: %s bars" % bars)
    check(tab.eval("[...document.scripts].filter(s => !s.src).length") == 1, "report: not one inline script")
    check(tab.eval("performance.getEntriesByType('resource').length") == 0, "report: it fetched something")
    summary = tab.eval("document.getElementById('summary').innerText")
    check(summary.startswith("%d runs" % runs), "report summary: %r, %d runs written" % (summary, runs))
    weeks = tab.eval("[...document.querySelectorAll('svg polyline')].length")
    check(weeks >= 5, "report: %s lines in the week chart" % weeks)
    unnamed = tab.eval("[...document.querySelectorAll('svg')].filter(s => !s.getAttribute('aria-labelledby')"
                       " || !document.getElementById(s.getAttribute('aria-labelledby').split(' ')[0])).length")
    check(unnamed == 0, "report: %s charts without an accessible name" % unnamed)
    check("SP110.UPD answered 404" in tab.eval("document.body.innerText"), "report: the catalogue error is not flagged")
    headline = tab.eval("document.getElementById('headline').innerText")
    check(headline.startswith("2026-W49 (partial week, 6 days) against 2026-W48"), "headline: %r" % headline)
    # A 400 px window: nothing wider than the window but the tables' own scrolling.
    tab.call("Emulation.setDeviceMetricsOverride", width=400, height=800, deviceScaleFactor=1, mobile=False)
    wide = tab.eval("document.documentElement.scrollWidth")
    check(wide <= 400, "report at 400 px is %s px wide" % wide)
    tab.call("Emulation.setEmulatedMedia", features=[{"name": "prefers-color-scheme", "value": "dark"}])
    dark = tab.eval("getComputedStyle(document.body).backgroundColor")
    tab.call("Emulation.setEmulatedMedia", features=[{"name": "prefers-color-scheme", "value": "light"}])
    check(brightness(dark) < 80, "report in dark mode: %r" % dark)
    tab.call("Emulation.clearDeviceMetricsOverride")
    tab.shot("updlog-report.png")
    run_report_sorting(tab, report)


def column(tab, caption, index):
    return tab.eval("(() => { const t = [...document.querySelectorAll('table')].find(t =>"
                    " t.caption.firstChild.textContent === %s);"
                    " return [...t.tBodies[0].rows].map(r => r.cells[%d].textContent); })()" % (json.dumps(caption), index))


def heading(tab, caption, index):
    return ("[...document.querySelectorAll('table')].find(t => t.caption.firstChild.textContent === %s)"
            ".tHead.rows[0].cells[%d]" % (json.dumps(caption), index))


def press(tab, key, code, text):
    for kind in ("keyDown", "keyUp"):
        tab.call("Input.dispatchKeyEvent", type=kind, key=key, code=code, windowsVirtualKeyCode=ord(text) if
                 text != "\r" else 13, text=text if kind == "keyDown" else "")


def run_report_sorting(tab, report):
    """Headings sort their column by click and by keyboard; scripts off, the report's own order."""
    percent = lambda c: float(c.rstrip("%"))
    # The code table comes by runs, most first: its shares ("85%", "6.4%")
    # would sort otherwise as words.
    served = column(tab, "Codes", 2)
    check(len(served) >= 5 and sorted(served, key=percent, reverse=True) == served, "codes served: %r" % served)
    check(sorted(served) != sorted(served, key=percent), "codes: the shares sort alike as words; no test")
    share = heading(tab, "Codes", 2)
    check(tab.eval(share + ".getAttribute('aria-sort')") is None, "aria-sort before sorting")
    tab.eval(share + ".querySelector('button').click()")
    check(column(tab, "Codes", 2) == sorted(served, key=percent), "share, one click: %r" % column(tab, "Codes", 2))
    check(tab.eval(share + ".getAttribute('aria-sort')") == "ascending", "share, one click: aria-sort")
    tab.eval(share + ".querySelector('button').click()")
    check(column(tab, "Codes", 2) == sorted(served, key=percent, reverse=True), "share, two clicks: %r"
          % column(tab, "Codes", 2))
    check(tab.eval(share + ".getAttribute('aria-sort')") == "descending", "share, two clicks: aria-sort")
    # Another heading takes the mark; rows move whole.
    codes = dict(zip(column(tab, "Codes", 0), column(tab, "Codes", 1)))
    tab.eval(heading(tab, "Codes", 1) + ".querySelector('button').click()")
    check(tab.eval(share + ".getAttribute('aria-sort')") is None, "share keeps aria-sort after runs is sorted")
    check(dict(zip(column(tab, "Codes", 0), column(tab, "Codes", 1))) == codes, "a sort split rows")

    # The keyboard: Enter, then Space, on the focused heading. Days sort as
    # dates, partial days ("2026-12-05 (partial)") among them.
    day = heading(tab, "Runs by day", 0)
    served = column(tab, "Runs by day", 0)
    tab.eval(day + ".querySelector('button').focus()")
    press(tab, "Enter", "Enter", "\r")
    check(column(tab, "Runs by day", 0) == sorted(served) and tab.eval(day + ".getAttribute('aria-sort')") == "ascending",
          "days after Enter: %r" % column(tab, "Runs by day", 0)[:3])
    press(tab, " ", "Space", " ")
    check(column(tab, "Runs by day", 0) == sorted(served, reverse=True), "days after Space: %r"
          % column(tab, "Runs by day", 0)[:3])

    # Figures as people write them: separators, "about", signs, none.
    written = ["1,200", "about 95", "~1,050.5", "-", "7", "+2.5 points", "-3.0 points", "12,000", "8%"]
    runs = heading(tab, "Runs by day", 1)
    tab.eval("(() => { const rows = %s.closest('table').tBodies[0].rows; const w = %s;"
             " for (let i = 0; i < rows.length; ++i) rows[i].cells[1].textContent = w[i %% w.length]; })()"
             % (heading(tab, "Runs by day", 0), json.dumps(written)))
    tab.eval(runs + ".querySelector('button').click()")
    got = column(tab, "Runs by day", 1)
    want = ["-3.0 points", "+2.5 points", "7", "8%", "about 95", "~1,050.5", "1,200", "12,000"]
    distinct = [c for i, c in enumerate(got) if c not in got[:i]]
    check(distinct == want + ["-"], "written figures: %r" % distinct)

    # Scripts off, as in a mail program: the report's order, no buttons.
    tab.call("Emulation.setScriptExecutionDisabled", value=True)
    tab.load(report)
    check(tab.eval("document.querySelectorAll('th button').length") == 0, "scripts off: buttons")
    served = column(tab, "Codes", 2)
    check(sorted(served, key=percent, reverse=True) == served, "scripts off, codes: %r" % served)
    check(tab.eval("document.getElementById('summary').innerText").endswith("distinct clients made the runs."),
          "scripts off: the summary")
    tab.call("Emulation.setScriptExecutionDisabled", value=False)


if __name__ == "__main__":
    sys.exit(main())
