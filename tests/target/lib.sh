# shellcheck shell=bash
# Sourced by the scenarios: scenarios/NAME.sh [OUTDIR] runs one update on the
# emulated device (tools/try-update, or tools/device/lib.sh's device_boot for
# a guest part of its own) and checks the results in OUTDIR (default
# build/i386/tests/target/NAME) with the expect_* functions; finish prints
# the count and sets the exit status.
set -euo pipefail
export LC_ALL=C
name=$(basename "$0" .sh)
. "$(dirname "$0")/../../../tools/device/lib.sh"
out=${1:-$device_repo/build/i386/tests/target/$name}
work=$device_work
device_ready
started=$SECONDS

# The output directory is the guest's share: only ever one made here.
fresh_out() {
    if [ -e "$out" ]; then
        [ -e "$out/.try-update" ] || device_die "$out exists and was not made by a scenario"
        rm -rf "$out"
    fi
    mkdir -p "$out/slow"
    touch "$out/.try-update"
}
try_update() { "$device_repo/tools/try-update" "$@" -o "$out" >"$work/report" 2>&1 || true; cd "$out"; }
boot() {   # OPTIONS [keep]: boots with the function guest defined here
    [ -n "${2:-}" ] || fresh_out
    declare -f guest >"$work/guest.sh"
    device_boot "$out" "$work/guest.sh" "$1" 2>/dev/null || true
    cd "$out"
    expect_eq "guest part ran" "$(cat guest-status 2>/dev/null)" 0
}

# A tree of a few hundred entries of every kind, with owners, modes, times
# and links for an extraction to restore, and the kernel image it must skip.
sample_tree() {   # DIR [MEBIBYTES]: that many files of 1 MiB, default 10
    local d=$1 i n=0 path
    mkdir -p "$d"/{bin,dev,etc/init.d,home,tmp,usr/lib/app,usr/share/doc,var/lib/reports}
    for i in $(seq -w 0 119); do echo "program $i" >"$d/bin/f$i"; done
    for i in $(seq -w 0 99); do head -c $((10#$i * 97 + 1)) /dev/urandom >"$d/usr/lib/app/lib$i.so"; done
    for i in $(seq "${2:-10}"); do head -c 1048576 /dev/urandom >"$d/usr/share/doc/big$i"; done
    for i in $(seq -w 0 29); do
        echo "service $i" >"$d/etc/init.d/s$i"
        chown "$((1000 + 10#$i)):$((100 + 10#$i))" "$d/etc/init.d/s$i"
    done
    echo 'root:x:0:0::/root:/bin/sh' >"$d/etc/passwd"
    chmod 755 "$d"/bin/f*
    chmod 4755 "$d/bin/f000"
    chmod 2711 "$d/bin/f001"
    chmod 600 "$d/etc/passwd"
    chmod 1777 "$d/tmp"
    chown -R 33:33 "$d/usr/share/doc"
    chown 1000:1000 "$d/home"
    ln -s f010 "$d/bin/link"
    ln -s /usr/lib/app "$d/bin/absolute"
    ln -s missing "$d/bin/dangling"
    ln "$d/bin/f020" "$d/bin/hardlink"
    mkfifo "$d/dev/fifo"
    mknod "$d/dev/null" c 1 3
    head -c 4096 /dev/urandom >"$d/tmp/belvonix-update.zImage"
    # Contents before their directories, so that no later change moves a time.
    find "$d" -mindepth 1 -depth | while read -r path; do
        touch -h -d "@$((1500000000 + n * 3607))" "$path"
        n=$((n + 1))
    done
}

# Packs a tree the way an update archive is made: "./" names, numeric owners,
# sorted; prints the digest that names it.
pack_tree() {   # DIR ARCHIVE COMPRESSOR-OPTION
    tar --numeric-owner --sort=name --format=gnu -C "$1" "$3" -cf "$2" .
    sha256sum "$2" | cut -d' ' -f1
}

# The listing of what bsdtar extracts from an archive on the host, as the
# tool should leave it (the kernel image is not extracted).
archive_tree() {   # ARCHIVE LISTING
    local dir
    dir=$(mktemp -d "$work/archive.XXXXXX")
    LC_ALL=C.UTF-8 bsdtar -xpf "$1" --numeric-owner -C "$dir" --exclude ./tmp/belvonix-update.zImage
    list_tree "$dir" >"$2"
    rm -rf "$dir"
}

preserved='^\./(etc/belvonix|etc/dropbear|home/chrome|var/alsa|var/lib/bluetooth|var/lib/reports/finished|var/belvonix-1\.0)'

failures=0
check() {
    if [ "$1" = ok ]; then
        echo "ok   $2"
    else
        echo "FAIL $2"
        failures=$((failures + 1))
    fi
}
expect_eq() {   # DESCRIPTION ACTUAL EXPECTED
    if [ "$2" = "$3" ]; then check ok "$1"; else check no "$1: got '$2', expected '$3'"; fi
}
expect_grep() { # DESCRIPTION PATTERN FILE
    if grep -qE -- "$2" "$3"; then check ok "$1"; else check no "$1: no /$2/ in $3"; fi
}
expect_no_grep() {
    if grep -qE -- "$2" "$3"; then check no "$1: /$2/ in $3"; else check ok "$1"; fi
}
expect_same() { # DESCRIPTION FILE EXPECTED-FILE
    if diff -u "$3" "$2" >"$2.diff"; then check ok "$1"; rm -f "$2.diff"; else
        check no "$1 (see $2.diff)"; head -n 20 "$2.diff"; fi
}
# The tree after an update is the archive's tree plus the preserved paths as
# they were before. The directories that hold preserved paths survive the
# purge, and libarchive sets the times of an existing directory when it meets
# its entry, before it writes into it: their times are not compared.
expect_tree() {  # DESCRIPTION AFTER BEFORE ARCHIVE-LISTING
    local kept
    kept=$(grep -E "$preserved" "$3" | awk '{ p = $1; while (sub("/[^/]*$", "", p) && p != ".") print p }' | { grep -vE "$preserved" || true; } | sort -u)
    mask() { awk -v kept="$kept" 'BEGIN { n = split(kept, k, "\n"); for (i = 1; i <= n; i++) m[k[i]] = 1 }
        $2 == "d" && ($1 in m) { $7 = "*" } { print }' | LC_ALL=C sort; }
    { grep -E "$preserved" "$3"; cat "$4"; } | mask >"$2.expected"
    mask <"$2" >"$2.sorted"
    expect_same "$1" "$2.sorted" "$2.expected"
}
expect_preserved() {  # DESCRIPTION AFTER BEFORE
    grep -E "$preserved" "$3" >"$2.expected" || true
    grep -E "$preserved" "$2" >"$2.preserved" || true
    expect_same "$1" "$2.preserved" "$2.expected"
}
# The activity strip (columns 0-19) of the screen dump as runs of rows,
# "white 0-39 black 40-271"; and whether the rest is the splash picture.
strip_runs() {
    python3 - "$1" <<'EOF'
import sys
d = open(sys.argv[1], "rb").read()
rows = [d[r * 960:r * 960 + 40] for r in range(272)]
name = lambda b: {b"\xff" * 40: "white", b"\0" * 40: "black"}.get(b, "mixed")
runs = []
for r, b in enumerate(rows):
    if runs and runs[-1][0] == name(b): runs[-1][2] = r
    else: runs.append([name(b), r, r])
print(" ".join("%s %d-%d" % tuple(x) for x in runs))
EOF
}
beyond_strip() { python3 -c "import sys; d = open(sys.argv[1], 'rb').read(); sys.stdout.buffer.write(b''.join(d[r * 960 + 40:r * 960 + 960] for r in range(272)))" "$1"; }
expect_splash() {
    if cmp -s <(beyond_strip screen.rgb565) <(beyond_strip "$device_repo/assets/splash.rgb565"); then
        check ok "screen right of the strip is the splash picture"
    else check no "screen right of the strip differs from assets/splash.rgb565"; fi
}
# One LED's values in order, "1 0 1".
led_values() { awk -v led="$1" '$2 == led { printf "%s%s", sep, $3; sep = " " }' leds.log; }
# The shortest time between two changes of one LED, in milliseconds.
led_min_gap() { awk -v led="$1" '$2 == led { if (t) { g = ($1 - t) * 1000; if (!m || g < m) m = g } t = $1 } END { printf "%d", m }' leds.log; }

finish() {
    echo "$name: $((SECONDS - started)) s, $failures failed; results in $out"
    [ "$failures" -eq 0 ]
}
