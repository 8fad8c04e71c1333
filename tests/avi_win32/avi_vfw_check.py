#!/usr/bin/env python3
"""Runs avi_vfw_test.exe (each given build) under wine, then checks the AVI it
exported through Video for Windows with ffprobe and ffmpeg. Expects a running
X display and wineserver (scripts/wine-avi.sh)."""
import argparse
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'peer'))
from avi_peer import check_avi  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--movrel', required=True, help='the native tool, for the source frames')
    ap.add_argument('--sample', required=True)
    ap.add_argument('exes', nargs='+')
    opts = ap.parse_args()
    failures = []

    def check(cond, what):
        if not cond:
            failures.append(what)
            print('FAIL', what)

    for exe in opts.exes:
        name = os.path.basename(os.path.dirname(os.path.dirname(os.path.dirname(exe)))) or exe
        with tempfile.TemporaryDirectory() as tmp:
            windows_dir = 'Z:' + tmp.replace('/', '\\')
            # Output goes to a file, not a pipe: wine's helper processes may
            # inherit the pipe and keep it open long after the test ended.
            with tempfile.TemporaryFile(mode='w+') as log:
                try:
                    code = subprocess.run(['wine', exe, opts.sample, windows_dir], stdout=log, stderr=subprocess.STDOUT,
                                          stdin=subprocess.DEVNULL, timeout=150).returncode
                except subprocess.TimeoutExpired:
                    code = 'timeout'
                log.seek(0)
                sys.stdout.write(''.join(f'{name}: {line}\n' for line in log.read().replace('\r', '').splitlines()))
            check(code == 0, f'{name}: avi_vfw_test.exe exit code {code}')
            avi = os.path.join(tmp, 'export.avi')
            if os.path.exists(avi):
                check_avi(check, opts.movrel, opts.sample, avi, f'{name} export.avi')
            else:
                check(False, f'{name}: no export.avi')
    print(f'{len(failures)} failure(s)')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
