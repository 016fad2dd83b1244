// SPDX-License-Identifier: MIT
/* A tiny C host built against an installed qelmar: sends one command to port 7
   and prints its result code. */
#include <qelmar.h>
#include <stdio.h>

int main(int argc, char **argv) {
  printf("%d\n", (int)tavdll(7, argc > 1 ? argv[1] : "12.5H"));
  return 0;
}
