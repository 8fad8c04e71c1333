#!/usr/bin/env python3
"""The bundled sample is what the generator makes, and decodes as ffmpeg decodes it."""
import argparse
import os
import shutil
import subprocess
import sys

from flic_peer import as_movrel_reads, ffmpeg_pal8


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--movrel', required=True)
    ap.add_argument('--make-sample', required=True)
    ap.add_argument('--sample', required=True)
    ap.add_argument('--work', required=True)
    opts = ap.parse_args()
    fresh = os.path.join(opts.work, 'sample-regenerated.flc')
    subprocess.run([opts.make_sample, fresh], check=True)
    if open(fresh, 'rb').read() != open(opts.sample, 'rb').read():
        print('FAIL samples/sample.flc differs from what make_sample writes')
        return 1
    ours = subprocess.run([opts.movrel, 'framemd5', opts.sample], capture_output=True, text=True, check=True).stdout.split()
    if len(ours) != 24 or any(line.split(',')[1] != '80' or line.split(',')[2] != '320x200' for line in ours):
        print('FAIL unexpected frames:', ours[:3])
        return 1
    if not shutil.which('ffmpeg'):
        print('ffmpeg missing: peer comparison skipped')
        return 0
    ff = subprocess.run(['ffmpeg', '-v', 'error', '-i', opts.sample, '-f', 'framemd5', '-pix_fmt', 'rgb24', '-'],
                        capture_output=True, text=True, check=True).stdout
    theirs = [line.split(',')[-1].strip() for line in ff.splitlines() if line and not line.startswith('#')]
    mine = [line.split(',')[3] for line in ours]
    if theirs[:len(mine)] != mine:
        bad = next(i for i, (a, b) in enumerate(zip(mine, theirs)) if a != b) if len(theirs) >= len(mine) else len(theirs)
        print(f'FAIL frame {bad} differs from ffmpeg ({len(theirs)} ffmpeg frames)')
        return 1
    # The sample's palette sets 72 entries: the pal8 bytes differ from ffmpeg's
    # in the unset ones only (see flic_peer.py).
    pal8 = [line.split(',')[3] for line in subprocess.run([opts.movrel, 'framemd5', '--pal8', opts.sample],
                                                          capture_output=True, text=True, check=True).stdout.split()]
    raw, size = ffmpeg_pal8(opts.sample, ['-f', 'rawvideo']), 320 * 200 + 1024
    theirs = [as_movrel_reads(raw[i * size:(i + 1) * size], 320 * 200, False) for i in range(len(pal8))]
    if pal8 != theirs:
        print(f'FAIL pal8 frame {next(i for i, (a, b) in enumerate(zip(pal8, theirs)) if a != b)} differs from ffmpeg')
        return 1
    print(f'{len(mine)} frames equal to ffmpeg (RGB and pal8)')
    return 0


if __name__ == '__main__':
    sys.exit(main())
