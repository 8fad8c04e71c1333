#!/usr/bin/env python3
"""A movrel-view screenshot shows a frame of the sample: its top-left corner
holds exactly one of the decoded frames (as `movrel framemd5` hashes them) and
the rest of the window is the viewer's white background."""
import argparse
import hashlib
import os
import subprocess
import sys

from PIL import Image


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--screenshot', required=True, help='the BMP to check (made first when --run is given)')
    ap.add_argument('--movrel', nargs='+', required=True, help='command that runs movrel')
    ap.add_argument('--sample', required=True)
    ap.add_argument('--run', nargs='+', help='command that runs movrel-view to take the screenshot')
    ap.add_argument('--after', default='1000')
    opts = ap.parse_args()

    if opts.run:
        usage = subprocess.run(opts.run + ['--help'], capture_output=True, text=True, timeout=90)
        if usage.returncode != 0 or not usage.stdout.startswith('usage: movrel-view'):
            print(f'FAIL movrel-view --help: exit {usage.returncode}, {usage.stdout!r}')
            return 1
        if os.path.exists(opts.screenshot):
            os.remove(opts.screenshot)
        subprocess.run(opts.run + ['--screenshot', opts.screenshot, '--after', opts.after, opts.sample],
                       check=True, timeout=90)
    lines = subprocess.run(opts.movrel + ['framemd5', opts.sample], capture_output=True, text=True, check=True,
                           timeout=90).stdout.split()
    frames = {}
    for line in lines:
        index, _, size, md5 = line.strip().split(',')
        frames.setdefault(md5, int(index))
    width, height = (int(v) for v in lines[0].split(',')[2].split('x'))

    shot = Image.open(opts.screenshot).convert('RGB')
    if shot.width < width or shot.height < height:
        print(f'FAIL screenshot {shot.width}x{shot.height} is smaller than the frame {width}x{height}')
        return 1
    md5 = hashlib.md5(shot.crop((0, 0, width, height)).tobytes()).hexdigest()
    if md5 not in frames:
        print(f'FAIL the top-left {width}x{height} of {opts.screenshot} is none of the {len(lines)} decoded frames')
        return 1
    pixels = shot.load()
    stray = sum(1 for y in range(shot.height) for x in range(shot.width)
                if (x >= width or y >= height) and pixels[x, y] != (255, 255, 255))
    if stray:
        print(f'FAIL {stray} pixels outside the frame are not the white background')
        return 1
    print(f'{opts.screenshot}: {shot.width}x{shot.height}, shows frame {frames[md5]} of {opts.sample} exactly, '
          f'white around it')
    return 0


if __name__ == '__main__':
    sys.exit(main())
