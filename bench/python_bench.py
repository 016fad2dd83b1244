# SPDX-License-Identifier: MIT
"""What a send costs from Python, side by side in one run, on a display that
is a pseudo-terminal whose other end another process keeps reading:

- qelmar_send through bare ctypes, with one status record reused, and with a
  new record per call (what the module does);
- qelmar.Display.send;
- pyserial opening the port per message (exclusive, which is its flock),
  writing the same frame and draining it, as a script without this module would;
- an empty text, which opens no port, through bare ctypes and through the
  module: the difference is the module's own work a call, which the machine's
  load hides least.

The cases take turns in rounds, every other round in the reverse order; each
figure is the median over the rounds of the time per message: the CPU time of
this process, which the load of a shared machine moves less than the elapsed
time (printed too). Every message must arrive whole: the reader counts the
bytes.

    PYTHONPATH=build/bench/python python3 bench/python_bench.py [--rounds N] [--calls N]
"""
import argparse
import ctypes
import os
import select
import statistics
import sys
import tempfile
import time
import tty

import qelmar
from qelmar import _native

PORT = 3
TEXT = "12.5H"
EMPTY_BARE = "empty text, bare ctypes"
EMPTY_MODULE = "empty text, qelmar.Display.send"


class Reader:
    """The display: a process of its own (a thread here would take turns on
    the interpreter's lock with the calls it measures) that reads all the time
    and, when told to stop, says how many bytes arrived."""

    def __init__(self, master):
        self.stop_write, stop_read = os.pipe()[::-1]
        count_read, count_write = os.pipe()
        self.pid = os.fork()
        if self.pid == 0:
            os.close(self.stop_write)
            os._exit(self._read(master, stop_read, count_write))
        os.close(stop_read)
        os.close(count_write)
        self.count_read = count_read

    @staticmethod
    def _read(master, stop, out):
        count, stopping = 0, False
        while True:
            ready = select.select([master] + ([] if stopping else [stop]), [], [],
                                  0.2 if stopping else None)[0]
            if stop in ready:
                stopping = True
            elif master in ready:
                count += len(os.read(master, 65536))
            elif stopping:  # quiet for 0.2 s after the last call
                os.write(out, str(count).encode())
                return 0

    def arrived(self):
        os.close(self.stop_write)
        count = int(os.read(self.count_read, 64) or b"-1")
        os.waitpid(self.pid, 0)
        return count


def cases(device):
    frame = qelmar.frame(TEXT).frame
    command = qelmar.encode(TEXT)
    send = ctypes.CDLL(qelmar.library()._name).qelmar_send
    send.restype = ctypes.c_int32
    send.argtypes = [ctypes.c_int32, ctypes.c_char_p, ctypes.c_void_p]
    # An earlier module (measured with PYTHONPATH) makes its records directly.
    new_status = getattr(_native, "new_status", _native.Status)
    reused = new_status()
    reused_ref = ctypes.byref(reused)
    display = qelmar.Display(PORT)

    def bare_reused():
        send(PORT, command, reused_ref)
        return reused.outcome

    def bare_new():
        status = new_status()
        send(PORT, command, ctypes.byref(status))
        return status.outcome

    def module():
        return display.send(TEXT).delivered

    try:
        import serial  # python3-serial
    except ImportError:
        serial = None

    def pyserial():
        with serial.Serial(device, 2400, exclusive=True) as line:
            line.write(frame)
            line.flush()
        return True

    def bare_empty():
        status = new_status()
        send(PORT, b"", ctypes.byref(status))
        return status.outcome

    def module_empty():
        return display.send("").delivered

    found = [("bare ctypes, one record reused", bare_reused),
             ("bare ctypes, a record per call", bare_new),
             ("qelmar.Display.send", module),
             (EMPTY_BARE, bare_empty), (EMPTY_MODULE, module_empty)]
    if serial is not None:
        found.append(("pyserial, the port opened per message", pyserial))
    else:
        print("SKIPPED pyserial: python3-serial is not installed")
    return found, len(frame)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--calls", type=int, default=3000)
    args = parser.parse_args()

    master, slave = os.openpty()
    tty.setraw(slave)
    device = os.ttyname(slave)
    folder = tempfile.mkdtemp(prefix="qelmar-python-bench.")
    os.symlink(device, os.path.join(folder, f"com{PORT}"))
    os.environ["QELMAR_DEVICE_DIR"] = folder
    reader = Reader(master)

    measured, frame_bytes = cases(device)
    times = {name: [] for name, _ in measured}  # CPU time of this process, µs a call
    walls = {name: [] for name, _ in measured}
    sent = 0
    for round_number in range(args.rounds):
        order = measured if round_number % 2 == 0 else measured[::-1]
        for name, call in order:
            for _ in range(100):  # warm up
                call()
            start, cpu = time.perf_counter(), time.process_time()
            for _ in range(args.calls):
                call()
            times[name].append((time.process_time() - cpu) / args.calls * 1e6)
            walls[name].append((time.perf_counter() - start) / args.calls * 1e6)
            sent += 0 if name in (EMPTY_BARE, EMPTY_MODULE) else args.calls + 100
    arrived = reader.arrived()
    os.unlink(os.path.join(folder, f"com{PORT}"))
    os.rmdir(folder)

    print(f"{TEXT!r} ({frame_bytes} bytes) to a pseudo-terminal, {args.rounds} rounds of "
          f"{args.calls} calls; Python {sys.version.split()[0]}, "
          f"libqelmar-host {qelmar.library_version()}")
    base = statistics.median(times[measured[0][0]])
    module = statistics.median(times["qelmar.Display.send"])
    print("CPU time of the calling process a call (the kernel's work in the call included, "
          "the reader's not), and the elapsed time, which the machine's load moves more:")
    print(f"{'what':40} {'CPU µs':>7} {'range':>14} {'/ bare':>7} {'/ module':>8} "
          f"{'elapsed µs':>11}")
    for name, _ in measured:
        median = statistics.median(times[name])
        spread = f"{min(times[name]):.1f} to {max(times[name]):.1f}"
        print(f"{name:40} {median:7.1f} {spread:>14} {median / base:7.2f} "
              f"{median / module:8.2f} {statistics.median(walls[name]):11.1f}")
    # Ratios within each round, where the machine's load is the same for both.
    own = statistics.median(times[EMPTY_MODULE]) - statistics.median(times[EMPTY_BARE])
    print(f"the module's own work a call (empty text, module less bare): {own:.1f} µs")
    for name in [n for n, _ in measured[1:] if n not in (EMPTY_BARE, EMPTY_MODULE)]:
        within = [t / b for t, b in zip(times[name], times[measured[0][0]])]
        print(f"CPU time, {name} / bare reused, per round: {min(within):.2f} to "
              f"{max(within):.2f}")
    if arrived != sent * frame_bytes:
        print(f"FAILED: {arrived} bytes arrived for {sent} messages of {frame_bytes}")
        return 1
    print(f"all {sent} messages arrived whole ({arrived} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
