// SPDX-License-Identifier: MIT
/* What a minimal hand-written C host does for the frame 12 41 42, taking its
   turn on a shared till as the library does: the yardstick for tavrc, in the
   process (qelmar_bench) and for a whole process (bare_host). */
#ifndef QELMAR_BENCH_BARE_TAVRC_H
#define QELMAR_BENCH_BARE_TAVRC_H

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

static inline void bare_tavrc(int number) {
  char path[PATH_MAX];
  snprintf(path, sizeof path, "%s/com%d", getenv("QELMAR_DEVICE_DIR"), number);
  const int fd = open(path, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  flock(fd, LOCK_EX | LOCK_NB);
  int exclusive = 0;
  ioctl(fd, TIOCGEXCL, &exclusive);
  ioctl(fd, TIOCEXCL);
  tcflush(fd, TCIOFLUSH);
  struct termios t;
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  cfsetispeed(&t, B2400);
  cfsetospeed(&t, B2400);
  t.c_cflag |= CLOCAL | CREAD;
  tcsetattr(fd, TCSANOW, &t);
  tcflow(fd, TCOON);
  int lines = TIOCM_DTR | TIOCM_RTS;
  ioctl(fd, TIOCMBIC, &lines);
  const unsigned char frame[] = {0x12, 0x41, 0x42};
  if (write(fd, frame, sizeof frame) == (ssize_t)sizeof frame) tcdrain(fd);
  ioctl(fd, TIOCNXCL);
  flock(fd, LOCK_UN);
  close(fd);
}

#endif
