"""The Python module: a host in another language, over ctypes, checked on a
pseudo-terminal against the command table and against the tool's own
conversion to GB2312."""
import os
import pathlib
import select
import subprocess
import tty

import pytest

import qelmar

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
    assert qelmar.Display(PORT).send(text) == result
    assert line() == frame


def tool_frame(text):
    """The frame `qelmar encode` makes of text in a UTF-8 locale."""
    out = subprocess.run(
        [os.environ["QELMAR_TOOL"], "encode", "--", text],
        env={**os.environ, "LANG": "C.UTF-8", "LC_ALL": ""},
        capture_output=True, text=True, check=True,
    ).stdout.splitlines()
    return b"" if out[0] == "-" else bytes.fromhex(out[0]), int(out[1].split()[1])


@pytest.mark.parametrize(
    "text",
    ["#价格#", "#AB 12#", "  #价A#tail", "#价", "##", "#０９…―～－￥#", "12.5H", "#ｇ#", "P12"],
)
def test_str_in_gb2312_as_the_tool_converts_it(line, text):
    frame, result = tool_frame(text)
    assert qelmar.Display(PORT).send(text) == result
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
    assert qelmar.Display(PORT).rc(a, b) is None
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
    # where there is no sound device; either way the line stays quiet.
    not_sound = tmp_path / "not.wav"
    not_sound.write_bytes(b"RIFF")
    assert qelmar.Display(PORT).play(not_sound) is None
    assert line() == b""
