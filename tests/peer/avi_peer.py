#!/usr/bin/env python3
"""AVI files written by `movrel export` as ffprobe and ffmpeg see them: codec,
size, frame rate and frame count, and every frame decoded to exactly the
source's pixels. Also the export command's choice of format and its failures,
which never leave a half-written file.

check_avi() is shared with the wine test of the Windows build
(tests/win32/avi_check.py)."""
import argparse
import math
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


def export_rate(delays):
    """The export's rate as rate/scale: 1000 / the delays' greatest common
    divisor (delays below 10 ms count as 10), in lowest terms."""
    period = 0
    for d in delays:
        period = math.gcd(period, max(10, d))
    common = math.gcd(period, 1000)
    return f'{1000 // common}/{period // common}'


def raw_frames(path, count, size):
    """The first `count` frames of a file as ffmpeg decodes them, rgb24."""
    r = subprocess.run(['ffmpeg', '-nostdin', '-v', 'error', '-i', path, '-frames:v', str(count), '-f', 'rawvideo',
                        '-pix_fmt', 'rgb24', '-'], capture_output=True, timeout=120)
    return [r.stdout[n * size:(n + 1) * size] for n in range(len(r.stdout) // size)]


def check_avi(check, movrel, source, avi, what, codec='rawvideo', lossy=0.0):
    """The AVI holds the source's frames at the export rate, each at its own
    time, so that it plays as long as the source. With `lossy`, a lossy
    compressor's: at most that share of each frame's pixels differs."""
    frames = source_frames(movrel, source)
    r = run(['ffprobe', '-v', 'error', '-select_streams', 'v:0', '-count_frames', '-show_entries',
             'stream=codec_name,width,height,r_frame_rate,nb_read_frames:format=duration', '-of', 'default=nw=1', avi])
    info = dict(line.split('=', 1) for line in r.stdout.split())
    width, height = frames[0][1].split('x')
    check(r.returncode == 0, f'{what}: ffprobe fails: {r.stderr}')
    check(info.get('codec_name') == codec, f'{what}: codec {info.get("codec_name")}')
    check((info.get('width'), info.get('height')) == (width, height), f'{what}: size {info}')
    rate = export_rate(f[0] for f in frames)
    check(info.get('r_frame_rate') == rate, f'{what}: rate {info.get("r_frame_rate")}, expected {rate}')
    seconds = sum(max(10, f[0]) for f in frames) / 1000
    check(abs(float(info.get('duration', 0)) - seconds) < 0.0005, f'{what}: plays {info.get("duration")} s, expected {seconds}')
    # Frames that show for several periods are followed by empty chunks,
    # which ffmpeg reads as time, not frames.
    check(info.get('nb_read_frames') == str(len(frames)), f'{what}: {info.get("nb_read_frames")} frames, expected {len(frames)}')
    if lossy:
        size = int(width) * int(height) * 3
        ours, theirs = raw_frames(source, len(frames), size), raw_frames(avi, len(frames), size)
        worst = max((sum(a[i:i + 3] != b[i:i + 3] for i in range(0, size, 3)) / (size // 3)
                     for a, b in zip(ours, theirs)), default=1.0)
        check(len(ours) == len(theirs) == len(frames) and worst <= lossy,
              f'{what}: up to {worst:.2%} of a frame\'s pixels differ from the source, at most {lossy:.2%} allowed')
        return
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


def write_gif(path, width, height, frames):
    """An animated GIF of [(delay_ms, 768-byte palette, pixels)], each frame
    with its own palette, its pixels as literal LZW codes of 9 bits."""
    def lzw(pixels):
        codes, bits, value, out = [], 0, 0, bytearray()
        for n, p in enumerate(pixels):
            if n % 250 == 0:
                codes.append(256)  # clear, so that codes stay 9 bits wide
            codes.append(p)
        codes.append(257)
        for c in codes:
            value |= c << bits
            bits += 9
            while bits >= 8:
                out.append(value & 255)
                value >>= 8
                bits -= 8
        if bits:
            out.append(value)
        return b''.join(bytes([len(out[i:i + 255])]) + out[i:i + 255] for i in range(0, len(out), 255)) + b'\0'
    data = b'GIF89a' + struct.pack('<HHBBB', width, height, 0, 0, 0)
    data += b'\x21\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00'
    for delay, palette, pixels in frames:
        data += struct.pack('<BBBBHBB', 0x21, 0xF9, 4, 0, delay // 10, 0, 0)
        data += struct.pack('<BHHHHB', 0x2C, 0, 0, width, height, 0x87) + palette + b'\x08' + lzw(pixels)
    with open(path, 'wb') as f:
        f.write(data + b'\x3b')


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

        # The sample: 80 ms a frame, 12.5 frames per second, 1.92 s.
        r = run(['ffprobe', '-v', 'error', '-show_entries', 'stream=r_frame_rate:format=duration', '-of', 'csv=p=0', out])
        check(r.stdout.split() == ['25/2', '1.920000'], f'the sample plays 12.5 frames per second for 1.92 s: {r.stdout}')

        # The rate follows the delay exactly; an odd width has padded rows.
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
        check(r.stdout.strip() == '100/7', f'70 ms gives 100/7 frames per second, got {r.stdout.strip()}')

        # Delays that vary: the rate follows their greatest common divisor
        # (50 ms), and the palette changes between frames.
        gif = os.path.join(tmp, 'varying.gif')
        write_gif(gif, 9, 5, [(100, bytes((v * 3) & 255 for v in range(768)), bytes(range(45))),
                              (350, bytes((v * 5) & 255 for v in range(768)), bytes(range(45, 90))),
                              (50, bytes((v * 7) & 255 for v in range(768)), bytes(range(90, 135)))])
        avi = os.path.join(tmp, 'varying.avi')
        r = run([opts.movrel, 'export', gif, avi])
        check(r.returncode == 0, f'export varying: {r.stderr}')
        check_avi(check, opts.movrel, gif, avi, 'varying')

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
        check(r.returncode == 1 and r.stderr.strip() == f'movrel: Write error: the file is too large: {target}',
              f'past the file size limit: {r.stderr}')
        check(open(target, 'rb').read() == b'the old export', 'a failed export keeps the old file')
        check(os.listdir(keep) == ['old.avi'], f'a failed export leaves nothing else: {os.listdir(keep)}')
        r = run([opts.movrel, 'export', opts.sample, os.path.join(tmp, 'no', 'dir.avi')])
        check(r.returncode == 1 and 'Write error' in r.stderr, f'export into a missing directory: {r.stderr}')

    print(f'{len(failures)} failure(s)')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
