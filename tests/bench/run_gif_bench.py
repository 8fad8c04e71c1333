#!/usr/bin/env python3
"""GIF benchmark: encoding a 640 x 480, 300-frame animation against giflib,
and decoding large animated GIFs against giflib (in process) and ffmpeg
(whole processes: `movrel info` against `ffmpeg -f null`), all in one run.

Two GIFs are decoded: the one our encoder writes (full frames, a local
colour table each) and one that ffmpeg writes from the benchmark FLC
(changed rectangles with transparency, so every frame is composed).
Installs giflib's headers (libgif-dev, needed only here) when missing and
builds the "bench" preset. Usage: run_gif_bench.py [RUNS]"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.join(ROOT, 'build', 'bench')


def ensure_giflib():
    if subprocess.run(['dpkg', '-s', 'libgif-dev'], capture_output=True).returncode == 0:
        return
    sudo = [] if os.geteuid() == 0 else ['sudo']
    print('installing libgif-dev', file=sys.stderr)
    subprocess.run(sudo + ['apt-get', 'install', '-y', '-qq', '--no-install-recommends', 'libgif-dev'], check=True)


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
    movrel = [os.path.join(BUILD, 'movrel'), 'info', gif]
    ffmpeg = ['ffmpeg', '-v', 'error', '-i', gif, '-f', 'null', '-']
    ours, theirs = [], []
    for _ in range(runs):  # interleaved, so both see the same machine load
        ours.append(timed(movrel))
        theirs.append(timed(ffmpeg))
    m, f = statistics.median(ours), statistics.median(theirs)
    print(f'decode {os.path.basename(gif)} as processes: movrel info {m * 1000:.0f} ms, '
          f'ffmpeg -f null {f * 1000:.0f} ms, ratio movrel/ffmpeg {m / f:.2f}')


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    ensure_giflib()
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


if __name__ == '__main__':
    main()
