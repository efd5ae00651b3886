#!/usr/bin/env python3
"""make_package.py STUB FOLDER OUT [--damage-crc NAME] [--disclaimer TEXT]

Writes OUT: the stub, then FOLDER as a ZIP (deflated, or stored where that is smaller)
whose offsets count from the start of OUT, then the trailer. With --damage-crc the local
CRC-32 of entry NAME is changed, so extraction reports it.
"""
import argparse
import os
import shutil
import struct
import subprocess
import tempfile
import zipfile

p = argparse.ArgumentParser()
p.add_argument("stub")
p.add_argument("folder")
p.add_argument("out")
p.add_argument("--damage-crc")
p.add_argument("--disclaimer", default="")
a = p.parse_args()

with tempfile.TemporaryDirectory() as tmp:
    payload = os.path.join(tmp, "payload.zip")
    with zipfile.ZipFile(payload, "w") as z:
        for root, dirs, files in os.walk(a.folder):
            dirs.sort()
            for name in sorted(files):
                path = os.path.join(root, name)
                arc = os.path.relpath(path, a.folder).replace(os.sep, "/")
                raw = open(path, "rb").read()
                method = zipfile.ZIP_DEFLATED if len(raw) > 64 else zipfile.ZIP_STORED
                z.write(path, arc, compress_type=method)
    with open(a.out, "wb") as out:
        shutil.copyfileobj(open(a.stub, "rb"), out)
        shutil.copyfileobj(open(payload, "rb"), out)
    # zip -A turns the offsets into offsets from the start of the whole file.
    subprocess.run(["zip", "-q", "-A", a.out], check=True)
    # Damaged after zip -A, which rewrites the local headers from the central ones.
    if a.damage_crc:
        with zipfile.ZipFile(a.out) as z:
            offset = z.getinfo(a.damage_crc).header_offset
        with open(a.out, "r+b") as f:
            f.seek(offset + 14)
            crc = struct.unpack("<I", f.read(4))[0]
            f.seek(offset + 14)
            f.write(struct.pack("<I", crc ^ 0xFFFFFFFF))
    text = a.disclaimer.encode("cp1252")
    with open(a.out, "ab") as out:
        out.write(b"SFX\x01" + struct.pack("<II", 1 if text else 0, len(text)) + text)
