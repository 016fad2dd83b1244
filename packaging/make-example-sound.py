#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the example sound, thanks.wav: two short rising tones, 16-bit mono
at 16 kHz, a third of a second. Made at build time, the same bytes every time,
so that the packages ship a sound to try without a recording in the tree."""
import math
import struct
import sys
import wave

RATE = 16000


def tone(frequency, seconds):
    count = int(RATE * seconds)
    fade = RATE // 100  # 10 ms in and out, so that the tone does not click
    for i in range(count):
        gain = min(1.0, i / fade, (count - i) / fade)
        yield 0.4 * gain * math.sin(2 * math.pi * frequency * i / RATE)


samples = [*tone(880, 0.12), *[0.0] * (RATE // 25), *tone(1320, 0.16)]
with wave.open(sys.argv[1], "wb") as out:
    out.setnchannels(1)
    out.setsampwidth(2)
    out.setframerate(RATE)
    out.writeframes(b"".join(struct.pack("<h", round(s * 32767)) for s in samples))
