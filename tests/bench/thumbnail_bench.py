#!/usr/bin/env python3
"""Thumbnail benchmark: `movrel thumbnail` of 640 x 480 FLCs against the same
of a 1-frame FLC, timed in the same run.
- 1500 frames: only the first frame should be decoded, so the long file should
  cost about what the still does; the goal is a ratio of at most 2.
- 1500 frames black for the first 30, then fading in (the picture drawn at
  once, its palette brought up from black): the thumbnail passes over the
  black frames and shows the picture; the goal is at most 5 x the still.
- 1500 frames black throughout, at 40 ms and at 10 ms a frame: the thumbnail is
  black, and the look-ahead's bounds (2 seconds of playing, 120 frames, and
  32 times the first frame's work) keep it within the same 5 x.

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


def write_flc(path, frames, palette_at=None, speed=40):
    """A textured first frame (palette and raw copy), then word deltas moving a block.
    palette_at(f): the brightness (0 to 1) of the palette from frame f on, or None
    to leave it; without it, the palette is set once at full brightness."""
    colors = [(i, 255 - i, i * 7 & 255) for i in range(256)]

    def palette(level):
        return chunk(4, struct.pack('<HBB', 1, 0, 0) + bytes(round(c * level) for rgb in colors for c in rgb))

    pixels = bytes((x ^ y) & 255 if (x // 16 + y // 16) % 2 else 17 for y in range(HEIGHT) for x in range(WIDTH))
    level = palette_at(0) if palette_at else 1
    body = [frame(palette(level), chunk(16, pixels))]
    for f in range(1, frames):
        y, x = f * 7 % HEIGHT, f * 5 % 200
        # One line: skip y lines, one packet that skips x pixels and repeats a word 24 times.
        delta = struct.pack('<Hh', 1, -y) if y else struct.pack('<H', 1)
        delta += struct.pack('<HBbH', 1, x, -24, f & 0xFFFF)
        level = palette_at(f) if palette_at else None
        body.append(frame(*([palette(level)] if level is not None else []), chunk(7, delta)))
    data = b''.join(body)
    header = struct.pack('<IHHHHHHI', 128 + len(data), 0xAF12, frames, WIDTH, HEIGHT, 8, 0, speed).ljust(128, b'\0')
    with open(path, 'wb') as f:
        f.write(header + data)


def fade_in(f):
    """Black for 30 frames, then up to full brightness over 30 more."""
    return 0 if f == 0 else (f - 29) / 30 if 30 <= f < 60 else None


def black(f):
    return 0 if f == 0 else None


def picture_shown(bmp):
    """Whether a 24-bit BMP has any pixel that is not black."""
    with open(bmp, 'rb') as f:
        data = f.read()
    return any(data[struct.unpack_from('<I', data, 10)[0]:])


def timed(cmd):
    start = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    movrel = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 7
    with tempfile.TemporaryDirectory() as tmp:
        files = {name: os.path.join(tmp, name + '.flc') for name in ('long', 'still', 'fade', 'black', 'black10')}
        write_flc(files['long'], 1500)
        write_flc(files['still'], 1)
        write_flc(files['fade'], 1500, fade_in)
        write_flc(files['black'], 1500, black)
        write_flc(files['black10'], 1500, black, speed=10)
        out = os.path.join(tmp, 'thumb.bmp')
        info = subprocess.run([movrel, 'info', files['long']], capture_output=True, text=True, check=True).stdout
        if 'frames: 1500' not in info:
            sys.exit(f'the long file does not load whole: {info[:200]}')
        for name, shown in (('fade', True), ('black', False), ('black10', False)):
            subprocess.run([movrel, 'thumbnail', files[name], out], check=True)
            if picture_shown(out) != shown:
                sys.exit(f'the thumbnail of {name} is {"black" if shown else "not black"}')
        times = {name: [] for name in files}
        for _ in range(runs):  # interleaved, so that all see the same machine load
            for name, path in files.items():
                times[name].append(timed([movrel, 'thumbnail', path, out]))
        full = timed([movrel, 'info', files['long']])
    t = {name: statistics.median(values) for name, values in times.items()}
    s = t['still']
    print(f'thumbnail of 1 frame: {s * 1000:.1f} ms   loading all of the 1500 frames: {full * 1000:.0f} ms')
    for name, what, goal in (('long', '1500 frames', 2), ('fade', 'black 30 frames, then fading in', 5),
                             ('black', 'black throughout, 40 ms', 5), ('black10', 'black throughout, 10 ms', 5)):
        ratio = t[name] / s
        print(f'thumbnail of {what}: {t[name] * 1000:.1f} ms   ratio: {ratio:.2f} '
              f'(goal at most {goal}: {"met" if ratio <= goal else "NOT met"})')


if __name__ == '__main__':
    main()
