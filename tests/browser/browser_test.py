#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A real browser page drives the virtual display through the bridge.

    browser_test.py QELMAR_SERVE [QELMAR]

Port 1 is a pseudo-terminal. Headless Chromium opens page.html from
http://localhost:P, an origin the bridge allows; the page loads the bridge's
client.js, makes the ALLOWED calls and posts what they resolved to, then opens
the same page from http://127.0.0.1:P, which the bridge does not allow and
whose calls must all be refused, and last the README's page snippet as
written (only the bridge's address put in), with README_HARNESS watching what
each call resolves to. The line must carry exactly the frames of the allowed
calls and the snippet's, as `qelmar encode` gives them, in order, and each
answer the snippet's comments show must match what the call resolved to.

Exit codes: 0 passed, 1 failed, 77 skipped (no Chromium that can run here).
CHROMIUM names the browser; BROWSER_TEST_WAIT the seconds to wait (60).
"""
import http.server
import json
import os
import re
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
import wave

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
README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")
SNIPPET_ADDRESS = "http://127.0.0.1:27400"
# Goes before the README's snippet: wraps the client that the snippet loads, so
# that each call's arguments and what it resolved or rejected with reach
# /report, as do console errors and uncaught failures.
README_HARNESS = """<script>
(() => {
"use strict";
const send = (body) => fetch("/report", {method: "POST", body: JSON.stringify({role: "readme", ...body})});
const describe = (e) => ({message: String(e && e.message || e), status: e && e.status});
let client, calls = 0;
function watched(method, args, promise) {
  const index = calls++;
  promise.then((value) => send({index, method, args, ok: true, value}),
               (error) => send({index, method, args, ok: false, error: describe(error)}));
  return promise;
}
Object.defineProperty(window, "qelmar", {configurable: true, get: () => client, set(real) {
  client = Object.assign({}, real, {
    port(n) {
      const p = real.port(n);
      return {send: (...a) => watched("send", [n, ...a], p.send(...a)),
              sendHex: (...a) => watched("sendHex", [n, ...a], p.sendHex(...a)),
              rc: (...a) => watched("rc", [n, ...a], p.rc(...a))};
    },
    play: (...a) => watched("play", a, real.play(...a)),
  });
}});
const log = console.error.bind(console);
console.error = (...a) => { send({failure: a.map(String).join(" ")}); log(...a); };
addEventListener("error", (e) => send({failure: String(e.message)}));
addEventListener("unhandledrejection", (e) => send({failure: String(e.reason)}));
})();
</script>
"""


class Failed(Exception):
    pass


class Skipped(Exception):
    pass


def encode(qelmar, text, raw=True):
    # Without --raw, UTF-8 text in, as the bridge takes it.
    lines = subprocess.run([qelmar, "encode", *(["--raw"] if raw else []), "--", text],
                           capture_output=True, text=True, check=True, timeout=30,
                           env=dict(os.environ, LC_ALL="C.UTF-8")).stdout.splitlines()
    return bytes.fromhex(lines[0].replace(" ", "")), int(lines[1].split()[1])


class Pages(http.server.ThreadingHTTPServer):
    """Serves the two pages and takes their reports."""
    daemon_threads = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), Handler)
        self.pages, self.reports, self.opened = {}, {}, False
        self.readme = []  # the snippet's reports, as they come
        self.readme_calls = 0  # how many the snippet makes
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
            if report["role"] == "readme":
                self.server.readme.append(report)
            else:
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


def readme_snippet():
    """The README's page snippet: the html block after its marker."""
    with open(README, encoding="utf-8") as f:
        found = re.search(r"<!-- browser-snippet\b[^>]*-->\s*```html\n(.*?)```", f.read(), re.S)
    if not found:
        raise Failed(f"{README}: no html block after a <!-- browser-snippet --> marker")
    snippet = found.group(1)
    if SNIPPET_ADDRESS not in snippet:
        raise Failed(f"the README's snippet does not load the client from {SNIPPET_ADDRESS}")
    return snippet


def shown_answers(snippet):
    """Each call's answer as the snippet's comment shows it, e.g.
    `// {result: 2, delivered: true}` as a dict; None where no comment shows one."""
    shown = []
    for line in snippet.splitlines():
        if "await qelmar." not in line:
            continue
        comment = re.search(r"//\s*(\{.*\})\s*$", line)
        shown.append(json.loads(re.sub(r"([{,]\s*)(\w+):", r'\1"\2":', comment.group(1)))
                     if comment else None)
    return shown


def readme_page(snippet, bridge):
    return ('<!doctype html>\n<html>\n<head>\n<meta charset="utf-8">\n</head>\n<body>\n'
            + README_HARNESS + snippet.replace(SNIPPET_ADDRESS, bridge) + "</body>\n</html>\n")


def readme_frames(qelmar, calls):
    """The frames the snippet's calls send, in order."""
    frames = []
    for call in calls:
        if call["method"] == "send":
            texts = call["args"][1] if isinstance(call["args"][1], list) else [call["args"][1]]
            frames += [encode(qelmar, text, raw=False)[0] for text in texts]
        elif call["method"] == "rc":
            frames.append(bytes([0x12, call["args"][1] & 0xFF, call["args"][2] & 0xFF]))
    return frames


def post(url, body, origin=None):
    headers = {"Content-Type": "application/json", **({"Origin": origin} if origin else {})}
    request = urllib.request.Request(url, json.dumps(body).encode(), headers)
    try:
        with urllib.request.urlopen(request, timeout=30) as answer:
            return answer.status, json.loads(answer.read())
    except urllib.error.HTTPError as e:
        return e.code, json.loads(e.read() or b"{}")


def finished(pages):
    """Both pages have reported, and the snippet's page has failed or settled
    all its calls."""
    readme = pages.readme
    return len(pages.reports) == 2 and (any("failure" in r for r in readme)
                                        or len(readme) >= pages.readme_calls)


def browse(url, scratch, pages):
    """Runs Chromium on url until every page has reported."""
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
            while not finished(pages) and browser.poll() is None and time.monotonic() < deadline:
                pages.changed.wait(0.5)
            done, opened = finished(pages), pages.opened
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


def readme_problems(readme, shown):
    problems = [f"the README's snippet: {r['failure']}" for r in readme if "failure" in r]
    calls = sorted((r for r in readme if "index" in r), key=lambda r: r["index"])
    if [r["index"] for r in calls] != list(range(len(shown))):
        return problems + [f"the README's snippet made calls {[r.get('index') for r in calls]}, "
                           f"want {len(shown)} settled"]
    for call, want in zip(calls, shown):
        what = f"the README's {call['method']}{tuple(call['args'])}"
        if not call["ok"]:
            problems.append(f"{what} rejected: {call['error']}")
        elif want is not None and any(call["value"].get(k) != v for k, v in want.items()):
            problems.append(f"{what} resolved to {call['value']}, the README shows {want}")
    return problems


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
    snippet = readme_snippet()
    shown = shown_answers(snippet)
    # The snippet plays thanks.wav: a short silence where no sound device is.
    os.mkdir(f"{scratch}/sounds")
    with wave.open(f"{scratch}/sounds/thanks.wav", "wb") as sound:
        sound.setnchannels(1)
        sound.setsampwidth(2)
        sound.setframerate(8000)
        sound.writeframes(bytes(800))
    master, slave = os.openpty()
    tty.setraw(slave)
    os.mkdir(f"{scratch}/devices")
    os.symlink(os.ttyname(slave), f"{scratch}/devices/com{PORT}")
    pages = Pages()
    threading.Thread(target=pages.serve_forever, daemon=True).start()
    allowed_origin = f"http://localhost:{pages.server_address[1]}"
    refused_origin = f"http://127.0.0.1:{pages.server_address[1]}"  # same server, other origin
    bridge = subprocess.Popen([serve, "--listen", "127.0.0.1:0", "--allow-origin", allowed_origin,
                               "--sounds", f"{scratch}/sounds"],
                              stdout=subprocess.PIPE, text=True,
                              env=dict(os.environ, QELMAR_DEVICE_DIR=f"{scratch}/devices"))
    try:
        base = "http://127.0.0.1:" + bridge.stdout.readline().split()[-1]
        pages.pages["/allowed.html"] = page(base, "allowed", [c for c, _ in ALLOWED],
                                            f"{refused_origin}/refused.html")
        pages.pages["/refused.html"] = page(base, "refused", REFUSED,
                                            f"{allowed_origin}/readme.html")
        pages.pages["/readme.html"] = readme_page(snippet, base)
        pages.readme_calls = len(shown)
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
    problems += readme_problems(pages.readme, shown)
    calls = sorted((r for r in pages.readme if "index" in r), key=lambda r: r["index"])
    want = b"".join(frame for items in expected for frame, _ in items)
    want += b"".join(readme_frames(qelmar, calls)) + MARKER
    if line != want:
        problems.append(f"the line carried {line.hex(' ')}, want {want.hex(' ')}")
    if stopped != 0:
        problems.append(f"the bridge exited {stopped} on SIGTERM")
    if problems:
        raise Failed("\n".join(problems))
    return (f"{len(want) - len(MARKER)} bytes from {allowed_origin}, the README's snippet's "
            f"{len(calls)} calls among them; {refused_origin} refused")


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
