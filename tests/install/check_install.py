#!/usr/bin/env python3
"""Installs the build tree into a temporary prefix, builds the C host against it
with pkg-config and with find_package, and runs both against a pseudo-terminal."""
import os
import select
import subprocess
import sys
import tempfile
import tty

build_dir, source_dir = sys.argv[1], sys.argv[2]


def run(*args, **kw):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, **kw)


with tempfile.TemporaryDirectory() as work:
    prefix = os.path.join(work, "prefix")
    run("cmake", "--install", build_dir, "--prefix", prefix)
    libdir = os.path.join(prefix, "lib")

    hosts = {}
    env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(libdir, "pkgconfig"))
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "qelmar"], env=env, check=True,
                           capture_output=True, text=True).stdout.split()
    hosts["pkg-config"] = os.path.join(work, "host-pkgconfig")
    run("cc", os.path.join(source_dir, "host.c"), "-o", hosts["pkg-config"], *flags,
        f"-Wl,-rpath,{libdir}")

    cmake_build = os.path.join(work, "cmake-host")
    run("cmake", "-S", source_dir, "-B", cmake_build, f"-DCMAKE_PREFIX_PATH={prefix}")
    run("cmake", "--build", cmake_build)
    hosts["find_package"] = os.path.join(cmake_build, "host")

    master, slave = os.openpty()
    tty.setraw(slave)
    devices = os.path.join(work, "devices")
    os.mkdir(devices)
    os.symlink(os.ttyname(slave), os.path.join(devices, "com7"))

    failed = 0
    for how, host in hosts.items():
        out = subprocess.run([host, "12.5H"], env=dict(os.environ, QELMAR_DEVICE_DIR=devices),
                             check=True, capture_output=True, text=True).stdout
        data = b""
        while len(data) < 6 and select.select([master], [], [], 5)[0]:
            data += os.read(master, 100)
        ok = out == "2\n" and data == bytes.fromhex("1F 01 02 05 00 1F")
        failed += not ok
        print(f"{how}: result {out.strip()}, line {data.hex(' ').upper()}: {'ok' if ok else 'WRONG'}")
sys.exit(1 if failed else 0)
