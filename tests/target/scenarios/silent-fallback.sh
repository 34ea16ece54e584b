#!/bin/bash
# Silent update with the fall-back LEDs: with -s and only the alix LED names
# present, LEDs 1 and 2 never change while alix:3 is switched off.
. "$(dirname "$0")/../lib.sh"

sample_tree "$device_work/new"
try_update "$device_work/new.tar.gz" --leds alix --no-fb -s
expect_done
expect_eq "LED history: alix:3 on, then off, nothing else" "$(cut -d' ' -f2- leds.log | tr '\n' ,)" "alix:3 1,alix:3 0,"
