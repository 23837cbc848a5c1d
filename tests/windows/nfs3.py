"""A minimal NFS version 3 and MOUNT version 3 client over UDP, as AUTH_UNIX
root, for the tests that drive the Windows program from Linux: handles are
bytes, every call answers (status, rest of the reply)."""
import os
import socket
import struct

MOUNT_PROG, NFS_PROG = 100005, 100003
OK = 0


class Xdr:
    def __init__(self, data=b""):
        self.data, self.pos = data, 0

    def u32(self):
        (v,) = struct.unpack_from(">I", self.data, self.pos)
        self.pos += 4
        return v

    def u64(self):
        (v,) = struct.unpack_from(">Q", self.data, self.pos)
        self.pos += 8
        return v

    def opaque(self):
        n = self.u32()
        v = self.data[self.pos:self.pos + n]
        self.pos += (n + 3) & ~3
        return v

    def skip(self, n):
        self.pos += n


def u32(v):
    return struct.pack(">I", v)


def opaque(b):
    if isinstance(b, str):
        b = b.encode()
    return u32(len(b)) + b + b"\0" * ((4 - len(b) % 4) % 4)


def auth_unix():
    body = u32(0) + opaque(b"wine-test") + u32(0) + u32(0) + u32(0)
    return u32(1) + opaque(body)


def call(port, prog, vers, proc, args, host="127.0.0.1", timeout=5.0):
    """One call; answers an Xdr positioned at the procedure's results."""
    xid = struct.unpack(">I", os.urandom(4))[0]
    msg = u32(xid) + u32(0) + u32(2) + u32(prog) + u32(vers) + u32(proc) + auth_unix() + u32(0) + u32(0)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(timeout)
    try:
        for _ in range(3):
            s.sendto(msg + args, (host, port))
            try:
                while True:
                    data, _ = s.recvfrom(65536)
                    if struct.unpack_from(">I", data)[0] == xid:
                        break
                break
            except socket.timeout:
                continue
        else:
            raise TimeoutError(f"no reply from port {port}")
    finally:
        s.close()
    x = Xdr(data)
    x.skip(8)
    if x.u32() != 0:
        raise RuntimeError("call denied")
    x.u32()
    x.opaque()  # verifier
    stat = x.u32()
    if stat != 0:
        raise RuntimeError(f"call to {prog}/{vers}/{proc} not accepted: status {stat}")
    return x


class Client:
    def __init__(self, mount_port=1058, nfs_port=2049):
        self.mount_port, self.nfs_port = mount_port, nfs_port

    def mnt(self, path):
        x = call(self.mount_port, MOUNT_PROG, 3, 1, opaque(path))
        status = x.u32()
        return status, x.opaque() if status == OK else None

    def nfs(self, proc, args):
        x = call(self.nfs_port, NFS_PROG, 3, proc, args)
        return x.u32(), x

    @staticmethod
    def _attr(x):
        """fattr3 as a dict."""
        a = dict(type=x.u32(), mode=x.u32(), nlink=x.u32(), uid=x.u32(), gid=x.u32(),
                 size=x.u64(), used=x.u64())
        x.skip(8 + 8)
        a["fileid"] = x.u64()
        x.skip(24)
        return a

    def getattr(self, fh):
        status, x = self.nfs(1, opaque(fh))
        return status, self._attr(x) if status == OK else None

    def lookup(self, dir_fh, name):
        status, x = self.nfs(3, opaque(dir_fh) + opaque(name))
        return status, x.opaque() if status == OK else None

    @staticmethod
    def _sattr(mode=None):
        s = (u32(1) + u32(mode)) if mode is not None else u32(0)
        return s + u32(0) * 3 + u32(0) + u32(0)

    def setattr_mode(self, fh, mode):
        status, _ = self.nfs(2, opaque(fh) + self._sattr(mode) + u32(0))
        return status

    def create(self, dir_fh, name, mode=0o644):
        status, x = self.nfs(8, opaque(dir_fh) + opaque(name) + u32(0) + self._sattr(mode))
        if status != OK:
            return status, None
        return status, x.opaque() if x.u32() else None

    def remove(self, dir_fh, name):
        return self.nfs(12, opaque(dir_fh) + opaque(name))[0]

    def rename(self, from_dir, from_name, to_dir, to_name):
        return self.nfs(14, opaque(from_dir) + opaque(from_name) + opaque(to_dir) + opaque(to_name))[0]

    def link(self, fh, dir_fh, name):
        return self.nfs(15, opaque(fh) + opaque(dir_fh) + opaque(name))[0]
