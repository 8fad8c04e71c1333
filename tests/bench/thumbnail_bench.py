#!/usr/bin/env python3
"""Thumbnail benchmark: `movrel thumbnail` of a 640 x 480 FLC of 1500 frames
against the same of a 1-frame FLC, timed in the same run. Only the first frame
should be decoded, so the long file should cost about what the still does; the
goal is a ratio of at most 2.

Usage: thumbnail_bench.py MOVREL [RUNS]   (the tool of any build; "bench" for real times)"""
import os
import statistics
import struct
import subprocess
import sys
import tempfile
import time

WIDTH, HEIGHT = 640, 480


def chunk(kind, data):
    return struct.pack('<IH', 6 + len(data), kind) + data


def frame(*subchunks):
    body = b''.join(subchunks)
    return struct.pack('<IHH8x', 16 + len(body), 0xF1FA, len(subchunks)) + body


def write_flc(path, frames):
    """A textured first frame (palette and raw copy), then word deltas moving a block."""
    palette = struct.pack('<HBB', 1, 0, 0) + bytes((i, 255 - i, i * 7 & 255)[c] for i in range(256) for c in range(3))
    pixels = bytes((x ^ y) & 255 if (x // 16 + y // 16) % 2 else 17 for y in range(HEIGHT) for x in range(WIDTH))
    body = [frame(chunk(4, palette), chunk(16, pixels))]
    for f in range(1, frames):
        y, x = f * 7 % HEIGHT, f * 5 % 200
        # One line: skip y lines, one packet that skips x pixels and repeats a word 24 times.
        delta = struct.pack('<Hh', 1, -y) if y else struct.pack('<H', 1)
        delta += struct.pack('<HBbH', 1, x, -24, f & 0xFFFF)
        body.append(frame(chunk(7, delta)))
    data = b''.join(body)
    header = struct.pack('<IHHHHHHI', 128 + len(data), 0xAF12, frames, WIDTH, HEIGHT, 8, 0, 40).ljust(128, b'\0')
    with open(path, 'wb') as f:
        f.write(header + data)


def timed(cmd):
    start = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    movrel = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 7
    with tempfile.TemporaryDirectory() as tmp:
        long_flc, still_flc = os.path.join(tmp, 'long.flc'), os.path.join(tmp, 'still.flc')
        write_flc(long_flc, 1500)
        write_flc(still_flc, 1)
        out = os.path.join(tmp, 'thumb.bmp')
        info = subprocess.run([movrel, 'info', long_flc], capture_output=True, text=True, check=True).stdout
        if 'frames: 1500' not in info:
            sys.exit(f'the long file does not load whole: {info[:200]}')
        longs, stills = [], []
        for _ in range(runs):  # interleaved, so both see the same machine load
            longs.append(timed([movrel, 'thumbnail', long_flc, out]))
            stills.append(timed([movrel, 'thumbnail', still_flc, out]))
        full = timed([movrel, 'info', long_flc])
    l, s = statistics.median(longs), statistics.median(stills)
    print(f'thumbnail of 1500 frames: {l * 1000:.1f} ms   of 1 frame: {s * 1000:.1f} ms   '
          f'ratio: {l / s:.2f} (goal at most 2)   loading every frame: {full * 1000:.0f} ms')


if __name__ == '__main__':
    main()
