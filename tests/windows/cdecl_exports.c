// SPDX-License-Identifier: MIT
/* The three exports with the wrong convention (the caller pops): the DLL code
   check must reject this. */
#include <stdint.h>

int32_t tavadd(int32_t unused, const char *path) { return unused + (path != 0); }
int32_t tavdll(int32_t port, const char *command) { return port + (command != 0); }
int32_t tavrc(int32_t port, int32_t first, int32_t second) { return port + first + second; }
