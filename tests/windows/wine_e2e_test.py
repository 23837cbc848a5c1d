#!/usr/bin/env python3
"""nfsd.exe under Wine, driven from Linux by the clients of the host.

Usage: wine_e2e_test.py NFSD_EXE WINTOOL_EXE

Runs in a private network namespace with its own X display and a fresh Wine
prefix. A copy of nfsd.exe with an "exports" file beside it in a folder of
drive C: is the whole set-up. Checks what clients see (rpcinfo, showmount,
the libnfs tools, raw NFS calls); wintool.exe ends the program as its
window's Exit command would. The file calls under all this are checked by
the unit tests of the Windows build, so the names, attributes and links
NFS clients change are not checked again here."""
import concurrent.futures
import filecmp
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import nfs3  # noqa: E402
import wine  # noqa: E402

BIG = 64 << 20
EXPORT = "/data"


class Run(wine.Checks):
    def __init__(self, nfsd_exe, wintool_exe):
        self.prefix = wine.Prefix()
        self.c = self.prefix.drive_c
        os.makedirs(f"{self.c}/srv/nfsd")
        os.makedirs(f"{self.c}/data")
        shutil.copy(nfsd_exe, f"{self.c}/srv/nfsd/nfsd.exe")
        shutil.copy(wintool_exe, f"{self.c}/srv/wintool.exe")
        with open(f"{self.c}/srv/nfsd/exports", "w") as f:
            f.write("c:\\data -name:data\n")
        with open(f"{self.c}/data/Hello.txt", "w") as f:
            f.write("Hello from Windows.\n")
        self.tmp = tempfile.mkdtemp(prefix="nimbora-wine-")
        self.server = None
        super().__init__()

    def start(self):
        self.server = self.prefix.start("C:\\srv\\nfsd\\nfsd.exe")
        return wine.wait_registered()

    def tool(self, *args):
        return self.prefix.run("C:\\srv\\wintool.exe", *args)

    def root(self):
        status, fh = nfs3.mnt(EXPORT)
        assert status == 0, f"MNT {EXPORT}: {status}"
        return fh

    # ---- the cases ----

    def services(self):
        out = wine.sh("rpcinfo", "-p", "127.0.0.1").stdout
        rows = {" ".join(line.split()[:4]) for line in out.splitlines()}
        want = {f"{p} {v} {t} {port}" for p, vs, port in
                ((100000, (2,), 111), (100005, (1, 2, 3), 1058), (100003, (2, 3), 2049))
                for v in vs for t in ("udp", "tcp")}
        self.check("rpcinfo lists portmapper, mount 1-3 and NFS 2-3 on UDP and TCP", want <= rows, out)
        out = wine.sh("showmount", "-e", "127.0.0.1").stdout
        self.check("showmount lists the export", EXPORT in out, out)
        out = wine.sh("nfs-ls", "nfs://127.0.0.1" + EXPORT).stdout
        self.check("nfs-ls lists the file", "hello.txt" in out.lower(), out)

    def big_file(self):
        there, back = f"{self.tmp}/big", f"{self.tmp}/back"
        with open(there, "wb") as f:
            f.write(os.urandom(BIG))
        r = wine.sh("nfs-cp", there, f"nfs://127.0.0.1{EXPORT}/big.bin")
        self.check("nfs-cp writes 64 MiB", r.returncode == 0, r.stderr)
        self.check("the Windows file holds the same bytes",
                   filecmp.cmp(there, f"{self.c}/data/big.bin", shallow=False))
        r = wine.sh("nfs-cp", f"nfs://127.0.0.1{EXPORT}/big.bin", back)
        self.check("nfs-cp reads 64 MiB", r.returncode == 0, r.stderr)
        self.check("the copy back holds the same bytes", filecmp.cmp(there, back, shallow=False))

    def udp_burst(self, clients=8, each=16):
        """Several clients send GETATTR over UDP at once, each call once: the
        workers on the one NFS socket answer every one."""
        args = nfs3.opaque(self.root())
        def one(c):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.settimeout(10)
            xids = {(c << 16) | i for i in range(each)}
            for xid in xids:
                s.sendto(nfs3.header(xid, nfs3.NFS_PROG, 1) + args, ("127.0.0.1", 2049))
            try:
                while xids:
                    xids.discard(int.from_bytes(s.recv(65536)[:4], "big"))
            except socket.timeout:
                pass
            s.close()
            return len(xids)
        with concurrent.futures.ThreadPoolExecutor(clients) as pool:
            missing = sum(pool.map(one, range(clients)))
        self.check(f"{clients * each} GETATTR over UDP from {clients} clients at once all answered",
                   missing == 0, f"{missing} unanswered")

    def second_start(self):
        began = time.monotonic()
        r = self.prefix.run("C:\\srv\\nfsd\\nfsd.exe", timeout=60)
        took = time.monotonic() - began
        self.check("a second start returns at once with 0", r.returncode == 0 and took < 30,
                   f"{r.returncode} after {took:.1f} s")
        self.check("the first server still answers", nfs3.mnt(EXPORT)[0] == 0)

    def exit_and_restart(self):
        root = self.root()
        _, fh = nfs3.lookup(root, "hello.txt")
        _, before = nfs3.fileid(fh)
        self.stop("Exit")
        ok = self.start()
        self.check("the server starts again", ok)
        status, after = nfs3.fileid(fh)
        self.check("a handle from before the restart still resolves",
                   status == 0 and before and after == before, status)
        self.stop("Exit after the restart")

    def as_service(self):
        """The same program as a Windows service: installed by itself, started
        and stopped through the service control manager."""
        exe = "C:\\srv\\nfsd\\nfsd.exe"
        self.prefix.keep_running()
        r = self.prefix.run(exe, "-install")
        if not self.check("nfsd -install installs the service", r.returncode == 0, r.returncode):
            return
        r = self.prefix.run("net", "start", "nfsd", timeout=120)
        self.check("net start nfsd starts it", r.returncode == 0, r.stdout + r.stderr)
        self.check("the service registers", wine.wait_registered())
        r = wine.sh("nfs-cat", f"nfs://127.0.0.1{EXPORT}/Hello.txt")
        self.check("the service serves the file", r.stdout == "Hello from Windows.\n", r.stdout + r.stderr)
        r = self.prefix.run("net", "stop", "nfsd", timeout=120)
        # Wine's net stop returns once the request is delivered, Windows' once it is done.
        stopped = wine.wait(lambda: "STOPPED" in self.prefix.run("sc", "query", "nfsd").stdout, 60)
        self.check("net stop nfsd stops it", r.returncode == 0 and stopped, r.stdout + r.stderr)
        self.gone("after the stop")
        r = self.prefix.run(exe, "-uninstall")
        self.check("nfsd -uninstall removes the service", r.returncode == 0, r.returncode)
        r = self.prefix.run(exe, "-uninstall")
        # 1060: no such service (Wine hands Linux the low byte of the exit code).
        self.check("after that there is no service nfsd", r.returncode in (1060, 1060 & 0xFF),
                   r.returncode)

    def stop(self, what):
        r = self.tool("exit")
        self.check(f"{what}: command 40001 closes the window", r.returncode == 0, r.stderr)
        try:
            code = self.server.wait(60)
        except subprocess.TimeoutExpired:
            code = None
        self.check(f"{what}: the program ends with 0", code == 0, code)
        self.gone(what)

    def gone(self, what):
        self.check(f"{what}: nothing stays registered", wine.wait_registered(False, 10))
        self.check(f"{what}: every port is free", wine.ports_free((111, 1058, 2049)))

    def main(self):
        try:
            if not self.check("nfsd.exe starts and registers", self.start()):
                return 1
            self.services()
            self.big_file()
            self.udp_burst()
            self.second_start()
            self.exit_and_restart()
            self.as_service()
        finally:
            self.prefix.close()
            shutil.rmtree(self.tmp, ignore_errors=True)
        return self.summary()


if __name__ == "__main__":
    wine.enter_namespace_with_display()
    sys.exit(Run(sys.argv[1], sys.argv[2]).main())
