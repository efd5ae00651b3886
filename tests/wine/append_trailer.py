#!/usr/bin/env python3
"""append_trailer.py FILE [TEXT] -- appends the 12-byte trailer and, with TEXT, a disclaimer."""
import struct
import sys

path = sys.argv[1]
text = sys.argv[2].encode("cp1252") if len(sys.argv) > 2 else b""
with open(path, "ab") as f:
    f.write(b"SFX\x01" + struct.pack("<II", 1 if text else 0, len(text)) + text)
