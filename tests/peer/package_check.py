#!/usr/bin/env python3
"""The install package: Total Commander installs a zip whose pluginst.inf
names a lister plug-in (type=wlx) and its file, which must be in the zip
with the 64-bit DLL beside it under the same name plus "64"."""
import configparser
import struct
import sys
import zipfile

MACHINES = {'Movrel.wlx': 0x14C, 'Movrel.wlx64': 0x8664}  # i386, x86-64


def pe_machine(data):
    if data[:2] != b'MZ':
        return None
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    return struct.unpack_from('<H', data, pe + 4)[0] if data[pe:pe + 4] == b'PE\0\0' else None


def main():
    failures = []
    with zipfile.ZipFile(sys.argv[1]) as z:
        names = sorted(z.namelist())
        if names != sorted(['Movrel.wlx', 'Movrel.wlx64', 'pluginst.inf', 'readme.txt']):
            failures.append(f'the zip holds {names}')
        inf = configparser.ConfigParser()
        inf.read_string(z.read('pluginst.inf').decode('ascii'))
        section = inf['plugininstall'] if inf.has_section('plugininstall') else {}
        if section.get('type') != 'wlx':
            failures.append(f'type is {section.get("type")!r}, not wlx')
        plugin = section.get('file', '')
        if plugin not in names or plugin + '64' not in names:
            failures.append(f'file={plugin!r} and its 64-bit twin are not both in the zip')
        for key in ('description', 'defaultdir', 'version'):
            if not section.get(key):
                failures.append(f'pluginst.inf has no {key}')
        for name, machine in MACHINES.items():
            if name in names and pe_machine(z.read(name)) != machine:
                failures.append(f'{name} is not a DLL for machine {machine:#x}')
    for f in failures:
        print('FAIL', f)
    print(f'{len(failures)} failures')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
