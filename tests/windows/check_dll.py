#!/usr/bin/env python3
"""Checks a QELMAR.dll from its code, with the mingw binutils, on any machine:
   check_dll.py x86|x64 DLL
- it exports tavadd, tavdll and tavrc under their plain names at ordinals 1, 2
  and 3, and nothing else;
- it imports only DLLs that every Windows has;
- on x86, every return of each export removes its arguments (stdcall)."""
import re
import subprocess
import sys

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


def main():
    arch, dll = sys.argv[1], sys.argv[2]
    problems = []
    ordinals, addresses, imports = exports_and_imports(arch, dll)
    if ordinals != EXPORTS:
        problems.append(f"exports {sorted(ordinals.items())}, want {sorted(EXPORTS.items())}")
    if not imports <= SYSTEM_DLLS:
        problems.append(f"imports {sorted(imports - SYSTEM_DLLS)} beyond the system's DLLs")
    if arch == "x86":
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
          + (", every return pops its arguments" if arch == "x86" else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
