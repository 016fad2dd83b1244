# SPDX-License-Identifier: MIT
"""Drive a qelmar price display from Python.

    import qelmar
    display = qelmar.Display(1)           # port 1: /dev/com1, else /dev/ttyS0
    sent = display.send("12.5H")          # what became of it
    sent.result                           # -> 2, the library's result code
    sent.delivered, sent.reason           # -> True, 'delivered 6 bytes in 25.0 ms'
    if not display.send("5"): ...         # a result is true when it was delivered
    display.send("#价格 12.50#")          # the text between '#' marks goes as GB2312
    display.rc(0x41, 0x42)
    display.play("/usr/share/sounds/qelmar/thanks.wav")  # a short sound
    qelmar.Display(1, strict=True).send("5")   # raises NotDelivered unless it left
    qelmar.ports()                        # the serial devices, none opened
    qelmar.log_to_logging(True)           # each call's line to the "qelmar" logger

Each call blocks until its frame has left (or the sound has played) and returns
a Result, true when it was delivered; like the library it never raises for a
display that is missing, unless asked to be strict (NotDelivered, an OSError).
Calls from several threads take turns.

The module calls libqelmar-host (include/qelmar/host.h) through ctypes, loaded
on the first call: the file $QELMAR_HOST_LIBRARY names, else the build tree's
(for the build tree's copy of this package), else the system's
libqelmar-host.so.1 (qelmar-host.dll on Windows). When none loads, the call
raises LibraryNotFound, saying where it looked. Outcome and __version__ are
the library's, so they load it too. `python3 -m qelmar --help` offers send,
rc and ports from the command line.
"""
from __future__ import annotations

import ctypes
import enum
import errno
import logging
import os
import threading
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Final, List, NamedTuple, Optional, Tuple, Union

from . import _native
from ._native import LibraryNotFound, MissingFunction

__all__ = [
    "Display",
    "Encoded",
    "EncodingError",
    "LibraryNotFound",
    "MissingFunction",
    "NotDelivered",
    "Outcome",
    "Port",
    "RESULT_DONE",
    "RESULT_EMPTY",
    "RESULT_TWO_CHARACTERS",
    "Result",
    "encode",
    "frame",
    "library",
    "library_version",
    "log_to_logging",
    "ports",
]

# tavdll's result codes, as include/qelmar.h names them.
RESULT_EMPTY: Final = 1
RESULT_DONE: Final = 2
RESULT_TWO_CHARACTERS: Final = 750630

Text = Union[str, bytes, bytearray]
Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

logger: Final = logging.getLogger("qelmar")


# The outcomes are the library's (qelmar_outcome_name, value for value), so a
# library with more than this module knew still names them all.
_outcome_enum: Optional[Any] = None
_delivered = -1  # the value of DELIVERED, once the enum is made
_making = threading.Lock()


def _outcomes() -> Any:
    global _outcome_enum, _delivered
    if _outcome_enum is not None:
        return _outcome_enum
    with _making:
        if _outcome_enum is None:
            made = enum.IntEnum(  # type: ignore[misc]
                "Outcome", [(name.upper(), value)
                            for value, name in enumerate(_native.outcome_names())],
                module=__name__)
            made.__doc__ = ("What became of a call: qelmar_outcome, value for value, as the "
                            "loaded library names them. A name in lower case is the library's "
                            "short name for it (qelmar_outcome_name).")
            _delivered = made["DELIVERED"].value
            _outcome_enum = made
        return _outcome_enum


if TYPE_CHECKING:  # both made at run time, below
    Outcome: Any
    __version__: str


def __getattr__(name: str) -> Any:
    # Made on first use: both load the library.
    if name == "Outcome":
        return _outcomes()
    if name == "__version__":
        return _module_version()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def _module_version() -> str:
    """The library's version, which is this module's (one project, one
    version); where no library loads, the installed package's, if any."""
    try:
        return library_version()
    except LibraryNotFound:
        from importlib.metadata import PackageNotFoundError, version

        try:
            return version("qelmar")
        except PackageNotFoundError:
            pass
        raise


# Logged at INFO: a delivery, or a call that had nothing to send; the rest at WARNING.
_LOGGED_AS_INFO: Final = frozenset({"delivered", "empty", "nothing_to_send"})

# The errno of a NotDelivered, for the outcomes that have one.
_ERRNO: Final = {
    "not_found": errno.ENOENT,
    "no_permission": errno.EACCES,
    "busy": errno.EBUSY,
    "not_a_tty": errno.ENOTTY,
    "not_configured": errno.EIO,
    "stuck": errno.ETIMEDOUT,
}


class Result:
    """What became of one call: its qelmar_status, read out on demand (the
    fields, and the reason in words, are read when first asked for). True when
    it was delivered, so `if display.send(...)` means "if it left"."""

    __slots__ = ("_result", "_status", "_reason")

    def __init__(self, result: int, status: _native.Status) -> None:
        # The record is this result's alone: only the call it was given to wrote
        # it. The fields are properties without setters: read only.
        self._result = result
        self._status = status
        self._reason: Optional[str] = None

    def __bool__(self) -> bool:
        return self.delivered

    @property
    def result(self) -> int:
        """The legacy result code: what tavdll, tavrc or tavadd would return."""
        return self._result

    @property
    def call(self) -> str:
        """The call that made it: "send", "rc" or "play"."""
        return _native.text(self._status.call)

    @property
    def outcome(self) -> Any:
        """An Outcome."""
        value = self._status.outcome
        try:
            return _outcomes()(value)  # type: ignore[no-any-return]
        except ValueError:  # not named by the library: its reason still says what happened
            return _outcomes()(0)  # type: ignore[no-any-return]

    @property
    def delivered(self) -> bool:
        """The frame left whole, or the sound played to its end."""
        if _delivered < 0:
            _outcomes()
        return bool(self._status.outcome == _delivered)

    @property
    def reason(self) -> str:
        """The outcome in words, as the tool says it (qelmar_describe)."""
        if self._reason is None:
            self._reason = _describe(self._status)
        return self._reason

    @property
    def port(self) -> int:
        return int(self._status.port)

    @property
    def tried(self) -> Tuple[str, ...]:
        """The device paths tried, in order."""
        status = self._status
        return tuple(_native.text(status.tried[i].value)
                     for i in range(max(0, min(status.tried_count, 2))))

    @property
    def frame_bytes(self) -> int:
        return int(self._status.frame_bytes)

    @property
    def sent_bytes(self) -> int:
        return int(self._status.sent_bytes)

    @property
    def milliseconds(self) -> float:
        return float(self._status.milliseconds)

    @property
    def group(self) -> str:
        """For NO_PERMISSION: the group that owns the device."""
        return _native.text(self._status.group)

    @property
    def holder(self) -> int:
        """For BUSY: the holding process where the system can tell, else 0."""
        return int(self._status.holder)

    @property
    def detail(self) -> str:
        """The encoder's reason for DROPPED, a sound's for ALERT_INSTEAD,
        NOT_PLAYED, BAD_FILE and STUCK, or more on NOT_FOUND."""
        return _native.text(self._status.reason)

    @property
    def sound_format(self) -> str:
        return _native.text(self._status.sound_format)

    @property
    def sound_seconds(self) -> float:
        return float(self._status.sound_seconds)

    @property
    def sound_device(self) -> str:
        return _native.text(self._status.sound_device)

    _FIELDS: Final = ("call", "result", "outcome", "delivered", "reason", "port", "tried",
                      "frame_bytes", "sent_bytes", "milliseconds", "group", "holder", "detail",
                      "sound_format", "sound_seconds", "sound_device")

    def _values(self) -> Tuple[Any, ...]:
        return tuple(getattr(self, name) for name in self._FIELDS)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Result):
            return NotImplemented
        return self is other or self._values() == other._values()

    def __hash__(self) -> int:
        return hash(self._values())

    def __repr__(self) -> str:
        return "Result(" + ", ".join(f"{name}={getattr(self, name)!r}"
                                     for name in self._FIELDS) + ")"


class NotDelivered(OSError):
    """A strict call whose frame did not leave (or whose sound did not play).
    The message is the result's reason; errno is the system's nearest error
    for the outcome (ENOENT, EACCES, EBUSY, ENOTTY, EIO, ETIMEDOUT), or None
    for one the system has no error for (a dropped command, a sound)."""

    def __init__(self, result: Result) -> None:
        code = _ERRNO.get(result.outcome.name.lower())
        if code is None:
            super().__init__(result.reason)
        else:
            super().__init__(code, result.reason)
        self.result = result

    def __str__(self) -> str:
        return self.result.reason

    def __reduce__(self) -> Tuple[Any, Tuple[Result]]:
        # Made again from its result (OSError's own would pass errno and message).
        return NotDelivered, (self.result,)


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
    if isinstance(text, str):
        command = _to_device(text) if "#" in text else text.encode("utf-8")
    elif isinstance(text, (bytes, bytearray)):
        command = bytes(text)
    else:
        raise TypeError(f"a command is str or bytes, not {type(text).__name__}")
    if b"\0" in command:
        raise ValueError("a command cannot hold a NUL character")
    return command


def _to_device(text: str) -> bytes:
    # The library finds the text between the marks and converts it, as the
    # tool and the bridge have it done; a lone surrogate goes as the malformed
    # UTF-8 it is, for the library to refuse.
    command = text.encode("utf-8", "surrogatepass")
    if b"\0" in command:
        raise ValueError("a command cannot hold a NUL character")
    room = ctypes.create_string_buffer(len(command) + 1)  # GB2312 is never longer
    length = ctypes.c_size_t(0)
    failed_at = ctypes.c_size_t(0)
    outcome = _native.function("qelmar_display_text")(
        command, None, room, len(room), ctypes.byref(length), ctypes.byref(failed_at)
    )
    names = _outcomes()
    if outcome == names["DELIVERED"]:
        return room.raw[: min(length.value, len(command))]
    if outcome != names["DROPPED"]:
        raise RuntimeError(f"the library cannot convert UTF-8 to GB2312 ({names(outcome).name})")
    position = len(command[: failed_at.value].decode("utf-8", "surrogatepass"))
    raise EncodingError(text[position], position)


class Encoded(NamedTuple):
    """A command as the library would send it (qelmar_encode)."""

    frame: bytes
    """The bytes on the line; empty when the text sends nothing."""
    result: int
    """The result code a send of it returns."""
    dropped: str
    """Why a command that selected a frame is not sent; empty otherwise."""


def frame(text: Text) -> Encoded:
    """Encodes a command as Display.send would send it, sending nothing."""
    frame_buffer = (ctypes.c_uint8 * _native.FRAME_SIZE)()
    result = ctypes.c_int32(0)
    dropped = ctypes.create_string_buffer(160)
    length = _native.function("qelmar_encode")(
        encode(text), frame_buffer, len(frame_buffer), ctypes.byref(result), dropped, len(dropped)
    )
    sent = bytes(frame_buffer[: min(length, len(frame_buffer))]) if length >= 0 else b""
    return Encoded(sent, int(result.value), _native.text(dropped.value))


def library() -> ctypes.CDLL:
    """libqelmar-host, loaded on first use: the file $QELMAR_HOST_LIBRARY
    names, else the build tree's, else the installed libqelmar-host.so.1 (then .so)
    (qelmar-host.dll on Windows). Raises LibraryNotFound, naming each place
    tried, when none loads."""
    return _native.library()


def library_version() -> str:
    """The loaded library's version; __version__ is this module's."""
    version = _native.function("qelmar_version")()
    return _native.text(version or b"")


# The log hook: lines of a call made here wait on the calling thread until its
# outcome is known, which chooses the level; others go out at once.
_pending = threading.local()


def _on_log_line(line: Optional[bytes], user: Optional[int]) -> None:
    text = _native.text(line or b"")
    lines: Optional[List[str]] = getattr(_pending, "lines", None)
    if lines is not None:
        lines.append(text)
    else:
        logger.info("%s", text)


# Made once and never freed: a call already under way on another thread may
# still reach it after the hook is turned off.
_hook: Final = _native.LogHook(_on_log_line)
_no_hook: Final = _native.LogHook()  # NULL
_hooking = threading.Lock()


def log_to_logging(enabled: bool = True) -> None:
    """Hands each call's log line to the "qelmar" logger, instead of the sink
    that QELMAR_LOG names; False goes back to QELMAR_LOG.

    A call that delivered, or had nothing to send, is logged at INFO; one that
    meant to send or play and did not, at WARNING. The record carries the
    Result as its `qelmar` attribute. Applies to calls that start afterwards,
    from any thread.
    """
    with _hooking:
        _native.function("qelmar_set_log_hook")(_hook if enabled else _no_hook, None)


def _describe(status: _native.Status) -> str:
    describe = _native.function("qelmar_describe")
    buffer = ctypes.create_string_buffer(256)
    length = describe(ctypes.byref(status), buffer, len(buffer))
    if length >= len(buffer):
        buffer = ctypes.create_string_buffer(length + 1)
        describe(ctypes.byref(status), buffer, len(buffer))
    return _native.text(buffer.value)


def _call(call: Callable[[_native.Status], int], strict: bool) -> Result:
    status = _native.new_status()
    # Held whether the hook is on or not: it may be turned on during the call.
    outer = getattr(_pending, "lines", None)
    lines: List[str] = []
    _pending.lines = lines
    try:
        result = Result(call(status), status)
    finally:
        _pending.lines = outer
    if lines:
        name = result.outcome.name.lower()
        level = logging.INFO if name in _LOGGED_AS_INFO else logging.WARNING
        for line in lines:
            logger.log(level, "%s", line, extra={"qelmar": result})
    if strict and not result.delivered:
        raise NotDelivered(result)
    return result


def _int32(name: str, value: int) -> int:
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{name} is an int, not {type(value).__name__}")
    if not -(2**31) <= value < 2**31:
        raise ValueError(f"{name} {value} does not fit in 32 bits")
    return value


class Display:
    """The display on serial port `port` (1 for COM1). A strict display
    raises NotDelivered for every call that did not deliver, unless the call
    says otherwise."""

    def __init__(self, port: int, *, strict: bool = False) -> None:
        self.port = _int32("port", port)
        self.strict = bool(strict)

    def __repr__(self) -> str:
        return f"qelmar.Display({self.port}{', strict=True' if self.strict else ''})"

    def _strict(self, strict: Optional[bool]) -> bool:
        return self.strict if strict is None else bool(strict)

    def send(self, text: Text, *, strict: Optional[bool] = None) -> Result:
        """Sends one command; `.result` is the library's result code (RESULT_*).
        Strict: raises NotDelivered unless the frame left whole."""
        command = encode(text)
        send = _native.function("qelmar_send")
        return _call(lambda status: send(self.port, command, status), self._strict(strict))

    def rc(self, a: int, b: int, *, strict: Optional[bool] = None) -> Result:
        """Sends the frame 0x12 a b (only the low 8 bits of each)."""
        first, second = _int32("a", a), _int32("b", b)
        send_rc = _native.function("qelmar_send_rc")
        return _call(
            lambda status: int(send_rc(self.port, first, second, status)), self._strict(strict)
        )

    def play(self, path: Path, *, strict: Optional[bool] = None) -> Result:
        """Plays a sound file to its end; the default alert when it cannot be
        played. Touches no port: the result's port is 0. Strict: raises
        NotDelivered unless the file itself played."""
        encoded = os.fsencode(path)
        if b"\0" in encoded:
            raise ValueError("a path cannot hold a NUL character")
        play = _native.function("qelmar_play")
        return _call(lambda status: int(play(encoded, status)), self._strict(strict))

    def send_many(self, texts: List[Text], *, strict: Optional[bool] = None) -> List[Result]:
        """Sends up to 64 commands as one turn on the port: no other call's
        frame comes between theirs. One Result per text; after a frame that
        did not go out whole the rest are not tried. Strict: raises
        NotDelivered for the first text that did not deliver."""
        commands = [encode(text) for text in texts]
        statuses = (_native.Status * max(len(commands), 1))()
        statuses[0].size = _native.STATUS_SIZE  # the distance between records
        array = (ctypes.c_char_p * max(len(commands), 1))(*commands)
        send_many = _native.function("qelmar_send_many")
        if send_many(self.port, array, len(commands), statuses) < 0:
            raise ValueError(f"{len(commands)} commands are more than one batch takes")
        results = [Result(statuses[i].result, statuses[i]) for i in range(len(commands))]
        for result in results if self._strict(strict) else []:
            if not result.delivered:
                raise NotDelivered(result)
        return results

    def send_frame(self, frame: bytes, *, strict: Optional[bool] = None) -> Result:
        """Sends 1 to 81 bytes as they are, as one frame, for what the command
        language cannot say; `.result` is how many bytes left."""
        data = bytes(frame)
        send_frame = _native.function("qelmar_send_frame")
        return _call(
            lambda status: int(send_frame(self.port, data, len(data), status)), self._strict(strict)
        )


@dataclass(frozen=True)
class Port:
    """One serial device as the system describes it (qelmar_port_info); texts
    the system does not give are empty."""

    path: str
    kind: str
    """"USB", "native UART", "pseudo-terminal" or "other"."""
    driver: str
    vendor_id: str
    product_id: str
    manufacturer: str
    product: str
    serial: str
    by_id: str
    """The first link in /dev/serial/by-id."""
    ports: Tuple[int, ...]
    """The port numbers that resolve to it now."""
    accessible: bool
    """Whether this user may open it for writing."""
    group: str
    holders: Tuple[int, ...]
    """Other processes that have it open."""
    console: bool
    """The system lists it as a console: no port number falls back to it."""
    by_path: Tuple[str, ...] = ()
    """The links in /dev/serial/by-path that lead to it, whole paths."""


def _port(info: _native.PortInfo) -> Port:
    return Port(
        path=_native.text(info.path),
        kind=_native.text(info.kind),
        driver=_native.text(info.driver),
        vendor_id=_native.text(info.vendor_id),
        product_id=_native.text(info.product_id),
        manufacturer=_native.text(info.manufacturer),
        product=_native.text(info.product),
        serial=_native.text(info.serial),
        by_id=_native.text(info.by_id),
        ports=tuple(info.ports[: max(0, min(info.port_count, _native.PORT_LIST_SIZE))]),
        accessible=bool(info.accessible),
        group=_native.text(info.group),
        holders=tuple(info.holders[: max(0, min(info.holder_count, _native.PORT_LIST_SIZE))]),
        console=bool(info.console),
        by_path=tuple(_native.text(link.value) for link in
                      info.by_path[: max(0, min(info.by_path_count, _native.PORT_LIST_SIZE))]),
    )


def ports(root: Optional[Path] = None) -> List[Port]:
    """The serial devices, never opening one. `root` is a folder laid out like
    a machine (dev, sys, proc), for tests; None is this machine."""
    list_ports = _native.function("qelmar_list_ports")
    where = None if root is None else os.fsencode(root)
    if where is not None and b"\0" in where:
        raise ValueError("a path cannot hold a NUL character")
    capacity = 16
    while True:
        buffer = _native.new_port_infos(capacity)
        count = list_ports(where, buffer, capacity)
        if count < 0:
            raise OSError(f"the serial devices of {os.fsdecode(where or b'/')} cannot be read")
        if count <= capacity:
            return [_port(buffer[i]) for i in range(count)]
        capacity = count  # room for them all; ask again, as the count may change
