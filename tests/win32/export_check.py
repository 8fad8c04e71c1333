#!/usr/bin/env python3
"""Checks the AVI files that the plug-in's export command wrote through Video
for Windows in the test host (left in MOVREL_EXPORT_DIR by scripts/wine-test.sh)
with ffprobe and ffmpeg: codec, size, rate, frame count and every frame."""
import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'peer'))
from avi_peer import check_avi  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--movrel', required=True, help='the native tool, for the source frames')
    ap.add_argument('--sample', required=True)
    ap.add_argument('--label', default='')
    ap.add_argument('avi')
    opts = ap.parse_args()
    failures = []

    def check(cond, what):
        if not cond:
            failures.append(what)
            print('FAIL', what)

    what = f'{opts.label} viewer export {os.path.basename(opts.avi)}'.strip()
    if os.path.exists(opts.avi):
        check_avi(check, opts.movrel, opts.sample, opts.avi, what)
    else:
        check(False, f'{what}: not written')
    if not failures:
        print(f'{what}: ffprobe and ffmpeg read the source frames')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
