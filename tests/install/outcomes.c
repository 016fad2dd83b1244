/* SPDX-License-Identifier: MIT */
/* A host of libqelmar-host: sends each command to the port given (an argument
   starting with '/' is a sound file to play) and tells what became of it,
   outcome by outcome. Exits 0 when everything was shown or played. */
#include <qelmar/host.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
  int i, all = 1;
  int32_t port;
  if (argc < 3) {
    fprintf(stderr, "usage: %s PORT COMMAND|/SOUND...\n", argv[0]);
    return 2;
  }
  port = (int32_t)atoi(argv[1]);
  printf("library %s, header %s\n", qelmar_version(), QELMAR_VERSION_STRING);
  for (i = 2; i < argc; ++i) {
    qelmar_status status; /* one record per call, set up before each */
    char words[256];      /* describe cuts a longer text and ends it */
    QELMAR_STATUS_INIT(status);
    if (argv[i][0] == '/') {
      qelmar_play(argv[i], &status);
    } else {
      qelmar_send(port, argv[i], &status); /* tavdll's result, from the text */
    }
    qelmar_describe(&status, words, sizeof words);
    switch (status.outcome) {
      case QELMAR_DELIVERED:
        printf("%s: shown: %s\n", argv[i], words);
        continue;
      case QELMAR_EMPTY:
      case QELMAR_NOTHING_TO_SEND:
        printf("%s: nothing to show: %s\n", argv[i], words);
        continue;
      case QELMAR_DROPPED:
        printf("%s: fix the command: %s\n", argv[i], status.reason);
        break;
      case QELMAR_NOT_FOUND:
      case QELMAR_NOT_A_TTY:
        printf("%s: check the port number and the cable: %s\n", argv[i], words);
        break;
      case QELMAR_NO_PERMISSION:
        printf("%s: let this user use group %s: %s\n", argv[i], status.group, words);
        break;
      case QELMAR_BUSY:
        printf("%s: another program has the port (process %ld): %s\n", argv[i], (long)status.holder,
               words);
        break;
      case QELMAR_NOT_CONFIGURED:
      case QELMAR_STUCK:
      case QELMAR_BEHIND_HELD_UP:
        printf("%s: the line failed: %s\n", argv[i], words);
        break;
      case QELMAR_ALERT_INSTEAD:
        printf("%s: the alert played instead: %s\n", argv[i], words);
        break;
      case QELMAR_NOT_PLAYED:
        printf("%s: no sound: %s\n", argv[i], words);
        break;
      case QELMAR_UNFILLED:
      default: /* an outcome a later library added */
        printf("%s: %s: %s\n", argv[i], qelmar_outcome_name(status.outcome), words);
        break;
    }
    all = 0;
  }
  return all ? 0 : 1;
}
