#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks a Windows DLL of the project from its code, with the mingw binutils,
on any machine:
   check_dll.py x86|x64 DLL [HOST_HEADER]
- QELMAR.dll exports tavadd, tavdll and tavrc under their plain names at
  ordinals 1, 2 and 3, and nothing else; qelmar-host.dll exports exactly the
  functions that include/qelmar/host.h declares, under their plain names;
- it imports only DLLs that every Windows has;
- on x86, every return of each export removes its arguments (stdcall).
   check_dll.py --release x86|x64 DLL [HOST_HEADER]
- the shipped DLL: the same exports and imports, within its size, no symbols or
  debug information left, and a debug link to the DLL.debug beside it that
  matches that file."""
import os
import re
import subprocess
import sys
import zlib

HOST_HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "include",
                           "qelmar", "host.h")
OBJDUMP = {"x86": "i686-w64-mingw32-objdump", "x64": "x86_64-w64-mingw32-objdump"}


class Legacy:
    """QELMAR.dll: the three functions, at their ordinals."""
    max_release_bytes = 160_000
    ordinals = {"tavadd": 1, "tavdll": 2, "tavrc": 3}
    exports = set(ordinals)
    argument_bytes = {"tavadd": 8, "tavdll": 8, "tavrc": 12}
    system_dlls = {"KERNEL32.DLL", "MSVCRT.DLL", "WINMM.DLL"}


def host_functions(header):
    """Each function the header declares, with the bytes its arguments take on
    x86: 4 each, as long as every one is 32 bits wide or a pointer."""
    with open(header) as f:
        text = re.sub(r"/\*.*?\*/", "", f.read(), flags=re.S)
    found = {}
    for name, params in re.findall(r"QELMAR_HOST_API\b[^;{]*?QELMAR_CALL\s+(\w+)\s*\(([^)]*)\)",
                                   text):
        params = [p.strip() for p in params.split(",") if p.strip() not in ("", "void")]
        wide = [p for p in params if "*" not in p and re.search(r"64|double|long long", p)]
        if wide:
            raise SystemExit(f"{header}: {name} takes {wide}: teach check_dll.py its size")
        found[name] = 4 * len(params)
    if not found:
        raise SystemExit(f"{header}: no QELMAR_HOST_API function found")
    return found


class Host:
    """qelmar-host.dll: what the header declares, by name; the port listing
    reads the registry (ADVAPI32) and SetupAPI."""
    max_release_bytes = 300_000
    ordinals = None
    system_dlls = Legacy.system_dlls | {"ADVAPI32.DLL", "SETUPAPI.DLL"}

    def __init__(self, header):
        self.argument_bytes = host_functions(header)
        self.exports = set(self.argument_bytes)


class Tool:
    """qelmar.exe: no exports; the host library as any host links it, and the
    command line from SHELL32."""
    max_release_bytes = 2_000_000
    ordinals = None
    exports = set()
    argument_bytes = {}
    system_dlls = {"KERNEL32.DLL", "MSVCRT.DLL", "SHELL32.DLL"}
    needs = {"QELMAR-HOST.DLL"}


def objdump(arch, *args):
    return subprocess.run([OBJDUMP[arch], *args], check=True, capture_output=True,
                          text=True).stdout


def exports_and_imports(arch, dll):
    text = objdump(arch, "-p", dll)
    base = int(re.search(r"^ImageBase\s+([0-9a-fA-F]+)", text, re.M).group(1), 16)
    imports = {name.upper() for name in re.findall(r"DLL Name: (\S+)", text)}
    found = re.search(r"Ordinal Base\s+(\d+)", text)
    if not found:  # a program: no export table
        return {}, {}, imports
    ordinal_base = int(found.group(1))
    rva = {int(i) + ordinal_base: int(a, 16)
           for i, a in re.findall(r"\[\s*(\d+)\] \+base\[\s*\d+\] ([0-9a-f]+) Export RVA", text)}
    table = text.split("[Ordinal/Name Pointer] Table", 1)[-1].split("\n\n", 1)[0]
    # Each name row carries its ordinal less the base.
    ordinals = {name: int(i) + ordinal_base for i, name in re.findall(r"\[\s*(\d+)\] (\S+)", table)}
    addresses = {name: base + rva[ordinal] for name, ordinal in ordinals.items()}
    return ordinals, addresses, imports


def returns(arch, dll, name, address):
    """Every ret in the function at `address`, and in its split-off parts."""
    blocks = re.split(r"\n(?=[0-9a-f]+ <[^>]+>:\n)", objdump(arch, "-d", "--no-show-raw-insn", dll))
    found, operands = False, []
    for block in blocks:
        head = re.match(r"([0-9a-f]+) <([^>]+)>:", block)
        if not head:
            continue
        mine = int(head.group(1), 16) == address
        if mine or head.group(2).lstrip("_").startswith(name + "@") and ".cold" in head.group(2):
            found = found or mine
            rets = re.findall(r"\t(?:repz |bnd )?ret[lw]?[ \t]*(\S*)", block)
            operands += [f"ret {op}".strip() for op in rets]
    if not found:
        raise SystemExit(f"{name}: no symbol at its export address {address:#x}")
    return operands


def release_problems(arch, dll, kind):
    problems = []
    size = os.path.getsize(dll)
    if size > kind.max_release_bytes:
        problems.append(f"{size} bytes, over {kind.max_release_bytes}")
    headers = objdump(arch, "-h", dll)
    left = sorted(set(re.findall(r"\s(\.debug_\w+)\s", headers)))
    if left:
        problems.append(f"debug sections left in: {left}")
    if objdump(arch, "-t", dll).count("(sec") > 0:
        problems.append("symbols left in")
    if ".gnu_debuglink" not in headers:
        return problems + ["no debug link"]
    dump = objdump(arch, "-s", "-j", ".gnu_debuglink", dll)
    data = bytes.fromhex("".join(
        m.group(1).replace(" ", "")
        for m in re.finditer(r"^ [0-9a-f]+ ((?:[0-9a-f]{2,8} ?){1,4})", dump, re.M)))
    name = data.split(b"\0", 1)[0].decode()
    debug = os.path.join(os.path.dirname(dll), name)
    want = os.path.basename(dll) + ".debug"
    if name != want or not os.path.exists(debug):
        problems.append(f"debug link names {name!r}, want {want} beside it")
    else:
        crc = int.from_bytes(data[-4:], "little")
        with open(debug, "rb") as f:
            matches = zlib.crc32(f.read()) == crc
        if not matches:
            problems.append(f"{debug} is not the file the debug link names (CRC differs)")
        elif ".debug_info" not in objdump(arch, "-h", debug):
            problems.append(f"{debug} holds no .debug_info")
    return problems


def main():
    args = sys.argv[1:]
    release = args[0] == "--release"
    arch, dll = args[release], args[release + 1]
    header = args[release + 2] if len(args) > release + 2 else HOST_HEADER
    name = os.path.basename(dll).lower()
    kind = Host(header) if name == "qelmar-host.dll" else Tool if name.endswith(".exe") else Legacy
    problems = release_problems(arch, dll, kind) if release else []
    ordinals, addresses, imports = exports_and_imports(arch, dll)
    if kind.ordinals is not None and ordinals != kind.ordinals:
        problems.append(f"exports {sorted(ordinals.items())}, want {sorted(kind.ordinals.items())}")
    elif set(ordinals) != kind.exports:
        missing, extra = sorted(kind.exports - set(ordinals)), sorted(set(ordinals) - kind.exports)
        more = f" and {len(extra) - 8} more" if len(extra) > 8 else ""
        problems.append(f"exports lack {missing} and add {extra[:8]}{more}")
    needs = getattr(kind, "needs", set())
    if not imports <= kind.system_dlls | needs:
        problems.append(f"imports {sorted(imports - kind.system_dlls - needs)} beyond the "
                        "system's DLLs")
    if not needs <= imports:
        problems.append(f"does not import {sorted(needs - imports)}")
    if arch == "x86" and not release:
        for name, pops in sorted(kind.argument_bytes.items()):
            if name not in addresses:
                continue
            rets = returns(arch, dll, name, addresses[name])
            want = f"ret $0x{pops:x}" if pops else "ret"
            if not rets or any(op != want for op in rets):
                problems.append(f"{name}: returns {rets or 'never'}, want every one '{want}' "
                                f"(stdcall pops its {pops} bytes of arguments)")
    for problem in problems:
        print(f"{dll}: {problem}")
    if problems:
        return 1
    at = " at ordinals 1-3" if kind.ordinals is not None else ""
    print(f"{dll}: exports {sorted(kind.exports)}{at}, imports {sorted(imports)}"
          + (", every return pops its arguments" if arch == "x86" and not release else "")
          + (f", {os.path.getsize(dll)} bytes, stripped, debug link matches" if release else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
