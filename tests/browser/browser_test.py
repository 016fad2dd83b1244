#!/usr/bin/env python3
"""A real browser page drives the virtual display through the bridge.

    browser_test.py QELMAR_SERVE [QELMAR]

Port 1 is a pseudo-terminal. Headless Chromium opens page.html from
http://localhost:P, an origin the bridge allows; the page loads the bridge's
client.js, makes the ALLOWED calls and posts what they resolved to, then opens
the same page from http://127.0.0.1:P, which the bridge does not allow and
whose calls must all be refused. The line must carry exactly the frames of the
allowed calls, as `qelmar encode` gives them, in order.

Exit codes: 0 passed, 1 failed, 77 skipped (no Chromium that can run here).
CHROMIUM names the browser; BROWSER_TEST_WAIT the seconds to wait (60).
"""
import http.server
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import tty
import urllib.error
import urllib.request

PORT = 1
WAIT = float(os.environ.get("BROWSER_TEST_WAIT", "60"))
MARKER = bytes([0x12, 0xA5, 0x5A])  # sent last, from here, to close the line
# Each call with the texts whose frames it sends (rc: the frame itself).
ALLOWED = [
    ({"method": "send", "args": ["12.5H"]}, ["12.5H"]),
    ({"method": "send", "args": [["*", "#AB#"]]}, ["*", "#AB#"]),
    ({"method": "rc", "args": [65, 322]}, bytes([0x12, 0x41, 0x42])),
]
REFUSED = [{"method": "send", "args": ["12.5H"]}, {"method": "rc", "args": [65, 66]}]


class Failed(Exception):
    pass


class Skipped(Exception):
    pass


def encode(qelmar, text):
    lines = subprocess.run([qelmar, "encode", "--raw", "--", text], capture_output=True,
                           text=True, check=True, timeout=30).stdout.splitlines()
    return bytes.fromhex(lines[0].replace(" ", "")), int(lines[1].split()[1])


class Pages(http.server.ThreadingHTTPServer):
    """Serves the two pages and takes their reports."""
    daemon_threads = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), Handler)
        self.pages, self.reports, self.opened = {}, {}, False
        self.changed = threading.Condition()

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], ConnectionError):  # a dropped favicon, say
            super().handle_error(request, client_address)


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        page = self.server.pages.get(self.path)
        with self.server.changed:
            self.server.opened = True
        if page is None:
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.end_headers()
        self.wfile.write(page.encode())

    def do_POST(self):
        report = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        with self.server.changed:
            self.server.reports[report["role"]] = report
            self.server.changed.notify_all()
        self.send_response(204)
        self.end_headers()


def page(bridge, role, calls, next_url):
    with open(os.path.join(os.path.dirname(__file__), "page.html"), encoding="utf-8") as f:
        text = f.read()
    calls = [dict(c, port=PORT) for c in calls]
    for key, value in (("@BRIDGE@", bridge), ("@ROLE@", json.dumps(role)),
                       ("@CALLS@", json.dumps(calls)), ("@NEXT@", json.dumps(next_url))):
        text = text.replace(key, value)
    return text


def post(url, body, origin=None):
    headers = {"Content-Type": "application/json", **({"Origin": origin} if origin else {})}
    request = urllib.request.Request(url, json.dumps(body).encode(), headers)
    try:
        with urllib.request.urlopen(request, timeout=30) as answer:
            return answer.status, json.loads(answer.read())
    except urllib.error.HTTPError as e:
        return e.code, json.loads(e.read() or b"{}")


def browse(url, scratch, pages):
    """Runs Chromium on url until both pages have reported."""
    chromium = shutil.which(os.environ.get("CHROMIUM", "chromium"))
    if not chromium:
        raise Skipped(f"no {os.environ.get('CHROMIUM', 'chromium')} to run")
    home = os.path.join(scratch, "home")
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env.update(HOME=home, XDG_CONFIG_HOME=home, XDG_CACHE_HOME=home)
    with open(os.path.join(scratch, "chromium.log"), "wb") as log:
        browser = subprocess.Popen(
            [chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--mute-audio", f"--user-data-dir={scratch}/profile", url],
            stdin=subprocess.DEVNULL, stdout=log, stderr=log, env=env, start_new_session=True)
    try:
        deadline = time.monotonic() + WAIT
        with pages.changed:
            while len(pages.reports) < 2 and browser.poll() is None and time.monotonic() < deadline:
                pages.changed.wait(0.5)
            done, opened = len(pages.reports) == 2, pages.opened
    finally:
        # Chromium's children outlive it for a moment: stop the whole group.
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(browser.pid, sig)
                for _ in range(50):
                    os.killpg(browser.pid, 0)
                    browser.poll()
                    time.sleep(0.1)
            except ProcessLookupError:
                break
    if not done:
        with open(os.path.join(scratch, "chromium.log"), errors="replace") as f:
            tail = "".join(f.readlines()[-10:])
        # A browser that never asked for the page could not run here.
        if not opened:
            raise Skipped(f"chromium could not open the page (exit {browser.returncode}):\n{tail}")
        raise Failed(f"no report from the pages within {WAIT:.0f} s:\n{tail}")


def problems_of(reports, expected, refused_origin):
    problems = []
    outcomes = reports["allowed"].get("outcomes", [])
    if len(outcomes) != len(ALLOWED):
        return [f"the allowed page: {reports['allowed']}"]
    for (call, _), outcome, items in zip(ALLOWED, outcomes, expected):
        values = outcome.get("value")
        values = values if isinstance(values, list) else [values]
        if not outcome.get("ok") or len(values) != len(items):
            problems.append(f"{call}: {outcome}")
            continue
        for got, (frame, result) in zip(values, items):
            want = {"delivered": True, "frame": frame.hex(" ").upper()}
            if result is not None:
                want["result"] = result
            if any(got.get(k) != v for k, v in want.items()):
                problems.append(f"{call}: {got}, want {want}")
    for call, outcome in zip(REFUSED, reports["refused"].get("outcomes", [])):
        error = outcome.get("error") or {}
        if outcome.get("ok") or not error.get("isQelmarError") or error.get("status") not in (0, 403):
            problems.append(f"{call} from {refused_origin}: {outcome}, want a refusal")
    if reports["refused"].get("origin") != refused_origin or len(
            reports["refused"].get("outcomes", [])) != len(REFUSED):
        problems.append(f"the refused page: {reports['refused']}")
    return problems


def run(serve, qelmar, scratch):
    expected = [[encode(qelmar, t) for t in texts] if isinstance(texts, list) else [(texts, None)]
                for _, texts in ALLOWED]
    master, slave = os.openpty()
    tty.setraw(slave)
    os.mkdir(f"{scratch}/devices")
    os.symlink(os.ttyname(slave), f"{scratch}/devices/com{PORT}")
    pages = Pages()
    threading.Thread(target=pages.serve_forever, daemon=True).start()
    allowed_origin = f"http://localhost:{pages.server_address[1]}"
    refused_origin = f"http://127.0.0.1:{pages.server_address[1]}"  # same server, other origin
    bridge = subprocess.Popen([serve, "--listen", "127.0.0.1:0", "--allow-origin", allowed_origin],
                              stdout=subprocess.PIPE, text=True,
                              env=dict(os.environ, QELMAR_DEVICE_DIR=f"{scratch}/devices"))
    try:
        base = "http://127.0.0.1:" + bridge.stdout.readline().split()[-1]
        pages.pages["/allowed.html"] = page(base, "allowed", [c for c, _ in ALLOWED],
                                            f"{refused_origin}/refused.html")
        pages.pages["/refused.html"] = page(base, "refused", REFUSED, None)
        status, _ = post(f"{base}/v1/ports/{PORT}/commands", {"text": "1"}, refused_origin)
        if status != 403:
            raise Failed(f"a POST from {refused_origin} got {status}, want 403")
        browse(f"{allowed_origin}/allowed.html", scratch, pages)
        post(f"{base}/v1/ports/{PORT}/rc", {"a": 0xA5, "b": 0x5A})
        line = b""
        while not line.endswith(MARKER) and select.select([master], [], [], 10)[0]:
            line += os.read(master, 4096)
    finally:
        bridge.send_signal(signal.SIGTERM)
        stopped = bridge.wait(15)
        pages.shutdown()
        os.close(master)
        os.close(slave)
    problems = problems_of(pages.reports, expected, refused_origin)
    want = b"".join(frame for items in expected for frame, _ in items) + MARKER
    if line != want:
        problems.append(f"the line carried {line.hex(' ')}, want {want.hex(' ')}")
    if stopped != 0:
        problems.append(f"the bridge exited {stopped} on SIGTERM")
    if problems:
        raise Failed("\n".join(problems))
    return f"{len(want) - len(MARKER)} bytes from {allowed_origin}; {refused_origin} refused"


def main():
    serve = os.path.abspath(sys.argv[1])
    qelmar = sys.argv[2] if len(sys.argv) > 2 else os.path.join(os.path.dirname(serve), "qelmar")
    scratch = tempfile.mkdtemp(prefix="qelmar-browser-")
    try:
        print("PASSED: " + run(serve, qelmar, scratch))
        return 0
    except Skipped as e:
        print(f"SKIPPED: {e}")
        return 77
    except Failed as e:
        print(f"FAILED: {e}")
        return 1
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
