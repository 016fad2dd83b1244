#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks that the version written in project() is the one everything ships:
   check_versions.py SOURCE_DIR PROJECT_VERSION HOST_LIBRARY
- debian/changelog's upstream version is PROJECT_VERSION;
- the host library's soname is libqelmar-host.so.<major>, and the Debian
  package and symbols file that ship it are named for that soname;
- every export of the host library carries a QELMAR_HOST_ version node, and the
  symbols file lists exactly those exports under those nodes."""
import pathlib
import re
import subprocess
import sys

source, version, library = pathlib.Path(sys.argv[1]), sys.argv[2], sys.argv[3]
failures = []

changelog = (source / "debian/changelog").read_text().splitlines()[0]
upstream = re.match(r"qelmar \(([^)]*)\)", changelog)[1].rsplit("-", 1)[0]
if upstream != version:
    failures.append(f"debian/changelog says {upstream}, project() says {version}")

major = version.split(".")[0]
soname = f"libqelmar-host.so.{major}"
dynamic = subprocess.run(["readelf", "-d", library], capture_output=True, text=True,
                         check=True).stdout
if f"[{soname}]" not in dynamic:
    failures.append(f"{library}: soname is not {soname}")
symbols_file = source / f"debian/libqelmar-host{major}.symbols"
if not symbols_file.exists():
    failures.append(f"no {symbols_file.name} for {soname}")
else:
    lines = symbols_file.read_text().splitlines()
    if not lines[0].startswith(f"{soname} libqelmar-host{major} "):
        failures.append(f"{symbols_file.name} is for {lines[0]}")
    listed = {m[1] for m in (re.match(r"^ (\S+@\S+) ", l) for l in lines) if m}
    table = subprocess.run(["objdump", "-T", library], capture_output=True, text=True,
                           check=True).stdout
    exported = set()
    for line in table.splitlines():
        fields = line.split()
        # address flags... section size [version] name; defined ones only
        if len(fields) >= 6 and fields[-3] != "*UND*" and "*UND*" not in line:
            node, name = fields[-2], fields[-1]
            if name.startswith("qelmar_") or name.startswith("QELMAR_"):
                if not node.startswith("QELMAR_HOST_") and not name.startswith("QELMAR_HOST_"):
                    failures.append(f"{name} has no version node ({node})")
                exported.add(f"{name}@{name if name.startswith('QELMAR_HOST_') else node}")
    if exported != listed:
        failures.append(f"exported but not in {symbols_file.name}: {sorted(exported - listed)}; "
                        f"listed but not exported: {sorted(listed - exported)}")
control = (source / "debian/control").read_text()
if f"Package: libqelmar-host{major}\n" not in control:
    failures.append(f"debian/control has no package libqelmar-host{major}")

for failure in failures:
    print(failure)
sys.exit(1 if failures else 0)
