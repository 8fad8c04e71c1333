#!/usr/bin/env python3
"""Load time check: every file of the corpus, every fuzz seed and the hostile
files of hostile_files.py loaded by `movrel info` and made into a thumbnail
by `movrel thumbnail` of a release build, one process each.

Fails when one load takes more than a second of CPU time (user and system
time of the child, so a busy machine does not make it fail; a load over the
limit is run once more and the lower time counts) or, on a machine so slow
that merely filling the load budget takes most of a second, more than 1.5
times what that takes, peaks above the
load budget (1 GiB of images) with room for the program itself, or ends other
than with a picture or a clean error (exit code 0 or 1). The fuzz seeds and
the hostile files, small files stating huge pictures, must stay smaller:
`info` within 64 MiB (it decodes the first frame only where the structure
tells the rest) and `thumbnail` within 256 MiB (a canvas costs what is drawn
on it). Reports the slowest and the largest loads.
Usage: load_time.py MOVREL [DIR ...]   (default directories: those fuzz.sh
seeds from: samples, tests/fuzz/seeds and the corpus beside the checkout)"""
import os
import signal
import struct
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'peer'))
from checks import Checks  # noqa: E402
import hostile_files  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CPU_LIMIT = 1.0                          # seconds
MEMORY_LIMIT = (1 << 30) + (64 << 20)    # the load budget plus the program
SMALL_FILE_LIMITS = {'info': 64 << 20, 'thumbnail': 256 << 20}  # seeds and hostile files
HANG = 60                                # wall seconds after which a load counts as hung


def files(dirs):
    for top in dirs:
        for root, _, names in os.walk(top):
            for name in sorted(names):
                yield os.path.join(root, name)


def run(movrel, path, command='info'):
    """(CPU seconds, peak bytes, exit code) of one `movrel info` (or
    thumbnail), from the child's own usage. The peak is what /usr/bin/time
    reports of the command, which it starts itself: a child of this
    interpreter would count the interpreter's own memory in its peak. A load
    still running after HANG seconds is killed."""
    args = [movrel, command, path]
    if command == 'thumbnail':
        args.append(os.path.join(tempfile.gettempdir(), f'movrel-load-time-{os.getpid()}.bmp'))
    with tempfile.NamedTemporaryFile(suffix='.peak') as peak_file:
        proc = subprocess.Popen(['/usr/bin/time', '-o', peak_file.name, '-f', '%M', *args],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        timer = threading.Timer(HANG, kill_group, (proc.pid,))
        timer.start()
        _, status, usage = os.wait4(proc.pid, 0)
        timer.cancel()
        proc.returncode = os.waitstatus_to_exitcode(status)  # reaped here, not by Popen
        words = open(peak_file.name).read().split()
    peak = int(words[-1]) * 1024 if words and words[-1].isdigit() else 0
    return usage.ru_utime + usage.ru_stime, peak, proc.returncode


def kill_group(pid):
    """Kills /usr/bin/time and the load it runs."""
    try:
        os.killpg(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def budget_fill_time(movrel):
    """CPU seconds of a load that does nothing but fill the load budget with
    pictures: a FLIC of 8000x8000 frames, more than the budget holds, the
    first filled by a run on every row and the others the same picture."""
    frames, width, height = 20, 8000, 8000
    row = b'\0' + bytes([127, 5]) * (width // 127) + bytes([width % 127, 5])
    byte_run = struct.pack("<IH", 6 + len(row) * height, 15) + row * height
    first = struct.pack("<IHH8x", 16 + len(byte_run), 0xF1FA, 1) + byte_run
    frame = struct.pack('<IHH8x', 16, 0xF1FA, 0)
    body = first + frame * (frames - 1)
    header = struct.pack('<IHHHHHHI', 128 + len(body), 0xAF12, frames, width, height, 8, 0, 10).ljust(128, b'\0')
    with tempfile.NamedTemporaryFile(suffix='.flc') as f:
        f.write(header + body)
        f.flush()
        return min(run(movrel, f.name)[0] for _ in range(3))


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    movrel = sys.argv[1]
    fill = budget_fill_time(movrel)
    limit = max(CPU_LIMIT, 1.5 * fill)
    print(f'filling the load budget takes {fill:.2f} s; the limit is {limit:.2f} s')
    dirs = sys.argv[2:] or [os.path.join(ROOT, 'samples'), os.path.join(ROOT, 'tests', 'fuzz', 'seeds'),
                            os.path.join(ROOT, '..', 'shared', 'corpus')]
    results = []
    check = Checks()
    seeds = os.path.join(ROOT, 'tests', 'fuzz', 'seeds')
    with tempfile.TemporaryDirectory() as hostile:
        crafted = hostile_files.write_all(hostile)
        small = set(crafted) | set(files([seeds]))
        paths = list(files(d for d in dirs if os.path.isdir(d))) + crafted
        for path, command in ((p, c) for p in paths for c in ('info', 'thumbnail')):
            cpu, peak, code = run(movrel, path, command)
            if cpu > limit:
                cpu = min(cpu, run(movrel, path, command)[0])
            name = f'{command} {os.path.relpath(path, ROOT) if path.startswith(ROOT) else os.path.basename(path)}'
            results.append((cpu, peak, name))
            check(code in (0, 1), f'{name}: exit code {code}')
            check(cpu <= limit, f'{name}: {cpu:.2f} s of CPU time')
            limit_bytes = SMALL_FILE_LIMITS[command] if path in small else MEMORY_LIMIT
            check(peak <= limit_bytes, f'{name}: peak {peak >> 20} MiB')
    check(results, 'no file was loaded')
    print(f'{len(results)} loads of {len(results) // 2} files')
    print('slowest:')
    for cpu, peak, name in sorted(results, reverse=True)[:5]:
        print(f'  {cpu:5.2f} s  {peak >> 20:5d} MiB  {name}')
    print('largest:')
    for cpu, peak, name in sorted(results, key=lambda r: r[1], reverse=True)[:3]:
        print(f'  {cpu:5.2f} s  {peak >> 20:5d} MiB  {name}')
    return check.report()


if __name__ == '__main__':
    sys.exit(main())
