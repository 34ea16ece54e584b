#!/usr/bin/env python3
"""Checks of what the emulated device showed, for the scenarios.

  check.py screen DUMP SPLASH ENTRIES   the dump is the splash picture with
                                        the activity bar's frame for ENTRIES
                                        extracted entries in columns 0-19
  check.py leds LOG LED1 LED2 LED3 [--silent]
                                        LED3 was switched off after being on;
                                        LED1 and LED2 swapped at most once a
                                        second, LED1 first; if silent,
                                        neither changed after LED1 was
                                        switched on before the update
Prints what differs and exits 1 on a difference.
"""

import sys

WIDTH, HEIGHT, STRIP = 480, 272, 20
# The swaps are timed by the tool and logged by another process a little
# later; this much of the logging delay is forgiven.
SLACK = 0.05


def bar_frame(pos):
    """Pixel values of the strip's rows for the given entry count."""
    p = pos % (2 * HEIGHT)
    centre = p if p <= HEIGHT else 2 * HEIGHT - p
    return [0xFFFF if centre - 40 <= r <= centre + 39 else 0 for r in range(HEIGHT)]


def check_screen(dump_path, splash_path, entries):
    dump = open(dump_path, "rb").read()
    splash = open(splash_path, "rb").read()
    if len(dump) != WIDTH * HEIGHT * 2 or len(splash) != len(dump):
        return ["dump %d bytes, splash %d bytes" % (len(dump), len(splash))]
    bar = bar_frame(entries)
    errors = []
    for r in range(HEIGHT):
        row = slice(r * WIDTH * 2, (r + 1) * WIDTH * 2)
        got, want = dump[row], splash[row]
        strip = bytes(bar[r].to_bytes(2, "little")) * STRIP
        if got[:STRIP * 2] != strip:
            errors.append("row %d: strip is not %s" % (r, "white" if bar[r] else "black"))
        if got[STRIP * 2:] != want[STRIP * 2:]:
            errors.append("row %d: differs from the splash picture" % r)
    return errors[:10] + (["... %d more rows" % (len(errors) - 10)] if len(errors) > 10 else [])


def check_leds(log_path, led1, led2, led3, silent):
    events = []
    for line in open(log_path):
        stamp, name, value = line.split()
        events.append((float(stamp), name, int(value)))
    errors = []
    led3_values = [v for _, n, v in events if n == led3]
    if led3_values != [1, 0]:
        errors.append("%s went %s, expected on (set up) then off" % (led3, led3_values))
    blinks = [e for e in events if e[1] in (led1, led2)]
    if silent:
        # LED 1 was switched on before the update, to show that it stays on.
        if blinks and blinks[0][1:] == (led1, 1):
            blinks = blinks[1:]
        if blinks:
            errors.append("silent update changed %s" % blinks)
        return errors
    # Each swap changes LED 1; LED 2 changes with it except at the first
    # swap, where it stays off. The swaps alternate starting with LED 1 on.
    swaps = [e for e in blinks if e[1] == led1]
    if len(swaps) < 3:
        errors.append("only %d swaps: %s" % (len(swaps), blinks))
    for i, (when, _, value) in enumerate(swaps):
        if value != (1 if i % 2 == 0 else 0):
            errors.append("swap %d set %s to %d" % (i + 1, led1, value))
        if i and when - swaps[i - 1][0] < 1 - SLACK:
            errors.append("swap %d only %.3f s after the one before" % (i + 1, when - swaps[i - 1][0]))
    others = [e for e in blinks if e[1] == led2]
    if [v for _, _, v in others] != [i % 2 for i in range(1, len(swaps))]:
        errors.append("%s went %s with %d swaps" % (led2, [v for _, _, v in others], len(swaps)))
    off = [t for t, n, v in events if n == led3 and v == 0]
    if off and swaps and swaps[0][0] < off[0]:
        errors.append("blinking began before %s was switched off" % led3)
    return errors


def main(argv):
    if len(argv) == 5 and argv[1] == "screen":
        errors = check_screen(argv[2], argv[3], int(argv[4]))
    elif len(argv) in (6, 7) and argv[1] == "leds":
        errors = check_leds(argv[2], argv[3], argv[4], argv[5], argv[6:] == ["--silent"])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    for error in errors:
        print(error)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
