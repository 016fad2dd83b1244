# SPDX-License-Identifier: MIT
"""The Python module: a host in another language, over ctypes, checked on a
pseudo-terminal against the command table and against the tool's own
conversion to GB2312, with what became of each call."""
import ctypes
import errno
import fcntl
import logging
import os
import pathlib
import pickle
import re
import select
import shutil
import subprocess
import sys
import threading
import time
import tty

import pytest

import qelmar
from qelmar import Outcome, _native

TABLE = pathlib.Path(__file__).parents[1] / "data" / "commands.tsv"
MARKER = bytes([0x12, 0xA5, 0x5A])
PORT = 7


def unescape(text):
    out, i = bytearray(), 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            kind = text[i + 1]
            if kind == "x":
                out.append(int(text[i + 2 : i + 4], 16))
                i += 4
                continue
            out += b"\t" if kind == "t" else kind.encode()
            i += 2
            continue
        out += text[i].encode()
        i += 1
    return bytes(out)


def table_rows():
    for number, row in enumerate(TABLE.read_text(encoding="utf-8").splitlines(), 1):
        if row.strip() and not row.startswith(";"):
            kind, text, frame, result = row.split("\t")
            expected = b"" if frame == "-" else bytes.fromhex(frame)
            yield pytest.param(unescape(text), expected, int(result), id=f"{kind}-{number}")


@pytest.fixture(scope="module")
def line(tmp_path_factory):
    """Port 7 as a pseudo-terminal; calling it returns what reached the line."""
    master, slave = os.openpty()
    tty.setraw(slave)
    devices = tmp_path_factory.mktemp("devices")
    os.symlink(os.ttyname(slave), devices / f"com{PORT}")
    os.environ["QELMAR_DEVICE_DIR"] = str(devices)

    def read():
        qelmar.Display(PORT).rc(0xA5, 0x5A)
        data = b""
        while not data.endswith(MARKER):
            ready, _, _ = select.select([master], [], [], 5)
            assert ready, "the marker frame never arrived"
            data += os.read(master, 4096)
        return data[: -len(MARKER)]

    yield read
    del os.environ["QELMAR_DEVICE_DIR"]
    os.close(master)
    os.close(slave)


@pytest.mark.parametrize("text,frame,result", table_rows())
def test_command_table(line, text, frame, result):
    assert qelmar.Display(PORT).send(text).result == result
    assert line() == frame
    assert qelmar.frame(text)[:2] == (frame, result)


def tool_frame(text):
    """The frame `qelmar encode` makes of text in a UTF-8 locale."""
    run = subprocess.run(
        [os.environ["QELMAR_TOOL"], "encode", "--", text],
        env={**os.environ, "LANG": "C.UTF-8", "LC_ALL": ""},
        capture_output=True, text=True,
    )
    # 2: the text makes no frame, and the tool says why.
    assert run.returncode in (0, 2), run.stderr
    out = run.stdout.splitlines()
    return b"" if out[0] == "-" else bytes.fromhex(out[0]), int(out[1].split()[1])


@pytest.mark.parametrize(
    "text",
    ["#价格#", "#AB 12#", "  #价A#tail", "#价", "##", "#０９…―～－￥#", "12.5H", "#ｇ#", "P12"],
)
def test_str_in_gb2312_as_the_tool_converts_it(line, text):
    frame, result = tool_frame(text)
    assert qelmar.Display(PORT).send(text).result == result
    assert line() == frame


@pytest.mark.parametrize(
    "text,error,match",
    [
        ("#€#", qelmar.EncodingError, "'€' \\(U\\+20AC\\) at 1"),
        ("#·#", qelmar.EncodingError, "U\\+00B7"),
        ("  #ab😀#", qelmar.EncodingError, "at 5"),
        ("1\0" "2", ValueError, "NUL"),
        (b"1\0", ValueError, "NUL"),
        (12, TypeError, "str or bytes"),
    ],
)
def test_refused_texts_send_nothing(line, text, error, match):
    with pytest.raises(error, match=match):
        qelmar.Display(PORT).send(text)
    assert line() == b""


def test_outside_the_marks_text_is_left_alone():
    assert qelmar.encode("12€") == "12€".encode()
    assert qelmar.encode("x#€#") == "x#€#".encode()


@pytest.mark.parametrize(
    "a,b,frame",
    [(0x41, 0x142, b"\x12\x41\x42"), (-1, 0, b"\x12\xff\x00"), (2**31 - 1, -(2**31), b"\x12\xff\x00")],
)
def test_rc_sends_the_low_bytes(line, a, b, frame):
    sent = qelmar.Display(PORT).rc(a, b)
    assert (sent.call, sent.result, sent.outcome, sent.frame_bytes) == ("rc", 0, Outcome.DELIVERED, 3)
    assert sent
    assert line() == frame


@pytest.mark.parametrize(
    "call,error",
    [
        (lambda: qelmar.Display(2**31), ValueError),
        (lambda: qelmar.Display("1"), TypeError),
        (lambda: qelmar.Display(PORT).rc(2**31, 0), ValueError),
        (lambda: qelmar.Display(PORT).rc(1.5, 0), TypeError),
        (lambda: qelmar.Display(PORT).play("a\0b"), ValueError),
        (lambda: qelmar.Display(PORT).play(3), TypeError),
    ],
)
def test_wrong_arguments_raise(line, call, error):
    with pytest.raises(error):
        call()
    assert line() == b""


def test_play_touches_no_port(line, tmp_path):
    # Not a sound file: the library falls back to its alert, or plays nothing
    # where there is no sound device; either way the line stays quiet, and the
    # file's fault is told.
    not_sound = tmp_path / "not.wav"
    not_sound.write_bytes(b"RIFF")
    played = qelmar.Display(PORT).play(not_sound)
    assert (played.call, played.result, played.port, played.tried) == ("play", 0, 0, ())
    assert played.outcome in (Outcome.ALERT_INSTEAD, Outcome.BAD_FILE)
    assert played.detail.startswith("the file cannot be decoded")
    assert not played
    assert line() == b""


HEADER = pathlib.Path(__file__).parents[2] / "include"


@pytest.mark.parametrize("record,c_name", [(_native.Status, "qelmar_status"),
                                            (_native.PortInfo, "qelmar_port_info")])
def test_records_are_laid_out_as_the_header_says(tmp_path, record, c_name):
    compiler = shutil.which(os.environ.get("CC", "cc"))
    if compiler is None:
        pytest.skip("SKIPPED: no C compiler to read the header's layout with")
    fields = [name for name, _ in record._fields_]
    program = tmp_path / "layout.c"
    program.write_text(
        '#include <stddef.h>\n#include <stdio.h>\n#include "qelmar/host.h"\nint main(void) {\n'
        f'  printf("%zu\\n", sizeof({c_name}));\n'
        + "".join(f'  printf("%zu\\n", offsetof({c_name}, {f}));\n' for f in fields)
        + "  return 0;\n}\n"
    )
    generated = os.environ.get("QELMAR_GENERATED_INCLUDE", HEADER)  # qelmar/version.h
    subprocess.run([compiler, f"-I{HEADER}", f"-I{generated}", str(program), "-o", str(tmp_path / "layout")],
                   check=True)
    layout = subprocess.run([str(tmp_path / "layout")], capture_output=True, text=True,
                            check=True).stdout.split()
    assert [int(n) for n in layout] == [ctypes.sizeof(record)] + [
        getattr(record, f).offset for f in fields]


def header_outcomes():
    listed = (HEADER / "qelmar" / "outcomes.h").read_text()
    return [(name, int(value)) for name, value in re.findall(r"X\((\w+), (\d+), \w+, ", listed)]


def test_outcomes_are_the_librarys_and_the_headers():
    # The module copies none: each is as the library names it, and the
    # library names each one the header has.
    assert [(o.name, o.value) for o in Outcome] == header_outcomes()
    name = _native.function("qelmar_outcome_name")
    assert all(name(o.value).decode() == o.name.lower() for o in Outcome)
    assert name(len(Outcome)) == b"unknown"


def test_packaged_version_is_the_projects():
    # pyproject.toml reads _version.py before any library is at hand.
    from qelmar import _version
    project = (HEADER.parent / "CMakeLists.txt").read_text()
    assert (_version.__version__ == qelmar.__version__ == qelmar.library_version()
            == re.search(r"project\(qelmar VERSION ([0-9.]+)", project)[1])


OTHER_LIBRARY = r"""
#include <stddef.h>
static const char *const names[] = {"unfilled", "delivered", "from_the_future"};
const char *qelmar_outcome_name(int outcome) {
  return outcome >= 0 && outcome < 3 ? names[outcome] : "unknown";
}
const char *qelmar_version(void) { return "9.8.7"; }
void qelmar_port_range(int *lowest, int *highest) { *lowest = 3; *highest = 9; }
"""

# What the module shows of a library that has an outcome and a version it has never seen.
IN_THE_OTHER = """
import qelmar
from qelmar import _native
status = _native.new_status()
status.outcome = 2
print([(o.name, o.value) for o in qelmar.Outcome], qelmar.__version__,
      qelmar.Result(0, status).outcome.name, bool(qelmar.Result(0, status)))
"""


def test_outcomes_and_version_come_from_the_loaded_library(tmp_path):
    compiler = shutil.which(os.environ.get("CC", "cc"))
    if compiler is None:
        pytest.skip("SKIPPED: no C compiler to build another library with")
    (tmp_path / "other.c").write_text(OTHER_LIBRARY)
    library = tmp_path / "libother.so"
    subprocess.run([compiler, "-shared", "-fPIC", str(tmp_path / "other.c"), "-o", str(library)],
                   check=True)
    env = {**os.environ, "QELMAR_HOST_LIBRARY": str(library)}
    shown = subprocess.run([sys.executable, "-c", IN_THE_OTHER], capture_output=True, text=True,
                           env=env)
    assert shown.stdout == ("[('UNFILLED', 0), ('DELIVERED', 1), ('FROM_THE_FUTURE', 2)] 9.8.7 "
                            "FROM_THE_FUTURE False\n"), shown.stderr
    version = module("--version", env={"QELMAR_HOST_LIBRARY": str(library)})
    assert version.stdout.decode().splitlines() == [
        "qelmar 9.8.7 (Python module)", f"libqelmar-host 9.8.7 ({library})"]
    # The port numbers too, at N-1, N and N+1 of either end.
    for port, taken in [(2, False), (3, True), (4, True), (8, True), (9, True), (10, False)]:
        sent = module("send", "-p", str(port), "5", env={"QELMAR_HOST_LIBRARY": str(library)})
        refused = f"qelmar: --port: {port} is not a number from 3 to 9 (see --help)\n"
        assert (sent.returncode, sent.stderr.decode() == refused) == (1, not taken), sent.stderr


def device(port):
    return os.path.join(os.environ["QELMAR_DEVICE_DIR"], f"com{port}")


class Held:
    """Port 7 held with flock by another open of its device, as another program would."""

    def __enter__(self):
        self.fd = os.open(os.path.realpath(device(PORT)), os.O_RDWR | os.O_NOCTTY)
        fcntl.flock(self.fd, fcntl.LOCK_EX)

    def __exit__(self, *_):
        os.close(self.fd)


# text, port, held, outcome, reason, bytes on the line, NotDelivered's errno
OUTCOMES = [
    ("12.5H", PORT, False, Outcome.DELIVERED, r"delivered 6 bytes in \d+\.\d ms",
     bytes.fromhex("1F 01 02 05 00 1F"), None),
    ("", PORT, False, Outcome.EMPTY, "nothing to send: the text is empty, the port was not opened",
     b"", None),
    ("-12", PORT, False, Outcome.NOTHING_TO_SEND, "nothing to send: the text selects no frame", b"",
     None),
    ("@12", PORT, False, Outcome.DROPPED, r"not sent: the command was dropped \(no closing '@'\)",
     b"", None),
    ("5", 8, False, Outcome.NOT_FOUND, "not sent: no such device", b"", errno.ENOENT),
    ("5", PORT, True, Outcome.BUSY, r"not sent: busy \(held by process {pid}\)", b"", errno.EBUSY),
]


@pytest.mark.parametrize("text,port,held,outcome,reason,frame,error", OUTCOMES,
                         ids=[o[3].name.lower() for o in OUTCOMES])
def test_what_became_of_a_send(line, text, port, held, outcome, reason, frame, error):
    if held:
        with Held():
            sent = qelmar.Display(port).send(text)
    else:
        sent = qelmar.Display(port).send(text)
    assert (sent.call, sent.result, sent.port, sent.outcome, sent.delivered, bool(sent)) == (
        "send", qelmar.frame(text).result, port, outcome, outcome is Outcome.DELIVERED,
        outcome is Outcome.DELIVERED)
    # What a strict call raises for it, with the system's nearest error.
    raised = qelmar.NotDelivered(sent)
    assert (isinstance(raised, OSError), raised.errno, str(raised)) == (True, error, sent.reason)
    # Both cross to another process whole (a logging queue, a process pool).
    again = pickle.loads(pickle.dumps(raised))
    assert (again.result, again.errno, str(again)) == (sent, error, sent.reason)
    assert re.fullmatch(reason.format(pid=os.getpid()), sent.reason), sent.reason
    assert sent.tried == (() if outcome is Outcome.EMPTY else (device(port),))
    assert (sent.frame_bytes, sent.sent_bytes) == (len(frame), len(frame))
    assert sent.detail == qelmar.frame(text).dropped
    assert sent.holder == (os.getpid() if held else 0)
    # Busy is only told after the whole wait for the port.
    assert (sent.milliseconds >= 800) == held
    assert line() == frame


# display's strict, call's strict, port, what is asked; whether it raises
STRICT = [
    (True, None, 8, "5", True),
    (False, True, 8, "5", True),
    (True, False, 8, "5", False),
    (True, None, PORT, "5", False),
    (False, True, PORT, "@12", True),
    (False, True, PORT, "", True),
    (True, None, PORT, "rc", False),
    (True, None, 8, "rc", True),
    (False, None, 8, "rc", False),
    (False, True, 0, "play", True),  # not a sound file: the alert, or nothing, plays
]


@pytest.mark.parametrize("on_display,on_call,port,text,raises", STRICT)
def test_strict_raises_for_what_was_not_delivered(line, tmp_path, on_display, on_call, port, text,
                                                  raises):
    (tmp_path / "not.wav").write_bytes(b"RIFF")
    display = qelmar.Display(port, strict=on_display)
    call = {"rc": lambda: display.rc(1, 2, strict=on_call),
            "play": lambda: display.play(tmp_path / "not.wav", strict=on_call)}.get(
        text, lambda: display.send(text, strict=on_call))
    if raises:
        with pytest.raises(qelmar.NotDelivered) as raised:
            call()
        assert not raised.value.result.delivered and raised.value.result.port == port
        assert isinstance(raised.value, OSError)
        assert str(raised.value) == raised.value.result.reason != ""
    else:
        assert call().delivered == (port == PORT)
    line()


@pytest.fixture
def logged(caplog):
    caplog.set_level(logging.INFO, logger="qelmar")
    qelmar.log_to_logging(True)
    yield caplog
    qelmar.log_to_logging(False)


# port, text, level, what the line ends with
LOGGED = [
    (PORT, "12.5H", logging.INFO, r"delivered 6 bytes in \d+\.\d ms"),
    (PORT, "", logging.INFO, "the port was not opened"),
    (PORT, "@12", logging.WARNING, r"dropped \(no closing '@'\)"),
    (8, "5", logging.WARNING, "no such device"),
]


@pytest.mark.parametrize("port,text,level,ending", LOGGED)
def test_each_call_logs_one_record(line, logged, port, text, level, ending):
    sent = qelmar.Display(port).send(text)
    assert [(r.name, r.levelno, r.qelmar) for r in logged.records] == [("qelmar", level, sent)]
    assert re.search(rf"qelmar_send port {port}\b.*: .*{ending}$", logged.records[0].getMessage())
    qelmar.log_to_logging(False)
    qelmar.Display(port).send(text)
    assert len(logged.records) == 1
    line()


def test_threads_log_their_own_calls(line, logged):
    start = threading.Barrier(2)

    def calls(port):
        start.wait()
        for _ in range(200):
            qelmar.Display(port).send("5")

    threads = [threading.Thread(target=calls, args=(port,)) for port in (PORT, 8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    levels = {(f"port {PORT} ", logging.INFO), ("port 8 ", logging.WARNING)}
    assert len(logged.records) == 400
    assert {(m, r.levelno) for r in logged.records for m, _ in levels
            if m in r.getMessage()} == levels
    line()


def test_a_hook_turned_on_during_a_call_logs_it_at_its_level(line, logged):
    # Calls that began before the hook still hold their line for their outcome.
    done = threading.Event()

    def toggle():
        while not done.is_set():
            qelmar.log_to_logging(True)
            qelmar.log_to_logging(False)

    toggler = threading.Thread(target=toggle)
    toggler.start()
    try:
        # A thousand calls at least, and on until one was caught: on a loaded
        # machine the toggling thread can miss a thousand.
        deadline = time.monotonic() + 30
        calls = 0
        while calls < 1000 or (not logged.records and time.monotonic() < deadline):
            qelmar.Display(8).send("5")
            calls += 1
    finally:
        done.set()
        toggler.join()
    assert logged.records, "the hook was never on during a call"
    assert {(r.levelno, r.qelmar.outcome) for r in logged.records} == {
        (logging.WARNING, Outcome.NOT_FOUND)}
    line()


class FakeMachine:
    """A machine's dev, sys and proc below a folder: an FTDI adapter held by
    process 4321, and more UARTs than the first listing has room for."""

    UARTS = 20

    def __init__(self, root):
        def write(path, text=""):
            (root / path).parent.mkdir(parents=True, exist_ok=True)
            (root / path).write_text(text + "\n")

        def link(target, path):
            (root / path).parent.mkdir(parents=True, exist_ok=True)
            os.symlink(target, root / path)

        usb = "sys/devices/pci0000:00/usb1/1-1"
        for name, value in [("idVendor", "0403"), ("idProduct", "6001"),
                            ("manufacturer", "FTDI"), ("serial", "A1B2C3")]:
            write(f"{usb}/{name}", value)
        (root / "sys/bus/usb-serial/drivers/ftdi_sio").mkdir(parents=True)
        (root / "sys/bus/platform/drivers/serial8250").mkdir(parents=True)
        (root / "sys/devices/platform/serial8250").mkdir(parents=True)
        link(root / "sys/bus/usb-serial/drivers/ftdi_sio", f"{usb}/1-1:1.0/ttyUSB0/driver")
        link(root / "sys/bus/platform/drivers/serial8250", "sys/devices/platform/serial8250/driver")
        link(root / f"{usb}/1-1:1.0/ttyUSB0", "sys/class/tty/ttyUSB0/device")
        write("dev/ttyUSB0")
        link("../../ttyUSB0", "dev/serial/by-id/usb-FTDI_A1B2C3-if00-port0")
        link("../../ttyUSB0", "dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0")
        link(root / "dev/ttyUSB0", "proc/4321/fd/3")
        for n in range(self.UARTS):
            link(root / "sys/devices/platform/serial8250", f"sys/class/tty/ttyS{n}/device")
            write(f"sys/class/tty/ttyS{n}/type", "4")
            write(f"dev/ttyS{n}")


def test_ports_lists_a_machine(line, tmp_path):
    FakeMachine(tmp_path)
    listed = {p.path: p for p in qelmar.ports(tmp_path)}
    pty = os.path.realpath(device(PORT))
    assert sorted(listed) == sorted(
        ["/dev/ttyUSB0", pty] + [f"/dev/ttyS{n}" for n in range(FakeMachine.UARTS)])
    adapter = listed["/dev/ttyUSB0"]
    assert (adapter.kind, adapter.driver, adapter.vendor_id, adapter.product_id,
            adapter.manufacturer, adapter.serial, adapter.holders, adapter.ports) == (
        "USB", "ftdi_sio", "0403", "6001", "FTDI", "A1B2C3", (4321,), ())
    assert adapter.by_id == "/dev/serial/by-id/usb-FTDI_A1B2C3-if00-port0"
    assert adapter.by_path == ("/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0",)
    assert (listed["/dev/ttyS19"].kind, listed["/dev/ttyS19"].driver) == ("native UART", "serial8250")
    assert (listed[pty].kind, listed[pty].ports, listed[pty].console) == (
        "pseudo-terminal", (PORT,), False)


def module(*args, env=None):
    """python3 -m qelmar ARGS, in a UTF-8 locale."""
    return subprocess.run([sys.executable, "-m", "qelmar", *args], capture_output=True,
                          env={**os.environ, "LANG": "C.UTF-8", "LC_ALL": "", **(env or {})})


def tool(*args):
    return subprocess.run([os.environ["QELMAR_TOOL"], *args], capture_output=True,
                          env={**os.environ, "LANG": "C.UTF-8", "LC_ALL": ""})


# Arguments for both the tool and python3 -m qelmar, and the exit code: 0 all
# delivered, 2 not, 1 a usage error (whose words may differ).
COMMAND_LINES = [
    (["send", "-p", "7", "12.5H"], 0),
    (["send", "-p", "7", "12.5H", "@12", "#价格#", ""], 2),
    (["send", "-q", "-p", "7", "5"], 0),
    (["send", "-p", "8", "5"], 2),
    (["send", "--raw", "-p", "7", b"#\xbc\xdb#"], 0),
    (["send", "-p", "7", "--", "-12"], 2),
    (["rc", "-p", "7", "0x41", "66"], 0),
    (["rc", "-q", "-p", "7", "0xFF", "256"], 0),
    (["rc", "-p", "8", "1", "2"], 2),
    (["send", "-p", "7", "#€#"], 1),
    (["send", "-p", "7"], 1),
    (["send", "-p", "x", "5"], 1),
    (["rc", "-p", "7", "1"], 1),
    (["rc", "-p", "7", "x", "1"], 1),
    # Port numbers as hosts number COM ports, 1 to 255 (the rest below).
    (["send", "-p", "1", "5"], 2),
    (["send", "-p", "2", "5"], 2),
    (["send", "-p", "254", "5"], 2),
    (["send", "-p", "255", "5"], 2),
    (["rc", "-p", "0xFF", "1", "2"], 2),
]


@pytest.mark.parametrize("args,code", COMMAND_LINES)
def test_command_line_does_what_the_tool_does(line, args, code):
    theirs = tool(*args)
    their_frames = line()
    ours = module(*args)
    assert (ours.returncode, theirs.returncode) == (code, code), ours.stderr
    assert (ours.stdout, line()) == (theirs.stdout, their_frames)
    if code == 1:
        assert ours.stderr.startswith(b"qelmar: ") and ours.stderr.count(b"\n") == 1, ours.stderr
    else:
        elapsed = re.compile(rb"\d+\.\d ms")
        assert elapsed.sub(b"T", ours.stderr) == elapsed.sub(b"T", theirs.stderr)


@pytest.mark.parametrize("args", [["send", "-p", "0", "5"], ["send", "-p", "256", "5"],
                                  ["send", "-p", "-1", "5"], ["rc", "-p", "0x100", "1", "2"]])
def test_command_line_refuses_ports_the_tool_refuses_in_its_words(line, args):
    ours, theirs = module(*args), tool(*args)
    assert (ours.returncode, ours.stdout, ours.stderr) == (1, b"", theirs.stderr)
    assert b"is not a number from 1 to 255" in ours.stderr
    assert line() == b""


@pytest.mark.parametrize("args", [["send", "--prot", "7", "5"], ["send", "-p", "7", "--qiet=1", "5"],
                                  ["sned", "5"], ["--verison"], ["ports", "--jsno"]])
def test_command_line_suggests_what_the_tool_suggests(line, args):
    ours, theirs = module(*args), tool(*args)
    assert (ours.returncode, ours.stdout, ours.stderr) == (1, b"", theirs.stderr)
    assert b"did you mean" in ours.stderr
    assert line() == b""


@pytest.mark.parametrize("listing", [[], ["--json"]])
def test_command_line_lists_ports_as_the_tool_does(line, tmp_path, listing):
    FakeMachine(tmp_path)
    ours, theirs = module("ports", *listing, "--root", str(tmp_path)), tool(
        "ports", *listing, "--root", str(tmp_path))
    assert (ours.returncode, ours.stdout) == (theirs.returncode, theirs.stdout), ours.stderr
    assert b"pci-0000:00:14.0-usb-0:1:1.0-port0" in ours.stdout


@pytest.mark.parametrize("command", ["send", "rc", "ports"])
def test_each_subcommand_has_the_tools_options_and_help(command):
    ours = module(command, "--help")
    assert ours.returncode == 0
    assert ours.stdout.startswith(f"usage: python3 -m qelmar {command} ".encode())
    options = re.compile(rb"--[a-z][a-z-]+")
    theirs = tool(command, "--help").stdout
    assert set(options.findall(theirs)) <= set(options.findall(ours.stdout))
    assert command.encode() in module("--help").stdout


def test_command_line_version_is_the_modules_and_the_librarys():
    shown = module("--version")
    assert shown.returncode == 0
    assert shown.stdout.decode().splitlines() == [
        f"qelmar {qelmar.__version__} (Python module)",
        f"libqelmar-host {qelmar.library_version()} ({qelmar.library()._name})"]


def system_library_loads():
    # In another process: here the build tree's, loaded already, answers to its soname.
    for name in _native.SYSTEM_NAMES:
        load = f"import ctypes; ctypes.CDLL({name!r})"
        if subprocess.run([sys.executable, "-c", load], capture_output=True).returncode == 0:
            return True
    return False


SOURCE = pathlib.Path(__file__).parents[2] / "python" / "qelmar"
BUILT = "built"  # the build tree's library, which this test run uses

# $QELMAR_HOST_LIBRARY, the _build.py library, and what the module loads, or
# else what its message names.
LOOKUPS = [
    (BUILT, None, BUILT),
    (None, BUILT, BUILT),
    (BUILT, "/gone/libqelmar-host.so.1", BUILT),
    ("/nonexistent", BUILT, ["/nonexistent (QELMAR_HOST_LIBRARY): /nonexistent: cannot open",
                             "unset it"]),
    (None, "/gone/libqelmar-host.so.1", ["/gone/libqelmar-host.so.1 (the build tree)",
                                         "libqelmar-host.so.1 (the system)",
                                         "libqelmar-host.so (the system)",
                                         "apt install libqelmar-host1)",
                                         "set QELMAR_HOST_LIBRARY"]),
    (None, None, ["libqelmar-host.so.1 (the system)", "libqelmar-host.so (the system)",
                  "apt install libqelmar-host1)"]),
]


@pytest.mark.parametrize("explicit,built,expected", LOOKUPS)
def test_the_library_is_looked_for_in_order_and_missed_clearly(tmp_path, explicit, built,
                                                               expected):
    if isinstance(expected, list) and system_library_loads() and explicit is None:
        pytest.skip(f"SKIPPED: one of {_native.SYSTEM_NAMES} is installed on this machine")
    ours = qelmar.library()._name
    package = tmp_path / "qelmar"
    shutil.copytree(SOURCE, package, ignore=shutil.ignore_patterns("_build.py", "__pycache__"))
    if built:
        library = ours if built == BUILT else built
        (package / "_build.py").write_text(f"HOST_LIBRARY = {library!r}\n")
    env = {"PYTHONPATH": str(tmp_path)}
    if explicit:
        env["QELMAR_HOST_LIBRARY"] = ours if explicit == BUILT else explicit
    else:
        env["QELMAR_HOST_LIBRARY"] = ""
    script = ("import qelmar\ntry:\n    print(qelmar.library()._name)\n"
              "except qelmar.LibraryNotFound as e:\n    assert isinstance(e, OSError)\n"
              "    raise SystemExit(str(e))\n")
    loaded = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            env={**os.environ, **env})
    if expected == BUILT:
        assert (loaded.returncode, loaded.stdout) == (0, ours + "\n"), loaded.stderr
        return
    assert loaded.returncode == 1 and loaded.stdout == ""
    for words in expected:
        assert words in loaded.stderr, loaded.stderr
    # The command line says the same and exits as on a usage error.
    refused = module("send", "-p", "8", "5", env=env)
    assert refused.returncode == 1 and refused.stdout == b""
    assert refused.stderr.decode() == f"qelmar: {loaded.stderr}"


def test_a_batch_and_a_raw_frame(line):
    display = qelmar.Display(PORT)
    results = display.send_many(["12", "", b"34"])
    assert [(r.call, r.outcome) for r in results] == [
        ("batch", Outcome.DELIVERED), ("batch", Outcome.EMPTY), ("batch", Outcome.DELIVERED)
    ]
    assert line() == qelmar.frame("12").frame + qelmar.frame("34").frame
    assert display.send_many([]) == []
    with pytest.raises(ValueError, match="65 commands"):
        display.send_many(["12"] * 65)
    with pytest.raises(qelmar.NotDelivered):
        display.send_many(["12", " "], strict=True)
    assert line() == qelmar.frame("12").frame
    sent = display.send_frame(b"\xff\x00\x12")
    assert (sent.call, sent.result, sent.outcome) == ("frame", 3, Outcome.DELIVERED)
    assert display.send_frame(b"").outcome is Outcome.DROPPED
    with pytest.raises(qelmar.NotDelivered):
        display.send_frame(bytes(82), strict=True)
    assert line() == b"\xff\x00\x12"
