"""Reads the version resource and the manifest back from korvlog.exe and checks them against the
project's one definition of the version, and the usage text of the Linux build against both.
Usage: check_version.py KORVLOG_EXE VERSION DESCRIPTION MAKER [KORVLOG_LINUX]"""

import os
import subprocess
import sys
import xml.etree.ElementTree as ET

from pe import PeFile, version_info

RT_VERSION, RT_MANIFEST = 16, 24
US_ENGLISH, UNICODE = 0x0409, 1200

failures = []


def check(ok, what):
    print(("ok: " if ok else "FAIL: ") + what)
    if not ok:
        failures.append(what)


def main(exe, version, description, maker, linux=None):
    major, minor, patch = (int(x) for x in version.split("."))
    notice = f"Copyright (c) {maker}"
    resources = PeFile(exe).resources()
    check(sorted(k[0] for k in resources) == [11, RT_VERSION, RT_MANIFEST],
          f"one message table, one version resource and one manifest: {sorted(resources)}")

    block = resources.get((RT_VERSION, 1, US_ENGLISH))
    check(block is not None, "a version resource of name 1 in U.S. English")
    if block is not None:
        fixed, strings, translations, tables = version_info(block)
        number = (major << 16 | minor, patch << 16)
        check(fixed[0] == 0xFEEF04BD and fixed[1] == 0x10000, "the fixed file information's signature and layout")
        check(fixed[2:4] == number, f"file version {version}.0: {fixed[2] >> 16}.{fixed[2] & 0xFFFF}."
                                    f"{fixed[3] >> 16}.{fixed[3] & 0xFFFF}")
        check(fixed[4:6] == number, f"product version {version}.0")
        check(fixed[7] == 0, "no file flags (not a debug, pre-release or private build)")
        check(fixed[8:11] == (0x40004, 1, 0), "an application for 32-bit Windows NT")
        expected = {
            "FileDescription": description,
            "FileVersion": version,
            "InternalName": "korvlog",
            "LegalCopyright": notice,
            "OriginalFilename": "korvlog.exe",
            "ProductName": "korvlog",
            "ProductVersion": version,
        }
        check(strings == expected, f"the strings {strings}")
        check(translations == [(US_ENGLISH, UNICODE)] and tables == ["040904B0"],
              f"one string table, U.S. English in Unicode, as the translation says: {tables} {translations}")

    manifest = resources.get((RT_MANIFEST, 1, US_ENGLISH))
    check(manifest is not None, "the application manifest (type 24, name 1)")
    if manifest is not None:
        root = ET.fromstring(manifest)
        level = root.find(".//{urn:schemas-microsoft-com:asm.v3}requestedExecutionLevel")
        check(level is not None and level.get("level") == "asInvoker", "requested execution level asInvoker")
        check(root.find("{urn:schemas-microsoft-com:asm.v1}assemblyIdentity") is None,
              "no assembly identity, which older Windows would hold the executable to")
        systems = root.findall(".//{urn:schemas-microsoft-com:compatibility.v1}supportedOS")
        check(len(systems) == 5, "Windows Vista to 10 named as supported")

    if linux and not os.path.exists(linux):
        print(f"not compared with the usage text: no Linux build at {linux}")
    elif linux:
        usage = subprocess.run([linux], capture_output=True, env={"KSIM_MODULE_PATH": "C:\\korvlog\\korvlog.exe"})
        shown = f"v{major}.{minor}" + (f".{patch}" if patch else "")
        line = f"Version {shown}  {notice}\r\n".encode()
        check(line in usage.stdout, f"the usage text of the Linux build shows [{line.decode().strip()}]")
        check(usage.stdout.startswith(f"korvlog - {description}\r\n".encode()), "the usage text's description")

    print(f"{len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
