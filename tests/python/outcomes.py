# SPDX-License-Identifier: MIT
"""Sends each command to the port given (an argument starting with '/' is a
sound file to play) and tells what became of it, outcome by outcome. Exits 0
when everything was shown or played."""
import sys

import qelmar
from qelmar import Outcome

port, *commands = sys.argv[1:]
display = qelmar.Display(int(port))
print(f"library {qelmar.library_version()}, module {qelmar.__version__}")
shown = True
for command in commands:
    try:
        r = display.play(command) if command.startswith("/") else display.send(command)
    except qelmar.EncodingError as e:  # a character GB2312 lacks: nothing was sent
        print(f"{command}: fix the command: {e}")
        shown = False
        continue
    if r.outcome is Outcome.DELIVERED:
        print(f"{command}: shown: {r.reason}")
        continue
    if r.outcome in (Outcome.EMPTY, Outcome.NOTHING_TO_SEND):
        print(f"{command}: nothing to show: {r.reason}")
        continue
    shown = False
    if r.outcome is Outcome.DROPPED:
        print(f"{command}: fix the command: {r.detail}")
    elif r.outcome in (Outcome.NOT_FOUND, Outcome.NOT_A_TTY):
        print(f"{command}: check the port number and the cable: {r.reason}")
    elif r.outcome is Outcome.NO_PERMISSION:
        print(f"{command}: let this user use group {r.group}: {r.reason}")
    elif r.outcome is Outcome.BUSY:
        print(f"{command}: another program has the port (process {r.holder}): {r.reason}")
    elif r.outcome in (Outcome.NOT_CONFIGURED, Outcome.STUCK, Outcome.BEHIND_HELD_UP):
        print(f"{command}: the line failed: {r.reason}")
    elif r.outcome is Outcome.ALERT_INSTEAD:
        print(f"{command}: the alert played instead: {r.reason}")
    elif r.outcome is Outcome.NOT_PLAYED:
        print(f"{command}: no sound: {r.reason}")
    else:  # UNFILLED, or an outcome a later library added
        print(f"{command}: {r.outcome.name.lower()}: {r.reason}")
sys.exit(0 if shown else 1)
