#!/usr/bin/env python3
"""draw_icon.py -- draws the stub's icon: a 32x32, 16-colour box with a down arrow, as stub.ico."""
import struct
import sys

# The standard Windows 16-colour palette, as red, green, blue.
PALETTE = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
           (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
           (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
BLACK, DARK_YELLOW, GREY, BLUE, WHITE = 0, 3, 8, 12, 15


def pixel(x, y):
    """Colour index at (x, y), y = 0 the top row, or None for transparent."""
    if 3 <= x <= 28 and 14 <= y <= 29:            # the box
        if x in (3, 28) or y in (14, 29):
            return BLACK
        return DARK_YELLOW if y > 17 else GREY
    if 13 <= x <= 18 and 2 <= y <= 12:            # the arrow's shaft
        return BLUE
    if 8 <= y <= 17 and abs(x - 15.5) <= 17 - y:  # the arrow's head
        return BLUE
    return None


def icon_bytes():
    rows_xor, rows_and = [], []
    for y in reversed(range(32)):                 # bitmaps are stored bottom-up
        xor = bytearray()
        mask = 0
        for x in range(0, 32, 2):
            a, b = pixel(x, y), pixel(x + 1, y)
            xor.append(((a or 0) << 4) | (b or 0))
        for x in range(32):
            mask = (mask << 1) | (1 if pixel(x, y) is None else 0)
        rows_xor.append(bytes(xor))
        rows_and.append(struct.pack(">I", mask))
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)  # RGBQUAD order
    header = struct.pack("<IiiHHIIiiII", 40, 32, 64, 1, 4, 0, 0, 0, 0, 16, 0)
    image = header + palette + b"".join(rows_xor) + b"".join(rows_and)
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", 32, 32, 16, 0, 1, 4, len(image), 22)
    return directory + image


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "stub.ico"
    with open(out, "wb") as f:
        f.write(icon_bytes())
