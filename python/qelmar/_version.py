# SPDX-License-Identifier: MIT
# The one place the module's version is written; setuptools reads it for the
# package's metadata, and tests/python checks it against CMakeLists.txt.
__version__ = "1.0.0"
