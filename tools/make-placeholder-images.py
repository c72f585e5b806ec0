#!/usr/bin/env python3
"""Writes the two placeholder firmware images in res/.

They are not firmware: a text header saying so, then a deterministic xorshift32 byte
stream, at the sizes of the real images (100080 and 113348 bytes), so that every run of
the update moves the same number of blocks and chunks as with real firmware.
"""
import pathlib

SIZES = {"A": 100080, "B": 113348}


def image(name: str, size: int) -> bytes:
    header = (f"KORVEL7 PLACEHOLDER IMAGE {name}: NOT FIRMWARE. Configure with "
              f"-DKORVEL7_IMAGE_{name}=<file> to build in a real image.\n").encode()
    state = 0x2545F491 if name == "A" else 0x9E3779B9
    body = bytearray()
    while len(header) + len(body) < size:
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        body.append(state & 0xFF)
    return (header + body)[:size]


if __name__ == "__main__":
    res = pathlib.Path(__file__).resolve().parent.parent / "res"
    for name, size in SIZES.items():
        (res / f"placeholder_image_{name.lower()}.bin").write_bytes(image(name, size))
