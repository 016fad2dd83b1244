# SPDX-License-Identifier: MIT
"""The module the usual way: pip installs ./python into a fresh venv, offline;
it imports there and finds the library QELMAR_HOST_LIBRARY names; and
python3 -m build makes a pure wheel of it, as pybuild does.

    venv_check.py PYTHON SOURCE HOST_LIBRARY
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

SKIPPED = 77


def run(*command, **options):
    done = subprocess.run(command, capture_output=True, text=True, **options)
    if done.returncode != 0:
        sys.exit(f"{' '.join(map(str, command))} failed ({done.returncode}):\n"
                 f"{done.stdout}{done.stderr}")
    return done.stdout


# What the installed copy says about itself, run by the venv's interpreter away
# from any copy of the package.
IN_THE_VENV = r"""
import importlib.metadata, os, sys
import qelmar
assert qelmar.__file__.startswith(sys.prefix + os.sep), qelmar.__file__
versions = (qelmar.__version__, importlib.metadata.version("qelmar"), qelmar.library_version())
assert len(set(versions)) == 1, versions
assert qelmar.frame("12.5H").frame == bytes.fromhex("1F 01 02 05 00 1F")
assert qelmar.library()._name == os.environ["QELMAR_HOST_LIBRARY"]
meta = importlib.metadata.metadata("qelmar")
assert meta["License"] == "MIT", meta["License"]
files = {f.as_posix() for f in importlib.metadata.files("qelmar")}
assert {"qelmar/py.typed", "qelmar/__main__.py", "qelmar/_version.py"} <= files, files
assert not any(f.endswith("_build.py") for f in files), files
print(qelmar.__version__)
"""


def main(python, source, library):
    for module, package in [("venv", "python3-venv"), ("pip", "python3-pip"),
                            ("build", "python3-build")]:
        if subprocess.run([python, "-c", f"import {module}"], capture_output=True).returncode:
            print(f"SKIPPED: {package} is not installed for {python}")
            return SKIPPED
    with tempfile.TemporaryDirectory() as work:
        work = pathlib.Path(work)
        # Building in place leaves build/ and the egg-info behind: build a copy,
        # and the wheel from another, beside the venv's making, which takes longest.
        src, wheel_src = work / "src", work / "wheel_src"
        for copy in (src, wheel_src):
            shutil.copytree(source, copy, ignore=shutil.ignore_patterns(
                "build", "dist", "*.egg-info", "__pycache__", "_build.py"))
        wheel_command = (python, "-m", "build", "--wheel", "--no-isolation", "--outdir",
                         work / "dist", wheel_src)
        wheel_build = subprocess.Popen(wheel_command, stdout=subprocess.PIPE,
                                       stderr=subprocess.STDOUT, text=True)
        try:
            # The venv sees the system's pip, setuptools and wheel (setuptools 66 needs
            # it to build one): pip installs into the venv it runs in, and a copy of
            # pip of its own took 4 s of processor to put in.
            # --isolated: no pip configuration, so nothing but this folder is looked in.
            run(python, "-m", "venv", "--system-site-packages", "--without-pip", work / "venv")
            venv_python = work / "venv" / "bin" / "python"
            run(venv_python, "-m", "pip", "--isolated", "install", "--no-index",
                "--no-build-isolation", "--quiet", src)
            env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "QELMAR_DEVICE_DIR")}
            env["QELMAR_HOST_LIBRARY"] = library
            version = run(venv_python, "-c", IN_THE_VENV, cwd=work, env=env).strip()
            shown = run(venv_python, "-m", "qelmar", "--version", cwd=work, env=env)
            assert shown.startswith(f"qelmar {version} "), shown

            said = wheel_build.communicate()[0]
            if wheel_build.returncode != 0:
                sys.exit(f"{' '.join(map(str, wheel_command))} failed ({wheel_build.returncode}):\n"
                         f"{said}")
        finally:
            if wheel_build.poll() is None:  # a step above failed
                wheel_build.kill()
                wheel_build.wait()
        wheels = [w.name for w in (work / "dist").iterdir()]
        assert wheels == [f"qelmar-{version}-py3-none-any.whl"], wheels
        names = zipfile.ZipFile(work / "dist" / wheels[0]).namelist()
        assert "qelmar/py.typed" in names and not any(
            re.search(r"_build\.py$|\.so", n) for n in names), names
    print(f"qelmar {version}: installed into a venv by pip, and built as {wheels[0]}")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
