#!/usr/bin/env python3
"""A real browser page drives the virtual display through the bridge.

    browser_test.py QELMAR_SERVE_BINARY [QELMAR_BINARY]

Port 1 is a pseudo-terminal. Headless Chromium opens a page from
http://localhost:P (an origin the bridge allows), which loads the bridge's
client.js with a <script> tag, makes the calls in ALLOWED and posts what they
resolved to; it then opens the same page from http://127.0.0.1:P (an origin the
bridge does not allow), whose calls must all be refused. The line must carry
exactly the frames of the allowed calls, in order.

Expected frames come from `qelmar encode --raw` (QELMAR_BINARY, by default the
`qelmar` next to the bridge) and, where written below, from the table itself.

Exit codes: 0 passed, 1 failed, 77 skipped (no Chromium that can run here).
CHROMIUM names the browser (default: chromium on PATH); BROWSER_TEST_WAIT the
seconds to wait for the page (default 60).
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
HERE = os.path.dirname(os.path.abspath(__file__))
WAIT = float(os.environ.get("BROWSER_TEST_WAIT", "60"))
MARKER = bytes([0x12, 0xA5, 0x5A])  # sent last, by this script, to close the line

# What the allowed page calls, in order. "texts": command texts whose frames
# `qelmar encode` gives; "frame"/"result": known answers checked as well.
ALLOWED = [
    {"method": "send", "args": ["12.5H"], "texts": ["12.5H"],
     "frame": ["1F 01 02 05 00 1F"], "result": [2]},
    {"method": "send", "args": [["*", "#AB#"]], "texts": ["*", "#AB#"]},
    {"method": "rc", "args": [65, 322], "frame": ["12 41 42"]},
]
# What the page from the refused origin tries; each must reject.
REFUSED = [
    {"method": "send", "args": ["12.5H"]},
    {"method": "rc", "args": [65, 66]},
]


class Failed(Exception):
    pass


class Skipped(Exception):
    pass


def frame_bytes(text):
    return bytes.fromhex(text.replace(" ", ""))


def encode(qelmar, text):
    """The frame and result `qelmar encode --raw` gives for one text."""
    try:
        done = subprocess.run([qelmar, "encode", "--raw", "--", text], capture_output=True,
                              text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired) as e:
        raise Failed(f"qelmar encode {text!r}: {e}")
    lines = done.stdout.strip().splitlines()
    if done.returncode != 0 or len(lines) != 2 or not lines[1].startswith("result "):
        raise Failed(f"qelmar encode {text!r}: exit {done.returncode}, {done.stdout!r} {done.stderr!r}")
    return frame_bytes(lines[0]), int(lines[1].split()[1])


def expectations(qelmar):
    """One list per ALLOWED row: (label, frame bytes, result or None)."""
    out = []
    for row in ALLOWED:
        if "texts" in row:
            items = []
            for i, text in enumerate(row["texts"]):
                frame, result = encode(qelmar, text)
                if "frame" in row and frame != frame_bytes(row["frame"][i]):
                    raise Failed(f"qelmar encode {text!r} gives {frame.hex(' ')}, "
                                 f"the table says {row['frame'][i]}")
                if "result" in row and result != row["result"][i]:
                    raise Failed(f"qelmar encode {text!r} gives result {result}, "
                                 f"the table says {row['result'][i]}")
                items.append((f"send {text!r}", frame, result))
        else:
            items = [(f"rc{tuple(row['args'])}", frame_bytes(row["frame"][0]), None)]
        out.append(items)
    return out


class Pages(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, template):
        super().__init__(("127.0.0.1", 0), PageHandler)
        self.template = template
        self.pages = {}  # path -> html
        self.requested = set()
        self.reports = {}  # role -> report
        self.changed = threading.Condition()

    def handle_error(self, request, client_address):
        # The browser may drop a connection it no longer needs (a favicon, say).
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


class PageHandler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        path = self.path.split("?")[0]
        with self.server.changed:
            self.server.requested.add(path)
        page = self.server.pages.get(path)
        if page is None:
            self.send_error(404)
            return
        body = page.encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Cache-Control", "no-store")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        if self.path != "/report":
            self.send_error(404)
            return
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        try:
            report = json.loads(body)
            role = report["role"]
        except (ValueError, KeyError, TypeError):
            report, role = {"unreadable": body.decode("utf-8", "replace")}, "unreadable"
        with self.server.changed:
            self.server.reports[role] = report
            self.server.changed.notify_all()
        self.send_response(204)
        self.end_headers()


def fill(template, bridge, role, calls, next_url):
    page_calls = [{"method": c["method"], "port": PORT, "args": c["args"]} for c in calls]
    return (template.replace("@BRIDGE@", bridge)
            .replace("@ROLE@", json.dumps(role))
            .replace("@CALLS@", json.dumps(page_calls))
            .replace("@NEXT@", json.dumps(next_url)))


def start_bridge(serve, devices, allowed_origin):
    env = dict(os.environ, QELMAR_DEVICE_DIR=devices)
    bridge = subprocess.Popen([serve, "--listen", "127.0.0.1:0", "--allow-origin", allowed_origin],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True)
    ready, _, _ = select.select([bridge.stdout], [], [], 30)
    line = bridge.stdout.readline() if ready else ""
    prefix = "qelmar serve: listening on 127.0.0.1 port "
    if not line.startswith(prefix):
        bridge.kill()
        _, err = bridge.communicate()
        raise Failed(f"the bridge did not start: {line!r} {err!r}")
    return bridge, int(line[len(prefix):])


def stop_bridge(bridge):
    if bridge.poll() is None:
        bridge.send_signal(signal.SIGTERM)
    try:
        code = bridge.wait(15)
    except subprocess.TimeoutExpired:
        bridge.kill()
        bridge.wait()
        raise Failed("the bridge did not stop within 15 s of SIGTERM")
    if code != 0:
        raise Failed(f"the bridge exited {code} on SIGTERM: {bridge.stderr.read()!r}")


def http_post(url, body, origin=None):
    headers = {"Content-Type": "application/json"}
    if origin:
        headers["Origin"] = origin
    request = urllib.request.Request(url, json.dumps(body).encode(), headers, method="POST")
    try:
        with urllib.request.urlopen(request, timeout=30) as answer:
            return answer.status, json.loads(answer.read() or b"{}")
    except urllib.error.HTTPError as e:
        return e.code, json.loads(e.read() or b"{}")


def find_chromium():
    given = os.environ.get("CHROMIUM")
    if given:
        found = shutil.which(given)
        if not found:
            raise Skipped(f"CHROMIUM={given} is not a program")
        return found
    for name in ("chromium", "chromium-browser", "google-chrome"):
        found = shutil.which(name)
        if found:
            return found
    raise Skipped("no chromium on PATH")


def start_chromium(chromium, scratch, url):
    profile = os.path.join(scratch, "profile")
    home = os.path.join(scratch, "home")
    os.makedirs(home)
    # Its own HOME and XDG folders, so that nothing is left behind outside scratch.
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
               XDG_CACHE_HOME=os.path.join(home, ".cache"))
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    log = open(os.path.join(scratch, "chromium.log"), "wb")
    args = [chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
            "--no-first-run", "--no-default-browser-check", "--disable-extensions",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--mute-audio", "--password-store=basic", "--use-mock-keychain",
            f"--user-data-dir={profile}", url]
    try:
        # Its own session, so that the whole tree of processes can be stopped.
        process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                   env=env, start_new_session=True)
    except OSError as e:
        log.close()
        raise Skipped(f"{chromium} cannot start: {e}")
    return process, log


def stop_chromium(process):
    for sig, wait in ((signal.SIGTERM, 5), (signal.SIGKILL, 5)):
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            break
        # Children outlive the leader for a moment; wait for the group to empty.
        deadline = time.monotonic() + wait
        while time.monotonic() < deadline:
            process.poll()
            try:
                os.killpg(process.pid, 0)
            except ProcessLookupError:
                return
            time.sleep(0.1)
    process.poll()


def chromium_log(scratch, lines=15):
    try:
        with open(os.path.join(scratch, "chromium.log"), errors="replace") as f:
            tail = f.read().splitlines()[-lines:]
    except OSError:
        return ""
    return "\n".join("  chromium: " + line for line in tail)


def wait_for_reports(pages, browser, roles, scratch):
    deadline = time.monotonic() + WAIT
    with pages.changed:
        while not all(r in pages.reports for r in roles):
            left = deadline - time.monotonic()
            if browser.poll() is not None or left <= 0:
                break
            pages.changed.wait(min(left, 0.5))
        missing = [r for r in roles if r not in pages.reports]
        requested = set(pages.requested)
    if not missing:
        return
    if browser.poll() is not None:
        raise Skipped(f"chromium exited ({browser.returncode}) before the page reported\n"
                      + chromium_log(scratch))
    if "/allowed.html" not in requested:
        raise Skipped(f"chromium did not open the page within {WAIT:.0f} s\n" + chromium_log(scratch))
    raise Failed(f"no report from the {', '.join(missing)} page within {WAIT:.0f} s "
                 f"(pages requested: {sorted(requested)})\n" + chromium_log(scratch))


def check_allowed(report, expected):
    problems = []
    if "outcomes" not in report:
        return [f"the allowed page failed: {report}"]
    outcomes = report["outcomes"]
    if len(outcomes) != len(ALLOWED):
        return [f"the allowed page made {len(outcomes)} calls, want {len(ALLOWED)}: {outcomes}"]
    for row, outcome, items in zip(ALLOWED, outcomes, expected):
        call = f"{row['method']}{tuple(row['args'])}"
        if not outcome.get("ok"):
            problems.append(f"{call} rejected: {outcome.get('error')}")
            continue
        value = outcome["value"]
        # One text resolves to one result, an array to a list, rc to its reply.
        values = value if isinstance(value, list) else [value]
        if isinstance(row["args"][0], list) != isinstance(value, list) or len(values) != len(items):
            problems.append(f"{call} resolved to {value!r}, want {len(items)} result(s)")
            continue
        for (label, frame, result), got in zip(items, values):
            if not isinstance(got, dict):
                problems.append(f"{label}: resolved to {got!r}")
                continue
            if got.get("delivered") is not True:
                problems.append(f"{label}: delivered {got.get('delivered')!r}, why {got.get('why')!r}")
            try:
                got_frame = frame_bytes(str(got.get("frame")))
            except ValueError:
                got_frame = None
            if got_frame != frame:
                problems.append(f"{label}: frame {got.get('frame')!r}, want {frame.hex(' ').upper()}")
            if result is not None and got.get("result") != result:
                problems.append(f"{label}: result {got.get('result')!r}, want {result}")
    return problems


def check_refused(report, origin):
    if "outcomes" not in report:
        return [f"the refused page failed: {report}"]
    if report.get("origin") != origin:
        return [f"the refused page ran at {report.get('origin')!r}, want {origin}"]
    problems = []
    if len(report["outcomes"]) != len(REFUSED):
        problems.append(f"the refused page made {len(report['outcomes'])} calls, want {len(REFUSED)}")
    for row, outcome in zip(REFUSED, report["outcomes"]):
        call = f"{row['method']}{tuple(row['args'])}"
        error = outcome.get("error") or {}
        if outcome.get("ok") or not error.get("isQelmarError") or error.get("status") not in (0, 403):
            problems.append(f"{call} from {origin}: {outcome}, want a QelmarError with status 0 or 403")
    return problems


def read_line(master):
    """Everything on the line up to and including MARKER."""
    data = b""
    while not data.endswith(MARKER):
        ready, _, _ = select.select([master], [], [], 10)
        if not ready:
            raise Failed(f"the closing frame never reached the line; got {data.hex(' ').upper()}")
        data += os.read(master, 4096)
    return data


def run(serve, qelmar, scratch):
    chromium = find_chromium()
    expected = expectations(qelmar)

    master, slave = os.openpty()
    try:
        tty.setraw(slave)
        devices = os.path.join(scratch, "devices")
        os.mkdir(devices)
        os.symlink(os.ttyname(slave), os.path.join(devices, f"com{PORT}"))

        with open(os.path.join(HERE, "page.html"), encoding="utf-8") as f:
            pages = Pages(f.read())
        threading.Thread(target=pages.serve_forever, daemon=True).start()
        try:
            p2 = pages.server_address[1]
            allowed_origin = f"http://localhost:{p2}"
            refused_origin = f"http://127.0.0.1:{p2}"  # the same server, another origin
            bridge, n = start_bridge(serve, devices, allowed_origin)
            try:
                base = f"http://127.0.0.1:{n}"
                pages.pages["/allowed.html"] = fill(pages.template, base, "allowed", ALLOWED,
                                                    f"{refused_origin}/refused.html")
                pages.pages["/refused.html"] = fill(pages.template, base, "refused", REFUSED, None)

                # Without a browser: the bridge itself refuses the other origin.
                status, answer = http_post(f"{base}/v1/ports/{PORT}/commands", {"text": "12.5H"},
                                           origin=refused_origin)
                if status != 403:
                    raise Failed(f"a POST with Origin {refused_origin}: {status} {answer}, want 403")

                started = time.monotonic()
                browser, log = start_chromium(chromium, scratch, f"{allowed_origin}/allowed.html")
                try:
                    wait_for_reports(pages, browser, ["allowed", "refused"], scratch)
                finally:
                    stop_chromium(browser)
                    log.close()
                seconds = time.monotonic() - started

                # Close the line with a frame from here, then read all of it.
                status, answer = http_post(f"{base}/v1/ports/{PORT}/rc", {"a": 0xA5, "b": 0x5A})
                if status != 200 or answer.get("delivered") is not True:
                    raise Failed(f"the closing frame: {status} {answer}")
                line = read_line(master)
            finally:
                stop_bridge(bridge)
        finally:
            pages.shutdown()
            pages.server_close()
    finally:
        os.close(master)
        os.close(slave)

    problems = check_allowed(pages.reports["allowed"], expected)
    problems += check_refused(pages.reports["refused"], refused_origin)
    want = b"".join(frame for items in expected for _, frame, _ in items) + MARKER
    if line != want:
        problems.append(f"the line carried {line.hex(' ').upper()}\n"
                        f"                want {want.hex(' ').upper()}")
    if problems:
        raise Failed("\n".join(problems))
    calls = sum(len(items) for items in expected)
    return (f"{calls} commands from {allowed_origin} reached the line as "
            f"{len(want) - len(MARKER)} bytes; {len(REFUSED)} calls from {refused_origin} were "
            f"refused; chromium took {seconds:.1f} s")


def main():
    if len(sys.argv) not in (2, 3):
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    serve = os.path.abspath(sys.argv[1])
    qelmar = os.path.abspath(sys.argv[2]) if len(sys.argv) == 3 else \
        os.path.join(os.path.dirname(serve), "qelmar")
    for program in (serve, qelmar):
        if not os.access(program, os.X_OK):
            print(f"FAILED: {program} is not a program")
            return 1
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
