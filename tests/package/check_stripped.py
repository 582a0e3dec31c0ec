"""korvlog.exe carries no debug information, and the file beside it that its debug link names
holds it: the link's file name and CRC match that file, which has the debug sections.
Usage: check_stripped.py KORVLOG_EXE"""

import os
import struct
import sys
import zlib

from pe import PeFile

failures = []


def check(ok, what):
    print(("ok: " if ok else "FAIL: ") + what)
    if not ok:
        failures.append(what)


def main(exe):
    image = PeFile(exe)
    names = [s[0] for s in image.sections]
    debug = [n for n in names if n.startswith(".debug")]
    check(not debug, f"no debug sections in {os.path.basename(exe)}: {debug}")
    link = image.section(".gnu_debuglink")
    check(link is not None, "a debug link")
    if link is None:
        return 1
    name = link[:link.index(b"\0")].decode()
    crc = struct.unpack_from("<I", link, (len(name) + 4) & ~3)[0]
    path = os.path.join(os.path.dirname(exe), name)
    check(name == os.path.basename(exe) + ".debug", f"the link names {name}")
    check(os.path.isfile(path), f"{name} lies beside the executable")
    if os.path.isfile(path):
        with open(path, "rb") as f:
            check(zlib.crc32(f.read()) == crc, "the link's CRC is that of the debug file")
        held = [s[0] for s in PeFile(path).sections]
        check(".debug_info" in held and ".debug_line" in held, "the debug file holds the debug information")
    print(f"{len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
