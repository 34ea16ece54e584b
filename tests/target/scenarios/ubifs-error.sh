#!/bin/bash
# Injected UBIFS error: with -e 5 the tool switches UBIFS read-only through
# its debug file after five entries; the sixth cannot be written, the tool
# ends at once with status 255 and without syncing, and the preserved paths
# are still there.
. "$(dirname "$0")/../lib.sh"

sample_tree "$device_work/new" 0
try_update "$device_work/new.tar.gz" --leds none --no-fb -e 5
expect_eq "status 255, injection announced" "$(cat status) $(grep '^!!' stdout)" \
    "255 !! UBIFS will fail after 5 files have been written !!"
# Sorted by name: ./, ./bin/, ./bin/absolute, ./bin/dangling, ./bin/f000, ./bin/f001.
expect_eq "injected after the fifth entry, failing the sixth, no sync" "$(sed -n '/^unpack\.\.\.$/,$p' stdout)" \
    "$(printf "unpack...\nSimulating I/O error in UBIFS layer\narchive_read_extract() failed for ./bin/f001: (-20) Can't create 'bin/f001'")"
expect_eq "the fifth entry written, not the sixth" "$(grep -oE '^\./bin/f00[01] ' tree-after.txt)" "./bin/f000 "
expect_eq "UBIFS refused it as read-only" "$(grep -ao 'ubifs_create .*error -30' console.log)" \
    "ubifs_create [ubifs]: cannot create regular file, error -30"
expect_same "preserved paths intact" <(grep -E "$preserved" tree-after.txt) <(grep -E "$preserved" tree-before.txt)
