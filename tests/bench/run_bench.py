#!/usr/bin/env python3
"""Decode benchmark: `movrel check` against `ffmpeg -f null`, both decoding
every frame of a large generated FLC, timed in the same run.

Reports the median wall time of each, their ratio, and movrel's peak memory
against frames x frame bytes (what keeping the decoded animation would take).
Usage: run_bench.py BUILD_DIR [RUNS]   (BUILD_DIR of the "bench" preset)"""
import os
import statistics
import subprocess
import sys
import tempfile
import time


def timed(cmd):
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f'failed: {" ".join(cmd)}: {proc.stderr.read().decode()}')
    return elapsed, usage.ru_maxrss * 1024


def main():
    build = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    with tempfile.TemporaryDirectory() as tmp:
        flc = os.path.join(tmp, 'big.flc')
        subprocess.run([os.path.join(build, 'tests/bench/make_big_flic'), flc], check=True)
        movrel = [os.path.join(build, 'movrel'), 'check', flc]
        ffmpeg = ['ffmpeg', '-v', 'error', '-i', flc, '-f', 'null', '-']
        ours, theirs, peak = [], [], 0
        for _ in range(runs):  # interleaved, so both see the same machine load
            t, rss = timed(movrel)
            ours.append(t)
            peak = max(peak, rss)
            theirs.append(timed(ffmpeg)[0])
    frames, frame_bytes = 300, 640 * 480
    m, f = statistics.median(ours), statistics.median(theirs)
    print(f'movrel check: {m * 1000:.0f} ms   ffmpeg -f null: {f * 1000:.0f} ms   ratio movrel/ffmpeg: {m / f:.2f}')
    print(f'movrel peak memory: {peak / 2**20:.0f} MiB = {peak / (frames * frame_bytes):.2f} x frames x frame bytes '
          f'({frames * frame_bytes / 2**20:.0f} MiB)')


if __name__ == '__main__':
    main()
