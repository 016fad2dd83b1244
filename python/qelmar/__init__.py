"""Drive a qelmar price display from Python.

    import qelmar
    display = qelmar.Display(1)           # port 1: /dev/com1, else /dev/ttyS0
    display.send("12.5H")                 # -> 2, the library's result code
    display.send("#价格 12.50#")          # the text between '#' marks goes as GB2312
    display.rc(0x41, 0x42)
    display.play("/usr/share/sounds/qelmar/thanks.wav")

Each call blocks until its frame has left (or the sound has played) and, like
the library, never raises for a display that is missing: set QELMAR_LOG=stderr
to see what became of each call. Calls from several threads take turns.
"""
from __future__ import annotations

import ctypes
import os
import threading
from typing import Final, Optional, Union

__all__ = [
    "Display",
    "EncodingError",
    "RESULT_DONE",
    "RESULT_EMPTY",
    "RESULT_TWO_CHARACTERS",
    "encode",
    "library",
]

# tavdll's result codes, as include/qelmar.h names them.
RESULT_EMPTY: Final = 1
RESULT_DONE: Final = 2
RESULT_TWO_CHARACTERS: Final = 750630

Text = Union[str, bytes, bytearray]
Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class EncodingError(ValueError):
    """A character between the '#' marks that GB2312 has no code for."""

    def __init__(self, character: str, position: int) -> None:
        super().__init__(
            f"GB2312 has no character {character!r} (U+{ord(character):04X}) at {position}"
        )
        self.character = character
        self.position = position


def encode(text: Text) -> bytes:
    """The command text as the library takes it.

    A command whose first non-space character is '#' carries a line of text up to
    the next '#'; that text is turned into GB2312, the display's character set.
    The rest goes as UTF-8 (the command language itself is ASCII). Bytes are
    taken as they are.
    """
    if isinstance(text, (bytes, bytearray)):
        command = bytes(text)
    elif isinstance(text, str):
        command = _to_device(text)
    else:
        raise TypeError(f"a command is str or bytes, not {type(text).__name__}")
    if b"\0" in command:
        raise ValueError("a command cannot hold a NUL character")
    return command


def _to_device(text: str) -> bytes:
    opening = len(text) - len(text.lstrip(" "))
    if not text.startswith("#", opening):
        return text.encode("utf-8")
    closing = text.find("#", opening + 1)
    if closing < 0:
        closing = len(text)
    out = bytearray(text[: opening + 1].encode("ascii"))
    for position in range(opening + 1, closing):
        try:
            out += text[position].encode("gb2312")
        except UnicodeEncodeError:
            raise EncodingError(text[position], position) from None
    out += text[closing:].encode("utf-8")
    return bytes(out)


_library: Optional[ctypes.CDLL] = None
_loading = threading.Lock()


def _where() -> str:
    explicit = os.environ.get("QELMAR_LIBRARY")
    if explicit:
        return explicit
    try:  # written into the build tree's copy of this package
        from ._build import LIBRARY

        return LIBRARY
    except ImportError:
        return "libqelmar.so.0"


def library() -> ctypes.CDLL:
    """libqelmar, loaded on first use: $QELMAR_LIBRARY, the build tree's, or the
    installed libqelmar.so.0."""
    global _library
    with _loading:
        if _library is None:
            lib = ctypes.CDLL(_where())
            lib.tavdll.argtypes = [ctypes.c_int32, ctypes.c_char_p]
            lib.tavdll.restype = ctypes.c_int32
            lib.tavrc.argtypes = [ctypes.c_int32, ctypes.c_int32, ctypes.c_int32]
            lib.tavrc.restype = ctypes.c_int32
            lib.tavadd.argtypes = [ctypes.c_int32, ctypes.c_char_p]
            lib.tavadd.restype = ctypes.c_int32
            _library = lib
        return _library


def _int32(name: str, value: int) -> int:
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{name} is an int, not {type(value).__name__}")
    if not -(2**31) <= value < 2**31:
        raise ValueError(f"{name} {value} does not fit in 32 bits")
    return value


class Display:
    """The display on serial port `port` (1 for COM1)."""

    def __init__(self, port: int) -> None:
        self.port = _int32("port", port)

    def __repr__(self) -> str:
        return f"qelmar.Display({self.port})"

    def send(self, text: Text) -> int:
        """Sends one command; returns the library's result code (RESULT_*)."""
        return int(library().tavdll(self.port, encode(text)))

    def rc(self, a: int, b: int) -> None:
        """Sends the frame 0x12 a b (only the low 8 bits of each)."""
        library().tavrc(self.port, _int32("a", a), _int32("b", b))

    def play(self, path: Path) -> None:
        """Plays a sound file to its end; the default alert when it cannot be played."""
        encoded = os.fsencode(path)
        if b"\0" in encoded:
            raise ValueError("a path cannot hold a NUL character")
        library().tavadd(0, encoded)
