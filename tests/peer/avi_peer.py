#!/usr/bin/env python3
"""AVI files written by `movrel export` as ffprobe and ffmpeg see them: codec,
size, frame rate and frame count, and every frame decoded to exactly the
source's pixels. Also the export command's choice of format and its failures,
which never leave a half-written file.

check_avi() is shared with the wine test of the Windows build
(tests/win32/avi_check.py)."""
import argparse
import os
import resource
import signal
import struct
import subprocess
import sys
import tempfile


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=120, **kw)


def source_frames(movrel, source):
    """[(delay_ms, 'WxH', md5)] of every frame, as movrel decodes the source."""
    r = run([movrel, 'framemd5', source])
    if r.returncode != 0:
        raise RuntimeError(f'movrel framemd5 {source}: {r.stderr}')
    return [(int(c[1]), c[2], c[3]) for c in (line.split(',') for line in r.stdout.split())]


def export_rate(first_delay):
    """Frames per second of an export: 1000 / delay, delays below 10 ms as 10, at least 1."""
    return max(1, 1000 // max(10, first_delay))


def check_avi(check, movrel, source, avi, what):
    """The AVI holds the source's frames, uncompressed, at the export rate."""
    frames = source_frames(movrel, source)
    r = run(['ffprobe', '-v', 'error', '-select_streams', 'v:0', '-count_frames', '-show_entries',
             'stream=codec_name,width,height,r_frame_rate,nb_read_frames', '-of', 'default=nw=1', avi])
    info = dict(line.split('=', 1) for line in r.stdout.split())
    width, height = frames[0][1].split('x')
    check(r.returncode == 0, f'{what}: ffprobe fails: {r.stderr}')
    check(info.get('codec_name') == 'rawvideo', f'{what}: codec {info.get("codec_name")}')
    check((info.get('width'), info.get('height')) == (width, height), f'{what}: size {info}')
    rate = export_rate(frames[0][0])
    check(info.get('r_frame_rate') == f'{rate}/1', f'{what}: rate {info.get("r_frame_rate")}, expected {rate}')
    check(info.get('nb_read_frames') == str(len(frames)), f'{what}: {info.get("nb_read_frames")} frames, expected {len(frames)}')
    r = subprocess.run(['ffmpeg', '-v', 'error', '-i', avi, '-f', 'framemd5', '-pix_fmt', 'rgb24', '-'],
                       capture_output=True, text=True, timeout=120)
    decoded = [line.split(',')[-1].strip() for line in r.stdout.splitlines() if line and not line.startswith('#')]
    check(decoded == [f[2] for f in frames], f'{what}: ffmpeg decodes other frames than the source has')


def write_flc(path, width, height, speed_ms, pictures):
    """An 8-bit FLC: a 256-colour palette in the first frame, every frame a raw copy."""
    palette = bytes(v for i in range(256) for v in (i, (i * 7) & 255, 255 - i))
    chunks = []
    for n, pixels in enumerate(pictures):
        subs = []
        if n == 0:
            body = struct.pack('<HBB', 1, 0, 0) + palette
            subs.append(struct.pack('<IH', 6 + len(body), 4) + body)
        subs.append(struct.pack('<IH', 6 + len(pixels), 16) + pixels)
        body = b''.join(subs)
        chunks.append(struct.pack('<IHH8x', 16 + len(body), 0xF1FA, len(subs)) + body)
    data = b''.join(chunks)
    header = struct.pack('<IHHHHHHI', 128 + len(data), 0xAF12, len(pictures), width, height, 8, 3, speed_ms)
    with open(path, 'wb') as f:
        f.write(header.ljust(128, b'\0') + data)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--movrel', required=True)
    ap.add_argument('--sample', required=True)
    opts = ap.parse_args()
    failures = []

    def check(cond, what):
        if not cond:
            failures.append(what)
            print('FAIL', what)

    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, 'sample.avi')
        r = run([opts.movrel, 'export', opts.sample, out, '--quiet'])
        check(r.returncode == 0 and r.stdout == '' and r.stderr == '', f'export the sample: {r.stderr}')
        check_avi(check, opts.movrel, opts.sample, out, 'sample')

        # The rate follows the first delay; an odd width has padded rows.
        for name, width, speed in (('d70', 33, 70), ('d5', 4, 5), ('d1500', 6, 1500)):
            flc = os.path.join(tmp, name + '.flc')
            write_flc(flc, width, 8, speed, [bytes((x * 9 + y * 31 + n * 50) & 255 for y in range(8) for x in range(width))
                                             for n in range(3)])
            avi = os.path.join(tmp, name + '.avi')
            r = run([opts.movrel, 'export', flc, avi])
            check(r.returncode == 0, f'export {name}: {r.stderr}')
            check_avi(check, opts.movrel, flc, avi, name)
        r = run(['ffprobe', '-v', 'error', '-show_entries', 'stream=r_frame_rate', '-of', 'csv=p=0',
                 os.path.join(tmp, 'd70.avi')])
        check(r.stdout.strip() == '14/1', f'70 ms gives 14 frames per second, got {r.stdout.strip()}')

        # Choosing the format.
        r = run([opts.movrel, 'export', opts.sample, os.path.join(tmp, 'clip.bmp')])
        check(r.returncode == 1 and 'formats that can be exported: ' in r.stderr and 'AVI (' in r.stderr,
              f'export to BMP: {r.stderr}')
        r = run([opts.movrel, 'export', opts.sample, os.path.join(tmp, 'clip')])
        check(r.returncode == 1 and '--format' in r.stderr, f'export without an extension: {r.stderr}')
        r = run([opts.movrel, 'export', opts.sample, os.path.join(tmp, 'clip.vid'), '--format', 'avi', '--quiet'])
        check(r.returncode == 0 and open(os.path.join(tmp, 'clip.vid'), 'rb').read(12)[8:] == b'AVI ', 'export --format avi')
        r = run([opts.movrel, 'export', opts.sample, os.path.join(tmp, 'rle.avi'), '--rle'])
        check(r.returncode == 1 and '--rle' in r.stderr, f'export --rle: {r.stderr}')
        r = run([opts.movrel, 'export', opts.sample])
        check(r.returncode == 2 and 'usage: movrel export' in r.stderr, 'export with one file is a usage error')
        r = run([opts.movrel, 'export', '--help'])
        check(r.returncode == 0 and 'AVI' in r.stdout, 'export --help')

        # Failures keep what was there and leave nothing else.
        keep = os.path.join(tmp, 'keep')
        os.mkdir(keep)
        target = os.path.join(keep, 'old.avi')
        with open(target, 'wb') as f:
            f.write(b'the old export')
        r = run([opts.movrel, 'export', os.path.join(tmp, 'missing.flc'), target])
        check(r.returncode == 1 and 'File not found' in r.stderr, f'export of a missing file: {r.stderr}')

        def small_files():
            resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        r = run([opts.movrel, 'export', opts.sample, target, '--quiet'], preexec_fn=small_files)
        check(r.returncode == 1 and r.stderr.strip() == f'movrel: Write error: {target}', f'disk full: {r.stderr}')
        check(open(target, 'rb').read() == b'the old export', 'a failed export keeps the old file')
        check(os.listdir(keep) == ['old.avi'], f'a failed export leaves nothing else: {os.listdir(keep)}')
        r = run([opts.movrel, 'export', opts.sample, os.path.join(tmp, 'no', 'dir.avi')])
        check(r.returncode == 1 and 'Write error' in r.stderr, f'export into a missing directory: {r.stderr}')

    print(f'{len(failures)} failure(s)')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
