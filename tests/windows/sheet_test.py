#!/usr/bin/env python3
"""The settings sheet of nfsd.exe under Wine, driven by sheettool.exe as a
user would drive it: texts in English and German, the shared table of page
rules against the registry, the Exports, Mounts and PortMapper lists against
what showmount, a libnfs mount and rpcinfo see, one sheet at a time, and the
language switch. Saves a PNG of every page in both languages.

Usage: sheet_test.py NFSD_EXE SHEETTOOL_EXE LANGUAGES_DIR SOURCE_DIR SHOTS_DIR"""
import os
import shutil
import struct
import sys
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine  # noqa: E402

EXPORT = "/data"
# Entries of the string table that the pages show, by control or heading.
PAGE_TEXTS = {0: [36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48], 1: [36, 49, 50, 51, 52, 53, 54, 55],
              2: [56], 5: [65, 58]}
LIST_HEADINGS = {2: [13, 14, 15], 3: [19, 20], 4: [16, 7, 17, 18], 5: [5, 6, 7]}
ENGLISH = {25: "Line %u ignored, unknown option", 30: "NFS", 31: "Server", 32: "Exports", 33: "Mounts", 34: "PortMapper", 35: "Language",
           5: "Module", 6: "Language", 7: "Version", 13: "Directory", 14: "Options", 15: "Clients",
           16: "Program", 17: "Protocol", 18: "Port", 19: "Client", 20: "Mount Point",
           36: "Modifications are activated after server restart", 37: "Mount Daemon Port:",
           38: "NFS Server Port:", 39: "Number of UDP NFS Server Threads:",
           40: "Maximum NFS transfer size (bytes):", 41: "UDP", 42: "TCP", 43: "Version 2",
           44: "Version 3", 45: "Async write for NFS-2 (faster)", 46: "Allow unix style soft links",
           47: "Emulate hard links by a file copy for other volumes.", 48: "&Help",
           49: "Use built-in portmapper", 50: "Allow mount of remote devices",
           51: "Reset inode-table on restart of server (needs restart of clients)",
           52: "Convert Windows drive letters to lower case",
           53: "Extended character set used by clients", 54: "Windows (ANSI) character set",
           55: "UTF-8 character set", 56: "&Edit exports file", 58: "Translation by:",
           65: "Current language:"}


def module_texts(path):
    texts = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            number, eq, text = line.rstrip("\r\n").partition("=")
            if eq and number.isdigit():
                texts[int(number)] = text
    return texts


def bmp_to_png(bmp, png):
    data = open(bmp, "rb").read()
    offset, = struct.unpack_from("<I", data, 10)
    width, height = struct.unpack_from("<ii", data, 18)
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height - 1, -1, -1):
        row = data[offset + y * stride: offset + y * stride + width * 3]
        rows.append(b"\0" + bytes(b for i in range(0, len(row), 3) for b in (row[i + 2], row[i + 1], row[i])))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    with open(png, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(b"".join(rows))) + chunk(b"IEND", b""))


class Dump:
    """What `sheettool dump` saw: tab titles, controls by (page, id), lists."""

    def __init__(self, out):
        self.titles, self.controls, self.headings, self.rows = {}, {}, {}, {}
        for line in out.splitlines():
            f = line.split("\t")
            if f[0] == "T":
                self.titles[int(f[1])] = f[2]
            elif f[0] == "C":
                self.controls[(int(f[1]), int(f[2]))] = {"check": int(f[4]), "visible": int(f[5]),
                                                         "text": f[6]}
            elif f[0] == "H":
                self.headings[int(f[1])] = f[3:]
            elif f[0] == "R":
                self.rows.setdefault(int(f[1]), []).append(f[4:])

    def texts(self, page):
        return {c["text"] for (p, _), c in self.controls.items() if p == page and c["visible"]}


class Run:
    def __init__(self, nfsd, tool, languages, source, shots):
        self.prefix = wine.Prefix()
        self.c = self.prefix.drive_c
        self.source, self.shots = source, shots
        os.makedirs(f"{self.c}/srv/nfsd/Languages")
        os.makedirs(f"{self.c}/data")
        shutil.copy(nfsd, f"{self.c}/srv/nfsd/nfsd.exe")
        shutil.copy(tool, f"{self.c}/srv/sheettool.exe")
        shutil.copy(os.path.join(languages, "deutsch.dll"), f"{self.c}/srv/nfsd/Languages/deutsch.dll")
        with open(f"{self.c}/srv/nfsd/exports", "w") as f:
            f.write("c:\\data -name:data\nc:\\data -bogus\n")
        self.results = []

    def check(self, name, ok, detail=""):
        self.results.append(bool(ok))
        print(("ok   " if ok else "FAIL ") + name + ("" if ok else f": {detail}"), flush=True)
        return ok

    def tool(self, *args):
        r = self.prefix.run("C:\\srv\\sheettool.exe", *args, timeout=600)
        sys.stdout.write("".join(line + "\n" for line in r.stdout.splitlines() if line[:4] in ("ok  ", "FAIL")))
        return r

    def dump(self, language, table):
        folder = os.path.join(self.c, "shots", language)
        os.makedirs(folder, exist_ok=True)
        r = self.tool("dump", f"C:\\shots\\{language}")
        self.check(f"{language}: the sheet is read", r.returncode == 0, r.stderr)
        d = Dump(r.stdout)
        titles = [table[n] for n in range(30, 36)]
        self.check(f"{language}: six pages in order", [d.titles.get(i) for i in range(6)] == titles, d.titles)
        for page, numbers in PAGE_TEXTS.items():
            missing = [table[n] for n in numbers if table[n] not in d.texts(page)]
            self.check(f"{language}: page {titles[page]} shows its texts", not missing, missing)
        for page, numbers in LIST_HEADINGS.items():
            self.check(f"{language}: the {titles[page]} list has its columns",
                       d.headings.get(page) == [table[n] for n in numbers], d.headings.get(page))
        problem = table[25].replace("%u", "2") + ": bogus"
        shown = d.controls.get((2, 1301), {}).get("text", "")
        self.check(f"{language}: the Exports page shows the exports file's problem", problem in shown, shown)
        os.makedirs(os.path.join(self.shots, language), exist_ok=True)
        for name in sorted(os.listdir(folder)):
            bmp_to_png(os.path.join(folder, name), os.path.join(self.shots, language, name[:-4] + ".png"))
        return d

    def lists(self, d):
        out = wine.sh("showmount", "-e", "127.0.0.1").stdout
        shown = {line.split()[0] for line in out.splitlines()[1:] if line.strip()}
        self.check("the Exports list is what showmount -e sees",
                   {r[0] for r in d.rows.get(2, [])} == shown and EXPORT in shown, (d.rows.get(2), out))
        out = wine.sh("showmount", "--no-headers", "-a", "127.0.0.1").stdout
        mounts = {tuple(line.strip().split(":", 1)) for line in out.splitlines() if line.strip()}
        listed = {tuple(r) for r in d.rows.get(3, [])}
        self.check("the Mounts list is what showmount -a sees, with the libnfs mount",
                   listed == mounts and any(r[1] == EXPORT for r in listed), (listed, out))
        out = wine.sh("rpcinfo", "-p", "127.0.0.1").stdout
        registered = {tuple(line.split()[:4]) for line in out.splitlines()[1:] if line.strip()}
        listed = {(r[0], r[1], r[2].lower(), r[3]) for r in d.rows.get(4, [])}
        self.check("the PortMapper list is what rpcinfo -p sees", listed == registered and len(listed) >= 10,
                   (listed, out))

    def main(self):
        try:
            self.prefix_server = self.prefix.start("C:\\srv\\nfsd\\nfsd.exe")
            if not self.check("nfsd.exe starts and registers", wine.wait_registered()):
                return 1
            r = wine.sh("nfs-ls", "nfs://127.0.0.1" + EXPORT)
            self.check("a libnfs client mounts the export", r.returncode == 0, r.stderr)
            english = self.dump("en", ENGLISH)
            self.lists(english)
            self.check("the Language page lists the program and the German module",
                       [r[0] for r in english.rows.get(5, [])] == ["nfsd", "deutsch.dll"], english.rows.get(5))
            self.check("the shared table of page rules holds in the sheet", self.tool("rules").returncode == 0)
            self.check("one sheet at a time", self.tool("second").returncode == 0)
            self.check("the German module is chosen", self.tool("language", "deutsch.dll").returncode == 0)
            german = module_texts(os.path.join(self.source, "example", "Languages", "deutsch.dll"))
            self.dump("de", german)
            self.check("back to the program's own language", self.tool("language", "nfsd").returncode == 0)
            d = self.dump("en-again", ENGLISH)
            self.check("English again after the switch back", d.titles.get(5) == "Language", d.titles)
        finally:
            self.prefix.close()
        failed = self.results.count(False)
        print(f"{len(self.results) - failed} passed, {failed} failed")
        return 1 if failed else 0


if __name__ == "__main__":
    wine.enter_namespace_with_display()
    sys.exit(Run(*sys.argv[1:6]).main())
