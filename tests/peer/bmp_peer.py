#!/usr/bin/env python3
"""BMP files against the peers.

- Every good file of the bmp corpus (bmpsuite g/, and every other file that
  Pillow and ImageMagick both decode to the same pixels) loads to the RGB
  pixels that ImageMagick or the suite's reference PNG shows; 16-bit files to
  those Pillow shows. Channels narrower than 8 bits are widened three ways:
  Pillow scales and rounds down (v * 255 / 31, as movrel does: 21 gives 172),
  ImageMagick repeats the top bits (173), the reference PNGs round (173).
- Every other file (bmpsuite b/, disputed q/ files, fuzz cases) gives a picture
  or a clean error: exit code 0 or 1 and no sanitizer report.
- BMP files that movrel writes at 1, 4, 8, 16, 24 and 32 bits are read by
  Pillow and ImageMagick with the pixels that were saved.
"""
import argparse
import csv
import hashlib
import os
import subprocess
import sys
import tempfile

SANITIZER_MARKS = ('AddressSanitizer', 'LeakSanitizer', 'runtime error:', 'UndefinedBehaviorSanitizer')


def run(*args):
    return subprocess.run(list(args), capture_output=True, timeout=120)


def movrel_rgb_md5(movrel, path):
    r = run(movrel, 'framemd5', path)
    if r.returncode != 0:
        return None, r.stderr.decode(errors='replace').strip()
    return r.stdout.decode().split(',')[3].strip(), None


def magick_rgb(path):
    r = run('convert', path + '[0]', '-depth', '8', 'rgb:-')
    return r.stdout if r.returncode == 0 else None


def pillow_rgb(path):
    from PIL import Image
    with Image.open(path) as im:
        return im.convert('RGB').tobytes()


def bit_count(path):
    with open(path, 'rb') as f:
        head = f.read(30)
    if len(head) < 30:
        return 0
    info = int.from_bytes(head[14:18], 'little')
    return int.from_bytes(head[24:26] if info == 12 else head[28:30], 'little')


def good_files(corpus):
    """Files every peer agrees on, plus all of bmpsuite g/."""
    table = os.path.join(corpus, 'reference', 'image_validity.tsv')
    good = set()
    with open(table, newline='') as f:
        for row in csv.DictReader(f, delimiter='\t'):
            if row['format'] != 'BMP':
                continue
            name = row['file']
            if '/bmp/g/' in name or (row['pillow'] == 'OK' and row['magick'] == 'OK'
                                     and row['frames_identical_pillow_vs_magick'] == '1/1'):
                good.add(name)
    return good


def reference_png(corpus, name):
    stem = os.path.splitext(os.path.basename(name))[0]
    path = os.path.join(corpus, 'reference', 'pillow-pngs', 'bmp', 'html', stem + '.png')
    return path if '/bmp/g/' in name and os.path.exists(path) else None


def check_corpus(opts, check):
    good = good_files(opts.corpus)
    checked = clean = 0
    for root, _, files in os.walk(os.path.join(opts.corpus, 'bmp')):
        for leaf in sorted(files):
            path = os.path.join(root, leaf)
            name = os.path.relpath(path, opts.corpus)
            r = run(opts.movrel, 'framemd5', path)
            err = r.stderr.decode(errors='replace')
            check(r.returncode in (0, 1) and not any(m in err for m in SANITIZER_MARKS),
                  f'{name}: exit {r.returncode}, {err.strip()[:300]}')
            if name not in good:
                clean += 1
                continue
            checked += 1
            if r.returncode != 0:
                check(False, f'{name}: good file not loaded: {err.strip()}')
                continue
            ours = r.stdout.decode().split(',')[3].strip()
            candidates = {}
            if bit_count(path) == 16:
                candidates['Pillow'] = hashlib.md5(pillow_rgb(path)).hexdigest()
            magick = magick_rgb(path)
            if magick is not None:
                candidates['ImageMagick'] = hashlib.md5(magick).hexdigest()
            png = reference_png(opts.corpus, name)
            if png:
                candidates['reference PNG'] = hashlib.md5(pillow_rgb(png)).hexdigest()
            check(ours in candidates.values(), f'{name}: pixels differ from {", ".join(candidates) or "no peer"}')
    print(f'{checked} good files compared, {clean} other files loaded or refused cleanly')


def check_round_trips(opts, check):
    """Sources at each depth, saved by movrel, read back by both peers."""
    suite = os.path.join(opts.corpus, 'bmp', 'pillow', 'bmp', 'g')
    sources = {1: 'pal1.bmp', 4: 'pal4.bmp', 8: 'pal8.bmp', 16: 'rgb16.bmp', 24: 'rgb24.bmp', 32: 'rgb32.bmp'}
    with tempfile.TemporaryDirectory() as tmp:
        for depth, leaf in sources.items():
            source = os.path.join(suite, leaf)
            out = os.path.join(tmp, f'saved{depth}.bmp')
            r = run(opts.movrel, 'convert', source, out)
            if not check(r.returncode == 0, f'convert {leaf}: {r.stderr.decode().strip()}'):
                continue
            info = run(opts.movrel, 'info', out).stdout.decode()
            check(f'depth: {depth}\n' in info, f'{leaf} saved at another depth: {info}')
            check(movrel_rgb_md5(opts.movrel, out) == movrel_rgb_md5(opts.movrel, source),
                  f'{leaf}: the saved file reads back differently')
            for peer, read in (('Pillow', pillow_rgb), ('ImageMagick', magick_rgb)):
                # The peers widen 5-bit channels each their own way: at 16
                # bits each must read our file as it reads the source.
                expected = read(source) if depth == 16 else magick_rgb(source)
                check(read(out) == expected, f'{peer} reads our {depth}-bit file differently')
    print('round trips at 1, 4, 8, 16, 24 and 32 bits checked')


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--movrel', required=True)
    ap.add_argument('--corpus', required=True)
    opts = ap.parse_args()
    if not os.path.isdir(os.path.join(opts.corpus, 'bmp')):
        print('no bmp corpus: skipped')
        return 0
    failures = []

    def check(cond, what):
        if not cond:
            failures.append(what)
        return cond

    check_corpus(opts, check)
    check_round_trips(opts, check)
    for f in failures:
        print('FAIL', f)
    print(f'{len(failures)} failures')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
