#!/usr/bin/python3
"""tools/list-tree, which every tree comparison of the tests rests on.

A tree with an entry of every kind is listed and compared with what Python's
os.lstat and hashlib say of it; busybox's tools (the emulated device's, when
it is prepared) must list it byte for byte as GNU's do, since the target
tests compare a listing made in the guest with one made on the host; and a
tree deeper than PATH_MAX is listed whole.

Usage: test_list_tree.py REPO [BUSYBOX]   (needs root: owners, a device node)
"""
import hashlib
import os
import stat
import subprocess
import sys
import tempfile

ROOT = sys.argv[1]
BUSYBOX = sys.argv[2] if len(sys.argv) > 2 else ""
LIST_TREE = os.path.join(ROOT, "tools", "list-tree")


def make_tree(top):
    os.makedirs(os.path.join(top, "dir with space/sub"))
    os.makedirs(os.path.join(top, "dir-next"))
    with open(os.path.join(top, "dir with space/file"), "w") as f:
        f.write("content\n")
    open(os.path.join(top, "dir with space/sub/empty"), "w").close()
    open(os.path.join(top, "dir with space/sub-next"), "w").close()  # '-' sorts below '/'
    os.link(os.path.join(top, "dir with space/file"), os.path.join(top, "hard"))
    os.symlink("../a target/with space", os.path.join(top, "dir-next/link"))
    os.mkfifo(os.path.join(top, "fifo"))
    os.mknod(os.path.join(top, "null"), 0o620 | stat.S_IFCHR, os.makedev(1, 3))
    os.mknod(os.path.join(top, "disk"), 0o600 | stat.S_IFBLK, os.makedev(259, 65537))
    os.chmod(os.path.join(top, "dir-next"), 0o1777)
    os.chmod(os.path.join(top, "hard"), 0o4755)
    os.lchown(os.path.join(top, "dir-next/link"), 1234, 5678)
    for dirpath, names, files in os.walk(top):
        for name in names + files:
            os.utime(os.path.join(dirpath, name), ns=(0, 1500000000123456789), follow_symlinks=False)


def expected(top, ns):
    """The listing, from os.lstat and hashlib."""
    entries = []
    for dirpath, names, files in os.walk(top):
        for name in names + files:
            path = os.path.join(dirpath, name)
            st = os.lstat(path)
            kind = stat.S_IFMT(st.st_mode)
            letter = {stat.S_IFREG: "f", stat.S_IFDIR: "d", stat.S_IFLNK: "l", stat.S_IFCHR: "c",
                      stat.S_IFBLK: "b", stat.S_IFIFO: "p", stat.S_IFSOCK: "s"}[kind]
            if letter == "f":
                with open(path, "rb") as f:
                    extra = hashlib.sha256(f.read()).hexdigest()
            elif letter == "l":
                extra = "->" + os.readlink(path)
            elif letter in "cb":
                extra = f"{os.major(st.st_rdev)},{os.minor(st.st_rdev)}"
            else:
                extra = "-"
            size = st.st_size if letter in "fl" else 0
            nlink = 0 if letter == "d" else st.st_nlink
            mtime = f"{st.st_mtime_ns // 10**9}.{st.st_mtime_ns % 10**9:09d}" if ns else str(st.st_mtime_ns // 10**9)
            rel = "./" + os.path.relpath(path, top)
            entries.append((rel.encode().replace(b"/", b"\0"),
                            f"{rel} {letter} {stat.S_IMODE(st.st_mode):04o} {st.st_uid} {st.st_gid} {size} {mtime} {nlink} {extra}"))
    return "".join(line + "\n" for _, line in sorted(entries))


def busybox_path(tmp):
    """A PATH of nothing but busybox's applets, as in the guest."""
    bin_dir = os.path.join(tmp, "busybox-bin")
    os.mkdir(bin_dir)
    for applet in ("sh", "find", "stat", "sha256sum", "readlink", "awk", "sort", "cut", "printf", "sed", "mktemp", "rm"):
        os.symlink(BUSYBOX, os.path.join(bin_dir, applet))
    return bin_dir


def main():
    with tempfile.TemporaryDirectory() as tmp:
        top = os.path.join(tmp, "tree")
        make_tree(top)
        for ns in (False, True):
            listing = subprocess.run([LIST_TREE, *(["--ns"] if ns else []), top], check=True, capture_output=True, text=True).stdout
            assert listing == expected(top, ns), f"list-tree{' --ns' if ns else ''}:\n{listing}\nexpected:\n{expected(top, ns)}"
        if BUSYBOX and os.access(BUSYBOX, os.X_OK):
            path = busybox_path(tmp)
            listing = subprocess.run([os.path.join(path, "sh"), LIST_TREE, top], check=True, capture_output=True, text=True,
                                     env={"PATH": path}).stdout
            assert listing == expected(top, False), f"busybox's list-tree:\n{listing}"
        else:
            print(f"busybox's tools not compared: no {BUSYBOX or 'busybox given'} (run tools/device/prepare)")

        deep = os.path.join(tmp, "deep")
        os.mkdir(deep)
        here = os.open(deep, os.O_RDONLY)
        for _ in range(500):  # deeper than PATH_MAX
            os.mkdir("d" * 20, dir_fd=here)
            below = os.open("d" * 20, os.O_RDONLY, dir_fd=here)
            os.close(here)
            here = below
        os.close(here)
        deep_listing = subprocess.run([LIST_TREE, deep], check=True, capture_output=True, text=True).stdout.splitlines()
        assert len(deep_listing) == 500, f"{len(deep_listing)} of 500 levels listed"
        assert deep_listing[-1].startswith("./" + "/".join(["d" * 20] * 500) + " d "), deep_listing[-1][-80:]
    print("list-tree: ok")


main()
