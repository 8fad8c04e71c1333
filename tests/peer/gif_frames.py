"""Shared helpers of the GIF peer tests: frames as dump_frames writes them,
and a walk over a GIF's blocks."""
import subprocess


def load_frames(dump_frames, path, timeout=120):
    """(frames, stderr, returncode); each frame a dict with width, height,
    delay (ms), depth and rgb (packed top-down RGB24 bytes)."""
    run = subprocess.run([dump_frames, path], capture_output=True, timeout=timeout)
    frames, data, pos = [], run.stdout, 0
    while pos < len(data):
        end = data.index(b'\n', pos)
        _, w, h, delay, depth = data[pos:end].split()
        w, h = int(w), int(h)
        size = w * h * 3
        frames.append({'width': w, 'height': h, 'delay': int(delay), 'depth': int(depth),
                       'rgb': data[end + 1:end + 1 + size]})
        pos = end + 1 + size
    return frames, run.stderr.decode(errors='replace'), run.returncode


def image_blocks(data):
    """Per image block: (left, top, width, height, delay or None), walking
    extensions sub-block by sub-block; stops at the trailer or a damaged block."""
    if len(data) < 13:
        return []
    pos = 13 + (3 * (2 << (data[10] & 7)) if data[10] & 0x80 else 0)
    blocks, delay = [], None

    def skip_sub_blocks(p):
        while p < len(data) and data[p]:
            p += 1 + data[p]
        return p + 1

    while pos < len(data):
        b = data[pos]
        if b == 0x3B:
            break
        if b == 0x21 and pos + 1 < len(data):
            if data[pos + 1] == 0xF9 and pos + 6 < len(data) and data[pos + 2] >= 4:
                delay = data[pos + 4] | data[pos + 5] << 8
            pos = skip_sub_blocks(pos + 2)
        elif b == 0x2C and pos + 10 <= len(data):
            left, top, w, h = (data[pos + 1 + 2 * k] | data[pos + 2 + 2 * k] << 8 for k in range(4))
            packed = data[pos + 9]
            pos += 10 + (3 * (2 << (packed & 7)) if packed & 0x80 else 0)
            blocks.append((left, top, w, h, delay))
            delay = None
            pos = skip_sub_blocks(pos + 1)
        else:
            pos += 1
    return blocks
