#!/usr/bin/env python3
"""nfsd.exe under Wine as the clients of the host see it (rpcinfo, showmount,
the libnfs tools, raw NFS calls), as a user sees its settings sheet, driven
by wintool.exe (a screenshot of every page lands in SHOTS_DIR), and as the
installer puts it in place. The file calls under all this are the Windows
build's unit tests' concern.

Usage: wine_e2e_test.py NFSD_EXE WINTOOL_EXE LANGUAGES_DIR SHOTS_DIR SETUP_EXE"""
import concurrent.futures
import filecmp
import os
import shutil
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import nfs3  # noqa: E402
import wine  # noqa: E402

EXPORT = "/data"
URL = "nfs://127.0.0.1" + EXPORT
SRV = "C:\\srv\\nfsd\\"


def host_rows(*cmd, skip=0):
    out = wine.sh(*cmd, "127.0.0.1").stdout
    return out, [line.split() for line in out.splitlines()[skip:] if line.strip()]


class Run(wine.Checks):
    def __init__(self, nfsd_exe, wintool_exe, languages, shots, setup_exe):
        super().__init__()
        self.prefix = wine.Prefix()
        self.c, self.shots, self.setup = self.prefix.drive_c, os.path.abspath(shots), setup_exe
        srv = f"{self.c}/srv/nfsd"
        os.makedirs(f"{srv}/Languages")
        os.makedirs(f"{self.c}/data")
        shutil.copy(nfsd_exe, f"{srv}/nfsd.exe")
        shutil.copy(wintool_exe, f"{srv}/wintool.exe")
        shutil.copy(os.path.join(languages, "deutsch.dll"), f"{srv}/Languages")
        # The second line has an unknown option, for the Exports page to show.
        with open(f"{srv}/exports", "w") as f:
            f.write("c:\\data -name:data\nc:\\data -bogus\n")
        with open(f"{self.c}/data/Hello.txt", "w") as f:
            f.write("Hello from Windows.\n")

    def start(self, exe=SRV + "nfsd.exe"):
        self.process = self.prefix.start(exe)
        return self.check(f"{exe} starts and registers", wine.wait_registered())

    def tool(self, *args):
        """Runs wintool.exe with its checks shown as ours: its output's lines."""
        r = self.prefix.run(SRV + "wintool.exe", *args, timeout=600)
        lines = r.stdout.splitlines()
        sys.stdout.write("".join(f"  {line}\n" for line in lines if line[:4] in ("ok  ", "FAIL")))
        self.check("wintool " + " ".join(args), r.returncode == 0, r.stderr)
        return lines

    def sheet(self):
        out = wine.sh("nfs-ls", URL).stdout
        self.check("a libnfs client mounts the export and lists the file",
                   "hello.txt" in out.lower(), out)
        # The rules first: their messages are checked in English. Choosing a
        # language finds its row on the Language page.
        self.tool("rules")
        self.lists(self.texts("-", "en", "deutsch.dll"))
        self.texts("deutsch.dll", "de", "nfsd")
        self.texts("-", "en-again")

    def texts(self, module, name, *then):
        """The sheet's texts from `module` and a screenshot of each page in
        SHOTS_DIR/name, then the language `then` chosen: the lists' rows by page."""
        folder = f"{self.shots}/{name}"
        os.makedirs(folder, exist_ok=True)
        rows = {}
        for line in self.tool("texts", module, "Z:" + folder.replace("/", "\\"), *then):
            cells = line.split("\t")
            if cells[0] == "R":
                rows.setdefault(int(cells[1]), []).append(cells[2:])
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
        want = {(str(p), str(v), t, str(port)) for p, vs, port in
                ((100000, (2,), 111), (100005, (1, 2, 3), 1058), (100003, (2, 3), 2049))
                for v in vs for t in ("udp", "tcp")}
        self.check("rpcinfo -p and the PortMapper list show portmapper 2, mount 1-3 and "
                   "NFS 2-3 on UDP and TCP", listed == {tuple(r[:4]) for r in shown}
                   and want <= listed, (listed, out))

    def big_file(self):
        there, back = f"{self.prefix.path}/big", f"{self.prefix.path}/back"
        with open(there, "wb") as f:
            f.write(os.urandom(64 << 20))
        r = wine.sh("nfs-cp", there, f"{URL}/big.bin")
        self.check("nfs-cp writes 64 MiB", r.returncode == 0, r.stderr)
        r = wine.sh("nfs-cp", f"{URL}/big.bin", back)
        self.check("nfs-cp reads 64 MiB back, the same bytes",
                   r.returncode == 0 and filecmp.cmp(there, back, shallow=False), r.stderr)

    def udp_burst(self, clients=8, each=16):
        """Several clients send GETATTR over UDP at once, each call once: the
        workers on the one NFS socket answer every one."""
        args = nfs3.opaque(nfs3.mnt(EXPORT)[1])
        def one(c):
            xids = {(c << 16) | i for i in range(each)}
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                s.settimeout(10)
                for xid in xids:
                    s.sendto(nfs3.header(xid, nfs3.NFS_PROG, 1) + args, ("127.0.0.1", 2049))
                try:
                    while xids:
                        xids.discard(int.from_bytes(s.recv(65536)[:4], "big"))
                except socket.timeout:
                    pass
            return len(xids)
        with concurrent.futures.ThreadPoolExecutor(clients) as pool:
            missing = sum(pool.map(one, range(clients)))
        self.check(f"{clients * each} GETATTR over UDP from {clients} clients at once all answered",
                   missing == 0, f"{missing} unanswered")

    def second_start(self):
        began = time.monotonic()
        r = self.prefix.run(SRV + "nfsd.exe", timeout=60)
        took = time.monotonic() - began
        self.check("a second start returns at once with 0", r.returncode == 0 and took < 30,
                   f"{r.returncode} after {took:.1f} s")
        self.check("the first server still answers", nfs3.mnt(EXPORT)[0] == 0)

    def exit_and_restart(self):
        _, fh = nfs3.lookup(nfs3.mnt(EXPORT)[1], "hello.txt")
        _, before = nfs3.fileid(fh)
        self.stop("Exit")
        self.start()
        status, after = nfs3.fileid(fh)
        self.check("a handle from before the restart still resolves",
                   status == 0 and before and after == before, status)
        self.stop("Exit after the restart")

    def as_service(self):
        """The same program as a Windows service: installed by itself, started
        and stopped through the service control manager, which stays up with
        the prefix's wineserver when no program of ours is left, as on Windows."""
        self.prefix.server("-w")
        self.prefix.server("-p")
        r = self.prefix.run(SRV + "nfsd.exe", "-install")
        if not self.check("nfsd -install installs the service", r.returncode == 0, r.returncode):
            return
        r = self.prefix.run("net", "start", "nfsd", timeout=120)
        self.check("net start nfsd starts it", r.returncode == 0, r.stdout + r.stderr)
        self.check("the service registers", wine.wait_registered())
        r = wine.sh("nfs-cat", f"{URL}/Hello.txt")
        self.check("the service serves the file", r.stdout == "Hello from Windows.\n",
                   r.stdout + r.stderr)
        r = self.prefix.run("net", "stop", "nfsd", timeout=120)
        # Wine's net stop returns once the request is delivered, Windows' once it is done.
        state = [""]  # the last answer of sc, for the failure's message

        def stopped_now():
            state[0] = self.prefix.run("sc", "query", "nfsd").stdout
            return "STOPPED" in state[0]
        stopped = wine.wait(stopped_now, 60)
        self.check("net stop nfsd stops it", r.returncode == 0 and stopped,
                   f"net stop: {r.returncode} {r.stdout}{r.stderr}; sc: {state[0]}")
        self.gone("after the stop")
        r = self.prefix.run(SRV + "nfsd.exe", "-uninstall")
        self.check("nfsd -uninstall removes the service", r.returncode == 0, r.returncode)
        r = self.prefix.run(SRV + "nfsd.exe", "-uninstall")
        # 1060: no such service (Wine hands Linux the low byte of the exit code).
        self.check("after that there is no service nfsd", r.returncode in (1060, 1060 & 0xFF),
                   r.returncode)

    def installer(self):
        """The package (made by cpack): a silent install, the installed program
        serving the export a user adds, a silent uninstall."""
        if not self.check("the installer was built", os.path.exists(self.setup), self.setup):
            return
        shutil.copy(self.setup, f"{self.c}/setup.exe")
        r = self.prefix.run("C:\\setup.exe", "/S")
        self.check("the silent install ends with 0", r.returncode == 0, r.stderr)
        home = f"{self.c}/Program Files/Nimbora NFS Server"
        parts = ("nfsd.exe", "exports", "doc/nfsd.htm", "Languages/deutsch.dll", "Uninstall.exe")
        missing = [part for part in parts if not os.path.exists(f"{home}/{part}")]
        self.check("it installs the program, its help and its German module", not missing, missing)
        menu = f"{self.c}/ProgramData/Microsoft/Windows/Start Menu/Programs/Nimbora NFS Server"
        self.check("it adds a Start-menu entry", os.path.isdir(menu) and any(
            n.lower().endswith(".lnk") for n in os.listdir(menu)), menu)
        with open(f"{home}/exports", "r+") as f:
            self.check("the example exports nothing",
                       all(not ln.strip() or ln.startswith("#") for ln in f.read().splitlines()))
            f.write("c:\\data -name:data\n")
        if self.start("C:\\Program Files\\Nimbora NFS Server\\nfsd.exe"):
            out = wine.sh("showmount", "-e", "127.0.0.1").stdout
            self.check("the installed program lists the export", EXPORT in out, out)
            self.stop("the installed program")
        self.prefix.run("C:\\Program Files\\Nimbora NFS Server\\Uninstall.exe", "/S")
        # The uninstaller copies itself away and goes on from there.
        self.check("the silent uninstall removes the program",
                   wine.wait(lambda: not os.path.exists(f"{home}/nfsd.exe"), 60))

    def stop(self, what):
        self.tool("exit")
        code = self.process.wait(60)
        self.check(f"{what}: the program ends with 0", code == 0, code)
        self.gone(what)

    def gone(self, what):
        self.check(f"{what}: nothing stays registered", wine.wait_registered(False, 10))
        out = wine.sh("ss", "-Hltun").stdout
        busy = [port for port in (111, 1058, 2049) if f":{port} " in out]
        self.check(f"{what}: every port is free", not busy, out)

    def main(self):
        try:
            if self.start():
                for case in (self.sheet, self.big_file, self.udp_burst, self.second_start,
                             self.exit_and_restart, self.as_service, self.installer):
                    case()
        finally:
            self.prefix.close()
        return self.summary()


if __name__ == "__main__":
    wine.enter_namespace_with_display()
    sys.exit(Run(*sys.argv[1:6]).main())
