#!/usr/bin/python3
"""GIF files that movrel writes, read back by Pillow, ImageMagick and ffmpeg.

Animations go through `movrel export` (the GIF stream), still images through
`movrel convert`. Every peer must see the source's frames: the same RGB
pixels, equal consecutive frames joined into one, and each frame's delay as
written (the source's milliseconds, added up over joined frames, rounded to
hundredths, short ones kept at 20 ms). The animations of the sample and of
the FLICs that ffmpeg decodes whole must also be no larger than ffmpeg's GIF
of the same file, and within 1.2 x of what `gifsicle -O3` makes of ours.
Colours reduced to 256: a true-colour still within 0.5 dB of the PSNR of
ffmpeg's palettegen/paletteuse (no dither), and every frame of an animation
composed in 24 bits at 30 dB or better."""
import argparse
import hashlib
import math
import os
import subprocess
import sys
import tempfile

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


def written_delay(ms):
    """A delay in ms as the file says it: rounded to hundredths, at least 2 of
    them when above 0 (readers play 0 and 1 as 100 ms), at most 65535."""
    return 0 if ms == 0 else min(max((ms + 5) // 10, 2), 65535) * 10


def joined(frames):
    """(rgb, delay in ms as written) per frame, equal neighbours joined."""
    out = []
    for f in frames:
        if out and out[-1][0] == f['rgb']:
            out[-1][1] += f['delay']
        else:
            out.append([f['rgb'], f['delay']])
    return [(rgb, written_delay(delay)) for rgb, delay in out]


def ffmpeg_rgb(path, *extra):
    return subprocess.run(['ffmpeg', '-v', 'error', '-i', path, *extra, '-fps_mode', 'passthrough', '-f', 'rawvideo',
                           '-pix_fmt', 'rgb24', '-'], capture_output=True, check=True).stdout


def psnr(a, b):
    if len(a) != len(b) or not a:
        return -1.0
    error = sum((x - y) * (x - y) for x, y in zip(a, b))
    return 99.0 if error == 0 else 10 * math.log10(255 * 255 * len(a) / error)


def check_sizes(movrel, source, work):
    """Our GIF against ffmpeg's of the same file and gifsicle -O3 of ours."""
    name = os.path.join(work, os.path.basename(source))
    ours, ffmpeg, squeezed = name + '.size.gif', name + '.ffmpeg.gif', name + '.gifsicle.gif'
    subprocess.run([movrel, 'export', source, ours, '--quiet'], check=True)
    subprocess.run(['ffmpeg', '-v', 'error', '-i', source, ffmpeg], check=True)
    subprocess.run(['gifsicle', '-O3', ours, '-o', squeezed], check=True)
    size, theirs, best = (os.path.getsize(p) for p in (ours, ffmpeg, squeezed))
    print(f'{os.path.basename(source)}: {size} bytes, ffmpeg {theirs}, gifsicle -O3 on ours {best}')
    problems = []
    if size > theirs:
        problems.append(f'{source}: {size} bytes, larger than ffmpeg\'s {theirs}')
    if size > 1.2 * best:
        problems.append(f'{source}: {size} bytes, more than 1.2 x gifsicle -O3\'s {best}')
    return problems


def check_reduced(movrel, dump_frames, corpus, work):
    """True-colour stills against ffmpeg's palette; a 24-bit animation frame by frame."""
    problems = []
    for rel in ('bmp/pillow/hopper.bmp', 'bmp/serenity/top-down.bmp', 'tga/zigimg/stopsignsmall.tga'):
        source = os.path.join(corpus, rel)
        if not os.path.exists(source):
            continue
        ours, theirs = os.path.join(work, 'reduced.gif'), os.path.join(work, 'ffmpeg-reduced.gif')
        subprocess.run([movrel, 'convert', source, ours], check=True)
        subprocess.run(['ffmpeg', '-v', 'error', '-y', '-i', source, '-vf',
                        'format=rgb24,split[a][b];[a]palettegen[p];[b][p]paletteuse=dither=none', theirs], check=True)
        want = ffmpeg_rgb(source)
        a, b = psnr(want, ffmpeg_rgb(ours)), psnr(want, ffmpeg_rgb(theirs))
        print(f'{rel}: PSNR {a:.2f} dB, ffmpeg palettegen/paletteuse {b:.2f} dB')
        if a < b - 0.5:
            problems.append(f'{rel}: PSNR {a:.2f} dB against ffmpeg\'s {b:.2f} dB')
        subprocess.run([movrel, 'convert', source, ours, '--dither'], check=True)
        dithered = psnr(want, ffmpeg_rgb(ours))
        if not 25 <= dithered < a:  # the error spread, not removed
            problems.append(f'{rel}: dithered PSNR {dithered:.2f} dB, plain {a:.2f} dB')
    source = os.path.join(corpus, 'gif/pillow/iss634.gif')  # frames composed in 24 bits
    if os.path.exists(source):
        out = os.path.join(work, 'truecolor.gif')
        subprocess.run([movrel, 'export', source, out, '--quiet'], check=True)
        want = joined(load_frames(dump_frames, source)[0])
        got = ffmpeg_rgb(out)
        size = len(want[0][0])
        frames = [got[i:i + size] for i in range(0, len(got), size)]
        values = [psnr(rgb, g) for (rgb, _), g in zip(want, frames)]
        print(f'{os.path.basename(source)}: worst frame {min(values):.2f} dB')
        if len(frames) != len(want) or min(values) < 30:
            problems.append(f'{source}: {len(frames)} of {len(want)} frames, worst {min(values):.2f} dB')
    return problems


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
    expected = joined(want) if command == 'export' else [(want[0]['rgb'], 0)]
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


# The sample and the FLICs of the corpus that ffmpeg decodes whole.
SIZED = [None, 'flic/pillow/a.fli', 'flic/serenity/serenity.fli', 'flic/c7-civ3/Settler/Default.flc',
         'flic/c7-civ3/Settler/Captured.flc', 'flic/c7-civ3/Settler/Build.flc']


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
    cases += [(os.path.join(corpus, p), 'export') for p in SIZED[2:] if os.path.exists(os.path.join(corpus, p))]
    problems = []
    with tempfile.TemporaryDirectory() as work:
        for source, command in cases:
            found = check(opts.movrel, opts.dump_frames, source, command, work)
            problems += found[:5] + ([f'{source}: and {len(found) - 5} more'] if len(found) > 5 else [])
        for rel in SIZED:
            source = opts.sample if rel is None else os.path.join(corpus, rel)
            if os.path.exists(source):
                problems += check_sizes(opts.movrel, source, work)
        problems += check_reduced(opts.movrel, opts.dump_frames, corpus, work)
    print(f'{len(cases)} files written and read back by Pillow, ImageMagick and ffmpeg')
    for p in problems:
        print('FAIL ' + p)
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
