#!/usr/bin/env python3
"""Writes small GIF files that ask for much work into tests/fuzz/seeds/gif.

Each has a big canvas and many image blocks with next to no pixel data, so
that the cost lies in composing frames: restoring (disposal 3) and clearing
(disposal 2) whole canvases at 1, 4 and 8 bits, and widening between depths.
They seed the fuzz targets and feed tests/bench/load_time.py. Run again after
changing them; the files are committed.
"""
import os
import struct

WIDTH, HEIGHT = 65535, 4096  # the largest 8-bit canvas the reader holds


def table(colors, shift=0):
    return bytes(c for i in range(colors) for c in ((i + shift) * 37 % 256, 255 - i, i * 7 % 256))


def screen(width, height, colors):
    """Header and logical screen, with a global table of `colors` (0: none)."""
    if not colors:
        return b'GIF89a' + struct.pack('<HHBBB', width, height, 0, 0, 0)
    bits = max(colors - 1, 1).bit_length()
    return b'GIF89a' + struct.pack('<HHBBB', width, height, 0x80 | (bits - 1), 1, 0) + table(1 << bits)


def block(disposal, width=WIDTH, height=HEIGHT, left=0, top=0, local=0, transparent=False, shift=0):
    """A graphic control and an image block whose data ends at once."""
    control = b'\x21\xF9\x04' + bytes([disposal << 2 | int(transparent), 1, 0, 0, 0])
    packed = 0
    colors = b''
    if local:
        bits = max(local - 1, 1).bit_length()
        packed = 0x80 | (bits - 1)
        colors = table(1 << bits, shift)
    return control + b'\x2C' + struct.pack('<HHHHB', left, top, width, height, packed) + colors + b'\x02\x00'


def seeds():
    # One row short of the largest canvas, so that four frames fit the budget.
    yield 'restore-8bit.gif', screen(WIDTH, HEIGHT - 1, 0) + block(3, WIDTH, HEIGHT - 1) * 8
    yield 'restore-4bit.gif', screen(WIDTH, HEIGHT, 16) + block(3) * 12
    yield 'restore-1bit.gif', screen(WIDTH, HEIGHT, 2) + block(3) * 40
    # Odd edges: the restored rectangle starts and ends inside bytes.
    yield 'restore-1bit-edges.gif', screen(WIDTH, HEIGHT, 2) + block(3, WIDTH - 6, HEIGHT - 1, 3, 1) * 40
    yield 'background-1bit.gif', screen(WIDTH, HEIGHT, 2) + block(2, transparent=True) * 40
    yield 'background-4bit.gif', screen(WIDTH, HEIGHT, 16) + block(2, WIDTH - 2, HEIGHT, 1, 0, transparent=True) * 12
    # 1 to 4 to 8 bits, each step restoring a canvas saved at the depth before.
    widen = screen(WIDTH, HEIGHT, 2) + block(3) * 4 + block(3, local=16) * 3 + block(3, local=32) * 2
    yield 'restore-widening.gif', widen
    # Indexed to 24 bits (a table of other colours), then 24-bit frames
    # restored and cleared, on the largest 24-bit canvas.
    true = screen(WIDTH, 1365, 2) + block(3, WIDTH, 1365) + block(3, WIDTH, 1365, local=4, shift=1)
    yield 'truecolor.gif', true + (block(3, WIDTH, 1365) + block(2, WIDTH, 1365, transparent=True)) * 4
    # A canvas that holds 256 MiB only at 1 bit.
    yield 'restore-1bit-tall.gif', screen(WIDTH, 32768, 2) + block(3, WIDTH, 32768) * 8


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'seeds', 'gif')
    os.makedirs(out, exist_ok=True)
    for name, data in seeds():
        data += b'\x3B'
        assert len(data) < 1024, name
        with open(os.path.join(out, name), 'wb') as f:
            f.write(data)
        print(f'{name}: {len(data)} bytes')


if __name__ == '__main__':
    main()
