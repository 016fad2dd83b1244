// SPDX-License-Identifier: MIT
/* A whole process that loads libqelmar and sends 12 41 42 to port 1. */
#include "qelmar.h"

int main(void) { return tavrc(1, 0x41, 0x42); }
