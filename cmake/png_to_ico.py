"""Wraps a PNG image into an icon file (one image, stored as PNG, as icons may be since Windows
Vista): png_to_ico.py <image.png> <icon.ico>."""
import struct
import sys

source, target = sys.argv[1], sys.argv[2]
with open(source, "rb") as f:
    image = f.read()
if image[:8] != b"\x89PNG\r\n\x1a\n" or image[12:16] != b"IHDR":
    sys.exit(f"{source}: not a PNG image")
width, height = struct.unpack(">II", image[16:24])
if not (0 < width <= 256 and 0 < height <= 256):
    sys.exit(f"{source}: {width}x{height} does not fit an icon (at most 256x256)")
header = struct.pack("<HHH", 0, 1, 1)
# A size of 256 is written as 0; the image follows the one directory entry.
entry = struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, 32, len(image), 6 + 16)
with open(target, "wb") as f:
    f.write(header + entry + image)
