#!/bin/bash
# tools/try-update itself: an option without its value gets the usage, and
# Ctrl-C while the device runs stops the guest (QEMU) and says so, rather
# than leaving it to write on into OUTDIR.
. "$(dirname "$0")/../lib.sh"
try="$device_repo/tools/try-update"

expect_eq "--tree without a value" "$("$try" update.tar --tree 2>&1 | head -n 1)" "try-update: --tree needs a value"
expect_eq "its status" "$("$try" update.tar --tree >/dev/null 2>&1 || echo $?)" 2

# Ctrl-C reaches the terminal's foreground process group; a script's own
# background jobs ignore SIGINT, so the run gets a group and the default
# disposition back.
echo 2.0 >"$device_work/version"
tar -C "$device_work" -cf "$device_work/update.tar" version
python3 -c 'import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); os.setpgid(0, 0); os.execv(*sys.argv[1:2], sys.argv[1:])' \
    "$try" "$device_work/update.tar" -o "$out/run" 2>"$out/stderr" &
run=$!
until grep -q '^device: booting' "$out/stderr" || ! kill -0 "$run"; do sleep 0.5; done
sleep 2
kill -INT -- -"$run"
status=0
wait "$run" || status=$?
expect_eq "interrupted: status, message" "$status $(tail -n 1 "$out/stderr")" \
    "130 try-update: SIGINT: stopped the emulated device (QEMU); $out/run holds what it wrote until then"
expect_eq "no guest left" "$(pgrep -f "path=$out/run," || true)" ""
