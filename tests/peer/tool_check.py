#!/usr/bin/env python3
"""The command-line tool's help, output and error reporting."""
import argparse
import os
import subprocess
import sys
import tempfile


def run(exe, *args):
    return subprocess.run([exe, *args], capture_output=True, text=True, timeout=60)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--movrel', required=True)
    ap.add_argument('--sample', required=True)
    opts = ap.parse_args()
    failures = []

    def check(cond, what):
        if not cond:
            failures.append(what)

    r = run(opts.movrel, '--help')
    check(r.returncode == 0 and 'info FILE' in r.stdout and 'framemd5' in r.stdout, 'movrel --help')
    for command in ('info', 'framemd5'):
        r = run(opts.movrel, command, '--help')
        check(r.returncode == 0 and r.stdout.startswith('usage: movrel ' + command), f'{command} --help')
        r = run(opts.movrel, command)
        check(r.returncode == 2 and 'usage' in r.stderr, f'{command} without a file')
    r = run(opts.movrel, 'frobnicate')
    check(r.returncode == 2 and 'unknown command' in r.stderr, 'unknown command')

    r = run(opts.movrel, 'info', opts.sample)
    lines = r.stdout.splitlines()
    check(r.returncode == 0, 'info on the sample')
    check(lines[:5] == ['format: Autodesk Flic Animation', 'width: 320', 'height: 200', 'depth: 8', 'frames: 24'],
          f'info header lines: {lines[:5]}')
    check(lines[5:] == [f'frame {i}: 80 ms' for i in range(24)], 'info delays')

    with tempfile.TemporaryDirectory() as tmp:
        missing = os.path.join(tmp, 'missing.flc')
        r = run(opts.movrel, 'framemd5', missing)
        check(r.returncode == 1 and 'File not found' in r.stderr and missing in r.stderr, 'missing file message')
        text = os.path.join(tmp, 'notes.flc')
        open(text, 'w').write('just some text, no animation\n')
        r = run(opts.movrel, 'info', text)
        check(r.returncode == 1 and 'Unsupported type' in r.stderr, 'unknown file message')
        spr = os.path.join(tmp, 'two.spr')
        with open(spr, 'wb') as f:
            f.write(b'SPR' + bytes([2, 0, 3, 0, 2, 0]))
            for delay in (70, 140):
                f.write(bytes([delay, 0]) + bytes(range(256)) * 3 + bytes(6))
        r = run(opts.movrel, 'info', spr)
        check(r.returncode == 0 and r.stdout.splitlines() ==
              ['format: Pro Motion Animation', 'width: 3', 'height: 2', 'depth: 8', 'frames: 2',
               'frame 0: 70 ms', 'frame 1: 140 ms'], f'info on an SPR file: {r.stdout}')
        r = run(opts.movrel, 'framemd5', '--pal8', spr)
        check(r.returncode == 0 and len(r.stdout.splitlines()) == 2, 'framemd5 on an SPR file')
        empty = os.path.join(tmp, 'empty.fli')
        open(empty, 'w').close()
        r = run(opts.movrel, 'info', empty)
        check(r.returncode == 1 and 'Invalid data' in r.stderr, 'empty file message')

    for f in failures:
        print('FAIL', f)
    print(f'{len(failures)} failures')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
