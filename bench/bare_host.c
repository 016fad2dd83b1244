// SPDX-License-Identifier: MIT
/* A whole process that sends 12 41 42 to port 1 with the bare system calls. */
#include "bare_tavrc.h"

int main(void) {
  bare_tavrc(1);
  return 0;
}
