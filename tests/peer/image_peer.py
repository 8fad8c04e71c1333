#!/usr/bin/env python3
"""PCX and TGA files of the corpus against Pillow and ImageMagick.

Where both peers decode a file to the same RGB pixels, movrel must give those
pixels. Where both refuse it, movrel must refuse it with a message (exit 1),
never crash. Where they disagree, the files we know side with one of them, and
every other file must still load or fail cleanly.
"""
import argparse
import hashlib
import os
import subprocess
import sys

from PIL import Image

MAGICK = '/usr/bin/convert'

# Peer disagreements where one peer is right: the other ignores a layout or a
# palette that the file's own author relies on.
SIDES = {
    'pcx/pillow/pil184.pcx': 'pillow',        # ImageMagick inverts a black-and-white header palette
    'pcx/pillow/p_4_planes.pcx': 'magick',    # four bit planes merged into one 4-bit value
    'pcx/zigimg/test-bpp4.pcx': 'magick',     # Pillow cannot read 4 bits x 1 plane
}


def pillow_md5(path):
    try:
        with Image.open(path) as im:
            im.load()
            return hashlib.md5(im.convert('RGB').tobytes()).hexdigest()
    except Exception:
        return None


def magick_md5(path):
    r = subprocess.run([MAGICK, path, '-auto-orient', '-depth', '8', 'rgb:-'], capture_output=True, timeout=60)
    return hashlib.md5(r.stdout).hexdigest() if r.returncode == 0 and r.stdout else None


def movrel_md5(movrel, path):
    """(md5, None) for a picture, (None, message) for a clean refusal."""
    r = subprocess.run([movrel, 'framemd5', path], capture_output=True, text=True, timeout=120)
    if r.returncode == 0:
        return r.stdout.splitlines()[0].split(',')[-1], None
    if r.returncode == 1 and r.stderr.startswith('movrel: ') and path in r.stderr:
        return None, r.stderr.strip()
    raise RuntimeError(f'movrel crashed or misbehaved on {path}: rc={r.returncode}\n{r.stderr}')


def corpus_files(corpus):
    for folder in ('pcx', 'tga'):
        for root, _, names in os.walk(os.path.join(corpus, folder)):
            for name in sorted(names):
                if name.lower().endswith(('.pcx', '.tga', '.bin')):
                    yield os.path.join(root, name)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--movrel', required=True)
    ap.add_argument('--corpus', required=True)
    opts = ap.parse_args()
    if not os.path.isdir(os.path.join(opts.corpus, 'tga')):
        print('no corpus; skipped')
        return 0

    failures = []
    counts = {'agree': 0, 'refused': 0, 'sided': 0, 'other': 0}
    for path in corpus_files(opts.corpus):
        name = os.path.relpath(path, opts.corpus)
        try:
            ours, refusal = movrel_md5(opts.movrel, path)
        except RuntimeError as e:
            failures.append(str(e))
            continue
        peers = {'pillow': pillow_md5(path), 'magick': magick_md5(path)}
        if name in SIDES:
            counts['sided'] += 1
            if ours != peers[SIDES[name]]:
                failures.append(f'{name}: differs from {SIDES[name]}')
        elif peers['pillow'] and peers['pillow'] == peers['magick']:
            counts['agree'] += 1
            if ours != peers['pillow']:
                failures.append(f'{name}: differs from both peers ({refusal or "other pixels"})')
        elif not peers['pillow'] and not peers['magick']:
            counts['refused'] += 1
            if ours:
                failures.append(f'{name}: both peers refuse it, movrel shows a picture')
        else:
            counts['other'] += 1
    print(', '.join(f'{k} {v}' for k, v in counts.items()))
    for f in failures:
        print('FAIL', f)
    print(f'{len(failures)} failures')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
