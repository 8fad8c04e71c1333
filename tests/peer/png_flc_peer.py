#!/usr/bin/env python3
"""PNG, APNG and FLC files that movrel writes or reads, against Pillow, ffmpeg and optipng.

PNG: every corpus still movrel reads, and every frame of the sample, written
as PNG, must decode in Pillow and ffmpeg to movrel's pixels; 8-bit frames
written as palette PNGs must be at most 1.1x what `optipng -o2` makes of them.
PNG files that Pillow and ImageMagick make in every colour type and depth
(interlaced too, with transparency) must load in movrel as Pillow reads them,
alpha included (checked through movrel's own PNG of them).

APNG: the export of the sample and of animated corpus GIFs must decode in
ffmpeg (-f apng) to the source's frames, equal frames joined, with their
delays exactly.

FLC: the export of every FLIC of the corpus that movrel reads whole must
decode in ffmpeg to the same palette indices, palettes and frame rate, and in
movrel to the same frames; the FLC files made by other programs must not
grow; a GIF of varying delays keeps its timing within 10 ms."""
import argparse
import glob
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile

from PIL import Image

MAGICK = '/usr/bin/convert'


def run(args, text=True):
    return subprocess.run(args, capture_output=True, text=text, timeout=300)


def md5(data):
    return hashlib.md5(data).hexdigest()


class Checker:
    def __init__(self, exe):
        self.exe = exe
        self.failures = []
        self.checked = 0

    def fail(self, text):
        self.failures.append(text)

    def movrel(self, *args):
        return run([self.exe, *args])

    def frames(self, path, pal8=False):
        """movrel's frames: [(delay, md5...)]."""
        r = self.movrel('framemd5', *(['--pal8'] if pal8 else []), path)
        out = []
        for line in r.stdout.splitlines():
            cols = line.split(',')
            out.append((int(cols[1]), *cols[3:]))
        return out


def pillow_rgb(path, mode='RGB'):
    with Image.open(path) as im:
        im.load()
        if im.mode in ('I;16', 'I;16B', 'I'):
            # 16-bit grey as movrel reduces it: the high byte.
            data = im.tobytes('raw', 'I;16B') if im.mode != 'I' else im.convert('I;16B').tobytes()
            gray = bytes(data[0::2])
            return md5(bytes(b for g in gray for b in (g, g, g))) if mode == 'RGB' else md5(bytes(b for g in gray for b in (g, g, g, 255)))
        return md5(im.convert(mode).tobytes())


def ffmpeg_rgb(path, fmt=None):
    args = ['ffmpeg', '-v', 'error'] + (['-f', fmt] if fmt else []) + ['-i', path, '-fps_mode', 'passthrough',
                                                                        '-f', 'framemd5', '-pix_fmt', 'rgb24', '-']
    r = run(args)
    return [line.split(',')[-1].strip() for line in r.stdout.splitlines() if line and not line.startswith('#')]


def ffmpeg_rgb_digests(path, pix_fmt):
    r = run(['ffmpeg', '-v', 'error', '-i', path, '-fps_mode', 'passthrough', '-f', 'framemd5', '-pix_fmt', pix_fmt, '-'])
    return [line.split(',')[-1].strip() for line in r.stdout.splitlines() if line and not line.startswith('#')]


def ffprobe_durations(path, fmt=None):
    args = ['ffprobe', '-v', 'error'] + (['-f', fmt] if fmt else []) + [
        '-select_streams', 'v', '-show_entries', 'packet=duration_time', '-of', 'csv=p=0', path]
    return [float(x) * 1000 for x in run(args).stdout.split() if x and x != 'N/A']


def corpus_stills(corpus):
    for sub in ('bmp', 'pcx', 'tga'):
        for path in sorted(glob.glob(os.path.join(corpus, sub, '**', '*'), recursive=True)):
            if os.path.isfile(path):
                yield path


def check_png_written(c, corpus, sample, work):
    outs = []
    for i, src in enumerate(corpus_stills(corpus)):
        out = os.path.join(work, f'still{i}.png')
        if c.movrel('convert', src, out).returncode != 0:
            continue  # a file movrel does not read: its own tests say why
        outs.append((src, out))
    base = os.path.join(work, 'frame')
    if c.movrel('frames', sample, base, '--format', 'png', '--quiet').returncode != 0:
        c.fail('frames --format png of the sample failed')
    outs += [(None, p) for p in sorted(glob.glob(base + '*.PNG'))]
    sample_frames = c.frames(sample)
    for n, (src, out) in enumerate(outs):
        c.checked += 1
        want = c.frames(src)[0][1] if src else sample_frames[int(out[-7:-4])][1]
        name = os.path.basename(src or out)
        if [f[1] for f in c.frames(out)] != [want]:
            c.fail(f'{name}: movrel reads back other pixels')
        if pillow_rgb(out) != want:
            c.fail(f'{name}: Pillow reads other pixels')
        if ffmpeg_rgb(out) != [want]:
            c.fail(f'{name}: ffmpeg reads other pixels')
        data = open(out, 'rb').read()
        if data[25] == 3:  # a palette PNG: against optipng
            opt = out + '.opt.png'
            run(['optipng', '-quiet', '-o2', '-out', opt, out])
            if os.path.exists(opt) and len(data) > 1.1 * os.path.getsize(opt):
                c.fail(f'{name}: {len(data)} bytes, optipng -o2 makes {os.path.getsize(opt)}')
    print(f'PNG written: {len(outs)} files')


def check_png_read(c, work):
    """PNG files of every colour type made by Pillow and ImageMagick."""
    w, h = 37, 23
    rgba = Image.new('RGBA', (w, h))
    rgba.putdata([((x * 7) % 256, (y * 11) % 256, (x * y) % 256, (x * 13 + y) % 256) for y in range(h) for x in range(w)])
    made = []

    def save(im, name, **kw):
        path = os.path.join(work, name)
        im.save(path, **kw)
        made.append(path)
        return path

    save(rgba, 'rgba.png')
    save(rgba.convert('RGB'), 'rgb.png')
    save(rgba.convert('LA'), 'la.png')
    save(rgba.convert('L'), 'l.png')
    save(rgba.convert('1'), 'one.png')
    for colors, bits in ((2, 1), (4, 2), (16, 4), (256, 8)):
        p = rgba.convert('RGB').quantize(colors)
        save(p, f'p{bits}.png', bits=bits)
        save(p, f'p{bits}-trns.png', bits=bits, transparency=1)
    save(rgba.convert('RGB'), 'rgb-key.png', transparency=(0, 0, 0))
    save(rgba.convert('L').convert('I').point(lambda v: v * 257).convert('I;16'), 'l16.png')
    for path in list(made):
        inter = path[:-4] + '-adam7.png'
        if run([MAGICK, path, '-interlace', 'PNG', inter]).returncode == 0:
            made.append(inter)
    for depth, name in ((16, 'rgb16.png'), (16, 'rgba16.png')):
        path = os.path.join(work, name)
        src = os.path.join(work, 'rgba.png' if 'rgba' in name else 'rgb.png')
        if run([MAGICK, src, '-depth', str(depth), 'PNG48:' + path if name == 'rgb16.png' else 'PNG64:' + path]).returncode == 0:
            made.append(path)
    for path in made:
        c.checked += 1
        name = os.path.basename(path)
        ours = c.frames(path)
        if not ours or ours[0][1] != pillow_rgb(path):
            c.fail(f'{name}: movrel reads other colours than Pillow')
            continue
        back = path + '.back.png'
        if c.movrel('convert', path, back).returncode != 0 or pillow_rgb(back, 'RGBA') != pillow_rgb(path, 'RGBA'):
            c.fail(f'{name}: movrel reads other alpha than Pillow')
    print(f'PNG read: {len(made)} files')


def joined(frames):
    """(md5, delay) of frames, equal neighbours joined as the APNG export joins them."""
    out = []
    for delay, digest in frames:
        if out and out[-1][0] == digest and out[-1][1] + delay <= 65535:
            out[-1][1] += delay
        else:
            out.append([digest, delay])
    return out


def check_apng(c, sources, work):
    for i, src in enumerate(sources):
        out = os.path.join(work, f'anim{i}.apng')
        r = c.movrel('export', src, out, '--quiet')
        if r.returncode != 0:
            c.fail(f'{src}: APNG export failed: {r.stderr.strip()}')
            continue
        c.checked += 1
        want = joined(c.frames(src))
        got = ffmpeg_rgb(out, 'apng')
        delays = ffprobe_durations(out, 'apng')
        name = os.path.relpath(src)
        if got != [d for d, _ in want]:
            c.fail(f'{name}: ffmpeg decodes {len(got)} frames of the APNG, not the {len(want)} of the source')
        elif [round(d) for d in delays] != [d for _, d in want]:
            c.fail(f'{name}: APNG delays {delays[:5]}..., not {[d for _, d in want][:5]}...')
    print(f'APNG: {len(sources)} exports')


def ffmpeg_pal8(path, width, height):
    """(index md5, palette md5 as RGB triples) of each frame ffmpeg decodes."""
    data = run(['ffmpeg', '-v', 'error', '-i', path, '-f', 'rawvideo', '-pix_fmt', 'pal8', '-'], text=False).stdout
    size = width * height + 1024
    out = []
    for at in range(0, len(data) - size + 1, size):
        pal = data[at + width * height:at + size]
        rgb = b''.join(bytes((pal[4 * i + 2], pal[4 * i + 1], pal[4 * i])) for i in range(256))
        out.append((md5(data[at:at + width * height]), md5(rgb)))
    return out


def runs(frames):
    """Delays of the runs of equal neighbours."""
    out = []
    for delay, digest in frames:
        if out and out[-1][0] == digest:
            out[-1][1] += delay
        else:
            out.append([digest, delay])
    return [d for _, d in out]


def check_flc(c, corpus, sample, gifs, work):
    flics = [sample] + sorted(p for p in glob.glob(os.path.join(corpus, 'flic', '**', '*.fl[ic]'), recursive=True))
    for i, src in enumerate(flics):
        if c.movrel('check', src).returncode != 0:
            continue  # damaged: its frames end early
        out = os.path.join(work, f'back{i}.flc')
        r = c.movrel('export', src, out, '--quiet')
        name = os.path.relpath(src, corpus) if src != sample else 'sample'
        if r.returncode != 0:
            c.fail(f'{name}: FLC export failed: {r.stderr.strip()}')
            continue
        c.checked += 1
        want = c.frames(src, pal8=True)
        if c.frames(out, pal8=True) != want:
            c.fail(f'{name}: movrel reads other frames from its FLC')
        info = c.movrel('info', out).stdout
        width = int(info.split('width: ')[1].split()[0])
        height = int(info.split('height: ')[1].split()[0])
        if want and len(want[0]) == 2:  # one digest: what ffmpeg's framemd5 of pal8 frames hashes
            theirs = ffmpeg_rgb_digests(out, 'pal8')[:len(want)]
            ours = [f[1] for f in want]
        else:  # the indices and the palette apart
            theirs = ffmpeg_pal8(out, width, height)[:len(want)]
            ours = [(f[1], f[2]) for f in want]
        if theirs != ours:
            c.fail(f'{name}: ffmpeg decodes other frames from the FLC')
        rate = run(['ffprobe', '-v', 'error', '-select_streams', 'v', '-show_entries', 'stream=r_frame_rate', '-of',
                    'csv=p=0', out]).stdout.strip()
        num, den = (int(x) for x in rate.split('/'))
        if want and abs(1000 * den / num - want[0][0]) > 0.5:
            c.fail(f'{name}: ffmpeg plays the FLC at {rate} fps, not {want[0][0]} ms a frame')
        original = open(src, 'rb').read()
        if src != sample and struct.unpack_from('<H', original, 4)[0] == 0xAF12 and os.path.getsize(out) > len(original):
            c.fail(f'{name}: re-encoded FLC of {os.path.getsize(out)} bytes, the original {len(original)}')
    varying = 0
    for src in gifs:
        frames = c.frames(src)
        if len({d for d, *_ in frames}) < 2:
            continue
        varying += 1
        out = os.path.join(work, f'gif{varying}.flc')
        if c.movrel('export', src, out, '--quiet').returncode != 0:
            c.fail(f'{src}: FLC export failed')
            continue
        c.checked += 1
        want, got = runs(frames), runs(c.frames(out))
        if len(want) != len(got) or any(abs(sum(want[:k]) - sum(got[:k])) > 10 for k in range(1, len(want) + 1)):
            c.fail(f'{os.path.basename(src)}: the FLC plays {got[:6]}... for {want[:6]}...')
    if varying == 0:
        c.fail('no GIF of varying delays in the corpus')
    print(f'FLC: {len(flics)} FLICs, {varying} GIFs of varying delays')


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--movrel', required=True)
    ap.add_argument('--sample', required=True)
    ap.add_argument('--corpus', required=True)
    opts = ap.parse_args()
    if not shutil.which('optipng') or not shutil.which('ffmpeg'):
        print('FAIL optipng and ffmpeg are needed (scripts/setup.sh installs them)')
        return 1
    c = Checker(opts.movrel)
    animated = []
    for path in sorted(glob.glob(os.path.join(opts.corpus, 'gif', '**', '*.gif'), recursive=True)):
        r = c.movrel('check', path)
        if r.returncode == 0 and ' 1 frames' not in r.stdout:
            animated.append(path)
    with tempfile.TemporaryDirectory() as work:
        check_png_written(c, opts.corpus, opts.sample, work)
        check_png_read(c, work)
        check_apng(c, [opts.sample] + animated[:12], work)
        check_flc(c, opts.corpus, opts.sample, animated, work)
    print(f'{c.checked} files checked')
    for f in c.failures:
        print('FAIL', f)
    print(f'{len(c.failures)} failures')
    return 1 if c.failures or c.checked == 0 else 0


if __name__ == '__main__':
    sys.exit(main())
