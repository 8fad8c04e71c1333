#!/usr/bin/env python3
"""The plug-in's detect string, read from shell/detect_string.h and evaluated
the way the file manager does (its documented syntax: = < > <> with ! for
not, then &, then |, parentheses; EXT, [n], FIND, FINDI, SIZE, FORCE,
MULTIMEDIA) against real files: every FLIC the tool loads is offered, with
or without forcing; no GIF, BMP, PCX or TGA file is taken from the file
manager's own viewer unless the user forces the plug-in."""
import argparse
import os
import re
import subprocess
import sys
import tempfile

from checks import Checks


def detect_string(header):
    text = open(header).read()
    body = text[text.index('kDetectString[] ='):text.index(';', text.index('kDetectString[] ='))]
    return ''.join(bytes(s, 'ascii').decode('unicode_escape') for s in re.findall(r'"((?:[^"\\]|\\.)*)"', body))


TOKEN = re.compile(r'\s*(?:(\[\d+\])|("[^"]*")|(\d+)|(<>|!=|[=<>!&|()])|([A-Z]+))')


def tokens(text):
    out, at = [], 0
    while at < len(text.rstrip()):
        m = TOKEN.match(text, at)
        if not m:
            raise ValueError(f'cannot read the detect string at {text[at:]!r}')
        out.append(next(g for g in m.groups() if g is not None))
        at = m.end()
    return out


class Evaluator:
    """Recursive descent: or := and ('|' and)*; and := cmp ('&' cmp)*; cmp := term [op term]."""

    def __init__(self, toks, name, data, force):
        self.t, self.i = toks, 0
        self.ext = os.path.splitext(name)[1][1:].upper()
        self.head, self.size, self.force = data[:8192], len(data), force

    def peek(self):
        return self.t[self.i] if self.i < len(self.t) else None

    def take(self):
        self.i += 1
        return self.t[self.i - 1]

    def value(self):
        tok = self.take()
        if tok == '(':
            v = self.disjunction()
            assert self.take() == ')'
            return v
        if tok == '!':
            return not self.value()
        if tok.startswith('['):
            n = int(tok[1:-1])
            return self.head[n] if n < len(self.head) else None
        if tok.startswith('"'):
            s = tok[1:-1]
            return ord(s) if len(s) == 1 else s
        if tok.isdigit():
            return int(tok)
        if tok == 'EXT':
            return self.ext
        if tok == 'SIZE':
            return self.size
        if tok == 'FORCE':
            return self.force
        if tok == 'MULTIMEDIA':
            return True
        if tok in ('FIND', 'FINDI'):
            assert self.take() == '('
            s = self.take()[1:-1].encode()
            assert self.take() == ')'
            return (s.lower() in self.head.lower()) if tok == 'FINDI' else (s in self.head)
        raise ValueError(f'unknown term {tok}')

    def comparison(self):
        left = self.value()
        if self.peek() in ('=', '<', '>', '<>', '!='):
            op, right = self.take(), self.value()
            if isinstance(left, str) and isinstance(right, int):
                right = chr(right)
            if isinstance(left, str):
                left, right = left.upper(), right.upper()
            if left is None:
                return False
            return {'=': left == right, '<>': left != right, '!=': left != right,
                    '<': left < right, '>': left > right}[op]
        return bool(left)

    def conjunction(self):
        v = self.comparison()
        while self.peek() == '&':
            self.take()
            v = self.comparison() and v
        return v

    def disjunction(self):
        v = self.conjunction()
        while self.peek() == '|':
            self.take()
            v = self.conjunction() or v
        return v

    def run(self):
        v = self.disjunction()
        assert self.peek() is None, f'left over: {self.t[self.i:]}'
        return v


def offered(toks, name, data, force=False):
    return Evaluator(toks, name, data, force).run()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--header', required=True)
    ap.add_argument('--movrel', required=True)
    ap.add_argument('--corpus', required=True)
    ap.add_argument('--sample', required=True)
    opts = ap.parse_args()
    check = Checks()

    text = detect_string(opts.header)
    check(len(text) < 512, f'the detect string has {len(text)} characters, far from the host limit of 2 KB')
    toks = tokens(text)

    flics = files = 0
    for root, _, names in os.walk(opts.corpus):
        for name in sorted(names):
            path = os.path.join(root, name)
            data = open(path, 'rb').read()
            ext = os.path.splitext(name)[1].upper()
            if ext in ('.FLI', '.FLC'):
                loads = subprocess.run([opts.movrel, 'info', path], capture_output=True).returncode == 0
                if loads:
                    flics += 1
                    check(offered(toks, name, data), f'{path}: a FLIC that loads is not offered')
                    check(not offered(toks, name + '.dat', data), f'{path}: offered under another extension')
                    check(offered(toks, name + '.dat', data, force=True), f'{path}: not offered when forced')
            elif ext in ('.GIF', '.BMP', '.PCX', '.TGA'):
                files += 1
                check(not offered(toks, name, data), f'{path}: taken from the host\'s own viewer')
                check(offered(toks, name, data, force=True), f'{path}: not offered when forced')
    check(flics >= 10 and files >= 100, f'too few corpus files seen: {flics} FLIC, {files} others')

    sample = open(opts.sample, 'rb').read()
    check(offered(toks, 'anim.CEL', sample), 'an Animator Pro CEL (a FLC) is not offered')
    check(not offered(toks, 'notes.flc', b'just some text, no animation\n'), 'a text file named .flc is offered')
    check(not offered(toks, 'tiny.fli', b'\0\0\0\0\x11'), 'a file too short for the magic is offered')
    with tempfile.TemporaryDirectory() as tmp:
        spr = os.path.join(tmp, 'anim.spr')
        subprocess.run([opts.movrel, 'export', opts.sample, spr], check=True)
        check(offered(toks, 'anim.spr', open(spr, 'rb').read()), 'a Pro Motion file is not offered')

    return check.report(f'{flics} FLIC and {files} other corpus files')


if __name__ == '__main__':
    sys.exit(main())
