"""A minimal NFS version 3 and MOUNT version 3 client over UDP, as AUTH_UNIX
root, for what the libnfs tools cannot ask (a handle kept across a restart,
a burst of calls): handles are bytes, calls answer (status, result)."""
import random
import socket
import struct

MOUNT_PROG, NFS_PROG = 100005, 100003


def u32(*values):
    return struct.pack(f">{len(values)}I", *values)


def opaque(b):
    b = b.encode() if isinstance(b, str) else b
    return u32(len(b)) + b + b"\0" * (-len(b) % 4)


def header(xid, prog, proc):
    """A version 3 call's header, as AUTH_UNIX root with no verifier."""
    cred = u32(1) + opaque(u32(0) + opaque(b"wine-test") + u32(0, 0, 0))
    return u32(xid, 0, 2, prog, 3, proc) + cred + u32(0, 0)


def call(port, prog, proc, args):
    """One call of version 3: its status and the bytes after it. A socket of
    its own gets no other reply, and loopback loses no datagram."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(30)
        s.sendto(header(random.getrandbits(32), prog, proc) + args, ("127.0.0.1", port))
        data = s.recv(65536)
    # xid, REPLY, MSG_ACCEPTED, the verifier (flavor, length, body), SUCCESS
    _, _, replied, _, length = struct.unpack_from(">5I", data)
    at = 20 + ((length + 3) & ~3)
    accepted, status = struct.unpack_from(">2I", data, at)
    if replied != 0 or accepted != 0:
        raise RuntimeError(f"call to {prog}/3/{proc} not accepted")
    return status, data[at + 8:]


def handle(status, rest):
    """The handle at the start of a successful reply's results."""
    return status, rest[4:4 + struct.unpack_from(">I", rest)[0]] if status == 0 else None


def mnt(path):
    return handle(*call(1058, MOUNT_PROG, 1, opaque(path)))


def lookup(dir_fh, name):
    return handle(*call(2049, NFS_PROG, 3, opaque(dir_fh) + opaque(name)))


def fileid(fh):
    """GETATTR's status and the file's fileid (after 13 words of fattr3)."""
    status, rest = call(2049, NFS_PROG, 1, opaque(fh))
    return status, struct.unpack_from(">Q", rest, 13 * 4)[0] if status == 0 else None
