#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""qelmar-serve.exe under Wine's 64-bit loader, driven from Linux over loopback.

    wine.sh run x64 wine_bridge.py QELMAR-SERVE.EXE COMMANDS.TSV QELMAR

COM7 is a pseudo-terminal linked into $WINEPREFIX's dosdevices. Every row of
the command table goes through the bridge as `hex`: the answer's result, frame
and delivery must be the table's, and the line must carry exactly the frame. UTF-8 texts, which Windows turns
into GB2312 its own way, must give the frames that the Linux tool QELMAR
encodes, or be refused (400) where it refuses them.
A page of a foreign origin is refused (403) with nothing on the line. Ctrl-C,
which Wine makes of SIGINT, must end the bridge within 1 s with a client still
connected. wine.sh skips the run where the 64-bit loader is missing.
"""
import json
import os
import select
import signal
import socket
import subprocess
import sys
import tempfile
import time
import tty

PORT = 7
ALLOWED = "http://till.example"
MARKER = bytes([0x12, 0xA5, 0x5A])
STOP_WITHIN = 1.0
# Texts between '#' marks: GB2312's own, the cells where Windows' code page and
# glibc name different characters, and characters only Windows' GBK has.
UTF8_TEXTS = ["#价格 12.50#", " #总计#", "#AB 1#", "#―・#", "#·#", "#—#", "#ⅰ#", "#丂#", "#€#",
              "#〃々#", "#ɑ#", "#\ue000#", "#😀#"]


class Failed(Exception):
    pass


def load_table(path):
    """(line, text bytes, frame bytes or None, result) for each row."""
    rows = []
    with open(path, encoding="utf-8") as f:
        for number, row in enumerate(f, 1):
            if not row.strip() or row.startswith(";"):
                continue
            _, text, frame, result = row.rstrip("\n").split("\t")
            text = (text.encode("latin-1").decode("unicode_escape").encode("latin-1")
                    if text.isascii() else text.encode("utf-8"))
            rows.append((number, text, None if frame == "-" else bytes.fromhex(frame), int(result)))
    return rows


def request(port, method, path, body=None, origin=None):
    """One request on its own connection; (status, parsed answer)."""
    data = b"" if body is None else json.dumps(body).encode()
    head = [f"{method} {path} HTTP/1.1", f"Host: 127.0.0.1:{port}", "Connection: close",
            f"Content-Length: {len(data)}"]
    if body is not None:
        head.append("Content-Type: application/json")
    if origin:
        head.append(f"Origin: {origin}")
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        s.sendall(("\r\n".join(head) + "\r\n\r\n").encode() + data)
        answer = b""
        while chunk := s.recv(65536):
            answer += chunk
    status_line, _, rest = answer.partition(b"\r\n")
    _, _, body_bytes = rest.partition(b"\r\n\r\n")
    try:
        status = int(status_line.split()[1])
    except (IndexError, ValueError):
        raise Failed(f"{method} {path}: no HTTP answer: {answer[:200]!r}") from None
    return status, json.loads(body_bytes) if body_bytes.strip() else {}


def read_through_marker(master, port):
    """What the line carried before the marker frame that this sends."""
    status, _ = request(port, "POST", f"/v1/ports/{PORT}/rc", {"a": MARKER[1], "b": MARKER[2]})
    if status != 200:
        raise Failed(f"the marker's rc got {status}")
    line = b""
    while not line.endswith(MARKER):
        if not select.select([master], [], [], 10)[0]:
            raise Failed(f"the line carried {line.hex(' ')} and then nothing for 10 s")
        line += os.read(master, 4096)
    return line[:-len(MARKER)]


def listening_port(bridge, log):
    """The port from the bridge's first line ("... port N")."""
    out, deadline = b"", time.monotonic() + 120
    while b"\n" not in out and time.monotonic() < deadline:
        if bridge.poll() is not None:
            break
        if select.select([bridge.stdout], [], [], 1)[0]:
            out += os.read(bridge.stdout.fileno(), 4096)
    words = out.decode(errors="replace").split()
    if not words or not words[-1].isdigit():
        with open(log, errors="replace") as f:
            raise Failed(f"qelmar-serve.exe said {out!r}, exit {bridge.poll()}; stderr:\n{f.read()}")
    return int(words[-1])


def table_problems(master, port, rows):
    problems = []
    for number, text, frame, result in rows:
        if not text or b"\0" in text:  # not a text a request can carry
            continue
        status, answer = request(port, "POST", f"/v1/ports/{PORT}/commands", {"hex": text.hex(" ")})
        item = (answer.get("results") or [{}])[0]
        want = {"result": result, "frame": frame.hex(" ").upper() if frame else "",
                "delivered": frame is not None}
        got = {k: item.get(k) for k in want}
        line = read_through_marker(master, port)
        if status != 200 or got != want:
            problems.append(f"table line {number} {text!r}: {status} {answer}, want {want}")
        if line != (frame or b""):
            problems.append(f"table line {number} {text!r}: the line carried {line.hex(' ')}, "
                            f"want {(frame or b'').hex(' ')}")
    return problems


def linux_frame(qelmar, text):
    """The frame the Linux tool encodes for text, or None where it refuses it."""
    done = subprocess.run([qelmar, "encode", "--", text], capture_output=True, text=True,
                          timeout=30, env=dict(os.environ, LC_ALL="C.UTF-8"))
    lines = done.stdout.splitlines()
    return bytes.fromhex(lines[0].replace(" ", "")) if done.returncode == 0 and lines else None


def utf8_problems(master, port, qelmar):
    problems = []
    for text in UTF8_TEXTS:
        want = linux_frame(qelmar, text)
        status, answer = request(port, "POST", f"/v1/ports/{PORT}/commands", {"text": text})
        line = read_through_marker(master, port)
        if want is None and (status != 400 or line):
            problems.append(f"{text!r}: {status} {answer}, line {line.hex(' ')}; Linux refuses it")
        elif want is not None:
            frame = (answer.get("results") or [{}])[0].get("frame")
            if status != 200 or frame != want.hex(" ").upper() or line != want:
                problems.append(f"{text!r}: {status} {answer}, line {line.hex(' ')}; "
                                f"Linux sends {want.hex(' ')}")
    return problems


def refusal_problems(master, port):
    status, answer = request(port, "POST", f"/v1/ports/{PORT}/commands", {"text": "12.5H"},
                             origin="http://elsewhere.example")
    line = read_through_marker(master, port)
    problems = []
    if status != 403:
        problems.append(f"a foreign origin got {status} {answer}, want 403")
    if line:
        problems.append(f"a foreign origin's request put {line.hex(' ')} on the line")
    return problems


def stop(bridge, port):
    """Ctrl-C with a client still sending its request: seconds to the exit."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as idle:
        idle.sendall(f"POST /v1/ports/{PORT}/commands HTTP/1.1\r\nHost: 127.0.0.1".encode())
        time.sleep(0.2)
        start = time.monotonic()
        bridge.send_signal(signal.SIGINT)
        try:
            code = bridge.wait(10)
        except subprocess.TimeoutExpired:
            raise Failed("Ctrl-C did not end qelmar-serve.exe within 10 s") from None
        took = time.monotonic() - start
    if code != 0:
        raise Failed(f"qelmar-serve.exe exited {code} on Ctrl-C")
    return took


def run(exe, table, qelmar, scratch):
    rows = load_table(table)
    com = os.path.join(os.environ["WINEPREFIX"], "dosdevices", f"com{PORT}")
    master, slave = os.openpty()
    tty.setraw(slave)
    if os.path.lexists(com):
        os.remove(com)
    os.symlink(os.ttyname(slave), com)
    log = os.path.join(scratch, "stderr")
    with open(log, "wb") as err:
        bridge = subprocess.Popen(
            [os.environ["QELMAR_WINE_LOADER"], exe, "--listen", "127.0.0.1:0", "--allow-origin",
             ALLOWED], cwd=os.path.dirname(exe), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=err)
    try:
        port = listening_port(bridge, log)
        problems = (table_problems(master, port, rows) + utf8_problems(master, port, qelmar)
                    + refusal_problems(master, port))
        took = stop(bridge, port)
        if took > STOP_WITHIN:
            problems.append(f"Ctrl-C ended it after {took:.2f} s, want within {STOP_WITHIN} s")
    finally:
        if bridge.poll() is None:
            bridge.kill()
            bridge.wait()
        os.remove(com)
        os.close(master)
        os.close(slave)
    if problems:
        raise Failed("\n".join(problems))
    return (f"{len(rows)} table rows and {len(UTF8_TEXTS)} UTF-8 texts on COM7, a foreign origin "
            f"refused, Ctrl-C ended it in {took:.2f} s")


def main():
    exe, table, qelmar = os.path.abspath(sys.argv[1]), sys.argv[2], sys.argv[3]
    with tempfile.TemporaryDirectory(prefix="qelmar-wine-bridge-") as scratch:
        try:
            print("PASSED: " + run(exe, table, qelmar, scratch))
            return 0
        except Failed as e:
            print(f"FAILED: {e}")
            return 1


if __name__ == "__main__":
    sys.exit(main())
