#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/.

The seeds are committed; run this again only to change them."""
import pathlib

root = pathlib.Path(__file__).resolve().parent / "corpus"


def put(target, name, data):
    folder = root / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(bytes(data))


def image(size, version=b"", signature=None, at=None):
    """An image of 0xFF filler with a version text and a signature."""
    data = bytearray(b"\xff" * size)
    if version:
        start = at if at is not None else size // 2
        data[start:start + len(version)] = version
    if signature is not None:
        kib = size // 1024
        offset = 65496 if kib == 64 else 131032
        data[offset:offset + 4] = signature
    return data


# --- firmware: version texts and signatures ---
# One long line full of candidates whose only NUL lies beyond a line break:
# the worst case of a backtracking search, 128 KiB.
adversarial = bytearray()
while len(adversarial) + 8 < 131072:
    adversarial += b"ZK1234 "
adversarial += b"\n\0"
adversarial += b" " * (131072 - len(adversarial))
put("firmware", "adversarial-128k", adversarial)
put("firmware", "ordinary-64k", image(65536, b"ZK6121 V2.05 build 7\0", b"VRE2"))
# The input's last 40 bytes end the images the target builds: an erased
# signature there reads as "Talmore".
put("firmware", "talmore-tail", b"\xff\xff\xff\xff" + b"\0" * 36)
put("firmware", "each-pattern",
    b"\x01ZK12x3 short\0\n" b"ab.cdef 1.ghi four\0\n" b"V.1.22.333.4 three\0\n"
    b"AB123 4.56a two\0\n" b"ZK6121 one\0\0more\0\n")
# The blank of patterns 2 and 4 may be a line break: the match starts on
# the line before its NUL.
put("firmware", "across-lines", b"xx AB123\n4.56a tail\0 ab.cdef\r1.ghi\0")
put("firmware", "no-nul", b"ZK6121 V1.00 without an end\n")
put("firmware", "nel-and-high-bytes", b"ZK1234 a\x85b\0\nZK\xb91234\0")

# --- loader: size, signature, version text ---
def loader(version, signature=b"eISP", size=4096):
    data = bytearray(b"\x00" * size)
    data[16:16 + len(version)] = version
    if size == 4096:
        data[4088:4092] = signature
    return data


put("loader", "usb-virren", loader(b"UsbFlV v01.2\0"))
put("loader", "usb-talmore2", loader(b"UsbFlT2 v10.0\0"))
put("loader", "unsigned", loader(b"UsbFlS v02.1\0", b"\xff\xff\xff\xff"))
put("loader", "tab-blank", loader(b"UsbFlS\tv02.1\0"))
put("loader", "short-4095", loader(b"UsbFlV v01.2\0", size=4095))

# --- edid: a base block, and one cut short ---
def edid():
    e = bytearray(128)
    e[0:8] = b"\x00\xff\xff\xff\xff\xff\xff\x00"
    letters = "QRV"
    vid = 0
    for c in letters:
        vid = vid << 5 | (ord(c) - 64)
    e[8:10] = vid.to_bytes(2, "big")
    e[10:12] = (0x0001).to_bytes(2, "little")
    e[12:16] = (1234).to_bytes(4, "little")
    e[16], e[17], e[18], e[19], e[20], e[21], e[22] = 12, 32, 1, 4, 0xA5, 60, 34
    e[54:72] = bytes([0x02, 0x3A, 0x80, 0x18, 0x71, 0x38, 0x2D, 0x40, 0x58, 0x2C, 0x45, 0x00,
                      0x55, 0x50, 0x21, 0x00, 0x00, 0x1E])
    e[72 + 3] = 0xFC
    e[72 + 5:72 + 18] = b"Quorvel 27\n  "
    e[90 + 3] = 0x10
    e[108 + 3] = 0x10
    e[127] = (-sum(e[:127])) & 0xFF
    return e


put("edid", "base-block", edid())
put("edid", "cut-short", edid()[:100])

# --- usb_replies: a script of operations and replies (see usb_reply_fuzz.cpp) ---
version = b"\x40\x18\x08" + b"ZK6121 V1.02\0" + b"\0" * 50
put("usb_replies", "version-then-chip-id",
    b"\x00" + version +                       # GetVersion, 64 reply bytes
    b"\x02" + b"\x0b" + b"\x05\x06\x89\x10\x00\xa3" + b"\0" * 5)  # GetChipID: 0xA3
put("usb_replies", "short-version-and-failed-read",
    b"\x00\x01\x02" + b"\x01\x86\x0c\xf3")
put("usb_replies", "manual-debug-talmore",
    b"\x03\x00" + b"\x0b\x05\x06\x0a\x06\x00\x49" + b"\0" * 5 +
    b"\x0b\x05\x06\x0a\x74\x00\x10" + b"\0" * 5 + b"\x00\x00" +
    b"\x0b\x05\x06\x80\x88\x00\xff" + b"\0" * 5 + b"\x00")
put("usb_replies", "flash-two-pages-then-bad-status",
    b"\x04\x01\x00\x03" + b"\x00" * 4 + b"\x01\x01" + b"\x00" * 4 + b"\x01\x00")

# --- aux_replies: bit 0 of the first byte picks the transport ---
def replies(text, passes):
    data = text + b"\0" * (16 * passes - len(text))
    out = b""
    for i in range(passes):
        out += b"\x00" + data[16 * i:16 * i + 16]
    return out


put("aux_replies", "bus-model-text", b"\x00" + replies(b"ZK6121 V1.02.3\0", 8))
put("aux_replies", "bus-text-ends-in-pass-five",
    b"\x00" + replies(b"ZK1234 v1.0 aaaa" + b"b" * 48 + b"eeeeeee\0", 8))
put("aux_replies", "bus-fails-third", b"\x00" + replies(b"ZK12x3 x\0", 2) + b"\xff")
put("aux_replies", "service-long-text",
    b"\x01" + b"".join(b"\x00\x00" + chunk for chunk in
                       [b"\x10\x20ZK6121 V1.02.", b"3 with a long ta", b"il\0" + b"\0" * 13, b"\0" * 16]))
put("aux_replies", "service-read-fails", b"\x01\x00\xf5")
