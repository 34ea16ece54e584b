#!/usr/bin/env python3
"""Checks of the splash assets and of the image tools in tools/.

Usage: test_image_tools.py REPO_ROOT CASE, CASE being one of the functions in
CASES. The PNG test pictures are encoded here, with a filter encoder written
independently of the tools' decoder, so that the decoder is checked against
pixels known in advance rather than against its own writer.
"""

import os
import random
import struct
import subprocess
import sys
import tempfile
import zlib

FB_BYTES = 480 * 272 * 2


def run(tool, *args, stdin=None):
    return subprocess.run([os.path.join(ROOT, "tools", tool), *args], input=stdin,
                          capture_output=True)


def convert(tmp, direction, data, size="480x272", tool="rgb565-png"):
    src, dst = os.path.join(tmp, "in"), os.path.join(tmp, "out")
    with open(src, "wb") as f:
        f.write(data)
    args = [src, dst] if tool == "fbdump-png" else [direction, src, dst, "--size", size]
    done = run(tool, *args)
    check(done.returncode == 0, "%s %s failed: %s" % (tool, direction, done.stderr.decode()))
    with open(dst, "rb") as f:
        return f.read()


def check(ok, message):
    if not ok:
        sys.exit("FAIL: " + message)


def asset(name):
    with open(os.path.join(ROOT, "assets", name), "rb") as f:
        return f.read()


# --- An independent PNG encoder for the reader's checks --------------------------

def paeth(a, b, c):
    estimate = a + b - c
    return min((abs(estimate - a), 0, a), (abs(estimate - b), 1, b),
               (abs(estimate - c), 2, c))[2]


def filtered(row, prev, bpp, kind):
    out = bytearray([kind])
    for i, x in enumerate(row):
        a = row[i - bpp] if i >= bpp else 0
        b = prev[i]
        c = prev[i - bpp] if i >= bpp else 0
        predictor = [0, a, b, (a + b) // 2, paeth(a, b, c)][kind]
        out.append((x - predictor) % 256)
    return out


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png(width, height, colour, samples, kinds, extra=b"", interlace=0, depth=8):
    bpp = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour]
    stride = width * bpp
    rows, prev = bytearray(), bytes(stride)
    for y in range(height):
        row = samples[y * stride:(y + 1) * stride]
        rows += filtered(row, prev, bpp, kinds[y % len(kinds)])
        prev = row
    ihdr = struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, interlace)
    # Split the data over two IDAT chunks, as encoders with a buffer limit do.
    z = zlib.compress(bytes(rows))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + extra
            + chunk(b"IDAT", z[:len(z) // 2]) + chunk(b"IDAT", z[len(z) // 2:])
            + chunk(b"IEND", b""))


def rgb565(pixels):
    """Expected raw bytes of 8-bit (r, g, b) pixels: each channel to its nearest level."""
    return b"".join(struct.pack("<H", int(r * 31 / 255 + 0.5) << 11
                                | int(g * 63 / 255 + 0.5) << 5 | int(b * 31 / 255 + 0.5))
                    for r, g, b in pixels)


def over_black(v, a):
    return int(v * a / 255 + 0.5)


# --- Cases --------------------------------------------------------------------------

def splash(tmp):
    raw, picture = asset("splash.rgb565"), asset("splash.png")
    check(len(raw) == FB_BYTES, "splash.rgb565 is %d bytes" % len(raw))
    check(convert(tmp, "to-raw", picture) == raw, "splash.png and splash.rgb565 differ")
    check(convert(tmp, "to-raw", convert(tmp, "to-png", raw)) == raw,
          "splash.rgb565 -> PNG -> raw is not lossless")
    strip = [raw[960 * r + c] for r in range(272) for c in range(40)]
    check(not any(strip), "the activity bar's columns 0-19 are not all black")


def roundtrip(tmp):
    # Every RGB565 value, twice, in a fixed shuffled order, as one screen.
    values = list(range(65536)) * 2
    random.Random(565).shuffle(values)
    raw = struct.pack("<130560H", *values[:130560])
    picture = convert(tmp, "", raw, tool="fbdump-png")
    check(picture == convert(tmp, "to-png", raw), "fbdump-png and rgb565-png disagree")
    check(convert(tmp, "to-raw", picture) == raw, "raw -> PNG -> raw is not lossless")
    small = raw[:2 * 7 * 3]
    check(convert(tmp, "to-raw", convert(tmp, "to-png", small, "7x3"), "7x3") == small,
          "a 7x3 round trip is not lossless")


def filters(tmp):
    rng = random.Random(7)
    w, h = 9, 10                       # 10 rows: each filter twice per picture
    n = w * h
    rgba = bytes(rng.randrange(256) for _ in range(4 * n))
    px = [tuple(rgba[4 * i:4 * i + 4]) for i in range(n)]
    grey = [p[0] for p in px]
    palette = bytes(rng.randrange(256) for _ in range(3 * 16))
    alpha = bytes(rng.randrange(256) for _ in range(10))   # entries 10-15 opaque
    index = [p[1] % 16 for p in px]

    def pal(i):
        a = alpha[i] if i < len(alpha) else 255
        return tuple(over_black(v, a) for v in palette[3 * i:3 * i + 3])
    pictures = [
        ("RGB", 2, b"".join(bytes(p[:3]) for p in px), b"", [p[:3] for p in px]),
        ("RGBA", 6, rgba, b"", [tuple(over_black(v, p[3]) for v in p[:3]) for p in px]),
        ("grey", 0, bytes(grey), b"", [(g, g, g) for g in grey]),
        ("grey+alpha", 4, b"".join(bytes((p[0], p[3])) for p in px), b"",
         [(over_black(p[0], p[3]),) * 3 for p in px]),
        ("palette", 3, bytes(index), chunk(b"PLTE", palette) + chunk(b"tRNS", alpha),
         [pal(i) for i in index]),
    ]
    for name, colour, samples, extra, expected in pictures:
        for kinds in ([0, 1, 2, 3, 4], [4, 3, 2, 1, 0], [4], [3]):
            got = convert(tmp, "to-raw", png(w, h, colour, samples, kinds, extra), "9x10")
            check(got == rgb565(expected), "%s picture with filters %s decoded wrongly"
                  % (name, kinds))


def errors(tmp):
    good = png(4, 2, 2, bytes(24), [0])
    bad_crc = bytearray(good)
    bad_crc[40] ^= 1
    cases = [  # tool, arguments, input, what stderr must say
        ("rgb565-png", [], None, "usage"),
        ("rgb565-png", ["sideways"], b"", "invalid choice"),
        ("rgb565-png", ["to-png"], bytes(FB_BYTES - 2), "261118 bytes"),
        ("rgb565-png", ["to-png", "--size", "4x"], bytes(16), "480x272"),
        ("rgb565-png", ["to-raw"], b"GIF89a" + bytes(50), "not a PNG"),
        ("rgb565-png", ["to-raw"], good, "4x2, expected 480x272"),
        ("rgb565-png", ["to-raw", "--size", "4x2"], bytes(bad_crc), "bad CRC"),
        ("rgb565-png", ["to-raw", "--size", "4x2"], good[:-20], "truncated"),
        ("rgb565-png", ["to-raw", "--size", "4x2"],
         png(4, 2, 2, bytes(48), [0], depth=16), "16 bits"),
        ("rgb565-png", ["to-raw", "--size", "4x2"],
         png(4, 2, 2, bytes(24), [0], interlace=1), "interlaced"),
        ("fbdump-png", [], None, "usage"),
        ("fbdump-png", [], bytes(FB_BYTES + 2), "--first-page"),
        ("fbdump-png", [], bytes(100), "100 bytes"),
    ]
    src, dst = os.path.join(tmp, "in"), os.path.join(tmp, "out")
    for tool, args, data, message in cases:
        if os.path.exists(dst):
            os.remove(dst)
        if data is None:
            done = run(tool, *args)
        else:
            with open(src, "wb") as f:
                f.write(data)
            files = [src, dst]
            done = run(tool, *(args[:1] + files + args[1:] if args else files))
        err = done.stderr.decode()
        check(done.returncode != 0 and message in err,
              "%s %s: status %d, stderr %r" % (tool, args, done.returncode, err))
        check(not os.path.exists(dst), "%s %s wrote output on failure" % (tool, args))
    longer = os.path.join(tmp, "long")
    with open(longer, "wb") as f:
        f.write(b"\xff" * FB_BYTES + bytes(FB_BYTES))
    done = run("fbdump-png", "--first-page", longer, dst)
    check(done.returncode == 0, "fbdump-png --first-page failed")
    check(convert(tmp, "to-raw", open(dst, "rb").read()) == b"\xff" * FB_BYTES,
          "fbdump-png --first-page did not show the first page")


def regenerate(tmp):
    done = run("make-splash", tmp)
    check(done.returncode == 0, "make-splash failed: " + done.stderr.decode())
    with open(os.path.join(tmp, "splash.rgb565"), "rb") as f:
        check(f.read() == asset("splash.rgb565"),
              "make-splash no longer draws assets/splash.rgb565: run tools/make-splash")


CASES = {f.__name__: f for f in (splash, roundtrip, filters, errors, regenerate)}

if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[2] not in CASES:
        sys.exit("usage: test_image_tools.py REPO_ROOT {%s}" % ",".join(CASES))
    ROOT = sys.argv[1]
    with tempfile.TemporaryDirectory() as scratch:
        CASES[sys.argv[2]](scratch)
    print("ok")
