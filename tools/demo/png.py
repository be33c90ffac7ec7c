"""Small PNG files: the icons the demo puts into its game folder's
VHud/icons, and the install check's tests' icons."""
import struct
import zlib


def write_png(path, width, height, rgba=(0xD0, 0x30, 0x30, 0xFF)):
    """An RGBA PNG of one colour, width x height pixels."""
    row = b"\x00" + bytes(rgba) * width
    data = zlib.compress(row * height)

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", data) +
                chunk(b"IEND", b""))
