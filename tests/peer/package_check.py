#!/usr/bin/env python3
"""The install package: Total Commander installs a zip whose pluginst.inf
names a lister plug-in (type=wlx) and its file, which must be in the zip
with the 64-bit DLL beside it under the same name plus "64"."""
import configparser
import struct
import sys
import zipfile

from checks import Checks

MACHINES = {'Movrel.wlx': 0x14C, 'Movrel.wlx64': 0x8664}  # i386, x86-64


def pe_machine(data):
    if data[:2] != b'MZ':
        return None
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    return struct.unpack_from('<H', data, pe + 4)[0] if data[pe:pe + 4] == b'PE\0\0' else None


def main():
    check = Checks()
    with zipfile.ZipFile(sys.argv[1]) as z:
        names = sorted(z.namelist())
        check(names == sorted(['Movrel.wlx', 'Movrel.wlx64', 'pluginst.inf', 'readme.txt']), f'the zip holds {names}')
        inf = configparser.ConfigParser()
        inf.read_string(z.read('pluginst.inf').decode('ascii'))
        section = inf['plugininstall'] if inf.has_section('plugininstall') else {}
        check(section.get('type') == 'wlx', f'type is {section.get("type")!r}, not wlx')
        plugin = section.get('file', '')
        check(plugin in names and plugin + '64' in names, f'file={plugin!r} and its 64-bit twin are not both in the zip')
        for key in ('description', 'defaultdir', 'version'):
            check(section.get(key), f'pluginst.inf has no {key}')
        for name, machine in MACHINES.items():
            check(name not in names or pe_machine(z.read(name)) == machine, f'{name} is not a DLL for machine {machine:#x}')
    return check.report()


if __name__ == '__main__':
    sys.exit(main())
