# SPDX-License-Identifier: MIT
"""libqelmar-host through ctypes: its records, its functions, and where it is.

Everything here mirrors include/qelmar/host.h; the public face is in
__init__.py. Each function is looked up on first use, so that a library that
lacks one still serves the others.
"""
from __future__ import annotations

import ctypes
import os
import sys
import threading
from typing import Any, Callable, Dict, List, Optional, Tuple

# The sizes host.h fixes.
PATH_SIZE = 1024
PORT_LIST_SIZE = 8
LINK_SIZE = 288
FRAME_SIZE = 81

_WINDOWS = sys.platform == "win32"


class Status(ctypes.Structure):
    """struct qelmar_status."""

    _fields_ = [
        ("size", ctypes.c_uint32),
        ("outcome", ctypes.c_int),
        ("call", ctypes.c_char * 8),
        ("result", ctypes.c_int32),
        ("port", ctypes.c_int32),
        ("tried_count", ctypes.c_int32),
        ("tried", (ctypes.c_char * PATH_SIZE) * 2),
        ("group", ctypes.c_char * 64),
        ("padding1", ctypes.c_uint32),
        ("holder", ctypes.c_int64),
        ("reason", ctypes.c_char * 160),
        ("frame_bytes", ctypes.c_uint32),
        ("sent_bytes", ctypes.c_uint32),
        ("milliseconds", ctypes.c_double),
        ("sound_format", ctypes.c_char * 64),
        ("sound_seconds", ctypes.c_double),
        ("sound_device", ctypes.c_char * 64),
    ]


class PortInfo(ctypes.Structure):
    """struct qelmar_port_info."""

    _fields_ = [
        ("size", ctypes.c_uint32),
        ("path", ctypes.c_char * PATH_SIZE),
        ("kind", ctypes.c_char * 32),
        ("driver", ctypes.c_char * 64),
        ("vendor_id", ctypes.c_char * 8),
        ("product_id", ctypes.c_char * 8),
        ("manufacturer", ctypes.c_char * 128),
        ("product", ctypes.c_char * 128),
        ("serial", ctypes.c_char * 128),
        ("by_id", ctypes.c_char * PATH_SIZE),
        ("port_count", ctypes.c_int32),
        ("ports", ctypes.c_int32 * PORT_LIST_SIZE),
        ("accessible", ctypes.c_int32),
        ("group", ctypes.c_char * 64),
        ("holder_count", ctypes.c_int32),
        ("holders", ctypes.c_int64 * PORT_LIST_SIZE),
        ("console", ctypes.c_int32),
        ("padding1", ctypes.c_uint32),
        # Appended since the first version.
        ("holder_how", ctypes.c_uint32 * PORT_LIST_SIZE),
        ("holder_names", (ctypes.c_char * 16) * PORT_LIST_SIZE),
        ("unseen_processes", ctypes.c_int32),
        ("mode", ctypes.c_uint32),
        ("owner", ctypes.c_char * 64),
        ("running", ctypes.c_uint32),
        ("master_count", ctypes.c_int32),
        ("masters", ctypes.c_int64 * PORT_LIST_SIZE),
        ("master_names", (ctypes.c_char * 16) * PORT_LIST_SIZE),
        ("consoles_unread", ctypes.c_char * 64),
        ("by_path_count", ctypes.c_int32),
        ("by_path", (ctypes.c_char * LINK_SIZE) * PORT_LIST_SIZE),
        ("padding2", ctypes.c_uint32),
    ]


# What each record's size is set to: the size of the record this module knows.
STATUS_SIZE = ctypes.sizeof(Status)
PORT_INFO_SIZE = ctypes.sizeof(PortInfo)


# The x86 DLL is stdcall throughout, its hook type included.
if _WINDOWS:
    _Library: Any = ctypes.WinDLL  # type: ignore[attr-defined]
    _functype: Any = ctypes.WINFUNCTYPE  # type: ignore[attr-defined]
    SYSTEM_NAMES: Tuple[str, ...] = ("qelmar-host.dll",)
else:
    _Library = ctypes.CDLL
    _functype = ctypes.CFUNCTYPE
    # The ABI this module is written for first; the development link, which
    # points at whatever is installed, only when that is missing.
    SYSTEM_NAMES = ("libqelmar-host.so.1", "libqelmar-host.so")
SYSTEM_NAME = SYSTEM_NAMES[0]
# The package that ships the library, for the advice when it is missing.
PACKAGE = "libqelmar-host1"

# void hook(const char *line, void *user); the line as bytes, NULL-safe.
LogHook = _functype(None, ctypes.c_char_p, ctypes.c_void_p)

_P = ctypes.POINTER
_SIGNATURES: Dict[str, Tuple[Any, List[Any]]] = {
    "qelmar_send": (ctypes.c_int32, [ctypes.c_int32, ctypes.c_char_p, _P(Status)]),
    "qelmar_send_rc": (
        ctypes.c_int32,
        [ctypes.c_int32, ctypes.c_int32, ctypes.c_int32, _P(Status)],
    ),
    "qelmar_play": (ctypes.c_int32, [ctypes.c_char_p, _P(Status)]),
    "qelmar_describe": (ctypes.c_size_t, [_P(Status), ctypes.c_char_p, ctypes.c_size_t]),
    "qelmar_outcome_name": (ctypes.c_char_p, [ctypes.c_int]),
    "qelmar_set_log_hook": (None, [LogHook, ctypes.c_void_p]),
    "qelmar_encode": (
        ctypes.c_int32,
        [
            ctypes.c_char_p,
            _P(ctypes.c_uint8),
            ctypes.c_size_t,
            _P(ctypes.c_int32),
            ctypes.c_char_p,
            ctypes.c_size_t,
        ],
    ),
    "qelmar_version": (ctypes.c_char_p, []),
    "qelmar_list_ports": (ctypes.c_int32, [ctypes.c_char_p, _P(PortInfo), ctypes.c_int32]),
    "qelmar_send_many": (
        ctypes.c_int32,
        [ctypes.c_int32, _P(ctypes.c_char_p), ctypes.c_int32, _P(Status)],
    ),
    "qelmar_display_text": (
        ctypes.c_int,
        [
            ctypes.c_char_p,
            ctypes.c_char_p,
            ctypes.c_char_p,
            ctypes.c_size_t,
            _P(ctypes.c_size_t),
            _P(ctypes.c_size_t),
        ],
    ),
    "qelmar_send_frame": (
        ctypes.c_int32,
        [ctypes.c_int32, ctypes.c_char_p, ctypes.c_size_t, _P(Status)],
    ),
    "qelmar_port_range": (None, [_P(ctypes.c_int32), _P(ctypes.c_int32)]),
}


class MissingFunction(RuntimeError):
    """The loaded library predates a function this module calls."""


class LibraryNotFound(OSError):
    """libqelmar-host loaded from none of the places this module looks; the
    message names each, why it failed, and what to do."""


def _build_tree_library() -> Optional[str]:
    # Written by CMake into the build tree's copy of this package only; a copy
    # installed by pip or the Debian package has none.
    try:
        from ._build import HOST_LIBRARY  # type: ignore

        return str(HOST_LIBRARY)
    except ImportError:
        return None


def places() -> List[Tuple[str, str]]:
    """Where the library is looked for, in order, as (what, file): an explicit
    $QELMAR_HOST_LIBRARY alone; otherwise the build tree's library, when this
    copy is the build tree's, then the system's."""
    explicit = os.environ.get("QELMAR_HOST_LIBRARY")
    if explicit:
        return [("QELMAR_HOST_LIBRARY", explicit)]
    built = _build_tree_library()
    found = [("the build tree", built)] if built else []
    return found + [("the system", name) for name in SYSTEM_NAMES]


def _fix(explicit: bool) -> str:
    if explicit:
        return (f"Point QELMAR_HOST_LIBRARY at an existing {SYSTEM_NAME}, or unset it to "
                "use the installed library.")
    if _WINDOWS:
        return (f"Put {SYSTEM_NAME} beside the program or on the DLL search path, or set "
                "QELMAR_HOST_LIBRARY to the file.")
    return (f"Install the library (on Debian: apt install {PACKAGE}), or set "
            f"QELMAR_HOST_LIBRARY to the file {SYSTEM_NAME} (a build tree's is "
            f"build/<preset>/{SYSTEM_NAME}).")


def _load() -> ctypes.CDLL:
    tried = places()
    failures = []
    for what, path in tried:
        try:
            loaded: ctypes.CDLL = _Library(path)
            return loaded
        except OSError as error:
            failures.append(f"  {path} ({what}): {error}")
    explicit = tried[0][0] == "QELMAR_HOST_LIBRARY"
    raise LibraryNotFound(
        "the qelmar host library cannot be loaded; tried:\n"
        + "\n".join(failures) + "\n" + _fix(explicit)
    )


_library: Optional[ctypes.CDLL] = None
_functions: Dict[str, Callable[..., Any]] = {}
_loading = threading.Lock()


def library() -> ctypes.CDLL:
    """The host library, loaded on first use; LibraryNotFound when it cannot
    be (tried again on the next use)."""
    global _library
    with _loading:
        if _library is None:
            _library = _load()
        return _library


def function(name: str) -> Callable[..., Any]:
    """`name` from the library with host.h's signature; MissingFunction when
    the library has no such export."""
    found = _functions.get(name)
    if found is not None:
        return found
    lib = library()
    try:
        entry: Any = getattr(lib, name)
    except AttributeError:
        raise MissingFunction(
            f"{lib._name} has no {name}: the library is older than this module"
        ) from None
    restype, argtypes = _SIGNATURES[name]
    entry.restype = restype
    entry.argtypes = argtypes
    typed: Callable[..., Any] = entry
    with _loading:
        _functions[name] = typed
    return typed


def new_status() -> Status:
    """A status record for one call, its size set; every call's record is made here."""
    return Status(STATUS_SIZE)


def new_port_infos(count: int) -> "ctypes.Array[PortInfo]":
    """An array of `count` port records for qelmar_list_ports; the first one's
    size is the distance between records."""
    records = (PortInfo * count)()
    if count > 0:
        records[0].size = PORT_INFO_SIZE
    return records


def outcome_names() -> List[str]:
    """The library's outcomes by value, 0 up: it names each one it has, and
    every value past the last "unknown"."""
    name = function("qelmar_outcome_name")
    names: List[str] = []
    while len(names) < 1000:  # a bound, should a library name every value
        named = text(name(len(names)) or b"unknown")
        if named == "unknown":
            break
        names.append(named)
    return names


def port_range() -> range:
    """The port numbers the library's calls take, as it says at run time."""
    lowest, highest = ctypes.c_int32(), ctypes.c_int32()
    function("qelmar_port_range")(ctypes.byref(lowest), ctypes.byref(highest))
    return range(lowest.value, highest.value + 1)


def text(field: bytes) -> str:
    """A fixed-size text field: the system's bytes, never failing to decode."""
    return field.decode("utf-8", "surrogateescape")
