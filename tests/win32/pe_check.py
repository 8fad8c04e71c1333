#!/usr/bin/env python3
"""The Windows binaries import only system libraries (the runtime is linked in
statically), and the plug-in exports exactly the lister functions it supports by
their plain names, built for the machine its file name promises, with a
version resource that names it. The 64-bit plug-in keeps its window state
through the pointer-sized user-data calls: the 32-bit ones would cut the
pointer."""
import argparse
import os
import re
import subprocess
import sys

SYSTEM_DLLS = {'kernel32.dll', 'user32.dll', 'gdi32.dll', 'msvcrt.dll', 'comdlg32.dll', 'avifil32.dll', 'msvfw32.dll',
               'advapi32.dll', 'winspool.drv', 'comctl32.dll'}
PLUGIN_MACHINES = {'.wlx': 'pei-i386', '.wlx64': 'pei-x86-64'}


PLUGIN_EXPORTS = sorted(['ListLoad', 'ListLoadW', 'ListLoadNext', 'ListLoadNextW', 'ListGetDetectString',
                         'ListGetPreviewBitmap', 'ListGetPreviewBitmapW', 'ListPrint', 'ListPrintW', 'ListSendCommand',
                         'ListSetDefaultParams'])


def exports(dump):
    names, inside = [], False
    for line in dump.splitlines():
        if line.startswith('[Ordinal/Name Pointer] Table'):
            inside = True
            continue
        if inside:
            m = re.match(r'\s+\[\s*\d+\]\s+(\S+)', line)
            if not m:
                break
            names.append(m.group(1))
    return names


def imported_functions(dump):
    names = set()
    for line in dump.splitlines():
        m = re.match(r'\s+[0-9a-f]+\s+\d+\s+(\w+)$', line)
        if m:
            names.add(m.group(1))
    return names


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--objdump', required=True)
    ap.add_argument('files', nargs='+')
    opts = ap.parse_args()
    failures = []
    for path in opts.files:
        name = os.path.basename(path)
        dump = subprocess.run([opts.objdump, '-p', path], capture_output=True, text=True, check=True).stdout
        imports = sorted({m.lower() for m in re.findall(r'DLL Name: (\S+)', dump)})
        foreign = [dll for dll in imports if dll not in SYSTEM_DLLS]
        if foreign:
            failures.append(f'{name} imports non-system libraries: {", ".join(foreign)}')
        ext = os.path.splitext(name)[1].lower()
        if ext in PLUGIN_MACHINES:
            names = exports(dump)
            if sorted(names) != PLUGIN_EXPORTS:
                failures.append(f'{name} exports {names}, not exactly {PLUGIN_EXPORTS}')
            functions = imported_functions(dump)
            if ext == '.wlx64' and ({'GetWindowLongA', 'SetWindowLongA'} & functions or
                                    not {'GetWindowLongPtrA', 'SetWindowLongPtrA'} <= functions):
                failures.append(f'{name} does not keep its state through Get/SetWindowLongPtrA alone')
            fmt = re.search(r'file format (\S+)', dump)
            if not fmt or fmt.group(1) != PLUGIN_MACHINES[ext]:
                failures.append(f'{name} is {fmt.group(1) if fmt else "unknown"}, expected {PLUGIN_MACHINES[ext]}')
            # The version resource names this build: its own file name, the version.
            with open(path, 'rb') as f:
                data = f.read()
            for key, value in (('OriginalFilename', 'Movrel' + ext), ('FileVersion', '1.0.0.0')):
                wide = [re.escape(text.encode('utf-16-le')) for text in (key, value)]
                if not re.search(wide[0] + b'(\0\0)+' + wide[1] + b'\0\0', data):  # NUL, padded to 4 bytes
                    failures.append(f'{name}: its version resource has no {key} "{value}"')
        print(f'{name}: imports {", ".join(imports)}' + (f'; exports {", ".join(exports(dump))}' if ext in PLUGIN_MACHINES else ''))
    for f in failures:
        print('FAIL', f)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
