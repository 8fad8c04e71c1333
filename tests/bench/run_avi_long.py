#!/usr/bin/env python3
"""AVI of a long animation against ffmpeg, in one run, on the same file.

Makes the 6000-frame 640 x 480 FLC of make_big_flic (33 ms a frame) and
writes it to uncompressed AVI with `movrel export` and with
`ffmpeg -i F -c:v rawvideo -pix_fmt bgr24 out.avi`, both writing every frame
as 24-bit rows, 5.5 GB, past 1 GiB (OpenDML). Checks ours: `ffprobe
-count_frames` counts 6000 at 1000/33 frames per second, and ffmpeg's decode
of it (framemd5, rgb24) equals `movrel framemd5` of the source. Reports the wall time and peak memory
of both writers (goals: time at most ffmpeg's, peak at most 96 MiB, the bound
of the other exports). Needs about 12 GB free; the files are removed at the
end. Builds the "bench" preset. Usage: run_avi_long.py"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..'))
BUILD = os.path.join(ROOT, 'build', 'bench')
MIB = 1 << 20


def timed(cmd):
    """(wall seconds, peak bytes) of one child, which must succeed."""
    start = time.perf_counter()
    child = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    if status != 0:
        sys.exit(f'{cmd[0]} failed: {child.stderr.read().decode()}')
    return time.perf_counter() - start, usage.ru_maxrss * 1024


def digests(cmd):
    out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout
    return [line.split(',')[-1].strip() for line in out.splitlines() if line and not line.startswith('#')]


def main():
    subprocess.run(['cmake', '--preset', 'bench'], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', '--preset', 'bench', '-j2', '--target', 'movrel', 'make_big_flic'], cwd=ROOT,
                   check=True, stdout=subprocess.DEVNULL)
    movrel = os.path.join(BUILD, 'movrel')
    with tempfile.TemporaryDirectory(dir=os.environ.get('AVI_BENCH_DIR')) as tmp:
        if shutil.disk_usage(tmp).free < 12 << 30:
            sys.exit('needs 12 GB free beside ' + tmp)
        flc, ours, theirs = (os.path.join(tmp, n) for n in ('long.flc', 'ours.avi', 'ffmpeg.avi'))
        subprocess.run([os.path.join(BUILD, 'tests', 'bench', 'make_big_flic'), flc, '--frames', '6000', '--delay', '33',
                        '--small'], check=True, stdout=subprocess.DEVNULL)
        our_time, our_peak = timed([movrel, 'export', flc, ours, '--quiet'])
        their_time, their_peak = timed(['ffmpeg', '-nostdin', '-v', 'error', '-i', flc, '-c:v', 'rawvideo', '-pix_fmt', 'bgr24', theirs])
        their_size = os.path.getsize(theirs)
        probe = subprocess.run(['ffprobe', '-v', 'error', '-count_frames', '-show_entries',
                                'stream=r_frame_rate,nb_read_frames', '-of', 'csv=p=0', ours],
                               capture_output=True, text=True).stdout.strip()
        os.remove(theirs)
        same = digests([movrel, 'framemd5', flc]) == digests(
            ['ffmpeg', '-nostdin', '-v', 'error', '-i', ours, '-pix_fmt', 'rgb24', '-f', 'framemd5', '-'])
        print(f'ours:   {os.path.getsize(ours) / MIB:.0f} MiB in {our_time:.1f} s, peak {our_peak / MIB:.1f} MiB')
        print(f'ffmpeg: {their_size / MIB:.0f} MiB in {their_time:.1f} s, peak {their_peak / MIB:.1f} MiB')
        print(f'time ratio {our_time / their_time:.2f} (goal <= 1): {"met" if our_time <= their_time else "NOT met"}')
        print(f'peak {our_peak / MIB:.1f} MiB (goal <= 96): {"met" if our_peak <= 96 * MIB else "NOT met"}')
        print(f'ffprobe: {probe} (goal 1000/33,6000): {"met" if probe == "1000/33,6000" else "NOT met"}')
        print(f'frames decoded by ffmpeg equal the source: {"met" if same else "NOT met"}')
    return 0


if __name__ == '__main__':
    sys.exit(main())
