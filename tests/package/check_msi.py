"""Checks the tables of korvlog's installer package with msiinfo, and the korvlog.exe inside it
with msiextract: what is installed where, how the service is registered, started, stopped and
removed, the order of those steps, the upgrade rules and the DRIVERS property.
Usage: check_msi.py PACKAGE KORVLOG_EXE VERSION MAKER"""

import os
import subprocess
import sys
import tempfile

from pe import PeFile

failures = []


def check(ok, what):
    print(("ok: " if ok else "FAIL: ") + what)
    if not ok:
        failures.append(what)


def table(package, name):
    """The rows of a table as lists of columns (msiinfo's export, without its three header lines)."""
    out = subprocess.run(["msiinfo", "export", package, name], capture_output=True, text=True, check=True).stdout
    return [line.split("\t") for line in out.replace("\r\n", "\n").split("\n")[3:] if line]


def main(package, exe, version, maker):
    arch = "x86" if PeFile(exe).machine == 0x14C else "x64"
    x64 = arch == "x64"
    suminfo = subprocess.run(["msiinfo", "suminfo", package], capture_output=True, text=True, check=True).stdout
    check(f"Template: {'x64' if x64 else 'Intel'};1033" in suminfo, f"the package is for {arch}, in U.S. English")
    check(f"Author: {maker}" in suminfo, f"its author is {maker}")

    properties = dict(row[:2] for row in table(package, "Property"))
    check(properties.get("ProductVersion") == version, f"product version {version}")
    check(properties.get("ProductName") == "korvlog" and properties.get("Manufacturer") == maker,
          "product name korvlog, manufacturer " + maker)
    check("DRIVERS" in properties.get("SecureCustomProperties", "").split(";"),
          "DRIVERS reaches the installation's server side (SecureCustomProperties)")
    check("DRIVERS" not in properties, "DRIVERS has no default")

    # Where korvlog.exe goes, and that it is this build's.
    directories = {row[0]: row[1:] for row in table(package, "Directory")}
    check(directories.get("INSTALLDIR") == [f"ProgramFiles{'64' if x64 else ''}Folder", "korvlog"],
          f"installed to {'ProgramFiles64Folder' if x64 else 'ProgramFilesFolder'}\\korvlog: {directories}")
    components = table(package, "Component")
    check(len(components) == 1 and components[0][3] == ("256" if x64 else "0"),
          f"one component, {'64' if x64 else '32'}-bit: {components}")
    files = table(package, "File")
    size = os.path.getsize(exe)
    check(len(files) == 1 and files[0][2:6] == ["korvlog.exe", str(size), f"{version}.0", "1033"],
          f"one file, korvlog.exe of {size} bytes and version {version}.0: {files}")
    check(table(package, "MsiFileHash") == [], "no file hash: korvlog.exe is compared by its version")
    with tempfile.TemporaryDirectory() as folder:
        subprocess.run(["msiextract", "-C", folder, package], capture_output=True, check=True)
        extracted = [os.path.join(d, f) for d, _, names in os.walk(folder) for f in names]
        check(len(extracted) == 1 and extracted[0].endswith(os.path.join("korvlog", "korvlog.exe")) and
              open(extracted[0], "rb").read() == open(exe, "rb").read(), "the packaged korvlog.exe is this build's")

    # The service: registered by korvlog.exe itself, started, stopped and removed.
    check(table(package, "ServiceInstall") == [], "no ServiceInstall row: korvlog.exe registers the service")
    check(table(package, "ServiceControl") == [["korvlog", "korvlog", "33", "", "1", "korvlog.exe"]],
          "korvlog is started at installation and stopped at removal (33), waiting for each")
    actions = {row[0]: row[1:] for row in table(package, "CustomAction")}
    # 3090: an executable of the File table, deferred, not impersonated; 3410: the same as a
    # rollback action whose exit code is ignored; 51 in the low bits: sets a property.
    command = '-d "[DRIVERS]"'
    expected = {
        "RegisterService": ["3090", "korvlog.exe", f"-i korvlog {command}"],
        "RegisterServiceRollback": ["3410", "korvlog.exe", f"-u korvlog {command}"],
        "UnregisterService": ["3090", "korvlog.exe", f"-u korvlog {command}"],
        "RestoreDrivers": ["51", "DRIVERS", "[KORVLOG_SAVED_DRIVERS]"],
    }
    for name, (kind, source, target) in expected.items():
        got = actions.get(name, [""])
        same_kind = got[0] == kind if kind != "51" else got[0].isdigit() and int(got[0]) & 0x3F == 51
        check(same_kind and got[1:3] == [source, target], f"custom action {name}: {got[:3]}")

    sequence = {row[0]: (int(row[2]), row[1]) for row in table(package, "InstallExecuteSequence")}

    def order(*names):
        at = [sequence.get(n, (None,))[0] for n in names]
        check(None not in at and at == sorted(at) and len(set(at)) == len(at), " < ".join(names) + f": {at}")

    order("AppSearch", "RestoreDrivers", "LaunchConditions")
    order("InstallValidate", "RemoveExistingProducts", "InstallInitialize")
    order("StopServices", "UnregisterService", "DeleteServices", "RemoveFiles")
    order("InstallFiles", "RegisterServiceRollback", "RegisterService", "WriteRegistryValues", "StartServices")
    conditions = {name: sequence.get(name, (0, None))[1] for name in expected}
    check(conditions == {"RegisterService": "NOT Installed AND NOT REMOVE",
                         "RegisterServiceRollback": "NOT Installed AND NOT REMOVE",
                         "UnregisterService": 'REMOVE="ALL" AND KORVLOG_SERVICE',
                         "RestoreDrivers": "NOT DRIVERS"}, f"the custom actions' conditions: {conditions}")

    # Upgrades, the launch conditions and the remembered driver list.
    upgrade = sorted(row[1:] for row in table(package, "Upgrade"))
    check(upgrade == [["0.0.0", version, "", "256", "", "KORVLOG_OLDER"],
                      [version, "", "", "2", "", "KORVLOG_NEWER"]],
          f"every older version is upgraded, a newer one only detected: {upgrade}")
    launch = [row[0] for row in table(package, "LaunchCondition")]
    check(sorted(launch) == sorted(["NOT KORVLOG_NEWER", "Installed OR KORVLOG_OLDER OR NOT KORVLOG_SERVICE",
                                    "Installed OR DRIVERS"]), f"the launch conditions: {launch}")
    registry = [row[1:5] for row in table(package, "Registry")]
    check(registry == [["2", "SOFTWARE\\korvlog", "Drivers", "[DRIVERS]"]], f"DRIVERS is kept: {registry}")
    view = "18" if x64 else "2"  # raw, in the 64-bit view for x64
    locators = sorted(row for row in table(package, "RegLocator"))
    check(locators == [["SavedDrivers", "2", "SOFTWARE\\korvlog", "Drivers", view],
                       ["ServiceImagePath", "2", "SYSTEM\\CurrentControlSet\\Services\\korvlog", "ImagePath", view]],
          f"the searches of the kept list and of an installed service: {locators}")

    print(f"{len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
