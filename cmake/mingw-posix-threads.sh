#!/bin/sh
# SPDX-License-Identifier: MIT
# Compiler and linker launcher for the targets that need C++ threads (the
# bridge: Boost.Asio takes std::mutex): runs CMake's command with the compiler
# swapped for mingw-w64's posix-threads variant, while the DLLs stay on the
# win32 variant, which adds no runtime DLL to them. Another launcher (the
# compiler cache) may come between this one and the compiler.
#   mingw-posix-threads.sh POSIX-COMPILER COMPILER [LAUNCHER...] COMPILER ARGS...
posix=$1
compiler=$2
shift 2
swapped=
for word do
  shift
  if [ -z "$swapped" ] && [ "$word" = "$compiler" ]; then
    set -- "$@" "$posix"
    swapped=1
  else
    set -- "$@" "$word"
  fi
done
exec "$@"
