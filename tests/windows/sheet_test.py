#!/usr/bin/env python3
"""The settings sheet of nfsd.exe under Wine, driven by wintool.exe as a
user would drive it: the texts in English and German, the shared table of
page rules against the registry, the Exports, Mounts and PortMapper lists
against what showmount, a libnfs mount and rpcinfo see, and the language
switch seen at the next opening. Keeps a screenshot of every page.

Usage: sheet_test.py NFSD_EXE WINTOOL_EXE LANGUAGES_DIR SHOTS_DIR"""
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine  # noqa: E402

EXPORT = "/data"


def host_rows(*cmd, skip=0):
    out = wine.sh(*cmd, "127.0.0.1").stdout
    return out, [line.split() for line in out.splitlines()[skip:] if line.strip()]


class Run(wine.Checks):
    def __init__(self, nfsd, tool, languages, shots):
        self.prefix = wine.Prefix()
        self.srv = f"{self.prefix.drive_c}/srv/nfsd"
        self.shots = shots
        os.makedirs(f"{self.srv}/Languages")
        os.makedirs(f"{self.prefix.drive_c}/data")
        shutil.copy(nfsd, f"{self.srv}/nfsd.exe")
        shutil.copy(tool, f"{self.srv}/wintool.exe")
        shutil.copy(os.path.join(languages, "deutsch.dll"), f"{self.srv}/Languages")
        with open(f"{self.srv}/exports", "w") as f:
            f.write("c:\\data -name:data\nc:\\data -bogus\n")
        super().__init__()

    def tool(self, what, *args):
        r = self.prefix.run("C:\\srv\\nfsd\\wintool.exe", what, *args, timeout=600)
        lines = r.stdout.splitlines()
        sys.stdout.write("".join(f"  {line}\n" for line in lines if line[:4] in ("ok  ", "FAIL")))
        self.check(f"wintool {what} {' '.join(args)}", r.returncode == 0, r.stderr)
        rows = {}
        for line in lines:
            if line.startswith("R\t"):
                rows.setdefault(int(line.split("\t")[1]), []).append(line.split("\t")[2:])
        return rows

    def texts(self, module, name):
        folder = f"{self.prefix.drive_c}/shots/{name}"
        os.makedirs(folder)
        rows = self.tool("texts", module, f"C:\\shots\\{name}")
        shutil.copytree(folder, os.path.join(self.shots, name), dirs_exist_ok=True)
        return rows

    def lists(self, rows):
        out, shown = host_rows("showmount", "-e", skip=1)
        exported = {r[0] for r in shown}
        self.check("the Exports list is what showmount -e sees",
                   {r[0] for r in rows.get(2, [])} == exported and EXPORT in exported, (rows, out))
        out, shown = host_rows("showmount", "--no-headers", "-a")
        self.check("the Mounts list is what showmount -a sees, with the libnfs mount",
                   {tuple(r) for r in rows.get(3, [])} == {tuple(r[0].split(":", 1)) for r in shown}
                   and any(r[1] == EXPORT for r in rows.get(3, [])), (rows, out))
        out, shown = host_rows("rpcinfo", "-p", skip=1)
        listed = {(r[0], r[1], r[2].lower(), r[3]) for r in rows.get(4, [])}
        self.check("the PortMapper list is what rpcinfo -p sees",
                   listed == {tuple(r[:4]) for r in shown} and len(listed) >= 10, (listed, out))
        self.check("the Language page lists the program and the German module",
                   [r[0] for r in rows.get(5, [])] == ["nfsd", "deutsch.dll"], rows.get(5))

    def main(self):
        try:
            self.prefix.start("C:\\srv\\nfsd\\nfsd.exe")
            self.check("nfsd.exe starts and registers", wine.wait_registered())
            r = wine.sh("nfs-ls", "nfs://127.0.0.1" + EXPORT)
            self.check("a libnfs client mounts the export", r.returncode == 0, r.stderr)
            self.lists(self.texts("-", "en"))
            self.tool("rules")
            self.tool("language", "deutsch.dll")
            self.texts("deutsch.dll", "de")
            self.tool("language", "nfsd")
            self.texts("-", "en-again")
        finally:
            self.prefix.close()
        return self.summary()


if __name__ == "__main__":
    wine.enter_namespace_with_display()
    sys.exit(Run(*sys.argv[1:5]).main())
