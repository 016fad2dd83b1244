#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The MSI under Wine's 64-bit loader, as a fleet would install it.

    wine.sh run x64 wine_msi.py MSI.SH BUILDS PREFIX [FRESH]

MSI.SH builds two packages from the Windows builds in BUILDS: this version and
a higher one. Into a fresh Wine prefix PREFIX (made anew, or copied from FRESH,
a prefix made and settled by wine.sh prefix and never used; settled before the
install: an install during settling fails to start its service, 1060), the
first installs silently; its files are in Program Files, bin\\ is on the PATH,
the service is RUNNING and answers GET /v1/health on its default address. The
configuration is changed (another port, a page's origin); the restarted
service serves a page-style POST to COM7, a pseudo-terminal, whose frame
arrives, and a stop request with a client still connected ends it within 1 s.
The higher version upgrades in place, keeping the changed configuration. The
uninstall leaves no installed file, no service and no PATH entry; the
configuration stays, as documented. Skipped, with the reason, where wixl or
msibuild is missing; wine.sh skips where the 64-bit loader is.
"""
import http.client
import json
import os
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import tty

PORT = 7
DEFAULT_ADDRESS = 27400
ORIGIN = "http://till.example"
FRAME = bytes.fromhex("1F 01 02 05 00 1F")  # 12.5H
STOP_WITHIN = 1.0
SERVICE = "qelmar-serve"
SKIPPED = 77
# What the package puts in Program Files\qelmar, and outside it.
INSTALLED = ["README.txt", "LICENSE.txt", "qelmar.def", "qelmar-host.def",
             "bin/qelmar-serve.exe", "bin/qelmar.exe", "bin/qelmar-host.dll",
             "x86/QELMAR.dll", "x86/libQELMAR.dll.a", "x86/qelmar-host.dll",
             "x86/libqelmar-host.dll.a", "x64/QELMAR.dll", "x64/libQELMAR.dll.a",
             "x64/qelmar-host.dll", "x64/libqelmar-host.dll.a",
             "include/qelmar.h", "include/qelmar/host.h", "include/qelmar/version.h"]
SERVICES_KEY = r"HKLM\System\CurrentControlSet\Services"
ENVIRONMENT_KEY = r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment"


class Failed(Exception):
    pass


def wine(*args, check=True, timeout=180):
    """The command's exit code and output. The output goes through a file: the
    services that a command starts inherit its handles, and would hold a
    pipe open after the command has ended."""
    with tempfile.TemporaryFile() as out:
        code = subprocess.run([os.environ["QELMAR_WINE_LOADER"], *args], stdout=out,
                              stderr=subprocess.STDOUT, timeout=timeout,
                              stdin=subprocess.DEVNULL).returncode
        out.seek(0)
        said = out.read().decode(errors="replace")
    if check and code != 0:
        raise Failed(f"wine {' '.join(args)}: exit {code}\n{said}")
    return subprocess.CompletedProcess(args, code, said, "")


def wineserver(*args):
    """A server it starts keeps none of this test's output open: ctest would
    wait for it."""
    server = shutil.which("wineserver") or "/usr/lib/wine/wineserver64"
    subprocess.run([server, *args], check=False, timeout=120, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def msiexec(action, msi):
    """msiexec /i or /x, silent, with the package given by its Z: path."""
    done = wine("msiexec", action, "Z:" + msi.replace("/", "\\"), "/qn", check=False, timeout=300)
    if done.returncode != 0:
        raise Failed(f"msiexec {action} {os.path.basename(msi)}: exit {done.returncode}\n"
                     f"{done.stdout}")


def state():
    """The service's state as `sc query` names it, or the error it gives."""
    done = wine("sc", "query", SERVICE, check=False)
    found = re.search(r"STATE\s*:\s*\d+\s+(\w+)", done.stdout)
    if found:
        return found.group(1)
    # Wine's sc says nothing of a service that does not exist; its key says.
    key = wine("reg", "query", SERVICES_KEY + "\\" + SERVICE, check=False)
    if done.returncode != 0 and key.returncode != 0:
        return "missing"
    return f"unknown (sc: exit {done.returncode}, {done.stdout.strip()!r})"


def wait_for_state(want, seconds=30):
    deadline = time.monotonic() + seconds
    while (now := state()) != want and time.monotonic() < deadline:
        time.sleep(0.5)
    if now != want:
        raise Failed(f"the service is {now}, want {want}")


def answers(port, method, path, body=None, headers=None, seconds=30):
    """(status, parsed body) of one request, retried while nothing listens."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            data = None if body is None else json.dumps(body)
            connection.request(method, path, body=data, headers={
                **({"Content-Type": "application/json"} if body is not None else {}),
                **(headers or {})})
            answer = connection.getresponse()
            text = answer.read()
            connection.close()
            return answer.status, json.loads(text) if text.strip() else {}
        except (ConnectionError, OSError) as e:
            if time.monotonic() > deadline:
                raise Failed(f"{method} {path} on port {port}: {e}") from None
            time.sleep(0.3)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def read_frame(master, want, seconds=10):
    line = b""
    deadline = time.monotonic() + seconds
    while len(line) < len(want) and time.monotonic() < deadline:
        if select.select([master], [], [], 0.5)[0]:
            line += os.read(master, 4096)
    return line


def serve_process():
    """Linux pids of the service's live process in this prefix (other tests
    may run qelmar-serve.exe in theirs)."""
    pids = []
    mine = f"WINEPREFIX={os.environ['WINEPREFIX']}".encode()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if b"qelmar-serve.exe" not in f.read():  # a zombie's is empty
                    continue
            with open(f"/proc/{pid}/environ", "rb") as f:
                if mine in f.read().split(b"\0"):
                    pids.append(pid)
        except OSError:
            pass
    return pids


def stop_seconds(port):
    """sc stop with a client still sending its request: seconds until the
    service's process has ended."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as idle:
        idle.sendall(f"POST /v1/ports/{PORT}/commands HTTP/1.1\r\nHost: 127.0.0.1".encode())
        time.sleep(0.2)
        if not serve_process():
            raise Failed("no qelmar-serve.exe process to stop")
        asked = time.monotonic()
        wine("sc", "stop", SERVICE)
        start = time.monotonic()
        while serve_process() and time.monotonic() - start < 10:
            time.sleep(0.02)
        # sc's own start-up under Wine takes most of its run: the service may
        # be gone before it returns.
        return time.monotonic() - start, start - asked


def on_path():
    out = wine("reg", "query", ENVIRONMENT_KEY, "/v", "PATH", check=False).stdout
    return "qelmar\\bin" in out


def run(msi_sh, builds, prefix, fresh, scratch):
    log = []
    clock = time.monotonic()

    def step(what):
        nonlocal clock
        log.append(f"{what} {time.monotonic() - clock:.1f} s")
        clock = time.monotonic()

    version = subprocess.run(["sh", "-c", "sed -n 's/^project(qelmar VERSION \\([0-9.]*\\).*/\\1/p' "
                              "\"$0\"/CMakeLists.txt", os.path.dirname(os.path.dirname(msi_sh))],
                             capture_output=True, text=True, check=True).stdout.strip()
    major, minor, patch = version.split(".")
    newer = f"{major}.{minor}.{int(patch) + 1}"
    packages = []
    for v in (version, newer):
        done = subprocess.run(["bash", msi_sh, builds, scratch, v], capture_output=True, text=True,
                              env={**os.environ, "PYTHON": sys.executable})
        if done.returncode != 0:
            raise Failed(f"msi.sh {v}: exit {done.returncode}\n{done.stdout}{done.stderr}")
        packages.append(done.stdout.strip().splitlines()[-1])
    step("two packages built in")

    shutil.rmtree(prefix, ignore_errors=True)
    if fresh:
        subprocess.run(["sh", os.path.join(os.path.dirname(os.path.abspath(__file__)), "wine.sh"),
                        "copy", fresh, prefix], check=True)
    else:
        wine("wineboot", "-i", timeout=300)
        wineserver("-w")
    # Wine ends its services when its last other process has gone: a server
    # that stays keeps the service running between the commands here.
    wineserver("-p")
    step("a fresh prefix settled in")
    program_files = os.path.join(prefix, "drive_c", "Program Files", "qelmar")
    config = os.path.join(prefix, "drive_c", "ProgramData", "qelmar", "serve.conf")
    com = os.path.join(prefix, "dosdevices", f"com{PORT}")
    master, slave = os.openpty()
    tty.setraw(slave)
    if os.path.lexists(com):  # left in the prefix it was copied from
        os.remove(com)
    os.symlink(os.ttyname(slave), com)
    problems = []
    try:
        msiexec("/i", packages[0])
        missing = [f for f in INSTALLED if not os.path.isfile(os.path.join(program_files, f))]
        if missing:
            problems.append(f"not installed: {missing}")
        if not os.path.isfile(config):
            raise Failed(f"no {config}")
        if not on_path():
            problems.append("bin\\ is not on the machine's PATH")
        wait_for_state("RUNNING")
        status, answer = answers(DEFAULT_ADDRESS, "GET", "/v1/health")
        if status != 200 or answer.get("status") != "ok":
            problems.append(f"GET /v1/health on the default address: {status} {answer}")
        # The tool, by its name alone, as a technician types it.
        said = wine("cmd", "/c", "qelmar --version", check=False)
        if said.returncode != 0 or version not in said.stdout:
            problems.append(f"qelmar --version from the PATH: exit {said.returncode}: {said.stdout}")
        said = wine("cmd", "/c", f"qelmar send -p {PORT} 12.5H", check=False)
        line = read_frame(master, FRAME)
        if said.returncode != 0 or line != FRAME:
            problems.append(f"qelmar send: exit {said.returncode} {said.stdout}, COM{PORT} carried "
                            f"{line.hex(' ')}, want {FRAME.hex(' ')}")
        # What the registry lists: this prefix's own ports (COM7 was linked
        # after Wine wrote its list).
        said = wine("cmd", "/c", "qelmar ports", check=False)
        if said.returncode != 0 or "\\\\.\\COM" not in said.stdout:
            problems.append(f"qelmar ports: exit {said.returncode}: {said.stdout}")
        step("installed, RUNNING and healthy in")

        # The administrator's changes, which the service reads when restarted.
        port = free_port()
        with open(config, "a", encoding="utf-8") as f:
            f.write(f'\r\nlisten = "127.0.0.1:{port}"\r\nallow-origin = ["{ORIGIN}"]\r\n')
        with open(config, "rb") as f:
            changed = f.read()
        took, sc_ran = stop_seconds(DEFAULT_ADDRESS)
        if took > STOP_WITHIN:
            problems.append(f"the service ran on {took:.2f} s after sc stop, want {STOP_WITHIN} s")
        wait_for_state("STOPPED")
        wine("sc", "start", SERVICE)
        wait_for_state("RUNNING")
        status, answer = answers(port, "POST", f"/v1/ports/{PORT}/commands", {"text": "12.5H"},
                                 {"Origin": ORIGIN})
        line = read_frame(master, FRAME)
        if status != 200 or line != FRAME:
            problems.append(f"a page's POST: {status} {answer}, COM{PORT} carried {line.hex(' ')}, "
                            f"want {FRAME.hex(' ')}")
        step(f"gone {took:.2f} s after sc stop ({sc_ran:.2f} s) returned, restarted on the "
             f"changed configuration and drove COM{PORT} in")

        msiexec("/i", packages[1])
        with open(config, "rb") as f:
            if f.read() != changed:
                problems.append("the upgrade replaced the changed configuration")
        wait_for_state("RUNNING")
        status, answer = answers(port, "GET", "/v1/health")
        if status != 200:
            problems.append(f"GET /v1/health after the upgrade: {status} {answer}")
        listed = wine("reg", "query",
                      r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall", "/s",
                      check=False)
        products = listed.stdout.count("DisplayName    REG_SZ    qelmar")
        if products != 1:
            # What reg said, to tell a failed query from a lost or doubled product.
            names = re.findall(r"^(HKEY\S*|\s+DisplayName\s.*?)\r?$", listed.stdout, re.M)
            problems.append(f"{products} qelmar products registered after the upgrade, want 1 "
                            f"(reg exit {listed.returncode}: {names or listed.stdout[-400:]})")
        step("upgraded in place, the configuration kept, in")

        msiexec("/x", packages[1])
        left = [f for f in INSTALLED if os.path.exists(os.path.join(program_files, f))]
        if left or os.path.exists(program_files):
            problems.append(f"left after the uninstall: {left or program_files}")
        if (now := state()) != "missing":
            problems.append(f"the service is {now} after the uninstall, want none")
        if serve_process():
            problems.append("qelmar-serve.exe still runs after the uninstall")
        if on_path():
            problems.append("bin\\ is still on the PATH after the uninstall")
        if not os.path.isfile(config):
            problems.append("the uninstall removed the changed configuration")
        step("uninstalled in")
    finally:
        wineserver("-k")
        os.remove(com)
        os.close(master)
        os.close(slave)
    if problems:
        raise Failed("\n".join(problems))
    return "; ".join(log)


def main():
    msi_sh, builds, prefix = (os.path.abspath(a) for a in sys.argv[1:4])
    fresh = os.path.abspath(sys.argv[4]) if len(sys.argv) > 4 else None
    for tool in ("wixl", "msibuild", "msiinfo"):
        if shutil.which(tool) is None:
            print(f"SKIPPED: {tool} is not installed (packages wixl, msitools)")
            return SKIPPED
    os.environ["WINEPREFIX"] = prefix
    start = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="qelmar-wine-msi-") as scratch:
        try:
            said = run(msi_sh, builds, prefix, fresh, scratch)
            # Kept only when something failed, to look into.
            shutil.rmtree(prefix, ignore_errors=True)
            print(f"PASSED in {time.monotonic() - start:.0f} s: {said}")
            return 0
        except (Failed, subprocess.TimeoutExpired) as e:
            print(f"FAILED after {time.monotonic() - start:.0f} s: {e}")
            return 1


if __name__ == "__main__":
    sys.exit(main())
