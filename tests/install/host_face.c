/* SPDX-License-Identifier: MIT */
/* A C host of the host face built against an installed qelmar: sends one
   command to port 7 and prints its result code, outcome and words. */
#include <qelmar/host.h>
#include <stdio.h>

int main(int argc, char **argv) {
  qelmar_status status;
  char words[256];
  QELMAR_STATUS_INIT(status);
  const int32_t result = qelmar_send(7, argc > 1 ? argv[1] : "12.5H", &status);
  qelmar_describe(&status, words, sizeof words);
  printf("%d %s: %s\n", (int)result, qelmar_outcome_name(status.outcome), words);
  return 0;
}
