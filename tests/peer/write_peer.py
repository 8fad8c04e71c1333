#!/usr/bin/env python3
"""PCX, TGA and SPR files that movrel writes, read back by movrel and by peers.

Every written mode (PCX at 1, 4, 8 and 24 bits; TGA at 8, 16, 24 and 32 bits,
raw and run-length) must load in movrel as its source did, and Pillow and
ImageMagick must read it as they read the source (RGBA, so alpha counts; 16-bit
pixels as RGB, their top bit being no alpha in movrel's images); for a source a
peer cannot read (a FLIC file), the peer must see movrel's pixels. Bit-plane
PCX files (1 bit x 2, 3 and 4 planes, made here) must load in movrel as the
peers that read them show them, merged into 2- and 4-bit pixels. An
SPR export of the bundled sample must load back with the same frames, palettes
and delays.
"""
import argparse
import hashlib
import os
import struct
import subprocess
import sys
import tempfile

from PIL import Image

MAGICK = '/usr/bin/convert'

# (source, output name, extra arguments, header facts: {offset: value})
CASES = [
    ('planes:2', 'two.pcx', [], {3: 2, 65: 1}),
    ('planes:3', 'three.pcx', [], {3: 4, 65: 1}),
    ('planes:4', 'sixteen.pcx', [], {3: 4, 65: 1}),
    ('corpus:pcx/pillow/pil184.pcx', 'one.pcx', [], {3: 1, 65: 1}),
    ('corpus:pcx/zigimg/test-bpp4.pcx', 'four.pcx', [], {3: 4, 65: 1}),
    ('sample', 'eight.pcx', [], {3: 8, 65: 1}),
    ('corpus:pcx/zigimg/test-bpp24.pcx', 'rgb.pcx', [], {3: 8, 65: 3}),
    ('sample', 'eight.tga', [], {1: 1, 2: 1, 16: 8}),
    ('sample', 'eight-rle.tga', ['--rle'], {1: 1, 2: 9, 16: 8}),
]
for bits in (16, 24, 32):
    CASES.append((f'corpus:tga/zigimg/utc{bits}.tga', f'tc{bits}.tga', [], {2: 2, 16: bits}))
    CASES.append((f'corpus:tga/zigimg/utc{bits}.tga', f'tc{bits}-rle.tga', ['--rle'], {2: 10, 16: bits}))

# Peers without a reader for a mode we write or a source.
CANNOT_READ = {
    ('pillow', 'four.pcx'), ('pillow', 'three.pcx'), ('pillow', 'sixteen.pcx'),  # no 4-bit single-plane PCX
    ('pillow', 'two.pcx'),                                                       # nor 2-bit
}


def planar_pcx(path, planes, width=13, height=3):
    """A PCX file of 1-bit planes whose pixel x, y has the value (x + 3y) mod 2^planes."""
    header = bytearray(128)
    header[0:4] = bytes([10, 5, 1, 1])
    line = (width + 15) // 16 * 2  # Pillow needs plane lines without padding: keep (width + 7) // 8 even
    struct.pack_into('<4H', header, 4, 0, 0, width - 1, height - 1)
    header[65] = planes
    struct.pack_into('<H', header, 66, line)
    for i in range(16):
        header[16 + 3 * i:19 + 3 * i] = bytes([i * 17, 255 - i * 13, (i * 71) % 256])
    data = bytearray()
    for y in range(height):
        for k in range(planes):
            bits = bytearray(line)
            for x in range(width):
                if ((x + 3 * y) % (1 << planes)) >> k & 1:
                    bits[x // 8] |= 0x80 >> (x % 8)
            data += bits
    encoded = bytearray()
    for b in data:
        encoded += bytes([0xC1, b]) if b >= 0xC0 else bytes([b])
    with open(path, 'wb') as f:
        f.write(bytes(header) + bytes(encoded))


def pillow_md5(path, mode='RGBA'):
    try:
        with Image.open(path) as im:
            im.load()
            return hashlib.md5(im.convert(mode).tobytes()).hexdigest()
    except Exception:
        return None


def magick_md5(path, fmt='rgba'):
    r = subprocess.run([MAGICK, path, '-auto-orient', '-depth', '8', fmt + ':-'], capture_output=True, timeout=60)
    return hashlib.md5(r.stdout).hexdigest() if r.returncode == 0 and r.stdout else None


PEERS = {'pillow': pillow_md5, 'magick': magick_md5}


def movrel(exe, *args):
    return subprocess.run([exe, *args], capture_output=True, text=True, timeout=120)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--movrel', required=True)
    ap.add_argument('--sample', required=True)
    ap.add_argument('--corpus', required=True)
    opts = ap.parse_args()
    failures = []
    checked = 0

    with tempfile.TemporaryDirectory() as work:
        for source, name, extra, facts in CASES:
            if source == 'sample':
                src = opts.sample
            elif source.startswith('planes:'):
                src = os.path.join(work, 'source-' + name)
                planar_pcx(src, int(source.split(':')[1]))
                ours = movrel(opts.movrel, 'framemd5', src).stdout.split(',')[-1].strip()
                for peer, read in PEERS.items():
                    theirs = read(src, 'RGB' if peer == 'pillow' else 'rgb')
                    if theirs is None and (peer, name) not in CANNOT_READ:
                        failures.append(f'{name}: {peer} cannot read the source')
                    elif theirs is not None and theirs != ours:
                        failures.append(f'{name}: movrel loads the source unlike {peer}')
            else:
                src = os.path.join(opts.corpus, source.split(':', 1)[1])
                if not os.path.exists(src):
                    continue
            out = os.path.join(work, name)
            r = movrel(opts.movrel, 'convert', src, out, *extra)
            if r.returncode != 0:
                failures.append(f'{name}: convert failed: {r.stderr.strip()}')
                continue
            checked += 1
            data = open(out, 'rb').read()
            for offset, value in facts.items():
                if data[offset] != value:
                    failures.append(f'{name}: header byte {offset} is {data[offset]}, not {value}')
            ours_src = movrel(opts.movrel, 'framemd5', src).stdout.splitlines()[0].split(',')[-1]
            ours_out = movrel(opts.movrel, 'framemd5', out).stdout.splitlines()
            if not ours_out or ours_out[0].split(',')[-1] != ours_src:
                failures.append(f'{name}: movrel does not load back what it wrote')
            for peer, read in PEERS.items():
                got = read(out)
                if got is None:
                    if (peer, name) not in CANNOT_READ:
                        failures.append(f'{name}: {peer} cannot read it')
                    continue
                rgb = 'RGB' if peer == 'pillow' else 'rgb'
                words = name.startswith('tc16')
                expected = read(src, rgb) if words else read(src)
                if words:
                    got = read(out, rgb)
                if expected is None:  # a source the peer cannot read: movrel's pixels, as RGB
                    got, expected = read(out, rgb), ours_src
                if got != expected:
                    failures.append(f'{name}: {peer} reads other pixels than in the source')

        # The SPR export of the sample: every frame, palette and delay.
        spr = os.path.join(work, 'sample.spr')
        r = movrel(opts.movrel, 'convert', opts.sample, spr)
        if r.returncode != 0:
            failures.append(f'SPR export failed: {r.stderr.strip()}')
        else:
            checked += 1
            want = movrel(opts.movrel, 'framemd5', '--pal8', opts.sample).stdout
            got = movrel(opts.movrel, 'framemd5', '--pal8', spr).stdout
            if got != want or not want:
                failures.append('SPR export does not load back as the sample')
            info = movrel(opts.movrel, 'info', spr).stdout.splitlines()
            if info[:1] != ['format: Pro Motion Animation']:
                failures.append(f'SPR export: info says {info[:1]}')

    print(f'{checked} files written and checked')
    for f in failures:
        print('FAIL', f)
    print(f'{len(failures)} failures')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
