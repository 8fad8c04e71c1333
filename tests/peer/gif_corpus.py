#!/usr/bin/python3
"""Every GIF of the corpus against Pillow and ImageMagick.

For each frame on which Pillow and ImageMagick (coalesced) agree exactly, the
reader's frame must have the same size, the same colour at every pixel they
show opaque, and the delay when they agree on it too (0 and 1 hundredths
play at 100 ms; ImageMagick carries a delay over to later blocks without a
graphic control extension, Pillow does not). Pixels the peers show transparent are not compared: the reader has
no alpha and shows the canvas background there. Every file, damaged ones
included, must load or fail cleanly. Differences on purpose are listed in
EXPECTED_DIFFERENCES with the reason."""
import argparse
import os
import subprocess
import sys

from gif_frames import load_frames

# path relative to the corpus -> reason
EXPECTED_DIFFERENCES = {
    'gif/pillow/test_extents.gif': 'the second block does not fit in the logical screen, so the canvas grows '
                                   'to hold it (150 x 150) from the first frame on; both peers keep 100 x 100 '
                                   'for the first frame',
    'gif/pillow/test_extents_transparency.gif': 'as test_extents.gif',
}


def pillow_frames(path):
    from PIL import Image, ImageSequence
    frames = []
    try:
        with Image.open(path) as im:
            for frame in ImageSequence.Iterator(im):
                rgba = frame.convert('RGBA')
                frames.append((rgba.size, rgba.tobytes(), frame.info.get('duration')))
    except Exception:
        pass  # the frames read until then
    return frames


def magick_frames(path):
    info = subprocess.run(['convert', path, '-coalesce', '-format', '%w %h %T\n', 'info:'],
                          capture_output=True, text=True, timeout=120)
    if info.returncode != 0:
        return []
    pixels = subprocess.run(['convert', path, '-coalesce', '-depth', '8', 'rgba:-'], capture_output=True, timeout=120)
    if pixels.returncode != 0:
        return []
    frames, pos = [], 0
    for line in info.stdout.split('\n'):
        if not line.strip():
            continue
        w, h, delay = (int(v) for v in line.split())
        frames.append(((w, h), pixels.stdout[pos:pos + w * h * 4], delay))
        pos += w * h * 4
    return frames


def delay_ms(hundredths):
    return 100 if hundredths <= 1 else hundredths * 10


def compare(ours, size, rgba, delay):
    """None when the frame matches; `delay` in hundredths, or None when the peers differ on it."""
    w, h = size
    if (ours['width'], ours['height']) != (w, h):
        return f"size {ours['width']}x{ours['height']}, peers {w}x{h}"
    rgb = ours['rgb']
    bad = sum(1 for i in range(w * h) if rgba[4 * i + 3] == 255 and rgba[4 * i:4 * i + 3] != rgb[3 * i:3 * i + 3])
    if bad:
        return f'{bad} pixels differ'
    if delay is not None and ours['delay'] != delay_ms(delay):
        return f"delay {ours['delay']} ms, peers {delay_ms(delay)}"
    return None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--dump-frames', required=True)
    ap.add_argument('--corpus', required=True)
    opts = ap.parse_args()
    root = os.path.join(opts.corpus, 'gif')
    if not os.path.isdir(root):
        print('no corpus; skipped')
        return 0
    failures, differing = [], []
    files = agreed_files = frames_compared = 0
    for dirpath, _, names in os.walk(root):
        for name in sorted(names):
            if not name.endswith('.gif'):
                continue
            path = os.path.join(dirpath, name)
            rel = os.path.relpath(path, opts.corpus)
            files += 1
            ours, err, rc = load_frames(opts.dump_frames, path)
            if rc not in (0, 1) or 'Sanitizer' in err or 'runtime error' in err:
                failures.append(f'{rel}: crashed ({rc}) {err[-300:]}')
                continue
            pil, im = pillow_frames(path), magick_frames(path)
            agreed = [(i, im[i]) for i in range(min(len(pil), len(im))) if pil[i][0] == im[i][0] and pil[i][1] == im[i][1]]
            if not agreed:
                continue
            agreed_files += 1
            problems = []
            for i, (size, rgba, delay) in agreed:
                if (pil[i][2] or 0) != delay * 10:
                    delay = None
                if i >= len(ours):
                    problems.append(f'frame {i}: missing ({len(ours)} frames{", " + err.strip() if rc else ""})')
                    break
                frames_compared += 1
                diff = compare(ours[i], size, rgba, delay)
                if diff:
                    problems.append(f'frame {i}: {diff}')
            if rel in EXPECTED_DIFFERENCES:
                if problems:
                    differing.append(f'{rel}: {problems[0]} ({EXPECTED_DIFFERENCES[rel]})')
                else:
                    failures.append(f'{rel}: listed as differing but matches')
            elif problems:
                failures.append(f'{rel}: ' + '; '.join(problems[:3]))
    print(f'{files} GIF files, {agreed_files} with frames the peers agree on; '
          f'{frames_compared} frames compared; {len(differing)} files differ on purpose:')
    for line in differing:
        print('  ' + line)
    for line in failures:
        print('FAIL ' + line)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
