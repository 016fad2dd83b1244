// SPDX-License-Identifier: MIT
// Where this tree built the programs a suite runs. Defined in a small unit
// CMake writes for each suite (qelmar_built_paths), not in the compile flags:
// the suites' own units are then the same in every clone, and the compiler
// cache serves one clone what another compiled.
#pragma once

extern const char qelmar_built_tool[];
extern const char qelmar_built_serve[];
extern const char qelmar_built_library[];
extern const char qelmar_built_host_library[];

#define QELMAR_TOOL qelmar_built_tool
#define QELMAR_SERVE qelmar_built_serve
#define QELMAR_LIBRARY qelmar_built_library
#define QELMAR_HOST_LIBRARY qelmar_built_host_library
