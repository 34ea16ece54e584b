#!/usr/bin/env python3
"""firmware-pack check against the real firmware-update, on generated archives.

Each archive is made of a few entries from a small vocabulary of risky ones
(directories, files, symbolic links relative and absolute, hard links with
and without data, pax records, ".", "./" and empty names, paths under and
around the preserved prefixes, file flags, special files), in one of three
tar formats and four filters, sometimes behind a block of zeros or with
bytes after its end. Whenever check lets one through (exit 0 or 1), the
real firmware-update runs on it in the sandbox, on a root that holds
preserved files and old ones, with a canary tree beside the root. The
property: the device exits 0, leaves the tree that bsdtar -xP (in a sandbox
of its own) extracts from every entry but the kernel image, changes nothing
beside the root, and changes a preserved path only where check warned about
its prefix. A counterexample is printed as the add(...) lines of the
hostile-archive table in tests/system/pack_test.cpp.

  check_against_device.py BUILD [--seed N] [--count N] [--seconds S]
"""
import argparse
import bz2
import fcntl
import gzip
import hashlib
import io
import lzma
import os
import random
import re
import shutil
import stat
import struct
import subprocess
import sys
import tarfile
import time

KERNEL = './tmp/belvonix-update.zImage'
PRESERVED = ['/etc/belvonix', '/etc/dropbear', '/home/chrome', '/var/alsa', '/var/lib/bluetooth',
             '/var/lib/reports/finished', '/var/belvonix-1.0']
DEVICE_FILES = {  # path: (content, is preserved)
    'etc/belvonix/id': 'device 17', 'etc/dropbear/dropbear_rsa_host_key': 'key', 'etc/dropbear_keys': 'keys',
    'home/chrome/.profile': 'profile', 'var/alsa/asound.state': 'alsa', 'var/lib/bluetooth/aa/info': 'bt',
    'var/lib/reports/finished/r1': 'report', 'var/belvonix-1.0/data': 'data', 'etc/passwd': None,
    'usr/bin/old': None, 'var/lib/reports/pending/p': None, 'a/b': None,
}
CANARY = {'canary/f': 'canary', 'canary/dir/g': 'g'}


def vocabulary(base):
    """Common paths and risky ones, symbolic link targets."""
    common = ['./a', './a/b', './a/b/c', 'a', './b', './etc/', './etc/passwd', './etc/dropbear/',
              './etc/dropbear/dropbear_rsa_host_key', './etc/dropbear_keys', './home/chrome/.profile', './var/',
              './var/lib/reports/pending', './var/alsa/x', './l', './s', './h', KERNEL, './tmp/', './usr/bin/tool',
              './d/', './d/e', './']
    risky = ['./etc', './etc/dropbear', './etc/belvonix', './home', './var', './var/lib', './var/lib/reports',
             './var/lib/reports/finished', './var/belvonix-1.0/db', '.', '', './l/x', './h2', KERNEL[2:],
             './a//b', './a/./b', './' + 'n' * 255, './x/../y']
    targets = ['../canary/f', '../canary/dir', '..', '.', 'a', 'a/b', 'data/var', '/etc', base + '/canary/f',
               base + '/canary/dir', '../../..', 'etc/dropbear/dropbear_rsa_host_key', 'missing', '/']
    return common, risky, targets


COMMON_PAX = [{'comment': 'x'}, {'uid': '1000', 'gid': '100'}, {'mtime': '1500000000.5'},
              {'SCHILY.acl.access': 'user::rwx,user:123:rwx,group::r-x,mask::rwx,other::r-x'},
              {'SCHILY.fflags': 'sync'}, {'SCHILY.fflags': 'schg'}]
RISKY_PAX = [
    {'uname': 'daemon'}, {'uname': 'nosuchuser', 'uid': '4321'}, {'gname': 'nosuchgroup'},
    {'SCHILY.acl.access': 'user::rwx,user:123:rwx,group::r-x,other::r-x'},
    {'SCHILY.acl.access': 'user::rwx,user:nosuchname:rwx,group::r-x,mask::rwx,other::r-x'},
    {'SCHILY.acl.default': 'user::rwx,group::r-x,other::r-x'}, {'SCHILY.acl.default': 'user::rwx,group::r-x'},
    {'SCHILY.fflags': 'sappnd'}, {'SCHILY.fflags': 'nodump'}, {'SCHILY.xattr.user.note': 'v'}, {'mtime': '2147483648'}, {'mtime': '-5'},
    {'path': '.'}, {'path': ''}, {'linkpath': 'a'}, {'size': '3'},
]
MODES = [0o644, 0o755, 0o4755, 0o2755, 0o777, 0o1777, 0o600, 0o000]
MAKER = '''
def add(name, kind=REGTYPE, target='', data=b'', mode=0o644, pax={}, **fields):
    i = TarInfo(name); i.type, i.linkname, i.size, i.mode, i.pax_headers = kind, target, len(data), mode, pax
    for key, value in fields.items(): setattr(i, key, value)
    t.addfile(i, io.BytesIO(data))
def raw(data): t.fileobj.write(data)
'''


def members(rng, base):
    common, risky, targets = vocabulary(base)
    pick = lambda tame, wild: rng.choice(tame if rng.random() < 0.8 else wild)
    files, lines = [], []
    if rng.random() < 0.05:
        lines.append('raw(bytes(512))')
    for _ in range(rng.randint(1, 7)):
        kind = pick(['REGTYPE', 'REGTYPE', 'DIRTYPE', 'DIRTYPE', 'SYMTYPE', 'LNKTYPE'], ['FIFOTYPE', 'CHRTYPE'])
        path = pick(common, risky)
        if path.endswith('/') and rng.random() < 0.9:
            kind = 'DIRTYPE'
        args = [repr(path), kind]
        if kind == 'SYMTYPE':
            args.append(repr(rng.choice(targets)))
        elif kind == 'LNKTYPE':
            args.append(repr(pick(files or common, common + risky)))
        if kind in ('REGTYPE', 'SYMTYPE'):
            files.append(path)
        if kind == 'REGTYPE' and rng.random() < 0.5 or kind == 'LNKTYPE' and rng.random() < 0.3:
            args.append('data=%r' % rng.choice([b'x', b'new content']))
        if rng.random() < 0.3:
            args.append('mode=0o%o' % rng.choice(MODES))
        if rng.random() < 0.4:
            args.append('pax=%r' % pick(COMMON_PAX, RISKY_PAX))
        if kind == 'CHRTYPE':
            args.append('devmajor=1, devminor=3')
        lines.append('add(%s)' % ', '.join(args))
    return '; '.join(lines)


def build(script, fmt):
    out = io.BytesIO()
    t = tarfile.open(fileobj=out, mode='w', format=fmt)
    exec(MAKER + script, dict(vars(tarfile), io=io, t=t))
    t.close()
    return out.getvalue()


FILTERS = {'none': lambda b: b, 'gzip': lambda b: gzip.compress(b, mtime=0), 'bzip2': bz2.compress,
           'xz': lzma.compress}


def run(argv):
    try:
        return subprocess.run(argv, capture_output=True, timeout=60)
    except subprocess.TimeoutExpired as timeout:  # killed: a hang is a failure too
        return subprocess.CompletedProcess(argv, 'hangs', timeout.stdout or b'', timeout.stderr or b'')


def unlock_and_remove(path):
    if os.path.lexists(path):
        run(['chattr', '-R', '-i', '-a', path])  # a device file may carry the immutable flag
        shutil.rmtree(path)


def file_flags(path):
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW)
    try:
        return struct.unpack('i', fcntl.ioctl(fd, 0x80086601, bytes(4)))[0]  # FS_IOC_GETFLAGS
    except OSError:  # a file system without flags
        return 0
    finally:
        os.close(fd)


def describe(path, with_dir_time):
    st = os.lstat(path)
    kind = stat.S_IFMT(st.st_mode)
    text = '%o %o %d:%d' % (kind, stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid)
    if stat.S_ISREG(kind):
        text += ' ' + hashlib.sha256(open(path, 'rb').read()).hexdigest()[:16]
    elif stat.S_ISLNK(kind):
        text += ' -> ' + os.readlink(path)
    elif stat.S_ISCHR(kind) or stat.S_ISBLK(kind):
        text += ' dev %x' % st.st_rdev
    if with_dir_time or not stat.S_ISDIR(kind):
        text += ' t%d' % st.st_mtime_ns
    if not stat.S_ISLNK(kind):
        for acl in ('system.posix_acl_access', 'system.posix_acl_default'):
            try:
                text += ' ' + os.getxattr(path, acl, follow_symlinks=False).hex()
            except OSError:
                pass
    if stat.S_ISREG(kind) or stat.S_ISDIR(kind):
        text += ' flags %x' % file_flags(path)
    return text, (st.st_ino if st.st_nlink > 1 and not stat.S_ISDIR(kind) else None)


def snapshot(top, keep=lambda relative: True, with_dir_time=False):
    """{relative path: description}, hard links as the other names of their inode."""
    found, inodes = {}, {}
    if keep('.'):
        found['.'] = describe(top, with_dir_time)[0]
    for directory, dirs, files in os.walk(top):
        for name in dirs + files:
            path = os.path.join(directory, name)
            relative = os.path.relpath(path, top)
            if keep(relative):
                found[relative], inode = describe(path, with_dir_time)
                if inode is not None:
                    inodes.setdefault(inode, []).append(relative)
    for names in inodes.values():
        for name in names:
            found[name] += ' linked ' + ','.join(sorted(names))
    return found


def is_preserved(relative):
    return relative != '.' and any(('/' + relative).startswith(prefix) for prefix in PRESERVED)


def lay_out(base, with_old_files):
    unlock_and_remove(base)
    for directory in ('dev', 'class', 'debug', 'root', 'canary/dir'):
        os.makedirs(os.path.join(base, directory))
    files = dict(CANARY)
    for path, content in DEVICE_FILES.items():
        if content is not None or with_old_files:
            files['root/' + path] = content or 'old'
    for path, content in files.items():
        os.makedirs(os.path.dirname(os.path.join(base, path)), exist_ok=True)
        with open(os.path.join(base, path), 'w') as out:
            out.write(content)
        os.utime(os.path.join(base, path), (1400000000, 1400000000))


def differences(before, after):
    return sorted(path for path in set(before) | set(after) if before.get(path) != after.get(path))


def try_archive(build_dir, base, script, fmt, filter_name, zeros, trailer):
    def finish(data):
        data = FILTERS[filter_name](data)
        return (bytes(512) if zeros else b'') + data + trailer
    archive = finish(build(script, fmt))
    digest = hashlib.sha256(archive).hexdigest()
    check_path = base + '-check/' + digest
    os.makedirs(os.path.dirname(check_path), exist_ok=True)
    with open(check_path, 'wb') as out:
        out.write(archive)
    check = run([build_dir + '/src/firmware-pack', 'check', check_path])
    os.unlink(check_path)
    if check.returncode == 'hangs' or check.returncode < 0:
        return 3, (check.stderr.decode(errors='replace'), ['check %s' % check.returncode])
    if check.returncode >= 2:
        return check.returncode, None
    report = check.stderr.decode(errors='replace')

    # The device, on a root with old files beside the preserved ones.
    lay_out(base, True)
    with open(os.path.join(base, digest), 'wb') as out:
        out.write(archive)
    outside = lambda relative: relative != digest and not relative.startswith('root')
    beside_before = snapshot(base, outside, True)
    preserved_before = snapshot(base + '/root', is_preserved, True)
    sandbox = build_dir + '/tools/sandbox/fwu-sandbox'
    device = run([sandbox, base, '--', build_dir + '/src/firmware-update', '../' + digest])
    problems = []
    if device.returncode != 0:
        problems.append('the device exits with %s: %s' % (device.returncode, device.stdout.decode(errors='replace')
                                                         .split('unpack...\n')[-1].strip()))
    for path in differences(beside_before, snapshot(base, outside, True)):
        problems.append('changed beside the root: ' + path)
    for path in differences(preserved_before, snapshot(base + '/root', is_preserved, True)):
        prefix = next(p for p in PRESERVED if ('/' + path).startswith(p))
        if 'under the preserved path %s,' % prefix not in report and '%s, which' % prefix not in report:
            problems.append('preserved path changed without a warning: ' + path)

    # The reference: bsdtar with the device's flags, on the purged root.
    reference = base + '-ref'
    lay_out(reference, False)
    with open(os.path.join(reference, digest), 'wb') as out:
        out.write(archive)
    run([sandbox, reference, '--env', 'LC_ALL=C', '--', shutil.which('bsdtar'), '-xpP', '--acls', '--fflags',
         '--no-xattrs', '-s', ',^%s$,,HS' % KERNEL.replace('.', '\\.'), '-f', '../' + digest])
    if device.returncode == 0:
        expected = snapshot(reference + '/root')
        got = snapshot(base + '/root')
        if 'outside 1970 to 2038-01-19' in report:  # warned: the 32-bit device wraps the time
            expected, got = ({path: re.sub(r' t-?\d+', '', text) for path, text in tree.items()}
                             for tree in (expected, got))
        for path in differences(expected, got):
            problems.append('tree differs at %s: bsdtar %s, device %s' % (path, expected.get(path), got.get(path)))
    return check.returncode, problems and (report, problems)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('build', help='the preset build directory, such as build/native')
    parser.add_argument('--seed', type=int, default=1)
    parser.add_argument('--count', type=int, default=200, help='archives to try (0: no limit)')
    parser.add_argument('--seconds', type=float, default=120, help='stop after this long (0: no limit)')
    options = parser.parse_args()
    build_dir = os.path.abspath(options.build)
    base = '/var/tmp/fwu-check-fuzz-%d' % os.getpid()  # ext4 as a rule: it keeps ACLs and file flags
    rng = random.Random(options.seed)
    start, tried, verdicts, failures = time.monotonic(), 0, [0, 0, 0, 0], 0
    try:
        while (options.count == 0 or tried < options.count) and \
                (options.seconds == 0 or time.monotonic() - start < options.seconds):
            script = members(rng, base)
            fmt = rng.choice([tarfile.PAX_FORMAT] * 4 + [tarfile.GNU_FORMAT, tarfile.USTAR_FORMAT])
            filter_name = rng.choice(['none', 'none', 'gzip', 'bzip2', 'xz'])
            zeros, trailer = rng.random() < 0.03, rng.choice([b''] * 19 + [os.urandom(rng.randint(1, 30000))])
            try:
                verdict, failed = try_archive(build_dir, base, script, fmt, filter_name, zeros, trailer)
            except ValueError:  # tarfile cannot write it (a name too long for the format)
                continue
            tried += 1
            verdicts[min(verdict, 3)] += 1
            if failed:
                failures += 1
                report, problems = failed
                print('COUNTEREXAMPLE (format %s, %s%s%s):\n  %s\ncheck said:\n%s%s\n' % (
                    {0: 'USTAR', 1: 'GNU', 2: 'PAX'}[fmt], filter_name, ', a zero block first' if zeros else '',
                    ', %d bytes after the end' % len(trailer) if trailer else '', script, report,
                    '\n'.join('  ' + p for p in problems)), flush=True)
    finally:
        for path in (base, base + '-ref', base + '-check'):
            unlock_and_remove(path)
    print('%d archives in %.0f s (seed %d): check clean %d, warned %d, refused %d, failed %d; %d counterexamples'
          % (tried, time.monotonic() - start, options.seed, *verdicts, failures))
    return 1 if failures or verdicts[3] else 0


if __name__ == '__main__':
    sys.exit(main())
