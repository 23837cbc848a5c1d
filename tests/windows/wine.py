"""Wine for the Windows end-to-end tests: a private network namespace with
an X display, a fresh prefix per run, and the host-side helpers."""
import os
import shutil
import subprocess
import sys
import tempfile
import time

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
INSIDE = "NIMBORA_WINE_NETNS"


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


class Prefix:
    """A fresh Wine prefix; its wineserver is ended with it."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="nimbora-wineprefix-")
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all")
        subprocess.run([WINE, "wineboot", "-i"], env=self.env, capture_output=True, check=True)
        self.server("-w")
        self.drive_c = os.path.join(self.path, "drive_c")

    def server(self, *args):
        subprocess.run([WINESERVER, *args], env=self.env, check=False)

    def start(self, exe, *args):
        return subprocess.Popen([WINE, exe, *args], env=self.env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def run(self, exe, *args, timeout=120):
        # Output through files, not pipes: a program that starts the service
        # control manager leaves it holding its standard handles.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            r = subprocess.run([WINE, exe, *args], env=self.env, stdout=out, stderr=err,
                               timeout=timeout)
            out.seek(0)
            err.seek(0)
            r.stdout = out.read().decode(errors="replace")
            r.stderr = err.read().decode(errors="replace")
            return r

    def close(self):
        self.server("-k")
        shutil.rmtree(self.path, ignore_errors=True)


def wait(predicate, timeout):
    """True once predicate() is, polled each second for `timeout` seconds."""
    end = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > end:
            return False
        time.sleep(1)
    return True


def wait_registered(registered=True, timeout=90):
    """True once NFS and MOUNT are registered, or with registered=False once
    neither is (or no portmapper answers)."""
    def seen():
        r = sh("rpcinfo", "-p", "127.0.0.1")
        if r.returncode != 0:
            return not registered
        up = ["100003" in r.stdout, "100005" in r.stdout]
        return all(up) if registered else not any(up)
    return wait(seen, timeout)


class Checks:
    """Prints each check as it is made; summary() is the exit status."""

    def __init__(self):
        self.results = []

    def check(self, name, ok, detail=""):
        self.results.append(bool(ok))
        print(("ok   " if ok else "FAIL ") + name + ("" if ok else f": {detail}"), flush=True)
        return ok

    def summary(self):
        failed = self.results.count(False)
        print(f"{len(self.results) - failed} passed, {failed} failed")
        return 1 if failed else 0

