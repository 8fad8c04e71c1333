#!/usr/bin/env python3
"""The command-line tool's help, output and error reporting."""
import argparse
import hashlib
import os
import re
import resource
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

from checks import Checks


def run(exe, *args):
    return subprocess.run([exe, *args], capture_output=True, text=True, timeout=60)


def magick_md5(path):
    """MD5 of the picture as ImageMagick decodes it, packed RGB24; None when it cannot."""
    r = subprocess.run(['convert', path + '[0]', '-depth', '8', 'rgb:-'], capture_output=True, timeout=60)
    return hashlib.md5(r.stdout).hexdigest() if r.returncode == 0 and r.stdout else None


def check_writing(opts, check):
    frames = [line.split(',') for line in run(opts.movrel, 'framemd5', opts.sample).stdout.split()]
    have_magick = shutil.which('convert') is not None
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, 'still.bmp')
        r = run(opts.movrel, 'convert', opts.sample, out)
        check(r.returncode == 0 and r.stdout == '' and r.stderr == '', f'convert: {r.stderr}')
        if have_magick:
            check(magick_md5(out) == frames[0][3], 'ImageMagick reads the converted frame 0 differently')
        r = run(opts.movrel, 'convert', opts.sample, out, '--frame', '5')
        check(r.returncode == 0 and run(opts.movrel, 'framemd5', out).stdout.split(',')[3].strip() == frames[5][3],
              'convert --frame 5 replaces the file with frame 5')
        r = run(opts.movrel, 'convert', opts.sample, os.path.join(tmp, 'other.pic'), '--format', 'dib')
        check(r.returncode == 0 and open(os.path.join(tmp, 'other.pic'), 'rb').read(2) == b'BM', 'convert --format dib')

        r = run(opts.movrel, 'convert', opts.sample, os.path.join(tmp, 'still.xyz'))
        check(r.returncode == 1 and 'formats that can be written: BMP (Windows or OS/2 Bitmap)' in r.stderr,
              f'convert to an unknown extension: {r.stderr}')
        r = run(opts.movrel, 'convert', opts.sample, os.path.join(tmp, 'noext'))
        check(r.returncode == 1 and '--format' in r.stderr and 'BMP' in r.stderr, 'convert without an extension')
        r = run(opts.movrel, 'convert', opts.sample, os.path.join(tmp, 'x.flc'))
        check(r.returncode == 1 and "formats that can be written" in r.stderr, 'convert to a read-only format')
        r = run(opts.movrel, 'convert', opts.sample, out, '--frame', '24')
        check(r.returncode == 1 and '24 frame(s)' in r.stderr, f'convert --frame past the end: {r.stderr}')
        r = run(opts.movrel, 'convert', opts.sample, out, '--frame', 'x')
        check(r.returncode == 2, 'convert --frame x is a usage error')
        missing = os.path.join(tmp, 'no', 'such', 'dir.bmp')
        r = run(opts.movrel, 'convert', opts.sample, missing)
        check(r.returncode == 1 and 'Write error' in r.stderr and missing in r.stderr, f'convert into a missing dir: {r.stderr}')

        base = os.path.join(tmp, 'seq', 'Frame')
        os.mkdir(os.path.dirname(base))
        r = run(opts.movrel, 'frames', opts.sample, base, '--quiet')
        names = sorted(os.listdir(os.path.dirname(base)))
        check(r.returncode == 0 and r.stderr == '', f'frames: {r.stderr}')
        check(names == [f'Frame{i:03d}.BMP' for i in range(24)], f'frames names: {names[:3]}...')
        for i in (0, 23):
            path = base + f'{i:03d}.BMP'
            ours = run(opts.movrel, 'framemd5', path).stdout.split(',')
            check(len(ours) > 3 and ours[3].strip() == frames[i][3], f'frame file {i} holds frame {i}')
            if have_magick:
                check(magick_md5(path) == frames[i][3], f'ImageMagick reads frame file {i} differently')
        r = run(opts.movrel, 'frames', opts.sample, os.path.join(tmp, 'shot.bmp'), '--format', 'BMP')
        check(r.returncode == 0 and os.path.exists(os.path.join(tmp, 'shot.bmp000.BMP')), 'frames keeps an extension in the base')
        r = run(opts.movrel, 'frames', opts.sample, os.path.join(tmp, 'gone', 'F'))
        check(r.returncode == 1 and r.stderr.count('Write error') == 1 and 'F000.BMP' in r.stderr,
              f'frames stops at the first failure: {r.stderr}')
        r = run(opts.movrel, 'frames', opts.sample, base, '--format', 'flc')
        check(r.returncode == 1 and 'formats that can be written' in r.stderr, 'frames --format of a read-only format')

        # --rle: run-length TGA (image type 9 for a colour-mapped frame), for TGA output only.
        tga = os.path.join(tmp, 'still.tga')
        r = run(opts.movrel, 'convert', opts.sample, tga, '--rle')
        check(r.returncode == 0 and open(tga, 'rb').read(3)[2] == 9, f'convert --rle: {r.stderr}')
        r = run(opts.movrel, 'convert', opts.sample, tga)
        check(r.returncode == 0 and open(tga, 'rb').read(3)[2] == 1, 'convert to TGA without --rle')
        r = run(opts.movrel, 'convert', opts.sample, out, '--rle')
        check(r.returncode == 1 and '--rle' in r.stderr and 'TGA' in r.stderr, f'convert --rle to BMP: {r.stderr}')
        r = run(opts.movrel, 'frames', opts.sample, os.path.join(tmp, 'T'), '--format', 'tga', '--rle', '--quiet')
        check(r.returncode == 0 and open(os.path.join(tmp, 'T023.TGA'), 'rb').read(3)[2] == 9, f'frames --rle: {r.stderr}')

        # SPR holds animations: a convert writes the given frame and all after it.
        spr = os.path.join(tmp, 'tail.spr')
        r = run(opts.movrel, 'convert', opts.sample, spr, '--frame', '20')
        info = run(opts.movrel, 'info', spr).stdout.splitlines()
        check(r.returncode == 0 and 'frames: 4' in info, f'convert --frame 20 to SPR: {r.stderr} {info[:5]}')
        # And so does each numbered file: the frames from its own to the last.
        r = run(opts.movrel, 'frames', opts.sample, os.path.join(tmp, 'P'), '--format', 'spr', '--quiet')
        counts = [line for name in ('P000.SPR', 'P020.SPR', 'P023.SPR')
                  for line in run(opts.movrel, 'info', os.path.join(tmp, name)).stdout.splitlines() if line.startswith('frames:')]
        check(r.returncode == 0 and counts == ['frames: 24', 'frames: 4', 'frames: 1'], f'frames --format spr: {counts}')

        check_thumbnail(opts, check, tmp, frames[0][3])

        anim = os.path.join(tmp, 'anim.gif')
        r = run(opts.movrel, 'export', opts.sample, anim)
        check(r.returncode == 0 and r.stdout == '' and r.stderr == '', f'export: {r.stderr}')
        exported = [line.split(',') for line in run(opts.movrel, 'framemd5', anim).stdout.split()]
        check(exported == frames, 'export keeps every frame and delay of the sample')
        r = run(opts.movrel, 'export', opts.sample, os.path.join(tmp, 'anim.bmp'))
        check(r.returncode == 1 and 'formats that can be exported: GIF (Graphics Interchange Format)' in r.stderr,
              f'export to a format without frame-by-frame writing: {r.stderr}')
        r = run(opts.movrel, 'export', opts.sample, os.path.join(tmp, 'anim.out'), '--format', 'gif', '--quiet')
        check(r.returncode == 0 and open(os.path.join(tmp, 'anim.out'), 'rb').read(6) == b'GIF89a', 'export --format gif')
        missing = os.path.join(tmp, 'no', 'anim.gif')
        r = run(opts.movrel, 'export', opts.sample, missing)
        check(r.returncode == 1 and 'Write error' in r.stderr and missing in r.stderr, f'export into a missing dir: {r.stderr}')
        r = run(opts.movrel, 'export', opts.sample)
        check(r.returncode == 2, 'export without an output is a usage error')


def check_thumbnail(opts, check, tmp, frame0_md5):
    """The first frame fitted into a square, never enlarged; as GIF, with a palette chosen for it."""
    thumb = os.path.join(tmp, 'thumb.bmp')
    for size, expected in ((None, '96x60'), ('160', '160x100'), ('1000', '320x200')):
        r = run(opts.movrel, 'thumbnail', opts.sample, thumb, *(['--size', size] if size else []))
        line = run(opts.movrel, 'framemd5', thumb).stdout.split(',')
        check(r.returncode == 0 and r.stderr == '' and line[2] == expected, f'thumbnail --size {size}: {r.stderr} {line}')
    check(line[3].strip() == frame0_md5, 'a thumbnail that needs no reduction is the first frame itself')
    r = run(opts.movrel, 'thumbnail', opts.sample, thumb, '--size', '0')
    check(r.returncode == 2, 'thumbnail --size 0 is a usage error')
    gif = os.path.join(tmp, 'thumb.gif')
    r = run(opts.movrel, 'thumbnail', opts.sample, gif)
    line = run(opts.movrel, 'framemd5', gif).stdout.split(',')
    check(r.returncode == 0 and line[2] == '96x60', f'a thumbnail as GIF: {r.stderr} {line}')


def still_flic(path, width, height, frames):
    """A FLC of `frames` empty frames: tiny, but slow to export."""
    frame = struct.pack('<IHH8x', 16, 0xF1FA, 0)
    header = struct.pack('<IHHHHHHI', 128 + 16 * frames, 0xAF12, frames, width, height, 8, 0, 10).ljust(128, b'\0')
    with open(path, 'wb') as f:
        f.write(header + frame * frames)


def check_interrupted_writes(opts, check):
    """Past a file-size limit or stopped by a signal, nothing is left behind."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, 'out')
        os.mkdir(out)
        limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))
        for command in (['export', opts.sample, os.path.join(out, 'anim.gif')],
                        ['convert', opts.sample, os.path.join(out, 'big.tga')]):
            r = subprocess.run([opts.movrel, *command], capture_output=True, text=True, timeout=60, preexec_fn=limit)
            check(r.returncode == 1 and 'Write error' in r.stderr and os.listdir(out) == [],
                  f'{command[0]} past the file-size limit: status {r.returncode}, {r.stderr!r}, left {os.listdir(out)}')

        big = os.path.join(tmp, 'long.flc')
        still_flic(big, 400, 400, 1000)
        target = os.path.join(out, 'anim.gif')
        # The second time over an existing file, which must stay as it was.
        for sig, old in ((signal.SIGINT, None), (signal.SIGTERM, b'old')):
            if old:
                with open(target, 'wb') as f:
                    f.write(old)
            p = subprocess.Popen([opts.movrel, 'export', big, target, '--quiet'],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            # Signal it once its temporary file exists, mid-export.
            while p.poll() is None and not any(n.startswith('~mvr') for n in os.listdir(out)):
                time.sleep(0.001)
            p.send_signal(sig)
            status = p.wait(timeout=60)
            left = os.listdir(out)
            kept = old is None or open(target, 'rb').read() == old
            check(status == -sig and left == ([] if old is None else ['anim.gif']) and kept,
                  f'export stopped by {sig.name}: status {status}, left {left}, the old file kept: {kept}')


def check_damaged_and_spr(opts, check):
    with tempfile.TemporaryDirectory() as tmp:
        cut = os.path.join(tmp, 'cut.flc')
        with open(opts.sample, 'rb') as f:
            data = f.read()
        with open(cut, 'wb') as f:
            f.write(data[:len(data) * 2 // 3])
        r = run(opts.movrel, 'info', cut)
        frames = [l for l in r.stdout.splitlines() if l.startswith('frames: ')]
        check(r.returncode == 0 and frames and f'damaged after frame {int(frames[0][8:]) - 1}' in r.stderr,
              f'info on a file cut short: {frames} {r.stderr!r}')
        r = run(opts.movrel, 'check', opts.sample, cut)
        lines = r.stdout.splitlines()
        check(r.returncode == 1 and len(lines) == 2 and lines[0] == f'{opts.sample}: 24 frames, 0:01.920, ok' and
              re.fullmatch(rf'{re.escape(cut)}: {frames[0][8:]} of 24 frames, 0:0\d\.\d+0, damaged at frame '
                           rf'{frames[0][8:]}: Invalid data: it is cut short', lines[1]) is not None,
              f'check names the first frame that cannot be decoded: {lines}')
        r = run(opts.movrel, 'check', opts.sample)
        check(r.returncode == 0, 'check of a whole file exits with 0')

        spr = os.path.join(tmp, 'anim.spr')
        r = run(opts.movrel, 'export', opts.sample, spr)
        check(r.returncode == 0 and run(opts.movrel, 'framemd5', spr).stdout == run(opts.movrel, 'framemd5', opts.sample).stdout,
              f'export to SPR keeps every frame and delay: {r.stderr!r}')


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--movrel', required=True)
    ap.add_argument('--sample', required=True)
    opts = ap.parse_args()
    check = Checks()

    r = run(opts.movrel, '--help')
    check(r.returncode == 0 and 'info FILE' in r.stdout and 'framemd5' in r.stdout, 'movrel --help')
    for command in ('info', 'check', 'framemd5', 'convert', 'thumbnail', 'frames', 'export'):
        r = run(opts.movrel, command, '--help')
        check(r.returncode == 0 and r.stdout.startswith('usage: movrel ' + command), f'{command} --help')
        r = run(opts.movrel, command)
        check(r.returncode == 2 and 'usage' in r.stderr, f'{command} without a file')
    version = re.search(r'#define MOVREL_VERSION_TEXT "(.*)"', open(os.path.join(
        os.path.dirname(os.path.abspath(__file__)), '..', '..', 'resources', 'resource.h')).read()).group(1)
    r = run(opts.movrel, '--version')
    check(r.returncode == 0 and r.stdout == f'movrel {version}\n' and r.stderr == '', f'movrel --version: {r.stdout}')
    r = run(opts.movrel, 'frobnicate')
    check(r.returncode == 2 and 'unknown command' in r.stderr, 'unknown command')

    r = run(opts.movrel, 'info', opts.sample)
    lines = r.stdout.splitlines()
    check(r.returncode == 0, 'info on the sample')
    check(lines[:6] == ['format: Autodesk Flic Animation', 'width: 320', 'height: 200', 'depth: 8', 'frames: 24',
                        'duration: 0:01.920'], f'info header lines: {lines[:6]}')
    check(lines[6:] == [f'frame {i}: 80 ms' for i in range(24)], 'info delays')

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
               'duration: 0:00.210', 'frame 0: 70 ms', 'frame 1: 140 ms'], f'info on an SPR file: {r.stdout}')
        r = run(opts.movrel, 'framemd5', '--pal8', spr)
        check(r.returncode == 0 and len(r.stdout.splitlines()) == 2, 'framemd5 on an SPR file')
        empty = os.path.join(tmp, 'empty.fli')
        open(empty, 'w').close()
        r = run(opts.movrel, 'info', empty)
        check(r.returncode == 1 and r.stderr == f'movrel: {empty}: is empty\n', f'empty file message: {r.stderr!r}')
        r = run(opts.movrel, 'check', tmp)
        check(r.returncode == 1 and r.stdout == f'{tmp}: cannot be read: is a directory\n',
              f'a directory: {r.stdout!r}')
    # A write that fails says why: a folder that cannot be written (root writes
    # into any folder its permissions close, but not into /sys), a missing one.
    with tempfile.TemporaryDirectory() as tmp:
        closed = os.path.join(tmp, 'closed')
        os.mkdir(closed, 0o555)
        denied = '/sys' if os.geteuid() == 0 else closed
        for folder, says in ((denied, 'access denied'), (os.path.join(tmp, 'missing'), 'the folder does not exist')):
            for command in ('convert', 'export', 'frames'):
                out = os.path.join(folder, 'x.gif' if command == 'export' else 'x.bmp')
                r = run(opts.movrel, command, opts.sample, out, *(['--quiet'] if command != 'convert' else []))
                check(r.returncode == 1 and f'Write error: {says}: ' in r.stderr, f'{command} into {folder}: {r.stderr!r}')
        os.chmod(closed, 0o755)
    # A usage error names the argument and shows the usage line, not the whole help.
    for args, says in ((['convert', opts.sample, 'x.bmp', '--bogus'], "movrel convert: unknown option '--bogus'"),
                       (['convert', opts.sample, 'x.bmp', '--frame', 'abc'], "movrel convert: --frame: 'abc' is not a number"),
                       (['thumbnail', opts.sample, 'x.bmp', '--size', '0'], 'movrel thumbnail: --size: 0 is not between 1 and'),
                       (['info'], 'movrel info: needs one FILE')):
        r = run(opts.movrel, *args)
        check(r.returncode == 2 and r.stderr.startswith(says) and '\nusage: movrel ' in r.stderr and
              len(r.stderr.splitlines()) == 3, f'{" ".join(args[:1] + args[3:])}: {r.stderr!r}')

    check_writing(opts, check)
    check_interrupted_writes(opts, check)
    check_damaged_and_spr(opts, check)
    return check.report()


if __name__ == '__main__':
    sys.exit(main())
