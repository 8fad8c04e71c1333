#!/usr/bin/env python3
"""The APNG export of a long animation against ffmpeg's, in one run.

Makes the 1500-frame 640 x 480 FLC of run_long_bench.py (small deltas, 33 ms
a frame) and times `movrel export F out.apng` against
`ffmpeg -i F -plays 0 out.apng`, both decoding the FLC and encoding every
frame: the CPU time (goal: at most ffmpeg's) and the size (goal: no larger
than ffmpeg's), with ffmpeg's decode of our file checked against the source
frame by frame and with its delays. CPU times are the children's own, the
median of RUNS interleaved runs. Prints each goal as met or not; exits 0 once
everything ran. Builds the "bench" preset.
Usage: run_apng_bench.py [RUNS]"""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run_gif_bench import BUILD, ROOT  # noqa: E402
from run_long_bench import MIB, goal, measured  # noqa: E402


def rgb_md5s(args):
    r = subprocess.run(['ffmpeg', '-nostdin', '-v', 'error', *args, '-fps_mode', 'passthrough', '-f', 'framemd5',
                        '-pix_fmt', 'rgb24', '-'], capture_output=True, text=True, check=True)
    return [line.split(',')[-1].strip() for line in r.stdout.splitlines() if line and not line.startswith('#')]


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    subprocess.run(['cmake', '--preset', 'bench'], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', '--preset', 'bench', '-j2', '--target', 'movrel', 'make_big_flic'], cwd=ROOT,
                   check=True, stdout=subprocess.DEVNULL)
    with tempfile.TemporaryDirectory() as tmp:
        flc = os.path.join(tmp, 'export640.flc')
        subprocess.run([os.path.join(BUILD, 'tests', 'bench', 'make_big_flic'), flc, '--frames', '1500', '--delay',
                        '33', '--small'], check=True)
        ours_file, theirs_file = os.path.join(tmp, 'ours.apng'), os.path.join(tmp, 'ffmpeg.apng')
        movrel = [os.path.join(BUILD, 'movrel'), 'export', flc, ours_file, '--quiet']
        ffmpeg = ['ffmpeg', '-nostdin', '-v', 'error', '-y', '-i', flc, '-plays', '0', '-f', 'apng', theirs_file]
        (ours, ours_wall, ours_peak, _, _), (theirs, theirs_wall, theirs_peak, _, _) = measured([movrel, ffmpeg], runs,
                                                                                               tmp)
        size, ffmpeg_size = os.path.getsize(ours_file), os.path.getsize(theirs_file)
        source = rgb_md5s(['-i', flc])[:1500]  # without the ring frame
        decoded = rgb_md5s(['-f', 'apng', '-i', ours_file])
        # Equal neighbours are joined in our file: compare the runs of distinct frames.
        distinct = [m for i, m in enumerate(source) if i == 0 or m != source[i - 1]]
        exact = decoded == distinct
        print(f'export 1500 frames 640x480 to APNG: movrel {ours:.2f} s CPU ({ours_wall:.2f} s), '
              f'{ours_peak / MIB:.0f} MiB, {size} bytes (frames {"exact" if exact else "DIFFER"}); '
              f'ffmpeg {theirs:.2f} s CPU ({theirs_wall:.2f} s), {theirs_peak / MIB:.0f} MiB, {ffmpeg_size} bytes')
        goal(f'APNG: CPU time at most ffmpeg\'s ({ours / theirs:.2f} x)', ours <= theirs)
        goal(f'APNG: no larger than ffmpeg\'s ({size / ffmpeg_size:.2f} x)', size <= ffmpeg_size)
        goal('APNG: ffmpeg decodes our file to the source frames', exact)
    return 0


if __name__ == '__main__':
    sys.exit(main())
