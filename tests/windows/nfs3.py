"""A minimal NFS version 3 and MOUNT version 3 client over UDP, as AUTH_UNIX
root, for what the libnfs tools cannot ask (a handle kept across a restart,
a burst of calls): handles are bytes, every call answers (status, rest of
the reply)."""
import os
import socket
import struct

MOUNT_PROG, NFS_PROG = 100005, 100003
OK = 0


class Xdr:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, fmt):
        (v,) = struct.unpack_from(fmt, self.data, self.pos)
        self.pos += struct.calcsize(fmt)
        return v

    def u32(self):
        return self.take(">I")

    def opaque(self):
        n = self.u32()
        self.pos += (n + 3) & ~3
        return self.data[self.pos - ((n + 3) & ~3):self.pos][:n]


def u32(*values):
    return b"".join(struct.pack(">I", v) for v in values)


def opaque(b):
    b = b.encode() if isinstance(b, str) else b
    return u32(len(b)) + b + b"\0" * (-len(b) % 4)


def header(xid, prog, proc):
    """A version 3 call's header, as AUTH_UNIX root with no verifier."""
    cred = u32(1) + opaque(u32(0) + opaque(b"wine-test") + u32(0, 0, 0))
    return u32(xid, 0, 2, prog, 3, proc) + cred + u32(0, 0)


def call(port, prog, proc, args, host="127.0.0.1"):
    """One call of version 3; answers an Xdr positioned at the results."""
    xid = struct.unpack(">I", os.urandom(4))[0]
    msg = header(xid, prog, proc)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(5.0)
        for _ in range(3):
            s.sendto(msg + args, (host, port))
            try:
                data = s.recv(65536)
                while struct.unpack_from(">I", data)[0] != xid:
                    data = s.recv(65536)
                break
            except socket.timeout:
                continue
        else:
            raise TimeoutError(f"no reply from port {port}")
    x = Xdr(data)
    x.pos = 8
    if x.u32() != 0:
        raise RuntimeError("call denied")
    x.u32()
    x.opaque()  # verifier
    if x.u32() != 0:
        raise RuntimeError(f"call to {prog}/3/{proc} not accepted")
    return x


class Client:
    def __init__(self, mount_port=1058, nfs_port=2049):
        self.mount_port, self.nfs_port = mount_port, nfs_port

    def mnt(self, path):
        x = call(self.mount_port, MOUNT_PROG, 1, opaque(path))
        status = x.u32()
        return status, x.opaque() if status == OK else None

    def nfs(self, proc, args):
        x = call(self.nfs_port, NFS_PROG, proc, args)
        return x.u32(), x

    def getattr(self, fh):
        status, x = self.nfs(1, opaque(fh))
        x.pos += 13 * 4  # fattr3 up to its fileid
        return status, {"fileid": x.take(">Q")} if status == OK else None

    def lookup(self, dir_fh, name):
        status, x = self.nfs(3, opaque(dir_fh) + opaque(name))
        return status, x.opaque() if status == OK else None
