#!/usr/bin/env python3
"""The installer under Wine: a silent install into a fresh prefix, the
installed program serving the export a user adds, a silent uninstall.

Usage: installer_test.py SETUP_EXE WINTOOL_EXE"""
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine  # noqa: E402

FOLDER = "Program Files/Nimbora NFS Server"


def main(setup_exe, wintool_exe):
    checks = wine.Checks()
    check = checks.check
    prefix = wine.Prefix()
    try:
        c = prefix.drive_c
        shutil.copy(setup_exe, f"{c}/setup.exe")
        shutil.copy(wintool_exe, f"{c}/wintool.exe")
        r = prefix.run("C:\\setup.exe", "/S")
        home = f"{c}/{FOLDER}"
        check("the silent install ends with 0", r.returncode == 0, r.stderr)
        for part in ("nfsd.exe", "exports", "doc/nfsd.htm", "Languages/deutsch.dll", "Uninstall.exe"):
            check(f"it installs {part}", os.path.exists(f"{home}/{part}"))
        menu = f"{c}/ProgramData/Microsoft/Windows/Start Menu/Programs/Nimbora NFS Server"
        check("it adds a Start-menu entry", os.path.isdir(menu) and any(
            n.lower().endswith(".lnk") for n in os.listdir(menu)), menu)
        with open(f"{home}/exports") as f:
            example = f.read()
        check("the example exports nothing", all(not line.strip() or line.startswith("#")
                                                 for line in example.splitlines()))
        os.makedirs(f"{c}/data", exist_ok=True)
        with open(f"{home}/exports", "a") as f:
            f.write("c:\\data -name:data\n")
        server = prefix.start(f"C:\\{FOLDER}\\nfsd.exe".replace("/", "\\"))
        check("the installed program starts", wine.wait_registered())
        out = wine.sh("showmount", "-e", "127.0.0.1").stdout
        check("it lists the export", "/data" in out, out)
        r = prefix.run("C:\\wintool.exe", "exit")
        check("Exit ends it", r.returncode == 0 and server.wait(60) == 0, r.stderr)
        r = prefix.run(f"C:\\{FOLDER}\\Uninstall.exe".replace("/", "\\"), "/S")
        # The uninstaller copies itself away and goes on from there.
        check("the silent uninstall removes the program",
              wine.wait(lambda: not os.path.exists(f"{home}/nfsd.exe"), 60))
    finally:
        prefix.close()
    return checks.summary()


if __name__ == "__main__":
    wine.enter_namespace_with_display()
    sys.exit(main(sys.argv[1], sys.argv[2]))
