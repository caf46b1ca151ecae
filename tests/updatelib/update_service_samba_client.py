"""Calls every procedure of the update service through Samba's DCE/RPC client, with the
"ncalrpc dir" the first argument names, and prints what each answered, one line per procedure."""
import struct
import sys

import samba.param
from samba.dcerpc import base


def fixed_string(stub, offset):
    """A [string] char[65]: offset, actual count with the zero, the characters; 4-aligned."""
    offset += -offset % 4
    first, count = struct.unpack_from("<II", stub, offset)
    text = stub[offset + 8:offset + 8 + count]
    assert first == 0 and 1 <= count <= 65 and text.endswith(b"\0"), (first, count, text)
    return text[:-1].decode("latin-1"), offset + 8 + count


lp = samba.param.LoadParm()
lp.set("ncalrpc dir", sys.argv[1])
connection = base.ClientConnection(
    "ncalrpc:[vexUpdateService]", ("a5fd402b-7e0b-4758-a173-aa3c8047f340", 1), lp)
print("state", *struct.unpack("<i", connection.request(0, b"")))
print("result", *struct.unpack("<i", connection.request(1, b"")))
progress = connection.request(2, b"")
print("figures", *struct.unpack_from("<4d2I", progress))
url, offset = fixed_string(progress, 40)
description, offset = fixed_string(progress, offset)
print("url", url)
print("description", description)
print("rest", len(progress) - offset)
print("stop", len(connection.request(3, b"")))
