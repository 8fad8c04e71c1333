#!/usr/bin/env python3
"""GIF benchmark: encoding a 640 x 480, 300-frame animation against giflib,
and decoding large animated GIFs against giflib (in process) and ffmpeg
(whole processes: `movrel check` against `ffmpeg -f null`, both decoding
every frame), all in one run.
Then sizes: `movrel export` of the sample and of the 640 x 480 FLC against
`ffmpeg -i IN OUT.gif` and against `gifsicle -O3` run on our file (with
ffmpeg's decode of ours checked against the source, frame by frame); and
colour reduction: the PSNR of `movrel convert` of true-colour pictures
against ffmpeg's palettegen/paletteuse without dither, on the same pictures.

Two GIFs are decoded: the one our encoder writes and one that ffmpeg writes
from the benchmark FLC (changed rectangles with transparency, so every
frame is composed). Installs giflib's headers (libgif-dev), gifsicle and
/usr/bin/time (for the long benchmark's peaks), needed only here, when missing and builds the "bench" preset.
Usage: run_gif_bench.py [RUNS]"""
import math
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.join(ROOT, 'build', 'bench')


def ensure_packages():
    missing = [p for p in ('libgif-dev', 'gifsicle', 'time')
               if subprocess.run(['dpkg', '-s', p], capture_output=True).returncode != 0]
    if not missing:
        return
    sudo = [] if os.geteuid() == 0 else ['sudo']
    print('installing ' + ' '.join(missing), file=sys.stderr)
    subprocess.run(sudo + ['apt-get', 'install', '-y', '-qq', '--no-install-recommends', *missing], check=True)


def build():
    subprocess.run(['cmake', '--preset', 'bench'], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', '--preset', 'bench', '-j2'], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)


def timed(cmd):
    start = time.perf_counter()
    run = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if run.returncode != 0:
        sys.exit(f'failed: {" ".join(cmd)}: {run.stderr.decode()}')
    return time.perf_counter() - start


def against_ffmpeg(gif, runs):
    movrel = [os.path.join(BUILD, 'movrel'), 'check', gif]
    ffmpeg = ['ffmpeg', '-v', 'error', '-i', gif, '-f', 'null', '-']
    ours, theirs = [], []
    for _ in range(runs):  # interleaved, so both see the same machine load
        ours.append(timed(movrel))
        theirs.append(timed(ffmpeg))
    m, f = statistics.median(ours), statistics.median(theirs)
    print(f'decode {os.path.basename(gif)} as processes: movrel check {m * 1000:.0f} ms, '
          f'ffmpeg -f null {f * 1000:.0f} ms, ratio movrel/ffmpeg {m / f:.2f}')


def frame_md5s(cmd):
    """The MD5s of the frames that ffmpeg decodes, equal neighbours joined."""
    out = subprocess.run(['ffmpeg', '-v', 'error', *cmd, '-fps_mode', 'passthrough', '-f', 'framemd5', '-pix_fmt',
                          'rgb24', '-'], capture_output=True, text=True, check=True).stdout
    md5s = [line.split(',')[5].strip() for line in out.splitlines() if line and not line.startswith('#')]
    return [m for i, m in enumerate(md5s) if i == 0 or m != md5s[i - 1]]


def movrel_frame_md5s(path):
    """The MD5s of the frames that movrel decodes from `path`, equal neighbours
    joined, as an export writes them (ffmpeg adds a FLIC's loop frame at the end)."""
    md5s = [line.split(',')[3] for line in subprocess.run(
        [os.path.join(BUILD, 'movrel'), 'framemd5', path], capture_output=True, text=True, check=True).stdout.split()]
    return [m for i, m in enumerate(md5s) if i == 0 or m != md5s[i - 1]]


def sizes(flics, tmp):
    print('GIF sizes (bytes): movrel export, ffmpeg -i IN OUT.gif, gifsicle -O3 on movrel\'s file')
    for flc in flics:
        name = os.path.join(tmp, os.path.basename(flc))
        ours, ffmpeg, squeezed = name + '.gif', name + '.ffmpeg.gif', name + '.gifsicle.gif'
        took = timed([os.path.join(BUILD, 'movrel'), 'export', flc, ours, '--quiet'])
        subprocess.run(['ffmpeg', '-v', 'error', '-y', '-i', flc, ffmpeg], check=True)
        subprocess.run(['gifsicle', '-O3', ours, '-o', squeezed], check=True)
        a, b, c = (os.path.getsize(p) for p in (ours, ffmpeg, squeezed))
        exact = frame_md5s(['-i', ours]) == movrel_frame_md5s(flc)
        print(f'  {os.path.basename(flc)}: movrel {a} ({took * 1000:.0f} ms, frames {"exact" if exact else "DIFFER"}), '
              f'ffmpeg {b}, gifsicle -O3 {c}; movrel/ffmpeg {a / b:.3f}, movrel/gifsicle {a / c:.3f}')


def rgb(path):
    return subprocess.run(['ffmpeg', '-v', 'error', '-i', path, '-frames:v', '1', '-f', 'rawvideo', '-pix_fmt',
                           'rgb24', '-'], capture_output=True, check=True).stdout


def psnr(a, b):
    error = sum((x - y) * (x - y) for x, y in zip(a, b))
    return 99.0 if error == 0 else 10 * math.log10(255 * 255 * len(a) / error)


def quality(pictures, tmp):
    print('colour reduction, PSNR (dB): movrel convert, ffmpeg palettegen/paletteuse=dither=none')
    for picture in pictures:
        ours, theirs = os.path.join(tmp, 'q.gif'), os.path.join(tmp, 'q.ffmpeg.gif')
        took = timed([os.path.join(BUILD, 'movrel'), 'convert', picture, ours])
        subprocess.run(['ffmpeg', '-v', 'error', '-y', '-i', picture, '-vf',
                        'format=rgb24,split[a][b];[a]palettegen[p];[b][p]paletteuse=dither=none', theirs], check=True)
        want = rgb(picture)
        a, b = psnr(want, rgb(ours)), psnr(want, rgb(theirs))
        print(f'  {os.path.relpath(picture, CORPUS)}: movrel {a:.2f} ({took * 1000:.0f} ms), ffmpeg {b:.2f}, '
              f'difference {a - b:+.2f}')


CORPUS = os.path.join(os.path.dirname(ROOT), 'shared', 'corpus')
TRUE_COLOUR = ['bmp/pillow/hopper.bmp', 'bmp/pillow/hopper_emboss.bmp', 'bmp/serenity/top-down.bmp',
               'bmp/pillow/bmp/g/rgb24.bmp', 'tga/serenity/buggie-top-left-uncompressed.tga',
               'tga/zigimg/stopsignsmall.tga', 'tga/zigimg/matte-01.tga']


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    ensure_packages()
    build()
    bench = os.path.join(BUILD, 'tests', 'bench', 'gif_bench')
    with tempfile.TemporaryDirectory() as tmp:
        ours = os.path.join(tmp, 'movrel.gif')
        subprocess.run([bench, 'encode', ours, str(runs)], check=True)
        flc = os.path.join(tmp, 'big.flc')
        subprocess.run([os.path.join(BUILD, 'tests', 'bench', 'make_big_flic'), flc], check=True)
        theirs = os.path.join(tmp, 'ffmpeg.gif')
        subprocess.run(['ffmpeg', '-v', 'error', '-i', flc, theirs], check=True)
        for gif in (ours, theirs):
            subprocess.run([bench, 'decode', gif, str(runs)], check=True)
            against_ffmpeg(gif, runs)
        sizes([os.path.join(ROOT, 'samples', 'sample.flc'), flc], tmp)
        quality([os.path.join(CORPUS, p) for p in TRUE_COLOUR if os.path.exists(os.path.join(CORPUS, p))], tmp)


if __name__ == '__main__':
    main()
