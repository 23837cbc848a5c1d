#!/usr/bin/env python3
"""nfsd.exe under Wine as the clients of the host see it (rpcinfo, showmount,
the libnfs tools), as a user sees its settings sheet, driven
by wintool.exe (a screenshot of every page lands in SHOTS_DIR), and as the
installer puts it in place. The file calls under all this are the Windows
build's unit tests' concern. Runs in a fresh Wine prefix, in a private
network namespace with an X display of its own.

Usage: wine_e2e_test.py NFSD_EXE WINTOOL_EXE LANGUAGES_DIR SHOTS_DIR SETUP_EXE"""
import filecmp
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time

WINE, WINESERVER = "/usr/lib/wine/wine64", "/usr/lib/wine/wineserver"
INSIDE = "NIMBORA_WINE_NETNS"
EXPORT = "/data"
URL = "nfs://127.0.0.1" + EXPORT
SRV = "C:\\srv\\nfsd\\"


def enter_namespace_with_display():
    """Runs this script again inside `unshare --net` and `xvfb-run`, once.
    The X server keeps its screen in an XWD file, whose Windows path is
    NIMBORA_SCREEN: a copy of it is a screenshot."""
    if os.environ.get(INSIDE):
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        return
    with tempfile.TemporaryDirectory(prefix="nimbora-screen-") as screen:
        env = dict(os.environ, **{INSIDE: "1"},
                   NIMBORA_SCREEN="Z:" + screen.replace("/", "\\") + "\\Xvfb_screen0")
        cmd = ["unshare", "--net", "xvfb-run", "-a", "-s", f"-screen 0 800x600x24 -fbdir {screen}",
               sys.executable] + sys.argv
        sys.exit(subprocess.run(cmd, env=env).returncode)


def sh(*cmd, timeout=300):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)


def host_rows(*cmd, skip=0):
    out = sh(*cmd, "127.0.0.1").stdout
    return out, [line.split() for line in out.splitlines()[skip:] if line.strip()]


def wait(predicate, timeout):
    end = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > end:
            return False
        time.sleep(1)
    return True


def registered():
    """Which of NFS and MOUNT rpcinfo -p lists (none when no portmapper answers)."""
    out = sh("rpcinfo", "-p", "127.0.0.1").stdout
    return {prog for prog in ("100003", "100005") if prog in out}


class Run:
    """The checks, each printed as it is made, in a fresh Wine prefix whose
    wineserver is ended with it."""

    def __init__(self, nfsd_exe, wintool_exe, languages, shots, setup_exe):
        self.results = []
        self.prefix = tempfile.mkdtemp(prefix="nimbora-wineprefix-")
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all")
        subprocess.run([WINE, "wineboot", "-i"], env=self.env, capture_output=True, check=True)
        self.server("-w")
        self.c = os.path.join(self.prefix, "drive_c")
        self.shots, self.setup = os.path.abspath(shots), setup_exe
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

    def check(self, name, ok, detail=""):
        self.results.append(bool(ok))
        print(("ok   " if ok else "FAIL ") + name + ("" if ok else f": {detail}"), flush=True)
        return ok

    def server(self, *args):
        subprocess.run([WINESERVER, *args], env=self.env, check=False)

    def run(self, exe, *args, timeout=120):
        # Output through files, not pipes: a program that starts the service
        # control manager leaves it holding its standard handles.
        # Both streams are the output.
        with tempfile.TemporaryFile() as out:
            r = subprocess.run([WINE, exe, *args], env=self.env, stdout=out,
                               stderr=subprocess.STDOUT, timeout=timeout)
            out.seek(0)
            r.stdout = out.read().decode(errors="replace")
            return r

    def start(self, exe=SRV + "nfsd.exe"):
        self.process = subprocess.Popen([WINE, exe], env=self.env, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        return self.check(f"{exe} starts and registers", wait(lambda: len(registered()) == 2, 90))

    def tool(self, *args):
        """Runs wintool.exe with its checks shown as ours: its output's lines."""
        r = self.run(SRV + "wintool.exe", *args, timeout=600)
        lines = r.stdout.splitlines()
        sys.stdout.write("".join(f"  {line}\n" for line in lines if line[:4] in ("ok  ", "FAIL")))
        self.check("wintool " + " ".join(args), r.returncode == 0, r.stdout)
        return lines

    def sheet(self):
        out = sh("nfs-ls", URL).stdout
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
        there, back = f"{self.prefix}/big", f"{self.prefix}/back"
        with open(there, "wb") as f:
            f.write(os.urandom(64 << 20))
        r = sh("nfs-cp", there, f"{URL}/big.bin")
        self.check("nfs-cp writes 64 MiB", r.returncode == 0, r.stderr)
        r = sh("nfs-cp", f"{URL}/big.bin", back)
        self.check("nfs-cp reads 64 MiB back, the same bytes",
                   r.returncode == 0 and filecmp.cmp(there, back, shallow=False), r.stderr)

    def second_start_and_exit(self):
        began = time.monotonic()
        r = self.run(SRV + "nfsd.exe", timeout=60)
        took = time.monotonic() - began
        self.check("a second start returns at once with 0", r.returncode == 0 and took < 30,
                   f"{r.returncode} after {took:.1f} s")
        out = sh("showmount", "-e", "127.0.0.1").stdout
        self.check("the first server still answers", EXPORT in out, out)
        self.stop("Exit")

    def as_service(self):
        """The same program as a Windows service: installed by itself, started
        and stopped through the service control manager, which stays up with
        the prefix's wineserver when no program of ours is left, as on Windows."""
        self.server("-w")
        self.server("-p")
        r = self.run(SRV + "nfsd.exe", "-install")
        if not self.check("nfsd -install installs the service", r.returncode == 0, r.returncode):
            return
        r = self.run("net", "start", "nfsd", timeout=120)
        self.check("net start nfsd starts it", r.returncode == 0, r.stdout)
        self.check("the service registers", wait(lambda: len(registered()) == 2, 90))
        r = sh("nfs-cat", f"{URL}/Hello.txt")
        self.check("the service serves the file", r.stdout == "Hello from Windows.\n",
                   r.stdout + r.stderr)
        r = self.run("net", "stop", "nfsd", timeout=120)
        # Wine's net stop returns once the request is delivered, Windows' once it is done.
        query = lambda: self.run("sc", "query", "nfsd").stdout  # noqa: E731
        stopped = wait(lambda: "STOPPED" in query(), 60)
        self.check("net stop nfsd stops it", r.returncode == 0 and stopped,
                   f"net stop: {r.returncode} {r.stdout}; sc: {query()}")
        self.gone("after the stop")
        # Then a second one finds no service: 1060 (Wine hands Linux its low byte).
        codes = [self.run(SRV + "nfsd.exe", "-uninstall").returncode for _ in range(2)]
        self.check("nfsd -uninstall removes the service",
                   codes[0] == 0 and codes[1] in (1060, 1060 & 0xFF), codes)

    def installer(self):
        """The package (made by cpack): a silent install, the installed program
        serving the export a user adds, a silent uninstall."""
        if not self.check("the installer was built", os.path.exists(self.setup), self.setup):
            return
        shutil.copy(self.setup, f"{self.c}/setup.exe")
        r = self.run("C:\\setup.exe", "/S")
        self.check("the silent install ends with 0", r.returncode == 0, r.stdout)
        home = f"{self.c}/Program Files/Nimbora NFS Server"
        parts = ("nfsd.exe", "exports", "doc/nfsd.htm", "Languages/deutsch.dll", "Uninstall.exe")
        missing = [part for part in parts if not os.path.exists(f"{home}/{part}")]
        menu = f"{self.c}/ProgramData/Microsoft/Windows/Start Menu/Programs/Nimbora NFS Server"
        self.check("it installs the program, its help, its German module and a Start-menu entry",
                   not missing and glob.glob(f"{menu}/*.lnk"), (missing, menu))
        with open(f"{home}/exports", "r+") as f:
            self.check("the example exports nothing",
                       all(not ln.strip() or ln.startswith("#") for ln in f.read().splitlines()))
            f.write("c:\\data -name:data\n")
        if self.start("C:\\Program Files\\Nimbora NFS Server\\nfsd.exe"):
            out = sh("showmount", "-e", "127.0.0.1").stdout
            self.check("the installed program lists the export", EXPORT in out, out)
            self.stop("the installed program")
        self.run("C:\\Program Files\\Nimbora NFS Server\\Uninstall.exe", "/S")
        # The uninstaller copies itself away and goes on from there.
        self.check("the silent uninstall removes the program",
                   wait(lambda: not os.path.exists(f"{home}/nfsd.exe"), 60))

    def stop(self, what):
        self.tool("exit")
        code = self.process.wait(60)
        self.check(f"{what}: the program ends with 0", code == 0, code)
        self.gone(what)

    def gone(self, what):
        self.check(f"{what}: nothing stays registered", wait(lambda: not registered(), 10))
        out = sh("ss", "-Hltun").stdout
        busy = [port for port in (111, 1058, 2049) if f":{port} " in out]
        self.check(f"{what}: every port is free", not busy, out)

    def main(self):
        try:
            if self.start():
                for case in (self.sheet, self.big_file, self.second_start_and_exit, self.as_service,
                             self.installer):
                    case()
        finally:
            self.server("-k")
            shutil.rmtree(self.prefix, ignore_errors=True)
        failed = self.results.count(False)
        print(f"{len(self.results) - failed} passed, {failed} failed")
        return 1 if failed else 0


if __name__ == "__main__":
    enter_namespace_with_display()
    sys.exit(Run(*sys.argv[1:6]).main())
