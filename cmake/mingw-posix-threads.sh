#!/bin/sh
# SPDX-License-Identifier: MIT
# Compiler and linker launcher for the targets that need C++ threads (the
# bridge: Boost.Asio takes std::mutex): runs CMake's command with the compiler
# swapped for the one given first, mingw-w64's posix-threads variant, while
# the DLLs stay on the win32 variant, which adds no runtime DLL to them.
#   mingw-posix-threads.sh POSIX-COMPILER COMPILER ARGS...
compiler=$1
shift 2
exec "$compiler" "$@"
