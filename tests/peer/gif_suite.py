#!/usr/bin/env python3
"""Runs the GIF conformance suite (gif/pygif-suite in the corpus): every
test's expected frames against the frames the reader makes.

The suite's frames are RGBA; the reader has no alpha, so pixels the suite
expects transparent (the canvas background) are not compared. The suite
merges image blocks without a delay into the frame of the next block with
one; the reader makes one frame per image block, so an expected frame is
compared with the frame of the block that ends it. Tests whose outcome
differs on purpose are listed in EXPECTED_DIFFERENCES with the reason; any
other difference fails, and so does a listed one that no longer differs."""
import argparse
import configparser
import os
import sys

from gif_frames import image_blocks, load_frames

EXPECTED_DIFFERENCES = {
    'image-outside-bg': 'the canvas grows to hold an image block that does not fit in the logical screen; '
                        'the suite clips the block instead',
    'image-overlap-bg': 'the canvas grows to hold an image block that does not fit in the logical screen; '
                        'the suite clips the block instead',
    'invalid-code': 'damaged image data ends the image and keeps what was decoded; the suite expects an error',
    'invalid-colors': 'an image block with an impossible code size shows as a frame without pixels; '
                      'the suite expects an error',
    'plain-text': 'the image block after a plain text extension is shown (the text is not drawn); '
                  'the suite expects no frame',
    'image-zero-height': 'the local colour table that the block announces is cut off by the end of the file: '
                         'damaged, and with no frame before it the load fails',
    'image-zero-size': 'the local colour table that the block announces is cut off by the end of the file: '
                       'damaged, and with no frame before it the load fails',
    'no-data': 'a file without any image block is refused ("Invalid data"); the suite expects an empty canvas',
}


def parse_conf(path):
    conf = configparser.ConfigParser(interpolation=None)
    conf.read(path)
    cfg = conf['config']
    names = [n.strip() for n in cfg.get('frames', '').split(',') if n.strip()]
    frames = []
    for name in names:
        section = conf[name]
        frames.append({'pixels': section.get('pixels'), 'delay': section.get('delay')})
    return {'input': cfg['input'], 'width': int(cfg['width']), 'height': int(cfg['height']),
            'force_animation': cfg.get('force-animation', 'no') == 'yes', 'frames': frames}


def closing_blocks(blocks, force_animation):
    """Index of the block that ends each of the suite's frames."""
    if force_animation:
        return list(range(len(blocks)))
    ends = [i for i, b in enumerate(blocks) if b[4]]
    if blocks and (not ends or ends[-1] != len(blocks) - 1):
        ends.append(len(blocks) - 1)
    return ends


def compare(expected_rgba, w, h, frame):
    """None when every opaque expected pixel matches, else a description."""
    if frame['width'] < w or frame['height'] < h:
        return f"size {frame['width']}x{frame['height']}, expected {w}x{h}"
    if frame['width'] != w or frame['height'] != h:
        return f"size {frame['width']}x{frame['height']}, expected {w}x{h}"
    bad = 0
    rgb = frame['rgb']
    for i in range(w * h):
        if expected_rgba[4 * i + 3] == 0:
            continue
        if expected_rgba[4 * i:4 * i + 3] != rgb[3 * i:3 * i + 3]:
            bad += 1
    return f'{bad} pixels differ' if bad else None


def delay_ms(hundredths):
    return 100 if hundredths <= 1 else hundredths * 10


def check(suite, dump_frames, name):
    """(ok, message)."""
    conf = parse_conf(os.path.join(suite, name + '.conf'))
    path = os.path.join(suite, conf['input'])
    frames, err, rc = load_frames(dump_frames, path)
    if rc not in (0, 1) or 'Sanitizer' in err or 'runtime error' in err:
        return False, f'crashed ({rc}): {err[-300:]}'
    expected = conf['frames']
    if not expected:
        return (rc == 1, 'error as expected' if rc == 1 else f'{len(frames)} frames, expected an error')
    if rc != 0:
        return False, f'expected {len(expected)} frames, got: {err.strip()}'
    with open(path, 'rb') as f:
        blocks = image_blocks(f.read())
    ends = closing_blocks(blocks, conf['force_animation'])
    if len(ends) != len(expected) or len(frames) != len(blocks):
        return False, f'{len(frames)} frames for {len(blocks)} blocks; expected {len(expected)} frames'
    problems = []
    for k, (want, end) in enumerate(zip(expected, ends)):
        with open(os.path.join(suite, want['pixels']), 'rb') as f:
            rgba = f.read()
        diff = compare(rgba, conf['width'], conf['height'], frames[end])
        if diff:
            problems.append(f'frame {k}: {diff}')
        if want['delay'] is not None and frames[end]['delay'] != delay_ms(int(want['delay'])):
            problems.append(f"frame {k}: delay {frames[end]['delay']} ms, expected {delay_ms(int(want['delay']))}")
    return not problems, '; '.join(problems) or 'match'


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--dump-frames', required=True)
    ap.add_argument('--corpus', required=True)
    opts = ap.parse_args()
    suite = os.path.join(opts.corpus, 'gif', 'pygif-suite')
    if not os.path.isdir(suite):
        print('no conformance suite; skipped')
        return 0
    names = sorted(f[:-5] for f in os.listdir(suite) if f.endswith('.conf'))
    failures, matched, differing = [], 0, []
    for name in names:
        ok, message = check(suite, opts.dump_frames, name)
        if name in EXPECTED_DIFFERENCES:
            if ok:
                failures.append(f'{name}: listed as differing but {message}')
            else:
                differing.append(f'{name}: {message} ({EXPECTED_DIFFERENCES[name]})')
        elif ok:
            matched += 1
        else:
            failures.append(f'{name}: {message}')
    print(f'{matched} of {len(names)} tests match; {len(differing)} differ on purpose:')
    for line in differing:
        print('  ' + line)
    for line in failures:
        print('FAIL ' + line)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
