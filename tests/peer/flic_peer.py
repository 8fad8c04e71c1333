#!/usr/bin/env python3
"""Compares movrel's FLIC frames with ffmpeg's, file by file over the corpus.

For every FLIC that ffmpeg decodes (its reference decode has at least the
header's frame count), the first N frames must match: `movrel framemd5 --pal8`
against `ffmpeg -f framemd5 -pix_fmt pal8` (indices and palette), and RGB for
files with 8-bit palettes only. Where the pal8 digests differ, the frame's
bytes as ffmpeg gives them must differ from ours only in its two known ways:
  - ffmpeg widens 6-bit components by bit replication (63 -> 255), where the
    format's usual reading is 63 -> 252;
  - palette entries that no colour chunk set are transparent black (alpha 0)
    in ffmpeg; a FLIC palette knows no transparency, so ours are opaque black.
Delays follow the format: FLI speed in 1/70 s, FLC speed in ms. Every other
file must load or fail cleanly (exit 0 or 1).

`movrel check` of all the corpus's FLICs at once: the whole ones (made by
programs) are "ok" with the header's frame count, the damaged ones (the
fuzz cases, as the manifest calls them) name the frame that cannot be
decoded, and the run exits with 1."""
import argparse
import csv
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys


# Damaged files that ffmpeg pictures by reading a chunk's packets on into the
# chunk after it. Here every chunk ends at its own size, so these give
# "Invalid data" instead.
READS_INTO_NEIGHBOUR = {
    'flic/pillow/fli_overflow.fli',  # BYTE_RUN of 393 bytes for three 4096-pixel rows
}


def read_reference(path):
    frames = []
    with open(path) as f:
        for line in f:
            if line.startswith('#'):
                continue
            cols = line.split()
            if len(cols) >= 7:
                frames.append({'rgb': cols[6]})
    return frames


def chunk_types(table, rel):
    with open(table) as f:
        header = f.readline().rstrip('\n').split('\t')
        for line in f:
            cols = line.rstrip('\n').split('\t')
            if cols[0] == rel:
                return cols[header.index('subchunks')]
    return ''


def ffmpeg_pal8(path, args):
    return subprocess.run(['ffmpeg', '-v', 'error', '-i', path, '-fps_mode', 'passthrough', *args, '-pix_fmt', 'pal8',
                           '-'], capture_output=True, timeout=120).stdout


def ffmpeg_pal8_md5s(path):
    out = ffmpeg_pal8(path, ['-f', 'framemd5']).decode()
    return [line.split(',')[-1].strip() for line in out.splitlines() if line and not line.startswith('#')]


def as_movrel_reads(frame, pixels, six_bit):
    """md5 of ffmpeg's pal8 bytes of a frame with its two known differences
    from ours undone: unset entries opaque, 6-bit components without the
    replicated low bits."""
    palette = bytearray(frame[pixels:])
    for i in range(0, len(palette), 4):
        if palette[i + 3] == 0 and not any(palette[i:i + 3]):
            palette[i + 3] = 0xFF
        if six_bit:
            palette[i:i + 3] = bytes(c & 0xFC for c in palette[i:i + 3])
    return hashlib.md5(frame[:pixels] + bytes(palette)).hexdigest()


def movrel(exe, args):
    return subprocess.run([exe] + args, capture_output=True, text=True, timeout=120)


def check_failures(exe, corpus):
    """What `movrel check` gets wrong about the corpus's FLICs."""
    with open(os.path.join(corpus, 'MANIFEST.tsv'), newline='') as f:
        rows = [r for r in csv.DictReader(f, delimiter='\t') if r['format'] == 'FLIC']
    run = movrel(exe, ['check'] + [os.path.join(corpus, r['local_path']) for r in rows])
    lines = run.stdout.splitlines()
    failures = [] if run.returncode == 1 else [f'check exits with {run.returncode} for a set with damaged files']
    if len(lines) != len(rows):
        return failures + [f'check printed {len(lines)} lines for {len(rows)} files']
    for row, line in zip(rows, lines):
        data = open(os.path.join(corpus, row['local_path']), 'rb').read()
        stated = struct.unpack_from('<H', data, 6)[0]
        damaged = row['notes'].startswith('fuzz/')
        verdict = line.split(': ', 1)[1]
        if damaged and not re.search(r'damaged at frame \d+: ', verdict):
            failures.append(f'{row["local_path"]} is damaged; check says {verdict}')
        elif not damaged and verdict != f'{stated} frames, {verdict.split(", ")[1]}, ok':
            failures.append(f'{row["local_path"]} is whole with {stated} frames; check says {verdict}')
    return failures


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--movrel', required=True)
    ap.add_argument('--corpus', required=True)
    opts = ap.parse_args()
    if not os.path.isdir(opts.corpus):
        print('no corpus; skipped')
        return 0
    if not shutil.which('ffmpeg'):
        print('FAIL ffmpeg is missing')
        return 1
    refdir = os.path.join(opts.corpus, 'reference', 'ffmpeg-pal8')
    table = os.path.join(opts.corpus, 'reference', 'flic_table.tsv')
    failures, compared, clean, explained = [], 0, 0, 0
    for root, _, files in os.walk(os.path.join(opts.corpus, 'flic')):
        for name in sorted(files):
            path = os.path.join(root, name)
            rel = os.path.relpath(path, opts.corpus)
            data = open(path, 'rb').read()
            ref_path = os.path.join(refdir, rel + '.txt')
            ref = read_reference(ref_path) if os.path.exists(ref_path) else []
            n = struct.unpack_from('<H', data, 6)[0] if len(data) >= 8 else 0
            run = movrel(opts.movrel, ['framemd5', '--pal8', path])
            if run.returncode not in (0, 1) or 'Sanitizer' in run.stderr:
                failures.append(f'{rel}: crashed ({run.returncode}) {run.stderr[-300:]}')
                continue
            if n == 0 or len(ref) < n or rel in READS_INTO_NEIGHBOUR:
                clean += 1  # ffmpeg does not decode it whole: a clean result is enough
                continue
            if run.returncode != 0:
                failures.append(f'{rel}: ffmpeg decodes {len(ref)} frames, movrel says {run.stderr.strip()}')
                continue
            ours = [line.split(',') for line in run.stdout.split()]
            if len(ours) != n:
                failures.append(f'{rel}: {len(ours)} frames, header says {n}')
                continue
            magic, speed = struct.unpack_from('<H', data, 4)[0], struct.unpack_from('<I', data, 16)[0]
            delay = speed * 1000 // 70 if magic == 0xAF11 else speed
            rgb_too = 'COLOR_64' not in chunk_types(table, rel)
            rgb = {}
            if rgb_too:
                plain = movrel(opts.movrel, ['framemd5', path])
                rgb = {i: line.split(',')[3] for i, line in enumerate(plain.stdout.split())}
            theirs = ffmpeg_pal8_md5s(path)
            raw, pixels = None, 0
            for i, (frame, expected) in enumerate(zip(ours, ref)):
                problems = []
                if int(frame[1]) != delay:
                    problems.append(f'delay {frame[1]} != {delay}')
                if i >= len(theirs):
                    problems.append('ffmpeg gives fewer frames')
                elif frame[3] != theirs[i]:
                    if raw is None:  # only files that differ are read whole
                        w, h = (int(v) for v in frame[2].split('x'))
                        pixels = w * h
                        raw = ffmpeg_pal8(path, ['-f', 'rawvideo'])
                    size = pixels + 1024
                    bytes_i = raw[i * size:(i + 1) * size]
                    if len(bytes_i) != size or as_movrel_reads(bytes_i, pixels, not rgb_too) != frame[3]:
                        problems.append('indices or palette differ')
                    else:
                        explained += 1
                if rgb_too and rgb.get(i) != expected['rgb']:
                    problems.append('rgb differs')
                if problems:
                    failures.append(f'{rel} frame {i}: ' + ', '.join(problems))
                    break
            compared += 1
    failures += check_failures(opts.movrel, opts.corpus)
    print(f'{compared} files compared frame by frame with ffmpeg ({explained} pal8 frames differ only in the known'
          f' ways), {clean} others loaded or failed cleanly')
    for f in failures:
        print('FAIL', f)
    return 1 if failures or compared == 0 else 0


if __name__ == '__main__':
    sys.exit(main())
