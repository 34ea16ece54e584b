#!/bin/bash
# Non-ASCII names on the device, which has no locale files: a bsdtar (pax)
# archive with names in several scripts, a decomposed accent and raw 8-bit
# names (pax marks those as binary) lands byte-exact.
. "$(dirname "$0")/../lib.sh"
# LC_ALL=C (lib.sh): the lengths below count bytes.

names=(Überschrift.ttf привет.txt 日本語.txt 🚀.txt $'cafe\xcc\x81.txt' $'\xd0\xd2\xc9\xd7\xc5\xd4.koi8' $'\xdcber.latin1')
mkdir -p "$device_work/new/fonts"
for f in "${names[@]}"; do echo "$f" >"$device_work/new/fonts/$f"; done
LC_ALL=C.UTF-8 bsdtar --format pax --numeric-owner -C "$device_work/new" -cf "$device_work/update.tar" . 2>/dev/null

try_update "$device_work/update.tar" --leds none --no-fb
expect_done
expect_eq "names below fonts/ land byte-exact" "$(grep '^\./fonts/' tree-after.txt | cut -d' ' -f1-6)" \
    "$(for f in "${names[@]}"; do echo "./fonts/$f f 0644 0 0 $((${#f} + 1))"; done | sort)"
