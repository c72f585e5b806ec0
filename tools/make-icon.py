#!/usr/bin/env python3
"""Writes res/updater.ico: the updater's icon, a receiver with its antenna picking up
satellite signals, at 32 x 32 and 16 x 16 pixels in the 16 standard VGA colours.

The same drawing gives the same bytes on every run; run it again after changing a picture.
"""
import pathlib
import struct
import sys

# The standard 16-colour VGA palette in its Windows order (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]

# Picture letters and their palette indices; "." is transparent.
COLOURS = {
    "K": 0,   # black
    "n": 4,   # navy
    "s": 7,   # silver
    "g": 8,   # grey
    "r": 9,   # red
    "G": 10,  # lime
    "y": 11,  # yellow
    "b": 12,  # blue
    "w": 15,  # white
}
TRANSPARENT = "."

# One string per pixel row, top row first.
ICON_32 = [
    "..............bbbb..............",
    "................bbb.............",
    ".........bbbb....bbb............",
    ".........bbbbb....bb............",
    "............bbb....bb...........",
    ".............bbb...bbb..........",
    ".........bb...bbb...bb..........",
    ".........bbb...bbb..bb..........",
    "..........bbb...bb..bbb.........",
    "...........bbb..bb...bb.........",
    "......rrrr..bb..bb..............",
    "......rrrr......................",
    ".......Kg.......................",
    ".......Kg.......................",
    ".......Kg.......................",
    ".......Kg.......................",
    ".......Kg.......................",
    ".KKKKKKKKKKKKKKKKKKKKKKKKKKKKKK.",
    ".KwwwwwwwwwwwwwwwwwwwwwwwwwwwgK.",
    ".KwsKKKKKKKKKKKKKKKKKssssssssgK.",
    ".KwsKnnnnnnnnnnnnnnnKssGGGGssgK.",
    ".KwsKnGGGGGGGGnnnnnnKssGGGGssgK.",
    ".KwsKnnnnnnnnnnnnnnnKssssssssgK.",
    ".KwsKnGGGGGnGGGGGGnnKssyyyyssgK.",
    ".KwsKnnnnnnnnnnnnnnnKssyyyyssgK.",
    ".KwsKnGGGGGGGGGGnnnnKssssssssgK.",
    ".KwsKnnnnnnnnnnnnnnnKssssssssgK.",
    ".KwsKKKKKKKKKKKKKKKKKssssssssgK.",
    ".KwgggggggggggggggggggggggggggK.",
    ".KKKKKKKKKKKKKKKKKKKKKKKKKKKKKK.",
    "...KKKK..................KKKK...",
    "................................",
]

ICON_16 = [
    ".........bb.....",
    "....bbb...bb....",
    ".......bb..b....",
    "........b...b...",
    "....bb...b..b...",
    "......b..b..b...",
    "...r..b..b......",
    "...K............",
    "KKKKKKKKKKKKKKKK",
    "KwwwwwwwwwwwwwwK",
    "KsKKKKKKKKssGGsK",
    "KsKGGGGGnKsssssK",
    "KsKKKKKKKKssyysK",
    "KggggggggggggggK",
    "KKKKKKKKKKKKKKKK",
    ".KKK........KKK.",
]


def packed_rows(rows, bits_per_pixel, value):
    """Pixel rows bottom-up, each padded to a 32-bit boundary, as DIBs store them."""
    data = bytearray()
    for row in reversed(rows):
        bits = 0
        for ch in row:
            bits = (bits << bits_per_pixel) | value(ch)
        width_bits = len(row) * bits_per_pixel
        padded_bits = (width_bits + 31) // 32 * 32
        bits <<= padded_bits - width_bits
        data += bits.to_bytes(padded_bits // 8, "big")
    return bytes(data)


def icon_image(rows):
    """One image of the icon: header, palette, colour bits and the AND mask."""
    size = len(rows)
    if any(len(row) != size for row in rows):
        raise ValueError(f"the {size}-pixel picture is not square")
    unknown = {ch for row in rows for ch in row} - set(COLOURS) - {TRANSPARENT}
    if unknown:
        raise ValueError(f"the {size}-pixel picture uses unknown letters {sorted(unknown)}")

    colour_bits = packed_rows(rows, 4, lambda ch: COLOURS.get(ch, 0))
    mask_bits = packed_rows(rows, 1, lambda ch: 1 if ch == TRANSPARENT else 0)
    # An icon's header counts the colour and mask bitmaps together: twice the height.
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 4, 0,
                         len(colour_bits) + len(mask_bits), 0, 0, 0, 0)
    palette = b"".join(bytes((b, g, r, 0)) for r, g, b in PALETTE)
    return header + palette + colour_bits + mask_bits


def icon_file(pictures):
    """An .ico file: the directory, one entry per image, then the images."""
    images = [icon_image(rows) for rows in pictures]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b""
    for rows, image in zip(pictures, images):
        entries += struct.pack("<BBBBHHII", len(rows), len(rows), len(PALETTE), 0, 1, 4,
                               len(image), offset)
        offset += len(image)
    return directory + entries + b"".join(images)


def main():
    out = pathlib.Path(__file__).resolve().parent.parent / "res" / "updater.ico"
    if len(sys.argv) > 2:
        sys.exit("usage: make-icon.py [OUTPUT.ico]")
    if len(sys.argv) == 2:
        out = pathlib.Path(sys.argv[1])
    out.write_bytes(icon_file([ICON_32, ICON_16]))


if __name__ == "__main__":
    main()
