#!/usr/bin/env python3
"""Checks of the splash assets and of the image tools in tools/: the
committed picture and raw image agree, the raw image leaves the bar's strip
black, conversions are lossless both ways, and make-splash still draws the
committed image.

Usage: test_image_tools.py REPO_ROOT
"""

import os
import random
import struct
import subprocess
import sys
import tempfile

ROOT = sys.argv[1]


def read(path):
    with open(path, "rb") as f:
        return f.read()


def run(tool, *args):
    done = subprocess.run([os.path.join(ROOT, "tools", tool), *args], capture_output=True)
    assert done.returncode == 0, "%s %s failed: %s" % (tool, args, done.stderr.decode())


def convert(tmp, data, tool, *mode):
    with open(os.path.join(tmp, "in"), "wb") as f:
        f.write(data)
    run(tool, *mode, os.path.join(tmp, "in"), os.path.join(tmp, "out"))
    return read(os.path.join(tmp, "out"))


with tempfile.TemporaryDirectory() as tmp:
    raw = read(os.path.join(ROOT, "assets", "splash.rgb565"))
    assert len(raw) == 480 * 272 * 2, "splash.rgb565 is %d bytes" % len(raw)
    png = read(os.path.join(ROOT, "assets", "splash.png"))
    assert convert(tmp, png, "rgb565-png", "to-raw") == raw, "splash.png and splash.rgb565 differ"
    assert not any(raw[960 * r + c] for r in range(272) for c in range(40)), "the bar's columns 0-19 are not all black"

    # Every RGB565 value, twice, in a fixed shuffled order, as one screen.
    values = list(range(65536)) * 2
    random.Random(565).shuffle(values)
    screen = struct.pack("<130560H", *values[:130560])
    picture = convert(tmp, screen, "fbdump-png")
    assert picture == convert(tmp, screen, "rgb565-png", "to-png"), "fbdump-png and rgb565-png disagree"
    assert convert(tmp, picture, "rgb565-png", "to-raw") == screen, "raw -> PNG -> raw is not lossless"

    run("make-splash", tmp)
    assert read(os.path.join(tmp, "splash.rgb565")) == raw, "make-splash no longer draws assets/splash.rgb565"
