# SPDX-License-Identifier: MIT
# The package's version for its metadata alone: setuptools reads it when it
# builds the package (pyproject.toml needs it before any library is at hand),
# and tests/python checks it against CMakeLists.txt. At run time
# qelmar.__version__ is the loaded library's (qelmar_version).
__version__ = "1.1.0"
