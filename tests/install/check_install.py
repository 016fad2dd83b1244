#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Installs the build tree into a temporary prefix, builds C hosts of both faces
against it with pkg-config and with find_package, and runs each against a
pseudo-terminal."""
import os
import re
import select
import subprocess
import sys
import tempfile
import tty

build_dir, source_dir = sys.argv[1], sys.argv[2]


def run(*args, **kw):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, **kw)


# What each face prints for 12.5H sent whole: the legacy result code; the
# result code, the outcome's name and its words.
LEGACY = re.compile(r"2\n")
FACE = re.compile(r"2 delivered: delivered 6 bytes in [0-9]+\.[0-9] ms\n")
# The README's host of every outcome: the versions, then the outcome in words.
OUTCOMES = re.compile(r"library ([0-9.]+), header \1\n12\.5H: shown: delivered 6 bytes in [0-9.]+ ms\n")

with tempfile.TemporaryDirectory() as work:
    prefix = os.path.join(work, "prefix")
    run("cmake", "--install", build_dir, "--prefix", prefix)
    libdir = os.path.join(prefix, "lib")

    hosts = []
    env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(libdir, "pkgconfig"))
    for package, source, expected in [("qelmar", "host.c", LEGACY),
                                      ("qelmar-host", "host_face.c", FACE)]:
        # Only what pkg-config says: no path of the build or the source tree.
        flags = subprocess.run(["pkg-config", "--cflags", "--libs", package], env=env,
                               check=True, capture_output=True, text=True).stdout.split()
        host = os.path.join(work, f"{package}-pkgconfig")
        run("cc", os.path.join(source_dir, source), "-o", host, *flags, f"-Wl,-rpath,{libdir}")
        hosts.append((f"pkg-config {package}", [host], expected))

    cmake_build = os.path.join(work, "cmake-host")
    run("cmake", "-S", source_dir, "-B", cmake_build, f"-DCMAKE_PREFIX_PATH={prefix}")
    run("cmake", "--build", cmake_build)
    hosts.append(("find_package qelmar::qelmar", [os.path.join(cmake_build, "host")], LEGACY))
    hosts.append(("find_package qelmar::host", [os.path.join(cmake_build, "host_face")], FACE))
    hosts.append(("find_package qelmar::host, every outcome",
                  [os.path.join(cmake_build, "outcomes"), "7"], OUTCOMES))

    master, slave = os.openpty()
    tty.setraw(slave)
    devices = os.path.join(work, "devices")
    os.mkdir(devices)
    os.symlink(os.ttyname(slave), os.path.join(devices, "com7"))

    failed = 0
    for how, host, expected in hosts:
        out = subprocess.run(host + ["12.5H"], env=dict(os.environ, QELMAR_DEVICE_DIR=devices),
                             check=True, capture_output=True, text=True).stdout
        data = b""
        while len(data) < 6 and select.select([master], [], [], 5)[0]:
            data += os.read(master, 100)
        ok = expected.fullmatch(out) is not None and data == bytes.fromhex("1F 01 02 05 00 1F")
        failed += not ok
        print(f"{how}: {out.strip()!r}, line {data.hex(' ').upper()}: {'ok' if ok else 'WRONG'}")
sys.exit(1 if failed else 0)
