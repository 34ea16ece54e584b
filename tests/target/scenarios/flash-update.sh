#!/bin/bash
# Update on flash: try-update's sample device tree on UBIFS, holding
# preserved and stale files, is replaced from a bsdtar (pax) archive of 282
# entries, with the splash, the bar and the LEDs on a real framebuffer and
# LED class.
. "$(dirname "$0")/../lib.sh"

sample_tree "$work/new"
LC_ALL=C.UTF-8 bsdtar --format pax --numeric-owner -C "$work/new" -czf "$work/update.tar.gz" .
archive_tree "$work/update.tar.gz" "$work/tree-archive.txt"
digest=$(sha256sum "$work/update.tar.gz" | cut -d' ' -f1)

try_update "$work/update.tar.gz"
expect_done
expect_grep "checksum verified" "^Checksum ok \($digest\)$" stdout
expect_tree "tree: the archive's entries (bsdtar's extraction) and the preserved paths" \
    tree-after.txt tree-before.txt "$work/tree-archive.txt"
# 282 entries: the bar's centre went down to row 272 and back up to 262.
expect_eq "activity bar after 282 entries, the splash beside it" "$(screen)" "black 222 white 50 splash"
# One LED's values in order, "1 0 1"; the shortest time between two changes
# of belvonix:1 in milliseconds.
led_values() { awk -v led="$1" '$2 == led { printf "%s%s", sep, $3; sep = " " }' leds.log; }
min_gap=$(awk '$2 == "belvonix:1" { if (t) { g = ($1 - t) * 1000; if (!m || g < m) m = g } t = $1 } END { printf "%d", m }' leds.log)
expect_eq "alix:3 on, then switched off" "$(led_values alix:3)" "1 0"
expect_grep "LED 1 blinked: on, off, on" "^1 0 1" <(led_values belvonix:1)
expect_grep "LED 2 swapped with it from the second swap" "^1 0" <(led_values belvonix:2)
expect_grep "swaps at least a second apart" "^(9[5-9][0-9]|[1-9][0-9]{3,})$" <(echo "$min_gap")
finish
