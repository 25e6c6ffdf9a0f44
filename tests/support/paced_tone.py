#!/usr/bin/env python3
"""Writes a 440 Hz tone (u8, mono, 22050 Hz) into a FIFO at the pace of a
device, from DELAY seconds after a line comes on stdin, with a full-scale
click MARK seconds after that line; prints the click's monotonic time once it
is written. A pipe source fed by it is a microphone that is slow to start, or
an ordinary one with DELAY 0. Nothing is written before the line: sound
waiting in the FIFO would reach the recorder late, as no device's would.
Says "ready" once it waits for that line, so that its own start-up, slow on a
busy machine, is never taken for the device's."""
import math
import os
import sys
import time

RATE, CHUNK = 22050, 44  # 2 ms: each sample reaches the server within that of its time
fifo, delay, seconds, mark = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
fd = os.open(fifo, os.O_WRONLY)
print("ready", flush=True)
sys.stdin.readline()
go = time.monotonic()
time.sleep(delay)
start = time.monotonic()
click = round((go + mark - start) * RATE)
for n in range(0, int(seconds * RATE), CHUNK):
    wait = start + n / RATE - time.monotonic()
    if wait > 0:
        time.sleep(wait)
    os.write(fd, bytes(255 if 0 <= i - click < 10 else 128 + int(60 * math.sin(2 * math.pi * 440 * i / RATE))
                       for i in range(n, n + CHUNK)))
    if n <= click < n + CHUNK:
        print(f"{start + click / RATE:.6f}", flush=True)
