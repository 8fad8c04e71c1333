#!/usr/bin/env python3
"""The AVI files that the Windows test host wrote through Video for Windows
(the viewer's export command and the export driver), as ffprobe and ffmpeg
see them: codec, size, rate, frame count and every frame the sample's. Each
file is removed once checked, so that no later run checks a stale one."""
import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'peer'))
from avi_peer import check_avi  # noqa: E402
from checks import Checks  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--movrel', required=True, help='the native tool, for the source frames')
    ap.add_argument('--sample', required=True)
    ap.add_argument('--dir', required=True)
    ap.add_argument('names', nargs='+')
    opts = ap.parse_args()
    check = Checks()
    for name in opts.names:
        path = os.path.join(opts.dir, name)
        before = len(check.failures)
        if not check(os.path.exists(path), f'{name}: not written'):
            continue
        if 'msrle' in name:
            # wine's built-in MS-RLE encoder matches colours by intensity, so
            # even at full quality it changes a few pixels (Windows' own is
            # lossless); a palette change missed would change thousands.
            check_avi(check, opts.movrel, opts.sample, path, name, 'msrle', lossy=0.005)
        else:
            check_avi(check, opts.movrel, opts.sample, path, name)
        os.remove(path)
        if len(check.failures) == before:
            print(f'{name}: ffprobe and ffmpeg read the source frames')
    return check.report()


if __name__ == '__main__':
    sys.exit(main())
