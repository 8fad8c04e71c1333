#!/usr/bin/env python3
"""movrel.exe under wine against the native build: the same frames; the same
saved file, written through a temporary file and a replace (a second save
under the Windows form of the name replaces the first, and nothing else is
left beside it); a replaced file keeps what the old one carried (a hidden
file stays hidden, a read-only one is not replaced: Write error); and the
same animated GIF, read back alike, also under a name outside the ANSI code
page and past 260 characters; an export stopped by Ctrl+C leaves the old
file and nothing else."""
import argparse
import filecmp
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time


def noise_flic(path, width, height, frames):
    """A FLC of frames of noise, copied whole: slow to export as GIF."""
    rng = random.Random(7)
    palette = struct.pack('<IHHBB', 6 + 4 + 768, 4, 1, 0, 0) + bytes(rng.randrange(256) for _ in range(768))
    body = b''
    for n in range(frames):
        pixels = rng.randbytes(width * height)
        chunks = (palette if n == 0 else b'') + struct.pack('<IH', 6 + len(pixels), 16) + pixels
        body += struct.pack('<IHH8x', 16 + len(chunks), 0xF1FA, 2 if n == 0 else 1) + chunks
    header = struct.pack('<IHHHHHHI', 128 + len(body), 0xAF12, frames, width, height, 8, 0, 10).ljust(128, b'\0')
    with open(path, 'wb') as f:
        f.write(header + body)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--wine', required=True)
    ap.add_argument('--exe', required=True, help='movrel.exe')
    ap.add_argument('--native', required=True, help='the native movrel')
    ap.add_argument('--sample', required=True)
    opts = ap.parse_args()
    failures = []

    def check(cond, what):
        print(('ok   ' if cond else 'FAIL ') + what)
        if not cond:
            failures.append(what)

    def run(command):
        # Output goes to a file, not a pipe: a helper process that wine
        # starts may inherit a pipe and hold it open long after.
        with tempfile.TemporaryFile(mode='w+') as out:
            # Wine reads the arguments in the locale's encoding: UTF-8 here.
            code = subprocess.run(command, stdout=out, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                                  timeout=120, env=dict(os.environ, LC_ALL='C.UTF-8')).returncode
            out.seek(0)
            return code, out.read().replace('\r', '')

    def exe(*args):
        return run([opts.wine, opts.exe, *args])

    def windows(path):
        return 'Z:' + path.replace('/', '\\')

    def attributes(path, *change):
        return run([opts.wine, 'cmd', '/c', 'attrib', *change, windows(path)])[1][:12]

    if not os.path.exists(opts.native):
        check(False, f'no native movrel at {opts.native}: build the asan preset first')
        return 1
    with tempfile.TemporaryDirectory() as work:
        expected = run([opts.native, 'framemd5', opts.sample])[1]
        native_bmp, native_gif = os.path.join(work, 'native.bmp'), os.path.join(work, 'native.gif')
        run([opts.native, 'convert', opts.sample, native_bmp, '--frame', '3'])
        run([opts.native, 'export', opts.sample, native_gif])
        check(exe('framemd5', opts.sample)[1] == expected, 'framemd5: the frames of the native build')

        saved = os.path.join(work, 'saved')
        os.mkdir(saved)
        target = os.path.join(saved, 'frame.bmp')
        exe('convert', opts.sample, target)
        exe('convert', opts.sample, windows(target), '--frame', '3')
        check(filecmp.cmp(native_bmp, target, shallow=False) and os.listdir(saved) == ['frame.bmp'],
              'convert: the file of the native build, replaced under the Windows name, nothing beside it')

        for attribute, replaced in (('H', True), ('R', False)):
            folder = os.path.join(work, attribute)
            os.mkdir(folder)
            file = os.path.join(folder, 'frame.bmp')
            shutil.copy(native_bmp, file)
            attributes(file, '+' + attribute)
            if attribute not in attributes(file):
                print(f'wine keeps no {attribute} attribute on this file system; not checked')
                continue
            code = exe('convert', opts.sample, file)[0]
            check(attribute in attributes(file) and (code == 0) == replaced and
                  filecmp.cmp(native_bmp, file, shallow=False) != replaced and os.listdir(folder) == ['frame.bmp'],
                  f'a file with the {attribute} attribute keeps it over a save, ' +
                  ('replaced' if replaced else 'not replaced (Write error)'))
            attributes(file, '-R')

        gif = os.path.join(work, 'anim.gif')
        exe('export', opts.sample, gif)
        check(os.path.exists(gif) and filecmp.cmp(native_gif, gif, shallow=False) and exe('framemd5', gif)[1] == expected,
              'export: the animated GIF of the native build, read back alike')

        # No window to own the compressor's dialog: the tool asks nothing
        # and writes the frames as the native build does.
        avi, native_avi = os.path.join(work, 'anim.avi'), os.path.join(work, 'native.avi')
        run([opts.native, 'export', opts.sample, native_avi])
        try:
            code = exe('export', opts.sample, avi)[0]
        except subprocess.TimeoutExpired:
            code = 'a wait'
        check(code == 0 and filecmp.cmp(native_avi, avi, shallow=False),
              f'export to AVI: no dialog, the file of the native build ({code})')

        folder = os.path.join(work, 'д' * 120, 'ж' * 120)
        os.makedirs(folder)
        long_gif = os.path.join(folder, 'кино 動画.gif')
        exe('export', opts.sample, long_gif)
        check(os.listdir(folder) == ['кино 動画.gif'] and filecmp.cmp(native_gif, long_gif, shallow=False) and
              exe('framemd5', long_gif)[1] == expected, 'export under a long non-ANSI name, read back alike')
        # Ctrl+C (wine turns SIGINT into the console's Ctrl+C) once the
        # temporary file exists: it goes, and nothing else is written.
        slow = os.path.join(work, 'noise.flc')
        noise_flic(slow, 320, 240, 60)
        # Over an existing file, which stays as it was.
        out = os.path.join(work, 'interrupted')
        os.mkdir(out)
        target = os.path.join(out, 'anim.gif')
        with open(target, 'wb') as f:
            f.write(b'old')
        p = subprocess.Popen([opts.wine, opts.exe, 'export', slow, target, '--quiet'],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             start_new_session=True)
        while p.poll() is None and os.listdir(out) == ['anim.gif']:
            time.sleep(0.002)
        if p.poll() is None:
            os.killpg(p.pid, signal.SIGINT)
        p.wait(timeout=120)
        kept = open(target, 'rb').read() == b'old'
        if os.listdir(out) == ['anim.gif'] and not kept:
            print('the export ended before Ctrl+C reached it; not checked')
        else:
            check(os.listdir(out) == ['anim.gif'] and kept,
                  f'an export stopped by Ctrl+C leaves the old file and nothing else: {os.listdir(out)}, kept {kept}')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
