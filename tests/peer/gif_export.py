#!/usr/bin/python3
"""GIF files that movrel writes, read back by Pillow, ImageMagick and ffmpeg.

Animations go through `movrel export` (the GIF stream), still images through
`movrel convert`. Every peer must see the source's frames: the same number,
the same RGB pixels, and each frame's delay as written (the source's
milliseconds cut to hundredths). An animation whose frames have more than 8
bits per pixel must fail cleanly and leave no file behind."""
import argparse
import hashlib
import os
import subprocess
import sys
import tempfile
from fractions import Fraction

from gif_frames import load_frames


def pillow_frames(path):
    from PIL import Image, ImageSequence
    with Image.open(path) as im:
        loop = im.info.get('loop')
        return [(f.convert('RGB').tobytes(), f.info.get('duration', 0)) for f in ImageSequence.Iterator(im)], loop


def magick_frames(path, w, h):
    info = subprocess.run(['convert', path, '-coalesce', '-format', '%T\n', 'info:'], capture_output=True, text=True,
                          check=True)
    delays = [int(t) * 10 for t in info.stdout.split()]
    rgb = subprocess.run(['convert', path, '-coalesce', '-depth', '8', 'rgb:-'], capture_output=True, check=True).stdout
    size = w * h * 3
    return [(rgb[i * size:(i + 1) * size], delays[i]) for i in range(len(delays))]


def ffmpeg_frames(path):
    """(md5 of RGB24, duration in ms) per frame: pixels from framemd5 (every
    frame passed through as decoded), durations from ffprobe."""
    out = subprocess.run(['ffmpeg', '-v', 'error', '-i', path, '-fps_mode', 'passthrough', '-f', 'framemd5',
                          '-pix_fmt', 'rgb24', '-'], capture_output=True, text=True, check=True).stdout
    md5s = [line.split(',')[5].strip() for line in out.splitlines() if line and not line.startswith('#')]
    probe = subprocess.run(['ffprobe', '-v', 'error', '-select_streams', 'v', '-show_entries', 'frame=pkt_duration',
                            '-of', 'csv=p=0', path], capture_output=True, text=True, check=True).stdout.split()
    # The GIF demuxer counts in hundredths of a second.
    durations = [int(d) * 10 if d.isdigit() else 0 for d in probe]
    return list(zip(md5s, durations)) if len(durations) == len(md5s) else [(m, 0) for m in md5s]


def check(movrel, dump_frames, source, command, work):
    """Problems found, as text lines."""
    out = os.path.join(work, os.path.basename(source) + '.gif')
    run = subprocess.run([movrel, command, source, out, *(['--quiet'] if command == 'export' else [])],
                         capture_output=True, text=True)
    if run.returncode != 0:
        return [f'{source}: movrel {command} failed: {run.stderr.strip()}']
    want, _, _ = load_frames(dump_frames, source)
    if command == 'convert':
        want = want[:1]
    w, h = want[0]['width'], want[0]['height']
    expected = [(f['rgb'], f['delay'] // 10 * 10 if command == 'export' else 0) for f in want]
    problems = []
    pil, loop = pillow_frames(out)
    peers = {'Pillow': pil, 'ImageMagick': magick_frames(out, w, h)}
    if command == 'export' and loop != 0:
        problems.append(f'{source}: Pillow sees loop {loop}, expected 0 (for ever)')
    if command == 'convert' and loop is not None:
        problems.append(f'{source}: a still image carries a loop extension')
    for name, frames in peers.items():
        if len(frames) != len(expected):
            problems.append(f'{source}: {name} reads {len(frames)} frames, expected {len(expected)}')
            continue
        for i, ((rgb, delay), (want_rgb, want_delay)) in enumerate(zip(frames, expected)):
            if rgb != want_rgb:
                problems.append(f'{source}: {name} frame {i}: pixels differ')
            if delay != want_delay:
                problems.append(f'{source}: {name} frame {i}: delay {delay} ms, expected {want_delay}')
    ff = ffmpeg_frames(out)
    if len(ff) != len(expected):
        problems.append(f'{source}: ffmpeg reads {len(ff)} frames, expected {len(expected)}')
    else:
        for i, ((md5, duration), (want_rgb, want_delay)) in enumerate(zip(ff, expected)):
            if md5 != hashlib.md5(want_rgb).hexdigest():
                problems.append(f'{source}: ffmpeg frame {i}: pixels differ')
            # ffmpeg plays delays under 20 ms at 100 ms and gives a still image no duration.
            if command == 'export' and want_delay >= 20 and duration != want_delay:
                problems.append(f'{source}: ffmpeg frame {i}: duration {duration} ms, expected {want_delay}')
    return problems


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--movrel', required=True)
    ap.add_argument('--dump-frames', required=True)
    ap.add_argument('--sample', required=True)
    ap.add_argument('--corpus', required=True)
    opts = ap.parse_args()
    corpus = opts.corpus
    cases = [(opts.sample, 'export')]
    optional = [
        ('flic/pillow/a.fli', 'export'),                              # FLI speed: 71 ms frames
        ('gif/pygif-suite/animation-speed.gif', 'export'),            # a delay of its own per frame
        ('gif/pillow/chi.gif', 'export'),                             # composed frames, transparency
        ('bmp/pillow/bmp/g/pal1.bmp', 'convert'),
        ('bmp/pillow/bmp/g/pal4.bmp', 'convert'),
        ('bmp/pillow/bmp/g/pal8.bmp', 'convert'),
    ]
    cases += [(os.path.join(corpus, p), c) for p, c in optional if os.path.exists(os.path.join(corpus, p))]
    problems = []
    with tempfile.TemporaryDirectory() as work:
        for source, command in cases:
            found = check(opts.movrel, opts.dump_frames, source, command, work)
            problems += found[:5] + ([f'{source}: and {len(found) - 5} more'] if len(found) > 5 else [])
        # Frames composed in 24 bits cannot become GIF images: a clean failure, no file left.
        truecolor = os.path.join(corpus, 'gif/pillow/iss634.gif')
        if os.path.exists(truecolor):
            out = os.path.join(work, 'truecolor.gif')
            run = subprocess.run([opts.movrel, 'export', truecolor, out, '--quiet'], capture_output=True, text=True)
            if run.returncode != 1 or 'Color not supported' not in run.stderr:
                problems.append(f'24-bit export: exit {run.returncode}, {run.stderr.strip()}')
            leftovers = os.listdir(work)
            if any(f == 'truecolor.gif' or f.endswith('.tmp') for f in leftovers):
                problems.append(f'24-bit export left files behind: {leftovers}')
    print(f'{len(cases)} files written and read back by Pillow, ImageMagick and ffmpeg')
    for p in problems:
        print('FAIL ' + p)
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
