#!/usr/bin/env python3
"""Raw MOUNT and NFS version 3 calls over UDP, for the package test:

  rpc_probe.py mnt PATH        prints the MNT status and the root handle (hex)
  rpc_probe.py getattr HANDLE  prints the GETATTR status

to 127.0.0.1 on the default ports, as AUTH_UNIX root."""
import os
import socket
import struct
import sys

MOUNT_PORT, NFS_PORT = 1058, 2049


def opaque(data):
    return struct.pack(">I", len(data)) + data + b"\0" * (-len(data) % 4)


def call(port, prog, proc, args):
    xid = int.from_bytes(os.urandom(4), "big")
    cred = struct.pack(">I", 0) + opaque(b"probe") + struct.pack(">IIII", 0, 0, 1, 0)
    msg = struct.pack(">IIIIII", xid, 0, 2, prog, 3, proc)
    msg += struct.pack(">I", 1) + opaque(cred) + struct.pack(">II", 0, 0) + args
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(2)
        for _ in range(3):
            s.sendto(msg, ("127.0.0.1", port))
            try:
                reply = s.recv(65536)
            except socket.timeout:
                continue
            rxid, mtype, stat = struct.unpack_from(">III", reply)
            if rxid != xid or mtype != 1 or stat != 0:
                sys.exit("rejected reply")
            verf_len = struct.unpack_from(">I", reply, 16)[0]
            at = 20 + verf_len + (-verf_len % 4)
            if struct.unpack_from(">I", reply, at)[0] != 0:
                sys.exit("call not accepted")
            return reply[at + 4:]
    sys.exit("no reply")


def main():
    what, arg = sys.argv[1], sys.argv[2]
    if what == "mnt":
        body = call(MOUNT_PORT, 100005, 1, opaque(arg.encode()))
        status = struct.unpack_from(">I", body)[0]
        handle = b""
        if status == 0:
            n = struct.unpack_from(">I", body, 4)[0]
            handle = body[8:8 + n]
        print(status, handle.hex())
    elif what == "getattr":
        body = call(NFS_PORT, 100003, 1, opaque(bytes.fromhex(arg)))
        print(struct.unpack_from(">I", body)[0])
    else:
        sys.exit(__doc__)


main()
