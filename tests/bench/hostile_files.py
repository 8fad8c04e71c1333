#!/usr/bin/env python3
"""Small files whose stated sizes ask for far more work than they show.

Each is cheap to write and must stay cheap to open: shown fitted, made into a
thumbnail, loaded by the tool, closed while decoding. load_time.py loads them
with the corpus; the Windows tests open them through the plug-in.
Usage: hostile_files.py DIR   (writes them there and prints their names)"""
import os
import struct
import sys


def lzw_runs(pixels, min_code_size=2):
    """LZW data (as sub-blocks, with the terminator) for `pixels` zeros that
    no real encoder would write: every code extends the one before, and once
    the table is full the longest string repeats without a clear, about 2700
    pixels a byte."""
    clear = 1 << min_code_size
    width, next_code, previous = min_code_size + 1, clear + 2, None
    bits, count, out = 0, 0, bytearray()
    done = 0

    def put(code):
        nonlocal bits, count
        bits |= code << count
        count += width
        while count >= 8:
            out.append(bits & 0xFF)
            bits >>= 8
            count -= 8

    put(clear)
    while done < pixels:
        if previous is None:
            code, length = 0, 1
        elif next_code < 4096:
            code, length = next_code, next_code - clear - 2 + 2
        else:
            code, length = 4095, 4095 - clear - 2 + 2
        put(code)
        done += length
        if previous is not None and next_code < 4096:
            next_code += 1
            if next_code >= (1 << width) and width < 12:
                width += 1
        previous = code
    put(clear + 1)
    if count:
        out.append(bits & 0xFF)
    blocks = bytearray([min_code_size])
    for i in range(0, len(out), 255):
        chunk = out[i:i + 255]
        blocks += bytes([len(chunk)]) + chunk
    return bytes(blocks + b'\0')


def gif_screen(width, height):
    return b'GIF89a' + struct.pack('<HHBBB', width, height, 0x80, 0, 0) + b'\0\0\0\xff\xff\xff'


def gif_block(width, height, data, left=0, top=0):
    return b'\x2C' + struct.pack('<HHHHB', left, top, width, height, 0) + data


def tiny_block(left=0, top=0):
    return gif_block(1, 1, b'\x02\x02\x44\x01\x00', left, top)


def flic(width, height, frames):
    """A FLC whose frames are a colour chunk each, then nothing."""
    color = struct.pack('<H', 1) + bytes([0, 16]) + bytes(range(48))
    sub = struct.pack('<IH', 6 + len(color), 0x0B) + color
    frame = struct.pack('<IHH8x', 16 + len(sub), 0xF1FA, 1) + sub
    body = frame * frames
    header = struct.pack('<IHHHHHHI', 128 + len(body), 0xAF12, frames, width, height, 8, 0, 10).ljust(128, b'\0')
    return header + body


def files():
    """(name, bytes) of each file."""
    # A 35-byte picture of 65535 x 32767 pixels: shown fitted and as a thumbnail.
    yield 'screen-65535x32767.gif', gif_screen(65535, 32767) + tiny_block() + b'\x3B'
    # 16000 x 16000 from a few hundred bytes: shown fitted.
    yield 'flic-16000x16000.flc', flic(16000, 16000, 8)
    # One block 65535 pixels wide on a 1 x 1 screen: its rows are decoded
    # whole, one column of them shown.
    wide = gif_block(65535, 65535, lzw_runs(65535 * 65535))
    yield 'wide-block.gif', gif_screen(1, 1) + wide + b'\x3B'
    # On a screen one pixel wide and as tall as the block, every row shows
    # one pixel of strings thousands of pixels long.
    yield 'wide-block-tall-screen.gif', gif_screen(1, 65535) + wide + b'\x3B'
    # The same after a first frame, for a worker to be stopped in it.
    yield 'wide-block-second.gif', gif_screen(1, 1) + tiny_block() + wide + b'\x3B'
    # Blocks wholly off a 1 x 1 screen, whose canvas cannot grow to hold them.
    off = gif_block(65535, 65535, lzw_runs(65535 * 8192), 1, 1)
    yield 'blocks-off-canvas.gif', gif_screen(1, 1) + tiny_block() + off * 3 + b'\x3B'


def write_all(directory):
    paths = []
    for name, data in files():
        path = os.path.join(directory, name)
        with open(path, 'wb') as f:
            f.write(data)
        paths.append(path)
    return paths


if __name__ == '__main__':
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    os.makedirs(sys.argv[1], exist_ok=True)
    for path in write_all(sys.argv[1]):
        print(f'{path}: {os.path.getsize(path)} bytes')
