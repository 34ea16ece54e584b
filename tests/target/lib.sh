# shellcheck shell=bash
# Sourced by the scenarios: scenarios/NAME.sh [OUTDIR] runs one update on the
# emulated device (tools/try-update, or tools/device/lib.sh's device_boot for
# a guest part of its own) and checks the results in OUTDIR (default
# build/i386/tests/target/NAME) with the expect_* functions. On exit it
# prints the count; a failed check, or any command failing, fails it.
set -euo pipefail
export LC_ALL=C
name=$(basename "$0" .sh)
case ${1:-} in
-h | --help)
    echo "Usage: $0 [OUTDIR]   (as root; OUTDIR defaults to build/i386/tests/target/$name)"
    sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0" && exit 0
    ;;
-*) echo "usage: $0 [OUTDIR]" >&2 && exit 2 ;;
esac
. "$(dirname "$0")/../../../tools/device/lib.sh"
out=${1:-$device_repo/build/i386/tests/target/$name}
device_ready
device_outdir "$out"
cd "$out"
failures=0

finish() {
    echo "$name: $SECONDS s, $failures failed; results in $out"
    rm -rf "$device_work"
    [ "$failures" -eq 0 ] || exit 1
}
trap finish EXIT

expect_eq() {   # DESCRIPTION ACTUAL EXPECTED
    [ "$2" = "$3" ] && echo "ok   $1" && return
    echo "FAIL $1: got '$2', expected '$3'"
    failures=$((failures + 1))
}
# DESCRIPTION FILE EXPECTED-FILE: a failure shows the start of the difference.
expect_same() { expect_eq "$1" "$(diff -u "$3" "$2" | head -n 20)" ""; }
# The update ran to its end.
expect_done() { expect_eq "status, last line, stderr" "$(cat status) $(tail -n 1 stdout) $(cat stderr)" "0 sync "; }

try_update() { "$device_repo/tools/try-update" "$@" -o "$out" >"$device_work/report" 2>&1 || true; cd "$out"; }
boot() {   # OPTIONS [VARIABLE...]: boots with the function guest defined here and these variables
    for v in "${@:2}"; do echo "$v='${!v}'"; done >"$device_work/guest.sh"
    declare -f guest >>"$device_work/guest.sh"
    device_boot "$out" "$device_work/guest.sh" "$1" 2>/dev/null || true
    expect_eq "guest part ran" "$(cat guest-status 2>/dev/null)" 0
}

# A tree of a few hundred entries of every kind, with owners, modes, times
# and links for an extraction to restore, and the kernel image it must skip;
# DIR.tar.gz is it packed by pack_tree.
sample_tree() {   # DIR [MEBIBYTES]: that many files of 1 MiB, default 10
    local d=$1 i n=0 path
    mkdir -p "$d"/{bin,dev,etc/init.d,home,tmp,usr/lib/app,usr/share/doc,var/lib/reports}
    for i in $(seq -w 0 119); do echo "program $i" | install -m 755 /dev/stdin "$d/bin/f$i"; done
    for i in $(seq -w 0 99); do head -c $((10#$i * 97 + 1)) /dev/urandom >"$d/usr/lib/app/lib$i.so"; done
    for i in $(seq "${2:-10}"); do head -c 1048576 /dev/urandom >"$d/usr/share/doc/big$i"; done
    for i in $(seq -w 0 29); do echo "service $i" | install -m 644 -o "10$i" -g "1$i" /dev/stdin "$d/etc/init.d/s$i"; done
    echo 'root:x:0:0::/root:/bin/sh' | install -m 600 /dev/stdin "$d/etc/passwd"
    chmod 4755 "$d/bin/f000"
    chmod 2711 "$d/bin/f001"
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
        touch -h -d "@$((1500000000 + n++ * 3607))" "$path"
    done
    pack_tree "$d" "$d.tar.gz" -z
}
busybox_root() {   # DIR VERSION: busybox as /bin/sh, VERSION in /etc/version
    mkdir -p "$1/bin" "$1/sbin" "$1/etc"
    cp "$device_cache/root/bin/busybox" "$1/bin/"
    ln -s busybox "$1/bin/sh"
    echo "$2" >"$1/etc/version"
}

# Packs DIR into ARCHIVE, compressed by the tar option COMPRESSOR (and any
# further tar options), the way an update archive is made: "./" names,
# numeric owners, sorted.
pack_tree() { tar --numeric-owner --sort=name --format=gnu -C "$1" "${@:3}" -cf "$2" .; }

# The tree after an update is the archive's tree (as bsdtar extracts it on the
# host, less the kernel image) plus the preserved paths as they were before.
# The directories above preserved paths (and above a mount point, media)
# survive the purge, and libarchive sets the time of an existing directory
# when it meets its entry, before it writes into it: their times (column 7)
# are not compared.
preserved='^\./(etc/belvonix|etc/dropbear|home/chrome|var/alsa|var/lib/bluetooth|var/lib/reports/finished|var/belvonix-1\.0)'
mask() { sed -E 's#^(\./(etc|home|media|var|var/lib|var/lib/reports) d( [^ ]+){4}) [0-9]+ #\1 * #' | sort; }
expect_tree() {  # DESCRIPTION AFTER BEFORE ARCHIVE
    rm -rf "$device_work/archive" && mkdir "$device_work/archive"
    LC_ALL=C.UTF-8 bsdtar -xpf "$4" --numeric-owner -C "$device_work/archive" --exclude ./tmp/belvonix-update.zImage
    expect_same "$1" <(mask <"$2") <({ grep -E "$preserved" "$3"; list_tree "$device_work/archive"; } | mask)
}

# The activity strip (columns 0-19) of the screen dump as runs of rows,
# "white 40 black 232", and whether the rest is the splash picture.
screen() {
    python3 - screen.rgb565 "${FWU_SPLASH_RAW:-$device_repo/assets/splash.rgb565}" <<'EOF'
import itertools, sys
shot, splash = (open(f, "rb").read() for f in sys.argv[1:])
rows = range(0, 272 * 960, 960)
strip = [{b"\xff" * 40: "white", b"\0" * 40: "black"}.get(shot[r:r + 40], "mixed") for r in rows]
rest = all(shot[r + 40:r + 960] == splash[r + 40:r + 960] for r in rows)
print(*("%s %d" % (k, len(list(g))) for k, g in itertools.groupby(strip)), "splash" if rest else "no splash")
EOF
}
