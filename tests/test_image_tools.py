#!/usr/bin/env python3
# The splash assets and the image tools in tools/: the committed raw image is
# what make-splash renders from the SVG, the committed picture agrees with it,
# and conversions are lossless both ways.
# Usage: test_image_tools.py REPO_ROOT

import os
import random
import struct
import subprocess
import sys
import tempfile

ROOT = sys.argv[1]


def convert(tmp, data, tool, *mode):
    with open(os.path.join(tmp, "in"), "wb") as f:
        f.write(data)
    subprocess.run([os.path.join(ROOT, "tools", tool), *mode, os.path.join(tmp, "in"), os.path.join(tmp, "out")], check=True)
    with open(os.path.join(tmp, "out"), "rb") as f:
        return f.read()


with tempfile.TemporaryDirectory() as tmp:
    raw = open(os.path.join(ROOT, "assets", "splash.rgb565"), "rb").read()
    png = open(os.path.join(ROOT, "assets", "splash.png"), "rb").read()
    assert convert(tmp, png, "rgb565-png", "to-raw") == raw, "splash.png and splash.rgb565 differ"
    subprocess.run([os.path.join(ROOT, "tools", "make-splash"), tmp], check=True)
    with open(os.path.join(tmp, "splash.rgb565"), "rb") as f:
        assert f.read() == raw, "splash.rgb565 is not what tools/make-splash renders from splash.svg"

    # Every RGB565 value, twice, in a fixed shuffled order, as one screen.
    values = list(range(65536)) * 2
    random.Random(565).shuffle(values)
    screen = struct.pack("<130560H", *values[:130560])
    picture = convert(tmp, screen, "fbdump-png")
    assert convert(tmp, picture, "rgb565-png", "to-raw") == screen, "raw -> PNG -> raw is not lossless"
