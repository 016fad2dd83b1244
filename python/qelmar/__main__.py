# SPDX-License-Identifier: MIT
"""python3 -m qelmar: send, rc and ports as the qelmar tool does them, through
this module, with the tool's output and exit codes."""
from __future__ import annotations

import argparse
import json
import os
import re
import sys
from typing import Any, Dict, List, NoReturn, Optional, Sequence

from . import (
    Display,
    EncodingError,
    LibraryNotFound,
    MissingFunction,
    Port,
    Result,
    _module_version,
    _native,
    library_version,
    ports,
)

# Exit codes, as the tool's.
DELIVERED = 0
USAGE_ERROR = 1
NOT_DELIVERED = 2

QUIET_HELP = "say nothing on stderr; only the exit code tells"


def _edits(a: str, b: str) -> int:
    """Edits (insert, delete, replace, swap two neighbours) that turn a into b."""
    d = [[i + j if i * j == 0 else 0 for j in range(len(b) + 1)] for i in range(len(a) + 1)]
    for i in range(1, len(a) + 1):
        for j in range(1, len(b) + 1):
            d[i][j] = min(d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1]))
            if i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                d[i][j] = min(d[i][j], d[i - 2][j - 2] + 1)
    return d[-1][-1]


def _nearest(word: str, names: Sequence[str]) -> Optional[str]:
    """The name `word` was likely meant to be, as the tool finds it: the start
    of a name, or at most two edits from one."""
    found, best = None, 3
    for name in names:
        distance = 1 if len(word) >= 2 and name.startswith(word) else _edits(word, name)
        if distance < best:
            found, best = name, distance
    return found


class _Parser(argparse.ArgumentParser):
    # The subcommands' parsers, for the options a typo was meant to be.
    commands: Dict[str, argparse.ArgumentParser] = {}
    given: List[str] = []

    def parse_args(self, args: Any = None, namespace: Any = None) -> Any:
        self.given = list(sys.argv[1:] if args is None else args)
        return super().parse_args(args, namespace)

    def _typo(self, message: str) -> Optional[str]:
        """The tool's words for a mistyped subcommand or long option, when one is near."""
        choice = re.match(r"^argument COMMAND: invalid choice: '([^']*)'", message)
        if choice:
            meant = _nearest(choice[1], list(self.commands))
            return meant and f"unknown subcommand '{choice[1]}': did you mean '{meant}'?"
        if not message.startswith("unrecognized arguments: "):
            return None
        command = next((a for a in self.given if a in self.commands), None)
        names = [o for p in (self, self.commands.get(command or "")) if p
                 for a in p._actions for o in a.option_strings if o.startswith("--")]
        for arg in self.given[self.given.index(command) + 1 if command else 0:]:
            if arg == "--":
                break
            word = arg.split("=", 1)[0]
            meant = _nearest(word, names) if word.startswith("--") and word not in names else None
            if meant:
                return f"unknown option '{word}': did you mean '{meant}'?"
        return None

    # The tool's way: one line naming the problem, and exit code 1 (argparse's is 2,
    # which here means "not delivered").
    def error(self, message: str) -> NoReturn:
        # An option named as the tool names it: "--port: ...", not "argument -p/--port: ...".
        message = self._typo(message) or re.sub(r"^argument (?:-\w/)?(--[\w-]+): ", r"\1: ",
                                                 message)
        sys.stderr.write(f"qelmar: {message} (see --help)\n")
        sys.exit(USAGE_ERROR)


def _byte(text: str) -> int:
    """A parameter byte as the tool takes it: 65, 0x41 (or 0b, 0o), -1."""
    try:
        return int(text, 0)
    except ValueError:
        pass
    try:
        return int(text, 10)  # 010: base 0 refuses a leading zero
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None


def _port(text: str) -> int:
    """A port number as the tool takes it (65 or 0x41), in its words when out
    of the range the library takes (hosts number COM ports so, and the tool
    and the bridge take the same). Without a library to ask, the number goes
    on, and the call says why it cannot be made."""
    try:
        value: Optional[int] = _byte(text)
    except argparse.ArgumentTypeError:
        value = None
    try:
        ports = _native.port_range()
    except (LibraryNotFound, MissingFunction):
        if value is None:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        return value
    if value is not None and value in ports:
        return value
    raise argparse.ArgumentTypeError(f"{text} is not a number from {ports[0]} to {ports[-1]}")


def _version() -> str:
    try:
        module = _module_version()
    except LibraryNotFound:
        module = "(its version is the library's)"
    try:
        loaded = f"libqelmar-host {library_version()} ({_native.library()._name})"
    except LibraryNotFound:
        tried = ", ".join(path for _, path in _native.places())
        loaded = f"libqelmar-host: not loaded (tried {tried})"
    except MissingFunction as error:
        loaded = f"libqelmar-host: {error}"
    return f"qelmar {module} (Python module)\n{loaded}"


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="python3 -m qelmar",
        description="Drive a qelmar price display through the Python module.",
        epilog="Exit codes: 0 every frame was delivered, 1 a usage error, 2 a frame was not "
        "delivered. The display is found as the library finds it (QELMAR_DEVICE_DIR, "
        "/dev/comN, /dev/ttyS<N-1>); the library as the module does (QELMAR_HOST_LIBRARY).",
    )
    parser.add_argument("--version", action="store_true", help="print the versions and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    send = commands.add_parser(
        "send", help="send each TEXT with tavdll and print its result code",
        description="Send each TEXT as tavdll does, print its result code on stdout, and say "
        "on stderr what became of it. The text between '#' marks goes as GB2312. A text that "
        "starts with '-' goes after '--'.")
    send.add_argument("-p", "--port", type=_port, default=1, help="port number (default: 1)")
    send.add_argument("--raw", action="store_true",
                      help="pass the text between '#' marks through unconverted")
    send.add_argument("-q", "--quiet", action="store_true", help=QUIET_HELP)
    send.add_argument("texts", nargs="+", metavar="TEXT", help="command texts")

    rc = commands.add_parser(
        "rc", help="send the frame 0x12 BYTE BYTE with tavrc",
        description="Send the frame 0x12 BYTE BYTE as tavrc does (only the low 8 bits of each).")
    rc.add_argument("-p", "--port", type=_port, default=1, help="port number (default: 1)")
    rc.add_argument("-q", "--quiet", action="store_true", help=QUIET_HELP)
    rc.add_argument("first", type=_byte, metavar="BYTE", help="first parameter byte (0x41 or 65)")
    rc.add_argument("second", type=_byte, metavar="BYTE2", help="second parameter byte")

    listing = commands.add_parser(
        "ports", help="list the serial devices and the port numbers that reach them",
        description="List every serial device, never opening one.")
    listing.add_argument("--json", action="store_true", help="as JSON")
    listing.add_argument("--root", default=None, metavar="DIR",
                         help="read sysfs, /dev and /proc below DIR (for tests)")
    parser.commands = {"send": send, "rc": rc, "ports": listing}
    return parser


def _say(line: str) -> None:
    # As bytes: a --raw text or a device path that is not UTF-8 comes out as it came in.
    sys.stderr.flush()
    sys.stderr.buffer.write(os.fsencode(line + "\n"))
    sys.stderr.buffer.flush()


def _report(what: str, result: Result, quiet: bool) -> bool:
    if not quiet:
        device = f" ({result.tried[-1]})" if result.tried else ""
        _say(f"qelmar: port {result.port}{device}: {what}: {result.reason}")
    return result.delivered


def _send(port: int, texts: Sequence[str], raw: bool, quiet: bool) -> int:
    display = Display(port)
    all_delivered = True
    for text in texts:
        result = display.send(os.fsencode(text) if raw else text)
        print(result.result, flush=True)
        all_delivered = _report(f"'{text}'", result, quiet) and all_delivered
    return DELIVERED if all_delivered else NOT_DELIVERED


def _rc(port: int, first: int, second: int, quiet: bool) -> int:
    result = Display(port).rc(first, second)
    return DELIVERED if _report("the 0x12 frame", result, quiet) else NOT_DELIVERED


def _by_path(p: Port) -> List[str]:
    return [os.path.basename(link) for link in p.by_path]


def _as_json(p: Port, by_path: List[str]) -> Dict[str, Any]:
    entry: Dict[str, Any] = {"path": p.path, "kind": p.kind, "driver": p.driver, "ports": list(p.ports),
                   "accessible": p.accessible, "group": p.group, "holders": list(p.holders),
                   "console": p.console}
    if p.kind == "USB":
        entry["usb"] = {"vendor_id": p.vendor_id, "product_id": p.product_id,
                        "manufacturer": p.manufacturer, "product": p.product,
                        "serial": p.serial,
                        "by_id": [os.path.basename(p.by_id)] if p.by_id else [],
                        "by_path": by_path}
    return entry


def _as_text(p: Port, by_path: List[str]) -> str:
    head = f"{p.path}  {p.kind}" + (f", {p.driver}" if p.driver else "")
    if p.kind == "USB":
        head += f", {p.vendor_id}:{p.product_id} {p.manufacturer} {p.product}"
        head += f", serial {p.serial}" if p.serial else ""
    lines = [head]
    lines += [f"    {p.by_id}"] if p.by_id else []
    lines += [f"    /dev/serial/by-path/{link}" for link in by_path]
    numbers = ", ".join(str(n) for n in p.ports) or "none"
    lines.append(f"    port numbers: {numbers}")
    if p.console:
        lines.append("    the system console (/proc/consoles lists it)")
    may = "may" if p.accessible else "may not"
    lines.append(f"    this user {may} open it (group {p.group})"
                 + "".join(f"; held by process {pid}" for pid in p.holders))
    return "\n".join(lines)


def _ports(root: Optional[str], as_json: bool) -> int:
    found = ports(root)
    listed = [(p, _by_path(p)) for p in found]
    if as_json:
        entries = [_as_json(p, links) for p, links in listed]
        print(json.dumps(entries, indent=2, sort_keys=True, ensure_ascii=False))
    else:
        for p, links in listed:
            print(_as_text(p, links))
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.version:
        print(_version())
        return 0
    if args.command is None:
        parser.error("a subcommand is required: send, rc or ports")
    try:
        if args.command == "send":
            return _send(args.port, args.texts, args.raw, args.quiet)
        if args.command == "rc":
            return _rc(args.port, args.first, args.second, args.quiet)
        return _ports(args.root, args.json)
    except (EncodingError, ValueError, TypeError, OSError, MissingFunction) as error:
        # LibraryNotFound is an OSError: its lines say where the library was looked for.
        print(f"qelmar: {error}", file=sys.stderr)
        return USAGE_ERROR


if __name__ == "__main__":
    sys.exit(main())
