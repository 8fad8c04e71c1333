#!/usr/bin/env python3
"""Long animations against ffmpeg, all in one run, each on the same file.

Makes three FLCs of small deltas with make_big_flic (a cluster of small
blocks gliding over a banded background, 33 ms a frame): 640 x 480 with
6000 frames (3 min 18 s at 30 fps), 320 x 200 with 30 000 frames, and
640 x 480 with 1500 frames. Then:
  (a) for each, `movrel check` against `ffmpeg -i F -f null -`, both
      decoding every frame: the frames decoded (ours must be every frame),
      the CPU time (goal: at most ffmpeg's) and the peak memory (goal: at
      most half ffmpeg's); and `movrel framemd5 --pal8` against
      `ffmpeg -i F -pix_fmt pal8 -f framemd5 -`, both hashing the same bytes
      of every frame: the CPU time (goal: at most 1.2 times ffmpeg's) and the
      digests (goal: equal);
  (b) `movrel export` of the 1500-frame file to GIF against
      `ffmpeg -i F out.gif`: the CPU time (goal: at most ffmpeg's), the peak
      memory (goal: at most 96 MiB), the size (goals: no larger than ffmpeg's,
      within 1.2 times `gifsicle -O3` run on ours), with ffmpeg's decode of
      our file checked against the source frame by frame; and the encoder
      alone, as the export's CPU time less that of `movrel check` and as
      gif_bench's two passes over frames handed to it one at a time.
CPU times and peaks are the children's own (os.wait4), the median of RUNS
interleaved runs, so that a busy machine does not decide. Prints each goal
as met or not; always exits 0 once everything ran. Builds the "bench" preset
and, like run_gif_bench.py, installs giflib's headers and gifsicle when missing.
Usage: run_long_bench.py [RUNS]"""
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run_gif_bench import BUILD, ROOT, ensure_packages, frame_md5s, movrel_frame_md5s  # noqa: E402

MIB = 1 << 20
FILES = [  # name, make_big_flic options, frames
    ('long640.flc', ['--frames', '6000', '--delay', '33', '--small'], 6000),
    ('long320.flc', ['--frames', '30000', '--size', '320x200', '--delay', '33', '--small'], 30000),
    ('export640.flc', ['--frames', '1500', '--delay', '33', '--small'], 1500),
]


def build():
    subprocess.run(['cmake', '--preset', 'bench'], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    targets = ['movrel', 'make_big_flic']
    if 'GIF_LIBRARY:FILEPATH=/' in open(os.path.join(BUILD, 'CMakeCache.txt')).read():
        targets.append('gif_bench')
    subprocess.run(['cmake', '--build', '--preset', 'bench', '-j2', '--target', *targets], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)


def run(cmd, tmp):
    """(CPU seconds, wall seconds, peak bytes, stdout, stderr) of one process;
    its output goes through files, so that a long one never fills a pipe.
    The peak is what /usr/bin/time reports of the command, which it starts
    itself: a child of this interpreter would count the interpreter's own
    memory in its peak (Linux keeps the largest of the memory before and
    after the exec)."""
    out_path, err_path, peak_path = (os.path.join(tmp, n) for n in ('out.txt', 'err.txt', 'peak.txt'))
    with open(out_path, 'wb') as out, open(err_path, 'wb') as err:
        start = time.perf_counter()
        proc = subprocess.Popen(['/usr/bin/time', '-o', peak_path, '-f', '%M', *cmd], stdin=subprocess.DEVNULL,
                                stdout=out, stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)  # reaped here, not by Popen
    stdout, stderr = open(out_path, errors='replace').read(), open(err_path, errors='replace').read()
    if proc.returncode != 0:
        sys.exit(f'failed: {" ".join(cmd)}: {stderr}')
    peak = int(open(peak_path).read().split()[-1]) * 1024
    return usage.ru_utime + usage.ru_stime, wall, peak, stdout, stderr


def measured(commands, runs, tmp):
    """For each command: median CPU and wall seconds, the highest peak, and
    the output of its last run; the commands interleaved run by run."""
    results = [[] for _ in commands]
    for _ in range(runs):
        for i, cmd in enumerate(commands):
            results[i].append(run(cmd, tmp))
    return [(statistics.median(r[0] for r in rs), statistics.median(r[1] for r in rs), max(r[2] for r in rs),
             rs[-1][3], rs[-1][4]) for rs in results]


def goal(text, met):
    print(f'    goal {text}: {"met" if met else "NOT met"}')
    return met


def digests(text, ffmpeg):
    """The per-frame MD5s of a framemd5 listing: ffmpeg's (comma-separated,
    comments first) or ours (index,delay,size,md5)."""
    lines = [line for line in text.splitlines() if line and not line.startswith('#')]
    return [line.split(',')[-1].strip() for line in lines]


def decoding(path, frames, runs, tmp):
    """Decoding every frame on both sides: `movrel check` against ffmpeg's
    `-f null`, and hashing every frame's pal8 bytes (`movrel framemd5
    --pal8` against ffmpeg's framemd5 of pal8 frames)."""
    movrel = os.path.join(BUILD, 'movrel')
    commands = [[movrel, 'check', path],
                ['ffmpeg', '-nostdin', '-v', 'error', '-stats', '-i', path, '-f', 'null', '-'],
                [movrel, 'framemd5', '--pal8', path],
                ['ffmpeg', '-nostdin', '-v', 'error', '-i', path, '-pix_fmt', 'pal8', '-f', 'framemd5', '-']]
    check, null, md5, ffmd5 = measured(commands, runs, tmp)
    decoded = int(re.search(r': (\d+) frames, .*, ok$', check[3].strip()).group(1)) if check[3].strip().endswith(
        'ok') else -1
    counts = re.findall(r'frame=\s*(\d+)', null[4])
    theirs_frames = int(counts[-1]) if counts else -1
    ours_md5, theirs_md5 = digests(md5[3], False), digests(ffmd5[3], True)
    # ffmpeg also gives the ring frame (the first again) after a FLIC's last frame.
    equal = len(ours_md5) == frames and ours_md5 == theirs_md5[:frames]
    name = os.path.basename(path)
    print(f'  {name} ({frames} frames, {os.path.getsize(path)} bytes): '
          f'movrel check {check[0]:.2f} s CPU ({check[1]:.2f} s), {check[2] / MIB:.0f} MiB, {decoded} frames; '
          f'ffmpeg -f null {null[0]:.2f} s CPU ({null[1]:.2f} s), {null[2] / MIB:.0f} MiB, {theirs_frames} frames')
    print(f'    movrel framemd5 --pal8 {md5[0]:.2f} s CPU ({md5[1]:.2f} s), {md5[2] / MIB:.0f} MiB; '
          f'ffmpeg -f framemd5 -pix_fmt pal8 {ffmd5[0]:.2f} s CPU ({ffmd5[1]:.2f} s), {ffmd5[2] / MIB:.0f} MiB; '
          f'digests {"equal" if equal else "DIFFER"}')
    goal('every frame decoded', decoded == frames)
    goal(f'check: CPU time at most ffmpeg -f null\'s ({check[0] / null[0]:.2f} x)', check[0] <= null[0])
    goal(f'check: peak memory at most half ffmpeg\'s ({check[2] / null[2]:.2f} x)', check[2] <= null[2] / 2)
    goal(f'framemd5 --pal8: CPU time at most 1.2 x ffmpeg\'s framemd5 ({md5[0] / ffmd5[0]:.2f} x)',
         md5[0] <= 1.2 * ffmd5[0])
    goal('framemd5 --pal8: the digests equal ffmpeg\'s', equal)
    return check[0]


def exporting(path, decode_cpu, runs, tmp):
    ours_gif, theirs_gif, squeezed = (os.path.join(tmp, n) for n in ('ours.gif', 'ffmpeg.gif', 'gifsicle.gif'))
    movrel = [os.path.join(BUILD, 'movrel'), 'export', path, ours_gif, '--quiet']
    ffmpeg = ['ffmpeg', '-nostdin', '-v', 'error', '-y', '-i', path, theirs_gif]
    (ours, ours_wall, ours_peak, _, _), (theirs, theirs_wall, theirs_peak, _, _) = measured([movrel, ffmpeg],
                                                                                           runs, tmp)
    subprocess.run(['gifsicle', '-O3', ours_gif, '-o', squeezed], check=True)
    size, ffmpeg_size, gifsicle_size = (os.path.getsize(p) for p in (ours_gif, theirs_gif, squeezed))
    exact = frame_md5s(['-i', ours_gif]) == movrel_frame_md5s(path)
    print(f'  export {os.path.basename(path)} to GIF: movrel {ours:.2f} s CPU ({ours_wall:.2f} s), '
          f'{ours_peak / MIB:.0f} MiB, {size} bytes (frames {"exact" if exact else "DIFFER"}); '
          f'ffmpeg {theirs:.2f} s CPU ({theirs_wall:.2f} s), {theirs_peak / MIB:.0f} MiB, {ffmpeg_size} bytes; '
          f'gifsicle -O3 on ours {gifsicle_size} bytes')
    print(f'    the encoder alone (export less check): {max(ours - decode_cpu, 0):.2f} s CPU')
    bench = os.path.join(BUILD, 'tests', 'bench', 'gif_bench')
    if os.path.exists(bench):
        print('    ' + subprocess.run([bench, 'frames', path, str(runs)], capture_output=True, text=True,
                                      check=True).stdout.strip())
    goal('frames exact', exact)
    goal(f'CPU time at most ffmpeg\'s ({ours / theirs:.2f} x)', ours <= theirs)
    goal(f'peak memory at most 96 MiB ({ours_peak / MIB:.0f} MiB)', ours_peak <= 96 * MIB)
    goal(f'size at most ffmpeg\'s ({size / ffmpeg_size:.3f} x)', size <= ffmpeg_size)
    goal(f'size within 1.2 x gifsicle -O3 of ours ({size / gifsicle_size:.3f} x)', size <= 1.2 * gifsicle_size)


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    ensure_packages()
    build()
    with tempfile.TemporaryDirectory() as tmp:
        paths = []
        for name, options, _ in FILES:
            paths.append(os.path.join(tmp, name))
            subprocess.run([os.path.join(BUILD, 'tests', 'bench', 'make_big_flic'), paths[-1], *options], check=True)
        print(f'decoding, median of {runs} runs:')
        decode_cpu = [decoding(path, frames, runs, tmp) for path, (_, _, frames) in zip(paths, FILES)]
        print(f'exporting, median of {runs} runs:')
        exporting(paths[2], decode_cpu[2], runs, tmp)


if __name__ == '__main__':
    main()
