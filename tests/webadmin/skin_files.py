"""Skin files for the end-to-end tests, built from the skin file layout: 259 bytes not
interpreted, the 26-byte layout, eleven sizes (background, digits 1 to 9, digit 0), the images
(background, digits 0 to 9), the information block and the colour.
"""
import io
import struct

from PIL import Image


def bmp(size, colour):
    out = io.BytesIO()
    Image.new("RGB", size, colour).save(out, "BMP")
    return out.getvalue()


def info_block(url, author, name):
    block = b""
    for text in (url, author, name):
        raw = text.encode()
        block += bytes([len(raw)]) + raw + bytes(255 - len(raw))
    return block


def skin_file(background=(90, 30), overlay=1, x=5, y=8, strip=80, name="E2E"):
    layout = struct.pack("<BiiiBiii", 2, 6, 14, x, overlay, 2, y, strip)
    images = [bmp(background, (200, 220, 240))] + [bmp((8 + d % 2, 14), (20 * d, 40, 90)) for d in range(10)]
    sizes = [len(images[0])] + [len(images[1 + d]) for d in range(1, 10)] + [len(images[1])]
    return (bytes(range(256))[:255] + b"\0\0\0\0" + layout + struct.pack("<11i", *sizes) + b"".join(images)
            + info_block("http://skins.example/", "Tester", name) + struct.pack("<I", 0x00336699))
