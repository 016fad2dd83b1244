#!/usr/bin/env python3
"""Checks a QELMAR.dll from its code, with the mingw binutils, on any machine:
   check_dll.py x86|x64 DLL
- it exports tavadd, tavdll and tavrc under their plain names at ordinals 1, 2
  and 3, and nothing else;
- it imports only DLLs that every Windows has;
- on x86, every return of each export removes its arguments (stdcall).
   check_dll.py --release x86|x64 DLL
- the shipped DLL: the same exports and imports, at most 150 KB, no symbols or
  debug information left, and a debug link to the QELMAR.dll.debug beside it
  that matches that file."""
import os
import re
import subprocess
import sys
import zlib

MAX_RELEASE_BYTES = 150_000

EXPORTS = {"tavadd": 1, "tavdll": 2, "tavrc": 3}
ARGUMENT_BYTES = {"tavadd": 8, "tavdll": 8, "tavrc": 12}
SYSTEM_DLLS = {"KERNEL32.DLL", "MSVCRT.DLL", "WINMM.DLL"}
OBJDUMP = {"x86": "i686-w64-mingw32-objdump", "x64": "x86_64-w64-mingw32-objdump"}


def objdump(arch, *args):
    return subprocess.run([OBJDUMP[arch], *args], check=True, capture_output=True,
                          text=True).stdout


def exports_and_imports(arch, dll):
    text = objdump(arch, "-p", dll)
    base = int(re.search(r"^ImageBase\s+([0-9a-fA-F]+)", text, re.M).group(1), 16)
    ordinal_base = int(re.search(r"Ordinal Base\s+(\d+)", text).group(1))
    rva = {int(i) + ordinal_base: int(a, 16)
           for i, a in re.findall(r"\[\s*(\d+)\] \+base\[\s*\d+\] ([0-9a-f]+) Export RVA", text)}
    table = text.split("[Ordinal/Name Pointer] Table", 1)[-1].split("\n\n", 1)[0]
    # Each name row carries its ordinal less the base.
    ordinals = {name: int(i) + ordinal_base for i, name in re.findall(r"\[\s*(\d+)\] (\S+)", table)}
    addresses = {name: base + rva[ordinal] for name, ordinal in ordinals.items()}
    imports = {name.upper() for name in re.findall(r"DLL Name: (\S+)", text)}
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


def release_problems(arch, dll):
    problems = []
    size = os.path.getsize(dll)
    if size > MAX_RELEASE_BYTES:
        problems.append(f"{size} bytes, over {MAX_RELEASE_BYTES}")
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
    if name != "QELMAR.dll.debug" or not os.path.exists(debug):
        problems.append(f"debug link names {name!r}, want QELMAR.dll.debug beside it")
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
    release = sys.argv[1] == "--release"
    arch, dll = sys.argv[1 + release], sys.argv[2 + release]
    problems = release_problems(arch, dll) if release else []
    ordinals, addresses, imports = exports_and_imports(arch, dll)
    if ordinals != EXPORTS:
        problems.append(f"exports {sorted(ordinals.items())}, want {sorted(EXPORTS.items())}")
    if not imports <= SYSTEM_DLLS:
        problems.append(f"imports {sorted(imports - SYSTEM_DLLS)} beyond the system's DLLs")
    if arch == "x86" and not release:
        for name, pops in ARGUMENT_BYTES.items():
            if name not in addresses:
                continue
            rets = returns(arch, dll, name, addresses[name])
            want = f"ret $0x{pops:x}"
            if not rets or any(op != want for op in rets):
                problems.append(f"{name}: returns {rets or 'never'}, want every one '{want}' "
                                f"(stdcall pops its {pops} bytes of arguments)")
    for problem in problems:
        print(f"{dll}: {problem}")
    if problems:
        return 1
    print(f"{dll}: exports {sorted(EXPORTS)} at ordinals 1-3, imports {sorted(imports)}"
          + (", every return pops its arguments" if arch == "x86" and not release else "")
          + (f", {os.path.getsize(dll)} bytes, stripped, debug link matches" if release else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
