"""Wine for the Windows end-to-end tests: a private network namespace with
an X display, a fresh prefix per run, and the host-side helpers."""
import filecmp
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
INSIDE = "NIMBORA_WINE_NETNS"


def enter_namespace_with_display():
    """Runs this script again inside `unshare --net` and `xvfb-run`, once."""
    if os.environ.get(INSIDE):
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        return
    env = dict(os.environ, **{INSIDE: "1"})
    cmd = ["unshare", "--net", "xvfb-run", "-a", sys.executable] + sys.argv
    sys.exit(subprocess.run(cmd, env=env).returncode)


def sh(*cmd, timeout=300):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)


class Prefix:
    """A fresh Wine prefix; its wineserver is ended with it."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="nimbora-wineprefix-")
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all")
        subprocess.run([WINE, "wineboot", "-i"], env=self.env, capture_output=True, check=True)
        subprocess.run([WINESERVER, "-w"], env=self.env, check=False)
        self.drive_c = os.path.join(self.path, "drive_c")

    def start(self, exe, *args):
        return subprocess.Popen([WINE, exe, *args], env=self.env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def run(self, exe, *args, timeout=120):
        # Output through files, not pipes: a program that starts the service
        # control manager leaves it holding its standard handles.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            r = subprocess.run([WINE, exe, *args], env=self.env, stdout=out, stderr=err, timeout=timeout)
            out.seek(0)
            err.seek(0)
            r.stdout = out.read().decode(errors="replace")
            r.stderr = err.read().decode(errors="replace")
            return r

    def keep_running(self):
        """Keeps the prefix's wineserver, and so its service control manager
        and the services it started, running with no program of ours left:
        the machine stays up, as Windows does."""
        subprocess.run([WINESERVER, "-w"], env=self.env, check=False)
        subprocess.run([WINESERVER, "-p"], env=self.env, check=True)

    def close(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, check=False)
        shutil.rmtree(self.path, ignore_errors=True)


def wait_registered(timeout=90):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        r = sh("rpcinfo", "-p", "127.0.0.1")
        if r.returncode == 0 and "100003" in r.stdout and "100005" in r.stdout:
            return True
        time.sleep(1)
    return False


def unregistered(timeout=10):
    """True once neither NFS nor MOUNT is registered (or no portmapper answers)."""
    end = time.monotonic() + timeout
    while True:
        r = sh("rpcinfo", "-p", "127.0.0.1")
        if r.returncode != 0 or ("100003" not in r.stdout and "100005" not in r.stdout):
            return True
        if time.monotonic() > end:
            return False
        time.sleep(1)


def same_file(a, b):
    return os.path.exists(b) and filecmp.cmp(a, b, shallow=False)


def ports_free(ports):
    for port in ports:
        for kind in (socket.SOCK_DGRAM, socket.SOCK_STREAM):
            s = socket.socket(socket.AF_INET, kind)
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                return False
            finally:
                s.close()
    return True
