#!/usr/bin/env python3
"""Checks of the splash assets and of the image tools in tools/: the
committed picture and raw image agree, the raw image leaves the bar's strip
black, conversions are lossless both ways, and make-splash still draws the
committed image.

Usage: test_image_tools.py REPO_ROOT CASE, CASE being one of CASES.
"""

import os
import random
import struct
import subprocess
import sys
import tempfile

FB_BYTES = 480 * 272 * 2


def check(ok, message):
    if not ok:
        sys.exit("FAIL: " + message)


def convert(tmp, args, data):
    src, dst = os.path.join(tmp, "in"), os.path.join(tmp, "out")
    with open(src, "wb") as f:
        f.write(data)
    done = subprocess.run([os.path.join(ROOT, "tools", args[0]), *args[1:2], src, dst, *args[2:]],
                          capture_output=True)
    check(done.returncode == 0, "%s failed: %s" % (args, done.stderr.decode()))
    with open(dst, "rb") as f:
        return f.read()


def asset(name):
    with open(os.path.join(ROOT, "assets", name), "rb") as f:
        return f.read()


def splash(tmp):
    raw = asset("splash.rgb565")
    check(len(raw) == FB_BYTES, "splash.rgb565 is %d bytes" % len(raw))
    check(convert(tmp, ["rgb565-png", "to-raw"], asset("splash.png")) == raw, "splash.png and splash.rgb565 differ")
    check(not any(raw[960 * r + c] for r in range(272) for c in range(40)),
          "the activity bar's columns 0-19 are not all black")


def roundtrip(tmp):
    # Every RGB565 value, twice, in a fixed shuffled order, as one screen.
    values = list(range(65536)) * 2
    random.Random(565).shuffle(values)
    raw = struct.pack("<130560H", *values[:130560])
    picture = convert(tmp, ["fbdump-png"], raw)
    check(picture == convert(tmp, ["rgb565-png", "to-png"], raw), "fbdump-png and rgb565-png disagree")
    check(convert(tmp, ["rgb565-png", "to-raw"], picture) == raw, "raw -> PNG -> raw is not lossless")


def regenerate(tmp):
    done = subprocess.run([os.path.join(ROOT, "tools", "make-splash"), tmp], capture_output=True)
    check(done.returncode == 0, "make-splash failed: " + done.stderr.decode())
    with open(os.path.join(tmp, "splash.rgb565"), "rb") as f:
        check(f.read() == asset("splash.rgb565"),
              "make-splash no longer draws assets/splash.rgb565: run tools/make-splash")


CASES = {f.__name__: f for f in (splash, roundtrip, regenerate)}

if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[2] not in CASES:
        sys.exit("usage: test_image_tools.py REPO_ROOT {%s}" % ",".join(CASES))
    ROOT = sys.argv[1]
    with tempfile.TemporaryDirectory() as scratch:
        CASES[sys.argv[2]](scratch)
    print("ok")
