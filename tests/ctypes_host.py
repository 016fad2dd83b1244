#!/usr/bin/env python3
"""A host in another language: loads the library with ctypes, points port 7 at a
pseudo-terminal and checks every row of the command table on the line."""
import ctypes
import os
import select
import sys
import tempfile
import tty

library, table = sys.argv[1], sys.argv[2]
MARKER = bytes([0x12, 0xA5, 0x5A])


def unescape(text):
    out, i = bytearray(), 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            kind = text[i + 1]
            if kind == "x":
                out.append(int(text[i + 2:i + 4], 16))
                i += 4
                continue
            out += b"\t" if kind == "t" else kind.encode()
            i += 2
            continue
        out += text[i].encode()
        i += 1
    return bytes(out)


master, slave = os.openpty()
tty.setraw(slave)
with tempfile.TemporaryDirectory() as devices:
    os.symlink(os.ttyname(slave), os.path.join(devices, "com7"))
    os.environ["QELMAR_DEVICE_DIR"] = devices

    qelmar = ctypes.CDLL(library)
    qelmar.tavdll.argtypes = [ctypes.c_int32, ctypes.c_char_p]
    qelmar.tavdll.restype = ctypes.c_int32
    qelmar.tavrc.argtypes = [ctypes.c_int32, ctypes.c_int32, ctypes.c_int32]
    qelmar.tavrc.restype = ctypes.c_int32

    def line_after(call):
        result = call()
        qelmar.tavrc(7, 0xA5, 0x5A)
        data = b""
        while not data.endswith(MARKER):
            ready, _, _ = select.select([master], [], [], 5)
            if not ready:
                raise RuntimeError("marker frame never arrived")
            data += os.read(master, 4096)
        return result, data[: -len(MARKER)]

    passed = failed = 0
    with open(table, encoding="utf-8") as rows:
        for number, row in enumerate(rows, 1):
            if not row.strip() or row.startswith(";"):
                continue
            kind, text, frame, result = row.rstrip("\n").split("\t")
            expected = b"" if frame == "-" else bytes.fromhex(frame)
            got_result, got = line_after(lambda: qelmar.tavdll(7, unescape(text)))
            if (got_result, got) == (int(result), expected):
                passed += 1
            else:
                failed += 1
                print(f"line {number} {kind} {text!r}: got {got_result} {got.hex(' ').upper()},"
                      f" want {result} {frame}")

    result, got = line_after(lambda: qelmar.tavrc(7, 0x41, 0x142))
    if (result, got) == (0, bytes([0x12, 0x41, 0x42])):
        passed += 1
    else:
        failed += 1
        print(f"tavrc: got {result} {got.hex(' ')}")

print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
